// ynetd with real processes: the daemon, the example service and client, and
// the library's client side of every request, over real sockets.
//
// The whole program runs in a network namespace of its own (loopback only),
// so the daemon's well-known port never meets the machine's. The client and
// service test adds two test hosts: processes in their own network, mount and
// UTS namespaces, joined by a veth pair with TEST-NET-1 addresses, each with
// a fresh product tree.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "crconf.h"
#include "yqtest.h"
#include "yqtest_netns.h"
#include "ynet.h"

namespace {

using namespace std::chrono_literals;

constexpr int kPort = YNETD_DEFAULT_PORT;
constexpr int kTimeout = 10;

// ---------------------------------------------------------------- processes

// A started program: its pid and, when captured, the read end of its
// standard output. Killed and reaped when it goes out of scope.
class Process {
public:
    Process() = default;
    Process(const std::vector<std::string> &argv, pid_t ns_holder = -1) { start(argv, ns_holder); }
    ~Process() { kill(); }
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    void start(const std::vector<std::string> &argv, pid_t ns_holder = -1) {
        int out[2];
        ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
        pid_t parent = ::getpid();
        pid_ = ::fork();
        ASSERT_GE(pid_, 0);
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) ::_exit(120);
            if (ns_holder > 0 && !enter_namespaces(ns_holder)) ::_exit(121);
            ::dup2(out[1], 1);
            std::vector<char *> args;
            for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
            args.push_back(nullptr);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        ::close(out[1]);
        out_ = out[0];
    }

    static bool enter_namespaces(pid_t holder) {
        // The mount namespace last: the /proc paths are read before it.
        for (const char *ns : {"net", "uts", "mnt"}) {
            std::string path = "/proc/" + std::to_string(holder) + "/ns/" + ns;
            int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0 || ::setns(fd, 0) != 0) return false;
            ::close(fd);
        }
        return ::chdir("/") == 0;
    }

    pid_t pid() const { return pid_; }

    // Reads standard output until a line containing `text` arrives; the
    // output read so far is kept in output().
    bool wait_for(const std::string &text, int seconds = 20) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (output_.find(text) == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !read_some(static_cast<int>(left.count()))) return false;
        }
        return true;
    }

    // Everything the program writes until it exits, and its exit status.
    int finish(int seconds = 60) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !read_some(static_cast<int>(left.count()))) break;
        }
        return wait_exit(seconds);
    }

    // SIGTERM and the exit status (-1 when it had to be killed).
    int terminate(int seconds = 20) {
        if (pid_ <= 0) return -1;
        ::kill(pid_, SIGTERM);
        return wait_exit(seconds);
    }

    const std::string &output() const { return output_; }

private:
    bool read_some(int millis) {
        if (out_ < 0) return false;
        pollfd p{out_, POLLIN, 0};
        if (::poll(&p, 1, millis) <= 0) return false;
        char buffer[4096];
        ssize_t n = ::read(out_, buffer, sizeof buffer);
        if (n <= 0) {
            ::close(out_);
            out_ = -1;
            return false;
        }
        output_.append(buffer, static_cast<size_t>(n));
        return true;
    }

    int wait_exit(int seconds) {
        if (pid_ <= 0) return -1;
        for (int i = 0; i < seconds * 50; ++i) {
            int status = 0;
            pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                if (out_ >= 0) {
                    while (read_some(0)) {
                    }
                }
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(20ms);
        }
        kill();
        return -1;
    }

    void kill() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
        }
        if (out_ >= 0) {
            ::close(out_);
            out_ = -1;
        }
    }

    pid_t pid_ = -1;
    int out_ = -1;
    std::string output_;
};

// Runs a program to its end; true when it exits 0.
bool run(const std::vector<std::string> &argv, pid_t ns_holder = -1) {
    Process p(argv, ns_holder);
    return p.finish(30) == 0;
}

void bring_loopback_up() {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    ifreq req{};
    std::strcpy(req.ifr_name, "lo");
    ASSERT_EQ(::ioctl(fd, SIOCGIFFLAGS, &req), 0);
    req.ifr_flags = static_cast<short>(req.ifr_flags | IFF_UP);
    ASSERT_EQ(::ioctl(fd, SIOCSIFFLAGS, &req), 0);
    ::close(fd);
}

// Children of `pid`, zombies included.
std::vector<pid_t> children_of(pid_t pid) {
    std::vector<pid_t> found;
    DIR *dir = ::opendir("/proc");
    if (dir == nullptr) return found;
    while (dirent *e = ::readdir(dir)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        std::string stat = yqtest::read_file(std::string("/proc/") + e->d_name + "/stat");
        size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        char state = 0;
        int ppid = 0;
        if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == pid)
            found.push_back(static_cast<pid_t>(std::atoi(e->d_name)));
    }
    ::closedir(dir);
    return found;
}

// Descriptor numbers (not targets: the debug log may move to a new day's file).
std::vector<std::string> open_descriptors(pid_t pid) {
    std::vector<std::string> fds;
    std::string dir_path = "/proc/" + std::to_string(pid) + "/fd";
    DIR *dir = ::opendir(dir_path.c_str());
    if (dir == nullptr) return fds;
    while (dirent *e = ::readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        fds.push_back(e->d_name);
    }
    ::closedir(dir);
    std::sort(fds.begin(), fds.end());
    return fds;
}

// Waits until `pid` has no children left; false after `seconds`.
bool children_gone(pid_t pid, int seconds) {
    for (int i = 0; i < seconds * 20; ++i) {
        if (children_of(pid).empty()) return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

// ---------------------------------------------------------------- the product

std::string daemon_path() { return YNETD_BIN; }

// A fresh product tree: the rendezvous directory's parent and the version
// cache exist, nothing else.
void fresh_product_tree(const std::string &root = "") {
    yqtest::remove_tree(root + "/usr/kelda/var");
    yqtest::remove_tree(root + "/usr/kelda/carrow");
    ::mkdir((root + "/usr/kelda/var").c_str(), 0755);
    ::mkdir((root + "/usr/kelda/carrow").c_str(), 0755);
    ::mkdir((root + "/usr/kelda/carrow/remote_versions").c_str(), 0755);
}

void install_crconf(const std::string &cw_conf) {
    ::mkdir("/usr/kelda/lib", 0755);
    yqtest::write_file("/usr/kelda/lib/libYcrconf.so", yqtest::read_file(YCRCONF_LIB), 0755);
    yqtest::write_file("/usr/kelda/carrow/cw.conf", cw_conf);
    // A later rewrite in the same second must still count as a change.
    static time_t stamp = std::time(nullptr);
    stamp += 2;
    timespec times[2] = {{stamp, 0}, {stamp, 0}};
    ::utimensat(AT_FDCWD, "/usr/kelda/carrow/cw.conf", times, 0);
}

std::string debug_log(const std::string &root, const std::string &program) {
    std::string dir = root + "/usr/kelda/carrow/logs/" + program;
    std::string text;
    DIR *d = ::opendir(dir.c_str());
    if (d == nullptr) return text;
    while (dirent *e = ::readdir(d))
        if (std::strncmp(e->d_name, "log.", 4) == 0) text += yqtest::read_file(dir + "/" + e->d_name);
    ::closedir(d);
    return text;
}

class Daemon : public Process {
public:
    explicit Daemon(std::vector<std::string> extra = {}, pid_t ns_holder = -1) {
        std::vector<std::string> argv = {daemon_path(), "--foreground",
                                         "--item-timeout=" + std::to_string(kTimeout)};
        argv.insert(argv.end(), extra.begin(), extra.end());
        start(argv, ns_holder);
        ready_ = wait_for("ynetd: listening on port");
    }
    bool ready() const { return ready_; }

private:
    bool ready_ = false;
};

class Service : public Process {
public:
    explicit Service(const std::string &name, pid_t ns_holder = -1, bool quiet = false) {
        std::vector<std::string> argv = {ECHO_SERVICE_BIN, "--name", name, "--timeout",
                                         std::to_string(kTimeout)};
        if (quiet) argv.push_back("--quiet");
        start(argv, ns_holder);
        ready_ = wait_for("registered service " + name);
    }
    bool ready() const { return ready_; }

private:
    bool ready_ = false;
};

sockaddr_in loopback_daemon(int port = kPort) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    return addr;
}

// A connection to the loopback daemon after the handshake.
struct Conversation {
    int sock = -1;
    int version = -1;
    int status = -1;
    Conversation() {
        sockaddr_in addr = loopback_daemon();
        status = ynet_connect_to_ynetd(&addr, 0, 0, nullptr, &sock, &version, kTimeout);
    }
    ~Conversation() {
        if (sock >= 0) ::close(sock);
    }
};

int raw_connect() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = loopback_daemon();
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool send_bytes(int fd, const std::string &bytes) {
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
}

// Everything the peer sends until it closes (or 5 seconds pass).
std::string read_to_end(int fd) {
    std::string text;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0) break;
        char buffer[256];
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

class Environment : public ::testing::Environment {
public:
    void SetUp() override {
        std::string why = yqtest::netns_unavailable();
        if (!why.empty()) GTEST_SKIP() << why;
        ASSERT_TRUE(yqtest::isolate_network());
        bring_loopback_up();
        // Test host names, visible in every namespace of this sandbox.
        std::string hosts = yqtest::read_file("/etc/hosts");
        hosts += "\n127.0.0.1 yqlocal\n192.0.2.1 yqhosta\n192.0.2.2 yqhostb\n";
        yqtest::write_file("/etc/hosts", hosts);
        fresh_product_tree();
    }
};
::testing::Environment *const environment = ::testing::AddGlobalTestEnvironment(new Environment);

class YnetdTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!yqtest::netns_unavailable().empty()) GTEST_SKIP() << "no network namespaces";
        fresh_product_tree();
    }
};

// ---------------------------------------------------------------- two hosts

std::string ip_program() {
    for (const char *p : {"/sbin/ip", "/usr/sbin/ip", "/bin/ip", "/usr/bin/ip"})
        if (::access(p, X_OK) == 0) return p;
    return "ip";
}

// A test host: a process holding fresh network, UTS and mount namespaces,
// with its own tmpfs product tree. Programs join its namespaces to run "on" it.
class Host {
public:
    Host(const std::string &name, const std::string &address, const std::string &link)
        : name_(name), address_(address), link_(link) {
        int ready[2];
        if (::pipe2(ready, O_CLOEXEC) != 0) return;
        pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) ::_exit(1);
            bool ok = ::unshare(CLONE_NEWNET | CLONE_NEWNS | CLONE_NEWUTS) == 0 &&
                      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                      ::mount("yqhost", "/usr/kelda", "tmpfs", 0, "mode=0755") == 0 &&
                      ::sethostname(name.c_str(), name.size()) == 0;
            if (ok) fresh_product_tree();
            char byte = ok ? 'R' : 'E';
            (void)!::write(ready[1], &byte, 1);
            for (;;) ::pause();
        }
        ::close(ready[1]);
        char byte = 0;
        started_ = pid_ > 0 && ::read(ready[0], &byte, 1) == 1 && byte == 'R';
        ::close(ready[0]);
    }
    ~Host() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Host(const Host &) = delete;
    Host &operator=(const Host &) = delete;

    bool started() const { return started_; }
    pid_t pid() const { return pid_; }
    // The host's files, seen from outside.
    std::string root() const { return "/proc/" + std::to_string(pid_) + "/root"; }

    bool configure(const std::string &ip) {
        return run({ip, "addr", "add", address_ + "/24", "dev", link_}, pid_) &&
               run({ip, "link", "set", link_, "up"}, pid_) &&
               run({ip, "link", "set", "lo", "up"}, pid_);
    }

private:
    std::string name_, address_, link_;
    pid_t pid_ = -1;
    bool started_ = false;
};

std::vector<std::string> lines_with(const std::string &text, const std::string &marker) {
    std::vector<std::string> found;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        size_t at = line.find(marker);
        if (at != std::string::npos) found.push_back(line.substr(at + marker.size()));
        pos = end + 1;
    }
    return found;
}

TEST_F(YnetdTest, ClientOnOneHostReachesServiceOnAnotherAndIsCalledBack) {
    const std::string ip = ip_program();
    Host a("yqhosta", "192.0.2.1", "yqa");
    Host b("yqhostb", "192.0.2.2", "yqb");
    ASSERT_TRUE(a.started() && b.started());
    ASSERT_TRUE(run({ip, "link", "add", "yqa", "type", "veth", "peer", "name", "yqb"}));
    ASSERT_TRUE(run({ip, "link", "set", "yqa", "netns", std::to_string(a.pid())}));
    ASSERT_TRUE(run({ip, "link", "set", "yqb", "netns", std::to_string(b.pid())}));
    ASSERT_TRUE(a.configure(ip) && b.configure(ip));

    Daemon daemon_a({}, a.pid());
    Daemon daemon_b({}, b.pid());
    ASSERT_TRUE(daemon_a.ready()) << daemon_a.output();
    ASSERT_TRUE(daemon_b.ready()) << daemon_b.output();
    Service service("yqecho", a.pid());
    ASSERT_TRUE(service.ready()) << service.output();
    // The registration is in host A's tree only.
    EXPECT_NE(yqtest::read_file(a.root() + "/usr/kelda/var/ynetd/yqecho.txt").find("NAME= yqecho ;"),
              std::string::npos);
    EXPECT_FALSE(yqtest::exists(b.root() + "/usr/kelda/var/ynetd/yqecho.txt"));

    const std::vector<std::string> texts = {"first item", "second, with \"quotes\"", "3"};
    std::vector<std::string> argv = {ECHO_CLIENT_BIN, "--timeout", std::to_string(kTimeout),
                                     "yqhosta"};
    argv.insert(argv.end(), texts.begin(), texts.end());
    Process client(argv, b.pid());
    int rc = client.finish();
    ASSERT_EQ(rc, 0) << client.output() << "\nservice:\n" << service.output();

    // Both ends saw the same texts, in order.
    std::vector<std::string> sent = lines_with(client.output(), "echo_client: sent ");
    ASSERT_EQ(sent.size(), texts.size());
    for (size_t i = 0; i < texts.size(); ++i)
        EXPECT_EQ(sent[i], "\"" + texts[i] + "\", received \"" + texts[i] + "\"");
    ASSERT_TRUE(service.wait_for("client finished")) << service.output();
    std::vector<std::string> received = lines_with(service.output(), "]: received ");
    ASSERT_EQ(received.size(), texts.size());
    for (size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(received[i], "\"" + texts[i] + "\"");

    // The connection came from host B to A's daemon; the call back went from
    // A to B's daemon and arrived after the hash check.
    EXPECT_NE(client.output().find("echo_client CONNECT FROM 192.0.2.2."), std::string::npos);
    EXPECT_NE(client.output().find("TO 192.0.2.1.13724"), std::string::npos);
    EXPECT_NE(service.output().find("yqecho ACCEPT FROM 192.0.2.2."), std::string::npos);
    EXPECT_NE(service.output().find("connect-back CONNECT FROM 192.0.2.1."), std::string::npos);
    EXPECT_NE(service.output().find("TO 192.0.2.2.13724"), std::string::npos);
    EXPECT_NE(service.output().find("client answered \"thanks\""), std::string::npos);
    EXPECT_NE(client.output().find("service says \"hello over the connect-back connection\""),
              std::string::npos);

    std::string log_a = debug_log(a.root(), "ynetd");
    std::string log_b = debug_log(b.root(), "ynetd");
    EXPECT_NE(log_a.find("ynetd ACCEPT FROM 192.0.2.2."), std::string::npos) << log_a;
    EXPECT_NE(log_a.find("request 6 yqecho: connection handed to /usr/kelda/var/ynetd/yqecho.uds"),
              std::string::npos)
        << log_a;
    EXPECT_NE(log_b.find("ynetd ACCEPT FROM 192.0.2.1."), std::string::npos) << log_b;
    EXPECT_NE(log_b.find("request 3: connection handed to /tmp/"), std::string::npos) << log_b;

    // Stopping the service removes its registration; a client is then told so.
    EXPECT_EQ(service.terminate(), 0);
    Process late({ECHO_CLIENT_BIN, "--timeout", "5", "yqhosta"}, b.pid());
    EXPECT_EQ(late.finish(), 1);
    EXPECT_NE(late.output().find("request 6 failed: status 7"), std::string::npos)
        << late.output();
    EXPECT_EQ(daemon_a.terminate(), 0);
    EXPECT_EQ(daemon_b.terminate(), 0);
}

// ---------------------------------------------------------------- one host

TEST_F(YnetdTest, HandshakeAndSmallRequests) {
    Daemon daemon({"--version-text", "6.0.2 test"});
    ASSERT_TRUE(daemon.ready()) << daemon.output();

    Conversation c;
    ASSERT_EQ(c.status, 0);
    EXPECT_EQ(c.version, 3);
    EXPECT_EQ(ynet_ynetd_noop(&c.sock, c.version, kTimeout), 0);
    char text[1024];
    ASSERT_EQ(ynet_version_get(0, 0, nullptr, nullptr, &c.sock, kTimeout, text, sizeof text), 0);
    EXPECT_STREQ(text, "6.0.2 test");
    EXPECT_EQ(ynet_ynetd_noop(&c.sock, c.version, kTimeout), 0);
    EXPECT_EQ(ynet_ynetd_disconnect(&c.sock, c.version, kTimeout), 0);
    EXPECT_EQ(c.sock, -1);

    // A client that speaks only version 2 is answered 2; one that offers 0
    // is refused with -1 and hears nothing more.
    int sock = raw_connect();
    ASSERT_GE(sock, 0);
    ASSERT_TRUE(send_bytes(sock, std::string("2\0", 2)));
    long answer = 0;
    ASSERT_EQ(ynet_pop_signed(sock, &answer, kTimeout), 0);
    EXPECT_EQ(answer, 2);
    ASSERT_TRUE(send_bytes(sock, std::string("2\0" "9\0", 4)));
    int status = -1;
    EXPECT_EQ(ynet_pop_status(sock, &status, kTimeout), 0);
    EXPECT_EQ(status, YN_STATUS_VERSION_MISMATCH);  // request 9 needs version 3
    EXPECT_EQ(read_to_end(sock), "");
    ::close(sock);

    sock = raw_connect();
    ASSERT_TRUE(send_bytes(sock, std::string("0\0", 2)));
    EXPECT_EQ(read_to_end(sock), std::string("-1\0", 3));
    ::close(sock);

    // Unknown codes and text that is no number get a status and the end of
    // the conversation.
    for (const std::string &request : {std::string("4\0", 2), std::string("77\0", 3),
                                       std::string("six\0", 4), std::string("-1\0", 3)}) {
        Conversation raw;
        ASSERT_EQ(raw.status, 0);
        ASSERT_TRUE(send_bytes(raw.sock, request));
        EXPECT_EQ(read_to_end(raw.sock), std::string("22\0", 3)) << request;
    }
    EXPECT_NE(debug_log("", "ynetd").find("request 77 refused (unknown request): status 22"),
              std::string::npos);
}

TEST_F(YnetdTest, HelpNamesEveryOption) {
    Process help({daemon_path(), "--help"});
    ASSERT_EQ(help.finish(), 0);
    for (const char *option : {"--port", "--config", "--foreground", "--version-text"})
        EXPECT_NE(help.output().find(option), std::string::npos) << option;
    Process bad({daemon_path(), "--max-protocol=4"});
    EXPECT_EQ(bad.finish(), 2);
}

TEST_F(YnetdTest, ConfigurationFileAndPortOption) {
    std::string conf = yqtest::scratch_dir() + "/ynetd.conf";
    yqtest::write_file(conf,
                       "# test settings\n"
                       "PORT = 13999\n"
                       "version_text = \"9.9.9 from file\"\n"
                       "MAX_PROTOCOL = 2\n");
    Daemon daemon({"--config", conf});
    ASSERT_TRUE(daemon.ready());
    EXPECT_NE(daemon.output().find("port 13999"), std::string::npos);
    sockaddr_in addr = loopback_daemon(13999);
    int sock = -1;
    int version = -1;
    ASSERT_EQ(ynet_connect_to_ynetd(&addr, 0, 0, nullptr, &sock, &version, kTimeout), 0);
    EXPECT_EQ(version, 2);
    char text[1024];
    ASSERT_EQ(ynet_version_get(0, 0, nullptr, nullptr, &sock, kTimeout, text, sizeof text), 0);
    EXPECT_STREQ(text, "9.9.9 from file");
    ynet_ynetd_disconnect(&sock, version, kTimeout);
    EXPECT_EQ(daemon.terminate(), 0);

    // The command line wins over the file.
    Daemon other({"--config", conf, "--port", "14001"});
    ASSERT_TRUE(other.ready());
    EXPECT_NE(other.output().find("port 14001"), std::string::npos);
}

TEST_F(YnetdTest, HostVersionIsAskedOnceAndCached) {
    const std::string cache = "/usr/kelda/carrow/remote_versions/yqlocal";
    sockaddr_in addr = loopback_daemon();
    {
        Daemon daemon({"--version-text", "7.2.1"});
        ASSERT_TRUE(daemon.ready());
        EXPECT_EQ(ynet_get_host_version("yqlocal", 0, 0, &addr, nullptr, 5, 1), 7);
        EXPECT_EQ(yqtest::read_file(cache), "7.2.1");
        EXPECT_EQ(daemon.terminate(), 0);
    }
    // The daemon is gone: the cached text answers.
    EXPECT_EQ(ynet_get_host_version("yqlocal", 0, 0, &addr, nullptr, 5, 0), 7);
    {
        // A refresh asks again; the host cannot be reached and 0 is
        // remembered. (The connect retries do not sleep here.)
        yqtest::SysGuard guard;
        yq::sys::table.sleep = [](unsigned) -> unsigned { return 0; };
        EXPECT_EQ(ynet_get_host_version("yqlocal", 0, 0, &addr, nullptr, 1, 1), 0);
        EXPECT_EQ(yqtest::read_file(cache), "0");
    }
    {
        // A daemon that speaks only version 1 has no version request.
        Daemon old({"--max-protocol", "1"});
        ASSERT_TRUE(old.ready());
        EXPECT_EQ(ynet_get_host_version("yqlocal", 0, 0, &addr, nullptr, 5, 1), 450000);
        EXPECT_EQ(yqtest::read_file(cache), "450000");
    }
}

TEST_F(YnetdTest, SecurityInformationComesFromTheDaemonsConfiguration) {
    install_crconf(
        "SERVER = yqlocal\n"
        "AUTHORIZATION_SERVICE = azhost.example 13722\n"
        "AUTHENTICATION_DOMAIN = CORP \"Corporate domain\" 2 broker1.example 13783\n"
        "AUTHENTICATION_DOMAIN = LAB \"\" 4 broker2.example 13784\n"
        "YQSS_NETWORK = 192.0.2.0/255.255.255.0 REQUIRED\n"
        "YQSS_NETWORK = legacy.example PROHIBITED\n");
    Daemon daemon;
    ASSERT_TRUE(daemon.ready());

    crconf_info_rec *info = static_cast<crconf_info_rec *>(std::calloc(1, sizeof *info));
    {
        Conversation c;
        ASSERT_EQ(c.status, 0);
        ASSERT_EQ(ynet_ynetd_get_security_info(&c.sock, c.version, info, kTimeout), 0);
        EXPECT_GE(c.sock, 0);
        EXPECT_EQ(ynet_ynetd_disconnect(&c.sock, c.version, kTimeout), 0);
    }
    ASSERT_NE(info->ni_authorization_service, nullptr);
    EXPECT_STREQ(info->ni_authorization_service->as_host, "azhost.example");
    EXPECT_EQ(info->ni_authorization_service->as_port, 13722);
    const crconf_authentication_domain_rec *d = info->ni_authentication_domains;
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d->ad_domain, "CORP");
    EXPECT_STREQ(d->ad_comment, "Corporate domain");
    EXPECT_EQ(d->ad_auth_type, 2);
    EXPECT_STREQ(d->ad_broker, "broker1.example");
    EXPECT_EQ(d->ad_port, 13783);
    ASSERT_NE(d->ad_next, nullptr);
    EXPECT_STREQ(d->ad_next->ad_domain, "LAB");
    EXPECT_STREQ(d->ad_next->ad_broker, "broker2.example");
    EXPECT_EQ(d->ad_next->ad_auth_type, 4);
    EXPECT_EQ(d->ad_next->ad_next, nullptr);
    const crconf_yqss_network_rec *n = info->ni_yqss_networks;
    ASSERT_NE(n, nullptr);
    EXPECT_STREQ(n->nw_network, "192.0.2.0/255.255.255.0");
    EXPECT_EQ(n->nw_use_yqss, USE_YQSS_REQUIRED);
    ASSERT_NE(n->nw_next, nullptr);
    EXPECT_STREQ(n->nw_next->nw_network, "legacy.example");
    EXPECT_EQ(n->nw_next->nw_use_yqss, USE_YQSS_PROHIBITED);
    crconf_free_info(&info);

    // "_NONE_" is a known absence: an empty answer, no record.
    install_crconf("AUTHORIZATION_SERVICE = _NONE_ 0\n");
    info = static_cast<crconf_info_rec *>(std::calloc(1, sizeof *info));
    {
        Conversation c;
        ASSERT_EQ(ynet_ynetd_get_security_info(&c.sock, c.version, info, kTimeout), 0);
        ynet_ynetd_disconnect(&c.sock, c.version, kTimeout);
    }
    EXPECT_EQ(info->ni_authorization_service, nullptr);
    EXPECT_EQ(info->ni_authentication_domains, nullptr);
    EXPECT_EQ(info->ni_yqss_networks, nullptr);
    crconf_free_info(&info);

    // No authorization service configured at all: the daemon does not know
    // it, and the query stops there with the socket closed.
    install_crconf("YQSS_NETWORK = 10.0.0.0/255.0.0.0 REQUIRED\n");
    info = static_cast<crconf_info_rec *>(std::calloc(1, sizeof *info));
    {
        Conversation c;
        EXPECT_EQ(ynet_ynetd_get_security_info(&c.sock, c.version, info, kTimeout),
                  YN_STATUS_INVALID_ARGUMENT);
        EXPECT_EQ(c.sock, -1);
    }
    EXPECT_EQ(info->ni_yqss_networks, nullptr);
    // With that field filled in locally, the rest is fetched.
    ASSERT_EQ(crconf_create_authorization_service("local.example", 1, &info->ni_authorization_service), 0);
    {
        Conversation c;
        EXPECT_EQ(ynet_ynetd_get_security_info(&c.sock, c.version, info, kTimeout), 0);
        ynet_ynetd_disconnect(&c.sock, c.version, kTimeout);
    }
    ASSERT_NE(info->ni_yqss_networks, nullptr);
    EXPECT_STREQ(info->ni_yqss_networks->nw_network, "10.0.0.0/255.0.0.0");
    crconf_free_info(&info);
    ::unlink("/usr/kelda/carrow/cw.conf");
    ::unlink("/usr/kelda/lib/libYcrconf.so");
}

// Listener side of a hand-over without the library: reads hash_str2 and the
// descriptor, confirms, and returns both.
struct RawHandOver {
    std::string hash_str2;
    int fd = -1;
};

RawHandOver raw_receive(int listener) {
    RawHandOver got;
    int conn = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn < 0) return got;
    char c = 1;
    while (::read(conn, &c, 1) == 1 && c != '\0') got.hash_str2 += c;
    char byte = 0;
    char control[CMSG_SPACE(sizeof(int))] = {};
    iovec iov{&byte, 1};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    if (::recvmsg(conn, &msg, MSG_CMSG_CLOEXEC) == 1) {
        cmsghdr *cm = CMSG_FIRSTHDR(&msg);
        if (cm != nullptr && cm->cmsg_type == SCM_RIGHTS) std::memcpy(&got.fd, CMSG_DATA(cm), sizeof got.fd);
    }
    send_bytes(conn, std::string("0\0", 2));
    ::close(conn);
    return got;
}

// Sends a hand-over as ynetd would, but with a hash of the sender's choosing.
int forge_hand_over(const std::string &path, const std::string &hash_str2, int fd) {
    int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    bool ok = ::connect(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
              send_bytes(s, hash_str2 + std::string(1, '\0'));
    if (ok) {
        char byte = 'F';
        char control[CMSG_SPACE(sizeof(int))] = {};
        iovec iov{&byte, 1};
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
        ok = ::sendmsg(s, &msg, MSG_NOSIGNAL) == 1;
    }
    // Kept open until the listener has read it; the caller closes it.
    return ok ? s : (::close(s), -1);
}

// Request 3 by hand: the code and the path; the answer is hash_str1.
std::string ask_hashed_hand_over(Conversation &c, const std::string &path) {
    char hash[YNETD_HASH_SIZE] = "";
    EXPECT_EQ(ynet_push_unsigned(c.sock, YNETD_REQUEST_DAEMON_SOCKET_HASH, kTimeout), 0);
    EXPECT_EQ(ynet_push_string(c.sock, path.c_str(), kTimeout), 0);
    EXPECT_EQ(ynet_pop_string(c.sock, hash, sizeof hash, kTimeout), 0);
    return hash;
}

TEST_F(YnetdTest, ConnectBackHashesRefuseForgedAndReplayedHandOvers) {
    Daemon daemon;
    ASSERT_TRUE(daemon.ready());

    // A first, genuine hand-over read off the wire: the pair verifies and
    // its hash_str2 is now known to whoever watched.
    std::string raw_path = yqtest::scratch_dir() + "/raw.uds";
    int raw_listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un raw_addr{};
    raw_addr.sun_family = AF_UNIX;
    std::strncpy(raw_addr.sun_path, raw_path.c_str(), sizeof raw_addr.sun_path - 1);
    ASSERT_EQ(::bind(raw_listener, reinterpret_cast<sockaddr *>(&raw_addr), sizeof raw_addr), 0);
    ASSERT_EQ(::listen(raw_listener, 4), 0);
    Conversation first;
    ASSERT_EQ(first.status, 0);
    std::string hash1_first = ask_hashed_hand_over(first, raw_path);
    RawHandOver captured = raw_receive(raw_listener);
    ASSERT_EQ(captured.hash_str2.size(), 32u);
    ASSERT_EQ(hash1_first.size(), 32u);
    EXPECT_EQ(verify_hashes(hash1_first.c_str(), captured.hash_str2.c_str()), 1);
    ASSERT_GE(captured.fd, 0);
    ::close(captured.fd);
    ::close(raw_listener);

    // The waiting process (side A).
    char path[YNETD_IPC_PATH_SIZE] = "";
    int listener = -1;
    ASSERT_EQ(ynet_listen_for_ynetd(path, sizeof path, 8, &listener, kTimeout), 0);

    // Four hand-overs arrive: the replayed hash, a request 2 for the same
    // path (ynetd hands over without a hash), a made-up hash, and the genuine
    // one. Whatever their order, only the genuine one is taken.
    int sp[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sp), 0);
    int replayed = forge_hand_over(path, captured.hash_str2, sp[0]);
    ASSERT_GE(replayed, 0);
    Conversation intruder;
    ASSERT_EQ(intruder.status, 0);
    ASSERT_EQ(ynet_push_unsigned(intruder.sock, YNETD_REQUEST_DAEMON_SOCKET, kTimeout), 0);
    ASSERT_EQ(ynet_push_string(intruder.sock, path, kTimeout), 0);
    int made_up = forge_hand_over(path, std::string(32, 'a'), sp[0]);
    ASSERT_GE(made_up, 0);
    Conversation genuine;
    ASSERT_EQ(genuine.status, 0);
    std::string hash1 = ask_hashed_hand_over(genuine, path);
    ASSERT_EQ(hash1.size(), 32u);

    int refused = 0;
    int taken = -1;
    for (int i = 0; i < 4; ++i) {
        int newsock = -1;
        int status = ynet_ynetd_accept_and_receive(listener, hash1.c_str(), &newsock, kTimeout);
        if (status == YN_STATUS_HASH_MISMATCH) {
            EXPECT_EQ(newsock, -1);
            ++refused;
        } else {
            // The listener survived every refusal before this one.
            ASSERT_EQ(status, 0);
            ASSERT_EQ(taken, -1);
            taken = newsock;
        }
    }
    EXPECT_EQ(refused, 3);
    ASSERT_GE(taken, 0);
    int status = -1;
    ASSERT_EQ(ynet_pop_status(genuine.sock, &status, kTimeout), 0);
    EXPECT_EQ(status, 0);
    ASSERT_EQ(ynet_push_string(genuine.sock, "over the handed connection", kTimeout), 0);
    char text[64];
    ASSERT_EQ(ynet_pop_string(taken, text, sizeof text, kTimeout), 0);
    EXPECT_STREQ(text, "over the handed connection");
    ::close(taken);
    ::close(replayed);
    ::close(made_up);

    // The intruder was told that its hand-over failed, and nothing more.
    std::string answer = read_to_end(intruder.sock);
    ASSERT_FALSE(answer.empty());
    EXPECT_NE(answer, std::string("0\0", 2));
    EXPECT_EQ(answer.back(), '\0');
    ::close(sp[0]);
    ::close(sp[1]);
    ::close(listener);
    ::unlink(path);
}

TEST_F(YnetdTest, ServiceRequestsFollowTheRegistration) {
    Daemon daemon;
    ASSERT_TRUE(daemon.ready());
    auto ask = [](const char *service) {
        Conversation c;
        EXPECT_EQ(c.status, 0);
        int status = ynet_ynetd_service_socket(&c.sock, c.version, service, kTimeout);
        return std::make_pair(status, c.sock >= 0 ? ::dup(c.sock) : -1);
    };

    // Not registered, a bad name: a status, the connection stays for it.
    auto [missing, s1] = ask("nosuch");
    EXPECT_EQ(missing, YN_STATUS_SERVICE_NOT_FOUND);
    ::close(s1);
    auto [bad, s2] = ask("../etc/x");
    EXPECT_EQ(bad, YN_STATUS_INVALID_ARGUMENT);
    ::close(s2);

    // A registration whose process is gone, or that is marked expired.
    pid_t dead = ::fork();
    if (dead == 0) ::_exit(0);
    ASSERT_GT(dead, 0);
    ::waitpid(dead, nullptr, 0);
    ASSERT_EQ(ynet_ynetd_register_service("gone", dead, 0, "/usr/kelda/var/ynetd/gone.uds",
                                          nullptr, nullptr, nullptr),
              0);
    auto [gone, s3] = ask("gone");
    EXPECT_EQ(gone, YN_STATUS_SERVICE_NOT_FOUND);
    ::close(s3);
    {
        Service live("stale");
        ASSERT_TRUE(live.ready());
        ASSERT_EQ(ynet_ynetd_register_service("stale", live.pid(), 1,
                                              "/usr/kelda/var/ynetd/stale.uds", nullptr, nullptr,
                                              nullptr),
                  0);
        auto [expired, s4] = ask("stale");
        EXPECT_EQ(expired, YN_STATUS_SERVICE_NOT_FOUND);
        ::close(s4);
    }

    // A registered command runs with the connection as its standard input
    // and output; its name is matched without regard to case.
    std::string script = yqtest::scratch_dir() + "/greet.sh";
    yqtest::write_file(script, "#!/bin/sh\nread word\nprintf 'hello %s from %s\\0' \"$word\" \"$1\"\n",
                       0755);
    char arg0[] = "argument";
    char *args[] = {arg0, nullptr};
    ASSERT_EQ(ynet_ynetd_register_service("Greeter", 0, 0, nullptr, script.c_str(), nullptr, args),
              0);
    auto [started, s5] = ask("GREETER");
    ASSERT_EQ(started, 0);
    ASSERT_TRUE(send_bytes(s5, "world\n"));
    EXPECT_EQ(read_to_end(s5), std::string("hello world from argument\0", 26));
    ::close(s5);

    // A command that cannot run is refused before anything else is said.
    ASSERT_EQ(ynet_ynetd_register_daemon_command("broken", "/nonexistent/program -x"), 0);
    auto [broken, s6] = ask("broken");
    EXPECT_EQ(broken, YN_STATUS_CHILD_FAILED);
    ::close(s6);
}

// ---------------------------------------------------------------- load

// One good client: handshake, request 6, one echo, the end.
int good_client(int index) {
    sockaddr_in addr = loopback_daemon();
    int sock = -1;
    int version = -1;
    if (ynet_connect_to_ynetd(&addr, 0, 0, nullptr, &sock, &version, 30) != 0) return 1;
    if (ynet_ynetd_service_socket(&sock, version, "loadecho", 30) != 0) return 2;
    std::string text = "client " + std::to_string(index);
    char echo[64];
    if (ynet_push_string(sock, text.c_str(), 30) != 0) return 3;
    if (ynet_pop_string(sock, echo, sizeof echo, 30) != 0 || text != echo) return 4;
    int status = -1;
    if (ynet_push_string(sock, "", 30) != 0 || ynet_pop_status(sock, &status, 30) != 0 ||
        status != 0)
        return 5;
    ::close(sock);
    return 0;
}

TEST_F(YnetdTest, ManyClientsAtOnceWhileOthersStallOrSendGarbage) {
    // Stalled clients must still be stalled when the good ones are done.
    Daemon daemon({"--item-timeout=60"});
    ASSERT_TRUE(daemon.ready());
    Service service("loadecho", -1, true);
    ASSERT_TRUE(service.ready());
    // Let the daemon settle, then take its descriptors as the baseline.
    ASSERT_TRUE(children_gone(daemon.pid(), 10));
    std::vector<std::string> baseline = open_descriptors(daemon.pid());

    // The hostile ones first: silent, half a number, half a request, a
    // number too long to be one, bytes that are no text.
    std::vector<int> hostile;
    hostile.push_back(raw_connect());
    hostile.push_back(raw_connect());
    send_bytes(hostile.back(), "3");
    hostile.push_back(raw_connect());
    send_bytes(hostile.back(), std::string("3\0" "3\0" "6\0" "loadec", 12));
    hostile.push_back(raw_connect());
    send_bytes(hostile.back(), std::string(300, '7'));
    hostile.push_back(raw_connect());
    send_bytes(hostile.back(), std::string("\xff\xfe\x01\x00\x80\x00", 6));
    for (int fd : hostile) ASSERT_GE(fd, 0);

    // 200 clients released together.
    constexpr int kClients = 200;
    int gate[2];
    ASSERT_EQ(::pipe2(gate, O_CLOEXEC), 0);
    std::vector<pid_t> clients;
    for (int i = 0; i < kClients; ++i) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(gate[1]);
            char byte;
            (void)!::read(gate[0], &byte, 1);
            ::_exit(good_client(i));
        }
        clients.push_back(pid);
    }
    ::close(gate[0]);
    ::close(gate[1]);
    int failed = 0;
    for (pid_t pid : clients) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            ++failed;
            ADD_FAILURE() << "client " << pid << " status " << status;
        }
    }
    EXPECT_EQ(failed, 0);

    // The silent client still holds its conversation (its first item may
    // take the whole item time-out); when the hostile clients go, so do the
    // children serving them, and nothing is left behind.
    EXPECT_GE(children_of(daemon.pid()).size(), 1u);
    for (int fd : hostile) ::close(fd);
    EXPECT_TRUE(children_gone(daemon.pid(), 30));
    EXPECT_EQ(open_descriptors(daemon.pid()), baseline);
    EXPECT_TRUE(children_gone(service.pid(), 30));
    EXPECT_EQ(service.terminate(), 0);
    EXPECT_EQ(daemon.terminate(), 0);
}

TEST_F(YnetdTest, DetachesAsADaemonAndStopsOnTerm) {
    std::string pid_file = yqtest::scratch_dir() + "/ynetd.pid";
    Process starter({daemon_path(), "--pid-file", pid_file});
    // The starting process returns once the daemon listens.
    ASSERT_EQ(starter.finish(), 0);
    pid_t pid = static_cast<pid_t>(std::atoi(yqtest::read_file(pid_file).c_str()));
    ASSERT_GT(pid, 0);
    EXPECT_NE(pid, starter.pid());
    // Not this test's child: make sure it goes even when a check fails.
    std::unique_ptr<pid_t, void (*)(pid_t *)> guard(&pid, [](pid_t *p) { ::kill(*p, SIGKILL); });
    Conversation c;
    ASSERT_EQ(c.status, 0);
    EXPECT_EQ(ynet_ynetd_disconnect(&c.sock, c.version, kTimeout), 0);
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    bool gone = false;
    for (int i = 0; i < 1000 && !gone; ++i) {
        std::string stat = yqtest::read_file("/proc/" + std::to_string(pid) + "/stat");
        size_t close = stat.rfind(')');
        gone = close == std::string::npos || stat.compare(close + 1, 3, " Z ") == 0;
        if (!gone) std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(gone);
    EXPECT_FALSE(yqtest::exists(pid_file));
}

TEST_F(YnetdTest, TerminationEndsRunningConversations) {
    Daemon daemon;
    ASSERT_TRUE(daemon.ready());
    Conversation idle;
    ASSERT_EQ(idle.status, 0);
    ASSERT_EQ(ynet_ynetd_noop(&idle.sock, idle.version, kTimeout), 0);
    ASSERT_EQ(children_of(daemon.pid()).size(), 1u);
    pid_t pid = daemon.pid();
    EXPECT_EQ(daemon.terminate(), 0);
    EXPECT_TRUE(children_of(pid).empty());
    EXPECT_EQ(read_to_end(idle.sock), "");
    EXPECT_NE(debug_log("", "ynetd").find("stopping: 1 conversation(s) still running"),
              std::string::npos);
}

}  // namespace
