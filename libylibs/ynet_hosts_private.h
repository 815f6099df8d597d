// Internals of ynet_hosts that the tests reach: the lookup key, the match
// rules, alias completion, the same-host rule and the process-wide state.
#ifndef YNET_HOSTS_PRIVATE_H
#define YNET_HOSTS_PRIVATE_H

#include <netdb.h>

namespace yq::ynet_hosts {

// What a positive-cache lookup asks for: a name, or an address of `length`
// bytes.
struct host_key {
    const char *name;
    int length;
    const void *address;
};

int is_hostent_item(const void *key, const void *item) noexcept;
int is_name_item(const void *key, const void *item) noexcept;

// Gives an entry without aliases the name it is known by: status 0 or 8.
int check_for_aix_kludge(const char *name, struct hostent *entry) noexcept;

// 1 when the two entries denote the same machine; with `count_local`, any
// two entries that both have an address of this machine do.
int same_host(const struct hostent *a, const struct hostent *b, int count_local) noexcept;

int check_local_address(const void *address, int length) noexcept;

// Frees both caches and forgets the local address list.
void reset_state() noexcept;

}  // namespace yq::ynet_hosts

#endif
