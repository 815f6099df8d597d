// Service name and port resolution through a process-wide cache, with the
// (protocol, name) pairs that failed remembered as well, and the rule that
// decides whether two names or ports denote one service.
#include <netdb.h>
#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "ynet.h"
#include "ynet_private.h"
#include "ynet_servs_private.h"
#include "yq_sys.h"

static constexpr const char *kModule = "ynet_servs";

namespace {

using yq::ynet_servs::sap;
using yq::ynet_servs::serv_key;

constexpr int kCacheSlots = 3;
constexpr int kFailedCacheSlots = 5;
constexpr int kLifetime = 86400;
constexpr int kResolverCalls = 3;
constexpr unsigned kRetrySeconds = 1;

ynet_cache_table *cache_table = nullptr;
ynet_cache_table *failed_cache_table = nullptr;

struct ServentDeleter {
    void operator()(struct servent *entry) const noexcept { ynet_free_servent(&entry); }
};
using ServentPtr = std::unique_ptr<struct servent, ServentDeleter>;

bool same_text(const char *a, const char *b) {
    return a != nullptr && b != nullptr && strcasecmp(a, b) == 0;
}

// Both absent, or both present and equal.
bool same_proto(const char *a, const char *b) {
    return (a == nullptr && b == nullptr) || same_text(a, b);
}

bool in_list(const char *name, char *const *list) {
    if (name == nullptr || list == nullptr) return false;
    for (; *list != nullptr; ++list)
        if (same_text(name, *list)) return true;
    return false;
}

void free_list(char **list) {
    if (list == nullptr) return;
    for (char **p = list; *p != nullptr; ++p) std::free(*p);
    std::free(list);
}

bool copy_text(const char *source, char **out) {
    *out = nullptr;
    if (source == nullptr) return true;
    *out = yq::sys::strdup(source);
    return *out != nullptr;
}

// Zero-filled, so a partial copy stays null-terminated and releasable.
bool copy_list(char *const *source, char ***out) {
    *out = nullptr;
    if (source == nullptr) return true;
    size_t n = 0;
    while (source[n] != nullptr) ++n;
    auto *list = static_cast<char **>(yq::sys::calloc(n + 1, sizeof(char *)));
    if (list == nullptr) return false;
    *out = list;
    for (size_t i = 0; i < n; ++i)
        if (!copy_text(source[i], &list[i])) return false;
    return true;
}

void release_servent_item(void *item) {
    auto *entry = static_cast<struct servent *>(item);
    ynet_free_servent(&entry);
}

void release_sap_item(void *item) {
    auto *pair = static_cast<sap *>(item);
    yq::ynet_servs::free_sap(&pair);
}

int init_cache() {
    if (cache_table == nullptr) {
        int status = ynet_cache_init_table(&cache_table, kCacheSlots, kLifetime,
                                           release_servent_item, yq::ynet_servs::is_servent_item);
        if (status != YN_STATUS_SUCCESS) return status;
    }
    if (failed_cache_table == nullptr)
        return ynet_cache_init_table(&failed_cache_table, kFailedCacheSlots, kLifetime,
                                     release_sap_item, yq::ynet_servs::is_sap_item);
    return YN_STATUS_SUCCESS;
}

// The retry rule of every resolver call here: while nothing comes back and
// the resolver says TRY_AGAIN, pause and ask again, three calls at most. The
// service calls do not set h_errno themselves, so it is cleared first:
// a TRY_AGAIN left over from an earlier host lookup must not cause retries.
template <typename Lookup>
struct servent *with_retries(Lookup lookup) {
    for (int call = 0; call < kResolverCalls; ++call) {
        h_errno = 0;
        struct servent *entry = lookup();
        if (entry != nullptr) return entry;
        if (h_errno != TRY_AGAIN) break;
        yq::sys::sleep(kRetrySeconds);
    }
    return nullptr;
}

// Copies a fresh resolver answer, keeps it in the cache and hands the caller
// a copy of its own.
int cache_and_copy(const struct servent *answer, struct servent **out) {
    struct servent *fresh = nullptr;
    int status = ynet_copy_servent(answer, &fresh);
    if (status != YN_STATUS_SUCCESS) return status;
    ServentPtr kept(fresh);
    status = ynet_cache_add_item(cache_table, fresh);
    if (status != YN_STATUS_SUCCESS) return status;
    kept.release();  // the cache's now
    return ynet_copy_servent(fresh, out);
}

}  // namespace

namespace yq::ynet_servs {

int is_servent_item(const void *key_ptr, const void *item) noexcept {
    const auto *key = static_cast<const serv_key *>(key_ptr);
    const auto *entry = static_cast<const struct servent *>(item);
    if (key->proto != nullptr && !same_text(key->proto, entry->s_proto)) return 0;
    if (key->name != nullptr &&
        (same_text(key->name, entry->s_name) || in_list(key->name, entry->s_aliases)))
        return 1;
    return key->port != nullptr && *key->port == entry->s_port ? 1 : 0;
}

int is_sap_item(const void *key_ptr, const void *item) noexcept {
    const auto *key = static_cast<const sap *>(key_ptr);
    const auto *pair = static_cast<const sap *>(item);
    if ((key->proto == nullptr) != (pair->proto == nullptr)) return 0;
    if (key->proto != nullptr && !same_text(key->proto, pair->proto)) return 0;
    return same_text(key->name, pair->name) ? 1 : 0;
}

int copy_sap(const sap *source, sap **out) noexcept {
    *out = nullptr;
    auto *pair = static_cast<sap *>(yq::sys::calloc(1, sizeof(sap)));
    if (pair == nullptr) return YN_STATUS_NO_MEMORY;
    if (!copy_text(source->proto, &pair->proto) || !copy_text(source->name, &pair->name)) {
        free_sap(&pair);
        return YN_STATUS_NO_MEMORY;
    }
    *out = pair;
    return YN_STATUS_SUCCESS;
}

void free_sap(sap **item) noexcept {
    if (item == nullptr || *item == nullptr) return;
    std::free((*item)->proto);
    std::free((*item)->name);
    std::free(*item);
    *item = nullptr;
}

int same_serv(const struct servent *a, const struct servent *b) noexcept {
    if (a == nullptr || b == nullptr) return 0;
    return same_proto(a->s_proto, b->s_proto) && a->s_port == b->s_port ? 1 : 0;
}

void reset_state() noexcept {
    ynet_cache_free_table(&cache_table);
    ynet_cache_free_table(&failed_cache_table);
}

}  // namespace yq::ynet_servs

extern "C" int ynet_copy_servent(const struct servent *source, struct servent **out) noexcept {
    if (out == nullptr || source == nullptr) return YN_FAIL(YN_STATUS_NULL_POINTER);
    *out = nullptr;
    auto *raw = static_cast<struct servent *>(yq::sys::calloc(1, sizeof(struct servent)));
    if (raw == nullptr) return YN_FAIL(YN_STATUS_NO_MEMORY);
    ServentPtr copy(raw);
    copy->s_port = source->s_port;
    bool ok = copy_text(source->s_name, &copy->s_name) &&
              copy_list(source->s_aliases, &copy->s_aliases) &&
              copy_text(source->s_proto, &copy->s_proto);
    if (!ok) return YN_FAIL(YN_STATUS_NO_MEMORY);
    *out = copy.release();
    return YN_STATUS_SUCCESS;
}

extern "C" void ynet_free_servent(struct servent **entry) noexcept {
    if (entry == nullptr || *entry == nullptr) return;
    struct servent *s = *entry;
    std::free(s->s_name);
    free_list(s->s_aliases);
    std::free(s->s_proto);
    std::free(s);
    *entry = nullptr;
}

extern "C" int ynet_cached_getservbyname(const char *name, const char *proto,
                                         struct servent **out) noexcept {
    if (out == nullptr) return YN_FAIL(YN_STATUS_NULL_POINTER);
    *out = nullptr;
    if (name == nullptr) return YN_FAIL(YN_STATUS_NULL_POINTER);
    int status = init_cache();
    if (status != YN_STATUS_SUCCESS) return YN_FAIL(status);

    sap pair{const_cast<char *>(proto), const_cast<char *>(name)};
    if (ynet_cache_find_item(failed_cache_table, &pair) != nullptr)
        return YN_FAIL(YN_STATUS_LOOKUP_FAILED_BEFORE);

    serv_key key{proto, name, nullptr};
    if (auto *hit = static_cast<struct servent *>(ynet_cache_find_item(cache_table, &key))) {
        status = ynet_copy_servent(hit, out);
        return status != YN_STATUS_SUCCESS ? YN_FAIL(status) : YN_STATUS_SUCCESS;
    }
    struct servent *answer =
        with_retries([&] { return yq::sys::getservbyname(name, proto); });
    if (answer == nullptr) {
        sap *failed = nullptr;
        status = yq::ynet_servs::copy_sap(&pair, &failed);
        if (status != YN_STATUS_SUCCESS) return YN_FAIL(status);
        if (ynet_cache_add_item(failed_cache_table, failed) != YN_STATUS_SUCCESS)
            yq::ynet_servs::free_sap(&failed);
        return YN_FAIL(YN_STATUS_SERVICE_NOT_FOUND);
    }
    status = cache_and_copy(answer, out);
    return status != YN_STATUS_SUCCESS ? YN_FAIL(status) : YN_STATUS_SUCCESS;
}

extern "C" int ynet_cached_getservbyport(int port, const char *proto,
                                         struct servent **out) noexcept {
    if (out == nullptr) return YN_FAIL(YN_STATUS_NULL_POINTER);
    *out = nullptr;
    int status = init_cache();
    if (status != YN_STATUS_SUCCESS) return YN_FAIL(status);

    serv_key key{proto, nullptr, &port};
    if (auto *hit = static_cast<struct servent *>(ynet_cache_find_item(cache_table, &key))) {
        status = ynet_copy_servent(hit, out);
        return status != YN_STATUS_SUCCESS ? YN_FAIL(status) : YN_STATUS_SUCCESS;
    }
    // No failed-port cache: an unknown port is asked again every time.
    struct servent *answer =
        with_retries([&] { return yq::sys::getservbyport(port, proto); });
    if (answer == nullptr) return YN_FAIL(YN_STATUS_SERVICE_NOT_FOUND);
    status = cache_and_copy(answer, out);
    return status != YN_STATUS_SUCCESS ? YN_FAIL(status) : YN_STATUS_SUCCESS;
}

extern "C" int ynet_same_servbyname(const char *name1, const char *name2,
                                    const char *proto) noexcept {
    if (name1 == nullptr || name2 == nullptr) return 0;
    if (same_text(name1, name2)) return 1;
    struct servent *a = nullptr;
    struct servent *b = nullptr;
    if (ynet_cached_getservbyname(name1, proto, &a) != YN_STATUS_SUCCESS) return 0;
    ServentPtr keep_a(a);
    if (ynet_cached_getservbyname(name2, proto, &b) != YN_STATUS_SUCCESS) return 0;
    ServentPtr keep_b(b);
    return yq::ynet_servs::same_serv(a, b);
}

extern "C" int ynet_same_servbyport(int port1, int port2, const char *proto) noexcept {
    if (port1 == port2) return 1;
    struct servent *a = nullptr;
    struct servent *b = nullptr;
    if (ynet_cached_getservbyport(port1, proto, &a) != YN_STATUS_SUCCESS) return 0;
    ServentPtr keep_a(a);
    if (ynet_cached_getservbyport(port2, proto, &b) != YN_STATUS_SUCCESS) return 0;
    ServentPtr keep_b(b);
    return yq::ynet_servs::same_serv(a, b);
}

extern "C" int ynet_same_servbynameport(const char *name, int port, const char *proto) noexcept {
    if (name == nullptr) return 0;
    struct servent *a = nullptr;
    struct servent *b = nullptr;
    if (ynet_cached_getservbyname(name, proto, &a) != YN_STATUS_SUCCESS) return 0;
    ServentPtr keep_a(a);
    if (ynet_cached_getservbyport(port, proto, &b) != YN_STATUS_SUCCESS) return 0;
    ServentPtr keep_b(b);
    return yq::ynet_servs::same_serv(a, b);
}
