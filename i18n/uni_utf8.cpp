// Conversions between UTF-16 and UTF-8.
//
// Both directions keep room for the terminator at all times and leave the
// output terminated whatever the result. The common characters take a fast
// loop: ASCII runs are copied eight units at a time while the output has
// room for eight, two- and three-byte characters are converted on the spot.
// Everything else (pairs, four-byte and overlong sequences, an almost full
// output, the end, errors) takes one general step at a time. Input is read
// one unit at a time and never beyond the terminator.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "i18n.h"

namespace {

constexpr bool is_high(char32_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
constexpr bool is_low(char32_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}
// Neither the terminator nor above 0x7F, in one comparison.
constexpr bool is_ascii_text(unsigned char b) {
    return static_cast<signed char>(b) > 0;
}
constexpr bool is_ascii_text(char16_t u) {
    return u - 1u < 0x7Fu;
}
constexpr bool is_continuation(unsigned char b) {
    return (b & 0xC0) == 0x80;
}
// A continuation byte's six bits; 0x40 or more for any other byte.
constexpr unsigned trail(unsigned char b) {
    return b ^ 0x80u;
}

// Copies the ASCII run at p to o, never writing at last or beyond.
template <typename In, typename Out>
void copy_ascii(const In *&p, Out *&o, const Out *last) {
    while (last - o >= 8) {
#pragma GCC unroll 8
        for (int n = 0; n < 8; ++n) {
            if (!is_ascii_text(p[n])) {
                p += n, o += n;
                return;
            }
            o[n] = static_cast<Out>(p[n]);
        }
        p += 8, o += 8;
    }
    while (o < last && is_ascii_text(*p)) *o++ = static_cast<Out>(*p++);
}

char byte(char32_t v) {
    return static_cast<char>(v);
}

// Bytes of one UTF-16 character (or unpaired surrogate) in UTF-8.
int encode_utf8(char32_t c, char *o) {
    if (c < 0x80) {
        o[0] = byte(c);
        return 1;
    }
    if (c < 0x800) {
        o[0] = byte(0xC0 | (c >> 6));
        o[1] = byte(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        o[0] = byte(0xE0 | (c >> 12));
        o[1] = byte(0x80 | ((c >> 6) & 0x3F));
        o[2] = byte(0x80 | (c & 0x3F));
        return 3;
    }
    o[0] = byte(0xF0 | (c >> 18));
    o[1] = byte(0x80 | ((c >> 12) & 0x3F));
    o[2] = byte(0x80 | ((c >> 6) & 0x3F));
    o[3] = byte(0x80 | (c & 0x3F));
    return 4;
}

// The three bytes of c (U+0800..U+FFFF) with one four-byte store. The fourth
// byte lands at most on the terminator's place and is overwritten by what
// follows, at the latest by the terminator.
int put3(char *o, char32_t c) {
    const uint32_t b0 = 0xE0 | (c >> 12), b1 = 0x80 | ((c >> 6) & 0x3F), b2 = 0x80 | (c & 0x3F);
    const uint32_t v = std::endian::native == std::endian::little ? b0 | b1 << 8 | b2 << 16
                                                                  : b0 << 24 | b1 << 16 | b2 << 8;
    std::memcpy(o, &v, 4);
    return 3;
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
        // ASCII runs, and the two- and three-byte forms that are neither
        // overlong nor need a check for it (leads C2..DF and E1..EF). A byte
        // is read only after a lead or continuation byte, so never beyond
        // the terminator.
        while (o < last) {
            const unsigned b = p[0];
            if (b >= 0xE1 && b <= 0xEF) {
                const unsigned t1 = trail(p[1]);
                if (t1 >= 0x40) break;
                const unsigned t2 = trail(p[2]);
                if (t2 >= 0x40) break;
                *o++ = static_cast<char16_t>(b << 12 | t1 << 6 | t2);  // the lead's top bits drop
                p += 3;
            } else if (is_ascii_text(p[0])) {
                copy_ascii(p, o, last);
            } else if (b >= 0xC2 && b <= 0xDF) {
                const unsigned t1 = trail(p[1]);
                if (t1 >= 0x40) break;
                *o++ = static_cast<char16_t>((b & 0x1F) << 6 | t1);
                p += 2;
            } else {
                break;
            }
        }
        // The end, a full output, any other character or an error.
        if (*p == 0) break;
        if (o == last) {
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
            *o++ = static_cast<char16_t>(0xD800 + ((d.value - 0x10000) >> 10));
            *o++ = static_cast<char16_t>(0xDC00 + ((d.value - 0x10000) & 0x3FF));
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
            // ASCII runs, two- and three-byte characters.
            while (last - o >= 3) {
                const char32_t c = *p;
                if (is_ascii_text(*p)) {
                    copy_ascii(p, o, last);
                    continue;
                }
                if ((c >= 0x800 && c < 0xD800) || (c >= 0xE000 && c < 0xFFFE)) [[likely]] {
                    o += put3(o, c);
                } else if (c >= 0x80 && c < 0x800) {
                    o[0] = byte(0xC0 | (c >> 6));
                    o[1] = byte(0x80 | (c & 0x3F));
                    o += 2;
                } else {
                    break;
                }
                ++p;
            }
            // Any one character, the end or an error.
            char32_t c = *p;
            if (c == 0) break;
            const std::ptrdiff_t room = last - o;
            if (c == 0xFFFE || c == 0xFFFF) {
                result = UNIUTF8_E_INVALID;
                break;
            }
            int units = 1;
            if (is_high(c) && is_low(p[1])) {
                c = 0x10000 + ((c - 0xD800) << 10) + (p[1] - 0xDC00u);
                units = 2;
            }
            if (utf8_length(c) > room) {
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
