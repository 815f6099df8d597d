// Wire items against an independent peer: the test reads and writes the raw
// octets itself, over a Unix-domain socket pair and a loopback TCP
// connection, and checks that a pop never takes a byte of what follows.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ynet.h"
#include "ynet_private.h"
#include "yqtest.h"

namespace {

using namespace std::string_literals;

// Both ends of a connection; the test owns `peer`, the library gets `mine`.
struct Conn {
    int mine = -1;
    int peer = -1;
    Conn() = default;
    Conn(Conn &&o) noexcept : mine(o.mine), peer(o.peer) { o.mine = o.peer = -1; }
    Conn(const Conn &) = delete;
    Conn &operator=(const Conn &) = delete;
    ~Conn() {
        if (mine >= 0) ::close(mine);
        if (peer >= 0) ::close(peer);
    }
    void close_peer() {
        ::close(peer);
        peer = -1;
    }
};

enum class Transport { Unix, Tcp };

Conn unix_pair() {
    int sv[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    Conn c;
    c.mine = sv[0];
    c.peer = sv[1];
    return c;
}

Conn tcp_pair() {
    Conn c;
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_GE(listener, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    EXPECT_EQ(::bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    EXPECT_EQ(::listen(listener, 1), 0);
    EXPECT_EQ(::getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len), 0);
    c.mine = ::socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(::connect(c.mine, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    c.peer = ::accept(listener, nullptr, nullptr);
    EXPECT_GE(c.peer, 0);
    ::close(listener);
    return c;
}

Conn connect_pair(Transport t) { return t == Transport::Unix ? unix_pair() : tcp_pair(); }

std::string transport_name(const ::testing::TestParamInfo<Transport> &info) {
    return info.param == Transport::Unix ? "Unix" : "Tcp";
}

// Raw reads and writes of the independent peer, bounded so that a broken
// library fails a test instead of hanging it.
std::string read_raw(int fd, size_t n) {
    std::string out;
    while (out.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0) break;
        char buf[65536];
        ssize_t r = ::read(fd, buf, std::min(sizeof buf, n - out.size()));
        if (r <= 0) break;
        out.append(buf, static_cast<size_t>(r));
    }
    return out;
}

void write_raw(int fd, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t w = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        ASSERT_GT(w, 0) << std::strerror(errno);
        done += static_cast<size_t>(w);
    }
}

bool nothing_pending(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 0;
}

// Restores every seam and module variable the tests touch.
struct WireGuard {
    yqtest::SysGuard sys;
    ~WireGuard() {
        yq::sys::reset();
        ynet_ignore_alarms = 1;
        ynet_debug_stream = nullptr;
        ynet_debug_fd = -1;
    }
};

// Captures the plain report lines of ynet_debug_stream.
class Reports {
public:
    Reports() : file_(std::tmpfile()) { ynet_debug_stream = file_; }
    ~Reports() {
        ynet_debug_stream = nullptr;
        std::fclose(file_);
    }
    Reports(const Reports &) = delete;
    Reports &operator=(const Reports &) = delete;
    std::string text() {
        std::fflush(file_);
        std::rewind(file_);
        std::string out;
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) out.append(buf, n);
        std::fseek(file_, 0, SEEK_END);
        return out;
    }

private:
    FILE *file_;
};

// Starts a thread that never receives SIGALRM, so alarms and timer signals
// reach the thread under test.
template <typename F>
std::thread thread_without_sigalrm(F f) {
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    std::thread t(std::move(f));
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return t;
}

class WireTransport : public ::testing::TestWithParam<Transport> {
protected:
    WireGuard guard;
};

INSTANTIATE_TEST_SUITE_P(Both, WireTransport, ::testing::Values(Transport::Unix, Transport::Tcp),
                         transport_name);

TEST_P(WireTransport, PushesPutExactOctetsOnTheWire) {
    Conn c = connect_pair(GetParam());
    EXPECT_EQ(ynet_push_string(c.mine, "abc", 5), 0);
    EXPECT_EQ(read_raw(c.peer, 4), "abc\0"s);
    EXPECT_EQ(ynet_push_signed(c.mine, -5, 5), 0);
    EXPECT_EQ(read_raw(c.peer, 3), "-5\0"s);

    EXPECT_EQ(ynet_push_byte(c.mine, 0, 5), 0);
    EXPECT_EQ(ynet_push_byte(c.mine, 255, 5), 0);
    EXPECT_EQ(ynet_push_string(c.mine, "", 5), 0);
    EXPECT_EQ(ynet_push_unsigned(c.mine, 4294967295UL, 5), 0);
    EXPECT_EQ(ynet_push_status(c.mine, YN_STATUS_VERSION_MISMATCH, 5), 0);
    EXPECT_EQ(ynet_push_signed(c.mine, LONG_MIN, 5), 0);
    std::string expected = "\x00\xff\x00"s + "4294967295\0"s + "24\0"s +
                           std::to_string(LONG_MIN) + "\0"s;
    EXPECT_EQ(read_raw(c.peer, expected.size()), expected);

    // Out of range: refused before anything is written.
    EXPECT_EQ(ynet_push_byte(c.mine, 256, 5), YN_STATUS_BAD_VALUE);
    EXPECT_TRUE(nothing_pending(c.peer));
}

TEST_P(WireTransport, PopsDecodeWhatAPeerWrote) {
    Conn c = connect_pair(GetParam());
    write_raw(c.peer, "\x00\xff"s + "hello\0"s + "0x1F\0"s + "017\0"s + "  -42\0"s + "+7\0"s +
                          "0X10\0"s + "4294967295\0"s + "-1\0"s + "38\0"s);
    int byte = 0;
    EXPECT_EQ(ynet_pop_byte(c.mine, &byte, 5), 0);
    EXPECT_EQ(byte, 0);
    EXPECT_EQ(ynet_pop_byte(c.mine, &byte, 5), 0);
    EXPECT_EQ(byte, 255);
    char text[16];
    EXPECT_EQ(ynet_pop_string(c.mine, text, sizeof text, 5), 0);
    EXPECT_STREQ(text, "hello");
    long value = 0;
    EXPECT_EQ(ynet_pop_signed(c.mine, &value, 5), 0);
    EXPECT_EQ(value, 31);  // hexadecimal
    EXPECT_EQ(ynet_pop_signed(c.mine, &value, 5), 0);
    EXPECT_EQ(value, 15);  // octal
    EXPECT_EQ(ynet_pop_signed(c.mine, &value, 5), 0);
    EXPECT_EQ(value, -42);  // leading blanks and a sign
    EXPECT_EQ(ynet_pop_signed(c.mine, &value, 5), 0);
    EXPECT_EQ(value, 7);
    unsigned long uvalue = 0;
    EXPECT_EQ(ynet_pop_unsigned(c.mine, &uvalue, 5), 0);
    EXPECT_EQ(uvalue, 16u);
    EXPECT_EQ(ynet_pop_unsigned(c.mine, &uvalue, 5), 0);
    EXPECT_EQ(uvalue, 4294967295UL);
    EXPECT_EQ(ynet_pop_unsigned(c.mine, &uvalue, 5), 0);
    EXPECT_EQ(uvalue, ULONG_MAX);  // as strtoul reads "-1"
    int status = -1;
    EXPECT_EQ(ynet_pop_status(c.mine, &status, 5), 0);
    EXPECT_EQ(status, YN_STATUS_YQSS_REFUSED);
    EXPECT_TRUE(nothing_pending(c.mine));
}

TEST_P(WireTransport, TrailingCharactersAreReportedButTheValueIsKept) {
    Conn c = connect_pair(GetParam());
    write_raw(c.peer, "12a\0"s + "0x10 \0"s + "5x\0"s + "9\0"s);
    Reports reports;
    long value = 0;
    EXPECT_EQ(ynet_pop_signed(c.mine, &value, 5), YN_STATUS_BAD_VALUE);
    EXPECT_EQ(value, 12);
    EXPECT_EQ(reports.text().rfind("ynet.", 0), 0u);
    EXPECT_NE(reports.text().find(": Function failed: 1 0x00000001\n"), std::string::npos);
    unsigned long uvalue = 0;
    EXPECT_EQ(ynet_pop_unsigned(c.mine, &uvalue, 5), YN_STATUS_BAD_VALUE);
    EXPECT_EQ(uvalue, 16u);
    // A status is only handed out when the pop succeeds.
    int status = 77;
    EXPECT_EQ(ynet_pop_status(c.mine, &status, 5), YN_STATUS_BAD_VALUE);
    EXPECT_EQ(status, 77);
    EXPECT_EQ(ynet_pop_status(c.mine, &status, 5), 0);
    EXPECT_EQ(status, 9);
}

TEST_P(WireTransport, StringPopTakesExactlyItsItem) {
    Conn c = connect_pair(GetParam());
    // Everything arrives at once, so a pop that read ahead would take the
    // following items with it.
    write_raw(c.peer, "first\0"s + "abcdefghij\0"s + "next\0"s + "tail\0"s);
    char buf[8];
    EXPECT_EQ(ynet_pop_string(c.mine, buf, sizeof buf, 5), 0);
    EXPECT_STREQ(buf, "first");

    Reports reports;
    EXPECT_EQ(ynet_pop_string(c.mine, buf, 8, 5), YN_STATUS_BAD_FORMAT);
    EXPECT_EQ(std::string(buf, 8), "abcdefgh");
    EXPECT_NE(reports.text().find("Function failed: 3 0x00000003"), std::string::npos);
    EXPECT_EQ(read_raw(c.mine, 3), "ij\0"s);
    EXPECT_EQ(ynet_pop_string(c.mine, buf, sizeof buf, 5), 0);
    EXPECT_STREQ(buf, "next");
    EXPECT_EQ(read_raw(c.mine, 5), "tail\0"s);
    EXPECT_TRUE(nothing_pending(c.mine));
}

TEST_P(WireTransport, StringFittingOnlyWithItsTerminator) {
    Conn c = connect_pair(GetParam());
    write_raw(c.peer, "\0"s + "1234567\0"s + "a\0"s);
    char buf[8];
    EXPECT_EQ(ynet_pop_string(c.mine, buf, 1, 5), 0);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(ynet_pop_string(c.mine, buf, 8, 5), 0);
    EXPECT_STREQ(buf, "1234567");
    EXPECT_EQ(ynet_pop_string(c.mine, buf, 1, 5), YN_STATUS_BAD_FORMAT);
    EXPECT_EQ(buf[0], 'a');
    EXPECT_EQ(ynet_pop_string(c.mine, buf, 0, 5), YN_STATUS_BAD_FORMAT);
    EXPECT_EQ(ynet_pop_string(c.mine, buf, -3, 5), YN_STATUS_BAD_FORMAT);
    EXPECT_EQ(read_raw(c.mine, 1), "\0"s);  // neither size touched the socket
}

TEST_P(WireTransport, PeerThatClosesFailsTheNextPop) {
    Conn c = connect_pair(GetParam());
    write_raw(c.peer, "half"s);
    c.close_peer();
    char buf[16];
    EXPECT_EQ(ynet_pop_string(c.mine, buf, sizeof buf, 5), YN_STATUS_READ_FAILED);
    int byte = 7;
    EXPECT_EQ(ynet_pop_byte(c.mine, &byte, 5), YN_STATUS_READ_FAILED);
    EXPECT_EQ(byte, -1);
    long value = 0;
    EXPECT_EQ(ynet_pop_signed(c.mine, &value, 5), YN_STATUS_READ_FAILED);
    int status = 5;
    EXPECT_EQ(ynet_pop_status(c.mine, &status, 5), YN_STATUS_READ_FAILED);
    EXPECT_EQ(status, 5);
}

int g_sigpipe_count = 0;
void count_sigpipe(int) { ++g_sigpipe_count; }

TEST_P(WireTransport, WriteToAPeerThatHasGoneFailsWithoutSigpipe) {
    // The process's own SIGPIPE action must survive, flags and mask included.
    struct sigaction mine{}, before{}, after{};
    mine.sa_handler = count_sigpipe;
    sigemptyset(&mine.sa_mask);
    sigaddset(&mine.sa_mask, SIGUSR2);
    mine.sa_flags = SA_RESTART;
    ASSERT_EQ(sigaction(SIGPIPE, &mine, &before), 0);
    g_sigpipe_count = 0;

    Conn c = connect_pair(GetParam());
    c.close_peer();
    // TCP learns of the close from the reset that its first write provokes.
    int status = 0;
    for (int i = 0; i < 100 && status == 0; ++i) {
        status = ynet_push_string(c.mine, "are you there", 5);
        if (status == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(status, YN_STATUS_WRITE_FAILED);
    // The write's errno reaches the caller through the bracket and the report.
    EXPECT_TRUE(errno == EPIPE || errno == ECONNRESET) << std::strerror(errno);
    EXPECT_EQ(ynet_push_byte(c.mine, 1, 5), YN_STATUS_WRITE_FAILED);
    EXPECT_EQ(ynet_push_signed(c.mine, 1, 5), YN_STATUS_WRITE_FAILED);
    EXPECT_EQ(g_sigpipe_count, 0);

    ASSERT_EQ(sigaction(SIGPIPE, &before, &after), 0);
    EXPECT_EQ(after.sa_handler, count_sigpipe);
    EXPECT_EQ(after.sa_flags & SA_RESTART, SA_RESTART);
    EXPECT_EQ(sigismember(&after.sa_mask, SIGUSR2), 1);
}

TEST(WireDefaultSigpipe, GonePeerDoesNotEndTheProcess) {
    WireGuard guard;
    // With the default action a SIGPIPE would kill the test program.
    struct sigaction dfl{}, before{};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    ASSERT_EQ(sigaction(SIGPIPE, &dfl, &before), 0);
    Conn c = unix_pair();
    c.close_peer();
    EXPECT_EQ(ynet_push_string(c.mine, "x", 5), YN_STATUS_WRITE_FAILED);
    EXPECT_EQ(errno, EPIPE);
    struct sigaction now{};
    sigaction(SIGPIPE, &before, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
}

TEST(WireWrite, WriteThatWritesNothingFails) {
    WireGuard guard;
    Conn c = unix_pair();
    yq::sys::table.write = [](int, const void *, size_t) -> ssize_t { return 0; };
    EXPECT_EQ(ynet_push_string(c.mine, "abc", 5), YN_STATUS_WRITE_FAILED);
    EXPECT_EQ(ynet_push_byte(c.mine, 3, 5), YN_STATUS_WRITE_FAILED);
    EXPECT_EQ(ynet_push_string(c.mine, nullptr, 5), YN_STATUS_NULL_POINTER);
}

// An item, then a descriptor in its own message, then another item: the pop
// must leave the descriptor's message for recvmsg, and neither may be lost.

void send_descriptor(int sock, int fd) {
    char byte = 'F';
    iovec iov{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr *cm = CMSG_FIRSTHDR(&msg);
    cm->cmsg_level = SOL_SOCKET;
    cm->cmsg_type = SCM_RIGHTS;
    cm->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(cm), &fd, sizeof fd);
    ASSERT_EQ(::sendmsg(sock, &msg, 0), 1);
}

int receive_descriptor(int sock, char *byte) {
    iovec iov{byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    pollfd p{sock, POLLIN, 0};
    if (::poll(&p, 1, 5000) != 1) return -1;  // a lost descriptor must not hang the test
    if (::recvmsg(sock, &msg, MSG_CMSG_CLOEXEC) != 1) return -1;
    if ((msg.msg_flags & MSG_CTRUNC) != 0) return -1;
    cmsghdr *cm = CMSG_FIRSTHDR(&msg);
    if (cm == nullptr || cm->cmsg_type != SCM_RIGHTS || cm->cmsg_len != CMSG_LEN(sizeof(int)))
        return -1;
    int fd = -1;
    std::memcpy(&fd, CMSG_DATA(cm), sizeof fd);
    return fd;
}

TEST(WireDescriptors, ItemThenPassedDescriptorBothArrive) {
    WireGuard guard;
    Conn c = unix_pair();
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    EXPECT_EQ(ynet_push_string(c.peer, "hello", 5), 0);
    send_descriptor(c.peer, pipe_fds[1]);
    EXPECT_EQ(ynet_push_string(c.peer, "after", 5), 0);
    ::close(pipe_fds[1]);

    char buf[32];
    ASSERT_EQ(ynet_pop_string(c.mine, buf, sizeof buf, 5), 0);
    EXPECT_STREQ(buf, "hello");
    char byte = 0;
    int passed = receive_descriptor(c.mine, &byte);
    ASSERT_GE(passed, 0);
    EXPECT_EQ(byte, 'F');
    EXPECT_EQ(::write(passed, "ok", 2), 2);
    ::close(passed);
    EXPECT_EQ(read_raw(pipe_fds[0], 2), "ok");
    ::close(pipe_fds[0]);
    ASSERT_EQ(ynet_pop_string(c.mine, buf, sizeof buf, 5), 0);
    EXPECT_STREQ(buf, "after");
}

TEST(WireDescriptors, NumberThenDescriptorWithAnOverlongBuffer) {
    WireGuard guard;
    Conn c = unix_pair();
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    EXPECT_EQ(ynet_push_unsigned(c.peer, 3, 5), 0);
    send_descriptor(c.peer, pipe_fds[0]);
    ::close(pipe_fds[0]);
    unsigned long code = 0;
    ASSERT_EQ(ynet_pop_unsigned(c.mine, &code, 5), 0);
    EXPECT_EQ(code, 3u);
    char byte = 0;
    int passed = receive_descriptor(c.mine, &byte);
    ASSERT_GE(passed, 0);
    EXPECT_EQ(::write(pipe_fds[1], "z", 1), 1);
    EXPECT_EQ(read_raw(passed, 1), "z");
    ::close(passed);
    ::close(pipe_fds[1]);
}

TEST(WireNonSocket, PipeIsReadOneByteAtATime) {
    WireGuard guard;
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    static int reads = 0;
    reads = 0;
    yq::sys::table.read = [](int fd, void *b, size_t n) -> ssize_t {
        ++reads;
        EXPECT_EQ(n, 1u);
        return ::read(fd, b, n);
    };
    ASSERT_EQ(::write(p[1], "pipe\0-3\0rest\0", 13), 13);
    char buf[16];
    EXPECT_EQ(ynet_pop_string(p[0], buf, sizeof buf, 5), 0);
    EXPECT_STREQ(buf, "pipe");
    EXPECT_EQ(reads, 5);
    long value = 0;
    EXPECT_EQ(ynet_pop_signed(p[0], &value, 5), 0);
    EXPECT_EQ(value, -3);
    yq::sys::reset();
    EXPECT_EQ(read_raw(p[0], 5), "rest\0"s);
    EXPECT_EQ(ynet_push_string(p[1], "back", 5), 0);
    EXPECT_EQ(read_raw(p[0], 5), "back\0"s);
    ::close(p[0]);
    ::close(p[1]);
}

TEST(WireReady, PollWithoutReportAndDirections) {
    WireGuard guard;
    Reports reports;
    Conn c = unix_pair();
    EXPECT_EQ(ynet_sock_ready(c.mine, 1, 0, 0), YN_STATUS_TIMEOUT);
    EXPECT_EQ(reports.text(), "");
    EXPECT_EQ(ynet_sock_ready(c.mine, 0, 0, 30), 0);
    EXPECT_EQ(ynet_sock_ready(c.mine, 0, 1, 0), 0);
    EXPECT_EQ(ynet_sock_ready(c.mine, 1, 1, 0), 0);
    write_raw(c.peer, "x");
    EXPECT_EQ(ynet_sock_ready(c.mine, 1, 0, 0), 0);

    // A full send buffer is not ready for writing.
    while (::send(c.mine, "0123456789abcdef", 16, MSG_DONTWAIT) > 0) {
    }
    EXPECT_EQ(ynet_sock_ready(c.mine, 0, 1, 0), YN_STATUS_TIMEOUT);
    EXPECT_EQ(reports.text(), "");

    // A pop with a zero time-out on a silent socket is a poll too.
    Conn quiet = unix_pair();
    int byte = 0;
    EXPECT_EQ(ynet_pop_byte(quiet.mine, &byte, 0), YN_STATUS_TIMEOUT);
    EXPECT_EQ(byte, -1);
}

TEST(WireReady, BadDescriptorsAreSocketErrors) {
    WireGuard guard;
    Reports reports;
    EXPECT_EQ(ynet_sock_ready(-1, 1, 0, 0), YN_STATUS_SOCKET_ERROR);
    int fd = ::dup(0);
    ::close(fd);
    EXPECT_EQ(ynet_sock_ready(fd, 1, 0, 0), YN_STATUS_SOCKET_ERROR);
    EXPECT_EQ(reports.text().rfind("ynet.", 0), 0u);
    EXPECT_NE(reports.text().find(": Function failed: 10 0x0000000a"), std::string::npos);
    char buf[4];
    EXPECT_EQ(ynet_pop_string(fd, buf, sizeof buf, 0), YN_STATUS_SOCKET_ERROR);
}

TEST(WireReady, WaitIsClampedBetweenTenAndSixtySeconds) {
    WireGuard guard;
    static std::vector<int> waits;
    waits.clear();
    yq::sys::table.poll = [](pollfd *, nfds_t, int ms) {
        waits.push_back(ms);
        return 0;
    };
    Reports reports;
    for (int timeout : {5, 1, -7, 10, 30, 60, 61, 300})
        EXPECT_EQ(ynet_sock_ready(0, 1, 0, timeout), YN_STATUS_TIMEOUT);
    EXPECT_EQ(waits, (std::vector<int>{10000, 10000, 10000, 10000, 30000, 60000, 60000, 60000}));
    // Every non-zero time-out that runs out is reported.
    std::string text = reports.text();
    size_t lines = 0;
    for (size_t at = 0; (at = text.find(": Function failed: 11 0x0000000b\n", at)) !=
                        std::string::npos;
         ++at)
        ++lines;
    EXPECT_EQ(lines, 8u);
}

TEST(WireReady, DescriptorAboveTheSelectLimit) {
    WireGuard guard;
    rlimit lim{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
    const int high = FD_SETSIZE + 476;
    if (lim.rlim_cur <= static_cast<rlim_t>(high) + 2) {
        rlimit raised = lim;
        raised.rlim_cur = std::min<rlim_t>(lim.rlim_max, static_cast<rlim_t>(high) + 64);
        if (raised.rlim_cur <= static_cast<rlim_t>(high) + 2 || setrlimit(RLIMIT_NOFILE, &raised) != 0)
            GTEST_SKIP() << "cannot open descriptors above " << FD_SETSIZE;
    }
    Conn c = unix_pair();
    ASSERT_EQ(::dup2(c.mine, high), high);
    ASSERT_EQ(::dup2(c.peer, high + 1), high + 1);
    EXPECT_EQ(ynet_sock_ready(high, 1, 0, 0), YN_STATUS_TIMEOUT);
    EXPECT_EQ(ynet_push_string(high + 1, "far", 5), 0);
    char buf[8];
    EXPECT_EQ(ynet_pop_string(high, buf, sizeof buf, 5), 0);
    EXPECT_STREQ(buf, "far");
    ::close(high);
    ::close(high + 1);
    setrlimit(RLIMIT_NOFILE, &lim);
}

// The clock the deadlines are measured against; the tests move it.
time_t g_now = 1000000;
time_t fake_time(time_t *t) {
    if (t != nullptr) *t = g_now;
    return g_now;
}

TEST(WireDeadline, RepeatOnlyInterruptedCallsBeforeTheDeadline) {
    WireGuard guard;
    yq::sys::table.time = fake_time;
    g_now = 1000000;
    time_t deadline = 0;
    ynet_set_timeout(3, &deadline);
    EXPECT_EQ(deadline, 1000003);

    Reports reports;
    EXPECT_EQ(ynet_clear_timeout(-1, EINTR, deadline), 1);
    EXPECT_NE(reports.text().find(": ignoring EINTR before timeout 3\n"), std::string::npos);
    EXPECT_EQ(reports.text().rfind("ynet.", 0), 0u);
    g_now = 1000002;
    EXPECT_EQ(ynet_clear_timeout(-1, EINTR, deadline), 1);
    g_now = 1000003;
    EXPECT_EQ(ynet_clear_timeout(-1, EINTR, deadline), 0);
    g_now = 1000000;
    EXPECT_EQ(ynet_clear_timeout(-1, EAGAIN, deadline), 0);
    EXPECT_EQ(ynet_clear_timeout(0, EINTR, deadline), 0);
    EXPECT_EQ(ynet_clear_timeout(5, EINTR, deadline), 0);

    // Without alarms the bracket is the deadline alone.
    ynet_alarm_state state{};
    EXPECT_EQ(ynet_set_alarm(2, &state), 0);
    EXPECT_EQ(state.deadline, 1000002);
    EXPECT_EQ(ynet_clear_alarm(-1, EINTR, &state), 1);
    g_now = 1000002;
    EXPECT_EQ(ynet_clear_alarm(-1, EINTR, &state), 0);
}

// A poll interrupted by signals: repeated while a single wait stays inside the
// time-out, a socket error once a wait outlasts it.
int g_interrupts_left = 0;
int g_seconds_per_wait = 0;
int interrupted_poll(pollfd *p, nfds_t n, int ms) {
    g_now += g_seconds_per_wait;
    if (g_interrupts_left > 0) {
        --g_interrupts_left;
        errno = EINTR;
        return -1;
    }
    return ::poll(p, n, ms);
}

TEST(WireDeadline, InterruptedReadinessWait) {
    WireGuard guard;
    yq::sys::table.time = fake_time;
    yq::sys::table.poll = interrupted_poll;
    Conn c = unix_pair();
    write_raw(c.peer, "x");

    Reports reports;
    g_interrupts_left = 3;
    g_seconds_per_wait = 4;
    EXPECT_EQ(ynet_sock_ready(c.mine, 1, 0, 5), 0);
    EXPECT_EQ(g_interrupts_left, 0);
    EXPECT_NE(reports.text().find("ignoring EINTR before timeout 1"), std::string::npos);

    g_interrupts_left = 1;
    g_seconds_per_wait = 5;
    EXPECT_EQ(ynet_sock_ready(c.mine, 1, 0, 5), YN_STATUS_SOCKET_ERROR);
    EXPECT_NE(reports.text().find("Function failed: 10 0x0000000a"), std::string::npos);
}

int g_read_interrupts = 0;
int g_read_seconds = 0;
ssize_t interrupted_read(int fd, void *b, size_t n) {
    g_now += g_read_seconds;
    if (g_read_interrupts > 0) {
        --g_read_interrupts;
        errno = EINTR;
        return -1;
    }
    return ::read(fd, b, n);
}

TEST(WireDeadline, InterruptedReadIsRepeatedUntilTheDeadline) {
    WireGuard guard;
    yq::sys::table.time = fake_time;
    yq::sys::table.read = interrupted_read;
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    ASSERT_EQ(::write(p[1], "ab\0c", 4), 4);

    g_read_interrupts = 4;
    g_read_seconds = 1;
    char buf[8];
    EXPECT_EQ(ynet_pop_string(p[0], buf, sizeof buf, 2), 0);
    EXPECT_STREQ(buf, "ab");
    EXPECT_EQ(g_read_interrupts, 0);

    // The interrupted read ends at its deadline; the byte stays unread.
    g_read_interrupts = 1;
    g_read_seconds = 2;
    int byte = 0;
    EXPECT_EQ(ynet_pop_byte(p[0], &byte, 2), YN_STATUS_READ_FAILED);
    yq::sys::reset();
    EXPECT_EQ(read_raw(p[0], 1), "c");
    ::close(p[0]);
    ::close(p[1]);
}

// Alarm mode: the readiness wait is faked to say "ready" on a silent socket,
// so only the alarm can end the read that follows.
int always_ready(pollfd *p, nfds_t, int) {
    p->revents = p->events;
    return 1;
}

int g_caller_alarms = 0;
void caller_alarm(int) { ++g_caller_alarms; }

TEST(WireAlarm, SilentPeerFailsAtTheAlarm) {
    WireGuard guard;
    ynet_ignore_alarms = 0;
    yq::sys::table.poll = always_ready;
    Conn c = unix_pair();

    // The caller's own alarm handler and pending alarm survive the call.
    struct sigaction own{}, saved{}, after{};
    own.sa_handler = caller_alarm;
    sigemptyset(&own.sa_mask);
    sigaddset(&own.sa_mask, SIGUSR1);
    own.sa_flags = SA_RESTART;
    ASSERT_EQ(sigaction(SIGALRM, &own, &saved), 0);
    g_caller_alarms = 0;
    alarm(100);

    // Should the alarm not interrupt the read, the peer answers after a few
    // seconds and the pop succeeds, failing the test instead of hanging it.
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    int peer = c.peer;
    std::thread rescue = thread_without_sigalrm([&] {
        std::unique_lock<std::mutex> lock(m);
        if (!cv.wait_for(lock, std::chrono::seconds(5), [&] { return done; }))
            (void)::send(peer, "r", 1, MSG_NOSIGNAL);
    });

    int byte = 0;
    int status = ynet_pop_byte(c.mine, &byte, 1);
    {
        std::lock_guard<std::mutex> lock(m);
        done = true;
    }
    cv.notify_all();
    rescue.join();
    EXPECT_EQ(status, YN_STATUS_READ_FAILED);
    EXPECT_EQ(byte, -1);

    unsigned left = alarm(0);
    EXPECT_GT(left, 0u);
    EXPECT_LE(left, 100u);
    EXPECT_EQ(g_caller_alarms, 0);
    ASSERT_EQ(sigaction(SIGALRM, &saved, &after), 0);
    EXPECT_EQ(after.sa_handler, caller_alarm);
    EXPECT_EQ(after.sa_flags & SA_RESTART, SA_RESTART);
    EXPECT_EQ(sigismember(&after.sa_mask, SIGUSR1), 1);
}

TEST(WireAlarm, AlarmModeTransfersNormally) {
    WireGuard guard;
    ynet_ignore_alarms = 0;
    Conn c = connect_pair(Transport::Tcp);
    EXPECT_EQ(ynet_push_status(c.mine, 24, 5), 0);
    int status = 0;
    EXPECT_EQ(ynet_pop_status(c.peer, &status, 5), 0);
    EXPECT_EQ(status, 24);
    EXPECT_EQ(alarm(0), 0u);  // no alarm left behind
    struct sigaction now{};
    sigaction(SIGALRM, nullptr, &now);
    EXPECT_NE(now.sa_handler, ynet_alarm_handler);
}

// The caller's alarm comes back only when the bracket is done: not between
// repeats, and in the library's own pops not lost by them either.
TEST(WireAlarm, CallersAlarmReturnsWhenTheCallIsDone) {
    WireGuard guard;
    ynet_ignore_alarms = 0;
    yq::sys::table.time = fake_time;
    struct sigaction own{}, saved{};
    own.sa_handler = caller_alarm;
    sigemptyset(&own.sa_mask);
    ASSERT_EQ(sigaction(SIGALRM, &own, &saved), 0);
    g_caller_alarms = 0;
    g_now = 1000000;

    alarm(100);
    ynet_alarm_state state{};
    ASSERT_EQ(ynet_set_alarm(50, &state), 0);
    EXPECT_GE(state.previous_left, 99u);
    EXPECT_EQ(ynet_clear_alarm(-1, EINTR, &state), 1);
    EXPECT_EQ(alarm(0), 0u) << "repeat: no alarm until the next ynet_set_alarm";
    alarm(100);
    ASSERT_EQ(ynet_set_alarm(50, &state), 0);
    g_now += 50;  // the deadline has come
    EXPECT_EQ(ynet_clear_alarm(-1, EINTR, &state), 0);
    unsigned left = alarm(0);
    EXPECT_GE(left, 99u) << "done: the caller's alarm is back";

    g_now = 1000000;
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    ASSERT_EQ(::write(p[1], "7", 1), 1);
    yq::sys::table.read = interrupted_read;
    g_read_interrupts = 2;
    g_read_seconds = 0;
    alarm(100);
    int byte = 0;
    EXPECT_EQ(ynet_pop_byte(p[0], &byte, 5), 0);
    EXPECT_EQ(byte, '7');
    EXPECT_EQ(g_read_interrupts, 0);
    left = alarm(0);
    EXPECT_GE(left, 99u);
    EXPECT_EQ(g_caller_alarms, 0);
    ASSERT_EQ(sigaction(SIGALRM, &saved, nullptr), 0);
    ::close(p[0]);
    ::close(p[1]);
}

TEST(WireAlarm, HandlerReinstallsItselfWithoutRestart) {
    struct sigaction saved{}, now{};
    sigaction(SIGUSR1, nullptr, &saved);
    ynet_alarm_handler(SIGUSR1);
    sigaction(SIGUSR1, &saved, &now);
    EXPECT_EQ(now.sa_handler, ynet_alarm_handler);
    EXPECT_EQ(now.sa_flags & SA_RESTART, 0);
}

// Hostile peers.
TEST_P(WireTransport, EndlessStringStopsAfterExactlyTheBuffer) {
    Conn c = connect_pair(GetParam());
    auto pattern = [](size_t i) { return static_cast<char>('A' + i % 26); };
    std::atomic<bool> stop{false};
    int peer = c.peer;
    std::thread flood([&] {
        char chunk[4096];
        size_t sent = 0;
        while (!stop) {
            for (size_t i = 0; i < sizeof chunk; ++i) chunk[i] = pattern(sent + i);
            ssize_t w = ::send(peer, chunk, sizeof chunk, MSG_NOSIGNAL);
            if (w <= 0) break;
            sent += static_cast<size_t>(w);  // a short send resumes the pattern there
        }
    });
    char buf[64];
    EXPECT_EQ(ynet_pop_string(c.mine, buf, sizeof buf, 5), YN_STATUS_BAD_FORMAT);
    for (size_t i = 0; i < sizeof buf; ++i) ASSERT_EQ(buf[i], pattern(i)) << i;
    EXPECT_EQ(read_raw(c.mine, 3), (std::string{pattern(64), pattern(65), pattern(66)}));
    stop = true;
    ::shutdown(c.mine, SHUT_RDWR);
    flood.join();
}

TEST_P(WireTransport, OverlongNumberTextFailsAfter128Bytes) {
    Conn c = connect_pair(GetParam());
    write_raw(c.peer, std::string(200, '7') + "\0"s + "8\0"s);
    long value = -1;
    EXPECT_EQ(ynet_pop_signed(c.mine, &value, 5), YN_STATUS_BAD_FORMAT);
    EXPECT_EQ(value, -1);
    EXPECT_EQ(read_raw(c.mine, 73), std::string(72, '7') + "\0"s);
    EXPECT_EQ(ynet_pop_signed(c.mine, &value, 5), 0);
    EXPECT_EQ(value, 8);
}

TEST_P(WireTransport, TricklingPeerStillDeliversWholeItems) {
    Conn c = connect_pair(GetParam());
    const std::string items = "slow\0"s + "-12\0"s + "next\0"s;
    int peer = c.peer;
    std::thread trickle([&] {
        for (char ch : items) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (::send(peer, &ch, 1, MSG_NOSIGNAL) != 1) break;
        }
    });
    char buf[16];
    EXPECT_EQ(ynet_pop_string(c.mine, buf, sizeof buf, 5), 0);
    EXPECT_STREQ(buf, "slow");
    long value = 0;
    EXPECT_EQ(ynet_pop_signed(c.mine, &value, 5), 0);
    EXPECT_EQ(value, -12);
    trickle.join();
    EXPECT_EQ(read_raw(c.mine, 5), "next\0"s);
}

// A timer signal every millisecond interrupts waits, reads and writes of a
// long string; nothing may be lost or duplicated.
int g_ticks = 0;
void tick(int) { ++g_ticks; }

TEST_P(WireTransport, SignalStormLosesNoByte) {
    Conn c = connect_pair(GetParam());
    const size_t n = 1 << 20;
    std::string sent(n, '\0');
    for (size_t i = 0; i < n; ++i) sent[i] = static_cast<char>(1 + (i * 7 + i / 251) % 255);
    std::string reply = sent;
    std::reverse(reply.begin(), reply.end());

    struct sigaction action{}, saved{};
    action.sa_handler = tick;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // interrupt, do not restart
    ASSERT_EQ(sigaction(SIGALRM, &action, &saved), 0);

    std::string received;
    int peer = c.peer;
    // The peer takes its time in both directions, so the library's calls
    // block and the timer interrupts them.
    std::thread other = thread_without_sigalrm([&] {
        const size_t piece = 4096;
        while (received.size() < n + 1) {
            std::string got = read_raw(peer, std::min(piece, n + 1 - received.size()));
            if (got.empty()) break;
            received += got;
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        const std::string answer = reply + "\0"s + "end\0"s;
        for (size_t at = 0; at < answer.size(); at += piece) {
            write_raw(peer, answer.substr(at, piece));
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });

    g_ticks = 0;
    itimerval every_ms{{0, 1000}, {0, 1000}};
    ASSERT_EQ(setitimer(ITIMER_REAL, &every_ms, nullptr), 0);
    EXPECT_EQ(ynet_push_string(c.mine, sent.c_str(), 30), 0);
    std::vector<char> buf(n + 1);
    EXPECT_EQ(ynet_pop_string(c.mine, buf.data(), static_cast<int>(buf.size()), 30), 0);
    char tail[8];
    EXPECT_EQ(ynet_pop_string(c.mine, tail, sizeof tail, 30), 0);
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    other.join();
    sigaction(SIGALRM, &saved, nullptr);

    EXPECT_GT(g_ticks, 0);  // the peer's pauses alone outlast several ticks
    EXPECT_TRUE(received == sent + "\0"s);
    EXPECT_TRUE(std::string(buf.data()) == reply);
    EXPECT_STREQ(tail, "end");
}

}  // namespace
