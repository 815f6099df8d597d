// Handing connections over through ynetd: hash pairs, descriptor hand-overs
// against raw (also hostile) peers, listeners, and connect-back.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "ynet.h"
#include "ynet_private.h"
#include "yqtest.h"
#include "yqtest_clock.h"
#include "yqtest_wire.h"

namespace {

using namespace yqtest::wire;

ino_t inode(int fd) {
    struct stat st{};
    ::fstat(fd, &st);
    return st.st_ino;
}

TEST(YnetdHashes, PairIsDigestOfWhoWhenAndWhichConnectionAndVerifiesOnlyItself) {
    yqtest::FakeClock clock(1700000000);
    Pair c = tcp_pair();
    char hash1[YNETD_HASH_SIZE], hash2[YNETD_HASH_SIZE];
    ynet_generate_hashes(c.peer.get(), hash1, sizeof hash1, hash2, sizeof hash2);
    struct { int32_t pid, now; sockaddr_in local, peer; } material{::getpid(), 1700000000, {}, {}};
    socklen_t length = sizeof material.local;
    ::getsockname(c.peer.get(), reinterpret_cast<sockaddr *>(&material.local), &length);
    ::getpeername(c.peer.get(), reinterpret_cast<sockaddr *>(&material.peer), &length);
    std::string a;
    EXPECT_EQ(hash2, md5_hex(&material, sizeof material, &a));
    EXPECT_EQ(hash1, md5_hex(a.data(), a.size()));

    auto [h1, h2] = hash_pair("some connection");
    std::string upper = h2, wrong = h2;
    for (char &ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    wrong[31] = wrong[31] == 'a' ? 'b' : 'a';
    struct Row { const char *what, *first; std::string second; int want; } rows[] = {
        {"the pair", h1.c_str(), h2, 1},  {"upper case", h1.c_str(), upper, 1},
        {"one digit off", h1.c_str(), wrong, 0}, {"short", h1.c_str(), h2.substr(0, 30), 0},
        {"long", h1.c_str(), h2 + "00", 0},  {"not hex", h1.c_str(), "zz", 0},
        {"none asked, none given", nullptr, "", 1}, {"none asked", nullptr, h2, 0}};
    for (const Row &row : rows)
        EXPECT_EQ(verify_hashes(row.first, row.second.c_str()), row.want) << row.what;
}

bool g_cut = false;  // the kernel reports the control data cut short

TEST(YnetdReceive, OnlyOneDescriptorWithTheMatchingHashIsTakenAndNothingLeaks) {
    yqtest::SysGuard guard;
    yq::sys::table.recvmsg = [](int fd, struct msghdr *m, int flags) -> ssize_t {
        ssize_t got = ::recvmsg(fd, m, flags);
        if (g_cut) m->msg_flags |= MSG_CTRUNC;
        return got;
    };
    auto [h1, h2] = hash_pair("request one");
    int before = count_fds();
    Fd null(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    const int n = null.get();
    struct Row {
        const char *what;
        const char *asked;
        std::string hash;
        std::vector<int> fds;  // {-1}: the peer hangs up instead
        int want;
    } rows[] = {
        {"no hash", nullptr, "", {n}, YN_STATUS_SUCCESS},
        {"matching hash", h1.c_str(), h2, {n}, YN_STATUS_SUCCESS},
        {"forged hash", h1.c_str(), hash_pair("two").second, {n}, YN_STATUS_HASH_MISMATCH},
        {"hash missing", h1.c_str(), "", {n}, YN_STATUS_HASH_MISMATCH},
        {"no descriptor", nullptr, "", {}, YN_STATUS_DESCRIPTOR_PASSING_FAILED},
        {"two descriptors", nullptr, "", {n, n}, YN_STATUS_DESCRIPTOR_PASSING_FAILED},
        {"truncated control", nullptr, "", {n, n, n}, YN_STATUS_DESCRIPTOR_PASSING_FAILED},
        {"cut short by the kernel", nullptr, "", {n}, YN_STATUS_DESCRIPTOR_PASSING_FAILED},
        {"hang-up", nullptr, "", {-1}, YN_STATUS_DESCRIPTOR_PASSING_FAILED},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        g_cut = std::string_view(row.what) == "cut short by the kernel";
        Pair p = unix_pair();
        write_raw(p.peer.get(), item(row.hash));
        if (row.fds == std::vector<int>{-1}) ::shutdown(p.peer.get(), SHUT_WR);
        else send_fds(p.peer.get(), row.fds);
        write_raw(p.peer.get(), item("after"));
        int fd = 0;
        EXPECT_EQ(ynet_receive_network_socket(p.mine.get(), row.asked, &fd, 5), row.want);
        Fd got(fd);
        if (row.want != YN_STATUS_SUCCESS) {
            EXPECT_EQ(fd, -1);
            EXPECT_EQ(drain(p.peer.get()), "") << "no confirmation";
            continue;
        }
        EXPECT_EQ(inode(fd), inode(n));
        EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
        EXPECT_EQ(read_item(p.peer.get()), "0") << "the receiver confirms";
        char text[16] = "";
        EXPECT_EQ(ynet_pop_string(p.mine.get(), text, sizeof text, 5), 0);
        EXPECT_STREQ(text, "after");
    }
    null.reset();
    EXPECT_EQ(count_fds(), before);
}

// One recvmsg of a hand-over interrupted: the call is repeated, and the
// caller's own pending alarm still has its time afterwards.
TEST(YnetdReceive, InterruptedHandOverKeepsTheCallersAlarm) {
    yqtest::SysGuard guard;
    static int interrupts = 1;
    yq::sys::table.recvmsg = [](int fd, struct msghdr *m, int flags) -> ssize_t {
        return interrupts > 0 && interrupts-- ? (errno = EINTR, -1) : ::recvmsg(fd, m, flags);
    };
    struct sigaction own{}, saved{};
    own.sa_handler = [](int) {};
    ASSERT_EQ(sigaction(SIGALRM, &own, &saved), 0);
    Pair p = unix_pair();
    write_raw(p.peer.get(), item(""));
    send_fds(p.peer.get(), {p.peer.get()});
    ynet_ignore_alarms = 0;
    alarm(100);
    int fd = -1;
    EXPECT_EQ(ynet_receive_network_socket(p.mine.get(), nullptr, &fd, 5), 0);
    Fd got(fd);
    EXPECT_GE(alarm(0), 98u) << "the caller's alarm was lost";
    ynet_ignore_alarms = 1;
    sigaction(SIGALRM, &saved, nullptr);
    EXPECT_EQ(interrupts, 0);
}

TEST(YnetdSend, HashDescriptorThenTheReceiversStatus) {
    Pair p = unix_pair();
    Fd null(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    write_raw(p.peer.get(), item("0") + item("13"));
    EXPECT_EQ(ynet_send_network_socket(p.mine.get(), null.get(), "0123abcd", 5), 0);
    EXPECT_EQ(read_item(p.peer.get()), "0123abcd");
    EXPECT_EQ(inode(recv_fd(p.peer.get()).get()), inode(null.get()));
    EXPECT_EQ(ynet_send_network_socket(p.mine.get(), null.get(), nullptr, 5), 13)
        << "the receiver's refusal";
    yqtest::SysGuard guard;
    yq::sys::table.sendmsg = [](int, const msghdr *, int) -> ssize_t { return errno = EPIPE, -1; };
    EXPECT_EQ(ynet_send_network_socket(p.mine.get(), null.get(), "", 5),
              YN_STATUS_DESCRIPTOR_PASSING_FAILED);
}

int g_connects = 0;
int g_connect_errno = 0;  // 0: the real connect

TEST(YnetdConnectByYnetd, RetriesRefusalsAndClashesButNotMissingPaths) {
    char path[YNETD_IPC_PATH_SIZE] = "";
    int raw = -1;
    ASSERT_EQ(ynet_listen_for_ynetd(path, sizeof path, 1, &raw, 5), 0);
    Fd listener(raw);
    struct stat st{};
    ASSERT_EQ(::stat(path, &st), 0);
    EXPECT_EQ(st.st_mode & 0077, 0u) << "nobody else may connect";
    {
        // The socket file is narrowed before it listens: at chmod time nobody
        // can connect yet.
        yqtest::SysGuard guard;
        yq::sys::table.chmod = [](const char *file, mode_t mode) {
            g_connects = unix_connect(file) ? 0 : -1;
            return ::chmod(file, mode);
        };
        char other[YNETD_IPC_PATH_SIZE] = "";
        int second = -1;
        ASSERT_EQ(ynet_listen_for_ynetd(other, sizeof other, 1, &second, 5), 0);
        Fd(std::exchange(second, -1));
        ::unlink(other);
        EXPECT_EQ(g_connects, -1) << "listening before its permissions were set";
    }
    listener.reset();  // a crashed run leaves its socket file behind
    ASSERT_EQ(ynet_listen_for_ynetd(path, sizeof path, 1, &raw, 5), 0) << "over a stale file";
    listener = Fd(raw);
    int sock = -1;
    EXPECT_EQ(ynet_connect_by_ynetd(path, &sock, 5), 0);
    Fd(std::exchange(sock, -1));
    listener.reset();  // the socket file stays, with nobody behind it

    yqtest::FakeClock clock;
    yq::sys::table.connect = [](int fd, const struct sockaddr *a, socklen_t n) {
        ++g_connects;
        if (g_connect_errno != 0) return errno = g_connect_errno, -1;
        return ::connect(fd, a, n);
    };
    int before = count_fds();
    struct Row { const char *what; std::string path; int err, want, connects, sleeps; } rows[] = {
        {"refused: a sleep after each", path, 0, YN_STATUS_SOCKET_ERROR, 4, 4},
        {"missing path", std::string(path) + ".none", 0, YN_STATUS_SOCKET_ERROR, 1, 0},
        {"clash: at once", path, EADDRINUSE, YN_STATUS_ADDRESS_IN_USE, 4, 0}};
    for (const Row &row : rows) {
        g_connects = yqtest::FakeClock::sleeps = 0;
        g_connect_errno = row.err;
        EXPECT_EQ(ynet_connect_by_ynetd(row.path.c_str(), &sock, 30), row.want) << row.what;
        EXPECT_EQ(sock, -1);
        EXPECT_EQ(g_connects, row.connects) << row.what;
        EXPECT_EQ(yqtest::FakeClock::sleeps, row.sleeps) << row.what;
    }
    EXPECT_EQ(count_fds(), before);
    ::unlink(path);
}

enum class Back { kByTheBook, kForged, kHangUp };

// A fake ynetd serving request 3 with a hash pair made by OpenSSL (or a forged
// hash_str2, or a hang-up instead): the connection goes to the asker's
// listener, whose name is kept in *path.
Daemon::Script connect_back_ynetd(Back mode, std::string *path) {
    return [mode, path](int conn, int index, std::string &log) {
        serve_handshake(conn, 3, log);
        log += "req=" + read_item(conn) + ";";
        *path = read_item(conn);
        if (mode == Back::kHangUp) return;
        auto [h1, h2] = hash_pair("connection " + std::to_string(index));
        write_raw(conn, item(h1));
        Fd rendezvous = unix_connect(*path);
        write_raw(rendezvous.get(), item(mode == Back::kForged ? hash_pair("other").second : h2));
        send_fds(rendezvous.get(), {conn});
        log += "confirm=" + read_item(rendezvous.get()) + ";";
    };
}

TEST(YnetdConnectBack, BothEndsJoinOnlyWithTheRightHashAndTheListenerNameGoes) {
    struct Row { const char *what; Back mode; int want; const char *log; } rows[] = {
        {"by the book", Back::kByTheBook, 0, "offer=3;echo=3;req=3;confirm=0;"},
        {"forged", Back::kForged, YN_STATUS_HASH_MISMATCH, "offer=3;echo=3;req=3;confirm=<eof>;"},
        {"ynetd hangs up", Back::kHangUp, YN_STATUS_READ_FAILED, "offer=3;echo=3;req=3;"}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        std::string path;
        Daemon ynetd(connect_back_ynetd(row.mode, &path));
        ynet_set_port(ntohs(ynetd.addr().sin_port));
        int before = count_fds();
        {
            Pair peers = tcp_pair();
            int b_status = -1, daemon_sock = -1;
            std::thread b([&, sock = peers.peer.get()] {
                b_status = ynet_end_connect_back(sock, 0, 0, nullptr, &daemon_sock, 1, 5);
                if (b_status == 0) b_status = ynet_push_string(daemon_sock, "from B", 5);
            });
            int newsock = -1;
            EXPECT_EQ(ynet_begin_connect_back(peers.mine.get(), 5, &newsock), row.want);
            b.join();
            Fd a_end(newsock), b_end(daemon_sock);
            EXPECT_EQ(b_status != 0, row.want != 0);
            EXPECT_EQ(drain(peers.mine.get()), "") << "nothing left over on the first connection";
            if (row.want == 0) { EXPECT_EQ(read_item(newsock), "from B"); }
        }
        ynetd.stop();
        EXPECT_EQ(ynetd.log(), row.log);
        EXPECT_EQ(path.rfind("/tmp/ynet", 0), 0u) << path;
        EXPECT_FALSE(yqtest::exists(path)) << "the listener's name is removed";
        EXPECT_EQ(count_fds(), before);
    }
    ynet_set_port(-1);
}

}  // namespace
