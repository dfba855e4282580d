// What the e-mail and SMTP tests share: a scripted SMTP server on the
// loopback interface, a port where nothing listens, and a fixture that makes
// a context on a properties file of the test's own.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "diag/errinfo.h"
#include "diag/route.h"
#include "kavrel.h"
#include "kavrel_capture.h"
#include "kavrel_ctx.h"
#include "support/platform.h"
#include "temp_dir.h"

namespace kavrel_test {

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A socket bound to a free loopback port, listening when asked; its port
// goes to *port.
inline int loopback_socket(bool listen, int *port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&a), size) != 0 ||
        (listen && ::listen(fd, 16) != 0)) {
        throw std::runtime_error("cannot listen");
    }
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &size);
    *port = ntohs(a.sin_port);
    return fd;
}

// A port on the loopback interface where nothing listens.
inline int closed_port() {
    int port = 0;
    ::close(loopback_socket(false, &port));
    return port;
}

enum class Script {
    Smtp,    // "220 ready", "250 ok" to each line, "354 go" to DATA, "221 bye" to QUIT
    Silent,  // accepts and never says anything
    Close,   // closes the connection at once
    Reject,  // greets, then "550 no" to every command and to the data
    Split,   // the greeting in two parts, 300 ms apart; then as Smtp
    Long,    // a greeting and replies of 300 bytes; otherwise as Smtp
};

// An SMTP server of our own, one connection at a time, keeping the bytes
// each connection sent.
class ScriptedServer {
  public:
    explicit ScriptedServer(Script script = Script::Smtp)
        : script_(script), fd_(loopback_socket(true, &port_)), thread_([this] { run(); }) {}
    ~ScriptedServer() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }

    int port() const { return port_; }
    std::string port_text() const { return std::to_string(port_); }
    int connections() { return static_cast<int>(ended(0).size()); }
    // The bytes of each connection so far, once `n` of them have ended (the
    // client's last bytes may still be on their way when its call returns),
    // or after 3 seconds.
    std::vector<std::string> ended(std::size_t n) {
        for (const auto start = Clock::now(); seconds_since(start) < 3;) {
            if (std::lock_guard lock(mutex_); ended_ >= n) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::lock_guard lock(mutex_);
        return sessions_;
    }

  private:
    void run() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            std::unique_lock lock(mutex_);
            std::string &session = sessions_.emplace_back();  // only this thread adds
            lock.unlock();
            serve(c, session);
            ::close(c);
            lock.lock();
            ++ended_;
        }
    }

    void say(int c, std::string text, bool greeting = false) const {
        if (script_ == Script::Reject && !greeting) text = "550 no\r\n";
        if (script_ == Script::Long) {
            text = text.substr(0, 4) + std::string(greeting ? 394 : 294, 'x') + "\r\n";
        }
        ::send(c, text.data(), text.size(), MSG_NOSIGNAL);
    }

    void serve(int c, std::string &session) {
        if (script_ == Script::Close) return;
        if (script_ != Script::Silent)
            say(c, script_ == Script::Split ? "220 scr" : "220 ready\r\n", true);
        if (script_ == Script::Split) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            say(c, "ipted\r\n", true);
        }
        std::string pending;
        bool in_data = false;
        for (const auto start = Clock::now(); !stop_ && seconds_since(start) < 8;) {
            pollfd p{c, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            char buffer[4096];
            const ssize_t n = ::recv(c, buffer, sizeof buffer, 0);
            if (n <= 0) return;  // the client closed
            pending.append(buffer, static_cast<std::size_t>(n));
            {
                std::lock_guard lock(mutex_);
                session.append(buffer, static_cast<std::size_t>(n));
            }
            for (std::size_t eol;
                 script_ != Script::Silent && (eol = pending.find("\r\n")) != std::string::npos;
                 pending.erase(0, eol + 2)) {
                const std::string line = pending.substr(0, eol);
                if (in_data && line == ".") say(c, "250 queued\r\n");
                if (!in_data) {
                    say(c, line == "DATA"   ? "354 go\r\n"
                           : line == "QUIT" ? "221 bye\r\n"
                                            : "250 ok\r\n");
                }
                in_data = in_data ? line != "." : line == "DATA";
            }
        }
    }

    Script script_;
    int port_ = 0;
    int fd_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::string> sessions_;
    std::size_t ended_ = 0;
    std::thread thread_;
};

// The messages that reached the handler, trace lines left out.
inline std::vector<Line> messages() {
    std::vector<Line> out;
    for (const Line &l : g_lines) {
        if (l.severity != kavrel::SEV_DEBUG) out.push_back(l);
    }
    return out;
}

// The trace lines that begin with `prefix`.
inline std::vector<std::string> trace_of(const std::string &prefix) {
    std::vector<std::string> out;
    for (const Line &l : g_lines) {
        if (l.severity == kavrel::SEV_DEBUG && l.text.starts_with(prefix)) out.push_back(l.text);
    }
    return out;
}

// A context "Prod"/"Inst" on tavro.properties in a directory of its own.
class MailFixture : public ::testing::Test {
  protected:
    void SetUp() override { g_lines.clear(); }
    void TearDown() override {
        kavrel_test_fail_alloc(0, 0);
        kavrel_set_attr(nullptr, KAVREL_A_TRACE, 0);
        kavrel_free(&ctx_);
    }

    // Writes `props` to the file and makes ctx_ on it, freeing any earlier
    // one and forgetting the lines so far; `trace` is the mask it starts with.
    uint32_t init(const std::string &props, uint32_t trace = 0) {
        kavrel_free(&ctx_);
        g_lines.clear();
        dir_.write("tavro.properties", props);
        return open(&ctx_, "Inst", trace);
    }
    uint32_t open(KAVREL_CTX **ctx, const char *instance, uint32_t trace = 0) {
        kavrel_set_attr(nullptr, KAVREL_A_TRACE, trace);
        const uint32_t status = kavrel_init(ctx, "Prod", instance, dir_.str().c_str(), nullptr,
                                            propfile_.c_str(), "en_US", nullptr, capture);
        kavrel_set_attr(nullptr, KAVREL_A_TRACE, 0);
        return status;
    }
    void store(const char *name, const char *value) {
        ASSERT_EQ(kavrel_store_prop(ctx_, name, value), 0u);
    }
    // A library call that adds nothing: its start re-reads the settings.
    void touch() {
        uint32_t value = 0;
        ASSERT_EQ(kavrel_get_attr(ctx_, KAVREL_A_EMAIL_NOTIFICATION, &value), 0u);
    }

    // Routes a record holding one error "report"; the routing's result.
    uint32_t route_report() {
        kavrel::KAVREL_ERR_INFO ei;
        kavrel::errinfo_begin(ctx_, nullptr, &ei);
        kavrel::errinfo_add(&ei, kavrel::SEV_ERROR, 131240, "%s", "report");
        return kavrel::errinfo_route(&ei);
    }

    TempDir dir_;
    const std::string propfile_ = dir_.str() + "/tavro.properties";
    KAVREL_CTX *ctx_ = nullptr;
};

// The properties that send the test connection and the mails to host:port.
inline std::string smtp_props(int port, const std::string &host = "127.0.0.1") {
    return "email.smtp.host=" + host + "\nemail.smtp.port=" + std::to_string(port) + "\n";
}

}  // namespace kavrel_test
