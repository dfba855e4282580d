// What the platform layers share inside: the failures of test builds.
#pragma once

#include <cerrno>

#include "platform.h"

namespace kavrel {

// Whether an operation of kind `op` is to fail in a test build; errno then
// holds the error it fails with.
inline bool faulted(Fault op) noexcept {
    int error = 0;
    if (!i18n::fault_hits(op, &error)) return false;
    errno = error;
    return true;
}

inline int errno_or(int fallback) noexcept {
    return errno != 0 ? errno : fallback;
}

// Whether a transfer on a socket fails before it is made: the connection
// was refused by an injected failure (its error in errno), or this
// transfer is to fail in a test build.
inline bool transfer_fails(int refused, Fault op) noexcept {
    if (refused == 0) return faulted(op);
    errno = refused;
    return true;
}

}  // namespace kavrel
