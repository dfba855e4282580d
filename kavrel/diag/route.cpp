#include "route.h"

#include <cstdio>

#include "kavrel_ctx.h"
#include "msg.h"
#include "support/mem.h"

namespace kavrel {
namespace {

// The label of a warning or an error, through the record's catalogue when
// there is one, else in English.
char *warning_label(const KAVREL_ERR_INFO *err_info, int32_t number, char *dst) {
    int32_t size = kLabelSize;
    if (err_info != nullptr && msg_composef(err_info->msg_ctx, dst, &size, MSG_WARNING_LABEL,
                                            "Warning %d: ", number) == 0) {
        return dst;
    }
    std::snprintf(dst, kLabelSize, "Warning %d: ", static_cast<int>(number));
    return dst;
}

char *error_label(const KAVREL_ERR_INFO *err_info, int32_t number, char *dst) {
    int32_t size = kLabelSize;
    if (err_info != nullptr &&
        msg_composef(err_info->msg_ctx, dst, &size, MSG_ERROR_LABEL, "Error %d: ", number) == 0) {
        return dst;
    }
    std::snprintf(dst, kLabelSize, "Error %d: ", static_cast<int>(number));
    return dst;
}

void free_message(KAVREL_CTX *ctx, KAVREL_ERR_MSG *message) {
    kavrel_dealloc(ctx, message);
}

// Writes (and frees) the details of one entry, in order.
void route_details(KAVREL_CTX *ctx, KAVREL_ERR_MSG *entry) {
    KAVREL_LINK *ring = &entry->msgq;
    for (KAVREL_LINK *l = ring->next; l != ring;) {
        KAVREL_ERR_MSG *detail = errmsg_of_msgq(l);
        l = l->next;
        line_out(ctx, detail->severity, detail->error, detail->buf);
        list_remove(&detail->msgq);
        free_message(ctx, detail);
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
    if (severity == SEV_WARNING) {
        return warning_label(err_info, number, dst);
    }
    if (severity == SEV_ERROR) {
        return error_label(err_info, number, dst);
    }
    dst[0] = '\0';
    return dst;
}

int32_t line_out(KAVREL_CTX *ctx, int32_t severity, int32_t number, const char *text) {
    if (ctx != nullptr && ctx->messagehandler != nullptr &&
        ctx->messagehandler(ctx, severity, number, text) == 0) {
        return 0;
    }
    char label[kLabelSize];
    severity_label(nullptr, number, severity, label);
    std::fprintf(stderr, "%s%s%s", label, text, severity >= SEV_INFORMATIONAL ? "\n" : "");
    return 0;
}

void error_printf(KAVREL_CTX *ctx, const char *format, ...) {
    char text[kMsgTextMax + 1];
    va_list values;
    va_start(values, format);
    format_text(text, sizeof text, format, values);
    va_end(values);
    line_out(ctx, SEV_ERROR, MSG_PROGRAMMING, text);
}

uint32_t errinfo_route(KAVREL_ERR_INFO *err_info) {
    KAVREL_CTX *ctx = err_info->consumer_ctx;
    KAVREL_LINK *head = &err_info->errq;
    // Mailing the report (when its severity reaches the context's e-mail
    // threshold) joins this pass with the e-mail notifier.
    for (KAVREL_LINK *l = head->next; l != head;) {
        KAVREL_ERR_MSG *entry = errmsg_of_errq(l);
        l = l->next;
        if ((entry->flags & ERRMSG_WRITTEN) == 0) {
            line_out(ctx, entry->severity, entry->error, entry->buf);
            entry->flags |= ERRMSG_WRITTEN;
        }
        route_details(ctx, entry);
        list_remove(&entry->errq);
        free_message(ctx, entry);
    }
    return 0;
}

}  // namespace kavrel
