/*
 * The second process of the soak test, a product written in C: it stores
 * keys of its own into a properties file and, every tenth store, switches
 * the relay's port and recipients between two settings, as an operator
 * would. Arguments: directory, file, port 1, port 2, stores.
 * Exit status: the number of calls that failed.
 * With a directory alone, the writer that a test kills: it stores values of
 * 0, 20,000 and 40,000 bytes in turn under "v" of product "Prod", instance
 * "p", until it is killed.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kavrel.h"

static int writer(const char *dir) {
    static char value[40001];
    KAVREL_CTX *ctx = NULL;
    if (kavrel_init(&ctx, "Prod", "p", dir, NULL, NULL, "en_US", NULL, NULL) != 0) return 100;
    memset(value, 'a', sizeof value - 1);
    for (unsigned i = 1;; ++i)
        kavrel_store_prop(ctx, "v", value + sizeof value - 1 - i % 3 * 20000);
}

int main(int argc, char **argv) {
    if (argc == 2) return writer(argv[1]);
    static const char *const recipients[] = {"a@x.test,b@x.test", "c@x.test"};
    KAVREL_CTX *ctx = NULL;
    int failures = 0;
    if (argc != 6 ||
        kavrel_init(&ctx, "Helper", NULL, argv[1], NULL, argv[2], "en_US", NULL, NULL) != 0) {
        return 100;
    }
    for (int i = 0; i < atoi(argv[5]); ++i) {
        char key[32], value[16];
        snprintf(key, sizeof key, "helper.k%d", i % 4);
        snprintf(value, sizeof value, "%d", i);
        failures += kavrel_store_prop(ctx, key, value) != 0;
        if (i % 10 == 0) {
            failures += kavrel_store_prop(ctx, "email.smtp.port", argv[3 + i / 10 % 2]) != 0;
            failures += kavrel_store_prop(ctx, "email.recipients", recipients[i / 20 % 2]) != 0;
        }
    }
    kavrel_free(&ctx);
    return failures;
}
