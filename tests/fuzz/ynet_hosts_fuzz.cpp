// Feeds arbitrary text to the address/mask parser and the network test of
// ynet_hosts. The first four bytes are the peer address, the rest the text.
// Lookups are answered by a fixed stand-in resolver (names starting "host",
// addresses in 192.0.2.0/24), so no input ever reaches the machine's
// resolver or waits for a retry.
#include <arpa/inet.h>
#include <netdb.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "local_addrs_private.h"
#include "ynet.h"
#include "ynet_hosts_private.h"
#include "yq_sys.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

char g_name[] = "host.fuzz.example";
char g_alias[] = "host";
char *g_aliases[] = {g_alias, nullptr};
unsigned char g_address[4] = {192, 0, 2, 1};
char *g_addresses[] = {reinterpret_cast<char *>(g_address), nullptr};
struct hostent g_entry = {g_name, g_aliases, AF_INET, 4, g_addresses};

struct hostent *fake_byname(const char *name) {
    if (std::strncmp(name, "host", 4) == 0) return &g_entry;
    h_errno = HOST_NOT_FOUND;
    return nullptr;
}
struct hostent *fake_byaddr(const void *address, socklen_t length, int) {
    const auto *bytes = static_cast<const unsigned char *>(address);
    if (length == 4 && bytes[0] == 192 && bytes[1] == 0 && bytes[2] == 2) return &g_entry;
    h_errno = HOST_NOT_FOUND;
    return nullptr;
}
unsigned no_sleep(unsigned) { return 0; }

bool is_prefix_mask(in_addr_t mask) {
    uint32_t host = ntohl(mask);
    return (host & (~host >> 1)) == 0 || host == 0xFFFFFFFFu;  // ones, then zeros
}

void addrmask(const std::string &text) {
    in_addr_t address = 0;
    in_addr_t mask = 0;
    int status = ynet_inet_addrmask(text.c_str(), &address, &mask);
    check(status == 0 || status == 3);
    const char *c = text.c_str();
    if (status != 0) {
        check(address == 0xFFFFFFFFu);
        return;
    }
    if (std::strchr(c, '/') != nullptr) {
        check(is_prefix_mask(mask));
    } else if (std::strchr(c, ':') == nullptr) {
        check(mask == 0xFFFFFFFFu);
        in_addr_t plain = 0;
        check(ynet_inet_addr(c, &plain) == 0 && plain == address);
    }
}

void network(const unsigned char *peer, const std::string &pattern) {
    int result = -1;
    int status = ynet_in_network(peer, pattern.c_str(), &result);
    check(status == 0 || status == 3 || status == 6);
    check(result == 0 || result == 1);
    if (status != 0) check(result == 0);
    if (std::strcmp(pattern.c_str(), ".") == 0) check(status == 0 && result == 1);
    in_addr_t net = 0;
    in_addr_t mask = 0;
    in_addr_t value = 0;
    std::memcpy(&value, peer, 4);
    if (ynet_inet_addrmask(pattern.c_str(), &net, &mask) == 0 && ((net ^ value) & mask) == 0)
        check(status == 0 && result == 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    yq::sys::table.gethostbyname = fake_byname;
    yq::sys::table.gethostbyaddr = fake_byaddr;
    yq::sys::table.sleep = no_sleep;
    yq::ynet_hosts::reset_state();

    unsigned char peer[4] = {};
    size_t head = size < 4 ? size : 4;
    std::memcpy(peer, data, head);
    std::string text(reinterpret_cast<const char *>(data) + head, size - head);
    addrmask(text);
    network(peer, text);
    return 0;
}
