// Localised message lookup: opening catalogues once per locale, component
// and message file, composing texts with their values in the catalogue's
// order, every failure text, and a French context end to end.
//
// Catalogue descriptors live for the whole process and are never freed, so
// each test opens catalogues under names of its own.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "diag/errinfo.h"
#include "diag/msg.h"
#include "diag/route.h"
#include "kavrel.h"
#include "kavrel_capture.h"
#include "kavrel_ctx.h"

using namespace kavrel;

namespace {

using namespace kavrel_test;

// An environment variable set (or unset, for null) for one test.
class EnvVar {
  public:
    EnvVar(const char *name, const char *value) : name_(name) {
        if (const char *old = std::getenv(name)) old_ = old;
        set(value);
    }
    ~EnvVar() { set(old_ ? old_->c_str() : nullptr); }
    void set(const char *value) { value ? setenv(name_, value, 1) : unsetenv(name_); }

  private:
    const char *name_;
    std::optional<std::string> old_;
};

// What msg_compose answers, and the text and length it leaves.
struct Composed {
    int32_t rc;
    std::string text;
    int32_t size;
    bool operator==(const Composed &) const = default;
};

void PrintTo(const Composed &c, std::ostream *os) {
    *os << "{" << c.rc << ", \"" << c.text << "\", " << c.size << "}";
}

// msg_compose into a destination of exactly `capacity` bytes.
Composed compose(LOCALE_DES *des, int32_t number, int32_t capacity, const char *format, ...)
    KAVREL_PRINTF(4, 5);
Composed compose(LOCALE_DES *des, int32_t number, int32_t capacity, const char *format, ...) {
    std::vector<char> dst(static_cast<std::size_t>(capacity));
    int32_t size = capacity;
    va_list values;
    va_start(values, format);
    const int32_t rc = msg_compose(des, dst.data(), &size, number, format, values);
    va_end(values);
    return {rc, dst.data(), size};
}

class MsgTest : public CapturedContext {
  protected:
    int32_t init(const char *locale, const char *msgdir, const char *component, const char *msgfile,
                 LOCALE_DES **des) {
        errtext_[0] = '\0';
        return msg_init(ctx_, locale, msgdir, component, msgfile, des, errtext_, sizeof errtext_);
    }

    // Compiles `source` into <cat_>/xx_XX/<file>.lcu, where msg_init with
    // msgdir cat_ looks for it, with the catalogue compiler: $LCUC, else the
    // one built next to the share directory.
    void compile(const std::string &file, const std::string &source) {
        const char *lcuc = std::getenv("LCUC");
        const std::string tool = lcuc != nullptr ? lcuc : share_dir() + "/../../tools/lcuc";
        std::filesystem::create_directories(cat_.path() / "xx_XX");
        const std::string command = "'" + tool + "' '" +
                                    cat_.write(file + ".txt", source).string() + "' '" +
                                    cat_.str() + "/xx_XX/" + file + ".lcu'";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }

    LOCALE_DES *open(const std::string &file, const std::string &source) {
        compile(file, source);
        LOCALE_DES *des = nullptr;
        EXPECT_EQ(init("xx_XX", cat_.str().c_str(), "kavrel", file.c_str(), &des), 0) << errtext_;
        return des;
    }

    TempDir cat_;
    char errtext_[512] = "";
};

TEST_F(MsgTest, InitChecksItsArgumentsInOrder) {
    const struct {
        const char *locale;
        const char *component;
        const char *msgfile;
        bool no_out;
        const char *name;
    } cases[] = {{nullptr, "kavrel", "kavrel", false, "locale"},
                 {"", "kavrel", "kavrel", false, "locale"},
                 {"fr_FR", "", "kavrel", false, "component"},
                 {"fr_FR", nullptr, "kavrel", false, "component"},
                 {"fr_FR", "kavrel", "", false, "msgfile"},
                 {"fr_FR", "kavrel", nullptr, false, "msgfile"},
                 {"fr_FR", "kavrel", "kavrel", true, "msg_ctx pointer"},
                 {"", "", "", true, "locale"},
                 {"fr_FR", "", nullptr, true, "component"}};
    LOCALE_DES untouched{};
    for (const auto &c : cases) {
        LOCALE_DES *des = &untouched;
        EXPECT_EQ(init(c.locale, nullptr, c.component, c.msgfile, c.no_out ? nullptr : &des),
                  1000000);
        EXPECT_EQ(std::string(errtext_),
                  fmt("Programming Error: NULL %s specified to msg_init", c.name));
        EXPECT_EQ(des, &untouched);
    }
    EXPECT_TRUE(g_lines.empty()) << "failures are texts, not messages";
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
        EXPECT_EQ(init(c.locale, nullptr, c.component, c.msgfile, &des), -1327);
        EXPECT_STREQ(errtext_, c.text);
        EXPECT_EQ(des, nullptr);
    }
}

// A descriptor is found by its names before any file is looked at, and
// outlives the context that opened it.
TEST_F(MsgTest, DescriptorIsSharedByNameAndOutlivesItsContext) {
    compile("shared", "7 sept %1\n");
    LOCALE_DES *first = nullptr;
    kavrel_test_fail_alloc(0, 1);
    EXPECT_EQ(init("xx_XX", cat_.str().c_str(), "kavrel", "shared", &first), 131112);
    kavrel_test_fail_alloc(0, 0);
    EXPECT_EQ(std::string(errtext_), fmt("Failed to allocate %d bytes for a locale descriptor.",
                                         static_cast<int>(sizeof(LOCALE_DES))));
    EXPECT_EQ(first, nullptr);

    ASSERT_EQ(init("xx_XX", cat_.str().c_str(), "kavrel", "shared", &first), 0) << errtext_;
    EXPECT_EQ(first->refcount, 1);
    kavrel_free(&ctx_);
    ASSERT_EQ(kavrel_init(&ctx_, "Again", nullptr, dir_.str().c_str(), nullptr, nullptr, "en_US",
                          nullptr, capture),
              0u);
    TempDir empty;
    const std::string empty_dir = empty.str();
    int32_t count = 1;
    for (const char *msgdir : {empty_dir.c_str(), static_cast<const char *>(nullptr)}) {
        LOCALE_DES *again = nullptr;
        ASSERT_EQ(init("xx_XX", msgdir, "kavrel", "shared", &again), 0) << errtext_;
        EXPECT_EQ(again, first);
        EXPECT_EQ(first->refcount, ++count);
    }
    EXPECT_EQ(compose(first, 7, 64, "seven %d", 7), (Composed{0, "sept 7", 6}));

    // A different component is another descriptor, even for the same file.
    LOCALE_DES *other = nullptr;
    ASSERT_EQ(init("xx_XX", cat_.str().c_str(), "other", "shared", &other), 0) << errtext_;
    EXPECT_NE(other, first);
    EXPECT_EQ(other->refcount, 1);
    EXPECT_EQ(first->refcount, 3);
}

// With no msgdir the catalogue is found below the root that ORVTEST, else
// ORVANE, names; the component is looked for in lower case but kept as given.
// (Runs before the French test below, which opens the same names, for when
// all tests share one process.)
TEST_F(MsgTest, CatalogueBelowTheRoot) {
    TempDir empty_root;
    EnvVar orvtest("ORVTEST", nullptr), orvane("ORVANE", empty_root.str().c_str());
    LOCALE_DES untouched{};
    LOCALE_DES *des = &untouched;
    EXPECT_EQ(init("fr_FR", nullptr, "kavrel", "kavrel", &des), -479);
    EXPECT_STREQ(errtext_,
                 "Failed to open the localised message file "
                 "'%ORVANE%/locales/unicode/kavrel/fr_fr/kavrel.lcu' "
                 "(i18nuni_FileOpen returned -479)");
    EXPECT_EQ(des, nullptr);

    orvane.set(share_dir().c_str());
    ASSERT_EQ(init("fr_FR", nullptr, "KAVREL", "kavrel", &des), 0) << errtext_;
    EXPECT_EQ(des->refcount, 1);
    EXPECT_STREQ(des->component, "KAVREL");
    EXPECT_EQ(compose(des, MSG_NOMEM, 256, "Failed to allocate %d bytes.", 42),
              (Composed{0, "Impossible d'allouer 42 octets.", 31}));
}

TEST_F(MsgTest, ComposeTakesTheValuesInTheFormatsOrderAndPlacesThemByTheCatalogue) {
    const std::string forty(40, 'q');
    LOCALE_DES *des = open("compose",
                           "100 [%4|%3|%2|%1]\n"
                           "101 %1 %2 %3 %4 %5 %6 %7 %8 %9.\n"
                           "102 no values\n"
                           "104 \xC2\xAB%1\xC2\xBB et %2\n"
                           "200 " +
                               forty + "\n201 " + std::string(600, 'L') + "\n");
    ASSERT_NE(des, nullptr);
    EXPECT_EQ(compose(des, 100, 64, "%s %s %d %s", "one", "two", -3, "four"),
              (Composed{0, "[four|-3|two|one]", 17}));
    EXPECT_EQ(compose(des, 101, 64, "%d %d %d %d %d %d %d %d %d %d %d", 1, 2, 3, 4, 5, 6, 7, 8, 9,
                      10, 11),
              (Composed{0, "1 2 3 4 5 6 7 8 9.", 18}));
    EXPECT_EQ(compose(des, 102, 64, "English %s", "ignored"), (Composed{0, "no values", 9}));
    EXPECT_EQ(compose(des, 102, 64, nullptr), (Composed{0, "no values", 9}));
    // Text and values other than ASCII arrive intact.
    const std::string utf8 =
        "\xC2\xABGr\xC3\xBC\xC3\x9F"
        "e \xE2\x82\xAC\xC2\xBB et \xE6\x97\xA5\xE6\x9C\xAC";
    EXPECT_EQ(compose(des, 104, 64, "%s and %s",
                      "Gr\xC3\xBC\xC3\x9F"
                      "e \xE2\x82\xAC",
                      "\xE6\x97\xA5\xE6\x9C\xAC"),
              (Composed{0, utf8, static_cast<int32_t>(utf8.size())}));

    // A text that just fits, then one byte too little room.
    EXPECT_EQ(compose(des, 200, 41, "short"), (Composed{0, forty, 40}));
    Composed failed = compose(des, 200, 40, "short");
    EXPECT_LT(failed.rc, 0);
    EXPECT_EQ(failed.text, fmt("Failed to convert a localised error message to UTF-8 "
                               "(uniutf8_unistrToUTF8 returned %d)",
                               failed.rc)
                               .substr(0, 39));
    failed = compose(des, 6, 256, "six %d", 6);
    EXPECT_NE(failed.rc, 0);
    EXPECT_EQ(failed.text, fmt("Failed to find localised error message "
                               "(i18nuni_LookupByKeyNum returned %d)",
                               failed.rc));

    // Without a number or a catalogue: plain formatting; not a descriptor:
    // the same, but reported; a cut text: what fits and a negative length.
    LOCALE_DES broken{};
    EXPECT_EQ(compose(des, 0, 64, "plain %s %d%%", "a", 1), (Composed{0, "plain a 1%", 10}));
    EXPECT_EQ(compose(nullptr, 5, 64, "five %d", 5), (Composed{0, "five 5", 6}));
    EXPECT_EQ(compose(&broken, 5, 64, "five %d", 5), (Composed{1000000, "five 5", 6}));
    const Composed cut = compose(nullptr, 0, 5, "%s", "abcdefgh");
    EXPECT_EQ(cut.text, "abcd");
    EXPECT_LT(cut.size, 0);

    // A message keeps the English format when its text would not fit.
    KAVREL_ERR_INFO ei;
    errinfo_begin(ctx_, des, &ei);
    errinfo_add(&ei, SEV_WARNING, 201, "short %d", 1);
    errinfo_add(&ei, SEV_WARNING, 200, "short %d", 2);
    errinfo_route(&ei);
    EXPECT_EQ(g_lines, (std::vector<Line>{{80, 201, "short 1"}, {80, 200, forty}}));
}

TEST(MsgFrench, FailedPreconditionReachesTheHandlerInFrench) {
    TempDir dir;
    KAVREL_CTX *ctx = nullptr;
    g_lines.clear();
    g_handler_result = 0;
    ASSERT_EQ(kavrel_init(&ctx, "Produit", nullptr, dir.str().c_str(), nullptr, nullptr, "fr_FR",
                          (share_dir() + "/msgs").c_str(), capture),
              0u);
    ASSERT_NE(ctx->msg, nullptr);

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
