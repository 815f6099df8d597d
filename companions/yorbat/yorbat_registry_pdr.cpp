// The twelve registry entry points. The handles they hand out are snapshots
// of names (registry id, domain, principal); every operation re-reads the
// file, so a handle whose object went away meanwhile answers
// YORBAT_NOT_FOUND.
#include <cstring>
#include <functional>

#include "yorbat_registry.h"

namespace yorbat::registry {
namespace {

struct RegistryRef {
    long id;
    int kind;
};

struct DomainRef {
    long registry_id;
    std::string domain;  // short name
};

struct PrincipalRef {
    long registry_id;
    std::string domain;
    std::string name;
    // A list's elements answer their attributes from the list's own reading
    // of the file: walking a list of n principals then costs one read, not n.
    std::optional<long> listed_flag;
};

// A list handed out as one owner: an array of pointers to its elements,
// null-terminated. Each element is an alias of the array, so it is
// recognised as a handle until the array is released.
template <typename Ref>
struct RefList {
    std::vector<Ref> refs;
    std::vector<void *> pointers;
};

template <typename Ref>
int hand_out_list(std::vector<Ref> refs, void ***list, int *count) {
    auto owner = std::make_unique<RefList<Ref>>();
    owner->refs = std::move(refs);
    for (Ref &ref : owner->refs)
        owner->pointers.push_back(&ref);
    owner->pointers.push_back(nullptr);
    void **array = owner->pointers.data();
    const size_t size = owner->refs.size();
    if (!hand_out(std::move(owner), array))
        return YORBAT_NO_MEMORY;
    for (size_t i = 0; i < size; ++i) {
        if (!add_alias(array[i], array)) {
            release(array);
            return YORBAT_NO_MEMORY;
        }
    }
    *list = array;
    *count = static_cast<int>(size);
    return YORBAT_OK;
}

// A handle handed out alone or as an element of a list.
template <typename Ref>
const Ref *ref_of(void *handle) noexcept {
    if (!handle)
        return nullptr;
    if (const Ref *alone = owner_as<Ref>(handle))
        return alone;
    const RefList<Ref> *list = owner_as<RefList<Ref>>(handle);
    if (!list)
        return nullptr;
    // An alias of the list is the array itself or one of its elements.
    const Ref *first = list->refs.data(), *end = first + list->refs.size();
    const auto *named = static_cast<const Ref *>(handle);
    std::less<const Ref *> before;
    if (before(named, first) || !before(named, end))
        return nullptr;
    return named;
}

template <typename Ref>
int hand_out_ref(Ref ref, void **handle) {
    auto owner = std::make_unique<Ref>(std::move(ref));
    Ref *made = owner.get();
    if (!hand_out(std::move(owner), made))
        return YORBAT_NO_MEMORY;
    *handle = made;
    return YORBAT_OK;
}

// Attribute words; the text word points into the same owner.
struct Attributes {
    std::string text;
    yorbat_word words[8] = {};
};

int hand_out_attributes(std::unique_ptr<Attributes> owner, yorbat_word **attributes) {
    yorbat_word *words = owner->words;
    if (!hand_out(std::move(owner), words))
        return YORBAT_NO_MEMORY;
    *attributes = words;
    return YORBAT_OK;
}

yorbat_word number_word(long number) { return reinterpret_cast<yorbat_word>(static_cast<intptr_t>(number)); }

// The domain a handle names, from a fresh read into `database`.
int domain_of(const DomainRef &ref, Database &database, Domain *&out) {
    if (int failed = load(database))
        return failed;
    Registry *registry = registry_by_id(database, ref.registry_id);
    out = registry ? domain_by_name(*registry, ref.domain) : nullptr;
    return out ? YORBAT_OK : YORBAT_NOT_FOUND;
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
}  // namespace yorbat::registry

using namespace yorbat;
using namespace yorbat::registry;

extern "C" {

int yorbAtGetPDRs(void *context, void ***registries, int *count) noexcept {
    YORBAT_FAULT_SEAM();
    if (!context_of(context))
        return YORBAT_NOT_INITIALIZED;
    if (!registries || !count)
        return YORBAT_INVALID_ARGUMENT;
    *registries = nullptr;
    *count = 0;
    return guarded([&] {
        Database database;
        if (int failed = load(database))
            return failed;
        std::vector<RegistryRef> refs;
        for (const Registry &registry : database.registries)
            refs.push_back(RegistryRef{registry.id, registry.kind});
        return hand_out_list(std::move(refs), registries, count);
    });
}

int yorbAtGetPDAttribs(void *registry, yorbat_word **attributes) noexcept {
    YORBAT_FAULT_SEAM();
    const RegistryRef *ref = ref_of<RegistryRef>(registry);
    if (!ref || !attributes)
        return YORBAT_INVALID_ARGUMENT;
    *attributes = nullptr;
    return guarded([&] {
        auto owner = std::make_unique<Attributes>();
        owner->words[YORBAT_REGISTRY_KIND] = number_word(ref->kind);
        return hand_out_attributes(std::move(owner), attributes);
    });
}

int yorbAtCreatePDDomain(void *registry, const char *domain, const yorbat_domain_attributes *,
                         void **domainHandle) noexcept {
    YORBAT_FAULT_SEAM();
    const RegistryRef *ref = ref_of<RegistryRef>(registry);
    if (!ref || !domain || !domainHandle)
        return YORBAT_INVALID_ARGUMENT;
    *domainHandle = nullptr;
    return guarded([&] {
        if (int failed = create_domain(ref->id, domain))
            return failed;
        std::string_view name = domain;
        return hand_out_ref(DomainRef{ref->id, std::string(name.substr(0, name.find('@')))}, domainHandle);
    });
}

int yorbAtFindPDDomain(void *registry, const char *domain, void **domainHandle) noexcept {
    YORBAT_FAULT_SEAM();
    const RegistryRef *ref = ref_of<RegistryRef>(registry);
    if (!ref || !domain || !domainHandle)
        return YORBAT_INVALID_ARGUMENT;
    *domainHandle = nullptr;
    return guarded([&] {
        Database database;
        Domain *found = nullptr;
        if (int failed = domain_of(DomainRef{ref->id, domain}, database, found))
            return failed;
        return hand_out_ref(DomainRef{ref->id, found->name}, domainHandle);
    });
}

int yorbAtDeletePDDomain(void *domainHandle) noexcept {
    YORBAT_FAULT_SEAM();
    const DomainRef *ref = ref_of<DomainRef>(domainHandle);
    if (!ref)
        return YORBAT_INVALID_ARGUMENT;
    return delete_domain(ref->registry_id, ref->domain);
}

int yorbAtGetPDDomainAttribs(void *domainHandle, yorbat_word **attributes) noexcept {
    YORBAT_FAULT_SEAM();
    const DomainRef *ref = ref_of<DomainRef>(domainHandle);
    if (!ref || !attributes)
        return YORBAT_INVALID_ARGUMENT;
    *attributes = nullptr;
    return guarded([&] {
        Database database;
        Domain *found = nullptr;
        if (int failed = domain_of(*ref, database, found))
            return failed;
        auto owner = std::make_unique<Attributes>();
        owner->text = qualified_name(*found);
        owner->words[YORBAT_DOMAIN_QUALIFIED_NAME] = owner->text.data();
        return hand_out_attributes(std::move(owner), attributes);
    });
}

int yorbAtCreatePDPrincipal(void *domainHandle, const char *name, const char *password,
                            yorbat_word const *attributes, void **principalHandle) noexcept {
    YORBAT_FAULT_SEAM();
    const DomainRef *ref = ref_of<DomainRef>(domainHandle);
    if (!ref || !name || !password || !principalHandle)
        return YORBAT_INVALID_ARGUMENT;
    *principalHandle = nullptr;
    const long flag = attributes ? static_cast<long>(reinterpret_cast<intptr_t>(attributes[YORBAT_PRINCIPAL_ATTR_FLAG])) : 0;
    return guarded([&] {
        if (int failed = create_principal(ref->registry_id, ref->domain, name, password, flag))
            return failed;
        return hand_out_ref(PrincipalRef{ref->registry_id, ref->domain, name, {}}, principalHandle);
    });
}

int yorbAtFindPDPrincipal(void *registry, const char *domain, const char *name, void **principalHandle) noexcept {
    YORBAT_FAULT_SEAM();
    const RegistryRef *ref = ref_of<RegistryRef>(registry);
    if (!ref || !domain || !name || !principalHandle)
        return YORBAT_INVALID_ARGUMENT;
    *principalHandle = nullptr;
    return guarded([&] {
        Database database;
        Domain *found = nullptr;
        if (int failed = domain_of(DomainRef{ref->id, domain}, database, found))
            return failed;
        if (!principal_by_name(*found, name))
            return static_cast<int>(YORBAT_NOT_FOUND);
        return hand_out_ref(PrincipalRef{ref->id, found->name, name, {}}, principalHandle);
    });
}

int yorbAtDeletePDPrincipal(void *principalHandle) noexcept {
    YORBAT_FAULT_SEAM();
    const PrincipalRef *ref = ref_of<PrincipalRef>(principalHandle);
    if (!ref)
        return YORBAT_INVALID_ARGUMENT;
    return delete_principal(ref->registry_id, ref->domain, ref->name);
}

int yorbAtChangePassword(void *principalHandle, const char *oldPassword, const char *newPassword,
                         const char *confirmPassword) noexcept {
    YORBAT_FAULT_SEAM();
    const PrincipalRef *ref = ref_of<PrincipalRef>(principalHandle);
    if (!ref || !newPassword || !confirmPassword || std::strcmp(newPassword, confirmPassword) != 0)
        return YORBAT_INVALID_ARGUMENT;
    std::optional<std::string_view> old;
    if (oldPassword)
        old = oldPassword;
    return change_password(ref->registry_id, ref->domain, ref->name, old, newPassword);
}

int yorbAtGetPDPrincipals(void *domainHandle, void ***principals, int *count) noexcept {
    YORBAT_FAULT_SEAM();
    const DomainRef *ref = ref_of<DomainRef>(domainHandle);
    if (!ref || !principals || !count)
        return YORBAT_INVALID_ARGUMENT;
    *principals = nullptr;
    *count = 0;
    return guarded([&] {
        Database database;
        Domain *found = nullptr;
        if (int failed = domain_of(*ref, database, found))
            return failed;
        std::vector<PrincipalRef> refs;
        for (const Principal &principal : found->principals)
            refs.push_back(PrincipalRef{ref->registry_id, found->name, principal.name, principal.flag});
        return hand_out_list(std::move(refs), principals, count);
    });
}

int yorbAtGetPDPrincipalAttribs(void *principal, yorbat_word **attributes) noexcept {
    YORBAT_FAULT_SEAM();
    const PrincipalRef *ref = ref_of<PrincipalRef>(principal);
    if (!ref || !attributes)
        return YORBAT_INVALID_ARGUMENT;
    *attributes = nullptr;
    return guarded([&] {
        long flag = ref->listed_flag.value_or(0);
        if (!ref->listed_flag) {
            Database database;
            Domain *found = nullptr;
            if (int failed = domain_of(DomainRef{ref->registry_id, ref->domain}, database, found))
                return failed;
            const Principal *named = principal_by_name(*found, ref->name);
            if (!named)
                return static_cast<int>(YORBAT_NOT_FOUND);
            flag = named->flag;
        }
        auto owner = std::make_unique<Attributes>();
        owner->text = ref->name;
        owner->words[YORBAT_PRINCIPAL_ATTR_NAME] = owner->text.data();
        owner->words[YORBAT_PRINCIPAL_ATTR_FLAG] = number_word(flag);
        return hand_out_attributes(std::move(owner), attributes);
    });
}

}  // extern "C"
