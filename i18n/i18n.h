/*
 * i18n.h - the Unicode localisation library.
 *
 * Finds locale files below an installation root, loads message catalogues
 * (".lcu" files) and looks texts up by message number, composes texts with
 * numbered arguments (%1 .. %9) and converts between UTF-16, UTF-8 and
 * 8-bit text.
 *
 * Conventions: UTF-16 strings are char16_t, host byte order, terminated by a
 * zero unit. Operations return 1 for success and a negative I18N_E_* code
 * for failure, unless a comment says otherwise. The library writes no
 * messages and takes no lock: callers serialise every call that touches the
 * catalogue cache (handles, opens and lookups).
 *
 * Anything not declared here is not part of the interface.
 */
#ifndef KAVREL_I18N_H
#define KAVREL_I18N_H

#include <stdint.h>

#if defined(_WIN32) && defined(KAVREL_BUILDING_SHARED)
#define I18N_API __declspec(dllexport)
#elif defined(__GNUC__)
#define I18N_API __attribute__((visibility("default")))
#else
#define I18N_API
#endif

#ifdef __cplusplus
extern "C" {
#else
#include <uchar.h>
#endif

/* ---- status codes ------------------------------------------------------ */

#define I18N_OK 1

#define I18N_E_HANDLE (-456)       /* no handle, or the handle names no cache entry */
#define I18N_E_NOMEM (-457)        /* memory exhausted */
#define I18N_E_CREATE (-458)       /* mode 2: the file cannot be created */
#define I18N_E_EXISTS (-459)       /* mode 3: the file exists */
#define I18N_E_NOKEY (-460)        /* no key text given */
#define I18N_E_CONFLICT (-462)     /* not open (lookup) or opened in a conflicting mode */
#define I18N_E_SHORT (-463)        /* the file ends before a part is complete */
#define I18N_E_NOTCAT (-464)       /* not a catalogue file */
#define I18N_E_ISOPEN (-465)       /* the handle is already open */
#define I18N_E_TOOLONG (-468)      /* the text does not fit in the output buffer */
#define I18N_E_NOTFOUND (-469)     /* no entry in use has the key text */
#define I18N_E_NAME (-478)         /* no file name, or it cannot be narrowed to 8 bits */
#define I18N_E_OPEN (-479)         /* the file cannot be opened for reading */
#define I18N_E_PATHARG (-481)      /* a path argument is missing or invalid */
#define I18N_E_SPEC (-483)         /* no I18N_FILE_SPEC given */
#define I18N_E_BUFFER (-484)       /* no output buffer, or it is too small */
#define I18N_E_MODE (-488)         /* an open mode other than 0 to 3 */
#define I18N_E_NUMFIT (-600)       /* uninum_format: the digits do not fit */
#define I18N_E_NUMBASE (-601)      /* uninum_format: base outside 2..16 */
#define I18N_E_NUMDIGITS (-602)    /* uninum_format: digits outside 0..32 */
#define I18N_E_ASCII_FIT (-1327)   /* 8-bit conversion: input longer than the output */
#define I18N_E_ASCII_RANGE (-1328) /* 8-bit conversion: a unit has no 8-bit form */

/* UTF-8 conversions return a count (0 or more) or one of these. */
#define UNIUTF8_E_INVALID (-1)  /* invalid input */
#define UNIUTF8_E_FULL (-2)     /* the output is full */
#define UNIUTF8_E_OVERLONG (-5) /* converted, but an overlong form was seen */

/* ---- files and paths --------------------------------------------------- */

/* Where a file lives (I18N_FILE_SPEC.location). */
#define I18N_LOC_INSTALL 0 /* below the installation root */
#define I18N_LOC_CURDIR 1  /* the current directory */
#define I18N_LOC_DIR 2     /* a directory given by the caller */

/* File types of i18npath_FileName. */
#define I18N_FT_CATALOGUE 0 /* ".lcu" */
#define I18N_FT_CHARSET 1   /* ".uct" */
#define I18N_FT_COLLATE 2   /* ".ust" */

/* Open modes of i18nuni_FileOpen. */
#define I18N_MODE_READ 0
#define I18N_MODE_UPDATE 1
#define I18N_MODE_CREATE 2
#define I18N_MODE_EXISTS 3

/* Capacity, in units, that callers give i18npath_FileName for a full name. */
#define I18N_PATH_MAX 256

typedef struct I18N_FILE_SPEC {
    uint32_t format;   /* 1; a loaded file is shared only with the same format */
    uint32_t reserved; /* 0 */
    uint32_t location; /* I18N_LOC_* */
} I18N_FILE_SPEC;

/* Sets format 1, reserved 0, location I18N_LOC_INSTALL. 1, or -483 without a spec. */
I18N_API int32_t i18nuni_FileSpecInit(I18N_FILE_SPEC *spec);

/*
 * The installation root: $ORVTEST, else $ORVANE, accepted only when it is
 * absolute (begins with "/"); otherwise "./". Each byte of the value becomes
 * one unit. At most capacity - 1 units and a terminator are written. Returns 1.
 */
I18N_API int32_t i18npath_RootGet(char16_t *out, int32_t capacity);

/*
 * Subtree directories below the root: "locales/unicode" for catalogues,
 * "charsets/unicode" (kind 1) or "collate/unicode" (other kinds) for tables.
 * With the default root the result is the bare, relative subtree name.
 * ComponentDir appends the component, LanguageDir the component and the
 * language, each cut to 8 units and lower-cased.
 * Results: 1; -481 for a missing name; -484 when the buffer is missing or
 * the result does not fit in capacity units with its terminator.
 */
I18N_API int32_t i18npath_LocalesDir(char16_t *out, int32_t capacity);
I18N_API int32_t i18npath_TablesDir(char16_t *out, int32_t capacity, int32_t kind);
I18N_API int32_t i18npath_ComponentDir(char16_t *out, int32_t capacity, const char16_t *component);
I18N_API int32_t i18npath_LanguageDir(char16_t *out, int32_t capacity, const char16_t *component,
                                      const char16_t *language);

/*
 * The full name of a file:
 *   location 0: catalogue  <locales>/<component>/<language>/<file>.lcu
 *               tables     <tables of the type>/<file>.uct|.ust
 *   location 1: ./<file><ext>
 *   location 2: <dir_or_language>/<file><ext>
 * Checks in order: location 2 without a directory -481, no file -478, no
 * buffer or capacity < 1 -484; a location other than 0..2 returns the
 * location itself; an unknown file type -481; location 0 catalogue without
 * language or component -481; a result longer than the buffer -484.
 */
I18N_API int32_t i18npath_FileName(char16_t *out, int32_t capacity, uint32_t location,
                                   int32_t file_type, const char16_t *file,
                                   const char16_t *dir_or_language, const char16_t *component);

/* ---- catalogues -------------------------------------------------------- */

typedef struct I18N_HANDLE I18N_HANDLE; /* opaque; owned by the library */

/*
 * A handle on the catalogue <file> of <component> in <language> (or, for
 * location 2, in the directory <language>). Handles for the same full name
 * and format share one loaded file for the life of the process.
 * 1, or a path status, or -457.
 */
I18N_API int32_t i18nuni_HandleGet(const char16_t *component, const char16_t *language,
                                   const char16_t *file, const I18N_FILE_SPEC *spec,
                                   I18N_HANDLE **handle);

/*
 * Opens a handle: I18N_MODE_READ loads the file (once per process) and may
 * be shared by many readers; I18N_MODE_UPDATE loads it for one writer;
 * I18N_MODE_CREATE creates (truncates) the file; I18N_MODE_EXISTS only tells
 * whether the file exists (-459) or not (-479).
 * 1, or -456, -457, -458, -459, -462, -463, -464, -465, -478, -479, -488.
 */
I18N_API int32_t i18nuni_FileOpen(I18N_HANDLE *handle, int32_t mode);

/*
 * Copies the value stored under a key text into out (capacity units,
 * terminator included). 1, or -456, -460, -462, -468, -469.
 */
I18N_API int32_t i18nuni_LookupByKey(I18N_HANDLE *handle, const char16_t *key, char16_t *out,
                                     int32_t capacity);

/* The same with the key text of a message number: eight upper-case hex digits. */
I18N_API int32_t i18nuni_LookupByKeyNum(I18N_HANDLE *handle, int32_t number, char16_t *out,
                                        int32_t capacity);

/*
 * Writes value in base 2..16 (upper-case letters). digits 0: as many as
 * needed; 1..32: exactly that many, with leading zeros, higher digits dropped.
 * 1, -600 (does not fit with its terminator), -601 (base), -602 (digits).
 */
I18N_API int32_t uninum_format(char16_t *out, int32_t capacity, uint32_t value, int32_t base,
                               int32_t digits);

/* ---- composition ------------------------------------------------------- */

#define I18N_ARGS_MAGIC 0xBEEFBEEFu
#define I18N_ARGS_MAX 9

/* Argument list of a composition; it holds pointers, the caller the strings. */
typedef struct I18N_ARGS {
    uint32_t magic;                      /* I18N_ARGS_MAGIC once initialised */
    int32_t last;                        /* index of the last argument, -1 when empty */
    const char16_t *args[I18N_ARGS_MAX]; /* argument 1 first */
} I18N_ARGS;

/* Empties the list. 1, or 0 without a list. */
I18N_API int32_t i18nargs_init(I18N_ARGS *list);

/*
 * Appends s; returns its number (1..9), or 0 (no list or string, bad magic,
 * list full, or a last field outside -1..8, which makes the list unusable).
 */
I18N_API int32_t i18nargs_add(I18N_ARGS *list, const char16_t *s);

/* Argument n (1-based), or null (also for a list refused as above). */
I18N_API const char16_t *i18nargs_get(const I18N_ARGS *list, int32_t n);

/*
 * Fills templ into out: %1..%9 (any Unicode decimal digit) insert arguments,
 * "%%" gives "%", anything else is copied. 1; -484 without out, capacity or
 * templ; -468 when the text does not fit (out holds the pieces that did).
 */
I18N_API int32_t i18nstrb_Compose(char16_t *out, int32_t capacity, const char16_t *templ,
                                  const I18N_ARGS *list);

/* ---- conversions ------------------------------------------------------- */

/*
 * UTF-16 to UTF-8; unpaired surrogates are written as three bytes, U+FFFE
 * and U+FFFF stop with -1. Returns the bytes written (without terminator),
 * -2 (full: what fitted stays, terminated) or -1. *stopped (optional)
 * receives the input position where conversion stopped.
 */
I18N_API int32_t uniutf8_unistrToUTF8(char *out, int32_t capacity, const char16_t *in,
                                      const char16_t **stopped);

/*
 * UTF-8 to UTF-16. Returns 0, -5 (overlong forms seen, still converted), -2
 * (full) or -1 (invalid). The output is always terminated. *reached and
 * *written (both optional) receive the input position reached and the units
 * written (a surrogate pair counts 2).
 */
I18N_API int32_t uniutf8_utf8ToUnistr(char16_t *out, int32_t capacity, const char *in,
                                      const char **reached, int32_t *written);

/* The same, returning the units written instead of 0 (or the negative status). */
I18N_API int32_t uniutf8_utf8ToUnistrCount(char16_t *out, int32_t capacity, const char *in,
                                           const char **reached);

/*
 * ISO 8859-1 to UTF-16: at most capacity units and a terminator, so out
 * holds capacity + 1 units. 1, or -1327 when input remains.
 */
I18N_API int32_t uniascii_toUnistr(char16_t *out, int32_t capacity, const char *in);

/*
 * UTF-16 to 8-bit: units up to U+00FF become their byte, others 0x1A
 * (-1328, conversion goes on). At most capacity bytes and a terminator.
 * 1, -1327 (input remains) or -1328.
 */
I18N_API int32_t uniascii_fromUnistr(char *out, int32_t capacity, const char16_t *in);

/* ---- characters -------------------------------------------------------- */

/* The simple upper-case mapping of one unit. */
I18N_API char16_t unicase_toUpper(char16_t c);
/* Lower-cases s in place, surrogate pairs of U+10400..U+107FF included. */
I18N_API void unicase_strLower(char16_t *s);

/* True for decimal digits (general category Nd). */
I18N_API int unichar_isDigit(char16_t c);
/* The decimal digit value, or -1. */
I18N_API int32_t unichar_digitValue(char16_t c);

/* ---- UTF-16 strings ---------------------------------------------------- */

/* Copies src with its terminator; returns dst. */
I18N_API char16_t *unistr_cpy(char16_t *dst, const char16_t *src);
/* Copies at most n units, filling the rest of the n with zeros; no
 * terminator when src has n units or more. Returns dst. */
I18N_API char16_t *unistr_ncpy(char16_t *dst, const char16_t *src, int32_t n);
/* Copies at most n units without filling; terminated only when fewer than
 * n were copied. Returns dst. */
I18N_API char16_t *unistr_ncpyNoFill(char16_t *dst, const char16_t *src, int32_t n);
/* Appends src to dst; returns dst. */
I18N_API char16_t *unistr_cat(char16_t *dst, const char16_t *src);
/* Compares unit by unit as unsigned 16-bit numbers: -1, 0 or 1. */
I18N_API int32_t unistr_cmp(const char16_t *a, const char16_t *b);
/* Units before the terminator. */
I18N_API int32_t unistr_len(const char16_t *s);

#ifdef __cplusplus
}
#endif

#endif /* KAVREL_I18N_H */
