// Record constructors and destructors of the security configuration. Every
// allocation goes through the replaceable allocator so a test can fail any
// one of them; a failure frees the partly built record before returning 36.
#include "crconf_private.h"

#include <cstdlib>
#include <cstring>

#include "yq_sys.h"

namespace {

constexpr const char kModule[] = "crconf_private";

// Reports "retval" 36 as the caller's failing step and yields 36.
int no_memory(crconf::Where where = crconf::Where::current()) noexcept {
    return crconf::retval(kModule, crconf::kStatusNoMemory, where);
}

// Copies `text` into *field unless it is NULL; false when memory ran out.
bool dup_into(char **field, const char *text) noexcept {
    if (text == nullptr) return true;
    *field = yq::sys::strdup(text);
    return *field != nullptr;
}

// Stores a zero-filled record in *out (NULL when memory ran out), so a
// failure afterwards can hand *out straight to the record's destructor.
template <typename Rec>
Rec *new_rec(Rec **out) noexcept {
    *out = static_cast<Rec *>(yq::sys::calloc(1, sizeof(Rec)));
    return *out;
}

// Frees a record that owns no texts of its own beyond what `release` frees.
template <typename Rec, typename Release>
void free_rec(Rec **rec, Release release) noexcept {
    if (rec == nullptr || *rec == nullptr) return;
    release(**rec);
    std::free(*rec);
    *rec = nullptr;
}

// Walks a list from the head: detach the successor, free the element, go on.
template <typename Rec, Rec *Rec::*Next, void (*FreeOne)(Rec **) noexcept>
void free_list(Rec **head) noexcept {
    if (head == nullptr) return;
    while (*head != nullptr) {
        Rec *next = (*head)->*Next;
        (*head)->*Next = nullptr;
        FreeOne(head);
        *head = next;
    }
}

}  // namespace

int crconf_create_authentication_domain_rec(const char *domain, const char *comment,
                                            int auth_type, const char *broker, int port,
                                            crconf_authentication_domain_rec **out) noexcept {
    if (out == nullptr) return no_memory();
    crconf_authentication_domain_rec *rec = new_rec(out);
    if (rec == nullptr) return no_memory();
    if (!dup_into(&rec->ad_domain, domain) || !dup_into(&rec->ad_comment, comment) ||
        !dup_into(&rec->ad_broker, broker)) {
        crconf_free_authentication_domain_rec(out);
        return no_memory();
    }
    rec->ad_auth_type = auth_type;
    rec->ad_port = port;
    return crconf::kStatusOk;
}

int crconf_create_authorization_service_rec(const char *host, int port,
                                            crconf_authorization_service_rec **out) noexcept {
    if (out == nullptr) return no_memory();
    crconf_authorization_service_rec *rec = new_rec(out);
    if (rec == nullptr) return no_memory();
    // "_NONE_" and an absent host must look the same to every reader.
    const bool none = host == nullptr || std::strcmp(host, "_NONE_") == 0;
    if (!none && !dup_into(&rec->as_host, host)) {
        crconf_free_authorization_service_rec(out);
        return no_memory();
    }
    rec->as_port = port;
    return crconf::kStatusOk;
}

int crconf_create_yqss_network_rec(const char *network, int use_yqss,
                                   crconf_yqss_network_rec **out) noexcept {
    if (out == nullptr) return no_memory();
    crconf_yqss_network_rec *rec = new_rec(out);
    if (rec == nullptr) return no_memory();
    if (!dup_into(&rec->nw_network, network)) {
        crconf_free_yqss_network_rec(out);
        return no_memory();
    }
    rec->nw_use_yqss = use_yqss;
    return crconf::kStatusOk;
}

void crconf_free_authentication_domain_rec(crconf_authentication_domain_rec **rec) noexcept {
    free_rec(rec, [](crconf_authentication_domain_rec &r) {
        std::free(r.ad_domain);
        std::free(r.ad_comment);
        std::free(r.ad_broker);
    });
}

void crconf_free_authorization_service_rec(crconf_authorization_service_rec **rec) noexcept {
    free_rec(rec, [](crconf_authorization_service_rec &r) { std::free(r.as_host); });
}

void crconf_free_yqss_network_rec(crconf_yqss_network_rec **rec) noexcept {
    free_rec(rec, [](crconf_yqss_network_rec &r) { std::free(r.nw_network); });
}

void crconf_free_server_rec(crconf_server_rec **rec) noexcept {
    free_rec(rec, [](crconf_server_rec &r) { std::free(r.ns_server); });
}

void crconf_free_server_list(crconf_server_rec **head) noexcept {
    free_list<crconf_server_rec, &crconf_server_rec::ns_next, crconf_free_server_rec>(head);
}

void crconf_free_authentication_domain_list(crconf_authentication_domain_rec **head) noexcept {
    free_list<crconf_authentication_domain_rec, &crconf_authentication_domain_rec::ad_next,
              crconf_free_authentication_domain_rec>(head);
}

void crconf_free_yqss_network_list(crconf_yqss_network_rec **head) noexcept {
    free_list<crconf_yqss_network_rec, &crconf_yqss_network_rec::nw_next,
              crconf_free_yqss_network_rec>(head);
}

void crconf_free_info_rec(crconf_info_rec **info) noexcept {
    free_rec(info, [](crconf_info_rec &r) {
        crconf_free_server_list(&r.ni_servers);
        std::free(r.ni_reserved_text_1);
        std::free(r.ni_required_interface);
        crconf_free_authentication_domain_list(&r.ni_authentication_domains);
        crconf_free_authorization_service_rec(&r.ni_authorization_service);
        crconf_free_yqss_network_list(&r.ni_yqss_networks);
        std::free(r.ni_reserved_text_2);
        std::free(r.ni_reserved_text_3);
    });
}
