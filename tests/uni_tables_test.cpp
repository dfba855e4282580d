// The Unicode character tables against ICU (same Unicode version), unit by
// unit, plus the documented examples.
#include <unicode/uchar.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "i18n.h"
#include "i18n_internal.h"

namespace {

constexpr UChar32 kBmpEnd = 0x10000;

bool is_surrogate(UChar32 c) {
    return c >= 0xD800 && c <= 0xDFFF;
}

// ICU's simple mapping, narrowed to what the tables hold: no mapping across
// the BMP boundary, none for surrogates.
UChar32 bmp_mapping(UChar32 c, UChar32 mapped) {
    return is_surrogate(c) || mapped >= kBmpEnd ? c : mapped;
}

char16_t lower_by_string(char16_t c) {
    char16_t s[] = {c, 0};
    unicase_strLower(s);
    return s[0];
}

// Collects mismatches and reports the first few.
class Mismatches {
  public:
    void add(const char *what, UChar32 c, long got, long want) {
        if (++count_ > 10) return;
        char line[96];
        std::snprintf(line, sizeof line, "%s U+%04X: got %lX, want %lX\n", what,
                      static_cast<unsigned>(c), got, want);
        text_ += line;
    }
    void check(const char *what, UChar32 c, long got, long want) {
        if (got != want) add(what, c, got, want);
    }
    int count() const { return count_; }
    const std::string &text() const { return text_; }

  private:
    int count_ = 0;
    std::string text_;
};

TEST(UniTables, EveryBmpUnitAgreesWithIcu) {
    Mismatches m;
    for (UChar32 c = 0; c < kBmpEnd; ++c) {
        const auto unit = static_cast<char16_t>(c);
        // U+1E9E keeps its lower case (ICU: U+00DF).
        const UChar32 lower = c == 0x1E9E ? c : bmp_mapping(c, u_tolower(c));
        const bool nd = u_charType(c) == U_DECIMAL_DIGIT_NUMBER;
        m.check("upper", c, unicase_toUpper(unit), bmp_mapping(c, u_toupper(c)));
        m.check("to_lower", c, i18n::to_lower(unit), lower);
        if (c != 0) m.check("strLower", c, lower_by_string(unit), lower);
        m.check("isDigit", c, unichar_isDigit(unit) != 0, nd);
        m.check("isDigit/u_isdigit", c, unichar_isDigit(unit) != 0, u_isdigit(c) != 0);
        m.check("digitValue", c, unichar_digitValue(unit), nd ? u_charDigitValue(c) : -1);
    }
    EXPECT_EQ(m.count(), 0) << m.text();
}

TEST(UniTables, SupplementaryLowerCaseCoversU10400ToU107FF) {
    Mismatches m;
    for (UChar32 c = kBmpEnd; c <= 0x10FFFF; ++c) {
        char16_t s[] = {U16_LEAD(c), U16_TRAIL(c), 0};
        unicase_strLower(s);
        const UChar32 got = U16_GET_SUPPLEMENTARY(s[0], s[1]);
        const UChar32 lower = u_tolower(c);
        const bool covered = c >= 0x10400 && c <= 0x107FF && lower >= kBmpEnd;
        m.check("strLower", c, got, covered ? lower : c);
    }
    EXPECT_EQ(m.count(), 0) << m.text();
}

struct CaseExample {
    char16_t c, upper, lower;
};

TEST(UniTables, CaseExamples) {
    const CaseExample examples[] = {
        {u'a', u'A', u'a'},       {u'Z', u'Z', u'z'},       {0x00E9, 0x00C9, 0x00E9},
        {0x00C9, 0x00C9, 0x00E9}, {0x00FF, 0x0178, 0x00FF}, {0x0178, 0x0178, 0x00FF},
        {0x00B5, 0x039C, 0x00B5}, {0x03B1, 0x0391, 0x03B1}, {0x03A3, 0x03A3, 0x03C3},
        {0x03C2, 0x03A3, 0x03C2}, {0x0430, 0x0410, 0x0430}, {0x042F, 0x042F, 0x044F},
        {0x10D0, 0x1C90, 0x10D0}, {0x1C90, 0x1C90, 0x10D0}, {0x10A0, 0x10A0, 0x2D00},
        {0x2D00, 0x10A0, 0x2D00}, {0xFF41, 0xFF21, 0xFF41}, {0xFF3A, 0xFF3A, 0xFF5A},
        {0x0130, 0x0130, 0x0069}, {0x0131, 0x0049, 0x0131}, {0x01C5, 0x01C4, 0x01C6},
        {0x00DF, 0x00DF, 0x00DF}, {0x1E9E, 0x1E9E, 0x1E9E}, {u'1', u'1', u'1'},
        {0xD801, 0xD801, 0xD801}, {0xDC00, 0xDC00, 0xDC00}, {0xFFFF, 0xFFFF, 0xFFFF},
    };
    for (const auto &e : examples) {
        SCOPED_TRACE(testing::Message() << "U+" << std::hex << static_cast<unsigned>(e.c));
        EXPECT_EQ(unicase_toUpper(e.c), e.upper);
        EXPECT_EQ(i18n::to_lower(e.c), e.lower);
        EXPECT_EQ(lower_by_string(e.c), e.lower);
    }
}

struct DigitExample {
    char16_t c;
    int32_t value;  // -1: not a decimal digit
};

TEST(UniTables, DigitExamples) {
    const DigitExample examples[] = {
        {u'0', 0},    {u'9', 9},    {0x0660, 0},  {0x0669, 9},  {0x0966, 0},
        {0x096F, 9},  {0xFF10, 0},  {0xFF19, 9},  {0xA9D5, 5},  {u'/', -1},
        {u':', -1},   {u'a', -1},   {0x00B2, -1}, {0x00B9, -1}, {0x00BD, -1},
        {0x2160, -1}, {0x2460, -1}, {0x0F33, -1}, {0xFF21, -1}, {0xD835, -1},
    };
    for (const auto &e : examples) {
        SCOPED_TRACE(testing::Message() << "U+" << std::hex << static_cast<unsigned>(e.c));
        EXPECT_EQ(unichar_isDigit(e.c), e.value >= 0 ? 1 : 0);
        EXPECT_EQ(unichar_digitValue(e.c), e.value);
    }
}

struct LowerExample {
    std::u16string in, want;
};

TEST(UniTables, StrLowerWalksPairsAndLoneSurrogates) {
    const LowerExample examples[] = {
        {u"EN_US", u"en_us"},
        {u"", u""},
        {u"\U00010400", u"\U00010428"},                                    // Deseret
        {u"A\U000104B0\U00010570Z", u"a\U000104D8\U00010597z"},            // Osage, Vithkuqi
        {u"\U00010428\U00010480", u"\U00010428\U00010480"},                // no mapping
        {u"\U00010C80\U0001E900", u"\U00010C80\U0001E900"},                // not covered
        {{0xD801, u'A'}, {0xD801, u'a'}},                                  // lone high
        {{0xDC00, u'B', 0xD801}, {0xDC00, u'b', 0xD801}},                  // lone low, high at end
        {{0xD801, 0xD801, 0xDC00}, {0xD801, 0xD801, 0xDC28}},              // lone high, then pair
        {{0xD801, 0xDC00, 0xDC00, u'C'}, {0xD801, 0xDC28, 0xDC00, u'c'}},  // pair, then lone low
    };
    for (const auto &e : examples) {
        std::u16string s = e.in;
        unicase_strLower(s.data());
        EXPECT_EQ(s, e.want) << "input of " << e.in.size() << " units";
    }
    unicase_strLower(nullptr);
}

}  // namespace
