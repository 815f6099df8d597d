// Bind and connect through the system-call seams and the shared fake clock
// (sleep moves time): the port search order and the retry rules.
#include <netinet/tcp.h>

#include <cstdlib>
#include <map>
#include <set>

#include "ynet.h"
#include "ynet_bind_private.h"
#include "yqtest.h"
#include "yqtest_clock.h"
#include "yqtest_report.h"
#include "yqtest_wire.h"

namespace {

using namespace yqtest::wire;
using Ports = std::vector<int>;

// A bind that binds nothing, refusing the given ports and recording every port asked
// for; a connect that fails a given number of times before the real one.
struct Fakes { std::set<int> refused; int bind_errno, connect_errno, connect_failures; Ports tried; in_addr_t address; } g;
void install(std::set<int> refused, int bind_errno = 0, int connect_errno = 0, int failures = 0) {
    g = {std::move(refused), bind_errno, connect_errno, failures, {}, 0};
    yq::sys::table.bind = [](int, const sockaddr *a, socklen_t) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(a);
        g.tried.push_back(ntohs(in->sin_port));
        g.address = in->sin_addr.s_addr;
        return g.refused.count(g.tried.back()) != 0 ? (errno = g.bind_errno, -1) : 0;
    };
    yq::sys::table.connect = [](int fd, const sockaddr *a, socklen_t n) {
        return g.connect_failures-- > 0 ? (errno = g.connect_errno, -1) : ::connect(fd, a, n);
    };
}

class Bind : public ::testing::Test {
protected:
    yqtest::SysGuard guard;
    const in_addr lo{htonl(INADDR_LOOPBACK)};
    int sock = 42;
};

TEST_F(Bind, PortSearch) {
    // The ports asked for, all but a bound last one refused; rows without a start bind any address.
    struct Row { const char *what; int low, high, start, err; Ports tried; bool bound; };
    const Row rows[] = {
        {"down from the start", 5000, 5009, 3, EADDRINUSE, {5003, 5002, 5001, 5000, 5009}, true},
        {"then from the top", 5000, 5009, 3, EADDRINUSE, {5003, 5002, 5001, 5000, 5009, 5008, 5007, 5006, 5005, 5004}, true},
        {"start at the top", 5000, 5009, 9, EADDRINUSE, {5009, 5008, 5007, 5006, 5005, 5004, 5003, 5002, 5001, 5000}, false},
        {"an address not available moves on", 5000, 5009, 3, EADDRNOTAVAIL, {5003, 5002}, true},
        {"another failure ends the pass", 5000, 5009, 3, EACCES, {5003, 5009}, true},
        {"low equals high: the system picks", 1024, 1024, 0, 0, {0}, true}, {"low 0", 0, 1024, 0, 0, {0}, true},
        {"low above high", 1024, 1023, 0, 0, {0}, true}, {"low negative", -1, 1024, 0, 0, {0}, true},
        {"high past the last port", 1024, 65536, 0, 0, {0}, true}, {"system port refused", 0, 0, 0, EADDRINUSE, {0}, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        install({row.tried.begin(), row.tried.end() - row.bound}, row.err);
        if (row.start != 0) {  // a seed whose first draw gives the start
            unsigned seed = 1;
            while (std::srand(seed), std::rand() % (row.high - row.low + 1) != row.start) ++seed;
            std::srand(seed);
            yq::ynet_bind::port_state() = 1;
        }
        int status = ynet_bind_to_port_addr(row.low, row.high, row.start ? &lo : nullptr, &sock);
        Fd own(sock);
        EXPECT_EQ(g.tried, row.tried);
        EXPECT_EQ(g.address, row.start ? lo.s_addr : htonl(INADDR_ANY));
        EXPECT_EQ(status, row.bound ? YN_STATUS_SUCCESS : YN_STATUS_SOCKET_ERROR);
        EXPECT_EQ(sock >= 0, row.bound);
        EXPECT_TRUE(row.bound || errno == row.err) << "the last bind's errno, not " << errno;
    }
}

TEST_F(Bind, RetryRules) {
    int port = 0;
    Fd listener = tcp_listener(&port);
    const sockaddr_in dest = loopback(port);
    // The clock starts at 1000; a late one jumps 1000 s at every reading.
    struct Row {
        const char *what;
        int max_time, err, failures, low, late_clock, status, sleeps, binds;  // low 5000: both ports refused
        std::map<std::string, int> reports;
    };
    const int fail = YN_STATUS_SOCKET_ERROR, timeout = YN_STATUS_TIMEOUT;
    const Row rows[] = {
        {"refused after the deadline", 10, ECONNREFUSED, 9, 0, 0, timeout, 2, 3,
         {{": save_errno: ", 3}, {": time(NULL): 1020 0x000003fc", 1}, {": last_time: 1010 0x000003f2", 1},
          {": max_time: 10 0x0000000a", 1}, {": Function failed: 11 0x0000000b", 1}}},
        {"refused four times in time", 300, ECONNREFUSED, 9, 0, 0, fail, 4, 4, {{": save_errno: ", 4}, {": max_time: ", 0}}},
        {"timed out, then accepted", 300, ETIMEDOUT, 1, 0, 0, 0, 1, 2, {}},
        {"at least one second allowed", 0, ECONNREFUSED, 9, 0, 0, timeout, 1, 2, {{": max_time: 1 0x00000001", 1}}},
        {"other connect errors end at once", 300, EAFNOSUPPORT, 9, 0, 0, fail, 0, 1, {{": save_errno: ", 2}}},
        {"no port to bind: no connect", 300, 0, 0, 5000, 0, fail, 0, 2, {{": status: 10 0x0000000a", 1}, {": save_errno: ", 0}}},
        {"a port clash is retried at once", 5, EADDRNOTAVAIL, 3, 0, 0, 0, 0, 4, {}},
        {"four clashes end it, whatever the clock", 5, EADDRINUSE, 9, 0, 1, fail, 0, 4, {{": save_errno: ", 4}, {": max_time: ", 0}}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        yqtest::FakeClock clock(1000);
        yqtest::Reports reports;
        install(row.low != 0 ? std::set<int>{5000, 5001} : std::set<int>{}, EADDRINUSE, row.err, row.failures);
        if (row.late_clock) yq::sys::table.time = [](time_t *) { return yqtest::FakeClock::seconds += 1000; };
        errno = 0;
        EXPECT_EQ(ynet_bind_and_connect(&dest, row.low, row.low + 1, &lo, &sock, row.max_time), row.status);
        Fd own(sock);
        EXPECT_TRUE(row.status == 0 || (errno == row.err && sock == -1)) << "errno " << errno;
        int nodelay = 0;
        socklen_t length = sizeof nodelay;
        (void)::getsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &nodelay, &length);
        EXPECT_EQ(nodelay != 0, row.status == 0) << "a connected socket, without Nagle's delay";
        EXPECT_EQ(yqtest::FakeClock::sleeps, row.sleeps);
        EXPECT_TRUE(row.late_clock || yqtest::FakeClock::seconds == 1000 + 10 * row.sleeps);
        EXPECT_EQ(static_cast<int>(g.tried.size()), row.binds) << "a new bind for each attempt";
        for (const auto &[needle, times] : row.reports)
            EXPECT_EQ(reports.count(needle), times) << needle << "\n" << reports.text();
    }
}

}  // namespace
