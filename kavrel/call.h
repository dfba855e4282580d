// The scope of one public call. Every public call that is given a context
// opens one first: it checks the context, begins the call's record and,
// whatever the exit, routes the record when the call leaves. Every line the
// call writes, trace lines included, waits in the scope and reaches the
// handler, in order, when the call leaves: by then every lock and file lock
// the call took is released, so the handler is free to call the library
// again, on any context.
#pragma once

#include <cstdint>

#include "diag/errinfo.h"
#include "diag/route.h"
#include "kavrel_ctx.h"

namespace kavrel {

class CallScope {
  public:
    // A call on `ctx`. When ctx is not a context the failed check goes to
    // standard error, quoting `line`, and the scope is not usable.
    CallScope(KAVREL_CTX *ctx, int line) noexcept;
    // kavrel_init's scope, begun on its stand-by context (no check).
    struct StandBy {};
    CallScope(StandBy, KAVREL_CTX *standby) noexcept;
    ~CallScope();
    CallScope(const CallScope &) = delete;
    CallScope &operator=(const CallScope &) = delete;

    explicit operator bool() const noexcept { return ctx_ != nullptr; }
    KAVREL_CTX *ctx() const noexcept { return ctx_; }
    KAVREL_ERR_INFO *record() noexcept { return &err_info_; }

    // A failed precondition of the call: held for delivery when the call
    // leaves. Returns KAVREL_E_PROGRAMMING.
    uint32_t refuse(int line, const char *condition) noexcept;
    // Delivers what the record holds now, in the middle of the call.
    void deliver() noexcept;
    // Begins the record again on `ctx` (kavrel_init, once the context exists).
    void rebind(KAVREL_CTX *ctx) noexcept;
    // The call's context is about to go: nothing more is routed, and the
    // lines held so far are written now.
    void end() noexcept {
        ctx_ = nullptr;
        lines_.release();
    }

  private:
    HeldLines lines_;  // written after the record is routed
    KAVREL_CTX *ctx_;
    KAVREL_ERR_INFO err_info_;
};

// The C edge of every public call: no exception leaves the library.
template <class Call>
uint32_t guarded(Call call) noexcept {
    try {
        return call();
    } catch (...) {
        return KAVREL_E_PROGRAMMING;
    }
}

}  // namespace kavrel
