// What the e-mail and SMTP tests share: a listening socket on the loopback
// interface, a port where nothing listens, and a fixture that makes a context
// on a properties file of the test's own.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "diag/errinfo.h"
#include "diag/route.h"
#include "kavrel.h"
#include "kavrel_capture.h"
#include "kavrel_ctx.h"
#include "support/platform.h"
#include "temp_dir.h"

namespace kavrel_test {

inline sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
}

// A socket listening on a free loopback port.
class Listener {
  public:
    Listener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = loopback(0);
        socklen_t size = sizeof a;
        if (::bind(fd_, reinterpret_cast<sockaddr *>(&a), size) != 0 || ::listen(fd_, 16) != 0) {
            throw std::runtime_error("cannot listen");
        }
        ::getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &size);
        port_ = ntohs(a.sin_port);
    }
    ~Listener() { ::close(fd_); }
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;

    int port() const { return port_; }
    std::string port_text() const { return std::to_string(port_); }

    // A connection accepted within 20 ms, or -1.
    int accept_one() const {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) return -1;
        return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    }

  private:
    int fd_ = -1;
    int port_ = 0;
};

// A port on the loopback interface where nothing listens.
inline int closed_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(0);
    socklen_t size = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr *>(&a), size);
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &size);
    ::close(fd);
    return ntohs(a.sin_port);
}

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
        if (l.severity == kavrel::SEV_DEBUG && l.text.rfind(prefix, 0) == 0) out.push_back(l.text);
    }
    return out;
}

// A context "Prod"/"Inst" on tavro.properties in a directory of its own.
class MailFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        g_lines.clear();
        propfile_ = (dir_.path() / "tavro.properties").string();
    }
    void TearDown() override {
        kavrel_test_fail_alloc(0, 0);
        kavrel_set_attr(nullptr, KAVREL_A_TRACE, 0);
        kavrel_free(&ctx_);
    }

    // Writes `props` to the file and makes ctx_ on it; `trace` is the mask
    // the context starts with.
    uint32_t init(const std::string &props, uint32_t trace = 0) {
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

    // Routes a record holding one error "report"; the routing's result.
    uint32_t route_report() {
        kavrel::KAVREL_ERR_INFO ei;
        kavrel::errinfo_begin(ctx_, nullptr, &ei);
        kavrel::errinfo_add(&ei, kavrel::SEV_ERROR, 131240, "%s", "report");
        return kavrel::errinfo_route(&ei);
    }

    TempDir dir_;
    std::string propfile_;
    KAVREL_CTX *ctx_ = nullptr;
};

}  // namespace kavrel_test
