// Library memory with an allocation-failure hook for tests.
#include <atomic>
#include <cstdlib>

#include "i18n_internal.h"

namespace {

// Injection state; relaxed atomics keep concurrent tests free of races.
std::atomic<int64_t> g_allocations{0};
std::atomic<int64_t> g_fail_after{-1};  // -1: injection off
std::atomic<int64_t> g_fail_count{0};

bool injected_failure() noexcept {
    int64_t after = g_fail_after.load(std::memory_order_relaxed);
    if (after < 0) return false;
    if (after > 0) {
        g_fail_after.store(after - 1, std::memory_order_relaxed);
        return false;
    }
    int64_t count = g_fail_count.load(std::memory_order_relaxed);
    if (count == 0) {
        g_fail_after.store(-1, std::memory_order_relaxed);
        return false;
    }
    if (count > 0) g_fail_count.store(count - 1, std::memory_order_relaxed);
    return true;
}

}  // namespace

namespace i18n {

void *mem_alloc(std::size_t bytes) noexcept {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (injected_failure()) return nullptr;
    return std::malloc(bytes == 0 ? 1 : bytes);
}

void mem_free(void *p) noexcept {
    std::free(p);
}

}  // namespace i18n

extern "C" int64_t i18n_test_fail_alloc(int64_t after, int64_t count) {
    g_fail_count.store(count, std::memory_order_relaxed);
    g_fail_after.store(count == 0 ? -1 : after, std::memory_order_relaxed);
    return g_allocations.load(std::memory_order_relaxed);
}
