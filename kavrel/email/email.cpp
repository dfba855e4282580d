// The e-mail settings and the notifier record.
#include "email.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "diag/route.h"
#include "diag/trace.h"
#include "kavrel_ctx.h"
#include "prop/prop.h"

namespace kavrel {
namespace {

constexpr const char *kSource = "email";
constexpr int kNumberText = 21;  // characters of a port or severity setting

struct Keyword {
    const char *name;
    int32_t value;
};
constexpr Keyword kSeverities[] = {{"DEBUG", 20},   {"LOG", 40},    {"INFORMATIONAL", 60},
                                   {"WARNING", 80}, {"ERROR", 100}, {"NONE", 101}};

// A failed precondition of the notifier's operations is delivered at once.
uint32_t refuse(KAVREL_ERR_INFO *err_info, int line, const char *condition) {
    return errinfo_precondition(err_info, kSource, line, condition, true);
}

// Reads one setting into a field of `size` bytes; the get's status (1 when
// the property is absent, and the field is then left as it was).
uint32_t read_setting(KAVREL_CTX *ctx, const char *key, char *field, uint32_t size,
                      KAVREL_ERR_INFO *err_info) {
    uint32_t length = size - 1;
    return prop_get(ctx->prop, key, field, &length, err_info);
}

uint32_t read_port(KAVREL_CTX *ctx, int16_t *port, KAVREL_ERR_INFO *err_info) {
    char text[kNumberText + 1] = "";
    const uint32_t status = read_setting(ctx, "email.smtp.port", text, sizeof text, err_info);
    if (status == 1) return status;
    const auto value = static_cast<uint16_t>(std::strtol(text, nullptr, 10));
    if (value == 0) {
        errinfo_add(err_info, KAVREL_SEV_WARNING, KAVREL_E_SMTP_PORT,
                    "Invalid port number %s specified for the %s property in %s. Existing value "
                    "of %d will be used.",
                    text, "email.smtp.port", ctx->propfile,
                    static_cast<int>(static_cast<uint16_t>(*port)));
        return KAVREL_E_SMTP_PORT;
    }
    *port = static_cast<int16_t>(value);
    return status;
}

// An invalid value keeps the setting as it was, and says so.
void invalid(KAVREL_CTX *ctx, const char *key, const char *text, const char *kept,
             const char *valid, KAVREL_ERR_INFO *err_info) {
    errinfo_add(err_info, KAVREL_SEV_WARNING, KAVREL_E_MAIL_SETTING,
                "Invalid value %s specified for the %s property in %s. Existing value %s will be "
                "used. Valid values are %s",
                text, key, ctx->propfile, kept, valid);
}

constexpr const char *kSecurities[] = {"none", "starttls", "tls"};

uint32_t read_access(KAVREL_CTX *ctx, MailAccess *a, KAVREL_ERR_INFO *err_info) {
    uint32_t result = 0;
    char text[kNumberText + 1] = "";
    if (read_setting(ctx, "email.smtp.security", text, sizeof text, err_info) == 0) {
        int32_t found = -1;
        for (int32_t i = 0; i < 3; ++i) found = std::strcmp(text, kSecurities[i]) == 0 ? i : found;
        if (found < 0) {
            invalid(ctx, "email.smtp.security", text, kSecurities[a->security],
                    "none, starttls, tls", err_info);
            result = KAVREL_E_MAIL_SETTING;
        }
        a->security = found < 0 ? a->security : found;
    }
    if (read_setting(ctx, "email.max.per.hour", text, sizeof text, err_info) == 0) {
        char *end = nullptr;
        const long value = std::strtol(text, &end, 10);
        if (end == text || *end != '\0' || value < 0 || value > INT32_MAX) {
            char kept[kNumberText];
            std::snprintf(kept, sizeof kept, "%d", static_cast<int>(a->per_hour));
            invalid(ctx, "email.max.per.hour", text, kept, "0 (no limit) and above", err_info);
            result = KAVREL_E_MAIL_SETTING;
        } else {
            a->per_hour = static_cast<int32_t>(value);
        }
    }
    read_setting(ctx, "email.smtp.user", a->user, kUserSize, err_info);
    read_setting(ctx, "email.smtp.password", a->password, kPasswordSize, err_info);
    read_setting(ctx, "email.smtp.tls.ca", a->ca, kCaSize, err_info);
    return result;
}

// A password in a file that others can read is reported once per change
// of the file.
void check_password(KAVREL_CTX *ctx, const MailAccess &a, KAVREL_ERR_INFO *err_info) {
    FileInfo info;
    if (a.password[0] == '\0' || plat_stat(ctx->propfile, &info) != 0 || (info.mode & 044) == 0) {
        return;
    }
    EMAIL_DES *e = ctx->email;
    LockGuard lock(ctx->settings_mutex);
    if (e->warned_mtime_ns == info.mtime_ns && e->warned_inode == info.inode &&
        e->warned_mode == info.mode) {
        return;
    }
    e->warned_mtime_ns = info.mtime_ns;
    e->warned_inode = info.inode;
    e->warned_mode = info.mode;
    errinfo_add(err_info, KAVREL_SEV_WARNING, KAVREL_E_PASSWORD_SHOWN,
                "The properties file %s holds an e-mail password and can be read by other users.",
                ctx->propfile);
}

uint32_t read_severity(KAVREL_CTX *ctx, int32_t *severity, KAVREL_ERR_INFO *err_info) {
    char text[kNumberText + 1] = "";
    const uint32_t status = read_setting(ctx, "email.severity", text, sizeof text, err_info);
    if (status == 1) return status;
    const uint32_t parsed = email_severity_parse(ctx, text, severity, err_info);
    return parsed != 0 ? parsed : status;
}

}  // namespace

void email_trace(EMAIL_DES *email_des, const char *format, ...) {
    if (!trace_on(email_des->owner, KAVREL_TRACE_PROP)) return;
    va_list values;
    va_start(values, format);
    trace_vprintf(email_des->owner, format, values);
    va_end(values);
}

char *email_helo_get(KAVREL_CTX *ctx, KAVREL_ERR_INFO *err_info) {
    uint32_t length = 0;
    if (prop_get(ctx->prop, "email.helo.fqdn", nullptr, &length, err_info) != 0) return nullptr;
    auto *helo = static_cast<char *>(kavrel_alloc(ctx, length + 1));
    if (helo == nullptr) {
        errinfo_add(err_info, KAVREL_SEV_ERROR, KAVREL_E_NOMEM, "Failed to allocate %d bytes.",
                    static_cast<int>(length + 1));
        return nullptr;
    }
    if (prop_get(ctx->prop, "email.helo.fqdn", helo, &length, err_info) != 0) {
        kavrel_dealloc(ctx, helo);
        return nullptr;
    }
    return helo;
}

uint32_t email_init(KAVREL_CTX *ctx, char *helo, EMAIL_DES **email_ctx, KAVREL_ERR_INFO *err_info) {
    if (email_ctx == nullptr) return refuse(err_info, __LINE__, "(email_ctx != NULL)");
    if (err_info == nullptr) return refuse(err_info, __LINE__, "(err_info != NULL)");
    *email_ctx = nullptr;
    auto *e = static_cast<EMAIL_DES *>(kavrel_alloc(ctx, sizeof(EMAIL_DES)));
    if (e == nullptr) {
        errinfo_add(err_info, KAVREL_SEV_ERROR, KAVREL_E_NOMEM, "Failed to allocate %d bytes.",
                    static_cast<int>(sizeof(EMAIL_DES)));
        return static_cast<uint32_t>(KAVREL_E_NOMEM);
    }
    e->magic = EMAIL_DES_MAGIC;
    e->owner = ctx;
    e->helo = helo;
    new (&e->socket) PlatSocket();
    new (&e->tls) PlatTls();
    e->lock.create();
    *email_ctx = e;
    email_trace(e, "EMAIL %s(%p)\n", "email_init:", static_cast<void *>(e));
    return 0;
}

uint32_t email_config(EMAIL_DES *email_des, const char *host, int16_t port,
                      const MailAccess &access, KAVREL_ERR_INFO *err_info) {
    if (host == nullptr || host[0] == '\0') {
        return refuse(err_info, __LINE__, "((host != NULL) && (host[0] != '\\0'))");
    }
    if (err_info == nullptr) return refuse(err_info, __LINE__, "(err_info != NULL)");
    if (email_des == nullptr) return refuse(err_info, __LINE__, "(email_ctx != NULL)");
    if (email_des->magic != EMAIL_DES_MAGIC)
        return refuse(err_info, __LINE__, kEmailMagicCondition);
    LockGuard lock(email_des->lock);
    if (email_des->host != nullptr && std::strcmp(email_des->host, host) == 0 &&
        email_des->port == port && email_des->security == access.security &&
        std::strcmp(email_des->ca, access.ca) == 0) {
        return 0;
    }
    email_des->security = access.security;
    std::memcpy(email_des->ca, access.ca, sizeof email_des->ca);
    if (email_des->host == nullptr || std::strcmp(email_des->host, host) != 0) {
        kavrel_dealloc(email_des->owner, email_des->host);
        email_des->host = mem_strdup(email_des->owner, host);
        if (email_des->host == nullptr) {
            errinfo_add(err_info, KAVREL_SEV_ERROR, KAVREL_E_NOMEM,
                        "Failed to allocate %d bytes for email host.",
                        static_cast<int>(std::strlen(host)));
            return static_cast<uint32_t>(KAVREL_E_NOMEM);
        }
    }
    email_des->port = port;
    smtp_close(email_des, &email_des->socket);
    const uint32_t status =
        smtp_connect(email_des, email_des->host, port, access, &email_des->socket, err_info);
    smtp_close(email_des, &email_des->socket);
    return status;
}

uint32_t email_free(EMAIL_DES **email_ctx, KAVREL_ERR_INFO *err_info) {
    if (email_ctx == nullptr) return refuse(err_info, __LINE__, "(email_ctx != NULL)");
    if (err_info == nullptr) return refuse(err_info, __LINE__, "(err_info != NULL)");
    if (*email_ctx == nullptr) return refuse(err_info, __LINE__, "(*email_ctx != NULL)");
    EMAIL_DES *e = *email_ctx;
    if (e->magic != EMAIL_DES_MAGIC) return refuse(err_info, __LINE__, kEmailMagicCondition);
    *email_ctx = nullptr;
    smtp_close(e, &e->socket);
    e->tls.~PlatTls();
    KAVREL_CTX *owner = e->owner;
    kavrel_dealloc(owner, e->host);
    e->lock.destroy();
    std::memset(static_cast<void *>(e), 0, sizeof *e);
    new (&e->socket) PlatSocket();
    trace_printf(owner, KAVREL_TRACE_PROP, "EMAIL %s(%p)\n", "email_free:", static_cast<void *>(e));
    kavrel_dealloc(owner, e);
    return 0;
}

uint32_t email_severity_parse(KAVREL_CTX *ctx, const char *text, int32_t *threshold,
                              KAVREL_ERR_INFO *err_info) {
    const char *existing = nullptr;
    for (const Keyword &k : kSeverities) {
        if (std::strcmp(text, k.name) == 0) {
            *threshold = k.value;
            return 0;
        }
        if (k.value == *threshold) existing = k.name;
    }
    if (existing == nullptr) {
        *threshold = KAVREL_SEV_WARNING;
        existing = "WARNING";
    }
    errinfo_add(err_info, KAVREL_SEV_WARNING, KAVREL_E_EMAIL_SEVERITY,
                "Invalid severity %s specified for the %s property in %s. Existing severity %s "
                "will be used. Valid severity values are %s",
                text, "email.severity", ctx->propfile, existing,
                "INFORMATIONAL, WARNING, ERROR, NONE");
    return KAVREL_E_PROGRAMMING;
}

uint32_t email_read_props(KAVREL_CTX *ctx, KAVREL_ERR_INFO *err_info) {
    if (ctx->prop == nullptr || ctx->email == nullptr) return 0;
    prop_load(ctx->prop, ctx->propfile, nullptr, err_info);
    // Read into a copy, stored whole: a routing on another thread sees the
    // settings before or after, never half of each.
    MailSettings s = mail_settings(ctx);
    uint32_t result = 0;
    const auto keep = [&result](uint32_t status) {
        if (status != 0) result = status;
    };
    keep(read_setting(ctx, "email.smtp.host", s.host, kHostSize, err_info));
    keep(read_port(ctx, &s.port, err_info));
    keep(read_setting(ctx, "email.sender", s.sender, kSenderSize, err_info));
    keep(read_setting(ctx, "email.recipients", s.recipients, kRecipientsSize, err_info));
    keep(read_severity(ctx, &s.severity, err_info));
    // The settings of TLS, the login and the flood control are read again
    // (and their warnings given) only when the properties have changed.
    const uint32_t generation = prop_generation(ctx->prop) + 1;
    if (s.access.generation != generation) {
        keep(read_access(ctx, &s.access, err_info));
        s.access.generation = generation;
    }
    set_mail_settings(ctx, s);
    check_password(ctx, s.access, err_info);
    if (s.host[0] != '\0' && s.severity <= KAVREL_SEV_ERROR) {
        keep(email_config(ctx->email, s.host, s.port, s.access, err_info));
    }
    return result;
}

}  // namespace kavrel
