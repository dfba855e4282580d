// The platform layer on Windows: file names are UTF-8 in the interface and
// opened through the wide-character calls; the stores' lock is LockFileEx
// on a lock file beside the properties file; sockets are WinSock's, with
// its errors' texts from FormatMessage; the time locale is switched for the
// calling thread alone.
// WinSock's headers come before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>
//
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "i18n.h"
#include "platform_internal.h"

namespace kavrel {
namespace {

constexpr int kWideName = 1024;  // characters of a file name

// The errno of a failed Windows call.
int errno_of(DWORD error) noexcept {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return EACCES;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_FILENAME_EXCED_RANGE:
            return ENAMETOOLONG;
        default:
            return EIO;
    }
}

// A UTF-8 name as the wide-character calls take it.
class WideName {
  public:
    explicit WideName(const char *name) noexcept {
        ok_ = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, text_, kWideName) > 0;
        if (!ok_) text_[0] = L'\0';
    }
    explicit operator bool() const noexcept { return ok_; }
    const wchar_t *get() const noexcept { return text_; }

  private:
    wchar_t text_[kWideName];
    bool ok_;
};

// Nanoseconds since 1970 of a file time (100 ns since 1601).
int64_t unix_ns(const FILETIME &t) noexcept {
    const uint64_t ticks = uint64_t{t.dwHighDateTime} << 32 | t.dwLowDateTime;
    return static_cast<int64_t>(ticks - 116444736000000000ULL) * 100;
}

void fill(FileInfo *info, DWORD attributes, const FILETIME &written, DWORD size_high,
          DWORD size_low) noexcept {
    info->mtime_ns = unix_ns(written);
    info->mtime = static_cast<std::time_t>(info->mtime_ns / 1000000000);
    info->size = static_cast<int64_t>(uint64_t{size_high} << 32 | size_low);
    info->mode = (attributes & FILE_ATTRIBUTE_READONLY) != 0 ? 0444 : 0666;
    info->directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

bool plat_localtime(std::time_t t, std::tm *out) noexcept {
    return localtime_s(out, &t) == 0;
}

long plat_utc_offset(std::time_t t, const std::tm &local) noexcept {
    std::tm copy = local;
    return static_cast<long>(_mkgmtime(&copy) - t);
}

long plat_pid() noexcept {
    return static_cast<long>(GetCurrentProcessId());
}

void plat_host_name(char *out, std::size_t size) noexcept {
    if (size == 0) return;
    auto n = static_cast<DWORD>(size < ULONG_MAX ? size : ULONG_MAX);
    if (!GetComputerNameExA(ComputerNameDnsHostname, out, &n)) out[0] = '\0';
    out[size - 1] = '\0';
}

int32_t plat_argument_utf16(const char *argument, char16_t *out, int32_t capacity) noexcept {
    const int units = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, argument,
                                          static_cast<int>(std::strlen(argument)),
                                          reinterpret_cast<wchar_t *>(out), capacity);
    if (units > 0 || argument[0] == '\0') return units;
    return GetLastError() == ERROR_INSUFFICIENT_BUFFER ? UNIUTF8_E_FULL : -1;
}

// The runtime takes the table's English names ("German") as they are.
PlatLocale plat_locale_make(const char *english, const char *) noexcept {
    _locale_t locale = _create_locale(LC_TIME, english);
    if (locale == nullptr) return nullptr;
    _free_locale(locale);
    return _strdup(english);
}

namespace {
// What a thread's switch of its time locale replaced.
struct SavedLocale {
    int mode;
    char name[128];
};
}  // namespace

PlatTimeLocale::PlatTimeLocale(PlatLocale locale) noexcept {
    if (locale == nullptr || faulted(Fault::locale)) return;
    auto *saved = static_cast<SavedLocale *>(std::malloc(sizeof(SavedLocale)));
    if (saved == nullptr) return;
    saved->mode = _configthreadlocale(_ENABLE_PER_THREAD_LOCALE);
    const char *current = std::setlocale(LC_TIME, nullptr);
    std::snprintf(saved->name, sizeof saved->name, "%s", current != nullptr ? current : "C");
    if (std::setlocale(LC_TIME, static_cast<const char *>(locale)) == nullptr) {
        _configthreadlocale(saved->mode);
        std::free(saved);
        return;
    }
    saved_ = saved;
}

PlatTimeLocale::~PlatTimeLocale() {
    auto *saved = static_cast<SavedLocale *>(saved_);
    if (saved == nullptr) return;
    std::setlocale(LC_TIME, saved->name);
    _configthreadlocale(saved->mode);
    std::free(saved);
}

// ---- files --------------------------------------------------------------------

int plat_stat(const char *name, FileInfo *info) noexcept {
    *info = FileInfo{};
    errno = 0;
    if (faulted(Fault::stat)) return errno_or(EIO);
    const WideName wide(name);
    WIN32_FILE_ATTRIBUTE_DATA a;
    if (!wide) return ENOENT;
    if (!GetFileAttributesExW(wide.get(), GetFileExInfoStandard, &a)) {
        return errno_of(GetLastError());
    }
    fill(info, a.dwFileAttributes, a.ftLastWriteTime, a.nFileSizeHigh, a.nFileSizeLow);
    return 0;
}

int plat_rename(const char *from, const char *to) noexcept {
    errno = 0;
    if (faulted(Fault::rename)) return errno_or(EIO);
    const WideName wide_from(from), wide_to(to);
    if (!wide_from || !wide_to) return ENOENT;
    // A move over the old file, which readers see whole before or after.
    // ReplaceFileW is no replacement: it moves the old file aside first, so
    // a writer killed meanwhile leaves no file under the name. A reader that
    // does not share deletion refuses the move while it reads: a few tries
    // before the refusal stands (and the save is written in place).
    for (int tries = 1;; ++tries) {
        if (MoveFileExW(wide_from.get(), wide_to.get(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return 0;
        }
        const DWORD error = GetLastError();
        if (tries == 20 || (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED)) {
            return errno_of(error);
        }
        Sleep(5);
    }
}

void plat_unlink(const char *name) noexcept {
    const WideName wide(name);
    if (wide) _wunlink(wide.get());
}

// Windows programs do not meet symbolic links in their own files: the
// name is its own target.
int plat_resolve_links(const char *name, char *out, std::size_t size) noexcept {
    if (std::strlen(name) >= size) return ENAMETOOLONG;
    std::strcpy(out, name);
    return 0;
}

// A rename with MOVEFILE_WRITE_THROUGH has reached the disk already.
int plat_sync_directory(const char *) noexcept {
    errno = 0;
    return faulted(Fault::sync) ? errno_or(EIO) : 0;
}

namespace {

// A stream on a file opened with every sharing mode: a file held open for
// reading or writing never stops a save from replacing it (readers keep
// the old one), nor another process from opening it.
std::FILE *open_shared(const char *name, DWORD access, DWORD disposition, const char *mode) {
    const WideName wide(name);
    if (faulted(Fault::open) || !wide) return nullptr;
    const HANDLE h =
        CreateFileW(wide.get(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        errno = errno_of(GetLastError());
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h),
                                   access == GENERIC_READ ? _O_RDONLY : _O_WRONLY);
    std::FILE *file = fd >= 0 ? _fdopen(fd, mode) : nullptr;
    if (file == nullptr) {
        const int error = errno;
        fd >= 0 ? _close(fd) : CloseHandle(h);
        if (disposition == CREATE_NEW) _wunlink(wide.get());
        errno = error;
    }
    return file;
}

}  // namespace

PlatStream::PlatStream(const char *name, const char *mode) noexcept {
    errno = 0;
    const bool reading = mode[0] == 'r';
    file_ = open_shared(name, reading ? GENERIC_READ : GENERIC_WRITE,
                        reading ? OPEN_EXISTING : CREATE_ALWAYS, mode);
    if (file_ == nullptr) error_ = errno_or(ENOENT);
}

// O_WRONLY, with O_CREAT | O_EXCL for a new file: the only opens a save
// makes by flags.
PlatStream PlatStream::open_flags(const char *name, int flags) noexcept {
    PlatStream stream;
    errno = 0;
    const DWORD disposition = (flags & _O_EXCL) != 0 ? CREATE_NEW : OPEN_EXISTING;
    stream.file_ = open_shared(name, GENERIC_WRITE, disposition, "w");
    if (stream.file_ == nullptr) stream.error_ = errno_or(EIO);
    return stream;
}

int PlatStream::sync() noexcept {
    errno = 0;
    if (faulted(Fault::sync) || std::fflush(file_) != 0 || _commit(_fileno(file_)) != 0) {
        return fail(errno);
    }
    return 0;
}

int PlatStream::info(FileInfo *info) noexcept {
    *info = FileInfo{};
    BY_HANDLE_FILE_INFORMATION i;
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file_)));
    if (!GetFileInformationByHandle(handle, &i)) return fail(errno_of(GetLastError()));
    fill(info, i.dwFileAttributes, i.ftLastWriteTime, i.nFileSizeHigh, i.nFileSizeLow);
    return 0;
}

int PlatStream::truncate() noexcept {
    errno = 0;
    if (faulted(Fault::write) || std::fflush(file_) != 0 || _chsize_s(_fileno(file_), 0) != 0 ||
        std::fseek(file_, 0, SEEK_SET) != 0) {
        return fail(errno);
    }
    return 0;
}

// Windows keeps a file's access in its security descriptor, which a
// replacement by MoveFileEx takes over from its directory: nothing to copy.
int PlatStream::chmod(uint32_t) noexcept {
    errno = 0;
    return faulted(Fault::attrs) ? fail(errno) : 0;
}

int PlatStream::chown(uint32_t, uint32_t) noexcept {
    errno = 0;
    return faulted(Fault::attrs) ? fail(errno) : 0;
}

// The lock is taken on "<file>.lock", which is made once and stays: the
// file itself is replaced by every save.
PlatDirLock::PlatDirLock(const char *file) noexcept {
    char name[kWideName];
    if (std::snprintf(name, sizeof name, "%s.lock", file) >= static_cast<int>(sizeof name) ||
        faulted(Fault::open)) {
        return;
    }
    const WideName wide(name);
    if (!wide) return;
    HANDLE h = CreateFileW(wide.get(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    fd_ = reinterpret_cast<PlatHandle>(h);
    OVERLAPPED whole{};
    if (!faulted(Fault::lock))
        LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole);
}

PlatDirLock::~PlatDirLock() {
    if (fd_ != kNoHandle) CloseHandle(reinterpret_cast<HANDLE>(fd_));  // releases the lock
}

// ---- sockets ------------------------------------------------------------------

namespace {

// errno after a failed WinSock call: EAGAIN for a call that would block,
// else WinSock's own number (plat_error_text knows its text).
int socket_error() noexcept {
    const int error = WSAGetLastError();
    errno = error == WSAEWOULDBLOCK ? EAGAIN : error;
    return errno;
}

// An injected failure of a socket call: its POSIX error becomes WinSock's
// number, as the system's own failures come.
bool socket_faulted(Fault op) noexcept {
    if (!faulted(op)) return false;
    constexpr std::pair<int, int> kWinSock[] = {
        {ECONNRESET, WSAECONNRESET}, {ECONNREFUSED, WSAECONNREFUSED}, {ETIMEDOUT, WSAETIMEDOUT},
        {EMFILE, WSAEMFILE},         {ENOBUFS, WSAENOBUFS},           {EACCES, WSAEACCES}};
    for (const auto &[posix, winsock] : kWinSock) errno = errno == posix ? winsock : errno;
    return true;
}

// Whether a transfer fails before it is made: the connection was refused
// (its error in errno), or this transfer is to fail in a test build.
bool transfer_fails(int refused, Fault op) noexcept {
    if (refused == 0) return socket_faulted(op);
    errno = refused;
    return true;
}

// The error a socket holds, 0 when none (or it cannot be read).
int held_error(PlatHandle fd) noexcept {
    int error = 0;
    int size = sizeof error;
    getsockopt(static_cast<SOCKET>(fd), SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error),
               &size);
    return error;
}

}  // namespace

const char *plat_error_text(int error) noexcept {
    if (error < WSABASEERR) return std::strerror(error);
    thread_local char text[256];
    const DWORD n =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
    DWORD end = n;
    while (end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n' || text[end - 1] == ' ')) {
        --end;
    }
    if (end == 0)
        std::snprintf(text, sizeof text, "WinSock error %d", error);
    else
        text[end] = '\0';
    return text;
}

// Start-ups and clean-ups one at a time: the last clean-up closes every
// socket of the process, so its count must never be missed by a start-up
// on another thread (Wine's is not safe from that).
namespace {
std::mutex g_sockets_mutex;
}

int plat_sockets_start() noexcept {
    const std::lock_guard<std::mutex> one_at_a_time(g_sockets_mutex);
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
}

void plat_sockets_stop() noexcept {
    const std::lock_guard<std::mutex> one_at_a_time(g_sockets_mutex);
    WSACleanup();
}

const char *PlatResolver::text(int code) noexcept {
    return plat_error_text(code);
}

int PlatSocket::open(const PlatAddress &address) noexcept {
    close();
    errno = 0;
    if (socket_faulted(Fault::socket)) return errno_or(WSAEMFILE);
    const SOCKET s = ::socket(address.family, address.socktype, address.protocol);
    if (s == INVALID_SOCKET) return socket_error();
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    fd_ = static_cast<PlatHandle>(s);
    return 0;
}

int PlatSocket::set_nonblocking() noexcept {
    u_long on = 1;
    const auto command = static_cast<long>(FIONBIO);  // an unsigned macro, a signed parameter
    return ioctlsocket(static_cast<SOCKET>(fd_), command, &on) != 0 ? socket_error() : 0;
}

void PlatSocket::no_delay() noexcept {
    const BOOL on = TRUE;
    setsockopt(static_cast<SOCKET>(fd_), IPPROTO_TCP, TCP_NODELAY,
               reinterpret_cast<const char *>(&on), sizeof on);
}

void PlatSocket::connect(const PlatAddress &address) noexcept {
    if (socket_faulted(Fault::connect)) {
        refused_ = errno_or(WSAECONNREFUSED);
        return;
    }
    ::connect(static_cast<SOCKET>(fd_), static_cast<const sockaddr *>(address.addr),
              static_cast<int>(address.addrlen));
}

bool PlatSocket::wait(bool writable, int ms) noexcept {
    if (socket_faulted(Fault::wait)) return false;
    if (refused_ != 0) return true;  // a refused connection is readable at once
    WSAPOLLFD p{static_cast<SOCKET>(fd_), static_cast<SHORT>(writable ? POLLWRNORM : POLLRDNORM),
                0};
    const int n = WSAPoll(&p, 1, ms);
    if (n == 0) errno = ETIMEDOUT;
    if (n < 0) socket_error();
    // A connection that failed shows as an error or a hang-up, and its
    // receives must fail with the reason (the system's may read nothing).
    if (n > 0 && (p.revents & (POLLERR | POLLHUP)) != 0 && (p.revents & POLLRDNORM) == 0) {
        refused_ = held_error(fd_);
    }
    return n > 0;
}

long PlatSocket::recv(char *buffer, std::size_t size) noexcept {
    if (transfer_fails(refused_, Fault::recv)) return -1;
    const int n = ::recv(static_cast<SOCKET>(fd_), buffer,
                         static_cast<int>(size < INT_MAX ? size : INT_MAX), 0);
    if (n == SOCKET_ERROR) socket_error();
    return n;
}

long PlatSocket::send(const char *bytes, std::size_t count) noexcept {
    if (transfer_fails(refused_, Fault::send)) return -1;
    const int n = ::send(static_cast<SOCKET>(fd_), bytes,
                         static_cast<int>(count < INT_MAX ? count : INT_MAX), 0);
    if (n == SOCKET_ERROR) socket_error();
    return n;
}

int PlatSocket::pending_error() noexcept {
    if (refused_ != 0) return refused_;
    const int error = held_error(fd_);
    return error != 0 ? error : errno_or(ETIMEDOUT);
}

void PlatSocket::close() noexcept {
    if (fd_ == kNoHandle) return;
    char unread[256];  // the socket does not block: this reads what is there
    for (int i = 0; i < 64 && ::recv(static_cast<SOCKET>(fd_), unread, sizeof unread, 0) > 0; ++i) {
    }
    closesocket(static_cast<SOCKET>(fd_));
    fd_ = kNoHandle;
    refused_ = 0;
}

}  // namespace kavrel
