/* Height-balanced (AVL) search tree of word-sized items: pointers, or plain
   unsigned 32-bit integers stored in the pointer.

   Items are ordered by the tree's comparison function, compare(key, item),
   which returns a negative number, 0 or a positive number when the key is
   smaller than, equal to or greater than the item. A tree without one
   compares key and item as unsigned 32-bit integers. An inserted item is its
   own key, and an item equal to a stored one is never stored twice.

   Insertion and removal are iterative and use no parent pointers. The tree
   owns its nodes; items belong to the caller, except that AVLdelete,
   AVLdestroy and AVLclose release them through the tree's destroy function.

   A stored item equal to 0 cannot be told apart from "not found" in the
   results of AVLinsert, AVLretrieve, AVLremove and AVLcull: store pointers. */
#ifndef AVL_H
#define AVL_H

#include <stdint.h>

#include "yq_api.h"

YQ_BEGIN_C

typedef struct avl_node {
    struct avl_node *left;  /* smaller items */
    struct avl_node *right; /* greater items */
    void *data;             /* the item */
    int32_t balance;        /* right height minus left height: -1, 0 or +1 */
    int32_t dir;            /* scratch of the running operation: the sign of
                               the comparison made here on the way down
                               (negative left, positive right, 0 matched);
                               0 in every node between operations */
} avl_node;

typedef int (*avl_compare_fn)(const void *key, const void *item);
typedef void (*avl_destroy_fn)(void *item);
typedef void (*avl_visit_fn)(void *item, void *arg);
typedef int (*avl_predicate_fn)(void *item, void *arg);

typedef struct avl_tree {
    avl_node *root;          /* NULL when empty */
    avl_compare_fn compare;  /* NULL: unsigned 32-bit comparison */
    avl_destroy_fn destroy;  /* NULL: items are never released by the tree */
} avl_tree;

/* New empty tree, or NULL when memory runs out. */
YQ_API avl_tree *AVLopen(avl_compare_fn compare, avl_destroy_fn destroy) YQ_NOEXCEPT;
/* New leaf node holding item (balance 0, dir 0), or NULL. */
YQ_API avl_node *AVLcreate(void *item) YQ_NOEXCEPT;
/* The item when inserted; the stored equal item when there is one (nothing
   inserted); NULL for a NULL tree, when memory runs out, or for a NULL item
   in a tree with a destroy function. */
YQ_API void *AVLinsert(avl_tree *tree, void *item) YQ_NOEXCEPT;
/* The stored item equal to key, or NULL. */
YQ_API void *AVLretrieve(avl_tree *tree, const void *key) YQ_NOEXCEPT;
/* Takes the item equal to key out of the tree and returns it (not
   released), or NULL when there is none; then the tree is left exactly as
   it was. */
YQ_API void *AVLremove(avl_tree *tree, const void *key) YQ_NOEXCEPT;
/* 1 when an item equal to key was removed (and released through destroy
   when the tree has one), else 0. */
YQ_API int AVLdelete(avl_tree *tree, const void *key) YQ_NOEXCEPT;
/* visit(item, arg) for every item in ascending order. */
YQ_API void AVLiterate(avl_tree *tree, avl_visit_fn visit, void *arg) YQ_NOEXCEPT;
/* The in-order visit of the subtree under node. */
YQ_API void AVLwalk(avl_node *node, avl_visit_fn visit, void *arg) YQ_NOEXCEPT;
/* Removes and returns (not released) the first item in pre-order (node, left
   subtree, right subtree) for which predicate(item, arg) is non-zero; NULL
   when none, or for a NULL tree or predicate. */
YQ_API void *AVLcull(avl_tree *tree, avl_predicate_fn predicate, void *arg) YQ_NOEXCEPT;
/* The pre-order search behind AVLcull over the subtree under node; the match
   is removed from the whole tree. */
YQ_API void *AVLsearch(avl_node *node, avl_predicate_fn predicate, void *arg,
                       avl_tree *tree) YQ_NOEXCEPT;
/* Frees every node under node in post-order (left, right, node), releasing
   each non-NULL item through destroy when it is given. */
YQ_API void AVLdestroy(avl_node *node, avl_destroy_fn destroy) YQ_NOEXCEPT;
/* Destroys every node and item (through the tree's destroy function), then
   the handle. NULL does nothing. */
YQ_API void AVLclose(avl_tree *tree) YQ_NOEXCEPT;
/* Rebalances the subtree under a node whose balance is +2 or -2 and returns
   its new root. */
YQ_API avl_node *AVLbalance(avl_node *node) YQ_NOEXCEPT;

YQ_END_C

#endif
