// Character properties of UTF-16 units: the decimal digit test and values.
#include "i18n.h"
#include "uni_tables.h"

namespace {

using i18n::uni::PropertyTable;

// The property word of c: 0 in blocks without a table.
inline uint32_t properties(char16_t c) noexcept {
    const PropertyTable *t = i18n::uni::kPropertyBlocks[c >> i18n::uni::kPropertyBlockShift];
    if (t == nullptr) return 0;
    return c < t->first || c > t->last ? t->fallback : t->words[c - t->first];
}

}  // namespace

extern "C" {

int unichar_isDigit(char16_t c) {
    using i18n::uni::kPropDecimalDigit;
    return (properties(c) & kPropDecimalDigit) == kPropDecimalDigit ? 1 : 0;
}

int32_t unichar_digitValue(char16_t c) {
    const int8_t *values = i18n::uni::kDigitBlocks[c >> i18n::uni::kDigitBlockShift];
    return values == nullptr ? -1 : values[c & i18n::uni::kDigitBlockMask];
}

}  // extern "C"
