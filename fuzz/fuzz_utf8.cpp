// Fuzzes the UTF-8 <-> UTF-16 conversions against the models of
// tests/i18n_model.h. The input is the text, read as UTF-8 up to its first
// zero byte and as UTF-16LE up to its first zero unit; its first byte also
// picks a capacity from -1 to one more than the text needs.
#include "fuzz_check.h"
#include "i18n_model.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    const std::string utf8(data, std::find(data, data + size, 0));
    std::u16string utf16;
    for (std::size_t i = 0; i + 1 < size && (data[i] != 0 || data[i + 1] != 0); i += 2) {
        utf16 += static_cast<char16_t>(data[i] | data[i + 1] << 8);
    }
    const int32_t pick = size > 0 ? data[0] : 0, need16 = static_cast<int32_t>(utf8.size()) + 1;
    const auto need8 = static_cast<int32_t>(model::to_utf8(utf16).at(INT32_MAX, 0).text.size()) + 1;
    FUZZ_CHECK(model::check_to_utf16(utf8, need16) &&
               model::check_to_utf16(utf8, pick % (need16 + 2) - 1));
    FUZZ_CHECK(model::check_to_utf8(utf16, need8) &&
               model::check_to_utf8(utf16, pick % (need8 + 2) - 1));
    return 0;
}
