// The library context record and the process-wide default trace mask.
#pragma once

#include <atomic>
#include <cstdint>

#include "kavrel.h"
#include "support/list.h"
#include "support/mem.h"
#include "support/platform.h"

namespace kavrel {
struct PROP_DES;
struct EMAIL_DES;
struct LOCALE_DES;

// "XTCL" in memory order, read as a little-endian 32-bit value.
inline constexpr uint32_t KAVREL_CTX_MAGIC = 0x4C435458u;

// The mask a new context starts with when it is non-zero.
extern std::atomic<uint32_t> g_default_trace;

inline constexpr std::size_t kHostSize = 128;
inline constexpr std::size_t kSenderSize = 128;
inline constexpr std::size_t kRecipientsSize = 1024;
}  // namespace kavrel

struct KAVREL_CTX {
    uint32_t magic;
    uint32_t trace;
    char *productname;
    char *instance;
    char *locale;
    char *directory;
    char *propfile;
    kavrel::PROP_DES *prop;
    kavrel::LOCALE_DES *msg;
    kavrel::KAVREL_LINK memory;
    kavrel::RecursiveLock memory_mutex;
    kavrel::KAVREL_LINK properties;
    KAVREL_MESSAGE_HANDLER messagehandler;
    kavrel::EMAIL_DES *email;
    char *helo;
    // E-mail settings, refreshed from the properties at every call.
    char smtp_host[kavrel::kHostSize];
    int16_t smtp_port;
    int32_t emailnotification;
    int32_t email_severity;
    char email_sender[kavrel::kSenderSize];
    char email_recipients[kavrel::kRecipientsSize];
    // Finds a tracked block by its address in constant time; guarded by
    // memory_mutex like the list.
    kavrel::MemIndex memory_index;
};

namespace kavrel {
inline constexpr uint32_t kStatusProgramming = 1000000u;

// The C edge of every public call: no exception leaves the library.
template <class Call>
uint32_t guarded(Call call) noexcept {
    try {
        return call();
    } catch (...) {
        return kStatusProgramming;
    }
}

inline bool ctx_valid(const KAVREL_CTX *ctx) noexcept {
    return ctx != nullptr && ctx->magic == KAVREL_CTX_MAGIC;
}

// The first check of a public call that is given a context: false (after
// the assertion text on standard error, quoting `line`) when there is none
// or it is not one.
bool ctx_usable(const KAVREL_CTX *ctx, int line);
}  // namespace kavrel
