// The entry points that talk to a broker: log in, fetch and renew
// credentials, trust the broker's root, validate users and groups; and the
// one that forgets the process's own credentials. Each conversation is one
// TLS connection carrying one request and one answer.
#include <openssl/x509v3.h>

#include <array>
#include <ctime>
#include <optional>

#include "yorbat_core.h"
#include "yorbat_protocol.h"
#include "yorbat_registry.h"
#include "yorbat_tls.h"
#include "yorbat_x509.h"

namespace yorbat {
namespace {

using protocol::Field;
using protocol::Message;

// One conversation. The socket outlives the session (declared first).
struct Conversation {
    files::Descriptor socket;
    tls::SessionPtr session;
};

constexpr int broker_timeout_ms = 30000;

bool broker_given(const yorbat_broker_address *broker) noexcept {
    return broker && broker->host && *broker->host && broker->port > 0 && broker->port <= 65535;
}

// Connects and shakes hands; the result as this library reports it.
int open_conversation(const yorbat_broker_address &broker, const tls::Options &options,
                      Conversation &conversation) noexcept {
    int fd = -1;
    int result = tls::connect_to(broker, options, fd, conversation.session);
    conversation.socket = files::Descriptor(fd);
    switch (result) {
    case YORBAT_OK:
    case YORBAT_BROKER_UNREACHABLE:
    case YORBAT_BROKER_NOT_TRUSTED:
    case YORBAT_BROKER_REFUSED:
    case YORBAT_INVALID_ARGUMENT:
    case YORBAT_CONN_LIBRARY_FAILURE:
    case YORBAT_NO_MEMORY:
        return result;
    case YORBAT_PEER_NOT_TRUSTED:
        return YORBAT_BROKER_NOT_TRUSTED;
    default:  // the handshake broke off: no session with the broker
        return YORBAT_BROKER_UNREACHABLE;
    }
}

// Sends `request` and reads the answer; 0 only when the broker answered 0.
int exchange(Conversation &conversation, const Message &request, Message &answer) noexcept {
    if (int sent = protocol::send(*conversation.session, request); sent != YORBAT_OK)
        return sent == YORBAT_NO_MEMORY ? sent : YORBAT_BROKER_UNREACHABLE;
    int received = protocol::receive(*conversation.session, answer);
    tls::shutdown(*conversation.session);
    if (received == YORBAT_CONNECTION_BROKEN)
        return YORBAT_BROKER_UNREACHABLE;
    if (received != YORBAT_OK)
        return received == YORBAT_NO_MEMORY ? received : YORBAT_INTERNAL_FAILURE;
    std::optional<int> result = answer.result();
    return result ? *result : YORBAT_INTERNAL_FAILURE;
}

// A whole conversation with a broker that this host trusts, presenting
// `own` when given.
int ask_broker(const yorbat_broker_address &broker, const x509::Credential *own, const Message &request,
               Message &answer) noexcept {
    tls::Options options;
    if (int listed = trust::list(options.roots_pem); listed != YORBAT_OK)
        return listed;
    options.own = own;
    options.timeout_ms = broker_timeout_ms;
    Conversation conversation;
    if (int opened = open_conversation(broker, options, conversation); opened != YORBAT_OK)
        return opened;
    return exchange(conversation, request, answer);
}

Message principal_request(std::string_view op, const char *mechanism, const char *domain, const char *name) {
    Message request;
    request.set(Field::op, op);
    request.set_if(Field::mechanism, mechanism);
    request.set_if(Field::domain, domain);
    request.set_if(Field::name, name);
    return request;
}

// The credential an answer carries, checked to be one with its key.
int credential_of(const Message &answer, std::string &pem) {
    const std::string *text = answer.get(Field::credential);
    if (!text)
        return YORBAT_NO_CREDENTIAL_RECEIVED;
    x509::Credential parsed;
    if (x509::Credential::parse(*text, parsed) != YORBAT_OK || !parsed.key())
        return YORBAT_INTERNAL_FAILURE;
    pem = *text;
    return YORBAT_OK;
}

// A domain as asked for matches a credential's: the same text, or the
// short name of a qualified "NAME@HOST" domain.
bool same_domain(std::string_view asked, std::string_view held) noexcept {
    return asked == held || (held.starts_with(asked) && held.size() > asked.size() && held[asked.size()] == '@');
}

// Whether a stored credential's principal matches the request's given
// fields. The password has nothing to match against.
bool principal_matches(const x509::Principal &held, const yorbat_principal_request &request) {
    return (!request.mechanism || held.mechanism == request.mechanism) &&
           (!request.domain || same_domain(request.domain, held.domain)) &&
           (!request.name || held.name == request.name);
}

std::optional<x509::Principal> principal_of(const x509::Credential &credential) noexcept {
    x509::Info info;
    if (credential.info(info) != YORBAT_OK)
        return std::nullopt;
    return info.principal;
}

// The credential to present for `request`: the newest own credential of that
// principal, else the newest one at all. YORBAT_NOT_FOUND_ON_DISK when the
// process holds none.
int credential_to_present(const yorbat_principal_request &request, x509::Credential &chosen) {
    std::vector<std::string> held = store::snapshot();
    bool have_fallback = false;
    for (auto it = held.rbegin(); it != held.rend(); ++it) {
        x509::Credential candidate;
        if (x509::Credential::parse(*it, candidate) != YORBAT_OK || !candidate.key())
            continue;
        std::optional<x509::Principal> principal = principal_of(candidate);
        if (principal && principal_matches(*principal, request)) {
            chosen = std::move(candidate);
            return YORBAT_OK;
        }
        if (!have_fallback) {
            chosen = std::move(candidate);
            have_fallback = true;
        }
    }
    return have_fallback ? YORBAT_OK : YORBAT_NOT_FOUND_ON_DISK;
}

// ---- Validation results: six words, texts and owner in one piece.

struct Validation {
    std::array<yorbat_word, YORBAT_VALID_WORDS> words{};
    std::string name, domain;
};

int hand_out_validation(const Message &answer, bool with_number, yorbat_word **result) {
    auto owner = std::make_unique<Validation>();
    owner->name = answer.value(Field::name);
    owner->domain = answer.value(Field::domain);
    long number = 0;
    if (with_number) {
        std::optional<long> given = answer.number();
        if (!given)
            return YORBAT_INTERNAL_FAILURE;
        number = *given;
    }
    owner->words[YORBAT_VALID_NAME] = owner->name.data();
    owner->words[YORBAT_VALID_DOMAIN] = owner->domain.data();
    owner->words[YORBAT_VALID_NUMBER] = reinterpret_cast<yorbat_word>(static_cast<intptr_t>(number));
    yorbat_word *words = owner->words.data();
    if (!hand_out(std::move(owner), words))
        return YORBAT_NO_MEMORY;
    *result = words;
    return YORBAT_OK;
}

int validate(std::string_view op, const char *mechanism, const char *domain, const char *name,
             const yorbat_broker_address &broker, bool with_number, yorbat_word **result) {
    Message answer;
    int asked = ask_broker(broker, nullptr, principal_request(op, mechanism, domain, name), answer);
    if (asked != YORBAT_OK)
        return asked;
    return hand_out_validation(answer, with_number, result);
}

// ---- First contact: the broker's root, checked against the session.

bool is_self_signed_ca(X509 *certificate) noexcept {
    EVP_PKEY *key = X509_get0_pubkey(certificate);
    return key && X509_check_issued(certificate, certificate) == X509_V_OK && X509_check_ca(certificate) >= 1 &&
           X509_verify(certificate, key) == 1;
}

// The root a broker hands out, accepted only when it is a CA certificate
// that signed the certificate the broker showed in this very session.
int checked_root(const Message &answer, const tls::Session &session, std::string &root_pem) {
    const std::string *text = answer.get(Field::root);
    x509::Credential root, broker;
    if (!text || x509::Credential::parse(*text, root) != YORBAT_OK || !is_self_signed_ca(root.certificate()))
        return YORBAT_ROOT_REJECTED;
    if (x509::Credential::parse(tls::peer_certificate_pem(session), broker) != YORBAT_OK ||
        x509::verify_issued_by(broker, root, std::time(nullptr)) != YORBAT_OK)
        return YORBAT_ROOT_REJECTED;
    root_pem = root.certificate_pem();
    return YORBAT_OK;
}

int fetch_root(const yorbat_broker_address &broker, std::string &root_pem) {
    tls::Options options;
    options.verify_peer = false;
    options.timeout_ms = broker_timeout_ms;
    Conversation conversation;
    if (int opened = open_conversation(broker, options, conversation); opened != YORBAT_OK)
        return opened;
    Message request, answer;
    request.set(Field::op, protocol::op_root);
    if (int asked = exchange(conversation, request, answer); asked != YORBAT_OK)
        return asked;
    return checked_root(answer, *conversation.session, root_pem);
}

}  // namespace
}  // namespace yorbat

using namespace yorbat;

extern "C" {

int yorbAtAuthenticate(void *context, const yorbat_principal_request *request,
                       const yorbat_broker_address *broker, char **credential) noexcept {
    YORBAT_FAULT_SEAM();
    if (!context_of(context))
        return YORBAT_NOT_INITIALIZED;
    if (!request || !request->mechanism || !broker_given(broker) || !credential)
        return YORBAT_INVALID_ARGUMENT;
    *credential = nullptr;
    try {
        Message ask = principal_request(protocol::op_authenticate, request->mechanism, request->domain, request->name);
        ask.set_if(Field::password, request->password);
        Message answer;
        std::string pem;
        if (int asked = ask_broker(*broker, nullptr, ask, answer); asked != YORBAT_OK)
            return asked;
        if (int received = credential_of(answer, pem); received != YORBAT_OK)
            return received;
        if (!(*credential = hand_out_text(pem)))
            return YORBAT_NO_MEMORY;
        store::remember(pem);
        return YORBAT_OK;
    } catch (const std::bad_alloc &) {
        return YORBAT_NO_MEMORY;
    }
}

int yorbAtDeleteCredentialsFromStore(void *context, const yorbat_principal_request *request,
                                     const yorbat_broker_address *) noexcept {
    YORBAT_FAULT_SEAM();
    if (!context_of(context))
        return YORBAT_NOT_INITIALIZED;
    if (!request)
        return YORBAT_INVALID_ARGUMENT;
    try {
        bool everything = !request->name && !request->domain && !request->password;
        std::vector<std::string> held = store::snapshot(), kept;
        for (std::string &pem : held) {
            x509::Credential parsed;
            std::optional<x509::Principal> principal;
            if (x509::Credential::parse(pem, parsed) == YORBAT_OK)
                principal = principal_of(parsed);
            bool remove = everything || (principal && principal_matches(*principal, *request));
            if (!remove)
                kept.push_back(std::move(pem));
        }
        if (kept.size() == held.size())
            return YORBAT_STORE_EMPTY;
        store::replace(std::move(kept));
        return YORBAT_OK;
    } catch (const std::bad_alloc &) {
        return YORBAT_NO_MEMORY;
    }
}

int yorbAtGetCredentials(void *context, const yorbat_principal_request *request,
                         const yorbat_broker_address *broker, char ***list, int *count) noexcept {
    YORBAT_FAULT_SEAM();
    if (!context_of(context))
        return YORBAT_NOT_INITIALIZED;
    if (!request || !request->mechanism || !request->name || !broker_given(broker) || !list || !count)
        return YORBAT_INVALID_ARGUMENT;
    *list = nullptr;
    *count = 0;
    try {
        x509::Credential own;
        if (int chosen = credential_to_present(*request, own); chosen != YORBAT_OK)
            return chosen;
        Message answer;
        std::string pem;
        Message ask = principal_request(protocol::op_credentials, request->mechanism, request->domain, request->name);
        if (int asked = ask_broker(*broker, &own, ask, answer); asked != YORBAT_OK)
            return asked;
        if (int received = credential_of(answer, pem); received != YORBAT_OK)
            return received;
        if (int handed = hand_out_text_list({pem}, list, count); handed != YORBAT_OK)
            return handed;
        store::remember(pem);
        return YORBAT_OK;
    } catch (const std::bad_alloc &) {
        return YORBAT_NO_MEMORY;
    }
}

int yorbAtCredentialRenew(void *context, const char *credential, const yorbat_broker_address *broker,
                          char **renewed) noexcept {
    YORBAT_FAULT_SEAM();
    if (!context_of(context))
        return YORBAT_NOT_INITIALIZED;
    if (!credential || !broker_given(broker) || !renewed)
        return YORBAT_INVALID_ARGUMENT;
    *renewed = nullptr;
    try {
        x509::Credential own;
        if (x509::Credential::parse(credential, own) != YORBAT_OK)
            return YORBAT_CREDENTIAL_MALFORMED;
        if (!own.key())
            return YORBAT_NO_PRIVATE_KEY;
        Message ask, answer;
        ask.set(Field::op, protocol::op_renew);
        std::string pem;
        if (int asked = ask_broker(*broker, &own, ask, answer); asked != YORBAT_OK)
            return asked;
        if (int received = credential_of(answer, pem); received != YORBAT_OK)
            return received;
        if (!(*renewed = hand_out_text(pem)))
            return YORBAT_NO_MEMORY;
        store::remember(pem);
        return YORBAT_OK;
    } catch (const std::bad_alloc &) {
        return YORBAT_NO_MEMORY;
    }
}

int yorbAtSetupTrust(void *context, const yorbat_broker_address *broker, void **,
                     const yorbat_trust_request *request, void **result) noexcept {
    YORBAT_FAULT_SEAM();
    if (!context_of(context))
        return YORBAT_NOT_INITIALIZED;
    if (!broker_given(broker) || !request || request->kind != YORBAT_TRUST_BROKER_ROOT || !result)
        return YORBAT_INVALID_ARGUMENT;
    *result = nullptr;
    try {
        std::string root_pem;
        if (int fetched = fetch_root(*broker, root_pem); fetched != YORBAT_OK)
            return fetched;
        if (int added = trust::add(root_pem); added != YORBAT_OK)
            return added == YORBAT_ROOT_REJECTED || added == YORBAT_NO_MEMORY ? added : YORBAT_TRUST_STORE_FAILED;
        if (!(*result = hand_out_text(root_pem)))
            return YORBAT_NO_MEMORY;
        return YORBAT_OK;
    } catch (const std::bad_alloc &) {
        return YORBAT_NO_MEMORY;
    }
}

int yorbAtValidatePrpl(void *context, const yorbat_principal_request *request,
                       const yorbat_broker_address *broker, yorbat_word **result) noexcept {
    YORBAT_FAULT_SEAM();
    if (!context_of(context))
        return YORBAT_NOT_INITIALIZED;
    if (!request || !request->mechanism || !request->name || !broker_given(broker) || !result)
        return YORBAT_INVALID_ARGUMENT;
    *result = nullptr;
    try {
        return validate(protocol::op_validate_user, request->mechanism, request->domain, request->name,
                        *broker, true, result);
    } catch (const std::bad_alloc &) {
        return YORBAT_NO_MEMORY;
    }
}

int yorbAtValidateGroup(void *context, const yorbat_group_request *request, const yorbat_broker_address *broker,
                        yorbat_word **result) noexcept {
    YORBAT_FAULT_SEAM();
    if (!context_of(context))
        return YORBAT_NOT_INITIALIZED;
    if (!request || !request->mechanism || !request->name || !broker_given(broker) || !result)
        return YORBAT_INVALID_ARGUMENT;
    *result = nullptr;
    try {
        return validate(protocol::op_validate_group, request->mechanism, request->domain, request->name,
                        *broker, false, result);
    } catch (const std::bad_alloc &) {
        return YORBAT_NO_MEMORY;
    }
}

}  // extern "C"
