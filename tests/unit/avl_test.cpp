#include "avl.h"

#include <algorithm>
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

// Height of a subtree; the first node whose balance is not the real height
// difference, is out of -1..+1 or still carries a direction mark is named in
// `fault`.
int checked_height(const avl_node *node, std::string &fault) {
    if (node == nullptr) return 0;
    const int l = checked_height(node->left, fault), r = checked_height(node->right, fault);
    if (fault.empty() && (node->balance != r - l || r - l < -1 || r - l > 1 || node->dir != 0))
        fault = "balance " + std::to_string(node->balance) + " dir " + std::to_string(node->dir) + " heights " +
                std::to_string(l) + "/" + std::to_string(r) + " at item " + std::to_string(value(node->data));
    return 1 + std::max(l, r);
}

std::vector<uintptr_t> in_order(avl_tree *tree) {
    std::vector<uintptr_t> out;
    AVLiterate(tree, [](void *item, void *arg) { static_cast<std::vector<uintptr_t> *>(arg)->push_back(value(item)); }, &out);
    return out;
}

// Every field of every node in pre-order, with the node addresses: equal
// snapshots mean the tree was not touched at all.
using NodeImage = std::tuple<void *, const avl_node *, avl_node *, avl_node *, int32_t, int32_t>;
std::vector<NodeImage> snapshot(const avl_node *node, std::vector<NodeImage> out = {}) {
    if (node == nullptr) return out;
    out.emplace_back(node->data, node, node->left, node->right, node->balance, node->dir);
    return snapshot(node->right, snapshot(node->left, std::move(out)));
}

int divisible_by(void *item, void *arg) { return value(item) % *static_cast<uintptr_t *>(arg) == 0; }

// Seeded runs against std::set, order and balance checked after every step;
// growth and shrink phases alternate, through every size and rotation case.
TEST(AvlDifferential, RandomOperationsMatchStdSetAndStayBalanced) {
    for (uint32_t seed : {1u, 7u, 20240601u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        avl_tree *tree = AVLopen(nullptr, nullptr);
        ASSERT_NE(tree, nullptr);
        std::set<uintptr_t> model;
        for (int op = 0; op < 25000 && !HasFatalFailure(); ++op) {
            const int pick = static_cast<int>(rng() % 100);
            uintptr_t key = rng() % 1500;
            const bool present = model.count(key) != 0;
            const auto before = snapshot(tree->root);
            uintptr_t got = 0, expected = present ? key : 0;
            bool untouched = !present;  // a removal that finds nothing leaves every node as it was
            std::string what;
            if (pick < ((op / 2500) % 2 == 0 ? 55 : 25)) {
                what = "insert", got = value(AVLinsert(tree, word(key))), expected = key, untouched = false;
                model.insert(key);
            } else if (pick < 85) {  // AVLremove hands the item back, AVLdelete releases it
                const bool remove = pick < 75;
                what = remove ? "remove" : "delete", expected = remove ? expected : present;
                got = remove ? value(AVLremove(tree, word(key))) : uintptr_t(AVLdelete(tree, word(key)));
                model.erase(key);
            } else if (pick < 95) {
                what = "retrieve", got = value(AVLretrieve(tree, word(key))), untouched = true;
            } else {  // AVLcull takes the first match in pre-order
                key = 2 + rng() % 40, what = "cull multiples of", untouched = false;
                got = value(AVLcull(tree, divisible_by, &key));
                auto first = std::find_if(before.begin(), before.end(),
                                          [key](const NodeImage &n) { return value(std::get<0>(n)) % key == 0; });
                expected = first == before.end() ? 0 : value(std::get<0>(*first));
                model.erase(got);
            }
            what += " " + std::to_string(key);
            ASSERT_EQ(got, expected) << what;
            ASSERT_TRUE(!untouched || snapshot(tree->root) == before) << what << " changed the tree";
            std::string fault;
            checked_height(tree->root, fault);
            ASSERT_EQ(fault, "") << "after " << what;
            ASSERT_EQ(in_order(tree), std::vector<uintptr_t>(model.begin(), model.end())) << "after " << what;
        }
        AVLclose(tree);
    }
}

// Heap strings counted and freed on release: the sanitizers see leaks and double frees.
int released = 0;

TEST(AvlTree, OnlyDeleteAndCloseReleaseThroughDestroy) {
    avl_tree *tree = AVLopen([](const void *k, const void *i) { return std::strcmp((const char *)k, (const char *)i); },
                             [](void *item) { ++released, std::free(item); });
    ASSERT_NE(tree, nullptr);
    EXPECT_EQ(AVLinsert(tree, nullptr), nullptr) << "a tree that releases items refuses NULL";
    for (const char *s : {"beta", "delta", "alpha", "gamma", "epsilon"}) AVLinsert(tree, strdup(s));
    EXPECT_EQ(AVLdelete(tree, "zeta") + AVLdelete(tree, "beta") + released, 2);
    char *taken = static_cast<char *>(AVLremove(tree, "delta"));
    EXPECT_STREQ(taken, "delta");
    free(taken);
    AVLclose(tree);
    EXPECT_EQ(released, 4);
    AVLclose(nullptr);
}

TEST(AvlTree, WordItemsCompareAsUnsigned32BitIntegers) {
    avl_tree *tree = AVLopen(nullptr, nullptr);
    ASSERT_NE(tree, nullptr);
    // 0 is a valid item without a destroy function; only the result cannot
    // tell it from "absent". Only the low 32 bits take part in the comparison.
    for (uintptr_t k : {0u, 0xFFFFFFFFu, 0x80000000u}) EXPECT_EQ(AVLinsert(tree, word(k)), word(k));
    EXPECT_EQ(in_order(tree), (std::vector<uintptr_t>{0, 0x80000000u, 0xFFFFFFFFu})) << "unsigned, not signed";
    EXPECT_EQ(AVLinsert(tree, word(uintptr_t(UINT64_C(0x180000000)))), word(0x80000000u));
    EXPECT_EQ(AVLdelete(tree, word(0)), 1);
    EXPECT_EQ(AVLdelete(tree, word(0)), 0);
    AVLclose(tree);
    // AVLsearch on a subtree removes its match from the whole tree.
    tree = AVLopen(nullptr, nullptr);
    for (uintptr_t k : {8, 4, 12, 2, 6, 10, 14}) AVLinsert(tree, word(k));
    uintptr_t d = 2;
    EXPECT_EQ(value(AVLsearch(tree->root->right, divisible_by, &d, tree)), 12u);
    EXPECT_EQ(in_order(tree), (std::vector<uintptr_t>{2, 4, 6, 8, 10, 14}));
    EXPECT_EQ(AVLcull(tree, nullptr, &d), nullptr);
    AVLclose(tree);
    EXPECT_EQ(AVLinsert(nullptr, word(1)) || AVLretrieve(nullptr, word(1)) || AVLremove(nullptr, word(1)) ||
                  AVLdelete(nullptr, word(1)) || AVLcull(nullptr, divisible_by, &d), false) << "NULL tree";
}

TEST(AvlTree, FailedAllocationLeavesTheTreeUntouched) {
    yqtest::SysGuard guard;
    avl_tree *tree = AVLopen(nullptr, nullptr);
    ASSERT_NE(tree, nullptr);
    for (uintptr_t k = 1; k <= 100; ++k) AVLinsert(tree, word(k * 2));
    for (uintptr_t k : {0, 201, 99, 57, 143}) {  // left end, right end, middle
        auto before = snapshot(tree->root);
        {
            yqtest::AllocFailer fail(1);
            EXPECT_EQ(AVLinsert(tree, word(k)), nullptr) << k;
        }
        EXPECT_EQ(snapshot(tree->root), before) << k;
    }
    EXPECT_EQ(value(AVLinsert(tree, word(99))), 99u);
    AVLclose(tree);
}

}  // namespace
