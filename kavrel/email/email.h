// E-mail notification: the settings kept in the context and refreshed from
// the properties at every call, the notifier record, and the delivery of
// one mail over SMTP.
#pragma once

#include <cstddef>
#include <cstdint>

#include "diag/errinfo.h"
#include "kavrel_ctx.h"
#include "support/platform.h"

namespace kavrel {

inline constexpr uint32_t EMAIL_DES_MAGIC = 0x4541494Cu;
inline constexpr int kReplySize = 256;   // bytes kept of one greeting or reply
inline constexpr int kInputSize = 1024;  // bytes received at once
inline constexpr const char *kEmailMagicCondition =
    "((email_des != (EMAIL_DES *) NULL) && (email_des->magic == EMAIL_DES_MAGIC))";

struct EMAIL_DES {
    RecursiveLock lock;  // held for a whole configuration or delivery
    uint32_t magic;
    KAVREL_CTX *owner;
    PlatSocket socket;  // open only during one delivery or test connection
    char *host;         // a copy in the owner's tracked memory, or null
    char *helo;         // the context's HELO name (not owned), or null
    int16_t port;
    char reply[kReplySize + 1];  // the start of the last reply, as received
    // What the relay was proved with, and the TLS session over the socket.
    int32_t security;
    char ca[kCaSize];
    PlatTls tls;
    bool sockets_started;       // the socket layer started for the connection
    char line[kReplySize + 1];  // the last line of the last reply, without its end
    char input[kInputSize];     // received and not yet read: [input_at, input_end)
    uint32_t input_at;
    uint32_t input_end;
    // The properties file last found readable by others while it held a
    // password: warned about once per change (guarded by the owner's
    // settings lock, not the record's, which a delivery holds).
    int64_t warned_mtime_ns;
    uint64_t warned_inode;
    uint32_t warned_mode;
};

// ---- configuration ------------------------------------------------------------

uint32_t email_init(KAVREL_CTX *ctx, char *helo, EMAIL_DES **email_ctx, KAVREL_ERR_INFO *err_info);
uint32_t email_config(EMAIL_DES *email_des, const char *host, int16_t port,
                      const MailAccess &access, KAVREL_ERR_INFO *err_info);
uint32_t email_free(EMAIL_DES **email_ctx, KAVREL_ERR_INFO *err_info);
uint32_t email_read_props(KAVREL_CTX *ctx, KAVREL_ERR_INFO *err_info);
char *email_helo_get(KAVREL_CTX *ctx, KAVREL_ERR_INFO *err_info);
uint32_t email_severity_parse(KAVREL_CTX *ctx, const char *text, int32_t *threshold,
                              KAVREL_ERR_INFO *err_info);
void email_trace(EMAIL_DES *email_des, const char *format, ...) KAVREL_PRINTF(2, 3);

// ---- delivery -------------------------------------------------------------------

// Connects to the relay and reads its greeting (over TLS from the start when
// the access says so).
uint32_t smtp_connect(EMAIL_DES *email_des, const char *host, int16_t port,
                      const MailAccess &access, PlatSocket *socket, KAVREL_ERR_INFO *err_info);
void smtp_close(EMAIL_DES *email_des, PlatSocket *socket);
// Mails one report: 0 when the relay took it, or why not (a failure to
// connect; KAVREL_E_SMTP_REFUSED when a step failed or a recipient was
// refused, reported as 131272; KAVREL_E_NO_TLS). Reports over the hour's
// limit are not mailed, and a mail after them tells how many.
uint32_t email_send(EMAIL_DES *email_des, const MailSettings &to, const char *subject,
                    const char *body, KAVREL_ERR_INFO *err_info);

}  // namespace kavrel
