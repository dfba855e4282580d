// Conversions checked against ICU and against a plain reference of the
// library's own rules, on seeded random and malformed inputs.
#include <gtest/gtest.h>
#include <unicode/ustring.h>

#include <random>
#include <string>
#include <vector>

#include "i18n.h"

namespace {

constexpr int kRounds = 3000;

// Code-point ranges to draw from; lone surrogates and U+FFFE/U+FFFF only
// where the test asks for them.
struct Range {
    char32_t first, last;
};
constexpr Range kWellFormed[] = {{0x01, 0x7F},     {0x80, 0x7FF},       {0x800, 0xD7FF},
                                 {0xE000, 0xFFFD}, {0x10000, 0x10FFFF}, {0x4E00, 0x9FFF}};
constexpr Range kAwkward[] = {{0xD800, 0xDBFF}, {0xDC00, 0xDFFF}, {0xFFFE, 0xFFFF}};

void append(std::u16string &s, char32_t c) {
    if (c < 0x10000) {
        s.push_back(static_cast<char16_t>(c));
    } else {
        s.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
        s.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    }
}

std::u16string random_utf16(std::mt19937 &rng, bool awkward) {
    std::u16string s;
    const int n = std::uniform_int_distribution<int>(0, 40)(rng);
    for (int i = 0; i < n; ++i) {
        const bool odd = awkward && rng() % 8 == 0;
        const Range r = odd ? kAwkward[rng() % 3] : kWellFormed[rng() % 6];
        append(s, std::uniform_int_distribution<char32_t>(r.first, r.last)(rng));
    }
    return s;
}

// The library's rules, written plainly: pairs join, lone surrogates take
// three bytes, U+FFFE and U+FFFF stop the conversion.
std::string reference_utf8(const std::u16string &s, bool &invalid) {
    std::string out;
    invalid = false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        char32_t c = s[i];
        if (c == 0xFFFE || c == 0xFFFF) {
            invalid = true;
            break;
        }
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
            s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00u);
        }
        auto put = [&](unsigned v) { out.push_back(static_cast<char>(v)); };
        if (c < 0x80) {
            put(c);
        } else if (c < 0x800) {
            put(0xC0 | c >> 6), put(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            put(0xE0 | c >> 12), put(0x80 | (c >> 6 & 0x3F)), put(0x80 | (c & 0x3F));
        } else {
            put(0xF0 | c >> 18), put(0x80 | (c >> 12 & 0x3F)), put(0x80 | (c >> 6 & 0x3F)),
                put(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string icu_utf8(const std::u16string &s, bool &ok) {
    char buf[1024];
    int32_t len = 0;
    UErrorCode err = U_ZERO_ERROR;
    u_strToUTF8(buf, sizeof buf, &len, s.data(), static_cast<int32_t>(s.size()), &err);
    ok = U_SUCCESS(err);
    return ok ? std::string(buf, static_cast<std::size_t>(len)) : std::string();
}

std::u16string icu_utf16(const std::string &s, bool &ok) {
    char16_t buf[1024];
    int32_t len = 0;
    UErrorCode err = U_ZERO_ERROR;
    u_strFromUTF8(buf, 1024, &len, s.data(), static_cast<int32_t>(s.size()), &err);
    ok = U_SUCCESS(err);
    return ok ? std::u16string(buf, static_cast<std::size_t>(len)) : std::u16string();
}

std::string library_utf8(const std::u16string &s, int32_t capacity, int32_t &result) {
    std::vector<char> out(static_cast<std::size_t>(capacity) + 1, '\x7F');
    result = uniutf8_unistrToUTF8(out.data(), capacity, s.c_str(), nullptr);
    EXPECT_EQ(out[static_cast<std::size_t>(capacity)], '\x7F');
    return out.data();
}

TEST(Utf16ToUtf8, AgreesWithIcuOnWellFormedText) {
    std::mt19937 rng(20261205);
    for (int round = 0; round < kRounds; ++round) {
        const std::u16string s = random_utf16(rng, false);
        bool ok = false;
        const std::string expected = icu_utf8(s, ok);
        ASSERT_TRUE(ok);
        int32_t result = 0;
        EXPECT_EQ(library_utf8(s, 1024, result), expected);
        EXPECT_EQ(result, static_cast<int32_t>(expected.size()));
    }
}

// UTF-8 bytes of the character whose lead byte is b.
std::size_t sequence_length(char b) {
    const auto u = static_cast<unsigned char>(b);
    return u < 0x80 ? 1 : u < 0xE0 ? 2 : u < 0xF0 ? 3 : 4;
}

// s converted within capacity bytes: all of it when it fits, else whole
// characters up to the first that does not fit.
void expect_utf8_within(const std::u16string &s, int32_t capacity) {
    bool invalid = false;
    const std::string expected = reference_utf8(s, invalid);
    int32_t result = 0;
    const std::string got = library_utf8(s, capacity, result);
    if (expected.size() < static_cast<std::size_t>(capacity)) {
        EXPECT_EQ(got, expected);
        EXPECT_EQ(result, invalid ? -1 : static_cast<int32_t>(expected.size()));
    } else {
        EXPECT_EQ(result, -2);
        ASSERT_LT(got.size(), expected.size());
        EXPECT_EQ(expected.compare(0, got.size(), got), 0);
        EXPECT_GT(got.size() + sequence_length(expected[got.size()]),
                  static_cast<std::size_t>(capacity - 1));
    }
}

TEST(Utf16ToUtf8, FollowsItsRulesForSurrogatesNoncharactersAndFullBuffers) {
    std::mt19937 rng(7);
    for (int round = 0; round < kRounds; ++round) {
        const std::u16string s = random_utf16(rng, true);
        expect_utf8_within(s, std::uniform_int_distribution<int32_t>(1, 200)(rng));
    }
}

// Random UTF-8: valid text, sometimes damaged by a replaced byte.
std::string random_utf8(std::mt19937 &rng, bool damage) {
    bool ignored = false;
    std::string s = reference_utf8(random_utf16(rng, false), ignored);
    if (damage && !s.empty()) {
        static constexpr unsigned char kBad[] = {0x80, 0xBF, 0xC0, 0xC1, 0xE0, 0xED,
                                                 0xF0, 0xF4, 0xF5, 0xF8, 0xFF};
        s[rng() % s.size()] = static_cast<char>(kBad[rng() % sizeof kBad]);
    }
    return s;
}

bool has_encoded_surrogate(const std::string &s) {
    for (std::size_t i = 0; i + 1 < s.size(); ++i) {
        if (static_cast<unsigned char>(s[i]) == 0xED && (s[i + 1] & 0xE0) == 0xA0) return true;
    }
    return false;
}

TEST(Utf8ToUtf16, AgreesWithIcuWhereIcuAccepts) {
    std::mt19937 rng(42);
    int accepted = 0;
    for (int round = 0; round < kRounds; ++round) {
        const std::string s = random_utf8(rng, round % 2 == 1);
        bool ok = false;
        const std::u16string expected = icu_utf16(s, ok);
        char16_t out[1024];
        int32_t written = 0;
        const int32_t result = uniutf8_utf8ToUnistr(out, 1024, s.c_str(), nullptr, &written);
        if (!ok) {
            // Surrogates written as three bytes are kept as units here.
            if (!has_encoded_surrogate(s)) {
                EXPECT_NE(result, 0) << "accepted what ICU rejects";
            }
            continue;
        }
        ++accepted;
        EXPECT_EQ(result, 0);
        EXPECT_EQ(std::u16string(out, static_cast<std::size_t>(written)), expected);
    }
    EXPECT_GT(accepted, kRounds / 2);
}

// Well-formed s converted within capacity units: all of it when it fits,
// else whole characters up to the first that does not fit, with the bytes
// consumed matching the units written.
void expect_utf16_within(const std::string &s, int32_t capacity) {
    bool ok = false;
    const std::u16string full = icu_utf16(s, ok);
    ASSERT_TRUE(ok);
    std::vector<char16_t> out(static_cast<std::size_t>(capacity) + 1, u'\x7F');
    int32_t written = 0;
    const char *reached = nullptr;
    const int32_t result =
        uniutf8_utf8ToUnistr(out.data(), capacity, s.c_str(), &reached, &written);
    EXPECT_EQ(out[static_cast<std::size_t>(capacity)], u'\x7F');
    EXPECT_EQ(out[static_cast<std::size_t>(written)], 0);
    const std::u16string got(out.data(), static_cast<std::size_t>(written));
    if (full.size() < static_cast<std::size_t>(capacity)) {
        EXPECT_EQ(result, 0);
        EXPECT_EQ(got, full);
    } else {
        EXPECT_EQ(result, -2);
        ASSERT_LT(got.size(), full.size());
        EXPECT_EQ(full.compare(0, got.size(), got), 0);
        const std::size_t next = full[got.size()] >= 0xD800 && full[got.size()] <= 0xDBFF ? 2 : 1;
        EXPECT_GT(got.size() + next, static_cast<std::size_t>(capacity - 1));
        bool ignored = false;
        EXPECT_EQ(reference_utf8(got, ignored), s.substr(0, std::size_t(reached - s.c_str())));
    }
}

TEST(Utf8ToUtf16, FullBufferKeepsWholeCharactersAndTheTerminator) {
    std::mt19937 rng(99);
    for (int round = 0; round < kRounds; ++round) {
        const std::string s = random_utf8(rng, false);
        expect_utf16_within(s, std::uniform_int_distribution<int32_t>(1, 60)(rng));
    }
}

// Text in runs of one kind, as real text comes: ASCII runs longer than the
// eight-unit blocks, Latin, CJK, U+0800..U+0FFF (lead E0), U+E000..U+FFFD,
// pairs; with awkward, also lone surrogates and U+FFFE/U+FFFF.
std::u16string random_runs(std::mt19937 &rng, bool awkward) {
    static constexpr Range kRuns[] = {{0x20, 0x7E},   {0x80, 0x7FF},    {0x4E00, 0x9FFF},
                                      {0x800, 0xFFF}, {0xE000, 0xFFFD}, {0x10000, 0x10FFFF}};
    std::u16string s;
    while (s.size() < 150) {
        const bool odd = awkward && rng() % 8 == 0;
        const Range r = odd ? kAwkward[rng() % 3] : kRuns[rng() % 6];
        for (int n = std::uniform_int_distribution<int>(1, 24)(rng); n > 0; --n) {
            append(s, std::uniform_int_distribution<char32_t>(r.first, r.last)(rng));
        }
    }
    return s;
}

// Both directions stop correctly wherever the output fills up.
TEST(Conversions, LongRunsAtEveryCapacity) {
    std::mt19937 rng(31);
    for (int round = 0; round < 40; ++round) {
        const bool awkward = round % 2 == 1;
        const std::u16string s = random_runs(rng, awkward);
        bool ignored = false;
        const std::string utf8 = reference_utf8(s, ignored);
        for (int32_t capacity = 1; capacity <= static_cast<int32_t>(utf8.size()) + 2; ++capacity) {
            SCOPED_TRACE(capacity);
            expect_utf8_within(s, capacity);
            if (!awkward && capacity <= static_cast<int32_t>(s.size()) + 2) {
                expect_utf16_within(utf8, capacity);
            }
        }
    }
}

}  // namespace
