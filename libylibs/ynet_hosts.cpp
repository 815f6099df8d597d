// Host name and address resolution through a process-wide cache, the rules
// that decide whether two names or addresses denote one machine, and the
// address/mask and network-membership tests of the authentication rules.
//
// Resolver answers live in the resolver's static buffer until its next call,
// so everything kept or handed out is a deep copy. Names that failed to
// resolve are remembered too, so a missing host costs one resolver round
// (with its retries) per day rather than one per connection.
#include <arpa/inet.h>
#include <netdb.h>
#include <strings.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "local_addrs_private.h"
#include "ynet.h"
#include "ynet_hosts_private.h"
#include "ynet_private.h"
#include "yq_sys.h"
#include "ystrings.h"

static constexpr const char *kModule = "ynet_hosts";

// The address and network tests report their values under the name of the
// negotiation module that has always called them.
static constexpr const char *kNetworkModule = "ynet_yqss";

namespace {

using yq::report::Where;

// Reports a failing status of the address and network tests (a debug value
// labelled "status") on the caller's behalf and evaluates to it.
int network_status(int status, Where where = Where::current()) {
    yq::report::value(kNetworkModule, "status", nullptr, status, 4, where);
    return status;
}

using yq::ynet_hosts::host_key;

constexpr int kCacheSlots = 3;
constexpr int kFailedCacheSlots = 5;
constexpr int kLifetime = 86400;
constexpr int kResolverCalls = 3;
constexpr int kRetrySeconds = 1;
constexpr int kAddressLength = 4;
constexpr in_addr_t kAllOnes = 0xFFFFFFFFu;
constexpr size_t kMaskTextSize = 128;

ynet_cache_table *cache_table = nullptr;
ynet_cache_table *failed_cache_table = nullptr;
struct in_addr *local_addrs = nullptr;
int local_addr_count = -1;

struct HostentDeleter {
    void operator()(struct hostent *entry) const noexcept { ynet_free_hostent(&entry); }
};
using HostentPtr = std::unique_ptr<struct hostent, HostentDeleter>;

bool same_text(const char *a, const char *b) {
    return a != nullptr && b != nullptr && strcasecmp(a, b) == 0;
}

// True when `name` equals an entry of the null-terminated `list`.
bool in_list(const char *name, char *const *list) {
    if (name == nullptr || list == nullptr) return false;
    for (; *list != nullptr; ++list)
        if (same_text(name, *list)) return true;
    return false;
}

size_t list_length(char *const *list) {
    size_t n = 0;
    if (list != nullptr)
        while (list[n] != nullptr) ++n;
    return n;
}

void free_list(char **list) {
    if (list == nullptr) return;
    for (char **p = list; *p != nullptr; ++p) std::free(*p);
    std::free(list);
}

// A null-terminated copy of `n` items of `size` bytes each (strings when
// `size` is 0). The list is zero-filled, so a partial copy stays
// null-terminated and can be released as it is.
bool copy_list(char *const *source, size_t size, char ***out) {
    *out = nullptr;
    if (source == nullptr) return true;
    size_t n = list_length(source);
    auto *list = static_cast<char **>(yq::sys::calloc(n + 1, sizeof(char *)));
    if (list == nullptr) return false;
    *out = list;
    for (size_t i = 0; i < n; ++i) {
        if (size == 0) {
            list[i] = yq::sys::strdup(source[i]);
        } else {
            list[i] = static_cast<char *>(yq::sys::malloc(size));
            if (list[i] != nullptr) std::memcpy(list[i], source[i], size);
        }
        if (list[i] == nullptr) return false;
    }
    return true;
}

void release_hostent_item(void *item) {
    auto *entry = static_cast<struct hostent *>(item);
    ynet_free_hostent(&entry);
}

void release_name_item(void *item) { std::free(item); }

int init_cache() {
    if (cache_table == nullptr) {
        int status = ynet_cache_init_table(&cache_table, kCacheSlots, kLifetime,
                                           release_hostent_item, yq::ynet_hosts::is_hostent_item);
        if (status != YN_STATUS_SUCCESS) return status;
    }
    if (failed_cache_table == nullptr)
        return ynet_cache_init_table(&failed_cache_table, kFailedCacheSlots, kLifetime,
                                     release_name_item, yq::ynet_hosts::is_name_item);
    return YN_STATUS_SUCCESS;
}

// Remembers a name that did not resolve. Status 8 when the name cannot be
// copied; a failed add only means the failure is not remembered.
int remember_failed_name(const char *name) {
    yq::unique_malloc<char> copy(yq::sys::strdup(name));
    if (!copy) return YN_STATUS_NO_MEMORY;
    if (ynet_cache_add_item(failed_cache_table, copy.get()) == YN_STATUS_SUCCESS) copy.release();
    return YN_STATUS_SUCCESS;
}

// Copies a fresh resolver answer, completes its aliases, keeps it in the
// cache and hands the caller a copy of its own.
int cache_and_copy(const struct hostent *answer, const char *name, struct hostent **out) {
    struct hostent *fresh = nullptr;
    int status = ynet_copy_hostent(answer, &fresh);
    if (status != YN_STATUS_SUCCESS) return status;
    HostentPtr kept(fresh);
    status = yq::ynet_hosts::check_for_aix_kludge(name, fresh);
    if (status == YN_STATUS_SUCCESS) status = ynet_cache_add_item(cache_table, fresh);
    if (status != YN_STATUS_SUCCESS) return status;
    kept.release();  // the cache's now
    return ynet_copy_hostent(fresh, out);
}

bool ends_with_nocase(const char *text, std::string_view suffix) {
    if (text == nullptr) return false;
    size_t n = std::strlen(text);
    return n > suffix.size() &&
           strncasecmp(text + n - suffix.size(), suffix.data(), suffix.size()) == 0;
}

// The caller's address bytes as a 32-bit value, never read in place (the
// caller's bytes need not be aligned).
in_addr_t load_address(const void *address) {
    in_addr_t value = 0;
    std::memcpy(&value, address, sizeof value);
    return value;
}

// A number in any base strtol accepts, with nothing after it.
bool whole_number(const char *text, long *value) {
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 0);
    if (end == text || *end != '\0' || errno == ERANGE) return false;
    *value = v;
    return true;
}

// inet_addr answers all ones both for the broadcast address and for text it
// cannot read; only the texts that really mean all ones are the former.
bool denotes_all_ones(const char *text) {
    yq::ErrnoGuard keep_errno;
    long value = 0;
    bool yes = whole_number(text, &value) && static_cast<uint32_t>(value) == kAllOnes;
    if (!yes) {
        const char *p = text;
        yes = true;
        for (int i = 0; i < 4 && yes; ++i) {
            char *end = nullptr;
            errno = 0;
            long part = std::strtol(p, &end, 0);
            yes = end != p && errno != ERANGE && part == 255;
            p = end;
            if (yes && i < 3) yes = *p++ == '.';
        }
        yes = yes && *p == '\0';
    }
    return yes;
}

}  // namespace

namespace yq::ynet_hosts {

int is_hostent_item(const void *key_ptr, const void *item) noexcept {
    const auto *key = static_cast<const host_key *>(key_ptr);
    const auto *entry = static_cast<const struct hostent *>(item);
    if (key->name != nullptr &&
        (same_text(key->name, entry->h_name) || in_list(key->name, entry->h_aliases)))
        return 1;
    if (key->address != nullptr && key->length == entry->h_length &&
        entry->h_addr_list != nullptr) {
        for (char **a = entry->h_addr_list; *a != nullptr; ++a)
            if (std::memcmp(*a, key->address, static_cast<size_t>(key->length)) == 0) return 1;
    }
    return 0;
}

int is_name_item(const void *key, const void *item) noexcept {
    return same_text(static_cast<const char *>(key), static_cast<const char *>(item)) ? 1 : 0;
}

int check_local_address(const void *address, int length) noexcept {
    if (length != kAddressLength) return 0;
    if (local_addr_count == -1 && get_local_addrs(&::local_addrs, &local_addr_count) != 0)
        local_addr_count = 0;
    if (local_addr_count <= 0) return 0;
    struct in_addr one{};
    one.s_addr = load_address(address);
    return is_local_addr(::local_addrs, local_addr_count, &one);
}

int same_host(const struct hostent *a, const struct hostent *b, int count_local) noexcept {
    if (a == nullptr || b == nullptr) return 0;
    if (same_text(a->h_name, b->h_name)) return 1;
    if (in_list(a->h_name, b->h_aliases)) return 1;
    if (in_list(b->h_name, a->h_aliases)) return 1;
    if (a->h_aliases != nullptr)
        for (char **alias = a->h_aliases; *alias != nullptr; ++alias)
            if (in_list(*alias, b->h_aliases)) return 1;

    if (a->h_addr_list == nullptr || b->h_addr_list == nullptr || a->h_length != b->h_length ||
        a->h_addr_list[0] == nullptr)
        return 0;
    size_t length = a->h_length > 0 ? static_cast<size_t>(a->h_length) : 0;
    bool a_local = false;
    bool b_local = false;
    for (char **pa = a->h_addr_list; *pa != nullptr; ++pa) {
        for (char **pb = b->h_addr_list; *pb != nullptr; ++pb) {
            if (std::memcmp(*pa, *pb, length) == 0) return 1;
            if (count_local && !b_local) b_local = check_local_address(*pb, b->h_length) != 0;
        }
        if (count_local && !a_local) a_local = check_local_address(*pa, a->h_length) != 0;
        if (a_local && b_local) return 1;
    }
    return 0;
}

int check_for_aix_kludge(const char *name, struct hostent *entry) noexcept {
    if (entry == nullptr || entry->h_name == nullptr) return YN_STATUS_SUCCESS;
    if (entry->h_aliases != nullptr && entry->h_aliases[0] != nullptr) return YN_STATUS_SUCCESS;

    yq::unique_malloc<char> alias;
    if (name != nullptr && !same_text(name, entry->h_name)) {
        alias.reset(yq::sys::strdup(name));
        if (!alias) return YN_STATUS_NO_MEMORY;
    } else {
        const char *dot = std::strchr(entry->h_name, '.');
        if (dot == nullptr) return YN_STATUS_SUCCESS;
        alias.reset(yq::sys::strndup(entry->h_name, static_cast<size_t>(dot - entry->h_name)));
        if (!alias) return YN_STATUS_NO_MEMORY;
        // One plain lookup: the short name either is this host now or not.
        const struct hostent *answer = yq::sys::gethostbyname(alias.get());
        if (answer == nullptr) return YN_STATUS_SUCCESS;
        // Copied because the local-address test may itself use the resolver.
        struct hostent *copy = nullptr;
        if (ynet_copy_hostent(answer, &copy) != YN_STATUS_SUCCESS) return YN_STATUS_NO_MEMORY;
        HostentPtr short_entry(copy);
        if (!same_host(short_entry.get(), entry, 1)) return YN_STATUS_SUCCESS;
    }

    constexpr size_t kListSize = 2 * sizeof(char *);
    void *list = entry->h_aliases;
    if (list != nullptr)
        Y_dumb_realloc(&list, kListSize);
    else
        list = yq::sys::malloc(kListSize);
    entry->h_aliases = static_cast<char **>(list);
    if (list == nullptr) return YN_STATUS_NO_MEMORY;
    entry->h_aliases[0] = alias.release();
    entry->h_aliases[1] = nullptr;
    return YN_STATUS_SUCCESS;
}

void reset_state() noexcept {
    ynet_cache_free_table(&cache_table);
    ynet_cache_free_table(&failed_cache_table);
    std::free(::local_addrs);
    ::local_addrs = nullptr;
    local_addr_count = -1;
}

}  // namespace yq::ynet_hosts

extern "C" int ynet_copy_hostent(const struct hostent *source, struct hostent **out) noexcept {
    if (out == nullptr || source == nullptr) return YN_FAIL(YN_STATUS_NULL_POINTER);
    *out = nullptr;
    auto *raw = static_cast<struct hostent *>(yq::sys::calloc(1, sizeof(struct hostent)));
    if (raw == nullptr) return YN_FAIL(YN_STATUS_NO_MEMORY);
    HostentPtr copy(raw);
    copy->h_addrtype = source->h_addrtype;
    copy->h_length = source->h_length;
    bool ok = source->h_name == nullptr ||
              (copy->h_name = yq::sys::strdup(source->h_name)) != nullptr;
    ok = ok && copy_list(source->h_aliases, 0, &copy->h_aliases);
    size_t length = source->h_length > 0 ? static_cast<size_t>(source->h_length) : 1;
    ok = ok && copy_list(source->h_addr_list, length, &copy->h_addr_list);
    if (!ok) return YN_FAIL(YN_STATUS_NO_MEMORY);
    *out = copy.release();
    return YN_STATUS_SUCCESS;
}

extern "C" void ynet_free_hostent(struct hostent **entry) noexcept {
    if (entry == nullptr || *entry == nullptr) return;
    struct hostent *h = *entry;
    std::free(h->h_name);
    free_list(h->h_aliases);
    free_list(h->h_addr_list);
    std::free(h);
    *entry = nullptr;
}

extern "C" int ynet_cached_gethostbyname(const char *name, struct hostent **out) noexcept {
    if (out == nullptr) return YN_FAIL(YN_STATUS_NULL_POINTER);
    *out = nullptr;
    if (name == nullptr) return YN_FAIL(YN_STATUS_NULL_POINTER);
    int status = init_cache();
    if (status != YN_STATUS_SUCCESS) return YN_FAIL(status);
    if (ynet_cache_find_item(failed_cache_table, name) != nullptr)
        return YN_FAIL(YN_STATUS_LOOKUP_FAILED_BEFORE);

    host_key key{name, 0, nullptr};
    if (auto *hit = static_cast<struct hostent *>(ynet_cache_find_item(cache_table, &key))) {
        status = ynet_copy_hostent(hit, out);
        return status != YN_STATUS_SUCCESS ? YN_FAIL(status) : YN_STATUS_SUCCESS;
    }
    struct hostent *answer = retry_gethostbyname(name, kResolverCalls, kRetrySeconds, nullptr, 0);
    if (answer == nullptr) {
        status = remember_failed_name(name);
        return YN_FAIL(status != YN_STATUS_SUCCESS ? status : YN_STATUS_HOST_NOT_FOUND);
    }
    status = cache_and_copy(answer, name, out);
    return status != YN_STATUS_SUCCESS ? YN_FAIL(status) : YN_STATUS_SUCCESS;
}

extern "C" int ynet_cached_gethostbyaddr(const void *address, struct hostent **out) noexcept {
    if (out == nullptr) return YN_FAIL(YN_STATUS_NULL_POINTER);
    *out = nullptr;
    if (address == nullptr) return YN_FAIL(YN_STATUS_NULL_POINTER);
    int status = init_cache();
    if (status != YN_STATUS_SUCCESS) return YN_FAIL(status);

    host_key key{nullptr, kAddressLength, address};
    if (auto *hit = static_cast<struct hostent *>(ynet_cache_find_item(cache_table, &key))) {
        status = ynet_copy_hostent(hit, out);
        return status != YN_STATUS_SUCCESS ? YN_FAIL(status) : YN_STATUS_SUCCESS;
    }
    // No failed-address cache: an address without a name is asked again.
    struct hostent *answer = retry_gethostbyaddr(address, kAddressLength, AF_INET, kResolverCalls,
                                                 kRetrySeconds, nullptr, 0);
    if (answer == nullptr) return YN_FAIL(YN_STATUS_HOST_NOT_FOUND);
    status = cache_and_copy(answer, nullptr, out);
    return status != YN_STATUS_SUCCESS ? YN_FAIL(status) : YN_STATUS_SUCCESS;
}

extern "C" int ynet_same_hostbyname_local(const char *name1, const char *name2,
                                          int count_local) noexcept {
    if (name1 == nullptr || name2 == nullptr) return 0;
    if (same_text(name1, name2)) return 1;
    struct hostent *a = nullptr;
    struct hostent *b = nullptr;
    if (ynet_cached_gethostbyname(name1, &a) != YN_STATUS_SUCCESS) return 0;
    HostentPtr keep_a(a);
    if (ynet_cached_gethostbyname(name2, &b) != YN_STATUS_SUCCESS) return 0;
    HostentPtr keep_b(b);
    return yq::ynet_hosts::same_host(a, b, count_local);
}

extern "C" int ynet_same_hostbyname(const char *name1, const char *name2) noexcept {
    return ynet_same_hostbyname_local(name1, name2, 1);
}

extern "C" int ynet_same_hostbyaddr_local(const void *address1, const void *address2,
                                          int count_local) noexcept {
    if (address1 == nullptr || address2 == nullptr) return 0;
    if (std::memcmp(address1, address2, kAddressLength) == 0) return 1;
    struct hostent *a = nullptr;
    struct hostent *b = nullptr;
    if (ynet_cached_gethostbyaddr(address1, &a) != YN_STATUS_SUCCESS) return 0;
    HostentPtr keep_a(a);
    if (ynet_cached_gethostbyaddr(address2, &b) != YN_STATUS_SUCCESS) return 0;
    HostentPtr keep_b(b);
    return yq::ynet_hosts::same_host(a, b, count_local);
}

extern "C" int ynet_same_hostbyaddr(const void *address1, const void *address2) noexcept {
    return ynet_same_hostbyaddr_local(address1, address2, 1);
}

extern "C" int ynet_same_hostbynameaddr_local(const char *name, const void *address,
                                              int count_local) noexcept {
    if (name == nullptr || address == nullptr) return 0;
    struct hostent *a = nullptr;
    struct hostent *b = nullptr;
    if (ynet_cached_gethostbyname(name, &a) != YN_STATUS_SUCCESS) return 0;
    HostentPtr keep_a(a);
    if (ynet_cached_gethostbyaddr(address, &b) != YN_STATUS_SUCCESS) return 0;
    HostentPtr keep_b(b);
    return yq::ynet_hosts::same_host(a, b, count_local);
}

extern "C" int ynet_same_hostbynameaddr(const char *name, const void *address) noexcept {
    return ynet_same_hostbynameaddr_local(name, address, 1);
}

extern "C" int ynet_inet_addr(const char *text, in_addr_t *address) noexcept {
    if (address == nullptr) return YN_FAIL(YN_STATUS_NULL_POINTER);
    if (text == nullptr) return YN_FAIL(YN_STATUS_BAD_FORMAT);
    in_addr_t value = ::inet_addr(text);
    if (value != kAllOnes || denotes_all_ones(text)) {
        *address = value;
        return YN_STATUS_SUCCESS;
    }
    return YN_FAIL(YN_STATUS_BAD_FORMAT);
}

namespace {

// The mask of a prefix length, as ynet_inet_addr reads it back; a failure
// there is reported at `where` with the text that failed.
int prefix_mask(const char *prefix, in_addr_t *mask_out, const Where &where) {
    long bits = 0;
    if (!whole_number(prefix, &bits) || static_cast<unsigned long>(bits) > 32)
        return YN_STATUS_BAD_FORMAT;
    uint32_t mask = static_cast<uint32_t>(UINT64_C(0xFFFFFFFF) << (32 - bits));
    char teststr[kMaskTextSize];
    Y_snprintf(teststr, sizeof teststr, "0x%08x", static_cast<unsigned>(mask));
    int status = ynet_inet_addr(teststr, mask_out);
    if (status != YN_STATUS_SUCCESS) {
        yq::report::value(kNetworkModule, "ynet_inet_addr failed", nullptr, status, 4, where);
        yq::report::value(kNetworkModule, "teststr", teststr, 0, 4, where);
    }
    return status;
}

int parse_addrmask(char *text, in_addr_t *addr_out, in_addr_t *mask_out, const Where &where) {
    int status = YN_STATUS_SUCCESS;
    if (char *slash = std::strchr(text, '/')) {
        *slash = '\0';
        status = prefix_mask(slash + 1, mask_out, where);
    } else if (char *colon = std::strchr(text, ':')) {
        *colon = '\0';
        status = ynet_inet_addr(colon + 1, mask_out);
    }
    return status != YN_STATUS_SUCCESS ? status : ynet_inet_addr(text, addr_out);
}

}  // namespace

extern "C" int ynet_inet_addrmask(const char *text, in_addr_t *addr_out,
                                  in_addr_t *mask_out) noexcept {
    if (addr_out != nullptr) *addr_out = kAllOnes;
    if (mask_out != nullptr) *mask_out = kAllOnes;
    if (text == nullptr || addr_out == nullptr || mask_out == nullptr)
        return network_status(YN_STATUS_INVALID_ARGUMENT);
    yq::unique_malloc<char> copy(yq::sys::strdup(text));
    if (!copy) return network_status(YN_STATUS_NO_MEMORY);
    int status = parse_addrmask(copy.get(), addr_out, mask_out, Where::current());
    return status != YN_STATUS_SUCCESS ? network_status(status) : YN_STATUS_SUCCESS;
}

extern "C" int ynet_in_network(const void *peer, const char *pattern, int *result) noexcept {
    if (result != nullptr) *result = 0;
    if (result == nullptr || peer == nullptr) return network_status(YN_STATUS_INVALID_ARGUMENT);
    if (pattern == nullptr || *pattern == '\0') return network_status(YN_STATUS_BAD_FORMAT);
    std::string_view text(pattern);
    if (text == ".") {
        *result = 1;
        return YN_STATUS_SUCCESS;
    }

    in_addr_t network = 0;
    in_addr_t mask = 0;
    const int parsed = ynet_inet_addrmask(pattern, &network, &mask);
    // Out of memory is no answer: a pattern that could not be copied is not
    // to be taken for a host name that does not match.
    if (parsed == YN_STATUS_NO_MEMORY) return network_status(parsed);
    if (parsed == YN_STATUS_SUCCESS) {
        *result = ((network ^ load_address(peer)) & mask) == 0 ? 1 : 0;
        // A single host also matches its other addresses; a pattern ending
        // in a dot names a network only.
        if (*result == 0 && text.back() != '.') *result = ynet_same_hostbyaddr(peer, &network);
        return YN_STATUS_SUCCESS;
    }

    if (text.front() == '.') {
        struct hostent *entry = nullptr;
        int status = ynet_cached_gethostbyaddr(peer, &entry);
        if (status != YN_STATUS_SUCCESS) return network_status(status);
        HostentPtr keep(entry);
        bool inside = ends_with_nocase(entry->h_name, text);
        if (!inside && entry->h_aliases != nullptr)
            for (char **alias = entry->h_aliases; *alias != nullptr && !inside; ++alias)
                inside = ends_with_nocase(*alias, text);
        *result = inside ? 1 : 0;
        return YN_STATUS_SUCCESS;
    }

    *result = ynet_same_hostbynameaddr(pattern, peer);
    return YN_STATUS_SUCCESS;
}
