// Threads of a product calling the library at once: a soak of threads on
// contexts made at once and sharing one catalogue, while a second process
// stores into one of their files. Also run under ThreadSanitizer.
#include <atomic>
#include <regex>
#include <set>

#include "kavrel_fixture.h"

using namespace test;

namespace {

std::atomic<int> g_french{0}, g_other{0};

// The recipient list in a mail's envelope.
std::string envelope_to(const std::string &mail) {
    const std::size_t from = mail.find('\0') + 1;
    return mail.substr(from, mail.find('\0', from) - from);
}

template <class Body>
void on_threads(int n, Body body) {
    std::vector<std::thread> threads;
    for (int t = 0; t < n; ++t) threads.emplace_back(body, t);
    for (std::thread &t : threads) t.join();
}

// The soak: 8 threads over 3 contexts (two of them on one file) store, read,
// remove and fail calls that are mailed to a relay, their handler calling
// the library again from every failure, while a second process stores keys
// of its own and switches the relay's port and recipients.
constexpr int kThreads = 8, kRounds = 120, kHelperStores = 400;
KAVREL_CTX *g_soak[3];
thread_local int t_thread = -1;
std::atomic<int> g_handled[kThreads], g_freed{0};  // blocks freed less those taken

// Counts French assertion texts and calls the library again from each.
int32_t reenter(KAVREL_CTX *ctx, int32_t severity, int32_t number, const char *text) {
    if (number == KAVREL_E_PROGRAMMING) {
        g_french += std::string_view(text).starts_with(
            "\xC3\x89"
            "chec de l'assertion");
        if (t_thread < 0) return 0;
        ++g_handled[t_thread];
        char value[16];
        kavrel_retrieve_prop(ctx, "h", value, 15);
        kavrel_store_prop(g_soak[(t_thread + 1) % 3], ("h" + std::to_string(t_thread)).c_str(),
                          "1");
    } else if (std::string_view(text).starts_with("\tfreed memory at")) {
        ++g_freed;
    } else if (std::string_view(text).starts_with("\tallocated")) {
        --g_freed;
    } else if (severity != KAVREL_SEV_DEBUG) {
        if (++g_other < 4) std::fprintf(stderr, "OTHER %d %s\n", number, text);
    }
    return 0;
}

// Afterwards every key's last value is in its file, every failed call was
// mailed once (told apart by its context's product) with one recipient list
// whole, and its line handled once; no descriptor is left open and each
// context releases all the tracked memory it holds.
TEST(KavrelThread, SoakOfThreadsContextsAndAProcess) {
    Relay relay("relay2");
    ASSERT_GT(relay.port(1), 0) << "aiosmtpd did not start";
    TempDir dir;
    const std::string msgs = std::string(KAVREL_SHARE_DIR) + "/msgs";
    KAVREL_CTX *first = nullptr;  // opens the French catalogue, shared from then on
    kavrel_init(&first, "F", nullptr, dir.str().c_str(), nullptr, nullptr, "fr_FR", msgs.c_str(),
                nullptr);
    kavrel_free(&first);
    const auto open_before = descriptors();
    const std::string ports[] = {std::to_string(relay.port(0)), std::to_string(relay.port(1))};
    const std::string files[] = {dir / "shared", dir / "shared", dir / "own"};
    for (const std::string &file : files) {
        write(file, "email.smtp.host=127.0.0.1\nemail.smtp.port=" + ports[0] +
                        "\nemail.sender=s@x.test\nemail.helo.fqdn=me\nemail.recipients=a@x.test\n"
                        "email.severity=ERROR\nemail.max.per.hour=0\n");
    }
    on_threads(3, [&](int c) {
        EXPECT_EQ(
            kavrel_init(&g_soak[c], std::string(1, char('A' + c)).c_str(), "s", dir.str().c_str(),
                        nullptr, files[c].c_str(), "fr_FR", msgs.c_str(), reenter),
            0u);
    });
    ASSERT_TRUE(g_soak[0] && g_soak[1] && g_soak[2]);
    g_french = g_other = 0;
    const pid_t helper = spawn({KAVREL_SOAK_HELPER, dir.str(), files[0], ports[0], ports[1],
                                std::to_string(kHelperStores)});
    std::atomic<int> wrong{0}, failed[3] = {};
    on_threads(kThreads, [&](int t) {
        t_thread = t;
        KAVREL_CTX *ctx = g_soak[t % 3];
        const std::string prefix = "t" + std::to_string(t) + ".";
        for (int round = 0; round < kRounds; ++round) {
            const std::string key = prefix + std::to_string(round % 3),
                              value = std::to_string(round);
            char got[16] = "";
            wrong += kavrel_store_prop(ctx, key.c_str(), value.c_str()) != 0;
            wrong += kavrel_retrieve_prop(ctx, key.c_str(), got, 15) != 0 || value != got;
            wrong += kavrel_store_prop(ctx, (prefix + "gone").c_str(), "x") != 0;
            wrong += kavrel_store_prop(ctx, (prefix + "gone").c_str(), nullptr) != 0;
            if (round % 6 == 5) failed[t % 3] += kavrel_set_attr(ctx, 4242, 1) != 0;
        }
        t_thread = -1;
    });
    EXPECT_EQ(exit_code(helper), 0);
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(g_other, 0) << "every delivery worked";
    const auto holds = [](const std::string &file, const std::string &key, int value) {
        const std::string line = key + "=" + std::to_string(value) + "\n";
        EXPECT_NE(read_text(file).find(line), std::string::npos) << line;
    };
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(g_handled[t], kRounds / 6) << t;
        for (int j = 0; j < 3; ++j)
            holds(files[t % 3], "t" + std::to_string(t) + "." + std::to_string(j), kRounds - 3 + j);
    }
    for (int j = 0; j < 4; ++j)
        holds(files[0], "helper.k" + std::to_string(j), kHelperStores - 4 + j);
    const int expected = failed[0] + failed[1] + failed[2];
    EXPECT_EQ(g_french, expected) << "every failure in the shared French catalogue's words";
    for (int i = 0; i < 500 && relay.mails().size() < std::size_t(expected); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    int mailed[3] = {};
    const std::string decoded = relay.file("decoded");  // as mail readers read them
    std::size_t at = 0;
    for (const std::string &mail : relay.mails()) {
        const std::string to = envelope_to(mail);
        EXPECT_TRUE(to == "a@x.test,b@x.test" || to == "c@x.test" || to == "a@x.test") << to;
        ASSERT_NE(at = decoded.find("\nTo: ", at), std::string::npos);
        EXPECT_EQ(decoded.substr(at + 5, decoded.find('\n', at + 1) - at - 5),
                  std::regex_replace(to, std::regex(","), ", "));
        ASSERT_NE(at = decoded.find("\nSubject: Orvane ", at), std::string::npos);
        ++mailed[(decoded[at + 17] - 'A') & 3];
    }
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(mailed[c], failed[c]) << char('A' + c);
        const uint32_t live = g_soak[c]->memory_index.count;
        g_freed = 0;
        kavrel::set_trace_mask(g_soak[c], KAVREL_TRACE_MEMORY);
        kavrel_free(&g_soak[c]);
        EXPECT_EQ(g_freed, static_cast<int>(live));
    }
    EXPECT_EQ(descriptors(), open_before);
}

}  // namespace
