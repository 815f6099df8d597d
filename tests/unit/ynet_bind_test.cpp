// Bind and connect through seams: a bind that refuses the ports a row names
// and records every port asked for, a connect that fails a row's number of
// times before reaching a real listener, and the shared fake clock, whose
// sleep moves time instead of waiting.
#include <netinet/tcp.h>

#include <cstdlib>
#include <map>
#include <vector>

#include "ynet.h"
#include "ynet_bind_private.h"
#include "yqtest.h"
#include "yqtest_clock.h"
#include "yqtest_report.h"
#include "yqtest_wire.h"

namespace {

using namespace yqtest::wire;
using Ports = std::vector<int>;

std::map<int, int> g_refused;  // port -> errno of the fake bind
Ports g_tried;
in_addr_t g_address = 0;
int g_connect_errno = 0, g_connect_failures = 0;

// Binds nothing: the socket stays unbound and connects from a system port.
int fake_bind(int, const sockaddr *a, socklen_t) {
    const auto *in = reinterpret_cast<const sockaddr_in *>(a);
    g_tried.push_back(ntohs(in->sin_port));
    g_address = in->sin_addr.s_addr;
    auto refused = g_refused.find(g_tried.back());
    return refused == g_refused.end() ? 0 : (errno = refused->second, -1);
}
int fake_connect(int fd, const sockaddr *a, socklen_t n) {
    return g_connect_failures-- > 0 ? (errno = g_connect_errno, -1) : ::connect(fd, a, n);
}

class Bind : public ::testing::Test {
protected:
    // After a fake clock is made: its end resets the whole table.
    void fake_calls(std::map<int, int> refused, int connect_errno = 0, int failures = 0) {
        g_refused = std::move(refused);
        g_tried.clear();
        g_connect_errno = connect_errno;
        g_connect_failures = failures;
        yq::sys::table.bind = fake_bind;
        yq::sys::table.connect = fake_connect;
    }
    yqtest::SysGuard guard;
    const in_addr lo{htonl(INADDR_LOOPBACK)};
    int sock = 42;
};

TEST_F(Bind, StartIsDrawnFromASeedMadeOnce) {
    yqtest::FakeClock clock(1700000000);
    fake_calls({});
    auto mix = static_cast<uint32_t>(::getpid());
    for (uint32_t part : {1700000000u, 5000u, 5009u}) mix = (mix << 1) ^ part;
    std::srand(mix);
    const int draws[] = {std::rand(), std::rand()};
    yq::ynet_bind::port_state() = 0;
    for (int draw : draws) {
        g_tried.clear();
        ASSERT_EQ(ynet_bind_to_port_addr(5000, 5009, &lo, &sock), 0);
        Fd own(sock);
        EXPECT_EQ(g_tried, Ports{5000 + static_cast<int>(static_cast<unsigned>(draw) % 10u)});
        EXPECT_EQ(yq::ynet_bind::port_state(), draw);
        clock.advance(12345);  // seeded once: the next draw ignores the clock
    }
}

TEST_F(Bind, PortSearch) {
    // The ports asked for, in order; all but a bound last one are refused.
    struct Row {
        const char *what;
        int low, high, start, err;
        Ports tried;
        bool bound;
    };
    const Row rows[] = {
        {"down from the start", 5000, 5009, 3, EADDRINUSE, {5003, 5002, 5001, 5000, 5009}, true},
        {"then down from the top", 5000, 5009, 3, EADDRINUSE,
         {5003, 5002, 5001, 5000, 5009, 5008, 5007, 5006, 5005, 5004}, true},
        {"start at the top: one pass", 5000, 5009, 9, EADDRINUSE,
         {5009, 5008, 5007, 5006, 5005, 5004, 5003, 5002, 5001, 5000}, false},
        {"an address not available moves on", 5000, 5009, 3, EADDRNOTAVAIL, {5003, 5002}, true},
        {"another failure ends the pass", 5000, 5009, 3, EACCES, {5003, 5009}, true},
        {"low equals high: the system picks", 1024, 1024, 0, 0, {0}, true},
        {"low above high", 1024, 1023, 0, 0, {0}, true},
        {"low 0", 0, 1024, 0, 0, {0}, true},
        {"low negative", -1, 1024, 0, 0, {0}, true},
        {"high past the last port", 1024, 65536, 0, 0, {0}, true},
        {"the system's port refused", 0, 0, 0, EADDRINUSE, {0}, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        std::map<int, int> refused;
        for (size_t i = 0; i + row.bound < row.tried.size(); ++i) refused[row.tried[i]] = row.err;
        fake_calls(refused);
        if (row.start != 0) {  // a seed whose first draw gives the start
            unsigned seed = 1;
            while (std::srand(seed), std::rand() % (row.high - row.low + 1) != row.start) ++seed;
            std::srand(seed);
            yq::ynet_bind::port_state() = 1;
        }
        // Rows without a start port bind to any local address.
        int status = ynet_bind_to_port_addr(row.low, row.high, row.start ? &lo : nullptr, &sock);
        Fd own(sock);
        EXPECT_EQ(g_tried, row.tried);
        EXPECT_EQ(g_address, row.start ? lo.s_addr : htonl(INADDR_ANY));
        EXPECT_EQ(status, row.bound ? YN_STATUS_SUCCESS : YN_STATUS_SOCKET_ERROR);
        EXPECT_EQ(sock >= 0, row.bound);
        EXPECT_TRUE(row.bound || errno == row.err) << "the last bind's errno, not " << errno;
    }
    yq::sys::table.socket = [](int, int, int) { return errno = EMFILE, -1; };
    EXPECT_EQ(ynet_bind_to_port_addr(5000, 5009, &lo, &sock), YN_STATUS_SOCKET_ERROR);
    EXPECT_EQ(sock, -1);
    EXPECT_EQ(errno, EMFILE);
}

TEST_F(Bind, RetryRules) {
    int port = 0;
    Fd listener = tcp_listener(&port);
    const sockaddr_in dest = loopback(port);
    // The clock starts at 1000; a late one jumps 1000 s at every reading.
    struct Row {
        const char *what;
        int max_time, err, failures;
        bool busy_range, late_clock;
        int status, sleeps, binds;
        std::map<std::string, int> reports;
    };
    const int fail = YN_STATUS_SOCKET_ERROR, timeout = YN_STATUS_TIMEOUT;
    const Row rows[] = {
        {"refused after the deadline", 10, ECONNREFUSED, 9, false, false, timeout, 2, 3,
         {{": save_errno: ", 3}, {": time(NULL): 1020 0x000003fc", 1},
          {": last_time: 1010 0x000003f2", 1}, {": max_time: 10 0x0000000a", 1},
          {": Function failed: 11 0x0000000b", 1}}},
        {"refused four times within the deadline", 300, ECONNREFUSED, 9, false, false, fail, 4, 4,
         {{": save_errno: ", 4}, {": max_time: ", 0}}},
        {"timed out, then accepted", 300, ETIMEDOUT, 1, false, false, 0, 1, 2, {}},
        {"at least one second allowed", 0, ECONNREFUSED, 9, false, false, timeout, 1, 2,
         {{": max_time: 1 0x00000001", 1}}},
        {"other connect errors end at once", 300, EAFNOSUPPORT, 9, false, false, fail, 0, 1,
         {{": save_errno: ", 2}}},
        {"no port to bind: no connect", 300, 0, 0, true, false, fail, 0, 2,
         {{": status: 10 0x0000000a", 1}, {": save_errno: ", 0}}},
        {"a port clash is retried at once", 5, EADDRNOTAVAIL, 3, false, false, 0, 0, 4, {}},
        {"four clashes end it whatever the clock", 5, EADDRINUSE, 9, false, true, fail, 0, 4,
         {{": save_errno: ", 4}, {": max_time: ", 0}}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        yqtest::FakeClock clock(1000);
        yqtest::Reports reports;
        fake_calls({}, row.err, row.failures);
        if (row.busy_range) g_refused = {{5000, EADDRINUSE}, {5001, EADDRINUSE}};
        if (row.late_clock)
            yq::sys::table.time = [](time_t *) { return yqtest::FakeClock::seconds += 1000; };
        const int low = row.busy_range ? 5000 : 0;
        errno = 0;
        EXPECT_EQ(ynet_bind_and_connect(&dest, low, low + 1, &lo, &sock, row.max_time), row.status);
        Fd own(sock);
        EXPECT_TRUE(row.status == 0 || (errno == row.err && sock == -1)) << "errno " << errno;
        int nodelay = 0;
        socklen_t length = sizeof nodelay;
        ::getsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &nodelay, &length);
        EXPECT_EQ(nodelay != 0, row.status == 0) << "a connected socket, without Nagle's delay";
        EXPECT_EQ(yqtest::FakeClock::sleeps, row.sleeps);
        EXPECT_TRUE(row.late_clock || yqtest::FakeClock::seconds == 1000 + 10 * row.sleeps);
        EXPECT_EQ(static_cast<int>(g_tried.size()), row.binds) << "a new bind for each attempt";
        for (const auto &[needle, times] : row.reports)
            EXPECT_EQ(reports.count(needle), times) << needle << "\n" << reports.text();
    }
}

}  // namespace
