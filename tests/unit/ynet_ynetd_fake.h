// Raw socket code for the ynetd protocol tests: an independent peer that
// reads and writes item bytes and descriptors with plain system calls, and a
// fake ynetd on a loopback TCP port that runs a script per connection. None
// of it uses the library, so the library's bytes are checked against what
// the protocol says, not against itself.
#ifndef YNET_YNETD_FAKE_H
#define YNET_YNETD_FAKE_H

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace fake {

inline bool readable(int fd, int ms = 5000) {
    struct pollfd p = {fd, POLLIN, 0};
    return ::poll(&p, 1, ms) == 1;
}

// An item as it travels: the text and its 0 octet.
inline std::string item(const std::string &text) { return text + std::string(1, '\0'); }

// Reads one item byte by byte; "<eof>" or "<timeout>" is appended when the
// item ends early.
inline std::string read_item(int fd, int ms = 5000) {
    std::string text;
    for (;;) {
        if (!readable(fd, ms)) return text + "<timeout>";
        char c;
        if (::read(fd, &c, 1) != 1) return text + "<eof>";
        if (c == '\0') return text;
        text += c;
    }
}

inline void write_raw(int fd, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

// Every byte waiting on fd right now (nothing blocks).
inline std::string drain(int fd) {
    std::string bytes;
    char buf[512];
    while (readable(fd, 0)) {
        ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0) break;
        bytes.append(buf, static_cast<size_t>(n));
    }
    return bytes;
}

// One data byte carrying the given descriptors in one SCM_RIGHTS header (or
// no control message when fds is empty).
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

// Receives one data byte and at most one descriptor; -1 when none came.
inline int recv_fd(int sock) {
    char byte;
    struct iovec iov = {&byte, 1};
    union {
        struct cmsghdr h;
        char space[CMSG_SPACE(sizeof(int))];
    } control{};
    struct msghdr message{};
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = control.space;
    message.msg_controllen = sizeof control.space;
    if (!readable(sock) || ::recvmsg(sock, &message, MSG_CMSG_CLOEXEC) != 1) return -1;
    struct cmsghdr *cmsg = CMSG_FIRSTHDR(&message);
    if (cmsg == nullptr || cmsg->cmsg_type != SCM_RIGHTS) return -1;
    int fd;
    std::memcpy(&fd, CMSG_DATA(cmsg), sizeof fd);
    return fd;
}

inline int unix_connect(const std::string &path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

inline struct sockaddr_in loopback(int port) {
    struct sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    return addr;
}

// A listening loopback TCP socket on a port the system picks.
inline int tcp_listener(int *port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in addr = loopback(0);
    ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    ::listen(fd, 8);
    socklen_t length = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &length);
    *port = ntohs(addr.sin_port);
    return fd;
}

// Both ends of one loopback TCP connection: {connecting end, accepted end}.
inline std::pair<int, int> tcp_pair() {
    int port = 0;
    int listener = tcp_listener(&port);
    int a = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in addr = loopback(port);
    ::connect(a, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    int b = ::accept(listener, nullptr, nullptr);
    ::close(listener);
    return {a, b};
}

inline int count_fds() {
    int count = 0;
    DIR *dir = ::opendir("/proc/self/fd");
    while (struct dirent *entry = ::readdir(dir))
        if (entry->d_name[0] != '.') ++count;
    ::closedir(dir);
    return count;
}

inline std::string hex(const unsigned char *bytes, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < n; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

inline std::vector<unsigned char> md5(const void *data, size_t n) {
    std::vector<unsigned char> digest(16);
    unsigned int length = 0;
    EVP_Digest(data, n, digest.data(), &length, EVP_md5(), nullptr);
    return digest;
}

// A hash pair as ynetd makes it, from any 16 bytes of digest A:
// {hash_str1, hash_str2}.
inline std::pair<std::string, std::string> hash_pair(const std::string &seed) {
    std::vector<unsigned char> a = md5(seed.data(), seed.size());
    std::vector<unsigned char> b = md5(a.data(), a.size());
    return {hex(b.data(), b.size()), hex(a.data(), a.size())};
}

// A fake ynetd on a loopback port: accepts connections one after the other
// and runs the script on each, until stopped. What the scripts record goes
// to log() (read it after stop()).
class Daemon {
public:
    using Script = std::function<void(int conn, int index, std::string &log)>;

    explicit Daemon(Script script) : script_(std::move(script)) {
        listener_ = tcp_listener(&port_);
        (void)::pipe(stop_);
        thread_ = std::thread([this] { run(); });
    }
    ~Daemon() {
        stop();
        ::close(listener_);
        ::close(stop_[0]);
        ::close(stop_[1]);
    }
    Daemon(const Daemon &) = delete;
    Daemon &operator=(const Daemon &) = delete;

    int port() const { return port_; }
    struct sockaddr_in addr() const { return loopback(port_); }
    int connections() const { return connections_; }
    void stop() {
        if (!thread_.joinable()) return;
        char c = 's';
        (void)::write(stop_[1], &c, 1);
        thread_.join();
    }
    const std::string &log() const { return log_; }

private:
    void run() {
        for (;;) {
            struct pollfd p[2] = {{listener_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (::poll(p, 2, 20000) <= 0 || (p[1].revents & POLLIN) != 0) return;
            int conn = ::accept(listener_, nullptr, nullptr);
            if (conn < 0) return;
            int on = 1;
            ::setsockopt(conn, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            script_(conn, connections_++, log_);
            ::close(conn);
        }
    }

    Script script_;
    int listener_ = -1;
    int port_ = 0;
    int stop_[2] = {-1, -1};
    std::atomic<int> connections_{0};
    std::string log_;
    std::thread thread_;
};

// The daemon's side of the handshake: reads the offer, answers `version`,
// and returns what the client echoed ("" when it sent nothing more).
inline std::string serve_handshake(int conn, int version, std::string &log) {
    log += "offer=" + read_item(conn) + ";";
    write_raw(conn, item(std::to_string(version)));
    if (version == -1) return "";
    std::string echo = read_item(conn);
    log += "echo=" + echo + ";";
    return echo;
}

}  // namespace fake

#endif
