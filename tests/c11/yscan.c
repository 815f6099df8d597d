#include <stdlib.h>
#include <string.h>

#include "misc.h"

static void check_yscan(void) __attribute__((constructor));

static void check_yscan(void) {
    int a = 0, n = 0;
    unsigned short h = 0;
    char word[8] = "";
    double d = 0;
    if (Y_sscanf(" 42 -1 ab:c 2.5", "%d %hu %7[^:]:%*c %lf%n", &a, &h, word, &d, &n) != 4) abort();
    if (a != 42 || h != 65535 || strcmp(word, "ab") != 0 || d != 2.5 || n != 15) abort();
    if (Y_sscanf("", "%d", &a) != -1) abort();
    if (Y_sscanf("x", "%d", &a) != 0 || a != 42) abort();
}
