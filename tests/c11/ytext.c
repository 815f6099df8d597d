#include <stdlib.h>
#include <string.h>

#include "ynet.h"
#include "ytext.h"

static void check_ytext(void) __attribute__((constructor));

static void check_ytext(void) {
    ytext_handle *h = NULL;
    void *item = NULL;
    char delimiter = 0;
    if (ytext_open("# comment\nfirst \\\nline\nsecond\ntail", YTEXT_MODE_MEMORY, NULL, NULL, NULL,
                   &h) != 0 || h == NULL || h->read_only != 1)
        abort();
    if (ytext_get_item(h, 1, &item) != 0 || item == NULL || strcmp(item, "second") != 0) abort();
    free(item);
    if (ytext_get_item(h, 0, &item) != 0 || item == NULL || strcmp(item, "first line") != 0) abort();
    free(item);
    if (ytext_get_item(h, 2, &item) != 0 || item != NULL) abort();
    if (ytext_close(&h, 0) != 0 || h != NULL) abort();
    if (ytext_delimiter("a b", &delimiter) != 0 || delimiter != '"') abort();
}
