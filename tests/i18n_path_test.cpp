// Installation root and the full names of locale files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "i18n.h"

namespace {

// Sets ORVTEST and ORVANE for one test and puts them back afterwards.
class RootEnv : public testing::Test {
  protected:
    void SetUp() override {
        save("ORVTEST", orvtest_);
        save("ORVANE", orvane_);
    }
    void TearDown() override {
        restore("ORVTEST", orvtest_);
        restore("ORVANE", orvane_);
    }
    static void set(const char *name, const char *value) {
        if (value == nullptr) {
            unsetenv(name);
        } else {
            setenv(name, value, 1);
        }
    }

  private:
    static void save(const char *name, std::string &to) {
        const char *v = std::getenv(name);
        to = v == nullptr ? std::string("\x01") : v;
    }
    static void restore(const char *name, const std::string &from) {
        set(name, from == "\x01" ? nullptr : from.c_str());
    }
    std::string orvtest_, orvane_;
};

std::u16string file_name(uint32_t location, int32_t type, const char16_t *file, const char16_t *dir,
                         const char16_t *component, int32_t *result) {
    char16_t out[I18N_PATH_MAX];
    *result = i18npath_FileName(out, I18N_PATH_MAX, location, type, file, dir, component);
    return *result == 1 ? std::u16string(out) : std::u16string();
}

TEST_F(RootEnv, RootComesFromTheEnvironmentWhenAbsolute) {
    struct {
        const char *orvtest, *orvane;
        std::u16string root, locales;
    } cases[] = {
        {nullptr, nullptr, u"./", u"locales/unicode"},
        {nullptr, "/opt/orv", u"/opt/orv", u"/opt/orv/locales/unicode"},
        {"/t", "/opt/orv", u"/t", u"/t/locales/unicode"},
        {"rel/x", "/opt/orv", u"./", u"locales/unicode"},  // no fall back to ORVANE
        {nullptr, "x/y", u"./", u"locales/unicode"},
        {nullptr, "c:/x", u"./", u"locales/unicode"},
        {"", "/opt/orv", u"./", u"locales/unicode"},
        {nullptr, "/", u"/", u"/locales/unicode"},
        {nullptr, "/r/", u"/r/", u"/r/locales/unicode"},
    };
    for (const auto &c : cases) {
        set("ORVTEST", c.orvtest);
        set("ORVANE", c.orvane);
        char16_t out[I18N_PATH_MAX];
        EXPECT_EQ(i18npath_RootGet(out, I18N_PATH_MAX), 1);
        EXPECT_EQ(std::u16string(out), c.root);
        EXPECT_EQ(i18npath_LocalesDir(out, I18N_PATH_MAX), 1);
        EXPECT_EQ(std::u16string(out), c.locales);
    }
}

TEST_F(RootEnv, RootIsCutToTheCapacity) {
    set("ORVTEST", "/abcdef");
    char16_t out[4] = {9, 9, 9, 9};
    EXPECT_EQ(i18npath_RootGet(out, 4), 1);
    EXPECT_EQ(std::u16string(out), u"/ab");
}

TEST_F(RootEnv, SubtreesAndNameParts) {
    set("ORVTEST", nullptr);
    set("ORVANE", "/D");
    char16_t out[I18N_PATH_MAX];
    EXPECT_EQ(i18npath_TablesDir(out, I18N_PATH_MAX, 1), 1);
    EXPECT_EQ(std::u16string(out), u"/D/charsets/unicode");
    EXPECT_EQ(i18npath_TablesDir(out, I18N_PATH_MAX, 7), 1);
    EXPECT_EQ(std::u16string(out), u"/D/collate/unicode");
    EXPECT_EQ(i18npath_ComponentDir(out, I18N_PATH_MAX, u"ComponentXY"), 1);
    EXPECT_EQ(std::u16string(out), u"/D/locales/unicode/componen");
    EXPECT_EQ(i18npath_LanguageDir(out, I18N_PATH_MAX, u"Comp", u"EN_US"), 1);
    EXPECT_EQ(std::u16string(out), u"/D/locales/unicode/comp/en_us");
    EXPECT_EQ(i18npath_ComponentDir(out, I18N_PATH_MAX, nullptr), -481);
    EXPECT_EQ(i18npath_LocalesDir(out, 10), -484);
    EXPECT_EQ(std::u16string(out), u"/D/locale");  // cut, terminated
    EXPECT_EQ(i18npath_LocalesDir(nullptr, 10), -484);
}

TEST_F(RootEnv, FullFileNames) {
    set("ORVTEST", nullptr);
    set("ORVANE", "/D");
    struct {
        uint32_t location;
        int32_t type;
        const char16_t *file, *dir, *component;
        int32_t result;
        std::u16string name;
    } cases[] = {
        {0, 0, u"msgs", u"en_US", u"Comp", 1, u"/D/locales/unicode/comp/en_us/msgs.lcu"},
        {0, 0, u"MSGS", u"en_US", u"ComponentXY", 1, u"/D/locales/unicode/componen/en_us/MSGS.lcu"},
        {0, 1, u"latin", nullptr, nullptr, 1, u"/D/charsets/unicode/latin.uct"},
        {0, 2, u"order", nullptr, nullptr, 1, u"/D/collate/unicode/order.ust"},
        {1, 0, u"msgs", nullptr, nullptr, 1, u"./msgs.lcu"},
        {1, 1, u"latin", nullptr, nullptr, 1, u"./latin.uct"},
        {2, 0, u"msgs", u"/my/dir/fr_FR", u"ignored", 1, u"/my/dir/fr_FR/msgs.lcu"},
        {2, 2, u"order", u"/my/dir/", nullptr, 1, u"/my/dir/order.ust"},
        {2, 0, u"msgs", nullptr, u"Comp", -481, u""},
        {0, 0, nullptr, u"en_US", u"Comp", -478, u""},
        {0, 0, u"msgs", nullptr, u"Comp", -481, u""},
        {0, 0, u"msgs", u"en_US", nullptr, -481, u""},
        {0, 3, u"msgs", u"en_US", u"Comp", -481, u""},
        {7, 0, u"msgs", u"en_US", u"Comp", 7, u""},
    };
    for (const auto &c : cases) {
        int32_t result = 0;
        EXPECT_EQ(file_name(c.location, c.type, c.file, c.dir, c.component, &result), c.name);
        EXPECT_EQ(result, c.result) << std::string(c.name.begin(), c.name.end());
    }
}

TEST_F(RootEnv, DefaultRootGivesRelativeCatalogueNames) {
    set("ORVTEST", nullptr);
    set("ORVANE", nullptr);
    int32_t result = 0;
    EXPECT_EQ(file_name(0, 0, u"kavrel", u"fr_FR", u"kavrel", &result),
              u"locales/unicode/kavrel/fr_fr/kavrel.lcu");
}

TEST_F(RootEnv, FileNameChecksComeInOrder) {
    char16_t out[4];
    // location 2 without a directory is reported before a missing file name,
    // which comes before a missing buffer.
    EXPECT_EQ(i18npath_FileName(nullptr, 0, 2, 0, nullptr, nullptr, nullptr), -481);
    EXPECT_EQ(i18npath_FileName(nullptr, 0, 0, 0, nullptr, nullptr, nullptr), -478);
    EXPECT_EQ(i18npath_FileName(nullptr, 0, 0, 0, u"f", nullptr, nullptr), -484);
    EXPECT_EQ(i18npath_FileName(out, 0, 0, 0, u"f", nullptr, nullptr), -484);
    EXPECT_EQ(i18npath_FileName(out, 4, 1, 0, u"file", nullptr, nullptr), -484);  // too long
}

TEST(FileSpec, InitSetsTheDefaults) {
    I18N_FILE_SPEC spec{9, 9, 9};
    EXPECT_EQ(i18nuni_FileSpecInit(&spec), 1);
    EXPECT_EQ(spec.format, 1u);
    EXPECT_EQ(spec.reserved, 0u);
    EXPECT_EQ(spec.location, 0u);
    EXPECT_EQ(i18nuni_FileSpecInit(nullptr), -483);
}

}  // namespace
