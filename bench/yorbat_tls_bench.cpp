// A mutually authenticated TLS connection on loopback: handshake, 1 KiB
// there and back, close. Each iteration does it once through the library's
// entry points and once with plain OpenSSL code (one SSL_CTX per side made
// beforehand, blocking sockets), interleaved so both see the same machine;
// the counters give each one's time and their ratio.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "yorbat_tls.h"

namespace {

using namespace yorbat;
using Clock = std::chrono::steady_clock;

constexpr int kMessage = 1024;

struct Keys {
    std::string root, server, client;
    x509::Credential server_parsed, client_parsed, root_parsed;
};

Keys make_keys() {
    Keys keys;
    x509::make_root("bench.example", 3600, keys.root);
    x509::Credential::parse(keys.root, keys.root_parsed);
    x509::issue(keys.root_parsed, {"yq", "CRW_Machines@bench.example", "server"}, 3600, keys.server);
    x509::issue(keys.root_parsed, {"yq", "CRW_Machines@bench.example", "client"}, 3600, keys.client);
    x509::Credential::parse(keys.server, keys.server_parsed);
    x509::Credential::parse(keys.client, keys.client_parsed);
    return keys;
}

// As the product's programs set their sockets: small records go out at once.
int no_delay(int fd) {
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

class Listener {
public:
    Listener() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof where;
        bind(fd_, reinterpret_cast<sockaddr *>(&where), size);
        listen(fd_, 8);
        getsockname(fd_, reinterpret_cast<sockaddr *>(&address_), &size);
    }
    ~Listener() { close(fd_); }
    int accept_one() const { return no_delay(accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC)); }
    int connect_one() const {
        int fd = no_delay(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        connect(fd, reinterpret_cast<const sockaddr *>(&address_), sizeof address_);
        return fd;
    }

private:
    int fd_;
    sockaddr_in address_{};
};

// ---- Through the entry points.

void library_server(const Listener &listener, const Keys &keys) {
    int fd = listener.accept_one();
    void *handle = nullptr;
    char *peer = nullptr;
    char buffer[kMessage];
    if (yorbAtSecConnAccept(fd, keys.server.c_str(), nullptr, &handle, &peer) == 0) {
        int got = 0;
        for (int n; got < kMessage && (n = yorbAtSecConnRead(handle, buffer + got, kMessage - got)) > 0;)
            got += n;
        yorbAtSecConnWrite(handle, buffer, got);
        yorbAtFree(peer);
        yorbAtSecConnClose(&handle);
    }
    close(fd);
}

bool library_round_trip(const Listener &listener, const Keys &keys) {
    std::thread server(library_server, std::cref(listener), std::cref(keys));
    int fd = listener.connect_one();
    void *handle = nullptr;
    char *peer = nullptr;
    char message[kMessage] = {1}, answer[kMessage];
    int got = 0;
    if (yorbAtSecConnConnect(fd, keys.client.c_str(), nullptr, &handle, &peer) == 0) {
        yorbAtSecConnWrite(handle, message, kMessage);
        for (int n; got < kMessage && (n = yorbAtSecConnRead(handle, answer + got, kMessage - got)) > 0;)
            got += n;
        yorbAtFree(peer);
        yorbAtSecConnClose(&handle);
    }
    close(fd);
    server.join();
    return got == kMessage;
}

// ---- Plain OpenSSL.

SSL_CTX *plain_context(bool server, const x509::Credential &own, const x509::Credential &root) {
    SSL_CTX *context = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_use_certificate(context, own.certificate());
    SSL_CTX_use_PrivateKey(context, own.key());
    X509_STORE_add_cert(SSL_CTX_get_cert_store(context), root.certificate());
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    return context;
}

void plain_server(const Listener &listener, SSL_CTX *context) {
    int fd = listener.accept_one();
    SSL *ssl = SSL_new(context);
    SSL_set_fd(ssl, fd);
    char buffer[kMessage];
    if (SSL_accept(ssl) == 1) {
        int got = 0;
        for (int n; got < kMessage && (n = SSL_read(ssl, buffer + got, kMessage - got)) > 0;)
            got += n;
        SSL_write(ssl, buffer, got);
        SSL_shutdown(ssl);
    }
    SSL_free(ssl);
    close(fd);
}

bool plain_round_trip(const Listener &listener, SSL_CTX *server_context, SSL_CTX *client_context) {
    std::thread server(plain_server, std::cref(listener), server_context);
    int fd = listener.connect_one();
    SSL *ssl = SSL_new(client_context);
    SSL_set_fd(ssl, fd);
    char message[kMessage] = {1}, answer[kMessage];
    int got = 0;
    if (SSL_connect(ssl) == 1) {
        SSL_write(ssl, message, kMessage);
        for (int n; got < kMessage && (n = SSL_read(ssl, answer + got, kMessage - got)) > 0;)
            got += n;
        SSL_shutdown(ssl);
    }
    SSL_free(ssl);
    close(fd);
    server.join();
    return got == kMessage;
}

template <typename RoundTrip>
double timed_us(RoundTrip round_trip, benchmark::State &state) {
    auto start = Clock::now();
    if (!round_trip())
        state.SkipWithError("a round trip failed");
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

void BM_HandshakeAndRoundTrip(benchmark::State &state) {
    // The library's trust store in a directory of its own, never the product's.
    std::string home = std::filesystem::temp_directory_path() / "yorbat_tls_bench.XXXXXX";
    if (!mkdtemp(home.data())) {
        state.SkipWithError("no temporary directory");
        return;
    }
    setenv("YORBAT_HOME", home.c_str(), 1);
    Keys keys = make_keys();
    trust::add(keys.root);
    Listener listener;
    SSL_CTX *server_context = plain_context(true, keys.server_parsed, keys.root_parsed);
    SSL_CTX *client_context = plain_context(false, keys.client_parsed, keys.root_parsed);

    double library_us = 0, plain_us = 0;
    for (auto _ : state) {
        library_us += timed_us([&] { return library_round_trip(listener, keys); }, state);
        plain_us += timed_us([&] { return plain_round_trip(listener, server_context, client_context); }, state);
    }
    double rounds = static_cast<double>(state.iterations());
    state.counters["library_us"] = library_us / rounds;
    state.counters["plain_us"] = plain_us / rounds;
    state.counters["ratio"] = library_us / plain_us;
    SSL_CTX_free(server_context);
    SSL_CTX_free(client_context);
    std::filesystem::remove_all(home);
}

BENCHMARK(BM_HandshakeAndRoundTrip)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
