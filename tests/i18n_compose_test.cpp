// Argument lists and composition with numbered placeholders.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "i18n.h"

namespace {

// Each case: template, arguments, capacity, result and text.
TEST(Compose, PlaceholdersAndPercentSigns) {
    const std::tuple<const char16_t *, std::vector<const char16_t *>, int32_t, int32_t,
                     std::u16string>
        cases[] = {
            {u"%2 of %1", {u"a", u"b"}, 64, 1, u"b of a"},
            {u"100%%", {}, 64, 1, u"100%"},
            {u"50%x", {}, 64, 1, u"50%x"},
            {u"%0", {u"a"}, 64, 1, u"%0"},
            {u"[%3]", {u"a", u"b"}, 64, 1, u"[]"},
            {u"%1%1%1", {u"ab"}, 64, 1, u"ababab"},
            {u"ends in %", {}, 64, 1, u"ends in %"},
            {u"%1", {u"50%2"}, 64, 1, u"50%2"},  // arguments are not interpreted
            {u"", {u"a"}, 64, 1, u""},
            {u"%\u0662-%\u0968-%\uFF13", {u"a", u"b", u"c"}, 64, 1, u"b-b-c"},
            {u"%\u00B2 %\u2160", {u"a", u"b"}, 64, 1, u"%\u00B2 %\u2160"},
            {u"%\u0660", {u"a"}, 64, 1, u"%\u0660"},
            {u"abc%1", {u"def"}, 6, -468, u"abc"},
            {u"abc", {}, 4, 1, u"abc"},
            {u"abcd", {}, 4, -468, u"abc"},
            {u"ab%x", {}, 4, -468, u"ab"},
            {u"a%%", {}, 2, -468, u"a"},
            {u"abc", {}, 1, -468, u""},
        };
    for (const auto &[templ, args, capacity, result, text] : cases) {
        I18N_ARGS list;
        i18nargs_init(&list);
        for (const char16_t *a : args) i18nargs_add(&list, a);
        char16_t out[64];
        EXPECT_EQ(i18nstrb_Compose(out, capacity, templ, &list), result);
        EXPECT_EQ(std::u16string(out), text);
    }
    char16_t out[8];
    EXPECT_EQ(i18nstrb_Compose(nullptr, 8, u"x", nullptr), -484);
    EXPECT_EQ(i18nstrb_Compose(out, 0, u"x", nullptr), -484);
    EXPECT_EQ(i18nstrb_Compose(out, 8, nullptr, nullptr), -484);
    EXPECT_EQ(i18nstrb_Compose(out, 8, u"a%1b", nullptr), 1);  // no list: nothing inserted
    EXPECT_EQ(std::u16string(out), u"ab");
}

TEST(Args, HoldsAtMostNine) {
    I18N_ARGS list;
    EXPECT_EQ(i18nargs_init(nullptr), 0);
    EXPECT_EQ(i18nargs_init(&list), 1);
    EXPECT_EQ(list.magic, 0xBEEFBEEFu);
    EXPECT_EQ(list.last, -1);
    EXPECT_EQ(i18nargs_get(&list, 1), nullptr);
    const char16_t *values[9] = {u"1", u"2", u"3", u"4", u"5", u"6", u"7", u"8", u"9"};
    for (int32_t i = 0; i < 9; ++i) EXPECT_EQ(i18nargs_add(&list, values[i]), i + 1);
    EXPECT_EQ(i18nargs_add(&list, u"10"), 0);
    EXPECT_EQ(list.last, 8);
    EXPECT_EQ(i18nargs_get(&list, 9), values[8]);
    EXPECT_EQ(i18nargs_get(&list, 1), values[0]);
    EXPECT_EQ(i18nargs_get(&list, 0), nullptr);
    EXPECT_EQ(i18nargs_get(&list, 10), nullptr);
    EXPECT_EQ(i18nargs_add(&list, nullptr), 0);
    EXPECT_EQ(i18nargs_add(nullptr, u"x"), 0);
    list.magic = 0;  // not initialised
    EXPECT_EQ(i18nargs_add(&list, u"x"), 0);
    EXPECT_EQ(i18nargs_get(&list, 1), nullptr);
}

}  // namespace
