#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "kdmsg.h"

static void check_kdmsg(void) __attribute__((constructor));

static void check_kdmsg(void) {
    char buf[64];
    const char *common = NULL;
    errno = ERANGE;
    /* No catalogs in the sandbox: the built-in format serves. */
    if (kdgetmsg("YssCra0001N", "C", (int)sizeof buf, buf, NULL, 0, NULL, "code %d", 7) != 0) abort();
    if (strcmp(buf, "code 7") != 0 || errno != ERANGE) abort();
    if (kdgetmsg("YssCra0001N", NULL, (int)sizeof buf, buf, NULL, 0, NULL, "x") != -1) abort();
    if (getLocalMsgFmt("C", "YssCra0001") != NULL) abort();
    if (real2commonlocale("C", &common) != 0 || strcmp(common, "C") != 0) abort();
    if (getregistrylocale() != -1) abort();
}
