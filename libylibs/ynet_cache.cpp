// Generic time-limited cache table behind the host and service caches.
//
// The tables are tiny (3 and 5 slots), so every operation is a linear scan
// and nothing is allocated after creation. Expiry is lazy: an expired item is
// released when a scan passes over it. The clock is read once per operation,
// so one scan judges every slot against the same instant.
#include <cstdlib>
#include <limits>

#include "ynet.h"
#include "ynet_private.h"
#include "yq_memory.h"
#include "yq_sys.h"

static constexpr const char *kModule = "ynet_cache";

namespace {

bool expired(const ynet_cache_slot &slot, int lifetime, time_t now) {
    return now > slot.created + static_cast<time_t>(lifetime);
}

// Empties the slot first, then hands the item to the table's release
// function, so the slot never points at a released item.
void release_slot(const ynet_cache_table *table, ynet_cache_slot &slot) {
    void *item = slot.item;
    slot = ynet_cache_slot{};
    if (item != nullptr && table->free_item != nullptr) table->free_item(item);
}

bool scannable(const ynet_cache_table *table) {
    return table != nullptr && table->slots != nullptr && table->match_item != nullptr &&
           table->slot_count >= 1;
}

// Shared by lookup and delete: the first live slot whose item answers `key`,
// releasing expired items passed on the way; null when none does.
ynet_cache_slot *scan(ynet_cache_table *table, const void *key, time_t now) {
    for (int i = 0; i < table->slot_count; ++i) {
        ynet_cache_slot &slot = table->slots[i];
        if (slot.item == nullptr) continue;
        if (expired(slot, table->lifetime, now)) {
            release_slot(table, slot);
            continue;
        }
        if (table->match_item(key, slot.item) != 0) return &slot;
    }
    return nullptr;
}

}  // namespace

extern "C" int ynet_cache_init_table(ynet_cache_table **table_out, int slot_count, int lifetime,
                                     void (*free_item)(void *),
                                     int (*match_item)(const void *, const void *)) noexcept {
    if (table_out == nullptr) return YN_FAIL(YN_STATUS_NULL_POINTER);
    *table_out = nullptr;
    yq::unique_malloc<ynet_cache_table> table(
        static_cast<ynet_cache_table *>(yq::sys::calloc(1, sizeof(ynet_cache_table))));
    if (!table) return YN_FAIL(YN_STATUS_NO_MEMORY);
    // A table without slots still gets an (empty) array, so that "no slot
    // to store into" is what an add reports, whatever calloc(0) returns.
    size_t count = slot_count > 0 ? static_cast<size_t>(slot_count) : 0;
    table->slots = static_cast<ynet_cache_slot *>(
        yq::sys::calloc(count > 0 ? count : 1, sizeof(ynet_cache_slot)));
    if (table->slots == nullptr) return YN_FAIL(YN_STATUS_NO_MEMORY);
    table->free_item = free_item;
    table->match_item = match_item;
    table->lifetime = lifetime;
    table->slot_count = slot_count;
    *table_out = table.release();
    return YN_STATUS_SUCCESS;
}

extern "C" void ynet_cache_free_table(ynet_cache_table **table_inout) noexcept {
    if (table_inout == nullptr || *table_inout == nullptr) return;
    ynet_cache_table *table = *table_inout;
    if (table->slots != nullptr) {
        for (int i = 0; i < table->slot_count; ++i) release_slot(table, table->slots[i]);
        std::free(table->slots);
    }
    std::free(table);
    *table_inout = nullptr;
}

extern "C" void *ynet_cache_find_item(ynet_cache_table *table, const void *key) noexcept {
    if (!scannable(table)) return nullptr;
    time_t now = yq::sys::time(nullptr);
    ynet_cache_slot *slot = scan(table, key, now);
    if (slot == nullptr) return nullptr;
    slot->last_used = now;
    return slot->item;
}

extern "C" void ynet_cache_delete_item(ynet_cache_table *table, const void *key) noexcept {
    if (!scannable(table)) return;
    time_t now = yq::sys::time(nullptr);
    ynet_cache_slot *slot = scan(table, key, now);
    if (slot != nullptr) release_slot(table, *slot);
}

extern "C" int ynet_cache_add_item(ynet_cache_table *table, void *item) noexcept {
    if (table == nullptr || table->slots == nullptr) return YN_FAIL(YN_STATUS_NULL_POINTER);
    time_t now = yq::sys::time(nullptr);

    // One pass: an empty slot, else an expired one, is taken at once; the
    // least recently used live slot is remembered on the way (strictly less,
    // so among equal times the lowest index wins). The running minimum starts
    // at the largest time, so the choice still works once the clock passes
    // 32 bits.
    ynet_cache_slot *chosen = nullptr;
    ynet_cache_slot *lru = nullptr;
    time_t oldest = std::numeric_limits<time_t>::max();
    for (int i = 0; i < table->slot_count; ++i) {
        ynet_cache_slot &slot = table->slots[i];
        if (slot.item == nullptr) {
            chosen = &slot;
            break;
        }
        if (expired(slot, table->lifetime, now)) {
            release_slot(table, slot);
            chosen = &slot;
            break;
        }
        if (slot.last_used < oldest) {
            oldest = slot.last_used;
            lru = &slot;
        }
    }
    if (chosen == nullptr) chosen = lru;
    if (chosen == nullptr) return YN_FAIL(YN_STATUS_NO_CACHE_SLOT);
    release_slot(table, *chosen);
    chosen->created = now;
    chosen->last_used = now;
    chosen->item = item;
    return YN_STATUS_SUCCESS;
}
