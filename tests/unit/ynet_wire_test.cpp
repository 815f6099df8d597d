// Wire items against a raw peer over a Unix-domain pair and loopback TCP, and
// the deadline and alarm bracket around every blocking call.
#include <signal.h>
#include <sys/time.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <thread>
#include <vector>

#include "ynet.h"
#include "ynet_private.h"
#include "yqtest.h"
#include "yqtest_clock.h"
#include "yqtest_report.h"
#include "yqtest_wire.h"

namespace {

using namespace std::string_literals;
using namespace yqtest::wire;

struct WireGuard {
    yqtest::SysGuard sys;
    ~WireGuard() { ynet_ignore_alarms = 1; }
};

class Wire : public ::testing::TestWithParam<bool> {
protected:
    WireGuard guard;
    Pair c = GetParam() ? tcp_pair() : unix_pair();
};
INSTANTIATE_TEST_SUITE_P(UnixAndTcp, Wire, ::testing::Bool(),
                         [](const auto &row) { return row.param ? "Tcp" : "Unix"; });

TEST_P(Wire, PushesPutExactOctetsAndPopsDecodeThem) {
    EXPECT_EQ(ynet_push_string(c.mine.get(), "abc", 5), 0);
    EXPECT_EQ(ynet_push_byte(c.mine.get(), 255, 5), 0);
    EXPECT_EQ(ynet_push_unsigned(c.mine.get(), 4294967295UL, 5), 0);
    EXPECT_EQ(ynet_push_status(c.mine.get(), YN_STATUS_VERSION_MISMATCH, 5), 0);
    EXPECT_EQ(ynet_push_signed(c.mine.get(), LONG_MIN, 5), 0);
    EXPECT_EQ(ynet_push_signed(c.mine.get(), -42, 5), 0);
    std::string expected = "abc\0\xff"s + "4294967295\0"s + "24\0"s + std::to_string(LONG_MIN) + "\0-42\0"s;
    EXPECT_EQ(read_raw(c.peer.get(), expected.size()), expected);
    EXPECT_EQ(ynet_push_byte(c.mine.get(), 256, 5), YN_STATUS_BAD_VALUE);

    // Numbers as strtol/strtoul read them, with base detection.
    write_raw(c.peer.get(), "0x1F\0"s + "017\0"s + "  -42\0"s + "-1\0"s + "12a\0"s);
    long value = 0;
    for (long want : {31L, 15L, -42L}) {
        EXPECT_EQ(ynet_pop_signed(c.mine.get(), &value, 5), 0);
        EXPECT_EQ(value, want);
    }
    unsigned long uvalue = 0;
    EXPECT_EQ(ynet_pop_unsigned(c.mine.get(), &uvalue, 5), 0);
    EXPECT_EQ(uvalue, ULONG_MAX);
    yqtest::Reports reports;
    EXPECT_EQ(ynet_pop_signed(c.mine.get(), &value, 5), YN_STATUS_BAD_VALUE);
    EXPECT_EQ(value, 12) << "trailing characters fail, the value is kept";
    EXPECT_TRUE(reports.has(": Function failed: 1 0x00000001\n")) << reports.text();
}

// Sent all at once: a pop that read ahead would take what follows with it; an
// item longer than the buffer or any number fails at its limit, the rest stays.
TEST_P(Wire, PopsTakeExactlyTheirItem) {
    write_raw(c.peer.get(), "\0"s + "abcdefghij\0"s + "1234567\0"s + std::string(200, '7') + "\0"s +
                                "8\0"s + std::string(200, 'Z'));
    char buf[8];
    EXPECT_EQ(ynet_pop_string(c.mine.get(), buf, 1, 5), 0);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(ynet_pop_string(c.mine.get(), buf, 8, 5), YN_STATUS_BAD_FORMAT);
    EXPECT_EQ(std::string(buf, 8), "abcdefgh");
    EXPECT_EQ(read_raw(c.mine.get(), 3), "ij\0"s);
    EXPECT_EQ(ynet_pop_string(c.mine.get(), buf, 0, 5), YN_STATUS_BAD_FORMAT);
    EXPECT_EQ(ynet_pop_string(c.mine.get(), buf, 8, 5), 0);
    EXPECT_STREQ(buf, "1234567");
    long value = -1;
    EXPECT_EQ(ynet_pop_signed(c.mine.get(), &value, 5), YN_STATUS_BAD_FORMAT);
    EXPECT_EQ(read_raw(c.mine.get(), 73), std::string(72, '7') + "\0"s);
    EXPECT_EQ(ynet_pop_signed(c.mine.get(), &value, 5), 0);
    EXPECT_EQ(value, 8);
    EXPECT_EQ(ynet_pop_string(c.mine.get(), buf, 8, 5), YN_STATUS_BAD_FORMAT);
    EXPECT_EQ(read_raw(c.mine.get(), 1), "Z");
}

TEST_P(Wire, PeerThatHasGoneFailsPopsAndPushesWithoutSigpipe) {
    write_raw(c.peer.get(), "half"s);
    c.peer.reset();
    char buf[16];
    EXPECT_EQ(ynet_pop_string(c.mine.get(), buf, sizeof buf, 5), YN_STATUS_READ_FAILED);
    // A SIGPIPE would end the test program; the caller's action must come back.
    struct sigaction dfl{}, before{}, after{};
    dfl.sa_handler = SIG_DFL;
    dfl.sa_flags = SA_RESTART;
    ASSERT_EQ(sigaction(SIGPIPE, &dfl, &before), 0);
    int status = 0;
    // TCP learns of the close from the reset its first write provokes.
    for (int i = 0; i < 100 && status == 0; ++i)
        if ((status = ynet_push_string(c.mine.get(), "are you there", 5)) == 0) ::usleep(10000);
    EXPECT_EQ(status, YN_STATUS_WRITE_FAILED);
    EXPECT_TRUE(errno == EPIPE || errno == ECONNRESET) << std::strerror(errno);
    ASSERT_EQ(sigaction(SIGPIPE, &before, &after), 0);
    EXPECT_EQ(after.sa_handler, SIG_DFL);
    EXPECT_EQ(after.sa_flags & SA_RESTART, SA_RESTART);
}

TEST(WirePipe, CarriesPushesAndFailsWithoutSigpipe) {
    WireGuard guard;
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    Fd r(p[0]), w(p[1]);
    EXPECT_EQ(ynet_push_string(w.get(), "pipe", 5), 0);
    EXPECT_EQ(ynet_push_byte(w.get(), 9, 5), 0);
    EXPECT_EQ(read_raw(r.get(), 6), "pipe\0\x09"s);
    r.reset();  // no reader: the push fails, and SIGPIPE (default: the end) stays away
    struct sigaction dfl{}, before{};
    dfl.sa_handler = SIG_DFL;
    ASSERT_EQ(sigaction(SIGPIPE, &dfl, &before), 0);
    EXPECT_EQ(ynet_push_string(w.get(), "gone", 5), YN_STATUS_WRITE_FAILED);
    sigaction(SIGPIPE, &before, nullptr);
}

// A peer that trickles one byte at a time: each pop waits for the rest of its
// item and takes nothing of the next.
TEST_P(Wire, TricklingPeer) {
    std::thread peer([fd = c.peer.get()] {
        for (char ch : "xy\0n\0"s) write_raw(fd, std::string(1, ch)), ::usleep(2000);
    });
    char buf[8];
    EXPECT_EQ(ynet_pop_string(c.mine.get(), buf, sizeof buf, 5), 0);
    EXPECT_STREQ(buf, "xy");
    EXPECT_EQ(ynet_pop_string(c.mine.get(), buf, sizeof buf, 5), 0);
    EXPECT_STREQ(buf, "n");
    peer.join();
}

// A timer signal every millisecond interrupts waits, reads and writes of a
// long string while the peer takes its time; nothing may be lost. A slow run
// (under valgrind) moves 256 KiB, still more than a socket buffer holds: the
// whole MiB there can take longer than the calls' 30 s on a busy machine.
TEST_P(Wire, SignalStormLosesNoByte) {
    const size_t n = std::getenv("YQ_SLOW_RUN") != nullptr ? 1 << 18 : 1 << 20;
    std::string sent(n, '\0');
    for (size_t i = 0; i < n; ++i) sent[i] = static_cast<char>(1 + (i * 7 + i / 251) % 255);
    struct sigaction tick{}, saved{};
    tick.sa_handler = [](int) {};
    ASSERT_EQ(sigaction(SIGALRM, &tick, &saved), 0);  // no SA_RESTART
    std::string received;
    std::thread other = thread_without_sigalrm([&, peer = c.peer.get()] {
        for (std::string got = "-"; received.size() < n + 1 && !got.empty(); ::usleep(100))
            received += got = read_raw(peer, std::min<size_t>(4096, n + 1 - received.size()));
        for (size_t at = 0; at < received.size(); at += 4096) {
            write_raw(peer, received.substr(at, 4096));
            ::usleep(100);
        }
    });
    itimerval every_ms{{0, 1000}, {0, 1000}}, off{};
    ASSERT_EQ(setitimer(ITIMER_REAL, &every_ms, nullptr), 0);
    EXPECT_EQ(ynet_push_string(c.mine.get(), sent.c_str(), 30), 0);
    std::vector<char> buf(n + 1);
    EXPECT_EQ(ynet_pop_string(c.mine.get(), buf.data(), static_cast<int>(buf.size()), 30), 0);
    setitimer(ITIMER_REAL, &off, nullptr);
    other.join();
    sigaction(SIGALRM, &saved, nullptr);
    EXPECT_TRUE(std::string(buf.data()) == sent);
}

TEST(WireReady, PollsWaitsAndBadDescriptors) {
    WireGuard guard;
    yqtest::Reports reports;
    Pair c = unix_pair();
    EXPECT_EQ(ynet_sock_ready(c.mine.get(), 1, 0, 0), YN_STATUS_TIMEOUT);
    EXPECT_EQ(ynet_sock_ready(c.mine.get(), 0, 0, 30), 0);
    EXPECT_EQ(ynet_sock_ready(c.mine.get(), 0, 1, 0), 0);
    EXPECT_EQ(reports.text(), "") << "a poll that finds nothing is no failure";
    EXPECT_EQ(ynet_sock_ready(-1, 1, 0, 0), YN_STATUS_SOCKET_ERROR);
    EXPECT_EQ(ynet_sock_ready(FD_SETSIZE + 100, 1, 0, 0), YN_STATUS_SOCKET_ERROR);

    static std::vector<int> waits;
    yq::sys::table.poll = [](pollfd *, nfds_t, int ms) { return waits.push_back(ms), 0; };
    for (int timeout : {5, -7, 30, 61})
        EXPECT_EQ(ynet_sock_ready(0, 1, 0, timeout), YN_STATUS_TIMEOUT);
    EXPECT_EQ(waits, (std::vector<int>{10000, 10000, 30000, 60000}));
}

// The next g_interrupts reads fail with EINTR; each takes g_step seconds of
// the fake clock. An interrupted call is repeated until its deadline.
int g_interrupts = 0;
int g_step = 0;
ssize_t interrupted_read(int fd, void *b, size_t n) {
    yqtest::FakeClock::seconds += g_step;
    if (g_interrupts > 0 && g_interrupts--) return errno = EINTR, -1;
    return ::read(fd, b, n);
}

TEST(WireDeadline, InterruptedReadRepeatsUntilTheDeadline) {
    WireGuard guard;
    yqtest::FakeClock clock;
    yq::sys::table.read = interrupted_read;
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    Fd r(p[0]), w(p[1]);
    ASSERT_EQ(::write(w.get(), "ab\0c", 4), 4);
    g_interrupts = 3;
    g_step = 1;
    char buf[8];
    EXPECT_EQ(ynet_pop_string(r.get(), buf, sizeof buf, 2), 0);
    EXPECT_STREQ(buf, "ab");
    g_interrupts = 1;
    g_step = 2;  // interrupted at its deadline
    int byte = 0;
    EXPECT_EQ(ynet_pop_byte(r.get(), &byte, 2), YN_STATUS_READ_FAILED);
    yq::sys::reset();
    EXPECT_EQ(read_raw(r.get(), 1), "c") << "the byte stays unread";
}

// Alarm mode: the caller's own alarm and handler survive every bracketed
// call, also when an interrupted call is repeated inside it.
TEST(WireAlarm, CallersAlarmSurvivesARepeatedCall) {
    WireGuard guard;
    ynet_ignore_alarms = 0;
    struct sigaction own{}, saved{};
    own.sa_handler = [](int) {};
    own.sa_flags = SA_RESTART;
    ASSERT_EQ(sigaction(SIGALRM, &own, &saved), 0);
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    Fd r(p[0]), w(p[1]);
    ASSERT_EQ(::write(w.get(), "7", 1), 1);
    yq::sys::table.read = interrupted_read;
    g_interrupts = 1;
    g_step = 0;
    alarm(100);
    int byte = 0;
    EXPECT_EQ(ynet_pop_byte(r.get(), &byte, 5), 0);
    EXPECT_EQ(byte, '7');
    EXPECT_EQ(g_interrupts, 0);
    EXPECT_GE(alarm(0), 98u) << "the caller's alarm was lost";
    struct sigaction after{};
    ASSERT_EQ(sigaction(SIGALRM, &saved, &after), 0);
    EXPECT_EQ(after.sa_flags & SA_RESTART, SA_RESTART);
    // Through the exported pair: held back while the call repeats, back after.
    yqtest::FakeClock clock;
    ynet_alarm_state state{};
    alarm(100);
    ynet_set_alarm(5, &state);
    EXPECT_EQ(ynet_clear_alarm(-1, EINTR, &state), 1);
    EXPECT_EQ(alarm(0), 0u) << "the caller's alarm would cut the repeat short";
    EXPECT_EQ(ynet_clear_alarm(0, 0, &state), 0);
    EXPECT_GE(alarm(0), 98u);
}

TEST(WireAlarm, SilentPeerFailsAtTheAlarm) {
    WireGuard guard;
    ynet_ignore_alarms = 0;
    // "Ready" on a silent socket: only the alarm can end the read, or the rescuer.
    yq::sys::table.poll = [](pollfd *p, nfds_t, int) { return p->revents = p->events, 1; };
    Pair c = unix_pair();
    std::atomic<bool> done{false};
    std::thread rescue = thread_without_sigalrm([&] {
        for (int i = 0; i < 500 && !done; ++i) ::usleep(10000);
        if (!done) write_raw(c.peer.get(), "r");
    });
    int byte = 0;
    EXPECT_EQ(ynet_pop_byte(c.mine.get(), &byte, 1), YN_STATUS_READ_FAILED);
    done = true;
    rescue.join();
    EXPECT_EQ(alarm(0), 0u) << "no alarm left behind";
}

}  // namespace
