// Text: conversions, characters, composition, strings and numbers, on seeded
// random inputs against ICU, the standard library and the models of
// i18n_model.h.
#if KAVREL_PEERS
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#endif

#include <charconv>
#include <cstring>
#include <random>

#include "i18n_model.h"
#include "support.h"

namespace {

#if KAVREL_PEERS  // builds for a target without an ICU of its own leave these out
std::u16string units(UChar32 c) {
    return c < 0x10000 ? std::u16string(1, char16_t(c)) : std::u16string{U16_LEAD(c), U16_TRAIL(c)};
}

// Conversions both ways and composition, at every capacity, against the
// models. Text comes in runs of one kind, as real text does: ASCII (runs
// longer than the eight-unit blocks), Latin, CJK, U+0800..U+0FFF, the rest of
// the BMP, pairs; every other round it is awkward (lone surrogates,
// U+FFFE/U+FFFF too) and its UTF-8 damaged, else ICU and the model read the
// UTF-8 back as the text. Templates hold placeholders, percent signs and
// text, with up to ten arguments or no list.
TEST(Models, ConversionsAndCompositionAgreeAtEveryCapacity) {
    // clang-format off
    static constexpr UChar32 kRuns[][2] = {{1, 0x7F}, {0x80, 0x7FF}, {0x4E00, 0x9FFF}, {0x800, 0xFFF},
        {0x1000, 0xD7FF}, {0xE000, 0xFFFD}, {0x10000, 0x10FFFF}, {0xD800, 0xDBFF}, {0xDC00, 0xDFFF},
        {0xFFFE, 0xFFFF}};
    static const std::string kOdd[] = {"\xC0\x80", "\xC1\x81", "\xE0\x81\x81", "\xF0\x80\x81\x81",
        "\xF4\x90\x80\x80", "\xF7\xBF\xBF\xBF", "\xED\xA0\x80", "\x80", "\xC3("};
    static const std::u16string kPieces[] = {u"%1", u"%2", u"%9", u"%%", u"%", u"%0", u"%x", u"%\u0662",
        u"%\uFF13", u"%\u00B2", u"%\u0660", u"a", u"bc"};
    // clang-format on
    std::mt19937 rng(31);
    for (int round = 0; round < 1500 && !HasFailure(); ++round) {
        const bool awkward = round % 2 == 1;
        std::u16string s, templ;
        for (std::size_t length = round % 100 == 0 ? 150 : rng() % 50; s.size() < length;) {
            const auto run = kRuns[awkward && rng() % 8 == 0 ? 7 + rng() % 3 : rng() % 7];
            for (auto n = 1 + rng() % 24; n > 0; --n)
                s += units(std::uniform_int_distribution<UChar32>(run[0], run[1])(rng));
        }
        std::string bytes = model::to_utf8(s).at(INT32_MAX, 0).text;
        if (awkward) bytes.insert(rng() % (bytes.size() + 1), kOdd[rng() % std::size(kOdd)]);
        const icu::UnicodeString icu = icu::UnicodeString::fromUTF8(bytes);
        EXPECT_TRUE(awkward || (icu == icu::UnicodeString(s.data(), int32_t(s.size())) &&
                                model::to_utf16(bytes).at(INT32_MAX, 0) ==
                                    model::Result<char16_t>{0, bytes.size(), s}))
            << round;
        for (auto n = rng() % 8; n > 0; --n) templ += kPieces[rng() % std::size(kPieces)];
        std::vector<std::u16string> args(rng() % 11);
        for (auto &a : args) a = std::u16string(rng() % 3, char16_t(u'A' + rng() % 26)) + u"%1";
        // past what each call needs: no template makes 29 units
        for (int32_t capacity = -1; capacity <= int32_t(bytes.size()) + 30; ++capacity)
            EXPECT_TRUE(model::check_to_utf8(s, capacity) &&
                        model::check_to_utf16(bytes, capacity) &&
                        model::check_compose(templ, round % 5 ? &args : nullptr, capacity))
                << round << " " << capacity;
    }
}

// ICU's simple lower case as the tables hold it: within the BMP, or from
// U+10400..U+107FF to the supplementary planes; none for surrogates, nor
// for U+1E9E.
UChar32 lower(UChar32 c) {
    const UChar32 l = c == 0x1E9E ? c : u_tolower(c);
    return (c < 0x10000 ? l < 0x10000 : c >= 0x10400 && c <= 0x107FF && l > 0xFFFF) ? l : c;
}

// Each code point lower-cased between a lone high and a lone low surrogate,
// which pair up with it where they can.
TEST(Characters, EveryCodePointAgreesWithIcu) {
    for (UChar32 c = 0; c <= 0x10FFFF && !HasFailure(); ++c) {
        std::u16string s = u"\xD801" + units(c) + u"\xDC00_", want;
        for (std::size_t i = 0, pair = 0; i < s.size(); i += 1 + pair) {
            pair = U16_IS_LEAD(s[i]) && U16_IS_TRAIL(s[i + 1]);
            want += units(lower(pair ? U16_GET_SUPPLEMENTARY(s[i], s[i + 1]) : s[i]));
        }
        unicase_strLower(s.data());
        EXPECT_EQ(s, want) << std::hex << c;
        const auto u = char16_t(c);
        const bool nd = u_charType(c) == U_DECIMAL_DIGIT_NUMBER;
        const UChar32 upper = u_toupper(c);
        EXPECT_TRUE(c > 0xFFFF || std::tuple(unicase_toUpper(u), i18n::to_lower(u),
                                             unichar_isDigit(u), unichar_digitValue(u)) ==
                                      std::tuple(upper > 0xFFFF ? c : upper, lower(c), nd ? 1 : 0,
                                                 nd ? u_charDigitValue(c) : -1))
            << std::hex << c;
    }
    unicase_strLower(nullptr);
}
#endif

// A list whose count was overwritten by the caller is refused, never indexed
// with: nothing is added, nothing is read, composing leaves placeholders empty.
TEST(Compose, RefusesAListWithACorruptedCount) {
    for (const int32_t last : {-5, -2, I18N_ARGS_MAX, INT32_MAX, INT32_MIN}) {
        I18N_ARGS list{I18N_ARGS_MAGIC, last, {u"a"}}, before = list;
        char16_t out[8];
        EXPECT_EQ(
            (std::tuple{i18nargs_add(&list, u"b"), i18nargs_get(&list, 1),
                        i18nargs_get(&list, INT32_MAX), i18nstrb_Compose(out, 8, u"<%1>", &list),
                        std::u16string(out), std::memcmp(&list, &before, sizeof list)}),
            std::tuple(0, nullptr, nullptr, I18N_OK, std::u16string(u"<>"), 0))
            << last;
    }
}

// Narrowing to 8 bits, UTF-16 strings and numbers on random inputs, against
// the standard library. Units up to U+00FF narrow to their byte, others to 0x1A;
// at most capacity units and a terminator are written; input left over wins.
TEST(Text, SmallCallsAgreeWithTheStandardLibrary) {
    std::mt19937 rng(3);
    for (int round = 0; round < 5000; ++round) {
        std::u16string a, buf(16, u'#'), fill(8, u'#'), no_fill = fill, out(40, u'#');
        for (auto n = rng() % 5; n > 0; --n) a += char16_t(1 + rng() % (rng() % 2 ? 0xFF : 0xFFFE));
        const auto b = a.substr(0, rng() % (a.size() + 1)) + (rng() % 2 ? u"\xFFFF" : u"");
        const std::size_t c = rng() % 6, kept = std::min(a.size(), c), ended = kept + (kept < c);
        std::string narrow, out8(c + 2, '#');
        const std::u16string zeros = a + std::u16string(8, 0);
        for (char16_t u : a) narrow += char(u > 0xFF ? 0x1A : u);
        const int32_t ascii = kept < a.size() ? -1327 : std::ranges::max(zeros) > 0xFF ? -1328 : 1;
        EXPECT_EQ(uniascii_fromUnistr(out8.data(), int32_t(c), a.c_str()), ascii);
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
        char text[72] = "00000000000000000000000000000000";  // 32 zeros, then the digits
        const char *end = std::to_chars(text + 32, text + 72, value, std::clamp(base, 2, 16)).ptr;
        std::u16string want(digits > 0 && digits <= 32 ? end - digits : text + 32, end);
        for (char16_t &u : want) u = char16_t(std::toupper(u));
        int32_t status = int(want.size()) < room ? 1 : -600;
        status = base < 2 || base > 16 ? -601 : digits < 0 || digits > 32 ? -602 : status;
        EXPECT_EQ(uninum_format(out.data(), room, value, base, digits), status);
        EXPECT_EQ(out, status == 1 ? want + u'\0' + std::u16string(39 - want.size(), u'#')
                                   : std::u16string(40, u'#'));
    }
    EXPECT_EQ(uninum_format(nullptr, 9, 1, 10, 0) + uniascii_fromUnistr(nullptr, 1, u"a"),
              -600 - 1327);
}

}  // namespace
