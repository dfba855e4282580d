// Tracked memory and named lists: block sizes, zero fill, the allocation and
// release trace lines, the memory dump, releases of addresses that are not
// ours, failed allocations, and the list discipline every record chain uses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <regex>
#include <string>
#include <tuple>
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
using kavrel_test::g_lines;
using kavrel_test::Line;

using kavrel::KAVREL_LINK;

// The header is the platform's sizeof(KAVREL_MEM): 16 bytes on 32 bits.
constexpr uint32_t kHeader = sizeof(kavrel::KAVREL_MEM);

int actual_size(uint32_t request) {
    return static_cast<int>(((request + 3) & ~3u) + kHeader);
}

// Computed as a number: the address need not point into a block at all.
void *header_of(const void *address) {
    return reinterpret_cast<void *>(reinterpret_cast<uintptr_t>(address) - kHeader);
}

std::string failed_free_line(const void *address) {
    return fmt("Failed to free memory at %p\n", header_of(address));
}

std::vector<std::string> texts() {
    std::vector<std::string> all;
    for (const Line &l : g_lines) all.push_back(l.text);
    return all;
}

// Every link of a list from the head forwards, checking that the previous
// pointers mirror the next pointers.
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

class Mem : public ::testing::Test {
  protected:
    void SetUp() override {
        kavrel_set_attr(nullptr, KAVREL_A_TRACE, 0);
        ASSERT_EQ(open(&ctx_), 0u);
        set_trace(KAVREL_TRACE_MEMORY);
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

// Sizes, zero fill (also of reused memory) and the trace lines, which follow
// the memory bit alone. Releases of addresses that are not ours (inside a
// block, on the stack, another context's, released already) are reported
// whatever the mask and change nothing; null is ignored.
TEST_F(Mem, AllocateAndRelease) {
    KAVREL_CTX *other = nullptr;
    ASSERT_EQ(open(&other), 0u);
    auto *theirs = static_cast<unsigned char *>(kavrel::kavrel_alloc(other, 24));
    ASSERT_NE(theirs, nullptr);
    std::memset(theirs, 0x5A, 24);
    const std::vector<KAVREL_LINK *> their_blocks = links_of(&other->memory);
    const uint32_t requests[] = {0, 0, 1, 4, 5, 7, 8, 1000};
    for (uint32_t mask : {static_cast<uint32_t>(KAVREL_TRACE_MEMORY), 0u,
                          static_cast<uint32_t>(KAVREL_TRACE_ATTR)}) {
        SCOPED_TRACE(mask);
        set_trace(mask);
        const bool traced = mask == KAVREL_TRACE_MEMORY;
        const std::vector<KAVREL_LINK *> base = blocks();
        std::vector<unsigned char *> live;
        std::vector<std::string> expected;
        for (uint32_t request : requests) {
            auto *p = static_cast<unsigned char *>(kavrel::kavrel_alloc(ctx_, request));
            ASSERT_NE(p, nullptr);
            EXPECT_EQ(std::count(live.begin(), live.end(), p), 0) << request;
            live.push_back(p);
            const uint32_t usable = (request + 3) & ~3u;
            EXPECT_EQ(std::count(p, p + usable, 0), static_cast<std::ptrdiff_t>(usable));
            std::memset(p, 0xAB, usable);
            if (!traced) continue;
            expected.push_back(fmt("\tallocated %d bytes at %p (req: %d, addr: %p)\n",
                                   actual_size(request), header_of(p), static_cast<int>(request),
                                   static_cast<void *>(p)));
        }
        const std::vector<KAVREL_LINK *> before = blocks();
        const uint32_t indexed = ctx_->memory_index.count;
        int on_stack = 0;
        for (void *address : {static_cast<void *>(live[2] + 1), static_cast<void *>(&on_stack),
                              static_cast<void *>(theirs), static_cast<void *>(nullptr)}) {
            kavrel::kavrel_dealloc(ctx_, address);
            if (address != nullptr) expected.push_back(failed_free_line(address));
            EXPECT_EQ(blocks(), before);
            EXPECT_EQ(ctx_->memory_index.count, indexed);
        }
        for (std::size_t i = 0; i < live.size(); ++i) {
            const auto usable = static_cast<std::ptrdiff_t>((requests[i] + 3) & ~3u);
            EXPECT_EQ(std::count(live[i], live[i] + usable, 0xAB), usable);
            kavrel::kavrel_dealloc(ctx_, live[i]);
            if (!traced) continue;
            expected.push_back(fmt("\tfreed memory at %p: req: %d, addr: %p\n", header_of(live[i]),
                                   static_cast<int>(requests[i]), static_cast<void *>(live[i])));
        }
        kavrel::kavrel_dealloc(ctx_, live[0]);
        expected.push_back(failed_free_line(live[0]));
        EXPECT_EQ(texts(), expected);
        EXPECT_EQ(blocks(), base);
    }

    // The other context still owns its block, untouched, and can release it.
    EXPECT_EQ(links_of(&other->memory), their_blocks);
    EXPECT_EQ(std::count(theirs, theirs + 24, 0x5A), 24);
    g_lines.clear();
    kavrel::kavrel_dealloc(other, theirs);
    EXPECT_TRUE(g_lines.empty());
    kavrel_free(&other);
}

// On a context record made like the stand-by context of kavrel_init:
// zero-filled, with its memory lock, and with an empty block list or none
// at all (which reads as empty). Dump lines are written whatever the mask.
TEST(MemDump, ShowsBlocksNewestFirstAndTotalsTheRequestedSizes) {
    for (bool init_list : {false, true}) {
        SCOPED_TRACE(init_list);
        KAVREL_CTX bare;
        std::memset(static_cast<void *>(&bare), 0, sizeof bare);
        bare.messagehandler = capture;
        bare.memory_mutex.create();
        if (init_list) kavrel::list_init(&bare.memory);
        void *head = &bare.memory;
        int local = 0;
        g_lines.clear();
        kavrel::kavrel_mem_dump(&bare);
        kavrel::kavrel_dealloc(&bare, &local);
        std::vector<std::string> expected = {"", fmt("Kavrel Memory queue at %p\n", head),
                                             "\tTotal Kavrel Memory usage = 0\n",
                                             failed_free_line(&local)};
        EXPECT_EQ(texts(), expected);
        if (init_list) {
            void *a = kavrel::kavrel_alloc(&bare, 1);
            void *b = kavrel::kavrel_alloc(&bare, 4);
            void *c = kavrel::kavrel_alloc(&bare, 5);
            ASSERT_TRUE(a != nullptr && b != nullptr && c != nullptr);
            expected.resize(2);
            for (const auto &[p, size, next, prev] : {std::tuple{c, 5, header_of(b), head},
                                                      std::tuple{b, 4, header_of(a), header_of(c)},
                                                      std::tuple{a, 1, head, header_of(b)}}) {
                expected.push_back(fmt("\tKAVREL_MEM at %p\n", header_of(p)));
                expected.push_back(fmt("\t\taddr: %p, size: %d (actual size: %d)\n", p, size,
                                       actual_size(static_cast<uint32_t>(size))));
                expected.push_back(
                    fmt("\t\tm_memchunks: %p, next: %p, prev: %p\n", header_of(p), next, prev));
            }
            expected.push_back("\tTotal Kavrel Memory usage = 10\n");
            g_lines.clear();
            kavrel::kavrel_mem_dump(&bare);
            EXPECT_EQ(texts(), expected);
            for (const Line &l : g_lines) EXPECT_TRUE(l.severity == 20 && l.number == 0);
            kavrel::kavrel_dealloc(&bare, b);
            kavrel::kavrel_mem_dump(&bare);
            EXPECT_EQ(g_lines.back().text, "\tTotal Kavrel Memory usage = 6\n");
            kavrel::kavrel_dealloc(&bare, a);
            kavrel::kavrel_dealloc(&bare, c);
        }
        EXPECT_EQ(bare.memory.next, init_list ? head : nullptr);
        kavrel::mem_index_free(&bare.memory_index);
        bare.memory_mutex.destroy();
    }
}

// 100,000 live blocks released in random order and then in allocation order
// (the oldest first, at the far end of the list). Each block holds its own
// number so that overlapping or mixed-up blocks show.
TEST_F(Mem, ManyBlocksAreReleasedInAnyOrder) {
    constexpr uint32_t kCount = 100000, kHalf = kCount / 2;
    set_trace(0);
    const std::vector<KAVREL_LINK *> base = blocks();
    std::mt19937 random(20240305);

    for (const bool shuffled : {true, false}) {
        SCOPED_TRACE(shuffled ? "random order" : "allocation order");
        std::vector<uint32_t *> live(kCount);
        std::vector<uint32_t> order(kCount);
        for (uint32_t i = 0; i < kCount; ++i) {
            live[i] = static_cast<uint32_t *>(kavrel::kavrel_alloc(ctx_, 4 + (i % 29)));
            ASSERT_NE(live[i], nullptr);
            *live[i] = order[i] = i;
        }
        EXPECT_EQ(blocks().size(), base.size() + kCount);
        if (shuffled) std::shuffle(order.begin(), order.end(), random);

        g_lines.clear();
        for (uint32_t k = 0; k < kCount; ++k) {
            ASSERT_EQ(*live[order[k]], order[k]);
            kavrel::kavrel_dealloc(ctx_, live[order[k]]);
            if (k + 1 != kHalf) continue;
            ASSERT_TRUE(g_lines.empty()) << g_lines[0].text;
            // Released blocks are no longer recognised; the live ones still are.
            for (uint32_t j = 0; j < 50; ++j) kavrel::kavrel_dealloc(ctx_, live[order[j * 1000]]);
            EXPECT_EQ(g_lines.size(), 50u);
            EXPECT_EQ(blocks().size(), base.size() + kCount - kHalf);
            g_lines.clear();
        }
        ASSERT_TRUE(g_lines.empty()) << g_lines[0].text;
        EXPECT_EQ(blocks(), base);
    }
}

// A failed allocation is reported once and leaves the list alone: the block
// itself, the growth of the address index (the block must not leak), and
// requests whose rounding overflows 32 bits.
TEST_F(Mem, FailedAllocationsAreReportedAndLeaveTheListAlone) {
    const auto expect_failure = [&](uint32_t request, const std::string &pattern) {
        SCOPED_TRACE(request);
        const std::vector<KAVREL_LINK *> before = blocks();
        g_lines.clear();
        EXPECT_EQ(kavrel::kavrel_alloc(ctx_, request), nullptr);
        kavrel_test_fail_alloc(0, 0);
        ASSERT_EQ(g_lines.size(), 1u);
        EXPECT_TRUE(g_lines[0].severity == 100 && g_lines[0].number == 1000000);
        EXPECT_TRUE(std::regex_match(g_lines[0].text, std::regex(pattern))) << g_lines[0].text;
        EXPECT_EQ(blocks(), before);
    };
    kavrel_test_fail_alloc(0, 1);
    expect_failure(10, fmt("Failed to allocate %d bytes of memory\\.", actual_size(10)));

    set_trace(0);
    std::vector<void *> live;
    const kavrel::MemIndex &index = ctx_->memory_index;
    while (index.slots == nullptr || index.count + 1 <= (index.mask + 1) / 2) {
        live.push_back(kavrel::kavrel_alloc(ctx_, 4));
        ASSERT_NE(live.back(), nullptr);
    }
    kavrel_test_fail_alloc(1, 1);
    expect_failure(4, fmt("Failed to allocate %d bytes of memory\\.", actual_size(4)));

    for (uint32_t request : {UINT32_MAX, UINT32_MAX - 3, UINT32_MAX - kHeader - 2}) {
        expect_failure(request, "Failed to allocate -?[0-9]+ bytes of memory\\.");
    }

    // The index grows now, and everything is released cleanly.
    g_lines.clear();
    live.push_back(kavrel::kavrel_alloc(ctx_, 4));
    ASSERT_NE(live.back(), nullptr);
    for (void *q : live) kavrel::kavrel_dealloc(ctx_, q);
    EXPECT_TRUE(g_lines.empty());
}

// ---- named lists ------------------------------------------------------------

struct Item {
    char name;
    KAVREL_LINK link;  // not the first field: reached through its offset
};

// The names along the list (links_of checks the backward links too).
std::string names(KAVREL_LINK *head) {
    std::string forward;
    for (KAVREL_LINK *l : links_of(head)) {
        forward += kavrel::list_entry<Item>(l, offsetof(Item, link))->name;
    }
    return forward;
}

bool self_linked(const KAVREL_LINK &link) {
    return link.next == &link && link.prev == &link;
}

TEST(List, InsertAppendAndRemove) {
    KAVREL_LINK head{};
    Item items[5] = {{'A', {}}, {'B', {}}, {'C', {}}, {'D', {}}, {'E', {}}};
    kavrel::list_init(&head);
    for (Item &item : items) kavrel::list_init(&item.link);
    for (int i = 0; i < 3; ++i) kavrel::list_insert_head(&head, &items[i].link);
    EXPECT_EQ(names(&head), "CBA");
    for (int i = 3; i < 5; ++i) kavrel::list_append(&head, &items[i].link);
    EXPECT_EQ(names(&head), "CBADE");

    // Removing leaves the element self-linked; twice changes nothing; a
    // removed element can join a list again.
    kavrel::list_remove(&items[1].link);
    EXPECT_EQ(names(&head), "CADE");
    EXPECT_TRUE(self_linked(items[1].link));
    kavrel::list_remove(&items[1].link);
    EXPECT_EQ(names(&head), "CADE");
    kavrel::list_append(&head, &items[1].link);
    EXPECT_EQ(names(&head), "CADEB");
    for (Item &item : items) kavrel::list_remove(&item.link);
    EXPECT_TRUE(self_linked(head));
    EXPECT_TRUE(kavrel::list_empty(&head));
}

}  // namespace
