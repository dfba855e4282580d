// Trace lines (severity 20, number 0, written when the context's mask
// selects their category) and the dumps of the library's records.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <ctime>

#include "errinfo.h"
#include "support/mem.h"

namespace kavrel {

// Longest trace text, without its terminator.
inline constexpr int kTraceMax = 512;

// True when the context's mask shares a bit with `mask`.
bool trace_on(const KAVREL_CTX *ctx, uint32_t mask) noexcept;

void trace_printf(KAVREL_CTX *ctx, uint32_t mask, const char *format, ...) KAVREL_PRINTF(3, 4);
void trace_always(KAVREL_CTX *ctx, const char *format, ...) KAVREL_PRINTF(2, 3);
void trace_vprintf(KAVREL_CTX *ctx, const char *format, va_list values) KAVREL_PRINTF(2, 0);
void trace_time(KAVREL_CTX *ctx, std::time_t time, const char *format, ...) KAVREL_PRINTF(3, 4);
void trace_time_printf(KAVREL_CTX *ctx, uint32_t mask, std::time_t time, const char *format, ...)
    KAVREL_PRINTF(4, 5);
void trace_time_label(KAVREL_CTX *ctx, const char *label, std::time_t time);

void dump_datastructures(KAVREL_CTX *ctx, KAVREL_ERR_INFO *err_info);
void dump_err_info(KAVREL_CTX *ctx, KAVREL_ERR_INFO *err_info);
void dump_err_msg(KAVREL_CTX *ctx, KAVREL_ERR_MSG *message, bool with_details, const char *prefix);
void dump_hex(KAVREL_CTX *ctx, const void *address, int32_t length);

// One line: "<label>: <link>, next: <next>, prev: <prev>".
void list_dump_link(KAVREL_CTX *ctx, const char *label, const KAVREL_LINK *link);
// The three lines of one tracked block, and the whole memory list with the
// total of the sizes asked for (under the memory lock).
void kavrel_mem_dump_block(KAVREL_CTX *ctx, const KAVREL_MEM *block);
void kavrel_mem_dump(KAVREL_CTX *ctx);

// "(null)" for a null or empty optional string in a trace line.
inline const char *or_null(const char *s) noexcept {
    return s == nullptr || *s == '\0' ? "(null)" : s;
}

}  // namespace kavrel
