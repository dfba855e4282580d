// What the localisation library asks of the system: memory, files and the
// environment. It is also where test builds inject failures: one table of
// fault windows, one per kind of system operation, shared by this library
// and the one built on it, so that "the k-th allocation" counts every
// allocation of the process, whichever layer makes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace i18n {

// ---- memory -------------------------------------------------------------------

void *mem_alloc(std::size_t bytes) noexcept;
void mem_free(void *p) noexcept;

// ---- files --------------------------------------------------------------------

// A file opened for reading or writing (bytes as they are); closed with the
// object.
class PlatFile {
  public:
    PlatFile() = default;
    PlatFile(const char *name, const char *mode) noexcept;
    ~PlatFile();
    PlatFile(PlatFile &&other) noexcept : file_(other.file_) { other.file_ = nullptr; }
    PlatFile(const PlatFile &) = delete;
    PlatFile &operator=(const PlatFile &) = delete;

    explicit operator bool() const noexcept { return file_ != nullptr; }
    // Exactly n bytes, or false.
    bool read(void *to, std::size_t n) noexcept;

  private:
    std::FILE *file_ = nullptr;
};

// The value of an environment variable, or null.
const char *env_get(const char *name) noexcept;

// ---- paths --------------------------------------------------------------------

// The separator of the paths the libraries build.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// Whether an installation root names a place of its own rather than one
// below the current directory ("/..." here; "C:\...", "\\server\..." or
// "\..." on Windows).
bool path_is_absolute(const char *root) noexcept;

// ---- failure injection --------------------------------------------------------

enum class Fault : int {
    alloc,    // every allocation: plain, tracked and the catalogues'
    open,     // opening a file, a temporary file, a directory for its lock
    read,     // reading a file
    write,    // writing a record of a save
    sync,     // flushing and syncing a save, and its directory
    rename,   // moving a save into place
    stat,     // the status of a file
    lock,     // the lock serialising stores
    clock,    // the wall clock
    locale,   // switching the time locale
    resolve,  // name resolution
    socket,   // creating a socket
    connect,  // starting a connection
    wait,     // waiting for a socket
    recv,     // receiving
    send,     // sending
    attrs,    // giving a save its old file's mode, owner and group
    close,    // closing a written file
    tls,      // the TLS library (as though the build had none)
    count_
};

#ifdef KAVREL_FAULT_INJECTION
// Whether this operation of kind `op` is to fail; *error gets the errno to
// fail with.
bool fault_hits(Fault op, int *error) noexcept;
#else
constexpr bool fault_hits(Fault, int *) noexcept {
    return false;
}
#endif

}  // namespace i18n

#ifdef KAVREL_FAULT_INJECTION
// Test builds only: the next `after` operations of kind `op` (an i18n::Fault)
// succeed, then `count` fail with errno `error` (count < 0: every later
// one). kavrel_test_fault(op, 0, 0, 0) turns that kind off again. Returns the
// number of operations of that kind made so far.
extern "C" int64_t kavrel_test_fault(int op, int64_t after, int64_t count, int error);
#endif
