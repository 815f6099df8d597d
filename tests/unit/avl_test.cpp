#include "avl.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "yqtest.h"

namespace {

void *word(uintptr_t v) { return reinterpret_cast<void *>(v); }
uintptr_t value(const void *p) { return reinterpret_cast<uintptr_t>(p); }

// Height of a subtree, checking on the way that every balance equals the
// real height difference, is within -1..+1 and that no operation left a
// direction mark behind.
int checked_height(const avl_node *node, std::string &fault) {
    if (node == nullptr) return 0;
    int l = checked_height(node->left, fault);
    int r = checked_height(node->right, fault);
    if (fault.empty()) {
        if (node->balance != r - l)
            fault = "balance " + std::to_string(node->balance) + " but heights " + std::to_string(l) +
                    "/" + std::to_string(r) + " at item " + std::to_string(value(node->data));
        else if (node->balance < -1 || node->balance > 1)
            fault = "unbalanced at item " + std::to_string(value(node->data));
        else if (node->dir != 0)
            fault = "dir mark left at item " + std::to_string(value(node->data));
    }
    return 1 + std::max(l, r);
}

void collect_in_order(void *item, void *arg) {
    static_cast<std::vector<uintptr_t> *>(arg)->push_back(value(item));
}

std::vector<uintptr_t> in_order(avl_tree *tree) {
    std::vector<uintptr_t> out;
    AVLiterate(tree, collect_in_order, &out);
    return out;
}

// Every field of every node, in pre-order, with the node addresses: two
// equal snapshots mean the tree was not touched at all.
using NodeImage = std::tuple<const avl_node *, void *, avl_node *, avl_node *, int32_t, int32_t>;

void snapshot_into(const avl_node *node, std::vector<NodeImage> &out) {
    if (node == nullptr) return;
    out.emplace_back(node, node->data, node->left, node->right, node->balance, node->dir);
    snapshot_into(node->left, out);
    snapshot_into(node->right, out);
}

std::vector<NodeImage> snapshot(const avl_tree *tree) {
    std::vector<NodeImage> out;
    snapshot_into(tree->root, out);
    return out;
}

void pre_order_items(const avl_node *node, std::vector<uintptr_t> &out) {
    if (node == nullptr) return;
    out.push_back(value(node->data));
    pre_order_items(node->left, out);
    pre_order_items(node->right, out);
}

int divisible_by(void *item, void *arg) {
    uintptr_t d = *static_cast<uintptr_t *>(arg);
    return value(item) % d == 0 ? 1 : 0;
}

// Checks the tree against the model after an operation; `what` names it.
void expect_same(avl_tree *tree, const std::set<uintptr_t> &model, const std::string &what) {
    std::string fault;
    checked_height(tree->root, fault);
    ASSERT_EQ(fault, "") << "after " << what;
    ASSERT_EQ(in_order(tree), std::vector<uintptr_t>(model.begin(), model.end())) << "after " << what;
}

// Long seeded random runs against std::set, checking the whole tree after
// every single operation. Growth and shrink phases alternate so the tree
// passes through every size and every rotation case many times.
TEST(AvlDifferential, RandomOperationsMatchStdSetAndStayBalanced) {
    for (uint32_t seed : {1u, 7u, 20240601u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        avl_tree *tree = AVLopen(nullptr, nullptr);
        ASSERT_NE(tree, nullptr);
        std::set<uintptr_t> model;
        const uintptr_t range = 1500;
        std::uniform_int_distribution<uintptr_t> key_of(0, range - 1);

        for (int op = 0; op < 25000; ++op) {
            const bool growing = (op / 2500) % 2 == 0;
            const int pick = static_cast<int>(rng() % 100);
            const uintptr_t key = key_of(rng);
            const bool present = model.count(key) != 0;
            std::string what;
            if (pick < (growing ? 55 : 25)) {
                what = "insert " + std::to_string(key);
                void *r = AVLinsert(tree, word(key));
                ASSERT_EQ(value(r), key) << what;
                model.insert(key);
            } else if (pick < 85) {
                // AVLremove hands the item back, AVLdelete releases it; an
                // absent key leaves the tree untouched.
                const bool remove = pick < 75;
                what = (remove ? "remove " : "delete ") + std::to_string(key);
                auto before = present ? std::vector<NodeImage>{} : snapshot(tree);
                const uintptr_t got = remove ? value(AVLremove(tree, word(key))) : uintptr_t(AVLdelete(tree, word(key)));
                ASSERT_EQ(got, present ? (remove ? key : 1u) : 0u) << what;
                ASSERT_TRUE(present || snapshot(tree) == before) << what << " (absent) changed the tree";
                model.erase(key);
            } else if (pick < 95) {
                what = "retrieve " + std::to_string(key);
                auto before = snapshot(tree);
                ASSERT_EQ(value(AVLretrieve(tree, word(key))), present ? key : 0u) << what;
                ASSERT_EQ(snapshot(tree), before) << what;
            } else {
                uintptr_t d = 2 + rng() % 40;
                what = "cull multiples of " + std::to_string(d);
                std::vector<uintptr_t> pre;
                pre_order_items(tree->root, pre);
                auto first = std::find_if(pre.begin(), pre.end(), [d](uintptr_t v) { return v % d == 0; });
                void *r = AVLcull(tree, divisible_by, &d);
                if (first == pre.end()) {
                    ASSERT_EQ(r, nullptr) << what;
                } else {
                    ASSERT_EQ(value(r), *first) << what;
                    model.erase(*first);
                }
            }
            expect_same(tree, model, what);
            if (HasFatalFailure()) break;
        }
        AVLclose(tree);
    }
}

// Items are heap strings ordered by strcmp; the destroy function counts and
// frees them, so deletion, duplicates and close can be checked for leaks
// and double releases (the sanitizer build catches both).
int released = 0;
int string_compare(const void *key, const void *item) {
    return std::strcmp(static_cast<const char *>(key), static_cast<const char *>(item));
}
void release_string(void *item) {
    ++released;
    std::free(item);
}

TEST(AvlTree, DuplicatesKeepTheFirstItemAndDeleteReleasesThroughDestroy) {
    released = 0;
    avl_tree *tree = AVLopen(string_compare, release_string);
    ASSERT_NE(tree, nullptr);
    char *first = strdup("beta");
    char *twin = strdup("beta");
    EXPECT_EQ(AVLinsert(tree, first), first);
    EXPECT_EQ(AVLinsert(tree, twin), first);
    free(twin);
    EXPECT_EQ(AVLinsert(tree, nullptr), nullptr) << "a tree that releases items refuses NULL";
    for (const char *s : {"delta", "alpha", "gamma", "epsilon"}) AVLinsert(tree, strdup(s));

    std::vector<std::string> seen;
    AVLiterate(
        tree, [](void *item, void *arg) { static_cast<std::vector<std::string> *>(arg)->push_back(static_cast<char *>(item)); },
        &seen);
    EXPECT_EQ(seen, (std::vector<std::string>{"alpha", "beta", "delta", "epsilon", "gamma"}));

    EXPECT_EQ(AVLdelete(tree, "zeta"), 0);
    EXPECT_EQ(released, 0);
    EXPECT_EQ(AVLdelete(tree, "beta"), 1);
    EXPECT_EQ(released, 1);
    EXPECT_EQ(AVLretrieve(tree, "beta"), nullptr);
    char *taken = static_cast<char *>(AVLremove(tree, "delta"));
    ASSERT_STREQ(taken, "delta");
    EXPECT_EQ(released, 1) << "AVLremove hands the item back unreleased";
    free(taken);
    AVLclose(tree);
    EXPECT_EQ(released, 4);
    AVLclose(nullptr);
}

TEST(AvlTree, WordItemsCompareAsUnsigned32BitIntegers) {
    avl_tree *tree = AVLopen(nullptr, nullptr);
    ASSERT_NE(tree, nullptr);
    // 0 is a valid item without a destroy function; only the result cannot
    // tell it from "absent".
    EXPECT_EQ(AVLinsert(tree, word(0)), nullptr);
    EXPECT_EQ(AVLinsert(tree, word(0xFFFFFFFFu)), word(0xFFFFFFFFu));
    EXPECT_EQ(AVLinsert(tree, word(0x80000000u)), word(0x80000000u));
    EXPECT_EQ(in_order(tree), (std::vector<uintptr_t>{0, 0x80000000u, 0xFFFFFFFFu})) << "unsigned, not signed";
    EXPECT_EQ(AVLdelete(tree, word(0)), 1);
    EXPECT_EQ(AVLdelete(tree, word(0)), 0);
    if (sizeof(uintptr_t) > 4) {
        // Only the low 32 bits take part in the comparison.
        uintptr_t wide = (uintptr_t{1} << 32) | 0x80000000u;
        EXPECT_EQ(AVLinsert(tree, word(wide)), word(0x80000000u));
    }
    AVLclose(tree);
    EXPECT_EQ(AVLinsert(nullptr, word(1)), nullptr);
    EXPECT_EQ(AVLretrieve(nullptr, word(1)), nullptr);
    EXPECT_EQ(AVLremove(nullptr, word(1)), nullptr);
    EXPECT_EQ(AVLdelete(nullptr, word(1)), 0);
}

TEST(AvlTree, SearchOfASubtreeRemovesFromTheWholeTree) {
    avl_tree *tree = AVLopen(nullptr, nullptr);
    ASSERT_NE(tree, nullptr);
    for (uintptr_t k : {8, 4, 12, 2, 6, 10, 14}) AVLinsert(tree, word(k));
    uintptr_t d = 2;
    avl_node *right = tree->root->right;
    ASSERT_EQ(value(right->data), 12u);
    EXPECT_EQ(value(AVLsearch(right, divisible_by, &d, tree)), 12u);
    EXPECT_EQ(in_order(tree), (std::vector<uintptr_t>{2, 4, 6, 8, 10, 14}));
    EXPECT_EQ(AVLcull(tree, nullptr, &d), nullptr);
    EXPECT_EQ(AVLcull(nullptr, divisible_by, &d), nullptr);
    AVLclose(tree);
}

TEST(AvlTree, FailedAllocationLeavesTheTreeUntouched) {
    yqtest::SysGuard guard;
    avl_tree *tree = AVLopen(nullptr, nullptr);
    ASSERT_NE(tree, nullptr);
    for (uintptr_t k = 1; k <= 100; ++k) AVLinsert(tree, word(k * 2));
    // Every new key path: left end, right end, middle, each failing.
    for (uintptr_t k : {0, 201, 99, 57, 143}) {
        auto before = snapshot(tree);
        {
            yqtest::AllocFailer fail(1);
            EXPECT_EQ(AVLinsert(tree, word(k)), nullptr) << k;
            EXPECT_EQ(yqtest::AllocFailer::calls(), 1);
        }
        EXPECT_EQ(snapshot(tree), before) << k;
    }
    {
        yqtest::AllocFailer fail(1, true);
        EXPECT_EQ(AVLopen(nullptr, nullptr), nullptr);
        EXPECT_EQ(AVLcreate(word(1)), nullptr);
    }
    EXPECT_EQ(value(AVLinsert(tree, word(99))), 99u);
    AVLclose(tree);
}

}  // namespace
