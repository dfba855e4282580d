// The platform layer on POSIX systems.
#include "i18n.h"
#include "platform_internal.h"

#include <fcntl.h>
#include <locale.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <clocale>
#include <cstring>
#include <mutex>

namespace kavrel {
namespace {

void fill(FileInfo *info, const struct stat &st) noexcept {
    info->mtime = st.st_mtime;
    info->mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    info->size = static_cast<int64_t>(st.st_size);
    info->device = static_cast<uint64_t>(st.st_dev);
    info->inode = static_cast<uint64_t>(st.st_ino);
    info->mode = static_cast<uint32_t>(st.st_mode & 07777);
    info->owner = static_cast<uint32_t>(st.st_uid);
    info->group = static_cast<uint32_t>(st.st_gid);
    info->directory = S_ISDIR(st.st_mode);
}

// The directory part of `file` ("." when it has none); false when it does
// not fit.
bool directory_of(const char *file, char *out, std::size_t size) noexcept {
    const char *slash = std::strrchr(file, '/');
    if (slash == nullptr) {
        std::snprintf(out, size, "%s", ".");
        return true;
    }
    const std::size_t n = slash == file ? 1 : static_cast<std::size_t>(slash - file);
    if (n >= size) return false;
    std::memcpy(out, file, n);
    out[n] = '\0';
    return true;
}

}  // namespace

bool plat_localtime(std::time_t t, std::tm *out) noexcept {
    return localtime_r(&t, out) != nullptr;
}

long plat_utc_offset(std::time_t, const std::tm &local) noexcept {
    return local.tm_gmtoff;
}

long plat_pid() noexcept {
    return static_cast<long>(::getpid());
}

void plat_host_name(char *out, std::size_t size) noexcept {
    if (size == 0) return;
    if (::gethostname(out, size) != 0) out[0] = '\0';
    out[size - 1] = '\0';
}

int32_t plat_argument_utf16(const char *argument, char16_t *out, int32_t capacity) noexcept {
    return uniutf8_utf8ToUnistrCount(out, capacity, argument, nullptr);
}

PlatLocale plat_locale_make(const char *, const char *posix) noexcept {
    return newlocale(LC_TIME_MASK, posix, static_cast<locale_t>(nullptr));
}

PlatTimeLocale::PlatTimeLocale(PlatLocale locale) noexcept {
    if (locale == nullptr || faulted(Fault::locale)) return;
    saved_ = uselocale(static_cast<locale_t>(locale));
}

PlatTimeLocale::~PlatTimeLocale() {
    if (saved_ != nullptr) uselocale(static_cast<locale_t>(saved_));
}

// ---- files --------------------------------------------------------------------

int plat_stat(const char *name, FileInfo *info) noexcept {
    *info = FileInfo{};
    errno = 0;
    struct stat st;
    if (faulted(Fault::stat) || ::stat(name, &st) != 0) return errno_or(EIO);
    fill(info, st);
    return 0;
}

int plat_rename(const char *from, const char *to) noexcept {
    errno = 0;
    if (faulted(Fault::rename) || ::rename(from, to) != 0) return errno_or(EIO);
    return 0;
}

void plat_unlink(const char *name) noexcept {
    ::unlink(name);
}

int plat_resolve_links(const char *name, char *out, std::size_t size) noexcept {
    if (std::strlen(name) >= size) return ENAMETOOLONG;
    std::strcpy(out, name);
    for (int hops = 0; hops < 40; ++hops) {
        char link[4096];
        const ssize_t n = ::readlink(out, link, sizeof link);
        if (n < 0) return 0;  // no link (or nothing there): the name itself
        if (static_cast<std::size_t>(n) == sizeof link) return ENAMETOOLONG;
        const char *slash = std::strrchr(out, '/');
        const std::size_t keep =
            link[0] == '/' || slash == nullptr ? 0 : static_cast<std::size_t>(slash - out) + 1;
        if (keep + static_cast<std::size_t>(n) >= size) return ENAMETOOLONG;
        std::memcpy(out + keep, link, static_cast<std::size_t>(n));
        out[keep + static_cast<std::size_t>(n)] = '\0';
    }
    return ELOOP;
}

int plat_sync_directory(const char *file) noexcept {
    char directory[4096];
    if (!directory_of(file, directory, sizeof directory)) return ENAMETOOLONG;
    errno = 0;
    if (faulted(Fault::sync)) return errno_or(EIO);
    const int fd = ::open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno_or(EIO);
    const int error = ::fsync(fd) == 0 || errno == EINVAL || errno == EROFS ? 0 : errno_or(EIO);
    ::close(fd);
    return error;
}

PlatStream::PlatStream(const char *name, const char *mode) noexcept {
    errno = 0;
    if (!faulted(Fault::open)) file_ = std::fopen(name, mode);
    if (file_ == nullptr) error_ = errno;
}

// A stream on a descriptor of `name` opened with `flags`; a file the
// stream could not be made for is closed (and removed when it was created).
PlatStream PlatStream::open_flags(const char *name, int flags) noexcept {
    PlatStream stream;
    errno = 0;
    const int fd = faulted(Fault::open) ? -1 : ::open(name, flags | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
        stream.file_ = ::fdopen(fd, "w");
        if (stream.file_ == nullptr) {
            const int error = errno;
            ::close(fd);
            if ((flags & O_CREAT) != 0) ::unlink(name);
            errno = error;
        }
    }
    if (stream.file_ == nullptr) stream.error_ = errno_or(EIO);
    return stream;
}

int PlatStream::sync() noexcept {
    errno = 0;
    if (faulted(Fault::sync) || std::fflush(file_) != 0 || ::fsync(::fileno(file_)) != 0) {
        return fail(errno);
    }
    return 0;
}

int PlatStream::info(FileInfo *info) noexcept {
    *info = FileInfo{};
    struct stat st;
    if (::fstat(::fileno(file_), &st) != 0) return fail(errno);
    fill(info, st);
    return 0;
}

int PlatStream::truncate() noexcept {
    errno = 0;
    if (faulted(Fault::write) || std::fflush(file_) != 0 || ::ftruncate(::fileno(file_), 0) != 0 ||
        std::fseek(file_, 0, SEEK_SET) != 0) {
        return fail(errno);
    }
    return 0;
}

int PlatStream::chmod(uint32_t mode) noexcept {
    errno = 0;
    if (faulted(Fault::attrs) || ::fchmod(::fileno(file_), static_cast<mode_t>(mode)) != 0) {
        return fail(errno);
    }
    return 0;
}

int PlatStream::chown(uint32_t owner, uint32_t group) noexcept {
    errno = 0;
    if (faulted(Fault::attrs) || ::fchown(::fileno(file_), owner, group) != 0) return fail(errno);
    return 0;
}

PlatDirLock::PlatDirLock(const char *file) noexcept {
    char target[4096], directory[4096];
    if (plat_resolve_links(file, target, sizeof target) != 0 ||
        !directory_of(target, directory, sizeof directory) || faulted(Fault::open)) {
        return;
    }
    fd_ = ::open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ == kNoHandle) fd_ = ::open(target, O_RDONLY | O_CLOEXEC);
    if (fd_ == kNoHandle || faulted(Fault::lock)) return;
    while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
}

PlatDirLock::~PlatDirLock() {
    if (fd_ != kNoHandle) ::close(fd_);  // closing releases the lock
}

// ---- sockets ------------------------------------------------------------------

const char *plat_error_text(int error) noexcept {
    return std::strerror(error);
}

int plat_sockets_start() noexcept {
    return 0;
}

void plat_sockets_stop() noexcept {}

const char *PlatResolver::text(int code) noexcept {
    return ::gai_strerror(code);
}

int PlatSocket::open(const PlatAddress &address) noexcept {
    close();
    errno = 0;
    if (faulted(Fault::socket)) return errno_or(EMFILE);
    fd_ = ::socket(address.family, address.socktype | SOCK_CLOEXEC, address.protocol);
    return fd_ == kNoHandle ? errno_or(EIO) : 0;
}

int PlatSocket::set_nonblocking() noexcept {
    const int flags = ::fcntl(fd_, F_GETFL);
    if (flags < 0 || ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK) < 0) return errno_or(EIO);
    return 0;
}

void PlatSocket::no_delay() noexcept {
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void PlatSocket::connect(const PlatAddress &address) noexcept {
    if (faulted(Fault::connect)) {
        refused_ = errno_or(ECONNREFUSED);
        return;
    }
    while (::connect(fd_, static_cast<const sockaddr *>(address.addr), address.addrlen) < 0 &&
           errno == EINTR) {
    }
}

namespace {

// Whether a transfer on a socket fails before it is made: the connection
// was refused by an injected failure (its error in errno), or this
// transfer is to fail in a test build.
bool transfer_fails(int refused, Fault op) noexcept {
    if (refused == 0) return faulted(op);
    errno = refused;
    return true;
}

}  // namespace

bool PlatSocket::wait(bool writable, int ms) noexcept {
    if (faulted(Fault::wait)) return false;
    if (refused_ != 0) return true;  // a refused connection is readable at once
    pollfd p{fd_, static_cast<short>(writable ? POLLOUT : POLLIN), 0};
    int n;
    while ((n = ::poll(&p, 1, ms)) < 0 && errno == EINTR) {
    }
    if (n == 0) errno = ETIMEDOUT;
    return n > 0;
}

long PlatSocket::recv(char *buffer, std::size_t size) noexcept {
    if (transfer_fails(refused_, Fault::recv)) return -1;
    ssize_t n;
    while ((n = ::recv(fd_, buffer, size, 0)) < 0 && errno == EINTR) {
    }
    return static_cast<long>(n);
}

long PlatSocket::send(const char *bytes, std::size_t count) noexcept {
    if (transfer_fails(refused_, Fault::send)) return -1;
    ssize_t n;
    while ((n = ::send(fd_, bytes, count, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
    }
    return static_cast<long>(n);
}

int PlatSocket::pending_error() noexcept {
    if (refused_ != 0) return refused_;
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error == 0) {
        return errno_or(ETIMEDOUT);
    }
    return error;
}

void PlatSocket::close() noexcept {
    if (fd_ == kNoHandle) return;
    char unread[256];
    for (int i = 0; i < 64 && ::recv(fd_, unread, sizeof unread, MSG_DONTWAIT) > 0; ++i) {
    }
    ::close(fd_);
    fd_ = -1;
    refused_ = 0;
}

}  // namespace kavrel
