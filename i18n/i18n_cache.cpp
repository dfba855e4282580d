// The process-wide cache of catalogue files, handles, opening and lookup.
//
// One cache entry per full file name and format, newest first; every handle
// for that name shares the entry and its loaded contents for the life of the
// process. Entries and handles are never released, and both stay linked
// from the cache, so nothing the library hands out is ever lost.
//
// The cache has no lock of its own: callers serialise every call.
#include <cstring>
#include <memory>

#include "i18n_catalogue.h"

namespace i18n {
namespace {

constexpr std::size_t kNameCopy = 15;          // units of language and component kept
constexpr uint32_t kHandleMagic = 0x48444C49;  // "HDLI"

struct CacheEntry;

}  // namespace
}  // namespace i18n

struct I18N_HANDLE {
    uint32_t magic = i18n::kHandleMagic;
    I18N_HANDLE *next_of_entry = nullptr;
    i18n::CacheEntry *entry = nullptr;
    bool open = false;
};

namespace i18n {
namespace {

struct CacheEntry {
    CacheEntry *next = nullptr;
    U16String name;  // full file name
    I18N_FILE_SPEC spec{};
    U16String language;
    U16String component;
    Catalogue file;
    int32_t handles = 0;
    int32_t readers = 0;
    int32_t writers = 0;
    int32_t mode = -1;  // open mode last used
    bool modified = false;
    I18N_HANDLE *handle_list = nullptr;
};

CacheEntry *g_cache = nullptr;  // newest first

CacheEntry *find_entry(std::u16string_view name, uint32_t format) {
    for (CacheEntry *e = g_cache; e != nullptr; e = e->next) {
        if (e->spec.format == format && e->name == name) return e;
    }
    return nullptr;
}

void attach(CacheEntry &entry, I18N_HANDLE &handle) {
    handle.entry = &entry;
    handle.next_of_entry = entry.handle_list;
    entry.handle_list = &handle;
    ++entry.handles;
}

// A new, unloaded entry; null when memory is exhausted.
std::unique_ptr<CacheEntry, Delete> new_entry(std::u16string_view name, const I18N_FILE_SPEC &spec,
                                              std::u16string_view component,
                                              std::u16string_view language) {
    std::unique_ptr<CacheEntry, Delete> e(make<CacheEntry>());
    if (e == nullptr) return e;
    try {
        e->name = name;
        e->spec = spec;
        e->component = component.substr(0, kNameCopy);
        e->language = spec.location == I18N_LOC_DIR ? u"user" : language.substr(0, kNameCopy);
    } catch (const std::bad_alloc &) {
        e.reset();
    }
    return e;
}

int32_t open_exists(const char *name) {
    if (PlatFile(name, "rb")) return I18N_E_EXISTS;
    return I18N_E_OPEN;
}

int32_t open_create(CacheEntry &e, I18N_HANDLE &h, const char *name) {
    if (e.writers > 0 || e.readers > 0) return I18N_E_CONFLICT;
    if (!PlatFile(name, "wb")) return I18N_E_CREATE;
    e.mode = I18N_MODE_CREATE;
    e.modified = true;
    ++e.writers;
    h.open = true;
    return I18N_OK;
}

int32_t open_load(CacheEntry &e, I18N_HANDLE &h, const char *name, int32_t mode) {
    PlatFile f(name, "rb");
    if (!f) return I18N_E_OPEN;
    e.mode = mode;
    e.modified = false;
    const int32_t status = e.file.load(f);
    if (status != I18N_OK) return status;
    ++(mode == I18N_MODE_UPDATE ? e.writers : e.readers);
    h.open = true;
    return I18N_OK;
}

// Copies a value found and its terminator, when they fit. The terminator
// goes first, so that nothing has to be kept across the copy: a lookup is
// a few nanoseconds, and saving registers around the call is a good part
// of them.
[[gnu::always_inline]] inline int32_t copy_value(std::u16string_view value, char16_t *out,
                                                 int32_t capacity) {
    if (out == nullptr || capacity < 1 || value.size() > static_cast<std::size_t>(capacity) - 1) {
        return I18N_E_TOOLONG;
    }
    out[value.size()] = 0;
    std::memcpy(out, value.data(), value.size() * sizeof(char16_t));  // never null
    return I18N_OK;
}

bool valid(const I18N_HANDLE *h) {
    return h != nullptr && h->magic == kHandleMagic && h->entry != nullptr;
}

}  // namespace
}  // namespace i18n

using namespace i18n;

extern "C" {

int32_t i18nuni_HandleGet(const char16_t *component, const char16_t *language, const char16_t *file,
                          const I18N_FILE_SPEC *spec, I18N_HANDLE **handle) {
    if (spec == nullptr) return I18N_E_SPEC;
    if (handle == nullptr) return I18N_E_HANDLE;
    char16_t name[I18N_PATH_MAX];
    const int32_t status = i18npath_FileName(name, I18N_PATH_MAX, spec->location, I18N_FT_CATALOGUE,
                                             file, language, component);
    if (status != I18N_OK) return status;
    std::unique_ptr<I18N_HANDLE, Delete> h(make<I18N_HANDLE>());
    if (h == nullptr) return I18N_E_NOMEM;
    CacheEntry *entry = find_entry(name, spec->format);
    if (entry == nullptr) {
        auto fresh = new_entry(name, *spec, view(component), view(language));
        if (fresh == nullptr) return I18N_E_NOMEM;
        fresh->next = g_cache;
        g_cache = entry = fresh.release();
    }
    attach(*entry, *h);
    *handle = h.release();
    return I18N_OK;
}

int32_t i18nuni_FileOpen(I18N_HANDLE *handle, int32_t mode) {
    if (!valid(handle)) return I18N_E_HANDLE;
    if (handle->open) return I18N_E_ISOPEN;
    CacheEntry &e = *handle->entry;
    char name[I18N_PATH_MAX];
    if (uniascii_fromUnistr(name, I18N_PATH_MAX - 1, e.name.c_str()) != I18N_OK) {
        return I18N_E_NAME;
    }
    switch (mode) {
        case I18N_MODE_EXISTS:
            return open_exists(name);
        case I18N_MODE_CREATE:
            return open_create(e, *handle, name);
        case I18N_MODE_UPDATE:
            if (e.writers > 0 || e.readers > 0) return I18N_E_CONFLICT;
            return open_load(e, *handle, name, mode);
        case I18N_MODE_READ:
            if (e.writers > 0) return I18N_E_CONFLICT;
            if (e.readers == 0) return open_load(e, *handle, name, mode);
            ++e.readers;
            handle->open = true;
            return I18N_OK;
        default:
            return I18N_E_MODE;
    }
}

int32_t i18nuni_LookupByKey(I18N_HANDLE *handle, const char16_t *key, char16_t *out,
                            int32_t capacity) {
    if (!valid(handle)) return I18N_E_HANDLE;
    if (!handle->open) return I18N_E_CONFLICT;
    if (key == nullptr) return I18N_E_NOKEY;
    const Catalogue &file = handle->entry->file;
    const IndexedEntry *found = file.find(key);
    return found == nullptr ? I18N_E_NOTFOUND : copy_value(file.value_of(*found), out, capacity);
}

// The key text of a number is eight upper-case hex digits; the catalogue
// indexes those keys by number as well, so no key text is formed here.
int32_t i18nuni_LookupByKeyNum(I18N_HANDLE *handle, int32_t number, char16_t *out,
                               int32_t capacity) {
    if (!valid(handle)) return I18N_E_HANDLE;
    if (!handle->open) return I18N_E_CONFLICT;
    const NumberSlot *found = handle->entry->file.find_number(static_cast<uint32_t>(number));
    return found == nullptr ? I18N_E_NOTFOUND
                            : copy_value(Catalogue::value_of(*found), out, capacity);
}

}  // extern "C"
