// The Unicode character tables of the localisation library: simple case
// mappings, character properties and decimal digit values of the BMP, and
// the lower-case mapping of the supplementary characters U+10400..U+107FF.
//
// The data lives in uni_tables_generated.cpp, written from UnicodeData.txt
// by tools/gen_unicode_tables.py. All of it is constant-initialised.
#pragma once

#include <cstddef>
#include <cstdint>

namespace i18n::uni {

// ---- case mappings --------------------------------------------------------

// The units first..last map to map[unit - first]; every other unit maps to
// itself. An empty table has first > last and no map.
struct CaseTable {
    char16_t first;
    char16_t last;
    const char16_t *map;
};

// The case tables of one block of 256 units.
struct CaseBlock {
    CaseTable upper;
    CaseTable lower;
};

inline constexpr unsigned kCaseBlockShift = 8;
inline constexpr std::size_t kCaseBlockCount = 0x10000 >> kCaseBlockShift;

// Indexed by unit >> kCaseBlockShift; null where every unit maps to itself.
// Simple mappings only; U+1E9E has no lower case, and a unit whose mapping
// lies outside the BMP is not mapped.
extern const CaseBlock *const kCaseBlocks[kCaseBlockCount];

// The lower case of the characters whose high surrogate is `high`: the low
// surrogates first..last map to the code points map[low - first] (a
// character without a mapping maps to itself); the other low surrogates are
// not mapped.
struct SupplementaryCaseTable {
    char16_t high;
    char16_t first;
    char16_t last;
    const char32_t *map;
};

extern const SupplementaryCaseTable kSupplementaryLower[];
extern const std::size_t kSupplementaryLowerCount;

// ---- character properties -------------------------------------------------

inline constexpr uint32_t kPropDigit = 0x00000010;         // a digit
inline constexpr uint32_t kPropDecimalValue = 0x00000020;  // has a decimal digit value
inline constexpr uint32_t kPropNd = 0x20000000;            // general category Nd
// A unit is a decimal digit when all of these are set.
inline constexpr uint32_t kPropDecimalDigit = kPropDigit | kPropDecimalValue | kPropNd;

// The property words of one block of 256 units: words[unit - first] for
// first..last, `fallback` for the rest of the block (first > last: all).
struct PropertyTable {
    char16_t first;
    char16_t last;
    uint32_t fallback;
    const uint32_t *words;
};

inline constexpr unsigned kPropertyBlockShift = 8;
inline constexpr std::size_t kPropertyBlockCount = 0x10000 >> kPropertyBlockShift;

// Indexed by unit >> kPropertyBlockShift; null where every word is 0.
extern const PropertyTable *const kPropertyBlocks[kPropertyBlockCount];

// ---- decimal digit values -------------------------------------------------

inline constexpr unsigned kDigitBlockShift = 7;
inline constexpr unsigned kDigitBlockMask = (1u << kDigitBlockShift) - 1;
inline constexpr std::size_t kDigitBlockCount = 0x10000 >> kDigitBlockShift;

// Indexed by unit >> kDigitBlockShift, then by unit & kDigitBlockMask: the
// decimal digit value, -1 for none. Null where no unit has a value.
extern const int8_t *const kDigitBlocks[kDigitBlockCount];

}  // namespace i18n::uni
