/*
 * A product written in C11 that links an installed Kavrel: it keeps a
 * setting in its properties file and shows every line the library hands
 * its message handler, in the language asked for, from the catalogues
 * installed with the library (KAVREL_MSGDIR).
 * Usage: c_product DIRECTORY LOCALE
 */
#include <kavrel/kavrel.h>
#include <stdio.h>
#include <string.h>

#ifndef KAVREL_MSGDIR
#error "KAVREL_MSGDIR must name the installed catalogues (share/kavrel/msgs)"
#endif

static int32_t show(KAVREL_CTX *ctx, int32_t severity, int32_t number, const char *text) {
    (void)ctx;
    printf("%d %d %s\n", (int)severity, (int)number, text);
    return 0;
}

int main(int argc, char **argv) {
    KAVREL_CTX *ctx = NULL;
    char value[32] = "";
    if (argc != 3) {
        fputs("usage: c_product DIRECTORY LOCALE\n", stderr);
        return 2;
    }
    if (kavrel_init(&ctx, "c_product", NULL, argv[1], NULL, NULL, argv[2], KAVREL_MSGDIR, show) !=
        0) {
        return 1;
    }
    kavrel_store_prop(ctx, "greeting", "bonjour");
    kavrel_retrieve_prop(ctx, "greeting", value, sizeof value - 1);
    printf("greeting=%s\n", value);
    kavrel_set_attr(ctx, 4242, 1); /* no such attribute: the handler is told why */
    kavrel_free(&ctx);
    return strcmp(value, "bonjour") != 0;
}
