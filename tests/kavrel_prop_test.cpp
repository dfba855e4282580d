// The property list of a store: lookups, changes, removal, the walk, the
// dump, its trace lines, and what an allocation failure leaves behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "diag/errinfo.h"
#include "diag/route.h"
#include "kavrel.h"
#include "kavrel_capture.h"
#include "kavrel_ctx.h"
#include "kavrel_prop_list.h"
#include "prop/prop.h"
#include "temp_dir.h"

namespace {

using namespace kavrel;
using namespace kavrel_test;

Texts trace_lines() {
    Texts out;
    for (const Line &l : g_lines)
        if (l.severity == 20) out.push_back(l.text);
    return out;
}

bool holds_suffix(KAVREL_ERR_INFO &ei, const std::string &tail) {
    return std::ranges::any_of(
        held(ei), [&](const Held &h) { return h.number == 1000000 && h.text.ends_with(tail); });
}

class PropList : public ::testing::Test {
  protected:
    void SetUp() override {
        g_lines.clear();
        ASSERT_EQ(kavrel_init(&ctx, "prod", nullptr, dir.str().c_str(), nullptr, nullptr, "en_US",
                              nullptr, capture),
                  0u);
        errinfo_begin(ctx, nullptr, &ei);
        fresh();
        g_lines.clear();
    }
    void TearDown() override {
        kavrel_test_fail_alloc(0, 0);
        if (d != nullptr) prop_free(&d, &ei);
        errinfo_route(&ei);
        kavrel_free(&ctx);
    }
    // A new store in place of the current one (prop_free leaves the pointer).
    void fresh() {
        if (d != nullptr) prop_free(&d, &ei);
        ASSERT_EQ(prop_init(ctx, &d, &ei), 0u);
    }
    uint32_t set(const char *key, const char *value) { return prop_set(d, key, value, &ei); }
    uint32_t add_comment(const char *text) {
        LockGuard lock(d->lock);
        return set__property(d, nullptr, text, &ei);
    }
    // The value held for key, or "<missing>".
    std::string get(const char *key) {
        char value[64] = "";
        uint32_t len = sizeof value - 1;
        return prop_get(d, key, value, &len, &ei) == 0 ? value : "<missing>";
    }

    TempDir dir;
    KAVREL_CTX *ctx = nullptr;
    PROP_DES *d = nullptr;
    KAVREL_ERR_INFO ei{};
};

TEST_F(PropList, GetGivesTheLengthCutsToTheBufferAndLeavesAMissingKeyAlone) {
    ASSERT_EQ(set("k", "abcdefgh"), 0u);
    char buffer[9] = "xyz";
    uint32_t len = 7;
    EXPECT_EQ(prop_get(d, "absent", buffer, &len, &ei), 1u);
    EXPECT_EQ(buffer + std::to_string(len), "xyz7");
    EXPECT_TRUE(held(ei).empty());
    EXPECT_EQ(prop_get(d, "k", nullptr, &len, &ei), 0u);
    EXPECT_EQ(len, 8u);
    len = 4;
    EXPECT_EQ(prop_get(d, "k", buffer, &len, &ei), 1000000u);
    EXPECT_EQ(buffer + std::to_string(len), "abcd8");
    EXPECT_TRUE(holds_suffix(ei, ": (*value_len <= max_value_len)"));
}

// A change keeps the record's place; null removes; a comment is held once
// and is no property; '=' in a key is held as '?' and found by either form.
TEST_F(PropList, SetReplacesInPlaceRemovesAndHoldsCommentsOnce) {
    ASSERT_EQ(add_comment("# one"), 0u);
    for (const char *k : {"a", "b", "c"}) ASSERT_EQ(set(k, "old"), 0u);
    ASSERT_EQ(add_comment("# two"), 0u);
    ASSERT_EQ(add_comment("# one"), 0u);
    EXPECT_EQ(set("b", "new"), 0u);
    EXPECT_EQ(set("# one", "value"), 0u);  // a key that looks like a comment
    ASSERT_EQ(set("e=q=x", "1"), 0u);
    EXPECT_EQ(set("e?q=x", "2"), 0u);
    EXPECT_EQ(snapshot(d),
              (Texts{"[# one]", "a=old", "b=new", "c=old", "[# two]", "# one=value", "e?q?x=2"}));
    EXPECT_EQ(get("# two"), "<missing>");
    EXPECT_EQ(get("# one"), "value");
    for (const char *k : {"e=q=x", "e?q?x", "e=q?x"}) EXPECT_EQ(get(k), "2") << k;
    for (const char *k : {"b", "b", "never", "# one", "e=q?x"}) EXPECT_EQ(set(k, nullptr), 0u);
    EXPECT_EQ(get("b"), "<missing>");
    EXPECT_EQ(set("b", "again"), 0u);  // a removed key comes back at the end
    EXPECT_EQ(snapshot(d), (Texts{"[# one]", "a=old", "c=old", "[# two]", "b=again"}));
}

// Each key its own property, whether found through the key index or (once
// the index is gone) along the list.
TEST_F(PropList, KeysEndingAlikeOrDifferingInCaseAreDistinct) {
    const std::vector<std::pair<const char *, const char *>> keys = {
        {"ab", "2"},  {"xab", "3"}, {"yxab", "4"}, {"b", "1"},     {"", "0"},
        {"Key", "K"}, {"key", "k"}, {"KEY", "KK"}, {"key ", "ks"}, {" key", "sk"}};
    for (const auto &[k, v] : keys) ASSERT_EQ(set(k, v), 0u);
    for (int pass = 0; pass < 2; ++pass) {
        SCOPED_TRACE(pass == 0 ? "indexed" : "no index");
        for (const auto &[k, v] : keys) EXPECT_EQ(get(k), v) << "'" << k << "'";
        for (const char *k : {"zab", "kEy", "a"}) EXPECT_EQ(get(k), "<missing>") << k;
        kavrel_dealloc(ctx, d->buckets);
        d->buckets = nullptr;
        d->bucket_mask = 0;
    }
    EXPECT_EQ(set("xab", nullptr), 0u);
    EXPECT_EQ(get("ab") + get("yxab") + get("xab"), "24<missing>");
}

struct Walk {
    Texts seen;
    uint32_t result = 0;
    PROP_DES *add_to = nullptr;  // the visit of "x" adds "added" to it
} g_walk;

uint32_t walker(KAVREL_CTX *, const char *key, const char *value) {
    g_walk.seen.push_back(std::string(key) + "=" + value);
    if (g_walk.add_to != nullptr && std::strcmp(key, "x") == 0) {
        prop_set(g_walk.add_to, "added", "late", nullptr);
    }
    return g_walk.result;
}

TEST_F(PropList, ListVisitsPropertiesInOrderAndStopsOnThree) {
    g_walk = Walk{{}, 9};
    ASSERT_EQ(add_comment("#c"), 0u);
    EXPECT_EQ(prop_list(d, walker, &ei), 0u) << "comments are not visited";
    EXPECT_TRUE(g_walk.seen.empty());
    for (const char *k : {"x", "y", "z"}) ASSERT_EQ(set(k, k), 0u);
    EXPECT_EQ(prop_list(d, walker, &ei), 9u);  // the last result
    g_walk = Walk{{}, 3};
    EXPECT_EQ(prop_list(d, walker, &ei), 3u);
    EXPECT_EQ(g_walk.seen, Texts{"x=x"});
    g_walk = Walk{{}, 0, d};  // what the callback adds is visited in the same walk
    EXPECT_EQ(prop_list(d, walker, &ei), 0u);
    EXPECT_EQ(g_walk.seen, (Texts{"x=x", "y=y", "z=z", "added=late"}));
}

TEST_F(PropList, BrokenPreconditionsAreAssertions) {
    const std::string magic =
        ": ((prop_des != (PROP_DES *) NULL) && (prop_des->magic == PROP_DES_MAGIC))";
    const std::string null = ": (prop_ctx != NULL)";
    const std::string file = ": ((prop_file != NULL) && (*prop_file != '\\0'))";
    PROP_DES fake{};
    PROP_DES *none = nullptr, *faked = &fake;
    uint32_t len = 0;
    char buffer[4];
    const std::pair<uint32_t, std::string> cases[] = {
        {prop_get(nullptr, "k", buffer, &len, &ei), null},
        {prop_get(&fake, "k", buffer, &len, &ei), magic},
        {prop_get(d, "k", buffer, nullptr, &ei), ": (value_len != NULL)"},
        {prop_set(nullptr, "k", "v", &ei), null},
        {prop_set(&fake, "k", "v", &ei), magic},
        {prop_list(nullptr, walker, &ei), null},
        {prop_list(&fake, walker, &ei), magic},
        {prop_list(d, nullptr, &ei), ": (prop_list_cb != NULL)"},
        {prop_init(ctx, nullptr, &ei), null},
        {prop_free(nullptr, &ei), null},
        {prop_free(&none, &ei), ": (*prop_ctx != NULL)"},
        {prop_free(&faked, &ei), magic},
        {prop_load(d, nullptr, nullptr, &ei), file},
        {prop_load(d, "", nullptr, &ei), file},
        {prop_save(d, nullptr, &ei), file},
        {prop_load(nullptr, "f", nullptr, &ei), null},
        {prop_save(&fake, "f", &ei), magic},
    };
    for (const auto &[status, condition] : cases) {
        EXPECT_EQ(status, 1000000u) << condition;
        EXPECT_TRUE(holds_suffix(ei, condition)) << condition;
    }
    EXPECT_EQ(held(ei).size(), std::size(cases));
    errinfo_route(&ei);
    g_lines.clear();
    prop_dump(nullptr, &ei);  // nothing at all
    EXPECT_TRUE(held(ei).empty());
    prop_dump(&fake, &ei);
    EXPECT_TRUE(holds_suffix(ei, magic));
    EXPECT_TRUE(g_lines.empty());
}

TEST_F(PropList, DumpWritesEveryRecordWhateverTheMask) {
    ASSERT_EQ(add_comment("#c"), 0u);
    ASSERT_EQ(set("k", "v"), 0u);
    ASSERT_EQ(set("", ""), 0u);
    ctx->trace = 0;
    g_lines.clear();
    prop_dump(d, &ei);
    Texts expected = {fmt("--PROPERTIES list at 0x%p\n", static_cast<void *>(d))};
    const char *shown[][2] = {{"(null)", "#c"}, {"k", "v"}, {"(null)", "(null)"}};
    int i = 0;
    for (KAVREL_LINK *l = d->props.next; l != &d->props; l = l->next, ++i) {
        expected.push_back(fmt("\tPROPERTY at 0x%p\n", static_cast<void *>(l)));
        expected.push_back(fmt("\t\tkey: '%s', value: '%s'\n", shown[i][0], shown[i][1]));
        expected.push_back(fmt("\t\tpropq: %p, next: %p, prev: %p\n", static_cast<void *>(l),
                               static_cast<void *>(l->next), static_cast<void *>(l->prev)));
    }
    EXPECT_EQ(trace_lines(), expected);
}

TEST_F(PropList, TraceLinesOfAddUpdateAndFree) {
    prop_free(&d, &ei);
    ctx->trace = 0x80;
    g_lines.clear();
    ASSERT_EQ(prop_init(ctx, &d, &ei), 0u);
    const void *p = d;
    ASSERT_EQ(add_comment("#note"), 0u);
    for (const char *v : {"v1", "v2", "v2"}) ASSERT_EQ(set("k", v), 0u);  // the same: no line
    ASSERT_EQ(set("gone", "x"), 0u);
    for (int i = 0; i < 2; ++i) ASSERT_EQ(set("gone", nullptr), 0u);
    ASSERT_EQ(prop_free(&d, &ei), 0u);
    d = nullptr;
    const std::string at = fmt("(%p)", p);
    Texts got;
    for (std::string t : trace_lines()) {
        if (const std::size_t i = t.find(at); i != std::string::npos)
            t.replace(i, at.size(), "(P)");
        got.push_back(t);
    }
    EXPECT_EQ(got, (Texts{"PROP prop_init:(P)\n", "PROP add__property:(P): #note\n",
                          "PROP add__property:(P): k=v1\n", "PROP update__property:(P): k=v2\n",
                          "PROP add__property:(P): gone=x\n", "PROP free__property:(P): gone=x\n",
                          "prop_free:(P)\n", "PROP free__property:(P): #note\n",
                          "PROP free__property:(P): k=v2\n"}));
    for (const Line &l : g_lines) EXPECT_EQ(l.number, 0);
}

// Each allocation of an operation fails in turn, on a store of a comment and
// 15 properties (so that one more grows the key index). A failure that stops
// the operation gives 131229 with its message, leaves the list as it was and
// keeps no memory; one the store can do without (the index) lets it succeed,
// and every property is still found.
TEST_F(PropList, EveryAllocationFailureIsReportedAndLeavesTheListWhole) {
    const int record = static_cast<int>(sizeof(PROPERTY));
    struct Case {
        const char *what;
        std::function<uint32_t()> op;
        std::vector<int> sizes;  // of the failures that stop it, in order
    } cases[] = {
        {"add", [&] { return set("new_key1", "the new value"); }, {record + 9 + 14}},
        {"comment", [&] { return add_comment("# new comment"); }, {record + 14}},
        {"update", [&] { return set("key7", "a much longer value than before"); }, {32}},
        {"key with =", [&] { return set("a=b", "v"); }, {4, record + 4 + 2}},
        {"get key with =",
         [&] {
             char buffer[16] = "untouched";
             uint32_t len = 15;
             const uint32_t status = prop_get(d, "x=y", buffer, &len, &ei);
             EXPECT_STREQ(buffer, status == 0 ? "found" : "untouched");
             return status;
         },
         {4}},
        {"store",
         [&] {
             PROP_DES *other = reinterpret_cast<PROP_DES *>(&g_lines);  // must be overwritten
             const uint32_t status = prop_init(ctx, &other, &ei);
             EXPECT_EQ(other == nullptr, status != 0);
             if (other != nullptr) prop_free(&other, &ei);
             return status;
         },
         {static_cast<int>(sizeof(PROP_DES))}},
    };
    auto fill = [&] {
        fresh();
        add_comment("# head");
        for (int i = 0; i < 14; ++i) set(("key" + std::to_string(i)).c_str(), "value");
        set("x?y", "found");
    };
    for (Case &c : cases) {
        SCOPED_TRACE(c.what);
        fill();
        const Texts before = snapshot(d);
        ASSERT_EQ(c.op(), 0u);
        const Texts after = snapshot(d);
        Texts reported, expected;
        for (int64_t k = 0;; ++k) {
            SCOPED_TRACE(k);
            fill();
            errinfo_route(&ei);
            const uint32_t blocks = ctx->memory_index.count;
            const int64_t start = kavrel_test_fail_alloc(k, 1);
            const uint32_t status = c.op();
            const bool reached = kavrel_test_fail_alloc(0, 0) - start > k;
            if (status == 0) {
                EXPECT_EQ(snapshot(d), after);
            } else {
                EXPECT_EQ(status, 131229u);
                EXPECT_EQ(snapshot(d), before);
                for (const Held &h : held(ei)) {
                    if (h.number == 131229) reported.push_back(h.text);
                }
                errinfo_route(&ei);  // the held messages are tracked memory too
                EXPECT_EQ(ctx->memory_index.count, blocks);
            }
            for (KAVREL_LINK *l = d->props.next; l != &d->props; l = l->next) {
                const auto *r = reinterpret_cast<const PROPERTY *>(l);
                EXPECT_TRUE(r->key == nullptr || get(r->key) == r->value) << r->key;
            }
            if (!reached) {
                EXPECT_EQ(status, 0u);
                break;
            }
            ASSERT_LT(k, 200) << "allocations never end";
        }
        for (int n : c.sizes)
            expected.push_back("Failed to allocate " + std::to_string(n) + " bytes.");
        EXPECT_EQ(reported, expected);
    }
}

}  // namespace
