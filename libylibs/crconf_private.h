// Constructors and destructors of the security configuration record and its
// sub-records. The public functions of crconf_glue wrap these; other modules
// may call them directly. Not exported.
#ifndef CRCONF_PRIVATE_H
#define CRCONF_PRIVATE_H

#include <source_location>

#include "crconf.h"

namespace crconf {

using Where = std::source_location;

// Loader and constructor statuses (the loader also passes through whatever
// the configuration library's crconf_get_cwinfo returns).
inline constexpr int kStatusOk = 0;
inline constexpr int kStatusLibraryUnusable = 12;
inline constexpr int kStatusNoMemory = 36;

// The module's reporter: one crconf_debug_msg line from `module` naming the
// line and function at `where` (the caller's), yielding `value`, so that a
// failing step reads `return crconf::retval(kModule, status);`.
int report(const char *module, const char *label, const char *text, int value,
           Where where = Where::current()) noexcept;
// The same for a status, with the label "retval".
inline int retval(const char *module, int status, Where where = Where::current()) noexcept {
    return report(module, "retval", nullptr, status, where);
}

}  // namespace crconf

// Constructors: 0, or 36 when memory ran out (then *out is NULL and nothing
// is left allocated; a NULL out, having nowhere to put a record, gives 36 as
// well). Texts are copied; NULL texts stay NULL. The new record's *_next is
// NULL: linking it into a list is the caller's work.
int crconf_create_authentication_domain_rec(const char *domain, const char *comment,
                                            int auth_type, const char *broker, int port,
                                            crconf_authentication_domain_rec **out) noexcept;
// A host of "_NONE_" is stored as NULL, like an absent host.
int crconf_create_authorization_service_rec(const char *host, int port,
                                            crconf_authorization_service_rec **out) noexcept;
int crconf_create_yqss_network_rec(const char *network, int use_yqss,
                                   crconf_yqss_network_rec **out) noexcept;

// Destructors: free one record and its texts (never the rest of its list),
// set *rec to NULL; NULL or a pointer to NULL is fine.
void crconf_free_authentication_domain_rec(crconf_authentication_domain_rec **rec) noexcept;
void crconf_free_authorization_service_rec(crconf_authorization_service_rec **rec) noexcept;
void crconf_free_yqss_network_rec(crconf_yqss_network_rec **rec) noexcept;
void crconf_free_server_rec(crconf_server_rec **rec) noexcept;

// List destructors: free every element from the head on and leave *head NULL.
void crconf_free_server_list(crconf_server_rec **head) noexcept;
void crconf_free_authentication_domain_list(crconf_authentication_domain_rec **head) noexcept;
void crconf_free_yqss_network_list(crconf_yqss_network_rec **head) noexcept;

// Frees the whole configuration record and everything it owns.
void crconf_free_info_rec(crconf_info_rec **info) noexcept;

#endif
