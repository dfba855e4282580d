// Conversions between UTF-16 and 8-bit text (ISO 8859-1).
#include "i18n.h"

namespace {

// Replacement byte for a unit that has no 8-bit form.
constexpr char kSubstitute = 0x1A;

}  // namespace

extern "C" {

int32_t uniascii_toUnistr(char16_t *out, int32_t capacity, const char *in) {
    if (out == nullptr) return I18N_E_ASCII_FIT;
    if (in == nullptr) in = "";
    int32_t i = 0;
    for (; i < capacity && in[i] != 0; ++i) {
        out[i] = static_cast<char16_t>(static_cast<unsigned char>(in[i]));
    }
    out[i] = 0;
    return in[i] == 0 ? I18N_OK : I18N_E_ASCII_FIT;
}

int32_t uniascii_fromUnistr(char *out, int32_t capacity, const char16_t *in) {
    if (out == nullptr) return I18N_E_ASCII_FIT;
    if (in == nullptr) in = u"";
    int32_t result = I18N_OK;
    int32_t i = 0;
    for (; i < capacity && in[i] != 0; ++i) {
        if (in[i] > 0xFF) {
            out[i] = kSubstitute;
            result = I18N_E_ASCII_RANGE;
        } else {
            out[i] = static_cast<char>(in[i]);
        }
    }
    out[i] = 0;
    return in[i] == 0 ? result : I18N_E_ASCII_FIT;
}

}  // extern "C"
