// Fuzzes the properties file: the input is a file's bytes. It is loaded into
// a fresh store, saved, and the saved file loaded into a second store; both
// stores must hold the same records in the same order (what a load keeps, a
// save writes back so that it reads the same), and a load must not crash
// or read out of bounds whatever the bytes.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "fuzz_check.h"
#include "kavrel.h"
#include "kavrel_ctx.h"
#include "prop/prop.h"

namespace {

using Record = std::tuple<uint32_t, std::string, std::string>;

int32_t drop(KAVREL_CTX *, int32_t, int32_t, const char *) {
    return 0;
}

struct Fixture {
    std::string dir, input, saved;
    KAVREL_CTX *ctx = nullptr;
    Fixture() {
        char templ[] = "/tmp/kavrel-fuzz-propfile-XXXXXX";
        FUZZ_CHECK(mkdtemp(templ) != nullptr);
        dir = templ;
        input = dir + "/input.properties";
        saved = dir + "/saved.properties";
        FUZZ_CHECK(kavrel_init(&ctx, "fuzz", nullptr, dir.c_str(), nullptr,
                               (dir + "/own.properties").c_str(), "en_US", nullptr, drop) == 0);
    }
};

Fixture &fixture() {
    static Fixture f;
    return f;
}

std::vector<Record> records(kavrel::PROP_DES *d) {
    std::vector<Record> out;
    for (kavrel::KAVREL_LINK *l = d->props.next; l != &d->props; l = l->next) {
        const auto *r = reinterpret_cast<const kavrel::PROPERTY *>(l);
        out.emplace_back(r->type, r->key != nullptr ? r->key : "", r->value);
    }
    return out;
}

std::vector<Record> load(KAVREL_CTX *ctx, const std::string &file, kavrel::PROP_DES **d) {
    FUZZ_CHECK(kavrel::prop_init(ctx, d, nullptr) == 0);
    FUZZ_CHECK(kavrel::prop_load(*d, file.c_str(), nullptr, nullptr) == 0);
    return records(*d);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Fixture &f = fixture();
    std::FILE *out = std::fopen(f.input.c_str(), "wb");
    FUZZ_CHECK(out != nullptr);
    if (size > 0) FUZZ_CHECK(std::fwrite(data, 1, size, out) == size);
    std::fclose(out);

    kavrel::PROP_DES *first = nullptr, *second = nullptr;
    const std::vector<Record> loaded = load(f.ctx, f.input, &first);
    FUZZ_CHECK(kavrel::prop_save(first, f.saved.c_str(), nullptr) == 0);
    const std::vector<Record> reloaded = load(f.ctx, f.saved, &second);
    FUZZ_CHECK(loaded == reloaded);
    kavrel::prop_free(&first, nullptr);
    kavrel::prop_free(&second, nullptr);
    return 0;
}
