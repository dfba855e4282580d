// What the platform layers of every system share: memory, the clock and
// its test hook, the file streams' own work, the resolver over getaddrinfo
// and its test aliases.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#endif

#include <fcntl.h>

#include <atomic>
#include <cerrno>
#include <clocale>
#include <cstring>
#include <mutex>

#include "platform_internal.h"

namespace kavrel {

// ---- memory -------------------------------------------------------------------

void *plat_alloc(std::size_t bytes) noexcept {
    return i18n::mem_alloc(bytes);
}

void plat_free(void *p) noexcept {
    i18n::mem_free(p);
}

// ---- clock and locale ---------------------------------------------------------

#ifdef KAVREL_FAULT_INJECTION
namespace {
std::atomic<long long> g_clock_ahead{0};
}  // namespace
}  // namespace kavrel

extern "C" void kavrel_test_clock(long long seconds) {
    kavrel::g_clock_ahead.store(seconds);
}

namespace kavrel {
namespace {
long long clock_ahead() noexcept {
    return g_clock_ahead.load();
}
}  // namespace
#else
namespace {
constexpr long long clock_ahead() noexcept {
    return 0;
}
}  // namespace
#endif

std::time_t plat_time() noexcept {
    if (faulted(Fault::clock)) return static_cast<std::time_t>(-1);
    return std::time(nullptr) + static_cast<std::time_t>(clock_ahead());
}

const char *plat_locale_name(bool time_category) noexcept {
    return std::setlocale(time_category ? LC_TIME : LC_ALL, nullptr);
}

// ---- files --------------------------------------------------------------------

PlatStream::~PlatStream() {
    if (file_ != nullptr) std::fclose(file_);
}

PlatStream::PlatStream(PlatStream &&other) noexcept : file_(other.file_), error_(other.error_) {
    other.file_ = nullptr;
}

PlatStream &PlatStream::operator=(PlatStream &&other) noexcept {
    if (this != &other) {
        if (file_ != nullptr) std::fclose(file_);
        file_ = other.file_;
        error_ = other.error_;
        other.file_ = nullptr;
    }
    return *this;
}

PlatStream PlatStream::create_new(const char *name) noexcept {
    return open_flags(name, O_WRONLY | O_CREAT | O_EXCL);
}

PlatStream PlatStream::open_existing(const char *name) noexcept {
    return open_flags(name, O_WRONLY);
}

int PlatStream::fail(int error) noexcept {
    error_ = error != 0 ? error : EIO;
    errno = error_;
    return error_;
}

bool PlatStream::gets(char *buffer, int size) noexcept {
    if (faulted(Fault::read)) {
        fail(errno);
        return false;
    }
    return std::fgets(buffer, size, file_) != nullptr;
}

bool PlatStream::put(const char *text) noexcept {
    errno = 0;
    if (faulted(Fault::write) || std::fputs(text, file_) < 0) return fail(errno) == 0;
    return true;
}

int PlatStream::close() noexcept {
    if (file_ == nullptr) return error_;
    errno = 0;
    const bool faulty = faulted(Fault::close);
    const int error = errno;
    const bool closed = std::fclose(file_) == 0 && !faulty;
    file_ = nullptr;
    return closed ? 0 : fail(faulty ? error : errno);
}

// ---- sockets ------------------------------------------------------------------

#ifdef KAVREL_FAULT_INJECTION
namespace {
std::mutex g_alias_lock;
char g_alias_name[256], g_alias_hosts[256];
}  // namespace
}  // namespace kavrel

extern "C" void kavrel_test_alias(const char *name, const char *hosts) {
    std::lock_guard lock(kavrel::g_alias_lock);
    std::snprintf(kavrel::g_alias_name, sizeof kavrel::g_alias_name, "%s",
                  hosts != nullptr ? name : "");
    std::snprintf(kavrel::g_alias_hosts, sizeof kavrel::g_alias_hosts, "%s",
                  hosts != nullptr ? hosts : "");
}

namespace kavrel {
namespace {
// The hosts a name stands for in a test, copied into `out`; false when it
// is no alias.
bool aliased(const char *host, char *out, std::size_t size) {
    std::lock_guard lock(g_alias_lock);
    if (g_alias_name[0] == '\0' || std::strcmp(host, g_alias_name) != 0) return false;
    std::snprintf(out, size, "%s", g_alias_hosts);
    return true;
}
}  // namespace
#else
namespace {
constexpr bool aliased(const char *, char *, std::size_t) {
    return false;
}
}  // namespace
#endif

PlatResolver::~PlatResolver() {
    for (int i = 0; i < count_; ++i) freeaddrinfo(static_cast<addrinfo *>(lists_[i]));
}

int PlatResolver::add(const char *host, const char *port) noexcept {
    if (count_ == kLists) return 0;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const int code = getaddrinfo(host, port, &hints, &found);
    if (code != 0) return code;
    if (count_ == 0) at_ = found;
    lists_[count_++] = found;
    return 0;
}

int PlatResolver::resolve(const char *host, const char *port) noexcept {
    if (faulted(Fault::resolve)) return EAI_AGAIN;
    char hosts[256];
    if (!aliased(host, hosts, sizeof hosts)) return add(host, port);
    for (char *name = hosts; *name != '\0';) {  // the aliased hosts, in order
        char *end = name + std::strcspn(name, " ");
        const bool last = *end == '\0';
        *end = '\0';
        if (*name != '\0') {
            if (const int code = add(name, port)) return code;
        }
        name = last ? end : end + 1;
    }
    return 0;
}

bool PlatResolver::next(PlatAddress *address) noexcept {
    while (at_ == nullptr && current_ + 1 < count_) at_ = lists_[++current_];
    const auto *a = static_cast<const addrinfo *>(at_);
    if (a == nullptr) return false;
    *address = {a->ai_family, a->ai_socktype, a->ai_protocol, a->ai_addr,
                static_cast<uint32_t>(a->ai_addrlen)};
    at_ = a->ai_next;
    return true;
}

PlatSocket::PlatSocket(PlatSocket &&other) noexcept : fd_(other.fd_), refused_(other.refused_) {
    other.fd_ = kNoHandle;
}

PlatSocket &PlatSocket::operator=(PlatSocket &&other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        refused_ = other.refused_;
        other.fd_ = kNoHandle;
    }
    return *this;
}

}  // namespace kavrel
