// The properties file: loading it into the list (a merge), saving the list
// whole, and deciding when the file has changed under us.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "diag/route.h"
#include "diag/trace.h"
#include "kavrel_ctx.h"
#include "prop.h"

namespace kavrel {
namespace {

constexpr const char *kSource = "prop";
constexpr const char *kFileCondition = "((prop_file != NULL) && (*prop_file != '\\0'))";
constexpr const char *kMagicCondition =
    "((prop_des != (PROP_DES *) NULL) && (prop_des->magic == PROP_DES_MAGIC))";
constexpr int kLineBuffer = 4096;  // at most 4095 bytes of a line at a time
constexpr int kLoadStopCalling = 2;
constexpr int kLoadSkipLine = 1;

struct CloseFile {
    void operator()(std::FILE *f) const noexcept { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, CloseFile>;

void report_open_failure(KAVREL_ERR_INFO *err_info, const char *name, int error) {
    if (err_info == nullptr) return;
    errinfo_add(err_info, SEV_ERROR, 131244, "Failed to open %s file: errno=%d %s.", name, error,
                std::strerror(error));
}

bool preconditions_hold(PROP_DES *prop_des, const char *prop_file, KAVREL_ERR_INFO *err_info) {
    const char *failed = nullptr;
    if (prop_file == nullptr || *prop_file == '\0') {
        failed = kFileCondition;
    } else if (prop_des == nullptr) {
        failed = "(prop_ctx != NULL)";
    } else if (prop_des->magic != PROP_DES_MAGIC) {
        failed = kMagicCondition;
    }
    if (failed == nullptr) return true;
    if (err_info != nullptr) {
        errinfo_assert(err_info, kSource, __LINE__, failed);
    } else {
        assert_stderr(kSource, __LINE__, failed);
    }
    return false;
}

FileStamp stamp_of(const struct stat &st) {
    return {static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
            static_cast<int64_t>(st.st_size), static_cast<uint64_t>(st.st_dev),
            static_cast<uint64_t>(st.st_ino), true};
}

bool same_stamp(const FileStamp &a, const FileStamp &b) {
    return a.known && b.known && a.mtime_ns == b.mtime_ns && a.size == b.size &&
           a.device == b.device && a.inode == b.inode;
}

void trace_file(PROP_DES *d, const char *function, const char *file, std::time_t mtime) {
    if (!trace_on(d->ctx, TRACE_PROP)) return;
    trace_always(d->ctx, "PROP %s(%p): file %s\n", function, static_cast<void *>(d), file);
    trace_time_label(d->ctx, "\tmod time", mtime);
    std::time_t last_use = 0;
    {
        LockGuard lock(d->lock);
        last_use = d->last_use;
    }
    trace_time_label(d->ctx, "\tlast use", last_use);
}

// The store's view of the file is shared by the threads of its context:
// these read it under the store's lock.
bool unchanged(PROP_DES *d, const struct stat &st) {
    LockGuard lock(d->lock);
    return d->stamp.known ? same_stamp(d->stamp, stamp_of(st)) : st.st_mtime <= d->last_use;
}

bool overwrites_change(PROP_DES *d, const struct stat &st) {
    LockGuard lock(d->lock);
    return d->last_use != 0 && st.st_mtime > d->last_use;
}

void touch_last_use(PROP_DES *d, const char *file) {
    const std::time_t now = std::time(nullptr);
    if (now == static_cast<std::time_t>(-1)) {
        prop_trace(d, "Failed to get time to timestamp access to properties file %s.\n", file);
        return;
    }
    LockGuard lock(d->lock);
    d->last_use = now;
}

// Trims a line in place: leading whitespace, then trailing whitespace and
// control characters. Returns the start of what is left.
char *trim(char *line) {
    while (*line == ' ' || (*line >= '\t' && *line <= '\r')) ++line;
    std::size_t n = std::strlen(line);
    while (n > 0) {
        const auto c = static_cast<unsigned char>(line[n - 1]);
        if (c != ' ' && c > 0x1F && c != 0x7F) break;
        --n;
    }
    line[n] = '\0';
    return line;
}

// Reads every line of the file into the list, under the descriptor's lock.
// Returns whether the callback is still in use.
bool read_lines(PROP_DES *d, std::FILE *file, const char *name, PROP_LOAD_CB cb,
                KAVREL_ERR_INFO *err_info) {
    LockGuard lock(d->lock);
    char buffer[kLineBuffer];
    int number = 0;
    while (std::fgets(buffer, sizeof buffer, file) != nullptr) {
        ++number;
        char *line = trim(buffer);
        if (*line == '\0') continue;
        const char *key = nullptr;
        const char *value = line;
        if (*line != '#') {
            char *equals = std::strchr(line, '=');
            if (equals == nullptr) {
                prop_trace(d, "Unrecognised line (%d) in properties file %s: '%s'\n", number, name,
                           line);
                continue;
            }
            *equals = '\0';
            key = line;
            value = equals + 1;
        }
        if (cb != nullptr) {
            const int verdict = cb(d->ctx, key, value);
            if (verdict == kLoadStopCalling) cb = nullptr;
            if (verdict == kLoadSkipLine) continue;
        }
        set__property(d, key, value, err_info);
    }
    return cb != nullptr;
}

// ---- saving -----------------------------------------------------------------

// A temporary file beside the properties file, created with the mode a new
// file gets; removed again unless it was renamed into place.
class TempFile {
  public:
    explicit TempFile(const char *target) {
        static std::atomic<unsigned> counter{0};
        std::snprintf(name_, sizeof name_, "%s.%ld.%u.tmp", target, static_cast<long>(::getpid()),
                      counter.fetch_add(1));
        if (std::strlen(name_) + 1 >= sizeof name_) return;
        fd_ = ::open(name_, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        created_ = fd_ >= 0;
    }
    ~TempFile() {
        if (fd_ >= 0) ::close(fd_);
        if (created_ && !placed_) ::unlink(name_);
    }
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    bool created() const { return created_; }
    int fd() const { return fd_; }
    const char *name() const { return name_; }
    // Closes the file; true when everything reached the disk.
    bool close() {
        const bool ok = ::close(fd_) == 0;
        fd_ = -1;
        return ok;
    }
    void placed() { placed_ = true; }

  private:
    char name_[4096 + 32] = "";
    int fd_ = -1;
    bool created_ = false;
    bool placed_ = false;
};

// Writes every record in list order, under the lock. False on a write error.
bool write_records(PROP_DES *d, std::FILE *file) {
    LockGuard lock(d->lock);
    for (KAVREL_LINK *l = d->props.next; l != &d->props; l = l->next) {
        const auto *r = reinterpret_cast<const PROPERTY *>(l);
        const int n = r->key != nullptr ? std::fprintf(file, "%s%c%s\n", r->key, '=', r->value)
                                        : std::fprintf(file, "%s\n", r->value);
        if (n < 0 || plat_io_fails()) return false;
    }
    return true;
}

bool flush_and_sync(std::FILE *file) {
    if (std::fflush(file) != 0 || plat_io_fails()) return false;
    return ::fsync(::fileno(file)) == 0 && !plat_io_fails();
}

int error_or_io() {
    return errno != 0 ? errno : EIO;
}

// The save proper: into a temporary file renamed over the old one, so that
// readers see the old file or the new one and never part of either.
uint32_t save_replacing(PROP_DES *d, const char *name, TempFile &temp, const struct stat *old,
                        KAVREL_ERR_INFO *err_info) {
    if (old != nullptr) ::fchmod(temp.fd(), old->st_mode & 07777);
    std::FILE *stream = ::fdopen(::dup(temp.fd()), "w");
    errno = 0;
    bool ok = stream != nullptr && write_records(d, stream) && flush_and_sync(stream);
    struct stat written {};
    ok = ok && ::fstat(::fileno(stream), &written) == 0;
    if (stream != nullptr && std::fclose(stream) != 0) ok = false;
    ok = ok && temp.close() && !plat_io_fails() && ::rename(temp.name(), name) == 0;
    if (!ok) {
        report_open_failure(err_info, name, error_or_io());
        return 131244;
    }
    temp.placed();
    LockGuard lock(d->lock);
    d->stamp = stamp_of(written);
    return 0;
}

// The save where the directory takes no temporary file: in place.
uint32_t save_in_place(PROP_DES *d, const char *name, KAVREL_ERR_INFO *err_info) {
    File file(open__file(name, "w", err_info));
    if (!file) return 131244;
    errno = 0;
    bool ok = write_records(d, file.get()) && std::fflush(file.get()) == 0;
    struct stat written {};
    if (ok && ::fstat(::fileno(file.get()), &written) == 0) {
        LockGuard lock(d->lock);
        d->stamp = stamp_of(written);
    }
    if (std::fclose(file.release()) != 0) ok = false;
    if (!ok) {
        report_open_failure(err_info, name, error_or_io());
        return 131244;
    }
    return 0;
}

}  // namespace

PropFileLock::PropFileLock(const char *prop_file) {
    // The directory is locked, not the file: a save replaces the file.
    char directory[4096];
    const char *slash = std::strrchr(prop_file, '/');
    if (slash == nullptr) {
        std::strcpy(directory, ".");
    } else {
        const std::size_t n = slash == prop_file ? 1 : static_cast<std::size_t>(slash - prop_file);
        if (n >= sizeof directory) return;
        std::memcpy(directory, prop_file, n);
        directory[n] = '\0';
    }
    fd_ = ::open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) fd_ = ::open(prop_file, O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return;
    while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
}

PropFileLock::~PropFileLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
}

std::FILE *open__file(const char *name, const char *mode, KAVREL_ERR_INFO *err_info) {
    // File names are UTF-8 and the platform takes them as they are: there
    // is no second, wide-character attempt to make.
    errno = 0;
    std::FILE *file = std::fopen(name, mode);
    if (file == nullptr) report_open_failure(err_info, name, errno);
    return file;
}

uint32_t stat__file(const char *name, struct stat *status, KAVREL_ERR_INFO *err_info) {
    errno = 0;
    std::memset(status, 0, sizeof *status);
    if (::stat(name, status) != 0) {
        const int error = errno;
        if (err_info != nullptr) {
            errinfo_add(err_info, SEV_ERROR, 131246,
                        "Failed to get status of file %s. errno=%d %s.", name, error,
                        std::strerror(error));
        }
        return static_cast<uint32_t>(error);
    }
    if (S_ISDIR(status->st_mode)) {
        if (err_info != nullptr) {
            errinfo_add(err_info, SEV_ERROR, 131245, "%s must be a file not a directory.", name);
        }
        return 131245;
    }
    return 0;
}

uint32_t prop_load(PROP_DES *prop_des, const char *prop_file, PROP_LOAD_CB prop_load_cb,
                   KAVREL_ERR_INFO *err_info) {
    if (!preconditions_hold(prop_des, prop_file, err_info)) return STATUS_PROGRAMMING;
    struct stat st;
    const uint32_t status = stat__file(prop_file, &st, err_info);
    trace_file(prop_des, "prop_load:", prop_file, st.st_mtime);
    if (status != 0) return status;
    // Unchanged since this store last read or wrote it: nothing to merge.
    if (unchanged(prop_des, st)) return 0;
    File file(open__file(prop_file, "r", err_info));
    if (!file) return 131244;
    struct stat opened;
    const bool stamped = ::fstat(::fileno(file.get()), &opened) == 0;
    const bool calling = read_lines(prop_des, file.get(), prop_file, prop_load_cb, err_info);
    if (calling) prop_load_cb(prop_des->ctx, nullptr, nullptr);
    file.reset();
    if (stamped) {
        LockGuard lock(prop_des->lock);
        prop_des->stamp = stamp_of(opened);
    }
    touch_last_use(prop_des, prop_file);
    return 0;
}

uint32_t prop_save(PROP_DES *prop_des, const char *prop_file, KAVREL_ERR_INFO *err_info) {
    if (!preconditions_hold(prop_des, prop_file, err_info)) return STATUS_PROGRAMMING;
    struct stat st;
    const bool have_status = stat__file(prop_file, &st, err_info) == 0;
    trace_file(prop_des, "prop_save:", prop_file, st.st_mtime);
    if (have_status && overwrites_change(prop_des, st)) {
        prop_trace(prop_des, "PROP %s(%p): In-memory change may overwrite file %s\n",
                   "prop_save:", static_cast<void *>(prop_des), prop_file);
    }
    uint32_t result = 0;
    {
        TempFile temp(prop_file);
        result = temp.created() ? save_replacing(prop_des, prop_file, temp,
                                                 have_status ? &st : nullptr, err_info)
                                : save_in_place(prop_des, prop_file, err_info);
    }
    if (result != 0) return result;
    touch_last_use(prop_des, prop_file);
    return 0;
}

}  // namespace kavrel
