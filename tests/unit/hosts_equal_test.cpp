// hosts_equal: each way two names can denote one machine, its lookups (straight
// from the resolver, with retries) and the lines it leaves in the debug log.
#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "cmnutils.h"
#include "logging.h"
#include "yqtest_resolv.h"

namespace {

struct HostsEqual : yqtest::ResolverTest {
    void SetUp() override {
        yqtest::write_hosts(yqtest::read_file(YQ_TEST_DATA "/hosts"));
        hosts_equal("localhost", "loop-a");  // gathers the local address list once
        debugFD = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
        ASSERT_GE(debugFD, 0);
        resolver.name_calls = 0;
    }
    void TearDown() override { ::close(std::exchange(debugFD, -1)), he_verbose = 0; }
    // The log without the time and process id that open each line.
    std::string log() const {
        std::string text;
        for (const std::string &line : yqtest::read_lines(path)) text += line.substr(line.find("<2>")) + "\n";
        return text;
    }
    std::string path = yqtest::scratch_dir() + "/hosts_equal.log";
};

TEST_F(HostsEqual, EachWayToBeTheSameMachineOrNot) {
    for (const auto &row : yqtest::data_rows(YQ_TEST_DATA "/ynet_hosts.txt", "hosts_equal")) {
        SCOPED_TRACE(row[0] + " / " + row[1]);
        resolver.name_calls = 0;
        EXPECT_EQ(hosts_equal(yqtest::field(row[0]), yqtest::field(row[1])), std::stoi(row[2]));
        EXPECT_EQ(resolver.name_calls, std::stoi(row[3]));
    }
    EXPECT_EQ(clock.sleeps, 0);
    EXPECT_EQ(log(), "<2> hosts_equal: gethostbyname failed for ghost: HOST_NOT_FOUND (1)\n"
                     "<2> hosts_equal: gethostbyname failed for ghost: HOST_NOT_FOUND (1)\n");
}

TEST_F(HostsEqual, VerboseLogExplainsADifference) {
    he_verbose = 1;
    EXPECT_EQ(hosts_equal("alpha", "gamma") + hosts_equal("x1.example", "gamma"), 0);
    char addresses[96];
    std::snprintf(addresses, sizeof addresses, "<2> hosts_equal: alpha=0x%x gamma=0x%x\n",
                  inet_addr("192.0.2.1"), inet_addr("192.0.2.3"));
    std::string expected = std::string("<2> hosts_equal: hostnames DO NOT compare\n"
        "<2> hosts_equal: name1=alpha  name2=gamma\n"
        "<2> hosts_equal: hostbuf=alpha.test.example  hostentry->h_name=gamma.test.example\n"
        "<2> hosts_equal: compare alpha.test.example with alias gamma\n"
        "<2> hosts_equal: compare gamma.test.example with alias alpha\n"
        "<2> hosts_equal: addresses DO NOT match\n") + addresses;
    std::string text = log();
    EXPECT_EQ(text.substr(0, expected.size()), expected) << text;
    EXPECT_NE(text.find("hosts_equal: there were NO aliases for x1.example\n"), std::string::npos) << text;
}

TEST_F(HostsEqual, TryAgainIsRetriedAndTheSecondLookAtName1IsASingleTry) {
    resolver.fail_next("TTT");
    EXPECT_EQ(hosts_equal("alpha", "gamma"), 0);
    resolver.fail_next("..R");
    EXPECT_EQ(hosts_equal("alpha", "gamma"), 0);
    EXPECT_EQ(resolver.name_calls, 6);  // three tries of alpha; alpha, gamma, alpha once more
    EXPECT_EQ(clock.sleeps, 3);
    EXPECT_EQ(log(), "<2> hosts_equal: gethostbyname failed for alpha: TRY_AGAIN (2)\n"
                     "<2> hosts_equal: cannot find host: alpha (3)\n");
}

}  // namespace
