// The locale table and the formatting of times: name matching, English and
// German texts whatever the process's locale, the saved locale name in
// tracked memory, and the relative text for times local time cannot show.
#include <gtest/gtest.h>

#include <locale.h>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <regex>
#include <string>
#include <vector>

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
using kavrel_test::g_handler_result;
using kavrel_test::g_lines;
using kavrel_test::Line;

bool time_locale_installed(const char *name) {
    locale_t made = newlocale(LC_TIME_MASK, name, static_cast<locale_t>(nullptr));
    if (made == static_cast<locale_t>(nullptr)) return false;
    freelocale(made);
    return true;
}

constexpr const char *kGerman = "de_DE.UTF-8";

struct Shown {
    std::time_t t;
    const char *english;
    const char *german;
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
    void set_trace(uint32_t mask) {
        kavrel_set_attr(ctx_, KAVREL_A_TRACE, mask);
        g_lines.clear();
    }

    TempDir dir_;
    KAVREL_CTX *ctx_ = nullptr;
};

TEST(LocaleTable, HoldsTheTenLocalesWithTheirNames) {
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
        SCOPED_TRACE(row.code);
        for (const char *name : {row.code, row.english}) {
            const kavrel::LocaleEntry &entry = kavrel::locale_entry(name);
            EXPECT_STREQ(entry.code, row.code);
            EXPECT_STREQ(entry.english, row.english);
            EXPECT_STREQ(entry.native, row.native);
            EXPECT_STREQ(kavrel::locale_code(name), row.code);
            EXPECT_STREQ(kavrel::locale_time_name(name), row.english);
        }
    }
}

TEST(LocaleTable, MatchesTwoLettersOfTheCodeOrTheEnglishNameInAnyCase) {
    const struct {
        const char *name, *code;
    } cases[] = {
        // The first two characters decide, case significant.
        {"de", "de_DE"},
        {"de_AT", "de_DE"},
        {"fr_CA.UTF-8", "fr_FR"},
        {"pt_BR", "pt_PT"},
        {"zh_TW", "zh_CN"},
        {"deutsch", "de_DE"},
        {"DE_DE", "en_US"},
        {"Fr", "en_US"},
        {"d", "en_US"},
        // English names in any case; native names are not looked at.
        {"german", "de_DE"},
        {"FRENCH", "fr_FR"},
        {"jApAnEsE", "ja_JP"},
        {"Deutsch", "en_US"},
        {"Francais", "en_US"},
        {"Espanol", "en_US"},
        {"Germany", "en_US"},
        // Nothing matches: the default.
        {"US-eng", "en_US"},
        {"xx_XX", "en_US"},
        {"C", "en_US"},
        {"POSIX", "en_US"},
    };
    for (const auto &c : cases) {
        EXPECT_STREQ(kavrel::locale_code(c.name), c.code) << c.name;
    }
}

TEST(LocaleTable, AnEmptyNameUsesTheProcessLocale) {
    std::setlocale(LC_ALL, "C");
    EXPECT_STREQ(kavrel::locale_code(""), "en_US");
    EXPECT_STREQ(kavrel::locale_code(nullptr), "en_US");
    const struct {
        const char *process, *code;
    } cases[] = {{kGerman, "de_DE"}, {"fr_FR.UTF-8", "fr_FR"}};
    for (const auto &c : cases) {
        if (std::setlocale(LC_ALL, c.process) == nullptr) continue;
        EXPECT_STREQ(kavrel::locale_code(""), c.code) << c.process;
        EXPECT_STREQ(kavrel::locale_code(nullptr), c.code) << c.process;
    }
    std::setlocale(LC_ALL, "C");
}

TEST_F(TimeFmt, EnglishWhateverTheProcessLocale) {
    std::vector<const char *> processes = {"C"};
    if (std::setlocale(LC_ALL, kGerman) != nullptr) processes.push_back(kGerman);
    for (const char *process : processes) {
        std::setlocale(LC_ALL, process);
        for (const Shown &s : kTimes) {
            EXPECT_EQ(format("en_US", s.t), s.english) << process;
            EXPECT_EQ(format("English", s.t), s.english) << process;
            EXPECT_STREQ(std::setlocale(LC_TIME, nullptr), process);
        }
    }
}

TEST_F(TimeFmt, GermanNamesForGerman) {
    if (!time_locale_installed(kGerman)) GTEST_SKIP() << kGerman << " is not installed";
    for (const Shown &s : kTimes) {
        EXPECT_EQ(format("de_DE", s.t), s.german);
        EXPECT_EQ(format("german", s.t), s.german);
        // The switch lasts one formatting only.
        EXPECT_EQ(format(nullptr, s.t), s.english);
        EXPECT_STREQ(std::setlocale(LC_TIME, nullptr), "C");
    }
}

TEST_F(TimeFmt, NullLocaleUsesTheCurrentTimeLocaleAndAllocatesNothing) {
    set_trace(KAVREL_TRACE_MEMORY);
    EXPECT_EQ(format(nullptr, kTimes[1].t), kTimes[1].english);
    if (std::setlocale(LC_TIME, kGerman) != nullptr) {
        EXPECT_EQ(format(nullptr, kTimes[1].t), kTimes[1].german);
        // And back from English to the process's German.
        EXPECT_EQ(format("en_US", kTimes[1].t), kTimes[1].english);
        g_lines.clear();  // the saved name's block
        EXPECT_EQ(format(nullptr, kTimes[1].t), kTimes[1].german);
    }
    EXPECT_TRUE(g_lines.empty()) << g_lines[0].text;
}

// The name of the current time locale is saved in one tracked block while
// the time category is switched, and released afterwards.
TEST_F(TimeFmt, ALocaleSavesTheCurrentNameInOneTrackedBlock) {
    std::vector<const char *> processes = {"C"};
    if (std::setlocale(LC_TIME, kGerman) != nullptr) processes.push_back(kGerman);
    const std::regex allocated(
        "\tallocated ([0-9]+) bytes at (0x[0-9a-f]+) \\(req: ([0-9]+), addr: (0x[0-9a-f]+)\\)\n");
    const kavrel::KAVREL_LINK before = ctx_->memory;
    for (const char *process : processes) {
        SCOPED_TRACE(process);
        std::setlocale(LC_TIME, process);
        for (const char *locale : {"en_US", "de_DE", "xx"}) {
            SCOPED_TRACE(locale);
            set_trace(KAVREL_TRACE_MEMORY);
            format(locale, kTimes[0].t);
            ASSERT_EQ(g_lines.size(), 2u);
            std::smatch m;
            ASSERT_TRUE(std::regex_match(g_lines[0].text, m, allocated)) << g_lines[0].text;
            const auto request = static_cast<uint32_t>(std::stoul(m[3]));
            EXPECT_EQ(request, std::strlen(process) + 1);
            EXPECT_EQ(std::stoul(m[1]), ((request + 3) & ~3u) + sizeof(kavrel::KAVREL_MEM));
            EXPECT_EQ(g_lines[1].text, "\tfreed memory at " + m[2].str() + ": req: " + m[3].str() +
                                           ", addr: " + m[4].str() + "\n");
            EXPECT_EQ(ctx_->memory.next, before.next);
            EXPECT_EQ(ctx_->memory.prev, before.prev);
        }
    }
}

TEST_F(TimeFmt, WhenTheNameCannotBeSavedTheLocaleIsNotSwitched) {
    if (!time_locale_installed(kGerman)) GTEST_SKIP() << kGerman << " is not installed";
    kavrel_test_fail_alloc(0, 1);
    EXPECT_EQ(format("de_DE", kTimes[1].t), kTimes[1].english);
    kavrel_test_fail_alloc(0, 0);
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_EQ(g_lines[0].severity, 100);
    EXPECT_EQ(g_lines[0].number, 1000000);
    const auto actual =
        static_cast<uint32_t>(4 + sizeof(kavrel::KAVREL_MEM));  // "C" and its terminator
    EXPECT_EQ(g_lines[0].text,
              "Failed to allocate " + std::to_string(actual) + " bytes of memory.");
    EXPECT_EQ(format("de_DE", kTimes[1].t), kTimes[1].german);
}

// Times so far away that local time cannot hold their year are shown
// relative to now, truncated to whole days.
TEST_F(TimeFmt, UnconvertibleTimesAreShownRelativeToNow) {
    const std::time_t ahead[] = {INT64_MAX, INT64_MAX / 2, INT64_MAX / 100};
    const std::time_t behind[] = {INT64_MIN / 2, -INT64_MAX / 100, INT64_MIN + 4000000000};
    for (const char *locale : {static_cast<const char *>(nullptr), "en_US"}) {
        SCOPED_TRACE(locale == nullptr ? "(null)" : locale);
        for (std::time_t t : ahead) {
            const std::time_t before = std::time(nullptr);
            const std::string shown = format(locale, t);
            const std::time_t after = std::time(nullptr);
            const std::string latest = "in " + std::to_string((t - after) / 86400) + " days";
            const std::string earliest = "in " + std::to_string((t - before) / 86400) + " days";
            EXPECT_TRUE(shown == latest || shown == earliest) << t << ": " << shown;
        }
        for (std::time_t t : behind) {
            const std::time_t before = std::time(nullptr);
            const std::string shown = format(locale, t);
            const std::time_t after = std::time(nullptr);
            const std::string latest = std::to_string((after - t) / 86400) + " days ago";
            const std::string earliest = std::to_string((before - t) / 86400) + " days ago";
            EXPECT_TRUE(shown == latest || shown == earliest) << t << ": " << shown;
        }
        // Too far back even to take the difference from now.
        EXPECT_EQ(format(locale, INT64_MIN), "(time_t=-9223372036854775808)");
    }
}

}  // namespace
