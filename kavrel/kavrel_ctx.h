// The library context record, the process-wide default trace mask, and the
// context's tracked memory and e-mail settings as the layers below the
// context use them.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "kavrel.h"
#include "support/list.h"
#include "support/mem.h"
#include "support/platform.h"
#include "support/timefmt.h"

namespace kavrel {
struct PROP_DES;
struct EMAIL_DES;
struct LOCALE_DES;
struct DiagHooks;

// "XTCL" in memory order, read as a little-endian 32-bit value.
inline constexpr uint32_t KAVREL_CTX_MAGIC = 0x4C435458u;

// The mask a new context starts with when it is non-zero.
extern std::atomic<uint32_t> g_default_trace;

inline constexpr std::size_t kHostSize = 128;
inline constexpr std::size_t kSenderSize = 128;
inline constexpr std::size_t kRecipientsSize = 1024;
inline constexpr std::size_t kUserSize = 128;
inline constexpr std::size_t kPasswordSize = 128;
inline constexpr std::size_t kCaSize = 512;
inline constexpr int32_t kMailsPerHour = 60;

// How the relay is reached: in clear, upgraded by STARTTLS, or over TLS
// from the first byte.
enum MailSecurity : int32_t { kSecurityNone, kSecurityStartTls, kSecurityTls };

// The e-mail settings of TLS, the login and the flood control.
struct MailAccess {
    int32_t security;
    int32_t per_hour;  // reports an hour to one relay; 0 for no limit
    char user[kUserSize];
    char password[kPasswordSize];
    char ca[kCaSize];     // a CA file; the system's store when empty
    uint32_t generation;  // of the properties these were read from, plus one
};
}  // namespace kavrel

struct KAVREL_CTX {
    uint32_t magic;
    uint32_t trace;  // read and written atomically (trace_mask, set_trace_mask)
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
    // E-mail settings, refreshed from the properties at every call; guarded
    // by settings_mutex.
    char smtp_host[kavrel::kHostSize];
    int16_t smtp_port;
    int32_t emailnotification;  // read and written atomically
    int32_t email_severity;
    char email_sender[kavrel::kSenderSize];
    char email_recipients[kavrel::kRecipientsSize];
    kavrel::MailAccess email_access;
    // Finds a tracked block by its address in constant time; guarded by
    // memory_mutex like the list.
    kavrel::MemIndex memory_index;
    // How tracked memory and the diagnostics reach the context's lines and
    // the layers above them: wired by the context when it is built.
    const kavrel::MemReport *memory_report;
    const kavrel::DiagHooks *hooks;
    // Guards the e-mail settings: a call's start rewrites them while
    // another thread's routing reads them.
    kavrel::RecursiveLock settings_mutex;
};

namespace kavrel {

inline bool ctx_valid(const KAVREL_CTX *ctx) noexcept {
    return ctx != nullptr && ctx->magic == KAVREL_CTX_MAGIC;
}

inline uint32_t trace_mask(const KAVREL_CTX *ctx) noexcept {
    return std::atomic_ref<const uint32_t>(ctx->trace).load(std::memory_order_relaxed);
}

inline void set_trace_mask(KAVREL_CTX *ctx, uint32_t mask) noexcept {
    std::atomic_ref<uint32_t>(ctx->trace).store(mask, std::memory_order_relaxed);
}

// ---- tracked memory of a context ----------------------------------------------

inline TrackedMemory tracked(KAVREL_CTX *ctx) noexcept {
    return {&ctx->memory, &ctx->memory_mutex, &ctx->memory_index, ctx->memory_report, ctx};
}

inline void *kavrel_alloc(KAVREL_CTX *ctx, uint32_t size) {
    return tracked_alloc(tracked(ctx), size);
}

inline void kavrel_dealloc(KAVREL_CTX *ctx, void *address) {
    tracked_free(tracked(ctx), address);
}

inline char *mem_strdup(KAVREL_CTX *ctx, const char *s) {
    return tracked_strdup(tracked(ctx), s);
}

// format_time with the context's tracked memory (none without a context).
inline void format_time(KAVREL_CTX *ctx, const char *locale, const std::time_t *t, char *buf) {
    if (ctx == nullptr)
        return format_time(static_cast<const TrackedMemory *>(nullptr), locale, t, buf);
    const TrackedMemory memory = tracked(ctx);
    format_time(&memory, locale, t, buf);
}

// ---- e-mail settings ----------------------------------------------------------

// A copy of the context's e-mail settings, taken or stored whole under the
// settings lock.
struct MailSettings {
    char host[kHostSize];
    int16_t port;
    int32_t severity;
    char sender[kSenderSize];
    char recipients[kRecipientsSize];
    MailAccess access;
};

inline MailSettings mail_settings(KAVREL_CTX *ctx) {
    MailSettings s;
    LockGuard lock(ctx->settings_mutex);
    std::memcpy(s.host, ctx->smtp_host, sizeof s.host);
    s.port = ctx->smtp_port;
    s.severity = ctx->email_severity;
    std::memcpy(s.sender, ctx->email_sender, sizeof s.sender);
    std::memcpy(s.recipients, ctx->email_recipients, sizeof s.recipients);
    s.access = ctx->email_access;
    return s;
}

inline void set_mail_settings(KAVREL_CTX *ctx, const MailSettings &s) {
    LockGuard lock(ctx->settings_mutex);
    std::memcpy(ctx->smtp_host, s.host, sizeof s.host);
    ctx->smtp_port = s.port;
    ctx->email_severity = s.severity;
    std::memcpy(ctx->email_sender, s.sender, sizeof s.sender);
    std::memcpy(ctx->email_recipients, s.recipients, sizeof s.recipients);
    ctx->email_access = s.access;
}

}  // namespace kavrel
