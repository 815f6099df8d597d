#include <stdlib.h>

#include "ynet.h"

static int released;

static void release_int(void *item) {
    (void)item;
    ++released;
}

static int match_int(const void *key, const void *item) {
    return *(const int *)key == *(const int *)item;
}

static void check_ynet_cache(void) __attribute__((constructor));

static void check_ynet_cache(void) {
    static int items[4] = {10, 20, 30, 40};
    int missing = 99;
    ynet_cache_table *table = NULL;
    int i;
    if (ynet_cache_init_table(&table, 3, 600, release_int, match_int) != 0 || table == NULL)
        abort();
    for (i = 0; i < 4; ++i)
        if (ynet_cache_add_item(table, &items[i]) != 0) abort();
    /* Four items in three slots: the first one added was replaced. */
    if (released != 1 || ynet_cache_find_item(table, &items[0]) != NULL) abort();
    if (ynet_cache_find_item(table, &items[3]) != &items[3]) abort();
    if (ynet_cache_find_item(table, &missing) != NULL) abort();
    ynet_cache_free_table(&table);
    if (table != NULL || released != 4) abort();
    if (ynet_cache_add_item(NULL, &items[0]) != YN_STATUS_NULL_POINTER) abort();
}
