// Fuzzes composition of a template with numbered arguments.
//
// Input: byte 0 picks the output capacity; byte 1 holds flags (bit 0: the
// text is Latin-1, one unit per byte, else UTF-16LE; bit 1: no argument
// list; bit 2: a list with a bad magic); the rest is the text, cut at zero
// units into the template and up to nine arguments. Template, arguments and
// output are heap blocks of exactly their size, so AddressSanitizer reports
// any read past a terminator and any write past the capacity.
//
// The template is composed once with room for everything, which must
// succeed, and then with the capacity picked by the input and at the exact
// boundary: whatever is written is a prefix of the full text, terminated
// within the capacity.
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "i18n.h"

namespace {

// A zero-terminated UTF-16 string in a block of exactly its size.
struct Text {
    std::unique_ptr<char16_t[]> units;
    std::size_t size;

    explicit Text(std::u16string_view s) : units(new char16_t[s.size() + 1]), size(s.size()) {
        std::copy(s.begin(), s.end(), units.get());
        units[s.size()] = 0;
    }
    const char16_t *c_str() const { return units.get(); }
    std::u16string_view view() const { return {units.get(), size}; }
};

struct Composed {
    int32_t result;
    std::u16string text;  // up to the terminator
};

Composed compose(const Text &templ, const I18N_ARGS *list, int32_t capacity) {
    const std::size_t room = capacity > 0 ? static_cast<std::size_t>(capacity) : 0;
    std::unique_ptr<char16_t[]> out(new char16_t[room]);
    std::fill_n(out.get(), room, u'\xAAAA');
    const int32_t result = i18nstrb_Compose(out.get(), capacity, templ.c_str(), list);
    if (capacity < 1) {
        FUZZ_CHECK(result == I18N_E_BUFFER);
        return {result, {}};
    }
    FUZZ_CHECK(result == I18N_OK || result == I18N_E_TOOLONG);
    char16_t *end = std::find(out.get(), out.get() + room, u'\0');
    FUZZ_CHECK(end != out.get() + room);  // terminated within the capacity
    return {result, std::u16string(out.get(), end)};
}

std::vector<std::u16string> split(const uint8_t *bytes, std::size_t size, bool latin1) {
    std::vector<std::u16string> pieces(1);
    const std::size_t step = latin1 ? 1 : 2;
    for (std::size_t i = 0; i + step <= size && pieces.size() <= 1 + I18N_ARGS_MAX; i += step) {
        const auto u = static_cast<char16_t>(latin1 ? bytes[i] : bytes[i] | bytes[i + 1] << 8);
        if (u == 0) {
            pieces.emplace_back();
        } else {
            pieces.back().push_back(u);
        }
    }
    if (pieces.size() > 1 + I18N_ARGS_MAX) pieces.pop_back();
    return pieces;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    if (size < 2) return 0;
    const uint8_t sel = data[0];
    const uint8_t flags = data[1];
    const std::vector<std::u16string> pieces = split(data + 2, size - 2, (flags & 1) != 0);

    const Text templ(pieces[0]);
    std::vector<Text> args;
    for (std::size_t i = 1; i < pieces.size(); ++i) args.emplace_back(pieces[i]);

    I18N_ARGS list;
    FUZZ_CHECK(i18nargs_init(&list) == 1);
    std::size_t longest = 0;
    for (const Text &a : args) {
        FUZZ_CHECK(i18nargs_add(&list, a.c_str()) == static_cast<int32_t>(list.last + 1));
        longest = std::max(longest, a.size);
    }
    FUZZ_CHECK(list.last + 1 == static_cast<int32_t>(args.size()));
    const bool no_list = (flags & 2) != 0;
    if ((flags & 4) != 0) list.magic = 0;
    const I18N_ARGS *use = no_list ? nullptr : &list;

    // Every unit is copied at most once, and each "%" inserts at most one argument.
    const auto percents =
        static_cast<std::size_t>(std::count(pieces[0].begin(), pieces[0].end(), u'%'));
    const std::size_t bound = templ.size + percents * longest + 1;
    FUZZ_CHECK(bound < INT32_MAX);
    const Composed full = compose(templ, use, static_cast<int32_t>(bound));
    FUZZ_CHECK(full.result == I18N_OK);
    if (templ.view().find(u'%') == std::u16string_view::npos) FUZZ_CHECK(full.text == templ.view());
    if (use == nullptr || list.magic != I18N_ARGS_MAGIC || args.empty()) {
        FUZZ_CHECK(full.text.size() <= templ.size);  // nothing to insert
    }

    // Exactly enough, and one unit short.
    const auto need = static_cast<int32_t>(full.text.size()) + 1;
    const Composed fits = compose(templ, use, need);
    FUZZ_CHECK(fits.result == I18N_OK && fits.text == full.text);
    if (need > 1) {
        const Composed short_one = compose(templ, use, need - 1);
        FUZZ_CHECK(short_one.result == I18N_E_TOOLONG);
        FUZZ_CHECK(short_one.text.size() < full.text.size() &&
                   full.text.starts_with(short_one.text));
    }

    // The capacity the input picks: tiny, zero or negative, or near the need.
    const int32_t low = sel & 0x3F;
    int32_t capacity = low - 2;
    if (sel >> 6 == 1) capacity = need + low;
    if (sel >> 6 == 2) capacity = need - 1 - low;
    if (sel == 0xFF) capacity = INT32_MIN;
    const Composed got = compose(templ, use, capacity);
    if (capacity >= 1) {
        FUZZ_CHECK(full.text.starts_with(got.text));
        FUZZ_CHECK((got.result == I18N_OK) == (capacity >= need));
        if (got.result == I18N_OK) FUZZ_CHECK(got.text == full.text);
    }

    char16_t out[4];
    FUZZ_CHECK(i18nstrb_Compose(nullptr, need, templ.c_str(), use) == I18N_E_BUFFER);
    FUZZ_CHECK(i18nstrb_Compose(out, 4, nullptr, use) == I18N_E_BUFFER);
    return 0;
}
