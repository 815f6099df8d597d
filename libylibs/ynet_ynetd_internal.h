// What the files of the ynetd-conversation module share: its report name and
// the small helpers several conversations use. Not exported.
//
// The module is one concept per file: ynet_ynetd_handshake.cpp (connecting,
// the version handshake and the small requests), ynet_ynetd_handover.cpp
// (descriptor hand-over and connect-back), ynet_ynetd_versions.cpp (the remote
// version cache), ynet_ynetd_services.cpp (service registration) and
// ynet_ynetd_security.cpp (the security-information query). All of them
// report as "ynet_ynetd".
#ifndef YNET_YNETD_INTERNAL_H
#define YNET_YNETD_INTERNAL_H

#include <unistd.h>

#include <cctype>
#include <cstdlib>

#include "ynet_private.h"
#include "yq_memory.h"

static constexpr const char *kModule = "ynet_ynetd";

namespace yq::ynet_ynetd {

// Ends a conversation that fell out of step: closes the caller's socket and
// marks it closed. errno stays what the failing step left.
inline void drop(int *sock) {
    if (sock == nullptr) return;
    if (*sock >= 0) {
        ErrnoGuard keep;
        ::close(*sock);
    }
    *sock = -1;
}

// Leading decimal number of a text, 0 when it does not begin with a digit.
inline int leading_number(const char *text) {
    if (!std::isdigit(static_cast<unsigned char>(text[0]))) return 0;
    return static_cast<int>(std::strtol(text, nullptr, 10));
}

// A failed step that ends the conversation: closes the caller's socket,
// reports on the caller's behalf and returns the status.
inline int drop_and_fail(int *sock, int status, report::Where where = report::Where::current()) {
    drop(sock);
    return report::fail(kModule, status, "status", where);
}

// Sends a request code (and a text when one is given) and pops the daemon's
// answer. A failed transfer ends the conversation; the daemon's own refusal
// is returned and leaves the socket open.
inline int request(int *sock, unsigned long code, const char *text, int timeout,
                   report::Where where = report::Where::current()) {
    int status = ynet_push_unsigned(*sock, code, timeout);
    if (status == YN_STATUS_SUCCESS && text != nullptr)
        status = ynet_push_string(*sock, text, timeout);
    int answer = 0;
    if (status == YN_STATUS_SUCCESS) status = ynet_pop_status(*sock, &answer, timeout);
    if (status != YN_STATUS_SUCCESS) return drop_and_fail(sock, status, where);
    return report::fail_if(kModule, answer, "status", where);
}

}  // namespace yq::ynet_ynetd

#endif
