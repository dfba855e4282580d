#include "platform.h"

#include <atomic>
#include <cstdlib>

namespace {

// Injection state of one hook: operations made so far, and the window of
// failures.
struct Injection {
    std::atomic<int64_t> made{0};
    std::atomic<int64_t> fail_from{INT64_MAX};
    std::atomic<int64_t> fail_until{INT64_MAX};

    bool next_fails() noexcept {
        const int64_t n = made.fetch_add(1, std::memory_order_relaxed);
        return n >= fail_from.load(std::memory_order_relaxed) &&
               n < fail_until.load(std::memory_order_relaxed);
    }
    int64_t arm(int64_t after, int64_t count) noexcept {
        const int64_t so_far = made.load(std::memory_order_relaxed);
        if (after == 0 && count == 0) {
            fail_from.store(INT64_MAX);
            fail_until.store(INT64_MAX);
            return so_far;
        }
        fail_from.store(so_far + after);
        fail_until.store(count < 0 ? INT64_MAX : so_far + after + count);
        return so_far;
    }
};

Injection g_alloc;
Injection g_io;

}  // namespace

namespace kavrel {

void *plat_alloc(std::size_t bytes) noexcept {
    if (g_alloc.next_fails()) return nullptr;
    return std::malloc(bytes == 0 ? 1 : bytes);
}

void plat_free(void *p) noexcept {
    std::free(p);
}

bool plat_io_fails() noexcept {
    return g_io.next_fails();
}

}  // namespace kavrel

extern "C" int64_t kavrel_test_fail_alloc(int64_t after, int64_t count) {
    return g_alloc.arm(after, count);
}

extern "C" int64_t kavrel_test_fail_io(int64_t after, int64_t count) {
    return g_io.arm(after, count);
}
