// The Unicode character tables against ICU (same Unicode version), unit by
// unit, plus the documented examples.
#include <unicode/uchar.h>

#include <cstdio>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "i18n.h"
#include "i18n_internal.h"

namespace {

char16_t lower_by_string(char16_t c) {
    char16_t s[] = {c, 0};
    unicase_strLower(s);
    return s[0];
}

// Collects mismatches; the first few are kept for the report.
struct Mismatches {
    int count = 0;
    std::string text;
    void check(const char *what, UChar32 c, long got, long want) {
        if (got == want || ++count > 10) return;
        char line[96];
        std::snprintf(line, sizeof line, "%s U+%04X: got %lX, want %lX\n", what, unsigned(c), got,
                      want);
        text += line;
    }
};

TEST(UniTables, EveryBmpUnitAgreesWithIcu) {
    Mismatches m;
    for (UChar32 c = 0; c < 0x10000; ++c) {
        const auto unit = static_cast<char16_t>(c);
        // ICU's simple mappings, narrowed to what the tables hold: none across
        // the BMP boundary, none for surrogates. U+1E9E keeps its lower case.
        auto bmp = [c](UChar32 mapped) {
            return (c >= 0xD800 && c <= 0xDFFF) || mapped > 0xFFFF ? c : mapped;
        };
        const UChar32 lower = c == 0x1E9E ? c : bmp(u_tolower(c));
        const bool nd = u_charType(c) == U_DECIMAL_DIGIT_NUMBER;
        m.check("upper", c, unicase_toUpper(unit), bmp(u_toupper(c)));
        m.check("to_lower", c, i18n::to_lower(unit), lower);
        if (c != 0) m.check("strLower", c, lower_by_string(unit), lower);
        m.check("isDigit", c, unichar_isDigit(unit) != 0, nd);
        m.check("isDigit/u_isdigit", c, unichar_isDigit(unit) != 0, u_isdigit(c) != 0);
        m.check("digitValue", c, unichar_digitValue(unit), nd ? u_charDigitValue(c) : -1);
    }
    EXPECT_EQ(m.count, 0) << m.text;
}

TEST(UniTables, SupplementaryLowerCaseCoversU10400ToU107FF) {
    Mismatches m;
    for (UChar32 c = 0x10000; c <= 0x10FFFF; ++c) {
        char16_t s[] = {U16_LEAD(c), U16_TRAIL(c), 0};
        unicase_strLower(s);
        const UChar32 lower = u_tolower(c);
        const bool covered = c >= 0x10400 && c <= 0x107FF && lower > 0xFFFF;
        m.check("strLower", c, U16_GET_SUPPLEMENTARY(s[0], s[1]), covered ? lower : c);
    }
    EXPECT_EQ(m.count, 0) << m.text;
}

// The documented cases, whatever ICU says: unit, upper, lower, digit value.
TEST(UniTables, Examples) {
    const std::tuple<char16_t, char16_t, char16_t, int32_t> examples[] = {
        {u'a', u'A', u'a', -1},       {0x00FF, 0x0178, 0x00FF, -1}, {0x00B5, 0x039C, 0x00B5, -1},
        {0x03A3, 0x03A3, 0x03C3, -1}, {0x03C2, 0x03A3, 0x03C2, -1}, {0x1C90, 0x1C90, 0x10D0, -1},
        {0x0130, 0x0130, 0x0069, -1}, {0x0131, 0x0049, 0x0131, -1}, {0x01C5, 0x01C4, 0x01C6, -1},
        {0x00DF, 0x00DF, 0x00DF, -1}, {0x1E9E, 0x1E9E, 0x1E9E, -1}, {0xD801, 0xD801, 0xD801, -1},
        {u'9', u'9', u'9', 9},        {0x0660, 0x0660, 0x0660, 0},  {0xFF19, 0xFF19, 0xFF19, 9},
        {0xA9D5, 0xA9D5, 0xA9D5, 5},  {0x00B2, 0x00B2, 0x00B2, -1}, {0x2160, 0x2160, 0x2170, -1},
    };
    for (const auto &[c, upper, lower, digit] : examples) {
        SCOPED_TRACE(testing::Message() << "U+" << std::hex << unsigned(c));
        EXPECT_EQ(unicase_toUpper(c), upper);
        EXPECT_EQ(i18n::to_lower(c), lower);
        EXPECT_EQ(lower_by_string(c), lower);
        EXPECT_EQ(unichar_isDigit(c), digit >= 0 ? 1 : 0);
        EXPECT_EQ(unichar_digitValue(c), digit);
    }
}

TEST(UniTables, StrLowerWalksPairsAndLoneSurrogates) {
    const std::pair<std::u16string, std::u16string> examples[] = {
        {u"EN_US", u"en_us"},
        {u"", u""},
        {u"A\U000104B0\U00010570Z", u"a\U000104D8\U00010597z"},  // Osage, Vithkuqi
        {u"\U00010428\U00010C80\U0001E900",
         u"\U00010428\U00010C80\U0001E900"},                               // none, not covered
        {{0xD801, u'A'}, {0xD801, u'a'}},                                  // lone high
        {{0xDC00, u'B', 0xD801}, {0xDC00, u'b', 0xD801}},                  // lone low, high at end
        {{0xD801, 0xD801, 0xDC00}, {0xD801, 0xD801, 0xDC28}},              // lone high, then pair
        {{0xD801, 0xDC00, 0xDC00, u'C'}, {0xD801, 0xDC28, 0xDC00, u'c'}},  // pair, then lone low
    };
    for (const auto &[in, want] : examples) {
        std::u16string s = in;
        unicase_strLower(s.data());
        EXPECT_EQ(s, want) << "input of " << in.size() << " units";
    }
    unicase_strLower(nullptr);
}

}  // namespace
