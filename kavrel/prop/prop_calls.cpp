// The product's property calls: store (or remove) one property and write
// the file at once; read one. Both merge the file in first.
#include "diag/errinfo.h"
#include "diag/route.h"
#include "kavrel_ctx.h"
#include "prop.h"

namespace kavrel {
namespace {

constexpr const char *kSource = "kavrel";
// A failed precondition of the call: reported, delivered, 1000000.
uint32_t refuse(KAVREL_ERR_INFO *err_info, int line, const char *condition) {
    errinfo_assert(err_info, kSource, line, condition);
    errinfo_route(err_info);
    return STATUS_PROGRAMMING;
}

// Merges the file in; a failure is delivered and the call goes on with the
// list held in memory.
void reload(KAVREL_CTX *ctx, KAVREL_ERR_INFO *err_info) {
    if (prop_load(ctx->prop, ctx->propfile, nullptr, err_info) != 0) errinfo_route(err_info);
}

uint32_t store(KAVREL_CTX *ctx, const char *name, const char *value) {
    if (!ctx_usable(ctx, __LINE__)) return STATUS_PROGRAMMING;
    KAVREL_ERR_INFO err_info;
    errinfo_begin(ctx, ctx->msg, &err_info);
    if (name == nullptr) return refuse(&err_info, __LINE__, "(name != NULL)");
    PropFileLock writers(ctx->propfile);
    reload(ctx, &err_info);
    uint32_t status = prop_set(ctx->prop, name, value, &err_info);
    if (status == 0) status = prop_save(ctx->prop, ctx->propfile, &err_info);
    errinfo_route(&err_info);
    return status;
}

uint32_t retrieve(KAVREL_CTX *ctx, const char *name, char *value, uint32_t max_len) {
    if (!ctx_usable(ctx, __LINE__)) return STATUS_PROGRAMMING;
    KAVREL_ERR_INFO err_info;
    errinfo_begin(ctx, ctx->msg, &err_info);
    if (name == nullptr) return refuse(&err_info, __LINE__, "(name != NULL)");
    if (value == nullptr) return refuse(&err_info, __LINE__, "(value != NULL)");
    // The record's beginning has just merged the file in when the context
    // has its notifier (the e-mail settings are re-read from it).
    if (ctx->email == nullptr) reload(ctx, &err_info);
    uint32_t length = max_len;
    const uint32_t status = prop_get(ctx->prop, name, value, &length, &err_info);
    errinfo_route(&err_info);
    return status;
}

}  // namespace
}  // namespace kavrel

extern "C" {

uint32_t kavrel_store_prop(KAVREL_CTX *ctx, const char *name, const char *value) {
    return kavrel::guarded([&] { return kavrel::store(ctx, name, value); });
}

uint32_t kavrel_retrieve_prop(KAVREL_CTX *ctx, const char *name, char *value, uint32_t max_len) {
    return kavrel::guarded([&] { return kavrel::retrieve(ctx, name, value, max_len); });
}

}  // extern "C"
