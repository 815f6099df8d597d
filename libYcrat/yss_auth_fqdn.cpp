// Host-name qualification: a host name becomes the fully qualified,
// lower-case name the broker is known by, from the host database first and
// then through the system resolver library, loaded on first need.
#include <ace/OS_NS_dlfcn.h>
#include <ace/OS_NS_netdb.h>

#include <dlfcn.h>
#include <netdb.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>
#include <string_view>

#include "ystrings.h"
#include "yss_auth_private.h"

namespace yq::yss {
namespace {

constexpr const char *kFunction = "YssGetFQDNHostName";
constexpr int kAnswerSize = 2048;
constexpr int kHeaderSize = 12;  // the answer's header; the question name follows it
constexpr int kClassIN = 1, kTypeA = 1;
constexpr int kOpenMode = RTLD_NOW | RTLD_GLOBAL | RTLD_NODELETE;

using ResInitFn = int (*)();
using DnExpandFn = int (*)(const unsigned char *, const unsigned char *, const unsigned char *, char *, int);
using ResSearchFn = int (*)(const char *, int, int, unsigned char *, int);

// The resolver library, opened once and kept for the life of the process.
struct Resolver {
    bool tried = false;
    void *handle = nullptr;
    ResInitFn res_init = nullptr;
    DnExpandFn dn_expand = nullptr;
    ResSearchFn res_search = nullptr;
};
Resolver resolver;

// The names as written first; then the versioned library (the unversioned
// link exists only with the development files) and the C library, which
// carries the resolver itself on newer platforms.
constexpr const char *kLibraryNames[] = {"libresolv.so", "/usr/lib/libresolv.so", "libresolv.so.2", "libc.so.6"};

void *open_resolver_library() noexcept {
    for (const char *name : kLibraryNames) {
        if (void *handle = ACE_OS::dlopen(name, kOpenMode)) return handle;
    }
    return nullptr;
}

// An entry point by its name, or by the platform's internal name
// ("__res_init" where "res_init" is a macro over it).
template <typename Fn>
Fn find_entry(void *handle, const char *name, const char *label) noexcept {
    void *found = ACE_OS::dlsym(handle, name);
    if (found == nullptr) {
        char internal[32];
        Y_snprintf(internal, sizeof internal, "__%s", name);
        found = ACE_OS::dlsym(handle, internal);
    }
    if (found == nullptr) note(label, "FALSE", kFunction);
    return reinterpret_cast<Fn>(found);
}

bool load_resolver() noexcept {
    if (!resolver.tried) {
        resolver.tried = true;
        resolver.handle = open_resolver_library();
        if (resolver.handle == nullptr) {
            note(".s? open failure", "TRUE", kFunction);
            return false;
        }
        resolver.res_init = find_entry<ResInitFn>(resolver.handle, "res_init", "mpres_init");
        resolver.dn_expand = find_entry<DnExpandFn>(resolver.handle, "dn_expand", "mpdn_expand");
        resolver.res_search = find_entry<ResSearchFn>(resolver.handle, "res_search", "mpres_search");
    }
    return resolver.res_init != nullptr && resolver.dn_expand != nullptr && resolver.res_search != nullptr;
}

bool starts_with_ignoring_case(const char *text, std::string_view prefix) noexcept {
    return ::strncasecmp(text, prefix.data(), prefix.size()) == 0;
}

bool has_two_dots(const char *text) noexcept {
    return std::count(text, text + std::strlen(text), '.') >= 2;
}

void lower_in_place(char *text) noexcept {
    for (; *text != '\0'; ++text) *text = static_cast<char>(std::tolower(static_cast<unsigned char>(*text)));
}

// The host database's best name for `name`: the official name when it begins
// with `name`; a longer alias replaces it; with no candidate yet, an alias
// exactly as long as `name`.
const char *choose_candidate(const hostent &host, std::string_view name) noexcept {
    const char *candidate = nullptr;
    if (host.h_name != nullptr && starts_with_ignoring_case(host.h_name, name)) candidate = host.h_name;
    for (char **alias = host.h_aliases; alias != nullptr && *alias != nullptr; ++alias) {
        if (!starts_with_ignoring_case(*alias, name)) continue;
        const size_t length = std::strlen(*alias);
        if ((candidate != nullptr && length > std::strlen(candidate)) ||
            (candidate == nullptr && length == name.size()))
            candidate = *alias;
    }
    return candidate;
}

enum class Found { kQualified, kAskResolver, kTooLong };

// Step through the host database: a qualified candidate lands in `out`.
Found from_host_database(const char *name, char *out, unsigned outSize) noexcept {
    hostent entry{};
    ACE_HOSTENT_DATA buffer;
    int h_error = 0;
    const hostent *host = ACE_OS::gethostbyname_r(name, &entry, buffer, &h_error);
    if (host == nullptr) {
        char number[16];
        Y_snprintf(number, sizeof number, "%d", h_error);
        note("h_errnop", number, kFunction);
        return Found::kAskResolver;
    }
    const char *candidate = choose_candidate(*host, name);
    if (candidate == nullptr) return Found::kAskResolver;
    if (std::strlen(candidate) >= outSize) {
        out[0] = '\0';
        note("Not enough space in FullNameSize", "TRUE", kFunction);
        return Found::kTooLong;
    }
    if (!has_two_dots(candidate)) return Found::kAskResolver;
    Y_strlcpy(out, candidate, outSize);
    return Found::kQualified;
}

// Step through the resolver: the name its search list completed, as the
// answer's question gives it back.
YssStatus from_resolver(const char *name, char *out, unsigned outSize) noexcept {
    if (!load_resolver()) return YSS_HOST_NOT_QUALIFIED;
    unsigned char answer[kAnswerSize];
    resolver.res_init();
    const int length = resolver.res_search(name, kClassIN, kTypeA, answer, kAnswerSize);
    if (length > kAnswerSize) {
        note("mpres_search too large", "TRUE", kFunction);
        return YSS_BUFFER_TOO_SMALL;
    }
    if (length < 0) {
        note("mpres_search return negative", "TRUE", kFunction);
        return YSS_HOST_NOT_QUALIFIED;
    }
    if (length < kHeaderSize) return YSS_HOST_NOT_QUALIFIED;
    const int size = static_cast<int>(std::min(outSize, static_cast<unsigned>(std::numeric_limits<int>::max())));
    const bool expanded = resolver.dn_expand(answer, answer + length, answer + kHeaderSize, out, size) >= 0;
    if (!expanded) return YSS_HOST_NOT_QUALIFIED;
    if (std::strchr(out, '.') == nullptr) out[0] = '\0';
    return starts_with_ignoring_case(out, name) && has_two_dots(out) ? YSS_SUCCESS : YSS_HOST_NOT_QUALIFIED;
}

}  // namespace
}  // namespace yq::yss

using namespace yq::yss;

extern "C" YssStatus YssGetFQDNHostName(const char *name, char *out, unsigned outSize) noexcept {
    if (name == nullptr || out == nullptr || outSize == 0) return YSS_INVALID_PARAMETER;
    note("Search name", name, kFunction);
    if (*name == '\0') {
        out[0] = '\0';
        return YSS_SUCCESS;
    }
    if (::strcasecmp(name, "localhost") == 0) {
        Y_strlcpy(out, name, outSize);
        return YSS_SUCCESS;
    }
    switch (from_host_database(name, out, outSize)) {
    case Found::kTooLong:
        return YSS_BUFFER_TOO_SMALL;
    case Found::kAskResolver:
        if (const YssStatus status = from_resolver(name, out, outSize); status != YSS_SUCCESS) return status;
        break;
    case Found::kQualified:
        break;
    }
    lower_in_place(out);
    note("Match", out, kFunction);
    return YSS_SUCCESS;
}
