// The locale table and the formatting of times: name matching, English and
// German texts whatever the process's locale, the saved locale name in
// tracked memory, and the relative text for times local time cannot show.
#include <gtest/gtest.h>

#include <locale.h>
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <regex>
#include <string>
#include <utility>

#include "kavrel.h"
#include "kavrel_capture.h"
#include "kavrel_ctx.h"
#include "support/list.h"
#include "support/mem.h"
#include "support/platform.h"
#include "support/timefmt.h"
#include "temp_dir.h"

namespace {

using kavrel_test::capture;
using kavrel_test::g_lines;

constexpr const char *kGerman = "de_DE.UTF-8";

struct Shown {
    std::time_t t;
    const char *english, *german;
};
// Times in UTC (the tests run with TZ=UTC0).
const Shown kTimes[] = {
    {1700000000, "Tue Nov 14 22:13:20 2023", "Di Nov 14 22:13:20 2023"},
    {1709640000, "Tue Mar 05 12:00:00 2024", "Di M\xC3\xA4r 05 12:00:00 2024"},
    {1696150800, "Sun Oct 01 09:00:00 2023", "So Okt 01 09:00:00 2023"},
    {1703980799, "Sat Dec 30 23:59:59 2023", "Sa Dez 30 23:59:59 2023"},
    {0, "Thu Jan 01 00:00:00 1970", "Do Jan 01 00:00:00 1970"},
};

class TimeFmt : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        setenv("TZ", "UTC0", 1);
        tzset();
    }
    void SetUp() override {
        std::setlocale(LC_ALL, "C");
        kavrel_set_attr(nullptr, KAVREL_A_TRACE, 0);
        ASSERT_EQ(kavrel_init(&ctx_, "prod", nullptr, dir_.str().c_str(), nullptr, nullptr, "en_US",
                              nullptr, capture),
                  0u);
        kavrel_set_attr(ctx_, KAVREL_A_TRACE, KAVREL_TRACE_MEMORY);
        g_lines.clear();
    }
    void TearDown() override {
        kavrel_test_fail_alloc(0, 0);
        kavrel_free(&ctx_);
        std::setlocale(LC_ALL, "C");
    }
    std::string format(const char *locale, std::time_t t) {
        char buf[kavrel::kTimeBufSize];
        std::memset(buf, 'x', sizeof buf);
        kavrel::format_time(ctx_, locale, &t, buf);
        EXPECT_NE(std::memchr(buf, '\0', sizeof buf), nullptr);
        return buf;
    }

    TempDir dir_;
    KAVREL_CTX *ctx_ = nullptr;
};

TEST(LocaleTable, FindsTheEntryByItsCodeOrEnglishNameOrTheProcessLocale) {
    const struct {
        const char *code, *english, *native;
    } table[] = {
        {"de_DE", "German", "Deutsch"},  {"en_US", "English", "English"},
        {"es_ES", "Spanish", "Espanol"}, {"fr_FR", "French", "Francais"},
        {"ja_JP", "Japanese", "?"},      {"ko_KR", "Korean", "?"},
        {"pl_PL", "Polish", "?"},        {"pt_PT", "Portuguese", "?"},
        {"th_TH", "Thai", "?"},          {"zh_CN", "Chinese", "?"},
    };
    for (const auto &row : table) {
        for (const char *name : {row.code, row.english}) {
            const kavrel::LocaleEntry &entry = kavrel::locale_entry(name);
            EXPECT_STREQ(entry.code, row.code) << name;
            EXPECT_STREQ(entry.english, row.english) << name;
            EXPECT_STREQ(entry.native, row.native) << name;
            EXPECT_STREQ(kavrel::locale_code(name), row.code) << name;
            EXPECT_STREQ(kavrel::locale_time_name(name), row.english) << name;
        }
    }
    // Two letters decide, case significant; English names in any case;
    // native names are not looked at; nothing matching gives en_US.
    const struct {
        const char *name, *code;
    } cases[] = {
        {"de", "de_DE"},      {"de_AT", "de_DE"},    {"fr_CA.UTF-8", "fr_FR"},
        {"pt_BR", "pt_PT"},   {"zh_TW", "zh_CN"},    {"deutsch", "de_DE"},
        {"DE_DE", "en_US"},   {"Fr", "en_US"},       {"d", "en_US"},
        {"german", "de_DE"},  {"FRENCH", "fr_FR"},   {"jApAnEsE", "ja_JP"},
        {"Deutsch", "en_US"}, {"Francais", "en_US"}, {"Espanol", "en_US"},
        {"Germany", "en_US"}, {"US-eng", "en_US"},   {"xx_XX", "en_US"},
        {"C", "en_US"},       {"POSIX", "en_US"},
    };
    for (const auto &c : cases) EXPECT_STREQ(kavrel::locale_code(c.name), c.code) << c.name;

    // An empty name stands for the process's locale.
    for (const auto &[process, code] : {std::pair{"C", "en_US"}, std::pair{kGerman, "de_DE"},
                                        std::pair{"fr_FR.UTF-8", "fr_FR"}}) {
        if (std::setlocale(LC_ALL, process) == nullptr) continue;
        EXPECT_STREQ(kavrel::locale_code(""), code) << process;
        EXPECT_STREQ(kavrel::locale_code(nullptr), code) << process;
    }
    std::setlocale(LC_ALL, "C");
}

// Each formatting with a locale switches the time locale for that
// formatting only, saving the current name in one tracked block; a null
// locale uses the current time locale and allocates nothing. German texts
// need the German locale installed: without it the switch fails quietly and
// the current locale is used.
TEST_F(TimeFmt, ShowsTimesInTheLocaleAskedForWhateverTheProcessLocale) {
    const bool german = std::setlocale(LC_ALL, kGerman) != nullptr;
    const std::regex allocated(
        "\tallocated ([0-9]+) bytes at (0x[0-9a-f]+) \\(req: ([0-9]+), addr: (0x[0-9a-f]+)\\)\n");
    const kavrel::KAVREL_LINK before = ctx_->memory;
    for (const char *process : {"C", kGerman}) {
        if (std::setlocale(LC_ALL, process) == nullptr) continue;
        for (const char *locale :
             {"en_US", "English", "xx", "de_DE", "german", static_cast<const char *>(nullptr)}) {
            const std::string asked = locale == nullptr ? process : locale;
            SCOPED_TRACE(std::string(process) + " " + (locale ? locale : "(null)"));
            const bool in_german =
                asked == kGerman || (german && (asked == "de_DE" || asked == "german"));
            for (const Shown &s : kTimes) {
                g_lines.clear();
                EXPECT_EQ(format(locale, s.t), in_german ? s.german : s.english);
                EXPECT_STREQ(std::setlocale(LC_TIME, nullptr), process);
                if (locale == nullptr) {
                    EXPECT_TRUE(g_lines.empty()) << g_lines[0].text;
                    continue;
                }
                ASSERT_EQ(g_lines.size(), 2u);
                std::smatch m;
                ASSERT_TRUE(std::regex_match(g_lines[0].text, m, allocated)) << g_lines[0].text;
                const auto request = static_cast<uint32_t>(std::stoul(m[3]));
                EXPECT_EQ(request, std::strlen(process) + 1);
                EXPECT_EQ(std::stoul(m[1]), ((request + 3) & ~3u) + sizeof(kavrel::KAVREL_MEM));
                EXPECT_EQ(g_lines[1].text, "\tfreed memory at " + m[2].str() + ": req: " +
                                               m[3].str() + ", addr: " + m[4].str() + "\n");
                EXPECT_TRUE(ctx_->memory.next == before.next && ctx_->memory.prev == before.prev);
            }
        }
    }
}

TEST_F(TimeFmt, WhenTheNameCannotBeSavedTheLocaleIsNotSwitched) {
    if (std::setlocale(LC_TIME, kGerman) == nullptr) GTEST_SKIP() << kGerman << " is missing";
    std::setlocale(LC_TIME, "C");
    kavrel_test_fail_alloc(0, 1);
    EXPECT_EQ(format("de_DE", kTimes[1].t), kTimes[1].english);
    kavrel_test_fail_alloc(0, 0);
    ASSERT_EQ(g_lines.size(), 1u);
    // "C" and its terminator, rounded, plus the header.
    EXPECT_EQ(g_lines[0], (kavrel_test::Line{100, 1000000,
                                             "Failed to allocate " +
                                                 std::to_string(4 + sizeof(kavrel::KAVREL_MEM)) +
                                                 " bytes of memory."}));
    EXPECT_EQ(format("de_DE", kTimes[1].t), kTimes[1].german);
}

// Times so far away that local time cannot hold their year are shown
// relative to now, truncated to whole days; too far back even to take the
// difference from now, the number itself.
TEST_F(TimeFmt, UnconvertibleTimesAreShownRelativeToNow) {
    const auto relative = [](std::time_t t, std::time_t now) {
        const std::string days = std::to_string((t > now ? t - now : now - t) / 86400);
        return t > now ? "in " + days + " days" : days + " days ago";
    };
    for (const char *locale : {static_cast<const char *>(nullptr), "en_US"}) {
        SCOPED_TRACE(locale == nullptr ? "(null)" : locale);
        for (std::time_t t : {INT64_MAX, INT64_MAX / 2, INT64_MAX / 100, INT64_MIN / 2,
                              -INT64_MAX / 100, INT64_MIN + 4000000000}) {
            const std::time_t before = std::time(nullptr);
            const std::string shown = format(locale, t);
            const std::time_t after = std::time(nullptr);
            EXPECT_TRUE(shown == relative(t, before) || shown == relative(t, after))
                << t << ": " << shown;
        }
        EXPECT_EQ(format(locale, INT64_MIN), "(time_t=-9223372036854775808)");
    }
}

}  // namespace
