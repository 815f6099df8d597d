// The client side of the security-information request on an arbitrary
// answer from the daemon. The first byte says which parts of the caller's
// record are already filled in and which peer asks; the rest is what the
// daemon "sends", queued on a socketpair whose far end is then shut for
// writing. A success leaves the socket open, keeps what the caller had, asks
// for exactly the missing parts and builds well-formed lists; a failure
// closes the socket. The networks received then go through the network test
// for that peer. Every row costs host lookups (an address without a name is
// asked again each time), so one peer per input, and the sandbox's hosts
// file names the peers.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "crconf.h"
#include "fuzz_sandbox.h"
#include "ynet.h"

namespace {

void check(bool ok) { if (!ok) std::abort(); }

constexpr const char *kPeers[] = {"192.0.2.7", "127.0.0.1", "10.1.2.3"};

void name_the_peers() {
    static const bool done = [] {
        fuzz_sandbox::require();
        std::ofstream("/etc/hosts", std::ios::app) << kPeers[0] << " fuzz-peer-a\n" << kPeers[2] << " fuzz-peer-b\n";
        return true;
    }();
    (void)done;
}

bool bounded(const char *text) { return text != nullptr && std::strlen(text) < YNETD_TEXT_SIZE; }

// The record the caller starts from: bits 0-2 fill the service, a domain, a network.
crconf_info_rec *starting_record(uint8_t parts) {
    auto *info = static_cast<crconf_info_rec *>(std::calloc(1, sizeof(crconf_info_rec)));
    check(info != nullptr);
    info->ni_use_yqss = USE_YQSS_AUTOMATIC;
    if (parts & 1) check(crconf_create_authorization_service("master", 1556, &info->ni_authorization_service) == 0);
    if (parts & 2)
        check(crconf_create_authentication_domain("D", "c", 3, "broker", 2821, &info->ni_authentication_domains) == 0);
    if (parts & 4) check(crconf_create_yqss_network("192.0.2.0/24", USE_YQSS_REQUIRED, &info->ni_yqss_networks) == 0);
    return info;
}

// Nothing at all when the record is complete.
std::string expected_request(const crconf_info_rec &before) {
    if (before.ni_authorization_service && before.ni_authentication_domains && before.ni_yqss_networks) return "";
    std::string request("9", 2);
    for (auto [have, field] : {std::pair{before.ni_authorization_service != nullptr, YNETD_FIELD_AUTHORIZATION_SERVICE},
                               {before.ni_authentication_domains != nullptr, YNETD_FIELD_AUTHENTICATION_DOMAINS},
                               {before.ni_yqss_networks != nullptr, YNETD_FIELD_YQSS_NETWORKS}})
        if (!have) request.append(field, std::strlen(field) + 1);
    return request.append(1, '\0');
}

std::string drain(int fd) {
    std::string bytes;
    char buffer[4096];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) bytes.append(buffer, static_cast<size_t>(n));
    return bytes;
}

void check_lists(const crconf_info_rec &info) {
    if (const auto *service = info.ni_authorization_service)
        check(service->as_host == nullptr || bounded(service->as_host));
    for (const auto *d = info.ni_authentication_domains; d != nullptr; d = d->ad_next)
        check(bounded(d->ad_domain) && bounded(d->ad_comment) && bounded(d->ad_broker));
    for (const auto *n = info.ni_yqss_networks; n != nullptr; n = n->nw_next) check(bounded(n->nw_network));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0 || size > 1 << 16) return 0;
    name_the_peers();
    int pair[2];
    check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0);
    const auto answer = static_cast<size_t>(size - 1);
    check(answer == 0 || ::send(pair[1], data + 1, answer, MSG_NOSIGNAL) == static_cast<ssize_t>(answer));
    ::shutdown(pair[1], SHUT_WR);

    crconf_info_rec *info = starting_record(data[0]);
    const crconf_info_rec before = *info;
    int sock = pair[0];
    const int status = ynet_ynetd_get_security_info(&sock, 3, info, 1);
    if (status == YN_STATUS_SUCCESS) {
        check(sock == pair[0]);
        check(drain(pair[1]) == expected_request(before));
        for (auto [kept, now] : {std::pair<const void *, const void *>{before.ni_authorization_service,
                                                                      info->ni_authorization_service},
                                 {before.ni_authentication_domains, info->ni_authentication_domains},
                                 {before.ni_yqss_networks, info->ni_yqss_networks}})
            check(kept == nullptr || kept == now);
        ::close(sock);
    } else {
        check(sock == -1);
    }
    check_lists(*info);

    struct in_addr peer{};
    ::inet_pton(AF_INET, kPeers[(data[0] >> 3) % std::size(kPeers)], &peer);  // the bits above those three
    int use = -1;
    check(ynet_check_yqss_status(&peer, info, &use) == YN_STATUS_SUCCESS);
    // The record's own setting, or that of a network received.
    bool known = use == info->ni_use_yqss;
    for (const auto *n = info->ni_yqss_networks; n != nullptr && !known; n = n->nw_next)
        known = use == n->nw_use_yqss;
    check(known);
    crconf_free_info(&info);
    ::close(pair[1]);
    return 0;
}
