// The broker's mechanisms: who may log in and who exists. "yq" asks the
// private-domain registry, "unixpwd" asks PAM and the user database,
// "localhost" trusts the kernel about who owns a loopback connection.
#include <grp.h>
#include <pwd.h>
#include <security/pam_appl.h>

#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

#include "broker.h"
#include "yorbat_registry.h"

namespace yorbat::broker {
namespace {

using protocol::Field;
using protocol::Message;

enum class Mechanism { yq, unixpwd, localhost, unsupported };

Mechanism mechanism_of(std::string_view text) noexcept {
    if (text == "yq")
        return Mechanism::yq;
    if (text == "unixpwd")
        return Mechanism::unixpwd;
    if (text == "localhost")
        return Mechanism::localhost;
    return Mechanism::unsupported;  // "nt", "nis", "nisplus" and the rest
}

// A C string for the system's user interfaces; a text with a zero byte in
// it would name someone else there.
std::optional<std::string> c_text(const Message &request, Field field) {
    std::string_view value = request.value(field);
    if (!request.has(field) || value.find('\0') != std::string_view::npos)
        return std::nullopt;
    return std::string(value);
}

// ---- The user and group databases, through the reentrant calls.

template <typename Entry, typename Lookup>
bool look_up(Lookup lookup, Entry &entry, std::vector<char> &buffer) {
    buffer.resize(1024);
    for (;;) {
        Entry *found = nullptr;
        int error = lookup(&entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        return error == 0 && found;
    }
}

bool user_named(const std::string &name, Identity &identity) {
    passwd entry{};
    std::vector<char> buffer;
    if (!look_up([&](passwd *e, char *b, size_t n, passwd **r) { return getpwnam_r(name.c_str(), e, b, n, r); },
                 entry, buffer))
        return false;
    identity.name = entry.pw_name;
    identity.number = static_cast<long>(entry.pw_uid);
    return true;
}

bool user_with_uid(uid_t uid, std::string &name) {
    passwd entry{};
    std::vector<char> buffer;
    if (!look_up([&](passwd *e, char *b, size_t n, passwd **r) { return getpwuid_r(uid, e, b, n, r); }, entry,
                 buffer))
        return false;
    name = entry.pw_name;
    return true;
}

bool group_named(const std::string &name, Identity &identity) {
    group entry{};
    std::vector<char> buffer;
    if (!look_up([&](group *e, char *b, size_t n, group **r) { return getgrnam_r(name.c_str(), e, b, n, r); },
                 entry, buffer))
        return false;
    identity.name = entry.gr_name;
    return true;
}

// ---- PAM: authenticate and check the account with the configured service.

// Modules keep process-wide state (the crypt and user-database calls behind
// them), so one login is checked at a time.
std::mutex pam_mutex;

// Answers every prompt with the password; messages need no answer.
extern "C" int answer_password(int count, const pam_message **messages, pam_response **responses,
                               void *password) {
    if (count <= 0)
        return PAM_CONV_ERR;
    auto *replies = static_cast<pam_response *>(std::calloc(static_cast<size_t>(count), sizeof(pam_response)));
    if (!replies)
        return PAM_BUF_ERR;
    for (int i = 0; i < count; ++i) {
        int style = messages[i]->msg_style;
        if (style != PAM_PROMPT_ECHO_OFF && style != PAM_PROMPT_ECHO_ON)
            continue;
        replies[i].resp = strdup(static_cast<const char *>(password));
        if (!replies[i].resp) {
            for (int j = 0; j < i; ++j)
                std::free(replies[j].resp);
            std::free(replies);
            return PAM_BUF_ERR;
        }
    }
    *responses = replies;
    return PAM_SUCCESS;
}

struct PamTransaction {
    pam_handle_t *handle = nullptr;
    int status = PAM_SUCCESS;
    PamTransaction() = default;
    PamTransaction(const PamTransaction &) = delete;
    PamTransaction &operator=(const PamTransaction &) = delete;
    ~PamTransaction() {
        if (handle)
            pam_end(handle, status);
    }
};

int pam_login(const Authority &authority, const std::string &user, const std::string &password) {
    std::lock_guard lock(pam_mutex);
    pam_conv conversation{answer_password, const_cast<char *>(password.c_str())};
    PamTransaction pam;
    pam.status = pam_start(authority.pam_service.c_str(), user.c_str(), &conversation, &pam.handle);
    if (pam.status == PAM_SUCCESS)
        pam.status = pam_authenticate(pam.handle, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
    if (pam.status == PAM_SUCCESS)
        pam.status = pam_acct_mgmt(pam.handle, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
    return pam.status == PAM_SUCCESS ? YORBAT_OK : YORBAT_BAD_LOGIN;
}

// ---- Who owns a loopback connection.

bool is_loopback(const sockaddr_in &address) noexcept { return (ntohl(address.sin_addr.s_addr) >> 24) == 127; }

// An endpoint as the kernel lists it in /proc/net/tcp: the address word as
// stored, the port in host order.
std::string kernel_endpoint(const sockaddr_in &address) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X:%04X", address.sin_addr.s_addr, ntohs(address.sin_port));
    return text;
}

// The uid owning the client's end of the connection: the line whose local
// end is the peer and whose remote end is us.
std::optional<uid_t> connection_owner(const Peer &peer) {
    std::ifstream table("/proc/net/tcp");
    std::string line, client = kernel_endpoint(peer.remote), broker = kernel_endpoint(peer.local);
    std::getline(table, line);  // the column titles
    while (std::getline(table, line)) {
        std::istringstream columns(line);
        std::string slot, local, remote, state, queues, timer, retransmits;
        unsigned long uid = 0;
        if (columns >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid &&
            local == client && remote == broker)
            return static_cast<uid_t>(uid);
    }
    return std::nullopt;
}

std::string domain_of(const Authority &authority, Mechanism mechanism) {
    return (mechanism == Mechanism::unixpwd ? "unixpwd@" : "localhost@") + authority.host;
}

// ---- Logins, one per mechanism.

int log_in_yq(const Message &request, x509::Principal &principal) {
    if (!request.has(Field::domain) || !request.has(Field::name) || !request.has(Field::password))
        return YORBAT_INVALID_ARGUMENT;
    registry::Found found;
    int checked = registry::check_login(request.value(Field::domain), request.value(Field::name),
                                        request.value(Field::password), found);
    if (checked != YORBAT_OK)
        return checked;
    principal = {"yq", found.qualified_domain, std::string(request.value(Field::name))};
    return YORBAT_OK;
}

int log_in_unixpwd(const Authority &authority, const Message &request, x509::Principal &principal) {
    std::optional<std::string> name = c_text(request, Field::name), password = c_text(request, Field::password);
    if (!request.has(Field::name) || !request.has(Field::password))
        return YORBAT_INVALID_ARGUMENT;
    if (!name || !password || pam_login(authority, *name, *password) != YORBAT_OK)
        return YORBAT_BAD_LOGIN;
    principal = {"unixpwd", domain_of(authority, Mechanism::unixpwd), *name};
    return YORBAT_OK;
}

// The peer's own user; a name or password in the request must be that
// user's with the right password.
int log_in_localhost(const Authority &authority, const Peer &peer, const Message &request,
                     x509::Principal &principal) {
    std::optional<uid_t> owner;
    std::string login;
    if (!is_loopback(peer.remote) || !(owner = connection_owner(peer)) || !user_with_uid(*owner, login))
        return YORBAT_PERMISSION_DENIED;
    if (request.has(Field::name) || request.has(Field::password)) {
        std::optional<std::string> password = c_text(request, Field::password);
        bool named_self = !request.has(Field::name) || request.value(Field::name) == login;
        if (!named_self || !password || pam_login(authority, login, *password) != YORBAT_OK)
            return YORBAT_BAD_LOGIN;
    }
    principal = {"localhost", domain_of(authority, Mechanism::localhost), login};
    return YORBAT_OK;
}

}  // namespace

int log_in(const Authority &authority, const Peer &peer, const Message &request, x509::Principal &principal) {
    switch (mechanism_of(request.value(Field::mechanism))) {
    case Mechanism::yq:
        return log_in_yq(request, principal);
    case Mechanism::unixpwd:
        return log_in_unixpwd(authority, request, principal);
    case Mechanism::localhost:
        return log_in_localhost(authority, peer, request, principal);
    case Mechanism::unsupported:
        break;
    }
    return request.has(Field::mechanism) ? YORBAT_MECHANISM_UNSUPPORTED : YORBAT_INVALID_ARGUMENT;
}

int still_exists(const Authority &, const x509::Principal &principal) {
    Identity identity;
    registry::Found found;
    switch (mechanism_of(principal.mechanism)) {
    case Mechanism::yq: {
        int looked = registry::find_principal(principal.domain, principal.name, found);
        return looked == YORBAT_NOT_FOUND ? YORBAT_CREDENTIAL_REVOKED : looked;
    }
    case Mechanism::unixpwd:
    case Mechanism::localhost:
        return user_named(principal.name, identity) ? YORBAT_OK : YORBAT_CREDENTIAL_REVOKED;
    case Mechanism::unsupported:
        break;
    }
    return YORBAT_CREDENTIAL_REVOKED;
}

namespace {

// What user and group lookups share: the request's checks, and the answer
// for the mechanisms whose users and groups are the system's. Null when the
// lookup goes on in the registry.
std::optional<int> find_outside_registry(const Authority &authority, const Message &request,
                                         bool (*named)(const std::string &, Identity &),
                                         Identity &identity) {
    if (!request.has(Field::mechanism) || !request.has(Field::name))
        return YORBAT_INVALID_ARGUMENT;
    Mechanism mechanism = mechanism_of(request.value(Field::mechanism));
    if (mechanism == Mechanism::unsupported)
        return YORBAT_MECHANISM_UNSUPPORTED;
    if (mechanism == Mechanism::yq)
        return std::nullopt;
    std::optional<std::string> name = c_text(request, Field::name);
    if (!name || !named(*name, identity))
        return YORBAT_NOT_FOUND;
    identity.domain = domain_of(authority, mechanism);
    return YORBAT_OK;
}

}  // namespace

int find_user(const Authority &authority, const Message &request, Identity &identity) {
    if (std::optional<int> answered = find_outside_registry(authority, request, user_named, identity))
        return *answered;
    if (!request.has(Field::domain))
        return YORBAT_INVALID_ARGUMENT;
    registry::Found found;
    if (int looked = registry::find_principal(request.value(Field::domain), request.value(Field::name), found))
        return looked;
    identity = {std::string(request.value(Field::name)), found.qualified_domain, found.number};
    return YORBAT_OK;
}

// A "yq" group is a domain: its principals are its members.
int find_group(const Authority &authority, const Message &request, Identity &identity) {
    if (std::optional<int> answered = find_outside_registry(authority, request, group_named, identity))
        return *answered;
    registry::Found found;
    if (int looked = registry::find_domain(request.value(Field::name), found))
        return looked;
    identity = {std::string(request.value(Field::name)), found.qualified_domain, 0};
    return YORBAT_OK;
}

}  // namespace yorbat::broker
