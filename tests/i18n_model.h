// Plain models of the localisation library's rules, a character or an entry
// at a time, and checks of the library against them that the tests and the
// fuzz targets share. A check returns whether the library agrees.
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "i18n_catalogue.h"

namespace model {

// What a call leaves at a capacity.
template <class Char>
struct Result {
    int32_t status = 0;
    std::size_t consumed = 0;  // input units or bytes
    std::basic_string<Char> text;
    bool operator==(const Result &) const = default;
};

// A conversion or composition as the pieces it writes, whole while they fit
// (input taken, output, room asked for, overlong); then the end: status
// `end` if `end_room` more units fit.
template <class Char>
struct Pieces {
    std::vector<std::tuple<std::size_t, std::basic_string<Char>, std::size_t, bool>> pieces;
    int32_t end = 0;
    std::size_t end_room = 0;

    Result<Char> at(int32_t capacity, int32_t full) const {
        Result<Char> r{full, 0, {}};
        const auto room = static_cast<std::size_t>(capacity) - 1;
        bool overlong = false;
        for (const auto &[in, out, need, piece_overlong] : pieces) {
            if (capacity < 1 || r.text.size() + need > room) return r;
            r.text += out, r.consumed += in, overlong = overlong || piece_overlong;
        }
        if (capacity < 1 || r.text.size() + end_room > room) return r;
        return {end != 0 ? end : overlong ? UNIUTF8_E_OVERLONG : 0, r.consumed, r.text};
    }
};

inline std::string utf8_of(char32_t c) {
    const int n = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    std::string s(1, static_cast<char>((n == 1 ? 0 : 0xF00u >> n & 0xF0) | c >> (6 * (n - 1))));
    for (int k = n - 2; k >= 0; --k) s += static_cast<char>(0x80 | (c >> (6 * k) & 0x3F));
    return s;
}

// Pairs join, lone surrogates take three bytes, U+FFFE and U+FFFF are invalid.
inline Pieces<char> to_utf8(std::u16string_view s) {
    Pieces<char> m;
    for (std::size_t i = 0; i < s.size() && m.end == 0; ++i) {
        const bool pair = s[i] >= 0xD800 && s[i] < 0xDC00 && i + 1 < s.size() &&
                          s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF;
        char32_t c = s[i];
        if (pair) c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00u);
        m.end = c == 0xFFFE || c == 0xFFFF ? UNIUTF8_E_INVALID : 0;
        if (m.end == 0) m.pieces.emplace_back(pair ? 2 : 1, utf8_of(c), utf8_of(c).size(), false);
    }
    return m;
}

// Overlong forms and surrogates are taken, overlong ones reported; above
// U+10FFFF, stray or missing continuation bytes are invalid. A four-byte
// form asks for two units even when it makes one.
inline Pieces<char16_t> to_utf16(std::string_view s) {
    static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    Pieces<char16_t> m;
    auto at = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    for (std::size_t i = 0, n = 0, k; i < s.size(); i += n) {
        const unsigned b = at(i);
        n = b < 0x80 ? 1 : b < 0xC0 ? 0 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : b < 0xF8 ? 4 : 0;
        char32_t c = n == 1 ? b : b & 0x7Fu >> n;
        for (k = 1; k < n && i + k < s.size() && (at(i + k) & 0xC0) == 0x80; ++k)
            c = c << 6 | (at(i + k) & 63);
        if (n == 0 || k < n || c > 0x10FFFF)
            return m.end = UNIUTF8_E_INVALID, m.end_room = n == 4 && k == n ? 2 : 1, m;
        std::u16string out(1, static_cast<char16_t>(c < 0x10000 ? c : 0xDC00 + (c & 0x3FF)));
        if (c >= 0x10000) out.insert(out.begin(), static_cast<char16_t>(0xD7C0 + (c >> 10)));
        m.pieces.emplace_back(n, out, n == 4 ? 2 : out.size(), c < kMin[n]);
    }
    return m;
}

// %1..%9 (any decimal digit but a zero) insert an argument, or nothing
// without one; "%%" is "%"; any other "%" is copied with the unit after it.
inline Pieces<char16_t> compose(std::u16string_view t, const std::vector<std::u16string> *args) {
    Pieces<char16_t> m{{}, I18N_OK};
    for (std::size_t i = 0; i < t.size(); ++i) {
        std::u16string piece(1, t[i]);
        if (t[i] == u'%' && i + 1 < t.size()) {
            const char16_t next = t[++i];
            const auto n = std::size_t(unichar_isDigit(next) ? unichar_digitValue(next) : 0);
            piece = next == u'%' ? u"%" : n == 0 ? std::u16string{u'%', next} : u"";
            if (args != nullptr && n > 0 && n <= args->size()) piece = (*args)[n - 1];
        }
        m.pieces.emplace_back(1, piece, piece.size(), false);
    }
    return m;
}

// Runs call(in, out) with the input in a block of exactly its size and its
// terminator (s is a whole string's), and an output block of one unit more than the capacity, so
// that AddressSanitizer sees any access past them; the extra unit must stay
// as it was. The call gives status, where the input stopped and the units
// written (-1: up to the terminator).
template <class Out, class In, class Call>
bool agrees(std::basic_string_view<In> s, int32_t capacity, const Result<Out> &want, Call call) {
    std::vector<In> in(s.data(), s.data() + s.size() + 1);  // s comes from a string: terminated
    std::vector<Out> out(static_cast<std::size_t>(std::max(capacity, 0)) + 1, Out{'#'});
    const auto [status, stopped, written] = call(in.data(), out.data());
    const auto end = written < 0 ? std::find(out.begin(), out.end(), 0) - out.begin() : written;
    const auto n = std::min(out.size() - 1, static_cast<std::size_t>(capacity < 1 ? 0 : end));
    const Result<Out> got{status, static_cast<std::size_t>(stopped - in.data()), {out.data(), n}};
    return out.back() == Out{'#'} && (capacity < 1 || out[n] == 0) && got == want;
}

inline bool check_to_utf8(std::u16string_view s, int32_t capacity) {
    return agrees(s, capacity, to_utf8(s).at(capacity, UNIUTF8_E_FULL), [&](auto in, auto out) {
        const char16_t *stopped = nullptr;
        const int32_t r = uniutf8_unistrToUTF8(out, capacity, in, &stopped);
        return std::tuple(r > 0 ? 0 : r, stopped, r > 0 ? r : -1);
    });
}

// Both calls, which differ in what they return. Zero units may come in.
inline bool check_to_utf16(std::string_view s, int32_t capacity) {
    Result<char16_t> want = to_utf16(s).at(capacity, UNIUTF8_E_FULL);
    const auto units = static_cast<int32_t>(capacity < 1 ? 0 : want.text.size());
    const bool first = agrees(s, capacity, want, [&](auto in, auto out) {
        const char *end = nullptr;
        int32_t written = -2;
        return std::tuple(uniutf8_utf8ToUnistr(out, capacity, in, &end, &written), end, written);
    });
    want.status = want.status == 0 ? units : want.status;
    return first && agrees(s, capacity, want, [&](auto in, auto out) {
               const char *end = nullptr;
               return std::tuple(uniutf8_utf8ToUnistrCount(out, capacity, in, &end), end, units);
           });
}

// With args null: no list. The tenth argument and more are refused.
inline bool check_compose(std::u16string_view templ, const std::vector<std::u16string> *args,
                          int32_t capacity) {
    I18N_ARGS list;
    bool listed = i18nargs_init(&list) == 1;
    for (std::size_t i = 0; args != nullptr && i < args->size(); ++i)
        listed = listed && i18nargs_add(&list, (*args)[i].c_str()) == (i < 9 ? int32_t(i) + 1 : 0);
    Result<char16_t> want = compose(templ, args).at(capacity, I18N_E_TOOLONG);
    want.status = capacity < 1 ? I18N_E_BUFFER : want.status, want.consumed = 0;
    return listed && agrees(templ, capacity, want, [&](auto in, auto out) {
               return std::tuple(i18nstrb_Compose(out, capacity, in, args ? &list : nullptr), in,
                                 -1);
           });
}

// A catalogue file read straight from its bytes (layout in i18n_catalogue.h).
struct Catalogue {
    std::string_view b;

    uint32_t be(uint64_t at, std::size_t n) const {  // offsets the file may make 33 bits wide
        uint32_t v = 0;
        for (std::size_t i = 0; i < n; ++i)
            v = v << 8 | static_cast<uint8_t>(b[static_cast<std::size_t>(at + i)]);
        return v;
    }
    // Entry n's key and value, unless they lie outside the strings.
    std::optional<std::pair<std::u16string, std::u16string>> entry(std::size_t n) const {
        // In 64 bits: an offset near 2^32 must not wrap back into the strings.
        const std::size_t at = 128 + 12 * n, k = be(at + 4, 2);
        const uint64_t key = uint64_t{128} + be(104, 4) + be(at, 4);
        const uint64_t end = be(108, 4) == be(104, 4) ? 0 : uint64_t{129} + be(108, 4);
        if (be(at, 4) % 2 != 0 || key + 2 * (k + 1 + be(at + 6, 2)) > end) return {};
        std::u16string s;  // the key, its terminator and the value: within the file now
        for (uint64_t i = 0; i < k + 1 + be(at + 6, 2); ++i) s += char16_t(be(key + 2 * i, 2));
        return std::pair(s.substr(0, k), s.substr(k + 1));
    }
    // Lookups walk from the first entry on, at most the entry count of those
    // in use; the first with the key wins.
    std::optional<std::u16string> find(std::u16string_view key) const {
        for (std::size_t n = be(118, 2), seen = 0; n < 64 * be(98, 2) && seen < be(96, 2); ++n) {
            if (b[128 + 12 * n + 11] != 1 || (++seen, be(132 + 12 * n, 2) != key.size())) continue;
            if (const auto e = entry(n); e && e->first == key) return e->second;
        }
        return {};
    }
    // What loading gives, from the header and the size alone.
    int32_t status() const {
        if (b.size() < 128) return I18N_E_SHORT;
        if (b.substr(0, 4) != "LOCF" || be(6, 2) != 0xFEFF) return I18N_E_NOTCAT;
        const uint64_t pages = be(100, 4), names = be(104, 4), last = be(108, 4);
        if (pages != 768u * be(98, 2) || names < pages || last < names) return I18N_E_NOTCAT;
        return b.size() < 128 + (last == names ? names : last + 1) ? I18N_E_SHORT : I18N_OK;
    }
};

// A loaded file against the walk over its bytes: the key of every entry,
// also as a number (what it means as hex digits, and the numbers next to it).
inline bool check_catalogue(const i18n::Catalogue &cat, std::string_view bytes) {
    const Catalogue m{bytes};
    auto same = [&](const auto *found, const std::optional<std::u16string> &want) {
        return found == nullptr ? !want : want && cat.value_of(*found) == *want;
    };
    for (std::size_t n = 0; n < 64 * m.be(98, 2); ++n) {
        const auto e = m.entry(n);
        if (!e) continue;
        if (!same(cat.find(e->first), m.find(e->first))) return false;
        uint32_t number = 0;
        for (char16_t c : e->first) number = number << 4 | ((c & 15u) + (c > u'9' ? 9u : 0u));
        for (const uint32_t k : {number - 1, number, number + 1}) {
            char16_t hex[9];
            uninum_format(hex, 9, k, 16, 8);
            if (!same(cat.find_number(k), m.find(hex))) return false;
        }
    }
    return true;
}

}  // namespace model
