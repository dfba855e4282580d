// The error-information record: what one library call has to report,
// grouped into entries (a headline with its details), held until the call
// routes it just before returning.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "support/list.h"

struct KAVREL_CTX;

#if defined(__GNUC__)
#define KAVREL_PRINTF(fmt, first) __attribute__((format(printf, fmt, first)))
#else
#define KAVREL_PRINTF(fmt, first)
#endif

namespace kavrel {
struct LOCALE_DES;

inline constexpr int32_t SEV_DEBUG = 20;
inline constexpr int32_t SEV_LOG = 40;
inline constexpr int32_t SEV_INFORMATIONAL = 60;
inline constexpr int32_t SEV_WARNING = 80;
inline constexpr int32_t SEV_ERROR = 100;
inline constexpr int32_t SEV_NONE = 101;

inline constexpr int32_t MSG_DIRECT = 1;
inline constexpr int32_t MSG_MAX_CAUSE = 131227;
inline constexpr int32_t MSG_NOMEM = 131229;
inline constexpr int32_t MSG_PATH_NOMEM = 131112;
inline constexpr int32_t MSG_ERROR_LABEL = 131277;
inline constexpr int32_t MSG_WARNING_LABEL = 131278;
inline constexpr int32_t MSG_POSSIBLE_CAUSE = 131279;
inline constexpr int32_t MSG_PROGRAMMING = 1000000;
inline constexpr uint32_t STATUS_PROGRAMMING = 1000000u;

inline constexpr const char *kAssertFormat = "Assertion failed in %s at line %d: %s";

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

// A failed precondition, held in the record: "Assertion failed in <source>
// at line <line>: <condition>", severity 100, number 1000000.
void errinfo_assert(KAVREL_ERR_INFO *err_info, const char *source, int line, const char *condition);
// The same on standard error, for a call that has no record it can trust.
void assert_stderr(const char *source, int line, const char *condition);

// The entry list walks: each entry, and each detail of an entry.
inline KAVREL_ERR_MSG *errmsg_of_errq(KAVREL_LINK *link) {
    return list_entry<KAVREL_ERR_MSG>(link, offsetof(KAVREL_ERR_MSG, errq));
}
inline KAVREL_ERR_MSG *errmsg_of_msgq(KAVREL_LINK *link) {
    return list_entry<KAVREL_ERR_MSG>(link, offsetof(KAVREL_ERR_MSG, msgq));
}

}  // namespace kavrel
