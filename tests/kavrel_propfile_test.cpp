// The properties file: its format as read and written, the load callback,
// missing and wrong files, change detection, and saves that fail part way.
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "diag/errinfo.h"
#include "diag/route.h"
#include "kavrel.h"
#include "kavrel_capture.h"
#include "kavrel_ctx.h"
#include "prop/prop.h"
#include "temp_dir.h"

namespace {

using kavrel_test::capture;
using kavrel_test::fmt;
using kavrel_test::g_handler_result;
using kavrel_test::g_lines;
using kavrel_test::Held;
using kavrel_test::held;
using kavrel_test::holds;
using kavrel_test::Line;
using kavrel_test::slurp;
using kavrel_test::write_bytes;

namespace fs = std::filesystem;
using kavrel::PROP_DES;
using kavrel::PROPERTY;
using namespace std::string_literals;

std::vector<std::string> traces_starting(const std::string &head) {
    std::vector<std::string> out;
    for (const Line &l : g_lines) {
        if (l.severity == 20 && l.text.rfind(head, 0) == 0) out.push_back(l.text);
    }
    return out;
}

bool holds_prefix(kavrel::KAVREL_ERR_INFO &ei, int32_t number, const std::string &head) {
    for (const Held &h : held(ei)) {
        if (h.number == number && h.text.rfind(head, 0) == 0) return true;
    }
    return false;
}

using Record = std::tuple<uint32_t, std::string, std::string>;

std::vector<Record> snapshot(PROP_DES *d) {
    std::vector<Record> out;
    for (kavrel::KAVREL_LINK *l = d->props.next; l != &d->props; l = l->next) {
        const auto *r = reinterpret_cast<const PROPERTY *>(l);
        out.emplace_back(r->type, r->key != nullptr ? r->key : "(none)", r->value);
    }
    return out;
}

Record prop(const std::string &key, const std::string &value) {
    return {kavrel::PROP_CLEARTEXT, key, value};
}
Record comment(const std::string &text) {
    return {kavrel::PROP_COMMENT, "(none)", text};
}

// Writes a file the way another program would: plain stdio, its own stream.
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
        kavrel::errinfo_begin(ctx, nullptr, &ei);
        fresh();
        path = (dir.path() / "p.properties").string();
        g_lines.clear();
    }
    void TearDown() override {
        kavrel_test_fail_io(0, 0);
        if (d != nullptr) kavrel::prop_free(&d, &ei);
        kavrel::errinfo_route(&ei);
        kavrel_free(&ctx);
    }
    // A new, empty store in place of the current one.
    void fresh() {
        if (d != nullptr) kavrel::prop_free(&d, &ei);
        d = nullptr;
        ASSERT_EQ(kavrel::prop_init(ctx, &d, &ei), 0u);
    }
    uint32_t load(kavrel::PROP_LOAD_CB cb = nullptr) {
        return kavrel::prop_load(d, path.c_str(), cb, &ei);
    }
    uint32_t save() { return kavrel::prop_save(d, path.c_str(), &ei); }
    uint32_t set(const char *key, const char *value) {
        return kavrel::prop_set(d, key, value, &ei);
    }
    std::string get(const char *key) {
        uint32_t len = 0;
        if (kavrel::prop_get(d, key, nullptr, &len, &ei) != 0) return "<missing>";
        std::string value(len + 1, '\0');
        EXPECT_EQ(kavrel::prop_get(d, key, value.data(), &len, &ei), 0u);
        value.resize(len);
        return value;
    }
    // Loads `bytes` as the whole file into a fresh store.
    std::vector<Record> parse(const std::string &bytes) {
        fresh();
        write_bytes(path, bytes);
        EXPECT_EQ(load(), 0u);
        return snapshot(d);
    }

    TempDir dir;
    std::string path;
    KAVREL_CTX *ctx = nullptr;
    PROP_DES *d = nullptr;
    kavrel::KAVREL_ERR_INFO ei{};
};

// ---- reading -----------------------------------------------------------------

TEST_F(PropFile, LinesAreTrimmedAndSplitAtTheFirstEquals) {
    const std::string x4089(4089, 'x');
    struct Case {
        std::string bytes;
        std::vector<Record> expected;
    } cases[] = {
        {"key=value\n", {prop("key", "value")}},
        {"  \t key = value \t \r\n", {prop("key ", " value")}},
        {"a=b=c\n", {prop("a", "b=c")}},
        {"=v\n", {prop("", "v")}},
        {"=\n", {prop("", "")}},
        {"k==\n", {prop("k", "=")}},
        {"k= \t\n", {prop("k", "")}},
        {"\v\f\r k=v\x01\x1f\x7f\n", {prop("k", "v")}},
        {"\x01k=v\n", {prop("\x01k", "v")}},
        {"k=v\x01 w\n", {prop("k", "v\x01 w")}},
        {" \x01 \x02\x7f\r\n", {}},
        {"k=v\xa0\x85\xff\n", {prop("k", "v\xa0\x85\xff")}},
        {"  # note  \n", {comment("# note")}},
        {"#k=v\n", {comment("#k=v")}},
        {"a#=b\n", {prop("a#", "b")}},
        {"k=ab\0cd\nn=1\n"s, {prop("k", "ab"), prop("n", "1")}},
        {"\0k=v\n"s, {}},
        {"no equals here\n", {}},
        {"k=v", {prop("k", "v")}},
        {"a=1\r\n\r\nb=2\r\n", {prop("a", "1"), prop("b", "2")}},
        {"dup=1\ndup=2\n", {prop("dup", "2")}},
        // 5000 characters: read as 4095 bytes and then the rest.
        {"first=" + x4089 + "second=" + std::string(898, 'y') + "\n",
         {prop("first", x4089), prop("second", std::string(898, 'y'))}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes.substr(0, 40)));
        EXPECT_EQ(parse(c.bytes), c.expected);
    }
}

// Unrecognised lines go to the properties trace with their number; every
// piece read counts, blank lines and comments included.
TEST_F(PropFile, UnrecognisedLinesAreTracedWithTheirNumbers) {
    ctx->trace = 0x80;
    struct Case {
        std::string bytes;
        std::vector<std::string> reported;  // "number: text"
    } cases[] = {
        {"\n# c\nk=v\njunk\n\n   more junk  \n\t\n", {"4: junk", "6: more junk"}},
        {std::string(4094, 'z') + "\njunk\n", {"1: " + std::string(4094, 'z'), "2: junk"}},
        // 4095 characters and the line end: the line end is a piece of its own
        {"k=" + std::string(4093, 'v') + "\njunk\n", {"3: junk"}},
        {"k=" + std::string(4093, 'v') + "rest without equals\njunk\n",
         {"2: rest without equals", "3: junk"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.reported.back());
        g_lines.clear();
        parse(c.bytes);
        std::vector<std::string> expected;
        for (const std::string &r : c.reported) {
            const std::size_t colon = r.find(": ");
            // trace texts are cut at 512 characters
            expected.push_back(fmt("Unrecognised line (%s) in properties file %s: '%s'\n",
                                   r.substr(0, colon).c_str(), path.c_str(),
                                   r.substr(colon + 2).c_str())
                                   .substr(0, 512));
        }
        EXPECT_EQ(traces_starting("Unrecognised line"), expected);
    }
    // Without the properties category nothing is written.
    ctx->trace = 0x7F;
    g_lines.clear();
    parse("junk\n");
    EXPECT_TRUE(traces_starting("Unrecognised").empty());
}

// ---- writing -----------------------------------------------------------------

TEST_F(PropFile, SaveWritesEveryRecordInListOrder) {
    write_bytes(path, "#top\n  k = v  \n\n#mid\na=b=c\n=\nx=\njunk\n#top\n");
    ASSERT_EQ(load(), 0u);
    ASSERT_EQ(set("a", "changed"), 0u);
    ASSERT_EQ(set("new", "last"), 0u);
    ASSERT_EQ(save(), 0u);
    EXPECT_EQ(slurp(path), "#top\nk = v\n#mid\na=changed\n=\nx=\nnew=last\n");
    // Loading it again, into the same store or a fresh one, gives the same.
    const std::vector<Record> before = snapshot(d);
    fresh();
    ASSERT_EQ(load(), 0u);
    EXPECT_EQ(snapshot(d), before);
}

TEST_F(PropFile, BytesPassThroughALoadAndASaveUnchanged) {
    std::string high;
    for (int b = 0x80; b <= 0xFF; ++b) high += static_cast<char>(b);
    const std::string text =
        "# Grüße\nключ=значение\n" + high + "=" + high + "\nemoji=\xF0\x9F\x98\x80\n";
    write_bytes(path, text);
    ASSERT_EQ(load(), 0u);
    EXPECT_EQ(get(high.c_str()), high);
    ASSERT_EQ(set("emoji", "\xF0\x9F\x98\x81"), 0u);
    ASSERT_EQ(save(), 0u);
    std::string expected = text;
    expected.replace(expected.size() - 2, 1, "\x81");
    EXPECT_EQ(slurp(path), expected);
}

// ---- the load callback -------------------------------------------------------

struct Calls {
    std::vector<std::string> seen;
    std::string skip;     // key answered with 1
    std::string stop_at;  // key (or comment text) answered with 2
    KAVREL_CTX *ctx = nullptr;
};
Calls g_calls;

int on_line(KAVREL_CTX *ctx, const char *key, const char *value) {
    EXPECT_EQ(ctx, g_calls.ctx);
    const std::string k = key != nullptr ? key : "(null)";
    const std::string v = value != nullptr ? value : "(null)";
    g_calls.seen.push_back(k + "|" + v);
    if (key != nullptr && k == g_calls.skip) return 1;
    if ((key != nullptr ? k : v) == g_calls.stop_at) return 2;
    return 5;  // any other answer stores the line
}

TEST_F(PropFile, LoadCallbackVerdicts) {
    const std::string text = "#c\na=1\nskip=2\nb=3\n";
    struct Case {
        const char *skip, *stop_at;
        std::vector<std::string> calls;
        std::vector<Record> list;
    } cases[] = {
        {"skip",
         "",
         {"(null)|#c", "a|1", "skip|2", "b|3", "(null)|(null)"},
         {comment("#c"), prop("a", "1"), prop("b", "3")}},
        {"",
         "#c",
         {"(null)|#c"},
         {comment("#c"), prop("a", "1"), prop("skip", "2"), prop("b", "3")}},
        {"skip",
         "a",
         {"(null)|#c", "a|1"},
         {comment("#c"), prop("a", "1"), prop("skip", "2"), prop("b", "3")}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.skip) + "/" + c.stop_at);
        fresh();
        write_bytes(path, text);
        g_calls = Calls{{}, c.skip, c.stop_at, ctx};
        ASSERT_EQ(load(on_line), 0u);
        EXPECT_EQ(g_calls.seen, c.calls);
        EXPECT_EQ(snapshot(d), c.list);
    }
    // An empty file: only the final call.
    fresh();
    write_bytes(path, "");
    g_calls = Calls{{}, "", "", ctx};
    ASSERT_EQ(load(on_line), 0u);
    EXPECT_EQ(g_calls.seen, std::vector<std::string>{"(null)|(null)"});
}

// ---- missing and wrong files -------------------------------------------------

TEST_F(PropFile, MissingFileLoadsNothingAndSaveCreatesIt) {
    ASSERT_EQ(set("k", "v"), 0u);
    ctx->trace = 0x80;
    EXPECT_EQ(load(), 2u);
    // The trace shows the attempt all the same, with a modification time of 0.
    EXPECT_EQ(traces_starting("PROP prop_load:(").size(), 1u);
    EXPECT_EQ(traces_starting("\tmod time: 0 - ").size(), 1u);
    ctx->trace = 0;
    EXPECT_TRUE(
        holds(ei, 131246,
              "Failed to get status of file " + path + ". errno=2 " + std::strerror(2) + "."));
    EXPECT_EQ(snapshot(d), std::vector<Record>{prop("k", "v")});
    EXPECT_EQ(save(), 0u);
    EXPECT_EQ(slurp(path), "k=v\n");
    EXPECT_EQ(entries(dir.path()), (std::set<std::string>{"ctx.properties", "p.properties"}));
}

TEST_F(PropFile, DirectoryWhereTheFileShouldBe) {
    ASSERT_TRUE(fs::create_directory(path));
    ASSERT_EQ(set("k", "v"), 0u);
    EXPECT_EQ(load(), 131245u);
    EXPECT_EQ(held(ei).size(), 1u);
    EXPECT_TRUE(holds(ei, 131245, path + " must be a file not a directory."));
    kavrel::errinfo_route(&ei);

    EXPECT_EQ(save(), 131244u);
    const std::vector<Held> messages = held(ei);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].number, 131245);
    EXPECT_EQ(messages[1].number, 131244);
    EXPECT_EQ(messages[1].text.rfind("Failed to open " + path + " file: errno=", 0), 0u)
        << messages[1].text;
    EXPECT_TRUE(fs::is_directory(path));
    EXPECT_EQ(entries(dir.path()), (std::set<std::string>{"ctx.properties", "p.properties"}));
    EXPECT_EQ(snapshot(d), std::vector<Record>{prop("k", "v")});
}

TEST_F(PropFile, BrokenPreconditions) {
    PROP_DES fake{};
    EXPECT_EQ(kavrel::prop_load(d, nullptr, nullptr, &ei), 1000000u);
    EXPECT_EQ(kavrel::prop_load(d, "", nullptr, &ei), 1000000u);
    EXPECT_EQ(kavrel::prop_save(d, nullptr, &ei), 1000000u);
    EXPECT_EQ(kavrel::prop_load(nullptr, path.c_str(), nullptr, &ei), 1000000u);
    EXPECT_EQ(kavrel::prop_save(&fake, path.c_str(), &ei), 1000000u);
    const std::vector<Held> messages = held(ei);
    ASSERT_EQ(messages.size(), 5u);
    EXPECT_NE(messages[3].text.find(": (prop_ctx != NULL)"), std::string::npos);
    EXPECT_FALSE(fs::exists(path));
}

// ---- change detection --------------------------------------------------------

int g_line_calls = 0;
int count_lines(KAVREL_CTX *, const char *, const char *) {
    ++g_line_calls;
    return 0;
}

TEST_F(PropFile, ChangesOfOtherWritersAreSeenEvenWithinTheSameSecond) {
    ASSERT_EQ(set("k", "1"), 0u);
    ASSERT_EQ(save(), 0u);
    g_line_calls = 0;
    EXPECT_EQ(load(count_lines), 0u);
    EXPECT_EQ(g_line_calls, 0) << "the store's own save was read again";

    // Another writer appends through its own stream.
    write_bytes(path, "other=2\n", "ab");
    EXPECT_EQ(load(count_lines), 0u);
    EXPECT_EQ(g_line_calls, 3);  // two lines and the final call
    EXPECT_EQ(get("other"), "2");

    g_line_calls = 0;
    EXPECT_EQ(load(count_lines), 0u);
    EXPECT_EQ(g_line_calls, 0) << "an unchanged file was read again";

    // Another writer replaces the file with one of the same size.
    const std::string side = path + ".side";
    write_bytes(side, "k=9\nother=2\n");
    ASSERT_EQ(std::rename(side.c_str(), path.c_str()), 0);
    EXPECT_EQ(load(), 0u);
    EXPECT_EQ(get("k"), "9");

    // And rewrites it in place, shorter.
    write_bytes(path, "k=3\n");
    EXPECT_EQ(load(), 0u);
    EXPECT_EQ(get("k"), "3");
    EXPECT_EQ(get("other"), "2");  // a load never removes

    // A key removed from the file comes back with the next save.
    ASSERT_EQ(save(), 0u);
    EXPECT_EQ(slurp(path), "k=3\nother=2\n");
}

TEST_F(PropFile, SaveOverALaterFileTracesThePossibleOverwrite) {
    write_bytes(path, "k=1\n");
    // Written well before this store reads it (the file system's clock and
    // the wall clock may straddle a second otherwise).
    const timespec earlier[2] = {{std::time(nullptr) - 100, 0}, {std::time(nullptr) - 100, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), earlier, 0), 0);
    ASSERT_EQ(load(), 0u);
    ctx->trace = 0x80;
    g_lines.clear();
    ASSERT_EQ(save(), 0u);
    EXPECT_EQ(traces_starting("PROP prop_save:(").size(), 1u) << "no warning";
    EXPECT_EQ(traces_starting("\tlast use: ").size(), 1u);

    // The file now carries a modification time later than this store's
    // last use of it.
    const timespec later[2] = {{std::time(nullptr) + 100, 0}, {std::time(nullptr) + 100, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), later, 0), 0);
    g_lines.clear();
    ASSERT_EQ(set("k", "2"), 0u);
    ASSERT_EQ(save(), 0u);
    EXPECT_EQ(traces_starting("PROP prop_save:("),
              (std::vector<std::string>{
                  fmt("PROP prop_save:(%p): file %s\n", static_cast<void *>(d), path.c_str()),
                  fmt("PROP prop_save:(%p): In-memory change may overwrite file %s\n",
                      static_cast<void *>(d), path.c_str())}));
    EXPECT_EQ(slurp(path), "k=2\n");
}

// ---- saving safely -----------------------------------------------------------

TEST_F(PropFile, SaveKeepsThePermissionBits) {
    for (const mode_t mode : {0640u, 0444u}) {
        SCOPED_TRACE(mode);
        fresh();
        write_bytes(path, "k=1\n");
        ASSERT_EQ(::chmod(path.c_str(), mode), 0);
        ASSERT_EQ(load(), 0u);
        ASSERT_EQ(set("k", "2"), 0u);
        ASSERT_EQ(save(), 0u);
        struct stat st;
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode);
        EXPECT_EQ(slurp(path), "k=2\n");
        fs::remove(path);
    }
}

// Each step of a save fails in turn: every record written, the flush, the
// sync, the rename. The old file stays as it was and nothing is left
// behind; the change stays in memory and a later save writes it.
TEST_F(PropFile, FailedWritesLeaveTheOldFileIntact) {
    write_bytes(path, "#c\nk1=old\nk2=2\nk3=3\nk4=4\n");
    ASSERT_EQ(load(), 0u);
    constexpr int64_t kRecords = 5;
    int64_t step = 0;
    for (;; ++step) {
        SCOPED_TRACE(step);
        kavrel::errinfo_route(&ei);
        const std::string old = slurp(path);
        const std::string value = "new" + std::to_string(step);
        ASSERT_EQ(set("k1", value.c_str()), 0u);
        kavrel_test_fail_io(step, 1);
        const uint32_t status = save();
        kavrel_test_fail_io(0, 0);
        if (status == 0) break;
        EXPECT_EQ(status, 131244u);
        EXPECT_TRUE(holds_prefix(ei, 131244, "Failed to open " + path + " file: errno="));
        EXPECT_EQ(slurp(path), old);
        EXPECT_EQ(entries(dir.path()), (std::set<std::string>{"ctx.properties", "p.properties"}));
        EXPECT_EQ(get("k1"), value);
        ASSERT_LT(step, 50);
    }
    EXPECT_EQ(step, kRecords + 3);
    EXPECT_EQ(slurp(path), "#c\nk1=new" + std::to_string(step) + "\nk2=2\nk3=3\nk4=4\n");

    // A failed save followed by a good one writes the change kept in memory.
    ASSERT_EQ(set("k2", "kept"), 0u);
    kavrel_test_fail_io(kRecords + 2, 1);  // the rename
    EXPECT_EQ(save(), 131244u);
    kavrel_test_fail_io(0, 0);
    EXPECT_EQ(save(), 0u);
    EXPECT_EQ(slurp(path), "#c\nk1=new" + std::to_string(step) + "\nk2=kept\nk3=3\nk4=4\n");
}

// ---- permissions, as an unprivileged user ------------------------------------
// The tests run as root, who may write anywhere: a child process takes the
// identity of "nobody" and reports through its exit status (0 = as
// expected, 77 = could not drop privileges, anything else = the failed
// check).

constexpr int kSkip = 77;

int as_nobody(const std::function<int()> &body) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0 ||
            ::geteuid() == 0) {
            ::_exit(kSkip);
        }
        ::_exit(body());
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

class PropFileUnprivileged : public PropFile {
  protected:
    void SetUp() override {
        PropFile::SetUp();
        ASSERT_EQ(::chmod(dir.str().c_str(), 0755), 0);
        ro = dir.path() / "ro";
        ASSERT_TRUE(fs::create_directory(ro));
        ASSERT_EQ(::chmod(ro.c_str(), 0755), 0);  // root's: nobody cannot create files in it
    }
    fs::path ro;
};

TEST_F(PropFileUnprivileged, ReadOnlyDirectorySavesInPlace) {
    path = (ro / "p.properties").string();
    write_bytes(path, "#c\nk=old\n");
    ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    const int result = as_nobody([&] {
        if (load() != 0) return 1;
        if (set("k", "new") != 0 || set("added", "1") != 0) return 2;
        if (save() != 0) return 3;
        return 0;
    });
    if (result == kSkip) GTEST_SKIP() << "cannot drop privileges";
    EXPECT_EQ(result, 0);
    EXPECT_EQ(slurp(path), "#c\nk=new\nadded=1\n");
    EXPECT_EQ(entries(ro), std::set<std::string>{"p.properties"});
}

TEST_F(PropFileUnprivileged, FileNobodyMayWriteIsNotChanged) {
    path = (ro / "p.properties").string();
    write_bytes(path, "k=old\n");
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);  // root's
    const int result = as_nobody([&] {
        if (load() != 0) return 1;
        if (set("k", "new") != 0) return 2;
        if (save() != 131244) return 3;
        if (!holds(ei, 131244,
                   "Failed to open " + path + " file: errno=13 " + std::strerror(13) + ".")) {
            return 4;
        }
        if (get("k") != "new") return 5;
        return 0;
    });
    if (result == kSkip) GTEST_SKIP() << "cannot drop privileges";
    EXPECT_EQ(result, 0);
    EXPECT_EQ(slurp(path), "k=old\n");
    EXPECT_EQ(entries(ro), std::set<std::string>{"p.properties"});
}

TEST_F(PropFileUnprivileged, UnreadableFile) {
    write_bytes(path, "k=secret\n");
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);  // root's
    const int result = as_nobody([&] {
        if (set("mine", "1") != 0) return 1;
        if (load() != 131244) return 2;
        if (!holds(ei, 131244,
                   "Failed to open " + path + " file: errno=13 " + std::strerror(13) + ".")) {
            return 3;
        }
        if (snapshot(d) != std::vector<Record>{prop("mine", "1")}) return 4;
        return 0;
    });
    if (result == kSkip) GTEST_SKIP() << "cannot drop privileges";
    EXPECT_EQ(result, 0);
}

// ---- a large file ------------------------------------------------------------

TEST_F(PropFile, HundredThousandPropertiesLoadAndSaveBackIdentically) {
    std::string text;
    for (int i = 0; i < 100000; ++i) {
        if (i % 1000 == 0) text += "# section " + std::to_string(i / 1000) + "\n";
        text += "group" + std::to_string(i % 97) + ".key" + std::to_string(i) + "=value " +
                std::to_string(i * 7) + " = with spaces\n";
    }
    write_bytes(path, text);
    ASSERT_EQ(load(), 0u);
    EXPECT_EQ(snapshot(d).size(), 100100u);
    EXPECT_EQ(get("group3.key100"), "value 700 = with spaces");
    EXPECT_EQ(get(("group" + std::to_string(99999 % 97) + ".key99999").c_str()),
              "value 699993 = with spaces");
    ASSERT_EQ(save(), 0u);
    EXPECT_TRUE(slurp(path) == text);
}

}  // namespace
