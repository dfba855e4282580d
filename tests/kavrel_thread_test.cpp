// Threads of a product calling the library at once: contexts of their own
// sharing one catalogue, and one context storing, reading and mailing (its
// tracked memory taken and released by every call) from four threads while
// a second process rewrites its e-mail settings. Also run under
// ThreadSanitizer.
#include <atomic>
#include <set>

#include "kavrel_fixture.h"

using namespace test;

namespace {

std::atomic<int> g_french{0}, g_assertions{0}, g_other{0};

int32_t count(KAVREL_CTX *, int32_t severity, int32_t number, const char *text) {
    if (number == 1000000 && severity == 100) {
        (std::string(text).starts_with("\xC3\x89"
                                       "chec de l'assertion")
             ? g_french
             : g_assertions)++;
    } else if (severity != KAVREL_SEV_DEBUG) {
        ++g_other;
    }
    return 0;
}

// The recipient list in a mail's envelope.
std::string envelope_to(const std::string &mail) {
    const std::size_t from = mail.find('\0') + 1;
    return mail.substr(from, mail.find('\0', from) - from);
}

// Whether mails with each of the lists have arrived.
bool both_arrived(const Relay &relay, const std::string (&lists)[2]) {
    std::set<std::string> seen;
    for (const std::string &mail : relay.mails()) seen.insert(envelope_to(mail));
    return seen.count(lists[0]) && seen.count(lists[1]);
}

template <class Body>
void on_threads(int n, Body body) {
    std::vector<std::thread> threads;
    for (int t = 0; t < n; ++t) threads.emplace_back(body, t);
    for (std::thread &t : threads) t.join();
}

TEST(KavrelThread, ContextsOfTheirOwnShareOneCatalogue) {
    TempDir dir;
    const std::string msgs = std::string(KAVREL_SHARE_DIR) + "/msgs";
    g_french = g_other = 0;
    on_threads(6, [&](int t) {
        KAVREL_CTX *ctx = nullptr;
        kavrel_init(&ctx, "P", std::to_string(t).c_str(), dir.str().c_str(), nullptr, nullptr,
                    "fr_FR", msgs.c_str(), count);
        for (int i = 0; i < 200; ++i) kavrel_set_attr(ctx, 4242, 1);
        kavrel_free(&ctx);
    });
    EXPECT_EQ(g_french, 6 * 200);
    EXPECT_EQ(g_other, 0);
}

// Every mail that arrives has one of the two recipient lists whole, in its
// envelope and in its header alike; every handler line arrives.
TEST(KavrelThread, SharedContextMailsWhileAnotherProcessChangesItsSettings) {
    Relay relay("relay2");
    ASSERT_GT(relay.port(1), 0) << "aiosmtpd did not start";
    TempDir dir;
    const std::string file = dir / "p.properties", lists[] = {"a@x.test,b@x.test", "c@x.test"};
    std::string variants[2];
    for (int v = 0; v < 2; ++v) {
        variants[v] = "email.smtp.host=127.0.0.1\nemail.smtp.port=" +
                      std::to_string(relay.port(static_cast<std::size_t>(v))) +
                      "\nemail.sender=s@x.test\nemail.helo.fqdn=me\nemail.recipients=" + lists[v] +
                      "\nemail.severity=ERROR\n";
    }
    write(file, variants[0]);
    const std::string writer =
        "while [ ! -e " + dir / "stop" + " ] && [ -e " + dir / "v0" + " ]; do for v in " +
        write(dir / "v0", variants[0]) + " " + write(dir / "v1", variants[1]) + "; do cp $v " +
        dir / "t" + " && mv " + dir / "t" + " " + file + "; sleep 0.01; done; done 2>/dev/null &";
    ASSERT_EQ(shell(writer), 0);
    KAVREL_CTX *ctx = nullptr;
    ASSERT_EQ(kavrel_init(&ctx, "P", "i", dir.str().c_str(), nullptr, file.c_str(), "en_US",
                          nullptr, count),
              0u);
    g_assertions = g_other = 0;
    std::atomic<int> wrong{0}, calls{0};
    std::atomic<bool> changed{false};
    on_threads(4, [&](int t) {  // until mails with both lists have arrived
        for (int i = 0; i < 15 || (!changed && i < 3000); ++i, ++calls) {
            if (t == 0 && i % 8 == 7) changed = both_arrived(relay, lists);
            const std::string key = std::to_string(t) + "." + std::to_string(i);
            char value[16];
            wrong += kavrel_store_prop(ctx, key.c_str(), "v") != 0;
            wrong += kavrel_retrieve_prop(ctx, key.c_str(), value, 15) != 0;
            kavrel_set_attr(ctx, 4242, 1);
        }
    });
    write(dir / "stop", "");
    kavrel_free(&ctx);
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(g_assertions, calls);
    EXPECT_EQ(g_other, 0) << "every delivery worked";
    const auto mails = relay.mails();
    EXPECT_EQ(mails.size(), static_cast<std::size_t>(calls));
    std::set<std::string> seen;
    for (const std::string &mail : mails) {
        const std::string to = envelope_to(mail);
        EXPECT_TRUE(to == lists[0] || to == lists[1]) << to;
        seen.insert(to);
        EXPECT_NE(mail.find("To:" + to + "\r\n"), std::string::npos) << mail;
    }
    EXPECT_EQ(seen.size(), 2u) << "the settings changed during the test";
}

}  // namespace
