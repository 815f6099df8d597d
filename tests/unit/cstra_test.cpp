#include "cstra.h"

#include <cstdlib>
#include <cstring>

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

TEST(StringArrays, CopiesJoinsDifferencesAndAppends) {
    char **a = make_array({"one", "two", "three", "two"}), **copy = cstraDUP(a);
    EXPECT_EQ(take(copy), contents(a)) << "a copy of every string";
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

    // Appending moves b's strings to a (out of memory, both stay the caller's: the sweep).
    a = make_array({"one"});
    char **b = make_array({"two", "three"}), *moved = b[0];
    char **joined = cstraAPPEND(a, b);
    EXPECT_EQ(joined[1], moved) << "moved, not copied";
    EXPECT_EQ(take(joined), (Strings{"one", "two", "three"}));
    EXPECT_EQ(take(cstraAPPEND(make_array({"one"}), make_array({}))), Strings{"one"});
}

TEST(StringArrays, GrowthInsertionRemovalAndUnique) {
    yqtest::SysGuard guard;
    char x[] = "x";
    cstrvsa_handle *fixed = cstrvsaNEW(0, 0), *h = cstrvsaNEW(0, -1);
    EXPECT_EQ(cstrvsaAPPEND(fixed, x), nullptr) << "a fixed-size empty array keeps its terminator";
    for (int i = 0; i < 15; ++i) cstrvsaAPPEND(h, x);
    EXPECT_EQ(cstrvsaSIZE(h), 16);
    char **before = h->array;
    {
        yqtest::AllocFailer fail(1);
        EXPECT_EQ(cstrvsaAPPEND(h, x), nullptr);
    }
    EXPECT_EQ(h->array, before) << "a failed growth changes nothing";
    EXPECT_NE(cstrvsaAPPEND(h, x), nullptr);
    EXPECT_EQ(cstrvsaSIZE(h), 32);
    expect_invariants(h);
    cstrvsaFREE(fixed);
    cstrvsaFREE(h);

    h = cstrvsaATTACH(make_array({"b", "d"}), 1);
    const struct { int at; const char *word; bool done; } inserts[] = {
        {0, "a", true}, {2, "c", true}, {4, "e", true}, {-1, "x", false}, {6, "x", false}};
    for (const auto &row : inserts) {
        yq::unique_malloc<char> word(::strdup(row.word));
        char **slot = cstrvsaINSERT(h, word.get(), row.at);
        EXPECT_EQ(slot, row.done ? h->array + row.at : nullptr) << row.at;
        if (slot != nullptr) (void)word.release();
    }
    EXPECT_EQ(contents(h->array), (Strings{"a", "b", "c", "d", "e"}));
    EXPECT_EQ(cstrvsaREMOVEALL(h, 3, 5), 2) << "clipped to the end";
    EXPECT_EQ(cstrvsaREMOVEALL(h, 3, 1) + cstrvsaREMOVEALL(h, 0, 0), 0);
    for (const char *s : {"a", "c", "b", "a"}) cstrvsaAPPEND(h, ::strdup(s));
    cstrvsaUNIQUE(h, 1);
    EXPECT_EQ(contents(h->array), (Strings{"a", "b", "c"})) << "first occurrences kept";
    expect_invariants(h);
    cstrvsaFREEALL(h);
}

}  // namespace
