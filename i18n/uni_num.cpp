// Numbers written as UTF-16 digits.
#include "i18n.h"

namespace {

constexpr char16_t kDigits[] = u"0123456789ABCDEF";
constexpr int32_t kMaxDigits = 32;

}  // namespace

extern "C" int32_t uninum_format(char16_t *out, int32_t capacity, uint32_t value, int32_t base,
                                 int32_t digits) {
    if (base < 2 || base > 16) return I18N_E_NUMBASE;
    if (digits < 0 || digits > kMaxDigits) return I18N_E_NUMDIGITS;
    const auto b = static_cast<uint32_t>(base);
    int32_t count = digits;
    if (count == 0) {
        count = 1;
        for (uint32_t v = value / b; v != 0; v /= b) ++count;
    }
    if (out == nullptr || count + 1 > capacity) return I18N_E_NUMFIT;
    out[count] = 0;
    for (int32_t i = count - 1; i >= 0; --i) {
        out[i] = kDigits[value % b];
        value /= b;
    }
    return I18N_OK;
}
