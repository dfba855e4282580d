// The property list of a PROP_DES: records in the order they were first
// added (the order of the file's lines), found through a key index.
#include <cstring>
#include <string_view>

#include "diag/route.h"
#include "diag/trace.h"
#include "kavrel_ctx.h"
#include "prop.h"

namespace kavrel {
namespace {

constexpr const char *kSource = "prop";
constexpr uint32_t kFirstBuckets = 16;

PROPERTY *record_of(KAVREL_LINK *link) {
    return reinterpret_cast<PROPERTY *>(link);
}

void report_nomem(PROP_DES *prop_des, KAVREL_ERR_INFO *err_info, std::size_t bytes) {
    if (err_info != nullptr) {
        errinfo_add(err_info, KAVREL_SEV_ERROR, KAVREL_E_NOMEM, "Failed to allocate %d bytes.",
                    static_cast<int>(bytes));
    } else {
        char text[64];
        text_printf(text, sizeof text, "Failed to allocate %d bytes.", static_cast<int>(bytes));
        line_out(prop_des->ctx, KAVREL_SEV_ERROR, KAVREL_E_NOMEM, text);
    }
}

// A copy of s in the store's memory, or null (reported).
char *copy_text(PROP_DES *prop_des, const char *s, KAVREL_ERR_INFO *err_info) {
    const std::size_t bytes = std::strlen(s) + 1;
    char *copy = bytes > UINT32_MAX ? nullptr : mem_strdup(prop_des->ctx, s);
    if (copy == nullptr) report_nomem(prop_des, err_info, bytes);
    return copy;
}

// ---- the key index ----------------------------------------------------------
// Keyed by (kind, text): keys for properties, the whole text for comments.
// It only speeds lookups up: when it cannot grow it keeps its size while a
// slot is free, and without a table lookups walk the list.

uint32_t text_hash(uint32_t type, const char *s) noexcept {
    uint32_t h = 2166136261u ^ type;
    for (; *s != '\0'; ++s) h = (h ^ static_cast<unsigned char>(*s)) * 16777619u;
    return h ^ (h >> 16);  // the table takes the low bits
}

// A table for every record, built afresh from the list; false when it
// cannot be allocated.
bool index_rebuild(PROP_DES *d) {
    const uint32_t capacity = HashTable::capacity_for(d->index.count, kFirstBuckets);
    auto *fresh = capacity == 0 ? nullptr
                                : static_cast<HashSlot *>(kavrel_alloc(
                                      d->ctx, static_cast<uint32_t>(capacity * sizeof(HashSlot))));
    if (fresh == nullptr) return false;
    kavrel_dealloc(d->ctx, d->index.reset(fresh, capacity));
    for (KAVREL_LINK *l = d->props.next; l != &d->props; l = l->next) {
        d->index.insert(record_of(l)->index_hash, record_of(l));
    }
    return true;
}

// The record is on the list already.
void index_add(PROP_DES *d, PROPERTY *record) {
    record->index_hash = text_hash(record->type, record->key ? record->key : record->value);
    ++d->index.count;
    if (d->index.fits(d->index.count)) {
        d->index.insert(record->index_hash, record);
    } else if (!index_rebuild(d) && d->index.slots != nullptr) {
        if (d->index.count < d->index.capacity()) {
            d->index.insert(record->index_hash, record);
        } else {  // a full table must not stay in use: fall back to the list
            kavrel_dealloc(d->ctx, d->index.drop());
        }
    }
}

void index_remove(PROP_DES *d, PROPERTY *record) noexcept {
    --d->index.count;
    d->index.erase(record->index_hash, record);
}

// The value a record was created with sits in the record's own block; a
// later value is a block of its own.
void release_value(PROP_DES *d, PROPERTY *record) {
    const char *text = reinterpret_cast<const char *>(record + 1);
    const std::size_t key_size = record->key != nullptr ? std::strlen(record->key) + 1 : 0;
    if (record->value != text + key_size) kavrel_dealloc(d->ctx, record->value);
}

bool tail_differs(const PROPERTY *record, const char *key, std::size_t length) noexcept {
    return length >= 3 && std::memcmp(record->key_tail, key + length - 3, 3) != 0;
}

bool matches(const PROPERTY *record, uint32_t type, const char *text) noexcept {
    if (record->type != type) return false;
    return std::strcmp(type == PROP_COMMENT ? record->value : record->key, text) == 0;
}

PROPERTY *find_record(PROP_DES *d, uint32_t type, const char *text) {
    if (d->index.slots != nullptr) {
        return static_cast<PROPERTY *>(d->index.find(text_hash(type, text), [&](void *r) {
            return matches(static_cast<PROPERTY *>(r), type, text);
        }));
    }
    const std::size_t length = std::strlen(text);
    for (KAVREL_LINK *l = d->props.next; l != &d->props; l = l->next) {
        PROPERTY *r = record_of(l);
        if (type == PROP_CLEARTEXT && r->type == PROP_CLEARTEXT && tail_differs(r, text, length)) {
            continue;
        }
        if (matches(r, type, text)) return r;
    }
    return nullptr;
}

void dump_text(KAVREL_CTX *ctx, PROPERTY *record) {
    trace_always(ctx, "\tPROPERTY at 0x%p\n", static_cast<void *>(record));
    trace_always(ctx, "\t\tkey: '%s', value: '%s'\n", or_null(record->key),
                 or_null(prop_shown(record->key, record->value)));
    list_dump_link(ctx, "\t\tpropq", &record->propq);
}

}  // namespace

bool prop__usable(PROP_DES *prop_des, KAVREL_ERR_INFO *err_info, int line) {
    if (prop_des == nullptr) {
        errinfo_precondition(err_info, kSource, line, "(prop_ctx != NULL)");
        return false;
    }
    if (prop_des->magic != PROP_DES_MAGIC) {
        errinfo_precondition(err_info, kSource, line, kPropMagicCondition);
        return false;
    }
    return true;
}

void prop_trace(PROP_DES *prop_des, const char *format, ...) {
    if (!trace_on(prop_des->ctx, KAVREL_TRACE_PROP)) return;
    va_list values;
    va_start(values, format);
    trace_vprintf(prop_des->ctx, format, values);
    va_end(values);
}

uint32_t prop_init(KAVREL_CTX *ctx, PROP_DES **prop_ctx, KAVREL_ERR_INFO *err_info) {
    if (prop_ctx == nullptr) {
        return errinfo_precondition(err_info, kSource, __LINE__, "(prop_ctx != NULL)");
    }
    *prop_ctx = nullptr;
    auto *d = static_cast<PROP_DES *>(kavrel_alloc(ctx, sizeof(PROP_DES)));
    if (d == nullptr) {
        if (err_info != nullptr) {
            errinfo_add(err_info, KAVREL_SEV_ERROR, KAVREL_E_NOMEM, "Failed to allocate %d bytes.",
                        static_cast<int>(sizeof(PROP_DES)));
        }
        return static_cast<uint32_t>(KAVREL_E_NOMEM);
    }
    d->magic = PROP_DES_MAGIC;
    d->ctx = ctx;
    list_init(&d->props);
    d->last_use = 0;
    d->lock.create();
    prop_trace(d, "PROP %s(%p)\n", "prop_init:", static_cast<void *>(d));
    *prop_ctx = d;
    return 0;
}

uint32_t prop_free(PROP_DES **prop_ctx, KAVREL_ERR_INFO *err_info) {
    if (prop_ctx == nullptr) {
        return errinfo_precondition(err_info, kSource, __LINE__, "(prop_ctx != NULL)");
    }
    if (*prop_ctx == nullptr) {
        return errinfo_precondition(err_info, kSource, __LINE__, "(*prop_ctx != NULL)");
    }
    PROP_DES *d = *prop_ctx;
    if (d->magic != PROP_DES_MAGIC) {
        return errinfo_precondition(err_info, kSource, __LINE__, kPropMagicCondition);
    }
    prop_trace(d, "%s(%p)\n", "prop_free:", static_cast<void *>(d));
    free__properties(d, err_info);
    d->lock.destroy();
    KAVREL_CTX *ctx = d->ctx;
    kavrel_dealloc(ctx, d->index.slots);
    d->magic = 0;
    kavrel_dealloc(ctx, d);
    return 0;
}

uint32_t prop_get(PROP_DES *prop_des, const char *key, char *value, uint32_t *value_len,
                  KAVREL_ERR_INFO *err_info) {
    if (!prop__usable(prop_des, err_info, __LINE__)) return KAVREL_E_PROGRAMMING;
    if (key == nullptr) {
        return errinfo_precondition(err_info, kSource, __LINE__, "(key != NULL)");
    }
    if (value_len == nullptr) {
        return errinfo_precondition(err_info, kSource, __LINE__, "(value_len != NULL)");
    }
    const uint32_t max_value_len = *value_len;
    const char *used = alloc__key(prop_des, key, err_info);
    if (used == nullptr) return static_cast<uint32_t>(KAVREL_E_NOMEM);
    uint32_t status = 1;
    {
        LockGuard lock(prop_des->lock);
        const char *found_value = nullptr;
        if (find__property(prop_des, used, nullptr, nullptr, &found_value) != nullptr) {
            status = 0;
            const std::size_t length = std::strlen(found_value);
            *value_len = static_cast<uint32_t>(length);
            if (value != nullptr) {
                if (length > max_value_len) {
                    errinfo_precondition(err_info, kSource, __LINE__,
                                         "(*value_len <= max_value_len)");
                    status = KAVREL_E_PROGRAMMING;
                }
                const std::size_t n = length < max_value_len ? length : max_value_len;
                std::memcpy(value, found_value, n);
                value[n] = '\0';
            }
        }
    }
    free__key(prop_des, key, used);
    return status;
}

uint32_t prop_set(PROP_DES *prop_des, const char *key, const char *value,
                  KAVREL_ERR_INFO *err_info) {
    if (!prop__usable(prop_des, err_info, __LINE__)) return KAVREL_E_PROGRAMMING;
    if (key == nullptr) {
        return errinfo_precondition(err_info, kSource, __LINE__, "(key != NULL)");
    }
    const char *used = alloc__key(prop_des, key, err_info);
    if (used == nullptr) return static_cast<uint32_t>(KAVREL_E_NOMEM);
    uint32_t status = 0;
    {
        LockGuard lock(prop_des->lock);
        status = set__property(prop_des, used, value, err_info);
    }
    free__key(prop_des, key, used);
    return status;
}

uint32_t prop_list(PROP_DES *prop_des, PROP_LIST_CB prop_list_cb, KAVREL_ERR_INFO *err_info) {
    if (!prop__usable(prop_des, err_info, __LINE__)) return KAVREL_E_PROGRAMMING;
    if (prop_list_cb == nullptr) {
        return errinfo_precondition(err_info, kSource, __LINE__, "(prop_list_cb != NULL)");
    }
    LockGuard lock(prop_des->lock);
    uint32_t status = 0;
    for (KAVREL_LINK *l = prop_des->props.next; l != &prop_des->props; l = l->next) {
        PROPERTY *r = record_of(l);
        if (r->type != PROP_CLEARTEXT) continue;
        status = prop_list_cb(prop_des->ctx, r->key, r->value);
        if (status == 3) break;
    }
    return status;
}

void prop_dump(PROP_DES *prop_des, KAVREL_ERR_INFO *err_info) {
    if (prop_des == nullptr) return;
    if (prop_des->magic != PROP_DES_MAGIC) {
        errinfo_precondition(err_info, kSource, __LINE__, kPropMagicCondition);
        return;
    }
    LockGuard lock(prop_des->lock);
    trace_always(prop_des->ctx, "--PROPERTIES list at 0x%p\n", static_cast<void *>(prop_des));
    for (KAVREL_LINK *l = prop_des->props.next; l != &prop_des->props; l = l->next) {
        dump_text(prop_des->ctx, record_of(l));
    }
}

uint32_t set__property(PROP_DES *prop_des, const char *key, const char *value,
                       KAVREL_ERR_INFO *err_info) {
    PROPERTY *record = find__property(prop_des, key, value, nullptr, nullptr);
    if (key == nullptr && record != nullptr) return 0;
    if (record == nullptr)
        return value == nullptr ? 0 : add__property(prop_des, key, value, err_info);
    if (value != nullptr) return update__property(prop_des, record, value, err_info);
    free__property(prop_des, record, true, err_info);
    return 0;
}

PROPERTY *find__property(PROP_DES *prop_des, const char *key, const char *value,
                         const char **found_key, const char **found_value) {
    PROPERTY *record = nullptr;
    if (key != nullptr) {
        record = find_record(prop_des, PROP_CLEARTEXT, key);
    } else if (value != nullptr && value[0] == '#') {
        record = find_record(prop_des, PROP_COMMENT, value);
    }
    if (found_key != nullptr) *found_key = record != nullptr ? record->key : nullptr;
    if (found_value != nullptr) *found_value = record != nullptr ? record->value : nullptr;
    return record;
}

uint32_t add__property(PROP_DES *prop_des, const char *key, const char *value,
                       KAVREL_ERR_INFO *err_info) {
    // One block: the record, then the key's copy, then the value's.
    const std::size_t key_size = key != nullptr ? std::strlen(key) + 1 : 0;
    const std::size_t value_size = std::strlen(value) + 1;
    const std::size_t bytes = sizeof(PROPERTY) + key_size + value_size;
    auto *r =
        bytes > UINT32_MAX
            ? nullptr
            : static_cast<PROPERTY *>(kavrel_alloc(prop_des->ctx, static_cast<uint32_t>(bytes)));
    if (r == nullptr) {
        report_nomem(prop_des, err_info, bytes);
        return static_cast<uint32_t>(KAVREL_E_NOMEM);
    }
    list_init(&r->propq);
    char *text = reinterpret_cast<char *>(r + 1);
    if (key != nullptr) {
        if (key_size > 3) std::memcpy(r->key_tail, key + key_size - 4, 3);
        r->key = static_cast<char *>(std::memcpy(text, key, key_size));
        r->type = PROP_CLEARTEXT;
        prop_trace(prop_des, "PROP %s(%p): %s=%s\n",
                   "add__property:", static_cast<void *>(prop_des), key, prop_shown(key, value));
    } else {
        r->type = PROP_COMMENT;
        prop_trace(prop_des, "PROP %s(%p): %s\n", "add__property:", static_cast<void *>(prop_des),
                   value);
    }
    r->value = static_cast<char *>(std::memcpy(text + key_size, value, value_size));
    list_append(&prop_des->props, &r->propq);
    index_add(prop_des, r);
    ++prop_des->generation;
    return 0;
}

const char *prop_shown(const char *key, const char *value) {
    constexpr std::string_view kSecret = "password";
    const std::string_view name = key != nullptr ? key : "";
    return name.size() >= kSecret.size() && name.substr(name.size() - kSecret.size()) == kSecret
               ? "***"
               : value;
}

uint32_t update__property(PROP_DES *prop_des, PROPERTY *record, const char *value,
                          KAVREL_ERR_INFO *err_info) {
    if (std::strcmp(record->value, value) == 0) return 0;
    char *copy = copy_text(prop_des, value, err_info);
    if (copy == nullptr) return static_cast<uint32_t>(KAVREL_E_NOMEM);
    prop_trace(prop_des, "PROP %s(%p): %s=%s\n", "update__property:", static_cast<void *>(prop_des),
               record->key, prop_shown(record->key, value));
    release_value(prop_des, record);
    record->value = copy;
    ++prop_des->generation;
    return 0;
}

void free__property(PROP_DES *prop_des, PROPERTY *record, bool unlink, KAVREL_ERR_INFO *err_info) {
    if (unlink) list_remove(&record->propq);
    index_remove(prop_des, record);
    if (record->key != nullptr) {
        if (record->type != PROP_CLEARTEXT) {
            errinfo_precondition(err_info, kSource, __LINE__, "(prop->type == PROP_CLEARTEXT)");
        }
        prop_trace(prop_des, "PROP %s(%p): %s=%s\n",
                   "free__property:", static_cast<void *>(prop_des), record->key,
                   prop_shown(record->key, record->value));
    } else {
        prop_trace(prop_des, "PROP %s(%p): %s\n", "free__property:", static_cast<void *>(prop_des),
                   record->value);
    }
    release_value(prop_des, record);
    kavrel_dealloc(prop_des->ctx, record);
    ++prop_des->generation;
}

uint32_t prop_generation(PROP_DES *prop_des) {
    LockGuard lock(prop_des->lock);
    return prop_des->generation;
}

uint32_t free__properties(PROP_DES *prop_des, KAVREL_ERR_INFO *err_info) {
    LockGuard lock(prop_des->lock);
    // The whole list goes: the index is dropped first, not record by record.
    kavrel_dealloc(prop_des->ctx, prop_des->index.drop());
    for (KAVREL_LINK *l = prop_des->props.next; l != &prop_des->props;) {
        PROPERTY *r = record_of(l);
        l = l->next;
        list_remove(&r->propq);
        free__property(prop_des, r, false, err_info);
    }
    prop_des->index.count = 0;
    return 0;
}

const char *alloc__key(PROP_DES *prop_des, const char *key, KAVREL_ERR_INFO *err_info) {
    if (std::strchr(key, '=') == nullptr) return key;
    char *copy = copy_text(prop_des, key, err_info);
    if (copy == nullptr) return nullptr;
    for (char *p = copy; (p = std::strchr(p, '=')) != nullptr; ++p) *p = '?';
    return copy;
}

void free__key(PROP_DES *prop_des, const char *key, const char *used_key) {
    if (used_key != key) kavrel_dealloc(prop_des->ctx, const_cast<char *>(used_key));
}

}  // namespace kavrel
