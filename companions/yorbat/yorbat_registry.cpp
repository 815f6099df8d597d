// Registry operations by name: the broker's lookups and logins, and the
// changes the entry points and the admin tool make.
#include <strings.h>

#include "yorbat_registry.h"

namespace yorbat::registry {
namespace {

Registry *registry_for(Database &database, long registry_id) noexcept {
    return registry_id == 0 ? chosen(database) : registry_by_id(database, registry_id);
}

// The domain `domain` in the registry lookups use (and, with `name`, its
// principal) from a fresh read of the file.
int locate(std::string_view domain, const std::string_view *name, Found &found,
           Principal *principal_out = nullptr) {
    Database database;
    if (int failed = load(database))
        return failed;
    Registry *registry = chosen(database);
    Domain *in = registry ? domain_by_name(*registry, domain) : nullptr;
    if (!in)
        return YORBAT_NOT_FOUND;
    const Principal *principal = name ? principal_by_name(*in, *name) : nullptr;
    if (name && !principal)
        return YORBAT_NOT_FOUND;
    found.qualified_domain = qualified_name(*in);
    found.number = principal ? principal->number : 0;
    if (principal_out)
        *principal_out = *principal;
    return YORBAT_OK;
}

// The principal `name` of `domain` in `registry_id`, for a change.
int principal_in(Database &database, long registry_id, std::string_view domain, std::string_view name,
                 Domain *&domain_out, Principal *&principal_out) {
    Registry *registry = registry_for(database, registry_id);
    domain_out = registry ? domain_by_name(*registry, domain) : nullptr;
    principal_out = domain_out ? principal_by_name(*domain_out, name) : nullptr;
    return principal_out ? YORBAT_OK : YORBAT_NOT_FOUND;
}

// The host part of "SHORT@HOST" must be the one the domain would get.
bool creatable_domain_name(std::string_view domain) {
    if (!valid_domain_name(domain))
        return false;
    size_t at = domain.find('@');
    if (at == domain.npos)
        return true;
    std::string host(domain.substr(at + 1));
    return ::strcasecmp(host.c_str(), qualified_host().c_str()) == 0;
}

template <typename Body>
int guarded(Body body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        return YORBAT_NO_MEMORY;
    }
}

}  // namespace

int check_login(std::string_view domain, std::string_view name, std::string_view password,
                Found &found) noexcept {
    return guarded([&] {
        Principal principal;
        Found located;
        int result = locate(domain, &name, located, &principal);
        if (result == YORBAT_NOT_FOUND || (result == YORBAT_OK && !password_matches(principal, password)))
            return static_cast<int>(YORBAT_BAD_LOGIN);
        if (result == YORBAT_OK)
            found = std::move(located);
        return result;
    });
}

int find_principal(std::string_view domain, std::string_view name, Found &found) noexcept {
    return guarded([&] { return locate(domain, &name, found); });
}

int find_domain(std::string_view domain, Found &found) noexcept {
    return guarded([&] { return locate(domain, nullptr, found); });
}

int add_registry(int kind, long &id) noexcept {
    if (kind != 1 && kind != 2)
        return YORBAT_INVALID_ARGUMENT;
    return guarded([&] {
        return update(
            [&](Database &database) {
                long highest = 0;
                for (const Registry &registry : database.registries)
                    highest = std::max(highest, registry.id);
                id = highest + 1;
                database.registries.push_back(Registry{id, kind, kFirstPrincipalNumber, {}});
                return 0;
            },
            YORBAT_INTERNAL_FAILURE);
    });
}

int create_domain(long registry_id, std::string_view domain) noexcept {
    return guarded([&] {
        if (!creatable_domain_name(domain))
            return static_cast<int>(YORBAT_DOMAIN_NAME_INVALID);
        return update(
            [&](Database &database) {
                Registry *registry = registry_for(database, registry_id);
                if (!registry)
                    return static_cast<int>(YORBAT_NOT_FOUND);
                if (domain_by_name(*registry, domain))
                    return static_cast<int>(YORBAT_DOMAIN_EXISTS);
                registry->domains.push_back(Domain{std::string(domain.substr(0, domain.find('@'))), {}});
                return 0;
            },
            YORBAT_DOMAIN_CREATE_FAILED);
    });
}

int delete_domain(long registry_id, std::string_view domain) noexcept {
    return guarded([&] {
        return update(
            [&](Database &database) {
                Registry *registry = registry_for(database, registry_id);
                Domain *found = registry ? domain_by_name(*registry, domain) : nullptr;
                if (!found)
                    return static_cast<int>(YORBAT_NOT_FOUND);
                std::erase_if(registry->domains, [&](const Domain &each) { return &each == found; });
                return 0;
            },
            YORBAT_DOMAIN_DELETE_FAILED);
    });
}

int create_principal(long registry_id, std::string_view domain, std::string_view name,
                     std::string_view password, long flag) noexcept {
    return guarded([&] {
        if (!valid_principal_name(name))
            return static_cast<int>(YORBAT_PRINCIPAL_NAME_INVALID);
        if (int refused = check_password_rules(password))
            return refused;
        // The slow hash is made before the lock is taken.
        Principal made{std::string(name), flag, 0, 0, {}, {}};
        if (int failed = set_password(made, password))
            return failed;
        return update(
            [&](Database &database) {
                Registry *registry = registry_for(database, registry_id);
                Domain *in = registry ? domain_by_name(*registry, domain) : nullptr;
                if (!in)
                    return static_cast<int>(YORBAT_NOT_FOUND);
                if (principal_by_name(*in, name))
                    return static_cast<int>(YORBAT_PRINCIPAL_EXISTS);
                made.number = registry->next_number++;
                in->principals.push_back(made);
                return 0;
            },
            YORBAT_PRINCIPAL_CREATE_FAILED);
    });
}

int delete_principal(long registry_id, std::string_view domain, std::string_view name) noexcept {
    return guarded([&] {
        return update(
            [&](Database &database) {
                Domain *in = nullptr;
                Principal *found = nullptr;
                if (int absent = principal_in(database, registry_id, domain, name, in, found))
                    return absent;
                std::erase_if(in->principals, [&](const Principal &each) { return &each == found; });
                return 0;
            },
            YORBAT_PRINCIPAL_DELETE_FAILED);
    });
}

int change_password(long registry_id, std::string_view domain, std::string_view name,
                    std::optional<std::string_view> old_password, std::string_view new_password) noexcept {
    return guarded([&] {
        if (int refused = check_password_rules(new_password))
            return refused;
        Principal fresh;
        if (int failed = set_password(fresh, new_password))
            return failed;
        return update(
            [&](Database &database) {
                Domain *in = nullptr;
                Principal *found = nullptr;
                if (int absent = principal_in(database, registry_id, domain, name, in, found))
                    return absent;
                if (old_password && !password_matches(*found, *old_password))
                    return static_cast<int>(YORBAT_BAD_LOGIN);
                found->salt = fresh.salt;
                found->hash = fresh.hash;
                found->iterations = fresh.iterations;
                return 0;
            },
            YORBAT_INTERNAL_FAILURE);
    });
}

}  // namespace yorbat::registry
