// TLS sessions over the caller's socket.
//
// The socket is switched to non-blocking for the length of each call and
// its flags restored before returning, so every wait is a poll() with a
// bound, and the caller gets its socket back as it gave it. Records go out
// through a small BIO of our own whose writes are send(MSG_NOSIGNAL): a peer
// that vanishes can never raise SIGPIPE in the caller's process.
//
// With TLS 1.3 a client finishes its handshake before the server has judged
// the client's certificate. So a client waits until the server's first
// session ticket (which our servers send only after accepting the client)
// or its refusal arrives: both ends then know the outcome when start()
// returns.
#include "yorbat_tls.h"

#include "yorbat_files.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <utility>

namespace yorbat::tls {

using Clock = std::chrono::steady_clock;

class Session {
public:
    int fd = -1;
    int timeout_ms = 0;
    x509::Owned<SSL, SSL_free> ssl;
    bool ticket_seen = false;  // a client's proof that the server accepted it
};

void SessionFree::operator()(Session *session) const noexcept { delete session; }

namespace {

using Context = x509::Owned<SSL_CTX, SSL_CTX_free>;

// ---- The socket BIO: the descriptor in the BIO's data, never closed here.

int socket_of(BIO *bio) { return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio))); }

bool would_block(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

int bio_write(BIO *bio, const char *data, int size) {
    BIO_clear_retry_flags(bio);
    ssize_t sent = send(socket_of(bio), data, static_cast<size_t>(size), MSG_NOSIGNAL);
    if (sent < 0 && would_block(errno))
        BIO_set_retry_write(bio);
    return static_cast<int>(sent);
}

int bio_read(BIO *bio, char *data, int size) {
    BIO_clear_retry_flags(bio);
    ssize_t received = recv(socket_of(bio), data, static_cast<size_t>(size), 0);
    if (received < 0 && would_block(errno))
        BIO_set_retry_read(bio);
    return static_cast<int>(received);
}

long bio_control(BIO *, int command, long, void *) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

int bio_create(BIO *bio) {
    BIO_set_init(bio, 1);
    return 1;
}

const BIO_METHOD *socket_method() {
    static const BIO_METHOD *method = [] {
        BIO_METHOD *made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "yorbat socket");
        if (made && (!BIO_meth_set_write(made, bio_write) || !BIO_meth_set_read(made, bio_read) ||
                     !BIO_meth_set_ctrl(made, bio_control) || !BIO_meth_set_create(made, bio_create))) {
            BIO_meth_free(made);
            made = nullptr;
        }
        return made;
    }();
    return method;
}

bool attach_socket(SSL *ssl, int fd) {
    const BIO_METHOD *method = socket_method();
    BIO *bio = method ? BIO_new(method) : nullptr;
    if (!bio)
        return false;
    BIO_set_data(bio, reinterpret_cast<void *>(static_cast<intptr_t>(fd)));
    SSL_set_bio(ssl, bio, bio);  // the SSL owns the BIO from here
    return true;
}

// ---- Non-blocking for the length of one call.

class NonBlocking {
public:
    explicit NonBlocking(int fd) : fd_(fd), flags_(fcntl(fd, F_GETFL)) {
        if (flags_ >= 0 && !(flags_ & O_NONBLOCK))
            fcntl(fd_, F_SETFL, flags_ | O_NONBLOCK);
    }
    ~NonBlocking() {
        if (flags_ >= 0 && !(flags_ & O_NONBLOCK)) {
            int saved = errno;
            fcntl(fd_, F_SETFL, flags_);
            errno = saved;
        }
    }
    NonBlocking(const NonBlocking &) = delete;
    NonBlocking &operator=(const NonBlocking &) = delete;
    bool usable() const { return flags_ >= 0; }

private:
    int fd_;
    int flags_;
};

class Deadline {
public:
    explicit Deadline(int timeout_ms) : end_(Clock::now() + std::chrono::milliseconds(timeout_ms)) {}
    int remaining_ms() const {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end_ - Clock::now()).count();
        return left <= 0 ? 0 : left > INT_MAX ? INT_MAX : static_cast<int>(left);
    }

private:
    Clock::time_point end_;
};

// Waits until the socket is ready for what OpenSSL asked; false on time-out
// or when OpenSSL's error is not a wait at all.
bool wait_for(int fd, int ssl_error, const Deadline &deadline) {
    short events = ssl_error == SSL_ERROR_WANT_READ ? POLLIN : ssl_error == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
    if (!events)
        return false;
    for (;;) {
        pollfd entry{fd, events, 0};
        int ready = poll(&entry, 1, deadline.remaining_ms());
        if (ready > 0)
            return true;
        if (ready == 0 || errno != EINTR)
            return false;
    }
}

// Runs `step` until it succeeds or fails for good, waiting in between.
// Returns the step's last result and leaves its SSL error in `ssl_error`.
template <typename Step>
int drive(Session &session, const Deadline &deadline, int &ssl_error, Step step) {
    for (;;) {
        ERR_clear_error();
        int result = step();
        if (result > 0)
            return result;
        ssl_error = SSL_get_error(session.ssl.get(), result);
        if (!wait_for(session.fd, ssl_error, deadline))
            return result;
    }
}

// ---- How a handshake failed.

enum class Failure { broken, we_refused_peer, peer_refused_us, own_unusable };

// Alerts a peer sends when it does not accept our certificate.
bool is_certificate_alert(int alert) {
    switch (alert) {
    case SSL_AD_BAD_CERTIFICATE:
    case SSL_AD_UNSUPPORTED_CERTIFICATE:
    case SSL_AD_CERTIFICATE_REVOKED:
    case SSL_AD_CERTIFICATE_EXPIRED:
    case SSL_AD_CERTIFICATE_UNKNOWN:
    case SSL_AD_UNKNOWN_CA:
    case SSL_AD_ACCESS_DENIED:
    case SSL_AD_CERTIFICATE_REQUIRED:
        return true;
    default:
        return false;
    }
}

Failure classify_failure(const Session &session) {
    if (SSL_get_verify_result(session.ssl.get()) != X509_V_OK)
        return Failure::we_refused_peer;
    for (unsigned long error; (error = ERR_get_error()) != 0;) {
        int reason = ERR_GET_REASON(error);
        if (ERR_GET_LIB(error) != ERR_LIB_SSL)
            continue;
        if (reason == SSL_R_PEER_DID_NOT_RETURN_A_CERTIFICATE)
            return Failure::we_refused_peer;
        if (reason >= SSL_AD_REASON_OFFSET && is_certificate_alert(reason - SSL_AD_REASON_OFFSET))
            return Failure::peer_refused_us;
    }
    return Failure::broken;
}

int result_of(Failure failure) {
    switch (failure) {
    case Failure::we_refused_peer:
    case Failure::peer_refused_us:
        return YORBAT_PEER_NOT_TRUSTED;
    case Failure::own_unusable:
        return YORBAT_CONN_LIBRARY_FAILURE;
    case Failure::broken:
        break;
    }
    return YORBAT_CONNECTION_BROKEN;
}

// ---- Set-up.

int accept_any_certificate(int, X509_STORE_CTX *) { return 1; }

int note_ticket(SSL *ssl, SSL_SESSION *) {
    static_cast<Session *>(SSL_get_app_data(ssl))->ticket_seen = true;
    return 0;  // the session is not kept
}

bool add_roots(SSL_CTX *context, const std::vector<std::string> &roots_pem) {
    X509_STORE *store = SSL_CTX_get_cert_store(context);
    for (const std::string &pem : roots_pem) {
        x509::Credential root;
        if (x509::Credential::parse_certificate(pem, root) == YORBAT_OK &&
            X509_STORE_add_cert(store, root.certificate()) != 1)
            return false;
    }
    return true;
}

// Whom we verify and whether a certificate is required of the peer. A
// server that does not verify still asks for a certificate and accepts
// any, so that its caller can judge it (a broker renewing an expired one).
void set_verification(SSL_CTX *context, Role role, const Options &options) {
    int mode = SSL_VERIFY_PEER;
    if (role == Role::server && options.require_peer_certificate)
        mode |= SSL_VERIFY_FAIL_IF_NO_PEER_CERT;
    if (role == Role::client && !options.verify_peer)
        mode = SSL_VERIFY_NONE;
    SSL_CTX_set_verify(context, mode, options.verify_peer ? nullptr : accept_any_certificate);
}

Context make_context(Role role, const Options &options, Failure &failure) {
    Context context(SSL_CTX_new(role == Role::client ? TLS_client_method() : TLS_server_method()));
    failure = Failure::broken;
    if (!context || SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION) != 1 ||
        !add_roots(context.get(), options.roots_pem))
        return nullptr;
    set_verification(context.get(), role, options);
    if (role == Role::server) {
        SSL_CTX_set_num_tickets(context.get(), 1);
    } else {
        SSL_CTX_set_session_cache_mode(context.get(), SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
        SSL_CTX_sess_set_new_cb(context.get(), note_ticket);
    }
    failure = Failure::own_unusable;
    if (options.own) {
        if (!options.own->key() || SSL_CTX_use_certificate(context.get(), options.own->certificate()) != 1 ||
            SSL_CTX_use_PrivateKey(context.get(), options.own->key()) != 1)
            return nullptr;
    } else if (role == Role::server) {
        return nullptr;
    }
    return context;
}

// After a TLS 1.3 client handshake: waits for the server's verdict (a
// ticket, data, or an alert). Peeking leaves any data for read().
int await_verdict(Session &session, const Deadline &deadline, int &ssl_error) {
    if (SSL_version(session.ssl.get()) < TLS1_3_VERSION)
        return 1;
    for (;;) {
        char byte;
        ERR_clear_error();
        int result = SSL_peek(session.ssl.get(), &byte, 1);
        if (result > 0 || session.ticket_seen)
            return 1;
        ssl_error = SSL_get_error(session.ssl.get(), result);
        if (!wait_for(session.fd, ssl_error, deadline))
            return result;
    }
}

int handshake(Session &session, Role role, const Deadline &deadline, int &ssl_error) {
    SSL *ssl = session.ssl.get();
    if (role == Role::server)
        return drive(session, deadline, ssl_error, [ssl] { return SSL_accept(ssl); });
    int result = drive(session, deadline, ssl_error, [ssl] { return SSL_connect(ssl); });
    return result > 0 ? await_verdict(session, deadline, ssl_error) : result;
}

int start_session(int fd, Role role, const Options &options, SessionPtr &out, Failure &failure) {
    Context context = make_context(role, options, failure);
    if (!context)
        return -1;
    failure = Failure::broken;
    SessionPtr session(new Session);
    session->fd = fd;
    session->timeout_ms = options.timeout_ms;
    session->ssl.reset(SSL_new(context.get()));
    if (!session->ssl || !attach_socket(session->ssl.get(), fd))
        return -1;
    SSL_set_app_data(session->ssl.get(), session.get());
    NonBlocking scope(fd);
    if (!scope.usable())
        return -1;
    int ssl_error = SSL_ERROR_NONE;
    if (handshake(*session, role, Deadline(options.timeout_ms), ssl_error) <= 0) {
        failure = classify_failure(*session);
        return -1;
    }
    out = std::move(session);
    return 0;
}

int start_classified(int fd, Role role, const Options &options, SessionPtr &out, Failure &failure) noexcept {
    out.reset();
    failure = Failure::broken;
    try {
        int started = start_session(fd, role, options, out, failure);
        ERR_clear_error();
        return started;
    } catch (const std::bad_alloc &) {
        ERR_clear_error();
        return YORBAT_NO_MEMORY;
    }
}

// ---- TCP connection for connect_to().

struct AddressListFree {
    void operator()(addrinfo *list) const noexcept { freeaddrinfo(list); }
};

bool connect_within(int fd, const sockaddr *address, socklen_t length, const Deadline &deadline) {
    if (connect(fd, address, length) == 0)
        return true;
    if (errno != EINPROGRESS)
        return false;
    for (;;) {
        pollfd entry{fd, POLLOUT, 0};
        int ready = poll(&entry, 1, deadline.remaining_ms());
        if (ready < 0 && errno == EINTR)
            continue;
        int error = 0;
        socklen_t size = sizeof error;
        return ready > 0 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
    }
}

// A blocking TCP socket connected to the first answering IPv4 address.
int tcp_connect(const yorbat_broker_address &address, int timeout_ms) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    std::string port = std::to_string(address.port);
    if (getaddrinfo(address.host, port.c_str(), &hints, &found) != 0)
        return -1;
    std::unique_ptr<addrinfo, AddressListFree> list(found);
    Deadline deadline(timeout_ms);
    for (addrinfo *at = list.get(); at; at = at->ai_next) {
        files::Descriptor socket_fd(socket(at->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (socket_fd.get() < 0 || !connect_within(socket_fd.get(), at->ai_addr, at->ai_addrlen, deadline))
            continue;
        int flags = fcntl(socket_fd.get(), F_GETFL);
        int on = 1;
        if (flags < 0 || fcntl(socket_fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
            continue;
        setsockopt(socket_fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        return socket_fd.release();
    }
    return -1;
}

}  // namespace

int start(int fd, Role role, const Options &options, SessionPtr &out) noexcept {
    if (fd < 0)
        return YORBAT_CONNECTION_BROKEN;
    Failure failure;
    int started = start_classified(fd, role, options, out, failure);
    return started == -1 ? result_of(failure) : started;
}

int read(Session &session, char *buffer, int count) noexcept {
    NonBlocking scope(session.fd);
    int ssl_error = SSL_ERROR_NONE;
    SSL *ssl = session.ssl.get();
    int result = drive(session, Deadline(session.timeout_ms), ssl_error,
                       [&] { return SSL_read(ssl, buffer, count); });
    ERR_clear_error();
    if (result > 0)
        return result;
    return ssl_error == SSL_ERROR_ZERO_RETURN ? 0 : YORBAT_CONNECTION_BROKEN;
}

int write(Session &session, const char *buffer, int count) noexcept {
    NonBlocking scope(session.fd);
    int ssl_error = SSL_ERROR_NONE;
    SSL *ssl = session.ssl.get();
    int result = drive(session, Deadline(session.timeout_ms), ssl_error,
                       [&] { return SSL_write(ssl, buffer, count); });
    ERR_clear_error();
    return result > 0 ? result : YORBAT_CONNECTION_BROKEN;
}

int shutdown(Session &session) noexcept {
    NonBlocking scope(session.fd);
    int ssl_error = SSL_ERROR_NONE;
    SSL *ssl = session.ssl.get();
    // 0 from SSL_shutdown: ours is sent, the peer's not yet read. Enough.
    int result = drive(session, Deadline(session.timeout_ms), ssl_error, [ssl] {
        int done = SSL_shutdown(ssl);
        return done == 0 ? 1 : done;
    });
    ERR_clear_error();
    return result > 0 ? 0 : YORBAT_CONNECTION_BROKEN;
}

std::string peer_certificate_pem(const Session &session) {
    X509 *peer = SSL_get0_peer_certificate(session.ssl.get());
    if (!peer)
        return {};
    x509::Owned<BIO, BIO_free_all> bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), peer) != 1)
        throw std::bad_alloc();
    char *data = nullptr;
    long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(size));
}

int connect_to(const yorbat_broker_address &address, const Options &options, int &socket_out,
               SessionPtr &out) noexcept {
    socket_out = -1;
    out.reset();
    if (!address.host || address.port <= 0 || address.port > 65535)
        return YORBAT_INVALID_ARGUMENT;
    try {
        files::Descriptor connected(tcp_connect(address, options.timeout_ms));
        if (connected.get() < 0)
            return YORBAT_BROKER_UNREACHABLE;
        Failure failure;
        int started = start_classified(connected.get(), Role::client, options, out, failure);
        if (started == -1) {
            switch (failure) {
            case Failure::we_refused_peer:
                return YORBAT_BROKER_NOT_TRUSTED;
            case Failure::peer_refused_us:
                return YORBAT_BROKER_REFUSED;
            default:
                return result_of(failure);
            }
        }
        if (started != YORBAT_OK)
            return started;
        socket_out = connected.release();
        return YORBAT_OK;
    } catch (const std::bad_alloc &) {
        return YORBAT_NO_MEMORY;
    }
}

}  // namespace yorbat::tls
