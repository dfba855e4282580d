// The properties store: the list and its key index, the file as read and
// written, change detection, failures at every system call of a store, and
// a writer killed mid-save.
#include <random>
#include <set>

#include "diag/route.h"
#include "diag/trace.h"
#include "kavrel_fixture.h"
#include "prop/prop.h"

using namespace kavrel;
using namespace test;

namespace {

// The list: "key=value" for a property, "[text]" for a comment, ' ' between.
std::string snapshot(PROP_DES *d) {
    std::string out;
    for (KAVREL_LINK *l = d->props.next; l != &d->props; l = l->next) {
        const auto *r = reinterpret_cast<const PROPERTY *>(l);
        out += (r->key != nullptr ? std::string(r->key) + "=" + r->value
                                  : "[" + std::string(r->value) + "]") +
               " ";
    }
    return out;
}

std::string g_calls;  // the load callback's calls: "key|value" each
int on_line(KAVREL_CTX *, const char *key, const char *value) {
    g_calls += std::string(key ? key : "(null)") + "|" + (value ? value : "(null)") + " ";
    return key == nullptr ? 0 : std::string(key) == "skip" ? 1 : std::string(key) == "stop" ? 2 : 5;
}

uint32_t g_list_stop = 0;  // prop_list's callback answers 3 for this property (1-based)
uint32_t on_property(KAVREL_CTX *, const char *key, const char *value) {
    g_calls += std::string(key) + "=" + value + " ";
    return --g_list_stop == 0 ? 3 : 7;
}

class Props : public ContextTest {
  protected:
    void SetUp() override {
        ASSERT_EQ(open(), 0u);
        d_ = ctx_->prop;
        g_lines.clear();
    }
    // Records begun from now on do not merge the file in first.
    void quiet() { ctx_->hooks = nullptr; }
    // Runs a script of operations, one a line, on the store; the statuses,
    // values and the trace lines they cause. s KEY [VALUE]: set or remove;
    // g KEY CAPACITY: get (-1: length only); c TEXT: a comment; l N: the walk.
    std::string run(const std::string &script, bool drop_index) {
        std::istringstream in(script);
        std::string out;
        for (std::string op, key, arg; in >> op >> key && std::getline(in, arg);) {
            if (!arg.empty()) arg.erase(0, 1);
            if (key == "_") key.clear();
            if (drop_index) kavrel_dealloc(ctx_, d_->index.drop());
            KAVREL_ERR_INFO ei;
            errinfo_begin(ctx_, nullptr, &ei);
            uint32_t status = 0;
            char value[64] = "<untouched>";
            uint32_t length = static_cast<uint32_t>(std::atoi(arg.c_str()));
            if (op == "s")
                status = prop_set(d_, key.c_str(), arg.empty() ? nullptr : arg.c_str(), &ei);
            if (op == "g")
                status = prop_get(d_, key.c_str(), arg == "-1" ? nullptr : value, &length, &ei);
            if (op == "c")
                status =
                    set__property(d_, nullptr, (arg.empty() ? key : key + " " + arg).c_str(), &ei);
            if (op == "l") {
                g_list_stop = static_cast<uint32_t>(std::stoul(key));
                g_calls.clear();
                status = prop_list(d_, on_property, &ei);
            }
            errinfo_route(&ei);
            out += op + " " + key + " " + arg + " -> " + std::to_string(status) +
                   (op == "g" ? std::string(" ") + value + " " + std::to_string(length) : "") +
                   (op == "l" ? " " + g_calls : "") + "\n" + take_lines();
        }
        return out + snapshot(d_) + "\n";
    }
    PROP_DES *d_ = nullptr;
};

const char kScript[] =
    "s a 1\ns b 2\ns a 1\ns a 3\ns x=y=z v\ng x?y?z 10\ng x=y?z 1\ng x=y?z 0\ng x=y?z -1\n"
    "s ab 4\ns xab 5\ns Xab 6\ng xab 9\ng XAB 9\ng ab 9\ns _ e\ng _ 9\ns b\ns none\ng b 9\n"
    "c # one\nc # one\nc #two\nl 0 0\nl 2 0\ns xab\ng Xab 9\n";

// Lookups, changes in place, removal, comments held once, '=' held as '?',
// the walk, and the trace lines; the same through the index and along the
// list; then the dump.
TEST_F(Props, ListOperations) {
    quiet();
    set_trace_mask(ctx_, KAVREL_TRACE_PROP);
    const std::string indexed = run(kScript, false);
    prop_dump(d_, nullptr);
    expect_golden("prop_list.txt", normalise(indexed + take_lines()));
    prop_free(&d_, nullptr);
    ASSERT_EQ(prop_init(ctx_, &d_, nullptr), 0u);
    ctx_->prop = d_;
    g_lines.clear();
    EXPECT_EQ(normalise(run(kScript, true), "", true), normalise(indexed, "", true));
}

// Every allocation of an operation failing in turn: 131229 and its message,
// the list as it was and no memory kept; an index that cannot grow is done
// without.
TEST_F(Props, EveryAllocationFailing) {
    quiet();
    for (int i = 0; i < 15; ++i) prop_set(d_, ("k" + std::to_string(i)).c_str(), "v", nullptr);
    for (const char *script : {"s new v", "s k1 longer", "s a=b v", "g a=b 9", "c #c"}) {
        const std::string before = snapshot(d_);
        const uint32_t blocks = ctx_->memory_index.count;
        sweep_allocations([&](int) {
            const std::string out = run(script, false);
            if (out.find("-> 131229") == std::string::npos) return;
            EXPECT_NE(out.find("100 131229 Failed to allocate "), std::string::npos) << out;
            EXPECT_EQ(snapshot(d_), before);
            EXPECT_EQ(ctx_->memory_index.count, blocks);
        });
    }
    const std::string found = "g new 9 -> 0 v 1\ng k1 9 -> 0 longer 6\ng a?b 9 -> 0 v 1\n";
    EXPECT_EQ(run("g new 9\ng k1 9\ng a?b 9\n", false).substr(0, found.size()), found);
}

// The file's lines as read (trimmed, split at the first '=', comments held
// once, long lines in pieces, a NUL ending a line's text), the callback's
// verdicts, the written form, and a reload of it that gives the same list.
TEST_F(Props, FileReadAndWritten) {
    quiet();
    const std::string path = propfile();
    write(path,
          " \t key = value \r\n# c\n\n=empty key\nempty value=\n# c\nno equals\n a=b=c\x01\x7F\n"
          "\xC3\xA9=\xE2\x82\xAC\nnul=a" +
              std::string(1, '\0') + "b\nskip=1\nlong=" + std::string(5000, 'x') +
              "\nstop=2\nafter=3\n");
    set_trace_mask(ctx_, KAVREL_TRACE_PROP);
    KAVREL_ERR_INFO ei;
    errinfo_begin(ctx_, nullptr, &ei);
    g_calls.clear();
    EXPECT_EQ(prop_load(d_, path.c_str(), on_line, &ei), 0u);
    std::string text = take_lines() + g_calls + "\n" + snapshot(d_) + "\n";
    write(path, "");
    EXPECT_EQ(prop_save(d_, path.c_str(), &ei), 0u);
    text += read_text(path);
    const std::string list = snapshot(d_);
    prop_free(&ctx_->prop, &ei);
    ASSERT_EQ(prop_init(ctx_, &ctx_->prop, &ei), 0u);
    d_ = ctx_->prop;
    g_calls.clear();
    EXPECT_EQ(prop_load(d_, path.c_str(), on_line, &ei), 0u);
    EXPECT_EQ(snapshot(d_), list);
    errinfo_route(&ei);
    expect_golden("prop_file.txt", normalise(text + take_lines(), dir_.str(), true));
}

// Changes by other writers are merged at the next call, even within the
// same second; a load never removes; a save over a later file is traced.
TEST_F(Props, ChangesOfOtherWriters) {
    kavrel_store_prop(ctx_, "k", "1");
    write(propfile(), "k=2\n");
    EXPECT_EQ(retrieve("k"), "2");
    write(propfile() + ".n", "k=3\nz=9\n");
    fs::rename(propfile() + ".n", propfile());
    EXPECT_EQ(retrieve("z"), "9");
    write(propfile(), "z=1\n");
    EXPECT_EQ(retrieve("k"), "3");
    fs::last_write_time(propfile(), fs::file_time_type::clock::now() + std::chrono::seconds(100));
    set_trace_mask(ctx_, KAVREL_TRACE_PROP);
    kavrel_store_prop(ctx_, "k", "4");
    EXPECT_NE(take_lines().find("In-memory change may overwrite file"), std::string::npos);
    EXPECT_EQ(read_text(propfile()), "k=4\nz=1\n");
    fs::remove(propfile());
    EXPECT_EQ(retrieve("z"), "1");
    fs::create_directory(propfile());
    EXPECT_EQ(kavrel_store_prop(ctx_, "k", "5"), KAVREL_E_FILE_OPEN);
    fs::remove(propfile());
    kavrel_store_prop(ctx_, "k", "6");
    expect_golden("prop_changes.txt", normalise(take_lines(), dir_.str(), true));
    EXPECT_EQ(read_text(propfile()), "k=6\nz=1\n");
}

// Each kind of system call of a store failing in turn at every step, with
// each of three errors: the status and messages, the file is the old one or
// the new one, the property is held, and no descriptor or file is left.
struct SystemCall {
    i18n::Fault kind;
    const char *name;
};

class EverySystemCall : public Props, public ::testing::WithParamInterface<SystemCall> {};

TEST_P(EverySystemCall, FailingInTurn) {
    const auto open_before = descriptors();
    std::string text;
    int round = 0;
    const i18n::Fault kind = GetParam().kind;
    write(propfile(), "#c\nk=old\n");
    EXPECT_EQ(retrieve("k"), "old");  // a store whose read fails saves the list held
    for (int error : {ENOSPC, EIO, EACCES}) {
        for (int64_t step = 0;; ++step) {
            write(propfile(), "#c\nk=old\n");
            const std::string value = std::to_string(++round);
            const int64_t before = fail(kind, step, 1, error);
            const uint32_t status = kavrel_store_prop(ctx_, "k", value.c_str());
            const bool hit = fail(kind, 0, 0) > before + step;
            EXPECT_EQ(read_text(propfile()), status == 0 ? "#c\nk=" + value + "\n" : "#c\nk=old\n")
                << step << " " << error;
            EXPECT_EQ(retrieve("k"), value);
            text += std::to_string(static_cast<int>(kind)) + "." + std::to_string(step) + " " +
                    std::to_string(status) + "\n" + take_lines();
            if (!hit) break;
        }
    }
    EXPECT_EQ(files(dir_.str()), "p_tavro.properties") << "a temporary file was left";
    EXPECT_EQ(descriptors(), open_before);
    expect_golden(std::string("prop_faults/") + GetParam().name + ".txt",
                  normalise(text, dir_.str()));
}

using F = i18n::Fault;
INSTANTIATE_TEST_SUITE_P(
    Store, EverySystemCall,
    ::testing::Values(SystemCall{F::open, "open"}, SystemCall{F::stat, "stat"},
                      SystemCall{F::read, "read"}, SystemCall{F::write, "write"},
                      SystemCall{F::sync, "sync"}, SystemCall{F::rename, "rename"},
                      SystemCall{F::lock, "lock"}, SystemCall{F::clock, "clock"},
                      SystemCall{F::attrs, "attrs"}, SystemCall{F::close, "close"}),
    [](const auto &tested) { return std::string(tested.param.name); });

// No line reaches the handler while a store holds its file's turn, so a
// handler may store into the same file, or another of the directory, from
// any line of a store, a failed merge's included.
std::string g_dir;
KAVREL_CTX *g_neighbour = nullptr;
int g_depth = 0, g_turn_held = 0;
int32_t store_again(KAVREL_CTX *ctx, int32_t, int32_t, const char *) {
    g_turn_held +=
        turn_held(g_dir + "/p_tavro.properties") + turn_held(g_dir + "/n_tavro.properties");
    if (g_depth++ == 0) {
        kavrel_store_prop(ctx, "inner", "1");
        kavrel_store_prop(g_neighbour, "inner", "2");
    }
    --g_depth;
    return 0;
}

TEST_F(Props, HandlerStoresFromInsideAStore) {
    g_dir = dir_.str();
    ASSERT_EQ(kavrel_init(&g_neighbour, "Prod", "n", g_dir.c_str(), nullptr, nullptr, "en_US",
                          nullptr, capture),
              0u);
    ctx_->messagehandler = store_again;
    set_trace_mask(ctx_, KAVREL_TRACE_PROP);
    fs::remove(propfile());
    EXPECT_EQ(kavrel_store_prop(ctx_, "outer", "1"), 0u);
    ctx_->messagehandler = capture;
    EXPECT_EQ(g_turn_held, 0);
    EXPECT_EQ(retrieve("inner") + retrieve("outer"), "11");
    kavrel_free(&g_neighbour);
    EXPECT_EQ(read_text(dir_ / "n_tavro.properties"), "inner=2\n");
}

// A writer killed at any moment of its saves leaves the version before or
// the version after, whole, and the next save leaves no temporary file.
TEST_F(Props, KilledWriterLeavesAWholeFile) {
    std::mt19937 random(12345);
    std::set<std::size_t> seen;
    for (int round = 0; round < 30; ++round) {
        write(propfile(), "v=\n");
        const Process writer = spawn({KAVREL_SOAK_HELPER, dir_.str()});
        for (int i = 0; i < 1000 && read_text(propfile()) == "v=\n"; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 30000));
        kill(writer);
        EXPECT_EQ(exit_code(writer), 137);
        const std::string file = read_text(propfile());
        ASSERT_TRUE(file.starts_with("v=") && file.ends_with("\n")) << file.size();
        EXPECT_EQ(file.size() % 20000, 3u);
        seen.insert(file.size());
    }
    EXPECT_GT(seen.size(), 1u) << "the writer never got a save done";
    EXPECT_EQ(kavrel_store_prop(ctx_, "v", "after"), 0u);
    EXPECT_EQ(files(dir_.str()), "p_tavro.properties") << "a temporary file kept";
}

}  // namespace
