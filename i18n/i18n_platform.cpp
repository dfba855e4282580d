#include "i18n_platform.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <atomic>
#include <cerrno>
#include <cstdlib>

namespace i18n {

#ifdef KAVREL_FAULT_INJECTION
namespace {

// The failure window of one kind of operation: operations made so far, the
// first that fails, the first that succeeds again, and the errno.
struct Window {
    std::atomic<int64_t> made{0};
    std::atomic<int64_t> from{INT64_MAX};
    std::atomic<int64_t> until{INT64_MAX};
    std::atomic<int> error{0};
};

Window g_faults[static_cast<int>(Fault::count_)];

}  // namespace

bool fault_hits(Fault op, int *error) noexcept {
    Window &w = g_faults[static_cast<int>(op)];
    const int64_t n = w.made.fetch_add(1, std::memory_order_relaxed);
    if (n < w.from.load(std::memory_order_relaxed) ||
        n >= w.until.load(std::memory_order_relaxed)) {
        return false;
    }
    if (error != nullptr) *error = w.error.load(std::memory_order_relaxed);
    return true;
}
#endif

void *mem_alloc(std::size_t bytes) noexcept {
    if (fault_hits(Fault::alloc, nullptr)) return nullptr;
    return std::malloc(bytes == 0 ? 1 : bytes);
}

void mem_free(void *p) noexcept {
    std::free(p);
}

PlatFile::PlatFile(const char *name, const char *mode) noexcept {
    int error = 0;
    if (fault_hits(Fault::open, &error)) {
        errno = error;
        return;
    }
#ifdef _WIN32
    // Names are UTF-8: opened through the wide-character call.
    wchar_t wide[1024], wide_mode[8] = {};
    for (std::size_t i = 0; i + 1 < 8 && mode[i] != '\0'; ++i) wide_mode[i] = wchar_t(mode[i]);
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, wide, 1024) > 0) {
        file_ = _wfopen(wide, wide_mode);
    }
#else
    file_ = std::fopen(name, mode);
#endif
}

PlatFile::~PlatFile() {
    if (file_ != nullptr) std::fclose(file_);
}

bool PlatFile::read(void *to, std::size_t n) noexcept {
    if (fault_hits(Fault::read, nullptr)) return false;
    return std::fread(to, 1, n, file_) == n;
}

const char *env_get(const char *name) noexcept {
    return std::getenv(name);
}

bool path_is_absolute(const char *root) noexcept {
#ifdef _WIN32
    const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    return root[0] == '\\' || root[0] == '/' ||
           (letter(root[0]) && root[1] == ':' && (root[2] == '\\' || root[2] == '/'));
#else
    return root[0] == '/';
#endif
}

}  // namespace i18n

#ifdef KAVREL_FAULT_INJECTION
extern "C" int64_t kavrel_test_fault(int op, int64_t after, int64_t count, int error) {
    if (op < 0 || op >= static_cast<int>(i18n::Fault::count_)) return -1;
    i18n::Window &w = i18n::g_faults[op];
    const int64_t so_far = w.made.load(std::memory_order_relaxed);
    const bool off = after == 0 && count == 0;
    w.error.store(error, std::memory_order_relaxed);
    w.from.store(off ? INT64_MAX : so_far + after, std::memory_order_relaxed);
    w.until.store(off || count < 0 ? INT64_MAX : so_far + after + count, std::memory_order_relaxed);
    return so_far;
}
#endif
