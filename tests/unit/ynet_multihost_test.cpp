// Three test hosts on TEST-NET-1, named in the private /etc/hosts; beta has
// an interface towards each of the others:
//   alpha a0 192.0.2.1/26 -- b0 192.0.2.2/26 beta b1 192.0.2.65/26 -- c0 192.0.2.66/26 gamma
// What is "the same machine" depends on which host asks.
#include <arpa/inet.h>

#include <cstdlib>
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

// Answers of one character: 1 yes, 0 no, E a failed call.
std::string yes(int value) { return value != 0 ? "1" : "0"; }
std::string in(const char *peer, const char *pattern) {
    in_addr_t address = inet_addr(peer);
    int result = -1;
    return ynet_in_network(&address, pattern, &result) != 0 ? "E" : yes(result);
}
std::string same(const char *a, const char *b, int count_local) {
    in_addr_t x = inet_addr(a), y = inet_addr(b);
    return yes(ynet_same_hostbyaddr_local(&x, &y, count_local));
}

// Every question, asked on each host, with the answers on alpha, beta, gamma.
const struct {
    const char *what;
    std::string (*ask)();
    const char *on;
} kQuestions[] = {
    {"beta~beta-b", [] { return yes(ynet_same_hostbyname("beta", "beta-b")); }, "010"},
    {"beta~beta-b, uncounted", [] { return yes(ynet_same_hostbyname_local("beta", "beta-b", 0)); }, "000"},
    {"beta~gamma", [] { return yes(ynet_same_hostbyname("beta", "gamma")); }, "000"},
    {".2~.65", [] { return same("192.0.2.2", "192.0.2.65", 1); }, "010"},
    {".2~.65, uncounted", [] { return same("192.0.2.2", "192.0.2.65", 0); }, "000"},
    {"hosts_equal beta beta-b", [] { return yes(hosts_equal("beta", "beta-b")); }, "010"},
    {"isLocalHost beta-b", [] { return yes(isLocalHost("beta-b")); }, "010"},
    {"isLocalHost 192.0.2.1", [] { return yes(isLocalHost("192.0.2.1")); }, "100"},
    {".2 in .65", [] { return in("192.0.2.2", "192.0.2.65"); }, "010"},
    {".65 in beta", [] { return in("192.0.2.65", "beta"); }, "010"},
    {".1 in beta", [] { return in("192.0.2.1", "beta"); }, "000"},
};

// The local addresses, then each question and its answer, a line each.
std::string ask_all() {
    // Start as a fresh process would: nothing cached from the test program.
    yq::local_addrs::reset_cache();
    yq::ynet_hosts::reset_state();
    std::string text = addresses() + "\n";
    for (const auto &q : kQuestions) text += std::string(q.what) + ": " + q.ask() + "\n";
    return text;
}

TEST(MultiHost, EachHostSeesItsOwnAddressesAndItsOwnSameMachine) {
    if (std::string why = yqtest::netns_unavailable(); !why.empty()) GTEST_SKIP() << why;
    ASSERT_TRUE(yqtest::isolate_network());  // the links below are made from here
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

    // The host's own name first among its addresses, then loopback.
    for (auto [host, h, expected] : {std::tuple{&alpha, 0, std::string("192.0.2.1,127.0.0.1\n")},
                                     {&beta, 1, "192.0.2.2,127.0.0.1,192.0.2.65\n"},
                                     {&gamma, 2, "192.0.2.66,127.0.0.1\n"}}) {
        for (const auto &q : kQuestions) expected += std::string(q.what) + ": " + q.on[h] + "\n";
        EXPECT_EQ(host->finish(), expected);
    }
}

}  // namespace
