// Localised message lookup: opening catalogues once per locale, component
// and message file, composing texts with their values in the catalogue's
// order, every failure text, and a French context end to end.
//
// Catalogue descriptors live for the whole process and are never freed, so
// each test opens catalogues under names of its own.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "diag/errinfo.h"
#include "diag/msg.h"
#include "diag/route.h"
#include "kavrel.h"
#include "kavrel_capture.h"
#include "kavrel_ctx.h"
#include "support/platform.h"
#include "temp_dir.h"

using namespace kavrel;

namespace {

using kavrel_test::capture;
using kavrel_test::fmt;
using kavrel_test::g_handler_result;
using kavrel_test::g_lines;
using kavrel_test::Line;

std::string share_dir() {
    const char *share = std::getenv("KAVREL_SHARE");
    return share == nullptr ? std::string() : std::string(share);
}

// The catalogue compiler: $LCUC, else the one built next to the share
// directory (<build>/share/kavrel and <build>/tools/lcuc).
std::string lcuc() {
    if (const char *path = std::getenv("LCUC")) return path;
    return (std::filesystem::path(share_dir()) / ".." / ".." / "tools" / "lcuc").string();
}

// msg_compose given no format at all.
int32_t compose_without_format(LOCALE_DES *des, char *dst, int32_t *size, int32_t number, ...) {
    const char *none = nullptr;
    va_list values;
    va_start(values, number);
    const int32_t rc = msg_compose(des, dst, size, number, none, values);
    va_end(values);
    return rc;
}

// Compiles `source` into <dir>/<locale>/<file>.lcu, where msg_init with
// msgdir <dir> looks for it.
void compile(const TempDir &dir, const std::string &locale, const std::string &file,
             const std::string &source) {
    std::filesystem::create_directories(dir.path() / locale);
    const std::filesystem::path src = dir.write(file + ".txt", source);
    const std::filesystem::path out = dir.path() / locale / (file + ".lcu");
    const std::string command = "'" + lcuc() + "' '" + src.string() + "' '" + out.string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    ASSERT_TRUE(std::filesystem::exists(out));
}

// Saves ORVTEST and ORVANE and puts them back afterwards.
class RootVariables {
  public:
    RootVariables() {
        save("ORVTEST", orvtest_);
        save("ORVANE", orvane_);
    }
    ~RootVariables() {
        restore("ORVTEST", orvtest_);
        restore("ORVANE", orvane_);
    }
    RootVariables(const RootVariables &) = delete;
    RootVariables &operator=(const RootVariables &) = delete;

    static void set(const char *name, const char *value) {
        if (value == nullptr) {
            unsetenv(name);
        } else {
            setenv(name, value, 1);
        }
    }

  private:
    static void save(const char *name, std::pair<bool, std::string> &to) {
        const char *v = std::getenv(name);
        to = {v != nullptr, v == nullptr ? "" : v};
    }
    static void restore(const char *name, const std::pair<bool, std::string> &from) {
        set(name, from.first ? from.second.c_str() : nullptr);
    }
    std::pair<bool, std::string> orvtest_, orvane_;
};

class MsgTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_lines.clear();
        g_handler_result = 0;
        ASSERT_EQ(kavrel_init(&ctx_, "Msg", nullptr, dir_.str().c_str(), nullptr, nullptr, "en_US",
                              nullptr, capture),
                  0u);
        g_lines.clear();
    }
    void TearDown() override {
        kavrel_test_fail_alloc(0, 0);
        g_handler_result = 0;
        kavrel_free(&ctx_);
    }

    // Compiles a catalogue of this test's own and opens it.
    LOCALE_DES *open(const std::string &file, const std::string &source) {
        compile(cat_, "xx_XX", file, source);
        LOCALE_DES *des = nullptr;
        char errtext[512] = "";
        EXPECT_EQ(msg_init(ctx_, "xx_XX", cat_.str().c_str(), "kavrel", file.c_str(), &des, errtext,
                           sizeof errtext),
                  0)
            << errtext;
        return des;
    }

    TempDir dir_;
    TempDir cat_;
    KAVREL_CTX *ctx_ = nullptr;
};

TEST_F(MsgTest, InitChecksItsArgumentsInOrder) {
    const struct {
        const char *locale;
        const char *component;
        const char *msgfile;
        bool no_out;
        const char *name;
    } cases[] = {
        {nullptr, "kavrel", "kavrel", false, "locale"},
        {"", "kavrel", "kavrel", false, "locale"},
        {"fr_FR", "", "kavrel", false, "component"},
        {"fr_FR", nullptr, "kavrel", false, "component"},
        {"fr_FR", "kavrel", "", false, "msgfile"},
        {"fr_FR", "kavrel", nullptr, false, "msgfile"},
        {"fr_FR", "kavrel", "kavrel", true, "msg_ctx pointer"},
        {"", "", "", true, "locale"},
        {"fr_FR", "", nullptr, true, "component"},
    };
    LOCALE_DES untouched{};
    for (const auto &c : cases) {
        LOCALE_DES *des = &untouched;
        char errtext[512] = "";
        EXPECT_EQ(msg_init(ctx_, c.locale, nullptr, c.component, c.msgfile,
                           c.no_out ? nullptr : &des, errtext, sizeof errtext),
                  1000000);
        EXPECT_EQ(std::string(errtext),
                  fmt("Programming Error: NULL %s specified to msg_init", c.name));
        EXPECT_EQ(des, &untouched);
    }
    EXPECT_TRUE(g_lines.empty()) << "failures are texts, not messages";
}

TEST_F(MsgTest, SameNamesShareOneDescriptorWhateverTheDirectory) {
    LOCALE_DES *first = open("shared", "1 one\n");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->magic, LOCALE_DES_MAGIC);
    EXPECT_STREQ(first->locale, "xx_XX");
    EXPECT_STREQ(first->component, "kavrel");
    EXPECT_STREQ(first->msgfile, "shared");
    EXPECT_EQ(first->refcount, 1);

    // Another directory (holding nothing), then none at all: the descriptor
    // is found by its names before any file is looked at.
    TempDir empty;
    const std::string empty_dir = empty.str();
    int32_t count = 1;
    for (const char *msgdir : {empty_dir.c_str(), static_cast<const char *>(nullptr)}) {
        LOCALE_DES *again = nullptr;
        char errtext[512] = "";
        ASSERT_EQ(
            msg_init(ctx_, "xx_XX", msgdir, "kavrel", "shared", &again, errtext, sizeof errtext), 0)
            << errtext;
        EXPECT_EQ(again, first);
        EXPECT_EQ(first->refcount, ++count);
    }

    // A different component is another descriptor, even for the same file.
    LOCALE_DES *other = nullptr;
    char errtext[512] = "";
    ASSERT_EQ(msg_init(ctx_, "xx_XX", cat_.str().c_str(), "other", "shared", &other, errtext,
                       sizeof errtext),
              0)
        << errtext;
    EXPECT_NE(other, first);
    EXPECT_EQ(other->refcount, 1);
    EXPECT_EQ(first->refcount, 3);
}

TEST_F(MsgTest, DescriptorOutlivesTheContextThatMadeIt) {
    LOCALE_DES *des = open("outlives", "7 sept %1\n");
    ASSERT_NE(des, nullptr);
    kavrel_free(&ctx_);
    ASSERT_EQ(kavrel_init(&ctx_, "Msg2", nullptr, dir_.str().c_str(), nullptr, nullptr, "en_US",
                          nullptr, capture),
              0u);
    LOCALE_DES *found = nullptr;
    char errtext[512] = "";
    ASSERT_EQ(
        msg_init(ctx_, "xx_XX", nullptr, "kavrel", "outlives", &found, errtext, sizeof errtext), 0)
        << errtext;
    EXPECT_EQ(found, des);
    EXPECT_EQ(des->refcount, 2);
    char text[64];
    int32_t size = sizeof text;
    EXPECT_EQ(msg_composef(found, text, &size, 7, "seven %d", 7), 0);
    EXPECT_STREQ(text, "sept 7");
}

// The two ways a catalogue that is not there can be reported.
void expect_missing(const std::string &errtext, int32_t rc, const std::string &path) {
    EXPECT_NE(rc, 0);
    EXPECT_NE(rc, 1);
    const std::string by_handle =
        fmt("Failed to get a Verblib handle for the localised message file '%s' "
            "(i18nuni_HandleGet returned %d)",
            path.c_str(), rc);
    const std::string by_open =
        fmt("Failed to open the localised message file '%s' (i18nuni_FileOpen returned %d)",
            path.c_str(), rc);
    EXPECT_TRUE(errtext == by_handle || errtext == by_open) << errtext;
}

// Runs before the tests below that open the installed fr_FR catalogue, for
// when all tests share one process.
TEST_F(MsgTest, MissingCatalogueBelowTheRootNamesTheRootVariable) {
    RootVariables saved;
    TempDir empty_root;
    RootVariables::set("ORVTEST", nullptr);
    RootVariables::set("ORVANE", empty_root.str().c_str());
    LOCALE_DES untouched{};
    LOCALE_DES *des = &untouched;
    char errtext[512] = "";
    const int32_t rc =
        msg_init(ctx_, "fr_FR", nullptr, "kavrel", "kavrel", &des, errtext, sizeof errtext);
    expect_missing(errtext, rc, "%ORVANE%/locales/unicode/kavrel/fr_fr/kavrel.lcu");
    EXPECT_EQ(des, nullptr);
    EXPECT_TRUE(g_lines.empty());
}

TEST_F(MsgTest, MissingCatalogueInMsgdirNamesTheDirectory) {
    TempDir empty;
    LOCALE_DES *des = nullptr;
    char errtext[512] = "";
    const int32_t rc = msg_init(ctx_, "XX_Yy", empty.str().c_str(), "kavrel", "missing", &des,
                                errtext, sizeof errtext);
    expect_missing(errtext, rc, empty.str() + "/xx_yy/missing.lcu");
    EXPECT_EQ(des, nullptr);
}

TEST_F(MsgTest, NamesThatDoNotFitAreRefused) {
    const std::string c17(17, 'c'), f257(257, 'f'), l257(257, 'l');
    const struct {
        const char *locale;
        const char *component;
        const char *msgfile;
        const char *text;
    } cases[] = {
        {"xx_XX", c17.c_str(), "kavrel", "Failed to convert ASCII component name to UNICODE"},
        {"xx_XX", "kavrel", f257.c_str(), "Failed to convert ASCII filename to UNICODE"},
        {l257.c_str(), "kavrel", "kavrel", "Failed to convert ASCII language name to UNICODE"},
    };
    for (const auto &c : cases) {
        LOCALE_DES *des = nullptr;
        char errtext[512] = "";
        EXPECT_EQ(msg_init(ctx_, c.locale, nullptr, c.component, c.msgfile, &des, errtext,
                           sizeof errtext),
                  -1327);
        EXPECT_STREQ(errtext, c.text);
        EXPECT_EQ(des, nullptr);
    }
}

TEST_F(MsgTest, DescriptorAllocationFailure) {
    compile(cat_, "xx_XX", "nomem", "1 one\n");
    LOCALE_DES *des = nullptr;
    char errtext[512] = "";
    kavrel_test_fail_alloc(0, 1);
    const int32_t rc = msg_init(ctx_, "xx_XX", cat_.str().c_str(), "kavrel", "nomem", &des, errtext,
                                sizeof errtext);
    kavrel_test_fail_alloc(0, 0);
    EXPECT_EQ(rc, 131112);
    EXPECT_EQ(std::string(errtext), fmt("Failed to allocate %d bytes for a locale descriptor.",
                                        static_cast<int>(sizeof(LOCALE_DES))));
    EXPECT_EQ(des, nullptr);
}

TEST_F(MsgTest, ComposeWithoutNumberOrCatalogueIsPlainFormatting) {
    LOCALE_DES *des = open("plain", "5 cinq\n");
    ASSERT_NE(des, nullptr);
    char text[64];
    int32_t size = sizeof text;
    EXPECT_EQ(msg_composef(des, text, &size, 0, "plain %s %d%%", "a", 1), 0);
    EXPECT_STREQ(text, "plain a 1%");
    EXPECT_EQ(size, 10);

    size = sizeof text;
    EXPECT_EQ(msg_composef(nullptr, text, &size, 5, "five %d", 5), 0);
    EXPECT_STREQ(text, "five 5");
    EXPECT_EQ(size, 6);

    // A cut text: what fits, and a negative length.
    size = 5;
    EXPECT_EQ(msg_composef(nullptr, text, &size, 0, "%s", "abcdefgh"), 0);
    EXPECT_STREQ(text, "abcd");
    EXPECT_LT(size, 0);

    // Not a descriptor: formatted all the same, but reported.
    LOCALE_DES broken{};
    size = sizeof text;
    EXPECT_EQ(msg_composef(&broken, text, &size, 5, "five %d", 5), 1000000);
    EXPECT_STREQ(text, "five 5");
}

TEST_F(MsgTest, NumberTheCatalogueLacks) {
    LOCALE_DES *des = open("lacks", "5 cinq\n");
    ASSERT_NE(des, nullptr);
    char text[256];
    int32_t size = sizeof text;
    const int32_t rc = msg_composef(des, text, &size, 6, "six %d", 6);
    EXPECT_NE(rc, 0);
    EXPECT_EQ(
        std::string(text),
        fmt("Failed to find localised error message (i18nuni_LookupByKeyNum returned %d)", rc));
}

TEST_F(MsgTest, ValuesAreTakenInTheFormatsOrderAndPlacedByTheCatalogue) {
    LOCALE_DES *des = open("order",
                           "100 [%4|%3|%2|%1]\n"
                           "101 %1 %2 %3 %4 %5 %6 %7 %8 %9.\n"
                           "102 no values\n");
    ASSERT_NE(des, nullptr);
    char text[256];
    int32_t size = sizeof text;
    EXPECT_EQ(msg_composef(des, text, &size, 100, "%s %s %d %s", "one", "two", -3, "four"), 0);
    EXPECT_STREQ(text, "[four|-3|two|one]");
    EXPECT_EQ(size, 17);

    size = sizeof text;
    EXPECT_EQ(msg_composef(des, text, &size, 101, "%d %d %d %d %d %d %d %d %d %d %d", 1, 2, 3, 4, 5,
                           6, 7, 8, 9, 10, 11),
              0);
    EXPECT_STREQ(text, "1 2 3 4 5 6 7 8 9.");

    size = sizeof text;
    EXPECT_EQ(msg_composef(des, text, &size, 102, "English %s", "ignored"), 0);
    EXPECT_STREQ(text, "no values");
    size = sizeof text;
    EXPECT_EQ(compose_without_format(des, text, &size, 102), 0);
    EXPECT_STREQ(text, "no values");
}

TEST_F(MsgTest, NonAsciiTextAndValuesArriveIntact) {
    LOCALE_DES *des = open("utf8", "104 \xC2\xAB%1\xC2\xBB et %2\n");
    ASSERT_NE(des, nullptr);
    char text[256];
    int32_t size = sizeof text;
    EXPECT_EQ(msg_composef(des, text, &size, 104, "%s and %s",
                           "Gr\xC3\xBC\xC3\x9F"
                           "e \xE2\x82\xAC",
                           "\xE6\x97\xA5\xE6\x9C\xAC"),
              0);
    const std::string expected =
        "\xC2\xAB"
        "Gr\xC3\xBC\xC3\x9F"
        "e \xE2\x82\xAC\xC2\xBB et \xE6\x97\xA5\xE6\x9C\xAC";
    EXPECT_EQ(std::string(text), expected);
    EXPECT_EQ(size, static_cast<int32_t>(expected.size()));
}

TEST_F(MsgTest, TextLongerThanTheDestinationFails) {
    const std::string forty(40, 'q');
    LOCALE_DES *des = open("long", "200 " + forty + "\n201 " + std::string(600, 'L') + "\n");
    ASSERT_NE(des, nullptr);
    char text[64];
    int32_t size = 41;
    EXPECT_EQ(msg_composef(des, text, &size, 200, "short"), 0);
    EXPECT_EQ(std::string(text), forty);
    EXPECT_EQ(size, 40);

    size = 40;
    const int32_t rc = msg_composef(des, text, &size, 200, "short");
    EXPECT_LT(rc, 0);
    const std::string failure = fmt(
        "Failed to convert a localised error message to UTF-8 (uniutf8_unistrToUTF8 returned %d)",
        rc);
    EXPECT_EQ(std::string(text), failure.substr(0, 39));

    // A message keeps the English format when its text would not fit.
    KAVREL_ERR_INFO ei;
    errinfo_begin(ctx_, des, &ei);
    errinfo_add(&ei, SEV_WARNING, 201, "short %d", 1);
    errinfo_add(&ei, SEV_WARNING, 200, "short %d", 2);
    errinfo_route(&ei);
    ASSERT_EQ(g_lines.size(), 2u);
    EXPECT_EQ(g_lines[0].text, "short 1");
    EXPECT_EQ(g_lines[1].text, forty);
}

// With no msgdir the catalogue is found below the root that ORVTEST, else
// ORVANE, names. The path holds the component in lower case, while the
// descriptor is found by the names as given: each case spells the component
// its own way so that it opens the file itself even when the tests share
// one process.
struct RootCase {
    const char *variable;
    const char *unset;
    const char *component;
};

void PrintTo(const RootCase &c, std::ostream *os) {
    *os << c.variable;
}

class RootTest : public MsgTest, public ::testing::WithParamInterface<RootCase> {};

TEST_P(RootTest, FindsTheInstalledCatalogue) {
    const RootCase &c = GetParam();
    RootVariables saved;
    RootVariables::set(c.variable, share_dir().c_str());
    RootVariables::set(c.unset, nullptr);
    LOCALE_DES *des = nullptr;
    char errtext[512] = "";
    ASSERT_EQ(
        msg_init(ctx_, "fr_FR", nullptr, c.component, "kavrel", &des, errtext, sizeof errtext), 0)
        << errtext;
    EXPECT_EQ(des->refcount, 1);
    EXPECT_STREQ(des->component, c.component);
    char text[256];
    int32_t size = sizeof text;
    EXPECT_EQ(msg_composef(des, text, &size, MSG_NOMEM, "Failed to allocate %d bytes.", 42), 0);
    EXPECT_STREQ(text, "Impossible d'allouer 42 octets.");
}

INSTANTIATE_TEST_SUITE_P(Msg, RootTest,
                         ::testing::Values(RootCase{"ORVANE", "ORVTEST", "KAVREL"},
                                           RootCase{"ORVTEST", "ORVANE", "Kavrel"}),
                         [](const auto &p) { return std::string(p.param.variable); });

TEST(MsgFrench, FailedPreconditionReachesTheHandlerInFrench) {
    TempDir dir;
    KAVREL_CTX *ctx = nullptr;
    g_lines.clear();
    g_handler_result = 0;
    const std::string msgdir = share_dir() + "/msgs";
    ASSERT_EQ(kavrel_init(&ctx, "Produit", nullptr, dir.str().c_str(), nullptr, nullptr, "fr_FR",
                          msgdir.c_str(), capture),
              0u);
    ASSERT_NE(ctx->msg, nullptr);
    for (const auto &l : g_lines) EXPECT_NE(l.severity, SEV_WARNING) << l.text;

    // The French text puts the condition first and the line last.
    const std::regex french(
        "\xC3\x89"
        "chec de l'assertion (.+) dans kavrel \xC3\xA0 la ligne ([0-9]+)");
    g_lines.clear();
    EXPECT_EQ(kavrel_set_attr(ctx, 4242, 1), 1000000u);
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_EQ(g_lines[0].severity, 100);
    EXPECT_EQ(g_lines[0].number, 1000000);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(g_lines[0].text, m, french)) << g_lines[0].text;
    EXPECT_EQ(m[1].str().find('%'), std::string::npos);
    EXPECT_EQ(m[1].str().find("kavrel \xC3\xA0 la ligne"), std::string::npos);

    // Standard error shows the same text behind the English label.
    g_lines.clear();
    g_handler_result = 1;
    uint32_t value = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(kavrel_get_attr(ctx, 4243, &value), 1000000u);
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_TRUE(std::regex_match(g_lines[0].text, french)) << g_lines[0].text;
    EXPECT_EQ(err, "Error 1000000: " + g_lines[0].text + "\n");
    g_handler_result = 0;
    kavrel_free(&ctx);
}

}  // namespace
