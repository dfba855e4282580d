// UTF-16 <-> UTF-8 and 8-bit conversions, UTF-16 strings and numbers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "i18n.h"

namespace {

struct ToUtf8Case {
    const char *name;
    std::u16string in;
    int32_t capacity;
    int32_t result;
    std::string out;
    std::size_t stopped;  // units consumed
};

void PrintTo(const ToUtf8Case &c, std::ostream *os) {
    *os << c.name;
}

class ToUtf8 : public testing::TestWithParam<ToUtf8Case> {};

TEST_P(ToUtf8, WritesBytesAndStops) {
    const ToUtf8Case &c = GetParam();
    std::vector<char> out(static_cast<std::size_t>(c.capacity) + 4, '\x7F');
    const char16_t *stopped = nullptr;
    EXPECT_EQ(uniutf8_unistrToUTF8(out.data(), c.capacity, c.in.c_str(), &stopped), c.result);
    if (c.capacity > 0) {
        EXPECT_EQ(std::string(out.data()), c.out);
    }
    EXPECT_EQ(static_cast<std::size_t>(stopped - c.in.c_str()), c.stopped);
    EXPECT_EQ(out[static_cast<std::size_t>(c.capacity)], '\x7F') << "wrote past the capacity";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ToUtf8,
    testing::Values(ToUtf8Case{"Latin", u"\u00E9", 10, 2, "\xC3\xA9", 1},
                    ToUtf8Case{"Pair", u"\xD83D\xDE00", 10, 4, "\xF0\x9F\x98\x80", 2},
                    ToUtf8Case{"LoneHigh",
                               u"\xD83D"
                               u"a",
                               10, 4,
                               "\xED\xA0\xBD"
                               "a",
                               2},
                    ToUtf8Case{"LoneLow", u"\xDC00", 10, 3, "\xED\xB0\x80", 1},
                    ToUtf8Case{"HighAtEnd", u"x\xDBFF", 10, 4, "x\xED\xAF\xBF", 2},
                    ToUtf8Case{"Fits", u"ab", 3, 2, "ab", 2},
                    ToUtf8Case{"Full", u"ab", 2, -2, "a", 1},
                    ToUtf8Case{"NoRoom", u"ab", 0, -2, "", 0},
                    ToUtf8Case{"FullMidCharacter", u"a\u20AC", 4, -2, "a", 1},
                    ToUtf8Case{"PairNeedsFour", u"\xD83D\xDE00", 4, -2, "", 0},
                    ToUtf8Case{"Empty", u"", 1, 0, "", 0},
                    ToUtf8Case{"FFFF",
                               u"ab\uFFFF"
                               u"c",
                               10, -1, "ab", 2},
                    ToUtf8Case{"FFFE", u"\uFFFE", 10, -1, "", 0},
                    ToUtf8Case{"FFFD", u"\uFFFD", 10, 3, "\xEF\xBF\xBD", 1}),
    [](const auto &p) { return p.param.name; });

struct FromUtf8Case {
    const char *name;
    std::string in;
    int32_t capacity;
    int32_t result;
    std::u16string out;
    std::size_t reached;  // bytes consumed
};

void PrintTo(const FromUtf8Case &c, std::ostream *os) {
    *os << c.name;
}

class FromUtf8 : public testing::TestWithParam<FromUtf8Case> {};

TEST_P(FromUtf8, WritesUnitsAndStops) {
    const FromUtf8Case &c = GetParam();
    std::vector<char16_t> out(static_cast<std::size_t>(c.capacity) + 4, u'\x7F');
    const char *reached = nullptr;
    int32_t written = -1;
    EXPECT_EQ(uniutf8_utf8ToUnistr(out.data(), c.capacity, c.in.c_str(), &reached, &written),
              c.result);
    EXPECT_EQ(std::u16string(out.data(), static_cast<std::size_t>(written)), c.out);
    if (c.capacity > 0) {
        EXPECT_EQ(out[static_cast<std::size_t>(written)], 0);
    }
    EXPECT_EQ(static_cast<std::size_t>(reached - c.in.c_str()), c.reached);
    EXPECT_EQ(out[static_cast<std::size_t>(c.capacity)], u'\x7F') << "wrote past the capacity";
    const int32_t count = uniutf8_utf8ToUnistrCount(out.data(), c.capacity, c.in.c_str(), nullptr);
    EXPECT_EQ(count, c.result == 0 ? static_cast<int32_t>(c.out.size()) : c.result);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FromUtf8,
    testing::Values(FromUtf8Case{"Ascii", "abc", 10, 0, u"abc", 3},
                    FromUtf8Case{"Latin", "\xC3\xA9", 10, 0, u"\u00E9", 2},
                    FromUtf8Case{"Euro", "\xE2\x82\xAC", 10, 0, u"\u20AC", 3},
                    FromUtf8Case{"Pair", "\xF0\x9F\x98\x80", 10, 0, u"\xD83D\xDE00", 4},
                    FromUtf8Case{"OverlongNul", std::string("\xC0\x80", 2), 10, -5,
                                 std::u16string(1, u'\0'), 2},
                    FromUtf8Case{"OverlongThree",
                                 "\xE0\x81\x81"
                                 "x",
                                 10, -5, u"Ax", 4},
                    FromUtf8Case{"OverlongFour", "\xF0\x80\x81\x81", 10, -5, u"A", 4},
                    FromUtf8Case{"AboveMax", "a\xF4\x90\x80\x80", 10, -1, u"a", 1},
                    FromUtf8Case{"BadLead",
                                 "a\xFF"
                                 "b",
                                 10, -1, u"a", 1},
                    FromUtf8Case{"LoneContinuation", "\x80", 10, -1, u"", 0},
                    FromUtf8Case{"Truncated", "ab\xE2\x82", 10, -1, u"ab", 2},
                    FromUtf8Case{"BadContinuation", "\xC3(", 10, -1, u"", 0},
                    FromUtf8Case{"FullBeforeCharacter", "abc", 3, -2, u"ab", 2},
                    FromUtf8Case{"FitsExactly", "ab", 3, 0, u"ab", 2},
                    FromUtf8Case{"PairNeedsThree", "a\xF0\x9F\x98\x80", 3, -2, u"a", 1},
                    FromUtf8Case{"OverlongThenFull",
                                 "\xC1\x81"
                                 "bc",
                                 3, -2, u"Ab", 3},
                    FromUtf8Case{"NoRoom", "a", 0, -2, u"", 0},
                    FromUtf8Case{"OnlyTerminator", "a", 1, -2, u"", 0},
                    FromUtf8Case{"Empty", "", 1, 0, u"", 0}),
    [](const auto &p) { return p.param.name; });

TEST(Ascii, WidensBytesAsLatin1) {
    char16_t out[8];
    EXPECT_EQ(uniascii_toUnistr(out, 7, "a\xE9z"), 1);
    EXPECT_EQ(std::u16string(out), u"a\u00E9z");
    // At most capacity units and then a terminator: capacity + 1 in all.
    char16_t small[4] = {9, 9, 9, 9};
    EXPECT_EQ(uniascii_toUnistr(small, 3, "abc"), 1);
    EXPECT_EQ(std::u16string(small), u"abc");
    EXPECT_EQ(uniascii_toUnistr(small, 3, "abcd"), -1327);
    EXPECT_EQ(std::u16string(small), u"abc");
}

TEST(Ascii, NarrowsAndMarksWhatHasNoByte) {
    char out[8];
    EXPECT_EQ(uniascii_fromUnistr(out, 7, u"a\u03C0"), -1328);
    EXPECT_EQ(std::string(out), "a\x1A");
    EXPECT_EQ(uniascii_fromUnistr(out, 7, u"\u00FF"), 1);
    EXPECT_EQ(std::string(out), "\xFF");
    EXPECT_EQ(uniascii_fromUnistr(out, 2, u"abc"), -1327);
    EXPECT_EQ(std::string(out), "ab");
    EXPECT_EQ(uniascii_fromUnistr(out, 2, u"a\u03C0c"), -1327);  // does not fit wins
}

TEST(UniStr, PrimitivesFollowTheirCounterparts) {
    char16_t buf[8];
    EXPECT_EQ(unistr_len(unistr_cpy(buf, u"abc")), 3);
    EXPECT_EQ(std::u16string(unistr_cat(buf, u"de")), u"abcde");

    char16_t filled[6] = {9, 9, 9, 9, 9, 9};
    unistr_ncpy(filled, u"ab", 5);
    EXPECT_EQ(std::u16string(filled, 6), std::u16string(u"ab\0\0\0\x09", 6));
    unistr_ncpy(filled, u"abcdef", 3);  // no terminator when the source is longer
    EXPECT_EQ(std::u16string(filled, 3), u"abc");
    EXPECT_EQ(filled[3], 0);  // untouched from before

    char16_t nofill[6] = {9, 9, 9, 9, 9, 9};
    unistr_ncpyNoFill(nofill, u"ab", 5);
    EXPECT_EQ(std::u16string(nofill, 6), std::u16string(u"ab\0\x09\x09\x09", 6));

    EXPECT_EQ(unistr_cmp(u"abc", u"abc"), 0);
    EXPECT_EQ(unistr_cmp(u"ab", u"abc"), -1);
    EXPECT_EQ(unistr_cmp(u"\xFFFF", u"a"), 1);  // unsigned comparison
    EXPECT_EQ(unistr_cmp(u"b", u"a\xFFFF"), 1);
}

TEST(UniNum, FormatsInBases) {
    struct {
        uint32_t value;
        int32_t base, digits, capacity, result;
        std::u16string out;
    } cases[] = {
        {131234, 16, 8, 10, 1, u"000200A2"},
        {1, 16, 8, 10, 1, u"00000001"},
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
    for (const auto &c : cases) {
        char16_t out[40] = {};
        EXPECT_EQ(uninum_format(out, c.capacity, c.value, c.base, c.digits), c.result) << c.value;
        if (c.result == 1) {
            EXPECT_EQ(std::u16string(out), c.out);
        }
    }
}

}  // namespace
