#include "trace.h"

#include <cctype>
#include <cstdio>

#include "kavrel_ctx.h"
#include "route.h"

namespace kavrel {
namespace {

void write_trace(KAVREL_CTX *ctx, const char *format, va_list values) KAVREL_PRINTF(2, 0);
void write_trace(KAVREL_CTX *ctx, const char *format, va_list values) {
    char text[kTraceMax + 1];
    format_text(text, sizeof text, format, values);
    line_out(ctx, KAVREL_SEV_DEBUG, 0, text);
}

void time_line(KAVREL_CTX *ctx, std::time_t time) {
    char shown[kTimeBufSize];
    format_time(ctx, "en_US", &time, shown);
    trace_always(ctx, "%ld - %s\n", static_cast<long>(time), shown);
}

// The characters column of a hex dump line: printable bytes as themselves.
void hex_chars(KAVREL_CTX *ctx, const unsigned char *from, int32_t count) {
    char text[21];
    for (int32_t i = 0; i < count; ++i) {
        text[i] = std::isprint(from[i]) != 0 ? static_cast<char>(from[i]) : '.';
    }
    text[count] = '\0';
    trace_always(ctx, "%s", text);
}

}  // namespace

bool trace_on(const KAVREL_CTX *ctx, uint32_t mask) noexcept {
    return ctx != nullptr && (trace_mask(ctx) & mask) != 0;
}

void trace_printf(KAVREL_CTX *ctx, uint32_t mask, const char *format, ...) {
    if (!trace_on(ctx, mask)) return;
    va_list values;
    va_start(values, format);
    write_trace(ctx, format, values);
    va_end(values);
}

void trace_always(KAVREL_CTX *ctx, const char *format, ...) {
    va_list values;
    va_start(values, format);
    write_trace(ctx, format, values);
    va_end(values);
}

void trace_vprintf(KAVREL_CTX *ctx, const char *format, va_list values) {
    write_trace(ctx, format, values);
}

void trace_time(KAVREL_CTX *ctx, std::time_t time, const char *format, ...) {
    va_list values;
    va_start(values, format);
    write_trace(ctx, format, values);
    va_end(values);
    time_line(ctx, time);
}

void trace_time_printf(KAVREL_CTX *ctx, uint32_t mask, std::time_t time, const char *format, ...) {
    if (!trace_on(ctx, mask)) return;
    va_list values;
    va_start(values, format);
    write_trace(ctx, format, values);
    va_end(values);
    time_line(ctx, time);
}

void trace_time_label(KAVREL_CTX *ctx, const char *label, std::time_t time) {
    if (ctx == nullptr || trace_mask(ctx) == 0) return;
    char shown[kTimeBufSize];
    format_time(ctx, "en_US", &time, shown);
    trace_always(ctx, "%s: %d - %s\n", label, static_cast<int>(time), shown);
}

void dump_datastructures(KAVREL_CTX *ctx, KAVREL_ERR_INFO *err_info) {
    trace_always(ctx, "%s", "");
    trace_always(ctx, "%s\n", kavrel_version());
    trace_always(ctx, "--Begin Kavrel datastructures\n");
    kavrel_mem_dump(ctx);
    if (ctx->hooks != nullptr) ctx->hooks->dump_properties(ctx, err_info);
    trace_always(ctx, "-- End Kavrel datastructures\n");
}

void dump_err_info(KAVREL_CTX *ctx, KAVREL_ERR_INFO *err_info) {
    trace_always(ctx, "KAVREL_ERR_INFO at %p\n", static_cast<void *>(err_info));
    if (err_info == nullptr) {
        trace_always(ctx, "\tpointer is NULL");
        return;
    }
    trace_always(ctx, "\tconsumer_ctx: %p, msg_ctx: %p\n",
                 static_cast<void *>(err_info->consumer_ctx),
                 static_cast<void *>(err_info->msg_ctx));
    trace_always(ctx, "\ttotal_msgs: %d, total_text_len: %d\n", err_info->total_msgs,
                 err_info->total_text_len);
    trace_always(ctx, "\tmax_severity: %d, flags: 0x%x\n", err_info->max_severity, err_info->flags);
    trace_always(ctx, "\tbuf: %s\n", err_info->buf);
    KAVREL_CTX *consumer = err_info->consumer_ctx;
    list_dump_link(consumer, "\t\terrq", &err_info->errq);
    for (KAVREL_LINK *l = err_info->errq.next; l != &err_info->errq; l = l->next) {
        dump_err_msg(consumer, errmsg_of_errq(l), true, "\t\t");
    }
}

void dump_err_msg(KAVREL_CTX *ctx, KAVREL_ERR_MSG *message, bool with_details, const char *prefix) {
    trace_always(ctx, "%sKAVREL_ERR_MSG at %p\n", prefix, static_cast<void *>(message));
    if (message == nullptr) {
        trace_always(ctx, "%s\tpointer is NULL\n", prefix);
        return;
    }
    trace_always(ctx, "%s\terror: %d, severity: %d\n", prefix, message->error, message->severity);
    trace_always(ctx, "%s\tstatus: 0x%x, flags: 0x%x\n", prefix, message->status, message->flags);
    trace_always(ctx, "%s\tbuf: %s\n", prefix, message->buf);
    list_dump_link(ctx, "\t\terrq", &message->errq);
    list_dump_link(ctx, "\t\tmsgq", &message->msgq);
    if (!with_details) return;
    char deeper[12];
    std::snprintf(deeper, sizeof deeper, "\t%s", prefix);
    for (KAVREL_LINK *l = message->msgq.next; l != &message->msgq; l = l->next) {
        dump_err_msg(ctx, errmsg_of_msgq(l), false, deeper);
    }
}

void dump_hex(KAVREL_CTX *ctx, const void *address, int32_t length) {
    const auto *bytes = static_cast<const unsigned char *>(address);
    trace_always(ctx, "\n%p (%6d):  ", address, 0);
    int column = 20;
    int32_t count = 0;
    int32_t line_start = 0;
    for (; count < length;) {
        trace_always(ctx, "%02x", bytes[count]);
        ++count;
        column += 2;
        if (count % 4 == 0) {
            trace_always(ctx, " ");
            ++column;
        }
        if (count % 20 == 0) {
            trace_always(ctx, " ");
            hex_chars(ctx, bytes + line_start, 20);
            line_start = count;
            trace_always(ctx, "\n%p (%6d):  ", static_cast<const void *>(bytes + count), count);
            column = 20;
        }
    }
    while (column++ <= 64) trace_always(ctx, " ");
    trace_always(ctx, " ");
    hex_chars(ctx, bytes + line_start, count - line_start);
    trace_always(ctx, "\n");
}

void list_dump_link(KAVREL_CTX *ctx, const char *label, const KAVREL_LINK *link) {
    trace_always(ctx, "%s: %p, next: %p, prev: %p\n", label, static_cast<const void *>(link),
                 static_cast<void *>(link->next), static_cast<void *>(link->prev));
}

void kavrel_mem_dump_block(KAVREL_CTX *ctx, const KAVREL_MEM *block) {
    trace_always(ctx, "\tKAVREL_MEM at %p\n", static_cast<const void *>(block));
    trace_always(ctx, "\t\taddr: %p, size: %d (actual size: %d)\n", block->addr,
                 static_cast<int>(block->size), static_cast<int>(mem_actual_size(block->size)));
    list_dump_link(ctx, "\t\tm_memchunks", &block->m_memchunks);
}

void kavrel_mem_dump(KAVREL_CTX *ctx) {
    LockGuard lock(ctx->memory_mutex);
    trace_always(ctx, "%s", "");
    trace_always(ctx, "Kavrel Memory queue at %p\n", static_cast<void *>(&ctx->memory));
    int64_t total = 0;
    for (KAVREL_LINK *l = ctx->memory.next; l != nullptr && l != &ctx->memory; l = l->next) {
        const auto *block = reinterpret_cast<const KAVREL_MEM *>(l);
        kavrel_mem_dump_block(ctx, block);
        total += block->size;
    }
    trace_always(ctx, "\tTotal Kavrel Memory usage = %d\n", static_cast<int>(total));
}

}  // namespace kavrel
