// What the tests of the kavrel library share: a handler that keeps every
// line, a product's context on a directory of its own, and the SMTP relay.
#pragma once

#ifdef _WIN32
#include <process.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>
extern char **environ;
#endif

#include <algorithm>
#include <chrono>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "diag/errinfo.h"
#include "kavrel.h"
#include "kavrel_ctx.h"
#include "support.h"

namespace test {

struct Line {
    int32_t severity, number;
    std::string text;
};

inline std::vector<Line> g_lines;
inline int32_t g_answer = 0;  // what the handler answers: non-zero adds standard error

inline int32_t capture(KAVREL_CTX *, int32_t severity, int32_t number, const char *text) {
    g_lines.push_back({severity, number, text});
    return g_answer;
}

// The lines so far (then forgotten): trace texts as they are, messages as
// "<severity> <number> <text>" lines.
inline std::string take_lines() {
    std::string out;
    for (const Line &l : g_lines) {
        out +=
            l.severity == KAVREL_SEV_DEBUG && l.number == 0
                ? l.text
                : std::to_string(l.severity) + " " + std::to_string(l.number) + " " + l.text + "\n";
    }
    g_lines.clear();
    return out;
}

#ifdef _WIN32
using Process = intptr_t;  // the process's handle

// Starts a program with these arguments (the first names it): its process.
inline Process spawn(const std::vector<std::string> &args) {
    std::vector<std::string> quoted;  // the runtime joins them with blanks
    for (const std::string &a : args) quoted.push_back(shell_word(a));
    std::vector<const char *> argv;
    for (const std::string &a : quoted) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    return ::_spawnv(_P_NOWAIT, args[0].c_str(), argv.data());
}

// Waits for a process: its exit status (137 when it was killed).
inline int exit_code(Process process) {
    int status = -1;
    ::_cwait(&status, process, 0);
    return status;
}

inline void kill(Process process) {
    ::TerminateProcess(reinterpret_cast<HANDLE>(process), 137);
}

// Whether a store of the properties file holds its turn (the lock file's
// lock) now.
inline bool turn_held(const std::string &file) {
    const HANDLE h = ::CreateFileA((file + ".lock").c_str(), GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
    OVERLAPPED whole{};
    const bool held = h != INVALID_HANDLE_VALUE &&
                      !::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                                    MAXDWORD, MAXDWORD, &whole);
    if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    return held;
}
#else
using Process = pid_t;

// Starts a program with these arguments (the first names it): its process.
inline Process spawn(std::vector<std::string> args) {
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    return ::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0 ? pid : -1;
}

// Waits for a process: its exit status, or 128 + the signal that ended it.
inline int exit_code(Process pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

inline void kill(Process pid) {
    ::kill(pid, SIGKILL);
}

// Whether a store of the properties file holds its turn (its directory's
// lock) now.
inline bool turn_held(const std::string &file) {
    const int fd = ::open(fs::path(file).parent_path().c_str(), O_RDONLY);
    const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::close(fd);
    return held;
}
#endif

// The names of a directory's files, sorted, blank between; the lock files
// that stores keep on some systems left out.
inline std::string files(const std::string &dir) {
    std::set<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() != ".lock") names.insert(entry.path().filename().string());
    }
    std::string out;
    for (const std::string &name : names) out += (out.empty() ? "" : " ") + name;
    return out;
}

// The product "Prod", instance "p", on a directory of its own; its file is
// <dir>/p_tavro.properties.
class ContextTest : public ::testing::Test {
  protected:
    void TearDown() override {
        for (int op = 0; op < static_cast<int>(i18n::Fault::count_); ++op) {
            fail(static_cast<i18n::Fault>(op), 0, 0);
        }
        kavrel_free(&ctx_);
        kavrel_set_attr(nullptr, KAVREL_A_TRACE, 0);
        kavrel_test_clock(0);
        g_answer = 0;
        g_lines.clear();
    }
    uint32_t open(const std::string &props = "", uint32_t trace = 0, const char *locale = "en_US",
                  const char *msgdir = nullptr) {
        if (!props.empty()) write(propfile(), props);
        kavrel_set_attr(nullptr, KAVREL_A_TRACE, trace);
        const uint32_t status = kavrel_init(&ctx_, "Prod", "p", dir_.str().c_str(), nullptr,
                                            nullptr, locale, msgdir, capture);
        kavrel_set_attr(nullptr, KAVREL_A_TRACE, 0);
        return status;
    }
    std::string propfile() const { return dir_ / "p_tavro.properties"; }
    std::string retrieve(const char *name) {
        char value[256];
        const uint32_t status = kavrel_retrieve_prop(ctx_, name, value, sizeof value - 1);
        return status == 0 ? value : "<" + std::to_string(status) + ">";
    }

    TempDir dir_;
    KAVREL_CTX *ctx_ = nullptr;
};

// An SMTP peer of tests/relay.py for the life of a test: "relay", "relay2"
// (two ports) or a scripted server by its letter. Where the tests run on
// another system than the relay's (Windows under Wine), the relay host the
// test run started (KAVREL_RELAYS, its directory) starts and stops it.
class Relay {
  public:
    explicit Relay(const std::string &mode) {
        const std::string spool = spool_.str();
        if (host_ != nullptr) {
            write(spool + "/mode", mode);
        } else {
            pid_ = spawn({"/usr/bin/python3", "-I", std::string(KAVREL_TEST_DIR) + "/relay.py",
                          spool, mode});
        }
        for (int i = 0; (host_ != nullptr || pid_ > 0) && i < 750 && ports_.empty(); ++i) {
            std::istringstream in(slurp(spool + "/ports"));
            for (int port; in >> port;) ports_.push_back(port);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ~Relay() {
        if (host_ == nullptr) {
            kill(pid_);
            exit_code(pid_);
            return;
        }
        write(spool_ / "stop", "");  // the host stops the relay and removes the spool
        for (int i = 0; i < 250 && fs::exists(spool_.str()); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    int port(std::size_t i = 0) const { return i < ports_.size() ? ports_[i] : 0; }
    // A file of the spool: "decoded" (each mail as Python's email package
    // reads it), "ca.pem", "other-ca.pem".
    std::string file(const char *name) const { return slurp(spool_ / name); }
    std::string path(const char *name) const { return spool_ / name; }
    // Every mail kept so far: "<sender>\0<recipients>\0<data>".
    std::vector<std::string> mails() const {
        std::istringstream in(slurp(spool_ / "mails"));
        std::vector<std::string> out;
        for (std::string mail; std::getline(in, mail, '\1');) out.push_back(mail);
        return out;
    }
    // What a scripted server received, once `n` connections have ended.
    std::string received(long n) const {
        std::string text;
        for (int i = 0; i < 300 && std::count(text.begin(), text.end(), '#') < n; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            text = slurp(spool_ / "received");
        }
        return text == "<none>" ? "" : text;
    }

  private:
    const char *host_ = std::getenv("KAVREL_RELAYS");
    TempDir spool_{host_ != nullptr ? fs::path(host_) : scratch_base()};
    Process pid_ = -1;
    std::vector<int> ports_;
};

}  // namespace test
