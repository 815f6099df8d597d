// Credentials: an X.509 certificate with, for one's own credential, its
// private key, carried as PEM text. The broker's authority is a credential
// too (its self-signed root certificate and key).
//
// Names: a credential's subject is /O=DOMAIN/OU=MECHANISM/CN=NAME; a root's
// is /O=YORBat@HOST/OU=root@HOST/CN=YORBat broker root, so an issued
// credential's issuer text reads "/O=YORBat@HOST/OU=root@HOST/CN=...".
#ifndef YORBAT_X509_H
#define YORBAT_X509_H

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <ctime>
#include <memory>
#include <string>
#include <string_view>

#include "yorbat_core.h"

namespace yorbat::x509 {

struct Principal {
    std::string mechanism, domain, name;
};

struct Info {
    Principal principal;
    std::string expiry;  // the end of validity as OpenSSL prints it ("Dec 13 10:00:00 2026 GMT")
    std::string issuer;  // the issuer in one-line form ("/O=.../OU=.../CN=...")
    time_t not_before = 0, not_after = 0;
};

// An owner for any OpenSSL object: Owned<SSL, SSL_free>.
template <auto Free>
struct FreeWith {
    template <typename T>
    void operator()(T *object) const noexcept { Free(object); }
};
template <typename T, auto Free>
using Owned = std::unique_ptr<T, FreeWith<Free>>;

struct X509Free {
    void operator()(X509 *cert) const noexcept { X509_free(cert); }
};
struct KeyFree {
    void operator()(EVP_PKEY *key) const noexcept { EVP_PKEY_free(key); }
};

class Credential {
public:
    // Parses PEM text: a certificate, then optionally its private key (which
    // must match it). YORBAT_NOT_A_CERTIFICATE when there is no certificate,
    // YORBAT_CREDENTIAL_MALFORMED for a key that is broken or does not match.
    static int parse(std::string_view pem, Credential &out) noexcept;
    // The certificate alone; whatever follows it is ignored.
    static int parse_certificate(std::string_view pem, Credential &out) noexcept;

    X509 *certificate() const noexcept { return cert_.get(); }
    EVP_PKEY *key() const noexcept { return key_.get(); }  // null for a peer's credential
    std::string pem() const;              // certificate, then key when held
    std::string certificate_pem() const;  // certificate only
    int info(Info &out) const noexcept;   // YORBAT_NOT_A_CERTIFICATE without a certificate

private:
    friend int make_root(std::string_view, long, std::string &) noexcept;
    friend int issue(const Credential &, const Principal &, long, std::string &) noexcept;
    std::unique_ptr<X509, X509Free> cert_;
    std::unique_ptr<EVP_PKEY, KeyFree> key_;
};

// A new authority for the broker on `broker_host`: key and self-signed root
// certificate valid for `lifetime_seconds`, as PEM (certificate and key).
int make_root(std::string_view broker_host, long lifetime_seconds, std::string &root_pem) noexcept;

// A new credential for `principal`: a fresh key and a certificate signed by
// `authority` (which must hold its key), valid from now for `lifetime_seconds`.
// A negative lifetime gives a credential that expired that long ago (what a
// renewal sees). 0, YORBAT_NO_PRIVATE_KEY, YORBAT_INVALID_ARGUMENT (a name
// with a NUL), YORBAT_INTERNAL_FAILURE, YORBAT_NO_MEMORY.
int issue(const Credential &authority, const Principal &principal, long lifetime_seconds,
          std::string &credential_pem) noexcept;

// 0 when `credential` carries a certificate signed by `authority` and valid
// at `now`; YORBAT_PEER_NOT_TRUSTED, YORBAT_CREDENTIAL_EXPIRED or
// YORBAT_CREDENTIAL_NOT_YET_VALID otherwise.
int verify_issued_by(const Credential &credential, const Credential &authority, time_t now) noexcept;

}  // namespace yorbat::x509

#endif
