// Fuzzes the properties file: the input is a file's bytes. It is loaded into
// a fresh store, saved, and the saved file loaded into a second store; both
// must hold the same records in the same order, whatever the bytes.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "fuzz_check.h"
#include "kavrel_ctx.h"
#include "prop/prop.h"

namespace {

// The records of a file loaded into a new store: kind, key and value each.
std::string loaded(KAVREL_CTX *ctx, const std::string &file, kavrel::PROP_DES **d) {
    FUZZ_CHECK(kavrel::prop_init(ctx, d, nullptr) == 0);
    FUZZ_CHECK(kavrel::prop_load(*d, file.c_str(), nullptr, nullptr) == 0);
    std::string out;
    for (kavrel::KAVREL_LINK *l = (*d)->props.next; l != &(*d)->props; l = l->next) {
        const auto *r = reinterpret_cast<const kavrel::PROPERTY *>(l);
        out += std::to_string(r->type) + (r->key ? r->key : "") + '\0' + r->value + '\0';
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static char dir[] = "/tmp/kavrel-fuzz-XXXXXX";
    static KAVREL_CTX *ctx = nullptr;
    if (ctx == nullptr) {
        FUZZ_CHECK(mkdtemp(dir) != nullptr);
        FUZZ_CHECK(kavrel_init(&ctx, "fuzz", nullptr, dir, nullptr,
                               (std::string(dir) + "/own").c_str(), "en_US", nullptr,
                               [](KAVREL_CTX *, int32_t, int32_t, const char *) { return 0; }) ==
                   0);
    }
    const std::string input = std::string(dir) + "/input", saved = std::string(dir) + "/saved";
    std::ofstream(input, std::ios::binary)
        .write(reinterpret_cast<const char *>(data), std::streamsize(size));
    kavrel::PROP_DES *first = nullptr, *second = nullptr;
    const std::string before = loaded(ctx, input, &first);
    FUZZ_CHECK(kavrel::prop_save(first, saved.c_str(), nullptr) == 0);
    FUZZ_CHECK(loaded(ctx, saved, &second) == before);
    kavrel::prop_free(&first, nullptr);
    kavrel::prop_free(&second, nullptr);
    return 0;
}
