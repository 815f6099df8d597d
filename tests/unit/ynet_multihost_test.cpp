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
#include <netdb.h>

#include <cstdlib>
#include <map>
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

constexpr const char *kHosts =
    "127.0.0.1 localhost\n"
    "192.0.2.1 alpha.test.example alpha\n"
    "192.0.2.2 beta.test.example beta\n"
    "192.0.2.65 beta-b.test.example beta-b\n"
    "192.0.2.66 gamma.test.example gamma\n";

using Answers = std::map<std::string, std::string>;

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
    in_addr_t x = inet_addr(a);
    in_addr_t y = inet_addr(b);
    return std::to_string(ynet_same_hostbyaddr_local(&x, &y, count_local));
}

// The questions every host answers, as "key=value" lines.
std::string ask() {
    // Start as a fresh process would: nothing cached from the test program.
    yq::local_addrs::reset_cache();
    yq::ynet_hosts::reset_state();
    Answers a;
    a["local addresses"] = addresses();
    a["beta~beta-b counted"] = std::to_string(ynet_same_hostbyname("beta", "beta-b"));
    a["beta~beta-b uncounted"] = std::to_string(ynet_same_hostbyname_local("beta", "beta-b", 0));
    a["beta~gamma counted"] = std::to_string(ynet_same_hostbyname("beta", "gamma"));
    a[".2~.65 counted"] = same_by_addr("192.0.2.2", "192.0.2.65", 1);
    a[".2~.65 uncounted"] = same_by_addr("192.0.2.2", "192.0.2.65", 0);
    a["hosts_equal beta beta-b"] = std::to_string(hosts_equal("beta", "beta-b"));
    a["hosts_equal alpha gamma"] = std::to_string(hosts_equal("alpha", "gamma"));
    a["isLocalHost beta-b"] = std::to_string(isLocalHost("beta-b") != 0);
    a["isLocalHost 192.0.2.1"] = std::to_string(isLocalHost("192.0.2.1") != 0);
    a[".2 in 192.0.2.0/26"] = in_network("192.0.2.2", "192.0.2.0/26");
    a[".2 in 192.0.2.0:255.255.255.192"] = in_network("192.0.2.2", "192.0.2.0:255.255.255.192");
    a[".2 in 192.0.2.64/26"] = in_network("192.0.2.2", "192.0.2.64/26");
    a[".66 in 192.0.2.64/26"] = in_network("192.0.2.66", "192.0.2.64/26");
    a[".2 in 192.0.2.2"] = in_network("192.0.2.2", "192.0.2.2");
    a[".2 in 192.0.2.65"] = in_network("192.0.2.2", "192.0.2.65");
    a[".65 in beta"] = in_network("192.0.2.65", "beta");
    a[".1 in beta"] = in_network("192.0.2.1", "beta");
    a[".66 in .test.example"] = in_network("192.0.2.66", ".test.example");
    a[".66 in .other.example"] = in_network("192.0.2.66", ".other.example");
    a[".9 in .test.example"] = in_network("192.0.2.9", ".test.example");
    std::string text;
    for (const auto &[key, value] : a) text += key + "=" + value + "\n";
    return text;
}

Answers parse(const std::string &text) {
    Answers a;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        size_t eq = line.find('=');
        if (eq != std::string::npos) a[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return a;
}

// Answers that do not depend on the asking host.
Answers common() {
    return {
        {"beta~gamma counted", "0"},
        {"beta~beta-b uncounted", "0"},
        {".2~.65 uncounted", "0"},
        {"hosts_equal alpha gamma", "0"},
        {".2 in 192.0.2.0/26", "1"},
        {".2 in 192.0.2.0:255.255.255.192", "1"},
        {".2 in 192.0.2.64/26", "0"},
        {".66 in 192.0.2.64/26", "1"},
        {".2 in 192.0.2.2", "1"},
        {".1 in beta", "0"},
        {".66 in .test.example", "1"},
        {".66 in .other.example", "0"},
        {".9 in .test.example", "status 6"},
    };
}

Answers expected_for(const std::string &host) {
    Answers a = common();
    bool beta = host == "beta";
    // The host's own name first, then loopback, then its interfaces.
    a["local addresses"] = host == "alpha"  ? "192.0.2.1,127.0.0.1"
                           : beta           ? "192.0.2.2,127.0.0.1,192.0.2.65"
                                            : "192.0.2.66,127.0.0.1";
    a["beta~beta-b counted"] = beta ? "1" : "0";
    a[".2~.65 counted"] = beta ? "1" : "0";
    a["hosts_equal beta beta-b"] = beta ? "1" : "0";
    a["isLocalHost beta-b"] = beta ? "1" : "0";
    a["isLocalHost 192.0.2.1"] = host == "alpha" ? "1" : "0";
    a[".2 in 192.0.2.65"] = beta ? "1" : "0";
    a[".65 in beta"] = beta ? "1" : "0";
    return a;
}

class MultiHost : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why = yqtest::netns_unavailable();
        if (!why.empty()) GTEST_SKIP() << why;
        // The links below are made from here: do it in a network of our own.
        ASSERT_TRUE(yqtest::isolate_network());
        yqtest::write_hosts(kHosts);
    }
};

TEST_F(MultiHost, EachHostSeesItsOwnAddressesAndItsOwnSameMachine) {
    yqtest::TestHost alpha("alpha", ask);
    yqtest::TestHost beta("beta", ask);
    yqtest::TestHost gamma("gamma", ask);
    for (auto *host : {&alpha, &beta, &gamma}) ASSERT_TRUE(host->started()) << host->error();

    std::string a = std::to_string(alpha.pid());
    std::string b = std::to_string(beta.pid());
    std::string c = std::to_string(gamma.pid());
    ASSERT_EQ(std::system(("ip link add a0 netns " + a + " type veth peer name b0 netns " + b)
                              .c_str()),
              0);
    ASSERT_EQ(std::system(("ip link add b1 netns " + b + " type veth peer name c0 netns " + c)
                              .c_str()),
              0);
    ASSERT_TRUE(alpha.sh("ip link set lo up && ip addr add 192.0.2.1/26 dev a0 && "
                         "ip link set a0 up"));
    ASSERT_TRUE(beta.sh("ip link set lo up && ip addr add 192.0.2.2/26 dev b0 && "
                        "ip addr add 192.0.2.65/26 dev b1 && ip link set b0 up && "
                        "ip link set b1 up"));
    ASSERT_TRUE(gamma.sh("ip link set lo up && ip addr add 192.0.2.66/26 dev c0 && "
                         "ip link set c0 up"));

    const std::pair<const char *, yqtest::TestHost *> hosts[] = {
        {"alpha", &alpha}, {"beta", &beta}, {"gamma", &gamma}};
    for (const auto &[name, host] : hosts) {
        std::string text = host->finish();
        Answers got = parse(text);
        for (const auto &[key, value] : expected_for(name))
            EXPECT_EQ(got[key], value) << "on " << name << ": " << key << "\n" << text;
    }
}

}  // namespace
