// Cache table: expiry against a moved clock, least-recently-used
// replacement, lazy release order, guards and allocation failures.
#include <cstdio>
#include <string>
#include <vector>

#include "ynet.h"
#include "yqtest.h"

namespace {

// Items are small ints owned by the test; the release callback records the
// order in which the table lets go of them.
std::vector<int> g_released;
time_t g_now = 0;
int g_time_calls = 0;

void release_item(void *item) { g_released.push_back(*static_cast<int *>(item)); }
int match_int(const void *key, const void *item) {
    return *static_cast<const int *>(key) == *static_cast<const int *>(item);
}
time_t fake_time(time_t *t) {
    ++g_time_calls;
    if (t != nullptr) *t = g_now;
    return g_now;
}

class CacheTable : public ::testing::Test {
protected:
    void SetUp() override {
        g_released.clear();
        g_now = 1000;
        g_time_calls = 0;
        yq::sys::table.time = fake_time;
        for (int i = 0; i < 10; ++i) items[i] = i;
    }
    void TearDown() override { ynet_cache_free_table(&table); }

    void make(int slots, int lifetime, bool with_match = true) {
        ASSERT_EQ(ynet_cache_init_table(&table, slots, lifetime, release_item,
                                        with_match ? match_int : nullptr),
                  0);
    }
    void add_at(time_t when, int id) {
        g_now = when;
        ASSERT_EQ(ynet_cache_add_item(table, &items[id]), 0);
    }
    int *find_at(time_t when, int id) {
        g_now = when;
        return static_cast<int *>(ynet_cache_find_item(table, &items[id]));
    }
    // Item id in each slot, -1 for an empty one (whose fields must all be 0).
    std::vector<int> contents() const {
        std::vector<int> ids;
        for (int i = 0; i < table->slot_count; ++i) {
            const ynet_cache_slot &s = table->slots[i];
            if (s.item == nullptr) {
                EXPECT_EQ(s.created, 0) << "slot " << i;
                EXPECT_EQ(s.last_used, 0) << "slot " << i;
                ids.push_back(-1);
            } else {
                ids.push_back(*static_cast<int *>(s.item));
            }
        }
        return ids;
    }

    yqtest::SysGuard guard;
    ynet_cache_table *table = nullptr;
    int items[10];
};

using Ids = std::vector<int>;

TEST_F(CacheTable, ItemLivesForExactlyItsLifetimeAndUseDoesNotExtendIt) {
    make(3, 60);
    add_at(1000, 1);
    g_time_calls = 0;
    EXPECT_EQ(find_at(1060, 1), &items[1]);
    EXPECT_EQ(g_time_calls, 1);  // one instant per operation
    EXPECT_EQ(table->slots[0].last_used, 1060);
    EXPECT_EQ(table->slots[0].created, 1000);
    EXPECT_TRUE(g_released.empty());

    EXPECT_EQ(find_at(1061, 1), nullptr);
    EXPECT_EQ(g_released, Ids{1});
    EXPECT_EQ(contents(), (Ids{-1, -1, -1}));
}

TEST_F(CacheTable, FullTableReplacesLeastRecentlyReturnedItem) {
    make(3, 600);
    add_at(100, 1);
    add_at(101, 2);
    add_at(102, 3);
    EXPECT_EQ(find_at(103, 1), &items[1]);  // 1 is now the most recent
    add_at(104, 4);
    EXPECT_EQ(g_released, Ids{2});
    EXPECT_EQ(contents(), (Ids{1, 4, 3}));
    EXPECT_EQ(table->slots[1].created, 104);
    EXPECT_EQ(table->slots[1].last_used, 104);

    // Never looked up, all added in the same second: the lowest index goes.
    ynet_cache_free_table(&table);
    g_released.clear();
    make(3, 600);
    add_at(200, 1);
    add_at(200, 2);
    add_at(200, 3);
    add_at(201, 4);
    EXPECT_EQ(g_released, Ids{1});
    add_at(201, 5);  // slots 1 and 2 tie at 200
    add_at(201, 6);
    EXPECT_EQ(g_released, (Ids{1, 2, 3}));
    EXPECT_EQ(contents(), (Ids{4, 5, 6}));
    add_at(202, 7);  // all tie at 201 again
    EXPECT_EQ(g_released, (Ids{1, 2, 3, 4}));
    EXPECT_EQ(contents(), (Ids{7, 5, 6}));
}

TEST_F(CacheTable, AddTakesFirstEmptyOrExpiredSlotInIndexOrder) {
    make(3, 10);
    add_at(100, 1);
    add_at(100, 2);
    g_now = 100;
    ynet_cache_delete_item(table, &items[2]);
    EXPECT_EQ(g_released, Ids{2});
    EXPECT_EQ(contents(), (Ids{1, -1, -1}));

    // Slot 0 expired comes before the empty slot 1.
    add_at(111, 3);
    EXPECT_EQ(g_released, (Ids{2, 1}));
    EXPECT_EQ(contents(), (Ids{3, -1, -1}));
}

TEST_F(CacheTable, ScansReleaseExpiredItemsUpToTheMatchOnly) {
    make(4, 10);
    add_at(100, 1);  // expires after 110
    add_at(105, 2);  // live until 115
    add_at(100, 3);  // expires after 110
    add_at(105, 4);

    EXPECT_EQ(find_at(111, 2), &items[2]);
    EXPECT_EQ(g_released, Ids{1});  // released before the match; 3 left alone
    EXPECT_EQ(contents(), (Ids{-1, 2, 3, 4}));

    g_now = 111;
    ynet_cache_delete_item(table, &items[4]);
    EXPECT_EQ(g_released, (Ids{1, 3, 4}));
    EXPECT_EQ(contents(), (Ids{-1, 2, -1, -1}));

    // An expired item is never returned, nor deleted as a match.
    EXPECT_EQ(find_at(116, 2), nullptr);
    EXPECT_EQ(g_released, (Ids{1, 3, 4, 2}));
    ynet_cache_delete_item(table, &items[9]);  // unknown key: nothing
    EXPECT_EQ(g_released.size(), 4u);
}

TEST_F(CacheTable, FreeTableReleasesEverythingAndNullsThePointer) {
    make(3, 10);
    add_at(100, 1);
    add_at(100, 2);
    ynet_cache_free_table(&table);
    EXPECT_EQ(table, nullptr);
    EXPECT_EQ(g_released, (Ids{1, 2}));

    ynet_cache_free_table(&table);  // pointer to null
    ynet_cache_free_table(nullptr);
}

TEST_F(CacheTable, WithoutMatchFunctionNothingIsFoundOrDeleted) {
    make(2, 10, false);
    add_at(100, 1);
    EXPECT_EQ(find_at(100, 1), nullptr);
    g_now = 500;  // expired, but a table that cannot scan releases nothing
    ynet_cache_delete_item(table, &items[1]);
    EXPECT_EQ(find_at(500, 1), nullptr);
    EXPECT_TRUE(g_released.empty());
    EXPECT_EQ(contents(), (Ids{1, -1}));
}

TEST_F(CacheTable, WithoutReleaseFunctionItemsStayTheCallers) {
    ASSERT_EQ(ynet_cache_init_table(&table, 1, 10, nullptr, match_int), 0);
    add_at(100, 1);
    add_at(100, 2);  // replaces 1 without releasing it
    EXPECT_EQ(find_at(100, 2), &items[2]);
    EXPECT_EQ(find_at(200, 2), nullptr);
    EXPECT_EQ(contents(), Ids{-1});
}

TEST_F(CacheTable, AddRefusesMissingTableOrSlots) {
    EXPECT_EQ(ynet_cache_add_item(nullptr, &items[1]), YN_STATUS_NULL_POINTER);
    EXPECT_EQ(ynet_cache_find_item(nullptr, &items[1]), nullptr);
    ynet_cache_delete_item(nullptr, &items[1]);

    ynet_cache_table bare{release_item, match_int, 10, 3, nullptr};
    EXPECT_EQ(ynet_cache_add_item(&bare, &items[1]), YN_STATUS_NULL_POINTER);
    EXPECT_EQ(ynet_cache_find_item(&bare, &items[1]), nullptr);

    // Without slots no add succeeds; the item stays the caller's.
    for (int slots : {0, -3}) {
        make(slots, 10);
        g_now = 100;
        EXPECT_EQ(ynet_cache_add_item(table, &items[1]), YN_STATUS_NO_CACHE_SLOT);
        EXPECT_EQ(ynet_cache_find_item(table, &items[1]), nullptr);
        ynet_cache_free_table(&table);
    }
    EXPECT_TRUE(g_released.empty());
}

TEST_F(CacheTable, FailedAllocationLeavesNoTable) {
    int failures = 0;
    long points = yqtest::for_each_alloc_failure([&] {
        ynet_cache_table *t = reinterpret_cast<ynet_cache_table *>(&items[0]);
        int st = ynet_cache_init_table(&t, 3, 10, release_item, match_int);
        if (st == 0) {
            ASSERT_NE(t, nullptr);
            EXPECT_EQ(t->slot_count, 3);
            ynet_cache_free_table(&t);
        } else {
            EXPECT_EQ(st, YN_STATUS_NO_MEMORY);
            EXPECT_EQ(t, nullptr);
            ++failures;
        }
    });
    EXPECT_GE(points, 2);
    EXPECT_GE(failures, 2);  // the record and the slot array
}

TEST_F(CacheTable, FailedAddIsReportedUnderTheModuleName) {
    char *text = nullptr;
    size_t size = 0;
    FILE *stream = open_memstream(&text, &size);
    ASSERT_NE(stream, nullptr);
    ynet_debug_stream = stream;
    EXPECT_EQ(ynet_cache_add_item(nullptr, &items[1]), YN_STATUS_NULL_POINTER);
    ynet_debug_stream = nullptr;
    std::fclose(stream);
    std::string lines(text, size);
    std::free(text);
    EXPECT_NE(lines.find("ynet_cache."), std::string::npos) << lines;
    EXPECT_NE(lines.find(": 2 0x00000002"), std::string::npos) << lines;
}

}  // namespace
