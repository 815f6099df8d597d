// The address/mask parser and the network test of ynet_hosts on arbitrary text
// (after a 4-byte peer address). A stand-in resolver knows the names starting
// "host" and the addresses in 192.0.2.0/24, and never waits for a retry.
#include <arpa/inet.h>
#include <netdb.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ynet.h"
#include "ynet_hosts_private.h"
#include "yq_sys.h"

namespace {

void check(bool ok) { if (!ok) std::abort(); }

char g_name[] = "host.fuzz.example", g_alias[] = "host", *g_aliases[] = {g_alias, nullptr};
unsigned char g_address[4] = {192, 0, 2, 1};
char *g_addresses[] = {reinterpret_cast<char *>(g_address), nullptr};
struct hostent g_entry = {g_name, g_aliases, AF_INET, 4, g_addresses};

struct hostent *answer(bool known) { return (h_errno = known ? 0 : HOST_NOT_FOUND) == 0 ? &g_entry : nullptr; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    yq::sys::table.gethostbyname = [](const char *name) { return answer(std::strncmp(name, "host", 4) == 0); };
    yq::sys::table.gethostbyaddr = [](const void *address, socklen_t length, int) {
        return answer(length == 4 && std::memcmp(address, g_address, 3) == 0);
    };
    yq::sys::table.sleep = [](unsigned) { return 0u; };
    yq::ynet_hosts::reset_state();
    in_addr_t peer = 0, address = 0, mask = 0, plain = 0;
    std::memcpy(&peer, data, size < 4 ? size : 4);
    std::string text(reinterpret_cast<const char *>(data) + (size < 4 ? size : 4), size < 4 ? 0 : size - 4);
    const char *c = text.c_str();

    // A parsed prefix is ones then zeros; a bare address is what inet_addr reads.
    int status = ynet_inet_addrmask(c, &address, &mask);
    check(status == 0 || (status == YN_STATUS_BAD_FORMAT && address == 0xFFFFFFFFu));
    uint32_t host_mask = ntohl(mask);
    if (status == 0 && std::strchr(c, '/') != nullptr) check((host_mask & (~host_mask >> 1)) == 0 || ~host_mask == 0);
    if (status == 0 && std::strpbrk(c, "/:") == nullptr)
        check(mask == 0xFFFFFFFFu && ynet_inet_addr(c, &plain) == 0 && plain == address);

    // The network test answers 0 or 1, and 1 whenever the masked addresses agree.
    int result = -1, in = ynet_in_network(&peer, c, &result);
    check((in == 0 && (result == 0 || result == 1)) || ((in == 3 || in == 6) && result == 0));
    if (std::strcmp(c, ".") == 0 || (status == 0 && ((address ^ peer) & mask) == 0)) check(in == 0 && result == 1);
    return 0;
}
