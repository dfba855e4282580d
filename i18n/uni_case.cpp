// Simple case mappings of UTF-16 units, and lower-casing of strings.
#include "i18n.h"
#include "i18n_internal.h"
#include "uni_tables.h"

namespace {

using i18n::uni::CaseBlock;
using i18n::uni::CaseTable;

constexpr char16_t kHighFirst = 0xD800;
constexpr char16_t kHighLast = 0xDBFF;
constexpr char16_t kLowFirst = 0xDC00;
constexpr char16_t kLowLast = 0xDFFF;
constexpr char32_t kSupplementaryFirst = 0x10000;

// Maps c through t; units outside the table map to themselves.
inline char16_t map_unit(const CaseTable &t, char16_t c) noexcept {
    return c < t.first || c > t.last ? c : t.map[c - t.first];
}

inline const CaseBlock *case_block(char16_t c) noexcept {
    return i18n::uni::kCaseBlocks[c >> i18n::uni::kCaseBlockShift];
}

// The lower case of the character high, low; null when it has no table.
const char32_t *lower_pair(char16_t high, char16_t low) noexcept {
    for (std::size_t i = 0; i < i18n::uni::kSupplementaryLowerCount; ++i) {
        const auto &t = i18n::uni::kSupplementaryLower[i];
        if (t.high == high && low >= t.first && low <= t.last) return &t.map[low - t.first];
    }
    return nullptr;
}

// Lower-cases the surrogate pair at s.
void lower_pair_in_place(char16_t *s) noexcept {
    const char32_t *mapped = lower_pair(s[0], s[1]);
    if (mapped == nullptr) return;
    const char32_t offset = *mapped - kSupplementaryFirst;
    s[0] = static_cast<char16_t>(kHighFirst + (offset >> 10));
    s[1] = static_cast<char16_t>(kLowFirst + (offset & 0x3FF));
}

inline bool is_high(char16_t c) noexcept {
    return c >= kHighFirst && c <= kHighLast;
}
inline bool is_low(char16_t c) noexcept {
    return c >= kLowFirst && c <= kLowLast;
}

}  // namespace

namespace i18n {

char16_t to_lower(char16_t c) noexcept {
    const CaseBlock *block = case_block(c);
    return block == nullptr ? c : map_unit(block->lower, c);
}

}  // namespace i18n

extern "C" {

char16_t unicase_toUpper(char16_t c) {
    const CaseBlock *block = case_block(c);
    return block == nullptr ? c : map_unit(block->upper, c);
}

void unicase_strLower(char16_t *s) {
    if (s == nullptr) return;
    for (; *s != 0; ++s) {
        if (is_high(s[0]) && is_low(s[1])) {
            lower_pair_in_place(s);
            ++s;
        } else {
            *s = i18n::to_lower(*s);
        }
    }
}

}  // extern "C"
