// The broker's operations: each turns a parsed request into a result and the
// answer's fields. A refusal carries the result alone.
#include <openssl/x509v3.h>

#include <ctime>

#include "broker.h"

namespace yorbat::broker {
namespace {

using protocol::Field;
using protocol::Message;

std::string principal_text(std::string_view mechanism, std::string_view domain, std::string_view name) {
    return std::string(mechanism) + ":" + std::string(domain) + "/" + std::string(name);
}

std::string principal_text(const x509::Principal &principal) {
    return principal_text(principal.mechanism, principal.domain, principal.name);
}

int issue_to(const Authority &authority, const x509::Principal &principal, Outcome &outcome) {
    std::string pem;
    outcome.principal = principal_text(principal);
    int issued = x509::issue(authority.root, principal, authority.lifetime_seconds, pem);
    if (issued != YORBAT_OK)
        return issued == YORBAT_NO_MEMORY ? issued : YORBAT_INTERNAL_FAILURE;
    outcome.answer.set(Field::credential, pem);
    return YORBAT_OK;
}

// Whether the root signed `certificate`, whenever that was: a renewal takes
// an expired credential too. One level only: the root issues directly.
bool signed_by_root(const Authority &authority, X509 *certificate) noexcept {
    X509 *root = authority.root.certificate();
    return X509_check_issued(root, certificate) == X509_V_OK && X509_verify(certificate, X509_get0_pubkey(root)) == 1;
}

// The certificate the client presented, when this broker issued it (and,
// where `must_be_current`, it is valid now).
int presented(const Authority &authority, const Peer &peer, bool must_be_current, x509::Info &info) {
    x509::Credential credential;
    if (peer.certificate_pem.empty() || x509::Credential::parse(peer.certificate_pem, credential) != YORBAT_OK ||
        credential.info(info) != YORBAT_OK)
        return YORBAT_PERMISSION_DENIED;
    bool issued_here = must_be_current
                           ? x509::verify_issued_by(credential, authority.root, std::time(nullptr)) == YORBAT_OK
                           : signed_by_root(authority, credential.certificate());
    return issued_here ? YORBAT_OK : YORBAT_PERMISSION_DENIED;
}

// Whether the request names the principal `held`; a short domain names its
// qualified form.
bool names(const Message &request, const x509::Principal &held) {
    std::string_view domain = request.value(Field::domain);
    bool same_domain = !request.has(Field::domain) || domain == held.domain ||
                       (held.domain.starts_with(domain) && held.domain.size() > domain.size() &&
                        held.domain[domain.size()] == '@');
    return request.value(Field::mechanism) == held.mechanism && request.value(Field::name) == held.name &&
           same_domain;
}

int authenticate(const Authority &authority, const Peer &peer, const Message &request, Outcome &outcome) {
    x509::Principal principal;
    if (int logged_in = log_in(authority, peer, request, principal); logged_in != YORBAT_OK)
        return logged_in;
    return issue_to(authority, principal, outcome);
}

int renew(const Authority &authority, const Peer &peer, const Message &, Outcome &outcome) {
    x509::Info info;
    if (int checked = presented(authority, peer, false, info); checked != YORBAT_OK)
        return checked;
    outcome.principal = principal_text(info.principal);
    if (int exists = still_exists(authority, info.principal); exists != YORBAT_OK)
        return exists;
    return issue_to(authority, info.principal, outcome);
}

int credentials(const Authority &authority, const Peer &peer, const Message &request, Outcome &outcome) {
    x509::Info info;
    if (int checked = presented(authority, peer, true, info); checked != YORBAT_OK)
        return checked;
    outcome.principal = principal_text(info.principal);
    if (!names(request, info.principal))
        return YORBAT_PERMISSION_DENIED;
    if (int exists = still_exists(authority, info.principal); exists != YORBAT_OK)
        return exists;
    return issue_to(authority, info.principal, outcome);
}

int root(const Authority &authority, const Peer &, const Message &, Outcome &outcome) {
    outcome.answer.set(Field::root, authority.root_certificate_pem);
    return YORBAT_OK;
}

void answer_identity(const Identity &identity, Outcome &outcome) {
    outcome.answer.set(Field::name, identity.name);
    outcome.answer.set(Field::domain, identity.domain);
}

int validate_user(const Authority &authority, const Peer &, const Message &request, Outcome &outcome) {
    Identity identity;
    if (int found = find_user(authority, request, identity); found != YORBAT_OK)
        return found;
    answer_identity(identity, outcome);
    outcome.answer.set_number(identity.number);
    return YORBAT_OK;
}

int validate_group(const Authority &authority, const Peer &, const Message &request, Outcome &outcome) {
    Identity identity;
    if (int found = find_group(authority, request, identity); found != YORBAT_OK)
        return found;
    answer_identity(identity, outcome);
    return YORBAT_OK;
}

using Operation = int (*)(const Authority &, const Peer &, const Message &, Outcome &);

struct Named {
    std::string_view op;
    Operation operation;
};

constexpr Named operations[] = {
    {protocol::op_authenticate, authenticate},     {protocol::op_renew, renew},
    {protocol::op_credentials, credentials},       {protocol::op_root, root},
    {protocol::op_validate_user, validate_user},   {protocol::op_validate_group, validate_group},
};

}  // namespace

Outcome answer_request(const Authority &authority, const Peer &peer, const Message &request) noexcept {
    Outcome outcome;
    try {
        outcome.principal = principal_text(request.value(Field::mechanism), request.value(Field::domain),
                                           request.value(Field::name));
        outcome.result = YORBAT_INVALID_ARGUMENT;
        for (const Named &named : operations)
            if (request.has(Field::op) && request.value(Field::op) == named.op)
                outcome.result = named.operation(authority, peer, request, outcome);
        if (outcome.result != YORBAT_OK)
            outcome.answer = Message{};
        outcome.answer.set_result(outcome.result);
    } catch (const std::bad_alloc &) {
        outcome.result = YORBAT_NO_MEMORY;
        outcome.answer = Message{};
        try {
            outcome.answer.set_result(outcome.result);  // short enough to need no memory
        } catch (const std::bad_alloc &) {
        }
    }
    return outcome;
}

}  // namespace yorbat::broker
