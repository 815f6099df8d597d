// What the benchmarks that run daemons share: the median of samples, a
// loopback address, starting a program with its output on a pipe, waiting
// for a line of that output, and bringing up loopback in a fresh network
// namespace. Header-only; benchmarks include it.
#ifndef BENCH_PROCESSES_H
#define BENCH_PROCESSES_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace yqbench {

inline double median_of(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

inline sockaddr_in loopback(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    return addr;
}

// Starts a program; returns its pid and the read end of its output.
inline pid_t spawn(const std::vector<std::string> &argv, int &out_fd) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return -1;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::dup2(out[1], 1);
        std::vector<char *> args;
        for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(out[1]);
    out_fd = out[0];
    return pid;
}

// Whether the program's output shows `text` within 20 seconds.
inline bool wait_for_line(int fd, const char *text) {
    using Clock = std::chrono::steady_clock;
    std::string seen;
    auto deadline = Clock::now() + std::chrono::seconds(20);
    while (seen.find(text) == std::string::npos && Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 500) <= 0) continue;
        char buffer[512];
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) return false;
        seen.append(buffer, static_cast<size_t>(n));
    }
    return seen.find(text) != std::string::npos;
}

inline bool bring_loopback_up() {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq req{};
    std::strcpy(req.ifr_name, "lo");
    bool ok = ::ioctl(fd, SIOCGIFFLAGS, &req) == 0;
    req.ifr_flags = static_cast<short>(req.ifr_flags | IFF_UP);
    ok = ok && ::ioctl(fd, SIOCSIFFLAGS, &req) == 0;
    ::close(fd);
    return ok;
}

}  // namespace yqbench

#endif
