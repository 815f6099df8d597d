// hosts_equal: each way two names can denote one machine, its lookups (straight
// from the resolver, with retries) and the lines it leaves in the debug log.
#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "cmnutils.h"
#include "logging.h"
#include "yqtest_clock.h"
#include "yqtest_resolv.h"

namespace {

struct HostsEqual : ::testing::Test {
    void SetUp() override {
        yqtest::write_hosts(yqtest::read_file(YQ_TEST_DATA "/hosts"));
        hosts_equal("localhost", "loop-a");  // gathers the local address list once
        debugFD = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
        ASSERT_GE(debugFD, 0);
        resolver.name_calls = 0;
    }
    void TearDown() override {
        ::close(debugFD);
        debugFD = -1;
        he_verbose = 0;
    }
    // The log without the time and process id that open each line.
    std::string log() const {
        std::string text;
        for (const std::string &line : yqtest::read_lines(path)) text += line.substr(line.find("<2>")) + "\n";
        return text;
    }

    yqtest::FakeClock clock;
    yqtest::Resolver resolver;
    std::string path = yqtest::scratch_dir() + "/hosts_equal.log";
};

TEST_F(HostsEqual, EachWayToBeTheSameMachineOrNot) {
    struct Row { const char *a, *b; int equal, lookups; };
    const Row rows[] = {
        {"", "", 1, 0}, {nullptr, "", 1, 0}, {"", "alpha", 0, 0}, {"alpha", nullptr, 0, 0},
        {"Nowhere.Example", "nowhere.EXAMPLE", 1, 0}, {"alpha", "alpha.test.example", 1, 2},
        {"alpha", "other.example", 1, 2},  // name1's name is an alias of name2
        {"other.example", "alpha", 1, 3},  // ... and the other way round
        {"x1.example", "x2.example", 1, 3}, {"loop-a", "loop-b", 1, 2},  // both this machine
        {"alpha", "gamma", 0, 3}, {"ghost", "alpha", 0, 1}, {"alpha", "ghost", 0, 2},
    };
    for (const Row &row : rows) {
        resolver.name_calls = 0;
        EXPECT_EQ(hosts_equal(row.a, row.b), row.equal) << (row.a ? row.a : "null") << " / " << (row.b ? row.b : "null");
        EXPECT_EQ(resolver.name_calls, row.lookups) << (row.a ? row.a : "null") << " / " << (row.b ? row.b : "null");
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
    resolver.fail_next({TRY_AGAIN, TRY_AGAIN, TRY_AGAIN});
    EXPECT_EQ(hosts_equal("alpha", "gamma"), 0);
    resolver.fail_next({0, 0, NO_RECOVERY});
    EXPECT_EQ(hosts_equal("alpha", "gamma"), 0);
    EXPECT_EQ(resolver.name_calls, 6);  // three tries of alpha; alpha, gamma, alpha once more
    EXPECT_EQ(clock.sleeps, 3);
    EXPECT_EQ(log(), "<2> hosts_equal: gethostbyname failed for alpha: TRY_AGAIN (2)\n"
                     "<2> hosts_equal: cannot find host: alpha (3)\n");
}

}  // namespace
