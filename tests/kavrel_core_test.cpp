// Tracked memory, error records and their routing, trace lines and dumps,
// times, and localised messages, seen as the product's handler sees them;
// long outputs against golden files.
#include <climits>
#include <cstdarg>
#include <cstring>
#include <limits>
#include <random>

#include "diag/msg.h"
#include "diag/route.h"
#include "diag/trace.h"
#include "kavrel_fixture.h"

using namespace kavrel;
using namespace test;

namespace {

class Core : public ContextTest {
  protected:
    void SetUp() override {
        ASSERT_EQ(open(), 0u);
        g_lines.clear();
    }
};

// Sizes, zero fill, trace lines, the dump (newest first, with its links and
// the total of the sizes asked for); releases of what is not ours are
// reported whatever the mask and change nothing.
TEST_F(Core, TrackedMemory) {
    set_trace_mask(ctx_, KAVREL_TRACE_MEMORY);
    char *blocks[4];
    for (uint32_t i = 0, sizes[] = {0, 1, 4, 5}; i < 4; ++i) {
        blocks[i] = static_cast<char *>(kavrel_alloc(ctx_, sizes[i]));
        ASSERT_EQ(std::string(blocks[i], (sizes[i] + 3) & ~3u),
                  std::string((sizes[i] + 3) & ~3u, 0));
    }
    kavrel_mem_dump(ctx_);
    KAVREL_CTX *other = nullptr;
    ASSERT_EQ(kavrel_init(&other, "O", nullptr, dir_.str().c_str(), nullptr, nullptr, "en_US",
                          nullptr, nullptr),
              0u);
    auto *theirs = static_cast<char *>(kavrel_alloc(other, 3));
    std::memcpy(theirs, "ab", 3);
    int local = 0;
    for (void *p : {static_cast<void *>(blocks[2]), static_cast<void *>(blocks[2]),
                    static_cast<void *>(&local), static_cast<void *>(theirs),
                    static_cast<void *>(blocks[3] + 4), static_cast<void *>(nullptr)}) {
        kavrel_dealloc(ctx_, p);
    }
    EXPECT_STREQ(theirs, "ab");
    kavrel_dealloc(other, theirs);
    kavrel_free(&other);
    set_trace_mask(ctx_, ~KAVREL_TRACE_MEMORY);
    kavrel_dealloc(ctx_, kavrel_alloc(ctx_, 7));  // no lines without the memory bit
    fail(i18n::Fault::alloc, 0, 1);
    EXPECT_EQ(kavrel_alloc(ctx_, 9), nullptr);
    EXPECT_EQ(kavrel_alloc(ctx_, UINT32_MAX - 20), nullptr);
    kavrel_mem_dump(ctx_);
    expect_golden("memory.txt", normalise(take_lines(), dir_.str()));
    for (char *block : {blocks[0], blocks[1], blocks[3]}) kavrel_dealloc(ctx_, block);
}

// Blocks released in random order are each found through the index; a block
// whose index cannot grow is not kept.
TEST_F(Core, ManyBlocksInAnyOrder) {
    const uint32_t held = ctx_->memory_index.count;
    std::vector<int *> blocks;
    while (ctx_->memory_index.count < ctx_->memory_index.capacity() / 2) {
        blocks.push_back(static_cast<int *>(kavrel_alloc(ctx_, 4)));
    }
    fail(i18n::Fault::alloc, 1, 1);
    EXPECT_EQ(kavrel_alloc(ctx_, 4), nullptr);
    EXPECT_EQ(take_lines(), "100 1000000 Failed to allocate " + std::to_string(mem_actual_size(4)) +
                                " bytes of memory.\n");
    while (blocks.size() < 100000) blocks.push_back(static_cast<int *>(kavrel_alloc(ctx_, 4)));
    for (std::size_t i = 0; i < blocks.size(); ++i) *blocks[i] = static_cast<int>(i);
    std::vector<std::size_t> order(blocks.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(7));
    for (std::size_t i : order) {
        ASSERT_EQ(*blocks[i], static_cast<int>(i));
        kavrel_dealloc(ctx_, blocks[i]);
    }
    EXPECT_EQ(ctx_->memory_index.count, held);
    EXPECT_TRUE(g_lines.empty());
}

// Records built step by step, then dumped and routed. A letter adds a
// message (A 100, B 80, C 60, N -5, L 600 characters, others 40; numbers
// 131200 and up by letter); + asks for a new entry, ^ for a wrap, * both,
// # clears numbers, - discards the last entry, ! routes, ? adds a failed
// precondition, 1 and 2 make the next message's allocations fail.
TEST_F(Core, RecordsAndRouting) {
    const char *cases[] = {"ABCD",       "ABC^D", "ABC+D", "ABC*D", "^W",     "ABC+XY^WZ",
                           "-ABC+-DE-F", "NN",    "NC",    "L#A",   "AB!C+D", "?",
                           "AB1C",       "AB2C",  "2A",    "AB+C!D"};
    std::string text;
    for (const char *steps : cases) {
        KAVREL_ERR_INFO ei;
        errinfo_begin(ctx_, nullptr, &ei);
        for (const char *p = steps; *p != '\0'; ++p) {
            const char c = *p;
            if (c == '+' || c == '^' || c == '*') {
                ei.flags = c == '+' ? ERRINFO_NEW_ENTRY : c == '^' ? ERRINFO_WRAP : 3;
            } else if (c == '#') {
                ei.flags |= ERRINFO_NO_NUMBERS;
            } else if (c == '-') {
                errinfo_discard_last(&ei);
            } else if (c == '!') {
                errinfo_route(&ei);
            } else if (c == '?') {
                errinfo_precondition(&ei, "kavrel", 42, "(x != NULL)");
            } else if (c == '1' || c == '2') {
                fail(i18n::Fault::alloc, 0, c - '0');
            } else {
                const int32_t severity = c == 'A'   ? 100
                                         : c == 'B' ? 80
                                         : c == 'C' ? 60
                                         : c == 'N' ? -5
                                                    : 40;
                const std::string body = c == 'L' ? std::string(600, 'L') : std::string(1, c);
                errinfo_add(&ei, severity, 131200 + c - 'A', "%s", body.c_str());
                fail(i18n::Fault::alloc, 0, 0);
            }
        }
        dump_err_info(ctx_, &ei);
        errinfo_route(&ei);
        text += std::string("==== ") + steps + "\n" + normalise(take_lines(), dir_.str());
    }
    expect_golden("records.txt", text);
}

// Without a handler, or when it answers non-zero, a line goes to standard
// error with its label and, from severity 60 up, a line end.
TEST_F(Core, LinesOnStandardError) {
    // clang-format off
    const std::tuple<int32_t, int32_t, const char *, const char *> cases[] = {
        {80, INT_MIN, "w", "Warning -2147483648: w\n"}, {100, 0, "e", "Error 0: e\n"},
        {101, 3, "a", "a\n"}, {60, 7, "i", "i\n"}, {59, 2, "l", "l"}, {20, 0, "t\n", "t\n"}};
    // clang-format on
    for (int answer : {0, 1, -1, 2}) {  // 2: no handler; then no context
        ctx_->messagehandler = answer == 2 ? nullptr : capture;
        g_answer = answer;
        for (const auto &[severity, number, text, shown] : cases) {
            testing::internal::CaptureStderr();
            line_out(answer == 2 && severity == 80 ? nullptr : ctx_, severity, number, text);
            EXPECT_EQ(testing::internal::GetCapturedStderr(), answer == 0 ? "" : shown);
        }
    }
    EXPECT_EQ(g_lines.size(), 3 * std::size(cases));
    g_lines.clear();
    ctx_->messagehandler = capture;
    error_printf(ctx_, "%s", std::string(700, 'y').c_str());
    EXPECT_EQ(g_lines.at(0).text, std::string(512, 'y'));
}

// Trace lines by category (a line is written when the masks share a bit),
// the time lines, the cut at 512 characters, and the hex dump.
TEST_F(Core, TraceLinesAndDumps) {
    for (uint32_t mask : {0u, 1u, 0x80u, 0x81u}) {
        set_trace_mask(ctx_, mask);
        trace_printf(ctx_, KAVREL_TRACE_PROP, "prop %x\n", mask);
        trace_printf(ctx_, KAVREL_TRACE_ALL, "any %x\n", mask);
        trace_time_printf(ctx_, KAVREL_TRACE_MEMORY, 86400, "memory %x\n", mask);
        trace_time_label(ctx_, "\tlabel", 0);
    }
    trace_time(ctx_, -1, "%s", "time ");
    trace_always(ctx_, "%s", std::string(700, 'x').c_str());
    trace_always(ctx_, "\n");
    const unsigned char bytes[41] = "ABCDE\x01\x7F fghijklmnopqrstuvwxyz0123456789";
    for (int32_t length : {0, 5, 20, 41, -3}) dump_hex(ctx_, bytes, length);
    dump_err_info(ctx_, nullptr);
    expect_golden("trace.txt", normalise(take_lines()));
}

// Times in a locale of the table whatever the process's, the name switched
// from kept in tracked memory meanwhile, and the texts for times local time
// cannot show.
TEST_F(Core, Times) {
    set_env("TZ", "UTC0");
    tzset();
    const auto shown = [this](const char *locale, std::time_t t) {
        char buf[kTimeBufSize];
        format_time(ctx_, locale, &t, buf);
        return std::string(buf);
    };
    set_trace_mask(ctx_, KAVREL_TRACE_MEMORY);
    EXPECT_EQ(shown(nullptr, 0), "Thu Jan 01 00:00:00 1970");
    EXPECT_EQ(take_lines(), "") << "without a locale nothing is switched or kept";
    const std::string sunday = shown("German", 86400 * 45);  // "So." in Windows' names
    EXPECT_TRUE(sunday == "So Feb 15 00:00:00 1970" || sunday == "So. Feb 15 00:00:00 1970")
        << sunday;
    EXPECT_EQ(g_lines.size(), 2u) << "the name switched from is kept, then freed";
    g_lines.clear();
    EXPECT_EQ(shown("fr_FR", 0), "jeu. janv. 01 00:00:00 1970");
    fail(i18n::Fault::locale, 0, 1);
    EXPECT_EQ(shown("de", 0), "Thu Jan 01 00:00:00 1970");
    fail(i18n::Fault::alloc, 0, 1);
    EXPECT_EQ(shown("de", 0), "Thu Jan 01 00:00:00 1970");
    using Times = std::numeric_limits<std::time_t>;
    const std::time_t now = std::time(nullptr), distant = Times::max() - 5;
    if (sizeof(std::time_t) == 8) {  // 32-bit Windows' runtime shows every time it has
        EXPECT_EQ(shown(nullptr, distant),
                  "in " + std::to_string((distant - now) / 86400) + " days");
        EXPECT_EQ(shown(nullptr, Times::min() / 2),
                  std::to_string((now - Times::min() / 2) / 86400) + " days ago");
        EXPECT_EQ(shown(nullptr, Times::min()), "(time_t=-9223372036854775808)");
        fail(i18n::Fault::clock, 0, 1);
        EXPECT_EQ(shown(nullptr, distant), "(time_t=9223372036854775802)");
    }
    const struct {
        const char *name, *code;
    } names[] = {{"de_DE", "de_DE"},   {"GERMAN", "de_DE"}, {"DE_de", "en_US"},  {"fr", "fr_FR"},
                 {"zh_TW", "zh_CN"},   {"Thai", "th_TH"},   {"US-eng", "en_US"}, {"", "en_US"},
                 {"pt_BR", "pt_PT"},   {"Korean", "ko_KR"}, {"ja", "ja_JP"},     {"Pl", "en_US"},
                 {"Spanish", "es_ES"}, {"polish", "pl_PL"}};
    for (const auto &n : names) EXPECT_STREQ(locale_code(n.name), n.code) << n.name;
    EXPECT_STREQ(locale_time_name("fr_CA"), "French");
    EXPECT_STREQ(locale_code(nullptr), "en_US");
}

// msg_compose into exactly `capacity` bytes: "<status>|<text>|<length>".
std::string compose(LOCALE_DES *des, int32_t number, int32_t capacity, const char *format, ...)
    KAVREL_PRINTF(4, 5);
std::string compose(LOCALE_DES *des, int32_t number, int32_t capacity, const char *format, ...) {
    std::vector<char> dst(static_cast<std::size_t>(capacity));
    va_list values;
    va_start(values, format);
    const int32_t rc = msg_compose(des, dst.data(), &capacity, number, format, values);
    va_end(values);
    return std::to_string(rc) + "|" + dst.data() + "|" + std::to_string(capacity);
}

// Catalogues opened once per locale, component and file, texts composed
// with their values in the catalogue's order, and every failure text.
TEST_F(Core, LocalisedMessages) {
    char errtext[300];
    const auto init = [&](const char *locale, const char *msgdir, const char *component,
                          const char *file, LOCALE_DES **des) {
        const int32_t rc = msg_init(ctx_, locale, msgdir, component, file, des, errtext, 300);
        return std::to_string(rc) + "|" + errtext;
    };
    const std::string l257(257, 'l'), msgdir = dir_ / "cat";
    fs::create_directories(msgdir + "/xx_XX");
    ASSERT_EQ(shell(shell_word(KAVREL_LCUC) + " " +
                    write(dir_ / "c.txt",
                          "100 [%4|%3|%2|%1]\n101 %1 %2 %3 %4 %5 %6 %7 %8 %9.\n"
                          "102 \xC2\xAB%1\xC2\xBB\n200 " +
                              std::string(40, 'q') + "\n201 " + std::string(600, 'L')) +
                    " " + msgdir + "/xx_XX/c.lcu"),
              0);
    LOCALE_DES *des = nullptr, *again = nullptr;
    std::string text;
    const struct {
        const char *locale, *msgdir, *component, *file;
    } opens[] = {{nullptr, nullptr, "k", "k"},
                 {"xx", nullptr, "", "k"},
                 {"xx", nullptr, "k", nullptr},
                 {"xx", nullptr, "k", "k"},
                 {"xx", nullptr, "seventeen chars..", "k"},
                 {"xx", nullptr, "k", l257.c_str()},
                 {l257.c_str(), nullptr, "k", "k"},
                 {"xx_XX", l257.c_str(), "k", "k"},
                 {"xx_XX", "/none", "k", "k"}};
    for (const auto &o : opens) text += init(o.locale, o.msgdir, o.component, o.file, &des) + "\n";
    text += init("xx_XX", nullptr, "k", "k", nullptr) + "\n";
    set_env("ORVANE", KAVREL_SHARE_DIR);
    text += init("fr_FR", nullptr, "KAVREL", "kavrel", &des) + "\n";
    set_env("ORVANE", nullptr);
    text += compose(des, KAVREL_E_NOMEM, 64, "Failed to allocate %d bytes.", 42) + "\n";
    sweep_allocations(
        [&](int) { text += init("xx_XX", msgdir.c_str(), "kavrel", "c", &des) + "\n"; });
    text += init("xx_XX", "/elsewhere", "kavrel", "c", &again) + "\n";
    EXPECT_EQ(again, des);
    EXPECT_EQ(des->refcount, 2);
    LOCALE_DES broken{};
    for (const std::string &s :
         {compose(des, 100, 64, "%s %s %d %s", "one", "two", -3, "four"),
          compose(des, 101, 64, "%d %d %d %d %d %d %d %d %d %d %d", 1, 2, 3, 4, 5, 6, 7, 8, 9, 10,
                  11),
          compose(des, 102, 64, "%s",
                  "Gr\xC3\xBC\xC3\x9F"
                  "e"),
          compose(des, 102, 64, nullptr),
          compose(des, 102, 64, "%s", std::string(9000, 'v').c_str()), compose(des, 200, 41, "x"),
          compose(des, 200, 40, "x"), compose(des, 6, 80, "six"),
          compose(des, 100, 80, "%s %x", "a", 1), compose(des, 0, 64, "plain %s %d%%", "a", 1),
          compose(nullptr, 5, 64, "five %d", 5), compose(&broken, 5, 64, "five %d", 5),
          compose(nullptr, 0, 5, "%s", "abcdefgh")}) {
        text += s + "\n";
    }
    KAVREL_ERR_INFO ei;
    errinfo_begin(ctx_, des, &ei);
    errinfo_add(&ei, KAVREL_SEV_WARNING, 200, "kept %d", 1);
    errinfo_add(&ei, KAVREL_SEV_WARNING, 201, "%s", "English, as the text would not fit");
    errinfo_route(&ei);
    expect_golden("messages.txt", normalise(text + take_lines(), dir_.str()));
}

}  // namespace
