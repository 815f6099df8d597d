// Bind and connect: the start port drawn from a seed made once, the port
// search order (through a bind seam that refuses the ports a row names and
// records every port asked for), and the retry rules against a real refusing
// port with the shared fake clock, whose sleep moves time instead of waiting.
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
int g_clashes = 0;  // connects the fake connect fails as a local port clash

// Binds nothing: the socket stays unbound and connects from a system port.
int fake_bind(int, const sockaddr *a, socklen_t) {
    const auto *in = reinterpret_cast<const sockaddr_in *>(a);
    g_tried.push_back(ntohs(in->sin_port));
    g_address = in->sin_addr.s_addr;
    auto refused = g_refused.find(g_tried.back());
    if (refused == g_refused.end()) return 0;
    errno = refused->second;
    return -1;
}
int fake_connect(int fd, const sockaddr *a, socklen_t n) {
    if (g_clashes-- <= 0) return ::connect(fd, a, n);
    errno = EADDRNOTAVAIL;
    return -1;
}

// Makes the next draws of the start port land at the given offsets of a
// range of `width` ports: seeds rand() with a seed whose sequence gives them
// and marks the randomiser as seeded.
void next_starts(int width, Ports offsets) {
    for (unsigned seed = 1; seed < 100000; ++seed) {
        std::srand(seed);
        bool fits = true;
        for (int off : offsets) fits = fits && std::rand() % width == off;
        if (!fits) continue;
        std::srand(seed);
        yq::ynet_bind::port_state() = 1;
        return;
    }
    FAIL() << "no seed found";
}

class Bind : public ::testing::Test {
protected:
    // Call after the clock: its end resets the whole table.
    void fake_calls(std::map<int, int> refused = {}, int clashes = 0) {
        g_refused = std::move(refused);
        g_tried.clear();
        g_clashes = clashes;
        yq::sys::table.bind = fake_bind;
        yq::sys::table.connect = fake_connect;
    }
    yqtest::SysGuard guard;
    const in_addr lo{htonl(INADDR_LOOPBACK)};
    int sock = 42;
};

TEST_F(Bind, StartIsDrawnFromASeedMadeOnce) {
    yqtest::FakeClock clock(1700000000);
    fake_calls();
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
    struct Row {
        const char *what;
        int low, high, start;
        Ports refused;
        int err;
        Ports tried;
    };
    const Row rows[] = {
        {"down from the start", 5000, 5009, 3, {5000, 5001, 5002, 5003}, EADDRINUSE,
         {5003, 5002, 5001, 5000, 5009}},
        {"then down from the top", 5000, 5009, 3,
         {5000, 5001, 5002, 5003, 5005, 5006, 5007, 5008, 5009}, EADDRINUSE,
         {5003, 5002, 5001, 5000, 5009, 5008, 5007, 5006, 5005, 5004}},
        {"start at the top: one pass, all taken", 5000, 5009, 9,
         {5000, 5001, 5002, 5003, 5004, 5005, 5006, 5007, 5008, 5009}, EADDRINUSE,
         {5009, 5008, 5007, 5006, 5005, 5004, 5003, 5002, 5001, 5000}},
        {"an address not available moves on", 5000, 5009, 3, {5003}, EADDRNOTAVAIL, {5003, 5002}},
        {"another failure ends the pass", 5000, 5009, 3, {5003}, EACCES, {5003, 5009}},
        {"low equals high: the system picks", 1024, 1024, 0, {}, 0, {0}},
        {"low above high", 1024, 1023, 0, {}, 0, {0}},
        {"low 0", 0, 1024, 0, {}, 0, {0}},
        {"low negative", -1, 1024, 0, {}, 0, {0}},
        {"high past the last port", 1024, 65536, 0, {}, 0, {0}},
        {"the system's port taken", 0, 0, 0, {0}, EADDRINUSE, {0}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        std::map<int, int> refused;
        for (int port : row.refused) refused[port] = row.err;
        fake_calls(refused);
        if (row.start != 0) next_starts(row.high - row.low + 1, {row.start});
        errno = 0;
        int status = ynet_bind_to_port_addr(row.low, row.high, row.start ? &lo : nullptr, &sock);
        Fd own(sock);
        EXPECT_EQ(g_tried, row.tried);
        EXPECT_EQ(g_address, row.start ? lo.s_addr : htonl(INADDR_ANY));
        const bool bound = row.refused.size() < row.tried.size();
        EXPECT_EQ(status, bound ? YN_STATUS_SUCCESS : YN_STATUS_SOCKET_ERROR);
        EXPECT_EQ(sock >= 0, bound);
        EXPECT_TRUE(bound || errno == row.err) << "the last bind's errno, not " << errno;
    }
    yq::sys::table.socket = [](int, int, int) {
        errno = EMFILE;
        return -1;
    };
    EXPECT_EQ(ynet_bind_to_port_addr(5000, 5009, &lo, &sock), YN_STATUS_SOCKET_ERROR);
    EXPECT_EQ(sock, -1);
    EXPECT_EQ(errno, EMFILE);
}

TEST_F(Bind, ConnectsFromAPortOfTheRange) {
    int high = 0;
    Fd listener = tcp_listener(&high);  // a free port, and the one below it likely too
    const sockaddr_in dest = loopback(high);
    ASSERT_EQ(ynet_bind_and_connect(&dest, high - 1, high, &lo, &sock, 5), 0);
    Fd client(sock);
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    Fd server(::accept(listener.get(), reinterpret_cast<sockaddr *>(&peer), &length));
    EXPECT_GE(ntohs(peer.sin_port), high - 1);
    EXPECT_LE(ntohs(peer.sin_port), high);
    int nodelay = 0;
    length = sizeof nodelay;
    ASSERT_EQ(::getsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &nodelay, &length), 0);
    EXPECT_NE(nodelay, 0);
}

TEST_F(Bind, RetryRules) {
    int port = 0;
    Fd listener = tcp_listener(&port);
    const sockaddr_in accepting = loopback(port);
    Fd refuser(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));  // bound, never listening
    sockaddr_in refusing = loopback(0);
    socklen_t length = sizeof refusing;
    ::bind(refuser.get(), reinterpret_cast<const sockaddr *>(&refusing), sizeof refusing);
    ::getsockname(refuser.get(), reinterpret_cast<sockaddr *>(&refusing), &length);
    sockaddr_in other_family = refusing;
    other_family.sin_family = AF_INET6;
    struct Row {
        const char *what;
        const sockaddr_in *dest;
        int max_time, clashes;
        bool busy_range, late_clock;
        int status, err, sleeps, binds;
        std::map<std::string, int> reports;
    };
    const Row rows[] = {
        {"refused after the deadline", &refusing, 5, 0, false, false, YN_STATUS_TIMEOUT,
         ECONNREFUSED, 1, 2,
         {{": save_errno: ", 2}, {": time(NULL): 1010 0x000003f2", 1},
          {": last_time: 1005 0x000003ed", 1}, {": max_time: 5 0x00000005", 1},
          {": Function failed: 11 0x0000000b", 1}}},
        {"refused four times within the deadline", &refusing, 300, 0, false, false,
         YN_STATUS_SOCKET_ERROR, ECONNREFUSED, 4, 4, {{": save_errno: ", 4}, {": max_time: ", 0}}},
        {"at least one second allowed", &refusing, -7, 0, false, false, YN_STATUS_TIMEOUT,
         ECONNREFUSED, 1, 2, {{": max_time: 1 0x00000001", 1}}},
        {"other connect errors end at once", &other_family, 300, 0, false, false,
         YN_STATUS_SOCKET_ERROR, EAFNOSUPPORT, 0, 1, {{": save_errno: ", 2}}},
        {"no port to bind: no connect", &refusing, 300, 0, true, false, YN_STATUS_SOCKET_ERROR, 0,
         0, 2, {{": status: 10 0x0000000a", 1}, {": save_errno: ", 0}}},
        {"a port clash is retried at once", &accepting, 5, 1, false, false, YN_STATUS_SUCCESS,
         EADDRNOTAVAIL, 0, 2, {{": save_errno: ", 1}}},
        {"four clashes end it whatever the clock", &accepting, 5, 4, false, true,
         YN_STATUS_SOCKET_ERROR, EADDRNOTAVAIL, 0, 4, {{": save_errno: ", 4}, {": max_time: ", 0}}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        yqtest::FakeClock clock(1000);
        yqtest::Reports reports;
        fake_calls(row.busy_range ? std::map<int, int>{{5000, EADDRINUSE}, {5001, EADDRINUSE}}
                                  : std::map<int, int>{},
                   row.clashes);
        if (row.late_clock)
            yq::sys::table.time = [](time_t *) { return yqtest::FakeClock::seconds += 1000; };
        const int low = row.busy_range ? 5000 : 0;
        errno = 0;
        EXPECT_EQ(ynet_bind_and_connect(row.dest, low, low + 1, &lo, &sock, row.max_time), row.status);
        Fd own(sock);
        EXPECT_TRUE(row.status == YN_STATUS_SUCCESS || errno == row.err) << errno;
        EXPECT_EQ(sock >= 0, row.status == YN_STATUS_SUCCESS);
        EXPECT_EQ(yqtest::FakeClock::sleeps, row.sleeps);
        EXPECT_TRUE(row.late_clock || yqtest::FakeClock::seconds == 1000 + 10 * row.sleeps);
        EXPECT_EQ(static_cast<int>(g_tried.size()), row.binds) << "a new bind for each attempt";
        for (const auto &[needle, times] : row.reports)
            EXPECT_EQ(reports.count(needle), times) << needle << "\n" << reports.text();
    }
}

}  // namespace
