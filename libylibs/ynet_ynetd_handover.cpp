// Handing connections over through ynetd. A connection asked for a service
// or a connect-back reaches the waiting process as a descriptor passed over a
// Unix-domain socket; for connect-backs a pair of MD5 hashes, one sent
// through the asking peer and one with the descriptor, lets the waiting
// process accept only the hand-over made for its own request.
//
// The daemon-side halves (hash generation, connecting to a listener, sending
// the descriptor) live here too, so that both ends agree on every byte.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "md5.h"
#include "tempnam.h"
#include "ynet.h"
#include "ynet_ynetd_internal.h"
#include "yq_paths.h"
#include "yq_sys.h"
#include "ystrings.h"

using yq::ErrnoGuard;
using yq::ynet_wire::bracketed;
using yq::ynet_ynetd::drop_and_fail;
using yq::ynet_ynetd::request;

namespace {

constexpr int kHashDigits = 32;
constexpr int kConnectAttempts = 4;
constexpr mode_t kListenerMode = 0600;
constexpr const char *kTempDir = YQ_PATH_CONNECT_BACK_DIR;
constexpr const char *kTempPrefix = YQ_CONNECT_BACK_PREFIX;

using CharPtr = yq::unique_malloc<char>;
using UniqueFd = yq::unique_fd;

// Fills a Unix-domain address; false when the path does not fit.
bool unix_address(const char *path, sockaddr_un *addr) {
    *addr = sockaddr_un{};
    addr->sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof addr->sun_path) return false;
    Y_strlcpy(addr->sun_path, path, sizeof addr->sun_path);
    return true;
}

// A step before the hand-over failed: its cause is reported, the hand-over
// counts as failed.
int passing_failed(int cause, yq::report::Where where = yq::report::Where::current()) {
    yq::report::fail(kModule, cause, "status", where);
    return YN_STATUS_DESCRIPTOR_PASSING_FAILED;
}

// ---- MD5 hash pair -------------------------------------------------------

void md5_of(const unsigned char *data, unsigned length, unsigned char digest[MD5_DIGEST_LEN]) {
    MD5_CTX ctx;
    CR_MD5Init(&ctx);
    CR_MD5Update(&ctx, data, length);
    CR_MD5Final(digest, &ctx);
}

// Lower-case hexadecimal digits, cut to `size` (no formatter: the hash of a
// hand-over must not depend on memory being available).
void hex_of(const unsigned char digest[MD5_DIGEST_LEN], char *out, int size) {
    char text[kHashDigits + 1];
    rehex(digest, MD5_DIGEST_LEN, text);
    if (size > 0) Y_strlcpy(out, text, static_cast<size_t>(size));
}

// ---- Descriptor hand-over message ----------------------------------------

// The hand-over message: one data byte and room for one SCM_RIGHTS header
// of one descriptor.
struct HandOverMessage {
    char byte = 0;
    struct iovec iov{&byte, 1};
    struct msghdr message{};
    // Last: cmsghdr ends in a flexible array member.
    union {
        struct cmsghdr header;
        char space[CMSG_SPACE(sizeof(int))];
    } control{};

    HandOverMessage() {
        message.msg_iov = &iov;
        message.msg_iovlen = 1;
        message.msg_control = control.space;
        message.msg_controllen = sizeof control.space;
    }
    HandOverMessage(const HandOverMessage &) = delete;
    HandOverMessage &operator=(const HandOverMessage &) = delete;
};

// One data byte carrying one descriptor as SCM_RIGHTS.
int send_descriptor(int conn, int fd, int timeout) {
    int status = ynet_sock_ready(conn, 0, 1, timeout);
    if (status != YN_STATUS_SUCCESS) return passing_failed(status);
    HandOverMessage hand_over;
    struct msghdr &message = hand_over.message;
    struct cmsghdr *cmsg = CMSG_FIRSTHDR(&message);
    cmsg->cmsg_level = SOL_SOCKET;
    cmsg->cmsg_type = SCM_RIGHTS;
    cmsg->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(cmsg), &fd, sizeof fd);
    // MSG_NOSIGNAL: a listener that has gone must not end ynetd with SIGPIPE.
    ssize_t sent =
        bracketed(timeout, [&] { return yq::sys::sendmsg(conn, &message, MSG_NOSIGNAL); });
    if (sent != 1) {
        YN_DEBUG_VALUE("errno", nullptr, errno);
        return YN_FAIL_STATUS(YN_STATUS_DESCRIPTOR_PASSING_FAILED);
    }
    return YN_STATUS_SUCCESS;
}

// Receives the hand-over message: exactly one data byte and one SCM_RIGHTS
// header holding exactly one descriptor. Anything else (end of file, no
// descriptor, more descriptors, a truncated control buffer) is a failed
// hand-over, and every descriptor that did arrive is closed.
int receive_descriptor(int conn, int *fd, int timeout) {
    *fd = -1;
    int status = ynet_sock_ready(conn, 1, 0, timeout);
    if (status != YN_STATUS_SUCCESS) return passing_failed(status);
    HandOverMessage hand_over;
    struct msghdr &message = hand_over.message;
    ssize_t got =
        bracketed(timeout, [&] { return yq::sys::recvmsg(conn, &message, MSG_CMSG_CLOEXEC); });
    int err = errno;

    int received = -1;
    int headers = 0;
    bool extra = false;
    if (got >= 0) {
        for (struct cmsghdr *cmsg = CMSG_FIRSTHDR(&message); cmsg != nullptr;
             cmsg = CMSG_NXTHDR(&message, cmsg)) {
            ++headers;
            if (cmsg->cmsg_level != SOL_SOCKET || cmsg->cmsg_type != SCM_RIGHTS) {
                extra = true;
                continue;
            }
            size_t count = (cmsg->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            if (cmsg->cmsg_len != CMSG_LEN(sizeof(int))) extra = true;
            for (size_t i = 0; i < count; ++i) {
                int one;
                std::memcpy(&one, CMSG_DATA(cmsg) + i * sizeof(int), sizeof one);
                if (received < 0) {
                    received = one;
                } else {
                    ::close(one);
                    extra = true;
                }
            }
        }
    }
    bool truncated = (message.msg_flags & (MSG_CTRUNC | MSG_TRUNC)) != 0;
    if (got != 1 || truncated || extra || headers != 1 || received < 0) {
        if (received >= 0) ::close(received);
        YN_DEBUG_VALUE("recvmsg", nullptr, static_cast<int>(got));
        if (got < 0) YN_DEBUG_VALUE("errno", nullptr, err);
        if (truncated) YN_DEBUG_VALUE("msg_flags", nullptr, message.msg_flags);
        return YN_FAIL_STATUS(YN_STATUS_DESCRIPTOR_PASSING_FAILED);
    }
    *fd = received;
    return YN_STATUS_SUCCESS;
}

// Request 3: ynetd answers hash_str1 for the asker. A failure closes the
// connection to ynetd.
int request_hashed_handover(int *daemon_sock, const char *path, char *hash_str1, int timeout) {
    int status = ynet_push_unsigned(*daemon_sock, YNETD_REQUEST_DAEMON_SOCKET_HASH, timeout);
    if (status == YN_STATUS_SUCCESS) status = ynet_push_string(*daemon_sock, path, timeout);
    if (status == YN_STATUS_SUCCESS)
        status = ynet_pop_string(*daemon_sock, hash_str1, YNETD_HASH_SIZE, timeout);
    if (status != YN_STATUS_SUCCESS) return drop_and_fail(daemon_sock, status);
    YN_DEBUG_VALUE("hash_str1", hash_str1, 0);
    return YN_STATUS_SUCCESS;
}

}  // namespace

extern "C" int ynet_ynetd_push_ipaddr(int sock, const struct in_addr *addr, int timeout) noexcept {
    struct sockaddr_in name{};
    if (addr != nullptr) {
        name.sin_addr = *addr;
    } else {
        socklen_t length = sizeof name;
        if (::getsockname(sock, reinterpret_cast<sockaddr *>(&name), &length) != 0) {
            YN_DEBUG_VALUE("errno", nullptr, errno);
            return YN_FAIL_STATUS(YN_STATUS_SOCKET_ERROR);
        }
    }
    YN_DEBUG_VALUE("sizeof (name.sin_addr.s_addr)", nullptr,
                   static_cast<int>(sizeof(name.sin_addr.s_addr)));
    int status = ynet_push_signed(sock, static_cast<long>(sizeof(name.sin_addr.s_addr)), timeout);
    if (status != YN_STATUS_SUCCESS) return YN_FAIL_STATUS(status);
    // Network byte order: the most significant byte goes first.
    const auto *bytes = reinterpret_cast<const unsigned char *>(&name.sin_addr.s_addr);
    int i = 0;
    for (; i < static_cast<int>(sizeof(name.sin_addr.s_addr)); ++i) {
        if ((status = ynet_push_byte(sock, bytes[i], timeout)) != YN_STATUS_SUCCESS)
            return YN_FAIL_STATUS(status);
    }
    YN_DEBUG_VALUE("i", nullptr, i);
    // The port of ynetd on this host, through which the peer connects back.
    int port = 0;
    ynet_get_port(&port);
    YN_DEBUG_VALUE("port", nullptr, port);
    return YN_FAIL_STATUS_IF(ynet_push_signed(sock, port, timeout));
}

extern "C" int ynet_ynetd_pop_ipaddr(int sock, struct sockaddr_in *out, int timeout) noexcept {
    *out = sockaddr_in{};
    out->sin_family = AF_INET;
    long length = 0;
    int status = ynet_pop_signed(sock, &length, timeout);
    if (status != YN_STATUS_SUCCESS) return YN_FAIL_STATUS(status);
    YN_DEBUG_VALUE("ip_len", nullptr, static_cast<int>(length));
    if (length != static_cast<long>(sizeof(out->sin_addr.s_addr)))
        return YN_FAIL_STATUS(YN_STATUS_READ_FAILED);
    auto *bytes = reinterpret_cast<unsigned char *>(&out->sin_addr.s_addr);
    for (size_t i = 0; i < sizeof(out->sin_addr.s_addr); ++i) {
        int value = -1;
        if ((status = ynet_pop_byte(sock, &value, timeout)) != YN_STATUS_SUCCESS)
            return YN_FAIL_STATUS(status);
        YN_DEBUG_VALUE("byte", nullptr, value);
        bytes[i] = static_cast<unsigned char>(value);
    }
    long port = 0;
    if ((status = ynet_pop_signed(sock, &port, timeout)) != YN_STATUS_SUCCESS)
        return YN_FAIL_STATUS(status);
    YN_DEBUG_VALUE("port", nullptr, static_cast<int>(port));
    out->sin_port = htons(static_cast<uint16_t>(port));
    return YN_STATUS_SUCCESS;
}

extern "C" void ynet_generate_hashes(int sock, char *hash_str1, int size1, char *hash_str2,
                                     int size2) noexcept {
    // Digest A over who made the pair, when, and for which connection.
    struct {
        int32_t pid;
        int32_t now;
        struct sockaddr_in local;
        struct sockaddr_in peer;
    } material{};
    static_assert(sizeof material == 4 + 4 + 16 + 16);
    material.pid = static_cast<int32_t>(::getpid());
    material.now = static_cast<int32_t>(yq::sys::time(nullptr));
    socklen_t length = sizeof material.local;
    (void)::getsockname(sock, reinterpret_cast<sockaddr *>(&material.local), &length);
    length = sizeof material.peer;
    (void)::getpeername(sock, reinterpret_cast<sockaddr *>(&material.peer), &length);

    unsigned char digest_a[MD5_DIGEST_LEN];
    md5_of(reinterpret_cast<const unsigned char *>(&material), sizeof material, digest_a);
    unsigned char digest_b[MD5_DIGEST_LEN];
    md5_of(digest_a, sizeof digest_a, digest_b);
    if (hash_str2 != nullptr) hex_of(digest_a, hash_str2, size2);
    if (hash_str1 != nullptr) hex_of(digest_b, hash_str1, size1);
    YN_DEBUG_VALUE("hash_str1", hash_str1 != nullptr ? hash_str1 : "NULL", 0);
    YN_DEBUG_VALUE("hash_str2", hash_str2 != nullptr ? hash_str2 : "NULL", 0);
}

extern "C" int verify_hashes(const char *hash_str1, const char *hash_str2) noexcept {
    const char *second = hash_str2 != nullptr ? hash_str2 : "";
    // No hash asked for: only a hand-over without one is taken.
    if (hash_str1 == nullptr) return second[0] == '\0' ? 1 : 0;
    if (std::strlen(second) != kHashDigits) return 0;
    unsigned char digest_a[MD5_DIGEST_LEN];
    if (unhex(second, digest_a) != MD5_DIGEST_LEN) return 0;
    unsigned char digest_b[MD5_DIGEST_LEN];
    md5_of(digest_a, sizeof digest_a, digest_b);
    char expected[YNETD_HASH_SIZE];
    hex_of(digest_b, expected, sizeof expected);
    return std::strcmp(expected, hash_str1) == 0 ? 1 : 0;
}

extern "C" int ynet_listen_for_ynetd(char *path, int size, int backlog, int *listen_sock,
                                     int timeout) noexcept {
    (void)timeout;
    *listen_sock = -1;
    bool temporary = path == nullptr || path[0] == '\0';
    for (;;) {
        CharPtr name(temporary ? Y_tempnam(kTempDir, kTempPrefix) : yq::sys::strdup(path));
        if (!name) return YN_FAIL_STATUS(YN_STATUS_NO_MEMORY);
        UniqueFd sock(yq::sys::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (sock.get() < 0) {
            YN_DEBUG_VALUE("errno_v", nullptr, errno);
            return YN_FAIL_STATUS(YN_STATUS_SOCKET_ERROR);
        }
        int on = 1;
        if (::setsockopt(sock.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
            YN_DEBUG_VALUE("errno_v", nullptr, errno);
            return YN_FAIL_STATUS(YN_STATUS_SOCKET_ERROR);
        }
        struct sockaddr_un addr;
        if (!unix_address(name.get(), &addr)) {
            YN_DEBUG_VALUE("path too long", name.get(), 0);
            return YN_FAIL_STATUS(YN_STATUS_UNIX_BIND_FAILED);
        }
        (void)::unlink(name.get());
        int status = YN_STATUS_SUCCESS;
        if (yq::sys::bind(sock.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) !=
            0) {
            status = YN_STATUS_UNIX_BIND_FAILED;
        } else if (yq::sys::chmod(name.get(), kListenerMode) != 0 || ::listen(sock.get(), backlog) != 0) {
            // Permissions are set before listening, so no connection is ever
            // accepted through a socket file open to others.
            status = YN_STATUS_LISTEN_FAILED;
        }
        if (status != YN_STATUS_SUCCESS) {
            int err = errno;
            if (status == YN_STATUS_LISTEN_FAILED) (void)::unlink(name.get());
            if (err == EADDRINUSE && temporary) continue;  // taken meanwhile: a new name
            YN_DEBUG_VALUE("errno_v", nullptr, err);
            return YN_FAIL_STATUS(status);
        }
        if (temporary && path != nullptr && size > 0)
            Y_strlcpy(path, name.get(), static_cast<size_t>(size));
        *listen_sock = sock.release();
        return YN_STATUS_SUCCESS;
    }
}

extern "C" int ynet_accept_from_ynetd(int listen_sock, int *conn, int timeout) noexcept {
    *conn = -1;
    int status = ynet_sock_ready(listen_sock, 1, 0, timeout);
    if (status == YN_STATUS_TIMEOUT) {
        // Nothing arrived in time: not a failure here.
        YN_DEBUG_VALUE("status", nullptr, YN_STATUS_SUCCESS);
        return YN_STATUS_SUCCESS;
    }
    if (status != YN_STATUS_SUCCESS) {
        YN_DEBUG_LEVEL("ynet_sock_ready failed", nullptr, status, 0);
        return status;
    }
    int fd = bracketed(timeout, [&] {
        return yq::sys::accept4(listen_sock, nullptr, nullptr, SOCK_CLOEXEC);
    });
    if (fd < 0) {
        YN_DEBUG_VALUE("errno", nullptr, errno);
        return YN_FAIL_STATUS(YN_STATUS_ACCEPT_FAILED);
    }
    *conn = fd;
    return YN_STATUS_SUCCESS;
}

extern "C" int ynet_receive_network_socket(int conn, const char *hash_str1, int *fd,
                                           int timeout) noexcept {
    *fd = -1;
    char hash_str2[YNETD_HASH_SIZE];
    int status = ynet_pop_string(conn, hash_str2, sizeof hash_str2, timeout);
    if (status != YN_STATUS_SUCCESS) return YN_FAIL_STATUS(status);
    if (ynet_debug_fd != -1) {
        YN_DEBUG_VALUE("hash_str1", hash_str1 != nullptr ? hash_str1 : "NULL", 0);
        YN_DEBUG_VALUE("hash_str2", hash_str2, 0);
    }
    // Only the hand-over that ynetd made for this very request is taken.
    if (!verify_hashes(hash_str1, hash_str2)) return YN_FAIL_STATUS(YN_STATUS_HASH_MISMATCH);
    if ((status = receive_descriptor(conn, fd, timeout)) != YN_STATUS_SUCCESS)
        return YN_FAIL_STATUS(status);
    if ((status = ynet_push_status(conn, YN_STATUS_SUCCESS, timeout)) != YN_STATUS_SUCCESS)
        return drop_and_fail(fd, status);
    return YN_STATUS_SUCCESS;
}

extern "C" int ynet_ynetd_accept_and_receive(int listen_sock, const char *hash_str1, int *newsock,
                                             int timeout) noexcept {
    *newsock = -1;
    int raw = -1;
    int status = ynet_accept_from_ynetd(listen_sock, &raw, timeout);
    if (status != YN_STATUS_SUCCESS) return YN_FAIL_STATUS(status);
    if (raw < 0) return YN_FAIL_STATUS(YN_STATUS_TIMEOUT);
    UniqueFd conn(raw);
    if ((status = ynet_receive_network_socket(conn.get(), hash_str1, newsock, timeout)) !=
        YN_STATUS_SUCCESS)
        return YN_FAIL_STATUS(status);
    // The peer that asked for this connection waits for this status.
    if (ynet_debug_fd != -1) {
        YN_DEBUG_VALUE("YN_STATUS_SUCCESS", nullptr, YN_STATUS_SUCCESS);
        YN_DEBUG_VALUE("*newsock", nullptr, *newsock);
    }
    if ((status = ynet_push_status(*newsock, YN_STATUS_SUCCESS, timeout)) != YN_STATUS_SUCCESS)
        return drop_and_fail(newsock, status);
    return YN_STATUS_SUCCESS;
}

extern "C" int ynet_send_network_socket(int conn, int fd, const char *hash_str2,
                                        int timeout) noexcept {
    const char *hash = hash_str2 != nullptr ? hash_str2 : "";
    YN_DEBUG_VALUE("hash_str2", hash, 0);
    int status = ynet_push_string(conn, hash, timeout);
    if (status != YN_STATUS_SUCCESS) return YN_FAIL_STATUS(status);
    if ((status = send_descriptor(conn, fd, timeout)) != YN_STATUS_SUCCESS)
        return YN_FAIL_STATUS(status);
    int answer = 0;
    if ((status = ynet_pop_status(conn, &answer, timeout)) != YN_STATUS_SUCCESS)
        return YN_FAIL_STATUS(status);
    return YN_FAIL_STATUS_IF(answer);
}

extern "C" int ynet_connect_by_ynetd(const char *path, int *sock, int max_time) noexcept {
    *sock = -1;
    if (max_time < 1) max_time = 1;
    time_t last_time = yq::sys::time(nullptr) + max_time;
    struct sockaddr_un addr;
    if (path == nullptr || !unix_address(path, &addr)) {
        YN_DEBUG_VALUE("path", path != nullptr ? path : "NULL", 0);
        return YN_FAIL_STATUS(YN_STATUS_SOCKET_ERROR);
    }
    int save_errno = 0;
    for (int attempt = 1; attempt <= kConnectAttempts; ++attempt) {
        UniqueFd fd(yq::sys::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (fd.get() < 0) {
            YN_DEBUG_VALUE("errno", nullptr, errno);
            return YN_FAIL_STATUS(YN_STATUS_SOCKET_ERROR);
        }
        if (yq::sys::connect(fd.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) ==
            0) {
            *sock = fd.release();
            return YN_STATUS_SUCCESS;
        }
        save_errno = errno;
        YN_DEBUG_VALUE("save_errno", nullptr, save_errno);
        fd.reset();
        if (save_errno == EADDRINUSE) continue;
        time_t now = yq::sys::time(nullptr);
        if (now > last_time) {
            YN_DEBUG_LEVEL("time(NULL)", nullptr, static_cast<int>(now), 0);
            YN_DEBUG_LEVEL("last_time", nullptr, static_cast<int>(last_time), 0);
            YN_DEBUG_LEVEL("max_time", nullptr, max_time, 0);
            return YN_FAIL_STATUS(YN_STATUS_TIMEOUT);
        }
        if (save_errno == ECONNREFUSED || save_errno == ETIMEDOUT) {
            // The listener may be between two accepts: wait a little.
            yq::sys::sleep(1);
            last_time = yq::sys::time(nullptr) + max_time;
            continue;
        }
        YN_DEBUG_LEVEL("save_errno", nullptr, save_errno, 0);
        errno = save_errno;
        return YN_FAIL_STATUS(YN_STATUS_SOCKET_ERROR);
    }
    errno = save_errno;  // the reporter keeps it for the caller
    return YN_FAIL_STATUS(save_errno == EADDRINUSE ? YN_STATUS_ADDRESS_IN_USE
                                                   : YN_STATUS_SOCKET_ERROR);
}

extern "C" int ynet_begin_connect_back(int sock, int timeout, int *newsock) noexcept {
    *newsock = -1;
    char path[YNETD_IPC_PATH_SIZE] = "";
    int raw = -1;
    int status = ynet_listen_for_ynetd(path, sizeof path, 1, &raw, timeout);
    if (status != YN_STATUS_SUCCESS) return YN_FAIL_STATUS(status);
    UniqueFd listener(raw);
    // The listener and its name last only for this call.
    struct Unlink {
        const char *path;
        ~Unlink() {
            ErrnoGuard keep;
            if (path[0] != '\0') ::unlink(path);
        }
    } unlink_path{path};

    char hash_str1[YNETD_HASH_SIZE] = "";
    int pstatus = 0;
    if ((status = ynet_ynetd_push_ipaddr(sock, nullptr, timeout)) != YN_STATUS_SUCCESS)
        return YN_FAIL_STATUS(status);
    YN_DEBUG_VALUE("ipc_string", path, 0);
    if ((status = ynet_push_string(sock, path, timeout)) != YN_STATUS_SUCCESS)
        return YN_FAIL_STATUS(status);
    if ((status = ynet_pop_status(sock, &pstatus, timeout)) != YN_STATUS_SUCCESS)
        return YN_FAIL_STATUS(status);
    YN_DEBUG_VALUE("pstatus", nullptr, pstatus);
    if (pstatus != YN_STATUS_SUCCESS) return YN_FAIL_STATUS(pstatus);
    if ((status = ynet_pop_string(sock, hash_str1, sizeof hash_str1, timeout)) !=
        YN_STATUS_SUCCESS)
        return YN_FAIL_STATUS(status);
    YN_DEBUG_VALUE("popped hash_str1", hash_str1, 0);
    if ((status = ynet_ynetd_accept_and_receive(listener.get(), hash_str1, newsock, timeout)) !=
        YN_STATUS_SUCCESS)
        return drop_and_fail(newsock, status);
    return YN_STATUS_SUCCESS;
}

extern "C" int ynet_ynetd_daemon_socket(int *daemon_sock, int version, const char *path,
                                        int timeout) noexcept {
    (void)version;
    return request(daemon_sock, YNETD_REQUEST_DAEMON_SOCKET, path, timeout);
}

extern "C" int ynet_ynetd_connect_back_socket(int *daemon_sock, int version, int sock,
                                              int use_hash, int timeout) noexcept {
    char path[YNETD_IPC_PATH_SIZE];
    int status = ynet_pop_string(sock, path, sizeof path, timeout);
    if (status != YN_STATUS_SUCCESS) return YN_FAIL_STATUS(status);
    YN_DEBUG_VALUE("ipc_string", path, 0);
    if (!use_hash) {
        // The asker hears nothing more on its connection from us.
        return YN_FAIL_STATUS_IF(ynet_ynetd_daemon_socket(daemon_sock, version, path, timeout));
    }
    char hash_str1[YNETD_HASH_SIZE] = "";
    int result = request_hashed_handover(daemon_sock, path, hash_str1, timeout);
    // The asker learns whether ynetd took the request, then gets the hash.
    if ((status = ynet_push_status(sock, result, timeout)) != YN_STATUS_SUCCESS)
        return YN_FAIL_STATUS(status);
    if (result != YN_STATUS_SUCCESS) return result;
    YN_DEBUG_VALUE("pushed hash_str1", hash_str1, 0);
    if ((status = ynet_push_string(sock, hash_str1, timeout)) != YN_STATUS_SUCCESS)
        return drop_and_fail(daemon_sock, status);
    // By now the connection is joined to the asker, which confirms.
    int pstatus = 0;
    if ((status = ynet_pop_status(*daemon_sock, &pstatus, timeout)) != YN_STATUS_SUCCESS)
        return drop_and_fail(daemon_sock, status);
    YN_DEBUG_VALUE("pstatus", nullptr, pstatus);
    return YN_FAIL_STATUS_IF(pstatus);
}

extern "C" int ynet_end_connect_back_ira(int sock, int port_low, int port_high,
                                         const struct in_addr *local, int *daemon_sock,
                                         int use_hash, int timeout,
                                         int use_peer_address) noexcept {
    *daemon_sock = -1;
    struct sockaddr_in addr{};
    int status = ynet_ynetd_pop_ipaddr(sock, &addr, timeout);
    if (status != YN_STATUS_SUCCESS) return YN_FAIL_STATUS(status);
    if (use_peer_address) {
        // The asker's own view of its address may not be reachable from here.
        struct sockaddr_in peer{};
        socklen_t length = sizeof peer;
        if (::getpeername(sock, reinterpret_cast<sockaddr *>(&peer), &length) == 0) {
            addr.sin_addr = peer.sin_addr;
        } else {
            YN_DEBUG_VALUE("getpeername failed", nullptr, errno);
        }
    }
    int version = -1;
    status = ynet_connect_to_ynetd(&addr, port_low, port_high, local, daemon_sock, &version,
                                   timeout);
    if (status == YN_STATUS_SUCCESS)
        status = ynet_ynetd_connect_back_socket(daemon_sock, version, sock, use_hash, timeout);
    if (status != YN_STATUS_SUCCESS) {
        if (*daemon_sock >= 0) (void)ynet_ynetd_disconnect(daemon_sock, version, timeout);
        return YN_FAIL_STATUS(status);
    }
    return YN_STATUS_SUCCESS;
}

extern "C" int ynet_end_connect_back(int sock, int port_low, int port_high,
                                     const struct in_addr *local, int *daemon_sock, int use_hash,
                                     int timeout) noexcept {
    int status = ynet_end_connect_back_ira(sock, port_low, port_high, local, daemon_sock,
                                           use_hash, timeout, 0);
    if (status != YN_STATUS_SUCCESS)
        YN_DEBUG_LEVEL("ynet_end_connect_back_ira failed", nullptr, status, 0);
    return status;
}
