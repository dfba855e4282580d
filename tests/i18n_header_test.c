/* The localisation library's header compiles as strict C11 and its calls
 * work from C. */
#include "i18n.h"

int main(void) {
    char16_t out[8];
    I18N_ARGS args;
    return !(i18nargs_init(&args) == 1 && i18nargs_add(&args, u"\u00E9") == 1 &&
             i18nstrb_Compose(out, 8, u"<%1>", &args) == I18N_OK && out[1] == 0xE9 && !out[3]);
}
