#include <stdlib.h>
#include <string.h>

#include "cmnutils.h"
#include "ynet.h"

/* An address in network order from its four dotted parts. */
static in_addr_t dotted(unsigned char a, unsigned char b, unsigned char c, unsigned char d) {
    unsigned char bytes[4];
    in_addr_t value;
    bytes[0] = a;
    bytes[1] = b;
    bytes[2] = c;
    bytes[3] = d;
    memcpy(&value, bytes, sizeof value);
    return value;
}

static void check_ynet_hosts(void) __attribute__((constructor));

static void check_ynet_hosts(void) {
    in_addr_t address = 0;
    in_addr_t mask = 0;
    struct in_addr loopback;
    int inside = -1;
    loopback.s_addr = dotted(127, 0, 0, 1);
    if (ynet_inet_addrmask("192.0.2.7/16", &address, &mask) != 0) abort();
    if (address != dotted(192, 0, 2, 7) || mask != dotted(255, 255, 0, 0)) abort();
    if (ynet_inet_addrmask("192.0.2.7/33", &address, &mask) != YN_STATUS_BAD_FORMAT) abort();
    if (ynet_inet_addrmask(NULL, &address, &mask) != YN_STATUS_INVALID_ARGUMENT) abort();
    if (ynet_in_network(&loopback, ".", &inside) != 0 || inside != 1) abort();
    if (ynet_same_hostbyname("Some.Host", "some.host") != 1) abort();
    if (ynet_same_servbyport(13724, 13724, "tcp") != 1) abort();
    if (hosts_equal("", NULL) != 1) abort();
    /* A dotted loopback address is this machine without asking the resolver. */
    if (!isLocalHost("127.0.0.1") || !is_local_addr(NULL, 0, &loopback)) abort();
    if (!is_local_addr(&loopback, 1, &loopback) || is_local_addr(NULL, 0, NULL)) abort();
}
