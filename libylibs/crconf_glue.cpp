// Loader of the security configuration record, the public constructors and
// destructors, the "cw.conf" change detector and the module's debug writer.
//
// The record is produced by the separate configuration library. It is loaded
// for each (re)load and closed again at once, so nothing of it stays mapped
// between calls; the record it allocated is plain heap memory and outlives it.
#include <dlfcn.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "crconf.h"
#include "crconf_private.h"
#include "logging.h"
#include "yq_paths.h"
#include "yq_sys.h"
#include "ystrings.h"
#include "yq_memory.h"

namespace {

constexpr const char kModule[] = "crconf_glue";
constexpr const char kGetInfo[] = "crconf_get_info";

#define CRCONF_GLUE_DEBUG(function, label, text, value) \
    crconf_debug_msg(kModule, __LINE__, (function), (label), (text), (value))

constexpr size_t kPathSize = 1025;

using CharPtr = yq::unique_malloc<char>;

struct DlCloser {
    void operator()(void *handle) const noexcept { ::dlclose(handle); }
};
using Library = std::unique_ptr<void, DlCloser>;

template <typename Fn>
Fn lookup(const Library &lib, const char *name) noexcept {
    return reinterpret_cast<Fn>(::dlsym(lib.get(), name));
}

// Opens the configuration library, has it produce a record into *info and
// closes it again. Every entry point must resolve before any is called. The
// failing step reports its status ("retval") here; crconf_get_info reports
// the outcome once more on its way out.
int run_library(int update_time, crconf_info_rec **info) noexcept {
    CharPtr path(yq::sys::strdup(YQ_PATH_CRCONF_LIB));
    if (!path) {
        CRCONF_GLUE_DEBUG(kGetInfo, "retval", nullptr, crconf::kStatusNoMemory);
        return crconf::kStatusNoMemory;
    }

    ::dlerror();
    Library lib(::dlopen(path.get(), RTLD_LAZY));
    if (!lib) {
        CRCONF_GLUE_DEBUG(kGetInfo, "dlopen failed", ::dlerror(), 0);
        CRCONF_GLUE_DEBUG(kGetInfo, "path", path.get(), 0);
        CRCONF_GLUE_DEBUG(kGetInfo, "retval", nullptr, crconf::kStatusLibraryUnusable);
        return crconf::kStatusLibraryUnusable;
    }

    // Looked up in this order; the first one missing ends the lookups.
    auto init = lookup<crconf_init_fn>(lib, "crconf_init");
    auto get_cwinfo = init ? lookup<crconf_get_cwinfo_fn>(lib, "crconf_get_cwinfo") : nullptr;
    auto cleanup = get_cwinfo ? lookup<crconf_cleanup_fn>(lib, "crconf_cleanup") : nullptr;

    int status = crconf::kStatusOk;
    if (cleanup == nullptr) {
        status = crconf::kStatusLibraryUnusable;
    } else if (init(1, debugFD) != 0) {
        status = crconf::kStatusLibraryUnusable;
    } else {
        status = get_cwinfo(info);
        if (status == crconf::kStatusOk) {
            // Success without a record would leave callers nothing to read.
            if (*info == nullptr)
                status = crconf::kStatusLibraryUnusable;
            else
                (*info)->ni_update_time = update_time;
        }
    }
    if (status != crconf::kStatusOk) CRCONF_GLUE_DEBUG(kGetInfo, "retval", nullptr, status);
    if (cleanup != nullptr) cleanup();
    return status;
}

}  // namespace

int crconf_get_info(crconf_info_rec **info) noexcept {
    if (info == nullptr) {
        CRCONF_GLUE_DEBUG(kGetInfo, "retval", nullptr, crconf::kStatusLibraryUnusable);
        return crconf::kStatusLibraryUnusable;
    }
    const int update_time = conf_update_time();
    if (*info != nullptr) {
        // Only a strictly newer "cw.conf" replaces the record.
        if (update_time <= (*info)->ni_update_time) return crconf::kStatusOk;
        crconf_free_info(info);
    }
    const int status = run_library(update_time, info);
    if (status != crconf::kStatusOk) crconf_free_info(info);
    // Every load attempt ends with its outcome in the log, success included.
    CRCONF_GLUE_DEBUG(kGetInfo, "retval", nullptr, status);
    return status;
}

void crconf_free_info(crconf_info_rec **info) noexcept { crconf_free_info_rec(info); }

int crconf_create_authentication_domain(const char *domain, const char *comment, int auth_type,
                                        const char *broker, int port,
                                        crconf_authentication_domain_rec **out) noexcept {
    const int status =
        crconf_create_authentication_domain_rec(domain, comment, auth_type, broker, port, out);
    if (status != crconf::kStatusOk) CRCONF_GLUE_DEBUG(__func__, "retval", nullptr, status);
    return status;
}

int crconf_create_authorization_service(const char *host, int port,
                                        crconf_authorization_service_rec **out) noexcept {
    const int status = crconf_create_authorization_service_rec(host, port, out);
    if (status != crconf::kStatusOk) CRCONF_GLUE_DEBUG(__func__, "retval", nullptr, status);
    return status;
}

int crconf_create_yqss_network(const char *network, int use_yqss,
                               crconf_yqss_network_rec **out) noexcept {
    const int status = crconf_create_yqss_network_rec(network, use_yqss, out);
    if (status != crconf::kStatusOk) CRCONF_GLUE_DEBUG(__func__, "retval", nullptr, status);
    return status;
}

void crconf_free_authentication_domain(crconf_authentication_domain_rec **rec) noexcept {
    crconf_free_authentication_domain_rec(rec);
}

void crconf_free_authorization_service(crconf_authorization_service_rec **rec) noexcept {
    crconf_free_authorization_service_rec(rec);
}

void crconf_free_yqss_network(crconf_yqss_network_rec **rec) noexcept {
    crconf_free_yqss_network_rec(rec);
}

int conf_update_time(void) noexcept {
    // Joined with the bounded copy functions rather than the formatter: they
    // cannot fail, so the path is always defined.
    char path[kPathSize];
    Y_strlcpy(path, YQ_PATH_CARROW_DIR, sizeof path);
    Y_strlcat(path, "/", sizeof path);
    Y_strlcat(path, YQ_CW_CONF_NAME, sizeof path);
    struct stat st{};
    if (::stat(path, &st) != 0) {
        const int saved = errno;
        CRCONF_GLUE_DEBUG(__func__, "errno", nullptr, saved);
        CRCONF_GLUE_DEBUG(__func__, "path", path, 0);
        errno = saved;
        return 0;
    }
    return static_cast<int>(st.st_mtime);
}

void crconf_debug_msg(const char *module, int line, const char *function, const char *label,
                      const char *text, int value) noexcept {
    if (debugFD == -1) return;
    const int saved = errno;
    if (module == nullptr) module = "?";
    if (label == nullptr) label = "?";
    size_t size = std::strlen(module) + std::strlen(label) +
                  (function != nullptr ? std::strlen(function) : 0) + 512;
    if (text != nullptr) size += std::strlen(text);
    CharPtr line_text(static_cast<char *>(yq::sys::malloc(size)));
    if (line_text) {
        const int written =
            text != nullptr
                ? Y_snprintf(line_text.get(), size, "%s.%d: %s: %s", module, line, label, text)
                : Y_snprintf(line_text.get(), size, "%s.%d: %s: %d %u 0x%08x", module, line,
                             label, value, static_cast<unsigned>(value),
                             static_cast<unsigned>(value));
        // The formatter needs memory of its own; without it the line is
        // dropped like any other that cannot be allocated.
        if (written >= 0) logmsg(2, line_text.get(), function);
    }
    errno = saved;
}
