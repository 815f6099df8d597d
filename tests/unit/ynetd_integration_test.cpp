// ynetd with real processes: the daemon, the example service and client, and
// the library's client side, over real sockets; wire bytes are checked with
// raw socket code. The program runs in a network namespace of its own
// (loopback only); the two-host test adds test hosts joined by a veth pair.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "crconf.h"
#include "ynet.h"
#include "yq_memory.h"
#include "yq_paths.h"
#include "yqtest.h"
#include "yqtest_netns.h"
#include "yqtest_resolv.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using yqtest::TestHost;
constexpr int kTimeout = 10;
const std::string kLogDir = YQ_PATH_LOG_DIR "/ynetd";

int millis_left(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// A program started on this host or on a test host, its standard output
// captured; killed and reaped when it goes out of scope.
class Process {
public:
    Process(const std::vector<std::string> &argv, const std::string &ready_text = "",
            const TestHost *host = nullptr) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || (pid_ = ::fork()) < 0) return;
        if (pid_ == 0) {
            std::vector<char *> args;
            for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
            args.push_back(nullptr);
            if ((host == nullptr || host->join()) && ::dup2(out[1], 1) == 1) ::execv(args[0], args.data());
            ::_exit(127);
        }
        ::close(out[1]);
        out_.reset(out[0]);
        ready_ = ready_text.empty() || wait_for(ready_text);
    }
    ~Process() {
        if (pid_ > 0) ::kill(pid_, SIGKILL);
        finish(0);
    }
    bool ready() const { return ready_; }
    pid_t pid() const { return pid_; }
    const std::string &output() const { return output_; }

    // Reads standard output until `text` arrives.
    bool wait_for(const std::string &text, int seconds = 20) {
        auto deadline = Clock::now() + std::chrono::seconds(seconds);
        while (output_.find(text) == std::string::npos)
            if (!read_some(deadline)) return false;
        return true;
    }
    // Reads the output to its end and reaps the program: its exit status,
    // or -1 after a signal or when it had to be killed at the deadline.
    int finish(int seconds = 60) {
        for (auto deadline = Clock::now() + std::chrono::seconds(seconds); read_some(deadline);) {
        }
        if (out_ && pid_ > 0) ::kill(pid_, SIGKILL);
        int status = -1;
        if (pid_ > 0) ::waitpid(std::exchange(pid_, -1), &status, 0);
        return WIFEXITED(status) && !out_ ? WEXITSTATUS(status) : -1;
    }
    int terminate() {
        if (pid_ > 0) ::kill(pid_, SIGTERM);
        return finish(20);
    }

private:
    bool read_some(Clock::time_point deadline) {
        pollfd p{out_.get(), POLLIN, 0};
        if (!out_ || ::poll(&p, 1, millis_left(deadline)) <= 0) return false;
        char buffer[4096];
        ssize_t n = ::read(out_.get(), buffer, sizeof buffer);
        if (n <= 0) out_.reset();
        if (n > 0) output_.append(buffer, static_cast<size_t>(n));
        return n > 0;
    }
    pid_t pid_ = -1;
    yq::unique_fd out_;
    std::string output_;
    bool ready_ = false;
};

std::vector<std::string> with(std::vector<std::string> a, const std::vector<std::string> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
struct Daemon : Process {
    explicit Daemon(const std::vector<std::string> &extra = {}, const TestHost *host = nullptr)
        : Process(with({YNETD_BIN, "--foreground", "--item-timeout=10"}, extra),
                  "ynetd: listening on port", host) {}
};
struct Service : Process {
    explicit Service(const std::string &name, const TestHost *host = nullptr,
                     const std::vector<std::string> &extra = {})
        : Process(with({ECHO_SERVICE_BIN, "--timeout", "10", "--name", name}, extra),
                  "registered service " + name, host) {}
};

// Empties the rendezvous directory and the logs of the tree under `root`.
void fresh_product_tree(const std::string &root = "") {
    const std::string rendezvous = root + YQ_PATH_YNETD_DIR;
    yqtest::remove_tree(rendezvous);
    yqtest::remove_tree(root + YQ_PATH_LOG_DIR);
    ::mkdir((root + YQ_PATH_CARROW_DIR).c_str(), 0755);
    ::mkdir(rendezvous.substr(0, rendezvous.rfind('/')).c_str(), 0755);
}

// The debug logs of one program (every day's file).
std::string debug_log(const std::string &dir) {
    std::string text;
    yq::unique_dir d(::opendir(dir.c_str()));
    while (dirent *e = d ? ::readdir(d.get()) : nullptr)
        if (std::strncmp(e->d_name, "log.", 4) == 0) text += yqtest::read_file(dir + "/" + e->d_name);
    return text;
}

// The first log line holding `needle`, once it has been written; "" when
// none has been by the deadline.
std::string wait_for_log_line(const std::string &dir, const std::string &needle,
                              std::chrono::seconds within = 10s) {
    for (auto deadline = Clock::now() + within;; std::this_thread::sleep_for(10ms)) {
        std::istringstream lines(debug_log(dir));
        for (std::string line; std::getline(lines, line);)
            if (line.find(needle) != std::string::npos) return line;
        if (Clock::now() > deadline) return "";
    }
}

sockaddr_in loopback(int port = YNETD_DEFAULT_PORT) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    return addr;
}

// A connection to the loopback daemon after the library's handshake.
struct Conversation {
    int sock = -1, version = -1, status = -1;
    explicit Conversation(int port = YNETD_DEFAULT_PORT) {
        sockaddr_in addr = loopback(port);
        status = ynet_connect_to_ynetd(&addr, 0, 0, nullptr, &sock, &version, kTimeout);
    }
    ~Conversation() {
        if (sock >= 0) ::close(sock);
    }
};

yq::unique_fd raw_connect() {
    yq::unique_fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr = loopback();
    if (::connect(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) fd.reset();
    return fd;
}

bool send_bytes(int fd, const std::string &bytes) {
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
}

// Everything the peer sends until it closes (or 5 silent seconds pass).
std::string read_to_end(int fd) {
    std::string text;
    char buffer[256];
    for (pollfd p{fd, POLLIN, 0}; ::poll(&p, 1, 5000) > 0;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

// Children of `pid` (zombies too), and a wait until it has none left.
int children_of(pid_t pid) {
    std::string list = yqtest::read_file("/proc/" + std::to_string(pid) + "/task/" +
                                         std::to_string(pid) + "/children");
    return static_cast<int>(std::count(list.begin(), list.end(), ' '));
}
bool children_gone(pid_t pid, int seconds = 30) {
    for (auto deadline = Clock::now() + std::chrono::seconds(seconds); children_of(pid) > 0;
         std::this_thread::sleep_for(20ms))
        if (Clock::now() > deadline) return false;
    return true;
}

class YnetdTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!yqtest::netns_unavailable().empty()) return;
        ASSERT_TRUE(yqtest::isolate_network());
        ASSERT_EQ(std::system("ip link set lo up"), 0);
        yqtest::write_hosts("127.0.0.1 localhost\n192.0.2.1 yqhosta\n192.0.2.2 yqhostb\n");
    }
    void SetUp() override {
        std::string why = yqtest::netns_unavailable();
        if (!why.empty()) GTEST_SKIP() << why;
        fresh_product_tree();
    }
};

TEST_F(YnetdTest, ClientOnOneHostReachesServiceOnAnotherAndIsCalledBack) {
    TestHost a("yqhosta", {}, true), b("yqhostb", {}, true);
    ASSERT_TRUE(a.started() && b.started() && yqtest::link(a, "yqa", b, "yqb")) << a.error();
    ASSERT_TRUE(a.sh("ip addr add 192.0.2.1/24 dev yqa && ip link set yqa up && ip link set lo up"));
    ASSERT_TRUE(b.sh("ip addr add 192.0.2.2/24 dev yqb && ip link set yqb up && ip link set lo up"));
    fresh_product_tree(a.root());
    fresh_product_tree(b.root());

    Daemon daemon_a({}, &a), daemon_b({}, &b);
    Service service("yqecho", &a);
    ASSERT_TRUE(daemon_a.ready() && daemon_b.ready() && service.ready()) << service.output();
    // The registration is in host A's tree only.
    EXPECT_NE(yqtest::read_file(a.root() + YQ_PATH_YNETD_DIR "/yqecho.txt").find("NAME= yqecho ;"),
              std::string::npos);
    EXPECT_FALSE(yqtest::exists(b.root() + YQ_PATH_YNETD_DIR "/yqecho.txt"));

    // The client checks every echo and the call back; its exit status says.
    Process client({ECHO_CLIENT_BIN, "--timeout", "10", "yqhosta", "one", "two words"}, "", &b);
    ASSERT_EQ(client.finish(), 0) << client.output() << "\nservice:\n" << service.output();
    ASSERT_TRUE(service.wait_for("client finished")) << service.output();
    // The connection went from B to A's daemon; the call back from A to B's
    // daemon, which handed it over after the hash check.
    const std::string both = client.output() + service.output();
    for (const char *needle : {"echo_client CONNECT FROM 192.0.2.2.", "TO 192.0.2.1.13724",
                               "yqecho ACCEPT FROM 192.0.2.2.", "received \"two words\"",
                               "connect-back CONNECT FROM 192.0.2.1.", "TO 192.0.2.2.13724"})
        EXPECT_NE(both.find(needle), std::string::npos) << needle << "\n" << both;
    for (const auto &[host, needle] :
         {std::pair{&a, "ynetd ACCEPT FROM 192.0.2.2."},
          {&a, "request 6 yqecho: connection handed to " YQ_PATH_YNETD_DIR "/yqecho.uds"},
          {&b, "ynetd ACCEPT FROM 192.0.2.1."},
          {&b, "request 3: connection handed to /tmp/"}})
        EXPECT_NE(wait_for_log_line(host->root() + kLogDir, needle), "")
            << needle << "\n" << debug_log(host->root() + kLogDir);

    // Stopping the service removes its registration; a client is then told so.
    EXPECT_EQ(service.terminate(), 0);
    Process late({ECHO_CLIENT_BIN, "--timeout", "5", "yqhosta"}, "", &b);
    EXPECT_EQ(late.finish(), 1);
    EXPECT_NE(late.output().find("request 6 failed: status 7"), std::string::npos) << late.output();
    EXPECT_EQ(daemon_a.terminate(), 0);
    EXPECT_EQ(daemon_b.terminate(), 0);
}

// Wire items: each text and its terminating 0 octet.
std::string items(std::initializer_list<std::string_view> list) {
    std::string bytes;
    for (std::string_view item : list) (bytes += item) += '\0';
    return bytes;
}

// Every answer of the daemon, byte for byte, and the log line it writes; text
// from the client is logged escaped, and every log line has its time stamp.
TEST_F(YnetdTest, RequestsAreAnsweredAndLoggedOneLineEach) {
    Daemon daemon({"--version-text", "6.0.2 test"});
    ASSERT_TRUE(daemon.ready()) << daemon.output();
    const std::string req = std::to_string(USE_YQSS_REQUIRED);
    const struct {
        const char *what;
        std::string sent, answered;
        const char *logged;
        const char *cw_conf = nullptr;  // installed with the configuration library
    } rows[] = {
        {"3 agreed, no-op, disconnect", items({"3", "3", "0", "1"}), items({"3", "0", "0"}),
         "handshake: protocol version 3"},
        {"5 offered, 3 answered", items({"5", "3", "1"}), items({"3", "0"}), nullptr},
        {"2 agreed, version text", items({"2", "2", "8", "1"}), items({"2", "6.0.2 test", "0"}),
         "request 8: version text \"6.0.2 test\""},
        {"0 offered", items({"0"}), items({"-1"}), "client offered version 0: refused"},
        {"another version echoed", items({"3", "2", "0"}), items({"3"}), "did not accept version 3"},
        {"8 needs version 2", items({"1", "1", "8"}), items({"1", "24"}),
         "request 8 refused (needs protocol version 2): status 24"},
        {"9 needs version 3", items({"2", "2", "9"}), items({"2", "24"}), nullptr},
        {"unknown code", items({"3", "3", "77"}), items({"3", "22"}),
         "request 77 refused (unknown request): status 22"},
        {"code 4", items({"3", "3", "4"}), items({"3", "22"}), nullptr},
        {"negative code", items({"3", "3", "-1"}), items({"3", "22"}), nullptr},
        {"no number", items({"3", "3", "six"}), items({"3", "22"}), nullptr},
        {"6 with a path", items({"3", "3", "6", "../x"}), items({"3", "22"}), "name \"../x\""},
        {"6 unregistered, newline in the name", items({"3", "3", "6", "bad\nFAKE LOG LINE"}),
         items({"3", "7"}), "request 6 bad\\nFAKE LOG LINE: service file "},
        {"2 to no listener, return in the path", items({"3", "3", "2", "/none\r\\.uds"}),
         items({"3", std::to_string(YN_STATUS_SOCKET_ERROR)}), "hand-over to /none\\r\\\\.uds failed"},
        {"9 without configuration, escape in a field", items({"3", "3", "9", "x\x1b[2J", "", "1"}),
         items({"3", "0", YNETD_UNKNOWN_FIELD, "0"}), "request 9: x\\x1b[2J"},
        {"9 from the configuration",
         items({"3", "3", "9", YNETD_FIELD_AUTHORIZATION_SERVICE, YNETD_FIELD_AUTHENTICATION_DOMAINS,
                YNETD_FIELD_YQSS_NETWORKS, "ni_other", "", "1"}),
         items({"3", "0", "azhost.example", "13722", "", "broker1.example", "13783", "CORP",
                "Corporate domain", "2", "broker2.example", "13784", "LAB", "", "4", "",
                "192.0.2.0/255.255.255.0", req, "", YNETD_UNKNOWN_FIELD, "0"}),
         nullptr,
         "AUTHORIZATION_SERVICE = azhost.example 13722\nYQSS_NETWORK = 192.0.2.0/255.255.255.0 "
         "REQUIRED\nAUTHENTICATION_DOMAIN = CORP \"Corporate domain\" 2 broker1.example 13783\n"
         "AUTHENTICATION_DOMAIN = LAB \"\" 4 broker2.example 13784\n"},
        {"9, host configured as none", items({"3", "3", "9", YNETD_FIELD_AUTHORIZATION_SERVICE,
                                              YNETD_FIELD_YQSS_NETWORKS, "", "1"}),
         items({"3", "0", "", "", "0"}), nullptr, "AUTHORIZATION_SERVICE = _NONE_ 0\n"},
        {"9, no such setting", items({"3", "3", "9", YNETD_FIELD_AUTHORIZATION_SERVICE, "", "1"}),
         items({"3", "0", YNETD_UNKNOWN_FIELD, "0"}), nullptr, "SERVER = yqlocal\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        if (row.cw_conf != nullptr) {
            ::mkdir(YQ_PATH_KELDA "/lib", 0755);
            yqtest::write_file(YQ_PATH_CRCONF_LIB, yqtest::read_file(YCRCONF_LIB), 0755);
            yqtest::write_file(YQ_PATH_CW_CONF, row.cw_conf);
        }
        yq::unique_fd sock = raw_connect();
        ASSERT_TRUE(send_bytes(sock.get(), row.sent));
        EXPECT_EQ(read_to_end(sock.get()), row.answered);
        if (row.logged != nullptr) {
            EXPECT_NE(wait_for_log_line(kLogDir, row.logged), "") << debug_log(kLogDir);
        }
    }
    std::istringstream lines(debug_log(kLogDir));
    for (std::string line; std::getline(lines, line);) {
        unsigned h, m, sec, ms;
        EXPECT_EQ(std::sscanf(line.c_str(), "%2u:%2u:%2u.%3u [", &h, &m, &sec, &ms), 4) << line;
        EXPECT_TRUE(std::none_of(line.begin(), line.end(), [](char c) { return std::iscntrl(c); }))
            << line;
    }
}

TEST_F(YnetdTest, ConfigurationFileAndCommandLine) {
    EXPECT_EQ(Process({YNETD_BIN, "--max-protocol=4"}).finish(), 2);
    std::string conf = yqtest::scratch_dir() + "/ynetd.conf";
    yqtest::write_file(conf, "# test settings\nPORT = 13999\nversion_text = \"9.9 from file\"\n"
                             "MAX-PROTOCOL = 2\n");
    {
        Daemon daemon({"--config", conf});
        ASSERT_TRUE(daemon.ready()) << daemon.output();
        Conversation c(13999);
        ASSERT_EQ(c.status, 0);
        EXPECT_EQ(c.version, 2);
        char text[64];
        ASSERT_EQ(ynet_version_get(0, 0, nullptr, nullptr, &c.sock, kTimeout, text, sizeof text), 0);
        EXPECT_STREQ(text, "9.9 from file");
    }
    Daemon other({"--port", "14001", "--config", conf});
    EXPECT_TRUE(other.wait_for("ynetd: listening on port 14001")) << other.output();
}

TEST_F(YnetdTest, ServiceRequestsFollowTheRegistration) {
    Daemon daemon;
    ASSERT_TRUE(daemon.ready());
    Service live("stale");
    ASSERT_TRUE(live.ready());
    pid_t dead = ::fork();
    if (dead == 0) ::_exit(0);
    ASSERT_EQ(::waitpid(dead, nullptr, 0), dead);
    std::string script = yqtest::scratch_dir() + "/greet.sh";
    yqtest::write_file(script, "#!/bin/sh\nread w\nprintf 'hello %s from %s\\0' \"$w\" \"$1\"\n", 0755);
    char arg0[] = "argument";
    char *args[] = {arg0, nullptr};
    ASSERT_EQ(ynet_ynetd_register_service("gone", dead, 0, YQ_PATH_YNETD_DIR "/gone.uds", nullptr,
                                          nullptr, nullptr), 0);
    ASSERT_EQ(ynet_ynetd_register_service("stale", live.pid(), 1, YQ_PATH_YNETD_DIR "/stale.uds",
                                          nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(ynet_ynetd_register_service("Greeter", 0, 0, nullptr, script.c_str(), nullptr, args), 0);
    ASSERT_EQ(ynet_ynetd_register_daemon_command("broken", "/nonexistent/program -x"), 0);
    for (const auto &[name, status] : {std::pair{"nosuch", YN_STATUS_SERVICE_NOT_FOUND},
                                       {"gone", YN_STATUS_SERVICE_NOT_FOUND},
                                       {"stale", YN_STATUS_SERVICE_NOT_FOUND},
                                       {"broken", YN_STATUS_CHILD_FAILED}}) {
        Conversation c;
        ASSERT_EQ(c.status, 0);
        EXPECT_EQ(ynet_ynetd_service_socket(&c.sock, c.version, name, kTimeout), status) << name;
    }
    // A command runs with the connection as its standard input and output.
    Conversation c;
    ASSERT_EQ(ynet_ynetd_service_socket(&c.sock, c.version, "GREETER", kTimeout), 0);
    ASSERT_TRUE(send_bytes(c.sock, "world\n"));
    EXPECT_EQ(read_to_end(c.sock), items({"hello world from argument"}));
}

// Listener side of a hand-over, raw: hash_str2 and the descriptor; confirms.
std::pair<std::string, yq::unique_fd> raw_receive(int listener) {
    yq::unique_fd conn(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    std::string hash;
    for (char c = 0; ::read(conn.get(), &c, 1) == 1 && c != '\0';) hash += c;
    char byte = 0;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    iovec iov{&byte, 1};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    int fd = -1;
    cmsghdr *cm = ::recvmsg(conn.get(), &msg, MSG_CMSG_CLOEXEC) == 1 ? CMSG_FIRSTHDR(&msg) : nullptr;
    if (cm != nullptr && cm->cmsg_type == SCM_RIGHTS) std::memcpy(&fd, CMSG_DATA(cm), sizeof fd);
    send_bytes(conn.get(), items({"0"}));
    return {hash, yq::unique_fd(fd)};
}

// Requests 2 and 3 seen from the listener: 3 gives every hand-over a fresh
// pair, so a hash_str2 read off the wire is worth nothing for the next one;
// 2 hands over without a hash, which a listener that checks refuses.
TEST_F(YnetdTest, EachHashedHandOverHasAFreshPairAndRequestTwoNone) {
    Daemon daemon;
    ASSERT_TRUE(daemon.ready());
    sockaddr_un addr{AF_UNIX, {}};
    std::string path = yqtest::scratch_dir() + "/raw.uds";
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    yq::unique_fd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener.get(), 4), 0);
    std::string hash1[2], hash2[2];
    for (int i = 0; i < 2; ++i) {
        Conversation c;
        ASSERT_EQ(c.status, 0);
        ASSERT_TRUE(send_bytes(c.sock, items({"3", path})));
        char hash[YNETD_HASH_SIZE] = "";
        ASSERT_EQ(ynet_pop_string(c.sock, hash, sizeof hash, kTimeout), 0);
        hash1[i] = hash;
        auto [seen, fd] = raw_receive(listener.get());
        hash2[i] = seen;
        ASSERT_TRUE(fd);
        EXPECT_EQ(verify_hashes(hash1[i].c_str(), hash2[i].c_str()), 1);
    }
    EXPECT_NE(hash2[0], hash2[1]);
    EXPECT_EQ(verify_hashes(hash1[1].c_str(), hash2[0].c_str()), 0);
    Conversation plain;
    ASSERT_TRUE(send_bytes(plain.sock, items({"2", path})));
    auto [seen, fd] = raw_receive(listener.get());
    EXPECT_EQ(seen, "");
    EXPECT_TRUE(fd);
}

// Descriptor numbers of a process (not targets: the log may move to a new day).
std::vector<std::string> open_descriptors(pid_t pid) {
    std::vector<std::string> fds;
    yq::unique_dir dir(::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str()));
    while (dirent *e = dir ? ::readdir(dir.get()) : nullptr)
        if (e->d_name[0] != '.') fds.push_back(e->d_name);
    std::sort(fds.begin(), fds.end());
    return fds;
}

// One good client: handshake, request 6, one echo, the end.
int good_client(int index) {
    Conversation c;
    std::string text = "client " + std::to_string(index);
    char echo[64];
    int status = -1;
    if (c.status != 0 || ynet_ynetd_service_socket(&c.sock, c.version, "loadecho", 30) != 0) return 1;
    if (ynet_push_string(c.sock, text.c_str(), 30) != 0 ||
        ynet_pop_string(c.sock, echo, sizeof echo, 30) != 0 || text != echo)
        return 2;
    return ynet_push_string(c.sock, "", 30) == 0 && ynet_pop_status(c.sock, &status, 30) == 0 &&
                   status == 0 ? 0 : 3;
}

TEST_F(YnetdTest, ManyClientsAtOnceWhileOthersStallOrSendGarbage) {
    // Stalled clients must still be stalled when the good ones are done.
    Daemon daemon({"--item-timeout=60"});
    ASSERT_TRUE(daemon.ready());
    Service service("loadecho", nullptr, {"--quiet"});
    ASSERT_TRUE(service.ready());
    ASSERT_TRUE(children_gone(daemon.pid()));
    const std::vector<std::string> baseline = open_descriptors(daemon.pid());

    // Silent, half a number, half a request, a number too long, no text.
    std::vector<yq::unique_fd> hostile;
    for (const std::string &bytes : {std::string(), std::string("3"), items({"3", "3", "6"}) + "lo",
                                     std::string(300, '7'), std::string("\xff\xfe\x01\x00\x80", 5)}) {
        hostile.push_back(raw_connect());
        ASSERT_TRUE(hostile.back() && send_bytes(hostile.back().get(), bytes));
    }
    // 200 clients released together.
    int gate[2];
    ASSERT_EQ(::pipe2(gate, O_CLOEXEC), 0);
    std::vector<pid_t> clients;
    for (int i = 0; i < 200; ++i) {
        pid_t pid = ::fork();
        if (pid == 0) {
            char byte;
            ::close(gate[1]);
            ::_exit(::read(gate[0], &byte, 1) == 0 ? good_client(i) : 9);
        }
        clients.push_back(pid);
    }
    ::close(gate[0]);
    ::close(gate[1]);
    for (pid_t pid : clients) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << pid << ": " << status;
    }
    // The silent client still holds its conversation; when the hostile ones
    // go, so do the children serving them, and nothing is left behind.
    EXPECT_GE(children_of(daemon.pid()), 1);
    hostile.clear();
    EXPECT_TRUE(children_gone(daemon.pid()));
    EXPECT_EQ(open_descriptors(daemon.pid()), baseline);
    EXPECT_TRUE(children_gone(service.pid()));
    EXPECT_EQ(service.terminate(), 0);
    EXPECT_EQ(daemon.terminate(), 0);
}

TEST_F(YnetdTest, DetachesAndOnTermEndsRunningConversations) {
    std::string pid_file = yqtest::scratch_dir() + "/ynetd.pid";
    // The starting process returns once the daemon listens.
    ASSERT_EQ(Process({YNETD_BIN, "--pid-file", pid_file}).finish(), 0);
    pid_t pid = static_cast<pid_t>(std::atoi(yqtest::read_file(pid_file).c_str()));
    ASSERT_GT(pid, 0);
    std::unique_ptr<pid_t, void (*)(pid_t *)> guard(&pid, [](pid_t *p) { ::kill(*p, SIGKILL); });
    Conversation idle;
    ASSERT_EQ(ynet_ynetd_noop(&idle.sock, idle.version, kTimeout), 0);
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    EXPECT_EQ(read_to_end(idle.sock), "");
    EXPECT_NE(wait_for_log_line(kLogDir, "stopping: 1 conversation(s) still running"), "");
    EXPECT_NE(wait_for_log_line(kLogDir, "main: stopped"), "");
    for (auto deadline = Clock::now() + 10s; yqtest::exists(pid_file) && Clock::now() < deadline;)
        std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(yqtest::exists(pid_file));
}

}  // namespace
