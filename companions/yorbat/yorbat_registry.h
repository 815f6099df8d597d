// The private-domain registry: registries of kind 1 or 2, each with domains
// (a short name and a fully qualified name "NAME@HOST") and principals
// (users and machines, with a flag and a salted PBKDF2 password hash; the
// password itself is never stored). One file, registry_file(), rewritten
// atomically under a lock, so a writer killed at any moment leaves the old
// or the new registry.
#ifndef YORBAT_REGISTRY_H
#define YORBAT_REGISTRY_H

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "yorbat_core.h"
#include "yorbat_files.h"

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

// ---- The store behind the lookups (the entry points and the admin tool).

struct Principal {
    std::string name;
    long flag = 0;
    long number = 0;
    long iterations = 0;
    std::string salt;  // raw bytes
    std::string hash;  // raw bytes: PBKDF2-HMAC-SHA256(password, salt, iterations)
    bool operator==(const Principal &) const = default;
};

struct Domain {
    std::string name;  // short, as created
    std::vector<Principal> principals;
    bool operator==(const Domain &) const = default;
};

// Principals are numbered from here on, never reusing a number within a registry.
inline constexpr long kFirstPrincipalNumber = 1000;

struct Registry {
    long id = 0;
    int kind = 0;            // 1 or 2
    long next_number = kFirstPrincipalNumber;  // the number the next principal gets
    std::vector<Domain> domains;
    bool operator==(const Registry &) const = default;
};

struct Database {
    std::vector<Registry> registries;
    bool operator==(const Database &) const = default;
};

// The file's text and back. parse: 0 or YORBAT_REGISTRY_DAMAGED (anything
// that is not exactly what format writes, or that breaks a rule below).
std::string format(const Database &database);
int parse(std::string_view text, Database &out) noexcept;

// The registry file as it is now (no file: an empty database): 0,
// YORBAT_REGISTRY_DAMAGED, YORBAT_INTERNAL_FAILURE (unreadable) or
// YORBAT_NO_MEMORY.
int load(Database &out) noexcept;

// One change: under the exclusive lock, reads the file, runs `change` and,
// when it returns 0, replaces the file atomically. The change's result, or
// YORBAT_REGISTRY_DAMAGED, YORBAT_NO_MEMORY, or `write_failure` when the file
// could not be locked or written.
int update(const std::function<int(Database &)> &change, int write_failure) noexcept;

// The registry lookups use: the first of kind 2, else the last of kind 1.
Registry *chosen(Database &database) noexcept;
Registry *registry_by_id(Database &database, long id) noexcept;

// A domain named short or "SHORT@HOST" with HOST this registry's qualified
// host (any case); null when absent or the host differs.
Domain *domain_by_name(Registry &registry, std::string_view name);
Principal *principal_by_name(Domain &domain, std::string_view name) noexcept;

// Names the file can carry: a domain's short name (optionally "@HOST" where
// only the qualified host fits) and a principal's name.
bool valid_domain_name(std::string_view name) noexcept;
bool valid_principal_name(std::string_view name) noexcept;

// The host part of every qualified domain name: the broker host in
// HOME/broker/host, else the local host's canonical name, in lower case.
std::string qualified_host();
std::string qualified_name(const Domain &domain);

// YORBAT_PASSWORD_TOO_SHORT, YORBAT_PASSWORD_TOO_LONG or 0.
int check_password_rules(std::string_view password) noexcept;
// A new salt and hash for `password`: 0 or YORBAT_INTERNAL_FAILURE.
int set_password(Principal &principal, std::string_view password) noexcept;
bool password_matches(const Principal &principal, std::string_view password) noexcept;

// ---- Operations by name, as the entry points and the admin tool make them.
// Each returns 0 or a YORBAT_* result.

int add_registry(int kind, long &id) noexcept;
// registry_id 0: the registry lookups use.
int create_domain(long registry_id, std::string_view domain) noexcept;
int delete_domain(long registry_id, std::string_view domain) noexcept;
int create_principal(long registry_id, std::string_view domain, std::string_view name,
                     std::string_view password, long flag) noexcept;
int delete_principal(long registry_id, std::string_view domain, std::string_view name) noexcept;
// `old_password` absent: no check of the current one.
int change_password(long registry_id, std::string_view domain, std::string_view name,
                    std::optional<std::string_view> old_password,
                    std::string_view new_password) noexcept;

}  // namespace yorbat::registry


#endif
