// The catalogue compiler: its source format, its errors, and the files it
// writes being read back by the library.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "i18n.h"
#include "lcu_compile.h"
#include "temp_dir.h"

namespace {

TEST(LcuSource, RefusesBadLinesNamingThem) {
    struct {
        const char *source, *error;
    } cases[] = {
        {"1 a\n2 b\n1 c\n", "line 3: duplicate message number 1 (first on line 1)"},
        {"# c\n\n5 caf\xC3\n", "line 3: invalid UTF-8 sequence"},
        {"5 \xC0\x80\n", "line 1: invalid UTF-8 sequence"},          // overlong
        {"5 \xED\xA0\x80\n", "line 1: invalid UTF-8 sequence"},      // surrogate
        {"5 \xF4\x90\x80\x80\n", "line 1: invalid UTF-8 sequence"},  // above U+10FFFF
        {"5 \xE2\x82\n", "line 1: invalid UTF-8 sequence"},          // cut short
        {"0 zero\n", "line 1: message number out of range (1 to 2147483647)"},
        {"2147483648 x\n", "line 1: message number out of range (1 to 2147483647)"},
        {"99999999999999999999 x\n", "line 1: message number out of range (1 to 2147483647)"},
        {"x 1\n", "line 1: expected a message number at the start of the line"},
        {"-5 x\n", "line 1: expected a message number at the start of the line"},
        {"12x\n", "line 1: expected a space after the number"},
        {"12\n", "line 1: expected a space after the number"},
        {"12   \n", "line 1: the message has no text"},
        {"12 a\\qb\n", "line 1: unknown escape (use \\n, \\t, \\s, \\\\, \\uXXXX or \\UXXXXXXXX)"},
        {"12 a\\\n", "line 1: unknown escape (use \\n, \\t, \\s, \\\\, \\uXXXX or \\UXXXXXXXX)"},
        {"12 \\uD800\n", "line 1: invalid \\u or \\U escape"},
        {"12 \\u12\n", "line 1: invalid \\u or \\U escape"},
        {"12 \\U00110000\n", "line 1: invalid \\u or \\U escape"},
        {"12 \\u0000\n", "line 1: invalid \\u or \\U escape"},
    };
    for (const auto &c : cases) {
        std::vector<lcu::Message> messages;
        std::string error;
        EXPECT_FALSE(lcu::parse_source(c.source, messages, error)) << c.source;
        EXPECT_EQ(error, c.error);
    }
}

TEST(LcuSource, RefusesOverlongTexts) {
    std::vector<lcu::Message> messages;
    std::string error;
    EXPECT_TRUE(lcu::parse_source("1 " + std::string(8191, 'x'), messages, error));
    EXPECT_FALSE(lcu::parse_source("1 " + std::string(8192, 'x'), messages, error));
    EXPECT_EQ(error, "line 1: the text is longer than 8191 UTF-16 units");
}

TEST(LcuSource, ReadsTextsAsATranslatorWritesThem) {
    const std::string source =
        "\xEF\xBB\xBF# German messages\r\n"
        "\r\n"
        "   # an indented comment\n"
        "131229\tKonnte %1 Bytes nicht zuteilen.  \r\n"
        "7  \\sleading and trailing\\s\n"
        "8 two\\nlines, a \\\\ and a tab\\t\n"
        "9 \\u00E9 \\U0001F600 \xE2\x82\xAC %% # not a comment\n"
        "2147483647 last";
    std::vector<lcu::Message> m;
    std::string error;
    ASSERT_TRUE(lcu::parse_source(source, m, error)) << error;
    ASSERT_EQ(m.size(), 5u);
    EXPECT_EQ(m[0].number, 131229u);
    EXPECT_EQ(m[0].text, u"Konnte %1 Bytes nicht zuteilen.");
    EXPECT_EQ(m[0].line, 4);
    EXPECT_EQ(m[1].text, u" leading and trailing ");
    EXPECT_EQ(m[2].text, u"two\nlines, a \\ and a tab\t");
    EXPECT_EQ(m[3].text, u"\u00E9 \xD83D\xDE00 \u20AC %% # not a comment");
    EXPECT_EQ(m[4].number, 2147483647u);
}

std::string read_file(const std::filesystem::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs the lcuc program; returns its exit status and standard error.
int run_lcuc(const std::string &args, const TempDir &dir, std::string &err) {
    const char *lcuc = std::getenv("LCUC");
    if (lcuc == nullptr) return -1;
    const std::filesystem::path log = dir.path() / "stderr.txt";
    const int status = std::system((std::string(lcuc) + " " + args + " 2>" + log.string()).c_str());
    err = read_file(log);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(LcucProgram, WritesACatalogueTheLibraryReads) {
    TempDir dir;
    dir.write("de.txt",
              "2 zwei\n1 eins %1\n300 Stra\xC3\x9F"
              "e\n");
    std::string err;
    ASSERT_EQ(run_lcuc(dir.str() + "/de.txt " + dir.str() + "/msgs.lcu", dir, err), 0) << err;
    EXPECT_EQ(err, "");
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "msgs.lcu.tmp"));

    I18N_FILE_SPEC spec;
    i18nuni_FileSpecInit(&spec);
    spec.location = I18N_LOC_DIR;
    I18N_HANDLE *h = nullptr;
    ASSERT_EQ(i18nuni_HandleGet(u"c", dir.u16().c_str(), u"msgs", &spec, &h), 1);
    ASSERT_EQ(i18nuni_FileOpen(h, I18N_MODE_READ), 1);
    char16_t out[32];
    const std::pair<int32_t, std::u16string> want[] = {
        {1, u"eins %1"}, {2, u"zwei"}, {300, u"Stra\u00DFe"}};
    for (const auto &[number, text] : want) {
        ASSERT_EQ(i18nuni_LookupByKeyNum(h, number, out, 32), 1);
        EXPECT_EQ(std::u16string(out), text);
    }
}

TEST(LcucProgram, WritesNothingForABadSource) {
    TempDir dir;
    dir.write("bad.txt", "1 ok\n1 again\n");
    std::string err;
    EXPECT_EQ(run_lcuc(dir.str() + "/bad.txt " + dir.str() + "/bad.lcu", dir, err), 1);
    EXPECT_EQ(err, "lcuc: " + dir.str() +
                       "/bad.txt:line 2: duplicate message number 1 (first on line 1)\n");
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "bad.lcu"));
    EXPECT_EQ(run_lcuc(dir.str() + "/missing.txt " + dir.str() + "/x.lcu", dir, err), 1);
    EXPECT_EQ(run_lcuc("", dir, err), 2);
}

// A full catalogue: 65535 messages across 1024 pages, each found again.
TEST(LcuCatalogue, LargestCatalogueRoundTrips) {
    std::vector<lcu::Message> messages;
    for (uint32_t n = 1; n <= lcu::kMaxMessages; ++n) {
        messages.push_back({n * 7, u"m" + std::u16string(1, char16_t(0x4E00 + n % 100)), 0});
    }
    TempDir dir;
    dir.write("big.lcu", lcu::build_catalogue(messages, u"big"));
    I18N_FILE_SPEC spec;
    i18nuni_FileSpecInit(&spec);
    spec.location = I18N_LOC_DIR;
    I18N_HANDLE *h = nullptr;
    ASSERT_EQ(i18nuni_HandleGet(u"c", dir.u16().c_str(), u"big", &spec, &h), 1);
    ASSERT_EQ(i18nuni_FileOpen(h, I18N_MODE_READ), 1);
    char16_t out[8];
    for (const lcu::Message &m : messages) {
        ASSERT_EQ(i18nuni_LookupByKeyNum(h, int32_t(m.number), out, 8), 1);
        ASSERT_EQ(std::u16string(out), m.text);
    }
    EXPECT_EQ(i18nuni_LookupByKeyNum(h, 8, out, 8), -469);
}

}  // namespace
