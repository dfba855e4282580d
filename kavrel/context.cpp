// The library context: creation, release, attributes and the version.
#include <strings.h>
#include <cstdio>
#include <cstring>

#include "call.h"
#include "diag/msg.h"
#include "diag/route.h"
#include "diag/trace.h"
#include "email/email.h"
#include "prop/prop.h"

namespace kavrel {

std::atomic<uint32_t> g_default_trace{0};

namespace {

constexpr const char *kVersion =
    "libkavrel - Orvane Kavrel Client Support Library/1.8.1/15/32bit/1/P/NT (IX86)/Windows "
    "2000/OPT/Fri Sep 26 16:59:48 2008";
constexpr const char *kAppCtxMessage =
    "Programming Error: kavrel_init() app_ctx parameter should be KAVREL_CONTEXT **";
constexpr const char *kPropertiesName = "tavro.properties";
constexpr int kErrTextSize = 512;

// ---- how the layers below reach the context ------------------------------------

bool memory_tracing(const void *owner) noexcept {
    return trace_on(static_cast<const KAVREL_CTX *>(owner), KAVREL_TRACE_MEMORY);
}

void memory_line(void *owner, bool failure, const char *text) noexcept {
    auto *ctx = static_cast<KAVREL_CTX *>(owner);
    if (failure) {
        line_out(ctx, KAVREL_SEV_ERROR, KAVREL_E_PROGRAMMING, text);
    } else {
        line_out(ctx, KAVREL_SEV_DEBUG, 0, text);
    }
}

constexpr MemReport kMemoryReport{memory_tracing, memory_line};

void begin_record(KAVREL_CTX *ctx, KAVREL_ERR_INFO *err_info) {
    email_read_props(ctx, err_info);
}

uint32_t mail_report(KAVREL_CTX *ctx, const MailSettings &to, const char *subject, const char *body,
                     KAVREL_ERR_INFO *err_info) {
    return email_send(ctx->email, to, subject, body, err_info);
}

void dump_properties(KAVREL_CTX *ctx, KAVREL_ERR_INFO *err_info) {
    prop_dump(ctx->prop, err_info);
}

constexpr DiagHooks kDiagHooks{begin_record, mail_report, dump_properties};

// Locks and wiring of a zero-filled context record.
void wire(KAVREL_CTX *ctx, KAVREL_MESSAGE_HANDLER handler, const DiagHooks *hooks) {
    ctx->messagehandler = handler;
    ctx->memory_report = &kMemoryReport;
    ctx->hooks = hooks;
    ctx->memory_mutex.create();
    ctx->settings_mutex.create();
}

// The stand-by context of kavrel_init: only the handler is set, so that
// messages raised before the real context exists reach the caller.
class StandBy {
  public:
    explicit StandBy(KAVREL_MESSAGE_HANDLER handler) {
        std::memset(static_cast<void *>(&ctx_), 0, sizeof ctx_);
        wire(&ctx_, handler, nullptr);
        list_init(&ctx_.memory);
    }
    ~StandBy() {
        ctx_.memory_mutex.destroy();
        ctx_.settings_mutex.destroy();
    }
    StandBy(const StandBy &) = delete;
    StandBy &operator=(const StandBy &) = delete;
    KAVREL_CTX *get() { return &ctx_; }

  private:
    KAVREL_CTX ctx_;
};

KAVREL_CTX *new_context(KAVREL_MESSAGE_HANDLER handler) {
    auto *ctx = static_cast<KAVREL_CTX *>(plat_alloc(sizeof(KAVREL_CTX)));
    if (ctx == nullptr) return nullptr;
    std::memset(static_cast<void *>(ctx), 0, sizeof *ctx);
    ctx->trace = g_default_trace.load(std::memory_order_relaxed);
    ctx->magic = KAVREL_CTX_MAGIC;
    ctx->smtp_port = 25;
    ctx->emailnotification = 0;
    ctx->email_severity = KAVREL_SEV_WARNING;
    ctx->email_access.per_hour = kMailsPerHour;
    wire(ctx, handler, &kDiagHooks);
    return ctx;
}

void init_lists(KAVREL_CTX *ctx, bool list_lines) {
    const struct {
        KAVREL_LINK *head;
        const char *name;
    } lists[] = {{&ctx->memory, "Memory"}, {&ctx->properties, "Properties"}};
    for (const auto &list : lists) {
        list_init(list.head);
        if (list_lines) {
            trace_always(ctx, "Initialized %s list at %p\n", list.name,
                         static_cast<void *>(list.head));
        }
    }
}

// Binds the message catalogue of the product's locale; a catalogue that
// cannot be opened leaves the context in English (a warning).
const char *bind_catalogue(KAVREL_CTX *ctx, const char *locale, const char *msgdir) {
    if (locale != nullptr && strcasecmp(locale, "en_US") == 0) {
        trace_printf(ctx, KAVREL_TRACE_ALL, "%s(en_US): Verblib will not be used\n", "kavrel_init");
        return locale;
    }
    const char *code = locale_code(locale);
    trace_printf(ctx, KAVREL_TRACE_ALL, "%s: locale set to %s\n", "kavrel_init", code);
    char errtext[kErrTextSize] = "";
    if (msg_init(ctx, code, msgdir, "kavrel", "kavrel", &ctx->msg, errtext, sizeof errtext) != 0) {
        line_out(ctx, KAVREL_SEV_WARNING, KAVREL_M_DIRECT, errtext);
        return "en_US";
    }
    return locale;
}

void trace_creation(KAVREL_CTX *ctx, const char *product_name, const char *instance,
                    const char *templ, const char *propfile, const char *locale,
                    const char *msgdir) {
    trace_printf(ctx, KAVREL_TRACE_ALL, "%s", kavrel_version());
    trace_printf(ctx, KAVREL_TRACE_ALL, "%s called by %s instance %s\n", "kavrel_init",
                 or_null(product_name), or_null(instance));
    trace_printf(ctx, KAVREL_TRACE_ALL, "%s using locale %s with msgs at %s\n", "kavrel_init",
                 or_null(locale), or_null(msgdir));
    trace_printf(ctx, KAVREL_TRACE_ALL, "%s using properties at %s with template at %s\n",
                 "kavrel_init", or_null(propfile), or_null(templ));
    trace_printf(ctx, KAVREL_TRACE_ALL, "%s created CTX at %p\n", "kavrel_init",
                 static_cast<void *>(ctx));
}

// The directory without its trailing separators; an empty one is the
// current directory.
uint32_t store_directory(KAVREL_CTX *ctx, const char *directory) {
    ctx->directory = mem_strdup(ctx, *directory == '\0' ? "." : directory);
    if (ctx->directory == nullptr) return static_cast<uint32_t>(KAVREL_E_PATH_NOMEM);
    std::size_t n = std::strlen(ctx->directory);
    while (n > 0 && (ctx->directory[n - 1] == '\\' || ctx->directory[n - 1] == '/')) --n;
    ctx->directory[n] = '\0';
    return 0;
}

// The properties file: as given, or "<directory>/[<instance>_]tavro.properties".
uint32_t store_propfile(KAVREL_CTX *ctx, const char *propfile) {
    if (propfile != nullptr) {
        ctx->propfile = mem_strdup(ctx, propfile);
        return ctx->propfile == nullptr ? static_cast<uint32_t>(KAVREL_E_PATH_NOMEM) : 0;
    }
    const std::size_t length = std::strlen(ctx->directory) + 1 +
                               (ctx->instance != nullptr ? std::strlen(ctx->instance) + 1 : 0) +
                               std::strlen(kPropertiesName);
    if (length >= UINT32_MAX) return static_cast<uint32_t>(KAVREL_E_PATH_NOMEM);
    auto *path = static_cast<char *>(kavrel_alloc(ctx, static_cast<uint32_t>(length + 1)));
    if (path == nullptr) return static_cast<uint32_t>(KAVREL_E_PATH_NOMEM);
    if (ctx->instance != nullptr) {
        std::snprintf(path, length + 1, "%s%c%s%c%s", ctx->directory, i18n::kPathSeparator,
                      ctx->instance, '_', kPropertiesName);
    } else {
        std::snprintf(path, length + 1, "%s%c%s", ctx->directory, i18n::kPathSeparator,
                      kPropertiesName);
    }
    ctx->propfile = path;
    return 0;
}

uint32_t store_names(KAVREL_CTX *ctx, const char *product_name, const char *instance,
                     const char *locale, const char *directory, const char *propfile) {
    ctx->productname = mem_strdup(ctx, product_name);
    if (instance != nullptr) ctx->instance = mem_strdup(ctx, instance);
    if (locale != nullptr) ctx->locale = mem_strdup(ctx, locale);
    if (uint32_t status = store_directory(ctx, directory)) return status;
    return store_propfile(ctx, propfile);
}

uint32_t context_free(KAVREL_CTX **app_ctx);

constexpr uint32_t kFileMissing = 2;  // the system's "no such file"

// Creates the properties store and loads the file, creating it (from the
// template when there is one) when it does not exist, in the file's turn
// among the stores of every process.
uint32_t open_properties(KAVREL_CTX *ctx, const char *templ, KAVREL_ERR_INFO *err_info) {
    if (uint32_t status = prop_init(ctx, &ctx->prop, err_info)) return status;
    PlatDirLock writers(ctx->propfile);
    const uint32_t status = prop_load(ctx->prop, ctx->propfile, nullptr, err_info);
    if (status != kFileMissing) return status;
    if (templ != nullptr) {
        const uint32_t from = prop_load(ctx->prop, templ, nullptr, err_info);
        if (from != 0 && from != kFileMissing) return from;
    }
    return prop_save(ctx->prop, ctx->propfile, err_info);
}

// Delivers the call's messages, releases the half-built context and fails.
uint32_t fail_init(CallScope &call, KAVREL_CTX **app_ctx, uint32_t status) {
    call.deliver();
    call.end();
    context_free(app_ctx);
    return status;
}

void dump_memory_list(KAVREL_CTX *ctx) {
    static constexpr char kDashes[] =
        "--------------------------------------------------------------------------------\n";
    trace_always(ctx, "%s", kDashes);
    trace_always(ctx, "%s list at %p\n", "Memory", static_cast<void *>(&ctx->memory));
    trace_always(ctx, "%s", "=============================\n");
    {
        LockGuard lock(ctx->memory_mutex);
        for (KAVREL_LINK *l = ctx->memory.next; l != nullptr && l != &ctx->memory; l = l->next) {
            kavrel_mem_dump_block(ctx, reinterpret_cast<const KAVREL_MEM *>(l));
        }
    }
    trace_always(ctx, "%s", kDashes);
}

void set_trace(KAVREL_CTX *ctx, KAVREL_ERR_INFO *err_info, uint32_t value) {
    set_trace_mask(ctx, value);
    trace_printf(ctx, KAVREL_TRACE_ATTR, "%s: (%s%s, 0x%x)\n", "kavrel_set_attr", "KAVREL_A_",
                 "TRACE", value);
    if ((value & KAVREL_TRACE_DUMP) != 0) {
        dump_datastructures(ctx, err_info);
    } else if ((value & KAVREL_TRACE_LISTS) == 0 && (value & KAVREL_TRACE_MEMORY) != 0) {
        dump_memory_list(ctx);
    }
}

constexpr const char *kAttrCondition =
    "((attribute == KAVREL_A_TRACE) || (attribute == KAVREL_A_EMAIL_NOTIFICATION))";

// kavrel_init's scope begins on the stand-by context, is bound to the new
// context once it exists, and on a failure delivers the call's messages and
// ends before the half-built context is released.
uint32_t context_init(KAVREL_CTX **app_ctx, const char *product_name, const char *instance,
                      const char *directory, const char *templ, const char *propfile,
                      const char *locale, const char *msgdir,
                      KAVREL_MESSAGE_HANDLER messagehandler) {
    StandBy standby(messagehandler);
    CallScope call(CallScope::StandBy{}, standby.get());
    const bool list_lines =
        (g_default_trace.load(std::memory_order_relaxed) & KAVREL_TRACE_LISTS) != 0;
    if (app_ctx == nullptr) {
        line_out(standby.get(), KAVREL_SEV_ERROR, KAVREL_E_PROGRAMMING, kAppCtxMessage);
        return KAVREL_E_PROGRAMMING;
    }
    *app_ctx = nullptr;
    KAVREL_CTX *ctx = new_context(messagehandler);
    if (ctx == nullptr) {
        char text[kMsgTextMax + 1];
        std::snprintf(text, sizeof text, "Failed to allocate %d bytes.",
                      static_cast<int>(sizeof(KAVREL_CTX)));
        line_out(standby.get(), KAVREL_SEV_ERROR, KAVREL_E_NOMEM, text);
        return KAVREL_E_NOMEM;
    }
    *app_ctx = ctx;
    trace_creation(ctx, product_name, instance, templ, propfile, locale, msgdir);
    init_lists(ctx, list_lines);
    const char *stored_locale = bind_catalogue(ctx, locale, msgdir);
    call.rebind(ctx);
    if (directory == nullptr || product_name == nullptr) {
        call.refuse(__LINE__,
                    directory == nullptr ? "(directory != NULL)" : "(product_name != NULL)");
        return fail_init(call, app_ctx, KAVREL_E_PROGRAMMING);
    }
    if (uint32_t status =
            store_names(ctx, product_name, instance, stored_locale, directory, propfile)) {
        return fail_init(call, app_ctx, status);
    }
    if (uint32_t status = open_properties(ctx, templ, call.record())) {
        return fail_init(call, app_ctx, status);
    }
    // A properties file that did not exist yet is no news to the product.
    errinfo_discard_last(call.record());
    ctx->helo = email_helo_get(ctx, call.record());
    if (uint32_t status = email_init(ctx, ctx->helo, &ctx->email, call.record())) {
        return fail_init(call, app_ctx, status);
    }
    email_read_props(ctx, call.record());
    return 0;
}

// kavrel_free's scope delivers the call's messages at its start and ends
// before the context it is bound to is released.
uint32_t context_free(KAVREL_CTX **app_ctx) {
    if (app_ctx == nullptr) {
        std::fputs(kAppCtxMessage, stderr);
        return KAVREL_E_PROGRAMMING;
    }
    KAVREL_CTX *ctx = *app_ctx;
    if (ctx == nullptr) return 0;
    CallScope call(ctx, __LINE__);
    if (!call) return KAVREL_E_PROGRAMMING;
    call.deliver();
    if (ctx->prop != nullptr) {
        trace_printf(ctx, KAVREL_TRACE_ALL, "%s freeing properties\n", "kavrel_free");
        prop_free(&ctx->prop, call.record());
        ctx->prop = nullptr;
        call.deliver();
    }
    if (ctx->email != nullptr) {
        trace_printf(ctx, KAVREL_TRACE_ALL, "%s freeing email\n", "kavrel_free");
        email_free(&ctx->email, call.record());
        call.deliver();
    }
    call.end();
    trace_printf(ctx, KAVREL_TRACE_ALL, "%s STRFREE\n", "kavrel_free");
    for (char **field : {&ctx->directory, &ctx->productname, &ctx->instance, &ctx->locale,
                         &ctx->propfile, &ctx->helo}) {
        if (*field != nullptr) kavrel_dealloc(ctx, *field);
        *field = nullptr;
    }
    trace_printf(ctx, KAVREL_TRACE_ALL, "%s destroying locks\n", "kavrel_free");
    ctx->memory_mutex.destroy();
    ctx->settings_mutex.destroy();
    trace_printf(ctx, KAVREL_TRACE_ALL, "%s free CTX at %p\n", "kavrel_free",
                 static_cast<void *>(ctx));
    mem_index_free(&ctx->memory_index);
    ctx->magic = 0;
    plat_free(ctx);
    *app_ctx = nullptr;
    return 0;
}

uint32_t attr_set(KAVREL_CTX *ctx, int32_t attribute, uint32_t value) {
    if (ctx == nullptr && attribute == KAVREL_A_TRACE) {
        g_default_trace.store(value, std::memory_order_relaxed);
        return 0;
    }
    CallScope call(ctx, __LINE__);
    if (!call) return KAVREL_E_PROGRAMMING;
    if (attribute == KAVREL_A_EMAIL_NOTIFICATION) {
        const auto notification = static_cast<int32_t>(value);
        std::atomic_ref<int32_t>(ctx->emailnotification).store(notification);
        trace_printf(ctx, KAVREL_TRACE_ATTR, "%s: (%s%s, %d)\n", "kavrel_set_attr", "KAVREL_A_",
                     "EMAIL_NOTIFICATION", notification);
    } else if (attribute == KAVREL_A_TRACE) {
        set_trace(ctx, call.record(), value);
    } else {
        return call.refuse(__LINE__, kAttrCondition);
    }
    return 0;
}

uint32_t attr_get(KAVREL_CTX *ctx, int32_t attribute, uint32_t *value_out) {
    CallScope call(ctx, __LINE__);
    if (!call) return KAVREL_E_PROGRAMMING;
    if (value_out == nullptr) return call.refuse(__LINE__, "(value_out != NULL)");
    if (attribute == KAVREL_A_EMAIL_NOTIFICATION) {
        const int32_t notification = std::atomic_ref<int32_t>(ctx->emailnotification).load();
        *value_out = static_cast<uint32_t>(notification);
        trace_printf(ctx, KAVREL_TRACE_ATTR, "%s: (%s%s, %d)\n", "kavrel_get_attr", "KAVREL_A_",
                     "EMAIL_NOTIFICATION", notification);
    } else if (attribute == KAVREL_A_TRACE) {
        *value_out = trace_mask(ctx);
        trace_printf(ctx, KAVREL_TRACE_ATTR, "%s: (%s%s, 0x%x)\n", "kavrel_get_attr", "KAVREL_A_",
                     "TRACE", *value_out);
    } else {
        return call.refuse(__LINE__, kAttrCondition);
    }
    return 0;
}

}  // namespace
}  // namespace kavrel

extern "C" {

uint32_t kavrel_init(KAVREL_CTX **app_ctx, const char *product_name, const char *instance,
                     const char *directory, const char *templ, const char *propfile,
                     const char *locale, const char *msgdir,
                     KAVREL_MESSAGE_HANDLER messagehandler) {
    return kavrel::guarded([&] {
        return kavrel::context_init(app_ctx, product_name, instance, directory, templ, propfile,
                                    locale, msgdir, messagehandler);
    });
}

uint32_t kavrel_free(KAVREL_CTX **app_ctx) {
    return kavrel::guarded([&] { return kavrel::context_free(app_ctx); });
}

uint32_t kavrel_set_attr(KAVREL_CTX *ctx, int32_t attribute, uint32_t value) {
    return kavrel::guarded([&] { return kavrel::attr_set(ctx, attribute, value); });
}

uint32_t kavrel_get_attr(KAVREL_CTX *ctx, int32_t attribute, uint32_t *value_out) {
    return kavrel::guarded([&] { return kavrel::attr_get(ctx, attribute, value_out); });
}

const char *kavrel_version(void) {
    return kavrel::kVersion;
}

}  // extern "C"
