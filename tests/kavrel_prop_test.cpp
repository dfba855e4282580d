// The property list of a store: lookups, changes, removal, the walk, the
// dump, its trace lines, and what an allocation failure leaves behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "diag/errinfo.h"
#include "diag/route.h"
#include "kavrel.h"
#include "kavrel_capture.h"
#include "kavrel_ctx.h"
#include "prop/prop.h"
#include "temp_dir.h"

namespace {

using kavrel_test::capture;
using kavrel_test::fmt;
using kavrel_test::g_handler_result;
using kavrel_test::g_lines;
using kavrel_test::Held;
using kavrel_test::held;
using kavrel_test::holds;
using kavrel_test::Line;

using kavrel::PROP_DES;
using kavrel::PROPERTY;

std::vector<std::string> trace_lines() {
    std::vector<std::string> out;
    for (const Line &l : g_lines) {
        if (l.severity == 20) out.push_back(l.text);
    }
    return out;
}

bool holds_suffix(kavrel::KAVREL_ERR_INFO &ei, int32_t number, const std::string &tail) {
    for (const Held &h : held(ei)) {
        if (h.number == number && h.text.size() >= tail.size() &&
            h.text.compare(h.text.size() - tail.size(), tail.size(), tail) == 0) {
            return true;
        }
    }
    return false;
}

using Record = std::tuple<uint32_t, std::string, std::string>;  // type, key, value

std::vector<Record> snapshot(PROP_DES *d) {
    std::vector<Record> out;
    for (kavrel::KAVREL_LINK *l = d->props.next; l != &d->props; l = l->next) {
        const auto *r = reinterpret_cast<const PROPERTY *>(l);
        out.emplace_back(r->type, r->key != nullptr ? r->key : "(none)", r->value);
    }
    return out;
}

Record prop(const char *key, const char *value) {
    return {kavrel::PROP_CLEARTEXT, key, value};
}
Record comment(const char *text) {
    return {kavrel::PROP_COMMENT, "(none)", text};
}

class PropList : public ::testing::Test {
  protected:
    void SetUp() override {
        g_lines.clear();
        ASSERT_EQ(kavrel_init(&ctx, "prod", nullptr, dir.str().c_str(), nullptr, nullptr, "en_US",
                              nullptr, capture),
                  0u);
        kavrel::errinfo_begin(ctx, nullptr, &ei);
        ASSERT_EQ(kavrel::prop_init(ctx, &d, &ei), 0u);
        g_lines.clear();
    }
    void TearDown() override {
        kavrel_test_fail_alloc(0, 0);
        if (d != nullptr) kavrel::prop_free(&d, &ei);
        kavrel::errinfo_route(&ei);
        kavrel_free(&ctx);
    }

    uint32_t set(const char *key, const char *value) {
        return kavrel::prop_set(d, key, value, &ei);
    }
    void add_comment(const char *text) {
        kavrel::LockGuard lock(d->lock);
        ASSERT_EQ(kavrel::set__property(d, nullptr, text, &ei), 0u);
    }
    // The value held for key, or "<missing>".
    std::string get(const char *key) {
        uint32_t len = 0;
        if (kavrel::prop_get(d, key, nullptr, &len, &ei) != 0) return "<missing>";
        std::string value(len + 1, '\0');
        EXPECT_EQ(kavrel::prop_get(d, key, value.data(), &len, &ei), 0u);
        value.resize(len);
        return value;
    }

    TempDir dir;
    KAVREL_CTX *ctx = nullptr;
    PROP_DES *d = nullptr;
    kavrel::KAVREL_ERR_INFO ei{};
};

// ---- prop_get ----------------------------------------------------------------

TEST_F(PropList, GetGivesTheLengthCutsToTheBufferAndLeavesAMissingKeyAlone) {
    ASSERT_EQ(set("k", "abcdefgh"), 0u);
    char buffer[9] = "xyz";
    uint32_t len = 7;
    EXPECT_EQ(kavrel::prop_get(d, "absent", buffer, &len, &ei), 1u);
    EXPECT_STREQ(buffer, "xyz");
    EXPECT_EQ(len, 7u);
    EXPECT_TRUE(held(ei).empty());
    EXPECT_EQ(kavrel::prop_get(d, "k", nullptr, &len, &ei), 0u);
    EXPECT_EQ(len, 8u);

    len = 4;
    EXPECT_EQ(kavrel::prop_get(d, "k", buffer, &len, &ei), 1000000u);
    EXPECT_EQ(len, 8u);
    EXPECT_STREQ(buffer, "abcd");
    EXPECT_TRUE(holds_suffix(ei, 1000000, ": (*value_len <= max_value_len)"));
    len = 8;  // exactly the value's length fits
    EXPECT_EQ(kavrel::prop_get(d, "k", buffer, &len, &ei), 0u);
    EXPECT_STREQ(buffer, "abcdefgh");
}

// ---- prop_set ----------------------------------------------------------------

TEST_F(PropList, SetKeepsTheRecordsPlaceAndNullRemoves) {
    for (const char *k : {"a", "b", "c"}) ASSERT_EQ(set(k, "old"), 0u);
    EXPECT_EQ(set("b", "new"), 0u);
    EXPECT_EQ(snapshot(d),
              (std::vector<Record>{prop("a", "old"), prop("b", "new"), prop("c", "old")}));
    for (const char *k : {"a", "b", "c"}) ASSERT_EQ(set(k, k), 0u);
    EXPECT_EQ(set("b", nullptr), 0u);
    EXPECT_EQ(snapshot(d), (std::vector<Record>{prop("a", "a"), prop("c", "c")}));
    EXPECT_EQ(get("b"), "<missing>");
    EXPECT_EQ(set("b", nullptr), 0u);
    EXPECT_EQ(set("never", nullptr), 0u);
    EXPECT_EQ(snapshot(d), (std::vector<Record>{prop("a", "a"), prop("c", "c")}));
    // A removed key comes back at the end.
    EXPECT_EQ(set("b", "again"), 0u);
    EXPECT_EQ(snapshot(d),
              (std::vector<Record>{prop("a", "a"), prop("c", "c"), prop("b", "again")}));
}

TEST_F(PropList, EqualsInAKeyIsStoredAsQuestionMarkAndFoundByEitherForm) {
    ASSERT_EQ(set("a=b=c", "1"), 0u);
    EXPECT_EQ(snapshot(d), std::vector<Record>{prop("a?b?c", "1")});
    EXPECT_EQ(get("a=b=c"), "1");
    EXPECT_EQ(get("a?b?c"), "1");
    EXPECT_EQ(get("a?b=c"), "1");
    EXPECT_EQ(set("a?b=c", "2"), 0u);
    EXPECT_EQ(snapshot(d), std::vector<Record>{prop("a?b?c", "2")});
    EXPECT_EQ(set("a=b?c", nullptr), 0u);
    EXPECT_TRUE(snapshot(d).empty());
}

// Keys that end alike, differ in length or in case: each its own property,
// whether lookups go through the key index or (after the index could not
// be allocated) along the list.
TEST_F(PropList, KeysEndingAlikeOrDifferingInCaseAreDistinct) {
    const std::vector<std::pair<const char *, const char *>> keys = {
        {"ab", "2"},  {"xab", "3"}, {"yxab", "4"}, {"b", "1"},     {"", "0"},
        {"Key", "K"}, {"key", "k"}, {"KEY", "KK"}, {"key ", "ks"}, {" key", "sk"}};
    for (const auto &[k, v] : keys) ASSERT_EQ(set(k, v), 0u);
    for (int pass = 0; pass < 2; ++pass) {
        SCOPED_TRACE(pass == 0 ? "indexed" : "no index");
        for (const auto &[k, v] : keys) EXPECT_EQ(get(k), v) << "'" << k << "'";
        EXPECT_EQ(get("zab"), "<missing>");
        EXPECT_EQ(get("kEy"), "<missing>");
        EXPECT_EQ(get("a"), "<missing>");
        // Drop the index: lookups must then walk the list.
        kavrel_dealloc(ctx, d->buckets);
        d->buckets = nullptr;
        d->bucket_mask = 0;
    }
    EXPECT_EQ(set("xab", nullptr), 0u);
    EXPECT_EQ(get("ab"), "2");
    EXPECT_EQ(get("yxab"), "4");
    EXPECT_EQ(get("xab"), "<missing>");
}

TEST_F(PropList, CommentsAreHeldOnceAndAreNotProperties) {
    add_comment("# one");
    add_comment("# two");
    add_comment("# one");
    ASSERT_EQ(set("# one", "value"), 0u);  // a key that looks like a comment
    EXPECT_EQ(snapshot(d),
              (std::vector<Record>{comment("# one"), comment("# two"), prop("# one", "value")}));
    EXPECT_EQ(get("# two"), "<missing>");
    EXPECT_EQ(get("# one"), "value");
}

// ---- prop_list ---------------------------------------------------------------

struct Walk {
    std::vector<std::string> seen;
    uint32_t result = 0;
    const char *add_on = nullptr;  // key whose visit adds "added"
    PROP_DES *d = nullptr;
};
Walk g_walk;

uint32_t walker(KAVREL_CTX *, const char *key, const char *value) {
    g_walk.seen.push_back(std::string(key) + "=" + value);
    if (g_walk.add_on != nullptr && std::strcmp(key, g_walk.add_on) == 0) {
        kavrel::prop_set(g_walk.d, "added", "late", nullptr);
    }
    return g_walk.result;
}

TEST_F(PropList, ListVisitsPropertiesInOrderAndStopsOnAResult) {
    g_walk = Walk{};
    g_walk.result = 9;
    add_comment("#c");
    EXPECT_EQ(kavrel::prop_list(d, walker, &ei), 0u) << "comments are not visited";
    EXPECT_TRUE(g_walk.seen.empty());
    for (const char *k : {"x", "y", "z"}) ASSERT_EQ(set(k, k), 0u);
    g_walk.result = 3;
    EXPECT_EQ(kavrel::prop_list(d, walker, &ei), 3u);
    EXPECT_EQ(g_walk.seen, std::vector<std::string>{"x=x"});

    // A property the callback adds is visited later in the same walk.
    g_walk = Walk{};
    g_walk.add_on = "x";
    g_walk.d = d;
    EXPECT_EQ(kavrel::prop_list(d, walker, &ei), 0u);
    EXPECT_EQ(g_walk.seen, (std::vector<std::string>{"x=x", "y=y", "z=z", "added=late"}));
}

// ---- preconditions -----------------------------------------------------------

TEST_F(PropList, BrokenPreconditionsAreAssertions) {
    const std::string magic =
        ": ((prop_des != (PROP_DES *) NULL) && (prop_des->magic == PROP_DES_MAGIC))";
    PROP_DES fake{};
    uint32_t len = 0;
    char buffer[4];
    struct Case {
        const char *what;
        uint32_t status;
        std::string condition;
    } cases[] = {
        {"get null", kavrel::prop_get(nullptr, "k", buffer, &len, &ei), ": (prop_ctx != NULL)"},
        {"get magic", kavrel::prop_get(&fake, "k", buffer, &len, &ei), magic},
        {"get len", kavrel::prop_get(d, "k", buffer, nullptr, &ei), ": (value_len != NULL)"},
        {"set null", kavrel::prop_set(nullptr, "k", "v", &ei), ": (prop_ctx != NULL)"},
        {"set magic", kavrel::prop_set(&fake, "k", "v", &ei), magic},
        {"list null", kavrel::prop_list(nullptr, walker, &ei), ": (prop_ctx != NULL)"},
        {"list magic", kavrel::prop_list(&fake, walker, &ei), magic},
        {"list cb", kavrel::prop_list(d, nullptr, &ei), ": (prop_list_cb != NULL)"},
        {"init null", kavrel::prop_init(ctx, nullptr, &ei), ": (prop_ctx != NULL)"},
        {"free null", kavrel::prop_free(nullptr, &ei), ": (prop_ctx != NULL)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.status, 1000000u);
        EXPECT_TRUE(holds_suffix(ei, 1000000, c.condition));
    }
    PROP_DES *none = nullptr;
    EXPECT_EQ(kavrel::prop_free(&none, &ei), 1000000u);
    EXPECT_TRUE(holds_suffix(ei, 1000000, ": (*prop_ctx != NULL)"));
    PROP_DES *faked = &fake;
    EXPECT_EQ(kavrel::prop_free(&faked, &ei), 1000000u);
    kavrel::errinfo_route(&ei);
    g_lines.clear();
    kavrel::prop_dump(nullptr, &ei);  // nothing at all
    EXPECT_TRUE(held(ei).empty());
    kavrel::prop_dump(&fake, &ei);
    EXPECT_TRUE(holds_suffix(ei, 1000000, magic));
    EXPECT_TRUE(g_lines.empty());
}

// ---- dump and trace lines ----------------------------------------------------

TEST_F(PropList, DumpWritesEveryRecordWhateverTheMask) {
    add_comment("#c");
    ASSERT_EQ(set("k", "v"), 0u);
    ASSERT_EQ(set("", ""), 0u);
    ctx->trace = 0;
    g_lines.clear();
    kavrel::prop_dump(d, &ei);
    std::vector<std::string> expected = {
        fmt("--PROPERTIES list at 0x%p\n", static_cast<void *>(d))};
    const char *shown[][2] = {{"(null)", "#c"}, {"k", "v"}, {"(null)", "(null)"}};
    int i = 0;
    for (kavrel::KAVREL_LINK *l = d->props.next; l != &d->props; l = l->next, ++i) {
        expected.push_back(fmt("\tPROPERTY at 0x%p\n", static_cast<void *>(l)));
        expected.push_back(fmt("\t\tkey: '%s', value: '%s'\n", shown[i][0], shown[i][1]));
        expected.push_back(fmt("\t\tpropq: %p, next: %p, prev: %p\n", static_cast<void *>(l),
                               static_cast<void *>(l->next), static_cast<void *>(l->prev)));
    }
    EXPECT_EQ(trace_lines(), expected);
}

TEST_F(PropList, TraceLinesOfAddUpdateAndFree) {
    kavrel::prop_free(&d, &ei);
    d = nullptr;
    ctx->trace = 0x80;
    g_lines.clear();
    ASSERT_EQ(kavrel::prop_init(ctx, &d, &ei), 0u);
    const void *p = d;
    add_comment("#note");
    ASSERT_EQ(set("k", "v1"), 0u);
    ASSERT_EQ(set("k", "v2"), 0u);
    ASSERT_EQ(set("k", "v2"), 0u);  // the same value: no line
    ASSERT_EQ(set("gone", "x"), 0u);
    ASSERT_EQ(set("gone", nullptr), 0u);
    ASSERT_EQ(set("gone", nullptr), 0u);
    ASSERT_EQ(kavrel::prop_free(&d, &ei), 0u);
    d = nullptr;
    EXPECT_EQ(trace_lines(), (std::vector<std::string>{
                                 fmt("PROP prop_init:(%p)\n", p),
                                 fmt("PROP add__property:(%p): #note\n", p),
                                 fmt("PROP add__property:(%p): k=v1\n", p),
                                 fmt("PROP update__property:(%p): k=v2\n", p),
                                 fmt("PROP add__property:(%p): gone=x\n", p),
                                 fmt("PROP free__property:(%p): gone=x\n", p),
                                 fmt("prop_free:(%p)\n", p),
                                 fmt("PROP free__property:(%p): #note\n", p),
                                 fmt("PROP free__property:(%p): k=v2\n", p),
                             }));
    for (const Line &l : g_lines) EXPECT_EQ(l.number, 0);
}

// ---- allocation failures -------------------------------------------------------
// Each allocation of the operation fails in turn. A failure that stops the
// operation gives 131229 with its message and leaves the list as it was; one
// the store can do without (the key index) lets it succeed.

class PropNoMem : public PropList {
  protected:
    void fill() {
        add_comment("# head");
        for (int i = 0; i < 20; ++i) {
            const std::string k = "key" + std::to_string(i);
            ASSERT_EQ(set(k.c_str(), ("value" + std::to_string(i)).c_str()), 0u);
        }
    }
    // Runs `op` with its k-th allocation failing, for every k it makes.
    // Returns the number of runs that failed with 131229.
    template <class Op, class Check>
    int each_allocation(Op op, Check check_success, const std::vector<int> &sizes) {
        int failures = 0;
        std::vector<int> reported;
        for (int64_t k = 0;; ++k) {
            SCOPED_TRACE(k);
            kavrel::errinfo_route(&ei);
            g_lines.clear();
            const std::vector<Record> before = snapshot(d);
            const int64_t start = kavrel_test_fail_alloc(k, 1);
            const uint32_t status = op();
            const int64_t made = kavrel_test_fail_alloc(0, 0) - start;
            if (made <= k) {  // the failure was never reached
                EXPECT_EQ(status, 0u);
                break;
            }
            if (status == 0) {
                check_success();
            } else {
                ++failures;
                EXPECT_EQ(status, 131229u);
                EXPECT_EQ(snapshot(d), before);
                bool found = false;
                for (const Held &h : held(ei)) {
                    int bytes = 0;
                    if (h.number == 131229 &&
                        std::sscanf(h.text.c_str(), "Failed to allocate %d bytes.", &bytes) == 1 &&
                        h.text == "Failed to allocate " + std::to_string(bytes) + " bytes.") {
                        reported.push_back(bytes);
                        found = true;
                    }
                }
                EXPECT_TRUE(found);
            }
            // Whatever happened, every property is still found.
            for (const Record &r : snapshot(d)) {
                if (std::get<0>(r) == kavrel::PROP_CLEARTEXT) {
                    EXPECT_EQ(get(std::get<1>(r).c_str()), std::get<2>(r));
                }
            }
            if (k > 200) {
                ADD_FAILURE() << "allocations never end";
                break;
            }
        }
        for (int size : sizes) {
            EXPECT_NE(std::find(reported.begin(), reported.end(), size), reported.end())
                << "no failure reported for " << size << " bytes";
        }
        return failures;
    }
};

TEST_F(PropNoMem, AddingAProperty) {
    fill();
    const std::vector<Record> base = snapshot(d);
    // one block: the record, the key with its terminator (9), the value (14)
    const int failures = each_allocation([&] { return set("new_key1", "the new value"); },
                                         [&] {
                                             std::vector<Record> expected = base;
                                             expected.push_back(prop("new_key1", "the new value"));
                                             EXPECT_EQ(snapshot(d), expected);
                                             EXPECT_EQ(set("new_key1", nullptr), 0u);
                                         },
                                         {static_cast<int>(sizeof(PROPERTY)) + 9 + 14});
    EXPECT_GE(failures, 1);
}

TEST_F(PropNoMem, AddingAComment) {
    fill();
    const std::vector<Record> base = snapshot(d);
    const int failures = each_allocation(
        [&] {
            kavrel::LockGuard lock(d->lock);
            return kavrel::set__property(d, nullptr, "# new comment", &ei);
        },
        [&] {
            std::vector<Record> expected = base;
            expected.push_back(comment("# new comment"));
            EXPECT_EQ(snapshot(d), expected);
            // take it out again for the next round
            kavrel::LockGuard lock(d->lock);
            PROPERTY *r = kavrel::find__property(d, nullptr, "# new comment", nullptr, nullptr);
            ASSERT_NE(r, nullptr);
            kavrel::free__property(d, r, true, &ei);
        },
        {static_cast<int>(sizeof(PROPERTY)) + 14});
    EXPECT_GE(failures, 1);
}

TEST_F(PropNoMem, UpdatingAPropertyKeepsItsOldValue) {
    fill();
    const int failures =
        each_allocation([&] { return set("key7", "a much longer value than before"); },
                        [&] {
                            EXPECT_EQ(get("key7"), "a much longer value than before");
                            EXPECT_EQ(set("key7", "value7"), 0u);
                        },
                        {32});
    EXPECT_GE(failures, 1);
}

TEST_F(PropNoMem, KeyWithEqualsNeedsACopy) {
    fill();
    const std::vector<Record> base = snapshot(d);
    // prop_set: the key copy, then the record with its texts.
    const int failures = each_allocation([&] { return set("a=b", "v"); },
                                         [&] {
                                             std::vector<Record> expected = base;
                                             expected.push_back(prop("a?b", "v"));
                                             EXPECT_EQ(snapshot(d), expected);
                                             EXPECT_EQ(set("a?b", nullptr), 0u);
                                         },
                                         {4, static_cast<int>(sizeof(PROPERTY)) + 4 + 2});
    EXPECT_GE(failures, 2);

    // prop_get: only the key copy can fail.
    ASSERT_EQ(set("x?y", "found"), 0u);
    for (int64_t k = 0; k < 4; ++k) {
        SCOPED_TRACE(k);
        kavrel::errinfo_route(&ei);
        char buffer[16] = "untouched";
        uint32_t len = 15;
        const int64_t start = kavrel_test_fail_alloc(k, 1);
        const uint32_t status = kavrel::prop_get(d, "x=y", buffer, &len, &ei);
        const int64_t made = kavrel_test_fail_alloc(0, 0) - start;
        if (made <= k) {
            EXPECT_EQ(status, 0u);
            EXPECT_STREQ(buffer, "found");
            break;
        }
        EXPECT_EQ(status, 131229u);
        EXPECT_STREQ(buffer, "untouched");
        EXPECT_TRUE(holds(ei, 131229, "Failed to allocate 4 bytes."));
    }
}

TEST_F(PropNoMem, CreatingTheStore) {
    for (int64_t k = 0;; ++k) {
        SCOPED_TRACE(k);
        kavrel::errinfo_route(&ei);
        PROP_DES *other = reinterpret_cast<PROP_DES *>(&g_lines);  // must be overwritten
        const uint32_t before = ctx->memory_index.count;
        const int64_t start = kavrel_test_fail_alloc(k, 1);
        const uint32_t status = kavrel::prop_init(ctx, &other, &ei);
        const int64_t made = kavrel_test_fail_alloc(0, 0) - start;
        if (made <= k) {
            ASSERT_EQ(status, 0u);
            ASSERT_NE(other, nullptr);
            EXPECT_EQ(kavrel::prop_free(&other, &ei), 0u);
            EXPECT_EQ(ctx->memory_index.count, before);
            EXPECT_GE(k, 1);
            break;
        }
        EXPECT_EQ(status, 131229u);
        EXPECT_EQ(other, nullptr);
        EXPECT_TRUE(holds(ei, 131229,
                          "Failed to allocate " + std::to_string(sizeof(PROP_DES)) + " bytes."));
        kavrel::errinfo_route(&ei);  // the held message is tracked memory too
        EXPECT_EQ(ctx->memory_index.count, before);
        ASSERT_LT(k, 10);
    }
}

// ---- many properties -----------------------------------------------------------

TEST_F(PropList, HundredThousandProperties) {
    kavrel::prop_free(&d, &ei);
    d = nullptr;
    const uint32_t before = ctx->memory_index.count;
    ASSERT_EQ(kavrel::prop_init(ctx, &d, &ei), 0u);
    constexpr int kCount = 100000;
    auto key = [](int i) { return "section.key" + std::to_string(i); };
    for (int i = 0; i < kCount; ++i) {
        ASSERT_EQ(set(key(i).c_str(), std::to_string(i).c_str()), 0u);
    }
    for (int i = 0; i < kCount; i += 3) {
        ASSERT_EQ(set(key(i).c_str(), ("changed" + std::to_string(i)).c_str()), 0u);
    }
    for (int i = 1; i < kCount; i += 7) ASSERT_EQ(set(key(i).c_str(), nullptr), 0u);
    for (int i = 0; i < kCount; i += 997) {
        const std::string expected = i % 7 == 1   ? "<missing>"
                                     : i % 3 == 0 ? "changed" + std::to_string(i)
                                                  : std::to_string(i);
        EXPECT_EQ(get(key(i).c_str()), expected) << i;
    }
    EXPECT_EQ(get("section.key100000"), "<missing>");
    // The list keeps the order of first addition.
    int previous = -1;
    int held_count = 0;
    for (kavrel::KAVREL_LINK *l = d->props.next; l != &d->props; l = l->next) {
        const int i = std::stoi(reinterpret_cast<const PROPERTY *>(l)->key + 11);
        ASSERT_GT(i, previous);
        ASSERT_NE(i % 7, 1);
        previous = i;
        ++held_count;
    }
    EXPECT_EQ(held_count, kCount - (kCount + 5) / 7);
    EXPECT_EQ(kavrel::prop_free(&d, &ei), 0u);
    d = nullptr;
    EXPECT_EQ(ctx->memory_index.count, before);
}

}  // namespace
