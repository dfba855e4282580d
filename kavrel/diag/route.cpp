#include "route.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "kavrel_ctx.h"
#include "msg.h"

namespace kavrel {
namespace {

// The label of a warning or an error, through the record's catalogue when
// there is one, else in English.
char *warning_label(const KAVREL_ERR_INFO *err_info, int32_t number, char *dst) {
    int32_t size = kLabelSize;
    if (err_info != nullptr && msg_composef(err_info->msg_ctx, dst, &size, KAVREL_M_WARNING_LABEL,
                                            "Warning %d: ", number) == 0) {
        return dst;
    }
    std::snprintf(dst, kLabelSize, "Warning %d: ", static_cast<int>(number));
    return dst;
}

char *error_label(const KAVREL_ERR_INFO *err_info, int32_t number, char *dst) {
    int32_t size = kLabelSize;
    if (err_info != nullptr && msg_composef(err_info->msg_ctx, dst, &size, KAVREL_M_ERROR_LABEL,
                                            "Error %d: ", number) == 0) {
        return dst;
    }
    std::snprintf(dst, kLabelSize, "Error %d: ", static_cast<int>(number));
    return dst;
}

void free_message(KAVREL_CTX *ctx, KAVREL_ERR_MSG *message) {
    kavrel_dealloc(ctx, message);
}

// The mail of one routing: the subject in a buffer of its own (the
// record's is where every new message is formatted, a failed delivery's
// too) and the body in the context's tracked memory, built while the
// messages are written.
class MailReport {
  public:
    explicit MailReport(KAVREL_ERR_INFO *err_info) : ei_(err_info) {
        if (!wanted()) return;
        int32_t size = sizeof heading_;
        if (msg_composef(ei_->msg_ctx, heading_, &size, KAVREL_M_POSSIBLE_CAUSE, "%s",
                         "Possible cause:") != 0) {
            std::snprintf(heading_, sizeof heading_, "%s", "Possible cause:");
        }
        // Room for every held text with its label and line end, and for a
        // heading and three empty lines per entry: the body is never cut.
        const std::size_t entries = static_cast<std::size_t>(err_info->total_msgs);
        capacity_ = sizeof kHeader + static_cast<std::size_t>(err_info->total_text_len) +
                    entries * (kLabelSize + 1 + std::strlen(heading_) + 6);
        if (capacity_ <= UINT32_MAX) {
            body_ = static_cast<char *>(
                kavrel_alloc(err_info->consumer_ctx, static_cast<uint32_t>(capacity_)));
        }
        if (body_ != nullptr) append("%s", kHeader);
    }
    ~MailReport() { kavrel_dealloc(ei_->consumer_ctx, body_); }
    MailReport(const MailReport &) = delete;
    MailReport &operator=(const MailReport &) = delete;

    bool on() const { return body_ != nullptr; }

    void entry(const KAVREL_ERR_MSG *e) {
        char label[kLabelSize];
        severity_label(ei_, e->error, e->severity, label);
        if (e->severity > highest_) {
            subject(label, e->buf);
            highest_ = e->severity;
        }
        append("%s%s\n", label, e->buf);
        heading_written_ = false;
        previous_ = 0;
    }

    void detail(const KAVREL_ERR_MSG *d) {
        if (!heading_written_ && d->error <= KAVREL_M_MAX_CAUSE) {
            append("\n%s\n", heading_);
            heading_written_ = true;
        } else if (heading_written_ && d->error > KAVREL_M_MAX_CAUSE) {
            append("%s", "\n");
        }
        char label[kLabelSize] = "";
        if (d->error != 0 && d->error != previous_) {
            severity_label(ei_, d->error, d->severity, label);
        }
        append("%s%s\n", label, d->buf);
        previous_ = d->error;
    }

    void end_entry() { append("%s", heading_written_ ? "\n\n\n" : "\n"); }

    uint32_t send() {
        KAVREL_CTX *c = ei_->consumer_ctx;
        return c->hooks->mail(c, to_, subject_, body_, ei_);
    }

  private:
    // Whether the report is to be mailed: its highest severity reaches the
    // threshold and host, sender and recipients are set. The settings are
    // copied once, so that a call's start on another thread cannot change
    // them under this mail.
    bool wanted() {
        KAVREL_CTX *c = ei_->consumer_ctx;
        if (c == nullptr || c->hooks == nullptr || c->email == nullptr) return false;
        to_ = mail_settings(c);
        return ei_->max_severity >= to_.severity && to_.host[0] != '\0' && to_.sender[0] != '\0' &&
               to_.recipients[0] != '\0';
    }

    static constexpr char kHeader[] =
        "Content-type: text/plain; charset=UTF-8\nContent-transfer-encoding: 8bit\n";

    void subject(const char *label, const char *text) {
        const KAVREL_CTX *c = ei_->consumer_ctx;
        const char *product = c->productname != nullptr ? c->productname : "";
        if (c->instance != nullptr) {
            text_printf(subject_, sizeof subject_, "%s %s %s: %s%s", "Orvane", product, c->instance,
                        label, text);
        } else {
            text_printf(subject_, sizeof subject_, "%s %s: %s%s", "Orvane", product, label, text);
        }
    }

    void append(const char *format, ...) KAVREL_PRINTF(2, 3) {
        if (body_ == nullptr || length_ + 1 >= capacity_) return;
        va_list values;
        va_start(values, format);
        const int n = std::vsnprintf(body_ + length_, capacity_ - length_, format, values);
        va_end(values);
        if (n > 0) length_ = std::min(capacity_ - 1, length_ + static_cast<std::size_t>(n));
    }

    KAVREL_ERR_INFO *ei_;
    MailSettings to_;
    char subject_[kMsgTextMax + 1] = "";
    char heading_[128] = "";
    char *body_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t length_ = 0;
    int32_t highest_ = 0;
    int32_t previous_ = 0;
    bool heading_written_ = false;
};

// One pass over the held messages: each entry (unless written already) and
// each of its details goes to the line writer, and into the mail when there
// is one; every message is freed.
void route_pass(KAVREL_ERR_INFO *err_info, MailReport *mail) {
    KAVREL_CTX *ctx = err_info->consumer_ctx;
    KAVREL_LINK *head = &err_info->errq;
    for (KAVREL_LINK *l = head->next; l != head;) {
        KAVREL_ERR_MSG *entry = errmsg_of_errq(l);
        l = l->next;
        if ((entry->flags & ERRMSG_WRITTEN) == 0) {
            line_out(ctx, entry->severity, entry->error, entry->buf);
            entry->flags |= ERRMSG_WRITTEN;
        }
        if (mail != nullptr) mail->entry(entry);
        KAVREL_LINK *ring = &entry->msgq;
        for (KAVREL_LINK *d = ring->next; d != ring;) {
            KAVREL_ERR_MSG *detail = errmsg_of_msgq(d);
            d = d->next;
            line_out(ctx, detail->severity, detail->error, detail->buf);
            if (mail != nullptr) mail->detail(detail);
            list_remove(&detail->msgq);
            free_message(ctx, detail);
        }
        if (mail != nullptr) mail->end_entry();
        list_remove(&entry->errq);
        free_message(ctx, entry);
    }
}

}  // namespace

int format_text(char *dst, std::size_t capacity, const char *format, va_list values) {
    if (capacity == 0) return -1;
    const int n = std::vsnprintf(dst, capacity, format, values);
    if (n < 0) {
        dst[0] = '\0';
        return -1;
    }
    return static_cast<std::size_t>(n) < capacity ? n : -1;
}

int text_printf(char *dst, std::size_t capacity, const char *format, ...) {
    va_list values;
    va_start(values, format);
    const int n = format_text(dst, capacity, format, values);
    va_end(values);
    return n;
}

char *severity_label(const KAVREL_ERR_INFO *err_info, int32_t number, int32_t severity, char *dst) {
    if (severity == KAVREL_SEV_WARNING) {
        return warning_label(err_info, number, dst);
    }
    if (severity == KAVREL_SEV_ERROR) {
        return error_label(err_info, number, dst);
    }
    dst[0] = '\0';
    return dst;
}

namespace {

thread_local HeldLines *t_held = nullptr;

}  // namespace

struct HeldLines::Line {
    Line *next;
    KAVREL_CTX *ctx;
    int32_t severity, number;
    char *text() noexcept { return reinterpret_cast<char *>(this + 1); }  // follows the record
};

HeldLines::HeldLines() noexcept : outermost_(t_held == nullptr) {
    if (outermost_) t_held = this;
}

void HeldLines::release() noexcept {
    if (!outermost_) return;
    outermost_ = false;
    t_held = nullptr;
    for (Line *line = first_; line != nullptr;) {
        Line *next = line->next;
        line_out(line->ctx, line->severity, line->number, line->text());
        plat_free(line);
        line = next;
    }
}

bool HeldLines::hold(KAVREL_CTX *ctx, int32_t severity, int32_t number, const char *text) noexcept {
    HeldLines *held = t_held;
    if (held == nullptr) return false;
    const std::size_t length = std::strlen(text);
    auto *line = static_cast<Line *>(plat_alloc(sizeof(Line) + length + 1));
    if (line == nullptr) return false;
    line->next = nullptr;
    line->ctx = ctx;
    line->severity = severity;
    line->number = number;
    std::memcpy(line->text(), text, length + 1);
    *held->end_ = line;
    held->end_ = &line->next;
    return true;
}

int32_t line_out(KAVREL_CTX *ctx, int32_t severity, int32_t number, const char *text) {
    if (HeldLines::hold(ctx, severity, number, text)) return 0;
    if (ctx != nullptr && ctx->messagehandler != nullptr &&
        ctx->messagehandler(ctx, severity, number, text) == 0) {
        return 0;
    }
    char label[kLabelSize];
    severity_label(nullptr, number, severity, label);
    std::fprintf(stderr, "%s%s%s", label, text, severity >= KAVREL_SEV_INFORMATIONAL ? "\n" : "");
    return 0;
}

void error_printf(KAVREL_CTX *ctx, const char *format, ...) {
    char text[kMsgTextMax + 1];
    va_list values;
    va_start(values, format);
    format_text(text, sizeof text, format, values);
    va_end(values);
    line_out(ctx, KAVREL_SEV_ERROR, KAVREL_E_PROGRAMMING, text);
}

uint32_t errinfo_route(KAVREL_ERR_INFO *err_info) {
    if (list_empty(&err_info->errq)) return 0;
    MailReport report(err_info);
    route_pass(err_info, report.on() ? &report : nullptr);
    if (!report.on()) return 0;
    const uint32_t sent = report.send();
    // What the delivery added (a relay address that failed, even when a
    // later one took the mail) is written, never mailed.
    route_pass(err_info, nullptr);
    return sent;
}

}  // namespace kavrel
