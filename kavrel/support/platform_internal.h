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

}  // namespace kavrel
