// Tracked memory and named lists: block sizes, zero fill, the allocation and
// release trace lines, the memory dump, releases of addresses that are not
// ours, failed allocations, and the list discipline every record chain uses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "kavrel.h"
#include "kavrel_capture.h"
#include "kavrel_ctx.h"
#include "support/list.h"
#include "support/mem.h"
#include "support/platform.h"
#include "temp_dir.h"

namespace {

using kavrel_test::capture;
using kavrel_test::fmt;
using kavrel_test::g_handler_result;
using kavrel_test::g_lines;
using kavrel_test::Line;

using kavrel::KAVREL_LINK;
using kavrel::KAVREL_MEM;

// The header is the platform's sizeof(KAVREL_MEM): 16 bytes on 32 bits.
constexpr uint32_t kHeader = sizeof(KAVREL_MEM);

uint32_t actual_size(uint32_t request) {
    return ((request + 3) & ~3u) + kHeader;
}

// The address a header would have for a caller's address; computed as a
// number, since the address need not point into a block at all.
void *header_of(const void *address) {
    return reinterpret_cast<void *>(reinterpret_cast<uintptr_t>(address) - kHeader);
}

std::string alloc_line(uint32_t request, void *address) {
    return fmt("\tallocated %d bytes at %p (req: %d, addr: %p)\n",
               static_cast<int>(actual_size(request)), header_of(address),
               static_cast<int>(request), address);
}

std::string freed_line(uint32_t request, void *address) {
    return fmt("\tfreed memory at %p: req: %d, addr: %p\n", header_of(address),
               static_cast<int>(request), address);
}

std::string failed_free_line(const void *address) {
    return fmt("Failed to free memory at %p\n", header_of(address));
}

std::vector<std::string> texts() {
    std::vector<std::string> all;
    for (const Line &l : g_lines) all.push_back(l.text);
    return all;
}

// Every link of a list, from the head forwards; checks on the way that the
// previous pointers mirror the next pointers.
std::vector<KAVREL_LINK *> links_of(KAVREL_LINK *head) {
    std::vector<KAVREL_LINK *> all;
    KAVREL_LINK *prev = head;
    for (KAVREL_LINK *l = head->next; l != head; l = l->next) {
        EXPECT_EQ(l->prev, prev);
        all.push_back(l);
        prev = l;
    }
    EXPECT_EQ(head->prev, prev);
    return all;
}

// The total of the last "Total Kavrel Memory usage" line captured.
int total_of_dump() {
    static const std::regex total("\tTotal Kavrel Memory usage = (-?[0-9]+)\n");
    for (auto it = g_lines.rbegin(); it != g_lines.rend(); ++it) {
        std::smatch m;
        if (std::regex_match(it->text, m, total)) return std::stoi(m[1]);
    }
    ADD_FAILURE() << "no total line";
    return -1;
}

// A context record made the way the library makes its stand-by context:
// zero-filled, with its memory lock and (optionally) an empty block list.
class BareContext {
  public:
    explicit BareContext(bool init_list) {
        std::memset(static_cast<void *>(&ctx_), 0, sizeof ctx_);
        ctx_.messagehandler = capture;
        ctx_.memory_mutex.create();
        if (init_list) kavrel::list_init(&ctx_.memory);
    }
    ~BareContext() {
        kavrel::mem_index_free(&ctx_.memory_index);
        ctx_.memory_mutex.destroy();
    }
    BareContext(const BareContext &) = delete;
    BareContext &operator=(const BareContext &) = delete;
    KAVREL_CTX *get() { return &ctx_; }

  private:
    KAVREL_CTX ctx_;
};

class Mem : public ::testing::Test {
  protected:
    void SetUp() override {
        kavrel_set_attr(nullptr, KAVREL_A_TRACE, 0);
        ASSERT_EQ(open(&ctx_), 0u);
        kavrel_set_attr(ctx_, KAVREL_A_TRACE, KAVREL_TRACE_MEMORY);
        g_lines.clear();
    }
    void TearDown() override {
        kavrel_test_fail_alloc(0, 0);
        kavrel_free(&ctx_);
    }
    uint32_t open(KAVREL_CTX **ctx) {
        return kavrel_init(ctx, "prod", nullptr, dir_.str().c_str(), nullptr, nullptr, "en_US",
                           nullptr, capture);
    }
    void set_trace(uint32_t mask) {
        kavrel_set_attr(ctx_, KAVREL_A_TRACE, mask);
        g_lines.clear();
    }
    std::vector<KAVREL_LINK *> blocks() { return links_of(&ctx_->memory); }

    TempDir dir_;
    KAVREL_CTX *ctx_ = nullptr;
};

TEST_F(Mem, ActualSizeIsTheRequestRoundedToFourPlusTheHeader) {
    const uint32_t requests[] = {0, 1, 4, 5, 7, 8, 1000};
    std::vector<void *> seen;
    for (uint32_t request : requests) {
        SCOPED_TRACE(request);
        g_lines.clear();
        void *p = kavrel::kavrel_alloc(ctx_, request);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(std::count(seen.begin(), seen.end(), p), 0);
        seen.push_back(p);
        EXPECT_EQ(texts(), std::vector<std::string>{alloc_line(request, p)});
    }
    EXPECT_EQ(actual_size(0), kHeader);
    EXPECT_EQ(actual_size(1), actual_size(4));
    EXPECT_EQ(actual_size(5), kHeader + 8);
    // Two empty requests still get distinct, usable addresses.
    void *zero2 = kavrel::kavrel_alloc(ctx_, 0);
    ASSERT_NE(zero2, nullptr);
    EXPECT_NE(zero2, seen[0]);
    for (void *p : seen) kavrel::kavrel_dealloc(ctx_, p);
    kavrel::kavrel_dealloc(ctx_, zero2);
}

TEST_F(Mem, BlocksAreZeroFilledEvenWhenMemoryIsReused) {
    for (uint32_t request : {1u, 5u, 64u, 1000u}) {
        SCOPED_TRACE(request);
        for (int round = 0; round < 3; ++round) {
            auto *p = static_cast<unsigned char *>(kavrel::kavrel_alloc(ctx_, request));
            ASSERT_NE(p, nullptr);
            const uint32_t usable = (request + 3) & ~3u;
            EXPECT_EQ(std::count(p, p + usable, 0), static_cast<std::ptrdiff_t>(usable));
            std::memset(p, 0xAB, usable);
            kavrel::kavrel_dealloc(ctx_, p);
        }
    }
}

TEST_F(Mem, AllocationAndReleaseLinesFollowTheMemoryBit) {
    void *p = kavrel::kavrel_alloc(ctx_, 5);
    ASSERT_NE(p, nullptr);
    kavrel::kavrel_dealloc(ctx_, p);
    EXPECT_EQ(texts(), (std::vector<std::string>{alloc_line(5, p), freed_line(5, p)}));

    for (uint32_t mask : {0u, static_cast<uint32_t>(KAVREL_TRACE_ATTR)}) {
        set_trace(mask);
        void *q = kavrel::kavrel_alloc(ctx_, 12);
        ASSERT_NE(q, nullptr);
        kavrel::kavrel_dealloc(ctx_, q);
        EXPECT_TRUE(g_lines.empty()) << "mask " << mask;
    }
}

TEST_F(Mem, DumpShowsBlocksNewestFirstAndTotalsTheRequestedSizes) {
    kavrel::kavrel_mem_dump(ctx_);
    const int before_total = total_of_dump();
    const std::size_t before_blocks = blocks().size();
    ASSERT_EQ(g_lines.size(), 3 + 3 * before_blocks);

    void *a = kavrel::kavrel_alloc(ctx_, 1);
    void *b = kavrel::kavrel_alloc(ctx_, 4);
    void *c = kavrel::kavrel_alloc(ctx_, 5);
    ASSERT_TRUE(a != nullptr && b != nullptr && c != nullptr);
    // Dump lines are written whatever the mask.
    set_trace(0);
    kavrel::kavrel_mem_dump(ctx_);

    ASSERT_EQ(g_lines.size(), 3 + 3 * (before_blocks + 3));
    for (const Line &l : g_lines) {
        EXPECT_EQ(l.severity, 20);
        EXPECT_EQ(l.number, 0);
    }
    void *head = &ctx_->memory;
    const std::vector<std::string> expected_start = {
        "",
        fmt("Kavrel Memory queue at %p\n", head),
        fmt("\tKAVREL_MEM at %p\n", header_of(c)),
        fmt("\t\taddr: %p, size: 5 (actual size: %d)\n", c, static_cast<int>(actual_size(5))),
        fmt("\t\tm_memchunks: %p, next: %p, prev: %p\n", header_of(c), header_of(b), head),
        fmt("\tKAVREL_MEM at %p\n", header_of(b)),
        fmt("\t\taddr: %p, size: 4 (actual size: %d)\n", b, static_cast<int>(actual_size(4))),
        fmt("\t\tm_memchunks: %p, next: %p, prev: %p\n", header_of(b), header_of(a), header_of(c)),
        fmt("\tKAVREL_MEM at %p\n", header_of(a)),
        fmt("\t\taddr: %p, size: 1 (actual size: %d)\n", a, static_cast<int>(actual_size(1))),
        fmt("\t\tm_memchunks: %p, next: %p, prev: %p\n", header_of(a),
            static_cast<void *>(reinterpret_cast<KAVREL_LINK *>(header_of(a))->next), header_of(b)),
    };
    const std::vector<std::string> all = texts();
    EXPECT_EQ(std::vector<std::string>(all.begin(), all.begin() + 11), expected_start);
    EXPECT_EQ(all.back(), fmt("\tTotal Kavrel Memory usage = %d\n", before_total + 10));

    kavrel::kavrel_dealloc(ctx_, b);
    g_lines.clear();
    kavrel::kavrel_mem_dump(ctx_);
    EXPECT_EQ(total_of_dump(), before_total + 6);
    kavrel::kavrel_dealloc(ctx_, a);
    kavrel::kavrel_dealloc(ctx_, c);
}

TEST(MemBare, DumpOfAnEmptyOrNeverInitialisedListTotalsZero) {
    for (bool init_list : {true, false}) {
        SCOPED_TRACE(init_list);
        BareContext bare(init_list);
        g_lines.clear();
        kavrel::kavrel_mem_dump(bare.get());
        EXPECT_EQ(texts(),
                  (std::vector<std::string>{
                      "",
                      fmt("Kavrel Memory queue at %p\n", static_cast<void *>(&bare.get()->memory)),
                      "\tTotal Kavrel Memory usage = 0\n",
                  }));
    }
}

TEST(MemBare, ReleaseOnAZeroFilledListReportsAndDoesNothing) {
    BareContext bare(false);
    int local = 0;
    g_lines.clear();
    kavrel::kavrel_dealloc(bare.get(), &local);
    EXPECT_EQ(texts(), std::vector<std::string>{failed_free_line(&local)});
    EXPECT_EQ(bare.get()->memory.next, nullptr);
}

TEST_F(Mem, ReleaseOfAnAddressNotOnTheListReportsAndChangesNothing) {
    KAVREL_CTX *other = nullptr;
    ASSERT_EQ(open(&other), 0u);
    void *theirs = kavrel::kavrel_alloc(other, 24);
    ASSERT_NE(theirs, nullptr);
    std::memset(theirs, 0x5A, 24);
    const std::vector<KAVREL_LINK *> their_blocks = links_of(&other->memory);

    for (uint32_t mask : {0u, static_cast<uint32_t>(KAVREL_TRACE_MEMORY)}) {
        SCOPED_TRACE(mask);
        set_trace(mask);
        auto *mine = static_cast<unsigned char *>(kavrel::kavrel_alloc(ctx_, 16));
        auto *released = kavrel::kavrel_alloc(ctx_, 8);
        ASSERT_TRUE(mine != nullptr && released != nullptr);
        std::memset(mine, 0x77, 16);
        kavrel::kavrel_dealloc(ctx_, released);
        int on_stack = 0;
        const struct {
            const char *what;
            void *address;
        } cases[] = {
            {"released twice", released},
            {"a stack variable", &on_stack},
            {"one byte into a block", mine + 1},
            {"another context's block", theirs},
        };
        const std::vector<KAVREL_LINK *> before = blocks();
        const uint32_t indexed = ctx_->memory_index.count;
        for (const auto &c : cases) {
            SCOPED_TRACE(c.what);
            g_lines.clear();
            kavrel::kavrel_dealloc(ctx_, c.address);
            ASSERT_EQ(g_lines.size(), 1u);
            EXPECT_EQ(g_lines[0].text, failed_free_line(c.address));
            EXPECT_EQ(blocks(), before);
            EXPECT_EQ(ctx_->memory_index.count, indexed);
        }
        EXPECT_EQ(std::count(mine, mine + 16, 0x77), 16);
        g_lines.clear();
        kavrel::kavrel_dealloc(ctx_, mine);
        EXPECT_EQ(g_lines.size(), mask == 0 ? 0u : 1u);
    }

    // The other context still owns its block, untouched, and can release it.
    EXPECT_EQ(links_of(&other->memory), their_blocks);
    auto *bytes = static_cast<unsigned char *>(theirs);
    EXPECT_EQ(std::count(bytes, bytes + 24, 0x5A), 24);
    g_lines.clear();
    kavrel::kavrel_dealloc(other, theirs);
    EXPECT_TRUE(g_lines.empty());
    kavrel_free(&other);
}

TEST_F(Mem, ReleaseOfNullWritesNothing) {
    const std::vector<KAVREL_LINK *> before = blocks();
    kavrel::kavrel_dealloc(ctx_, nullptr);
    EXPECT_TRUE(g_lines.empty());
    EXPECT_EQ(blocks(), before);
}

// 100,000 live blocks released in random order and then in allocation order
// (the oldest block first, the far end of the list). Each block holds its own
// number so that overlapping or mixed-up blocks show.
TEST_F(Mem, ManyBlocksAreReleasedInAnyOrder) {
    constexpr uint32_t kCount = 100000;
    set_trace(0);
    kavrel::kavrel_mem_dump(ctx_);
    const int base_total = total_of_dump();
    const std::size_t base_blocks = blocks().size();
    std::mt19937 random(20240305);

    for (const bool shuffled : {true, false}) {
        SCOPED_TRACE(shuffled ? "random order" : "allocation order");
        std::vector<uint32_t *> live;
        live.reserve(kCount);
        int64_t total = 0;
        for (uint32_t i = 0; i < kCount; ++i) {
            const uint32_t request = 4 + (i % 29);
            auto *p = static_cast<uint32_t *>(kavrel::kavrel_alloc(ctx_, request));
            ASSERT_NE(p, nullptr);
            *p = i;
            live.push_back(p);
            total += request;
        }
        g_lines.clear();
        kavrel::kavrel_mem_dump(ctx_);
        EXPECT_EQ(total_of_dump(), base_total + total);
        EXPECT_EQ(blocks().size(), base_blocks + kCount);

        std::vector<uint32_t> order(kCount);
        for (uint32_t i = 0; i < kCount; ++i) order[i] = i;
        if (shuffled) std::shuffle(order.begin(), order.end(), random);

        g_lines.clear();
        const uint32_t half = kCount / 2;
        for (uint32_t k = 0; k < half; ++k) {
            const uint32_t i = order[k];
            ASSERT_EQ(*live[i], i);
            kavrel::kavrel_dealloc(ctx_, live[i]);
        }
        ASSERT_TRUE(g_lines.empty()) << g_lines[0].text;
        // Released blocks are no longer recognised; the live ones still are.
        for (uint32_t k = 0; k < 50; ++k) {
            kavrel::kavrel_dealloc(ctx_, live[order[k * (half / 50)]]);
        }
        EXPECT_EQ(g_lines.size(), 50u);
        EXPECT_EQ(blocks().size(), base_blocks + kCount - half);
        g_lines.clear();
        for (uint32_t k = half; k < kCount; ++k) {
            const uint32_t i = order[k];
            ASSERT_EQ(*live[i], i);
            kavrel::kavrel_dealloc(ctx_, live[i]);
        }
        ASSERT_TRUE(g_lines.empty()) << g_lines[0].text;
        kavrel::kavrel_mem_dump(ctx_);
        EXPECT_EQ(total_of_dump(), base_total);
        EXPECT_EQ(blocks().size(), base_blocks);
    }
}

TEST_F(Mem, FailedAllocationIsReportedAndLeavesTheListAlone) {
    const std::vector<KAVREL_LINK *> before = blocks();
    kavrel_test_fail_alloc(0, 1);
    EXPECT_EQ(kavrel::kavrel_alloc(ctx_, 10), nullptr);
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_EQ(g_lines[0].severity, 100);
    EXPECT_EQ(g_lines[0].number, 1000000);
    EXPECT_EQ(g_lines[0].text,
              fmt("Failed to allocate %d bytes of memory.", static_cast<int>(actual_size(10))));
    EXPECT_EQ(blocks(), before);

    // The failure window is over: the next request succeeds.
    g_lines.clear();
    void *p = kavrel::kavrel_alloc(ctx_, 10);
    ASSERT_NE(p, nullptr);
    kavrel::kavrel_dealloc(ctx_, p);
    EXPECT_EQ(g_lines.size(), 2u);
}

// The block itself is allocated but the address index cannot grow: the
// request fails as a whole, and the block does not leak.
TEST_F(Mem, FailedIndexGrowthFailsTheAllocation) {
    set_trace(0);
    std::vector<void *> live;
    const kavrel::MemIndex &index = ctx_->memory_index;
    while (index.slots == nullptr || index.count + 1 <= (index.mask + 1) / 2) {
        void *p = kavrel::kavrel_alloc(ctx_, 4);
        ASSERT_NE(p, nullptr);
        live.push_back(p);
    }
    const std::vector<KAVREL_LINK *> before = blocks();
    kavrel_test_fail_alloc(1, 1);
    EXPECT_EQ(kavrel::kavrel_alloc(ctx_, 4), nullptr);
    kavrel_test_fail_alloc(0, 0);
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_EQ(g_lines[0].text,
              fmt("Failed to allocate %d bytes of memory.", static_cast<int>(actual_size(4))));
    EXPECT_EQ(blocks(), before);

    g_lines.clear();
    void *p = kavrel::kavrel_alloc(ctx_, 4);
    ASSERT_NE(p, nullptr);
    live.push_back(p);
    for (void *q : live) kavrel::kavrel_dealloc(ctx_, q);
    EXPECT_TRUE(g_lines.empty());
}

TEST_F(Mem, RequestsWhoseRoundingOverflowsFail) {
    const uint32_t requests[] = {UINT32_MAX, UINT32_MAX - 3, UINT32_MAX - kHeader - 2};
    const std::regex failed("Failed to allocate -?[0-9]+ bytes of memory\\.");
    const std::vector<KAVREL_LINK *> before = blocks();
    for (uint32_t request : requests) {
        SCOPED_TRACE(request);
        g_lines.clear();
        EXPECT_EQ(kavrel::kavrel_alloc(ctx_, request), nullptr);
        ASSERT_EQ(g_lines.size(), 1u);
        EXPECT_EQ(g_lines[0].severity, 100);
        EXPECT_EQ(g_lines[0].number, 1000000);
        EXPECT_TRUE(std::regex_match(g_lines[0].text, failed)) << g_lines[0].text;
        EXPECT_EQ(blocks(), before);
    }
}

// ---- named lists ------------------------------------------------------------

struct Item {
    char name;
    KAVREL_LINK link;  // not the first field: reached through its offset
};

Item *item_of(KAVREL_LINK *link) {
    return kavrel::list_entry<Item>(link, offsetof(Item, link));
}

std::string names(KAVREL_LINK *head) {
    std::string forward;
    for (KAVREL_LINK *l : links_of(head)) forward += item_of(l)->name;
    std::string backward;
    for (KAVREL_LINK *l = head->prev; l != head; l = l->prev) backward += item_of(l)->name;
    EXPECT_EQ(std::string(backward.rbegin(), backward.rend()), forward);
    return forward;
}

bool self_linked(const KAVREL_LINK &link) {
    return link.next == &link && link.prev == &link;
}

class List : public ::testing::Test {
  protected:
    void SetUp() override {
        kavrel::list_init(&head);
        for (Item &item : items) kavrel::list_init(&item.link);
    }
    KAVREL_LINK head{};
    Item items[6] = {{'A', {}}, {'B', {}}, {'C', {}}, {'D', {}}, {'E', {}}, {'F', {}}};
};

TEST_F(List, InsertHeadPutsTheNewestFirstAndAppendTheNewestLast) {
    for (int i = 0; i < 3; ++i) kavrel::list_insert_head(&head, &items[i].link);
    EXPECT_EQ(names(&head), "CBA");

    KAVREL_LINK other;
    kavrel::list_init(&other);
    for (int i = 3; i < 6; ++i) kavrel::list_append(&other, &items[i].link);
    EXPECT_EQ(names(&other), "DEF");
}

TEST_F(List, RemovingLeavesTheElementSelfLinkedAndTwiceChangesNothing) {
    for (int i = 0; i < 3; ++i) kavrel::list_append(&head, &items[i].link);
    kavrel::list_remove(&items[1].link);
    EXPECT_EQ(names(&head), "AC");
    EXPECT_TRUE(self_linked(items[1].link));
    kavrel::list_remove(&items[1].link);
    EXPECT_EQ(names(&head), "AC");
    // A removed element can join a list again.
    kavrel::list_insert_head(&head, &items[1].link);
    EXPECT_EQ(names(&head), "BAC");
    for (int i = 0; i < 3; ++i) kavrel::list_remove(&items[i].link);
    EXPECT_TRUE(self_linked(head));
    EXPECT_TRUE(kavrel::list_empty(&head));
}

}  // namespace
