// Cache table: scripted adds, lookups and deletes against a moved clock, checked by
// the order in which the table lets go of its items and what the slots hold.
#include <cstdio>
#include <string>
#include <vector>

#include "ynet.h"
#include "yqtest.h"
#include "yqtest_clock.h"
#include "yqtest_report.h"

namespace {

using Ids = std::vector<int>;

Ids g_released;  // items are the ids 0..9 themselves, in the order let go
int g_items[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
void release_item(void *item) { g_released.push_back(*static_cast<int *>(item)); }
int match_int(const void *key, const void *item) { return *static_cast<const int *>(key) == *static_cast<const int *>(item); }

TEST(Cache, ScriptedUse) {
    // Steps "OPtime:id": a add, A add refused for want of a slot, f found, m missed, d delete.
    struct Script {
        const char *what;
        int slots, lifetime, release, match;
        const char *steps;
        Ids released, contents;
    };
    const Script scripts[] = {
        {"lives exactly its lifetime, use does not extend it", 3, 60, 1, 1, "a1000:1 f1060:1 m1061:1", {1}, {-1, -1, -1}},
        {"full: the least recently returned goes", 3, 600, 1, 1, "a100:1 a101:2 a102:3 f103:1 a104:4", {2}, {1, 4, 3}},
        {"equal times: the lowest index goes", 3, 600, 1, 1, "a200:1 a200:2 a200:3 a201:4 a201:5 a201:6 a202:7",
         {1, 2, 3, 4}, {7, 5, 6}},
        {"past 31 bits of clock", 2, 600, 1, 1, "a3000000000:1 a3000000001:2 f3000000002:1 a3000000003:3", {2}, {1, 3}},
        {"the first empty or expired slot", 3, 10, 1, 1, "a100:1 a100:2 d100:2 a111:3", {2, 1}, {3, -1, -1}},
        {"lookups expire up to the match", 4, 10, 1, 1, "a100:1 a105:2 a100:3 a105:4 f111:2", {1}, {-1, 2, 3, 4}},
        {"deletes expire on the way", 4, 10, 1, 1, "a100:1 a105:2 a100:3 a105:4 d111:4 d111:9 f111:2", {1, 3, 4},
         {-1, 2, -1, -1}},
        {"no match function", 2, 10, 1, 0, "a100:1 m100:1 d500:1 m500:1", {}, {1, -1}},
        {"no release function", 1, 10, 0, 1, "a100:1 a100:2 f100:2 m200:2", {}, {-1}},
        {"no slots", 0, 10, 1, 1, "A100:1 m100:1", {}, {}}, {"negative slot count", -3, 10, 1, 1, "A100:1", {}, {}},
    };
    yqtest::FakeClock clock;
    for (const Script &s : scripts) {
        SCOPED_TRACE(s.what);
        ynet_cache_table *table = nullptr;
        ASSERT_EQ(ynet_cache_init_table(&table, s.slots, s.lifetime, s.release ? release_item : nullptr,
                                        s.match ? match_int : nullptr), 0);
        g_released.clear();
        char op = 0;
        long long at = 0;
        int id = 0, used = 0;
        for (const char *p = s.steps; std::sscanf(p, " %c%lld:%d%n", &op, &at, &id, &used) == 3; p += used) {
            clock.set(static_cast<time_t>(at));
            void *found = nullptr;
            int status = 0;
            if (op == 'd') ynet_cache_delete_item(table, &g_items[id]);
            if (op == 'a' || op == 'A') status = ynet_cache_add_item(table, &g_items[id]);
            if (op == 'f' || op == 'm') found = ynet_cache_find_item(table, &g_items[id]);
            EXPECT_EQ(status, op == 'A' ? YN_STATUS_NO_CACHE_SLOT : 0) << std::string(p, static_cast<size_t>(used));
            EXPECT_EQ(found, op == 'f' ? &g_items[id] : nullptr) << std::string(p, static_cast<size_t>(used));
        }
        EXPECT_EQ(g_released, s.released);
        Ids left;  // item id in each slot, -1 for an empty one (whose fields must all be 0)
        size_t live = 0;
        for (int i = 0; i < table->slot_count; ++i) {
            const ynet_cache_slot &slot = table->slots[i];
            EXPECT_TRUE(slot.item != nullptr || (slot.created | slot.last_used) == 0) << "slot " << i;
            left.push_back(slot.item != nullptr ? *static_cast<int *>(slot.item) : -1);
            live += slot.item != nullptr;
        }
        EXPECT_EQ(left, s.contents);
        ynet_cache_free_table(&table);  // releases what is left
        EXPECT_EQ(table, nullptr);
        EXPECT_EQ(g_released.size(), s.released.size() + (s.release ? live : 0));
    }
}

TEST(Cache, GuardsAndAllocationFailures) {
    yqtest::Reports reports;
    ynet_cache_table bare{release_item, match_int, 10, 3, nullptr}, *table = nullptr;
    for (ynet_cache_table *t : {table, &bare}) {
        EXPECT_EQ(ynet_cache_add_item(t, &g_items[1]), YN_STATUS_NULL_POINTER);
        EXPECT_EQ(ynet_cache_find_item(t, &g_items[1]), nullptr);
        ynet_cache_delete_item(t, &g_items[1]);
    }
    EXPECT_EQ(reports.count("ynet_cache."), 2) << reports.text();
    EXPECT_EQ(reports.count(": Function failed: 2 0x00000002\n"), 2) << reports.text();
    ynet_cache_free_table(&table);
    ynet_cache_free_table(nullptr);

    int failures = 0;  // the record, then the slot array (the record released)
    yqtest::for_each_alloc_failure([&] {
        table = reinterpret_cast<ynet_cache_table *>(&g_items[0]);
        int st = ynet_cache_init_table(&table, 3, 10, release_item, match_int);
        EXPECT_TRUE(st == 0 ? table != nullptr : table == nullptr && st == YN_STATUS_NO_MEMORY) << st;
        failures += st != 0;
        ynet_cache_free_table(&table);
    });
    EXPECT_GE(failures, 2);
}

}  // namespace
