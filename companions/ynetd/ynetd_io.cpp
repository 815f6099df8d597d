#include "ynetd_io.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "yq_paths.h"

namespace ynetd {

namespace {

// Where and how the library names the listener of a connect-back: the
// prefix, then six letters or digits (a dot between them when the name was
// built by hand), directly in this directory.
constexpr std::string_view kConnectBackDir = YQ_PATH_CONNECT_BACK_DIR "/";
constexpr std::string_view kConnectBackPrefix = YQ_CONNECT_BACK_PREFIX;
constexpr std::size_t kConnectBackRandom = 6;

bool alphanumeric(char ch) {
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9');
}

}  // namespace

Arrival item_arrival(int fd, std::size_t limit) {
    // Items are short: a stack buffer covers the longest one a client sends.
    char small[512];
    std::vector<char> large;
    char *buffer = small;
    if (limit > sizeof small) {
        large.resize(limit);
        buffer = large.data();
    }
    ssize_t seen = ::recv(fd, buffer, limit, MSG_PEEK | MSG_DONTWAIT);
    if (seen < 0) {
        // Nothing yet; any other error is the pop's to report, at once.
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? Arrival::Partial
                                                                         : Arrival::Whole;
    }
    if (seen == 0 || static_cast<std::size_t>(seen) >= limit) return Arrival::Whole;
    return std::memchr(buffer, '\0', static_cast<std::size_t>(seen)) != nullptr
               ? Arrival::Whole
               : Arrival::Partial;
}

bool connect_back_name(std::string_view path) {
    if (!path.starts_with(kConnectBackDir)) return false;
    std::string_view name = path.substr(kConnectBackDir.size());
    if (!name.starts_with(kConnectBackPrefix)) return false;
    name.remove_prefix(kConnectBackPrefix.size());
    if (name.starts_with('.')) name.remove_prefix(1);
    if (name.size() != kConnectBackRandom) return false;
    for (char ch : name)
        if (!alphanumeric(ch)) return false;
    return true;
}

Reach connect_listener(const char *path, bool connect_back, yq::unique_fd &out) {
    out.reset();
    std::string target = path;
    yq::unique_fd node;
    if (connect_back) {
        if (!connect_back_name(path)) return Reach::Unreachable;
        node.reset(::open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat info{};
        if (!node || ::fstat(node.get(), &info) != 0 || !S_ISSOCK(info.st_mode))
            return Reach::Unreachable;
        target = "/proc/self/fd/" + std::to_string(node.get());
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (target.size() >= sizeof addr.sun_path) return Reach::Unreachable;
    target.copy(addr.sun_path, target.size());
    yq::unique_fd sock(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!sock) return Reach::Unreachable;
    if (::connect(sock.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        return errno == EAGAIN ? Reach::Busy : Reach::Unreachable;
    out = std::move(sock);
    return Reach::Connected;
}

bool pass_descriptor(int uds, int fd) {
    char byte = 0;
    iovec iov{&byte, 1};
    union {
        cmsghdr header;
        char space[CMSG_SPACE(sizeof(int))];
    } control{};
    msghdr message{};
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = control.space;
    message.msg_controllen = sizeof control.space;
    cmsghdr *cmsg = CMSG_FIRSTHDR(&message);
    cmsg->cmsg_level = SOL_SOCKET;
    cmsg->cmsg_type = SCM_RIGHTS;
    cmsg->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(cmsg), &fd, sizeof fd);
    ssize_t sent;
    do {
        sent = ::sendmsg(uds, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    return sent == 1;
}

}  // namespace ynetd
