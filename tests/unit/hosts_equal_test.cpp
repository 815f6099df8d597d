// hosts_equal: each way two names can denote one machine, the lookups it
// makes (straight from the resolver, with retries), and the lines it leaves
// in the debug log, verbose and not.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cmnutils.h"
#include "local_addrs_private.h"
#include "logging.h"
#include "yqtest.h"
#include "yqtest_resolv.h"

namespace {

int g_calls = 0;
int g_fail_call = 0;      // this call (1-based) fails with g_fail_error
int g_fail_error = 0;
int g_fail_count = 1;     // ... and so many after it
std::vector<unsigned> g_sleeps;

struct hostent *seam_gethostbyname(const char *name) {
    ++g_calls;
    if (g_fail_call != 0 && g_calls >= g_fail_call && g_calls < g_fail_call + g_fail_count) {
        h_errno = g_fail_error;
        return nullptr;
    }
    return ::gethostbyname(name);
}
unsigned fake_sleep(unsigned seconds) {
    g_sleeps.push_back(seconds);
    return 0;
}

class HostsEqual : public ::testing::Test {
protected:
    void SetUp() override {
        yqtest::write_hosts(
            "127.0.0.1 localhost\n"
            "192.0.2.1 alpha.test.example alpha\n"
            "192.0.2.2 beta.test.example beta\n"
            "192.0.2.9 other.example alpha.test.example\n"
            "192.0.2.20 x1.example\n"
            "192.0.2.20 x2.example\n"
            "127.0.0.2 loop-a\n"
            "127.0.0.3 loop-b\n");
        yq::sys::table.sleep = fake_sleep;
        yq::sys::table.gethostbyname = seam_gethostbyname;
        // The module gathers its local address list once, on its first
        // comparison; do that here so every test counts only its own calls.
        hosts_equal("localhost", "loop-a");
        log_ = yqtest::scratch_dir() + "/hosts_equal.log";
        debugFD = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
        ASSERT_GE(debugFD, 0);
        g_calls = g_fail_call = g_fail_error = 0;
        g_fail_count = 1;
        g_sleeps.clear();
    }
    void TearDown() override {
        ::close(debugFD);
        debugFD = -1;
        he_verbose = 0;
        yq::sys::reset();
    }
    std::string log() const { return yqtest::read_file(log_); }

    yqtest::SysGuard guard;
    std::string log_;
};

TEST_F(HostsEqual, EmptyAndCaseOnlyNamesNeedNoLookup) {
    EXPECT_EQ(hosts_equal("", ""), 1);
    EXPECT_EQ(hosts_equal(nullptr, ""), 1);
    EXPECT_EQ(hosts_equal("", "alpha"), 0);
    EXPECT_EQ(hosts_equal("alpha", nullptr), 0);
    EXPECT_EQ(hosts_equal("Nowhere.Example", "nowhere.EXAMPLE"), 1);
    EXPECT_EQ(g_calls, 0);
    EXPECT_EQ(log(), "");
}

TEST_F(HostsEqual, EachWayToBeTheSameMachine) {
    EXPECT_EQ(hosts_equal("alpha", "alpha.test.example"), 1);  // one canonical name
    EXPECT_EQ(g_calls, 2);
    EXPECT_EQ(hosts_equal("alpha", "other.example"), 1);  // name1's name is name2's alias
    EXPECT_EQ(hosts_equal("other.example", "alpha"), 1);  // ... and the other way round
    EXPECT_EQ(hosts_equal("x1.example", "x2.example"), 1);  // a shared address
    EXPECT_EQ(hosts_equal("loop-a", "loop-b"), 1);          // both this machine
    EXPECT_EQ(hosts_equal("alpha", "beta"), 0);
    EXPECT_TRUE(g_sleeps.empty());
    EXPECT_EQ(log(), "");  // quiet unless verbose
}

TEST_F(HostsEqual, VerboseLogExplainsADifference) {
    he_verbose = 1;
    EXPECT_EQ(hosts_equal("alpha", "beta"), 0);
    std::string text = log();
    char addresses[96];
    std::snprintf(addresses, sizeof addresses, "<2> hosts_equal: alpha=0x%x beta=0x%x",
                  static_cast<unsigned>(inet_addr("192.0.2.1")),
                  static_cast<unsigned>(inet_addr("192.0.2.2")));
    const char *expected[] = {
        "<2> hosts_equal: hostnames DO NOT compare",
        "<2> hosts_equal: name1=alpha  name2=beta",
        "<2> hosts_equal: hostbuf=alpha.test.example  hostentry->h_name=beta.test.example",
        "<2> hosts_equal: compare alpha.test.example with alias beta",
        "<2> hosts_equal: compare beta.test.example with alias alpha",
        "<2> hosts_equal: addresses DO NOT match",
        addresses,
    };
    size_t at = 0;
    for (const char *line : expected) {
        size_t found = text.find(line, at);
        EXPECT_NE(found, std::string::npos) << line << "\n" << text;
        if (found != std::string::npos) at = found;
    }
    EXPECT_EQ(g_calls, 3);  // name1, name2, name1 again for its aliases

    yqtest::write_file(log_, "");
    EXPECT_EQ(hosts_equal("x1.example", "beta"), 0);
    EXPECT_NE(log().find("hosts_equal: there were NO aliases for x1.example"), std::string::npos)
        << log();
}

TEST_F(HostsEqual, FailedLookupsAreLoggedAndAnswerNotEqual) {
    EXPECT_EQ(hosts_equal("ghost", "alpha"), 0);
    EXPECT_NE(log().find("hosts_equal: gethostbyname failed for ghost: HOST_NOT_FOUND (1)"),
              std::string::npos)
        << log();
    EXPECT_EQ(hosts_equal("alpha", "ghost2"), 0);
    EXPECT_NE(log().find("gethostbyname failed for ghost2: HOST_NOT_FOUND (1)"), std::string::npos);

    // TRY_AGAIN: three calls, a sleep after each.
    g_calls = 0;
    g_fail_call = 1;
    g_fail_error = TRY_AGAIN;
    g_fail_count = 3;
    EXPECT_EQ(hosts_equal("alpha", "beta"), 0);
    EXPECT_EQ(g_calls, 3);
    EXPECT_EQ(g_sleeps, (std::vector<unsigned>{1, 1, 1}));
    EXPECT_NE(log().find("gethostbyname failed for alpha: TRY_AGAIN (2)"), std::string::npos);

    // The second look at name1 has one attempt and its own message.
    g_calls = 0;
    g_fail_call = 3;
    g_fail_error = NO_RECOVERY;
    g_fail_count = 1;
    g_sleeps.clear();
    EXPECT_EQ(hosts_equal("alpha", "beta"), 0);
    EXPECT_EQ(g_calls, 3);
    EXPECT_TRUE(g_sleeps.empty());
    EXPECT_NE(log().find("hosts_equal: cannot find host: alpha (3)"), std::string::npos) << log();
}

}  // namespace
