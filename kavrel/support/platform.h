// The thin platform layer: every call the library makes into the system
// (memory, locks, files and their locks, the clock, the time locale,
// sockets and name resolution) goes through here, and only this layer
// knows which system it runs on. Test builds can make each kind of call
// fail with a chosen errno (kavrel_test_fault in i18n_platform.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <new>

#include "i18n_platform.h"

#if defined(__GNUC__)
#define KAVREL_PRINTF(fmt, first) __attribute__((format(printf, fmt, first)))
#else
#define KAVREL_PRINTF(fmt, first)
#endif

namespace kavrel {

using i18n::Fault;

// A descriptor of the system's: a file descriptor here; a HANDLE or SOCKET
// on Windows. kNoHandle is none.
#ifdef _WIN32
using PlatHandle = std::uintptr_t;
#else
using PlatHandle = int;
#endif
inline constexpr PlatHandle kNoHandle = static_cast<PlatHandle>(-1);

// ---- memory and locks ---------------------------------------------------------

// The standard runtime allocator (one for the whole library, with the
// allocation fault of test builds).
void *plat_alloc(std::size_t bytes) noexcept;
void plat_free(void *p) noexcept;

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

// ---- clock and locale ---------------------------------------------------------

// The wall clock, or -1 when it cannot be read.
std::time_t plat_time() noexcept;
// t as local time; false when it cannot be converted.
bool plat_localtime(std::time_t t, std::tm *out) noexcept;
// Seconds east of UTC of the local time `local` (made by plat_localtime).
long plat_utc_offset(std::time_t t, const std::tm &local) noexcept;
// This process's number, and this machine's name (empty when unknown).
long plat_pid() noexcept;
void plat_host_name(char *out, std::size_t size) noexcept;
// The name of the process's current locale: the time category, or all.
const char *plat_locale_name(bool time_category) noexcept;

// A program's argument as UTF-16 units in `out` (at most `capacity`), read
// in the ANSI code page on Windows and as the locale's multibyte text
// (UTF-8) elsewhere: the count of units, UNIUTF8_E_FULL when they do not
// fit, another negative value when the argument is no text of that kind.
int32_t plat_argument_utf16(const char *argument, char16_t *out, int32_t capacity) noexcept;

// A locale's time conventions, made once from the names the locale table
// gives it (the system's own: "de_DE.UTF-8" here, "German" on Windows);
// null when the locale is not installed.
using PlatLocale = void *;
PlatLocale plat_locale_make(const char *english, const char *posix) noexcept;

// This thread's time locale switched to `locale` for the object's life; a
// null locale, or one that cannot be switched to, leaves the current one.
class PlatTimeLocale {
  public:
    explicit PlatTimeLocale(PlatLocale locale) noexcept;
    ~PlatTimeLocale();
    PlatTimeLocale(const PlatTimeLocale &) = delete;
    PlatTimeLocale &operator=(const PlatTimeLocale &) = delete;

  private:
    PlatLocale saved_ = nullptr;
};

// ---- files --------------------------------------------------------------------

// What the library looks at in a file's status.
struct FileInfo {
    std::time_t mtime;  // seconds
    int64_t mtime_ns;   // nanoseconds since the epoch
    int64_t size;
    uint64_t device;
    uint64_t inode;
    uint32_t mode;  // permission bits
    uint32_t owner;
    uint32_t group;
    bool directory;
};

// 0 and *info filled (cleared first), or the errno.
int plat_stat(const char *name, FileInfo *info) noexcept;
// 0 or the errno.
int plat_rename(const char *from, const char *to) noexcept;
void plat_unlink(const char *name) noexcept;
// The file `name` stands for: symbolic links in its last component followed
// (a relative link read from the link's directory), into `out` of `size`
// bytes. A name that is no link, or does not exist, is its own target.
// 0, or the errno (ELOOP, ENAMETOOLONG).
int plat_resolve_links(const char *name, char *out, std::size_t size) noexcept;
// Flushes the entries of the directory that holds `file` to disk: 0, or the
// errno (a file system that cannot flush directories is no failure).
int plat_sync_directory(const char *file) noexcept;

// A text stream on a file, closed with the object. Failures leave their
// errno in errno and in error().
class PlatStream {
  public:
    PlatStream() = default;
    // Opens `name` with a stdio mode ("r", "w").
    PlatStream(const char *name, const char *mode) noexcept;
    ~PlatStream();
    PlatStream(PlatStream &&other) noexcept;
    PlatStream &operator=(PlatStream &&other) noexcept;
    PlatStream(const PlatStream &) = delete;
    PlatStream &operator=(const PlatStream &) = delete;

    // A new file that must not exist yet (not even as a link), for
    // writing, with mode 0666 as the process's umask lets it.
    static PlatStream create_new(const char *name) noexcept;
    // An existing file, not a link, for writing where it stands: neither
    // created nor emptied.
    static PlatStream open_existing(const char *name) noexcept;

    explicit operator bool() const noexcept { return file_ != nullptr; }
    int error() const noexcept { return error_; }
    // One line (fgets); false at the end of the file or on a read error.
    bool gets(char *buffer, int size) noexcept;
    bool put(const char *text) noexcept;
    // Everything written reaches the disk: 0 or the errno.
    int sync() noexcept;
    int info(FileInfo *info) noexcept;
    // Empties the file and writes from its start again.
    int truncate() noexcept;
    int chmod(uint32_t mode) noexcept;
    // 0 or the errno; EPERM when the process may not give the file away.
    int chown(uint32_t owner, uint32_t group) noexcept;
    // 0 or the errno of a failed write-back.
    int close() noexcept;

  private:
    static PlatStream open_flags(const char *name, int flags) noexcept;
    int fail(int error) noexcept;
    std::FILE *file_ = nullptr;
    int error_ = 0;
};

// A kernel advisory lock held for the object's life that serialises the
// writers of every process on the files of one directory: the directory of
// the file's link target, locked rather than the file, since a save
// replaces the file (a file whose directory cannot be opened is locked
// itself). It dies with its process, and is not shared by two objects of
// one process.
class PlatDirLock {
  public:
    explicit PlatDirLock(const char *file) noexcept;
    ~PlatDirLock();
    PlatDirLock(const PlatDirLock &) = delete;
    PlatDirLock &operator=(const PlatDirLock &) = delete;

  private:
    PlatHandle fd_ = kNoHandle;
};

// ---- sockets ------------------------------------------------------------------

// The system's text of an error number of the socket calls below.
const char *plat_error_text(int error) noexcept;

// Where the socket layer must be started before use (WinSock): 0, or the
// start-up's error; every start that succeeded is ended by one stop.
int plat_sockets_start() noexcept;
void plat_sockets_stop() noexcept;

// One address the resolver found.
struct PlatAddress {
    int family;
    int socktype;
    int protocol;
    const void *addr;
    uint32_t addrlen;
};

// The addresses of a host and port, in the resolver's order.
class PlatResolver {
  public:
    PlatResolver() = default;
    ~PlatResolver();
    PlatResolver(const PlatResolver &) = delete;
    PlatResolver &operator=(const PlatResolver &) = delete;

    // 0, or the resolver's own code (its text: text()).
    int resolve(const char *host, const char *port) noexcept;
    static const char *text(int code) noexcept;
    // The next address; false after the last.
    bool next(PlatAddress *address) noexcept;

  private:
    int add(const char *host, const char *port) noexcept;
    static constexpr int kLists = 8;
    void *lists_[kLists] = {};
    int count_ = 0;
    int current_ = 0;
    void *at_ = nullptr;
};

// A stream socket, closed with the object.
class PlatSocket {
  public:
    PlatSocket() = default;
    ~PlatSocket() { close(); }
    PlatSocket(PlatSocket &&other) noexcept;
    PlatSocket &operator=(PlatSocket &&other) noexcept;
    PlatSocket(const PlatSocket &) = delete;
    PlatSocket &operator=(const PlatSocket &) = delete;

    bool is_open() const noexcept { return fd_ != kNoHandle; }
    // 0 or the errno.
    int open(const PlatAddress &address) noexcept;
    int set_nonblocking() noexcept;
    // The dialogue is many small pieces, each answered: no gathering delay.
    void no_delay() noexcept;
    // Starts the connection; its outcome shows in the waits and receives.
    void connect(const PlatAddress &address) noexcept;
    // Up to `ms` for the socket to become readable (or writable); false on
    // a time-out (errno ETIMEDOUT) or a failed wait. Interrupted waits are
    // restarted in full.
    bool wait(bool writable, int ms) noexcept;
    // Bytes received, 0 at the end, -1 with errno.
    long recv(char *buffer, std::size_t size) noexcept;
    // Bytes taken, or -1 with errno (EAGAIN when the socket is full).
    long send(const char *bytes, std::size_t count) noexcept;
    // The connection's pending error, or errno's when there is none.
    int pending_error() noexcept;
    // Reads what is left unread without waiting (so that the close does
    // not reset a connection the peer may still be taking data on), then
    // closes.
    void close() noexcept;

  private:
    PlatHandle fd_ = kNoHandle;
    int refused_ = 0;  // an injected connection failure, reported as a real one would be
};

// ---- TLS ----------------------------------------------------------------------

// A TLS client session over a connected non-blocking socket. Every byte goes
// through the socket's own send and receive, so no signal reaches the
// process and the failures of test builds apply. A build without a TLS
// library has the class with available() false.
class PlatTls {
  public:
    PlatTls() = default;
    ~PlatTls() { close(); }
    PlatTls(const PlatTls &) = delete;
    PlatTls &operator=(const PlatTls &) = delete;

    static bool available() noexcept;
    bool is_open() const noexcept { return ssl_ != nullptr; }
    // The handshake as the client of `host`, whose certificate and name are
    // verified against the CA file `ca` (the system's store when empty);
    // each wait is bounded by `ms`. True, or false with the reason in `why`.
    bool start(PlatSocket &socket, const char *host, const char *ca, int ms, char *why,
               std::size_t size) noexcept;
    // As the socket's: -1 with errno EAGAIN when it must wait, for what
    // wants_write() says.
    long send(const char *bytes, std::size_t count) noexcept;
    long recv(char *buffer, std::size_t size) noexcept;
    bool wants_write() const noexcept { return want_write_; }
    // Bytes received and decrypted but not read yet.
    bool pending() const noexcept;
    // Sends the closing alert, without waiting, and ends the session.
    void close() noexcept;

    // What the session's I/O reaches: the socket, and the error of its
    // last failed call.
    struct Link {
        PlatSocket *socket;
        int error;
    };

  private:
    long io_result(int n) noexcept;
    Link link_{nullptr, 0};
    void *ssl_ = nullptr;
    bool want_write_ = false;
};

}  // namespace kavrel

#ifdef KAVREL_FAULT_INJECTION
// Test builds only: the wall clock runs `seconds` ahead of the system's.
extern "C" void kavrel_test_clock(long long seconds);

// Test builds only: the host `name` resolves to the addresses of each of the
// numeric hosts in `hosts` (separated by spaces), in that order; a null
// `hosts` ends it.
extern "C" void kavrel_test_alias(const char *name, const char *hosts);
#endif
