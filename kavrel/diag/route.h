// Turning held messages into output: severity labels, the line writer that
// every message and trace line leaves through, and the routing of a record.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "errinfo.h"

namespace kavrel {

inline constexpr int kLabelSize = 31;  // 30 characters and a NUL

// "Warning <n>: " for 80, "Error <n>: " for 100, empty otherwise; localised
// through the record's catalogue when one is given. Returns dst.
char *severity_label(const KAVREL_ERR_INFO *err_info, int32_t number, int32_t severity, char *dst);

// The single exit of every line: the context's handler, else (or when the
// handler returns non-zero) standard error with the label.
int32_t line_out(KAVREL_CTX *ctx, int32_t severity, int32_t number, const char *text);

// While one of these lives on a thread, the lines that thread writes wait,
// in order, and reach the handler when it goes (or is released). A call
// holds one for its whole length, so that no handler runs while the call
// holds a lock or a file lock that the handler's own call of the library
// would wait for. Nested ones leave the holding to the outermost; a line
// that cannot be held for want of memory is written at once.
class HeldLines {
  public:
    HeldLines() noexcept;
    ~HeldLines() { release(); }
    // Writes the held lines; later ones are written at once.
    void release() noexcept;
    HeldLines(const HeldLines &) = delete;
    HeldLines &operator=(const HeldLines &) = delete;

    // Keeps the line when this thread holds lines; false otherwise.
    static bool hold(KAVREL_CTX *ctx, int32_t severity, int32_t number, const char *text) noexcept;

  private:
    struct Line;
    Line *first_ = nullptr;
    Line **end_ = &first_;
    bool outermost_;
};

// A line written at once with severity 100 and number KAVREL_E_PROGRAMMING.
void error_printf(KAVREL_CTX *ctx, const char *format, ...) KAVREL_PRINTF(2, 3);

// Writes every held message in order and empties the record. Returns 0 (or
// the result of a failed mail delivery, once reports are mailed).
uint32_t errinfo_route(KAVREL_ERR_INFO *err_info);

// printf into dst of `capacity` bytes; the text's length, or -1 when it was
// cut to fit (the terminator is always written when capacity > 0).
int format_text(char *dst, std::size_t capacity, const char *format, va_list values)
    KAVREL_PRINTF(3, 0);
int text_printf(char *dst, std::size_t capacity, const char *format, ...) KAVREL_PRINTF(3, 4);

}  // namespace kavrel
