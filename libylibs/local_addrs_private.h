// Internals of local_addrs that the name-resolution modules and the tests
// reach: the gathering steps and the cache.
#ifndef LOCAL_ADDRS_PRIVATE_H
#define LOCAL_ADDRS_PRIVATE_H

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace yq::resolver {

// Name of an h_errno value ("TRY_AGAIN", ..., "?undefined error?").
const char *h_errno_name(int error) noexcept;

}  // namespace yq::resolver

namespace yq::local_addrs {

// Appends `address` unless the list already holds it; -1 (count 0) when
// memory runs out.
int add_one(struct in_addr **array, int *count, struct in_addr address) noexcept;

// Interface table and netstat sources: number of addresses found, or -1
// when an addition failed.
int check_ifconf(struct in_addr **array, int *count) noexcept;
int check_netstat(struct in_addr **array, int *count) noexcept;

// Bind test: 1 when a socket can be bound to the address.
int isLocalIPaddr(const struct in_addr *address) noexcept;
int isLocalHostname(const char *name) noexcept;

// Forgets the process-wide list, so the next gathering starts afresh.
void reset_cache() noexcept;

// The process-wide list as it stands: count -1 when nothing is cached.
int cached_count() noexcept;

}  // namespace yq::local_addrs

#endif
