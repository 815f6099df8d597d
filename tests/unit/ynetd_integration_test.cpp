// ynetd as real processes in a network namespace of the program's own.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <span>
#include <sstream>

#include "crconf.h"
#include "tempnam.h"
#include "ynet.h"
#include "yq_paths.h"
#include "yqtest.h"
#include "yqtest_netns.h"
#include "yqtest_resolv.h"
#include "yqtest_wire.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace wire = yqtest::wire;
constexpr int kTimeout = 10;
const std::string kLogDir = YQ_PATH_LOG_DIR "/ynetd";

// A program on this host or a test host, its output captured; killed and reaped at scope end.
struct Process {
    pid_t pid = -1;
    yq::unique_fd out;
    std::string output;
    bool ready = false;
    Process(std::vector<std::string> argv, const std::string &ready_text = "",
            const yqtest::TestHost *host = nullptr) {
        if (host != nullptr)
            argv.insert(argv.begin(), {"nsenter", "-n", "-u", "-m", "-t", std::to_string(host->pid())});
        std::vector<char *> args(argv.size() + 1);  // ends with nullptr
        for (size_t i = 0; i < argv.size(); ++i) args[i] = argv[i].data();
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0 || (pid = ::fork()) < 0) return;
        if (pid == 0) ::_exit(::dup2(ends[1], 1) == 1 ? (::execvp(args[0], args.data()), 127) : 127);
        ::close(ends[1]);
        out.reset(ends[0]);
        ready = ready_text.empty() || wait_for(ready_text);
    }
    ~Process() { finish(0, SIGKILL); }
    // Reads standard output until `text` arrives ("": to its end).
    bool wait_for(const std::string &text, int seconds = 20) {
        const auto deadline = Clock::now() + std::chrono::seconds(seconds);
        while (text.empty() || output.find(text) == std::string::npos) {
            const auto left = static_cast<int>(std::max<long>(0, (deadline - Clock::now()) / 1ms));
            char bytes[4096];
            ssize_t n = out && wire::readable(out.get(), left) ? ::read(out.get(), bytes, sizeof bytes) : -1;
            if (n == 0) out.reset();
            if (n <= 0) return false;
            output.append(bytes, static_cast<size_t>(n));
        }
        return true;
    }
    // Signals, reads the output to its end, reaps: the exit status, or -1 (signalled or killed).
    int finish(int seconds = 60, int signal = 0) {
        if (pid > 0 && signal != 0) ::kill(pid, signal);
        wait_for("", seconds);
        if (out && pid > 0) ::kill(pid, SIGKILL);
        int status = -1;
        if (pid > 0) ::waitpid(std::exchange(pid, -1), &status, 0);
        return WIFEXITED(status) && !out ? WEXITSTATUS(status) : -1;
    }
};

Process daemon(std::vector<std::string> extra = {}, const yqtest::TestHost *host = nullptr) {
    extra.insert(extra.begin(), {YNETD_BIN, "--foreground", "--item-timeout=10"});
    return Process(extra, "ynetd: listening on port", host);
}
Process service(const std::string &name, const yqtest::TestHost *host = nullptr,
                std::vector<std::string> extra = {}) {
    extra.insert(extra.begin(), {ECHO_SERVICE_BIN, "--timeout", "10", "--name", name});
    return Process(extra, "registered service " + name, host);
}

void fresh_product_tree(const std::string &root = "") {
    const std::string rendezvous = root + YQ_PATH_YNETD_DIR;
    yqtest::remove_tree(rendezvous);
    yqtest::remove_tree(root + YQ_PATH_LOG_DIR);
    ::mkdir((root + YQ_PATH_CARROW_DIR).c_str(), 0755);
    ::mkdir(rendezvous.substr(0, rendezvous.rfind('/')).c_str(), 0755);
}

std::string debug_log(const std::string &dir) {
    std::string text;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(dir, ec))
        if (e.path().filename().string().starts_with("log.")) text += yqtest::read_file(e.path());
    return text;
}

using yqtest::eventually;
bool logged(const std::string &dir, const std::string &text) {
    return eventually([&] { return debug_log(dir).find(text) != std::string::npos; }, 10s);
}

// A connection to the loopback daemon after the library's handshake.
struct Conversation {
    int sock = -1, version = -1, status = -1;
    Conversation() {
        sockaddr_in addr = wire::loopback(YNETD_DEFAULT_PORT);
        status = ynet_connect_to_ynetd(&addr, 0, 0, nullptr, &sock, &version, kTimeout);
    }
    ~Conversation() { if (sock >= 0) ::close(sock); }
};

// A connection to the loopback daemon from 127.0.0.`from`.
yq::unique_fd raw_connect(int from = 1) {
    yq::unique_fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in source = wire::loopback(0), addr = wire::loopback(YNETD_DEFAULT_PORT);
    source.sin_addr.s_addr = htonl(0x7f000000u + static_cast<uint32_t>(from));
    if (::bind(fd.get(), reinterpret_cast<sockaddr *>(&source), sizeof source) != 0 ||
        ::connect(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        fd.reset();
    return fd;
}

// The descriptors `pid` holds: one per conversation besides its own.
long open_fds(pid_t pid) {
    return std::distance(std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"), {});
}

class YnetdTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!yqtest::netns_unavailable().empty()) return;
        ASSERT_TRUE(yqtest::isolate_network() && std::system("ip link set lo up") == 0);
        yqtest::write_hosts("127.0.0.1 localhost\n192.0.2.1 yqhosta\n192.0.2.2 yqhostb\n");
    }
    void SetUp() override {
        if (std::string why = yqtest::netns_unavailable(); !why.empty()) GTEST_SKIP() << why;
        fresh_product_tree();
    }
};

TEST_F(YnetdTest, ClientOnOneHostReachesServiceOnAnotherAndIsCalledBack) {
    yqtest::TestHost a("yqhosta", {}, true), b("yqhostb", {}, true);
    ASSERT_TRUE(a.started() && b.started() && yqtest::link(a, "yqa", b, "yqb")) << a.error();
    for (auto [host, dev, ip] : {std::tuple{&a, "yqa", "192.0.2.1"}, {&b, "yqb", "192.0.2.2"}}) {
        ASSERT_TRUE(host->sh(std::string("ip link set lo up && ip link set ") + dev + " up && ip addr add " +
                             ip + "/24 dev " + dev));
        fresh_product_tree(host->root());
    }
    Process daemon_a = daemon({}, &a), daemon_b = daemon({}, &b), echo = service("yqecho", &a);
    ASSERT_TRUE(daemon_a.ready && daemon_b.ready && echo.ready) << echo.output;
    // The client checks every echo and the call back; its exit status says.
    Process client({ECHO_CLIENT_BIN, "--timeout", "10", "yqhosta", "one", "two words"}, "", &b);
    ASSERT_EQ(client.finish(), 0) << client.output << "\nservice:\n" << echo.output;
    ASSERT_TRUE(echo.wait_for("client finished")) << echo.output;
    // B to A's daemon; the call back from A to B's daemon, handed over after the hash check.
    const std::string both = client.output + echo.output;
    for (const char *needle : {"echo_client CONNECT FROM 192.0.2.2.", "TO 192.0.2.1.13724", "TO 192.0.2.2.13724",
                               "yqecho ACCEPT FROM 192.0.2.2.", "connect-back CONNECT FROM 192.0.2.1."})
        EXPECT_NE(both.find(needle), std::string::npos) << needle << "\n" << both;
    for (const auto &[host, needle] :
         {std::pair{&a, "ynetd ACCEPT FROM 192.0.2.2."},
          {&a, "request 6 yqecho: connection handed to " YQ_PATH_YNETD_DIR "/yqecho.uds"},
          {&b, "ynetd ACCEPT FROM 192.0.2.1."}, {&b, "request 3: connection handed to /tmp/"}})
        EXPECT_TRUE(logged(host->root() + kLogDir, needle))
            << needle << "\n" << debug_log(host->root() + kLogDir);
}

// A column of the request table: "," ends an item (when `as_items`), and
// \n \r \\ \xHH are escapes.
std::string column(std::string_view text, bool as_items) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (as_items && text[i] == ',') out += '\0';
        else if (text[i] != '\\' || i + 1 == text.size()) out += text[i];
        else if (text[++i] != 'x') out += text[i] == 'n' ? '\n' : text[i] == 'r' ? '\r' : text[i];
        else out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16)), i += 2;
    }
    return as_items ? out + '\0' : out;
}

// Each answer and log line; client text is logged escaped, every line time-stamped.
TEST_F(YnetdTest, RequestsAreAnsweredAndLoggedOneLineEach) {
    Process ynetd = daemon({"--version-text", "6.0.2 test"});
    ASSERT_TRUE(ynetd.ready) << ynetd.output;
    const std::vector<std::string> table = yqtest::read_lines(YNETD_REQUESTS);
    ASSERT_GT(table.size(), 10u) << YNETD_REQUESTS;
    for (const std::string &line : table) {
        std::vector<std::string> col;  // what, sent, answered, logged, configuration
        for (size_t at = 0, end = 0; line[0] != '#' && end != std::string::npos; at = end + 3)
            col.push_back(line.substr(at, (end = line.find(" | ", at)) - at));
        col.resize(5);
        SCOPED_TRACE(col[0]);
        if (!col[4].empty()) {
            ::mkdir(YQ_PATH_KELDA "/lib", 0755);
            yqtest::write_file(YQ_PATH_CRCONF_LIB, yqtest::read_file(YCRCONF_LIB), 0755);
            yqtest::write_file(YQ_PATH_CW_CONF, column(col[4], false));
        }
        if (col[1].empty()) continue;
        yq::unique_fd sock = raw_connect();
        wire::write_raw(sock.get(), column(col[1], true));
        EXPECT_EQ(wire::read_raw(sock.get(), SIZE_MAX), column(col[2], true));
        EXPECT_TRUE(col[3].empty() || logged(kLogDir, column(col[3], false)))
            << debug_log(kLogDir);
    }
    std::istringstream lines(debug_log(kLogDir));
    for (std::string line; std::getline(lines, line);) {
        unsigned h, m, sec, ms;
        EXPECT_EQ(std::sscanf(line.c_str(), "%2u:%2u:%2u.%3u [", &h, &m, &sec, &ms), 4) << line;
        EXPECT_TRUE(std::none_of(line.begin(), line.end(), [](char c) { return std::iscntrl(c); })) << line;
    }
}

TEST_F(YnetdTest, ServiceRequestsFollowTheRegistration) {
    Process ynetd = daemon(), live = service("stale");
    ASSERT_TRUE(ynetd.ready && live.ready);
    const pid_t dead = INT_MAX;  // above any pid_max
    std::string script = yqtest::scratch_dir() + "/greet.sh";
    yqtest::write_file(script, "#!/bin/sh\nread w\nprintf 'hello %s from %s\\0' \"$w\" \"$1\"\n", 0755);
    char arg0[] = "argument", *args[] = {arg0, nullptr};
    ASSERT_EQ(ynet_ynetd_register_service("gone", dead, 0, YQ_PATH_YNETD_DIR "/gone.uds", nullptr,
                                          nullptr, nullptr), 0);
    ASSERT_EQ(ynet_ynetd_register_service("stale", live.pid, 1, YQ_PATH_YNETD_DIR "/stale.uds",
                                          nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(ynet_ynetd_register_service("Greeter", 0, 0, nullptr, script.c_str(), nullptr, args), 0);
    ASSERT_EQ(ynet_ynetd_register_daemon_command("broken", "/nonexistent/program -x"), 0);
    for (const auto &[name, status] :
         {std::pair{"nosuch", YN_STATUS_SERVICE_NOT_FOUND}, {"gone", YN_STATUS_SERVICE_NOT_FOUND},
          {"stale", YN_STATUS_SERVICE_NOT_FOUND}, {"broken", YN_STATUS_CHILD_FAILED}}) {
        Conversation c;
        ASSERT_EQ(c.status, 0);
        EXPECT_EQ(ynet_ynetd_service_socket(&c.sock, c.version, name, kTimeout), status) << name;
    }
    // A command runs with the connection as its standard input and output.
    Conversation c;
    ASSERT_EQ(ynet_ynetd_service_socket(&c.sock, c.version, "GREETER", kTimeout), 0);
    wire::write_raw(c.sock, "world\n");
    EXPECT_EQ(wire::read_raw(c.sock, SIZE_MAX), wire::item("hello world from argument"));
}

// A descriptor open when the daemon started never reaches a registered command.
TEST_F(YnetdTest, CommandsStartWithOnlyTheirStandardDescriptors) {
    yq::unique_fd planted(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(::dup2(planted.get(), 50), 50);
    Process ynetd = daemon();
    ::close(50);
    ASSERT_TRUE(ynetd.ready);
    std::string script = yqtest::scratch_dir() + "/fds.sh";
    yqtest::write_file(script, "#!/bin/sh\nls /proc/$$/fd | tr '\\n' ' '; printf '\\0'\n", 0755);
    ASSERT_EQ(ynet_ynetd_register_daemon_command("fds", script.c_str()), 0);
    Conversation c;
    ASSERT_EQ(ynet_ynetd_service_socket(&c.sock, c.version, "fds", kTimeout), 0);
    EXPECT_EQ(wire::read_raw(c.sock, SIZE_MAX).find(" 50 "), std::string::npos);
}

// A registered process that is alive but serves nobody, its socket file left without a listener or
// its listener's backlog full: the client gets status 10 at once, not at the conversation limit.
TEST_F(YnetdTest, StaleServiceSocketsAreAnsweredAtOnce) {
    Process ynetd = daemon();
    ASSERT_TRUE(ynetd.ready && ynet_check_ynetd_dir() == 0);
    std::vector<yq::unique_fd> held;
    for (const auto &[name, listening] : {std::pair{"unbound", false}, {"backlogged", true}}) {
        SCOPED_TRACE(name);
        const std::string path = YQ_PATH_YNETD_DIR "/" + std::string(name) + ".uds";
        sockaddr_un addr{AF_UNIX, {}};
        path.copy(addr.sun_path, sizeof addr.sun_path - 1);
        yq::unique_fd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        if (listening) {
            ASSERT_EQ(::listen(listener.get(), 0), 0);
            for (int full = 0; full == 0;) {
                held.emplace_back(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
                full = ::connect(held.back().get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr);
            }
            held.push_back(std::move(listener));
        }
        ASSERT_EQ(ynet_ynetd_register_service(name, ::getpid(), 0, path.c_str(), nullptr, nullptr, nullptr), 0);
        Conversation c;
        EXPECT_EQ(ynet_ynetd_service_socket(&c.sock, c.version, name, kTimeout), YN_STATUS_SOCKET_ERROR);
    }
}

// Requests 2 and 3 seen from a raw listener: 3 hands over with a hash pair, 2 without;
// either way the connection has TCP_NODELAY and blocks as a fresh connection does.
TEST_F(YnetdTest, HandOversHaveNoDelayAndAHashPairOnlyForRequestThree) {
    Process ynetd = daemon();
    ASSERT_TRUE(ynetd.ready);
    char path[YNETD_IPC_PATH_SIZE] = "";
    int raw = -1;
    ASSERT_EQ(ynet_listen_for_ynetd(path, sizeof path, 4, &raw, kTimeout), 0);
    yq::unique_fd listener(raw);
    std::unique_ptr<char, int (*)(const char *)> remove(path, ::unlink);
    auto hand_over = [&](const char *code) {
        Conversation c;
        wire::write_raw(c.sock, wire::item(code) + wire::item(path));
        std::string one = code[0] == '3' ? wire::read_item(c.sock) : "";
        yq::unique_fd conn(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        std::string two = wire::read_item(conn.get());
        wire::Fd client = wire::recv_fd(conn.get());
        int nodelay = 0;
        socklen_t size = sizeof nodelay;
        EXPECT_TRUE(::getsockopt(client.get(), IPPROTO_TCP, TCP_NODELAY, &nodelay, &size) == 0 && nodelay);
        EXPECT_EQ(::fcntl(client.get(), F_GETFL) & O_NONBLOCK, 0) << "handed over non-blocking";
        wire::write_raw(conn.get(), wire::item("0"));
        return std::pair{one, two};
    };
    const auto [one, two] = hand_over("3");
    EXPECT_EQ(verify_hashes(one.c_str(), two.c_str()), 1);
    EXPECT_EQ(hand_over("2").second, "");
}

// Requests 2 and 3 reach only a listening socket named as the connect-back names it, directly in
// its directory; a listener anywhere else, a traversal, a symbolic link, a file that is no socket
// and a missing name all get status 10 alike, and the listener named is never reached.
TEST_F(YnetdTest, HandOversOnlyToConnectBackListeners) {
    Process ynetd = daemon();
    ASSERT_TRUE(ynetd.ready);
    const std::string evil = yqtest::scratch_dir() + "/evil.sock";
    sockaddr_un addr{AF_UNIX, {}};
    evil.copy(addr.sun_path, sizeof addr.sun_path - 1);
    yq::unique_fd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener.get(), 4), 0);
    std::unique_ptr<char, void (*)(char *)> link(Y_tempnam("/tmp", "ynet"), [](char *p) { (void)::unlink(p); std::free(p); });
    std::unique_ptr<char, void (*)(char *)> plain(Y_tempnam("/tmp", "ynet"), [](char *p) { (void)::unlink(p); std::free(p); });
    yq::unique_malloc<char> missing(Y_tempnam("/tmp", "ynet"));
    ASSERT_EQ(::symlink(evil.c_str(), link.get()), 0);
    yqtest::write_file(plain.get(), "not a socket");
    for (const char *code : {"2", "3"})
        for (const std::string &path : {evil, YQ_PATH_YNETD_DIR "/../../../.." + evil, std::string(link.get()),
                                        std::string(plain.get()), std::string(missing.get())}) {
            SCOPED_TRACE(std::string(code) + " " + path);
            Conversation c;
            wire::write_raw(c.sock, wire::item(code) + wire::item(path));
            if (code[0] == '3') {
                EXPECT_EQ(wire::read_item(c.sock).size(), 32u);
            }
            int status = -1;
            EXPECT_EQ(ynet_pop_status(c.sock, &status, kTimeout), 0);
            EXPECT_EQ(status, YN_STATUS_SOCKET_ERROR);
            EXPECT_LT(::accept(listener.get(), nullptr, nullptr), 0) << "handed to the listener";
        }
}

// One good client: handshake, request 6, one echo, the end.
int good_client(int index) {
    Conversation c;
    std::string text = "client " + std::to_string(index);
    char echo[64];
    int status = -1;
    return c.status == 0 && ynet_ynetd_service_socket(&c.sock, c.version, "loadecho", 30) == 0 &&
                   ynet_push_string(c.sock, text.c_str(), 30) == 0 &&
                   ynet_pop_string(c.sock, echo, sizeof echo, 30) == 0 && text == echo &&
                   ynet_push_string(c.sock, "", 30) == 0 && ynet_pop_status(c.sock, &status, 30) == 0
               ? status : 1;
}

TEST_F(YnetdTest, ManyClientsAtOnceWhileOthersStallOrSendGarbage) {
    Process ynetd = daemon({"--item-timeout=60", "--handshake-timeout=60", "--max-per-address=1024"}), echo = service("loadecho", nullptr, {"--quiet"});
    ASSERT_TRUE(ynetd.ready && echo.ready);
    const long baseline = open_fds(ynetd.pid);

    // Silent, half a number, half a request, a number too long, no text.
    std::vector<yq::unique_fd> hostile;
    for (const std::string &bytes : {std::string(), std::string("3"), std::string("3\0" "3\0" "6\0lo", 8),
                                     std::string(300, '7'), std::string("\xff\xfe\x01\x00\x80", 5)}) {
        hostile.push_back(raw_connect());
        ASSERT_TRUE(hostile.back());
        wire::write_raw(hostile.back().get(), bytes);
    }
    // 200 clients released together, all from one address (so above the default cap); 20 in a
    // slow run (under valgrind), where so many would only measure its speed.
    int gate[2];
    char byte;
    ASSERT_EQ(::pipe2(gate, O_CLOEXEC), 0);
    std::array<pid_t, 200> clients{};  // on the stack: a client that exits leaves no heap behind
    const int crowd = std::getenv("YQ_SLOW_RUN") != nullptr ? 20 : 200;
    for (int i = 0; i < crowd; ++i)
        if ((clients[i] = ::fork()) == 0)
            ::_exit(::close(gate[1]) == 0 && ::read(gate[0], &byte, 1) == 0 ? good_client(i) : 9);
    ::close(gate[0]), ::close(gate[1]);
    for (pid_t pid : std::span(clients).first(crowd)) {
        int status = -1;
        EXPECT_TRUE(::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    // A number too long and garbage are refused at once; the other three hold on until they go.
    EXPECT_EQ(open_fds(ynetd.pid), baseline + 3);
    hostile.clear();
    EXPECT_TRUE(eventually([&] { return open_fds(ynetd.pid) == baseline; })) << open_fds(ynetd.pid);
    EXPECT_EQ(ynetd.finish(20, SIGTERM), 0);
}

// One peer trickling a version offer a byte at a time holds at most its 32 conversations (its
// cap): its 33rd connection is closed at once, and another address is still served.
TEST_F(YnetdTest, OnePeerHoldsAtMostItsShareOfConversations) {
    Process ynetd = daemon({"--max-per-address=32"});
    ASSERT_TRUE(ynetd.ready);
    const long baseline = open_fds(ynetd.pid);
    std::vector<yq::unique_fd> trickling(33);
    for (yq::unique_fd &fd : trickling) wire::write_raw((fd = raw_connect()).get(), "3");
    EXPECT_EQ(wire::read_item(trickling.back().get()), "<eof>");
    EXPECT_EQ(open_fds(ynetd.pid), baseline + 32);
    sockaddr_in addr = wire::loopback(YNETD_DEFAULT_PORT);
    in_addr other{htonl(0x7f000002)};
    int sock = -1, version = -1;
    EXPECT_EQ(ynet_connect_to_ynetd(&addr, 0, 0, &other, &sock, &version, kTimeout), 0);
    ::close(sock);
}

// 1,100 clients from nine addresses each trickle half a version offer and hold on: every one
// of them costs the daemon a descriptor, none a turn, and a normal client is served at once.
// A client trickling a byte at a time is ended at the handshake deadline, counted from its
// connection, however steadily its bytes come.
TEST_F(YnetdTest, TricklingClientsTakeNoTurnFromOthers) {
    rlimit files{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &files), 0);
    files.rlim_cur = files.rlim_max;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &files), 0);
    Process ynetd = daemon({"--handshake-timeout=60"});
    ASSERT_TRUE(ynetd.ready);
    const long baseline = open_fds(ynetd.pid);
    std::vector<yq::unique_fd> trickling;
    for (int i = 0; i < 1100; ++i) {
        trickling.push_back(raw_connect(2 + i % 9));
        ASSERT_TRUE(trickling.back()) << i;
        wire::write_raw(trickling.back().get(), "3");
    }
    EXPECT_TRUE(eventually([&] { return open_fds(ynetd.pid) == baseline + 1100; }, 10s));
    Conversation c;
    ASSERT_EQ(c.status, 0);
    char text[64];
    EXPECT_EQ(ynet_version_get(0, 0, nullptr, nullptr, &c.sock, kTimeout, text, sizeof text), 0);
    trickling.clear();
    EXPECT_EQ(ynetd.finish(20, SIGTERM), 0);

    Process strict = daemon({"--handshake-timeout=2"});
    ASSERT_TRUE(strict.ready);
    yq::unique_fd slow = raw_connect();
    bool ended = false;
    for (int sent = 0; !ended && sent < 100; ++sent) {  // a digit every 200 ms: 20 s at most
        wire::write_raw(slow.get(), "1");
        ended = wire::readable(slow.get(), 200) && wire::read_raw(slow.get(), SIZE_MAX).empty();
    }
    EXPECT_TRUE(ended);
    EXPECT_TRUE(logged(kLogDir, "no handshake in time"));
}

// Socket activation: a listening socket handed over as descriptor 3 with LISTEN_PID naming the
// daemon is served instead of a port of its own.
TEST_F(YnetdTest, ServesTheSocketItIsGiven) {
    const int port = 14001;
    yq::unique_fd given(::socket(AF_INET, SOCK_STREAM, 0));  // inherited by the daemon
    sockaddr_in addr = wire::loopback(port);
    ASSERT_EQ(::bind(given.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(given.get(), 16), 0);
    Process ynetd({"sh", "-c", "LISTEN_PID=$$ LISTEN_FDS=1 exec " YNETD_BIN " --foreground 3<&" +
                                   std::to_string(given.get())},
                  "ynetd: listening on port");
    ASSERT_TRUE(ynetd.ready);
    EXPECT_NE(ynetd.output.find("port 14001"), std::string::npos) << ynetd.output;
    given.reset();
    int sock = -1, version = -1;
    EXPECT_EQ(ynet_connect_to_ynetd(&addr, 0, 0, nullptr, &sock, &version, kTimeout), 0);
    ::close(sock);
}

// Settings from a file, the command line winning; detached once listening, with a pid file; at the
// limit, clients in the backlog when the daemon looks wait; SIGTERM ends the conversations running.
TEST_F(YnetdTest, DetachesWithFileSettingsAndOnTermEndsConversations) {
    for (const char *bad : {"--max-protocol=4", "--port=65536", "--port=0"})
        EXPECT_EQ(Process({YNETD_BIN, bad}).finish(), 2) << bad;
    const std::string pid_file = yqtest::scratch_dir() + "/ynetd.pid", conf = pid_file + ".conf";
    yqtest::write_file(conf, "# test settings\nPORT = 13999\nversion_text = \"9.9 from file\"\n"
                             "MAX-PROTOCOL = 2\npid_file = " + pid_file + "\n");
    Process starter({YNETD_BIN, "--port", std::to_string(YNETD_DEFAULT_PORT), "--max-conversations=1", "-c", conf});
    ASSERT_EQ(starter.finish(), 0);
    pid_t pid = static_cast<pid_t>(std::atoi(yqtest::read_file(pid_file).c_str()));
    ASSERT_GT(pid, 0);
    std::unique_ptr<pid_t, void (*)(pid_t *)> guard(&pid, [](pid_t *p) { ::kill(*p, SIGKILL); });
    ::kill(pid, SIGSTOP);
    yq::unique_fd idle = raw_connect(), waiting = raw_connect();
    ::kill(pid, SIGCONT);
    for (const yq::unique_fd *fd : {&idle, &waiting}) wire::write_raw(fd->get(), wire::item("3"));
    EXPECT_EQ(wire::read_item(idle.get()), "2");
    wire::write_raw(idle.get(), wire::item("2"));
    EXPECT_FALSE(wire::readable(waiting.get(), 500)) << "served beyond the limit";
    char text[64];
    int sock = idle.get();
    ASSERT_EQ(ynet_version_get(0, 0, nullptr, nullptr, &sock, kTimeout, text, sizeof text), 0);
    EXPECT_STREQ(text, "9.9 from file");
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    EXPECT_EQ(wire::read_raw(idle.get(), SIZE_MAX), "");
    EXPECT_TRUE(logged(kLogDir, "stopping: 1 conversation(s) still running") && logged(kLogDir, "main: stopped"));
    EXPECT_TRUE(eventually([&] { return !yqtest::exists(pid_file); }, 10s));
}

}  // namespace
