#include "msg.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "kavrel_ctx.h"
#include "route.h"

namespace kavrel {
namespace {

constexpr int kUnits = 8192;    // UTF-16 units of a template, a text or a value
constexpr int kScratch = 8192;  // bytes of one value as 8-bit text
constexpr int kPathText = 256;  // the path quoted in failure texts
constexpr int32_t kFitStatus = I18N_E_ASCII_FIT;

// The msg lock guards the descriptor list, the composition buffers and every
// call into the localisation library, which has no lock of its own.
std::recursive_mutex &msg_lock() {
    static std::recursive_mutex lock;
    return lock;
}

KAVREL_LINK g_descriptors = {&g_descriptors, &g_descriptors};

// The composition buffers, used only under the msg lock.
struct Buffers {
    char16_t templ[kUnits + 1];
    char16_t composed[kUnits + 1];
    char scratch[kScratch];
    char16_t slots[I18N_ARGS_MAX][kUnits + 1];
    I18N_ARGS args;
};
Buffers g_buffers;

int32_t failure(char *dst, int32_t capacity, int32_t status, const char *format, ...)
    KAVREL_PRINTF(4, 5);
int32_t failure(char *dst, int32_t capacity, int32_t status, const char *format, ...) {
    if (dst != nullptr && capacity > 0) {
        va_list values;
        va_start(values, format);
        format_text(dst, static_cast<std::size_t>(capacity), format, values);
        va_end(values);
    }
    return status;
}

void copy_cut(char *dst, const char *src, int max) {
    std::strncpy(dst, src, static_cast<std::size_t>(max));
    dst[max] = '\0';
}

LOCALE_DES *find_descriptor(const char *locale, const char *component, const char *msgfile) {
    for (KAVREL_LINK *l = g_descriptors.next; l != &g_descriptors; l = l->next) {
        auto *des = list_entry<LOCALE_DES>(l, offsetof(LOCALE_DES, link));
        if (std::strcmp(des->locale, locale) == 0 && std::strcmp(des->component, component) == 0 &&
            std::strcmp(des->msgfile, msgfile) == 0) {
            return des;
        }
    }
    return nullptr;
}

// The names of a catalogue in the forms the localisation library takes.
struct CatalogueName {
    char16_t component[kComponentMax + 1];
    char16_t msgfile[kMsgfileMax + 1];
    char16_t language[kMsgfileMax + 1];
    char path[kPathText];
    I18N_FILE_SPEC spec;
};

int32_t name_catalogue(CatalogueName &name, const char *locale, const char *msgdir,
                       const char *component, const char *msgfile, char *errtext, int32_t size) {
    i18nuni_FileSpecInit(&name.spec);
    if (uniascii_toUnistr(name.component, kComponentMax, component) != I18N_OK) {
        return failure(errtext, size, kFitStatus,
                       "Failed to convert ASCII component name to UNICODE");
    }
    if (uniascii_toUnistr(name.msgfile, kMsgfileMax, msgfile) != I18N_OK) {
        return failure(errtext, size, kFitStatus, "Failed to convert ASCII filename to UNICODE");
    }
    if (msgdir == nullptr) {
        // Below the installation root the language directory is lower case.
        char lower[kMsgfileMax + 1];
        std::size_t i = 0;
        for (; locale[i] != '\0' && i < kMsgfileMax; ++i) {
            lower[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(locale[i])));
        }
        lower[i] = '\0';
        if (uniascii_toUnistr(name.language, kMsgfileMax, locale) != I18N_OK) {
            return failure(errtext, size, kFitStatus,
                           "Failed to convert ASCII language name to UNICODE");
        }
        constexpr char sep = i18n::kPathSeparator;
        text_printf(name.path, sizeof name.path, "%s%clocales%cunicode%c%s%c%s%c%s.lcu", "%ORVANE%",
                    sep, sep, sep, component, sep, lower, sep, msgfile);
        return 0;
    }
    name.spec.location = I18N_LOC_DIR;
    char language[kMsgfileMax];
    const int n =
        text_printf(language, sizeof language, "%s%c%s", msgdir, i18n::kPathSeparator, locale);
    if (n < 0 || uniascii_toUnistr(name.language, kMsgfileMax, language) != I18N_OK) {
        return failure(errtext, size, kFitStatus, "Failed to convert ASCII filename to UNICODE");
    }
    // In the product's directory the locale is taken as it is given.
    text_printf(name.path, sizeof name.path, "%s%c%s%c%s.lcu", msgdir, i18n::kPathSeparator, locale,
                i18n::kPathSeparator, msgfile);
    return 0;
}

int32_t open_catalogue(KAVREL_CTX *ctx, const char *locale, const char *msgdir,
                       const char *component, const char *msgfile, LOCALE_DES **msg_ctx,
                       char *errtext, int32_t size) {
    CatalogueName name;
    if (int32_t status = name_catalogue(name, locale, msgdir, component, msgfile, errtext, size)) {
        return status;
    }
    I18N_HANDLE *handle = nullptr;
    int32_t rc =
        i18nuni_HandleGet(name.component, name.language, name.msgfile, &name.spec, &handle);
    if (rc != I18N_OK) {
        return failure(errtext, size, rc, "%s %s '%s' (%s %d)", "Failed to get a Verblib handle",
                       "for the localised message file", name.path, "i18nuni_HandleGet returned",
                       rc);
    }
    rc = i18nuni_FileOpen(handle, I18N_MODE_READ);
    if (rc != I18N_OK) {
        return failure(errtext, size, rc, "%s '%s' (%s %d)",
                       "Failed to open the localised message file", name.path,
                       "i18nuni_FileOpen returned", rc);
    }
    auto *des = static_cast<LOCALE_DES *>(kavrel_alloc(ctx, sizeof(LOCALE_DES)));
    if (des == nullptr) {
        return failure(errtext, size, KAVREL_E_PATH_NOMEM,
                       "Failed to allocate %d bytes for a locale descriptor.",
                       static_cast<int>(sizeof(LOCALE_DES)));
    }
    des->magic = LOCALE_DES_MAGIC;
    copy_cut(des->locale, locale, kLocaleMax);
    copy_cut(des->component, component, kComponentMax);
    copy_cut(des->msgfile, msgfile, kMsgfileMax);
    des->refcount = 1;
    des->handle = handle;
    list_append(&g_descriptors, &des->link);
    *msg_ctx = des;
    return 0;
}

// One value in the next slot: UTF-8 when it is valid, else byte for byte.
int32_t widen_value(const char *text, char16_t *slot) {
    if (uniutf8_utf8ToUnistr(slot, kUnits + 1, text, nullptr, nullptr) >= 0) return I18N_OK;
    return uniascii_toUnistr(slot, kUnits, text);
}

// Takes the values of `format` (only %d and %s) into the argument list.
int32_t collect_values(const char *format, va_list values, char *dst, int32_t size) {
    Buffers &b = g_buffers;
    for (const char *p = format; *p != '\0' && b.args.last + 1 < I18N_ARGS_MAX; ++p) {
        if (*p != '%') continue;
        const char conversion = *++p;
        if (conversion == '\0') break;
        if (conversion == 'd') {
            std::snprintf(b.scratch, kScratch, "%d", va_arg(values, int));
        } else if (conversion == 's') {
            const char *s = va_arg(values, const char *);
            copy_cut(b.scratch, s == nullptr ? "(null)" : s, kScratch - 1);
        } else {
            return failure(dst, size, static_cast<int32_t>(KAVREL_E_PROGRAMMING),
                           "Unsupported conversion %%%c in a localised message format", conversion);
        }
        char16_t *slot = b.slots[b.args.last + 1];
        if (int32_t rc = widen_value(b.scratch, slot); rc != I18N_OK) {
            return failure(dst, size, rc, "Failed to convert ASCII message parameter to UNICODE");
        }
        if (i18nargs_add(&b.args, slot) == 0) {
            return failure(dst, size, kFitStatus,
                           "Failed to add a UNICODE message parameter when generating the error "
                           "message");
        }
    }
    return 0;
}

int32_t compose_localised(LOCALE_DES *des, char *dst, int32_t *size, int32_t number,
                          const char *format, va_list values) {
    Buffers &b = g_buffers;
    b.templ[0] = b.composed[0] = u'\0';
    if (int32_t rc = i18nargs_init(&b.args); rc != I18N_OK) {
        return failure(dst, *size, kFitStatus, "%s (%s %d)",
                       "Failed to initialise localisation arguments", "i18nargs_init returned", rc);
    }
    if (format != nullptr) {
        if (int32_t rc = collect_values(format, values, dst, *size)) return rc;
    }
    int32_t rc = i18nuni_LookupByKeyNum(des->handle, number, b.templ, kUnits);
    if (rc != I18N_OK) {
        return failure(dst, *size, rc, "%s (%s %d)", "Failed to find localised error message",
                       "i18nuni_LookupByKeyNum returned", rc);
    }
    rc = i18nstrb_Compose(b.composed, kUnits, b.templ, &b.args);
    if (rc != I18N_OK) {
        return failure(dst, *size, rc, "%s (%s %d)", "Failed to create a localised error message",
                       "i18nstrb_Compose returned", rc);
    }
    rc = uniutf8_unistrToUTF8(dst, *size, b.composed, nullptr);
    if (rc < 0) {
        return failure(dst, *size, rc, "%s (%s %d)",
                       "Failed to convert a localised error message to UTF-8",
                       "uniutf8_unistrToUTF8 returned", rc);
    }
    *size = rc;
    return 0;
}

}  // namespace

int32_t msg_init(KAVREL_CTX *ctx, const char *locale, const char *msgdir, const char *component,
                 const char *msgfile, LOCALE_DES **msg_ctx, char *errtext, int32_t errtext_size) {
    const struct {
        const char *name;
        bool missing;
    } checks[] = {{"locale", locale == nullptr || *locale == '\0'},
                  {"component", component == nullptr || *component == '\0'},
                  {"msgfile", msgfile == nullptr || *msgfile == '\0'},
                  {"msg_ctx pointer", msg_ctx == nullptr}};
    for (const auto &check : checks) {
        if (check.missing) {
            return failure(errtext, errtext_size, KAVREL_E_PROGRAMMING,
                           "Programming Error: NULL %s specified to %s", check.name, "msg_init");
        }
    }
    *msg_ctx = nullptr;
    std::lock_guard lock(msg_lock());
    if (LOCALE_DES *des = find_descriptor(locale, component, msgfile)) {
        ++des->refcount;
        *msg_ctx = des;
        return 0;
    }
    return open_catalogue(ctx, locale, msgdir, component, msgfile, msg_ctx, errtext, errtext_size);
}

int32_t msg_compose(LOCALE_DES *msg_ctx, char *dst, int32_t *size, int32_t number,
                    const char *format, va_list values) {
    if (msg_ctx == nullptr || number == 0 || msg_ctx->magic != LOCALE_DES_MAGIC) {
        *size = format_text(dst, *size > 0 ? static_cast<std::size_t>(*size) : 0, format, values);
        return msg_ctx == nullptr || number == 0 ? 0 : static_cast<int32_t>(KAVREL_E_PROGRAMMING);
    }
    std::lock_guard lock(msg_lock());
    return compose_localised(msg_ctx, dst, size, number, format, values);
}

int32_t msg_composef(LOCALE_DES *msg_ctx, char *dst, int32_t *size, int32_t number,
                     const char *format, ...) {
    va_list values;
    va_start(values, format);
    const int32_t rc = msg_compose(msg_ctx, dst, size, number, format, values);
    va_end(values);
    return rc;
}

}  // namespace kavrel
