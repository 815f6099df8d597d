// Handing connections over through ynetd: the hash pair and its check, the
// Unix-domain listener and its accept, the descriptor hand-over on both
// ends, connecting to a listener with retries, and the connect-back dialogue
// between an asking process, its peer and a fake ynetd. The fake ynetd and
// every raw peer are plain socket code with hash pairs made by OpenSSL.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <string>
#include <thread>
#include <tuple>

#include "ynet.h"
#include "ynet_ynetd_fake.h"
#include "yqtest.h"
#include "ystrings.h"

namespace {

using fake::item;

struct SeamGuard {
    ~SeamGuard() {
        yq::sys::reset();
        yq::sys::reset();
    }
};

time_t g_now = 5000;
int g_time_step = 0;
time_t fake_time(time_t *t) {
    g_now += g_time_step;
    if (t != nullptr) *t = g_now;
    return g_now;
}
int g_sleeps = 0;
unsigned fake_sleep(unsigned seconds) {
    ++g_sleeps;
    g_now += seconds;
    return 0;
}

int g_connects = 0;
int g_connect_errno = 0;  // 0: the real connect
int counting_connect(int fd, const struct sockaddr *addr, socklen_t length) {
    ++g_connects;
    if (g_connect_errno != 0) {
        errno = g_connect_errno;
        return -1;
    }
    return ::connect(fd, addr, length);
}

int g_binds = 0;
int g_bind_failures = 0;  // this many binds fail with EADDRINUSE
int busy_bind(int fd, const struct sockaddr *addr, socklen_t length) {
    if (g_binds++ < g_bind_failures) {
        errno = EADDRINUSE;
        return -1;
    }
    return ::bind(fd, addr, length);
}

ino_t inode(int fd) {
    struct stat st{};
    ::fstat(fd, &st);
    return st.st_ino;
}

// ---- Hash pair ------------------------------------------------------------------

TEST(YnetdHashes, PairIsDigestOfWhoWhenAndWhichConnection) {
    SeamGuard guard;
    g_time_step = 0;
    g_now = 1700000000;
    yq::sys::table.time = fake_time;
    auto [a, b] = fake::tcp_pair();
    char hash1[YNETD_HASH_SIZE];
    char hash2[YNETD_HASH_SIZE];
    ynet_generate_hashes(b, hash1, sizeof hash1, hash2, sizeof hash2);

    struct {
        int32_t pid;
        int32_t now;
        struct sockaddr_in local;
        struct sockaddr_in peer;
    } material{};
    material.pid = ::getpid();
    material.now = 1700000000;
    socklen_t length = sizeof material.local;
    ::getsockname(b, reinterpret_cast<sockaddr *>(&material.local), &length);
    ::getpeername(b, reinterpret_cast<sockaddr *>(&material.peer), &length);
    std::vector<unsigned char> digest_a = fake::md5(&material, sizeof material);
    std::vector<unsigned char> digest_b = fake::md5(digest_a.data(), digest_a.size());
    EXPECT_EQ(std::string(hash2), fake::hex(digest_a.data(), 16));
    EXPECT_EQ(std::string(hash1), fake::hex(digest_b.data(), 16));

    // Short buffers are cut and terminated.
    char short1[9];
    ynet_generate_hashes(b, short1, sizeof short1, nullptr, 0);
    EXPECT_EQ(std::string(short1), std::string(hash1).substr(0, 8));
    ::close(a);
    ::close(b);
}

TEST(YnetdHashes, VerifyAcceptsOnlyTheExactPair) {
    auto [h1, h2] = fake::hash_pair("some connection");
    EXPECT_EQ(verify_hashes(h1.c_str(), h2.c_str()), 1);
    std::string upper = h2;
    for (char &c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(verify_hashes(h1.c_str(), upper.c_str()), 1) << "digits decode in either case";
    for (size_t i : {size_t{0}, size_t{17}, size_t{31}}) {
        std::string w1 = h1;
        std::string w2 = h2;
        w1[i] = w1[i] == 'a' ? 'b' : 'a';
        w2[i] = w2[i] == 'a' ? 'b' : 'a';
        EXPECT_EQ(verify_hashes(w1.c_str(), h2.c_str()), 0) << i;
        EXPECT_EQ(verify_hashes(h1.c_str(), w2.c_str()), 0) << i;
    }
    EXPECT_EQ(verify_hashes(h1.c_str(), h2.substr(0, 30).c_str()), 0);
    EXPECT_EQ(verify_hashes(h1.c_str(), (h2 + "00").c_str()), 0);
    EXPECT_EQ(verify_hashes(h1.c_str(), ""), 0);
    EXPECT_EQ(verify_hashes(h1.c_str(), "zz"), 0);
    EXPECT_EQ(verify_hashes(nullptr, ""), 1);
    EXPECT_EQ(verify_hashes(nullptr, h2.c_str()), 0);
}

// ---- Listener ---------------------------------------------------------------------

TEST(YnetdListener, TemporaryNameIsPrivateAndCopiedBack) {
    int fds = fake::count_fds();
    char path[YNETD_IPC_PATH_SIZE] = "";
    int listener = -1;
    ASSERT_EQ(ynet_listen_for_ynetd(path, sizeof path, 1, &listener, 5), 0);
    EXPECT_EQ(std::string(path).rfind("/tmp/ynet", 0), 0u) << path;
    struct stat st{};
    ASSERT_EQ(::stat(path, &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_NE(::fcntl(listener, F_GETFD) & FD_CLOEXEC, 0);
    int conn = 0;
    EXPECT_EQ(ynet_accept_from_ynetd(listener, &conn, 0), 0);
    EXPECT_EQ(conn, -1) << "nothing arrived";
    int newsock = 0;
    EXPECT_EQ(ynet_ynetd_accept_and_receive(listener, nullptr, &newsock, 0), YN_STATUS_TIMEOUT);
    EXPECT_EQ(newsock, -1);
    ::close(listener);
    ::unlink(path);
    EXPECT_EQ(fake::count_fds(), fds);
}

TEST(YnetdListener, FixedPathReplacesAStaleSocketFile) {
    std::string path = yqtest::scratch_dir() + "/stale.uds";
    char name[YNETD_IPC_PATH_SIZE];
    int first = -1;
    Y_strlcpy(name, path.c_str(), sizeof name);
    ASSERT_EQ(ynet_listen_for_ynetd(name, sizeof name, 1, &first, 5), 0);
    ::close(first);  // its socket file stays behind
    int second = -1;
    ASSERT_EQ(ynet_listen_for_ynetd(name, sizeof name, 1, &second, 5), 0);
    EXPECT_EQ(std::string(name), path) << "a fixed name is not rewritten";
    int client = fake::unix_connect(path);
    EXPECT_GE(client, 0);
    ::close(client);
    ::close(second);
}

TEST(YnetdListener, NameInUseIsRetriedOnlyWhenTemporary) {
    SeamGuard guard;
    yq::sys::table.bind = busy_bind;
    int fds = fake::count_fds();

    g_binds = 0;
    g_bind_failures = 100;
    std::string fixed = yqtest::scratch_dir() + "/busy.uds";
    char name[YNETD_IPC_PATH_SIZE];
    Y_strlcpy(name, fixed.c_str(), sizeof name);
    int listener = 0;
    EXPECT_EQ(ynet_listen_for_ynetd(name, sizeof name, 1, &listener, 5),
              YN_STATUS_UNIX_BIND_FAILED);
    EXPECT_EQ(listener, -1);
    EXPECT_EQ(g_binds, 1);

    g_binds = 0;
    g_bind_failures = 2;
    char temp[YNETD_IPC_PATH_SIZE] = "";
    ASSERT_EQ(ynet_listen_for_ynetd(temp, sizeof temp, 1, &listener, 5), 0);
    EXPECT_EQ(g_binds, 3);
    ::close(listener);
    ::unlink(temp);

    std::string too_long = yqtest::scratch_dir() + "/" + std::string(110, 'x');
    Y_strlcpy(name, too_long.c_str(), sizeof name);
    EXPECT_EQ(ynet_listen_for_ynetd(name, sizeof name, 1, &listener, 5),
              YN_STATUS_UNIX_BIND_FAILED);
    EXPECT_EQ(fake::count_fds(), fds);
}

// ---- Receiving a descriptor -------------------------------------------------------

struct UnixPair {
    int a = -1;  // the library's end
    int b = -1;  // the raw ynetd's end
    UnixPair() {
        int sv[2];
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv);
        a = sv[0];
        b = sv[1];
    }
    ~UnixPair() {
        ::close(a);
        ::close(b);
    }
};

TEST(YnetdReceive, ItemThenDescriptorThenItem) {
    int fds = fake::count_fds();
    {
        UnixPair p;
        int passed = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        fake::write_raw(p.b, item(""));
        ASSERT_TRUE(fake::send_fds(p.b, {passed}));
        fake::write_raw(p.b, item("after"));
        int fd = -1;
        ASSERT_EQ(ynet_receive_network_socket(p.a, nullptr, &fd, 5), 0);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(inode(fd), inode(passed));
        EXPECT_NE(fd, passed);
        EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
        EXPECT_EQ(fake::read_item(p.b), "0") << "the receiver confirms";
        char text[16] = "";
        EXPECT_EQ(ynet_pop_string(p.a, text, sizeof text, 5), 0);
        EXPECT_STREQ(text, "after");
        ::close(fd);
        ::close(passed);
    }
    EXPECT_EQ(fake::count_fds(), fds);
}

TEST(YnetdReceive, HashedHandOverNeedsTheMatchingPair) {
    int fds = fake::count_fds();
    auto [h1, h2] = fake::hash_pair("request one");
    auto [other1, other2] = fake::hash_pair("request two");
    {
        UnixPair p;
        int passed = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        fake::write_raw(p.b, item(h2));
        fake::send_fds(p.b, {passed});
        int fd = -1;
        EXPECT_EQ(ynet_receive_network_socket(p.a, h1.c_str(), &fd, 5), 0);
        EXPECT_EQ(inode(fd), inode(passed));
        ::close(fd);
        ::close(passed);
    }
    for (const std::string &forged : {other2, std::string(""), h1}) {
        UnixPair p;
        int passed = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        fake::write_raw(p.b, item(forged));
        fake::send_fds(p.b, {passed});
        ::close(passed);
        int fd = 0;
        EXPECT_EQ(ynet_receive_network_socket(p.a, h1.c_str(), &fd, 5), YN_STATUS_HASH_MISMATCH);
        EXPECT_EQ(fd, -1);
        EXPECT_EQ(fake::drain(p.b), "") << "no confirmation";
    }
    EXPECT_EQ(fake::count_fds(), fds) << "refused descriptors are not kept";
}

TEST(YnetdReceive, AnythingButOneDescriptorFailsAndLeaksNothing) {
    int fds = fake::count_fds();
    // Two descriptors fit the control buffer but not its exact length; three
    // truncate it (MSG_CTRUNC).
    for (int count : {0, 2, 3}) {
        UnixPair p;
        std::vector<int> passed;
        for (int i = 0; i < count; ++i) passed.push_back(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        fake::write_raw(p.b, item(""));
        fake::send_fds(p.b, passed);
        for (int fd : passed) ::close(fd);
        int fd = 0;
        EXPECT_EQ(ynet_receive_network_socket(p.a, nullptr, &fd, 5),
                  YN_STATUS_DESCRIPTOR_PASSING_FAILED)
            << count;
        EXPECT_EQ(fd, -1);
        EXPECT_EQ(fake::count_fds(), fds + 2) << count << " descriptors: only the pair is open";
    }
    {
        UnixPair p;
        fake::write_raw(p.b, item(""));
        ::shutdown(p.b, SHUT_WR);
        int fd = 0;
        EXPECT_EQ(ynet_receive_network_socket(p.a, nullptr, &fd, 5),
                  YN_STATUS_DESCRIPTOR_PASSING_FAILED);
    }
    EXPECT_EQ(fake::count_fds(), fds);
}

// ---- Sending a descriptor -----------------------------------------------------------

TEST(YnetdSend, HashDescriptorThenTheReceiversStatus) {
    int fds = fake::count_fds();
    {
        UnixPair p;
        int passed = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        fake::write_raw(p.b, item("0") + item("13"));
        EXPECT_EQ(ynet_send_network_socket(p.a, passed, "0123456789abcdef0123456789abcdef", 5), 0);
        EXPECT_EQ(fake::read_item(p.b), "0123456789abcdef0123456789abcdef");
        int got = fake::recv_fd(p.b);
        ASSERT_GE(got, 0);
        EXPECT_EQ(inode(got), inode(passed));
        ::close(got);

        EXPECT_EQ(ynet_send_network_socket(p.a, passed, "", 5), 13) << "the receiver's refusal";
        EXPECT_EQ(fake::read_item(p.b), "");
        got = fake::recv_fd(p.b);
        ::close(got);
        ::close(passed);
    }
    {
        yq::sys::table.sendmsg = [](int, const struct msghdr *, int) -> ssize_t {
            errno = EPIPE;
            return -1;
        };
        UnixPair p;
        EXPECT_EQ(ynet_send_network_socket(p.a, 0, "", 5), YN_STATUS_DESCRIPTOR_PASSING_FAILED);
        yq::sys::reset();
    }
    EXPECT_EQ(fake::count_fds(), fds);
}

// ---- Connecting to a listener ---------------------------------------------------------

TEST(YnetdConnectByYnetd, ConnectsToAListener) {
    char path[YNETD_IPC_PATH_SIZE] = "";
    int listener = -1;
    ASSERT_EQ(ynet_listen_for_ynetd(path, sizeof path, 1, &listener, 5), 0);
    int sock = -1;
    EXPECT_EQ(ynet_connect_by_ynetd(path, &sock, 5), 0);
    EXPECT_GE(sock, 0);
    ::close(sock);
    ::close(listener);
    ::unlink(path);
}

TEST(YnetdConnectByYnetd, RefusedFourTimesWithASleepAfterEach) {
    SeamGuard guard;
    yq::sys::table.time = fake_time;
    yq::sys::table.sleep = fake_sleep;
    yq::sys::table.connect = counting_connect;
    g_time_step = 0;
    g_connect_errno = 0;
    // A socket file without a listener behind it.
    std::string path = yqtest::scratch_dir() + "/dead.uds";
    int dead = ::socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    Y_strlcpy(addr.sun_path, path.c_str(), sizeof addr.sun_path);
    ASSERT_EQ(::bind(dead, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ::close(dead);

    int fds = fake::count_fds();
    g_connects = 0;
    g_sleeps = 0;
    time_t start = g_now;
    int sock = 0;
    EXPECT_EQ(ynet_connect_by_ynetd(path.c_str(), &sock, 30), YN_STATUS_SOCKET_ERROR);
    EXPECT_EQ(sock, -1);
    EXPECT_EQ(g_connects, 4);
    EXPECT_EQ(g_sleeps, 4);
    EXPECT_EQ(g_now - start, 4);
    EXPECT_EQ(fake::count_fds(), fds);

    // A connect that takes longer than allowed ends at the deadline.
    g_connects = 0;
    g_time_step = 50;
    EXPECT_EQ(ynet_connect_by_ynetd(path.c_str(), &sock, 0), YN_STATUS_TIMEOUT);
    EXPECT_EQ(g_connects, 1);
    g_time_step = 0;

    // A missing path is not retried.
    g_connects = 0;
    g_sleeps = 0;
    EXPECT_EQ(ynet_connect_by_ynetd((path + ".none").c_str(), &sock, 30),
              YN_STATUS_SOCKET_ERROR);
    EXPECT_EQ(g_connects, 1);
    EXPECT_EQ(g_sleeps, 0);

    // An address clash is retried at once.
    g_connects = 0;
    g_connect_errno = EADDRINUSE;
    EXPECT_EQ(ynet_connect_by_ynetd(path.c_str(), &sock, 30), YN_STATUS_ADDRESS_IN_USE);
    EXPECT_EQ(g_connects, 4);
    EXPECT_EQ(g_sleeps, 0);
    g_connect_errno = 0;
    EXPECT_EQ(fake::count_fds(), fds);
    ::unlink(path.c_str());
}

// ---- A listener that survives forged hand-overs ---------------------------------------

TEST(YnetdAcceptAndReceive, ForgedHandOversAreRefusedAndTheListenerServesOn) {
    char path[YNETD_IPC_PATH_SIZE] = "";
    int listener = -1;
    ASSERT_EQ(ynet_listen_for_ynetd(path, sizeof path, 4, &listener, 5), 0);
    int fds = fake::count_fds();
    auto [h1, h2] = fake::hash_pair("this request");
    auto [old1, old2] = fake::hash_pair("an earlier request");
    (void)old1;

    // A hand-over "for" a connection: the asker's end is `tcp.first`, the
    // end handed over is `tcp.second`.
    auto hand_over = [&](const std::string &hash2, int *newsock) {
        auto tcp = fake::tcp_pair();
        int ynetd = fake::unix_connect(path);
        fake::write_raw(ynetd, item(hash2));
        fake::send_fds(ynetd, {tcp.second});
        ::close(tcp.second);
        int status = ynet_ynetd_accept_and_receive(listener, h1.c_str(), newsock, 5);
        std::string confirmation = fake::read_item(ynetd, 1000);
        std::string asker = fake::drain(tcp.first);
        ::close(ynetd);
        ::close(tcp.first);
        return std::to_string(status) + "|" + confirmation + "|" + asker;
    };
    int newsock = 0;
    EXPECT_EQ(hand_over(old2, &newsock), "13|<eof>|") << "replayed hash";
    EXPECT_EQ(newsock, -1);
    std::string wrong = h2;
    wrong[3] = wrong[3] == '0' ? '1' : '0';
    EXPECT_EQ(hand_over(wrong, &newsock), "13|<eof>|") << "wrong hash";
    EXPECT_EQ(hand_over("", &newsock), "13|<eof>|") << "no hash";
    EXPECT_EQ(fake::count_fds(), fds);

    EXPECT_EQ(hand_over(h2, &newsock), std::string("0|0|") + item("0"));
    EXPECT_GE(newsock, 0);
    ::close(newsock);
    EXPECT_EQ(fake::count_fds(), fds);
    ::close(listener);
    ::unlink(path);
}

// ---- Connect-back ------------------------------------------------------------------------

// A fake ynetd serving requests 2 and 3 by the book: hash pairs made with
// OpenSSL (or a forged hash_str2), the connection handed to the path.
fake::Daemon::Script connect_back_ynetd(bool forge) {
    return [forge](int conn, int index, std::string &log) {
        fake::serve_handshake(conn, 3, log);
        std::string code = fake::read_item(conn);
        std::string path = fake::read_item(conn);
        log += "req=" + code + ";";
        std::string hash2;
        if (code == "3") {
            auto [h1, h2] = fake::hash_pair("connection " + std::to_string(index));
            fake::write_raw(conn, item(h1));
            hash2 = forge ? fake::hash_pair("another connection").second : h2;
        }
        int rendezvous = fake::unix_connect(path);
        if (rendezvous < 0) {
            log += "no listener;";
            fake::write_raw(conn, item("10"));
            return;
        }
        fake::write_raw(rendezvous, item(hash2));
        fake::send_fds(rendezvous, {conn});
        log += "confirm=" + fake::read_item(rendezvous) + ";";
        ::close(rendezvous);
    };
}

struct Peers {
    int a = -1;  // the asking process's connection to its peer
    int b = -1;  // the peer's end
    Peers() { std::tie(a, b) = fake::tcp_pair(); }
    ~Peers() {
        ::close(a);
        ::close(b);
    }
};

TEST(YnetdConnectBack, HashedConnectBackJoinsBothEnds) {
    fake::Daemon ynetd(connect_back_ynetd(false));
    ynet_set_port(ynetd.port());
    int fds = fake::count_fds();
    {
        Peers peers;
        int b_status = -1;
        int daemon_sock = -1;
        std::thread b([&] {
            b_status = ynet_end_connect_back(peers.b, 0, 0, nullptr, &daemon_sock, 1, 5);
            if (b_status == 0) b_status = ynet_push_string(daemon_sock, "from B", 5);
        });
        int newsock = -1;
        int a_status = ynet_begin_connect_back(peers.a, 5, &newsock);
        b.join();
        ASSERT_EQ(a_status, 0);
        ASSERT_EQ(b_status, 0);
        char text[16] = "";
        EXPECT_EQ(ynet_pop_string(newsock, text, sizeof text, 5), 0);
        EXPECT_STREQ(text, "from B");
        EXPECT_EQ(fake::drain(peers.a), "") << "nothing left over on the first connection";
        ::close(newsock);
        ::close(daemon_sock);
    }
    ynetd.stop();
    EXPECT_EQ(ynetd.log(), "offer=3;echo=3;req=3;confirm=0;");
    EXPECT_EQ(fake::count_fds(), fds + 0);
    ynet_set_port(-1);
}

TEST(YnetdConnectBack, ForgedHandOverFailsBothEndsAndCleansUp) {
    fake::Daemon ynetd(connect_back_ynetd(true));
    ynet_set_port(ynetd.port());
    int fds = fake::count_fds();
    {
        Peers peers;
        int b_status = -1;
        int daemon_sock = 0;
        std::thread b([&] {
            b_status = ynet_end_connect_back(peers.b, 0, 0, nullptr, &daemon_sock, 1, 5);
        });
        int newsock = 0;
        EXPECT_EQ(ynet_begin_connect_back(peers.a, 5, &newsock), YN_STATUS_HASH_MISMATCH);
        EXPECT_EQ(newsock, -1);
        b.join();
        EXPECT_NE(b_status, 0);
        EXPECT_EQ(daemon_sock, -1);
    }
    ynetd.stop();
    EXPECT_EQ(ynetd.log(), "offer=3;echo=3;req=3;confirm=<eof>;");
    EXPECT_EQ(fake::count_fds(), fds);
    ynet_set_port(-1);
}

TEST(YnetdConnectBack, FailedRequestIsReportedToTheAsker) {
    // This ynetd takes the handshake, then hangs up on request 3.
    fake::Daemon ynetd([](int conn, int, std::string &log) {
        fake::serve_handshake(conn, 3, log);
        log += "req=" + fake::read_item(conn) + ";";
        log += "path=" + fake::read_item(conn) + ";";
    });
    ynet_set_port(ynetd.port());
    Peers peers;
    int b_status = -1;
    int daemon_sock = 0;
    std::thread b([&] {
        b_status = ynet_end_connect_back(peers.b, 0, 0, nullptr, &daemon_sock, 1, 5);
    });
    // Side A by hand, to see exactly what B sends back.
    fake::write_raw(peers.a, item("4") + std::string("\x7f\x00\x00\x01", 4) +
                                 item(std::to_string(ynetd.port())) + item("/tmp/ynetNOPE"));
    std::string pstatus = fake::read_item(peers.a);
    b.join();
    EXPECT_EQ(pstatus, "9") << "the failed pop of hash_str1";
    EXPECT_EQ(b_status, YN_STATUS_READ_FAILED);
    EXPECT_EQ(daemon_sock, -1);
    EXPECT_EQ(fake::drain(peers.a), "") << "no hash after a failure";
    ynetd.stop();
    ynet_set_port(-1);
}

TEST(YnetdConnectBack, AskerSeesTheRefusalStatusAndItsNameIsRemoved) {
    Peers peers;
    // B answers for ynetd: status 10 instead of a hash.
    std::string path;
    std::thread b([&] {
        struct sockaddr_in addr{};
        ynet_ynetd_pop_ipaddr(peers.b, &addr, 5);
        path = fake::read_item(peers.b);
        fake::write_raw(peers.b, item("10"));
    });
    int newsock = 0;
    EXPECT_EQ(ynet_begin_connect_back(peers.a, 5, &newsock), YN_STATUS_SOCKET_ERROR);
    b.join();
    EXPECT_EQ(newsock, -1);
    EXPECT_EQ(path.rfind("/tmp/ynet", 0), 0u) << path;
    EXPECT_FALSE(yqtest::exists(path));
}

TEST(YnetdConnectBack, WithoutHashTheAskerUsesItsOwnListener) {
    fake::Daemon ynetd(connect_back_ynetd(false));
    ynet_set_port(ynetd.port());
    Peers peers;
    char path[YNETD_IPC_PATH_SIZE] = "";
    int listener = -1;
    ASSERT_EQ(ynet_listen_for_ynetd(path, sizeof path, 1, &listener, 5), 0);
    // A tells B its address as B should reach it, and the listener's name.
    struct in_addr bogus{};
    bogus.s_addr = inet_addr("192.0.2.99");
    ASSERT_EQ(ynet_ynetd_push_ipaddr(peers.a, &bogus, 5), 0);
    ASSERT_EQ(ynet_push_string(peers.a, path, 5), 0);
    int b_status = -1;
    int daemon_sock = -1;
    std::thread b([&] {
        // The address A sent is not reachable: B uses its peer's instead.
        b_status = ynet_end_connect_back_ira(peers.b, 0, 0, nullptr, &daemon_sock, 0, 5, 1);
    });
    int newsock = -1;
    EXPECT_EQ(ynet_ynetd_accept_and_receive(listener, nullptr, &newsock, 10), 0);
    b.join();
    EXPECT_EQ(b_status, 0);
    EXPECT_EQ(fake::drain(peers.a), "") << "B sends nothing back without a hash";
    ASSERT_EQ(ynet_push_string(newsock, "from A", 5), 0);
    char text[16] = "";
    EXPECT_EQ(ynet_pop_string(daemon_sock, text, sizeof text, 5), 0);
    EXPECT_STREQ(text, "from A");
    ::close(newsock);
    ::close(daemon_sock);
    ::close(listener);
    ::unlink(path);
    ynetd.stop();
    EXPECT_EQ(ynetd.log(), "offer=3;echo=3;req=2;confirm=0;");
    ynet_set_port(-1);
}

}  // namespace
