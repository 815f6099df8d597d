// TLS sessions over sockets that the caller owns: the secure connections
// handed to callers and the library's conversations with the broker. TLS 1.2
// or later, both sides presenting certificates where asked; every wait is
// bounded. The socket is never closed or left changed here.
#ifndef YORBAT_TLS_H
#define YORBAT_TLS_H

#include <memory>
#include <string>
#include <vector>

#include "yorbat_core.h"
#include "yorbat_x509.h"

namespace yorbat::tls {

enum class Role { client, server };

struct Options {
    const x509::Credential *own = nullptr;  // presented; required for the server role
    // The peer's certificate must chain to one of these trust anchors (none:
    // every peer is refused), unless verify_peer is false, which only the
    // first contact with a broker, to fetch its root, may use. A server with
    // verify_peer false still asks for a certificate and accepts any, so that
    // its caller can judge it (x509::verify_issued_by; an expired one to renew).
    std::vector<std::string> roots_pem;
    bool verify_peer = true;
    bool require_peer_certificate = true;   // false: a client certificate is optional
    int timeout_ms = 30000;                 // bound on the handshake and on each wait
};

class Session;
struct SessionFree {
    void operator()(Session *session) const noexcept;
};
using SessionPtr = std::unique_ptr<Session, SessionFree>;

// Handshake on the connected socket `fd`. 0; YORBAT_CONNECTION_BROKEN (peer
// gone, time-out, protocol failure); YORBAT_PEER_NOT_TRUSTED (the peer's
// certificate failed verification or is missing where required, or the peer
// refused ours);
// YORBAT_CONN_LIBRARY_FAILURE (this side's credential or set-up unusable).
int start(int fd, Role role, const Options &options, SessionPtr &out) noexcept;

// > 0 bytes moved; 0 the peer ended the session in order; -1 broken or timed out.
int read(Session &session, char *buffer, int count) noexcept;
int write(Session &session, const char *buffer, int count) noexcept;
// Sends close_notify (not waiting for the peer's); 0 or -1.
int shutdown(Session &session) noexcept;
// The peer's certificate as PEM ("" when it sent none).
std::string peer_certificate_pem(const Session &session);

// A client conversation with a broker: TCP connection to address (bounded
// by options.timeout_ms) and handshake. YORBAT_BROKER_UNREACHABLE when no
// TCP connection, YORBAT_BROKER_NOT_TRUSTED when the broker's certificate is
// not verified by options.roots_pem, YORBAT_BROKER_REFUSED when the broker
// refused our certificate in the handshake, else as start(). The socket
// (blocking, TCP_NODELAY) is the caller's to close after the session.
int connect_to(const yorbat_broker_address &address, const Options &options, int &socket_out,
               SessionPtr &out) noexcept;

}  // namespace yorbat::tls

namespace yorbat::trust {

// The trust store (trust_dir()): one PEM root certificate per file.
int list(std::vector<std::string> &roots_pem) noexcept;
// Adds a root (atomically; an equal root already there is kept):
// 0 or YORBAT_TRUST_STORE_FAILED; YORBAT_ROOT_REJECTED for a text that is not
// a self-signed CA certificate.
int add(const std::string &root_pem) noexcept;
// Removes the root equal to `root_pem`: 0 or YORBAT_NOT_FOUND.
int remove(const std::string &root_pem) noexcept;

}  // namespace yorbat::trust

#endif
