/* A product written in C: kavrel.h alone, the static archive, a call of each kind. */
#include <stdio.h>

#include "kavrel.h"

static int assertions = 0;

static int32_t handler(KAVREL_CTX *ctx, int32_t severity, int32_t number, const char *text) {
    (void)ctx;
    (void)text;
    assertions += severity == KAVREL_SEV_ERROR && number == KAVREL_E_PROGRAMMING;
    return 0;
}

int main(void) {
    KAVREL_CTX *ctx = NULL;
    uint32_t value = 1;
    char buffer[8];
    const int ok =
        kavrel_init(&ctx, "c", NULL, ".", NULL, "c_test.properties", "en_US", NULL, handler) == 0 &&
        kavrel_get_attr(ctx, KAVREL_A_TRACE, &value) == 0 && value == 0 &&
        kavrel_set_attr(ctx, 4242, 1) == KAVREL_E_PROGRAMMING && assertions == 1 &&
        kavrel_store_prop(ctx, "k", "v") == 0 && kavrel_retrieve_prop(ctx, "k", buffer, 7) == 0 &&
        buffer[0] == 'v' && kavrel_free(&ctx) == 0 && ctx == NULL && kavrel_version()[0] == 'l';
    puts(ok ? "ok" : "failed");
    return ok ? 0 : 1;
}
