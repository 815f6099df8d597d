// Connecting to a host's ynetd, agreeing a protocol version, and the small
// requests of a conversation: no-op, disconnect, the daemon's product
// version and a registered service.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cstdint>

#include "ynet.h"
#include "ynet_ynetd_internal.h"

using yq::ynet_ynetd::drop;
using yq::ynet_ynetd::drop_and_fail;
using yq::ynet_ynetd::request;

namespace {

// ynetd's TCP port; -1 until looked up or set.
int ynet_port = -1;

}  // namespace

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
    return YN_FAIL_STATUS_IF(
        version_connect(*sock, YNETD_PROTOCOL_MAX, YNETD_PROTOCOL_MIN, version, timeout));
}

extern "C" int ynet_ynetd_noop(int *sock, int version, int timeout) noexcept {
    (void)version;
    return request(sock, YNETD_REQUEST_NOOP, nullptr, timeout);
}

extern "C" int ynet_ynetd_disconnect(int *sock, int version, int timeout) noexcept {
    (void)version;
    int status = ynet_push_unsigned(*sock, YNETD_REQUEST_DISCONNECT, timeout);
    int answer = 0;
    if (status == YN_STATUS_SUCCESS) status = ynet_pop_status(*sock, &answer, timeout);
    if (status == YN_STATUS_SUCCESS) status = answer;
    // The conversation ends here whatever the daemon answered.
    drop(sock);
    return YN_FAIL_STATUS_IF(status);
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
    if (status != YN_STATUS_SUCCESS) return drop_and_fail(sock, status);
    YN_DEBUG_VALUE("buffer", buffer, 0);
    return YN_STATUS_SUCCESS;
}

extern "C" int ynet_ynetd_service_socket(int *sock, int version, const char *service,
                                         int timeout) noexcept {
    if (version < 2) return YN_FAIL_STATUS(YN_STATUS_VERSION_MISMATCH);
    return request(sock, YNETD_REQUEST_SERVICE, service != nullptr ? service : "", timeout);
}
