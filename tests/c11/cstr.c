#include <stdlib.h>
#include <string.h>

#include "cstr.h"
#include "cstra.h"
#include "cstrvsa.h"
#include "misc.h"

static void check_cstr(void) __attribute__((constructor));

static void check_cstr(void) {
    char *token = cstrTokenGET("one \"two three\" four", 2, " ");
    if (token == NULL || strcmp(token, "\"two three\"") != 0) abort();
    free(token);

    char **words = cstrTOcstra("a b c", " ");
    if (cstraCOUNT(words) != 3 || cstraMATCH(words, "c") != 2) abort();
    char *joined = cstraTOcstr(words, ", ");
    if (joined == NULL || strcmp(joined, "a, b, c") != 0) abort();
    free(joined);

    cstrvsa_handle *h = cstrvsaATTACH(words, -1);
    if (h == NULL || cstrvsaCOUNT(h) != 3 || cstrvsaSIZE(h) != 4) abort();
    if (cstrvsaREMOVEALL(h, 1, 5) != 2 || h->array[1] != NULL) abort();
    cstrvsaFREEALL(h);

    char *argv[] = {"prog", "-Opt", "v1", "v2", "-other", NULL};
    char **values = argValuesGET(argv, "-OPT");
    if (cstraCOUNT(values) != 2 || strcmp(values[1], "v2") != 0) abort();
    cstraFREE(values);
    if (strcmp(itoaRJ(42), "         42") != 0) abort();
}
