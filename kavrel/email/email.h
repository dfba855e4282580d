// E-mail notification: the settings kept in the context and refreshed from
// the properties at every call, the notifier record, and the delivery of
// one mail over SMTP.
#pragma once

#include <cstddef>
#include <cstdint>

#include "diag/errinfo.h"
#include "support/platform.h"

namespace kavrel {

inline constexpr uint32_t EMAIL_DES_MAGIC = 0x4541494Cu;
inline constexpr int kReplySize = 256;  // bytes of one greeting or reply
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
    char reply[kReplySize + 1];
};

// ---- configuration ------------------------------------------------------------

uint32_t email_init(KAVREL_CTX *ctx, char *helo, EMAIL_DES **email_ctx, KAVREL_ERR_INFO *err_info);
uint32_t email_config(EMAIL_DES *email_des, const char *host, int16_t port,
                      KAVREL_ERR_INFO *err_info);
uint32_t email_free(EMAIL_DES **email_ctx, KAVREL_ERR_INFO *err_info);
uint32_t email_read_props(KAVREL_CTX *ctx, KAVREL_ERR_INFO *err_info);
char *email_helo_get(KAVREL_CTX *ctx, KAVREL_ERR_INFO *err_info);
uint32_t email_severity_parse(KAVREL_CTX *ctx, const char *text, int32_t *threshold,
                              KAVREL_ERR_INFO *err_info);
void email_trace(EMAIL_DES *email_des, const char *format, ...) KAVREL_PRINTF(2, 3);

// ---- delivery -------------------------------------------------------------------

uint32_t smtp_connect(EMAIL_DES *email_des, const char *host, int16_t port, PlatSocket *socket,
                      KAVREL_ERR_INFO *err_info);
bool smtp_command(EMAIL_DES *email_des, PlatSocket &socket, bool await_reply, const char *bytes,
                  std::size_t count);
void smtp_close(EMAIL_DES *email_des, PlatSocket *socket);
uint32_t email_send(EMAIL_DES *email_des, const char *sender, const char *recipients,
                    const char *subject, const char *body, KAVREL_ERR_INFO *err_info);

}  // namespace kavrel
