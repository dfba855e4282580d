// The properties store against plain peers, in the same run:
//   load/*      prop_load of a 100,000-line file into a fresh store, against
//               inih's ini_parse() of the same file (which parses and calls
//               back but stores nothing);
//   retrieve/*  kavrel_retrieve_prop with 10 and 100,000 properties held,
//               against what any store that notices other writers must do at
//               least: stat() the file and look the key up in a hash map;
//   store/*     kavrel_store_prop into a 10- and a 10,000-property file,
//               against writing the same lines to a temporary file, syncing
//               it and renaming it into place.
#include <benchmark/benchmark.h>
#ifdef KAVREL_HAVE_INIH
#include <ini.h>
#endif
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "kavrel.h"
#include "kavrel_ctx.h"
#include "prop/prop.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;

int32_t drop_line(KAVREL_CTX *, int32_t, int32_t, const char *) {
    return 0;
}

TempDir &scratch() {
    static TempDir dir;
    return dir;
}

std::string key_of(long i) {
    return "section" + std::to_string(i % 97) + ".key" + std::to_string(i);
}

std::string line_of(long i) {
    return key_of(i) + "=value number " + std::to_string(i) + " of the benchmark file\n";
}

// A properties file of n lines (with a comment every 100), made once.
std::string properties_file(long n) {
    const fs::path path = scratch().path() / ("props-" + std::to_string(n) + ".properties");
    if (!fs::exists(path)) {
        std::FILE *f = std::fopen(path.c_str(), "w");
        if (f == nullptr) throw std::runtime_error("cannot write " + path.string());
        for (long i = 0; i < n; ++i) {
            if (i % 100 == 0) std::fprintf(f, "# block %ld\n", i / 100);
            std::fputs(line_of(i).c_str(), f);
        }
        std::fclose(f);
    }
    return path.string();
}

KAVREL_CTX *context_on(const std::string &propfile) {
    kavrel_set_attr(nullptr, KAVREL_A_TRACE, 0);
    KAVREL_CTX *ctx = nullptr;
    if (kavrel_init(&ctx, "bench", nullptr, scratch().path().c_str(), nullptr, propfile.c_str(),
                    "en_US", nullptr, drop_line) != 0) {
        throw std::runtime_error("kavrel_init failed");
    }
    return ctx;
}

// state.range(1): 0 runs with the allocator's defaults, which hand a
// released store's memory back to the system, so that every load pays for
// fresh pages; 1 keeps freed memory in the process, as the heap of a product
// that has run a while does (it runs second: the setting stays).
void BM_LoadKavrel(benchmark::State &state) {
    const std::string file = properties_file(state.range(0));
    if (state.range(1) != 0) mallopt(M_TRIM_THRESHOLD, 512 * 1024 * 1024);
    KAVREL_CTX *ctx = context_on(file);
    for (auto _ : state) {
        state.PauseTiming();
        kavrel::PROP_DES *store = nullptr;
        kavrel::prop_init(ctx, &store, nullptr);
        state.ResumeTiming();
        if (kavrel::prop_load(store, file.c_str(), nullptr, nullptr) != 0) {
            state.SkipWithError("prop_load failed");
        }
        state.PauseTiming();
        benchmark::DoNotOptimize(store->index.count);
        kavrel::prop_free(&store, nullptr);
        state.ResumeTiming();
    }
    kavrel_free(&ctx);
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

#ifdef KAVREL_HAVE_INIH
int count_line(void *user, const char *, const char *name, const char *value) {
    auto *count = static_cast<long *>(user);
    *count += name[0] != '\0' && value != nullptr;
    return 1;
}

void BM_LoadInih(benchmark::State &state) {
    const std::string file = properties_file(state.range(0));
    for (auto _ : state) {
        long lines = 0;
        if (ini_parse(file.c_str(), count_line, &lines) != 0) state.SkipWithError("ini_parse");
        benchmark::DoNotOptimize(lines);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
#endif

void BM_RetrieveKavrel(benchmark::State &state) {
    const long n = state.range(0);
    KAVREL_CTX *ctx = context_on(properties_file(n));
    char value[256];
    long i = 0;
    for (auto _ : state) {
        const std::string key = key_of((i++ * 7919) % n);
        if (kavrel_retrieve_prop(ctx, key.c_str(), value, sizeof value - 1) != 0) {
            state.SkipWithError("not found");
        }
        benchmark::DoNotOptimize(value[0]);
    }
    kavrel_free(&ctx);
}

void BM_RetrieveStatAndMap(benchmark::State &state) {
    const long n = state.range(0);
    const std::string file = properties_file(n);
    std::unordered_map<std::string, std::string> map;
    for (long k = 0; k < n; ++k) map.emplace(key_of(k), "value number " + std::to_string(k));
    char value[256];
    long i = 0;
    for (auto _ : state) {
        const std::string key = key_of((i++ * 7919) % n);
        struct stat st;
        benchmark::DoNotOptimize(::stat(file.c_str(), &st));
        const auto found = map.find(key);
        if (found == map.end()) state.SkipWithError("not found");
        found->second.copy(value, sizeof value - 1);
        benchmark::DoNotOptimize(value[0]);
    }
}

void BM_StoreKavrel(benchmark::State &state) {
    const long n = state.range(0);
    const std::string source = properties_file(n);
    const std::string file = source + ".store";
    fs::copy_file(source, file, fs::copy_options::overwrite_existing);
    KAVREL_CTX *ctx = context_on(file);
    long i = 0;
    for (auto _ : state) {
        const std::string key = key_of((i * 7919) % n);
        const std::string value = "changed " + std::to_string(i++);
        if (kavrel_store_prop(ctx, key.c_str(), value.c_str()) != 0) {
            state.SkipWithError("store failed");
        }
    }
    kavrel_free(&ctx);
}

void BM_StoreRewrite(benchmark::State &state) {
    const long n = state.range(0);
    const std::string file = properties_file(n) + ".rewrite";
    std::vector<std::string> lines;
    for (long k = 0; k < n; ++k) lines.push_back(line_of(k));
    long i = 0;
    for (auto _ : state) {
        lines[static_cast<std::size_t>((i * 7919) % n)] = key_of((i * 7919) % n) + "=changed\n";
        ++i;
        const std::string temp = file + ".tmp";
        std::FILE *f = std::fopen(temp.c_str(), "w");
        for (const std::string &line : lines) std::fputs(line.c_str(), f);
        std::fflush(f);
        ::fsync(::fileno(f));
        std::fclose(f);
        std::rename(temp.c_str(), file.c_str());
    }
}

BENCHMARK(BM_LoadKavrel)
    ->Name("load/kavrel")
    ->ArgNames({"lines", "warm"})
    ->Args({100000, 0})
    ->Args({100000, 1})
    ->Unit(benchmark::kMillisecond);
#ifdef KAVREL_HAVE_INIH
BENCHMARK(BM_LoadInih)->Name("load/inih")->Arg(100000)->Unit(benchmark::kMillisecond);
#endif
BENCHMARK(BM_RetrieveKavrel)->Name("retrieve/kavrel")->Arg(10)->Arg(100000);
BENCHMARK(BM_RetrieveStatAndMap)->Name("retrieve/stat_and_map")->Arg(10)->Arg(100000);
BENCHMARK(BM_StoreKavrel)->Name("store/kavrel")->Arg(10)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StoreRewrite)
    ->Name("store/rewrite")
    ->Arg(10)
    ->Arg(10000)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
