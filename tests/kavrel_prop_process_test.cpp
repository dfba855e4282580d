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
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kavrel.h"
#include "kavrel_capture.h"
#include "kavrel_ctx.h"
#include "temp_dir.h"

namespace {

using namespace kavrel_test;
namespace fs = std::filesystem;

bool delivered(int32_t number, const std::string &tail) {
    return std::ranges::any_of(
        g_lines, [&](const Line &l) { return l.number == number && l.text.ends_with(tail); });
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
    // A context of its own on the test's directory, or null.
    KAVREL_CTX *open(const char *templ = nullptr, const char *propfile = nullptr,
                     const std::string &directory = "") {
        KAVREL_CTX *c = nullptr;
        const std::string where = directory.empty() ? dir.str() : directory;
        last_status = kavrel_init(&c, "prod", nullptr, where.c_str(), templ, propfile, "en_US",
                                  nullptr, capture);
        return c;
    }
    TempDir dir;
    std::string file;
    KAVREL_CTX *ctx = nullptr;
    uint32_t last_status = 0;
};

TEST_F(PropCalls, ProductStoresReadsReplacesAndRemoves) {
    ASSERT_NE(ctx = open(), nullptr);
    EXPECT_EQ(kavrel_store_prop(ctx, "colour", "blue"), 0u);
    EXPECT_EQ(slurp(file), "colour=blue\n");
    EXPECT_EQ(retrieve(ctx, "colour"), "blue");
    EXPECT_EQ(kavrel_store_prop(ctx, "size", "10"), 0u);
    EXPECT_EQ(kavrel_store_prop(ctx, "colour", "green"), 0u);
    EXPECT_EQ(slurp(file), "colour=green\nsize=10\n");
    EXPECT_EQ(retrieve(ctx, "colour"), "green");
    for (int i = 0; i < 2; ++i) EXPECT_EQ(kavrel_store_prop(ctx, "colour", nullptr), 0u);
    EXPECT_EQ(slurp(file), "size=10\n");
    uint32_t status = 0;
    EXPECT_EQ(retrieve(ctx, "colour", &status), "<untouched>");
    EXPECT_EQ(status, 1u);
    EXPECT_EQ(kavrel_store_prop(ctx, "a=b", "=v"), 0u);
    EXPECT_EQ(slurp(file), "size=10\na?b==v\n");
    EXPECT_EQ(retrieve(ctx, "a=b") + retrieve(ctx, "a?b"), "=v=v");
    EXPECT_TRUE(g_lines.empty());
    // A value longer than the buffer: cut, with the assertion.
    for (const uint32_t max_len : {0u, 1u, 2u, 5u}) {
        char buffer[8];
        std::memset(buffer, '*', sizeof buffer);
        EXPECT_EQ(kavrel_retrieve_prop(ctx, "a?b", buffer, max_len), max_len < 2 ? 1000000u : 0u);
        EXPECT_EQ(std::string(buffer), std::string("=v").substr(0, max_len));
    }
    EXPECT_TRUE(delivered(1000000, ": (*value_len <= max_value_len)"));
    EXPECT_EQ(g_lines.size(), 2u);

    // A save that fails keeps the file as it was and the change in memory;
    // the next store writes it.
    g_lines.clear();
    kavrel_test_fail_io(0, 1);
    EXPECT_EQ(kavrel_store_prop(ctx, "b", "2"), 131244u);
    kavrel_test_fail_io(0, 0);
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_EQ(g_lines[0].number, 131244);
    EXPECT_TRUE(g_lines[0].text.starts_with("Failed to open " + file + " file: errno="));
    EXPECT_EQ(slurp(file), "size=10\na?b==v\n");
    EXPECT_EQ(retrieve(ctx, "b"), "2");
    EXPECT_EQ(kavrel_store_prop(ctx, "c", "3"), 0u);
    EXPECT_EQ(slurp(file), "size=10\na?b==v\nb=2\nc=3\n");
}

TEST_F(PropCalls, NullNameOrBufferIsAnAssertionAndWritesNothing) {
    ASSERT_NE(ctx = open(), nullptr);
    ASSERT_EQ(kavrel_store_prop(ctx, "k", "v"), 0u);
    struct stat before, after;
    ASSERT_EQ(::stat(file.c_str(), &before), 0);
    g_lines.clear();
    char buffer[8] = "x";
    EXPECT_EQ(kavrel_store_prop(ctx, nullptr, "v"), 1000000u);
    EXPECT_EQ(kavrel_store_prop(ctx, nullptr, nullptr), 1000000u);
    EXPECT_EQ(kavrel_retrieve_prop(ctx, nullptr, buffer, 7), 1000000u);
    EXPECT_EQ(kavrel_retrieve_prop(ctx, "k", nullptr, 7), 1000000u);
    EXPECT_TRUE(delivered(1000000, ": (name != NULL)"));
    EXPECT_TRUE(delivered(1000000, ": (value != NULL)"));
    EXPECT_STREQ(buffer, "x");
    ASSERT_EQ(g_lines.size(), 4u);
    for (const Line &l : g_lines) {
        EXPECT_EQ(l.severity, 100);
        EXPECT_TRUE(l.text.starts_with("Assertion failed in kavrel at line ")) << l.text;
    }
    ASSERT_EQ(::stat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(slurp(file), "k=v\n");

    // Without a usable context the report goes to standard error.
    alignas(KAVREL_CTX) unsigned char zeros[sizeof(KAVREL_CTX)] = {};
    testing::internal::CaptureStderr();
    EXPECT_EQ(kavrel_store_prop(nullptr, "k", "v"), 1000000u);
    EXPECT_EQ(kavrel_retrieve_prop(reinterpret_cast<KAVREL_CTX *>(zeros), "k", buffer, 7),
              1000000u);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(": (app_ctx != NULL)\n"), std::string::npos) << err;
    EXPECT_NE(err.find(": ((ctx != (KAVREL_CTX *) NULL) && (ctx->magic == KAVREL_CTX_MAGIC))\n"),
              std::string::npos)
        << err;
    EXPECT_STREQ(buffer, "x");
}

// kavrel_init creates a missing file (from the template, when there is one)
// without a word, and reads one that exists.
TEST_F(PropCalls, InitCreatesTheFileQuietly) {
    const std::string templ = (dir.path() / "template.properties").string();
    const std::string missing = (dir.path() / "no-template").string();
    write_bytes(templ, "# from the template\nk=v\njunk\n");
    struct Case {
        const char *templ;
        std::string before, after, k;  // the file's content ("" before: none) and k
    } cases[] = {
        {nullptr, "", "", "<untouched>"},
        {templ.c_str(), "", "# from the template\nk=v\n", "v"},
        {missing.c_str(), "", "", "<untouched>"},
        {templ.c_str(), "k=1\n", "k=1\n", "1"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.after);
        fs::remove(file);
        if (!c.before.empty()) write_bytes(file, c.before);
        g_lines.clear();
        ASSERT_NE(ctx = open(c.templ), nullptr);
        EXPECT_EQ(slurp(file), c.after);
        EXPECT_TRUE(g_lines.empty()) << g_lines[0].number << " " << g_lines[0].text;
        EXPECT_EQ(retrieve(ctx, "k"), c.k);
        kavrel_free(&ctx);
    }
    EXPECT_FALSE(fs::exists(missing));
}

TEST_F(PropCalls, InitFailsWhenTheFileCannotBeMade) {
    const std::string sub = (dir.path() / "sub").string(), gone = (dir.path() / "gone").string();
    ASSERT_TRUE(fs::create_directory(sub));
    EXPECT_EQ(open(nullptr, sub.c_str()), nullptr);  // a directory as the file
    EXPECT_EQ(last_status, 131245u);
    EXPECT_TRUE(delivered(131245, sub + " must be a file not a directory."));
    EXPECT_EQ(open(sub.c_str()), nullptr);  // a directory as the template
    EXPECT_EQ(last_status, 131245u);
    EXPECT_FALSE(fs::exists(file));
    EXPECT_EQ(open(nullptr, nullptr, gone), nullptr);  // no configuration directory
    EXPECT_EQ(last_status, 131244u);
    EXPECT_TRUE(delivered(131244, "Failed to open " + gone + "/tavro.properties file: errno=2 " +
                                      std::strerror(2) + "."));
    EXPECT_FALSE(fs::exists(gone));
}

TEST_F(PropCalls, AnotherProcesssChangeIsSeenByTheNextRetrieve) {
    ASSERT_NE(ctx = open(), nullptr);
    ASSERT_EQ(kavrel_store_prop(ctx, "shared", "parent"), 0u);
    ASSERT_EQ(retrieve(ctx, "shared"), "parent");
    const pid_t child = spawn([&] {
        KAVREL_CTX *own = open();
        if (own == nullptr) return 1;
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
    constexpr int kProcesses = 5, kKeys = 60;
    ASSERT_NE(ctx = open(), nullptr);
    auto key = [](int who, int j) { return "p" + std::to_string(who) + ".k" + std::to_string(j); };
    auto store_all = [&](KAVREL_CTX *c, int who) {
        int failures = 0;
        for (int j = 0; j < kKeys; ++j) {
            failures += kavrel_store_prop(c, key(who, j).c_str(), ("v" + key(who, j)).c_str()) != 0;
        }
        return failures;
    };
    int gate[2];
    ASSERT_EQ(::pipe(gate), 0);
    std::vector<pid_t> children;
    for (int who = 1; who < kProcesses; ++who) {
        children.push_back(spawn([&, who] {
            ::close(gate[1]);
            KAVREL_CTX *own = open();
            char byte;
            while (::read(gate[0], &byte, 1) < 0) {
            }
            return own == nullptr ? 1 : store_all(own, who) == 0 ? 0 : 2;
        }));
    }
    ::close(gate[0]);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let them reach the gate
    ::close(gate[1]);  // open the gate: every child starts now
    EXPECT_EQ(store_all(ctx, 0), 0);
    for (pid_t child : children) EXPECT_EQ(exit_code(child), 0);
    std::set<std::string> lines, expected;
    std::istringstream text(slurp(file));
    for (std::string line; std::getline(text, line);) lines.insert(line);
    for (int who = 0; who < kProcesses; ++who) {
        for (int j = 0; j < kKeys; ++j) expected.insert(key(who, j) + "=v" + key(who, j));
    }
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(retrieve(ctx, key(kProcesses - 1, kKeys - 1).c_str()),
              "v" + key(kProcesses - 1, kKeys - 1));  // the parent's store sees them all
}

// A process killed at any moment of its saves leaves the file whole: the
// version before or the version after, never a mix or a truncation.
TEST_F(PropCalls, KilledWriterLeavesAWholeFile) {
    const std::vector<std::size_t> lengths = {1, 100000, 10, 30000, 0, 4096};
    auto value = [&](long i) {
        return std::string(lengths[static_cast<std::size_t>(i) % lengths.size()],
                           static_cast<char>('a' + i % 26));
    };
    const std::string head = "# crash test\nv=", tail = "\nlast=end\n";
    write_bytes(file, head + value(0) + tail);
    std::mt19937 random(12345);
    std::set<std::string> versions_seen;
    for (int round = 0; round < 50; ++round) {
        SCOPED_TRACE(round);
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t child = spawn([&] {
            ::close(ready[0]);
            KAVREL_CTX *own = open();
            const char byte = 'r';
            if (own == nullptr || ::write(ready[1], &byte, 1) != 1) return 1;
            for (long i = round * 1000 + 1;; ++i) kavrel_store_prop(own, "v", value(i).c_str());
        });
        ::close(ready[1]);
        char byte = 0;
        ASSERT_EQ(::read(ready[0], &byte, 1), 1);
        ::close(ready[0]);
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 6000));
        ::kill(child, SIGKILL);
        EXPECT_EQ(exit_code(child), 128 + SIGKILL);

        const std::string text = slurp(file);
        ASSERT_TRUE(text.size() >= head.size() + tail.size() && text.starts_with(head) &&
                    text.ends_with(tail));
        const std::string v = text.substr(head.size(), text.size() - head.size() - tail.size());
        EXPECT_NE(std::ranges::find(lengths, v.size()), lengths.end()) << v.size();
        EXPECT_EQ(v.find_first_not_of(v.empty() ? 'a' : v[0]), std::string::npos);
        versions_seen.insert(v);
    }
    EXPECT_GT(versions_seen.size(), 1u) << "the writer never got a save done";
}

}  // namespace
