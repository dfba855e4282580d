// A mailed report against a call that mails nothing, in the same run:
//   mail/routing   a failing call whose report is mailed through a local
//                  relay (Debian's aiosmtpd, run by the tests' relay script);
//   mail/starttls  the same through a relay that requires STARTTLS and a
//                  login (a throw-away CA, verified);
//   mail/none      the same failing call with the e-mail threshold at NONE.
// A responsive local relay must not make a call wait out its 1-second timers.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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

// A relay of the tests' script in `mode`, and contexts configured for it.
struct Relay {
    pid_t pid = -1;
    int port = 0;
    fs::path dir;
    explicit Relay(const char *mode) {
        std::string templ = (fs::temp_directory_path() / "kavrel-email-bench-XXXXXX").string();
        if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp");
        dir = templ;
        const std::string script = KAVREL_RELAY_SCRIPT, spool = dir.string();
        const char *argv[] = {"/usr/bin/python3", "-I", script.c_str(),
                              spool.c_str(),      mode, nullptr};
        if (posix_spawn(&pid, argv[0], nullptr, nullptr, const_cast<char **>(argv), environ) != 0) {
            throw std::runtime_error("cannot start the relay");
        }
        for (int i = 0; i < 250 && port == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            std::ifstream(dir / "ports") >> port;
        }
    }
    ~Relay() {
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    KAVREL_CTX *context(const char *severity, const std::string &more) {
        const fs::path props = dir / (std::string(severity) + ".properties");
        std::ofstream(props) << "email.smtp.host=127.0.0.1\nemail.smtp.port=" << port
                             << "\nemail.sender=bench@example.com\nemail.recipients=ops@example."
                                "com\nemail.severity="
                             << severity << "\nemail.max.per.hour=0\n"
                             << more;
        kavrel_set_attr(nullptr, KAVREL_A_TRACE, 0);
        KAVREL_CTX *ctx = nullptr;
        if (kavrel_init(&ctx, "bench", "b1", dir.c_str(), nullptr, props.c_str(), "en_US", nullptr,
                        drop_line) != 0) {
            throw std::runtime_error("kavrel_init failed");
        }
        return ctx;
    }
};

Relay &relay(const char *mode) {
    static Relay plain("relay"), secure("starttls");
    return mode[0] == 's' ? secure : plain;
}

void failing_calls(benchmark::State &state, const char *mode, const char *severity) {
    Relay &r = relay(mode);
    const std::string tls =
        "email.smtp.security=starttls\nemail.smtp.tls.ca=" + (r.dir / "ca.pem").string() +
        "\nemail.smtp.user=kavrel\nemail.smtp.password=s3cret pass\n";
    KAVREL_CTX *ctx = r.context(severity, mode[0] == 's' ? tls : "");
    for (auto _ : state) {
        if (kavrel_set_attr(ctx, 4242, 1) != 1000000u) state.SkipWithError("call did not fail");
    }
    kavrel_free(&ctx);
}

void BM_Mailed(benchmark::State &state) {
    failing_calls(state, "relay", "ERROR");
}
void BM_MailedStartTls(benchmark::State &state) {
    failing_calls(state, "starttls", "ERROR");
}
void BM_NotMailed(benchmark::State &state) {
    failing_calls(state, "relay", "NONE");
}

BENCHMARK(BM_Mailed)->Name("mail/routing")->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_MailedStartTls)->Name("mail/starttls")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_NotMailed)->Name("mail/none")->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
