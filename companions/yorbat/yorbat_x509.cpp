// Credentials as X.509: parsing PEM text, making the broker's root and the
// credentials it issues, and checking that one was issued by the other.
// EC P-256 keys and SHA-256 signatures throughout.
#include "yorbat_x509.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <climits>
#include <cstring>
#include <vector>

namespace yorbat::x509 {
namespace {

using Bio = Owned<BIO, BIO_free_all>;
using Extension = Owned<X509_EXTENSION, X509_EXTENSION_free>;
using Store = Owned<X509_STORE, X509_STORE_free>;
using StoreContext = Owned<X509_STORE_CTX, X509_STORE_CTX_free>;
using Number = Owned<BIGNUM, BN_free>;

// PEM reading never asks a terminal for a pass phrase: an encrypted key is
// simply unreadable here.
int no_pass_phrase(char *, int, int, void *) { return -1; }

Bio read_only_bio(std::string_view text) {
    if (text.size() > INT_MAX)
        return nullptr;
    return Bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

std::string drain(BIO *bio) {
    char *data = nullptr;
    long size = BIO_get_mem_data(bio, &data);
    return size > 0 ? std::string(data, static_cast<size_t>(size)) : std::string();
}

// The bytes after what was read so far hold another PEM block.
bool more_pem_follows(BIO *bio) {
    char *data = nullptr;
    long size = BIO_get_mem_data(bio, &data);
    return size > 0 && std::string_view(data, static_cast<size_t>(size)).find("-----BEGIN") !=
                           std::string_view::npos;
}

std::string entry_text(const X509_NAME *name, int nid) {
    int index = X509_NAME_get_index_by_NID(name, nid, -1);
    if (index < 0)
        return {};
    const ASN1_STRING *value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
    unsigned char *utf8 = nullptr;
    int length = ASN1_STRING_to_UTF8(&utf8, value);
    if (length < 0)
        return {};
    std::string text(reinterpret_cast<char *>(utf8), static_cast<size_t>(length));
    OPENSSL_free(utf8);
    return text;
}

time_t seconds_of(const ASN1_TIME *when) {
    struct tm broken_down {};
    return ASN1_TIME_to_tm(when, &broken_down) == 1 ? timegm(&broken_down) : 0;
}

std::string printed_time(const ASN1_TIME *when) {
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || ASN1_TIME_print(bio.get(), when) != 1)
        return {};
    return drain(bio.get());
}

std::string oneline(const X509_NAME *name) {
    char *text = X509_NAME_oneline(name, nullptr, 0);
    if (!text)
        return {};
    std::string copy(text);
    OPENSSL_free(text);
    return copy;
}

// Components go in as UTF8String without the directory-string length caps,
// so domains and names keep every byte they were given.
bool add_entry(X509_NAME *name, int nid, std::string_view value) {
    if (value.size() > INT_MAX || value.find('\0') != std::string_view::npos)
        return false;
    return X509_NAME_add_entry_by_NID(name, nid, V_ASN1_UTF8STRING,
                                      reinterpret_cast<const unsigned char *>(value.data()),
                                      static_cast<int>(value.size()), -1, 0) == 1;
}

bool set_subject(X509 *cert, std::string_view organization, std::string_view unit,
                 std::string_view common_name) {
    X509_NAME *name = X509_get_subject_name(cert);
    return add_entry(name, NID_organizationName, organization) &&
           add_entry(name, NID_organizationalUnitName, unit) &&
           add_entry(name, NID_commonName, common_name);
}

// A random positive 127-bit serial number.
bool set_random_serial(X509 *cert) {
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1)
        return false;
    bytes[0] = static_cast<unsigned char>((bytes[0] & 0x7f) | 0x40);
    Number number(BN_bin2bn(bytes, sizeof bytes, nullptr));
    return number && BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(cert));
}

// Valid from now for `lifetime` seconds; a negative lifetime ended that long
// ago, after a day of validity.
bool set_validity(X509 *cert, long lifetime) {
    time_t now = time(nullptr);
    time_t not_after = now + lifetime;
    time_t not_before = lifetime < 0 ? not_after - 86400 : now;
    return ASN1_TIME_set(X509_getm_notBefore(cert), not_before) &&
           ASN1_TIME_set(X509_getm_notAfter(cert), not_after);
}

bool add_extension(X509 *cert, X509 *issuer, int nid, const char *value) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
    Extension extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
    return extension && X509_add_ext(cert, extension.get(), -1) == 1;
}

struct ExtensionText {
    int nid;
    const char *value;
};

constexpr ExtensionText kRootExtensions[] = {
    {NID_basic_constraints, "critical,CA:TRUE"},
    {NID_key_usage, "critical,keyCertSign,cRLSign"},
    {NID_subject_key_identifier, "hash"},
};

// A credential serves both ends of a connection.
constexpr ExtensionText kCredentialExtensions[] = {
    {NID_basic_constraints, "critical,CA:FALSE"},
    {NID_key_usage, "critical,digitalSignature"},
    {NID_ext_key_usage, "serverAuth,clientAuth"},
    {NID_subject_key_identifier, "hash"},
    {NID_authority_key_identifier, "keyid"},
};

template <size_t N>
bool add_extensions(X509 *cert, X509 *issuer, const ExtensionText (&list)[N]) {
    for (const ExtensionText &extension : list)
        if (!add_extension(cert, issuer, extension.nid, extension.value))
            return false;
    return true;
}

// An EC P-256 key. (EVP_EC_gen is a macro whose C cast drops const.)
std::unique_ptr<EVP_PKEY, KeyFree> new_key() {
    static char curve[] = "P-256";
    return std::unique_ptr<EVP_PKEY, KeyFree>(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", curve));
}

// A version-3 certificate for `key` with a random serial and the validity.
std::unique_ptr<X509, X509Free> new_certificate(EVP_PKEY *key, long lifetime) {
    std::unique_ptr<X509, X509Free> cert(X509_new());
    if (!cert || X509_set_version(cert.get(), X509_VERSION_3) != 1 || !set_random_serial(cert.get()) ||
        !set_validity(cert.get(), lifetime) || X509_set_pubkey(cert.get(), key) != 1)
        return nullptr;
    return cert;
}

int failure() {
    ERR_clear_error();
    return YORBAT_INTERNAL_FAILURE;
}

int verify_error_result(int error) {
    switch (error) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return YORBAT_CREDENTIAL_EXPIRED;
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return YORBAT_CREDENTIAL_NOT_YET_VALID;
    default:
        return YORBAT_PEER_NOT_TRUSTED;
    }
}

// Decoding keys and certificates is slow (a few hundred microseconds),
// and a process presents the same credential and trusts the same roots on
// every connection: the last few texts parsed are kept, decoded.
class ParseMemo {
public:
    struct Entry {
        std::string text;
        bool certificate_only;
        std::unique_ptr<X509, X509Free> cert;
        std::unique_ptr<EVP_PKEY, KeyFree> key;
    };

    // True, with `cert` and `key` taking a reference each, when `text` is known.
    bool find(std::string_view text, bool certificate_only, std::unique_ptr<X509, X509Free> &cert,
              std::unique_ptr<EVP_PKEY, KeyFree> &key) {
        StateLock lock(mutex_);
        for (const Entry &entry : recent_) {
            if (entry.certificate_only != certificate_only || entry.text != text)
                continue;
            cert.reset(up_ref(entry.cert.get()));
            key.reset(up_ref(entry.key.get()));
            return true;
        }
        return false;
    }

    void keep(std::string_view text, bool certificate_only, X509 *cert, EVP_PKEY *key) noexcept {
        try {
            Entry entry{std::string(text), certificate_only, nullptr, nullptr};
            entry.cert.reset(up_ref(cert));
            entry.key.reset(up_ref(key));
            StateLock lock(mutex_);
            if (recent_.size() >= kKept)
                recent_.erase(recent_.begin());
            recent_.push_back(std::move(entry));
        } catch (const std::bad_alloc &) {
        }
    }

private:
    static constexpr size_t kKept = 16;
    static X509 *up_ref(X509 *cert) { return cert && X509_up_ref(cert) == 1 ? cert : nullptr; }
    static EVP_PKEY *up_ref(EVP_PKEY *key) { return key && EVP_PKEY_up_ref(key) == 1 ? key : nullptr; }
    StateMutex mutex_;
    std::vector<Entry> recent_;
};

ParseMemo &memo() {
    static ParseMemo kept;
    return kept;
}

}  // namespace

int Credential::parse_certificate(std::string_view pem, Credential &out) noexcept {
    if (memo().find(pem, true, out.cert_, out.key_))
        return YORBAT_OK;
    Bio bio = read_only_bio(pem);
    if (!bio)
        return YORBAT_NOT_A_CERTIFICATE;
    out.key_.reset();
    out.cert_.reset(PEM_read_bio_X509(bio.get(), nullptr, no_pass_phrase, nullptr));
    ERR_clear_error();
    if (!out.cert_)
        return YORBAT_NOT_A_CERTIFICATE;
    memo().keep(pem, true, out.cert_.get(), nullptr);
    return YORBAT_OK;
}

int Credential::parse(std::string_view pem, Credential &out) noexcept {
    if (memo().find(pem, false, out.cert_, out.key_))
        return YORBAT_OK;
    Bio bio = read_only_bio(pem);
    if (!bio)
        return YORBAT_NOT_A_CERTIFICATE;
    out.key_.reset();
    out.cert_.reset(PEM_read_bio_X509(bio.get(), nullptr, no_pass_phrase, nullptr));
    if (!out.cert_) {
        ERR_clear_error();
        return YORBAT_NOT_A_CERTIFICATE;
    }
    // Nothing after the certificate: a peer's credential, without key.
    if (!more_pem_follows(bio.get())) {
        memo().keep(pem, false, out.cert_.get(), nullptr);
        return YORBAT_OK;
    }
    out.key_.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, no_pass_phrase, nullptr));
    ERR_clear_error();
    if (!out.key_ || X509_check_private_key(out.cert_.get(), out.key_.get()) != 1) {
        ERR_clear_error();
        out.key_.reset();
        out.cert_.reset();
        return YORBAT_CREDENTIAL_MALFORMED;
    }
    memo().keep(pem, false, out.cert_.get(), out.key_.get());
    return YORBAT_OK;
}

std::string Credential::certificate_pem() const {
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio)
        throw std::bad_alloc();
    if (cert_ && PEM_write_bio_X509(bio.get(), cert_.get()) != 1)
        throw std::bad_alloc();
    return drain(bio.get());
}

std::string Credential::pem() const {
    std::string text = certificate_pem();
    if (!key_)
        return text;
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key_.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        throw std::bad_alloc();
    return text + drain(bio.get());
}

int Credential::info(Info &out) const noexcept {
    if (!cert_)
        return YORBAT_NOT_A_CERTIFICATE;
    try {
        const X509_NAME *subject = X509_get_subject_name(cert_.get());
        out.principal.domain = entry_text(subject, NID_organizationName);
        out.principal.mechanism = entry_text(subject, NID_organizationalUnitName);
        out.principal.name = entry_text(subject, NID_commonName);
        out.expiry = printed_time(X509_get0_notAfter(cert_.get()));
        out.issuer = oneline(X509_get_issuer_name(cert_.get()));
        out.not_before = seconds_of(X509_get0_notBefore(cert_.get()));
        out.not_after = seconds_of(X509_get0_notAfter(cert_.get()));
        ERR_clear_error();
        return YORBAT_OK;
    } catch (const std::bad_alloc &) {
        return YORBAT_NO_MEMORY;
    }
}

int make_root(std::string_view broker_host, long lifetime_seconds, std::string &root_pem) noexcept {
    try {
        Credential root;
        root.key_ = new_key();
        if (!root.key_)
            return failure();
        root.cert_ = new_certificate(root.key_.get(), lifetime_seconds);
        X509 *cert = root.cert_.get();
        std::string host(broker_host);
        if (!cert || !set_subject(cert, "YORBat@" + host, "root@" + host, "YORBat broker root") ||
            X509_set_issuer_name(cert, X509_get_subject_name(cert)) != 1 ||
            !add_extensions(cert, cert, kRootExtensions) ||
            X509_sign(cert, root.key_.get(), EVP_sha256()) <= 0)
            return failure();
        root_pem = root.pem();
        return YORBAT_OK;
    } catch (const std::bad_alloc &) {
        return YORBAT_NO_MEMORY;
    }
}

int issue(const Credential &authority, const Principal &principal, long lifetime_seconds,
          std::string &credential_pem) noexcept {
    if (!authority.cert_ || !authority.key_)
        return YORBAT_NO_PRIVATE_KEY;
    for (const std::string *part : {&principal.domain, &principal.mechanism, &principal.name})
        if (part->find('\0') != std::string::npos)
            return YORBAT_INVALID_ARGUMENT;
    try {
        Credential made;
        made.key_ = new_key();
        if (!made.key_)
            return failure();
        made.cert_ = new_certificate(made.key_.get(), lifetime_seconds);
        X509 *cert = made.cert_.get();
        X509 *issuer = authority.cert_.get();
        if (!cert || !set_subject(cert, principal.domain, principal.mechanism, principal.name) ||
            X509_set_issuer_name(cert, X509_get_subject_name(issuer)) != 1 ||
            !add_extensions(cert, issuer, kCredentialExtensions) ||
            X509_sign(cert, authority.key_.get(), EVP_sha256()) <= 0)
            return failure();
        credential_pem = made.pem();
        return YORBAT_OK;
    } catch (const std::bad_alloc &) {
        return YORBAT_NO_MEMORY;
    }
}

int verify_issued_by(const Credential &credential, const Credential &authority, time_t now) noexcept {
    if (!credential.certificate() || !authority.certificate())
        return YORBAT_PEER_NOT_TRUSTED;
    Store store(X509_STORE_new());
    StoreContext context(X509_STORE_CTX_new());
    if (!store || !context || X509_STORE_add_cert(store.get(), authority.certificate()) != 1 ||
        X509_STORE_CTX_init(context.get(), store.get(), credential.certificate(), nullptr) != 1) {
        ERR_clear_error();
        return YORBAT_NO_MEMORY;
    }
    X509_STORE_CTX_set_time(context.get(), 0, now);
    int verified = X509_verify_cert(context.get());
    int error = X509_STORE_CTX_get_error(context.get());
    ERR_clear_error();
    return verified == 1 ? YORBAT_OK : verify_error_result(error);
}

}  // namespace yorbat::x509
