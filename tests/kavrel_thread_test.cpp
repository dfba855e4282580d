// Several threads, each with its own context, sharing one catalogue: every
// message reaches the right handler call, localised, with its own values.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kavrel.h"
#include "kavrel_ctx.h"
#include "support/mem.h"
#include "temp_dir.h"

namespace {

std::atomic<int> g_french{0};
std::atomic<int> g_refused{0};

int32_t count_delivery(KAVREL_CTX *, int32_t, int32_t number, const char *) {
    if (number == 131268) g_refused.fetch_add(1);
    return 0;
}

std::atomic<int> g_other{0};

int32_t count_french(KAVREL_CTX *, int32_t severity, int32_t number, const char *text) {
    const std::string s(text);
    const bool french = severity == 100 && number == 1000000 &&
                        s.rfind(
                            "\xC3\x89"
                            "chec de l'assertion ((attribute == ",
                            0) == 0 &&
                        s.find(" dans kavrel \xC3\xA0 la ligne ") != std::string::npos;
    (french ? g_french : g_other).fetch_add(1);
    return 0;
}

TEST(KavrelThread, ContextsOnSeveralThreadsShareOneCatalogue) {
    const char *share = std::getenv("KAVREL_SHARE");
    if (share == nullptr) GTEST_SKIP() << "KAVREL_SHARE not set";
    const std::string msgdir = std::string(share) + "/msgs";
    TempDir dir;
    constexpr int kThreads = 6, kCalls = 200;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            KAVREL_CTX *ctx = nullptr;
            const std::string instance = "t" + std::to_string(t);
            if (kavrel_init(&ctx, "prod", instance.c_str(), dir.str().c_str(), nullptr, nullptr,
                            "fr_FR", msgdir.c_str(), count_french) != 0) {
                failures.fetch_add(1);
                return;
            }
            for (int i = 0; i < kCalls; ++i) {
                uint32_t value = 0;
                if (kavrel_set_attr(ctx, 4242, 1) != 1000000u) failures.fetch_add(1);
                if (kavrel_get_attr(ctx, KAVREL_A_TRACE, &value) != 0) failures.fetch_add(1);
            }
            kavrel_free(&ctx);
        });
    }
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(g_french.load(), kThreads * kCalls);
    EXPECT_EQ(g_other.load(), 0);
}

// Tracked memory of one context used from several threads at once.
TEST(KavrelThread, TrackedMemoryOfOneContextFromSeveralThreads) {
    TempDir dir;
    KAVREL_CTX *ctx = nullptr;
    ASSERT_EQ(kavrel_init(&ctx, "prod", nullptr, dir.str().c_str(), nullptr, nullptr, "en_US",
                          nullptr, nullptr),
              0u);
    const uint32_t held = ctx->memory_index.count;
    constexpr int kThreads = 4, kBlocks = 2000;
    std::vector<std::thread> threads;
    std::atomic<int> lost{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::vector<void *> mine;
            for (int i = 0; i < kBlocks; ++i) {
                auto *p = static_cast<int *>(kavrel::kavrel_alloc(ctx, 8));
                if (p == nullptr) {
                    lost.fetch_add(1);
                    continue;
                }
                *p = t;
                mine.push_back(p);
                if (i % 3 == 0) {
                    kavrel::kavrel_dealloc(ctx, mine.back());
                    mine.pop_back();
                }
            }
            for (void *p : mine) {
                if (*static_cast<int *>(p) != t) lost.fetch_add(1);
                kavrel::kavrel_dealloc(ctx, p);
            }
        });
    }
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(lost.load(), 0);
    EXPECT_EQ(ctx->memory_index.count, held);
    kavrel_free(&ctx);
}

// Threads storing into one properties file: some through contexts of their
// own, two through one shared context; every key ends up in the file.
TEST(KavrelThread, PropertiesStoredFromSeveralThreads) {
    TempDir dir;
    const std::string file = dir.str() + "/shared.properties";
    constexpr int kThreads = 4, kKeys = 25;
    KAVREL_CTX *shared = nullptr;
    ASSERT_EQ(kavrel_init(&shared, "prod", nullptr, dir.str().c_str(), nullptr, file.c_str(),
                          "en_US", nullptr, nullptr),
              0u);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            KAVREL_CTX *own = nullptr;
            if (t >= 2 && kavrel_init(&own, "prod", nullptr, dir.str().c_str(), nullptr,
                                      file.c_str(), "en_US", nullptr, nullptr) != 0) {
                failures.fetch_add(1);
                return;
            }
            KAVREL_CTX *ctx = t < 2 ? shared : own;
            for (int k = 0; k < kKeys; ++k) {
                const std::string key = "t" + std::to_string(t) + ".k" + std::to_string(k);
                char value[32];
                if (kavrel_store_prop(ctx, key.c_str(), key.c_str()) != 0 ||
                    kavrel_retrieve_prop(ctx, key.c_str(), value, sizeof value - 1) != 0 ||
                    key != value) {
                    failures.fetch_add(1);
                }
            }
            kavrel_free(&own);
        });
    }
    for (std::thread &t : threads) t.join();
    kavrel_free(&shared);
    EXPECT_EQ(failures.load(), 0);
    std::ifstream in(file);
    std::set<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.insert(line);
    for (int t = 0; t < kThreads; ++t) {
        for (int k = 0; k < kKeys; ++k) {
            const std::string key = "t" + std::to_string(t) + ".k" + std::to_string(k);
            EXPECT_EQ(lines.count(key + "=" + key), 1u) << key;
        }
    }
}

// Threads whose failing calls mail their reports, each through a context of
// its own, to a relay that is down: every call reports the failed delivery.
TEST(KavrelThread, MailingFromSeveralThreads) {
    TempDir dir;
    const std::string props = dir.str() + "/mail.properties";
    {
        std::ofstream out(props);
        out << "email.smtp.host=127.0.0.1\nemail.smtp.port=1\nemail.sender=s@example.com\n"
               "email.recipients=r@example.com\nemail.severity=ERROR\n";
    }
    constexpr int kThreads = 4, kCalls = 10;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            KAVREL_CTX *ctx = nullptr;
            if (kavrel_init(&ctx, "prod", nullptr, dir.str().c_str(), nullptr, props.c_str(),
                            "en_US", nullptr, count_delivery) != 0) {
                failures.fetch_add(1);
                return;
            }
            for (int i = 0; i < kCalls; ++i) {
                if (kavrel_set_attr(ctx, 4242, 1) != 1000000u) failures.fetch_add(1);
            }
            kavrel_free(&ctx);
        });
    }
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GE(g_refused.load(), kThreads * kCalls);
}

}  // namespace
