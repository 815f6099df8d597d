// Outgoing TCP connections from a configured range of local ports and a
// configured local interface, with a few retries.
//
// Firewalls may admit only a range of source ports. Each process starts its
// search at a random point of the range so that many processes do not all
// compete for the lowest ports; a clash is resolved by walking down from the
// start, then down from the top of the range.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "ynet.h"
#include "ynet_bind_private.h"
#include "ynet_private.h"
#include "yq_memory.h"
#include "yq_sys.h"

static constexpr const char *kModule = "ynet_bind";

namespace yq::ynet_bind {

int &port_state() noexcept {
    static int state = 0;
    return state;
}

}  // namespace yq::ynet_bind

namespace {

constexpr int kAttempts = 4;
constexpr unsigned kRetrySleep = 10;

bool usable_range(int low, int high) { return 0 < low && low < high && high < 65536; }

// Random start port inside [low, high]; seeds the platform's rand() on the
// first use in the process (and again whenever a draw happened to be 0).
int draw_start(int low, int high) {
    int &state = yq::ynet_bind::port_state();
    if (state == 0) {
        // Shifts on unsigned values: the mix may run past the sign bit.
        auto mix = static_cast<uint32_t>(::getpid());
        mix = (mix << 1) ^ static_cast<uint32_t>(yq::sys::time(nullptr));
        mix = (mix << 1) ^ static_cast<uint32_t>(low);
        mix = (mix << 1) ^ static_cast<uint32_t>(high);
        state = static_cast<int>(mix);
        std::srand(static_cast<unsigned>(state));
    }
    state = std::rand();
    auto width = static_cast<unsigned>(high - low + 1);
    return low + static_cast<int>(static_cast<unsigned>(state) % width);
}

bool port_taken(int err) { return err == EADDRINUSE || err == EADDRNOTAVAIL; }

// Binds fd to ports first, first - 1, ..., last. True when one was bound;
// stops early at a failure other than "port taken".
bool bind_downwards(int fd, sockaddr_in addr, int first, int last) {
    for (int port = first; port >= last; --port) {
        addr.sin_port = htons(static_cast<uint16_t>(port));
        if (yq::sys::bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0)
            return true;
        if (!port_taken(errno)) return false;
    }
    return false;
}

}  // namespace

extern "C" int ynet_bind_to_port_addr(int port_low, int port_high, const struct in_addr *local,
                                      int *sock) noexcept {
    if (sock == nullptr) {
        errno = EINVAL;
        return YN_FAIL(YN_STATUS_SOCKET_ERROR);
    }
    *sock = -1;

    int start = 0;
    if (usable_range(port_low, port_high)) {
        start = draw_start(port_low, port_high);
    } else {
        // The system picks the port: one try at port 0, no second pass.
        port_low = port_high = 0;
    }

    yq::unique_fd fd(yq::sys::socket(AF_INET, SOCK_STREAM, 0));
    if (!fd) return YN_FAIL(YN_STATUS_SOCKET_ERROR);
    // The owner closes on every failure below; errno stays the failing
    // call's, for the report and the caller.
    int on = 1;
    if (::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        yq::ErrnoGuard keep;
        fd.reset();
        return YN_FAIL(YN_STATUS_SOCKET_ERROR);
    }

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = local != nullptr ? local->s_addr : htonl(INADDR_ANY);

    if (bind_downwards(fd.get(), addr, start, port_low) ||
        bind_downwards(fd.get(), addr, port_high, start + 1)) {
        *sock = fd.release();
        return YN_STATUS_SUCCESS;
    }

    // errno stays the last bind's, for the report and the caller.
    {
        yq::ErrnoGuard keep;
        fd.reset();
    }
    return YN_FAIL(YN_STATUS_SOCKET_ERROR);
}

extern "C" int ynet_bind_and_connect(const struct sockaddr_in *dest, int port_low, int port_high,
                                     const struct in_addr *local, int *sock,
                                     int max_time) noexcept {
    if (dest == nullptr || sock == nullptr) {
        if (sock != nullptr) *sock = -1;
        errno = EINVAL;
        return YN_FAIL(YN_STATUS_SOCKET_ERROR);
    }
    *sock = -1;
    if (max_time < 1) max_time = 1;
    // Fixed at the start: retries never extend the time allowed.
    const time_t deadline = yq::sys::time(nullptr) + max_time;

    int status = YN_STATUS_SOCKET_ERROR;
    int save_errno = 0;  // last connect's errno; 0 until a connect was made
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        int fd = -1;
        status = ynet_bind_to_port_addr(port_low, port_high, local, &fd);
        if (status != YN_STATUS_SUCCESS) {
            *sock = -1;
            YN_DEBUG_LEVEL("status", nullptr, status, 0);
            break;
        }
        if (yq::sys::connect(fd, reinterpret_cast<const sockaddr *>(dest), sizeof *dest) == 0) {
            // Items go out one small write at a time; without this each
            // exchange waits on Nagle and the peer's delayed acknowledgement.
            // Failing to set it costs latency only.
            int on = 1;
            (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            *sock = fd;
            return YN_STATUS_SUCCESS;
        }
        save_errno = errno;
        YN_DEBUG_LEVEL("save_errno", nullptr, save_errno, 0);
        ::close(fd);
        *sock = -1;
        status = YN_STATUS_SOCKET_ERROR;

        // The local port clashes with an existing connection to the same
        // destination: bind afresh at once, the deadline does not apply.
        if (port_taken(save_errno)) continue;

        time_t now = yq::sys::time(nullptr);
        if (now > deadline) {
            YN_DEBUG_LEVEL("time(NULL)", nullptr, static_cast<int>(now), 0);
            YN_DEBUG_LEVEL("last_time", nullptr, static_cast<int>(deadline), 0);
            YN_DEBUG_LEVEL("max_time", nullptr, max_time, 0);
            status = YN_STATUS_TIMEOUT;
            break;
        }
        if (save_errno == ECONNREFUSED || save_errno == ETIMEDOUT) {
            yq::sys::sleep(kRetrySleep);
            continue;
        }
        YN_DEBUG_LEVEL("save_errno", nullptr, save_errno, 0);
        break;
    }

    errno = save_errno;
    return YN_FAIL(status);
}
