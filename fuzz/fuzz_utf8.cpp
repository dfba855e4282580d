// Fuzzes the UTF-8 <-> UTF-16 conversions.
//
// Input: byte 0 picks the capacity of the UTF-8 -> UTF-16 conversion, byte 1
// that of UTF-16 -> UTF-8; the rest is the text, read once as UTF-8 (up to
// its first zero byte) and once as UTF-16LE units (up to the first zero
// unit). Every output buffer is a heap block of exactly the capacity given,
// so AddressSanitizer reports any write past it, and every input has exactly
// one terminator, so any read past that is reported too.
//
// Each conversion runs once with room for everything and once with the
// capacity picked by the input; the short run must give a prefix of the full
// one and may only stop for lack of room where the next character does not
// fit.
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_check.h"
#include "i18n.h"

namespace {

// A capacity for a conversion that needs `exact` (terminator included) to
// finish: tiny, zero and negative ones, enough, just too small, or about half.
int32_t pick_capacity(uint8_t sel, int32_t exact) {
    const int32_t low = sel & 0x3F;
    switch (sel >> 6) {
        case 0:
            return low - 2;
        case 1:
            return exact + low;
        case 2:
            return exact - 1 - low;
        default:
            return sel == 0xFF ? INT32_MIN : exact / 2 + (low & 7);
    }
}

template <class T>
std::unique_ptr<T[]> exact_buffer(int32_t capacity, T fill) {
    const std::size_t n = capacity > 0 ? static_cast<std::size_t>(capacity) : 0;
    std::unique_ptr<T[]> b(new T[n]);
    std::fill_n(b.get(), n, fill);
    return b;
}

// ---- UTF-8 -> UTF-16 ------------------------------------------------------

struct FromUtf8 {
    int32_t result;
    const char *reached;
    std::u16string text;  // the units written
};

FromUtf8 from_utf8(const char *in, std::size_t len, int32_t capacity) {
    auto out = exact_buffer<char16_t>(capacity, 0xAAAA);
    const char *reached = nullptr;
    int32_t written = -7;
    const int32_t result = uniutf8_utf8ToUnistr(out.get(), capacity, in, &reached, &written);
    FUZZ_CHECK(result == 0 || result == UNIUTF8_E_INVALID || result == UNIUTF8_E_FULL ||
               result == UNIUTF8_E_OVERLONG);
    FUZZ_CHECK(reached >= in && reached <= in + len);
    if (capacity < 1) {
        FUZZ_CHECK(result == UNIUTF8_E_FULL && written == 0 && reached == in);
    } else {
        FUZZ_CHECK(written >= 0 && written <= capacity - 1);
        FUZZ_CHECK(out[static_cast<std::size_t>(written)] == 0);
        // Success ends at the terminator; anything else stops at a real byte.
        const bool done = result == 0 || result == UNIUTF8_E_OVERLONG;
        FUZZ_CHECK(done == (reached == in + len));
    }
    const auto units = static_cast<std::size_t>(written);

    // The companion gives the count instead of 0 and the same output.
    auto again = exact_buffer<char16_t>(capacity, 0x5555);
    const char *reached2 = nullptr;
    const int32_t count = uniutf8_utf8ToUnistrCount(again.get(), capacity, in, &reached2);
    FUZZ_CHECK(count == (result == 0 ? written : result));
    FUZZ_CHECK(reached2 == reached);
    if (capacity >= 1) FUZZ_CHECK(std::equal(out.get(), out.get() + units + 1, again.get()));
    return {result, reached, std::u16string(out.get(), units)};
}

void check_utf8_to_utf16(const uint8_t *bytes, std::size_t size, uint8_t sel) {
    const auto len = static_cast<std::size_t>(std::find(bytes, bytes + size, 0) - bytes);
    std::unique_ptr<char[]> in(new char[len + 1]);
    std::memcpy(in.get(), bytes, len);
    in[len] = 0;

    const auto enough = static_cast<int32_t>(len + 1);  // at most one unit per byte
    const FromUtf8 full = from_utf8(in.get(), len, enough);
    FUZZ_CHECK(full.result != UNIUTF8_E_FULL);

    const int32_t capacity = pick_capacity(sel, static_cast<int32_t>(full.text.size()) + 1);
    const FromUtf8 part = from_utf8(in.get(), len, capacity);
    FUZZ_CHECK(full.text.starts_with(part.text));
    FUZZ_CHECK(part.reached <= full.reached);
    if (part.result == UNIUTF8_E_FULL) {
        if (capacity >= 1) {
            // Full only when the next character needs more units than remain.
            const auto lead = static_cast<unsigned char>(*part.reached);
            const std::size_t need = (lead & 0xF8) == 0xF0 ? 2 : 1;
            FUZZ_CHECK(part.text.size() + need > static_cast<std::size_t>(capacity) - 1);
        }
    } else {
        FUZZ_CHECK(part.result == full.result && part.reached == full.reached);
        FUZZ_CHECK(part.text == full.text);
    }

    // No output buffer at all.
    const char *reached = nullptr;
    int32_t written = -7;
    FUZZ_CHECK(uniutf8_utf8ToUnistr(nullptr, enough, in.get(), &reached, &written) ==
                   UNIUTF8_E_FULL &&
               written == 0 && reached == in.get());
    FUZZ_CHECK(uniutf8_utf8ToUnistrCount(nullptr, enough, in.get(), nullptr) == UNIUTF8_E_FULL);

    if (full.result != 0) return;
    // Round trip. U+FFFE and U+FFFF decode but do not encode; a surrogate
    // pair written as two three-byte forms comes back as one four-byte form,
    // and then the UTF-16 round trip still holds.
    auto back = exact_buffer<char>(enough, '\x55');
    const char16_t *stopped = nullptr;
    const int32_t r = uniutf8_unistrToUTF8(back.get(), enough, full.text.c_str(), &stopped);
    const std::size_t bad = full.text.find_first_of(u"\uFFFE\uFFFF");
    if (bad != std::u16string::npos) {
        FUZZ_CHECK(r == UNIUTF8_E_INVALID && stopped == full.text.c_str() + bad);
        return;
    }
    FUZZ_CHECK(r >= 0 && stopped == full.text.c_str() + full.text.size());
    if (static_cast<std::size_t>(r) == len && std::memcmp(back.get(), in.get(), len) == 0) return;
    FUZZ_CHECK(static_cast<std::size_t>(r) < len);
    const FromUtf8 twice = from_utf8(back.get(), static_cast<std::size_t>(r), enough);
    FUZZ_CHECK(twice.result == 0 && twice.text == full.text);
}

// ---- UTF-16 -> UTF-8 ------------------------------------------------------

struct ToUtf8 {
    int32_t result;
    const char16_t *stopped;
    std::string text;  // the bytes before the terminator
};

// UTF-8 bytes of the character at p (a pair counts as one).
std::size_t utf8_bytes(const char16_t *p) {
    const char16_t c = p[0];
    if (c < 0x80) return 1;
    if (c < 0x800) return 2;
    if (c >= 0xD800 && c <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) return 4;
    return 3;
}

ToUtf8 to_utf8(const char16_t *in, std::size_t len, int32_t capacity) {
    auto out = exact_buffer<char>(capacity, '\x55');
    const char16_t *stopped = nullptr;
    const int32_t result = uniutf8_unistrToUTF8(out.get(), capacity, in, &stopped);
    FUZZ_CHECK(stopped >= in && stopped <= in + len);
    if (capacity < 1) {
        FUZZ_CHECK(result == UNIUTF8_E_FULL && stopped == in);
        return {result, stopped, {}};
    }
    const auto room = static_cast<std::size_t>(capacity);
    const std::size_t n = strnlen(out.get(), room);
    FUZZ_CHECK(n < room);  // terminated within the capacity
    if (result >= 0) {
        FUZZ_CHECK(static_cast<std::size_t>(result) == n && stopped == in + len);
    } else if (result == UNIUTF8_E_INVALID) {
        FUZZ_CHECK(stopped < in + len && (*stopped == 0xFFFE || *stopped == 0xFFFF));
    } else {
        FUZZ_CHECK(result == UNIUTF8_E_FULL && stopped < in + len);
        FUZZ_CHECK(n + utf8_bytes(stopped) > room - 1);
    }
    return {result, stopped, std::string(out.get(), n)};
}

void check_utf16_to_utf8(const uint8_t *bytes, std::size_t size, uint8_t sel) {
    std::u16string units;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        const auto u = static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8);
        if (u == 0) break;
        units.push_back(u);
    }
    const std::size_t len = units.size();
    std::unique_ptr<char16_t[]> in(new char16_t[len + 1]);
    std::copy(units.begin(), units.end(), in.get());
    in[len] = 0;

    const auto enough = static_cast<int32_t>(3 * len + 1);  // at most three bytes per unit
    const ToUtf8 full = to_utf8(in.get(), len, enough);
    FUZZ_CHECK(full.result != UNIUTF8_E_FULL);

    const int32_t capacity = pick_capacity(sel, static_cast<int32_t>(full.text.size()) + 1);
    const ToUtf8 part = to_utf8(in.get(), len, capacity);
    FUZZ_CHECK(full.text.starts_with(part.text));
    FUZZ_CHECK(part.stopped <= full.stopped);
    if (part.result != UNIUTF8_E_FULL) {
        FUZZ_CHECK(part.result == full.result && part.stopped == full.stopped);
        FUZZ_CHECK(part.text == full.text);
    }
    FUZZ_CHECK(uniutf8_unistrToUTF8(nullptr, enough, in.get(), nullptr) == UNIUTF8_E_FULL);

    // What was converted decodes back to the same units, lone surrogates too.
    const auto consumed = static_cast<std::size_t>(full.stopped - in.get());
    const FromUtf8 back =
        from_utf8(full.text.c_str(), full.text.size(), static_cast<int32_t>(full.text.size() + 1));
    FUZZ_CHECK(back.result == 0);
    FUZZ_CHECK(back.text == std::u16string_view(in.get(), consumed));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    const uint8_t to16 = size > 0 ? data[0] : 0x40;
    const uint8_t to8 = size > 1 ? data[1] : 0x40;
    const std::size_t skip = std::min<std::size_t>(size, 2);
    check_utf8_to_utf16(data + skip, size - skip, to16);
    check_utf16_to_utf8(data + skip, size - skip, to8);
    return 0;
}
