// Internal interfaces shared by the modules of the localisation library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string_view>

#include "i18n.h"
#include "i18n_platform.h"

namespace i18n {

// ---- memory ---------------------------------------------------------------
//
// Every allocation of the library goes through mem_alloc (i18n_platform.h).
// Containers use Allocator<T>, which turns a failed allocation into
// std::bad_alloc; each extern "C" entry catches it and returns I18N_E_NOMEM.

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
