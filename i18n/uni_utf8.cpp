// Conversions between UTF-16 and UTF-8.
//
// Both directions keep room for the terminator at all times and leave the
// output terminated whatever the result. ASCII runs take a tight loop of
// their own: (unit - 1) < 0x7F tests "neither the terminator nor above
// 0x7F" with one comparison.
#include "i18n.h"

namespace {

constexpr bool is_high(char32_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
constexpr bool is_low(char32_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}
constexpr bool is_ascii_text(unsigned c) {
    return c - 1u < 0x7Fu;
}
constexpr bool is_continuation(unsigned char b) {
    return (b & 0xC0) == 0x80;
}

// Bytes of one UTF-16 character (or unpaired surrogate) in UTF-8.
int encode_utf8(char32_t c, char *o) {
    if (c < 0x80) {
        o[0] = static_cast<char>(c);
        return 1;
    }
    if (c < 0x800) {
        o[0] = static_cast<char>(0xC0 | (c >> 6));
        o[1] = static_cast<char>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        o[0] = static_cast<char>(0xE0 | (c >> 12));
        o[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        o[2] = static_cast<char>(0x80 | (c & 0x3F));
        return 3;
    }
    o[0] = static_cast<char>(0xF0 | (c >> 18));
    o[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    o[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    o[3] = static_cast<char>(0x80 | (c & 0x3F));
    return 4;
}

int utf8_length(char32_t c) {
    return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
}

// One UTF-8 character decoded from p; value, length and overlong flag.
struct Decoded {
    char32_t value;
    int length;  // 0: invalid
    bool overlong;
};

Decoded decode_utf8(const unsigned char *p) {
    const unsigned char b = p[0];
    int n;
    char32_t v;
    char32_t min;
    if ((b & 0xE0) == 0xC0) {
        n = 2, v = b & 0x1Fu, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        n = 3, v = b & 0x0Fu, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        n = 4, v = b & 0x07u, min = 0x10000;
    } else {
        return {0, 0, false};
    }
    // The terminator is not a continuation byte, so this never reads past it.
    for (int i = 1; i < n; ++i) {
        if (!is_continuation(p[i])) return {0, 0, false};
        v = (v << 6) | (p[i] & 0x3Fu);
    }
    return {v, n, v < min};
}

struct Utf8Result {
    int32_t status;  // 0, UNIUTF8_E_FULL or UNIUTF8_E_INVALID
    int32_t units;   // written, without the terminator
    bool overlong;
    const char *reached;
};

// Writes a supplementary character as a surrogate pair.
char16_t *put_pair(char16_t *o, char32_t c) {
    o[0] = static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
    o[1] = static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    return o + 2;
}

Utf8Result utf8_to_utf16(char16_t *out, int32_t capacity, const char *in) {
    if (out == nullptr || capacity < 1) return {UNIUTF8_E_FULL, 0, false, in};
    if (in == nullptr) {
        out[0] = 0;
        return {UNIUTF8_E_INVALID, 0, false, in};
    }
    const auto *p = reinterpret_cast<const unsigned char *>(in);
    char16_t *o = out;
    char16_t *const last = out + capacity - 1;  // the terminator's place at the latest
    int32_t status = 0;
    bool overlong = false;
    for (;;) {
        while (o < last && is_ascii_text(*p)) *o++ = *p++;
        if (*p == 0) break;
        if (last - o < 1) {
            status = UNIUTF8_E_FULL;
            break;
        }
        const Decoded d = decode_utf8(p);
        if (d.length == 0) {
            status = UNIUTF8_E_INVALID;
            break;
        }
        if (d.length == 4 && last - o < 2) {
            status = UNIUTF8_E_FULL;
            break;
        }
        if (d.value > 0x10FFFF) {
            status = UNIUTF8_E_INVALID;
            break;
        }
        overlong = overlong || d.overlong;
        if (d.value < 0x10000) {
            *o++ = static_cast<char16_t>(d.value);
        } else {
            o = put_pair(o, d.value);
        }
        p += d.length;
    }
    *o = 0;
    return {status, static_cast<int32_t>(o - out), overlong, reinterpret_cast<const char *>(p)};
}

}  // namespace

extern "C" {

int32_t uniutf8_unistrToUTF8(char *out, int32_t capacity, const char16_t *in,
                             const char16_t **stopped) {
    const char16_t *p = in;
    int32_t result = 0;
    if (out == nullptr || capacity < 1) {
        result = UNIUTF8_E_FULL;
    } else if (in == nullptr) {
        out[0] = 0;
        result = UNIUTF8_E_INVALID;
    } else {
        char *o = out;
        char *const last = out + capacity - 1;  // the terminator's place at the latest
        for (;;) {
            while (o < last && is_ascii_text(*p)) *o++ = static_cast<char>(*p++);
            char32_t c = *p;
            if (c == 0) break;
            int units = 1;
            if (c == 0xFFFE || c == 0xFFFF) {
                result = UNIUTF8_E_INVALID;
                break;
            }
            if (is_high(c) && is_low(p[1])) {
                c = 0x10000 + ((c - 0xD800) << 10) + (p[1] - 0xDC00u);
                units = 2;
            }
            if (utf8_length(c) > last - o) {
                result = UNIUTF8_E_FULL;
                break;
            }
            o += encode_utf8(c, o);
            p += units;
        }
        *o = 0;
        if (result == 0) result = static_cast<int32_t>(o - out);
    }
    if (stopped != nullptr) *stopped = p;
    return result;
}

int32_t uniutf8_utf8ToUnistrCount(char16_t *out, int32_t capacity, const char *in,
                                  const char **reached) {
    const Utf8Result r = utf8_to_utf16(out, capacity, in);
    if (reached != nullptr) *reached = r.reached;
    if (r.status != 0) return r.status;
    return r.overlong ? UNIUTF8_E_OVERLONG : r.units;
}

int32_t uniutf8_utf8ToUnistr(char16_t *out, int32_t capacity, const char *in, const char **reached,
                             int32_t *written) {
    const Utf8Result r = utf8_to_utf16(out, capacity, in);
    if (reached != nullptr) *reached = r.reached;
    if (written != nullptr) *written = r.units;
    if (r.status != 0) return r.status;
    return r.overlong ? UNIUTF8_E_OVERLONG : 0;
}

}  // extern "C"
