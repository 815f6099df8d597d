// Several hosts: alpha, beta and gamma, each a process in network and UTS
// namespaces of its own, joined by veth pairs on TEST-NET-1, with their names
// in the private /etc/hosts. beta has two interfaces, one towards each of the
// others:
//
//   alpha a0 192.0.2.1/26 ---- b0 192.0.2.2/26  beta  b1 192.0.2.65/26 ---- c0 192.0.2.66/26 gamma
//
// Each host gathers its local addresses and answers the same questions; what
// is "the same machine" depends on which host asks.
#include <arpa/inet.h>

#include <cstdlib>
#include <sstream>
#include <string>

#include "cmnutils.h"
#include "local_addrs_private.h"
#include "ynet.h"
#include "ynet_hosts_private.h"
#include "yqtest.h"
#include "yqtest_netns.h"
#include "yqtest_resolv.h"

namespace {

std::string addresses() {
    struct in_addr *list = nullptr;
    int count = 0;
    if (get_local_addrs(&list, &count) != 0) return "failed";
    std::string text;
    for (int i = 0; i < count; ++i) text += (i > 0 ? "," : "") + std::string(inet_ntoa(list[i]));
    std::free(list);
    return text;
}

std::string in_network(const char *peer, const char *pattern) {
    in_addr_t address = inet_addr(peer);
    int result = -1;
    int status = ynet_in_network(&address, pattern, &result);
    return status != 0 ? "status " + std::to_string(status) : std::to_string(result);
}

std::string same_by_addr(const char *a, const char *b, int count_local) {
    in_addr_t x = inet_addr(a), y = inet_addr(b);
    return std::to_string(ynet_same_hostbyaddr_local(&x, &y, count_local));
}

std::string yes(int value) { return value != 0 ? "1" : "0"; }

// Every question, asked on each host, with its answer on alpha, beta, gamma.
// The host's own name comes first among its addresses, then loopback.
const struct {
    const char *what;
    std::string (*ask)();
    const char *on[3];
} kQuestions[] = {
    {"local addresses", addresses,
     {"192.0.2.1,127.0.0.1", "192.0.2.2,127.0.0.1,192.0.2.65", "192.0.2.66,127.0.0.1"}},
    {"beta~beta-b", [] { return yes(ynet_same_hostbyname("beta", "beta-b")); }, {"0", "1", "0"}},
    {"beta~beta-b, uncounted", [] { return yes(ynet_same_hostbyname_local("beta", "beta-b", 0)); },
     {"0", "0", "0"}},
    {"beta~gamma", [] { return yes(ynet_same_hostbyname("beta", "gamma")); }, {"0", "0", "0"}},
    {".2~.65", [] { return same_by_addr("192.0.2.2", "192.0.2.65", 1); }, {"0", "1", "0"}},
    {".2~.65, uncounted", [] { return same_by_addr("192.0.2.2", "192.0.2.65", 0); }, {"0", "0", "0"}},
    {"hosts_equal beta beta-b", [] { return yes(hosts_equal("beta", "beta-b")); }, {"0", "1", "0"}},
    {"hosts_equal alpha gamma", [] { return yes(hosts_equal("alpha", "gamma")); }, {"0", "0", "0"}},
    {"isLocalHost beta-b", [] { return yes(isLocalHost("beta-b")); }, {"0", "1", "0"}},
    {"isLocalHost 192.0.2.1", [] { return yes(isLocalHost("192.0.2.1")); }, {"1", "0", "0"}},
    {".2 in /26", [] { return in_network("192.0.2.2", "192.0.2.0/26"); }, {"1", "1", "1"}},
    {".2 in :mask", [] { return in_network("192.0.2.2", "192.0.2.0:255.255.255.192"); },
     {"1", "1", "1"}},
    {".2 in .64/26", [] { return in_network("192.0.2.2", "192.0.2.64/26"); }, {"0", "0", "0"}},
    {".66 in .64/26", [] { return in_network("192.0.2.66", "192.0.2.64/26"); }, {"1", "1", "1"}},
    {".2 in .2", [] { return in_network("192.0.2.2", "192.0.2.2"); }, {"1", "1", "1"}},
    {".2 in .65", [] { return in_network("192.0.2.2", "192.0.2.65"); }, {"0", "1", "0"}},
    {".65 in beta", [] { return in_network("192.0.2.65", "beta"); }, {"0", "1", "0"}},
    {".1 in beta", [] { return in_network("192.0.2.1", "beta"); }, {"0", "0", "0"}},
    {".66 in domain", [] { return in_network("192.0.2.66", ".test.example"); }, {"1", "1", "1"}},
    {".66 in other domain", [] { return in_network("192.0.2.66", ".other.example"); },
     {"0", "0", "0"}},
    {"unnamed in domain", [] { return in_network("192.0.2.9", ".test.example"); },
     {"status 6", "status 6", "status 6"}},
};

// One answer a line, in the order of the questions.
std::string ask_all() {
    // Start as a fresh process would: nothing cached from the test program.
    yq::local_addrs::reset_cache();
    yq::ynet_hosts::reset_state();
    std::string text;
    for (const auto &q : kQuestions) text += q.ask() + "\n";
    return text;
}

TEST(MultiHost, EachHostSeesItsOwnAddressesAndItsOwnSameMachine) {
    std::string why = yqtest::netns_unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    // The links below are made from here: do it in a network of our own.
    ASSERT_TRUE(yqtest::isolate_network());
    yqtest::write_hosts("127.0.0.1 localhost\n192.0.2.1 alpha.test.example alpha\n"
                        "192.0.2.2 beta.test.example beta\n192.0.2.65 beta-b.test.example beta-b\n"
                        "192.0.2.66 gamma.test.example gamma\n");
    yqtest::TestHost alpha("alpha", ask_all), beta("beta", ask_all), gamma("gamma", ask_all);
    for (auto *host : {&alpha, &beta, &gamma}) ASSERT_TRUE(host->started()) << host->error();
    ASSERT_TRUE(yqtest::link(alpha, "a0", beta, "b0") && yqtest::link(beta, "b1", gamma, "c0"));
    ASSERT_TRUE(alpha.sh("ip link set lo up && ip addr add 192.0.2.1/26 dev a0 && ip link set a0 up"));
    ASSERT_TRUE(beta.sh("ip link set lo up && ip addr add 192.0.2.2/26 dev b0 && "
                        "ip addr add 192.0.2.65/26 dev b1 && ip link set b0 up && ip link set b1 up"));
    ASSERT_TRUE(gamma.sh("ip link set lo up && ip addr add 192.0.2.66/26 dev c0 && ip link set c0 up"));

    yqtest::TestHost *hosts[] = {&alpha, &beta, &gamma};
    for (int h = 0; h < 3; ++h) {
        std::istringstream answers(hosts[h]->finish());
        for (const auto &q : kQuestions) {
            std::string got;
            std::getline(answers, got);
            EXPECT_EQ(got, q.on[h]) << "on host " << h << ": " << q.what;
        }
    }
}

}  // namespace
