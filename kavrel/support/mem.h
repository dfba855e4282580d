// Tracked memory: every block the library keeps for a context carries a
// header and sits on the context's "Memory" list, newest first, so that a
// release can be verified and the live blocks dumped.
#pragma once

#include <cstdint>

#include "list.h"
#include "platform.h"
#include "table.h"

namespace kavrel {

struct KAVREL_MEM {
    KAVREL_LINK m_memchunks;  // first: link and header share an address
    void *addr;               // the caller's area, right after the header
    uint32_t size;            // the size the caller asked for
};

// Finds a block by its caller's address without walking the list, and
// recognises an address that is not ours without reading memory behind it.
// Its slots are plain memory.
using MemIndex = HashTable;

// Where tracked memory's lines go. The owner wires it: the allocator knows
// nothing of the way out.
struct MemReport {
    // Whether memory trace lines are wanted; asked before anything is
    // formatted.
    bool (*tracing)(const void *owner) noexcept;
    // A trace line, or (failure) a failure to be shown at once.
    void (*line)(void *owner, bool failure, const char *text) noexcept;
};

// The tracked memory of one owner: its block list, the lock guarding list
// and index, the index, and where its lines go.
struct TrackedMemory {
    KAVREL_LINK *list;
    RecursiveLock *lock;
    MemIndex *index;
    const MemReport *report;  // null: no lines
    void *owner;
};

// A zero-filled area of at least `size` bytes, or null (reported).
void *tracked_alloc(const TrackedMemory &memory, uint32_t size);
// Releases a block tracked_alloc returned for this owner; null is ignored,
// any other unknown address is reported and left alone.
void tracked_free(const TrackedMemory &memory, void *address);
// A copy of s (length + 1 bytes), or null.
char *tracked_strdup(const TrackedMemory &memory, const char *s);

// The actual size of a block for a request: rounded up to 4 plus the header.
// 0 when that overflows 32 bits.
uint32_t mem_actual_size(uint32_t size) noexcept;

// Releases the index's own table (the blocks stay where they are).
void mem_index_free(MemIndex *index) noexcept;

}  // namespace kavrel
