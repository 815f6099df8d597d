// Internals of ynet_servs that the tests reach: the lookup key and
// failed-lookup record, the match rules and the process-wide state.
#ifndef YNET_SERVS_PRIVATE_H
#define YNET_SERVS_PRIVATE_H

#include <netdb.h>

namespace yq::ynet_servs {

// What a positive-cache lookup asks for: a name or a port (network order),
// for one protocol or (null) any.
struct serv_key {
    const char *proto;
    const char *name;
    const int *port;
};

// A (protocol, name) pair that failed to resolve.
struct sap {
    char *proto;
    char *name;
};

int is_servent_item(const void *key, const void *item) noexcept;
int is_sap_item(const void *key, const void *item) noexcept;
int copy_sap(const sap *source, sap **out) noexcept;
void free_sap(sap **item) noexcept;

// 1 when both entries are one service: the same protocol and port.
int same_serv(const struct servent *a, const struct servent *b) noexcept;

// Frees both caches.
void reset_state() noexcept;

}  // namespace yq::ynet_servs

#endif
