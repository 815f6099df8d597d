// Connection setup through ynetd against a plain TCP connection, interleaved.
//
// Brokered: connect to ynetd, version handshake, request 6 for a registered
// echo service, hand-over to the service process and its confirmation, a
// 20-byte echo, close. Raw: TCP connect, accept, the same 20-byte echo,
// close. Both servers serve one connection at a time without forking, so
// the difference is what ynetd and its protocol add. The two alternate, one
// pair at a time; the figure is the median of the per-pair ratios, beside
// each side's median and the brokered setups per second.
//
//   build/bin/ynetd_bench [PAIRS] [-- ynetd options...]
//
// YNETD_BENCH_DAEMON names another ynetd program to measure (an older build,
// for a before-and-after figure).
// ynetd and the service use the product's fixed paths, so the program runs
// itself again inside the project's sandbox (private product trees) and in a
// network namespace of its own (the daemon's port is then free).
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_processes.h"

#include "ynet.h"

namespace {

using namespace yqbench;
using Clock = std::chrono::steady_clock;

constexpr int kTimeout = 10;
constexpr int kRawPort = 14555;
constexpr const char kService[] = "benchecho";
constexpr std::size_t kEcho = 20;

bool exact_io(int fd, char *bytes, std::size_t n, bool writing) {
    for (std::size_t done = 0; done < n;) {
        ssize_t got = writing ? ::write(fd, bytes + done, n - done) : ::read(fd, bytes + done, n - done);
        if (got <= 0) return false;
        done += static_cast<std::size_t>(got);
    }
    return true;
}

// Reads kEcho bytes and sends them back.
void echo_once(int conn) {
    char bytes[kEcho];
    if (exact_io(conn, bytes, kEcho, false)) exact_io(conn, bytes, kEcho, true);
}

// The raw side: accepts, echoes, closes, one connection at a time.
pid_t start_raw_server() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr = loopback(kRawPort);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::listen(fd, SOMAXCONN) != 0)
        return -1;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        for (;;) {
            int conn = ::accept(fd, nullptr, nullptr);
            if (conn < 0) continue;
            ::setsockopt(conn, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            echo_once(conn);
            ::close(conn);
        }
    }
    ::close(fd);
    return pid;
}

// The brokered side: a registered service that takes each hand-over,
// echoes and closes, one connection at a time. Ready once its pipe closes.
pid_t start_service() {
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) return -1;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::close(ready[0]);
        int listener = -1;
        if (ynet_ynetd_listen_and_register_service(kService, SOMAXCONN, &listener, kTimeout) != 0)
            ::_exit(1);
        ::close(ready[1]);
        for (;;) {
            int conn = -1;
            if (ynet_ynetd_accept_and_receive(listener, nullptr, &conn, kTimeout) != 0 || conn < 0)
                continue;
            echo_once(conn);
            ::close(conn);
        }
    }
    ::close(ready[1]);
    char byte;
    const bool started = ::read(ready[0], &byte, 1) == 0;
    ::close(ready[0]);
    int status = 0;
    return started && ::waitpid(pid, &status, WNOHANG) == 0 ? pid : -1;
}

bool echo_through(int fd) {
    char bytes[kEcho];
    std::memset(bytes, 'e', sizeof bytes);
    return exact_io(fd, bytes, kEcho, true) && exact_io(fd, bytes, kEcho, false);
}

// One setup each way; the time in microseconds, or a negative value.
double brokered_setup() {
    sockaddr_in daemon = loopback(YNETD_DEFAULT_PORT);
    const auto start = Clock::now();
    int sock = -1;
    int version = -1;
    int status = ynet_connect_to_ynetd(&daemon, 0, 0, nullptr, &sock, &version, kTimeout);
    if (status == 0) status = ynet_ynetd_service_socket(&sock, version, kService, kTimeout);
    const bool ok = status == 0 && echo_through(sock);
    if (!ok) std::fprintf(stderr, "ynetd_bench: brokered status %d, errno %d\n", status, errno);
    if (sock >= 0) ::close(sock);
    const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    return ok ? us : -1;
}

double raw_setup() {
    sockaddr_in server = loopback(kRawPort);
    const auto start = Clock::now();
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&server), sizeof server) == 0 &&
                    echo_through(fd);
    ::close(fd);
    const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    return ok ? us : -1;
}

int measure(int pairs) {
    std::vector<double> brokered, raw, ratios;
    double brokered_total = 0;
    for (int i = 0; i < pairs; ++i) {
        const double b = brokered_setup();
        const double r = raw_setup();
        if (b < 0 || r < 0) {
            std::fprintf(stderr, "ynetd_bench: %s setup %d failed\n", b < 0 ? "brokered" : "raw", i);
            return 1;
        }
        brokered.push_back(b);
        raw.push_back(r);
        ratios.push_back(b / r);
        brokered_total += b;
    }
    std::printf("pairs: %d (brokered and raw setups alternating)\n", pairs);
    std::printf("brokered setup (handshake, request 6, hand-over, 20-byte echo): median %.1f us, "
                "%.0f setups/s at the median, %.0f setups/s over the run\n",
                median_of(brokered), 1e6 / median_of(brokered),
                pairs / (brokered_total / 1e6));
    std::printf("raw TCP connect + 20-byte echo: median %.1f us\n", median_of(raw));
    std::printf("median of per-pair ratios (brokered / raw): %.2f\n", median_of(ratios));
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    const char *inside = std::getenv("YQ_SANDBOX");
    if (inside == nullptr || std::strcmp(inside, "1") != 0) {
        // Outside the sandbox: run this program again inside it.
        char path[4096];
        ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
        if (n <= 0) return 1;
        path[n] = '\0';
        std::vector<char *> args = {const_cast<char *>(YQ_SANDBOX_BIN), path};
        for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        std::perror("ynetd_bench: cannot start the sandbox");
        return 1;
    }
    int pairs = 2000;
    const char *other = std::getenv("YNETD_BENCH_DAEMON");
    std::vector<std::string> daemon_argv = {other != nullptr ? other : YNETD_BIN, "--foreground"};
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) {
            daemon_argv.insert(daemon_argv.end(), argv + i + 1, argv + argc);
            break;
        }
        pairs = std::atoi(argv[i]);
    }
    if (pairs < 1 || ::unshare(CLONE_NEWNET) != 0 || !bring_loopback_up()) {
        std::fprintf(stderr, "usage: ynetd_bench [PAIRS] [-- ynetd options] (needs a private network)\n");
        return 1;
    }
    ::mkdir("/usr/kelda/var", 0755);
    int ynetd_out = -1;
    pid_t ynetd = spawn(daemon_argv, ynetd_out);
    if (ynetd < 0 || !wait_for_line(ynetd_out, "listening on port")) {
        std::fprintf(stderr, "ynetd_bench: ynetd did not start\n");
        return 1;
    }
    pid_t service = start_service();
    pid_t raw = start_raw_server();
    if (service < 0 || raw < 0) {
        std::fprintf(stderr, "ynetd_bench: the %s did not start\n", service < 0 ? "service" : "raw server");
        return 1;
    }
    const int rc = measure(pairs);
    for (pid_t pid : {ynetd, service, raw}) ::kill(pid, SIGKILL);
    while (::wait(nullptr) > 0) {
    }
    return rc;
}
