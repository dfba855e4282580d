// What the tests of the kavrel library share: a handler that keeps every
// line, a product's context on a directory of its own, and the SMTP relay.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "diag/errinfo.h"
#include "kavrel.h"
#include "kavrel_ctx.h"
#include "support.h"

extern char **environ;

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

// Starts a program with these arguments (the first names it): its process.
inline pid_t spawn(std::vector<std::string> args) {
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    return ::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0 ? pid : -1;
}

// Waits for a process: its exit status, or 128 + the signal that ended it.
inline int exit_code(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Runs a command line through the shell: its exit status.
inline int shell(const std::string &command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
// (two ports) or a scripted server by its letter.
class Relay {
  public:
    explicit Relay(const std::string &mode) {
        const std::string spool = spool_.str();
        pid_ = spawn(
            {"/usr/bin/python3", "-I", std::string(KAVREL_TEST_DIR) + "/relay.py", spool, mode});
        for (int i = 0; pid_ > 0 && i < 750 && ports_.empty(); ++i) {
            std::istringstream in(slurp(spool + "/ports"));
            for (int port; in >> port;) ports_.push_back(port);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ~Relay() {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
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
    TempDir spool_;
    pid_t pid_ = -1;
    std::vector<int> ports_;
};

}  // namespace test
