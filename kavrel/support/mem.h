// Tracked memory: every block the library keeps for a context carries a
// header and sits on the context's "Memory" list, newest first, so that a
// release can be verified and the live blocks dumped.
#pragma once

#include <cstdint>

#include "list.h"

struct KAVREL_CTX;

namespace kavrel {

struct KAVREL_MEM {
    KAVREL_LINK m_memchunks;  // first: link and header share an address
    void *addr;               // the caller's area, right after the header
    uint32_t size;            // the size the caller asked for
};

// Open-addressing table from a caller's address to its header, so that a
// release finds its block without walking the list and recognises an
// address that is not ours without reading memory behind it.
struct MemIndex {
    void **slots;   // callers' addresses: the header lies right before each
    uint32_t mask;  // capacity - 1; capacity is a power of two or 0
    uint32_t count;
};

// A zero-filled area of at least `size` bytes, or null (reported).
void *kavrel_alloc(KAVREL_CTX *ctx, uint32_t size);
// Releases a block kavrel_alloc returned for this context; null is ignored,
// any other unknown address is reported and left alone.
void kavrel_dealloc(KAVREL_CTX *ctx, void *address);
void kavrel_mem_dump_block(KAVREL_CTX *ctx, const KAVREL_MEM *block);
void kavrel_mem_dump(KAVREL_CTX *ctx);

// The actual size of a block for a request: rounded up to 4 plus the header.
// 0 when that overflows 32 bits.
uint32_t mem_actual_size(uint32_t size) noexcept;

// Releases the index's own table (the blocks stay where they are).
void mem_index_free(MemIndex *index) noexcept;

// A copy of s (length + 1 bytes) in tracked memory, or null.
char *mem_strdup(KAVREL_CTX *ctx, const char *s);

}  // namespace kavrel
