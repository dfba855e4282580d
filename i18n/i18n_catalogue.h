// A catalogue file in memory: header, entry pages, names and strings, in
// host byte order, plus a key index built once at load.
//
// File layout (big-endian; offsets count from the end of the header):
//
//   +--------------------+ 0
//   | header, 128 bytes  |
//   +--------------------+ 128
//   | entry pages        |  page count x 768 bytes (64 entries of 12 bytes)
//   +--------------------+ 128 + pages_end
//   | name section       |  records: id, length n, n units, 0
//   +--------------------+ 128 + names_end
//   | string section     |  per entry: key, 0, value, 0
//   +--------------------+ 128 + strings_last + 1
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "i18n_internal.h"

namespace i18n {

template <class T>
using Vec = std::vector<T, Allocator<T>>;
using U16String = std::basic_string<char16_t, std::char_traits<char16_t>, Allocator<char16_t>>;

inline constexpr std::size_t kHeaderSize = 128;
inline constexpr std::size_t kPageSize = 768;
inline constexpr std::size_t kEntrySize = 12;
inline constexpr std::size_t kEntriesPerPage = 64;
inline constexpr uint8_t kEntryInUse = 1;

struct CatalogueHeader {
    char magic[4];         // "LOCF"
    uint16_t version;      // not interpreted
    uint16_t bom;          // 0xFEFF
    uint32_t field8;       // not interpreted
    uint32_t field12;      // not interpreted
    uint8_t opaque[80];    // not interpreted, kept as stored
    uint16_t entry_count;  // entries in use; a lookup visits at most this many
    uint16_t page_count;
    uint32_t pages_end;     // 768 x page count
    uint32_t names_end;     // end of the name section
    uint32_t strings_last;  // last byte of the string section (names_end when empty)
    uint16_t field112;
    uint16_t field114;
    uint16_t field116;
    uint16_t first_entry;  // the entry a lookup starts at
    uint32_t field120;
    uint8_t tail[4];  // not interpreted, kept as stored
};

struct CatalogueEntry {
    uint32_t offset;  // bytes from the start of the string section to the key
    uint16_t key_length;
    uint16_t value_length;
    uint16_t number;  // not interpreted
    uint8_t slot;
    uint8_t state;  // kEntryInUse, or free
};

struct CataloguePage {
    uint16_t number;
    CatalogueEntry entries[kEntriesPerPage];
};

struct CatalogueName {
    uint16_t id;
    U16String text;
};

// What a lookup finds: the value of the first matching entry.
struct IndexedEntry {
    uint32_t hash;
    uint32_t key;  // unit offsets into the catalogue's text
    uint16_t key_length;
    uint32_t value;
    uint16_t value_length;
};

// An entry reached by message number: the key text was the number in eight
// upper-case hex digits. The slot points at the value itself, so a lookup by
// number costs one probe and the copy. 16 bytes: a slot never straddles two
// cache lines.
struct NumberSlot {
    const char16_t *value = nullptr;  // into the catalogue's text; null: slot free
    uint32_t number = 0;
    uint16_t value_length = 0;
};

// The number index. Message numbers are mostly one run, perhaps with a few
// gaps: then the slots are a table by number less the smallest, and a lookup
// never probes. Scattered numbers are kept by open addressing instead.
struct NumberIndex {
    const NumberSlot *slots = nullptr;
    std::size_t size = 0;
    uint32_t base = 0;   // table: the smallest number
    unsigned shift = 0;  // open addressing: 32 - log2(size)
    bool table = false;

    const NumberSlot *find(uint32_t number) const noexcept {
        if (table) {
            const std::size_t at = number - base;  // wraps below the base
            return at < size && slots[at].value != nullptr ? &slots[at] : nullptr;
        }
        if (size == 0) return nullptr;
        for (std::size_t i = home(number); slots[i].value != nullptr; i = (i + 1) & (size - 1)) {
            if (slots[i].number == number) return &slots[i];
        }
        return nullptr;
    }
    // Fibonacci hashing spreads the runs of consecutive message numbers.
    std::size_t home(uint32_t number) const noexcept { return (number * 2654435769u) >> shift; }
};

class Catalogue {
  public:
    Catalogue() = default;
    // The number index points into the catalogue's own buffers: moving
    // keeps them where they are, copying would not.
    Catalogue(const Catalogue &) = delete;
    Catalogue &operator=(const Catalogue &) = delete;
    Catalogue(Catalogue &&) noexcept = default;
    Catalogue &operator=(Catalogue &&) noexcept = default;

    // Reads a whole catalogue file; on failure the catalogue is left as it was.
    // Statuses: 1, -457, -463, -464.
    int32_t load(PlatFile &f);

    // Value stored under key, or null. Gives the result of walking the
    // entries in use from the first entry on, within the entry count.
    const IndexedEntry *find(std::u16string_view key) const noexcept;
    // The same for the key text of a message number, without forming it.
    const NumberSlot *find_number(uint32_t number) const noexcept {
        return number_index_.find(number);
    }
    static std::u16string_view value_of(const NumberSlot &e) noexcept {
        return {e.value, e.value_length};
    }
    std::u16string_view value_of(const IndexedEntry &e) const noexcept {
        return {strings_.data() + e.value, e.value_length};
    }

    const CatalogueHeader &header() const noexcept { return header_; }
    std::span<const CataloguePage> pages() const noexcept { return pages_; }
    std::span<const CatalogueName> names() const noexcept { return names_; }
    uint16_t largest_name_id() const noexcept { return largest_name_id_; }

  private:
    int32_t read_pages(PlatFile &f);
    int32_t read_names(PlatFile &f);
    int32_t read_strings(PlatFile &f);
    void build_index();
    void insert(const IndexedEntry &e);
    void lay_out_text();
    void build_number_index();

    CatalogueHeader header_{};
    Vec<CataloguePage> pages_;
    Vec<CatalogueName> names_;
    uint16_t largest_name_id_ = 0;
    uint32_t names_size_ = 0;
    // The string section as read; once indexed, as lay_out_text() leaves it.
    Vec<char16_t> strings_;
    uint64_t strings_size_ = 0;  // bytes in the file's string section
    Vec<IndexedEntry> entries_;  // in walk order, first of each key only
    Vec<uint32_t> slots_;        // open addressing: 1 + index into entries_, 0 empty
    Vec<NumberSlot> numbers_;    // the slots of number_index_
    NumberIndex number_index_;
};

// Hash of a key text; the index and its lookups agree on it.
uint32_t key_hash(std::u16string_view key) noexcept;

}  // namespace i18n
