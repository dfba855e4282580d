// UTF-16 <-> UTF-8 and 8-bit conversions, UTF-16 strings and numbers.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "i18n.h"

namespace {

// The rules case by case; uni_icu_test checks them on random text at every
// capacity. Each case: input, capacity, result, output, units consumed.
TEST(ToUtf8, WritesBytesAndStops) {
    const std::tuple<std::u16string, int32_t, int32_t, std::string, std::size_t> cases[] = {
        {u"\xD83Dz", 10, 4, "\xED\xA0\xBDz", 2},  // lone high
        {u"\xDC00", 10, 3, "\xED\xB0\x80", 1},    // lone low
        {u"x\xDBFF", 10, 4, "x\xED\xAF\xBF", 2},  // high at the end
        {u"ab", 0, -2, "", 0},
        {u"\xD83D\xDE00", 4, -2, "", 0},
        {u"ab\uFFFFc", 10, -1, "ab", 2},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto &[in, capacity, result, want, consumed] = cases[i];
        SCOPED_TRACE(testing::Message() << "case " << i);
        std::vector<char> out(std::size_t(capacity) + 4, '\x7F');
        const char16_t *stopped = nullptr;
        EXPECT_EQ(uniutf8_unistrToUTF8(out.data(), capacity, in.c_str(), &stopped), result);
        if (capacity > 0) {
            EXPECT_EQ(std::string(out.data()), want);
        }
        EXPECT_EQ(std::size_t(stopped - in.c_str()), consumed);
        EXPECT_EQ(out[std::size_t(capacity)], '\x7F') << "wrote past the capacity";
    }
}

// Each case: input, capacity, result, output, bytes consumed.
TEST(FromUtf8, WritesUnitsAndStops) {
    const std::tuple<std::string, int32_t, int32_t, std::u16string, std::size_t> cases[] = {
        {"\xF0\x9F\x98\x80", 10, 0, u"\xD83D\xDE00", 4},
        {std::string("\xC0\x80", 2), 10, -5, std::u16string(1, u'\0'), 2},  // overlong
        {"\xE0\x81\x81x", 10, -5, u"Ax", 4},
        {"\xF0\x80\x81\x81", 10, -5, u"A", 4},
        {"a\xF4\x90\x80\x80", 10, -1, u"a", 1},  // above U+10FFFF
        {"a\xFFz", 10, -1, u"a", 1},
        {"\x80", 10, -1, u"", 0},
        {"ab\xE2\x82", 10, -1, u"ab", 2},  // cut short
        {"\xC3(", 10, -1, u"", 0},
        {"\xC1\x81yz", 3, -2, u"Ay", 3},  // overlong, then full
        {"a", 0, -2, u"", 0},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto &[in, capacity, result, want, consumed] = cases[i];
        SCOPED_TRACE(testing::Message() << "case " << i);
        std::vector<char16_t> out(std::size_t(capacity) + 4, u'\x7F');
        const char *reached = nullptr;
        int32_t written = -1;
        EXPECT_EQ(uniutf8_utf8ToUnistr(out.data(), capacity, in.c_str(), &reached, &written),
                  result);
        EXPECT_EQ(std::u16string(out.data(), std::size_t(written)), want);
        if (capacity > 0) {
            EXPECT_EQ(out[std::size_t(written)], 0);
        }
        EXPECT_EQ(std::size_t(reached - in.c_str()), consumed);
        EXPECT_EQ(out[std::size_t(capacity)], u'\x7F') << "wrote past the capacity";
        EXPECT_EQ(uniutf8_utf8ToUnistrCount(out.data(), capacity, in.c_str(), nullptr),
                  result == 0 ? int32_t(want.size()) : result);
    }
}

TEST(Ascii, WidensAsLatin1AndNarrowsMarkingWhatHasNoByte) {
    char16_t wide[4] = {9, 9, 9, 9};  // capacity 3: three units and a terminator
    EXPECT_EQ(uniascii_toUnistr(wide, 3, "\xE9z"), 1);
    EXPECT_EQ(std::u16string(wide), u"\u00E9z");
    EXPECT_EQ(uniascii_toUnistr(wide, 3, "abc"), 1);
    EXPECT_EQ(std::u16string(wide), u"abc");
    EXPECT_EQ(uniascii_toUnistr(wide, 3, "abcd"), -1327);
    EXPECT_EQ(std::u16string(wide), u"abc");

    char narrow[8];
    EXPECT_EQ(uniascii_fromUnistr(narrow, 7, u"a\u03C0"), -1328);
    EXPECT_EQ(std::string(narrow), "a\x1A");
    EXPECT_EQ(uniascii_fromUnistr(narrow, 7, u"\u00FF"), 1);
    EXPECT_EQ(std::string(narrow), "\xFF");
    EXPECT_EQ(uniascii_fromUnistr(narrow, 2, u"abc"), -1327);
    EXPECT_EQ(std::string(narrow), "ab");
    EXPECT_EQ(uniascii_fromUnistr(narrow, 2, u"a\u03C0c"), -1327);  // does not fit wins
}

TEST(UniStr, PrimitivesFollowTheirCounterparts) {
    char16_t buf[8];
    EXPECT_EQ(unistr_len(unistr_cpy(buf, u"abc")), 3);
    EXPECT_EQ(std::u16string(unistr_cat(buf, u"de")), u"abcde");

    char16_t filled[6] = {9, 9, 9, 9, 9, 9};
    unistr_ncpy(filled, u"ab", 5);
    EXPECT_EQ(std::u16string(filled, 6), std::u16string(u"ab\0\0\0\x09", 6));
    unistr_ncpy(filled, u"abcdef", 3);  // no terminator when the source is longer
    EXPECT_EQ(std::u16string(filled, 4), std::u16string(u"abc\0", 4));

    char16_t nofill[6] = {9, 9, 9, 9, 9, 9};
    unistr_ncpyNoFill(nofill, u"ab", 3);
    EXPECT_EQ(std::u16string(nofill, 6), std::u16string(u"ab\0\x09\x09\x09", 6));
    unistr_ncpyNoFill(nofill, u"wxyz", 3);  // terminated only when fewer than n
    EXPECT_EQ(std::u16string(nofill, 6), std::u16string(u"wxy\x09\x09\x09", 6));

    EXPECT_EQ(unistr_cmp(u"abc", u"abc"), 0);
    EXPECT_EQ(unistr_cmp(u"ab", u"abc"), -1);
    EXPECT_EQ(unistr_cmp(u"\xFFFF", u"a"), 1);  // unsigned comparison
    EXPECT_EQ(unistr_cmp(u"b", u"a\xFFFF"), 1);
}

TEST(UniNum, FormatsInBases) {
    // Each case: value, base, digits, capacity, result and text.
    const std::tuple<uint32_t, int32_t, int32_t, int32_t, int32_t, std::u16string> cases[] = {
        {131234, 16, 8, 10, 1, u"000200A2"},
        {0xFFFFFFFF, 16, 8, 9, 1, u"FFFFFFFF"},
        {255, 2, 0, 40, 1, u"11111111"},
        {0, 10, 0, 2, 1, u"0"},
        {12345, 10, 3, 10, 1, u"345"},
        {5, 10, 32, 33, 1, std::u16string(31, u'0') + u"5"},
        {5, 10, 32, 32, -600, u""},
        {123, 10, 0, 3, -600, u""},
        {1, 1, 0, 10, -601, u""},
        {1, 17, 0, 10, -601, u""},
        {1, 10, 33, 40, -602, u""},
        {1, 10, -1, 40, -602, u""},
    };
    for (const auto &[value, base, digits, capacity, result, want] : cases) {
        char16_t out[40] = {};
        EXPECT_EQ(uninum_format(out, capacity, value, base, digits), result) << value;
        EXPECT_EQ(std::u16string(out), want) << value;
    }
}

}  // namespace
