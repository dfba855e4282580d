#include "errinfo.h"

#include <cstdio>
#include <cstring>

#include "kavrel_ctx.h"
#include "msg.h"
#include "route.h"

namespace kavrel {
namespace {

// The text of a new message in err_info->buf, localised when a catalogue
// is open; returns its length (cut to 512 characters).
int32_t compose_text(KAVREL_ERR_INFO *err_info, int32_t number, const char *format, va_list values)
    KAVREL_PRINTF(3, 0);
int32_t compose_text(KAVREL_ERR_INFO *err_info, int32_t number, const char *format,
                     va_list values) {
    va_list again;
    va_copy(again, values);
    int32_t length = kMsgTextMax + 1;
    if (msg_compose(err_info->msg_ctx, err_info->buf, &length, number, format, values) != 0) {
        length = format_text(err_info->buf, kMsgTextMax + 1, format, again);
    }
    va_end(again);
    if (length < 0) {
        err_info->buf[kMsgTextMax] = '\0';
        length = static_cast<int32_t>(std::strlen(err_info->buf));
    }
    return length;
}

KAVREL_ERR_MSG *new_message(KAVREL_CTX *ctx, int32_t severity, int32_t number, const char *text,
                            int32_t length) {
    const uint32_t bytes =
        static_cast<uint32_t>(sizeof(KAVREL_ERR_MSG)) + static_cast<uint32_t>(length) + 1;
    auto *message = static_cast<KAVREL_ERR_MSG *>(kavrel_alloc(ctx, bytes));
    if (message == nullptr) return nullptr;
    list_init(&message->errq);
    list_init(&message->msgq);
    message->error = number;
    message->severity = severity;
    message->buf = reinterpret_cast<char *>(message + 1);
    std::memcpy(message->buf, text, static_cast<std::size_t>(length));
    message->buf[length] = '\0';
    return message;
}

// Places a new message: a new entry, the new headline of the last entry
// (wrap), or the last detail of the last entry.
void place_message(KAVREL_ERR_INFO *err_info, KAVREL_ERR_MSG *message) {
    KAVREL_LINK *head = &err_info->errq;
    if (list_empty(head) || (err_info->flags & ERRINFO_NEW_ENTRY) != 0) {
        list_append(head, &message->errq);
        err_info->flags &= ~(ERRINFO_NEW_ENTRY | ERRINFO_WRAP);
        return;
    }
    KAVREL_ERR_MSG *last = errmsg_of_errq(head->prev);
    if ((err_info->flags & ERRINFO_WRAP) != 0) {
        // before: [errq] -> L ; L.msgq -> d1 -> d2
        // after:  [errq] -> M ; M.msgq -> L -> d1 -> d2
        list_remove(&last->errq);
        list_append(head, &message->errq);
        list_append(&last->msgq, &message->msgq);
        err_info->flags &= ~ERRINFO_WRAP;
        return;
    }
    list_append(&last->msgq, &message->msgq);
}

}  // namespace

void errinfo_begin(KAVREL_CTX *ctx, LOCALE_DES *msg_ctx, KAVREL_ERR_INFO *err_info) {
    // Every field zero; of the text buffer only its first byte matters, and
    // clearing all 513 bytes would cost every call.
    std::memset(static_cast<void *>(err_info), 0, offsetof(KAVREL_ERR_INFO, buf));
    err_info->buf[0] = '\0';
    list_init(&err_info->errq);
    err_info->consumer_ctx = ctx;
    err_info->msg_ctx = msg_ctx;
    err_info->flags = ERRINFO_NEW_ENTRY;
    // The e-mail settings are re-read at the start of every call.
    if (ctx != nullptr && ctx->hooks != nullptr) ctx->hooks->begin(ctx, err_info);
}

int32_t errinfo_add(KAVREL_ERR_INFO *err_info, int32_t severity, int32_t number, const char *format,
                    ...) {
    va_list values;
    va_start(values, format);
    errinfo_addv(err_info, severity, number, format, values);
    va_end(values);
    return 0;
}

int32_t errinfo_addv(KAVREL_ERR_INFO *err_info, int32_t severity, int32_t number,
                     const char *format, va_list values) {
    const int32_t length = compose_text(err_info, number, format, values);
    if ((err_info->flags & ERRINFO_NO_NUMBERS) != 0) number = 0;
    KAVREL_CTX *ctx = err_info->consumer_ctx;
    KAVREL_ERR_MSG *message = new_message(ctx, severity, number, err_info->buf, length);
    if (message == nullptr) {
        // Routing frees every held message; then try once more. The text is
        // safe from the routing in a copy of our own.
        char text[kMsgTextMax + 1];
        std::memcpy(text, err_info->buf, static_cast<std::size_t>(length) + 1);
        errinfo_route(err_info);
        message = new_message(ctx, severity, number, text, length);
        if (message == nullptr) {
            line_out(ctx, severity, number, text);
            return 0;
        }
    }
    place_message(err_info, message);
    ++err_info->total_msgs;
    err_info->total_text_len += length;
    if (severity > err_info->max_severity) err_info->max_severity = severity;
    return 0;
}

int32_t errinfo_discard_last(KAVREL_ERR_INFO *err_info) {
    KAVREL_LINK *head = &err_info->errq;
    if (list_empty(head) || (err_info->flags & ERRINFO_NEW_ENTRY) != 0) return 0;
    KAVREL_ERR_MSG *last = errmsg_of_errq(head->prev);
    KAVREL_CTX *ctx = err_info->consumer_ctx;
    for (KAVREL_LINK *l = last->msgq.next; l != &last->msgq;) {
        KAVREL_ERR_MSG *detail = errmsg_of_msgq(l);
        l = l->next;
        list_remove(&detail->msgq);
        kavrel_dealloc(ctx, detail);
    }
    list_remove(&last->errq);
    kavrel_dealloc(ctx, last);
    return 0;
}

uint32_t errinfo_precondition(KAVREL_ERR_INFO *err_info, const char *source, int line,
                              const char *condition, bool deliver) {
    if (err_info != nullptr) {
        errinfo_add(err_info, KAVREL_SEV_ERROR, KAVREL_E_PROGRAMMING,
                    "Assertion failed in %s at line %d: %s", source, line, condition);
        if (deliver) errinfo_route(err_info);
    } else {
        std::fprintf(stderr, "Assertion failed in %s at line %d: %s\n", source, line, condition);
    }
    return KAVREL_E_PROGRAMMING;
}

}  // namespace kavrel
