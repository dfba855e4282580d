// The product's property calls: store (or remove) one property and write
// the file at once; read one. Both merge the file in first.
#include "call.h"
#include "diag/route.h"
#include "prop.h"

namespace kavrel {
namespace {

// Merges the file in; a failure is delivered at once and the call goes on
// with the list held in memory.
void reload(CallScope &call) {
    KAVREL_CTX *ctx = call.ctx();
    if (prop_load(ctx->prop, ctx->propfile, nullptr, call.record()) != 0) call.deliver();
}

uint32_t store(KAVREL_CTX *ctx, const char *name, const char *value) {
    CallScope call(ctx, __LINE__);
    if (!call) return KAVREL_E_PROGRAMMING;
    if (name == nullptr) return call.refuse(__LINE__, "(name != NULL)");
    // Stores of every process on this file take turns from the reload to
    // the end of the save, and so do the loads and stores of this context's
    // threads; the call's lines, a failed merge's delivery among them, reach
    // the handler once both are released.
    PlatDirLock writers(ctx->propfile);
    LockGuard store_lock(ctx->prop->lock);
    reload(call);
    uint32_t status = prop_set(ctx->prop, name, value, call.record());
    if (status == 0) status = prop_save(ctx->prop, ctx->propfile, call.record());
    return status;
}

uint32_t retrieve(KAVREL_CTX *ctx, const char *name, char *value, uint32_t max_len) {
    CallScope call(ctx, __LINE__);
    if (!call) return KAVREL_E_PROGRAMMING;
    if (name == nullptr) return call.refuse(__LINE__, "(name != NULL)");
    if (value == nullptr) return call.refuse(__LINE__, "(value != NULL)");
    // The record's beginning has just merged the file in when the context
    // has its notifier (the e-mail settings are re-read from it).
    if (ctx->email == nullptr) reload(call);
    uint32_t length = max_len;
    return prop_get(ctx->prop, name, value, &length, call.record());
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
