#include <stdlib.h>
#include <string.h>

#include "cmnutils.h"
#include "logging.h"

static void check_logging(void) __attribute__((constructor));

static void check_logging(void) {
    char out[65];
    char wide[16];
    if (logmsg(2, "dropped", "check_logging") != -1) abort();
    if (debuglog(-1, "dropped") != -1) abort();
    if (strcmp(colonize_by_mode("a b c", out, 1), "a:b:c") != 0) abort();
    if (strcmp(decolonize_by_mode("a:b", NULL, 2), "a b") != 0) abort();
    ucs1_to_utf8("x y", wide);
    if (strcmp(wide, "x\xC0\xA0y") != 0) abort();
}
