// The error-information record: what one library call has to report,
// grouped into entries (a headline with its details), held until the call
// routes it just before returning.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "kavrel.h"
#include "support/list.h"
#include "support/platform.h"

namespace kavrel {
struct LOCALE_DES;
struct MailSettings;

// Flags of the record.
inline constexpr uint32_t ERRINFO_NEW_ENTRY = 0x1;
inline constexpr uint32_t ERRINFO_WRAP = 0x2;
inline constexpr uint32_t ERRINFO_NO_NUMBERS = 0x4;
// Flag of a message: routing has handed the entry to the line writer.
inline constexpr uint32_t ERRMSG_WRITTEN = 0x2;

// Longest text of one message, without its terminator.
inline constexpr int32_t kMsgTextMax = 512;

// One held message, in one tracked block with its text right behind it.
struct KAVREL_ERR_MSG {
    KAVREL_LINK errq;  // entry: its place in the record's entry list
    KAVREL_LINK msgq;  // entry: head of its details; detail: its node there
    int32_t error;
    int32_t severity;
    uint32_t flags;
    uint32_t status;
    char *buf;
};

struct KAVREL_ERR_INFO {
    KAVREL_LINK errq;
    KAVREL_CTX *consumer_ctx;
    LOCALE_DES *msg_ctx;
    int32_t total_msgs;
    int32_t max_severity;
    uint32_t flags;
    int32_t total_text_len;
    char buf[kMsgTextMax + 1];
};

void errinfo_begin(KAVREL_CTX *ctx, LOCALE_DES *msg_ctx, KAVREL_ERR_INFO *err_info);
int32_t errinfo_add(KAVREL_ERR_INFO *err_info, int32_t severity, int32_t number, const char *format,
                    ...) KAVREL_PRINTF(4, 5);
int32_t errinfo_addv(KAVREL_ERR_INFO *err_info, int32_t severity, int32_t number,
                     const char *format, va_list values) KAVREL_PRINTF(4, 0);
int32_t errinfo_discard_last(KAVREL_ERR_INFO *err_info);

// A failed precondition: "Assertion failed in <source> at line <line>:
// <condition>", added to the record (severity 100, number 1000000) and, when
// `deliver`, routed at once; on standard error when there is no record to
// trust. Returns KAVREL_E_PROGRAMMING.
uint32_t errinfo_precondition(KAVREL_ERR_INFO *err_info, const char *source, int line,
                              const char *condition, bool deliver = false);

// What the diagnostics reach in the layers above them. The context wires
// one set into every context it builds; a context without them (the
// stand-by context of kavrel_init) neither re-reads settings nor mails.
struct DiagHooks {
    // At the start of every record: the e-mail settings are read again.
    void (*begin)(KAVREL_CTX *ctx, KAVREL_ERR_INFO *err_info);
    // Mails a report with the settings `to`: 0, or the status of a failed
    // delivery, whose messages are then in the record.
    uint32_t (*mail)(KAVREL_CTX *ctx, const MailSettings &to, const char *subject, const char *body,
                     KAVREL_ERR_INFO *err_info);
    // The properties part of the whole-library dump.
    void (*dump_properties)(KAVREL_CTX *ctx, KAVREL_ERR_INFO *err_info);
};

// The entry list walks: each entry, and each detail of an entry.
inline KAVREL_ERR_MSG *errmsg_of_errq(KAVREL_LINK *link) {
    return list_entry<KAVREL_ERR_MSG>(link, offsetof(KAVREL_ERR_MSG, errq));
}
inline KAVREL_ERR_MSG *errmsg_of_msgq(KAVREL_LINK *link) {
    return list_entry<KAVREL_ERR_MSG>(link, offsetof(KAVREL_ERR_MSG, msgq));
}

}  // namespace kavrel
