// Conversations with ynetd, the port-multiplexing daemon of every host.
//
// A client connects to a host's ynetd, agrees a protocol version and names
// what it wants: a no-op, the daemon's product version, the security
// information of the master, a registered service, or a connect-back to a
// process waiting on a private Unix-domain listener. The connection asked
// for a service or a connect-back is handed by ynetd to the waiting process
// as a descriptor over a Unix-domain socket; for connect-backs a pair of MD5
// hashes, one sent through the asking peer and one with the descriptor, lets
// the waiting process accept only the hand-over made for its own request.
//
// The daemon-side halves of the hand-over (hash generation, connecting to a
// listener, sending the descriptor) live here too, so that both ends agree
// on every byte.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "crconf.h"
#include "md5.h"
#include "tempnam.h"
#include "ynet.h"
#include "ynet_private.h"
#include "yq_memory.h"
#include "yq_paths.h"
#include "yq_sys.h"
#include "ystrings.h"

static constexpr const char *kModule = "ynet_ynetd";

namespace {

using yq::ErrnoGuard;
using yq::ynet_wire::bracketed;

// ynetd's TCP port; -1 until looked up or set.
int ynet_port = -1;

constexpr int kNumberTextSize = 128;
constexpr int kVersionTextSize = 1024;
constexpr int kPathBufferSize = 1025;
constexpr int kCacheLineSize = 128;
constexpr int kHashDigits = 32;
constexpr int kConnectAttempts = 4;
constexpr int kVersion1Product = 450000;
constexpr int kNoVersionRequestProduct = 451000;
// The two numbers as "%d" gives them; copied, since no formatting may fail.
constexpr const char *kVersion1Text = "450000";
constexpr const char *kNoVersionRequestText = "451000";
constexpr int kHostVersionTimeout = 6;
constexpr mode_t kRendezvousMode = 0700;
constexpr mode_t kListenerMode = 0600;
constexpr mode_t kVersionFileMode = 0644;
constexpr const char *kTempDir = "/tmp";
constexpr const char *kTempPrefix = "ynet";

using CharPtr = yq::unique_malloc<char>;
using UniqueFd = yq::unique_fd;

// Ends a conversation that fell out of step: closes the caller's socket and
// marks it closed.
void drop(int *sock) {
    if (sock == nullptr) return;
    if (*sock >= 0) {
        ErrnoGuard keep;
        ::close(*sock);
    }
    *sock = -1;
}

bool equals(const char *a, std::string_view b) { return a != nullptr && std::string_view(a) == b; }

// Leading decimal number of a text, 0 when it does not begin with a digit.
int leading_number(const char *text) {
    if (!std::isdigit(static_cast<unsigned char>(text[0]))) return 0;
    return static_cast<int>(std::strtol(text, nullptr, 10));
}

// Fills a Unix-domain address; false when the path does not fit.
bool unix_address(const char *path, sockaddr_un *addr) {
    *addr = sockaddr_un{};
    addr->sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof addr->sun_path) return false;
    Y_strlcpy(addr->sun_path, path, sizeof addr->sun_path);
    return true;
}

// ---- MD5 hash pair -------------------------------------------------------

void md5_of(const unsigned char *data, unsigned length, unsigned char digest[MD5_DIGEST_LEN]) {
    MD5_CTX ctx;
    CR_MD5Init(&ctx);
    CR_MD5Update(&ctx, data, length);
    CR_MD5Final(digest, &ctx);
}

// Lower-case "%02x" per byte, written directly: the hash of a hand-over
// must not depend on memory being available for a formatter.
void hex_of(const unsigned char digest[MD5_DIGEST_LEN], char *out, int size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    char text[kHashDigits + 1];
    for (int i = 0; i < MD5_DIGEST_LEN; ++i) {
        text[2 * i] = kDigits[digest[i] >> 4];
        text[2 * i + 1] = kDigits[digest[i] & 0x0f];
    }
    text[kHashDigits] = '\0';
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
    if (status != YN_STATUS_SUCCESS) {
        YN_FAIL_STATUS(status);
        return YN_STATUS_DESCRIPTOR_PASSING_FAILED;
    }
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
    if (status != YN_STATUS_SUCCESS) {
        YN_FAIL_STATUS(status);
        return YN_STATUS_DESCRIPTOR_PASSING_FAILED;
    }
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

// ---- Remote version cache ------------------------------------------------

// Paths of the cache; false when the path cannot be formatted.
bool version_cache_dir(char *out, size_t size) {
    return Y_snprintf(out, size, "%s%sremote_versions", YQ_PATH_CARROW_DIR, "/") >= 0;
}

bool version_cache_file(const char *name, char *out, size_t size) {
    return Y_snprintf(out, size, "%s%sremote_versions%s%s", YQ_PATH_CARROW_DIR, "/", "/", name) >=
           0;
}

bool hidden(const char *name) { return name[0] == '.'; }

// The version remembered for `host`, or -1 when no file names it.
int cached_version(const char *host) {
    char dir_path[kPathBufferSize];
    if (!version_cache_dir(dir_path, sizeof dir_path)) return -1;
    DIR *dir = ::opendir(dir_path);
    if (dir == nullptr) return -1;
    int version = -1;
    while (struct dirent *entry = ::readdir(dir)) {
        if (hidden(entry->d_name) || !ynet_same_hostbyname(entry->d_name, host)) continue;
        char path[kPathBufferSize];
        version = 0;
        FILE *file = nullptr;
        if (version_cache_file(entry->d_name, path, sizeof path) &&
            (file = std::fopen(path, "re")) != nullptr) {
            char line[kCacheLineSize] = "";
            if (std::fgets(line, sizeof line, file) != nullptr) version = leading_number(line);
            std::fclose(file);
        }
        break;
    }
    ::closedir(dir);
    return version;
}

void forget_version(const char *host) {
    char dir_path[kPathBufferSize];
    if (!version_cache_dir(dir_path, sizeof dir_path)) return;
    DIR *dir = ::opendir(dir_path);
    if (dir == nullptr) return;
    while (struct dirent *entry = ::readdir(dir)) {
        if (hidden(entry->d_name) || !ynet_same_hostbyname(entry->d_name, host)) continue;
        char path[kPathBufferSize];
        if (version_cache_file(entry->d_name, path, sizeof path)) ::unlink(path);
    }
    ::closedir(dir);
}

void remember_version(const char *host, const char *text) {
    char path[kPathBufferSize];
    if (!version_cache_file(host, path, sizeof path)) return;
    int fd = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, kVersionFileMode);
    if (fd < 0) {
        YN_DEBUG_VALUE("open failed", path, 0);
        return;
    }
    (void)yq::sys::write(fd, text, std::strlen(text));
    ::close(fd);
}

// ---- Security-information query ------------------------------------------

bool unknown(const char *text) { return equals(text, YNETD_UNKNOWN_FIELD); }

int pop_text(int sock, char *text, int timeout) {
    int status = ynet_pop_string(sock, text, YNETD_TEXT_SIZE, timeout);
    if (status != YN_STATUS_SUCCESS) YN_FAIL_STATUS(status);
    return status;
}

int pop_int(int sock, int *value, int timeout) {
    long number = 0;
    int status = ynet_pop_signed(sock, &number, timeout);
    if (status != YN_STATUS_SUCCESS) return YN_FAIL_STATUS(status);
    *value = static_cast<int>(number);
    return YN_STATUS_SUCCESS;
}

int ask_field(int sock, const char *field, char *first, int timeout) {
    int status = ynet_push_string(sock, field, timeout);
    if (status != YN_STATUS_SUCCESS) return YN_FAIL_STATUS(status);
    status = pop_text(sock, first, timeout);
    if (status != YN_STATUS_SUCCESS) return status;
    YN_DEBUG_VALUE(field, first, 0);
    if (unknown(first)) return YN_FAIL_STATUS(YN_STATUS_INVALID_ARGUMENT);
    return YN_STATUS_SUCCESS;
}

int fetch_authorization_service(int sock, crconf_info_rec *info, int timeout) {
    char host[YNETD_TEXT_SIZE];
    int status = ask_field(sock, YNETD_FIELD_AUTHORIZATION_SERVICE, host, timeout);
    if (status != YN_STATUS_SUCCESS || host[0] == '\0') return status;
    int port = 0;
    if ((status = pop_int(sock, &port, timeout)) != YN_STATUS_SUCCESS) return status;
    crconf_authorization_service_rec *record = nullptr;
    int result = crconf_create_authorization_service(host, port, &record);
    if (result != 0) {
        YN_DEBUG_LEVEL("retval", nullptr, result, 0);
        YN_FAIL_STATUS(YN_STATUS_DESCRIPTOR_PASSING_FAILED);
        crconf_free_authorization_service(&record);
        return YN_STATUS_DESCRIPTOR_PASSING_FAILED;
    }
    info->ni_authorization_service = record;
    char rest[YNETD_TEXT_SIZE];
    if ((status = pop_text(sock, rest, timeout)) != YN_STATUS_SUCCESS) return status;
    if (rest[0] != '\0') {
        YN_DEBUG_VALUE("unexpected", rest, 0);
        return YN_FAIL_STATUS(YN_STATUS_INVALID_ARGUMENT);
    }
    return YN_STATUS_SUCCESS;
}

int fetch_authentication_domains(int sock, crconf_info_rec *info, int timeout) {
    char broker[YNETD_TEXT_SIZE];
    int status = ask_field(sock, YNETD_FIELD_AUTHENTICATION_DOMAINS, broker, timeout);
    if (status != YN_STATUS_SUCCESS) return status;
    crconf_authentication_domain_rec **tail = &info->ni_authentication_domains;
    while (*tail != nullptr) tail = &(*tail)->ad_next;
    while (broker[0] != '\0') {
        char domain[YNETD_TEXT_SIZE];
        char comment[YNETD_TEXT_SIZE];
        int port = 0;
        int type = 0;
        if ((status = pop_int(sock, &port, timeout)) != YN_STATUS_SUCCESS ||
            (status = pop_text(sock, domain, timeout)) != YN_STATUS_SUCCESS ||
            (status = pop_text(sock, comment, timeout)) != YN_STATUS_SUCCESS ||
            (status = pop_int(sock, &type, timeout)) != YN_STATUS_SUCCESS)
            return status;
        crconf_authentication_domain_rec *record = nullptr;
        int result = crconf_create_authentication_domain(domain, comment, type, broker, port,
                                                         &record);
        if (result != 0) {
            YN_DEBUG_LEVEL("retval", nullptr, result, 0);
            YN_FAIL_STATUS(YN_STATUS_DESCRIPTOR_PASSING_FAILED);
            crconf_free_authentication_domain(&record);
            return YN_STATUS_DESCRIPTOR_PASSING_FAILED;
        }
        *tail = record;
        tail = &record->ad_next;
        if ((status = pop_text(sock, broker, timeout)) != YN_STATUS_SUCCESS) return status;
    }
    return YN_STATUS_SUCCESS;
}

int fetch_yqss_networks(int sock, crconf_info_rec *info, int timeout) {
    char network[YNETD_TEXT_SIZE];
    int status = ask_field(sock, YNETD_FIELD_YQSS_NETWORKS, network, timeout);
    if (status != YN_STATUS_SUCCESS) return status;
    crconf_yqss_network_rec **tail = &info->ni_yqss_networks;
    while (*tail != nullptr) tail = &(*tail)->nw_next;
    while (network[0] != '\0') {
        int use_yqss = 0;
        if ((status = pop_int(sock, &use_yqss, timeout)) != YN_STATUS_SUCCESS) return status;
        crconf_yqss_network_rec *record = nullptr;
        int result = crconf_create_yqss_network(network, use_yqss, &record);
        if (result != 0) {
            YN_DEBUG_LEVEL("retval", nullptr, result, 0);
            YN_FAIL_STATUS(YN_STATUS_DESCRIPTOR_PASSING_FAILED);
            crconf_free_yqss_network(&record);
            return YN_STATUS_DESCRIPTOR_PASSING_FAILED;
        }
        *tail = record;
        tail = &record->nw_next;
        if ((status = pop_text(sock, network, timeout)) != YN_STATUS_SUCCESS) return status;
    }
    return YN_STATUS_SUCCESS;
}

int query_security_info(int sock, crconf_info_rec *info, int timeout) {
    int status = ynet_push_unsigned(sock, YNETD_REQUEST_SECURITY_INFO, timeout);
    if (status != YN_STATUS_SUCCESS) return YN_FAIL_STATUS(status);
    int answer = 0;
    if ((status = ynet_pop_status(sock, &answer, timeout)) != YN_STATUS_SUCCESS) {
        return YN_FAIL_STATUS(status);
    }
    if (answer != YN_STATUS_SUCCESS) {
        YN_DEBUG_LEVEL("retval", nullptr, answer, 0);
        return YN_FAIL_STATUS(YN_STATUS_DESCRIPTOR_PASSING_FAILED);
    }
    if (info->ni_authorization_service == nullptr &&
        (status = fetch_authorization_service(sock, info, timeout)) != YN_STATUS_SUCCESS)
        return status;
    if (info->ni_authentication_domains == nullptr &&
        (status = fetch_authentication_domains(sock, info, timeout)) != YN_STATUS_SUCCESS)
        return status;
    if (info->ni_yqss_networks == nullptr &&
        (status = fetch_yqss_networks(sock, info, timeout)) != YN_STATUS_SUCCESS)
        return status;
    if ((status = ynet_push_string(sock, "", timeout)) != YN_STATUS_SUCCESS) YN_FAIL_STATUS(status);
    return status;
}

// ---- Connect-back, side B --------------------------------------------------

// Request 3: ynetd answers hash_str1 for the asker. A failure closes the
// connection to ynetd.
int request_hashed_handover(int *daemon_sock, const char *path, char *hash_str1, int timeout) {
    int status = ynet_push_unsigned(*daemon_sock, YNETD_REQUEST_DAEMON_SOCKET_HASH, timeout);
    if (status == YN_STATUS_SUCCESS) status = ynet_push_string(*daemon_sock, path, timeout);
    if (status == YN_STATUS_SUCCESS)
        status = ynet_pop_string(*daemon_sock, hash_str1, YNETD_HASH_SIZE, timeout);
    if (status != YN_STATUS_SUCCESS) {
        YN_FAIL_STATUS(status);
        drop(daemon_sock);
        return status;
    }
    YN_DEBUG_VALUE("hash_str1", hash_str1, 0);
    return YN_STATUS_SUCCESS;
}

}  // namespace

// ===== Daemon connection and version handshake ==============================

extern "C" int ynet_get_port(int *port) noexcept {
    if (ynet_port == -1) {
        struct servent *entry = nullptr;
        int status = ynet_cached_getservbyname("ynetd", "tcp", &entry);
        if (status == YN_STATUS_SUCCESS) {
            ynet_port = ntohs(static_cast<uint16_t>(entry->s_port));
        } else {
            YN_DEBUG_VALUE("status", nullptr, status);
            ynet_port = YNETD_DEFAULT_PORT;
        }
        ynet_free_servent(&entry);
    }
    if (port != nullptr) *port = ynet_port;
    return YN_STATUS_SUCCESS;
}

extern "C" void ynet_set_port(int port) noexcept { ynet_port = port; }

extern "C" int version_connect(int sock, int max_version, int min_version, int *actual_version,
                               int timeout) noexcept {
    int status = ynet_push_signed(sock, max_version, timeout);
    if (status != YN_STATUS_SUCCESS) return YN_FAIL_STATUS(status);
    long answer = 0;
    status = ynet_pop_signed(sock, &answer, timeout);
    if (status != YN_STATUS_SUCCESS) return YN_FAIL_STATUS(status);
    *actual_version = static_cast<int>(answer);
    if (answer == -1) return YN_FAIL_STATUS(YN_STATUS_VERSION_MISMATCH);
    if (answer < min_version || answer > max_version) *actual_version = -1;
    if (ynet_debug_fd != -1) YN_DEBUG_VALUE("*actual_version", nullptr, *actual_version);
    // The daemon learns the version in force, or -1 when none fits.
    status = ynet_push_signed(sock, *actual_version, timeout);
    if (status != YN_STATUS_SUCCESS) return YN_FAIL_STATUS(status);
    if (*actual_version == -1) return YN_FAIL_STATUS(YN_STATUS_VERSION_MISMATCH);
    return YN_STATUS_SUCCESS;
}

extern "C" int ynet_connect_to_ynetd(const struct sockaddr_in *daemon, int port_low, int port_high,
                                     const struct in_addr *local, int *sock, int *version,
                                     int timeout) noexcept {
    int status = ynet_bind_and_connect(daemon, port_low, port_high, local, sock, timeout);
    if (status != YN_STATUS_SUCCESS) return YN_FAIL_STATUS(status);
    // A failed handshake leaves the socket with the caller, to close or
    // disconnect.
    status = version_connect(*sock, YNETD_PROTOCOL_MAX, YNETD_PROTOCOL_MIN, version, timeout);
    if (status != YN_STATUS_SUCCESS) YN_FAIL_STATUS(status);
    return status;
}

extern "C" int ynet_ynetd_noop(int *sock, int version, int timeout) noexcept {
    (void)version;
    int status = ynet_push_unsigned(*sock, YNETD_REQUEST_NOOP, timeout);
    int answer = 0;
    if (status == YN_STATUS_SUCCESS) status = ynet_pop_status(*sock, &answer, timeout);
    if (status != YN_STATUS_SUCCESS) {
        YN_FAIL_STATUS(status);
        drop(sock);
        return status;
    }
    if (answer != YN_STATUS_SUCCESS) YN_FAIL_STATUS(answer);
    return answer;
}

extern "C" int ynet_ynetd_disconnect(int *sock, int version, int timeout) noexcept {
    (void)version;
    int status = ynet_push_unsigned(*sock, YNETD_REQUEST_DISCONNECT, timeout);
    int answer = 0;
    if (status == YN_STATUS_SUCCESS) status = ynet_pop_status(*sock, &answer, timeout);
    if (status == YN_STATUS_SUCCESS) status = answer;
    if (status != YN_STATUS_SUCCESS) YN_FAIL_STATUS(status);
    drop(sock);
    return status;
}

extern "C" int ynet_version_get(int port_low, int port_high, const struct sockaddr_in *daemon,
                                const struct in_addr *local, int *sock, int timeout,
                                char *buffer, int size) noexcept {
    (void)port_low;
    (void)port_high;
    (void)daemon;
    (void)local;
    int status = ynet_push_signed(*sock, YNETD_REQUEST_VERSION, timeout);
    if (status == YN_STATUS_SUCCESS) status = ynet_pop_string(*sock, buffer, size, timeout);
    if (status != YN_STATUS_SUCCESS) {
        YN_FAIL_STATUS(status);
        drop(sock);
        return status;
    }
    YN_DEBUG_VALUE("buffer", buffer, 0);
    return YN_STATUS_SUCCESS;
}

extern "C" int ynet_get_host_version(const char *host, int port_low, int port_high,
                                     const struct sockaddr_in *daemon,
                                     const struct in_addr *local, int timeout,
                                     int refresh) noexcept {
    if (host == nullptr || host[0] == '\0') return 0;
    if (!refresh) {
        int version = cached_version(host);
        if (version >= 0) return version;
        if (timeout == 0) return 0;
    } else {
        if (timeout == 0) timeout = kHostVersionTimeout;
        forget_version(host);
    }

    int version = 0;
    char text[kVersionTextSize] = "0";
    int sock = -1;
    int protocol = -1;
    int status = ynet_connect_to_ynetd(daemon, port_low, port_high, local, &sock, &protocol,
                                       timeout);
    if (status != YN_STATUS_SUCCESS) {
        // An unreachable host is remembered as version 0 until a refresh.
        drop(&sock);
    } else {
        if (protocol == 1) {
            // Daemons of protocol 1 have no version request.
            version = kVersion1Product;
            Y_strlcpy(text, kVersion1Text, sizeof text);
        } else if (ynet_version_get(port_low, port_high, daemon, local, &sock, timeout, text,
                                    sizeof text) == YN_STATUS_SUCCESS) {
            version = leading_number(text);
        } else {
            version = kNoVersionRequestProduct;
            Y_strlcpy(text, kNoVersionRequestText, sizeof text);
        }
        if (sock >= 0) (void)ynet_ynetd_disconnect(&sock, protocol, timeout);
    }
    remember_version(host, text);
    return version;
}

extern "C" int ynet_check_ynetd_dir(void) noexcept {
    struct stat info{};
    if (::stat(YQ_PATH_YNETD_DIR, &info) != 0) {
        if (errno != ENOENT) {
            char text[32] = "?";
            Y_snprintf(text, sizeof text, "%d", errno);
            YN_DEBUG_LEVEL("errno", text, 0, 0);
            return YN_FAIL(YN_STATUS_STAT_FAILED);
        }
        // Only the administrator may create ynetd's directory.
        if (::geteuid() != 0) return YN_FAIL(YN_STATUS_BAD_DIRECTORY);
        if (::mkdir(YQ_PATH_YNETD_DIR, kRendezvousMode) != 0) {
            YN_DEBUG_VALUE("errno", nullptr, errno);
            return YN_FAIL(YN_STATUS_MKDIR_FAILED);
        }
        if (::stat(YQ_PATH_YNETD_DIR, &info) != 0) {
            YN_DEBUG_VALUE("errno", nullptr, errno);
            return YN_FAIL(YN_STATUS_STAT_FAILED);
        }
    }
    if (!S_ISDIR(info.st_mode)) return YN_FAIL(YN_STATUS_BAD_DIRECTORY);
    if ((info.st_mode & 07777) != kRendezvousMode && ::chmod(YQ_PATH_YNETD_DIR, kRendezvousMode) != 0) {
        YN_DEBUG_VALUE("errno", nullptr, errno);
        return YN_FAIL(YN_STATUS_CHMOD_FAILED);
    }
    if (info.st_uid != 0 && ::chown(YQ_PATH_YNETD_DIR, 0, 0) != 0) {
        YN_DEBUG_VALUE("errno", nullptr, errno);
        return YN_FAIL(YN_STATUS_CHOWN_FAILED);
    }
    return YN_STATUS_SUCCESS;
}

// ===== Connect-back sockets =================================================

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
        if ((status = ynet_push_byte(sock, bytes[i], timeout)) != YN_STATUS_SUCCESS) {
            return YN_FAIL_STATUS(status);
        }
    }
    YN_DEBUG_VALUE("i", nullptr, i);
    // The port of ynetd on this host, through which the peer connects back.
    int port = 0;
    ynet_get_port(&port);
    YN_DEBUG_VALUE("port", nullptr, port);
    if ((status = ynet_push_signed(sock, port, timeout)) != YN_STATUS_SUCCESS) YN_FAIL_STATUS(status);
    return status;
}

extern "C" int ynet_ynetd_pop_ipaddr(int sock, struct sockaddr_in *out, int timeout) noexcept {
    *out = sockaddr_in{};
    out->sin_family = AF_INET;
    long length = 0;
    int status = ynet_pop_signed(sock, &length, timeout);
    if (status != YN_STATUS_SUCCESS) return YN_FAIL_STATUS(status);
    YN_DEBUG_VALUE("ip_len", nullptr, static_cast<int>(length));
    if (length != static_cast<long>(sizeof(out->sin_addr.s_addr))) {
        return YN_FAIL_STATUS(YN_STATUS_READ_FAILED);
    }
    auto *bytes = reinterpret_cast<unsigned char *>(&out->sin_addr.s_addr);
    for (size_t i = 0; i < sizeof(out->sin_addr.s_addr); ++i) {
        int value = -1;
        if ((status = ynet_pop_byte(sock, &value, timeout)) != YN_STATUS_SUCCESS) {
            return YN_FAIL_STATUS(status);
        }
        YN_DEBUG_VALUE("byte", nullptr, value);
        bytes[i] = static_cast<unsigned char>(value);
    }
    long port = 0;
    if ((status = ynet_pop_signed(sock, &port, timeout)) != YN_STATUS_SUCCESS) {
        return YN_FAIL_STATUS(status);
    }
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
        UniqueFd sock(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
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
        } else if (::chmod(name.get(), kListenerMode) != 0 || ::listen(sock.get(), backlog) != 0) {
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
    int fd = bracketed(timeout, [&] { return ::accept4(listen_sock, nullptr, nullptr, SOCK_CLOEXEC); });
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
    if ((status = receive_descriptor(conn, fd, timeout)) != YN_STATUS_SUCCESS) {
        return YN_FAIL_STATUS(status);
    }
    if ((status = ynet_push_status(conn, YN_STATUS_SUCCESS, timeout)) != YN_STATUS_SUCCESS) {
        YN_FAIL_STATUS(status);
        drop(fd);
        return status;
    }
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
        YN_STATUS_SUCCESS) {
        return YN_FAIL_STATUS(status);
    }
    // The peer that asked for this connection waits for this status.
    if (ynet_debug_fd != -1) {
        YN_DEBUG_VALUE("YN_STATUS_SUCCESS", nullptr, YN_STATUS_SUCCESS);
        YN_DEBUG_VALUE("*newsock", nullptr, *newsock);
    }
    if ((status = ynet_push_status(*newsock, YN_STATUS_SUCCESS, timeout)) != YN_STATUS_SUCCESS) {
        YN_FAIL_STATUS(status);
        drop(newsock);
        return status;
    }
    return YN_STATUS_SUCCESS;
}

extern "C" int ynet_send_network_socket(int conn, int fd, const char *hash_str2,
                                        int timeout) noexcept {
    const char *hash = hash_str2 != nullptr ? hash_str2 : "";
    YN_DEBUG_VALUE("hash_str2", hash, 0);
    int status = ynet_push_string(conn, hash, timeout);
    if (status != YN_STATUS_SUCCESS) return YN_FAIL_STATUS(status);
    if ((status = send_descriptor(conn, fd, timeout)) != YN_STATUS_SUCCESS) {
        return YN_FAIL_STATUS(status);
    }
    int answer = 0;
    if ((status = ynet_pop_status(conn, &answer, timeout)) != YN_STATUS_SUCCESS) {
        return YN_FAIL_STATUS(status);
    }
    if (answer != YN_STATUS_SUCCESS) YN_FAIL_STATUS(answer);
    return answer;
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
        UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
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
        YN_FAIL_STATUS(YN_STATUS_SOCKET_ERROR);
        errno = save_errno;
        return YN_STATUS_SOCKET_ERROR;
    }
    int status = save_errno == EADDRINUSE ? YN_STATUS_ADDRESS_IN_USE : YN_STATUS_SOCKET_ERROR;
    YN_FAIL_STATUS(status);
    errno = save_errno;
    return status;
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
    if ((status = ynet_ynetd_push_ipaddr(sock, nullptr, timeout)) != YN_STATUS_SUCCESS) {
        return YN_FAIL_STATUS(status);
    }
    YN_DEBUG_VALUE("ipc_string", path, 0);
    if ((status = ynet_push_string(sock, path, timeout)) != YN_STATUS_SUCCESS) {
        return YN_FAIL_STATUS(status);
    }
    if ((status = ynet_pop_status(sock, &pstatus, timeout)) != YN_STATUS_SUCCESS) {
        return YN_FAIL_STATUS(status);
    }
    YN_DEBUG_VALUE("pstatus", nullptr, pstatus);
    if (pstatus != YN_STATUS_SUCCESS) return YN_FAIL_STATUS(pstatus);
    if ((status = ynet_pop_string(sock, hash_str1, sizeof hash_str1, timeout)) !=
        YN_STATUS_SUCCESS) {
        return YN_FAIL_STATUS(status);
    }
    YN_DEBUG_VALUE("popped hash_str1", hash_str1, 0);
    if ((status = ynet_ynetd_accept_and_receive(listener.get(), hash_str1, newsock, timeout)) !=
        YN_STATUS_SUCCESS) {
        YN_FAIL_STATUS(status);
        drop(newsock);
        return status;
    }
    return YN_STATUS_SUCCESS;
}

extern "C" int ynet_ynetd_daemon_socket(int *daemon_sock, int version, const char *path,
                                        int timeout) noexcept {
    (void)version;
    int status = ynet_push_unsigned(*daemon_sock, YNETD_REQUEST_DAEMON_SOCKET, timeout);
    if (status == YN_STATUS_SUCCESS) status = ynet_push_string(*daemon_sock, path, timeout);
    int answer = 0;
    if (status == YN_STATUS_SUCCESS) status = ynet_pop_status(*daemon_sock, &answer, timeout);
    if (status != YN_STATUS_SUCCESS) {
        YN_FAIL_STATUS(status);
        drop(daemon_sock);
        return status;
    }
    if (answer != YN_STATUS_SUCCESS) YN_FAIL_STATUS(answer);
    return answer;
}

extern "C" int ynet_ynetd_connect_back_socket(int *daemon_sock, int version, int sock,
                                              int use_hash, int timeout) noexcept {
    char path[YNETD_IPC_PATH_SIZE];
    int status = ynet_pop_string(sock, path, sizeof path, timeout);
    if (status != YN_STATUS_SUCCESS) return YN_FAIL_STATUS(status);
    YN_DEBUG_VALUE("ipc_string", path, 0);
    if (!use_hash) {
        // The asker hears nothing more on its connection from us.
        status = ynet_ynetd_daemon_socket(daemon_sock, version, path, timeout);
        if (status != YN_STATUS_SUCCESS) YN_FAIL_STATUS(status);
        return status;
    }
    char hash_str1[YNETD_HASH_SIZE] = "";
    int result = request_hashed_handover(daemon_sock, path, hash_str1, timeout);
    // The asker learns whether ynetd took the request, then gets the hash.
    if ((status = ynet_push_status(sock, result, timeout)) != YN_STATUS_SUCCESS) {
        return YN_FAIL_STATUS(status);
    }
    if (result != YN_STATUS_SUCCESS) return result;
    YN_DEBUG_VALUE("pushed hash_str1", hash_str1, 0);
    if ((status = ynet_push_string(sock, hash_str1, timeout)) != YN_STATUS_SUCCESS) {
        YN_FAIL_STATUS(status);
        drop(daemon_sock);
        return status;
    }
    // By now the connection is joined to the asker, which confirms.
    int pstatus = 0;
    if ((status = ynet_pop_status(*daemon_sock, &pstatus, timeout)) != YN_STATUS_SUCCESS) {
        YN_FAIL_STATUS(status);
        drop(daemon_sock);
        return status;
    }
    YN_DEBUG_VALUE("pstatus", nullptr, pstatus);
    if (pstatus != YN_STATUS_SUCCESS) YN_FAIL_STATUS(pstatus);
    return pstatus;
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
        YN_FAIL_STATUS(status);
        if (*daemon_sock >= 0) (void)ynet_ynetd_disconnect(daemon_sock, version, timeout);
    }
    return status;
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

// ===== Service registration and socket hand-off ==============================

extern "C" int ynet_generate_service_path(const char *name, const char *extension,
                                          char **path) noexcept {
    *path = nullptr;
    if (name == nullptr || extension == nullptr) return YN_FAIL_STATUS(YN_STATUS_INVALID_ARGUMENT);
    int status = ynet_check_ynetd_dir();
    if (status != YN_STATUS_SUCCESS) return YN_FAIL_STATUS(status);
    CharPtr lower(yq::sys::strdup(name));
    if (!lower) return YN_FAIL_STATUS(YN_STATUS_NO_MEMORY);
    for (char *c = lower.get(); *c != '\0'; ++c)
        *c = static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
    size_t size =
        std::strlen(YQ_PATH_YNETD_DIR) + std::strlen(lower.get()) + std::strlen(extension) + 3;
    auto *result = static_cast<char *>(yq::sys::malloc(size));
    if (result == nullptr) return YN_FAIL_STATUS(YN_STATUS_NO_MEMORY);
    if (Y_snprintf(result, size, "%s%s%s.%s", YQ_PATH_YNETD_DIR, "/", lower.get(), extension) < 0) {
        std::free(result);
        return YN_FAIL_STATUS(YN_STATUS_NO_MEMORY);
    }
    *path = result;
    return YN_STATUS_SUCCESS;
}

extern "C" int ynet_ynetd_register_service(const char *name, int pid, int exptime,
                                           const char *ipc, const char *dcmd, const char *icmd,
                                           char **args) noexcept {
    ynet_service_entry *list = nullptr;
    int status = ynet_add_service_entry(&list, nullptr, name, pid,
                                        static_cast<int>(yq::sys::time(nullptr)), exptime, ipc,
                                        icmd, dcmd, args);
    if (status != YN_STATUS_SUCCESS) {
        YN_FAIL_STATUS(status);
        ynet_free_service_list(&list);
        return status;
    }
    char *raw = nullptr;
    status = ynet_generate_service_path(name, "txt", &raw);
    CharPtr path(raw);
    if (status == YN_STATUS_SUCCESS) {
        // The file then holds this entry alone: the last registration wins.
        status = ynet_update_service_file(path.get(), list);
    }
    if (status != YN_STATUS_SUCCESS) YN_FAIL_STATUS(status);
    ynet_free_service_list(&list);
    return status;
}

extern "C" int ynet_ynetd_listen_and_register_service(const char *name, int backlog,
                                                      int *listen_sock, int timeout) noexcept {
    *listen_sock = -1;
    char *raw = nullptr;
    int status = ynet_generate_service_path(name, "uds", &raw);
    CharPtr path(raw);
    if (status != YN_STATUS_SUCCESS) return YN_FAIL_STATUS(status);
    char buffer[YNETD_IPC_PATH_SIZE] = "";
    if (std::strlen(path.get()) >= sizeof buffer) {
        YN_DEBUG_VALUE("path too long", path.get(), 0);
        return YN_FAIL_STATUS(YN_STATUS_UNIX_BIND_FAILED);
    }
    Y_strlcpy(buffer, path.get(), sizeof buffer);
    if ((status = ynet_listen_for_ynetd(buffer, sizeof buffer, backlog, listen_sock, timeout)) !=
        YN_STATUS_SUCCESS) {
        return YN_FAIL_STATUS(status);
    }
    status = ynet_ynetd_register_service(name, static_cast<int>(::getpid()), 0, path.get(),
                                         nullptr, nullptr, nullptr);
    if (status != YN_STATUS_SUCCESS) {
        YN_FAIL_STATUS(status);
        drop(listen_sock);
    }
    return status;
}

extern "C" int ynet_ynetd_register_daemon_command(const char *name,
                                                  const char *command) noexcept {
    int status = ynet_ynetd_register_service(name, static_cast<int>(::getpid()), 0, nullptr,
                                             command, nullptr, nullptr);
    if (status != YN_STATUS_SUCCESS) YN_FAIL_STATUS(status);
    return status;
}

extern "C" void ynet_delete_unix_service_ipc(const char *name) noexcept {
    char *raw = nullptr;
    int status = ynet_generate_service_path(name, "uds", &raw);
    CharPtr path(raw);
    if (status != YN_STATUS_SUCCESS) {
        YN_DEBUG_VALUE("errno", nullptr, errno);
        YN_DEBUG_LEVEL("ynet_generate_service_path failed", nullptr, status, 0);
        YN_DEBUG_LEVEL("ynet_generate_service_path failed", name != nullptr ? name : "NULL", 0,
                       0);
        return;
    }
    if (::unlink(path.get()) != 0) {
        YN_DEBUG_VALUE("errno", nullptr, errno);
        YN_DEBUG_VALUE("unlink failed", path.get(), 0);
    }
}

extern "C" int ynet_ynetd_unregister_service(const char *name) noexcept {
    char *raw = nullptr;
    int status = ynet_generate_service_path(name, "txt", &raw);
    CharPtr path(raw);
    if (status != YN_STATUS_SUCCESS) return YN_FAIL_STATUS(status);
    ynet_service_entry *list = nullptr;
    if ((status = ynet_read_service_file(path.get(), &list)) != YN_STATUS_SUCCESS) {
        return YN_FAIL_STATUS(status);
    }
    int pid = static_cast<int>(::getpid());
    ynet_service_entry *mine = list;
    while (mine != nullptr && mine->pid != pid) mine = mine->next;
    if (mine == nullptr) {
        YN_FAIL_STATUS(YN_STATUS_NOT_REGISTERED);
        ynet_free_service_list(&list);
        return YN_STATUS_NOT_REGISTERED;
    }
    ynet_delete_unix_service_ipc(name);
    mine->exptime = 1;
    mine->pid = 0;
    // Written from this entry on: entries before it leave the file.
    status = ynet_update_service_file(path.get(), mine);
    if (status != YN_STATUS_SUCCESS) YN_FAIL_STATUS(status);
    ynet_free_service_list(&list);
    return status;
}

extern "C" int ynet_ynetd_service_socket(int *sock, int version, const char *service,
                                         int timeout) noexcept {
    if (version < 2) return YN_FAIL_STATUS(YN_STATUS_VERSION_MISMATCH);
    int status = ynet_push_unsigned(*sock, YNETD_REQUEST_SERVICE, timeout);
    if (status == YN_STATUS_SUCCESS)
        status = ynet_push_string(*sock, service != nullptr ? service : "", timeout);
    int answer = 0;
    if (status == YN_STATUS_SUCCESS) status = ynet_pop_status(*sock, &answer, timeout);
    if (status != YN_STATUS_SUCCESS) {
        YN_FAIL_STATUS(status);
        drop(sock);
        return status;
    }
    if (answer != YN_STATUS_SUCCESS) YN_FAIL_STATUS(answer);
    return answer;
}

// ===== Security-information query ===========================================

extern "C" int ynet_ynetd_get_security_info(int *sock, int version, struct crconf_info_rec *info,
                                            int timeout) noexcept {
    // Every failure ends the conversation here: the caller stops at the
    // first failing step and sends no disconnect request of its own.
    if (version < 3) {
        YN_FAIL_STATUS(YN_STATUS_VERSION_MISMATCH);
        drop(sock);
        return YN_STATUS_VERSION_MISMATCH;
    }
    if (info == nullptr || sock == nullptr) {
        YN_FAIL_STATUS(YN_STATUS_INVALID_ARGUMENT);
        drop(sock);
        return YN_STATUS_INVALID_ARGUMENT;
    }
    if (info->ni_authorization_service != nullptr && info->ni_authentication_domains != nullptr &&
        info->ni_yqss_networks != nullptr)
        return YN_STATUS_SUCCESS;
    int status = query_security_info(*sock, info, timeout);
    if (status != YN_STATUS_SUCCESS) {
        YN_FAIL_STATUS(status);
        drop(sock);
    }
    return status;
}
