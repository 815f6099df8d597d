// Conversations with ynetd from the client side: the version handshake, the
// request codes' bytes, the port lookup, the remote version cache, the
// rendezvous directory check, service registration and the security
// information query. The daemon is raw socket code in the test (a socket
// pair with its answers written beforehand, or a loopback listener in a
// thread), so every byte is checked against the protocol, not the library.
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "crconf.h"
#include "ynet.h"
#include "ynet_servs_private.h"
#include "ynet_ynetd_fake.h"
#include "yq_paths.h"
#include "yqtest.h"
#include "yqtest_resolv.h"

namespace {

using fake::item;

const std::string kVersionDir = std::string(YQ_PATH_CARROW_DIR) + "/remote_versions";

// A connected socket pair: the library's end and the fake daemon's end.
struct Pair {
    int lib = -1;
    int peer = -1;
    Pair() {
        int sv[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        lib = sv[0];
        peer = sv[1];
    }
    ~Pair() {
        if (lib >= 0) ::close(lib);
        if (peer >= 0) ::close(peer);
    }
    // The daemon's answers, written before the library asks.
    void answer(const std::string &bytes) const { fake::write_raw(peer, bytes); }
    std::string sent() const { return fake::drain(peer); }
};

// A moving clock: sleep advances it instead of waiting.
time_t g_now = 1000000;
time_t fake_time(time_t *t) {
    if (t != nullptr) *t = g_now;
    return g_now;
}
int g_sleeps = 0;
unsigned fake_sleep(unsigned seconds) {
    ++g_sleeps;
    g_now += seconds;
    return 0;
}

// ---- Handshake ---------------------------------------------------------------

TEST(YnetdHandshake, AgreesOnTheVersionTheDaemonAnswersWithinOneToThree) {
    for (int offered : {1, 2, 3}) {
        Pair p;
        p.answer(item(std::to_string(offered)));
        int version = 0;
        EXPECT_EQ(version_connect(p.lib, 3, 1, &version, 5), 0);
        EXPECT_EQ(version, offered);
        // The client offers 3 and echoes the version in force.
        EXPECT_EQ(p.sent(), item("3") + item(std::to_string(offered)));
    }
}

TEST(YnetdHandshake, VersionOutsideTheRangeIsEchoedAsMinusOne) {
    for (const char *answer : {"4", "0"}) {
        Pair p;
        p.answer(item(answer));
        int version = 0;
        EXPECT_EQ(version_connect(p.lib, 3, 1, &version, 5), YN_STATUS_VERSION_MISMATCH);
        EXPECT_EQ(version, -1);
        EXPECT_EQ(p.sent(), item("3") + item("-1"));
    }
}

TEST(YnetdHandshake, RefusalEndsWithoutEcho) {
    Pair p;
    p.answer(item("-1"));
    int version = 0;
    EXPECT_EQ(version_connect(p.lib, 3, 1, &version, 5), YN_STATUS_VERSION_MISMATCH);
    EXPECT_EQ(p.sent(), item("3"));
}

TEST(YnetdHandshake, DaemonGoneBeforeAnswering) {
    Pair p;
    ::close(p.peer);
    p.peer = -1;
    int version = 0;
    EXPECT_NE(version_connect(p.lib, 3, 1, &version, 5), 0);
}

TEST(YnetdHandshake, ConnectToYnetdOverTcpLeavesAFailedHandshakeOpen) {
    fake::Daemon daemon([](int conn, int index, std::string &log) {
        fake::serve_handshake(conn, index == 0 ? 2 : 7, log);
    });
    struct sockaddr_in addr = daemon.addr();
    int sock = -1;
    int version = 0;
    ASSERT_EQ(ynet_connect_to_ynetd(&addr, 0, 0, nullptr, &sock, &version, 5), 0);
    EXPECT_EQ(version, 2);
    EXPECT_GE(sock, 0);
    int nodelay = 0;
    socklen_t length = sizeof nodelay;
    ::getsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &nodelay, &length);
    EXPECT_NE(nodelay, 0);
    ::close(sock);

    sock = -1;
    EXPECT_EQ(ynet_connect_to_ynetd(&addr, 0, 0, nullptr, &sock, &version, 5),
              YN_STATUS_VERSION_MISMATCH);
    EXPECT_GE(sock, 0) << "the caller closes or disconnects it";
    ::close(sock);
    daemon.stop();
    EXPECT_EQ(daemon.log(), "offer=3;echo=2;offer=3;echo=-1;");
}

// ---- Small requests ------------------------------------------------------------

TEST(YnetdRequests, NoopSendsCodeZeroAndReturnsTheDaemonStatus) {
    Pair p;
    p.answer(item("0") + item("7"));
    int sock = p.lib;
    EXPECT_EQ(ynet_ynetd_noop(&sock, 3, 5), 0);
    EXPECT_EQ(ynet_ynetd_noop(&sock, 3, 5), 7);
    EXPECT_EQ(sock, p.lib) << "a daemon's refusal keeps the conversation";
    EXPECT_EQ(p.sent(), item("0") + item("0"));
}

TEST(YnetdRequests, NoopPopFailureClosesTheSocket) {
    Pair p;
    ::shutdown(p.peer, SHUT_WR);
    int sock = p.lib;
    EXPECT_EQ(ynet_ynetd_noop(&sock, 3, 5), YN_STATUS_READ_FAILED);
    EXPECT_EQ(sock, -1);
    EXPECT_EQ(::fcntl(p.lib, F_GETFD), -1) << "closed";
    p.lib = -1;
}

TEST(YnetdRequests, DisconnectAlwaysCloses) {
    {
        Pair p;
        p.answer(item("0"));
        int sock = p.lib;
        EXPECT_EQ(ynet_ynetd_disconnect(&sock, 3, 5), 0);
        EXPECT_EQ(sock, -1);
        EXPECT_EQ(p.sent(), item("1"));
        p.lib = -1;
    }
    {
        Pair p;
        p.answer(item("22"));
        int sock = p.lib;
        EXPECT_EQ(ynet_ynetd_disconnect(&sock, 3, 5), 22);
        EXPECT_EQ(sock, -1);
        p.lib = -1;
    }
}

TEST(YnetdRequests, VersionTextIsRequestEight) {
    Pair p;
    p.answer(item("470100 release 7.1"));
    int sock = p.lib;
    char text[64] = "";
    EXPECT_EQ(ynet_version_get(0, 0, nullptr, nullptr, &sock, 5, text, sizeof text), 0);
    EXPECT_STREQ(text, "470100 release 7.1");
    EXPECT_EQ(p.sent(), item("8"));

    Pair q;
    q.answer(std::string(20, 'x'));  // no terminator within the buffer
    sock = q.lib;
    EXPECT_EQ(ynet_version_get(0, 0, nullptr, nullptr, &sock, 5, text, 8), YN_STATUS_BAD_FORMAT);
    EXPECT_EQ(sock, -1);
    q.lib = -1;
}

TEST(YnetdRequests, ServiceRequestNeedsVersionTwo) {
    Pair p;
    int sock = p.lib;
    EXPECT_EQ(ynet_ynetd_service_socket(&sock, 1, "cwrd", 5), YN_STATUS_VERSION_MISMATCH);
    EXPECT_EQ(sock, p.lib);
    EXPECT_EQ(p.sent(), "");

    p.answer(item("0") + item("31"));
    EXPECT_EQ(ynet_ynetd_service_socket(&sock, 2, "cwrd", 5), 0);
    EXPECT_EQ(ynet_ynetd_service_socket(&sock, 3, "cwjobd", 5), 31);
    EXPECT_EQ(sock, p.lib) << "a refused service leaves the socket open";
    EXPECT_EQ(p.sent(), item("6") + item("cwrd") + item("6") + item("cwjobd"));
}

TEST(YnetdRequests, DaemonSocketIsRequestTwoWithThePath) {
    Pair p;
    p.answer(item("0"));
    int sock = p.lib;
    EXPECT_EQ(ynet_ynetd_daemon_socket(&sock, 3, "/tmp/ynetAbc", 5), 0);
    EXPECT_EQ(p.sent(), item("2") + item("/tmp/ynetAbc"));
    ::close(p.peer);
    p.peer = -1;
    EXPECT_NE(ynet_ynetd_daemon_socket(&sock, 3, "/tmp/x", 5), 0);
    EXPECT_EQ(sock, -1);
    p.lib = -1;
}

// ---- Port --------------------------------------------------------------------

TEST(YnetdPort, FromTheServiceDatabaseOrTheDefault) {
    yqtest::write_services("ynetd\t13782/tcp\n");
    yq::ynet_servs::reset_state();
    ynet_set_port(-1);
    int port = 0;
    EXPECT_EQ(ynet_get_port(&port), 0);
    EXPECT_EQ(port, 13782);

    yqtest::write_services("other\t99/tcp\n");
    yq::ynet_servs::reset_state();
    ynet_set_port(-1);
    EXPECT_EQ(ynet_get_port(&port), 0);
    EXPECT_EQ(port, 13724);

    ynet_set_port(5555);
    EXPECT_EQ(ynet_get_port(&port), 0);
    EXPECT_EQ(port, 5555);
    ynet_set_port(-1);
}

// ---- Address items -------------------------------------------------------------

TEST(YnetdAddress, PushSendsLengthBytesAndYnetdPort) {
    ynet_set_port(13724);
    Pair p;
    struct in_addr a{};
    a.s_addr = inet_addr("10.1.2.3");
    EXPECT_EQ(ynet_ynetd_push_ipaddr(p.lib, &a, 5), 0);
    EXPECT_EQ(p.sent(), item("4") + std::string("\x0a\x01\x02\x03", 4) + item("13724"));
    ynet_set_port(-1);
}

TEST(YnetdAddress, PushWithoutAddressUsesTheSocketsOwn) {
    ynet_set_port(4000);
    auto [a, b] = fake::tcp_pair();
    EXPECT_EQ(ynet_ynetd_push_ipaddr(a, nullptr, 5), 0);
    EXPECT_EQ(fake::drain(b), item("4") + std::string("\x7f\x00\x00\x01", 4) + item("4000"));
    ::close(a);
    ::close(b);
    EXPECT_EQ(ynet_ynetd_push_ipaddr(-1, nullptr, 5), YN_STATUS_SOCKET_ERROR);
    ynet_set_port(-1);
}

TEST(YnetdAddress, PopFillsTheAddressAndRefusesOtherLengths) {
    Pair p;
    p.answer(item("4") + std::string("\xc0\x00\x02\x07", 4) + item("13724"));
    struct sockaddr_in out;
    std::memset(&out, 0x55, sizeof out);
    EXPECT_EQ(ynet_ynetd_pop_ipaddr(p.lib, &out, 5), 0);
    EXPECT_EQ(out.sin_family, AF_INET);
    EXPECT_STREQ(inet_ntoa(out.sin_addr), "192.0.2.7");
    EXPECT_EQ(ntohs(out.sin_port), 13724);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(out.sin_zero), 8), std::string(8, '\0'));

    p.answer(item("16") + "rest");
    EXPECT_EQ(ynet_ynetd_pop_ipaddr(p.lib, &out, 5), YN_STATUS_READ_FAILED);
    char rest[8] = "";
    EXPECT_EQ(::recv(p.lib, rest, sizeof rest, MSG_DONTWAIT), 4) << "nothing read beyond";
}

// ---- Remote version cache ------------------------------------------------------

class HostVersion : public ::testing::Test {
protected:
    void SetUp() override {
        ::umask(022);
        yqtest::remove_tree(kVersionDir);
        ASSERT_EQ(::mkdir(YQ_PATH_CARROW_DIR, 0755) == 0 || errno == EEXIST, true);
        ASSERT_EQ(::mkdir(kVersionDir.c_str(), 0755), 0);
        yqtest::write_hosts("127.0.0.1 localhost\n192.0.2.10 alpha alpha.example.com\n"
                            "192.0.2.11 beta\n");
    }
    void TearDown() override { yq::sys::reset(); }
    std::string file(const std::string &host) { return kVersionDir + "/" + host; }
};

// A daemon speaking `protocol`; on request 8 it answers `text`, or hangs up
// when text is empty.
fake::Daemon::Script versioned(int protocol, std::string text) {
    return [protocol, text](int conn, int, std::string &log) {
        fake::serve_handshake(conn, protocol, log);
        for (;;) {
            std::string code = fake::read_item(conn);
            log += "req=" + code + ";";
            if (code == "8") {
                if (text.empty()) return;
                fake::write_raw(conn, item(text));
            } else if (code == "1") {
                fake::write_raw(conn, item("0"));
                return;
            } else {
                return;
            }
        }
    };
}

TEST_F(HostVersion, CachedNumberIsUsedWithoutAsking) {
    fake::Daemon daemon(versioned(3, "999999"));
    struct sockaddr_in addr = daemon.addr();
    yqtest::write_file(file("alpha.example.com"), "461234 build 5");
    yqtest::write_file(file(".alpha"), "1");
    EXPECT_EQ(ynet_get_host_version("alpha", 0, 0, &addr, nullptr, 5, 0), 461234);
    yqtest::write_file(file("beta"), "unknown");
    EXPECT_EQ(ynet_get_host_version("beta", 0, 0, &addr, nullptr, 5, 0), 0);
    // Not cached and no time to ask: not known.
    EXPECT_EQ(ynet_get_host_version("gamma", 0, 0, &addr, nullptr, 0, 0), 0);
    daemon.stop();
    EXPECT_EQ(daemon.connections(), 0);
    EXPECT_FALSE(yqtest::exists(file("gamma")));
}

TEST_F(HostVersion, RefreshReplacesTheCacheWithTheDaemonsText) {
    fake::Daemon daemon(versioned(3, "470200 release 7"));
    struct sockaddr_in addr = daemon.addr();
    yqtest::write_file(file("alpha.example.com"), "461234");
    EXPECT_EQ(ynet_get_host_version("alpha", 0, 0, &addr, nullptr, 0, 1), 470200);
    daemon.stop();
    EXPECT_EQ(daemon.log(), "offer=3;echo=3;req=8;req=1;");
    EXPECT_FALSE(yqtest::exists(file("alpha.example.com")));
    EXPECT_EQ(yqtest::read_file(file("alpha")), "470200 release 7");
    struct stat st{};
    ASSERT_EQ(::stat(file("alpha").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    // The stored text answers the next call without a daemon.
    EXPECT_EQ(ynet_get_host_version("alpha", 0, 0, nullptr, nullptr, 5, 0), 470200);
}

TEST_F(HostVersion, UncachedHostIsAskedWhenTimeAllows) {
    fake::Daemon daemon(versioned(2, "465000"));
    struct sockaddr_in addr = daemon.addr();
    EXPECT_EQ(ynet_get_host_version("beta", 0, 0, &addr, nullptr, 5, 0), 465000);
    EXPECT_EQ(yqtest::read_file(file("beta")), "465000");
}

TEST_F(HostVersion, OldDaemonsGetFixedNumbers) {
    {
        fake::Daemon daemon(versioned(1, "never asked"));
        struct sockaddr_in addr = daemon.addr();
        EXPECT_EQ(ynet_get_host_version("alpha", 0, 0, &addr, nullptr, 5, 1), 450000);
        daemon.stop();
        EXPECT_EQ(daemon.log(), "offer=3;echo=1;req=1;");
        EXPECT_EQ(yqtest::read_file(file("alpha")), "450000");
    }
    {
        fake::Daemon daemon(versioned(2, ""));  // fails the version request
        struct sockaddr_in addr = daemon.addr();
        EXPECT_EQ(ynet_get_host_version("beta", 0, 0, &addr, nullptr, 5, 1), 451000);
        EXPECT_EQ(yqtest::read_file(file("beta")), "451000");
    }
}

TEST_F(HostVersion, UnreachableHostIsRememberedAsZero) {
    int port = 0;
    int closed = fake::tcp_listener(&port);
    ::close(closed);  // nothing listens there now
    struct sockaddr_in addr = fake::loopback(port);
    yqtest::SysGuard guard;
    yq::sys::table.time = fake_time;
    yq::sys::table.sleep = fake_sleep;
    EXPECT_EQ(ynet_get_host_version("beta", 0, 0, &addr, nullptr, 0, 1), 0);
    EXPECT_EQ(yqtest::read_file(file("beta")), "0");
}

TEST_F(HostVersion, NoCacheDirectoryStoresNothing) {
    yqtest::remove_tree(kVersionDir);
    fake::Daemon daemon(versioned(3, "470000"));
    struct sockaddr_in addr = daemon.addr();
    EXPECT_EQ(ynet_get_host_version("beta", 0, 0, &addr, nullptr, 5, 0), 470000);
    EXPECT_FALSE(yqtest::exists(kVersionDir));
}

// ---- Rendezvous directory -------------------------------------------------------

class RendezvousDir : public ::testing::Test {
protected:
    void SetUp() override {
        yqtest::remove_tree(YQ_PATH_YNETD_DIR);
        ::mkdir(YQ_PATH_KELDA "/var", 0755);
    }
    static mode_t mode() {
        struct stat st{};
        return ::stat(YQ_PATH_YNETD_DIR, &st) == 0 ? st.st_mode & 07777 : 0;
    }
    static uid_t owner() {
        struct stat st{};
        ::stat(YQ_PATH_YNETD_DIR, &st);
        return st.st_uid;
    }
};

TEST_F(RendezvousDir, CreatedWhenMissingAndRepairedWhenWrong) {
    ::umask(022);
    EXPECT_EQ(ynet_check_ynetd_dir(), 0);
    EXPECT_EQ(mode(), 0700u);
    EXPECT_EQ(owner(), 0u);

    ASSERT_EQ(::chmod(YQ_PATH_YNETD_DIR, 0755), 0);
    EXPECT_EQ(ynet_check_ynetd_dir(), 0);
    EXPECT_EQ(mode(), 0700u);

    if (::chown(YQ_PATH_YNETD_DIR, 1234, 1234) == 0) {
        EXPECT_EQ(ynet_check_ynetd_dir(), 0);
        struct stat st{};
        ::stat(YQ_PATH_YNETD_DIR, &st);
        EXPECT_EQ(st.st_uid, 0u);
        EXPECT_EQ(st.st_gid, 0u);
    }
}

TEST_F(RendezvousDir, NotADirectoryOrNoParent) {
    yqtest::write_file(YQ_PATH_YNETD_DIR, "");
    EXPECT_EQ(ynet_check_ynetd_dir(), YN_STATUS_BAD_DIRECTORY);
    ::unlink(YQ_PATH_YNETD_DIR);
    yqtest::remove_tree(YQ_PATH_KELDA "/var");
    EXPECT_EQ(ynet_check_ynetd_dir(), YN_STATUS_MKDIR_FAILED);
}

// Runs body in a child that has become an unprivileged user; the child's
// result is body's return value (0..255).
template <typename Body>
int as_unprivileged(Body body) {
    pid_t pid = ::fork();
    if (pid == 0) {
        const uid_t nobody = 65534;
        if (::setgroups(0, nullptr) != 0 || ::setresgid(nobody, nobody, nobody) != 0 ||
            ::setresuid(nobody, nobody, nobody) != 0)
            ::_exit(200);
        ::_exit(body());
    }
    int wstatus = 0;
    ::waitpid(pid, &wstatus, 0);
    return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 255;
}

TEST_F(RendezvousDir, NonAdministratorMayNotCreateIt) {
    int result = as_unprivileged([] {
        if (ynet_check_ynetd_dir() != YN_STATUS_BAD_DIRECTORY) return 1;
        if (ynet_ynetd_register_service("cwrd", 1, 0, "/x", nullptr, nullptr, nullptr) !=
            YN_STATUS_BAD_DIRECTORY)
            return 2;
        char *path = reinterpret_cast<char *>(1);
        if (ynet_generate_service_path("cwrd", "txt", &path) != YN_STATUS_BAD_DIRECTORY ||
            path != nullptr)
            return 3;
        return 0;
    });
    if (result == 200) GTEST_SKIP() << "cannot become an unprivileged user here";
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(yqtest::exists(YQ_PATH_YNETD_DIR)) << "nothing created";
}

// ---- Service registration ----------------------------------------------------

class Services : public ::testing::Test {
protected:
    void SetUp() override {
        yqtest::remove_tree(YQ_PATH_YNETD_DIR);
        ::mkdir(YQ_PATH_KELDA "/var", 0755);
    }
    static std::string dir() { return YQ_PATH_YNETD_DIR; }
};

TEST_F(Services, PathsAreLowerCaseInTheRendezvousDirectory) {
    char *path = nullptr;
    ASSERT_EQ(ynet_generate_service_path("CwRd", "txt", &path), 0);
    EXPECT_STREQ(path, YQ_PATH_YNETD_DIR "/cwrd.txt");
    std::free(path);
    EXPECT_TRUE(yqtest::exists(YQ_PATH_YNETD_DIR)) << "checked and created first";

    long points = yqtest::for_each_alloc_failure([] {
        char *p = reinterpret_cast<char *>(1);
        int status = ynet_generate_service_path("CwRd", "uds", &p);
        if (status == 0) {
            EXPECT_STREQ(p, YQ_PATH_YNETD_DIR "/cwrd.uds");
        } else {
            EXPECT_EQ(status, YN_STATUS_NO_MEMORY);
            EXPECT_EQ(p, nullptr);
        }
        std::free(p);
    });
    EXPECT_GE(points, 2);
}

TEST_F(Services, RegistrationWritesOneEntryAndReplacesEarlierOnes) {
    char arg0[] = "-v";
    char arg1[] = "two words";
    char *args[] = {arg0, arg1, nullptr};
    ASSERT_EQ(ynet_ynetd_register_service("Cwrd", 4321, 77, nullptr, "/bin/d", "/bin/i", args), 0);
    ASSERT_EQ(ynet_ynetd_register_service("cwrd", 1234, 0, "/tmp/s", nullptr, nullptr, nullptr),
              0);
    std::vector<std::string> lines = yqtest::read_lines(dir() + "/cwrd.txt");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("NAME= cwrd ;PID=1234;REGTIME=", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(";IPC= /tmp/s ;"), std::string::npos);
    EXPECT_EQ(lines[0].find("EXPTIME"), std::string::npos);

    ASSERT_EQ(ynet_ynetd_register_service("Cwrd", 4321, 77, nullptr, "/bin/d", "/bin/i", args), 0);
    lines = yqtest::read_lines(dir() + "/cwrd.txt");
    ASSERT_EQ(lines.size(), 1u);
    // DCMD comes before ICMD in the arguments, not on the line.
    EXPECT_NE(lines[0].find(";EXPTIME=77;ICMD= /bin/i ;DCMD= /bin/d ;ARG= -v ;ARG=\"two words\";"),
              std::string::npos)
        << lines[0];

    ASSERT_EQ(ynet_ynetd_register_daemon_command("Cmd", "/usr/bin/cmdd -x"), 0);
    lines = yqtest::read_lines(dir() + "/cmd.txt");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("NAME= Cmd ;PID=" + std::to_string(::getpid()) + ";REGTIME=", 0),
              0u);
    EXPECT_NE(lines[0].find(";DCMD=\"/usr/bin/cmdd -x\";"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[0].find("IPC"), std::string::npos);
}

TEST_F(Services, ListenRegisterAndUnregister) {
    int fds = fake::count_fds();
    int listener = -1;
    ASSERT_EQ(ynet_ynetd_listen_and_register_service("CwRd", 5, &listener, 5), 0);
    ASSERT_GE(listener, 0);
    struct stat st{};
    ASSERT_EQ(::stat((dir() + "/cwrd.uds").c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0077, 0u) << "nobody else may connect";
    std::vector<std::string> lines = yqtest::read_lines(dir() + "/cwrd.txt");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("NAME= CwRd ;PID=" + std::to_string(::getpid()) + ";REGTIME=", 0),
              0u);
    EXPECT_NE(lines[0].find(";IPC= " + dir() + "/cwrd.uds ;"), std::string::npos) << lines[0];

    // A process that never registered has nothing to unregister.
    pid_t pid = ::fork();
    if (pid == 0) ::_exit(ynet_ynetd_unregister_service("cwrd"));
    int wstatus = 0;
    ::waitpid(pid, &wstatus, 0);
    EXPECT_EQ(WEXITSTATUS(wstatus), YN_STATUS_NOT_REGISTERED);
    EXPECT_EQ(yqtest::read_lines(dir() + "/cwrd.txt"), lines);
    EXPECT_TRUE(yqtest::exists(dir() + "/cwrd.uds"));

    ASSERT_EQ(ynet_ynetd_unregister_service("CWRD"), 0);
    EXPECT_FALSE(yqtest::exists(dir() + "/cwrd.uds"));
    lines = yqtest::read_lines(dir() + "/cwrd.txt");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("NAME= CwRd ;PID=0;REGTIME=", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(";EXPTIME=1;"), std::string::npos);
    ::close(listener);
    EXPECT_EQ(fake::count_fds(), fds);

    EXPECT_EQ(ynet_ynetd_unregister_service("never"), YN_STATUS_FILE_OPEN_FAILED);
}

TEST_F(Services, UnregisterKeepsTheEntriesAfterTheCallers) {
    std::string pid = std::to_string(::getpid());
    ASSERT_EQ(::mkdir(YQ_PATH_YNETD_DIR, 0700), 0);
    yqtest::write_file(dir() + "/multi.txt", "NAME= multi ;PID=11;\nNAME= multi ;PID=" + pid +
                                                 ";IPC= /tmp/m ;\nNAME= multi ;PID=12;\n");
    ASSERT_EQ(ynet_ynetd_unregister_service("multi"), 0);
    std::vector<std::string> lines = yqtest::read_lines(dir() + "/multi.txt");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "NAME= multi ;PID=0;EXPTIME=1;IPC= /tmp/m ;");
    EXPECT_EQ(lines[1], "NAME= multi ;PID=12;");
}

// The whole service path: a client asks ynetd for the service with request
// 6, the fake ynetd hands the accepted connection to the registered
// listener, the service confirms on it, and the two talk.
TEST_F(Services, ClientReachesTheRegisteredServiceThroughYnetd) {
    int listener = -1;
    ASSERT_EQ(ynet_ynetd_listen_and_register_service("echo", 5, &listener, 5), 0);
    const std::string uds = dir() + "/echo.uds";
    fake::Daemon daemon([uds](int conn, int, std::string &log) {
        fake::serve_handshake(conn, 3, log);
        log += "req=" + fake::read_item(conn) + ";";
        log += "service=" + fake::read_item(conn) + ";";
        int rendezvous = fake::unix_connect(uds);
        if (rendezvous < 0) {
            fake::write_raw(conn, item("10"));
            return;
        }
        fake::write_raw(rendezvous, item(""));  // no hash for a service
        fake::send_fds(rendezvous, {conn});
        log += "confirm=" + fake::read_item(rendezvous) + ";";
        ::close(rendezvous);
    });
    int fds = fake::count_fds();
    int client_status = -1;
    int client = -1;
    std::thread client_thread([&] {
        struct sockaddr_in addr = daemon.addr();
        int version = 0;
        client_status = ynet_connect_to_ynetd(&addr, 0, 0, nullptr, &client, &version, 5);
        if (client_status == 0)
            client_status = ynet_ynetd_service_socket(&client, version, "echo", 5);
        if (client_status == 0) client_status = ynet_push_string(client, "hello service", 5);
    });
    int newsock = -1;
    EXPECT_EQ(ynet_ynetd_accept_and_receive(listener, nullptr, &newsock, 10), 0);
    client_thread.join();
    daemon.stop();
    ASSERT_EQ(client_status, 0);
    EXPECT_EQ(daemon.log(), "offer=3;echo=3;req=6;service=echo;confirm=0;");
    char text[32] = "";
    EXPECT_EQ(ynet_pop_string(newsock, text, sizeof text, 5), 0);
    EXPECT_STREQ(text, "hello service");
    EXPECT_NE(::fcntl(newsock, F_GETFD) & FD_CLOEXEC, 0);
    ::close(newsock);
    ::close(client);
    EXPECT_EQ(fake::count_fds(), fds);
    ::close(listener);
}

// ---- Security-information query ------------------------------------------------

struct Info {
    crconf_info_rec rec{};
    ~Info() {
        crconf_free_authorization_service(&rec.ni_authorization_service);
        while (crconf_authentication_domain_rec *d = rec.ni_authentication_domains) {
            rec.ni_authentication_domains = d->ad_next;
            crconf_free_authentication_domain(&d);
        }
        while (crconf_yqss_network_rec *n = rec.ni_yqss_networks) {
            rec.ni_yqss_networks = n->nw_next;
            crconf_free_yqss_network(&n);
        }
    }
};

const std::string kFullAnswer = item("0") +
                                // authorization service
                                item("master") + item("1556") + item("") +
                                // two domains
                                item("broker1") + item("13783") + item("dom1") + item("first") +
                                item("2") + item("broker2") + item("13784") + item("dom2") +
                                item("second one") + item("3") + item("") +
                                // networks
                                item("192.0.2.0/24") + item("1") + item(".example.com") +
                                item("2") + item("");

TEST(YnetdSecurityInfo, FillsEveryEmptyFieldInTheOrderReceived) {
    Pair p;
    p.answer(kFullAnswer);
    Info info;
    int sock = p.lib;
    ASSERT_EQ(ynet_ynetd_get_security_info(&sock, 3, &info.rec, 5), 0);
    EXPECT_EQ(sock, p.lib) << "left open for the caller's disconnect";
    EXPECT_EQ(p.sent(), item("9") + item("ni_authorization_service") +
                            item("ni_authentication_domains") + item("ni_yqss_networks") +
                            item(""));
    ASSERT_NE(info.rec.ni_authorization_service, nullptr);
    EXPECT_STREQ(info.rec.ni_authorization_service->as_host, "master");
    EXPECT_EQ(info.rec.ni_authorization_service->as_port, 1556);
    crconf_authentication_domain_rec *d = info.rec.ni_authentication_domains;
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d->ad_broker, "broker1");
    EXPECT_EQ(d->ad_port, 13783);
    EXPECT_STREQ(d->ad_domain, "dom1");
    EXPECT_STREQ(d->ad_comment, "first");
    EXPECT_EQ(d->ad_auth_type, 2);
    ASSERT_NE(d->ad_next, nullptr);
    EXPECT_STREQ(d->ad_next->ad_domain, "dom2");
    EXPECT_STREQ(d->ad_next->ad_comment, "second one");
    EXPECT_EQ(d->ad_next->ad_auth_type, 3);
    EXPECT_EQ(d->ad_next->ad_next, nullptr);
    crconf_yqss_network_rec *n = info.rec.ni_yqss_networks;
    ASSERT_NE(n, nullptr);
    EXPECT_STREQ(n->nw_network, "192.0.2.0/24");
    EXPECT_EQ(n->nw_use_yqss, 1);
    ASSERT_NE(n->nw_next, nullptr);
    EXPECT_STREQ(n->nw_next->nw_network, ".example.com");
    EXPECT_EQ(n->nw_next->nw_use_yqss, 2);
    EXPECT_EQ(n->nw_next->nw_next, nullptr);
}

TEST(YnetdSecurityInfo, AsksOnlyForTheMissingFields) {
    Info info;
    crconf_create_authorization_service("m", 1, &info.rec.ni_authorization_service);
    crconf_create_authentication_domain("d", "c", 1, "b", 2, &info.rec.ni_authentication_domains);
    {
        Pair p;
        p.answer(item("0") + item("10.0.0.0/8") + item("2") + item(""));
        int sock = p.lib;
        EXPECT_EQ(ynet_ynetd_get_security_info(&sock, 3, &info.rec, 5), 0);
        EXPECT_EQ(p.sent(), item("9") + item("ni_yqss_networks") + item(""));
        ASSERT_NE(info.rec.ni_yqss_networks, nullptr);
    }
    {
        // Nothing missing: nothing is sent.
        Pair p;
        int sock = p.lib;
        EXPECT_EQ(ynet_ynetd_get_security_info(&sock, 3, &info.rec, 5), 0);
        EXPECT_EQ(p.sent(), "");
    }
}

TEST(YnetdSecurityInfo, EmptyAnswersMeanNone) {
    Pair p;
    p.answer(item("0") + item("") + item("") + item(""));
    Info info;
    int sock = p.lib;
    EXPECT_EQ(ynet_ynetd_get_security_info(&sock, 4, &info.rec, 5), 0);
    EXPECT_EQ(info.rec.ni_authorization_service, nullptr);
    EXPECT_EQ(info.rec.ni_authentication_domains, nullptr);
    EXPECT_EQ(info.rec.ni_yqss_networks, nullptr);
}

TEST(YnetdSecurityInfo, UnknownFieldStopsWith22AndKeepsWhatCameBefore) {
    Pair p;
    p.answer(item("0") + item("master") + item("1556") + item("") + item(">UNKNOWN<") +
             item("192.0.2.0/24"));
    Info info;
    int sock = p.lib;
    EXPECT_EQ(ynet_ynetd_get_security_info(&sock, 3, &info.rec, 5), YN_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(sock, -1);
    p.lib = -1;
    EXPECT_EQ(p.sent(), item("9") + item("ni_authorization_service") +
                            item("ni_authentication_domains"));
    ASSERT_NE(info.rec.ni_authorization_service, nullptr);
    EXPECT_STREQ(info.rec.ni_authorization_service->as_host, "master");
    EXPECT_EQ(info.rec.ni_authentication_domains, nullptr);
    EXPECT_EQ(info.rec.ni_yqss_networks, nullptr);
}

TEST(YnetdSecurityInfo, RefusalsAndMalformedAnswers) {
    {
        Pair p;
        p.answer(item("5"));
        Info info;
        int sock = p.lib;
        EXPECT_EQ(ynet_ynetd_get_security_info(&sock, 3, &info.rec, 5),
                  YN_STATUS_DESCRIPTOR_PASSING_FAILED);
        EXPECT_EQ(sock, -1);
        p.lib = -1;
    }
    {
        Pair p;
        p.answer(item("0") + item("master") + item("1556") + item("junk"));
        Info info;
        int sock = p.lib;
        EXPECT_EQ(ynet_ynetd_get_security_info(&sock, 3, &info.rec, 5),
                  YN_STATUS_INVALID_ARGUMENT);
        p.lib = -1;
    }
    {
        Pair p;
        p.answer(item("0") + item(">UNKNOWN<"));
        Info info;
        int sock = p.lib;
        EXPECT_EQ(ynet_ynetd_get_security_info(&sock, 3, &info.rec, 5),
                  YN_STATUS_INVALID_ARGUMENT);
        EXPECT_EQ(info.rec.ni_authorization_service, nullptr);
        p.lib = -1;
    }
    {
        // The daemon hangs up in the middle of the domains.
        Pair p;
        p.answer(item("0") + item("") + item("broker1") + item("13783"));
        ::shutdown(p.peer, SHUT_WR);
        Info info;
        int sock = p.lib;
        EXPECT_EQ(ynet_ynetd_get_security_info(&sock, 3, &info.rec, 5), YN_STATUS_READ_FAILED);
        EXPECT_EQ(info.rec.ni_authentication_domains, nullptr);
        p.lib = -1;
    }
    // Refused before anything is sent, and still the end of the
    // conversation: the socket is closed.
    for (int refused : {0, 1}) {
        Pair p;
        Info info;
        int sock = p.lib;
        if (refused == 0)
            EXPECT_EQ(ynet_ynetd_get_security_info(&sock, 2, &info.rec, 5),
                      YN_STATUS_VERSION_MISMATCH);
        else
            EXPECT_EQ(ynet_ynetd_get_security_info(&sock, 3, nullptr, 5),
                      YN_STATUS_INVALID_ARGUMENT);
        EXPECT_EQ(sock, -1);
        EXPECT_EQ(::fcntl(p.lib, F_GETFD), -1);
        p.lib = -1;
        EXPECT_EQ(p.sent(), "");
    }
}

TEST(YnetdSecurityInfo, RecordsThatCannotBeBuiltGive14AndLeakNothing) {
    long points = yqtest::for_each_alloc_failure([] {
        Pair p;
        p.answer(kFullAnswer);
        Info info;
        int sock = p.lib;
        int status = ynet_ynetd_get_security_info(&sock, 3, &info.rec, 5);
        if (status == 0) {
            EXPECT_EQ(sock, p.lib);
        } else {
            EXPECT_EQ(status, YN_STATUS_DESCRIPTOR_PASSING_FAILED);
            EXPECT_EQ(sock, -1);
            p.lib = -1;
        }
    });
    EXPECT_GE(points, 5);
}

}  // namespace
