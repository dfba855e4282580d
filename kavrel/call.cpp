#include "call.h"

#include "diag/route.h"

namespace kavrel {
namespace {

constexpr const char *kSource = "kavrel";

}  // namespace

CallScope::CallScope(KAVREL_CTX *ctx, int line) noexcept : ctx_(nullptr) {
    if (!ctx_valid(ctx)) {
        errinfo_precondition(
            nullptr, kSource, line,
            ctx == nullptr ? "(app_ctx != NULL)"
                           : "((ctx != (KAVREL_CTX *) NULL) && (ctx->magic == KAVREL_CTX_MAGIC))");
        return;
    }
    rebind(ctx);
}

CallScope::CallScope(StandBy, KAVREL_CTX *standby) noexcept : ctx_(nullptr) {
    rebind(standby);
}

CallScope::~CallScope() {
    if (ctx_ != nullptr) errinfo_route(&err_info_);
}

uint32_t CallScope::refuse(int line, const char *condition) noexcept {
    return errinfo_precondition(&err_info_, kSource, line, condition);
}

void CallScope::deliver() noexcept {
    errinfo_route(&err_info_);
}

void CallScope::rebind(KAVREL_CTX *ctx) noexcept {
    ctx_ = ctx;
    errinfo_begin(ctx, ctx->msg, &err_info_);
}

}  // namespace kavrel
