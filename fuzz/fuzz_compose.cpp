// Fuzzes composition against the model of tests/i18n_model.h. Byte 0 picks
// a capacity from -1 to one more than the text needs; byte 1 holds flags
// (bit 0: no argument list); the rest is UTF-16LE text, cut at zero units
// into the template and the arguments.
#include "fuzz_check.h"
#include "i18n_model.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    if (size < 2) return 0;
    std::vector<std::u16string> pieces(1);
    for (std::size_t i = 2; i + 2 <= size && pieces.size() <= I18N_ARGS_MAX + 1; i += 2) {
        const auto u = static_cast<char16_t>(data[i] | data[i + 1] << 8);
        if (u == 0)
            pieces.emplace_back();
        else
            pieces.back().push_back(u);
    }
    const std::vector<std::u16string> args(pieces.begin() + 1, pieces.end());
    const auto *list = (data[1] & 1) != 0 ? nullptr : &args;
    const auto need = int32_t(model::compose(pieces[0], list).at(INT32_MAX, 0).text.size()) + 1;
    FUZZ_CHECK(model::check_compose(pieces[0], list, need));
    FUZZ_CHECK(model::check_compose(pieces[0], list, data[0] % (need + 2) - 1));
    return 0;
}
