// The Kavrel library's hot paths, each side by side with a plain peer:
//   release/*   kavrel_dealloc of one tracked block with 1,000 and 100,000
//               live blocks in the context, against free() with as many
//               live malloc() blocks; "pair" times a release and the
//               allocation that refills its slot, "release" only the
//               release (batches of kBatch, timed by hand);
//   compose/*   msg_compose of message 131244 through the French catalogue,
//               against vsnprintf() of the English format;
//   call/*      the fixed cost of a public call, kavrel_get_attr of the
//               trace mask, against a call through a function pointer that
//               reads a field;
//   context/*   a context made and released (kavrel_init and kavrel_free on
//               an existing properties file), against a record allocated
//               and the file read and closed; and the growth of the resident
//               set over 50,000 such cycles after a warm-up, which must stay
//               under 512 KiB (a context releases all it took).
// Every context traces nothing, and its handler drops whatever it gets.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

#include "diag/msg.h"
#include "kavrel.h"
#include "kavrel_ctx.h"
#include "temp_dir.h"

#ifndef KAVREL_SHARE_DIR
#error "KAVREL_SHARE_DIR must name the build's share/kavrel directory"
#endif

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kBlockSize = 64;  // bytes asked for per block
constexpr std::size_t kBatch = 200;  // releases per timed batch
constexpr const char *kFormat = "Failed to open %s file: errno=%d %s.";
constexpr const char *kFileKind = "properties";
constexpr int kErrno = 2;
constexpr const char *kReason = "No such file or directory";
constexpr const char *kFrench =
    "Impossible d'ouvrir le fichier properties : errno=2 No such file or directory.";

[[noreturn]] void fail(const std::string &what) {
    throw std::runtime_error(what);
}

int32_t drop_line(KAVREL_CTX *, int32_t, int32_t, const char *) {
    return 0;
}

const TempDir *g_dir = nullptr;

// A context in US English that traces nothing.
class Context {
  public:
    Context() {
        const uint32_t status = kavrel_init(&ctx_, "kavrel_bench", "bench", g_dir->path().c_str(),
                                            nullptr, nullptr, "en_US", nullptr, drop_line);
        if (status != 0) fail("kavrel_init returned " + std::to_string(status));
    }
    ~Context() { kavrel_free(&ctx_); }
    Context(const Context &) = delete;
    Context &operator=(const Context &) = delete;
    KAVREL_CTX *get() const { return ctx_; }

  private:
    KAVREL_CTX *ctx_ = nullptr;
};

// The order in which the live blocks are released: a fixed shuffle, the
// same for every peer.
std::vector<std::size_t> release_order(std::size_t live) {
    std::vector<std::size_t> order(live);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::shuffle(order.begin(), order.end(), std::mt19937_64(42));
    return order;
}

// The two allocators behind one shape.
struct Tracked {
    KAVREL_CTX *ctx;
    void *alloc() const { return kavrel::kavrel_alloc(ctx, kBlockSize); }
    void release(void *p) const { kavrel::kavrel_dealloc(ctx, p); }
};
struct Plain {
    void *alloc() const { return std::malloc(kBlockSize); }
    void release(void *p) const { std::free(p); }
};

template <typename Allocator>
std::vector<void *> fill(const Allocator &a, std::size_t live) {
    std::vector<void *> blocks(live);
    for (void *&b : blocks) {
        b = a.alloc();
        if (b == nullptr) fail("allocation failed");
    }
    return blocks;
}

// One iteration: release a live block, then allocate its replacement.
template <typename Allocator>
void pairs(benchmark::State &state, const Allocator &a) {
    const auto live = static_cast<std::size_t>(state.range(0));
    std::vector<void *> blocks = fill(a, live);
    const std::vector<std::size_t> order = release_order(live);
    std::size_t i = 0;
    for (auto _ : state) {
        void *&slot = blocks[order[i]];
        a.release(slot);
        slot = a.alloc();
        benchmark::DoNotOptimize(slot);
        if (++i == live) i = 0;
    }
    for (void *b : blocks) a.release(b);
    state.SetItemsProcessed(state.iterations());
}

// One iteration: a timed batch of kBatch releases, then (untimed) the
// allocations that bring the count back. ns_per_release is the figure.
template <typename Allocator>
void releases(benchmark::State &state, const Allocator &a) {
    using Clock = std::chrono::steady_clock;
    const auto live = static_cast<std::size_t>(state.range(0));
    if (live % kBatch != 0) fail("the live count must be a multiple of the batch");
    std::vector<void *> blocks = fill(a, live);
    const std::vector<std::size_t> order = release_order(live);
    std::size_t next = 0;
    double total = 0;
    for (auto _ : state) {
        const std::size_t *batch = &order[next];
        const auto start = Clock::now();
        for (std::size_t j = 0; j < kBatch; ++j) a.release(blocks[batch[j]]);
        const std::chrono::duration<double> spent = Clock::now() - start;
        state.SetIterationTime(spent.count());
        total += spent.count();
        for (std::size_t j = 0; j < kBatch; ++j) blocks[batch[j]] = a.alloc();
        next += kBatch;
        if (next == live) next = 0;
    }
    for (void *b : blocks) a.release(b);
    const double count = static_cast<double>(state.iterations()) * static_cast<double>(kBatch);
    state.counters["ns_per_release"] = total * 1e9 / count;
}

void bm_pair_kavrel(benchmark::State &state) {
    const Context ctx;
    pairs(state, Tracked{ctx.get()});
}
void bm_pair_malloc(benchmark::State &state) {
    pairs(state, Plain{});
}
void bm_release_kavrel(benchmark::State &state) {
    const Context ctx;
    releases(state, Tracked{ctx.get()});
}
void bm_release_malloc(benchmark::State &state) {
    releases(state, Plain{});
}

// ---- composition -------------------------------------------------------

kavrel::LOCALE_DES *g_french = nullptr;

void bm_compose_kavrel(benchmark::State &state) {
    char text[512];
    for (auto _ : state) {
        int32_t size = sizeof text;
        benchmark::DoNotOptimize(kavrel::msg_composef(g_french, text, &size, KAVREL_E_FILE_OPEN,
                                                      kFormat, kFileKind, kErrno, kReason));
        benchmark::DoNotOptimize(text);
    }
    state.SetItemsProcessed(state.iterations());
}

int plain_format(char *dst, std::size_t capacity, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
int plain_format(char *dst, std::size_t capacity, const char *format, ...) {
    va_list values;
    va_start(values, format);
    const int n = std::vsnprintf(dst, capacity, format, values);
    va_end(values);
    return n;
}

void bm_compose_vsnprintf(benchmark::State &state) {
    char text[512];
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            plain_format(text, sizeof text, kFormat, kFileKind, kErrno, kReason));
        benchmark::DoNotOptimize(text);
    }
    state.SetItemsProcessed(state.iterations());
}

// ---- a public call -----------------------------------------------------

struct Record {
    uint32_t magic;
    uint32_t trace;
};

__attribute__((noinline)) uint32_t read_trace(const Record *record, uint32_t *value_out) {
    *value_out = record->trace;
    return 0;
}

uint32_t (*volatile g_read_trace)(const Record *, uint32_t *) = read_trace;

void bm_call_get_attr(benchmark::State &state) {
    const Context ctx;
    uint32_t value = 1;
    for (auto _ : state) {
        benchmark::DoNotOptimize(kavrel_get_attr(ctx.get(), KAVREL_A_TRACE, &value));
        benchmark::DoNotOptimize(value);
    }
    if (value != 0) state.SkipWithError("the trace mask is not 0");
}

void bm_call_pointer(benchmark::State &state) {
    Record record{0x4C435458u, 0};
    benchmark::DoNotOptimize(&record);
    uint32_t value = 1;
    for (auto _ : state) {
        benchmark::DoNotOptimize(g_read_trace(&record, &value));
        benchmark::DoNotOptimize(value);
    }
}

// ---- a context made and released ------------------------------------------

void bm_context_kavrel(benchmark::State &state) {
    for (auto _ : state) Context context;
}

void bm_context_plain(benchmark::State &state) {
    const std::string file = (g_dir->path() / "bench_tavro.properties").string();
    char buffer[4096];
    for (auto _ : state) {
        void *record = std::malloc(sizeof(KAVREL_CTX));
        benchmark::DoNotOptimize(record);
        std::FILE *f = std::fopen(file.c_str(), "r");
        if (f == nullptr) fail("no properties file");
        while (std::fgets(buffer, sizeof buffer, f) != nullptr) benchmark::DoNotOptimize(buffer);
        std::fclose(f);
        std::free(record);
    }
}

long resident_kib() {
    long pages = 0, resident = 0;
    std::FILE *f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr || std::fscanf(f, "%ld %ld", &pages, &resident) != 2) fail("no statm");
    std::fclose(f);
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

void bm_context_growth(benchmark::State &state) {
    constexpr int kCycles = 50000;
    constexpr long kLimitKib = 512;
    for (auto _ : state) {
        for (int i = 0; i < 1000; ++i) Context warm_up;
        const long before = resident_kib();
        for (int i = 0; i < kCycles; ++i) Context context;
        state.counters["rss_growth_KiB"] = static_cast<double>(resident_kib() - before);
    }
    if (state.counters["rss_growth_KiB"] >= kLimitKib) state.SkipWithError("the contexts leak");
}

// Opens the French catalogue and checks one composition before timing.
kavrel::LOCALE_DES *open_french(KAVREL_CTX *ctx) {
    char errtext[512] = "";
    kavrel::LOCALE_DES *des = nullptr;
    const std::string msgdir = std::string(KAVREL_SHARE_DIR) + "/msgs";
    if (kavrel::msg_init(ctx, "fr_FR", msgdir.c_str(), "kavrel", "kavrel", &des, errtext,
                         sizeof errtext) != 0) {
        fail(std::string("msg_init: ") + errtext);
    }
    char text[512];
    int32_t size = sizeof text;
    if (kavrel::msg_composef(des, text, &size, KAVREL_E_FILE_OPEN, kFormat, kFileKind, kErrno,
                             kReason) != 0 ||
        std::strcmp(text, kFrench) != 0) {
        fail(std::string("unexpected composition: ") + text);
    }
    return des;
}

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    kavrel_set_attr(nullptr, KAVREL_A_TRACE, 0);
    try {
        const TempDir dir;
        g_dir = &dir;
        // The catalogue stays open for the process: its descriptor is not
        // released with the context that opened it.
        Context catalogue_owner;
        g_french = open_french(catalogue_owner.get());

        // Named release/<shape>/<peer>/<live blocks>; the peers of one count
        // run next to each other.
        for (const bool pair : {true, false}) {
            const std::string shape = pair ? "release/pair" : "release/only";
            for (const int live : {1000, 100000}) {
                auto *kavrel = benchmark::RegisterBenchmark(
                    (shape + "/kavrel").c_str(), pair ? bm_pair_kavrel : bm_release_kavrel);
                auto *plain = benchmark::RegisterBenchmark(
                    (shape + "/malloc").c_str(), pair ? bm_pair_malloc : bm_release_malloc);
                for (auto *b : {kavrel, plain}) {
                    b->Arg(live);
                    if (!pair) b->UseManualTime();
                }
            }
        }
        benchmark::RegisterBenchmark("compose/131244/kavrel_fr_FR", bm_compose_kavrel);
        benchmark::RegisterBenchmark("compose/131244/vsnprintf", bm_compose_vsnprintf);
        benchmark::RegisterBenchmark("call/get_attr_trace/kavrel", bm_call_get_attr);
        benchmark::RegisterBenchmark("call/get_attr_trace/fn_pointer", bm_call_pointer);
        benchmark::RegisterBenchmark("context/init_free/kavrel", bm_context_kavrel);
        benchmark::RegisterBenchmark("context/init_free/malloc_fopen", bm_context_plain);
        benchmark::RegisterBenchmark("context/rss_growth_50k/kavrel", bm_context_growth)
            ->Iterations(1);
        benchmark::RunSpecifiedBenchmarks();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "kavrel_bench: %s\n", e.what());
        return 1;
    }
    benchmark::Shutdown();
    return 0;
}
