// Bind and connect: the port search order inside a range (busy ports held by
// the test), the system port outside one, and the retry schedule against a
// refusing port with the clock and sleep replaced, so no test waits.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "ynet.h"
#include "ynet_bind_private.h"
#include "yqtest.h"

namespace {

sockaddr_in address(const char *ip, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

in_addr loopback_addr() { return address("127.0.0.1", 0).sin_addr; }

int bound_port(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) return -1;
    return ntohs(a.sin_port);
}

struct Fd {
    int fd = -1;
    explicit Fd(int f = -1) : fd(f) {}
    Fd(Fd &&o) noexcept : fd(o.fd) { o.fd = -1; }
    Fd(const Fd &) = delete;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

// A TCP socket bound to 127.0.0.1:port; listening unless `listen` is false
// (a bound, non-listening port refuses connections).
Fd bound_socket(int port, bool listen = true, bool reuse = false) {
    Fd s(::socket(AF_INET, SOCK_STREAM, 0));
    int on = 1;
    if (reuse) ::setsockopt(s.fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a = address("127.0.0.1", port);
    EXPECT_EQ(::bind(s.fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0) << port;
    if (listen) {
        EXPECT_EQ(::listen(s.fd, 8), 0);
    }
    return s;
}

bool port_free(int port) {
    Fd s(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a = address("0.0.0.0", port);
    return ::bind(s.fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
}

// First port of `width` consecutive ports that nobody holds, below the
// usual ephemeral range so the system does not hand them out meanwhile.
int free_range(int width) {
    static int next = 20000 + static_cast<int>(::getpid() % 400) * 25;
    for (int tries = 0; tries < 400; ++tries) {
        int low = next;
        next += width;
        if (next + width > 32000) next = 20000;
        bool all = true;
        for (int p = low; p < low + width && all; ++p) all = port_free(p);
        if (all) return low;
    }
    ADD_FAILURE() << "no free port range";
    return 20000;
}

// Arranges for the next draws of the start port to land at the given
// offsets of a range of `width` ports: finds a rand() seed whose sequence
// gives them, seeds with it and marks the randomiser as already seeded.
void next_starts(int width, std::vector<int> offsets) {
    for (unsigned seed = 1; seed < 100000; ++seed) {
        std::srand(seed);
        bool fits = true;
        for (int off : offsets) fits = fits && std::rand() % width == off;
        if (fits) {
            std::srand(seed);
            yq::ynet_bind::port_state() = 1;
            return;
        }
    }
    FAIL() << "no seed found";
}

// Collects the debug lines written to ynet_debug_stream.
class Reports {
public:
    Reports() {
        stream_ = open_memstream(&text_, &size_);
        ynet_debug_stream = stream_;
    }
    ~Reports() {
        ynet_debug_stream = nullptr;
        std::fclose(stream_);
        std::free(text_);
    }
    std::string text() {
        std::fflush(stream_);
        return std::string(text_, size_);
    }
    int count(const std::string &needle) {
        std::string t = text();
        int n = 0;
        for (size_t at = t.find(needle); at != std::string::npos; at = t.find(needle, at + 1)) ++n;
        return n;
    }

private:
    char *text_ = nullptr;
    size_t size_ = 0;
    FILE *stream_ = nullptr;
};

// Clock and sleep seam: time stands still except when the code sleeps (or
// by `tick` on every reading).
time_t g_now;
time_t g_tick;
std::vector<unsigned> g_sleeps;

time_t fake_time(time_t *t) {
    time_t now = g_now;
    g_now += g_tick;
    if (t != nullptr) *t = now;
    return now;
}
unsigned fake_sleep(unsigned s) {
    g_sleeps.push_back(s);
    g_now += s;
    return 0;
}

class BindTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_now = 1000;
        g_tick = 0;
        g_sleeps.clear();
        yq::sys::table.time = fake_time;
        yq::sys::table.sleep = fake_sleep;
    }
    yqtest::SysGuard guard;
    in_addr lo = loopback_addr();
};

TEST_F(BindTest, FirstRangedBindSeedsFromProcessTimeAndRange) {
    const int low = free_range(10), high = low + 9;
    g_now = 1700000000;
    uint32_t mix = static_cast<uint32_t>(::getpid());
    mix = (mix << 1) ^ static_cast<uint32_t>(g_now);
    mix = (mix << 1) ^ static_cast<uint32_t>(low);
    mix = (mix << 1) ^ static_cast<uint32_t>(high);
    std::srand(mix);
    const int r1 = std::rand(), r2 = std::rand();

    yq::ynet_bind::port_state() = 0;
    int sock = -1;
    ASSERT_EQ(ynet_bind_to_port_addr(low, high, &lo, &sock), 0);
    Fd first(sock);
    EXPECT_EQ(yq::ynet_bind::port_state(), r1);
    EXPECT_EQ(bound_port(sock), low + static_cast<int>(static_cast<unsigned>(r1) % 10u));

    // Seeded once: a later bind draws on, whatever the clock says.
    g_now += 12345;
    ASSERT_EQ(ynet_bind_to_port_addr(low, high, &lo, &sock), 0);
    Fd second(sock);
    EXPECT_EQ(yq::ynet_bind::port_state(), r2);
}

TEST_F(BindTest, SearchGoesDownFromStartThenDownFromTop) {
    const int low = free_range(10), high = low + 9;
    std::vector<Fd> busy;
    for (int p = low; p <= low + 3; ++p) busy.push_back(bound_socket(p));

    int sock = -1;
    next_starts(10, {3});
    ASSERT_EQ(ynet_bind_to_port_addr(low, high, &lo, &sock), 0);
    EXPECT_EQ(bound_port(sock), high);
    ::close(sock);

    for (int p = high; p >= low + 5; --p) busy.push_back(bound_socket(p));
    next_starts(10, {3});
    ASSERT_EQ(ynet_bind_to_port_addr(low, high, &lo, &sock), 0);
    EXPECT_EQ(bound_port(sock), low + 4);

    // The whole range busy: no socket, errno from the last bind.
    ASSERT_EQ(::listen(sock, 1), 0);  // a listener cannot share its port
    busy.push_back(Fd(sock));
    next_starts(10, {3});
    sock = 42;
    EXPECT_EQ(ynet_bind_to_port_addr(low, high, &lo, &sock), YN_STATUS_SOCKET_ERROR);
    EXPECT_EQ(sock, -1);
    EXPECT_EQ(errno, EADDRINUSE);
}

TEST_F(BindTest, UnusableRangeLetsTheSystemPick) {
    const int p = free_range(2);
    Fd busy = bound_socket(p);
    const int ranges[][2] = {{p, p}, {p, p - 1}, {0, p}, {-1, p}, {p, 65536}};
    for (const auto &r : ranges) {
        yq::ynet_bind::port_state() = 777;
        int sock = -1;
        ASSERT_EQ(ynet_bind_to_port_addr(r[0], r[1], &lo, &sock), 0) << r[0] << "-" << r[1];
        Fd s(sock);
        EXPECT_GT(bound_port(sock), 0);
        EXPECT_NE(bound_port(sock), p);
        EXPECT_EQ(yq::ynet_bind::port_state(), 777) << "randomiser used";
    }
    // Any local address when none is given.
    int sock = -1;
    ASSERT_EQ(ynet_bind_to_port_addr(0, 0, nullptr, &sock), 0);
    Fd s(sock);
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ASSERT_EQ(::getsockname(sock, reinterpret_cast<sockaddr *>(&a), &len), 0);
    EXPECT_EQ(a.sin_addr.s_addr, htonl(INADDR_ANY));
}

TEST_F(BindTest, ForeignLocalAddressFailsEveryPort) {
    in_addr foreign = address("192.0.2.77", 0).sin_addr;  // on no interface here
    const int low = free_range(4);
    for (int high : {low + 3, 0}) {
        int sock = 42;
        EXPECT_EQ(ynet_bind_to_port_addr(low, high, &foreign, &sock), YN_STATUS_SOCKET_ERROR);
        EXPECT_EQ(sock, -1);
        EXPECT_EQ(errno, EADDRNOTAVAIL);
    }
}

TEST_F(BindTest, NoDescriptorLeftForTheSocket) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int next = ::dup(0);
        ::close(next);
        rlimit lim{static_cast<rlim_t>(next), static_cast<rlim_t>(next)};
        ::setrlimit(RLIMIT_NOFILE, &lim);
        int sock = 42;
        int st = ynet_bind_to_port_addr(0, 0, nullptr, &sock);
        ::_exit(st == YN_STATUS_SOCKET_ERROR && sock == -1 && errno == EMFILE ? 0 : 1);
    }
    int wstatus = 0;
    ASSERT_EQ(::waitpid(pid, &wstatus, 0), pid);
    EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0);
}

TEST_F(BindTest, ConnectsFromAPortOfTheRange) {
    Fd listener = bound_socket(0);
    const sockaddr_in dest = address("127.0.0.1", bound_port(listener.fd));
    const int low = free_range(10), high = low + 9;

    int sock = -1;
    ASSERT_EQ(ynet_bind_and_connect(&dest, low, high, &lo, &sock, 5), 0);
    Fd client(sock);
    const int port = bound_port(sock);
    EXPECT_GE(port, low);
    EXPECT_LE(port, high);
    int nodelay = 0;
    socklen_t len = sizeof nodelay;
    ASSERT_EQ(::getsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &nodelay, &len), 0);
    EXPECT_NE(nodelay, 0);

    sockaddr_in peer{};
    socklen_t plen = sizeof peer;
    Fd server(::accept(listener.fd, reinterpret_cast<sockaddr *>(&peer), &plen));
    ASSERT_GE(server.fd, 0);
    EXPECT_EQ(ntohs(peer.sin_port), port);
    EXPECT_TRUE(g_sleeps.empty());
}

class RefusingPort : public BindTest {
protected:
    Fd refuser = bound_socket(0, false);  // bound, never listening
    sockaddr_in dest = address("127.0.0.1", bound_port(refuser.fd));
    Reports reports;
    int sock = 42;
};

TEST_F(RefusingPort, SecondRefusalAfterTheDeadlineTimesOut) {
    EXPECT_EQ(ynet_bind_and_connect(&dest, 0, 0, &lo, &sock, 5), YN_STATUS_TIMEOUT);
    EXPECT_EQ(errno, ECONNREFUSED);
    EXPECT_EQ(sock, -1);
    EXPECT_EQ(g_sleeps, std::vector<unsigned>{10});
    EXPECT_EQ(reports.count(": save_errno: "), 2) << reports.text();
    EXPECT_EQ(reports.count(": time(NULL): 1010 0x000003f2"), 1) << reports.text();
    EXPECT_EQ(reports.count(": last_time: 1005 0x000003ed"), 1) << reports.text();
    EXPECT_EQ(reports.count(": max_time: 5 0x00000005"), 1) << reports.text();
}

TEST_F(RefusingPort, FourAttemptsWithinALongDeadline) {
    EXPECT_EQ(ynet_bind_and_connect(&dest, 0, 0, &lo, &sock, 300), YN_STATUS_SOCKET_ERROR);
    EXPECT_EQ(errno, ECONNREFUSED);
    EXPECT_EQ(sock, -1);
    EXPECT_EQ(g_sleeps, (std::vector<unsigned>{10, 10, 10, 10}));
    EXPECT_EQ(g_now, 1040);
    EXPECT_EQ(reports.count(": save_errno: "), 4) << reports.text();
    EXPECT_EQ(reports.count(": max_time: "), 0);
}

TEST_F(RefusingPort, TimeAllowedIsAtLeastOneSecond) {
    EXPECT_EQ(ynet_bind_and_connect(&dest, 0, 0, &lo, &sock, -7), YN_STATUS_TIMEOUT);
    EXPECT_EQ(g_sleeps.size(), 1u);
    EXPECT_EQ(reports.count(": max_time: 1 0x00000001"), 1) << reports.text();
}

TEST_F(RefusingPort, OtherConnectErrorsEndAtOnce) {
    sockaddr_in odd = dest;
    odd.sin_family = AF_INET6;  // an IPv4 socket refuses the family
    EXPECT_EQ(ynet_bind_and_connect(&odd, 0, 0, &lo, &sock, 300), YN_STATUS_SOCKET_ERROR);
    EXPECT_EQ(errno, EAFNOSUPPORT);
    EXPECT_EQ(sock, -1);
    EXPECT_TRUE(g_sleeps.empty());
    EXPECT_EQ(reports.count(": save_errno: "), 2) << reports.text();
}

TEST_F(RefusingPort, BindFailureEndsWithoutConnecting) {
    const int low = free_range(3);
    std::vector<Fd> busy;
    for (int p = low; p < low + 3; ++p) busy.push_back(bound_socket(p));
    EXPECT_EQ(ynet_bind_and_connect(&dest, low, low + 2, &lo, &sock, 300),
              YN_STATUS_SOCKET_ERROR);
    EXPECT_EQ(errno, 0);  // no connect was made
    EXPECT_EQ(sock, -1);
    EXPECT_TRUE(g_sleeps.empty());
    EXPECT_EQ(reports.count(": status: 10 0x0000000a"), 1) << reports.text();
    EXPECT_EQ(reports.count(": save_errno: "), 0);
}

// A local port that already carries a connection to the destination can be
// bound again (SO_REUSEADDR) but not connected from: the kernel refuses the
// duplicate address pair at connect time.
class PortClash : public BindTest {
protected:
    void SetUp() override {
        BindTest::SetUp();
        low = free_range(2);
    }
    void occupy(int port) {
        Fd c = bound_socket(port, false, true);
        ASSERT_EQ(::connect(c.fd, reinterpret_cast<const sockaddr *>(&dest), sizeof dest), 0);
        held.push_back(std::move(c));
        held.emplace_back(::accept(listener.fd, nullptr, nullptr));
    }
    Fd listener = bound_socket(0);
    sockaddr_in dest = address("127.0.0.1", bound_port(listener.fd));
    std::vector<Fd> held;
    Reports reports;
    int low = 0;
    int sock = 42;
};

TEST_F(PortClash, IsRetriedAtOnceWithANewlyBoundSocket) {
    occupy(low);
    next_starts(2, {0, 1});
    ASSERT_EQ(ynet_bind_and_connect(&dest, low, low + 1, &lo, &sock, 5), 0);
    Fd client(sock);
    EXPECT_EQ(bound_port(sock), low + 1);
    EXPECT_TRUE(g_sleeps.empty());
    EXPECT_EQ(reports.count(": save_errno: "), 1) << reports.text();
}

TEST_F(PortClash, GivesUpAfterFourAttemptsWhateverTheClock) {
    occupy(low);
    occupy(low + 1);
    g_tick = 1000;  // far past the deadline at every reading
    EXPECT_EQ(ynet_bind_and_connect(&dest, low, low + 1, &lo, &sock, 5), YN_STATUS_SOCKET_ERROR);
    EXPECT_TRUE(errno == EADDRNOTAVAIL || errno == EADDRINUSE) << errno;
    EXPECT_EQ(sock, -1);
    EXPECT_TRUE(g_sleeps.empty());
    EXPECT_EQ(reports.count(": save_errno: "), 4) << reports.text();
    EXPECT_EQ(reports.count(": max_time: "), 0);
}

}  // namespace
