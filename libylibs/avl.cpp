// AVL tree without parent pointers and without recursion in the updates.
//
// Insertion finds the deepest node on the way down whose balance is not 0
// (the critical node): below it every balance is 0, so only the nodes from
// the critical node down to the new leaf change, and only the critical node
// can end up at +-2.
//
// Removal reverses the child links it follows on the way down, so that each
// node on the path points back to its parent; the way up walks these
// reversed links and puts the real children back. The item of the removed
// node is replaced by the item of its in-order neighbour, whose node (with
// at most one child) is the one unlinked and freed.
//
// Each node's `dir` marks the side the running operation took at it; every
// operation clears the marks it set, so between operations all of them are
// 0 and a failed operation leaves the tree bit for bit as it was.
#include "avl.h"

#include <cstdint>
#include <cstdlib>

#include "yq_sys.h"

namespace {

constexpr int kLeft = -1;
constexpr int kRight = 1;

int sign(int c) { return (c > 0) - (c < 0); }

// compare(key, item) reduced to -1, 0 or +1; without a comparison function
// the words compare as unsigned 32-bit integers.
int compare(const avl_tree *tree, const void *key, const void *item) {
    if (tree->compare != nullptr) return sign(tree->compare(key, item));
    auto a = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(key));
    auto b = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(item));
    return (a > b) - (a < b);
}

// The child link on side s (negative: left, otherwise right).
avl_node *&child(avl_node *node, int s) { return s < 0 ? node->left : node->right; }

// The child link that the running operation followed from node.
avl_node *&followed(avl_node *node) { return child(node, node->dir); }

// Clears the marks of a path that still has its normal links, from node down
// to the first unmarked node (the match) or the end of the path.
void clear_marks(avl_node *node) {
    while (node != nullptr && node->dir != 0) {
        avl_node *next = followed(node);
        node->dir = 0;
        node = next;
    }
}

// One step down during removal: mark the side, point that link back at the
// parent (`above`), and return the child the link held. The node becomes the
// new `above`.
avl_node *step_down(avl_node *node, int dir, avl_node *&above) {
    node->dir = dir;
    avl_node *&link = followed(node);
    avl_node *next = link;
    link = above;
    above = node;
    return next;
}

// Climbs from `above` to the root over reversed links, hanging `sub` back
// into each node and clearing its mark. While `shrinking`, the subtree just
// hung back is one level lower than before, and balances are adjusted:
//   - a node that was 0 becomes +-1: its own height is unchanged, stop;
//   - a node that was +-1 on the shrunk side becomes 0: its height dropped
//     too, go on;
//   - a node that becomes +-2 is rotated; if the new subtree root ends at 0
//     the height dropped, go on; otherwise it is unchanged, stop.
// Returns the root of the whole tree.
avl_node *climb(avl_node *above, avl_node *sub, bool shrinking) {
    while (above != nullptr) {
        avl_node *node = above;
        avl_node *&link = followed(node);
        above = link;  // the reversed link held the parent
        link = sub;
        const int from = node->dir;
        node->dir = 0;
        if (shrinking) {
            node->balance += from < 0 ? 1 : -1;
            if (node->balance == 1 || node->balance == -1) {
                shrinking = false;
            } else if (node->balance != 0) {
                node = AVLbalance(node);
                shrinking = node->balance == 0;
            }
        }
        sub = node;
    }
    return sub;
}

// AVLremove with a separate "found" result, since a stored 0 item looks like
// "not found" in the public result.
void *remove_key(avl_tree *tree, const void *key, bool &found) {
    found = false;
    if (tree == nullptr) return nullptr;

    // Descend, reversing each followed link.
    avl_node *above = nullptr;
    avl_node *node = tree->root;
    while (node != nullptr) {
        const int c = compare(tree, key, node->data);
        if (c == 0) break;
        node = step_down(node, c, above);
    }
    if (node == nullptr) {
        // Absent: put the links back without touching any balance.
        tree->root = climb(above, nullptr, false);
        return nullptr;
    }

    // Pick the node to unlink: the in-order neighbour on the taller side
    // (the predecessor when the left side is taller, else the successor),
    // or the found node itself when it has no right child; then it is a
    // leaf, since its balance is not negative.
    void *item = node->data;
    node->dir = 0;
    avl_node *victim = node;
    avl_node *orphan = node->left;
    if (node->balance < 0) {
        victim = step_down(node, kLeft, above);
        while (victim->right != nullptr) victim = step_down(victim, kRight, above);
        orphan = victim->left;
    } else if (node->right != nullptr) {
        victim = step_down(node, kRight, above);
        while (victim->left != nullptr) victim = step_down(victim, kLeft, above);
        orphan = victim->right;
    }

    // Move the neighbour's item into the found node and free the
    // neighbour's node; its only child takes its place on the way up.
    node->data = victim->data;
    std::free(victim);
    tree->root = climb(above, orphan, true);
    found = true;
    return item;
}

// Pre-order search behind AVLcull/AVLsearch: the node, its left subtree
// (recursively), then its right child (in a loop).
bool search(avl_node *node, avl_predicate_fn predicate, void *arg, avl_tree *tree, void *&out) {
    while (node != nullptr) {
        if (predicate(node->data, arg) != 0) {
            bool found = false;
            out = remove_key(tree, node->data, found);
            return true;
        }
        if (search(node->left, predicate, arg, tree, out)) return true;
        node = node->right;
    }
    return false;
}

}  // namespace

extern "C" {

avl_tree *AVLopen(avl_compare_fn compare, avl_destroy_fn destroy) noexcept {
    auto *tree = static_cast<avl_tree *>(yq::sys::malloc(sizeof(avl_tree)));
    if (tree == nullptr) return nullptr;
    tree->root = nullptr;
    tree->compare = compare;
    tree->destroy = destroy;
    return tree;
}

avl_node *AVLcreate(void *item) noexcept {
    auto *node = static_cast<avl_node *>(yq::sys::malloc(sizeof(avl_node)));
    if (node == nullptr) return nullptr;
    node->left = nullptr;
    node->right = nullptr;
    node->data = item;
    node->balance = 0;
    node->dir = 0;
    return node;
}

void *AVLinsert(avl_tree *tree, void *item) noexcept {
    if (tree == nullptr) return nullptr;
    if (item == nullptr && tree->destroy != nullptr) return nullptr;

    // 1. Descend, marking the side taken at each node, and remember the link
    //    to the deepest node whose balance is not 0.
    avl_node **link = &tree->root;
    avl_node **critical = nullptr;
    while (*link != nullptr) {
        avl_node *node = *link;
        node->dir = compare(tree, item, node->data);
        if (node->dir == 0) {
            clear_marks(tree->root);
            return node->data;
        }
        if (node->balance != 0) critical = link;
        link = &followed(node);
    }

    // 2. Hang the new leaf on the empty link.
    avl_node *leaf = AVLcreate(item);
    if (leaf == nullptr) {
        clear_marks(tree->root);
        return nullptr;
    }
    *link = leaf;

    // 3. Every node from the critical one (or the root) down to the leaf
    //    grew one level on the side taken.
    avl_node *node = critical != nullptr ? *critical : tree->root;
    while (node != leaf) {
        const int d = node->dir;
        node->dir = 0;
        node->balance += d < 0 ? -1 : 1;
        node = child(node, d);
    }

    // 4. The critical node was +-1; unless the growth evened it out it is
    //    now +-2, and one rotation restores the subtree's old height.
    if (critical != nullptr && (*critical)->balance != 0) *critical = AVLbalance(*critical);
    clear_marks(tree->root);
    return item;
}

void *AVLretrieve(avl_tree *tree, const void *key) noexcept {
    if (tree == nullptr) return nullptr;
    avl_node *node = tree->root;
    while (node != nullptr) {
        const int c = compare(tree, key, node->data);
        if (c == 0) return node->data;
        node = child(node, c);
    }
    return nullptr;
}

void *AVLremove(avl_tree *tree, const void *key) noexcept {
    bool found = false;
    return remove_key(tree, key, found);
}

int AVLdelete(avl_tree *tree, const void *key) noexcept {
    bool found = false;
    void *item = remove_key(tree, key, found);
    if (!found) return 0;
    if (tree->destroy != nullptr && item != nullptr) tree->destroy(item);
    return 1;
}

void AVLiterate(avl_tree *tree, avl_visit_fn visit, void *arg) noexcept {
    if (tree == nullptr || visit == nullptr) return;
    AVLwalk(tree->root, visit, arg);
}

void AVLwalk(avl_node *node, avl_visit_fn visit, void *arg) noexcept {
    if (visit == nullptr) return;
    while (node != nullptr) {
        AVLwalk(node->left, visit, arg);
        visit(node->data, arg);
        node = node->right;
    }
}

void *AVLcull(avl_tree *tree, avl_predicate_fn predicate, void *arg) noexcept {
    if (tree == nullptr || predicate == nullptr) return nullptr;
    return AVLsearch(tree->root, predicate, arg, tree);
}

void *AVLsearch(avl_node *node, avl_predicate_fn predicate, void *arg, avl_tree *tree) noexcept {
    if (predicate == nullptr || tree == nullptr) return nullptr;
    void *out = nullptr;
    search(node, predicate, arg, tree, out);
    return out;
}

void AVLdestroy(avl_node *node, avl_destroy_fn destroy) noexcept {
    // Free the left subtree of each node on the right spine recursively,
    // and stack the spine nodes through their (now spent) left links, so
    // they are freed bottom-up after their right subtrees: post-order with
    // recursion on left children only.
    avl_node *pending = nullptr;
    while (node != nullptr) {
        AVLdestroy(node->left, destroy);
        node->left = pending;
        pending = node;
        node = node->right;
    }
    while (pending != nullptr) {
        avl_node *next = pending->left;
        if (destroy != nullptr && pending->data != nullptr) destroy(pending->data);
        std::free(pending);
        pending = next;
    }
}

void AVLclose(avl_tree *tree) noexcept {
    if (tree == nullptr) return;
    AVLdestroy(tree->root, tree->destroy);
    std::free(tree);
}

avl_node *AVLbalance(avl_node *node) noexcept {
    // s is the heavy side; the node ends on that side by default.
    const int s = node->balance >= 0 ? kRight : kLeft;
    avl_node *heavy = child(node, s);
    if (heavy == nullptr) return node;
    node->balance = s;

    if (heavy->balance != 0 && heavy->balance != s) {
        // The heavy child leans inwards: its inner child g becomes the
        // subtree root, with the child on the heavy side and the node on
        // the other, each taking one of g's subtrees.
        avl_node *g = child(heavy, -s);
        child(heavy, -s) = child(g, s);
        child(node, s) = child(g, -s);
        child(g, s) = heavy;
        child(g, -s) = node;
        if (g->balance != heavy->balance) {
            heavy->balance = 0;
            node->balance = -g->balance;
        } else {
            node->balance = 0;
            heavy->balance = -g->balance;
        }
        g->balance = 0;
        return g;
    }

    // The heavy child leans outwards (insertion, removal) or not at all
    // (removal only): one rotation makes it the subtree root. Leaning
    // outwards leaves both at 0; level leaves the node at s and the child at
    // -s, the subtree height unchanged.
    child(node, s) = child(heavy, -s);
    child(heavy, -s) = node;
    if (heavy->balance != 0) node->balance = 0;
    heavy->balance = -node->balance;
    return heavy;
}

}  // extern "C"
