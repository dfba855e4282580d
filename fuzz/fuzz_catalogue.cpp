// Fuzzes loading catalogue files and looking values up in them.
//
// The input is the file. Every input is loaded from memory straight into an
// i18n::Catalogue; the status must be the one the header and the file size
// call for, and every lookup must give what a plain walk over the raw entry
// pages gives (the index is a hash table, the walk is the definition).
// Keys come from the entries in use, from the texts of the string section
// and a few fixed ones.
//
// Some inputs also go through the public interface: written to a file,
// opened through a handle and read with lookups into output buffers of
// exactly the capacity given, small and large. A loaded file stays in the
// process-wide cache for good, so each one that loads takes a fresh name,
// and only a few thousand do; a file that fails to load leaves its handle
// closed, and the handle is used again.
//
// Some successful loads are repeated with one allocation made to fail: the
// load must then report -457 and leave the catalogue empty.
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "i18n.h"
#include "i18n_catalogue.h"

namespace {

using i18n::kEntriesPerPage;
using i18n::kEntrySize;
using i18n::kHeaderSize;
using i18n::kPageSize;

uint16_t be16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
uint32_t be32(const uint8_t *p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

// ---- the model: the raw file bytes read directly ---------------------------

struct RawEntry {
    uint32_t offset;
    uint16_t key_length, value_length;
    uint8_t state;
};

struct Found {
    uint32_t value;  // unit offset into the string section
    uint16_t length;
};

class RawFile {
  public:
    RawFile(const uint8_t *data, std::size_t size) : d_(data), size_(size) {}

    // What a load must report, from the header and the file size alone.
    int32_t expected_status() const {
        if (size_ < kHeaderSize) return I18N_E_SHORT;
        if (std::memcmp(d_, "LOCF", 4) != 0 || d_[6] != 0xFE || d_[7] != 0xFF) {
            return I18N_E_NOTCAT;
        }
        if (pages_end() != uint64_t{kPageSize} * page_count()) return I18N_E_NOTCAT;
        if (names_end() < pages_end() || strings_last() < names_end()) return I18N_E_NOTCAT;
        return size_ < kHeaderSize + uint64_t{names_end()} + strings_bytes() ? I18N_E_SHORT
                                                                             : I18N_OK;
    }

    // Only once the file loaded: every part below is then backed by bytes.
    uint16_t entry_count() const { return be16(d_ + 96); }
    uint16_t page_count() const { return be16(d_ + 98); }
    uint32_t pages_end() const { return be32(d_ + 100); }
    uint32_t names_end() const { return be32(d_ + 104); }
    uint32_t strings_last() const { return be32(d_ + 108); }
    uint16_t first_entry() const { return be16(d_ + 118); }
    uint64_t strings_bytes() const {
        return strings_last() == names_end() ? 0 : uint64_t{strings_last()} - names_end() + 1;
    }
    std::size_t units() const { return static_cast<std::size_t>(strings_bytes() / 2); }
    std::size_t entries() const { return std::size_t{page_count()} * kEntriesPerPage; }

    RawEntry entry(std::size_t n) const {
        // 64 entries of 12 bytes fill a page exactly.
        const uint8_t *p = d_ + kHeaderSize + n * kEntrySize;
        return {be32(p), be16(p + 4), be16(p + 6), p[11]};
    }
    char16_t unit(std::size_t i) const { return be16(d_ + kHeaderSize + names_end() + 2 * i); }
    std::u16string text(std::size_t at, std::size_t n) const {
        std::u16string s(n, u'\0');
        for (std::size_t i = 0; i < n; ++i) s[i] = unit(at + i);
        return s;
    }

    // A lookup by definition: from the first entry on, entries in use only,
    // at most entry_count of them; entries whose key or value is not wholly
    // inside the string section never match; the first match wins.
    std::optional<Found> walk(std::u16string_view key) const {
        std::size_t visited = 0;
        for (std::size_t n = first_entry(); n < entries() && visited < entry_count(); ++n) {
            const RawEntry e = entry(n);
            if (e.state != i18n::kEntryInUse) continue;
            ++visited;
            const uint64_t k = e.offset / 2;
            if (e.offset % 2 != 0 || k + e.key_length + 1 + e.value_length > units()) continue;
            if (e.key_length == key.size() && text(k, e.key_length) == key) {
                return Found{static_cast<uint32_t>(k + e.key_length + 1), e.value_length};
            }
        }
        return std::nullopt;
    }

  private:
    const uint8_t *d_;
    std::size_t size_;
};

// Keys worth looking up: fixed ones, those the entries in use name, and the
// zero-terminated texts of the string section.
std::vector<std::u16string> keys_of(const RawFile &raw) {
    std::vector<std::u16string> keys = {u"000200A2", u"00000001", u"", u"k"};
    std::size_t taken = 0;
    for (std::size_t n = 0; n < raw.entries() && taken < 8; ++n) {
        const RawEntry e = raw.entry(n);
        if (e.state != i18n::kEntryInUse) continue;
        const std::size_t k = e.offset / 2;
        if (k + e.key_length > raw.units()) continue;
        keys.push_back(raw.text(k, e.key_length));
        ++taken;
    }
    std::u16string piece;
    for (std::size_t i = 0, found = 0; i < raw.units() && found < 8; ++i) {
        const char16_t u = raw.unit(i);
        if (u != 0) {
            piece.push_back(u);
        } else if (!piece.empty()) {
            keys.push_back(std::move(piece));
            piece.clear();
            ++found;
        }
    }
    return keys;
}

// ---- loading ----------------------------------------------------------------

using FilePtr = std::unique_ptr<std::FILE, decltype(&std::fclose)>;

// A read-only stream over a copy of the bytes.
struct MemoryFile {
    std::vector<uint8_t> copy;
    FilePtr file{nullptr, &std::fclose};

    MemoryFile(const uint8_t *data, std::size_t size) : copy(data, data + size) {
        file.reset(size == 0 ? std::fopen("/dev/null", "rb") : fmemopen(copy.data(), size, "rb"));
        FUZZ_CHECK(file != nullptr);
    }
};

void check_catalogue(const i18n::Catalogue &cat, const RawFile &raw) {
    FUZZ_CHECK(cat.pages().size() == raw.page_count());
    for (std::size_t i = 0; i < cat.pages().size(); ++i) FUZZ_CHECK(cat.pages()[i].number == i);
    uint16_t largest = 0;
    for (std::size_t i = 0; i < cat.names().size(); ++i) {
        largest = std::max(largest, cat.names()[i].id);
        if (i > 0) FUZZ_CHECK(cat.names()[i - 1].text <= cat.names()[i].text);
    }
    FUZZ_CHECK(cat.largest_name_id() == largest);
}

void check_find(const i18n::Catalogue &cat, const RawFile &raw, std::u16string_view key) {
    const i18n::IndexedEntry *e = cat.find(key);
    const std::optional<Found> want = raw.walk(key);
    FUZZ_CHECK((e != nullptr) == want.has_value());
    if (e == nullptr) return;
    FUZZ_CHECK(e->key_length == key.size());
    FUZZ_CHECK(e->value_length == want->length);
    const std::u16string_view value = cat.value_of(*e);
    FUZZ_CHECK(value.size() == want->length);
    FUZZ_CHECK(value == raw.text(want->value, want->length));
}

uint64_t hash_of(const uint8_t *data, std::size_t size) {
    uint64_t h = 14695981039346656037u;
    for (std::size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 1099511628211u;
    return h;
}

// ---- the public interface ---------------------------------------------------

constexpr int kMaxLoadedNames = 4096;

struct PublicPath {
    std::filesystem::path dir;
    std::u16string dir16;
    int loaded = 0;                 // names used up by a successful load
    I18N_HANDLE *handle = nullptr;  // closed, for the current name
    uint64_t inputs = 0;
};

PublicPath *g_public = nullptr;

void remove_dir() {
    std::error_code ignored;
    if (g_public != nullptr) std::filesystem::remove_all(g_public->dir, ignored);
}

std::u16string widen(const std::string &s) {
    return {s.begin(), s.end()};
}

void check_lookup(I18N_HANDLE *h, const std::u16string &key, const i18n::IndexedEntry *e,
                  const i18n::Catalogue &cat, uint64_t pick) {
    std::vector<int32_t> capacities = {0, -1, INT32_MIN, 8192, 1 + static_cast<int32_t>(pick % 16)};
    if (e != nullptr) {
        capacities.push_back(e->value_length);
        capacities.push_back(e->value_length + 1);
    }
    for (const int32_t capacity : capacities) {
        const std::size_t room = capacity > 0 ? static_cast<std::size_t>(capacity) : 0;
        std::unique_ptr<char16_t[]> out(new char16_t[room]);
        std::fill_n(out.get(), room, u'\xAAAA');
        const int32_t result = i18nuni_LookupByKey(h, key.c_str(), out.get(), capacity);
        if (e == nullptr) {
            FUZZ_CHECK(result == I18N_E_NOTFOUND);
        } else if (capacity >= 1 && e->value_length <= capacity - 1) {
            FUZZ_CHECK(result == I18N_OK);
            FUZZ_CHECK(std::u16string_view(out.get(), e->value_length) == cat.value_of(*e));
            FUZZ_CHECK(out[e->value_length] == 0);
        } else {
            FUZZ_CHECK(result == I18N_E_TOOLONG);
        }
    }
}

void check_public(const uint8_t *data, std::size_t size, int32_t status, const i18n::Catalogue &cat,
                  const std::vector<std::u16string> &keys, uint64_t pick) {
    PublicPath &p = *g_public;
    // A load that fails costs nothing lasting; one that succeeds uses up a
    // name, so those go through here more rarely.
    const uint64_t n = p.inputs++;
    if (n % 4 != 0) return;
    if (status == I18N_OK && (n % 64 != 0 || p.loaded >= kMaxLoadedNames)) return;
    const std::string name = "c" + std::to_string(p.loaded);
    const std::filesystem::path file = p.dir / (name + ".lcu");
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
        FUZZ_CHECK(out.good());
    }
    if (p.handle == nullptr) {
        I18N_FILE_SPEC spec;
        FUZZ_CHECK(i18nuni_FileSpecInit(&spec) == 1);
        spec.location = I18N_LOC_DIR;
        FUZZ_CHECK(i18nuni_HandleGet(u"fuzz", p.dir16.c_str(), widen(name).c_str(), &spec,
                                     &p.handle) == I18N_OK);
    }
    I18N_HANDLE *h = p.handle;
    FUZZ_CHECK(i18nuni_FileOpen(h, I18N_MODE_READ) == status);
    char16_t out[8];
    if (status != I18N_OK) {
        FUZZ_CHECK(i18nuni_LookupByKey(h, u"k", out, 8) == I18N_E_CONFLICT);  // stays closed
        return;
    }
    p.handle = nullptr;  // this name now stays loaded; the next one is fresh
    ++p.loaded;
    std::error_code ignored;
    std::filesystem::remove(file, ignored);

    for (const std::u16string &key : keys) {
        if (key.find(u'\0') != std::u16string::npos) continue;  // not a C string
        check_lookup(h, key, cat.find(key), cat, pick++);
    }
    // By number: the key text is the number in eight upper-case hex digits.
    char16_t by_key[64], by_num[64];
    for (const int32_t number : {0x200A2, 1, -1}) {
        char16_t key[10];
        FUZZ_CHECK(uninum_format(key, 10, static_cast<uint32_t>(number), 16, 8) == 1);
        const int32_t a = i18nuni_LookupByKey(h, key, by_key, 64);
        FUZZ_CHECK(i18nuni_LookupByKeyNum(h, number, by_num, 64) == a);
        if (a == I18N_OK) FUZZ_CHECK(std::u16string_view(by_key) == std::u16string_view(by_num));
    }
    FUZZ_CHECK(i18nuni_LookupByKey(h, nullptr, out, 8) == I18N_E_NOKEY);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size);

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    std::string templ = (std::filesystem::temp_directory_path() / "kavrel-fuzz-XXXXXX").string();
    FUZZ_CHECK(mkdtemp(templ.data()) != nullptr);
    g_public = new PublicPath{templ, widen(templ)};
    FUZZ_CHECK(templ.size() < 200);  // leaves room for the file name in a full path
    std::atexit(remove_dir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    const RawFile raw(data, size);
    const int32_t expected = raw.expected_status();

    i18n::Catalogue cat;
    const int64_t before = i18n_test_fail_alloc(0, 0);
    {
        MemoryFile mem(data, size);
        FUZZ_CHECK(cat.load(mem.file.get()) == expected);
    }
    const int64_t allocations = i18n_test_fail_alloc(0, 0) - before;

    std::vector<std::u16string> keys = {u"000200A2", u"00000001", u"", u"k"};
    if (expected == I18N_OK) {
        check_catalogue(cat, raw);
        keys = keys_of(raw);
        for (const std::u16string &key : keys) check_find(cat, raw, key);
    } else {
        for (const std::u16string &key : keys) FUZZ_CHECK(cat.find(key) == nullptr);
    }

    const uint64_t hash = hash_of(data, size);
    if (expected == I18N_OK && allocations > 0 && hash % 8 == 0) {
        i18n::Catalogue failed;
        MemoryFile mem(data, size);
        i18n_test_fail_alloc(static_cast<int64_t>((hash >> 3) % static_cast<uint64_t>(allocations)),
                             1);
        const int32_t status = failed.load(mem.file.get());
        i18n_test_fail_alloc(0, 0);
        FUZZ_CHECK(status == I18N_E_NOMEM);
        FUZZ_CHECK(failed.pages().empty() && failed.names().empty());
        for (const std::u16string &key : keys) FUZZ_CHECK(failed.find(key) == nullptr);
    }

    check_public(data, size, expected, cat, keys, hash);
    return 0;
}
