/*
 * kavrel.h - the Kavrel client support library.
 *
 * A product creates one context with kavrel_init, passes it to every later
 * call and releases it with kavrel_free. Through the context it gets
 * persistent settings kept in a properties file, diagnostics handed to its
 * message handler (in its own language when a message catalogue is
 * installed), e-mail of severe reports, tracked memory and a trace of the
 * library's work by category.
 *
 * Every call collects what it has to report and, just before it returns,
 * hands each message to the product's message handler, in order: the first
 * message of a call is its headline, later ones are its details. Without a
 * handler (or when the handler returns non-zero) a message goes to standard
 * error, warnings and errors prefixed with "Warning <n>: " / "Error <n>: ".
 *
 * Calls return 0 for success, otherwise the number of the message that says
 * why. Anything not declared here is not part of the interface.
 */
#ifndef KAVREL_KAVREL_H
#define KAVREL_KAVREL_H

#include <stdint.h>

/* The library's version: 1.8.1. */
#define KAVREL_VERSION_MAJOR 1
#define KAVREL_VERSION_MINOR 8
#define KAVREL_VERSION_PATCH 1

#if defined(_WIN32) && defined(KAVREL_BUILDING_SHARED)
#define KAVREL_API __declspec(dllexport)
#elif defined(__GNUC__)
#define KAVREL_API __attribute__((visibility("default")))
#else
#define KAVREL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The library context: one per kavrel_init, opaque to products. */
typedef struct KAVREL_CTX KAVREL_CTX;

/*
 * The product's message handler. Called on the thread of the library call,
 * once per line, possibly from several threads at once when the product
 * calls the library from several threads.
 *   ctx       the context of the call (during kavrel_init, before the
 *             context exists, a stand-by context that must not be passed
 *             to the library);
 *   severity  one of KAVREL_SEV_* (trace lines come with KAVREL_SEV_DEBUG);
 *   number    the message number (0 for trace lines and unnumbered lines);
 *   text      the message in UTF-8; texts of severity 60 and above carry no
 *             line end, trace texts bring their own.
 * Return 0 when the line has been dealt with, non-zero to have it written to
 * standard error as well.
 * A call's lines, trace lines included, reach the handler in order when the
 * call is about to return, once it holds no lock and no file lock: the
 * handler may call any function of the library, on the same context or
 * another, with one exception: kavrel_free of the context whose call is
 * delivering the line.
 */
typedef int32_t (*KAVREL_MESSAGE_HANDLER)(KAVREL_CTX *ctx, int32_t severity, int32_t number,
                                          const char *text);

/* ---- attributes --------------------------------------------------------- */

#define KAVREL_A_EMAIL_NOTIFICATION 100004 /* a value kept for the product */
#define KAVREL_A_TRACE 100005              /* the trace mask (KAVREL_TRACE_*) */

/* ---- trace categories (bits of KAVREL_A_TRACE) --------------------------- */

#define KAVREL_TRACE_MEMORY 0x1u     /* every tracked allocation and release */
#define KAVREL_TRACE_ATTR 0x2u       /* every setting and reading of an attribute */
#define KAVREL_TRACE_LISTS 0x8u      /* list lines while a context is created */
#define KAVREL_TRACE_DUMP 0x20u      /* setting the mask dumps the library's data */
#define KAVREL_TRACE_PROP 0x80u      /* properties file and store, e-mail */
#define KAVREL_TRACE_ALL 0xFFFFFFFFu /* every category */

/* ---- severities ---------------------------------------------------------- */

#define KAVREL_SEV_DEBUG 20         /* trace lines */
#define KAVREL_SEV_LOG 40           /* log lines */
#define KAVREL_SEV_INFORMATIONAL 60 /* reports of normal outcomes */
#define KAVREL_SEV_WARNING 80       /* problems the call worked around */
#define KAVREL_SEV_ERROR 100        /* failures, programming errors */
#define KAVREL_SEV_NONE 101         /* e-mail threshold only: never mail */

/* ---- statuses and message numbers ---------------------------------------- */

#define KAVREL_OK 0                    /* success */
#define KAVREL_M_DIRECT 1              /* a warning written at once, not held */
#define KAVREL_E_PATH_NOMEM 131112     /* no memory for a path or a catalogue */
#define KAVREL_M_MAX_CAUSE 131227      /* details up to here are causes */
#define KAVREL_E_NOMEM 131229          /* "Failed to allocate %d bytes." */
#define KAVREL_E_SMTP_PORT 131234      /* the e-mail port setting is invalid */
#define KAVREL_E_EMAIL_SEVERITY 131235 /* the e-mail severity setting is invalid */
#define KAVREL_E_FILE_OPEN 131244      /* a file cannot be opened or written */
#define KAVREL_E_NOT_A_FILE 131245     /* a file name names a directory */
#define KAVREL_E_FILE_STATUS 131246    /* the status of a file cannot be read */
#define KAVREL_E_SMTP_CONNECT 131268   /* the SMTP relay cannot be reached */
#define KAVREL_E_SMTP_NONBLOCK 131269  /* the SMTP socket cannot be set up */
#define KAVREL_E_SMTP_SOCKET 131270    /* no socket for the SMTP relay */
#define KAVREL_E_WINSOCK 131271        /* the socket layer cannot start (Windows) */
#define KAVREL_E_SMTP_REFUSED 131272   /* the relay refused a step, or TLS failed */
#define KAVREL_E_PASSWORD_SHOWN 131273 /* others can read the file with the password */
#define KAVREL_E_MAIL_LIMIT 131274     /* too many reports mailed to a relay this hour */
#define KAVREL_E_NO_TLS 131275         /* TLS is asked for, and the build has none */
#define KAVREL_M_NOT_MAILED 131276     /* reports the flood control kept back */
#define KAVREL_M_ERROR_LABEL 131277    /* catalogue key of "Error %d: " */
#define KAVREL_M_WARNING_LABEL 131278  /* catalogue key of "Warning %d: " */
#define KAVREL_M_POSSIBLE_CAUSE 131279 /* catalogue key of "Possible cause:" */
#define KAVREL_E_MAIL_SETTING 131280   /* an e-mail setting has an invalid value */
#define KAVREL_E_PROGRAMMING 1000000   /* a broken precondition */

/* ---- calls --------------------------------------------------------------- */

/*
 * Creates the product's context and stores it in *app_ctx (null on failure).
 *   product_name, directory  required; directory is the product's
 *                 configuration directory (trailing '\' and '/' are
 *                 dropped from the library's copy; "" is the current
 *                 directory);
 *   instance      optional instance name;
 *   templ         optional properties file to start a new one from;
 *   propfile      optional properties file; without it
 *                 "<directory>/<instance>_tavro.properties", or
 *                 "<directory>/tavro.properties" without an instance;
 *   locale        optional locale ("de_DE", "French", ...); "en_US" in any
 *                 letter case uses the built-in English texts, null or empty
 *                 the process's locale;
 *   msgdir        optional directory holding <locale>/kavrel.lcu; without
 *                 it the catalogue is looked for below the installation
 *                 root ($ORVTEST, else $ORVANE);
 *   messagehandler optional; see KAVREL_MESSAGE_HANDLER.
 * A catalogue that cannot be opened is reported as a warning (number 1) and
 * the context works in English. The call's messages reach the handler
 * before it returns, on success too.
 * The properties file is created when it does not exist (from templ when
 * that exists, else empty).
 * Returns 0, KAVREL_E_PROGRAMMING (null app_ctx, directory or product name),
 * KAVREL_E_NOMEM (no memory for the context or the properties store),
 * KAVREL_E_PATH_NOMEM (no memory for the directory or the properties path),
 * or the status of the properties file that could not be read or created
 * (KAVREL_E_FILE_OPEN, KAVREL_E_NOT_A_FILE, or the system's error number
 * when its status cannot be read).
 */
KAVREL_API uint32_t kavrel_init(KAVREL_CTX **app_ctx, const char *product_name,
                                const char *instance, const char *directory, const char *templ,
                                const char *propfile, const char *locale, const char *msgdir,
                                KAVREL_MESSAGE_HANDLER messagehandler);

/*
 * Releases the context *app_ctx, and everything it holds, and sets *app_ctx
 * to null; a null *app_ctx is left alone, so a second call on the same
 * variable does nothing. Not to be called from the handler of a call on the
 * same context.
 * Returns 0, or KAVREL_E_PROGRAMMING (written to standard error) when
 * app_ctx is null or *app_ctx is not a context.
 */
KAVREL_API uint32_t kavrel_free(KAVREL_CTX **app_ctx);

/*
 * Sets an attribute. KAVREL_A_TRACE with a null ctx sets the trace mask that
 * contexts created later start with. Setting KAVREL_A_TRACE with
 * KAVREL_TRACE_DUMP writes a dump of the library's data through the handler,
 * and with KAVREL_TRACE_MEMORY alone a dump of the context's memory.
 * Returns 0, or KAVREL_E_PROGRAMMING (written to standard error) for a null
 * or broken context or an unknown attribute.
 */
KAVREL_API uint32_t kavrel_set_attr(KAVREL_CTX *ctx, int32_t attribute, uint32_t value);

/*
 * Reads an attribute into *value_out.
 * Returns 0, or KAVREL_E_PROGRAMMING (written to standard error) for a null
 * or broken context, a null value_out or an unknown attribute.
 */
KAVREL_API uint32_t kavrel_get_attr(KAVREL_CTX *ctx, int32_t attribute, uint32_t *value_out);

/*
 * Stores the property `name` with `value` in the context's properties file,
 * or removes it when value is null, and rewrites the file at once. Changes
 * other processes made to the file are merged in first, and stores from
 * several processes are serialised, so each keeps its keys. A '=' in the
 * name is stored as '?'. Names and values are single-line texts.
 * Returns 0, KAVREL_E_NOMEM, KAVREL_E_FILE_OPEN (the file cannot be written:
 * it is left as it was, the property is held in memory and goes to the file
 * with the next successful store) or KAVREL_E_PROGRAMMING (null name).
 */
KAVREL_API uint32_t kavrel_store_prop(KAVREL_CTX *ctx, const char *name, const char *value);

/*
 * Reads the property `name` into `value`, a buffer of max_len + 1 bytes,
 * after merging in changes other processes made to the file.
 * Returns 0; 1 when there is no such property (the buffer is untouched);
 * KAVREL_E_PROGRAMMING for a null name or buffer, and for a value longer
 * than max_len, of which the first max_len bytes and a terminating zero are
 * in the buffer; KAVREL_E_NOMEM.
 */
KAVREL_API uint32_t kavrel_retrieve_prop(KAVREL_CTX *ctx, const char *name, char *value,
                                         uint32_t max_len);

/* The library's version banner; never null, never to be freed. */
KAVREL_API const char *kavrel_version(void);

#ifdef __cplusplus
}
#endif

#endif /* KAVREL_KAVREL_H */
