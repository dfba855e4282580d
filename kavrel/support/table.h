// An open-addressing hash table of pointers with their 32-bit hashes:
// linear probing, at most half full, backward-shift deletion so that every
// probe run stays unbroken. The owner allocates the slots from whichever
// memory it keeps its records in and decides what a match is.
#pragma once

#include <cstdint>
#include <cstring>

namespace kavrel {

struct HashSlot {
    uint32_t hash;
    void *item;  // null: free
};

struct HashTable {
    HashSlot *slots;  // null: no table
    uint32_t mask;    // capacity - 1; the capacity is a power of two
    uint32_t count;   // the items the owner keeps (kept by the owner)

    uint32_t capacity() const noexcept { return slots == nullptr ? 0 : mask + 1; }

    // Whether `items` items keep the table at most half full.
    bool fits(uint32_t items) const noexcept { return items <= capacity() / 2; }

    // The capacity for `items` items, at least `least`; 0 when too large.
    static uint32_t capacity_for(uint32_t items, uint32_t least) noexcept {
        if (items > (UINT32_MAX >> 3)) return 0;
        uint32_t capacity = least;
        while (capacity / 2 < items) capacity *= 2;
        return capacity;
    }

    // Starts afresh in `fresh`, `capacity` slots; returns the old slots for
    // the owner to free.
    HashSlot *reset(HashSlot *fresh, uint32_t capacity) noexcept {
        HashSlot *old = slots;
        std::memset(static_cast<void *>(fresh), 0, sizeof(HashSlot) * capacity);
        slots = fresh;
        mask = capacity - 1;
        return old;
    }

    // Drops the table (the owner frees the slots it returns); the count stays.
    HashSlot *drop() noexcept {
        HashSlot *old = slots;
        slots = nullptr;
        mask = 0;
        return old;
    }

    // Adds an item; the caller has made room.
    void insert(uint32_t hash, void *item) noexcept {
        uint32_t i = hash & mask;
        while (slots[i].item != nullptr) i = (i + 1) & mask;
        slots[i] = {hash, item};
    }

    // The first item with this hash that `match` accepts, or null.
    template <class Match>
    void *find(uint32_t hash, Match match) const {
        if (slots == nullptr) return nullptr;
        for (uint32_t i = hash & mask; slots[i].item != nullptr; i = (i + 1) & mask) {
            if (slots[i].hash == hash && match(slots[i].item)) return slots[i].item;
        }
        return nullptr;
    }

    // Takes `item` out; false when it is not in the table.
    bool erase(uint32_t hash, const void *item) noexcept {
        if (slots == nullptr) return false;
        uint32_t i = hash & mask;
        while (slots[i].item != nullptr && slots[i].item != item) i = (i + 1) & mask;
        if (slots[i].item == nullptr) return false;
        uint32_t hole = i;
        for (uint32_t j = (i + 1) & mask; slots[j].item != nullptr; j = (j + 1) & mask) {
            if (((j - slots[j].hash) & mask) >= ((j - hole) & mask)) {
                slots[hole] = slots[j];
                hole = j;
            }
        }
        slots[hole] = {0, nullptr};
        return true;
    }
};

}  // namespace kavrel
