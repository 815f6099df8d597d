// Connection setup through ynetd against a plain TCP connection.
//
// Brokered: connect to ynetd, version handshake, request 6 for a registered
// echo service, hand-over to the service process and its confirmation (the
// status the client reads). Raw: TCP connect, accept, one byte each way.
// Both on the same loopback, in one run; the ratio of the medians is printed
// at the end.
//
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

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench_processes.h"

#include "ynet.h"

namespace {

using namespace yqbench;

constexpr int kTimeout = 10;
constexpr int kRawPort = 14555;
constexpr const char kService[] = "benchecho";

using Clock = std::chrono::steady_clock;

double brokered_median_us = 0;
double raw_median_us = 0;
double brokered_rate = 0;
double raw_rate = 0;

// The raw side: accepts, answers one byte with one byte, closes.
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
            char byte = 0;
            if (::read(conn, &byte, 1) == 1) (void)!::write(conn, &byte, 1);
            ::close(conn);
        }
    }
    ::close(fd);
    return pid;
}

void BM_BrokeredSetup(benchmark::State &state) {
    std::vector<double> latencies;
    sockaddr_in daemon = loopback(YNETD_DEFAULT_PORT);
    for (auto _ : state) {
        auto start = Clock::now();
        int sock = -1;
        int version = -1;
        int status = ynet_connect_to_ynetd(&daemon, 0, 0, nullptr, &sock, &version, kTimeout);
        if (status == 0) status = ynet_ynetd_service_socket(&sock, version, kService, kTimeout);
        auto end = Clock::now();
        if (sock >= 0) ::close(sock);
        if (status != 0) {
            state.SkipWithError("brokered setup failed");
            break;
        }
        double seconds = std::chrono::duration<double>(end - start).count();
        state.SetIterationTime(seconds);
        latencies.push_back(seconds * 1e6);
    }
    brokered_median_us = median_of(latencies);
    state.counters["median_us"] = brokered_median_us;
    state.counters["setups_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    brokered_rate = brokered_median_us > 0 ? 1e6 / brokered_median_us : 0;
}

void BM_RawTcpRoundTrip(benchmark::State &state) {
    std::vector<double> latencies;
    sockaddr_in server = loopback(kRawPort);
    int one = 1;
    for (auto _ : state) {
        auto start = Clock::now();
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        char byte = 'x';
        bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&server), sizeof server) == 0 &&
                  ::write(fd, &byte, 1) == 1 && ::read(fd, &byte, 1) == 1;
        auto end = Clock::now();
        ::close(fd);
        if (!ok) {
            state.SkipWithError("raw round trip failed");
            break;
        }
        double seconds = std::chrono::duration<double>(end - start).count();
        state.SetIterationTime(seconds);
        latencies.push_back(seconds * 1e6);
    }
    raw_median_us = median_of(latencies);
    state.counters["median_us"] = raw_median_us;
    state.counters["setups_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    raw_rate = raw_median_us > 0 ? 1e6 / raw_median_us : 0;
}

BENCHMARK(BM_BrokeredSetup)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RawTcpRoundTrip)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char **argv) {
    const char *inside = std::getenv("YQ_SANDBOX");
    if (inside == nullptr || std::strcmp(inside, "1") != 0) {
        // Outside the sandbox: run this program again inside it.
        std::vector<char *> args = {const_cast<char *>(YQ_SANDBOX_BIN),
                                    const_cast<char *>("/proc/self/exe")};
        std::string self = "/proc/" + std::to_string(::getpid()) + "/exe";
        char path[4096];
        ssize_t n = ::readlink(self.c_str(), path, sizeof path - 1);
        if (n > 0) {
            path[n] = '\0';
            args[1] = path;
        }
        for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        std::perror("ynetd_bench: cannot start the sandbox");
        return 1;
    }
    if (::unshare(CLONE_NEWNET) != 0 || !bring_loopback_up()) {
        std::perror("ynetd_bench: cannot make a private network");
        return 1;
    }
    ::mkdir("/usr/kelda/var", 0755);

    int ynetd_out = -1;
    pid_t ynetd = spawn({YNETD_BIN, "--foreground"}, ynetd_out);
    if (ynetd < 0 || !wait_for_line(ynetd_out, "listening on port")) {
        std::fprintf(stderr, "ynetd_bench: ynetd did not start\n");
        return 1;
    }
    int service_out = -1;
    pid_t service = spawn({ECHO_SERVICE_BIN, "--quiet", "--name", kService}, service_out);
    if (service < 0 || !wait_for_line(service_out, "registered service")) {
        std::fprintf(stderr, "ynetd_bench: the echo service did not start\n");
        return 1;
    }
    pid_t raw = start_raw_server();
    if (raw < 0) {
        std::fprintf(stderr, "ynetd_bench: the raw server did not start\n");
        return 1;
    }

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    if (brokered_median_us > 0 && raw_median_us > 0)
        std::printf(
            "\nbrokered setup: median %.1f us (%.0f setups/s at the median)\n"
            "raw TCP connect + round trip: median %.1f us (%.0f/s at the median)\n"
            "ratio (brokered / raw median latency): %.1f\n",
            brokered_median_us, brokered_rate, raw_median_us, raw_rate,
            brokered_median_us / raw_median_us);

    for (pid_t pid : {service, ynetd, raw}) ::kill(pid, SIGTERM);
    for (pid_t pid : {service, ynetd, raw}) ::waitpid(pid, nullptr, 0);
    return 0;
}
