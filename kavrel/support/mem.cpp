#include "mem.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace kavrel {
namespace {

constexpr uint32_t kHeader = sizeof(KAVREL_MEM);
constexpr uint32_t kFirstCapacity = 64;
constexpr int kLineMax = 512;  // characters of one line

// The slot hash of an address: its bits mixed (a multiply-xorshift
// finaliser), so that blocks at regular distances spread over the table.
uint32_t hash_of(const void *address) noexcept {
    uint64_t x = reinterpret_cast<uintptr_t>(address);
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDull;
    x ^= x >> 33;
    return static_cast<uint32_t>(x);
}

// Makes room for one more block: false when the index cannot grow.
bool index_reserve(MemIndex *index) noexcept {
    if (index->fits(index->count + 1)) return true;
    const uint32_t capacity = HashTable::capacity_for(index->count + 1, kFirstCapacity);
    auto *fresh =
        capacity == 0 ? nullptr : static_cast<HashSlot *>(plat_alloc(sizeof(HashSlot) * capacity));
    if (fresh == nullptr) return false;
    const uint32_t old_capacity = index->capacity();
    HashSlot *old = index->reset(fresh, capacity);
    for (uint32_t i = 0; i < old_capacity; ++i) {
        if (old[i].item != nullptr) index->insert(old[i].hash, old[i].item);
    }
    plat_free(old);
    return true;
}

void report(const TrackedMemory &m, bool failure, const char *format, ...) KAVREL_PRINTF(3, 4);
void report(const TrackedMemory &m, bool failure, const char *format, ...) {
    if (m.report == nullptr) return;
    char text[kLineMax + 1];
    va_list values;
    va_start(values, format);
    std::vsnprintf(text, sizeof text, format, values);
    va_end(values);
    m.report->line(m.owner, failure, text);
}

bool tracing(const TrackedMemory &m) noexcept {
    return m.report != nullptr && m.report->tracing(m.owner);
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

void *tracked_alloc(const TrackedMemory &m, uint32_t size) {
    const uint32_t actual = mem_actual_size(size);
    auto *block = actual == 0 ? nullptr : static_cast<KAVREL_MEM *>(plat_alloc(actual));
    bool indexed = false;
    if (block != nullptr) {
        std::memset(block, 0, actual);
        block->size = size;
        block->addr = reinterpret_cast<char *>(block) + kHeader;
        LockGuard lock(*m.lock);
        indexed = index_reserve(m.index);
        if (indexed) {
            list_insert_head(m.list, &block->m_memchunks);
            m.index->insert(hash_of(block->addr), block->addr);
            ++m.index->count;
        }
    }
    if (!indexed) {
        plat_free(block);
        report(m, true, "Failed to allocate %d bytes of memory.", static_cast<int>(actual));
        return nullptr;
    }
    if (tracing(m)) {
        report(m, false, "\tallocated %d bytes at %p (req: %d, addr: %p)\n",
               static_cast<int>(actual), static_cast<void *>(block), static_cast<int>(size),
               block->addr);
    }
    return block->addr;
}

void tracked_free(const TrackedMemory &m, void *address) {
    if (address == nullptr) return;
    {
        LockGuard lock(*m.lock);
        if (m.index->erase(hash_of(address), address)) {
            --m.index->count;
            KAVREL_MEM *block = header_of(address);
            list_remove(&block->m_memchunks);
            if (tracing(m)) {
                report(m, false, "\tfreed memory at %p: req: %d, addr: %p\n",
                       static_cast<void *>(block), static_cast<int>(block->size), block->addr);
            }
            // Clear as many bytes as were asked for, counted from the header.
            std::memset(block, 0, block->size);
            plat_free(block);
            return;
        }
    }
    report(m, false, "Failed to free memory at %p\n",
           reinterpret_cast<void *>(reinterpret_cast<uintptr_t>(address) - kHeader));
}

char *tracked_strdup(const TrackedMemory &m, const char *s) {
    const std::size_t n = std::strlen(s) + 1;
    if (n > UINT32_MAX) return nullptr;
    auto *copy = static_cast<char *>(tracked_alloc(m, static_cast<uint32_t>(n)));
    if (copy != nullptr) std::memcpy(copy, s, n);
    return copy;
}

}  // namespace kavrel
