// Conversions checked against ICU and against a plain reference of the
// library's own rules, on seeded random and malformed inputs.
#include <gtest/gtest.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "i18n.h"

namespace {

constexpr int kRounds = 3000;

// Text in runs of one kind, as real text comes: ASCII (control characters
// and DEL included) in runs longer than the eight-unit blocks, Latin, CJK,
// U+0800..U+0FFF (lead E0), the rest of the BMP, pairs; with awkward, also
// lone surrogates and U+FFFE/U+FFFF.
std::u16string random_text(std::mt19937 &rng, bool awkward, std::size_t length) {
    // The last three are the awkward ones.
    static constexpr std::pair<char32_t, char32_t> kRuns[] = {
        {0x01, 0x7F},     {0x80, 0x7FF},    {0x4E00, 0x9FFF},    {0x800, 0xFFF},
        {0x1000, 0xD7FF}, {0xE000, 0xFFFD}, {0x10000, 0x10FFFF}, {0xD800, 0xDBFF},
        {0xDC00, 0xDFFF}, {0xFFFE, 0xFFFF}};
    std::u16string s;
    while (s.size() < length) {
        const auto [first, last] = kRuns[awkward && rng() % 8 == 0 ? 7 + rng() % 3 : rng() % 7];
        for (int n = std::uniform_int_distribution<int>(1, 24)(rng); n > 0; --n) {
            const char32_t c = std::uniform_int_distribution<char32_t>(first, last)(rng);
            if (c < 0x10000) {
                s.push_back(char16_t(c));
            } else {
                s += {char16_t(0xD800 + ((c - 0x10000) >> 10)), char16_t(0xDC00 + (c & 0x3FF))};
            }
        }
    }
    return s;
}

// The library's rules, written plainly: pairs join, lone surrogates take
// three bytes, U+FFFE and U+FFFF stop the conversion.
std::string reference_utf8(const std::u16string &s) {
    std::string out;
    for (std::size_t i = 0; i < s.size() && s[i] != 0xFFFE && s[i] != 0xFFFF; ++i) {
        char32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
            s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00u);
        }
        const int n = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
        const char32_t lead = n == 1 ? 0 : 0xF00u >> n & 0xF0;  // C0, E0 or F0
        out.push_back(char(lead | c >> (6 * (n - 1))));
        for (int k = n - 2; k >= 0; --k) out.push_back(char(0x80 | (c >> (6 * k) & 0x3F)));
    }
    return out;
}

// ICU's conversion; ok tells whether ICU accepted the input.
std::u16string icu_utf16(const std::string &s, bool &ok) {
    char16_t buf[1024];
    int32_t len = 0;
    UErrorCode err = U_ZERO_ERROR;
    u_strFromUTF8(buf, 1024, &len, s.data(), int32_t(s.size()), &err);
    ok = U_SUCCESS(err);
    return ok ? std::u16string(buf, std::size_t(len)) : std::u16string();
}

std::string icu_utf8(const std::u16string &s) {
    char out[1024];
    int32_t length = 0;
    UErrorCode err = U_ZERO_ERROR;
    u_strToUTF8(out, sizeof out, &length, s.data(), int32_t(s.size()), &err);
    EXPECT_TRUE(U_SUCCESS(err));
    return std::string(out, std::size_t(length));
}

// Valid text, and every other round the same damaged by a replaced byte.
TEST(Utf8ToUtf16, AgreesWithIcuWhereIcuAccepts) {
    static constexpr unsigned char kBad[] = {0x80, 0xBF, 0xC0, 0xC1, 0xE0, 0xED,
                                             0xF0, 0xF4, 0xF5, 0xF8, 0xFF};
    std::mt19937 rng(42);
    int accepted = 0;
    for (int round = 0; round < kRounds; ++round) {
        std::string s = reference_utf8(random_text(rng, false, rng() % 60));
        if (round % 2 == 1 && !s.empty()) s[rng() % s.size()] = char(kBad[rng() % sizeof kBad]);
        bool ok = false;
        const std::u16string expected = icu_utf16(s, ok);
        char16_t out[1024];
        int32_t written = 0;
        const int32_t result = uniutf8_utf8ToUnistr(out, 1024, s.c_str(), nullptr, &written);
        if (!ok) {
            // Surrogates written as three bytes are kept as units here.
            auto surrogate = [](char a, char b) { return a == '\xED' && (b & 0xE0) == 0xA0; };
            if (std::adjacent_find(s.begin(), s.end(), surrogate) == s.end()) {
                EXPECT_NE(result, 0) << "accepted what ICU rejects";
            }
            continue;
        }
        ++accepted;
        EXPECT_EQ(result, 0);
        EXPECT_EQ(std::u16string(out, std::size_t(written)), expected);
    }
    EXPECT_GT(accepted, kRounds / 2);
}

// s converted within capacity bytes: all of it when it fits (up to U+FFFE
// or U+FFFF, which stop it), else whole characters up to the first that
// does not fit; where it stopped matches what it wrote.
void expect_utf8_within(const std::u16string &s, int32_t capacity) {
    const std::string expected = reference_utf8(s);
    std::vector<char> out(std::size_t(capacity) + 1, '\x7F');
    const char16_t *stopped = nullptr;
    const int32_t result = uniutf8_unistrToUTF8(out.data(), capacity, s.c_str(), &stopped);
    EXPECT_EQ(out[std::size_t(capacity)], '\x7F') << "wrote past the capacity";
    const std::string got = out.data();
    EXPECT_EQ(reference_utf8(s.substr(0, std::size_t(stopped - s.c_str()))), got);
    if (expected.size() < std::size_t(capacity)) {
        EXPECT_EQ(got, expected);
        const bool invalid = s.find_first_of(u"\uFFFE\uFFFF") != std::u16string::npos;
        EXPECT_EQ(result, invalid ? -1 : int32_t(expected.size()));
        return;
    }
    EXPECT_EQ(result, -2);
    ASSERT_LT(got.size(), expected.size());
    EXPECT_EQ(expected.compare(0, got.size(), got), 0);
    const auto lead = static_cast<unsigned char>(expected[got.size()]);
    const std::size_t next = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    EXPECT_GT(got.size() + next, std::size_t(capacity - 1));
}

// Well-formed s converted within capacity units: all of it when it fits,
// else whole characters up to the first that does not fit, with the bytes
// consumed matching the units written.
void expect_utf16_within(const std::string &s, int32_t capacity) {
    bool ok = false;
    const std::u16string full = icu_utf16(s, ok);
    ASSERT_TRUE(ok);
    std::vector<char16_t> out(std::size_t(capacity) + 1, u'\x7F');
    int32_t written = 0;
    const char *reached = nullptr;
    const int32_t result =
        uniutf8_utf8ToUnistr(out.data(), capacity, s.c_str(), &reached, &written);
    EXPECT_EQ(out[std::size_t(capacity)], u'\x7F');
    EXPECT_EQ(out[std::size_t(written)], 0);
    const std::u16string got(out.data(), std::size_t(written));
    if (full.size() < std::size_t(capacity)) {
        EXPECT_EQ(result, 0);
        EXPECT_EQ(got, full);
        return;
    }
    EXPECT_EQ(result, -2);
    ASSERT_LT(got.size(), full.size());
    EXPECT_EQ(full.compare(0, got.size(), got), 0);
    const std::size_t next = full[got.size()] >= 0xD800 && full[got.size()] <= 0xDBFF ? 2 : 1;
    EXPECT_GT(got.size() + next, std::size_t(capacity - 1));
    EXPECT_EQ(reference_utf8(got), s.substr(0, std::size_t(reached - s.c_str())));
}

// Both directions at every capacity, on short texts and on long ones; with
// lone surrogates and U+FFFE/U+FFFF in half the rounds, else well formed, as
// ICU converts it.
TEST(Conversions, AgreeWithIcuAtEveryCapacity) {
    std::mt19937 rng(31);
    for (int round = 0; round < kRounds / 3 + 40; ++round) {
        const bool awkward = round % 2 == 1;
        const std::u16string s = random_text(rng, awkward, round < kRounds / 3 ? rng() % 60 : 150);
        const std::string utf8 = reference_utf8(s);
        if (!awkward) {
            ASSERT_EQ(utf8, icu_utf8(s));
        }
        for (int32_t capacity = 1; capacity <= int32_t(utf8.size()) + 2; ++capacity) {
            SCOPED_TRACE(capacity);
            expect_utf8_within(s, capacity);
            if (!awkward && capacity <= int32_t(s.size()) + 2) expect_utf16_within(utf8, capacity);
        }
    }
}

}  // namespace
