// The properties file: loading it into the list (a merge), saving the list
// whole, and deciding when the file has changed under us.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "diag/route.h"
#include "diag/trace.h"
#include "kavrel_ctx.h"
#include "prop.h"

namespace kavrel {
namespace {

constexpr const char *kSource = "prop";
constexpr int kLineBuffer = 4096;  // at most 4095 bytes of a line at a time
constexpr int kLoadStopCalling = 2;
constexpr int kLoadSkipLine = 1;

void report_open_failure(KAVREL_ERR_INFO *err_info, const char *name, int error) {
    if (err_info == nullptr) return;
    errinfo_add(err_info, KAVREL_SEV_ERROR, KAVREL_E_FILE_OPEN,
                "Failed to open %s file: errno=%d %s.", name, error, std::strerror(error));
}

bool preconditions_hold(PROP_DES *prop_des, const char *prop_file, KAVREL_ERR_INFO *err_info) {
    if (prop_file == nullptr || *prop_file == '\0') {
        errinfo_precondition(err_info, kSource, __LINE__,
                             "((prop_file != NULL) && (*prop_file != '\\0'))");
        return false;
    }
    return prop__usable(prop_des, err_info, __LINE__);
}

FileStamp stamp_of(const FileInfo &info) {
    return {info.mtime_ns, info.size, info.device, info.inode, true};
}

bool same_stamp(const FileStamp &a, const FileStamp &b) {
    return a.known && b.known && a.mtime_ns == b.mtime_ns && a.size == b.size &&
           a.device == b.device && a.inode == b.inode;
}

// A load and a save hold the store's lock from start to end: the helpers
// below read and write the store's view of the file under it.
void set_stamp(PROP_DES *d, const FileInfo &info) {
    d->stamp = stamp_of(info);
}

void trace_file(PROP_DES *d, const char *function, const char *file, std::time_t mtime) {
    if (!trace_on(d->ctx, KAVREL_TRACE_PROP)) return;
    trace_always(d->ctx, "PROP %s(%p): file %s\n", function, static_cast<void *>(d), file);
    trace_time_label(d->ctx, "\tmod time", mtime);
    trace_time_label(d->ctx, "\tlast use", d->last_use);
}

bool unchanged(PROP_DES *d, const FileInfo &info) {
    return d->stamp.known ? same_stamp(d->stamp, stamp_of(info)) : info.mtime <= d->last_use;
}

bool overwrites_change(PROP_DES *d, const FileInfo &info) {
    return d->last_use != 0 && info.mtime > d->last_use;
}

void touch_last_use(PROP_DES *d, const char *file) {
    const std::time_t now = plat_time();
    if (now == static_cast<std::time_t>(-1)) {
        prop_trace(d, "Failed to get time to timestamp access to properties file %s.\n", file);
        return;
    }
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

// Reads every line of the file into the list. Returns whether the callback
// is still in use.
bool read_lines(PROP_DES *d, PlatStream &file, const char *name, PROP_LOAD_CB cb,
                KAVREL_ERR_INFO *err_info) {
    char buffer[kLineBuffer];
    int number = 0;
    while (file.gets(buffer, sizeof buffer)) {
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

constexpr std::size_t kPathMax = 4096;

// The one temporary file of a properties file, "<file>.tmp" beside it,
// created afresh (one a crash left behind is removed first; no link is
// followed); removed again unless it was moved into place.
class TempFile {
  public:
    explicit TempFile(const char *target) {
        const int n = std::snprintf(name_, sizeof name_, "%s.tmp", target);
        if (n < 0 || static_cast<std::size_t>(n) >= sizeof name_) return;
        stream_ = PlatStream::create_new(name_);
        if (!stream_ && stream_.error() == EEXIST) {
            plat_unlink(name_);
            stream_ = PlatStream::create_new(name_);
        }
        created_ = static_cast<bool>(stream_);
    }
    ~TempFile() {
        stream_.close();
        if (created_ && !placed_) plat_unlink(name_);
    }
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;

    bool created() const { return created_; }
    PlatStream &stream() { return stream_; }
    const char *name() const { return name_; }
    void placed() { placed_ = true; }

  private:
    char name_[kPathMax + 8] = "";
    PlatStream stream_;
    bool created_ = false;
    bool placed_ = false;
};

// Writes every record in list order. False on a write error.
bool write_records(PROP_DES *d, PlatStream &file) {
    for (KAVREL_LINK *l = d->props.next; l != &d->props; l = l->next) {
        const auto *r = reinterpret_cast<const PROPERTY *>(l);
        const bool ok = r->key != nullptr ? file.put(r->key) && file.put("=") &&
                                                file.put(r->value) && file.put("\n")
                                          : file.put(r->value) && file.put("\n");
        if (!ok) return false;
    }
    return true;
}

// Every record into `file`, on the disk: 0 or the errno. *written gets the
// file's status.
int write_file(PROP_DES *d, PlatStream &file, FileInfo *written) {
    if (!write_records(d, file) || file.sync() != 0 || file.info(written) != 0 ||
        file.close() != 0) {
        return file.error();
    }
    return 0;
}

// The old file's mode, owner and group for the new one; an owner this
// process may not give a file to is left to the system.
int keep_attributes(PlatStream &file, PlatStream &old) {
    FileInfo info{};
    if (!old || old.info(&info) != 0) return 0;
    const int error = file.chown(info.owner, info.group);
    if (error != 0 && error != EPERM) return error;
    return file.chmod(info.mode);
}

// The save in place, through the old file opened for writing (or a new one
// where there is none), for a directory that takes no temporary file or
// refuses to move it over the old one.
int write_in_place(PROP_DES *d, const char *target, PlatStream &old, FileInfo *written) {
    PlatStream file = old ? static_cast<PlatStream &&>(old) : PlatStream(target, "w");
    if (!file) return file.error();
    if (const int error = file.truncate()) return error;
    return write_file(d, file, written);
}

// The save proper: into the temporary file moved over the old one, so that
// readers see the old file or the new one and never part of either.
int write_replacing(PROP_DES *d, const char *target, TempFile &temp, PlatStream &old,
                    FileInfo *written) {
    int error = keep_attributes(temp.stream(), old);
    if (error == 0) error = write_file(d, temp.stream(), written);
    if (error != 0) return error;
    // Some systems move nothing over a file that is open, ours included.
    const bool had_old = static_cast<bool>(old);
    old.close();
    error = plat_rename(temp.name(), target);
    if ((error == EPERM || error == EACCES) && had_old) {
        return write_in_place(d, target, old, written);
    }
    if (error != 0) return error;
    temp.placed();
    if (const int unsynced = plat_sync_directory(target)) {
        prop_trace(d, "PROP %s(%p): Failed to flush the directory of %s. errno=%d %s\n",
                   "prop_save:", static_cast<void *>(d), target, unsynced, std::strerror(unsynced));
    }
    return 0;
}

// The file a save writes: the target of a link, opened for writing when it
// exists (proof that this process may write it). 0 or the errno.
int open_target(const char *name, char *target, PlatStream *old) {
    if (const int error = plat_resolve_links(name, target, kPathMax)) return error;
    *old = PlatStream::open_existing(target);
    return *old || old->error() == ENOENT ? 0 : old->error();
}

}  // namespace

PlatStream open__file(const char *name, const char *mode, KAVREL_ERR_INFO *err_info) {
    // File names are UTF-8 and the platform takes them as they are: there
    // is no second, wide-character attempt to make.
    PlatStream file(name, mode);
    if (!file) report_open_failure(err_info, name, file.error());
    return file;
}

uint32_t stat__file(const char *name, FileInfo *status, KAVREL_ERR_INFO *err_info) {
    const int error = plat_stat(name, status);
    if (error != 0) {
        if (err_info != nullptr) {
            errinfo_add(err_info, KAVREL_SEV_ERROR, KAVREL_E_FILE_STATUS,
                        "Failed to get status of file %s. errno=%d %s.", name, error,
                        std::strerror(error));
        }
        return static_cast<uint32_t>(error);
    }
    if (status->directory) {
        if (err_info != nullptr) {
            errinfo_add(err_info, KAVREL_SEV_ERROR, KAVREL_E_NOT_A_FILE,
                        "%s must be a file not a directory.", name);
        }
        return KAVREL_E_NOT_A_FILE;
    }
    return 0;
}

uint32_t prop_load(PROP_DES *prop_des, const char *prop_file, PROP_LOAD_CB prop_load_cb,
                   KAVREL_ERR_INFO *err_info) {
    if (!preconditions_hold(prop_des, prop_file, err_info)) return KAVREL_E_PROGRAMMING;
    // The whole load under the store's lock: a save on another thread of
    // this store lands before it or after it, so the view it records of the
    // file is the view the list holds.
    LockGuard whole(prop_des->lock);
    FileInfo info;
    const uint32_t status = stat__file(prop_file, &info, err_info);
    trace_file(prop_des, "prop_load:", prop_file, info.mtime);
    if (status != 0) return status;
    // Unchanged since this store last read or wrote it: nothing to merge.
    if (unchanged(prop_des, info)) return 0;
    PlatStream file = open__file(prop_file, "r", err_info);
    if (!file) return KAVREL_E_FILE_OPEN;
    FileInfo opened;
    const bool stamped = file.info(&opened) == 0;
    const bool calling = read_lines(prop_des, file, prop_file, prop_load_cb, err_info);
    if (calling) prop_load_cb(prop_des->ctx, nullptr, nullptr);
    file.close();
    if (stamped) set_stamp(prop_des, opened);
    touch_last_use(prop_des, prop_file);
    return 0;
}

uint32_t prop_save(PROP_DES *prop_des, const char *prop_file, KAVREL_ERR_INFO *err_info) {
    if (!preconditions_hold(prop_des, prop_file, err_info)) return KAVREL_E_PROGRAMMING;
    LockGuard whole(prop_des->lock);
    FileInfo info;
    const bool have_status = stat__file(prop_file, &info, err_info) == 0;
    trace_file(prop_des, "prop_save:", prop_file, info.mtime);
    if (have_status && overwrites_change(prop_des, info)) {
        prop_trace(prop_des, "PROP %s(%p): In-memory change may overwrite file %s\n",
                   "prop_save:", static_cast<void *>(prop_des), prop_file);
    }
    char target[kPathMax];
    PlatStream old;
    int error = open_target(prop_file, target, &old);
    FileInfo written{};
    if (error == 0) {
        TempFile temp(target);
        error = temp.created() ? write_replacing(prop_des, target, temp, old, &written)
                               : write_in_place(prop_des, target, old, &written);
    }
    if (error != 0) {
        report_open_failure(err_info, prop_file, error);
        return KAVREL_E_FILE_OPEN;
    }
    set_stamp(prop_des, written);
    touch_last_use(prop_des, prop_file);
    return 0;
}

}  // namespace kavrel
