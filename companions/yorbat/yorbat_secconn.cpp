// Entry points over the OpenSSL layer: secure connections on the caller's
// socket, credential information, export and import, and the trust store.
#include <cstdlib>
#include <cstring>

#include "yorbat_tls.h"

namespace yorbat {
namespace {

constexpr int kDefaultIoTimeoutMs = 60000;

// The bound on each wait of a secure connection; YORBAT_IO_TIMEOUT_MS
// shortens it (tests, impatient tools).
int io_timeout_ms() {
    const char *text = std::getenv("YORBAT_IO_TIMEOUT_MS");
    if (!text || !*text)
        return kDefaultIoTimeoutMs;
    char *end = nullptr;
    long value = std::strtol(text, &end, 10);
    return *end == '\0' && value > 0 && value <= kDefaultIoTimeoutMs * 60 ? static_cast<int>(value)
                                                                           : kDefaultIoTimeoutMs;
}

// What a secure-connection handle names.
struct SecureConnection {
    tls::SessionPtr session;
};

// A handle's connection, or null when it was not handed out as one.
tls::Session *session_of(void *handle) {
    auto *connection = handle ? owner_as<SecureConnection>(handle) : nullptr;
    return connection ? connection->session.get() : nullptr;
}

// The pieces of yorbAtExtractInfo's answer, all in one owner.
struct InfoWords {
    yorbat_word words[YORBAT_INFO_WORDS] = {};
    yorbat_word principal[3] = {};
    x509::Info info;
};

yorbat_word text_word(std::string &text) { return text.data(); }

int secure_connection(tls::Role role, int socket, const char *credential, void **handle,
                      char **peer_credential) {
    if (!handle || !peer_credential)
        return YORBAT_INVALID_ARGUMENT;
    *handle = nullptr;
    *peer_credential = nullptr;
    if (socket < 0 || !credential)
        return YORBAT_INVALID_ARGUMENT;
    x509::Credential own;
    if (x509::Credential::parse(credential, own) != YORBAT_OK || !own.key())
        return YORBAT_CONN_LIBRARY_FAILURE;
    tls::Options options;
    options.own = &own;
    options.timeout_ms = io_timeout_ms();
    if (int listed = trust::list(options.roots_pem); listed != YORBAT_OK)
        return listed == YORBAT_NO_MEMORY ? listed : YORBAT_CONN_LIBRARY_FAILURE;

    auto connection = std::make_unique<SecureConnection>();
    if (int started = tls::start(socket, role, options, connection->session); started != YORBAT_OK)
        return started;
    char *peer = hand_out_text(tls::peer_certificate_pem(*connection->session));
    SecureConnection *named = connection.get();
    SecureConnection *made = hand_out(std::move(connection), named);
    if (!peer || !made) {
        if (made)
            release(made);
        if (peer)
            release(peer);
        return YORBAT_NO_MEMORY;
    }
    *handle = made;
    *peer_credential = peer;
    return YORBAT_OK;
}

}  // namespace
}  // namespace yorbat

using namespace yorbat;

namespace {

// One's own credential (certificate and key) as text handed out, with its
// length when asked; `remember` makes it the process's newest credential.
int hand_out_own(std::string_view pem, char **out, int *length, bool remember) noexcept {
    x509::Credential parsed;
    if (x509::Credential::parse(pem, parsed) != YORBAT_OK)
        return YORBAT_CREDENTIAL_UNREADABLE;
    if (!parsed.key())
        return YORBAT_NO_PRIVATE_KEY;
    try {
        std::string text = parsed.pem();
        char *copy = hand_out_text(text);
        if (!copy)
            return YORBAT_NO_MEMORY;
        if (remember)
            store::remember(text);
        *out = copy;
        if (length)
            *length = static_cast<int>(text.size());
        return YORBAT_OK;
    } catch (const std::bad_alloc &) {
        return YORBAT_NO_MEMORY;
    }
}

}  // namespace

extern "C" {

int yorbAtSecConnConnect(int socket, const char *credential, void *, void **handle,
                         char **peerCredential) noexcept {
    YORBAT_FAULT_SEAM();
    try {
        return secure_connection(tls::Role::client, socket, credential, handle, peerCredential);
    } catch (const std::bad_alloc &) {
        return YORBAT_NO_MEMORY;
    }
}

int yorbAtSecConnAccept(int socket, const char *credential, void *, void **handle,
                        char **peerCredential) noexcept {
    YORBAT_FAULT_SEAM();
    try {
        return secure_connection(tls::Role::server, socket, credential, handle, peerCredential);
    } catch (const std::bad_alloc &) {
        return YORBAT_NO_MEMORY;
    }
}

int yorbAtSecConnRead(void *handle, char *buffer, int count) noexcept {
    YORBAT_FAULT_SEAM();
    tls::Session *session = session_of(handle);
    if (!session || !buffer || count <= 0)
        return YORBAT_INVALID_ARGUMENT;
    return tls::read(*session, buffer, count);
}

int yorbAtSecConnWrite(void *handle, const char *buffer, int count) noexcept {
    YORBAT_FAULT_SEAM();
    tls::Session *session = session_of(handle);
    if (!session || !buffer || count <= 0)
        return YORBAT_INVALID_ARGUMENT;
    return tls::write(*session, buffer, count);
}

// The connection is released even when close_notify cannot be sent: the
// peer may be gone, and the caller has nothing else to do with it.
int yorbAtSecConnClose(void **handle) noexcept {
    YORBAT_FAULT_SEAM();
    tls::Session *session = handle ? session_of(*handle) : nullptr;
    if (!session)
        return YORBAT_INVALID_ARGUMENT;
    tls::shutdown(*session);
    release(*handle);
    *handle = nullptr;
    return YORBAT_OK;
}

int yorbAtExtractInfo(void *context, const char *credential, yorbat_word **information) noexcept {
    YORBAT_FAULT_SEAM();
    if (!context_of(context))
        return YORBAT_NOT_INITIALIZED;
    if (!credential || !information)
        return YORBAT_INVALID_ARGUMENT;
    *information = nullptr;
    x509::Credential parsed;
    if (x509::Credential::parse_certificate(credential, parsed) != YORBAT_OK)
        return YORBAT_NOT_A_CERTIFICATE;
    auto answer = std::unique_ptr<InfoWords>(new (std::nothrow) InfoWords);
    if (!answer)
        return YORBAT_NO_MEMORY;
    if (int read = parsed.info(answer->info); read != YORBAT_OK)
        return read;
    x509::Info &info = answer->info;
    answer->principal[YORBAT_PRINCIPAL_MECHANISM] = text_word(info.principal.mechanism);
    answer->principal[YORBAT_PRINCIPAL_DOMAIN] = text_word(info.principal.domain);
    answer->principal[YORBAT_PRINCIPAL_NAME] = text_word(info.principal.name);
    answer->words[YORBAT_INFO_PRINCIPAL] = answer->principal;
    answer->words[YORBAT_INFO_EXPIRY] = text_word(info.expiry);
    answer->words[YORBAT_INFO_ISSUER] = text_word(info.issuer);
    yorbat_word *named = answer->words;
    yorbat_word *words = hand_out(std::move(answer), named);
    if (!words)
        return YORBAT_NO_MEMORY;
    *information = words;
    return YORBAT_OK;
}

int yorbAtExportCredential(const char *credential, char **bytes, int *count) noexcept {
    YORBAT_FAULT_SEAM();
    if (!credential || !bytes || !count)
        return YORBAT_INVALID_ARGUMENT;
    *bytes = nullptr;
    *count = 0;
    return hand_out_own(credential, bytes, count, false);
}

// Expired credentials are imported too: renewing one needs it.
int yorbAtImportCredential(const char *bytes, int count, char **credential) noexcept {
    YORBAT_FAULT_SEAM();
    if ((!bytes && count > 0) || count < 0 || !credential)
        return YORBAT_INVALID_ARGUMENT;
    *credential = nullptr;
    if (count == 0)
        return YORBAT_CREDENTIAL_UNREADABLE;
    return hand_out_own(std::string_view(bytes, static_cast<size_t>(count)), credential, nullptr, true);
}

int yorbAtGetTrustedRootCredentials(void *context, char ***list, int *count) noexcept {
    YORBAT_FAULT_SEAM();
    if (!context_of(context))
        return YORBAT_NOT_INITIALIZED;
    if (!list || !count)
        return YORBAT_INVALID_ARGUMENT;
    *list = nullptr;
    *count = 0;
    std::vector<std::string> roots;
    if (int listed = trust::list(roots); listed != YORBAT_OK)
        return listed;
    return hand_out_text_list(roots, list, count);
}

int yorbAtRemoveTrust(void *context, const char *rootCredential) noexcept {
    YORBAT_FAULT_SEAM();
    if (!context_of(context))
        return YORBAT_NOT_INITIALIZED;
    if (!rootCredential)
        return YORBAT_INVALID_ARGUMENT;
    try {
        return trust::remove(rootCredential);
    } catch (const std::bad_alloc &) {
        return YORBAT_NO_MEMORY;
    }
}

}  // extern "C"
