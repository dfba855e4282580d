// The properties store: an ordered list of properties (and the comment
// lines kept from the file) mirroring the context's properties file.
#pragma once

#include <cstdint>
#include <ctime>

#include "diag/errinfo.h"
#include "support/list.h"
#include "support/platform.h"
#include "support/table.h"

namespace kavrel {

inline constexpr uint32_t PROP_DES_MAGIC = 0x50524F50u;
inline constexpr uint32_t PROP_CLEARTEXT = 1;
inline constexpr uint32_t PROP_COMMENT = 2;

// A property and its first key and value are one tracked block (the texts
// follow the record); a value set later is a block of its own.
struct PROPERTY {
    KAVREL_LINK propq;  // first: link and record share an address
    char *key;          // null for a comment
    char *value;        // the value, or a comment's whole text; never null
    uint32_t type;
    char key_tail[3];     // the key's last three characters, when it has three
    uint32_t index_hash;  // of the key (or a comment's text), for the key index
};

// Identity of the file as this store last read or wrote it: a change of any
// field means another writer has been at it.
struct FileStamp {
    int64_t mtime_ns;
    int64_t size;
    uint64_t device;
    uint64_t inode;
    bool known;
};

struct PROP_DES {
    KAVREL_LINK props;
    RecursiveLock lock;
    uint32_t magic;
    KAVREL_CTX *ctx;
    std::time_t last_use;
    FileStamp stamp;
    // The key index (keys and comment texts), in tracked memory; its count
    // is the number of records. Without a table (none could be allocated)
    // lookups walk the list.
    HashTable index;
    // Counts the changes of the list (records added, changed or freed), so
    // that readers of settings can tell when to read them again.
    uint32_t generation;
};

using PROP_LOAD_CB = int (*)(KAVREL_CTX *ctx, const char *key, const char *value);
using PROP_LIST_CB = uint32_t (*)(KAVREL_CTX *ctx, const char *key, const char *value);

// ---- the list ---------------------------------------------------------------

uint32_t prop_init(KAVREL_CTX *ctx, PROP_DES **prop_ctx, KAVREL_ERR_INFO *err_info);
uint32_t prop_free(PROP_DES **prop_ctx, KAVREL_ERR_INFO *err_info);
uint32_t prop_get(PROP_DES *prop_des, const char *key, char *value, uint32_t *value_len,
                  KAVREL_ERR_INFO *err_info);
uint32_t prop_set(PROP_DES *prop_des, const char *key, const char *value,
                  KAVREL_ERR_INFO *err_info);
uint32_t prop_list(PROP_DES *prop_des, PROP_LIST_CB prop_list_cb, KAVREL_ERR_INFO *err_info);
void prop_dump(PROP_DES *prop_des, KAVREL_ERR_INFO *err_info);
uint32_t prop_generation(PROP_DES *prop_des);

// Internal. Whether the descriptor is one (else the failed precondition is
// reported, quoting `line`).
bool prop__usable(PROP_DES *prop_des, KAVREL_ERR_INFO *err_info, int line);
inline constexpr const char *kPropMagicCondition =
    "((prop_des != (PROP_DES *) NULL) && (prop_des->magic == PROP_DES_MAGIC))";

// Internal: the caller holds the descriptor's lock.
uint32_t set__property(PROP_DES *prop_des, const char *key, const char *value,
                       KAVREL_ERR_INFO *err_info);
PROPERTY *find__property(PROP_DES *prop_des, const char *key, const char *value,
                         const char **found_key, const char **found_value);
uint32_t add__property(PROP_DES *prop_des, const char *key, const char *value,
                       KAVREL_ERR_INFO *err_info);
uint32_t update__property(PROP_DES *prop_des, PROPERTY *record, const char *value,
                          KAVREL_ERR_INFO *err_info);
void free__property(PROP_DES *prop_des, PROPERTY *record, bool unlink, KAVREL_ERR_INFO *err_info);
uint32_t free__properties(PROP_DES *prop_des, KAVREL_ERR_INFO *err_info);
const char *alloc__key(PROP_DES *prop_des, const char *key, KAVREL_ERR_INFO *err_info);
void free__key(PROP_DES *prop_des, const char *key, const char *used_key);
void prop_trace(PROP_DES *prop_des, const char *format, ...) KAVREL_PRINTF(2, 3);
// A value as traces and dumps show it: "***" for a secret, that is the
// value of a key whose name ends in "password".
const char *prop_shown(const char *key, const char *value);

// ---- the file ---------------------------------------------------------------

uint32_t prop_load(PROP_DES *prop_des, const char *prop_file, PROP_LOAD_CB prop_load_cb,
                   KAVREL_ERR_INFO *err_info);
uint32_t prop_save(PROP_DES *prop_des, const char *prop_file, KAVREL_ERR_INFO *err_info);
PlatStream open__file(const char *name, const char *mode, KAVREL_ERR_INFO *err_info);
uint32_t stat__file(const char *name, FileInfo *status, KAVREL_ERR_INFO *err_info);

}  // namespace kavrel
