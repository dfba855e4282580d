// The catalogue compiler: its source format, its errors, and the files it
// writes being read back by the library.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "i18n.h"
#include "lcu_compile.h"
#include "temp_dir.h"

namespace {

TEST(LcuSource, RefusesBadLinesNamingThem) {
    const std::string escape = "unknown escape (use \\n, \\t, \\s, \\\\, \\uXXXX or \\UXXXXXXXX)";
    const std::string range = "message number out of range (1 to 2147483647)";
    std::string too_many;
    for (int n = 1; n <= 65536; ++n) too_many += std::to_string(n) + " x\n";
    const std::pair<std::string, std::string> cases[] = {
        {"1 a\n2 b\n1 c\n", "line 3: duplicate message number 1 (first on line 1)"},
        {"# c\n\n5 caf\xC3\n", "line 3: invalid UTF-8 sequence"},
        {"5 \xC0\x80\n", "line 1: invalid UTF-8 sequence"},          // overlong
        {"5 \xED\xA0\x80\n", "line 1: invalid UTF-8 sequence"},      // surrogate
        {"5 \xF4\x90\x80\x80\n", "line 1: invalid UTF-8 sequence"},  // above U+10FFFF
        {"5 \xE2\x82\n", "line 1: invalid UTF-8 sequence"},          // cut short
        {"0 zero\n", "line 1: " + range},
        {"2147483648 x\n", "line 1: " + range},
        {"99999999999999999999 x\n", "line 1: " + range},
        {"x 1\n", "line 1: expected a message number at the start of the line"},
        {"12x\n", "line 1: expected a space after the number"},
        {"12\n", "line 1: expected a space after the number"},
        {"12   \n", "line 1: the message has no text"},
        {"12 a\\qb\n", "line 1: " + escape},
        {"12 a\\\n", "line 1: " + escape},
        {"12 \\uD800\n", "line 1: invalid \\u or \\U escape"},
        {"12 \\u12\n", "line 1: invalid \\u or \\U escape"},
        {"12 \\U00110000\n", "line 1: invalid \\u or \\U escape"},
        {"12 \\u0000\n", "line 1: invalid \\u or \\U escape"},
        {"1 " + std::string(8192, 'x'), "line 1: the text is longer than 8191 UTF-16 units"},
        {too_many, "line 65536: more than 65535 messages"},
    };
    for (const auto &[source, want] : cases) {
        std::vector<lcu::Message> messages;
        std::string error;
        EXPECT_FALSE(lcu::parse_source(source, messages, error)) << source.substr(0, 40);
        EXPECT_EQ(error, want);
    }
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
        "10 " +
        std::string(8191, 'x') + "\n2147483647 last";
    std::vector<lcu::Message> messages;
    std::string error;
    ASSERT_TRUE(lcu::parse_source(source, messages, error)) << error;
    std::vector<std::tuple<uint32_t, std::u16string, int>> got;
    for (const auto &m : messages) got.emplace_back(m.number, m.text, m.line);
    EXPECT_EQ(got, (decltype(got){
                       {131229, u"Konnte %1 Bytes nicht zuteilen.", 4},
                       {7, u" leading and trailing ", 5},
                       {8, u"two\nlines, a \\ and a tab\t", 6},
                       {9, u"\u00E9 \xD83D\xDE00 \u20AC %% # not a comment", 7},
                       {10, std::u16string(8191, u'x'), 8},
                       {2147483647, u"last", 9},
                   }));
}

// A read handle on dir/name.lcu.
I18N_HANDLE *open_catalogue(const TempDir &dir, const char16_t *name) {
    const I18N_FILE_SPEC spec{1, 0, I18N_LOC_DIR};
    I18N_HANDLE *h = nullptr;
    EXPECT_EQ(i18nuni_HandleGet(u"c", dir.u16().c_str(), name, &spec, &h), 1);
    EXPECT_EQ(i18nuni_FileOpen(h, I18N_MODE_READ), 1);
    return h;
}

// Runs the lcuc program; returns its exit status and standard error.
int run_lcuc(const std::string &args, const TempDir &dir, std::string &err) {
    const char *lcuc = std::getenv("LCUC");
    if (lcuc == nullptr) return -1;
    const std::filesystem::path log = dir.path() / "stderr.txt";
    const int status = std::system((std::string(lcuc) + " " + args + " 2>" + log.string()).c_str());
    std::stringstream text;
    text << std::ifstream(log, std::ios::binary).rdbuf();
    err = text.str();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(LcucProgram, WritesACatalogueTheLibraryReads) {
    TempDir dir;
    const std::string d = dir.str();
    dir.write("de.txt", "2 zwei\n1 eins %1\n300 gro\xC3\x9F\n");
    std::string err;
    ASSERT_EQ(run_lcuc(d + "/de.txt " + d + "/msgs.lcu", dir, err), 0) << err;
    EXPECT_EQ(err, "");
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "msgs.lcu.tmp"));
    I18N_HANDLE *h = open_catalogue(dir, u"msgs");
    char16_t out[32];
    for (const auto &[number, text] :
         {std::pair<int32_t, std::u16string>{1, u"eins %1"}, {2, u"zwei"}, {300, u"gro\u00DF"}}) {
        ASSERT_EQ(i18nuni_LookupByKeyNum(h, number, out, 32), 1);
        EXPECT_EQ(std::u16string(out), text);
    }
    // A bad source writes nothing; the error names the file and the line.
    dir.write("bad.txt", "1 ok\n1 again\n");
    EXPECT_EQ(run_lcuc(d + "/bad.txt " + d + "/bad.lcu", dir, err), 1);
    EXPECT_EQ(err,
              "lcuc: " + d + "/bad.txt:line 2: duplicate message number 1 (first on line 1)\n");
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "bad.lcu"));
    EXPECT_EQ(run_lcuc(d + "/missing.txt " + d + "/x.lcu", dir, err), 1);
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
    I18N_HANDLE *h = open_catalogue(dir, u"big");
    char16_t out[8];
    for (const lcu::Message &m : messages) {
        ASSERT_EQ(i18nuni_LookupByKeyNum(h, int32_t(m.number), out, 8), 1);
        ASSERT_EQ(std::u16string(out), m.text);
    }
    EXPECT_EQ(i18nuni_LookupByKeyNum(h, 8, out, 8), -469);
    EXPECT_EQ(i18nuni_LookupByKey(h, u"00000007", out, 8), 1);  // the key text of a number
    EXPECT_EQ(std::u16string(out), messages[0].text);
}

}  // namespace
