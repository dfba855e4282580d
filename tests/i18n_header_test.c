/* The localisation library's header compiles as strict C11 and its calls
 * work from C: a product written in C sees the same results. */
#include <stdio.h>
#include <string.h>

#include "i18n.h"

static int failures = 0;

static void check(int ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "failed: %s\n", what);
        ++failures;
    }
}

int main(void) {
    char utf8[16];
    char16_t wide[16];
    I18N_ARGS args;
    I18N_FILE_SPEC spec;
    const char16_t *stopped = NULL;

    check(uniutf8_unistrToUTF8(utf8, sizeof utf8, u"caf\u00E9", &stopped) == 5, "to UTF-8");
    check(strcmp(utf8, "caf\xC3\xA9") == 0 && *stopped == 0, "UTF-8 text");
    check(uniutf8_utf8ToUnistrCount(wide, 16, utf8, NULL) == 4, "from UTF-8");
    check(i18nargs_init(&args) == 1 && i18nargs_add(&args, u"x") == 1, "arguments");
    check(i18nstrb_Compose(wide, 16, u"<%1>", &args) == I18N_OK, "compose");
    check(unistr_cmp(wide, u"<x>") == 0, "composed text");
    check(i18nuni_FileSpecInit(&spec) == I18N_OK && spec.format == 1, "file spec");
    check(unichar_isDigit(u'7') && unichar_digitValue(u'7') == 7, "digits");
    return failures == 0 ? 0 : 1;
}
