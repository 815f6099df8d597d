// The private-domain registry: registries of kind 1 or 2, each with domains
// (a short name and a fully qualified name "NAME@HOST") and principals
// (users and machines, with a flag and a salted PBKDF2 password hash; the
// password itself is never stored). One file, registry_file(), rewritten
// atomically under a lock, so a writer killed at any moment leaves the old
// or the new registry.
#ifndef YORBAT_REGISTRY_H
#define YORBAT_REGISTRY_H

#include <string>
#include <string_view>

#include "yorbat_core.h"

namespace yorbat::registry {

// A domain named short ("CRW_Machines") or fully qualified
// ("CRW_Machines@host"), in the registry the library would choose (the first
// of kind 2, else the last of kind 1).
struct Found {
    std::string qualified_domain;
    long number = 0;  // a principal's number, stable while it exists
};

// A "yq" login: 0 with the principal's qualified domain; YORBAT_BAD_LOGIN for
// an unknown domain or principal or a wrong password; YORBAT_REGISTRY_DAMAGED.
int check_login(std::string_view domain, std::string_view name, std::string_view password,
                Found &found) noexcept;
// 0, YORBAT_NOT_FOUND or YORBAT_REGISTRY_DAMAGED.
int find_principal(std::string_view domain, std::string_view name, Found &found) noexcept;
int find_domain(std::string_view domain, Found &found) noexcept;

}  // namespace yorbat::registry

#endif
