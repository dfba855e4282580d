// Installation root and the full names of locale files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <tuple>

#include "i18n.h"

namespace {

void set(const char *name, const char *value) {
    value == nullptr ? unsetenv(name) : setenv(name, value, 1);
}

// Each test sets ORVTEST and ORVANE as it needs them; nothing else in the
// process reads them.
class RootEnv : public testing::Test {
  protected:
    // The status and what out_ holds, as "1 /D/x"; out_ is emptied.
    std::u16string r(int32_t result) {
        const std::string status = std::to_string(result) + " ";
        const std::u16string text = std::u16string(status.begin(), status.end()) + out_;
        out_[0] = 0;
        return text;
    }
    char16_t out_[I18N_PATH_MAX] = {};
};

TEST_F(RootEnv, RootComesFromTheEnvironmentWhenAbsolute) {
    // Each case: ORVTEST, ORVANE, the root, the catalogue subtree.
    const std::tuple<const char *, const char *, std::u16string, std::u16string> cases[] = {
        {nullptr, nullptr, u"1 ./", u"1 locales/unicode"},
        {nullptr, "/opt/orv", u"1 /opt/orv", u"1 /opt/orv/locales/unicode"},
        {"/t", "/opt/orv", u"1 /t", u"1 /t/locales/unicode"},
        {"rel/x", "/opt/orv", u"1 ./", u"1 locales/unicode"},  // no fall back to ORVANE
        {nullptr, "x/y", u"1 ./", u"1 locales/unicode"},
        {nullptr, "c:/x", u"1 ./", u"1 locales/unicode"},
        {"", "/opt/orv", u"1 ./", u"1 locales/unicode"},
        {nullptr, "/", u"1 /", u"1 /locales/unicode"},
        {nullptr, "/r/", u"1 /r/", u"1 /r/locales/unicode"},
    };
    for (const auto &[orvtest, orvane, root, locales] : cases) {
        set("ORVTEST", orvtest);
        set("ORVANE", orvane);
        EXPECT_EQ(r(i18npath_RootGet(out_, I18N_PATH_MAX)), root);
        EXPECT_EQ(r(i18npath_LocalesDir(out_, I18N_PATH_MAX)), locales);
    }
    set("ORVANE", nullptr);  // the default root gives relative catalogue names
    EXPECT_EQ(r(i18npath_FileName(out_, I18N_PATH_MAX, 0, 0, u"kavrel", u"fr_FR", u"kavrel")),
              u"1 locales/unicode/kavrel/fr_fr/kavrel.lcu");
}

TEST_F(RootEnv, SubtreesAndNameParts) {
    set("ORVTEST", nullptr);
    set("ORVANE", "/D");
    EXPECT_EQ(r(i18npath_RootGet(out_, 2)), u"1 /");  // cut to the capacity
    EXPECT_EQ(r(i18npath_TablesDir(out_, I18N_PATH_MAX, 1)), u"1 /D/charsets/unicode");
    EXPECT_EQ(r(i18npath_TablesDir(out_, I18N_PATH_MAX, 7)), u"1 /D/collate/unicode");
    EXPECT_EQ(r(i18npath_ComponentDir(out_, I18N_PATH_MAX, u"ComponentXY")),
              u"1 /D/locales/unicode/componen");
    EXPECT_EQ(r(i18npath_LanguageDir(out_, I18N_PATH_MAX, u"Comp", u"EN_US")),
              u"1 /D/locales/unicode/comp/en_us");
    EXPECT_EQ(r(i18npath_ComponentDir(out_, I18N_PATH_MAX, nullptr)), u"-481 ");
    EXPECT_EQ(r(i18npath_LocalesDir(out_, 10)), u"-484 /D/locale");  // cut, terminated
    EXPECT_EQ(i18npath_LocalesDir(nullptr, 10), -484);
}

// Each case: location, file type, file, directory or language, component,
// and the status and name.
TEST_F(RootEnv, FullFileNames) {
    set("ORVTEST", nullptr);
    set("ORVANE", "/D");
    const std::tuple<uint32_t, int32_t, const char16_t *, const char16_t *, const char16_t *,
                     std::u16string>
        cases[] = {
            {0, 0, u"msgs", u"en_US", u"Comp", u"1 /D/locales/unicode/comp/en_us/msgs.lcu"},
            {0, 0, u"MSGS", u"en_US", u"ComponentXY",
             u"1 /D/locales/unicode/componen/en_us/MSGS.lcu"},
            {0, 1, u"latin", nullptr, nullptr, u"1 /D/charsets/unicode/latin.uct"},
            {0, 2, u"order", nullptr, nullptr, u"1 /D/collate/unicode/order.ust"},
            {1, 0, u"msgs", nullptr, nullptr, u"1 ./msgs.lcu"},
            {1, 1, u"latin", nullptr, nullptr, u"1 ./latin.uct"},
            {2, 0, u"msgs", u"/my/dir/fr_FR", u"ignored", u"1 /my/dir/fr_FR/msgs.lcu"},
            {2, 2, u"order", u"/my/dir/", nullptr, u"1 /my/dir/order.ust"},
            {2, 0, u"msgs", nullptr, u"Comp", u"-481 "},
            {0, 0, nullptr, u"en_US", u"Comp", u"-478 "},
            {0, 0, u"msgs", nullptr, u"Comp", u"-481 "},
            {0, 0, u"msgs", u"en_US", nullptr, u"-481 "},
            {0, 3, u"msgs", u"en_US", u"Comp", u"-481 "},
            {7, 0, u"msgs", u"en_US", u"Comp", u"7 "},
        };
    for (const auto &[location, type, file, dir, component, name] : cases) {
        EXPECT_EQ(r(i18npath_FileName(out_, I18N_PATH_MAX, location, type, file, dir, component)),
                  name);
    }
    // Location 2 without a directory comes before a missing file name, which
    // comes before a missing or too small buffer.
    EXPECT_EQ(i18npath_FileName(nullptr, 0, 2, 0, nullptr, nullptr, nullptr), -481);
    EXPECT_EQ(i18npath_FileName(nullptr, 0, 0, 0, nullptr, nullptr, nullptr), -478);
    EXPECT_EQ(i18npath_FileName(nullptr, 0, 0, 0, u"f", nullptr, nullptr), -484);
    EXPECT_EQ(i18npath_FileName(out_, 0, 0, 0, u"f", nullptr, nullptr), -484);
    EXPECT_EQ(i18npath_FileName(out_, 4, 1, 0, u"file", nullptr, nullptr), -484);  // too long
}

TEST(FileSpec, InitSetsTheDefaults) {
    I18N_FILE_SPEC spec{9, 9, 9};
    EXPECT_EQ(i18nuni_FileSpecInit(&spec), 1);
    EXPECT_EQ(std::tuple(spec.format, spec.reserved, spec.location), std::tuple(1u, 0u, 0u));
    EXPECT_EQ(i18nuni_FileSpecInit(nullptr), -483);
}

}  // namespace
