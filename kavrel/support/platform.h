// The thin platform layer: the plain allocator and the recursive lock that
// every critical section of the library uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>

namespace kavrel {

// The standard runtime allocator, behind a hook that lets a test fail the
// k-th allocation (see kavrel_test_fail_alloc).
void *plat_alloc(std::size_t bytes) noexcept;
void plat_free(void *p) noexcept;

// The I/O failure hook: true when the next write-side operation of a file
// save (write, flush, sync, rename) is to fail, as a full or broken disk
// would make it (see kavrel_test_fail_io).
bool plat_io_fails() noexcept;

// A recursive lock that lives inside a zero-filled record: it comes into
// being with create() and ends with destroy(), as the record's lifecycle
// says, instead of with the record's constructor and destructor.
class RecursiveLock {
  public:
    void create() noexcept { ::new (slot_) std::recursive_mutex(); }
    void destroy() noexcept { get().~recursive_mutex(); }
    void lock() { get().lock(); }
    void unlock() noexcept { get().unlock(); }

  private:
    std::recursive_mutex &get() noexcept {
        return *std::launder(reinterpret_cast<std::recursive_mutex *>(slot_));
    }
    alignas(std::recursive_mutex) unsigned char slot_[sizeof(std::recursive_mutex)];
};

using LockGuard = std::lock_guard<RecursiveLock>;

}  // namespace kavrel

// Test hook: the next `after` allocations of the library's own allocators
// (plain and tracked) succeed, then `count` fail (count < 0: all later ones
// fail). kavrel_test_fail_alloc(0, 0) turns injection off. Returns the
// number of allocations made so far.
extern "C" int64_t kavrel_test_fail_alloc(int64_t after, int64_t count);

// Test hook for file saves, counted like kavrel_test_fail_alloc.
extern "C" int64_t kavrel_test_fail_io(int64_t after, int64_t count);
