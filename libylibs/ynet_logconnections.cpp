// Connection log line. Part of the `ynet` module (module name "ynet"), kept in
// its own file so the wire code and this formatter can change independently;
// it may be folded into ynet.cpp later.
//
// Daemons and tools write the line into their own activity logs. Failures are
// never returned: the text explains them, so a caller that logs `out`
// unconditionally logs the reason instead of the connection.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <memory>

#include "ynet.h"
#include "ystrings.h"
#include "yq_sys.h"

namespace {

struct FreeDeleter {
    void operator()(char *p) const noexcept { std::free(p); }
};
using unique_str = std::unique_ptr<char, FreeDeleter>;

// One end point of the socket; false with the failure text already in `out`.
bool query_end(int fd, bool peer, sockaddr_in *addr, char *out, size_t out_size) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    auto *sa = reinterpret_cast<sockaddr *>(&ss);
    int rc = peer ? ::getpeername(fd, sa, &len) : ::getsockname(fd, sa, &len);
    if (rc != 0) {
        Y_snprintf(out, out_size, "%s(%d) failed", peer ? "getpeername" : "getsockname", fd);
        return false;
    }
    if (ss.ss_family != AF_INET) {
        Y_snprintf(out, out_size, "%d not a network socket", fd);
        return false;
    }
    *addr = *reinterpret_cast<const sockaddr_in *>(&ss);
    return true;
}

}  // namespace

extern "C" void ynet_logconnections(int fd, const char *prefix, int accepted, char *out,
                                    size_t out_size) noexcept {
    if (out == nullptr || out_size == 0) return;
    out[0] = '\0';

    sockaddr_in local{};
    sockaddr_in peer{};
    if (!query_end(fd, false, &local, out, out_size)) return;
    if (!query_end(fd, true, &peer, out, out_size)) return;

    const sockaddr_in &from = accepted ? peer : local;
    const sockaddr_in &to = accepted ? local : peer;

    // inet_ntoa answers in one shared buffer, so each address is copied
    // before the next conversion overwrites it.
    unique_str from_text(yq::sys::strdup(::inet_ntoa(from.sin_addr)));
    if (!from_text) {
        Y_strlcpy(out, "strdup failed", out_size);
        return;
    }
    unique_str to_text(yq::sys::strdup(::inet_ntoa(to.sin_addr)));
    if (!to_text) {
        Y_strlcpy(out, "strdup failed", out_size);
        return;
    }

    Y_snprintf(out, out_size, "%s %s FROM %s.%d TO %s.%d", prefix != nullptr ? prefix : "",
               accepted ? "ACCEPT" : "CONNECT", from_text.get(), ntohs(from.sin_port),
               to_text.get(), ntohs(to.sin_port));
}
