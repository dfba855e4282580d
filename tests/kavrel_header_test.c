/* A product written in C: compiles against kavrel.h alone, links the static
 * archive, creates a context in French and receives localised messages. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kavrel.h"

static int failures = 0;
static int lines = 0;
static char last[1024];
static int32_t last_number = -1;

static void check(int ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "failed: %s\n", what);
        ++failures;
    }
}

static int32_t handler(KAVREL_CTX *ctx, int32_t severity, int32_t number, const char *text) {
    (void)ctx;
    (void)severity;
    ++lines;
    last_number = number;
    snprintf(last, sizeof last, "%s", text);
    return 0;
}

int main(void) {
    const char *share = getenv("KAVREL_SHARE");
    char msgdir[1024];
    KAVREL_CTX *ctx = NULL;
    uint32_t value = 1;

    if (share == NULL) {
        fprintf(stderr, "KAVREL_SHARE is not set\n");
        return 1;
    }
    snprintf(msgdir, sizeof msgdir, "%s/msgs", share);
    check(kavrel_set_attr(NULL, KAVREL_A_TRACE, 0) == KAVREL_OK, "default trace mask");
    check(kavrel_init(&ctx, "cprod", "c1", ".", NULL, NULL, "French", msgdir, handler) == KAVREL_OK,
          "kavrel_init in French");
    check(ctx != NULL && lines == 0, "a quiet context");
    check(kavrel_get_attr(ctx, KAVREL_A_TRACE, &value) == KAVREL_OK && value == 0, "get_attr");

    check(kavrel_set_attr(ctx, 4242, 1) == KAVREL_E_PROGRAMMING, "unknown attribute");
    check(lines == 1 && last_number == KAVREL_E_PROGRAMMING, "one numbered message");
    check(strncmp(last,
                  "\xC3\x89"
                  "chec de l'assertion ((attribute == KAVREL_A_TRACE)",
                  48) == 0,
          "French text, condition first");
    check(strstr(last, " dans kavrel \xC3\xA0 la ligne ") != NULL, "source and line after it");

    check(kavrel_free(&ctx) == KAVREL_OK && ctx == NULL, "kavrel_free");
    check(kavrel_free(&ctx) == KAVREL_OK, "second kavrel_free");
    if (failures == 0) printf("ok: %s\n", last);
    return failures == 0 ? 0 : 1;
}
