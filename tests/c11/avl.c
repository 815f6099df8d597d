#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "avl.h"

static void check_avl(void) __attribute__((constructor));

static int by_string(const void *key, const void *item) {
    return strcmp((const char *)key, (const char *)item);
}

static void append_first_letter(void *item, void *arg) {
    char *out = (char *)arg;
    size_t n = strlen(out);
    out[n] = ((const char *)item)[0];
    out[n + 1] = '\0';
}

static int starts_with_c(void *item, void *arg) {
    (void)arg;
    return ((const char *)item)[0] == 'c';
}

static void check_avl(void) {
    static char words[][8] = {"delta", "alpha", "echo", "charlie", "bravo"};
    char order[8] = "";
    size_t i;
    avl_tree *tree = AVLopen(by_string, NULL);
    avl_tree *numbers;
    if (tree == NULL) abort();
    for (i = 0; i < sizeof words / sizeof words[0]; ++i)
        if (AVLinsert(tree, words[i]) != words[i]) abort();
    if (AVLinsert(tree, "echo") != words[2]) abort();
    AVLiterate(tree, append_first_letter, order);
    if (strcmp(order, "abcde") != 0) abort();
    if (AVLcull(tree, starts_with_c, NULL) != words[3]) abort();
    if (AVLretrieve(tree, "charlie") != NULL) abort();
    if (AVLremove(tree, "alpha") != words[1] || AVLdelete(tree, "alpha") != 0) abort();
    AVLclose(tree);

    numbers = AVLopen(NULL, NULL);
    if (numbers == NULL) abort();
    for (i = 1; i <= 3; ++i) AVLinsert(numbers, (void *)(uintptr_t)i);
    if ((uintptr_t)numbers->root->data != 2 || numbers->root->balance != 0) abort();
    AVLclose(numbers);
}
