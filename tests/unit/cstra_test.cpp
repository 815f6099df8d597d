#include "cstra.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "cstrvsa.h"
#include "yqtest.h"

namespace {

using Strings = std::vector<std::string>;

// A heap array of heap strings, as the library's callers build them.
char **make_array(const Strings &items) {
    auto **a = static_cast<char **>(std::calloc(items.size() + 1, sizeof(char *)));
    for (size_t i = 0; i < items.size(); ++i) a[i] = ::strdup(items[i].c_str());
    return a;
}

Strings contents(char *const *a) {
    Strings v;
    for (char *const *p = a; p != nullptr && *p != nullptr; ++p) v.emplace_back(*p);
    return v;
}

Strings take(char **a) {
    Strings v = contents(a);
    cstraFREE(a);
    return v;
}

// The handle's invariants: count within the block, every slot from count to
// the end of the block NULL.
void expect_invariants(const cstrvsa_handle *h) {
    ASSERT_NE(h, nullptr);
    ASSERT_GE(h->count, 0);
    ASSERT_LT(h->count, h->capacity);
    for (int i = h->count; i < h->capacity; ++i) ASSERT_EQ(h->array[i], nullptr) << "slot " << i;
}

TEST(PlainArrays, CountDupFree) {
    EXPECT_EQ(cstraCOUNT(nullptr), 0);
    char **a = make_array({"one", "two", "three"});
    EXPECT_EQ(cstraCOUNT(a), 3);
    char **copy = cstraDUP(a);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(contents(copy), contents(a));
    for (int i = 0; i < 3; ++i) EXPECT_NE(copy[i], a[i]);  // deep
    EXPECT_EQ(copy[3], nullptr);
    cstraFREE(copy);
    EXPECT_EQ(cstraDUP(nullptr), nullptr);
    char **empty = make_array({});
    EXPECT_EQ(take(cstraDUP(empty)), Strings{});
    cstraFREE(empty);

    cstraItemsFREE(a);
    EXPECT_EQ(a[0], nullptr);
    EXPECT_EQ(a[2], nullptr);
    std::free(a);
    cstraFREE(nullptr);
    cstraItemsFREE(nullptr);
}

TEST(PlainArrays, AppendMovesStringsAndFreesSecondBlock) {
    char **b = make_array({"three", "four"});
    char *moved = b[0];
    char **a = cstraAPPEND(make_array({"one", "two"}), b);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a[2], moved);  // moved, not copied
    EXPECT_EQ(take(a), (Strings{"one", "two", "three", "four"}));

    char **only = make_array({"x"});
    EXPECT_EQ(cstraAPPEND(nullptr, only), only);
    EXPECT_EQ(cstraAPPEND(only, nullptr), only);
    EXPECT_EQ(take(cstraAPPEND(only, make_array({}))), Strings{"x"});
}

TEST(PlainArrays, AppendFailureLeavesBothArrays) {
    yqtest::SysGuard guard;
    char **a = make_array({"one"});
    char **b = make_array({"two", "three"});
    long points = yqtest::for_each_alloc_failure([&] {
        char **r = cstraAPPEND(a, b);
        if (r == nullptr) return;  // a and b still the caller's
        EXPECT_EQ(contents(r), (Strings{"one", "two", "three"}));
        cstraFREE(r);
        a = make_array({"one"});
        b = make_array({"two", "three"});
    });
    EXPECT_EQ(points, 2);  // the handle and the grown block
    cstraFREE(a);
    cstraFREE(b);
}

TEST(PlainArrays, JoinWithSeparator) {
    char **a = make_array({"one", "two", "three"});
    auto join = [](char *const *arr, const char *sep) {
        char *s = cstraTOcstr(arr, sep);
        std::string r = s != nullptr ? s : "(null)";
        std::free(s);
        return r;
    };
    EXPECT_EQ(join(a, ", "), "one, two, three");
    EXPECT_EQ(join(a, nullptr), "onetwothree");
    cstraFREE(a);
    char **empty = make_array({});
    EXPECT_EQ(join(empty, ","), "(null)");
    cstraFREE(empty);
    char **blanks = make_array({"", ""});
    EXPECT_EQ(join(blanks, ""), "(null)");
    EXPECT_EQ(join(blanks, "-"), "-");
    cstraFREE(blanks);
    char **single = make_array({"x"});
    EXPECT_EQ(join(single, "--"), "x");
    cstraFREE(single);
}

TEST(PlainArrays, MatchAndDiff) {
    char **a = make_array({"one", "two", "three", "two"});
    EXPECT_EQ(cstraMATCH(a, "two"), 1);
    EXPECT_EQ(cstraMATCH(a, "four"), -1);
    EXPECT_EQ(cstraMATCH(nullptr, "one"), -1);

    char **two = make_array({"two"});
    EXPECT_EQ(take(cstraDIFF(a, two)), (Strings{"one", "three"}));
    EXPECT_EQ(take(cstraDIFF(a, nullptr)), (Strings{"one", "two", "three", "two"}));
    char **all = make_array({"three", "two", "one"});
    EXPECT_EQ(cstraDIFF(a, all), nullptr);
    EXPECT_EQ(cstraDIFF(nullptr, two), nullptr);
    cstraFREE(all);
    cstraFREE(two);
    cstraFREE(a);
}

TEST(GrowableArrays, DefaultStepGrowsFrom16To32) {
    cstrvsa_handle *h = cstrvsaNEW(0, -1);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->increment, 16);
    EXPECT_EQ(cstrvsaSIZE(h), 16);
    EXPECT_EQ(cstrvsaCOUNT(h), 0);
    char item[] = "x";
    for (int i = 0; i < 15; ++i) ASSERT_EQ(cstrvsaAPPEND(h, item), h->array + i);
    EXPECT_EQ(cstrvsaSIZE(h), 16);
    ASSERT_NE(cstrvsaAPPEND(h, item), nullptr);
    EXPECT_EQ(cstrvsaSIZE(h), 32);
    EXPECT_EQ(cstrvsaCOUNT(h), 16);
    expect_invariants(h);
    cstrvsaFREE(h);
}

TEST(GrowableArrays, InitialCountAndFixedSize) {
    cstrvsa_handle *h = cstrvsaNEW(3, 0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(cstrvsaCOUNT(h), 3);
    EXPECT_EQ(cstrvsaSIZE(h), 4);
    EXPECT_EQ(cstrvsaOBJECT(h, 2), nullptr);
    char a[] = "a", b[] = "b", c[] = "c";
    EXPECT_EQ(cstrvsaSET(h, a, 0), h->array);
    cstrvsaSET(h, b, 1);
    cstrvsaSET(h, c, 2);
    EXPECT_EQ(cstrvsaSET(h, a, 3), nullptr);
    // Increment 0: the insertion that needs growth is refused, nothing moves.
    EXPECT_EQ(cstrvsaINSERT(h, c, 0), nullptr);
    EXPECT_EQ(contents(h->array), (Strings{"a", "b", "c"}));
    expect_invariants(h);
    // Removal still works, and then there is room again.
    EXPECT_EQ(cstrvsaREMOVE(h, 0, 1), 1);
    EXPECT_NE(cstrvsaAPPEND(h, a), nullptr);
    char **plain = cstrvsaDETACH(h);  // the handle is gone, the block is ours
    EXPECT_EQ(contents(plain), (Strings{"b", "c", "a"}));
    std::free(plain);
}

TEST(GrowableArrays, FixedSizeEmptyArrayStillTerminated) {
    cstrvsa_handle *h = cstrvsaNEW(0, 0);
    ASSERT_NE(h, nullptr);
    expect_invariants(h);
    char a[] = "a";
    EXPECT_EQ(cstrvsaAPPEND(h, a), nullptr);
    cstrvsaFREE(h);

    cstrvsa_handle *attached = cstrvsaATTACH(make_array({"x", "y"}), 0);
    ASSERT_NE(attached, nullptr);
    EXPECT_EQ(cstrvsaCOUNT(attached), 2);
    EXPECT_EQ(cstrvsaSIZE(attached), 3);
    EXPECT_EQ(cstrvsaAPPEND(attached, a), nullptr);
    cstrvsaFREEALL(attached);
    EXPECT_EQ(cstrvsaATTACH(nullptr, 4), nullptr);
}

TEST(GrowableArrays, InsertPositionsAndBadIndexes) {
    cstrvsa_handle *h = cstrvsaNEW(0, 2);
    char a[] = "a", b[] = "b", c[] = "c", d[] = "d";
    // Index of the slot returned (after any growth), -1 for NULL.
    auto insert = [&](char *e, int at) {
        char **slot = cstrvsaINSERT(h, e, at);
        return slot != nullptr ? static_cast<int>(slot - h->array) : -1;
    };
    EXPECT_EQ(insert(b, 0), 0);
    EXPECT_EQ(insert(d, 1), 1);
    EXPECT_EQ(insert(a, 0), 0);
    EXPECT_EQ(insert(c, 2), 2);
    EXPECT_EQ(insert(a, -1), -1);
    EXPECT_EQ(insert(a, 5), -1);
    EXPECT_EQ(contents(h->array), (Strings{"a", "b", "c", "d"}));
    EXPECT_EQ(cstrvsaSIZE(h), 6);
    expect_invariants(h);
    EXPECT_EQ(cstrvsaPOINTER(h, 3), h->array + 3);
    EXPECT_EQ(cstrvsaPOINTER(h, 4), nullptr);
    EXPECT_EQ(cstrvsaPOINTER(h, -1), nullptr);
    EXPECT_EQ(cstrvsaMATCH(h, "c"), 2);
    cstrvsaFREE(h);

    EXPECT_EQ(cstrvsaCOUNT(nullptr), 0);
    EXPECT_EQ(cstrvsaSIZE(nullptr), 0);
    EXPECT_EQ(cstrvsaVSARRAY(nullptr), nullptr);
    EXPECT_EQ(cstrvsaAPPEND(nullptr, a), nullptr);
    EXPECT_EQ(cstrvsaMATCH(nullptr, "a"), -1);
    EXPECT_EQ(cstrvsaDETACH(nullptr), nullptr);
    cstrvsaFREE(nullptr);
    cstrvsaFREEALL(nullptr);
}

TEST(GrowableArrays, RemovalIsClippedAndClearsVacatedSlots) {
    cstrvsa_handle *h = cstrvsaATTACH(make_array({"a", "b", "c", "d"}), -1);
    char **c = cstrvsaPOINTER(h, 2);
    char *c_str = *c, *d_str = h->array[3];
    EXPECT_EQ(cstrvsaREMOVE(h, 2, 5), 2);
    EXPECT_EQ(cstrvsaCOUNT(h), 2);
    EXPECT_EQ(h->array[2], nullptr);
    EXPECT_EQ(h->array[3], nullptr);
    std::free(c_str);
    std::free(d_str);
    EXPECT_EQ(cstrvsaREMOVE(h, 2, 1), 0);
    EXPECT_EQ(cstrvsaREMOVE(h, -1, 1), 0);
    EXPECT_EQ(cstrvsaREMOVE(h, 0, 0), 0);
    EXPECT_EQ(cstrvsaREMOVEALL(h, 0, 1), 1);  // frees "a"
    EXPECT_EQ(contents(h->array), Strings{"b"});
    expect_invariants(h);
    cstrvsaFREEALL(h);
}

TEST(GrowableArrays, UniqueKeepsFirstOccurrences) {
    cstrvsa_handle *h = cstrvsaATTACH(make_array({"one", "two", "one", "three", "two"}), -1);
    cstrvsaUNIQUE(h, 1);  // the removed copies are freed (a leak would show)
    EXPECT_EQ(contents(h->array), (Strings{"one", "two", "three"}));
    expect_invariants(h);
    cstrvsaFREEALL(h);

    char x[] = "x", y[] = "y", x2[] = "x";
    h = cstrvsaNEW(0, -1);
    for (char *s : {x, x2, y, x, y}) cstrvsaAPPEND(h, s);
    cstrvsaUNIQUE(h, 0);
    ASSERT_EQ(cstrvsaCOUNT(h), 2);
    EXPECT_EQ(h->array[0], x);
    EXPECT_EQ(h->array[1], y);
    expect_invariants(h);
    cstrvsaFREE(h);
}

TEST(GrowableArrays, AllocationFailureLeavesHandleIntact) {
    yqtest::SysGuard guard;
    EXPECT_EQ(yqtest::for_each_alloc_failure([] {
                  cstrvsa_handle *h = cstrvsaNEW(2, 1);
                  if (h != nullptr) expect_invariants(h);
                  cstrvsaFREE(h);
              }),
              2);

    cstrvsa_handle *h = cstrvsaNEW(0, 1);
    char a[] = "a", b[] = "b";
    cstrvsaAPPEND(h, a);
    char **before = h->array;
    {
        yqtest::AllocFailer fail(1);
        EXPECT_EQ(cstrvsaAPPEND(h, b), nullptr);
    }
    EXPECT_EQ(h->array, before);
    EXPECT_EQ(cstrvsaCOUNT(h), 1);
    EXPECT_EQ(cstrvsaSIZE(h), 2);
    expect_invariants(h);
    cstrvsaFREE(h);

    char **src = make_array({"p", "q", "r"});
    char **other = make_array({"q"});
    yqtest::for_each_alloc_failure([&] {
        char **dup = cstraDUP(src);
        if (dup != nullptr) { EXPECT_EQ(contents(dup), contents(src)); }
        cstraFREE(dup);
        char **diff = cstraDIFF(src, other);
        if (diff != nullptr) { EXPECT_EQ(contents(diff), (Strings{"p", "r"})); }
        cstraFREE(diff);
        std::free(cstraTOcstr(src, ","));
    });
    cstraFREE(src);
    cstraFREE(other);
}

// Random operations on a handle and on a std::vector model side by side;
// the contents and the invariants are checked after every operation.
TEST(GrowableArrays, RandomOperationsMatchModel) {
    std::mt19937 rng(20240611);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    const char *words[] = {"a", "b", "c", "dd", "e"};
    for (int round = 0; round < 40; ++round) {
        int increment = std::vector<int>{-1, 0, 1, 3}[static_cast<size_t>(pick(0, 3))];
        int initial = pick(0, 2) == 0 ? pick(1, 4) : 0;
        cstrvsa_handle *h = cstrvsaNEW(initial, increment);
        ASSERT_NE(h, nullptr);
        Strings model;
        for (int i = 0; i < initial; ++i) {
            cstrvsaSET(h, ::strdup("z"), i);
            model.emplace_back("z");
        }
        for (int step = 0; step < 200; ++step) {
            int n = static_cast<int>(model.size());
            int op = pick(0, 5);
            int index = pick(-1, n + 1);
            char *word = ::strdup(words[pick(0, 4)]);
            if (op <= 1) {
                int at = op == 0 ? index : n;
                bool fits = n + 1 < h->capacity || h->increment > 0;
                char **slot = cstrvsaINSERT(h, word, at);
                if (at >= 0 && at <= n && fits) {
                    ASSERT_EQ(slot, h->array + at);
                    model.insert(model.begin() + at, word);
                } else {
                    ASSERT_EQ(slot, nullptr);
                }
                if (slot == nullptr) std::free(word);
                word = nullptr;
            } else if (op == 2 || op == 3) {
                int count = pick(-1, 4);
                int expected = (index < 0 || index >= n || count < 1) ? 0 : std::min(count, n - index);
                ASSERT_EQ(cstrvsaREMOVEALL(h, index, count), expected);
                if (expected > 0) model.erase(model.begin() + index, model.begin() + index + expected);
            } else if (op == 4) {
                char **slot = cstrvsaPOINTER(h, index);
                if (index >= 0 && index < n) {
                    std::free(*slot);
                    ASSERT_EQ(cstrvsaSET(h, word, index), slot);
                    model[static_cast<size_t>(index)] = word;
                    word = nullptr;
                } else {
                    ASSERT_EQ(cstrvsaSET(h, word, index), nullptr);
                }
            } else {
                cstrvsaUNIQUE(h, 1);
                Strings unique;
                for (const auto &s : model)
                    if (std::find(unique.begin(), unique.end(), s) == unique.end()) unique.push_back(s);
                model = unique;
            }
            std::free(word);
            expect_invariants(h);
            ASSERT_EQ(cstrvsaCOUNT(h), static_cast<int>(model.size()));
            ASSERT_EQ(contents(h->array), model);
            int growth = h->capacity - (initial > 0 ? initial + 1 : std::max(h->increment, 1));
            ASSERT_EQ(growth % std::max(h->increment, 1), 0);  // grows only in whole steps
        }
        cstrvsaFREEALL(h);
    }
}

}  // namespace
