#include <stdlib.h>
#include <string.h>

#include "ystrings.h"

static void check_ystrings(void) __attribute__((constructor));

static void check_ystrings(void) {
    char buf[4];
    if (Y_strlcpy(buf, "abcdefghij", sizeof buf) != 3 || strcmp(buf, "abc") != 0) abort();
    if (Y_snprintf(buf, sizeof buf, "%d", 1234567890) != 10 || strcmp(buf, "123") != 0) abort();
}
