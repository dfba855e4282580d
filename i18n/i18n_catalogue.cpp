// Loading a catalogue file and finding values by key text.
//
// The file is untrusted: every size is checked against what was actually
// read, memory grows only as data arrives, and an entry whose key or value
// lies outside the string section is never indexed, so it never matches.
#include "i18n_catalogue.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace i18n {
namespace {

constexpr std::size_t kChunk = 64 * 1024;  // bytes read at a time for the sections

uint16_t be16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
uint32_t be32(const uint8_t *p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

bool read_exact(PlatFile &f, void *to, std::size_t n) {
    return f.read(to, n);
}

CatalogueHeader parse_header(const uint8_t *raw) {
    CatalogueHeader h{};
    std::memcpy(h.magic, raw, 4);
    h.version = be16(raw + 4);
    h.bom = be16(raw + 6);
    h.field8 = be32(raw + 8);
    h.field12 = be32(raw + 12);
    std::memcpy(h.opaque, raw + 16, sizeof h.opaque);
    h.entry_count = be16(raw + 96);
    h.page_count = be16(raw + 98);
    h.pages_end = be32(raw + 100);
    h.names_end = be32(raw + 104);
    h.strings_last = be32(raw + 108);
    h.field112 = be16(raw + 112);
    h.field114 = be16(raw + 114);
    h.field116 = be16(raw + 116);
    h.first_entry = be16(raw + 118);
    h.field120 = be32(raw + 120);
    std::memcpy(h.tail, raw + 124, sizeof h.tail);
    return h;
}

CatalogueEntry parse_entry(const uint8_t *p) {
    return {be32(p), be16(p + 4), be16(p + 6), be16(p + 8), p[10], p[11]};
}

// Reads n bytes, kChunk at a time, so that a size the file does not back
// never turns into one large allocation.
bool read_chunked(PlatFile &f, std::size_t n, Vec<uint8_t> &to) {
    while (to.size() < n) {
        const std::size_t at = to.size();
        const std::size_t step = std::min(kChunk, n - at);
        to.resize(at + step);
        if (!read_exact(f, to.data() + at, step)) return false;
    }
    return true;
}

}  // namespace

uint32_t key_hash(std::u16string_view key) noexcept {
    uint32_t h = 2166136261u;  // FNV-1a over the units
    for (char16_t c : key) h = (h ^ c) * 16777619u;
    return h ^ (h >> 15);
}

int32_t Catalogue::load(PlatFile &f) {
    uint8_t raw[kHeaderSize];
    if (!read_exact(f, raw, sizeof raw)) return I18N_E_SHORT;
    if (std::memcmp(raw, "LOCF", 4) != 0) return I18N_E_NOTCAT;
    if (raw[6] != 0xFE || raw[7] != 0xFF) return I18N_E_NOTCAT;
    const CatalogueHeader h = parse_header(raw);
    if (h.pages_end != kPageSize * h.page_count) return I18N_E_NOTCAT;
    if (h.names_end < h.pages_end || h.strings_last < h.names_end) return I18N_E_NOTCAT;
    try {
        Catalogue fresh;
        fresh.header_ = h;
        int32_t status = fresh.read_pages(f);
        if (status == I18N_OK) status = fresh.read_names(f);
        if (status == I18N_OK) status = fresh.read_strings(f);
        if (status != I18N_OK) return status;
        fresh.build_index();
        *this = std::move(fresh);
        return I18N_OK;
    } catch (const std::bad_alloc &) {
        return I18N_E_NOMEM;
    }
}

int32_t Catalogue::read_pages(PlatFile &f) {
    uint8_t raw[kPageSize];
    for (uint16_t n = 0; n < header_.page_count; ++n) {
        if (!read_exact(f, raw, sizeof raw)) return I18N_E_SHORT;
        CataloguePage &page = pages_.emplace_back();
        page.number = n;
        for (std::size_t i = 0; i < kEntriesPerPage; ++i) {
            page.entries[i] = parse_entry(raw + i * kEntrySize);
        }
    }
    return I18N_OK;
}

// Name records: 16-bit id, 16-bit length n, n units, a zero unit. A record
// that the section cannot hold whole ends the list.
int32_t Catalogue::read_names(PlatFile &f) {
    names_size_ = header_.names_end - header_.pages_end;
    Vec<uint8_t> raw;
    if (!read_chunked(f, names_size_, raw)) return I18N_E_SHORT;
    const std::size_t limit = names_size_ & ~std::size_t{1};
    for (std::size_t at = 0; at + 6 <= limit;) {
        const std::size_t n = be16(raw.data() + at + 2);
        const std::size_t record = 6 + 2 * n;
        if (record > limit - at) break;
        CatalogueName &name = names_.emplace_back();
        name.id = be16(raw.data() + at);
        name.text.resize(n);
        for (std::size_t i = 0; i < n; ++i) name.text[i] = be16(raw.data() + at + 4 + 2 * i);
        largest_name_id_ = std::max(largest_name_id_, name.id);
        at += record;
    }
    // Ordered by name; a later record goes before earlier equal names.
    Vec<std::size_t> order(names_.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [this](std::size_t a, std::size_t b) {
        const int c = names_[a].text.compare(names_[b].text);
        return c != 0 ? c < 0 : a > b;
    });
    Vec<CatalogueName> sorted;
    sorted.reserve(names_.size());
    for (std::size_t i : order) sorted.push_back(std::move(names_[i]));
    names_ = std::move(sorted);
    return I18N_OK;
}

int32_t Catalogue::read_strings(PlatFile &f) {
    const uint32_t last = header_.strings_last;
    // In 64 bits: the last byte at 0xFFFFFFFF after names ending at 0 is 2^32 bytes.
    strings_size_ = last == header_.names_end ? 0 : uint64_t{last} - header_.names_end + 1;
    uint8_t raw[kChunk];
    for (uint64_t left = strings_size_; left > 0;) {
        const auto step = static_cast<std::size_t>(std::min<uint64_t>(left, sizeof raw));
        if (!read_exact(f, raw, step)) return I18N_E_SHORT;
        // Chunks are even in size, so a unit never straddles two of them;
        // an odd last byte belongs to no unit.
        const std::size_t at = strings_.size();
        strings_.resize(at + step / 2);
        for (std::size_t i = 0; i < step / 2; ++i) strings_[at + i] = be16(raw + 2 * i);
        left -= step;
    }
    return I18N_OK;
}

// Walks the entries as a lookup does: from the first entry on, entries in
// use only, at most entry_count of them; the first entry of each key wins.
void Catalogue::build_index() {
    const std::size_t first = header_.first_entry;
    const std::size_t total = pages_.size() * kEntriesPerPage;
    if (strings_size_ == 0 || first >= total) return;
    Vec<IndexedEntry> found;
    std::size_t visited = 0;
    for (std::size_t n = first; n < total && visited < header_.entry_count; ++n) {
        const CatalogueEntry &e = pages_[n / kEntriesPerPage].entries[n % kEntriesPerPage];
        if (e.state != kEntryInUse) continue;
        ++visited;
        const uint64_t key = e.offset / 2;
        const uint64_t end = key + e.key_length + 1 + e.value_length;
        if (e.offset % 2 != 0 || end > strings_.size()) continue;
        const auto k = static_cast<uint32_t>(key);
        const std::u16string_view text(strings_.data() + k, e.key_length);
        found.push_back({key_hash(text), k, e.key_length,
                         static_cast<uint32_t>(k + e.key_length + 1), e.value_length});
    }
    slots_.assign(std::bit_ceil(2 * found.size() + 1), 0);
    entries_.reserve(found.size());
    for (const IndexedEntry &e : found) insert(e);
    lay_out_text();
    build_number_index();
}

namespace {

constexpr std::size_t kLine = 32;  // units in a 64-byte cache line

// Where a text of n units (and its terminator) goes at or after at. A text
// of a line or more starts a line: the copy's wide loads then split fewer
// lines. A shorter one stays unless that makes it span two lines.
std::size_t place(std::size_t at, std::size_t n) {
    const std::size_t next_line = (at + kLine - 1) / kLine * kLine;
    if (n + 1 >= kLine) return next_line;
    return at % kLine + n + 1 > kLine ? next_line : at;
}

}  // namespace

// Copies the text of the indexed entries into a buffer of their own: values
// first, each with its terminator and placed as place() says, then the keys.
// A lookup by number touches as few lines as it can, and entries that no
// lookup reaches are dropped.
void Catalogue::lay_out_text() {
    Vec<uint32_t> at;  // value offsets, then key offsets, from an aligned start
    at.reserve(2 * entries_.size());
    std::size_t end = 0;
    for (const IndexedEntry &e : entries_) {
        end = place(end, e.value_length);
        at.push_back(static_cast<uint32_t>(end));
        end += e.value_length + 1u;
    }
    for (const IndexedEntry &e : entries_) {
        at.push_back(static_cast<uint32_t>(end));
        end += e.key_length + 1u;
    }
    // Entries of a hostile file may share one long text many times over;
    // copying each would multiply it. Such a file keeps the text as read.
    if (end > strings_.size() + kLine * entries_.size()) return;
    Vec<char16_t> text(end + kLine, 0);
    const auto address = reinterpret_cast<std::uintptr_t>(text.data());
    const std::size_t lead = (2 * kLine - address % (2 * kLine)) % (2 * kLine) / 2;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        IndexedEntry &e = entries_[i];
        const auto value = static_cast<uint32_t>(lead + at[i]);
        const auto key = static_cast<uint32_t>(lead + at[entries_.size() + i]);
        std::copy_n(strings_.data() + e.value, e.value_length, text.data() + value);
        std::copy_n(strings_.data() + e.key, e.key_length, text.data() + key);
        e.value = value;
        e.key = key;
    }
    strings_ = std::move(text);
}

namespace {

// The number whose eight-digit key text this is, if it is one.
bool key_number(std::u16string_view key, uint32_t &number) {
    if (key.size() != 8) return false;
    number = 0;
    for (char16_t c : key) {
        const int digit = c >= u'0' && c <= u'9'   ? c - u'0'
                          : c >= u'A' && c <= u'F' ? c - u'A' + 10
                                                   : -1;
        if (digit < 0) return false;
        number = number << 4 | static_cast<uint32_t>(digit);
    }
    return true;
}

}  // namespace

void Catalogue::build_number_index() {
    Vec<NumberSlot> found;
    uint32_t low = UINT32_MAX, high = 0;
    for (const IndexedEntry &e : entries_) {
        uint32_t number = 0;
        if (!key_number({strings_.data() + e.key, e.key_length}, number)) continue;
        found.push_back({strings_.data() + e.value, number, e.value_length});
        low = std::min(low, number);
        high = std::max(high, number);
    }
    if (found.empty()) return;
    NumberIndex &index = number_index_;
    const uint64_t span = uint64_t{high} - low + 1;
    index.table = span <= 4 * uint64_t{found.size()} + 64;
    // A table's span is bounded by the entries found, which are in memory.
    const std::size_t size =
        index.table ? static_cast<std::size_t>(span) : std::bit_ceil(2 * found.size());
    numbers_.assign(size, NumberSlot{});
    index.slots = numbers_.data();
    index.size = size;
    index.base = low;
    index.shift = index.table ? 0 : 32 - static_cast<unsigned>(std::countr_zero(size));
    for (const NumberSlot &n : found) {  // keys are unique, so numbers are too
        if (index.table) {
            numbers_[n.number - low] = n;
            continue;
        }
        std::size_t i = index.home(n.number);
        while (numbers_[i].value != nullptr) i = (i + 1) & (size - 1);
        numbers_[i] = n;
    }
}

void Catalogue::insert(const IndexedEntry &e) {
    const std::u16string_view key(strings_.data() + e.key, e.key_length);
    if (find(key) != nullptr) return;
    entries_.push_back(e);
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = e.hash & mask;
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = static_cast<uint32_t>(entries_.size());
}

const IndexedEntry *Catalogue::find(std::u16string_view key) const noexcept {
    if (slots_.empty()) return nullptr;
    const uint32_t h = key_hash(key);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = h & mask; slots_[i] != 0; i = (i + 1) & mask) {
        const IndexedEntry &e = entries_[slots_[i] - 1];
        if (e.hash == h && e.key_length == key.size() &&
            std::equal(key.begin(), key.end(), strings_.data() + e.key)) {
            return &e;
        }
    }
    return nullptr;
}

}  // namespace i18n
