#include "platform.h"

#include <atomic>
#include <cstdlib>

namespace {

// Injection state: allocations made so far, and the window of failures.
std::atomic<int64_t> g_made{0};
std::atomic<int64_t> g_fail_from{INT64_MAX};
std::atomic<int64_t> g_fail_until{INT64_MAX};

bool injected_failure() noexcept {
    const int64_t n = g_made.fetch_add(1, std::memory_order_relaxed);
    return n >= g_fail_from.load(std::memory_order_relaxed) &&
           n < g_fail_until.load(std::memory_order_relaxed);
}

}  // namespace

namespace kavrel {

void *plat_alloc(std::size_t bytes) noexcept {
    if (injected_failure()) return nullptr;
    return std::malloc(bytes == 0 ? 1 : bytes);
}

void plat_free(void *p) noexcept {
    std::free(p);
}

}  // namespace kavrel

extern "C" int64_t kavrel_test_fail_alloc(int64_t after, int64_t count) {
    const int64_t made = g_made.load(std::memory_order_relaxed);
    if (after == 0 && count == 0) {
        g_fail_from.store(INT64_MAX);
        g_fail_until.store(INT64_MAX);
        return made;
    }
    g_fail_from.store(made + after);
    g_fail_until.store(count < 0 ? INT64_MAX : made + after + count);
    return made;
}
