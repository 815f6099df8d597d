// The independent peer of the connection tests, written with plain system
// calls and OpenSSL (hash_pair), never with the library under test.
#ifndef YQTEST_WIRE_H
#define YQTEST_WIRE_H

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "yq_memory.h"

namespace yqtest::wire {

using Fd = yq::unique_fd;

inline bool readable(int fd, int ms = 5000) {
    struct pollfd p = {fd, POLLIN, 0};
    return ::poll(&p, 1, ms) == 1;
}

// An item as it travels: the text and its 0 octet.
inline std::string item(const std::string &text) { return text + std::string(1, '\0'); }

// Up to n bytes; every wait is bounded, so a broken library fails, not hangs.
inline std::string read_raw(int fd, size_t n) {
    std::string out;
    char buf[65536];
    while (out.size() < n && readable(fd)) {
        ssize_t r = ::read(fd, buf, std::min(sizeof buf, n - out.size()));
        if (r <= 0) break;
        out.append(buf, static_cast<size_t>(r));
    }
    return out;
}

// One item read byte by byte; "<eof>" or "<timeout>" marks an early end.
inline std::string read_item(int fd) {
    std::string text;
    for (char c;; text += c) {
        if (!readable(fd)) return text + "<timeout>";
        if (::read(fd, &c, 1) != 1) return text + "<eof>";
        if (c == '\0') return text;
    }
}

inline void write_raw(int fd, const std::string &bytes) {
    for (size_t done = 0; done < bytes.size();) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

// Every byte waiting on fd right now (nothing blocks).
inline std::string drain(int fd) {
    std::string bytes;
    char buf[512];
    for (ssize_t n; readable(fd, 0) && (n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
        bytes.append(buf, static_cast<size_t>(n));
    return bytes;
}

// Both ends of a connection: the library gets `mine`, the test is `peer`.
struct Pair { Fd mine, peer; };

inline Pair unix_pair() {
    int sv[2] = {-1, -1};
    ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv);
    return {Fd(sv[0]), Fd(sv[1])};
}

inline struct sockaddr_in loopback(int port) {
    return {AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
}

// A listening loopback TCP socket on a port the system picks.
inline Fd tcp_listener(int *port) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    struct sockaddr_in addr = loopback(0);
    socklen_t length = sizeof addr;
    ::bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    ::listen(fd.get(), 8);
    ::getsockname(fd.get(), reinterpret_cast<sockaddr *>(&addr), &length);
    *port = ntohs(addr.sin_port);
    return fd;
}

inline Pair tcp_pair() {
    int port = 0;
    Fd listener = tcp_listener(&port);
    Fd mine(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    struct sockaddr_in addr = loopback(port);
    ::connect(mine.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    return {std::move(mine), Fd(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC))};
}

// A TCP connection to ADDRESS:PORT; -1 when it cannot be made. The caller
// owns the descriptor.
inline int tcp_connect(const char *address, int port) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    struct sockaddr_in to = loopback(port);
    to.sin_addr.s_addr = inet_addr(address);
    if (::connect(fd.get(), reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) return -1;
    return fd.release();
}

inline Fd unix_connect(const std::string &path) {
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    struct sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (::connect(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) fd.reset();
    return fd;
}

// One data byte carrying the given descriptors in one SCM_RIGHTS header (no
// control message when fds is empty).
inline bool send_fds(int sock, const std::vector<int> &fds) {
    char byte = 'F';
    struct iovec iov = {&byte, 1};
    std::vector<char> control(CMSG_SPACE(sizeof(int) * (fds.empty() ? 1 : fds.size())), 0);
    struct msghdr message{};
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    if (!fds.empty()) {
        message.msg_control = control.data();
        message.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
        struct cmsghdr *cmsg = CMSG_FIRSTHDR(&message);
        cmsg->cmsg_level = SOL_SOCKET;
        cmsg->cmsg_type = SCM_RIGHTS;
        cmsg->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
        std::memcpy(CMSG_DATA(cmsg), fds.data(), sizeof(int) * fds.size());
    }
    return ::sendmsg(sock, &message, MSG_NOSIGNAL) == 1;
}

// One data byte and exactly one descriptor; an empty owner otherwise.
inline Fd recv_fd(int sock) {
    char byte;
    struct iovec iov = {&byte, 1};
    alignas(struct cmsghdr) char space[CMSG_SPACE(sizeof(int))] = {};
    struct msghdr message{};
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = space;
    message.msg_controllen = sizeof space;
    if (!readable(sock) || ::recvmsg(sock, &message, MSG_CMSG_CLOEXEC) != 1) return Fd();
    struct cmsghdr *cmsg = CMSG_FIRSTHDR(&message);
    if (cmsg == nullptr || cmsg->cmsg_type != SCM_RIGHTS ||
        cmsg->cmsg_len != CMSG_LEN(sizeof(int)) || (message.msg_flags & MSG_CTRUNC) != 0)
        return Fd();
    int fd;
    std::memcpy(&fd, CMSG_DATA(cmsg), sizeof fd);
    return Fd(fd);
}

inline int count_fds() {
    int count = 0;
    yq::unique_dir dir(::opendir("/proc/self/fd"));
    while (struct dirent *entry = ::readdir(dir.get()))
        if (entry->d_name[0] != '.') ++count;
    return count - 1;  // the directory's own descriptor
}

// hex(MD5(data)), the raw digest in *raw; a pair from digest A = MD5(seed) is
// {hash_str1 = hex(MD5(A)), hash_str2 = hex(A)}.
inline std::string md5_hex(const void *data, size_t n, std::string *raw = nullptr) {
    unsigned char digest[16];
    EVP_Digest(data, n, digest, nullptr, EVP_md5(), nullptr);
    if (raw != nullptr) raw->assign(reinterpret_cast<char *>(digest), sizeof digest);
    char hex[2 * sizeof digest + 1];
    for (size_t i = 0; i < sizeof digest; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    return hex;
}

inline std::pair<std::string, std::string> hash_pair(const std::string &seed) {
    std::string a, a_hex = md5_hex(seed.data(), seed.size(), &a);
    return {md5_hex(a.data(), a.size()), a_hex};
}

// A thread that never takes SIGALRM: alarms reach the thread under test.
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

// A fake ynetd on a loopback port: runs the script on each connection in
// turn until stopped. Read log() after stop().
class Daemon {
public:
    using Script = std::function<void(int conn, int index, std::string &log)>;

    explicit Daemon(Script script) : script_(std::move(script)), listener_(tcp_listener(&port_)) {
        thread_ = std::thread([this] {
            for (int index = 0; readable(listener_.get(), 20000); ++index) {
                Fd conn(::accept(listener_.get(), nullptr, nullptr));
                if (!conn) return;  // stopped
                int on = 1;
                ::setsockopt(conn.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                script_(conn.get(), index, log_);
            }
        });
    }
    ~Daemon() { stop(); }
    struct sockaddr_in addr() const { return loopback(port_); }
    const std::string &log() const { return log_; }
    void stop() {
        if (!thread_.joinable()) return;
        ::shutdown(listener_.get(), SHUT_RDWR);  // the waiting accept fails
        thread_.join();
    }

private:
    Script script_;
    int port_ = 0;
    Fd listener_;
    std::string log_;
    std::thread thread_;
};

// The daemon's side of the handshake: reads the offer, answers `version`,
// logs what the client echoed.
inline void serve_handshake(int conn, int version, std::string &log) {
    log += "offer=" + read_item(conn) + ";";
    write_raw(conn, item(std::to_string(version)));
    if (version != -1) log += "echo=" + read_item(conn) + ";";
}

}  // namespace yqtest::wire

#endif
