// UTF-16 string primitives: zero-terminated strings of char16_t.
#include "i18n.h"

extern "C" {

char16_t *unistr_cpy(char16_t *dst, const char16_t *src) {
    char16_t *d = dst;
    while ((*d++ = *src++) != 0) {
    }
    return dst;
}

char16_t *unistr_ncpy(char16_t *dst, const char16_t *src, int32_t n) {
    int32_t i = 0;
    for (; i < n && src[i] != 0; ++i) dst[i] = src[i];
    for (; i < n; ++i) dst[i] = 0;
    return dst;
}

char16_t *unistr_ncpyNoFill(char16_t *dst, const char16_t *src, int32_t n) {
    int32_t i = 0;
    for (; i < n && src[i] != 0; ++i) dst[i] = src[i];
    if (i < n) dst[i] = 0;
    return dst;
}

char16_t *unistr_cat(char16_t *dst, const char16_t *src) {
    unistr_cpy(dst + unistr_len(dst), src);
    return dst;
}

int32_t unistr_cmp(const char16_t *a, const char16_t *b) {
    while (*a != 0 && *a == *b) {
        ++a;
        ++b;
    }
    if (*a == *b) return 0;
    return *a < *b ? -1 : 1;
}

int32_t unistr_len(const char16_t *s) {
    const char16_t *p = s;
    while (*p != 0) ++p;
    return static_cast<int32_t>(p - s);
}

}  // extern "C"
