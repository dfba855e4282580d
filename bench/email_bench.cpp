// A mailed report against a call that mails nothing, in the same run:
//   mail/routing   a failing call whose report is mailed through a local
//                  SMTP server (Debian's aiosmtpd, discarding what it gets);
//   mail/none      the same failing call with the e-mail threshold at NONE.
// A responsive local relay must not make a call wait out its 1-second timers.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>

#include "kavrel.h"

extern char **environ;

namespace {

namespace fs = std::filesystem;

int32_t drop_line(KAVREL_CTX *, int32_t, int32_t, const char *) {
    return 0;
}

int free_port() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    ::bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
    ::getsockname(s, reinterpret_cast<sockaddr *>(&a), &n);
    ::close(s);
    return ntohs(a.sin_port);
}

bool accepts(int port) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
}

// The relay and a context configured for it, for the whole run.
struct Relay {
    pid_t pid = -1;
    int port = free_port();
    fs::path dir;
    Relay() {
        std::string templ = (fs::temp_directory_path() / "kavrel-email-bench-XXXXXX").string();
        if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp");
        dir = templ;
        const std::string listen = "127.0.0.1:" + std::to_string(port);
        const char *argv[] = {
            "/usr/bin/python3",       "-m",   "aiosmtpd", "-n", "-l", listen.c_str(), "-c",
            "aiosmtpd.handlers.Sink", nullptr};
        if (posix_spawn(&pid, argv[0], nullptr, nullptr, const_cast<char **>(argv), environ) != 0) {
            throw std::runtime_error("cannot start aiosmtpd");
        }
        for (int i = 0; i < 100 && !accepts(port); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    ~Relay() {
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    KAVREL_CTX *context(const char *severity) {
        const fs::path props = dir / (std::string(severity) + ".properties");
        std::FILE *f = std::fopen(props.c_str(), "w");
        std::fprintf(
            f,
            "email.smtp.host=127.0.0.1\nemail.smtp.port=%d\nemail.sender=bench@example.com\n"
            "email.recipients=ops@example.com\nemail.severity=%s\n",
            port, severity);
        std::fclose(f);
        kavrel_set_attr(nullptr, KAVREL_A_TRACE, 0);
        KAVREL_CTX *ctx = nullptr;
        if (kavrel_init(&ctx, "bench", "b1", dir.c_str(), nullptr, props.c_str(), "en_US", nullptr,
                        drop_line) != 0) {
            throw std::runtime_error("kavrel_init failed");
        }
        return ctx;
    }
};

Relay &relay() {
    static Relay r;
    return r;
}

void failing_calls(benchmark::State &state, const char *severity) {
    KAVREL_CTX *ctx = relay().context(severity);
    for (auto _ : state) {
        if (kavrel_set_attr(ctx, 4242, 1) != 1000000u) state.SkipWithError("call did not fail");
    }
    kavrel_free(&ctx);
}

void BM_Mailed(benchmark::State &state) {
    failing_calls(state, "ERROR");
}
void BM_NotMailed(benchmark::State &state) {
    failing_calls(state, "NONE");
}

BENCHMARK(BM_Mailed)->Name("mail/routing")->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_NotMailed)->Name("mail/none")->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
