#include "mem.h"

#include <cstring>

#include "diag/route.h"
#include "diag/trace.h"
#include "kavrel_ctx.h"

namespace kavrel {
namespace {

constexpr uint32_t kHeader = sizeof(KAVREL_MEM);
constexpr uint32_t kFirstCapacity = 64;

// The slot of an address: its bits mixed (a multiply-xorshift finaliser),
// so that blocks at regular distances spread over the whole table.
uint32_t slot_of(const void *address, uint32_t mask) noexcept {
    uint64_t x = reinterpret_cast<uintptr_t>(address);
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDull;
    x ^= x >> 33;
    return static_cast<uint32_t>(x) & mask;
}

void index_put(void **slots, uint32_t mask, void *address) noexcept {
    uint32_t i = slot_of(address, mask);
    while (slots[i] != nullptr) i = (i + 1) & mask;
    slots[i] = address;
}

// Makes room for one more block, keeping the table at most half full.
bool index_reserve(MemIndex *index) noexcept {
    const uint32_t capacity = index->slots == nullptr ? 0 : index->mask + 1;
    if (index->count + 1 <= capacity / 2) return true;
    if (capacity > (UINT32_MAX >> 2)) return false;
    const uint32_t grown = capacity == 0 ? kFirstCapacity : capacity * 2;
    auto *slots = static_cast<void **>(plat_alloc(sizeof(void *) * grown));
    if (slots == nullptr) return false;
    std::memset(slots, 0, sizeof(void *) * grown);
    for (uint32_t i = 0; i < capacity; ++i) {
        if (index->slots[i] != nullptr) index_put(slots, grown - 1, index->slots[i]);
    }
    plat_free(index->slots);
    index->slots = slots;
    index->mask = grown - 1;
    return true;
}

// Finds and takes out `address`; false when it is not one of ours. Only the
// table is read, never memory behind an address that is not ours.
bool index_take(MemIndex *index, const void *address) noexcept {
    if (index->slots == nullptr) return false;
    const uint32_t mask = index->mask;
    uint32_t i = slot_of(address, mask);
    while (index->slots[i] != nullptr && index->slots[i] != address) i = (i + 1) & mask;
    if (index->slots[i] == nullptr) return false;
    // Backward-shift deletion keeps every probe run unbroken.
    uint32_t hole = i;
    for (uint32_t j = (i + 1) & mask; index->slots[j] != nullptr; j = (j + 1) & mask) {
        const uint32_t home = slot_of(index->slots[j], mask);
        if (((j - home) & mask) >= ((j - hole) & mask)) {
            index->slots[hole] = index->slots[j];
            hole = j;
        }
    }
    index->slots[hole] = nullptr;
    --index->count;
    return true;
}

KAVREL_MEM *header_of(void *address) noexcept {
    return reinterpret_cast<KAVREL_MEM *>(static_cast<char *>(address) - kHeader);
}

}  // namespace

uint32_t mem_actual_size(uint32_t size) noexcept {
    if (size > UINT32_MAX - 3 - kHeader) return 0;
    return ((size + 3) & ~3u) + kHeader;
}

void mem_index_free(MemIndex *index) noexcept {
    plat_free(index->slots);
    *index = MemIndex{};
}

void *kavrel_alloc(KAVREL_CTX *ctx, uint32_t size) {
    const uint32_t actual = mem_actual_size(size);
    auto *block = actual == 0 ? nullptr : static_cast<KAVREL_MEM *>(plat_alloc(actual));
    bool indexed = false;
    if (block != nullptr) {
        std::memset(block, 0, actual);
        block->size = size;
        block->addr = reinterpret_cast<char *>(block) + kHeader;
        LockGuard lock(ctx->memory_mutex);
        indexed = index_reserve(&ctx->memory_index);
        if (indexed) {
            list_insert_head(&ctx->memory, &block->m_memchunks);
            index_put(ctx->memory_index.slots, ctx->memory_index.mask, block->addr);
            ++ctx->memory_index.count;
        }
    }
    if (!indexed) {
        plat_free(block);
        error_printf(ctx, "Failed to allocate %d bytes of memory.", static_cast<int>(actual));
        return nullptr;
    }
    trace_printf(ctx, TRACE_MEMORY, "\tallocated %d bytes at %p (req: %d, addr: %p)\n",
                 static_cast<int>(actual), static_cast<void *>(block), static_cast<int>(size),
                 block->addr);
    return block->addr;
}

void kavrel_dealloc(KAVREL_CTX *ctx, void *address) {
    if (address == nullptr) return;
    {
        LockGuard lock(ctx->memory_mutex);
        if (index_take(&ctx->memory_index, address)) {
            KAVREL_MEM *block = header_of(address);
            list_remove(&block->m_memchunks);
            trace_printf(ctx, TRACE_MEMORY, "\tfreed memory at %p: req: %d, addr: %p\n",
                         static_cast<void *>(block), static_cast<int>(block->size), block->addr);
            // Clear as many bytes as were asked for, counted from the header.
            std::memset(block, 0, block->size);
            plat_free(block);
            return;
        }
    }
    trace_always(ctx, "Failed to free memory at %p\n",
                 reinterpret_cast<void *>(reinterpret_cast<uintptr_t>(address) - kHeader));
}

void kavrel_mem_dump_block(KAVREL_CTX *ctx, const KAVREL_MEM *block) {
    trace_always(ctx, "\tKAVREL_MEM at %p\n", static_cast<const void *>(block));
    trace_always(ctx, "\t\taddr: %p, size: %d (actual size: %d)\n", block->addr,
                 static_cast<int>(block->size), static_cast<int>(mem_actual_size(block->size)));
    list_dump_link(ctx, "\t\tm_memchunks", &block->m_memchunks);
}

void kavrel_mem_dump(KAVREL_CTX *ctx) {
    LockGuard lock(ctx->memory_mutex);
    trace_always(ctx, "%s", "");
    trace_always(ctx, "Kavrel Memory queue at %p\n", static_cast<void *>(&ctx->memory));
    int64_t total = 0;
    for (KAVREL_LINK *l = ctx->memory.next; l != nullptr && l != &ctx->memory; l = l->next) {
        const auto *block = reinterpret_cast<const KAVREL_MEM *>(l);
        kavrel_mem_dump_block(ctx, block);
        total += block->size;
    }
    trace_always(ctx, "\tTotal Kavrel Memory usage = %d\n", static_cast<int>(total));
}

char *mem_strdup(KAVREL_CTX *ctx, const char *s) {
    const std::size_t n = std::strlen(s) + 1;
    if (n > UINT32_MAX) return nullptr;
    auto *copy = static_cast<char *>(kavrel_alloc(ctx, static_cast<uint32_t>(n)));
    if (copy != nullptr) std::memcpy(copy, s, n);
    return copy;
}

}  // namespace kavrel
