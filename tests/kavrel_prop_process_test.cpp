// The product's property calls, the properties file kavrel_init creates,
// and real second processes: one that changes the file, several that store
// at the same moment, and one killed in the middle of its saves.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kavrel.h"
#include "kavrel_capture.h"
#include "kavrel_ctx.h"
#include "prop/prop.h"
#include "temp_dir.h"

namespace {

using kavrel_test::capture;
using kavrel_test::g_handler_result;
using kavrel_test::g_lines;
using kavrel_test::Line;
using kavrel_test::slurp;
using kavrel_test::write_bytes;

namespace fs = std::filesystem;

bool delivered(int32_t number, const std::string &tail) {
    for (const Line &l : g_lines) {
        if (l.number == number && l.text.size() >= tail.size() &&
            l.text.compare(l.text.size() - tail.size(), tail.size(), tail) == 0) {
            return true;
        }
    }
    return false;
}

// The file's lines as key -> value (comments and lines without '=' left out).
std::map<std::string, std::string> parse(const std::string &text) {
    std::map<std::string, std::string> out;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        const std::size_t eq = line.find('=');
        if (!line.empty() && line[0] != '#' && eq != std::string::npos) {
            out[line.substr(0, eq)] = line.substr(eq + 1);
        }
        start = end + 1;
    }
    return out;
}

std::string retrieve(KAVREL_CTX *ctx, const char *name, uint32_t *status = nullptr) {
    char buffer[256] = "<untouched>";
    const uint32_t s = kavrel_retrieve_prop(ctx, name, buffer, sizeof buffer - 1);
    if (status != nullptr) *status = s;
    return buffer;
}

// Runs body in a child process that leaves with _exit (no gtest teardown).
pid_t spawn(const std::function<int()> &body) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(body());
    return pid;
}

int exit_code(pid_t pid) {
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class PropCalls : public ::testing::Test {
  protected:
    void SetUp() override {
        g_lines.clear();
        kavrel_set_attr(nullptr, KAVREL_A_TRACE, 0);
        file = (dir.path() / "tavro.properties").string();
    }
    void TearDown() override {
        kavrel_test_fail_io(0, 0);
        kavrel_free(&ctx);
    }
    uint32_t init(const char *instance = nullptr, const char *templ = nullptr,
                  const char *propfile = nullptr, const std::string &directory = "") {
        const std::string d = directory.empty() ? dir.str() : directory;
        return kavrel_init(&ctx, "prod", instance, d.c_str(), templ, propfile, "en_US", nullptr,
                           capture);
    }
    TempDir dir;
    std::string file;
    KAVREL_CTX *ctx = nullptr;
};

// ---- store and retrieve ------------------------------------------------------

TEST_F(PropCalls, ProductStoresReadsReplacesAndRemoves) {
    ASSERT_EQ(init(), 0u);
    EXPECT_EQ(kavrel_store_prop(ctx, "colour", "blue"), 0u);
    EXPECT_EQ(slurp(file), "colour=blue\n");
    EXPECT_EQ(retrieve(ctx, "colour"), "blue");
    EXPECT_EQ(kavrel_store_prop(ctx, "size", "10"), 0u);
    EXPECT_EQ(kavrel_store_prop(ctx, "colour", "green"), 0u);
    EXPECT_EQ(slurp(file), "colour=green\nsize=10\n");
    EXPECT_EQ(retrieve(ctx, "colour"), "green");

    EXPECT_EQ(kavrel_store_prop(ctx, "colour", nullptr), 0u);
    EXPECT_EQ(slurp(file), "size=10\n");
    uint32_t status = 0;
    EXPECT_EQ(retrieve(ctx, "colour", &status), "<untouched>");
    EXPECT_EQ(status, 1u);
    EXPECT_EQ(kavrel_store_prop(ctx, "colour", nullptr), 0u);  // already gone

    EXPECT_EQ(kavrel_store_prop(ctx, "a=b", "=v"), 0u);
    EXPECT_EQ(slurp(file), "size=10\na?b==v\n");
    EXPECT_EQ(retrieve(ctx, "a=b"), "=v");
    EXPECT_EQ(retrieve(ctx, "a?b"), "=v");
    EXPECT_TRUE(g_lines.empty());

    // A fresh context reads what the first one stored.
    KAVREL_CTX *second = nullptr;
    ASSERT_EQ(kavrel_init(&second, "prod", nullptr, dir.str().c_str(), nullptr, nullptr, "en_US",
                          nullptr, capture),
              0u);
    EXPECT_EQ(retrieve(second, "size"), "10");
    EXPECT_EQ(retrieve(second, "a?b"), "=v");
    kavrel_free(&second);
}

TEST_F(PropCalls, NullNameOrBufferIsAnAssertionAndWritesNothing) {
    ASSERT_EQ(init(), 0u);
    ASSERT_EQ(kavrel_store_prop(ctx, "k", "v"), 0u);
    struct stat before;
    ASSERT_EQ(::stat(file.c_str(), &before), 0);
    g_lines.clear();

    EXPECT_EQ(kavrel_store_prop(ctx, nullptr, "v"), 1000000u);
    EXPECT_TRUE(delivered(1000000, ": (name != NULL)"));
    EXPECT_EQ(kavrel_store_prop(ctx, nullptr, nullptr), 1000000u);
    char buffer[8] = "x";
    EXPECT_EQ(kavrel_retrieve_prop(ctx, nullptr, buffer, 7), 1000000u);
    EXPECT_EQ(kavrel_retrieve_prop(ctx, "k", nullptr, 7), 1000000u);
    EXPECT_TRUE(delivered(1000000, ": (value != NULL)"));
    EXPECT_STREQ(buffer, "x");
    for (const Line &l : g_lines) {
        EXPECT_EQ(l.severity, 100);
        EXPECT_EQ(l.text.rfind("Assertion failed in kavrel at line ", 0), 0u) << l.text;
    }
    EXPECT_EQ(g_lines.size(), 4u);

    struct stat after;
    ASSERT_EQ(::stat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(slurp(file), "k=v\n");
}

TEST_F(PropCalls, CallsWithoutAContextWriteToStandardError) {
    char buffer[8] = "x";
    testing::internal::CaptureStderr();
    EXPECT_EQ(kavrel_store_prop(nullptr, "k", "v"), 1000000u);
    EXPECT_EQ(kavrel_retrieve_prop(nullptr, "k", buffer, 7), 1000000u);
    alignas(KAVREL_CTX) unsigned char zeros[sizeof(KAVREL_CTX)] = {};
    KAVREL_CTX *broken = reinterpret_cast<KAVREL_CTX *>(zeros);
    EXPECT_EQ(kavrel_store_prop(broken, "k", "v"), 1000000u);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(": (app_ctx != NULL)\n"), std::string::npos) << err;
    EXPECT_NE(err.find(": ((ctx != (KAVREL_CTX *) NULL) && (ctx->magic == KAVREL_CTX_MAGIC))\n"),
              std::string::npos)
        << err;
    EXPECT_STREQ(buffer, "x");
}

TEST_F(PropCalls, RetrieveIntoATooShortBuffer) {
    ASSERT_EQ(init(), 0u);
    ASSERT_EQ(kavrel_store_prop(ctx, "k", "value"), 0u);
    struct Case {
        uint32_t max_len, status;
        const char *text;
    } cases[] = {{0, 1000000u, ""}, {3, 1000000u, "val"}, {5, 0u, "value"}, {6, 0u, "value"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.max_len);
        g_lines.clear();
        char buffer[16];
        std::memset(buffer, '*', sizeof buffer);
        EXPECT_EQ(kavrel_retrieve_prop(ctx, "k", buffer, c.max_len), c.status);
        EXPECT_STREQ(buffer, c.text);
        EXPECT_EQ(delivered(1000000, ": (*value_len <= max_value_len)"), c.status != 0);
    }
}

TEST_F(PropCalls, FailedSaveKeepsTheFileAndTheChangeGoesOutWithTheNextStore) {
    ASSERT_EQ(init(), 0u);
    ASSERT_EQ(kavrel_store_prop(ctx, "a", "1"), 0u);
    g_lines.clear();
    kavrel_test_fail_io(0, 1);
    EXPECT_EQ(kavrel_store_prop(ctx, "b", "2"), 131244u);
    kavrel_test_fail_io(0, 0);
    ASSERT_FALSE(g_lines.empty());
    EXPECT_EQ(g_lines[0].number, 131244);
    EXPECT_EQ(g_lines[0].text.rfind("Failed to open " + file + " file: errno=", 0), 0u);
    EXPECT_EQ(slurp(file), "a=1\n");
    EXPECT_EQ(retrieve(ctx, "b"), "2");
    EXPECT_EQ(kavrel_store_prop(ctx, "c", "3"), 0u);
    EXPECT_EQ(slurp(file), "a=1\nb=2\nc=3\n");
}

// ---- the file kavrel_init creates ----------------------------------------------

TEST_F(PropCalls, InitCreatesTheFileQuietly) {
    const std::string templ = (dir.path() / "template.properties").string();
    const std::string missing = (dir.path() / "no-template").string();
    write_bytes(templ, "# from the template\nk=v\njunk\n");
    struct Case {
        const char *what;
        const char *instance;
        const char *templ;
        std::string existing;  // the file's content before, "" for none
        const char *name;
        std::string after;
    } cases[] = {
        {"plain", nullptr, nullptr, "", "tavro.properties", ""},
        {"instance", "inst", nullptr, "", "inst_tavro.properties", ""},
        {"empty instance", "", nullptr, "", "_tavro.properties", ""},
        {"template", nullptr, templ.c_str(), "", "tavro.properties", "# from the template\nk=v\n"},
        {"missing template", "i2", missing.c_str(), "", "i2_tavro.properties", ""},
        {"existing file", nullptr, templ.c_str(), "a=1\n", "tavro.properties", "a=1\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = (dir.path() / c.name).string();
        fs::remove(path);
        if (!c.existing.empty()) write_bytes(path, c.existing);
        g_lines.clear();
        ASSERT_EQ(init(c.instance, c.templ), 0u);
        EXPECT_STREQ(ctx->propfile, path.c_str());
        EXPECT_EQ(slurp(path), c.after);
        // The messages about a file that did not exist yet are not delivered.
        EXPECT_TRUE(g_lines.empty()) << g_lines[0].number << " " << g_lines[0].text;
        uint32_t status = 0;
        retrieve(ctx, "k", &status);
        EXPECT_EQ(status, c.after.find("k=v") != std::string::npos ? 0u : 1u);
        kavrel_free(&ctx);
    }
    EXPECT_FALSE(fs::exists(missing));
}

TEST_F(PropCalls, InitFailsWhenTheFileCannotBeMade) {
    // A directory where the file should be.
    const std::string sub = (dir.path() / "sub").string();
    ASSERT_TRUE(fs::create_directory(sub));
    EXPECT_EQ(init(nullptr, nullptr, sub.c_str()), 131245u);
    EXPECT_EQ(ctx, nullptr);
    EXPECT_TRUE(delivered(131245, sub + " must be a file not a directory."));

    // A template that is a directory.
    g_lines.clear();
    EXPECT_EQ(init(nullptr, sub.c_str()), 131245u);
    EXPECT_EQ(ctx, nullptr);
    EXPECT_FALSE(fs::exists(file));

    // A configuration directory that does not exist: the save fails.
    g_lines.clear();
    const std::string gone = (dir.path() / "gone").string();
    EXPECT_EQ(init(nullptr, nullptr, nullptr, gone), 131244u);
    EXPECT_EQ(ctx, nullptr);
    bool open_failure = false;
    for (const Line &l : g_lines) {
        if (l.number == 131244 &&
            l.text.rfind("Failed to open " + gone + "/tavro.properties file: errno=2 ", 0) == 0) {
            open_failure = true;
        }
    }
    EXPECT_TRUE(open_failure);
    EXPECT_FALSE(fs::exists(gone));
}

// ---- other processes ---------------------------------------------------------

TEST_F(PropCalls, AnotherProcesssChangeIsSeenByTheNextRetrieve) {
    ASSERT_EQ(init(), 0u);
    ASSERT_EQ(kavrel_store_prop(ctx, "shared", "parent"), 0u);
    ASSERT_EQ(retrieve(ctx, "shared"), "parent");
    const std::string directory = dir.str();
    const pid_t child = spawn([&] {
        KAVREL_CTX *own = nullptr;
        if (kavrel_init(&own, "prod", nullptr, directory.c_str(), nullptr, nullptr, "en_US",
                        nullptr, nullptr) != 0) {
            return 1;
        }
        if (kavrel_store_prop(own, "shared", "child") != 0) return 2;
        if (kavrel_store_prop(own, "from_child", "1") != 0) return 3;
        kavrel_free(&own);
        return 0;
    });
    ASSERT_EQ(exit_code(child), 0);
    EXPECT_EQ(retrieve(ctx, "shared"), "child");
    EXPECT_EQ(retrieve(ctx, "from_child"), "1");
    EXPECT_EQ(kavrel_store_prop(ctx, "from_parent", "2"), 0u);
    EXPECT_EQ(slurp(file), "shared=child\nfrom_child=1\nfrom_parent=2\n");
}

// Several processes store their own keys into one file at the same moment:
// each store merges the others' keys in and saves under the file lock, so
// no key is lost.
TEST_F(PropCalls, ConcurrentStoresOfSeveralProcessesKeepEveryKey) {
    constexpr int kChildren = 4;
    constexpr int kKeys = 25;
    constexpr int kRounds = 3;
    ASSERT_EQ(init(), 0u);
    const std::string directory = dir.str();
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        auto key = [round](int who, int j) {
            return "r" + std::to_string(round) + ".p" + std::to_string(who) + ".k" +
                   std::to_string(j);
        };
        int gate[2];
        ASSERT_EQ(::pipe(gate), 0);
        std::vector<pid_t> children;
        for (int who = 1; who <= kChildren; ++who) {
            children.push_back(spawn([&, who] {
                ::close(gate[1]);
                KAVREL_CTX *own = nullptr;
                if (kavrel_init(&own, "prod", nullptr, directory.c_str(), nullptr, nullptr, "en_US",
                                nullptr, nullptr) != 0) {
                    return 1;
                }
                char byte;
                while (::read(gate[0], &byte, 1) < 0) {
                }
                int failures = 0;
                for (int j = 0; j < kKeys; ++j) {
                    const std::string k = key(who, j);
                    if (kavrel_store_prop(own, k.c_str(), ("v" + k).c_str()) != 0) ++failures;
                }
                kavrel_free(&own);
                return failures == 0 ? 0 : 2;
            }));
        }
        ::close(gate[0]);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let them reach the gate
        ::close(gate[1]);  // open the gate: every child starts now
        for (int j = 0; j < kKeys; ++j) {
            const std::string k = key(0, j);
            EXPECT_EQ(kavrel_store_prop(ctx, k.c_str(), ("v" + k).c_str()), 0u);
        }
        for (pid_t child : children) EXPECT_EQ(exit_code(child), 0);

        const std::map<std::string, std::string> held = parse(slurp(file));
        int missing = 0;
        for (int r = 0; r <= round; ++r) {
            for (int who = 0; who <= kChildren; ++who) {
                for (int j = 0; j < kKeys; ++j) {
                    const std::string k = "r" + std::to_string(r) + ".p" + std::to_string(who) +
                                          ".k" + std::to_string(j);
                    const auto it = held.find(k);
                    if (it == held.end() || it->second != "v" + k) {
                        ++missing;
                        ADD_FAILURE() << "lost " << k;
                    }
                }
            }
        }
        EXPECT_EQ(missing, 0);
        EXPECT_EQ(held.size(), static_cast<std::size_t>((round + 1) * (kChildren + 1) * kKeys));
        // And the parent's own store sees them all.
        EXPECT_EQ(retrieve(ctx, key(kChildren, kKeys - 1).c_str()),
                  "v" + key(kChildren, kKeys - 1));
    }
}

// A process killed at any moment of its saves leaves the file whole: the
// version before or the version after, never a mix or a truncation.
TEST_F(PropCalls, KilledWriterLeavesAWholeFile) {
    const std::vector<std::size_t> lengths = {1, 100000, 10, 30000, 0, 4096};
    auto value = [&](long i) {
        return std::string(lengths[static_cast<std::size_t>(i) % lengths.size()],
                           static_cast<char>('a' + i % 26));
    };
    const std::string head = "# crash test\nv=";
    const std::string tail = "\nlast=end\n";
    write_bytes(file, head + value(0) + tail);
    const std::string directory = dir.str();
    std::mt19937 random(12345);
    std::set<std::string> versions_seen;
    for (int round = 0; round < 50; ++round) {
        SCOPED_TRACE(round);
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t child = spawn([&] {
            ::close(ready[0]);
            KAVREL_CTX *own = nullptr;
            if (kavrel_init(&own, "prod", nullptr, directory.c_str(), nullptr, nullptr, "en_US",
                            nullptr, nullptr) != 0) {
                return 1;
            }
            const char byte = 'r';
            if (::write(ready[1], &byte, 1) != 1) return 2;
            for (long i = round * 1000 + 1;; ++i) {
                kavrel_store_prop(own, "v", value(i).c_str());
            }
        });
        ::close(ready[1]);
        char byte = 0;
        ASSERT_EQ(::read(ready[0], &byte, 1), 1);
        ::close(ready[0]);
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 6000));
        ::kill(child, SIGKILL);
        EXPECT_EQ(exit_code(child), 128 + SIGKILL);

        const std::string text = slurp(file);
        ASSERT_GE(text.size(), head.size() + tail.size());
        ASSERT_EQ(text.compare(0, head.size(), head), 0);
        ASSERT_EQ(text.compare(text.size() - tail.size(), tail.size(), tail), 0);
        const std::string v = text.substr(head.size(), text.size() - head.size() - tail.size());
        EXPECT_NE(std::find(lengths.begin(), lengths.end(), v.size()), lengths.end()) << v.size();
        EXPECT_EQ(v.find_first_not_of(v.empty() ? 'a' : v[0]), std::string::npos);
        versions_seen.insert(v);

        // The library reads it whole too.
        KAVREL_CTX *reader = nullptr;
        ASSERT_EQ(kavrel_init(&reader, "prod", nullptr, directory.c_str(), nullptr, nullptr,
                              "en_US", nullptr, nullptr),
                  0u);
        EXPECT_EQ(retrieve(reader, "last"), "end");
        kavrel_free(&reader);
    }
    EXPECT_GT(versions_seen.size(), 1u) << "the writer never got a save done";
}

}  // namespace
