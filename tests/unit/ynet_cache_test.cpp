// Cache table: scripted adds, lookups and deletes against a moved clock,
// checked by the order in which the table lets go of its items and by what
// the slots hold at the end; then the guards and the allocation failures.
#include <cstdio>
#include <string>
#include <vector>

#include "ynet.h"
#include "yqtest.h"
#include "yqtest_clock.h"
#include "yqtest_report.h"

namespace {

using Ids = std::vector<int>;

// Items are small ints owned by the test; the release callback records the
// order in which the table lets go of them.
Ids g_released;
void release_item(void *item) { g_released.push_back(*static_cast<int *>(item)); }
int match_int(const void *key, const void *item) {
    return *static_cast<const int *>(key) == *static_cast<const int *>(item);
}

class Cache : public ::testing::Test {
protected:
    Cache() {
        g_released.clear();
        for (int i = 0; i < 10; ++i) items[i] = i;
    }
    ~Cache() override { ynet_cache_free_table(&table); }

    // Item id in each slot, -1 for an empty one (whose fields must all be 0).
    Ids contents() const {
        Ids ids;
        for (int i = 0; i < table->slot_count; ++i) {
            const ynet_cache_slot &s = table->slots[i];
            if (s.item != nullptr) {
                ids.push_back(*static_cast<int *>(s.item));
                continue;
            }
            EXPECT_EQ(s.created | s.last_used, 0) << "slot " << i;
            ids.push_back(-1);
        }
        return ids;
    }

    yqtest::FakeClock clock;
    ynet_cache_table *table = nullptr;
    int items[10];
};

TEST_F(Cache, ScriptedUse) {
    // Steps "OPtime:id": a add, A add refused for want of a slot, f lookup
    // that finds the item, m lookup that finds nothing, d delete.
    struct Script {
        const char *what;
        int slots, lifetime;
        bool release, match;
        const char *steps;
        Ids released, contents;
    };
    const Script scripts[] = {
        {"an item lives exactly its lifetime, use does not extend it", 3, 60, true, true,
         "a1000:1 f1060:1 m1061:1", {1}, {-1, -1, -1}},
        {"a full table replaces the item least recently returned", 3, 600, true, true,
         "a100:1 a101:2 a102:3 f103:1 a104:4", {2}, {1, 4, 3}},
        {"among equal times the lowest index goes", 3, 600, true, true,
         "a200:1 a200:2 a200:3 a201:4 a201:5 a201:6 a202:7", {1, 2, 3, 4}, {7, 5, 6}},
        {"replacement still works once the clock passes 31 bits", 2, 600, true, true,
         "a3000000000:1 a3000000001:2 f3000000002:1 a3000000003:3", {2}, {1, 3}},
        {"add takes the first empty or expired slot in index order", 3, 10, true, true,
         "a100:1 a100:2 d100:2 a111:3", {2, 1}, {3, -1, -1}},
        {"a lookup releases expired items up to its match only", 4, 10, true, true,
         "a100:1 a105:2 a100:3 a105:4 f111:2", {1}, {-1, 2, 3, 4}},
        {"a delete releases expired items on its way, then its match", 4, 10, true, true,
         "a100:1 a105:2 a100:3 a105:4 d111:4 d111:9 f111:2", {1, 3, 4}, {-1, 2, -1, -1}},
        {"without a match function nothing is found, deleted or expired", 2, 10, true, false,
         "a100:1 m100:1 d500:1 m500:1", {}, {1, -1}},
        {"without a release function items stay the caller's", 1, 10, false, true,
         "a100:1 a100:2 f100:2 m200:2", {}, {-1}},
        {"no slots", 0, 10, true, true, "A100:1 m100:1", {}, {}},
        {"negative slot count", -3, 10, true, true, "A100:1 m100:1", {}, {}},
    };
    for (const Script &s : scripts) {
        SCOPED_TRACE(s.what);
        ynet_cache_free_table(&table);
        g_released.clear();
        ASSERT_EQ(ynet_cache_init_table(&table, s.slots, s.lifetime,
                                        s.release ? release_item : nullptr,
                                        s.match ? match_int : nullptr), 0);
        for (const char *p = s.steps; *p != '\0';) {
            char op = 0;
            long long at = 0;
            int id = 0, used = 0;
            ASSERT_EQ(std::sscanf(p, " %c%lld:%d%n", &op, &at, &id, &used), 3) << p;
            SCOPED_TRACE(std::string(p, static_cast<size_t>(used)));
            p += used;
            clock.set(static_cast<time_t>(at));
            if (op == 'a' || op == 'A')
                EXPECT_EQ(ynet_cache_add_item(table, &items[id]),
                          op == 'a' ? YN_STATUS_SUCCESS : YN_STATUS_NO_CACHE_SLOT);
            else if (op == 'd')
                ynet_cache_delete_item(table, &items[id]);
            else
                EXPECT_EQ(ynet_cache_find_item(table, &items[id]), op == 'f' ? &items[id] : nullptr);
        }
        EXPECT_EQ(g_released, s.released);
        EXPECT_EQ(contents(), s.contents);
    }
}

TEST_F(Cache, GuardsAndRelease) {
    yqtest::Reports reports;
    EXPECT_EQ(ynet_cache_add_item(nullptr, &items[1]), YN_STATUS_NULL_POINTER);
    EXPECT_TRUE(reports.has("ynet_cache.")) << reports.text();
    EXPECT_TRUE(reports.has(": Function failed: 2 0x00000002\n")) << reports.text();
    ynet_cache_table bare{release_item, match_int, 10, 3, nullptr};
    EXPECT_EQ(ynet_cache_add_item(&bare, &items[1]), YN_STATUS_NULL_POINTER);
    for (ynet_cache_table *t : {static_cast<ynet_cache_table *>(nullptr), &bare}) {
        EXPECT_EQ(ynet_cache_find_item(t, &items[1]), nullptr);
        ynet_cache_delete_item(t, &items[1]);
    }

    ASSERT_EQ(ynet_cache_init_table(&table, 3, 10, release_item, match_int), 0);
    ASSERT_EQ(ynet_cache_add_item(table, &items[1]), 0);
    ASSERT_EQ(ynet_cache_add_item(table, &items[2]), 0);
    ynet_cache_free_table(&table);
    EXPECT_EQ(table, nullptr);
    EXPECT_EQ(g_released, (Ids{1, 2}));
    ynet_cache_free_table(&table);
    ynet_cache_free_table(nullptr);
}

TEST_F(Cache, FailedAllocationLeavesNoTable) {
    int failures = 0;
    yqtest::for_each_alloc_failure([&] {
        ynet_cache_table *t = reinterpret_cast<ynet_cache_table *>(&items[0]);
        int st = ynet_cache_init_table(&t, 3, 10, release_item, match_int);
        EXPECT_TRUE(st == 0 ? t != nullptr : t == nullptr && st == YN_STATUS_NO_MEMORY) << st;
        failures += st != 0;
        ynet_cache_free_table(&t);
    });
    EXPECT_GE(failures, 2);  // the record, then the slot array (the record released)
}

}  // namespace
