// Localised message lookup: catalogues opened once per process for each
// locale, component and message file, and the composition of one message in
// UTF-8 from its number, its English format and its values.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "errinfo.h"
#include "i18n.h"

namespace kavrel {

inline constexpr uint32_t LOCALE_DES_MAGIC = 0x4C4F4344u;
inline constexpr int kLocaleMax = 16;
inline constexpr int kComponentMax = 16;
inline constexpr int kMsgfileMax = 256;

// One opened catalogue; never freed, shared by every context that asks for
// the same locale, component and message file.
struct LOCALE_DES {
    KAVREL_LINK link;
    uint32_t magic;
    char locale[kLocaleMax + 1];
    char component[kComponentMax + 1];
    char msgfile[kMsgfileMax + 1];
    I18N_HANDLE *handle;
    int32_t refcount;
};

// Opens (or finds) the catalogue. 0, KAVREL_E_PROGRAMMING (missing argument), KAVREL_E_PATH_NOMEM
// (no memory for the descriptor) or the localisation library's failing status; on failure errtext
// says why.
int32_t msg_init(KAVREL_CTX *ctx, const char *locale, const char *msgdir, const char *component,
                 const char *msgfile, LOCALE_DES **msg_ctx, char *errtext, int32_t errtext_size);

// Composes message `number` into dst. *size holds dst's capacity on entry
// and the text's length on return. 0 when dst holds the message; non-zero
// when it holds a failure text instead.
int32_t msg_compose(LOCALE_DES *msg_ctx, char *dst, int32_t *size, int32_t number,
                    const char *format, va_list values) KAVREL_PRINTF(5, 0);
int32_t msg_composef(LOCALE_DES *msg_ctx, char *dst, int32_t *size, int32_t number,
                     const char *format, ...) KAVREL_PRINTF(5, 6);

}  // namespace kavrel
