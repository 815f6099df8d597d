// The private-domain registry of this host: domains, the users in them and
// the machines in the reserved domain "CRW_Machines", the qualified names
// of domains and the names of their principals. Every operation selects the
// registry first (the first of kind 2, else the last of kind 1).
#include <cstring>

#include "ystrings.h"
#include "yq_memory.h"
#include "yq_sys.h"
#include "yss_auth_results.h"

using namespace yq::yss;

namespace {

constexpr const char kRegistryUnhandled[] = "YORBat: FindPDPrincipal returned unhandled error";
constexpr const char kLookupUnhandled[] = "YORBat: Unhandled err";
constexpr size_t kReservedLength = sizeof CRW_Machines - 1;
constexpr long kKindLast = 1, kKindFirst = 2;

constexpr ResultTable kPrincipals = {
    {YORBAT_OK, YSS_SUCCESS},
    {YORBAT_NOT_INITIALIZED, YSS_LIBRARY_FAILURE},
    {YORBAT_INTERNAL_FAILURE, YSS_LIBRARY_FAILURE},
    {YORBAT_CONFIGURATION_DAMAGED, YSS_LIBRARY_FAILURE},
    {YORBAT_INVALID_ARGUMENT, YSS_INVALID_PARAMETER},
    {YORBAT_NO_MEMORY, YSS_NO_MEMORY},
    {YORBAT_BROKER_UNREACHABLE, YSS_SERVER_UNREACHABLE},
    {YORBAT_REGISTRY_DAMAGED, YSS_REGISTRY_DAMAGED},
    {YORBAT_DOMAIN_CREATE_FAILED, YSS_DOMAIN_CHANGE_FAILED},
    {YORBAT_DOMAIN_DELETE_FAILED, YSS_DOMAIN_CHANGE_FAILED},
    {YORBAT_DOMAIN_NAME_INVALID, YSS_DOMAIN_CHANGE_FAILED},
    {YORBAT_PRINCIPAL_CREATE_FAILED, YSS_PRINCIPAL_CHANGE_FAILED},
    {YORBAT_PRINCIPAL_DELETE_FAILED, YSS_PRINCIPAL_CHANGE_FAILED},
    {YORBAT_PRINCIPAL_NAME_INVALID, YSS_PRINCIPAL_CHANGE_FAILED},
    {YORBAT_PASSWORD_TOO_SHORT, YSS_PASSWORD_TOO_SHORT},
    {YORBAT_PASSWORD_TOO_LONG, YSS_PASSWORD_TOO_SHORT},
};

// Domains, qualified names and principal names share this table.
constexpr ResultTable kDomains = {
    {YORBAT_OK, YSS_SUCCESS},
    {YORBAT_NOT_INITIALIZED, YSS_LIBRARY_FAILURE},
    {YORBAT_INTERNAL_FAILURE, YSS_LIBRARY_FAILURE},
    {YORBAT_CONFIGURATION_DAMAGED, YSS_LIBRARY_FAILURE},
    {YORBAT_INVALID_ARGUMENT, YSS_INVALID_PARAMETER},
    {YORBAT_NO_MEMORY, YSS_NO_MEMORY},
    {YORBAT_BROKER_UNREACHABLE, YSS_SERVER_UNREACHABLE},
    {YORBAT_REGISTRY_DAMAGED, YSS_REGISTRY_DAMAGED},
    {YORBAT_DOMAIN_CREATE_FAILED, YSS_DOMAIN_CHANGE_FAILED},
    {YORBAT_DOMAIN_DELETE_FAILED, YSS_DOMAIN_CHANGE_FAILED},
    {YORBAT_DOMAIN_NAME_INVALID, YSS_DOMAIN_CHANGE_FAILED},
};

bool reserved(const char *domain) noexcept { return std::strncmp(domain, CRW_Machines, kReservedLength) == 0; }

// The selected registry: the list the library handed out and a position in it.
struct Registry {
    LibraryObject list;
    void **registries = nullptr;
    int index = 0;
    void *get() const noexcept { return registries[index]; }
};

YssStatus select_registry(Registry &registry, YssConInfo_t *record) noexcept {
    YssStatus status = GetPDR(&registry.registries, &registry.index, record);
    registry.list.reset(registry.registries);
    return status;
}

// Registering: the domain is made when missing; a principal that exists
// gets the new password.
int register_principal(const Registry &registry, const char *name, const char *password,
                       const char *domain) noexcept {
    void *zero = nullptr;
    const yorbat_domain_attributes empty{nullptr, &zero};
    void *domain_handle = nullptr, *principal = nullptr;
    int result = entries.yorbAtCreatePDDomain(registry.get(), domain, &empty, &domain_handle);
    if (result == YORBAT_DOMAIN_EXISTS) result = entries.yorbAtFindPDDomain(registry.get(), domain, &domain_handle);
    LibraryObject domain_owner(domain_handle);
    if (result != YORBAT_OK) return result;
    yorbat_word attributes[YORBAT_PRINCIPAL_ATTRIBUTE_WORDS] = {};
    attributes[YORBAT_PRINCIPAL_ATTR_FLAG] = reinterpret_cast<yorbat_word>(intptr_t{1});
    result = entries.yorbAtCreatePDPrincipal(domain_handle, name, password, attributes, &principal);
    LibraryObject created(principal);
    if (result != YORBAT_PRINCIPAL_EXISTS) return result;
    void *existing = nullptr;
    result = entries.yorbAtFindPDPrincipal(registry.get(), domain, name, &existing);
    LibraryObject found(existing);
    if (result != YORBAT_OK) return result;
    return entries.yorbAtChangePassword(existing, nullptr, password, password);
}

// Removing a principal that is not there succeeds; the domain stays.
int remove_principal(const Registry &registry, const char *name, const char *domain) noexcept {
    void *principal = nullptr;
    int result = entries.yorbAtFindPDPrincipal(registry.get(), domain, name, &principal);
    LibraryObject owner(principal);
    if (result == YORBAT_OK) result = entries.yorbAtDeletePDPrincipal(principal);
    return result == YORBAT_NOT_FOUND ? YORBAT_OK : result;
}

const char *principal_operation(bool remove, bool machine) noexcept {
    if (machine) return remove ? "YssRemoveMachine" : "YssRegisterMachine";
    return remove ? "YssRemoveUser" : "YssRegisterUser";
}

// The domain found in the selected registry, or the library's result.
int find_domain(const Registry &registry, const char *domain, LibraryObject &handle) noexcept {
    void *found = nullptr;
    int result = entries.yorbAtFindPDDomain(registry.get(), domain, &found);
    handle.reset(found);
    return result;
}

// The qualified name into `out`, cut to fit; `cut` says when it was.
int qualified_name(const Registry &registry, const char *domain, char *out, unsigned outSize, bool &cut) noexcept {
    LibraryObject handle;
    int result = find_domain(registry, domain, handle);
    if (result != YORBAT_OK) return result;
    yorbat_word *attributes = nullptr;
    result = entries.yorbAtGetPDDomainAttribs(handle.get(), &attributes);
    LibraryObject owner(attributes);
    if (result != YORBAT_OK) return result;
    const char *name = word_text(attributes, YORBAT_DOMAIN_QUALIFIED_NAME);
    if (name == nullptr) name = "";
    Y_strlcpy(out, name, outSize);
    cut = std::strlen(name) >= outSize;
    return YORBAT_OK;
}

// The name of one principal when it belongs in the list, else null.
const char *listed_name(const yorbat_word *attributes, int onlyFlagged) noexcept {
    if (onlyFlagged && word_number(attributes, YORBAT_PRINCIPAL_ATTR_FLAG) != 1) return nullptr;
    return word_text(attributes, YORBAT_PRINCIPAL_ATTR_NAME);
}

// Copies the names of `principals` into `names`, counting them in `count`.
int collect_names(void **principals, int n, int onlyFlagged, char **names, int *count) noexcept {
    for (int i = 0; i < n; ++i) {
        yorbat_word *attributes = nullptr;
        int read = entries.yorbAtGetPDPrincipalAttribs(principals[i], &attributes);
        LibraryObject owner(attributes);
        const char *name = read == YORBAT_OK ? listed_name(attributes, onlyFlagged) : nullptr;
        if (name == nullptr) continue;
        if ((names[*count] = yq::sys::strdup(name)) == nullptr) return YORBAT_NO_MEMORY;
        ++*count;
    }
    return YORBAT_OK;
}

int principal_names(const Registry &registry, const char *domain, int onlyFlagged, char ***names,
                    int *count) noexcept {
    LibraryObject handle;
    int result = find_domain(registry, domain, handle);
    if (result != YORBAT_OK) return result;
    void **principals = nullptr;
    int n = 0;
    result = entries.yorbAtGetPDPrincipals(handle.get(), &principals, &n);
    LibraryObject owner(principals);
    if (result != YORBAT_OK) return result;
    const size_t slots = n > 0 ? static_cast<size_t>(n) : 1;
    if ((*names = static_cast<char **>(yq::sys::calloc(slots, sizeof(char *)))) == nullptr) return YORBAT_NO_MEMORY;
    result = principals ? collect_names(principals, n, onlyFlagged, *names, count) : YORBAT_OK;
    if (result != YORBAT_OK) {
        for (int i = 0; i < *count; ++i) std::free((*names)[i]);
        std::free(std::exchange(*names, nullptr));
        *count = 0;
    }
    return result;
}

}  // namespace

YssStatus GetPDR(void ***registries, int *index, YssConInfo_t *record) noexcept {
    constexpr const char *fn = "GetPDR";
    if (YssStatus status = guard(record, fn, 0, Where::current(), entries.yorbAtGetPDRs, entries.yorbAtGetPDAttribs))
        return status;
    if (registries == nullptr || index == nullptr) return YSS_INVALID_PARAMETER;
    *registries = nullptr;
    void **list = nullptr;
    int n = 0;
    int result = entries.yorbAtGetPDRs(record->atContext, &list, &n);
    LibraryObject owner(list);
    int last = -1, first = -1;
    for (int i = 0; result == YORBAT_OK && list && i < n && first < 0; ++i) {
        yorbat_word *attributes = nullptr;
        if (entries.yorbAtGetPDAttribs(list[i], &attributes) != YORBAT_OK || attributes == nullptr) continue;
        LibraryObject attributes_owner(attributes);
        const long kind = word_number(attributes, YORBAT_REGISTRY_KIND);
        if (kind == kKindLast) last = i;
        if (kind == kKindFirst) first = i;
    }
    const int chosen = first >= 0 ? first : last;
    if (chosen < 0) return fail(YSS_REGISTRY_DAMAGED, fn);
    *registries = static_cast<void **>(owner.release());
    *index = chosen;
    return YSS_SUCCESS;
}

YssStatus YssRemoveRegister(const char *name, const char *password, const char *domain, bool remove, bool machine,
                            YssConInfo_t *record) noexcept {
    const char *fn = principal_operation(remove, machine);
    if (!machine && domain && reserved(domain)) return YSS_RESERVED_NAME;
    if (YssStatus status = guard(record, fn, 0, Where::current(), entries.yorbAtDeletePDPrincipal,
                                 entries.yorbAtFindPDPrincipal, entries.yorbAtCreatePDDomain,
                                 entries.yorbAtFindPDDomain, entries.yorbAtFree, entries.yorbAtCreatePDPrincipal,
                                 entries.yorbAtChangePassword))
        return status;
    if (!name || !domain || (!remove && !password)) return fail(YSS_INVALID_PARAMETER, fn);
    Registry registry;
    if (YssStatus status = select_registry(registry, record)) return fail(status, fn);
    int result = remove ? remove_principal(registry, name, domain)
                        : register_principal(registry, name, password, domain);
    return settle(result, kPrincipals, kRegistryUnhandled, fn);
}

YssStatus YssRemoveRegisterUser(const char *name, const char *password, const char *domain, bool remove,
                                YssConInfo_t *record) noexcept {
    return YssRemoveRegister(name, password, domain, remove, false, record);
}

YssStatus YssRemoveRegisterMachine(const char *name, const char *password, bool remove,
                                   YssConInfo_t *record) noexcept {
    return YssRemoveRegister(name, password, CRW_Machines, remove, true, record);
}

YssStatus YssRemoveRegisterDomain(const char *domain, int remove, YssConInfo_t *record) noexcept {
    const char *fn = remove ? "RemoveDomain" : "RegisterDomain";
    if (remove && domain && reserved(domain)) return YSS_RESERVED_NAME;
    if (YssStatus status = guard(record, fn, 0, Where::current(), entries.yorbAtCreatePDDomain,
                                 entries.yorbAtFindPDDomain, entries.yorbAtDeletePDDomain))
        return status;
    if (domain == nullptr) return fail(YSS_INVALID_PARAMETER, fn);
    Registry registry;
    if (YssStatus status = select_registry(registry, record)) return status;
    LibraryObject handle;
    int result;
    if (remove) {
        result = find_domain(registry, domain, handle);
        if (result == YORBAT_OK) result = entries.yorbAtDeletePDDomain(handle.get());
        if (result == YORBAT_NOT_FOUND) result = YORBAT_OK;
    } else {
        void *zero = nullptr, *created = nullptr;
        const yorbat_domain_attributes empty{nullptr, &zero};
        result = entries.yorbAtCreatePDDomain(registry.get(), domain, &empty, &created);
        handle.reset(created);
    }
    return settle(result, kDomains, kRegistryUnhandled, fn);
}

extern "C" YssStatus YssRegisterUser(const char *name, const char *password, const char *domain,
                                     YssConInfo_t *record) noexcept {
    return YssRemoveRegisterUser(name, password, domain, false, record);
}

extern "C" YssStatus YssRemoveUser(const char *name, const char *domain, YssConInfo_t *record) noexcept {
    return YssRemoveRegisterUser(name, nullptr, domain, true, record);
}

extern "C" YssStatus YssRegisterMachine(const char *name, const char *password, YssConInfo_t *record) noexcept {
    return YssRemoveRegisterMachine(name, password, false, record);
}

extern "C" YssStatus YssRemoveMachine(const char *name, YssConInfo_t *record) noexcept {
    return YssRemoveRegisterMachine(name, nullptr, true, record);
}

extern "C" YssStatus YssRegisterDomain(const char *domain, YssConInfo_t *record) noexcept {
    return YssRemoveRegisterDomain(domain, 0, record);
}

extern "C" YssStatus YssRemoveDomain(const char *domain, YssConInfo_t *record) noexcept {
    return YssRemoveRegisterDomain(domain, 1, record);
}

extern "C" YssStatus YssGetFQPrivateDomainName(const char *domain, char *out, unsigned outSize,
                                               YssConInfo_t *record) noexcept {
    constexpr const char *fn = "YssGetFQPrivateDomainName";
    if (YssStatus status = guard(record, fn, 0, Where::current(), entries.yorbAtFindPDDomain,
                                 entries.yorbAtGetPDDomainAttribs))
        return status;
    if (domain == nullptr || out == nullptr || outSize == 0) return YSS_INVALID_PARAMETER;
    Registry registry;
    if (YssStatus status = select_registry(registry, record)) return fail(status, fn);
    bool cut = false;
    if (YssStatus status = settle(qualified_name(registry, domain, out, outSize, cut), kDomains, kLookupUnhandled, fn))
        return status;
    return cut ? fail(YSS_BUFFER_TOO_SMALL, fn) : YSS_SUCCESS;
}

extern "C" YssStatus YssGetCRWMachinesDomainName(char *out, unsigned outSize, YssConInfo_t *record) noexcept {
    return YssGetFQPrivateDomainName(CRW_Machines, out, outSize, record);
}

extern "C" YssStatus YssGetPrivateDomainUserNames(const char *domain, char ***names, int *count, int onlyFlagged,
                                                  YssConInfo_t *record) noexcept {
    constexpr const char *fn = "YssGetPrivateDomainUserNames";
    if (YssStatus status = guard(record, fn, 0, Where::current(), entries.yorbAtFindPDDomain,
                                 entries.yorbAtGetPDPrincipals, entries.yorbAtGetPDPrincipalAttribs))
        return status;
    if (domain == nullptr || names == nullptr || count == nullptr) return YSS_INVALID_PARAMETER;
    *names = nullptr;
    *count = 0;
    Registry registry;
    if (YssStatus status = select_registry(registry, record)) return fail(status, fn);
    return settle(principal_names(registry, domain, onlyFlagged, names, count), kDomains, kLookupUnhandled, fn);
}

extern "C" YssStatus YssGetCRWMachineNames(char ***names, int *count, YssConInfo_t *record) noexcept {
    return YssGetPrivateDomainUserNames(CRW_Machines, names, count, 1, record);
}

extern "C" YssStatus YssEnumDomains(char ***, int *, YssConInfo_t *) noexcept { return YSS_LIBRARY_FAILURE; }

extern "C" YssStatus YssEnumUsers(const char *, char ***, int *, YssConInfo_t *) noexcept {
    return YSS_LIBRARY_FAILURE;
}
