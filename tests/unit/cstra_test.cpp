#include "cstra.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>

#include "cstrvsa.h"
#include "yq_memory.h"
#include "yqtest.h"

namespace {

using Strings = std::vector<std::string>;

// A heap array of heap strings, as the library's callers build them.
char **make_array(const Strings &items) {
    auto **a = static_cast<char **>(std::calloc(items.size() + 1, sizeof(char *)));
    for (size_t i = 0; i < items.size(); ++i) a[i] = ::strdup(items[i].c_str());
    return a;
}

// The strings of an array; with `release`, the array is freed.
Strings contents(char **a, bool release = false) {
    Strings v(a, a + cstraCOUNT(a));
    if (release) cstraFREE(a);
    return v;
}
Strings take(char **a) { return contents(a, true); }

// Count within the block, and every slot from count to its end NULL.
void expect_invariants(const cstrvsa_handle *h) {
    ASSERT_LT(h->count, h->capacity);
    for (int i = h->count; i < h->capacity; ++i) ASSERT_EQ(h->array[i], nullptr) << "slot " << i;
}

TEST(StringArrays, CopiesJoinsAndDifferences) {
    char **a = make_array({"one", "two", "three", "two"}), **copy = cstraDUP(a);
    EXPECT_NE(copy[0], a[0]) << "deep";
    EXPECT_EQ(take(copy), contents(a));
    const struct { Strings items; const char *separator, *joined; } joins[] = {
        {{"one", "two", "three"}, ", ", "one, two, three"}, {{"one", "two"}, nullptr, "onetwo"},
        {{}, ",", nullptr}, {{"", ""}, "", nullptr}, {{"", ""}, "-", "-"}, {{"x"}, "--", "x"}};
    for (const auto &row : joins) {
        char **items = make_array(row.items);
        EXPECT_STREQ(yq::unique_malloc<char>(cstraTOcstr(items, row.separator)).get(), row.joined);
        cstraFREE(items);
    }
    char **two = make_array({"two"}), **all = make_array({"three", "two", "one"});
    EXPECT_EQ(take(cstraDIFF(a, two)), (Strings{"one", "three"}));
    EXPECT_EQ(cstraDIFF(a, all), nullptr);
    for (char **p : {a, two, all}) cstraFREE(p);
}

TEST(StringArrays, AppendMovesTheStringsOrLeavesBothArrays) {
    yqtest::SysGuard guard;
    char **a = make_array({"one"}), **b = make_array({"two", "three"}), *moved = b[0];
    EXPECT_EQ(yqtest::for_each_alloc_failure([&] {
        char **joined = cstraAPPEND(a, b);
        if (joined == nullptr) return;  // a and b are still the caller's
        EXPECT_EQ(joined[1], moved) << "moved, not copied";
        EXPECT_EQ(take(joined), (Strings{"one", "two", "three"}));
        a = make_array({"one"});
        b = make_array({"two", "three"});
        moved = b[0];
    }), 2);
    EXPECT_EQ(take(cstraAPPEND(a, make_array({}))), Strings{"one"});
    cstraFREE(b);
}

TEST(StringArrays, GrowthInStepsOrNotAtAll) {
    char x[] = "x";
    cstrvsa_handle *fixed = cstrvsaNEW(0, 0), *h = cstrvsaNEW(0, -1);
    EXPECT_EQ(cstrvsaAPPEND(fixed, x), nullptr) << "a fixed-size empty array keeps its terminator";
    for (int i = 0; i < 15; ++i) cstrvsaAPPEND(h, x);
    EXPECT_EQ(cstrvsaSIZE(h), 16);
    cstrvsaAPPEND(h, x);
    EXPECT_EQ(cstrvsaSIZE(h), 32);
    cstrvsaFREE(fixed);
    cstrvsaFREE(h);
}

// Random operations on a handle and on a std::vector model side by side,
// some growths failing for want of memory (which must change nothing);
// contents and invariants are checked after every operation.
TEST(StringArrays, RandomOperationsMatchAModel) {
    yqtest::SysGuard guard;
    std::mt19937 rng(20240611);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (int round = 0; round < 40; ++round) {
        cstrvsa_handle *h = cstrvsaNEW(0, pick(-1, 3));
        Strings model;
        for (int step = 0; step < 200; ++step) {
            const int n = static_cast<int>(model.size()), op = pick(0, 2), at = pick(-1, n + 1), count = pick(-1, 4);
            const std::string text(1, static_cast<char>('a' + pick(0, 4)));
            yq::unique_malloc<char> word(::strdup(text.c_str()));
            if (op == 0) {
                const bool room = n + 1 < h->capacity, no_memory = !room && pick(0, 3) == 0;
                const bool fits = at >= 0 && at <= n && (room || (h->increment > 0 && !no_memory));
                char **slot = [&] {
                    yqtest::AllocFailer fail(no_memory ? 1 : 0);
                    return cstrvsaINSERT(h, fits ? word.release() : word.get(), at);
                }();
                ASSERT_EQ(slot, fits ? h->array + at : nullptr);
                if (fits) model.insert(model.begin() + at, text);
            } else if (op == 1) {
                const int removed = at < 0 || at >= n || count < 1 ? 0 : std::min(count, n - at);
                ASSERT_EQ(cstrvsaREMOVEALL(h, at, count), removed);
                if (removed > 0) model.erase(model.begin() + at, model.begin() + at + removed);
            } else {
                cstrvsaUNIQUE(h, 1);
                std::set<std::string> seen;
                std::erase_if(model, [&](const std::string &s) { return !seen.insert(s).second; });
            }
            expect_invariants(h);
            ASSERT_EQ(contents(h->array), model);
        }
        cstrvsaFREEALL(h);
    }
}

}  // namespace
