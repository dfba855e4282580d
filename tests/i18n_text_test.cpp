// Text: conversions, characters, composition, strings and numbers, on seeded
// random inputs against ICU, the standard library and the models of
// i18n_model.h.
#include <unicode/uchar.h>
#include <unicode/ustring.h>

#include <charconv>
#include <cstring>
#include <random>

#include "i18n_model.h"
#include "support.h"

namespace {

std::u16string units(UChar32 c) {
    return c < 0x10000 ? std::u16string(1, char16_t(c)) : std::u16string{U16_LEAD(c), U16_TRAIL(c)};
}

// Text in runs of one kind, as real text comes: ASCII (runs longer than the
// eight-unit blocks), Latin, CJK, U+0800..U+0FFF, the rest of the BMP,
// pairs; awkward text also has lone surrogates and U+FFFE/U+FFFF.
std::u16string random_text(std::mt19937 &rng, bool awkward, std::size_t length) {
    // clang-format off
    static constexpr UChar32 kRuns[][2] = {{1, 0x7F}, {0x80, 0x7FF}, {0x4E00, 0x9FFF}, {0x800, 0xFFF},
        {0x1000, 0xD7FF}, {0xE000, 0xFFFD}, {0x10000, 0x10FFFF}, {0xD800, 0xDBFF}, {0xDC00, 0xDFFF},
        {0xFFFE, 0xFFFF}};
    // clang-format on
    std::u16string s;
    while (s.size() < length) {
        const auto run = kRuns[awkward && rng() % 8 == 0 ? 7 + rng() % 3 : rng() % 7];
        for (auto n = 1 + rng() % 24; n > 0; --n) {
            s += units(std::uniform_int_distribution<UChar32>(run[0], run[1])(rng));
        }
    }
    return s;
}

// Both directions at every capacity; the models against ICU where ICU takes
// the text. Every other round the text is awkward and its UTF-8 damaged.
TEST(Conversions, AgreeWithTheModelsAtEveryCapacity) {
    // clang-format off
    static const std::string kOdd[] = {"\xC0\x80", "\xC1\x81", "\xE0\x81\x81", "\xF0\x80\x81\x81",
        "\xF4\x90\x80\x80", "\xF7\xBF\xBF\xBF", "\xED\xA0\x80", "\x80", "\xC3("};
    // clang-format on
    std::mt19937 rng(31);
    for (int round = 0; round < 1200 && !HasFailure(); ++round) {
        const bool awkward = round % 2 == 1;
        const std::u16string s = random_text(rng, awkward, round % 100 == 0 ? 150 : rng() % 50);
        std::string bytes = model::to_utf8(s).at(INT32_MAX, 0).text;
        for (int32_t capacity = -1; capacity <= int32_t(bytes.size()) + 1; ++capacity) {
            EXPECT_TRUE(model::check_to_utf8(s, capacity)) << round << " " << capacity;
        }
        if (awkward) bytes.insert(rng() % (bytes.size() + 1), kOdd[rng() % std::size(kOdd)]);
        char16_t icu[1024];
        int32_t n = 0;
        UErrorCode err = U_ZERO_ERROR;
        u_strFromUTF8(icu, 1024, &n, bytes.data(), int32_t(bytes.size()), &err);
        const auto all = model::to_utf16(bytes).at(INT32_MAX, 0);
        if (U_SUCCESS(err)) {  // which it is for well-formed text, encoded right if it comes back
            EXPECT_EQ(all, (model::Result<char16_t>{0, bytes.size(), {icu, std::size_t(n)}}));
            EXPECT_TRUE(awkward || all.text == s) << round;
        }
        for (int32_t capacity = -1; capacity <= int32_t(all.text.size()) + 2; ++capacity) {
            EXPECT_TRUE(model::check_to_utf16(bytes, capacity)) << round << " " << capacity;
        }
    }
}

// ICU's simple lower case as the tables hold it: within the BMP, or from
// U+10400..U+107FF to the supplementary planes; none for surrogates, nor
// for U+1E9E.
UChar32 lower(UChar32 c) {
    const UChar32 l = u_tolower(c);
    if (c == 0x1E9E || (c >= 0xD800 && c <= 0xDFFF)) return c;
    return (c < 0x10000 ? l < 0x10000 : c >= 0x10400 && c <= 0x107FF && l > 0xFFFF) ? l : c;
}

// Each code point lower-cased between a lone high and a lone low surrogate,
// which pair up with it where they can.
TEST(Characters, EveryCodePointAgreesWithIcu) {
    for (UChar32 c = 0; c <= 0x10FFFF && !HasFailure(); ++c) {
        std::u16string s = u"\xD801" + units(c) + u"\xDC00_", want;
        for (std::size_t i = 0; i < s.size(); ++i) {
            const bool pair = U16_IS_LEAD(s[i]) && U16_IS_TRAIL(s[i + 1]);
            want += units(lower(pair ? U16_GET_SUPPLEMENTARY(s[i], s[i + 1]) : s[i]));
            i += pair;
        }
        unicase_strLower(s.data());
        EXPECT_EQ(s, want) << std::hex << c;
        const auto u = char16_t(c);
        const bool nd = u_charType(c) == U_DECIMAL_DIGIT_NUMBER;
        const UChar32 upper = c >= 0xD800 && c <= 0xDFFF ? c : u_toupper(c);
        EXPECT_TRUE(c > 0xFFFF || std::tuple(unicase_toUpper(u), i18n::to_lower(u),
                                             unichar_isDigit(u), unichar_digitValue(u)) ==
                                      std::tuple(upper > 0xFFFF ? c : upper, lower(c), nd ? 1 : 0,
                                                 nd ? u_charDigitValue(c) : -1))
            << std::hex << c;
    }
    unicase_strLower(nullptr);
}

// Templates of placeholders, percent signs and text, with up to ten
// arguments or no list, at every capacity.
TEST(Compose, FillsTemplatesWithinTheCapacity) {
    // clang-format off
    static const std::u16string kPieces[] = {u"%1", u"%2", u"%9", u"%%", u"%", u"%0", u"%x", u"%\u0662",
        u"%\uFF13", u"%\u00B2", u"%\u0660", u"a", u"bc"};
    // clang-format on
    std::mt19937 rng(5);
    for (int round = 0; round < 1500; ++round) {
        std::u16string templ;
        for (auto n = rng() % 8; n > 0; --n) templ += kPieces[rng() % std::size(kPieces)];
        std::vector<std::u16string> args(rng() % 11);
        for (auto &a : args) a = std::u16string(rng() % 3, char16_t(u'A' + rng() % 26)) + u"%1";
        const auto *list = round % 5 ? &args : nullptr;
        const auto need = int32_t(model::compose(templ, list).at(INT32_MAX, 0).text.size()) + 1;
        for (int32_t capacity = -1; capacity <= need; ++capacity) {
            EXPECT_TRUE(model::check_compose(templ, list, capacity)) << round << " " << capacity;
        }
    }
}

// A list whose count was overwritten by the caller is refused, never indexed
// with: nothing is added, nothing is read, composing leaves placeholders empty.
TEST(Compose, RefusesAListWithACorruptedCount) {
    for (const int32_t last : {-5, -2, I18N_ARGS_MAX, INT32_MAX, INT32_MIN}) {
        I18N_ARGS list{I18N_ARGS_MAGIC, last, {u"a"}};
        const I18N_ARGS before = list;
        char16_t out[8];
        EXPECT_EQ(
            std::tuple(i18nargs_add(&list, u"b"), i18nargs_get(&list, 1),
                       i18nargs_get(&list, INT32_MAX), i18nstrb_Compose(out, 8, u"<%1>", &list)),
            std::tuple(0, nullptr, nullptr, I18N_OK))
            << last;
        EXPECT_EQ(std::memcmp(&list, &before, sizeof list), 0) << last;
        EXPECT_EQ(std::u16string(out), u"<>") << last;
    }
}

// Narrowing to 8 bits, UTF-16 strings and numbers on random inputs, against
// the standard library. Units up to U+00FF narrow to their byte, others to 0x1A;
// at most capacity units and a terminator are written; input left over wins.
TEST(Text, SmallCallsAgreeWithTheStandardLibrary) {
    std::mt19937 rng(3);
    for (int round = 0; round < 5000; ++round) {
        std::u16string a, buf(16, u'#'), fill(8, u'#'), no_fill = fill;
        for (auto n = rng() % 5; n > 0; --n) a += char16_t(1 + rng() % (rng() % 2 ? 0xFF : 0xFFFE));
        const auto b = a.substr(0, rng() % (a.size() + 1)) + (rng() % 2 ? u"\xFFFF" : u"");
        const std::size_t c = rng() % 6, kept = std::min(a.size(), c), ended = kept + (kept < c);
        std::string narrow(a.size(), 0), out8(c + 2, '#');
        const std::u16string zeros = a + std::u16string(8, 0);
        for (std::size_t i = 0; i < a.size(); ++i) narrow[i] = char(a[i] > 0xFF ? 0x1A : a[i]);
        const bool wide = std::any_of(a.data(), a.data() + kept, [](auto u) { return u > 0xFF; });
        const int32_t left = kept < a.size() ? -1327 : 1;
        EXPECT_EQ(uniascii_fromUnistr(out8.data(), int32_t(c), a.c_str()),
                  left == 1 && wide ? -1328 : left);
        EXPECT_EQ(out8, narrow.substr(0, kept) + '\0' + std::string(c + 1 - kept, '#'));
        EXPECT_EQ(unistr_cmp(a.c_str(), b.c_str()), a < b ? -1 : a > b ? 1 : 0);
        EXPECT_EQ(unistr_cat(unistr_cpy(buf.data(), a.c_str()), b.c_str()), a + b);  // cat uses len
        // n units, the rest of n zeros; or without filling, terminated only when shorter than n
        EXPECT_EQ(unistr_ncpy(fill.data(), a.c_str(), int32_t(c)), fill.data());
        EXPECT_EQ(unistr_ncpyNoFill(no_fill.data(), a.c_str(), int32_t(c)), no_fill.data());
        EXPECT_EQ(fill, zeros.substr(0, c) + std::u16string(8 - c, u'#'));
        EXPECT_EQ(no_fill, zeros.substr(0, ended) + std::u16string(8 - ended, u'#'));

        // Upper-case digits; a count of them cuts higher ones or pads with zeros.
        const auto value = uint32_t(rng() >> rng() % 32);
        const int base = int(rng() % 18), digits = int(rng() % 35) - 1, room = int(rng() % 36);
        char text[40] = "";
        std::to_chars(text, text + 40, value, std::clamp(base, 2, 16));
        std::string want = std::string(32, '0') + text;
        want = want.substr(digits > 0 && digits <= 32 ? want.size() - std::size_t(digits) : 32);
        std::u16string out(40, u'#'), upper(want.begin(), want.end());
        for (char16_t &u : upper) u = char16_t(std::toupper(u));
        int32_t status = int(want.size()) < room ? 1 : -600;
        status = base < 2 || base > 16 ? -601 : digits < 0 || digits > 32 ? -602 : status;
        EXPECT_EQ(uninum_format(out.data(), room, value, base, digits), status);
        EXPECT_EQ(out, status == 1 ? upper + u'\0' + std::u16string(39 - want.size(), u'#')
                                   : std::u16string(40, u'#'));
    }
    EXPECT_EQ(uninum_format(nullptr, 9, 1, 10, 0) + uniascii_fromUnistr(nullptr, 1, u"a"),
              -600 - 1327);
}

}  // namespace
