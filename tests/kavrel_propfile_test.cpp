// The properties file: its format as read and written, the load callback,
// missing and wrong files, change detection, and saves that fail part way.
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "diag/errinfo.h"
#include "diag/route.h"
#include "kavrel.h"
#include "kavrel_capture.h"
#include "kavrel_ctx.h"
#include "kavrel_prop_list.h"
#include "prop/prop.h"
#include "temp_dir.h"

namespace {

using namespace kavrel;
using namespace kavrel_test;
using namespace std::string_literals;
namespace fs = std::filesystem;

Texts traces_starting(const std::string &head) {
    Texts out;
    for (const Line &l : g_lines) {
        if (l.severity == 20 && l.text.starts_with(head)) out.push_back(l.text);
    }
    return out;
}

bool holds_prefix(KAVREL_ERR_INFO &ei, int32_t number, const std::string &head) {
    return std::ranges::any_of(
        held(ei), [&](const Held &h) { return h.number == number && h.text.starts_with(head); });
}

std::set<std::string> entries(const fs::path &directory) {
    std::set<std::string> out;
    for (const auto &e : fs::directory_iterator(directory)) out.insert(e.path().filename());
    return out;
}

class PropFile : public ::testing::Test {
  protected:
    void SetUp() override {
        g_lines.clear();
        const std::string own = (dir.path() / "ctx.properties").string();
        ASSERT_EQ(kavrel_init(&ctx, "prod", nullptr, dir.str().c_str(), nullptr, own.c_str(),
                              "en_US", nullptr, capture),
                  0u);
        errinfo_begin(ctx, nullptr, &ei);
        fresh();
        path = (dir.path() / "p.properties").string();
        g_lines.clear();
    }
    void TearDown() override {
        kavrel_test_fail_io(0, 0);
        if (d != nullptr) prop_free(&d, &ei);
        errinfo_route(&ei);
        kavrel_free(&ctx);
    }
    // A new, empty store in place of the current one.
    void fresh() {
        if (d != nullptr) prop_free(&d, &ei);
        ASSERT_EQ(prop_init(ctx, &d, &ei), 0u);
    }
    uint32_t load(PROP_LOAD_CB cb = nullptr) { return prop_load(d, path.c_str(), cb, &ei); }
    uint32_t save() { return prop_save(d, path.c_str(), &ei); }
    uint32_t set(const char *key, const char *value) { return prop_set(d, key, value, &ei); }
    std::string get(const char *key) {
        char value[256] = "";
        uint32_t len = sizeof value - 1;
        return prop_get(d, key, value, &len, &ei) == 0 ? value : "<missing>";
    }
    // Loads `bytes` as the whole file into a fresh store.
    Texts parse(const std::string &bytes) {
        fresh();
        write_bytes(path, bytes);
        EXPECT_EQ(load(), 0u);
        return snapshot(d);
    }
    std::set<std::string> only_mine() const { return {"ctx.properties", "p.properties"}; }

    TempDir dir;
    std::string path;
    KAVREL_CTX *ctx = nullptr;
    PROP_DES *d = nullptr;
    KAVREL_ERR_INFO ei{};
};

TEST_F(PropFile, LinesAreTrimmedAndSplitAtTheFirstEquals) {
    const std::string x4089(4089, 'x'), y898(898, 'y');
    const std::pair<std::string, Texts> cases[] = {
        {"  \t key = value \t \r\n", {"key = value"}},
        {"a=b=c\n", {"a=b=c"}},
        {"=\n", {"="}},
        {"k==\n", {"k=="}},
        {"k= \t\n", {"k="}},
        {"\v\f\r k=v\x01\x1f\x7f\n", {"k=v"}},
        {"\x01k=v\x01 w\n", {"\x01k=v\x01 w"}},
        {" \x01 \x02\x7f\r\n", {}},
        {"k=v\xa0\x85\xff\n", {"k=v\xa0\x85\xff"}},
        {"  #k = v  \n#k = v\n", {"[#k = v]"}},
        {"a#=b\n", {"a#=b"}},
        {"k=ab\0cd\n\0x=y\nn=1\n"s, {"k=ab", "n=1"}},
        {"no equals here\n", {}},
        {"a=1\r\n\r\nb=2\r\n\ndup=1\ndup=2", {"a=1", "b=2", "dup=2"}},
        // 5000 characters: read as 4095 bytes and then the rest.
        {"first=" + x4089 + "second=" + y898 + "\n", {"first=" + x4089, "second=" + y898}},
    };
    for (const auto &[bytes, expected] : cases) {
        EXPECT_EQ(parse(bytes), expected) << testing::PrintToString(bytes.substr(0, 40));
    }
}

// Unrecognised lines go to the properties trace with their number; every
// piece read counts, blank lines and comments included.
TEST_F(PropFile, UnrecognisedLinesAreTracedWithTheirNumbers) {
    ctx->trace = 0x80;
    const std::string z4094(4094, 'z'), v4093(4093, 'v');
    auto line = [&](int number, const std::string &text) {  // cut at 512 characters
        return fmt("Unrecognised line (%d) in properties file %s: '%s'\n", number, path.c_str(),
                   text.c_str())
            .substr(0, 512);
    };
    const std::pair<std::string, Texts> cases[] = {
        {"\n# c\nk=v\njunk\n\n   more junk  \n\t\n", {line(4, "junk"), line(6, "more junk")}},
        {z4094 + "\njunk\n", {line(1, z4094), line(2, "junk")}},
        // 4095 characters and the line end: the line end is a piece of its own
        {"k=" + v4093 + "\njunk\n", {line(3, "junk")}},
        {"k=" + v4093 + "rest\njunk\n", {line(2, "rest"), line(3, "junk")}},
    };
    for (const auto &[bytes, expected] : cases) {
        g_lines.clear();
        parse(bytes);
        EXPECT_EQ(traces_starting("Unrecognised line"), expected);
    }
    ctx->trace = 0x7F;  // without the properties category nothing is written
    g_lines.clear();
    parse("junk\n");
    EXPECT_TRUE(traces_starting("Unrecognised").empty());
}

// The save writes every record in list order and passes every byte through;
// loading the result into a fresh store gives the same list.
TEST_F(PropFile, SaveWritesEveryRecordInListOrderByteForByte) {
    std::string high;
    for (int b = 0x80; b <= 0xFF; ++b) high += static_cast<char>(b);
    write_bytes(path, "#top\n  k = v  \n\n# Grüße\na=b=c\n=\nx=\njunk\n#top\nключ=значение\n" +
                          high + "=" + high + "\n");
    ASSERT_EQ(load(), 0u);
    EXPECT_EQ(get(high.c_str()), high);
    ASSERT_EQ(set("a", "changed \xF0\x9F\x98\x81"), 0u);
    ASSERT_EQ(set("new", "last"), 0u);
    ASSERT_EQ(save(), 0u);
    EXPECT_EQ(slurp(path),
              "#top\nk = v\n# Grüße\na=changed \xF0\x9F\x98\x81\n=\nx=\nключ=значение\n" + high +
                  "=" + high + "\nnew=last\n");
    const Texts before = snapshot(d);
    fresh();
    ASSERT_EQ(load(), 0u);
    EXPECT_EQ(snapshot(d), before);
}

struct Calls {
    std::string seen;     // "key|value " for each call
    std::string skip;     // key answered with 1
    std::string stop_at;  // key (or comment text) answered with 2
    KAVREL_CTX *ctx = nullptr;
} g_calls;

int on_line(KAVREL_CTX *ctx, const char *key, const char *value) {
    EXPECT_EQ(ctx, g_calls.ctx);
    const std::string k = key != nullptr ? key : "(null)", v = value != nullptr ? value : "(null)";
    g_calls.seen += k + "|" + v + " ";
    if (key != nullptr && k == g_calls.skip) return 1;
    if ((key != nullptr ? k : v) == g_calls.stop_at) return 2;
    return 5;  // any other answer stores the line
}

TEST_F(PropFile, LoadCallbackVerdicts) {
    const std::string text = "#c\na=1\ns=2\nb=3\n";
    const Texts all = {"[#c]", "a=1", "s=2", "b=3"};
    struct Case {
        std::string text, skip, stop_at, calls;
        Texts list;
    } cases[] = {
        {text, "s", "", "(null)|#c a|1 s|2 b|3 (null)|(null) ", {"[#c]", "a=1", "b=3"}},
        {text, "", "#c", "(null)|#c ", all},
        {text, "s", "a", "(null)|#c a|1 ", all},
        {"", "", "", "(null)|(null) ", {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.calls);
        fresh();
        write_bytes(path, c.text);
        g_calls = Calls{"", c.skip, c.stop_at, ctx};
        ASSERT_EQ(load(on_line), 0u);
        EXPECT_EQ(g_calls.seen, c.calls);
        EXPECT_EQ(snapshot(d), c.list);
    }
}

// A file that does not exist is created by the next save; a directory in
// its place is neither read nor written. The list stays as it was.
TEST_F(PropFile, MissingFileOrADirectoryInItsPlace) {
    ctx->trace = 0x80;
    for (const bool directory : {false, true}) {
        SCOPED_TRACE(directory ? "directory" : "missing");
        fresh();
        errinfo_route(&ei);
        ASSERT_TRUE(!directory || fs::create_directory(path));
        ASSERT_EQ(set("k", "v"), 0u);
        g_lines.clear();
        EXPECT_EQ(load(), directory ? 131245u : 2u);
        // The trace shows the attempt all the same; a missing file's time is 0.
        EXPECT_EQ(traces_starting("PROP prop_load:(").size(), 1u);
        EXPECT_EQ(traces_starting("\tmod time: 0 - ").size(), directory ? 0u : 1u);
        EXPECT_EQ(held(ei).size(), 1u);
        EXPECT_TRUE(directory ? holds(ei, 131245, path + " must be a file not a directory.")
                              : holds(ei, 131246,
                                      "Failed to get status of file " + path + ". errno=2 " +
                                          std::strerror(2) + "."));
        errinfo_route(&ei);
        EXPECT_EQ(save(), directory ? 131244u : 0u);
        EXPECT_EQ(holds_prefix(ei, 131244, "Failed to open " + path + " file: errno="), directory);
        EXPECT_TRUE(directory ? fs::is_directory(path) : slurp(path) == "k=v\n");
        EXPECT_EQ(entries(dir.path()), only_mine());
        EXPECT_EQ(snapshot(d), Texts{"k=v"});
        fs::remove(path);
    }
}

int g_line_calls = 0;
int count_lines(KAVREL_CTX *, const char *, const char *) {
    ++g_line_calls;
    return 0;
}

TEST_F(PropFile, ChangesOfOtherWritersAreSeenEvenWithinTheSameSecond) {
    g_line_calls = 0;
    ASSERT_EQ(set("k", "1"), 0u);
    ASSERT_EQ(save(), 0u);
    EXPECT_EQ(load(count_lines), 0u);
    EXPECT_EQ(g_line_calls, 0) << "the store's own save was read again";
    write_bytes(path, "other=2\n", "ab");  // another writer appends
    EXPECT_EQ(load(count_lines), 0u);
    EXPECT_EQ(g_line_calls, 3);  // two lines and the final call
    EXPECT_EQ(get("other"), "2");
    g_line_calls = 0;
    EXPECT_EQ(load(count_lines), 0u);
    EXPECT_EQ(g_line_calls, 0) << "an unchanged file was read again";
    // Another writer replaces the file with one of the same size...
    write_bytes(path + ".side", "k=9\nother=2\n");
    ASSERT_EQ(std::rename((path + ".side").c_str(), path.c_str()), 0);
    EXPECT_EQ(load(), 0u);
    EXPECT_EQ(get("k"), "9");
    // ...and rewrites it in place, shorter.
    write_bytes(path, "k=3\n");
    EXPECT_EQ(load(), 0u);
    EXPECT_EQ(get("k") + " " + get("other"), "3 2");  // a load never removes
    ASSERT_EQ(save(), 0u);                            // the removed key comes back
    EXPECT_EQ(slurp(path), "k=3\nother=2\n");
}

TEST_F(PropFile, SaveOverALaterFileTracesThePossibleOverwrite) {
    auto stamp = [&](std::time_t when) {
        const timespec times[2] = {{when, 0}, {when, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    };
    write_bytes(path, "k=1\n");
    stamp(std::time(nullptr) - 100);  // well before this store reads it
    ASSERT_EQ(load(), 0u);
    ctx->trace = 0x80;
    g_lines.clear();
    ASSERT_EQ(save(), 0u);
    EXPECT_EQ(traces_starting("PROP prop_save:(").size(), 1u) << "no warning";
    EXPECT_EQ(traces_starting("\tlast use: ").size(), 1u);
    stamp(std::time(nullptr) + 100);  // later than this store's last use
    g_lines.clear();
    ASSERT_EQ(set("k", "2"), 0u);
    ASSERT_EQ(save(), 0u);
    const void *p = d;
    EXPECT_EQ(traces_starting("PROP prop_save:("),
              (Texts{fmt("PROP prop_save:(%p): file %s\n", p, path.c_str()),
                     fmt("PROP prop_save:(%p): In-memory change may overwrite file %s\n", p,
                         path.c_str())}));
    EXPECT_EQ(slurp(path), "k=2\n");
}

// Each step of a save fails in turn: every record written, the flush, the
// sync, the rename. The old file stays as it was, nothing is left behind,
// and the change stays in memory. The save that works keeps the file's
// permission bits, read-only as they are.
TEST_F(PropFile, FailedWritesLeaveTheOldFileIntact) {
    const std::string old = "#c\nk1=old\nk2=2\nk3=3\nk4=4\n";
    write_bytes(path, old);
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    ASSERT_EQ(load(), 0u);
    int64_t step = 0;
    for (;; ++step) {
        SCOPED_TRACE(step);
        errinfo_route(&ei);
        const std::string value = "new" + std::to_string(step);
        ASSERT_EQ(set("k1", value.c_str()), 0u);
        kavrel_test_fail_io(step, 1);
        const uint32_t status = save();
        kavrel_test_fail_io(0, 0);
        if (status == 0) break;
        EXPECT_EQ(status, 131244u);
        EXPECT_TRUE(holds_prefix(ei, 131244, "Failed to open " + path + " file: errno="));
        EXPECT_EQ(slurp(path), old);
        EXPECT_EQ(entries(dir.path()), only_mine());
        EXPECT_EQ(get("k1"), value);
        ASSERT_LT(step, 50);
    }
    EXPECT_EQ(step, 5 + 3);  // five records, the flush, the sync, the rename
    EXPECT_EQ(slurp(path), "#c\nk1=new8\nk2=2\nk3=3\nk4=4\n");
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0444u);
}

// File permissions, as an unprivileged user: a child process takes the
// identity of "nobody" (root may write anywhere) and reports through its
// exit status: 0 = as expected, 77 = could not drop privileges, else ten
// times the case's number and the failed check. The directory is root's,
// so nobody cannot put a temporary file beside a properties file.
TEST_F(PropFile, AsAnUnprivilegedUser) {
    if (::geteuid() != 0) GTEST_SKIP() << "only root can act as nobody";
    ASSERT_EQ(::chmod(dir.str().c_str(), 0755), 0);
    const fs::path ro = dir.path() / "ro";
    ASSERT_TRUE(fs::create_directory(ro));
    ASSERT_EQ(::chmod(ro.c_str(), 0755), 0);
    struct Case {
        const char *name;
        unsigned owner;  // nobody or root
        mode_t mode;
        uint32_t load_status, save_status;
        std::string after;
    } cases[] = {
        {"nobodys_saved_in_place", 65534, 0644, 0, 0, "#c\nk=new\n"},
        {"roots_not_written", 0, 0644, 0, 131244, "#c\nk=old value\n"},
        {"roots_not_read", 0, 0600, 131244, 131244, "#c\nk=old value\n"},
    };
    for (const Case &c : cases) {
        write_bytes((ro / c.name).string(), "#c\nk=old value\n");
        ASSERT_EQ(::chown((ro / c.name).c_str(), c.owner, c.owner), 0);
        ASSERT_EQ(::chmod((ro / c.name).c_str(), c.mode), 0);
    }
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0 ||
            ::geteuid() == 0) {
            ::_exit(77);
        }
        for (std::size_t i = 0; i < std::size(cases); ++i) {
            const Case &c = cases[i];
            fresh();
            path = (ro / c.name).string();
            const uint32_t loaded = load();
            const std::string denied =
                "Failed to open " + path + " file: errno=13 " + std::strerror(13) + ".";
            const bool checks[] = {loaded == c.load_status,
                                   set("k", "new") == 0,
                                   save() == c.save_status,
                                   holds(ei, 131244, denied) == (loaded != 0 || c.save_status != 0),
                                   get("k") == "new",
                                   loaded == 0 || snapshot(d) == Texts{"k=new"}};  // nothing read
            for (std::size_t j = 0; j < std::size(checks); ++j) {
                if (!checks[j]) ::_exit(static_cast<int>(10 * i + j) + 11);
            }
        }
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "cannot drop privileges";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    for (const Case &c : cases) EXPECT_EQ(slurp((ro / c.name).string()), c.after) << c.name;
    EXPECT_EQ(entries(ro).size(), std::size(cases)) << "a temporary file was left";
}

// A large file read, saved back byte for byte, then changed and thinned out
// through the key index and saved again; the store gives all its memory back.
TEST_F(PropFile, HundredThousandProperties) {
    constexpr int kCount = 100000;
    const uint32_t empty = ctx->memory_index.count;
    auto key = [](int i) { return "group" + std::to_string(i % 97) + ".key" + std::to_string(i); };
    auto value = [](int i) {
        return i % 3 == 0 ? "changed" + std::to_string(i)
                          : "value " + std::to_string(i * 7) + " = v";
    };
    std::string text, after;
    for (int i = 0; i < kCount; ++i) {
        const std::string head =
            i % 1000 == 0 ? "# section " + std::to_string(i / 1000) + "\n" : "";
        text += head + key(i) + "=value " + std::to_string(i * 7) + " = v\n";
        after += head + (i % 7 == 1 ? "" : key(i) + "=" + value(i) + "\n");
    }
    write_bytes(path, text);
    ASSERT_EQ(load(), 0u);
    EXPECT_EQ(snapshot(d).size(), 100100u);
    ASSERT_EQ(save(), 0u);
    EXPECT_TRUE(slurp(path) == text);
    for (int i = 0; i < kCount; i += 3) ASSERT_EQ(set(key(i).c_str(), value(i).c_str()), 0u);
    for (int i = 1; i < kCount; i += 7) ASSERT_EQ(set(key(i).c_str(), nullptr), 0u);
    for (int i = 0; i < kCount; i += 997) {
        EXPECT_EQ(get(key(i).c_str()), i % 7 == 1 ? "<missing>" : value(i)) << i;
    }
    ASSERT_EQ(save(), 0u);
    EXPECT_TRUE(slurp(path) == after);
    fresh();
    EXPECT_EQ(ctx->memory_index.count, empty);
}

}  // namespace
