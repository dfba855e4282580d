// Internal interfaces shared by the modules of the localisation library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string_view>

#include "i18n.h"

namespace i18n {

// ---- memory ---------------------------------------------------------------
//
// Every allocation of the library goes through mem_alloc, so that a test can
// make the k-th one fail. Containers use Allocator<T>, which turns a failed
// allocation into std::bad_alloc; each extern "C" entry catches it and
// returns I18N_E_NOMEM.

void *mem_alloc(std::size_t bytes) noexcept;
void mem_free(void *p) noexcept;

template <class T>
struct Allocator {
    using value_type = T;
    Allocator() noexcept = default;
    template <class U>
    explicit Allocator(const Allocator<U> &) noexcept {}
    T *allocate(std::size_t n) {
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        void *p = mem_alloc(n * sizeof(T));
        if (p == nullptr) throw std::bad_alloc();
        return static_cast<T *>(p);
    }
    void deallocate(T *p, std::size_t) noexcept { mem_free(p); }
    template <class U>
    bool operator==(const Allocator<U> &) const noexcept {
        return true;
    }
};

// Deleter for objects made with make<T>().
struct Delete {
    template <class T>
    void operator()(T *p) const noexcept {
        p->~T();
        mem_free(p);
    }
};

// Constructs a T in library memory; null when memory is exhausted.
template <class T, class... Args>
T *make(Args &&...args) noexcept {
    void *p = mem_alloc(sizeof(T));
    if (p == nullptr) return nullptr;
    return new (p) T(static_cast<Args &&>(args)...);
}

// ---- characters -------------------------------------------------------------

// The simple lower-case mapping of one unit.
char16_t to_lower(char16_t c) noexcept;

// ---- strings ---------------------------------------------------------------

inline std::u16string_view view(const char16_t *s) noexcept {
    return s == nullptr ? std::u16string_view() : std::u16string_view(s);
}

}  // namespace i18n

// Test hook: the next `after` allocations of the library succeed, then
// `count` fail (count < 0: all later ones fail). i18n_test_fail_alloc(0, 0)
// turns injection off. Returns the number of allocations made so far.
extern "C" int64_t i18n_test_fail_alloc(int64_t after, int64_t count);
