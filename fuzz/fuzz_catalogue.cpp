// Fuzzes loading catalogue files; the input is the file. The load must give
// the status that the header and the file size call for, and then every
// lookup what the walk over the bytes finds (tests/i18n_model.h).
#include <unistd.h>

#include <fstream>

#include "fuzz_check.h"
#include "i18n_model.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    static const std::string file = "/tmp/kavrel-fuzz-" + std::to_string(getpid()) + ".lcu";
    [[maybe_unused]] static const int removed = std::atexit([] { std::remove(file.c_str()); });
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    std::ofstream(file, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(size));
    i18n::PlatFile f(file.c_str(), "rb");
    i18n::Catalogue cat;
    const int32_t status = cat.load(f);
    FUZZ_CHECK(status == model::Catalogue{bytes}.status());
    FUZZ_CHECK(status != I18N_OK || model::check_catalogue(cat, bytes));
    return 0;
}
