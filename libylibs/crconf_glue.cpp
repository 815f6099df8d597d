// Loader of the security configuration record, the public constructors and
// destructors, the "cw.conf" change detector and the module's debug writer.
//
// The record is produced by the separate configuration library. It is loaded
// for each (re)load and closed again at once, so nothing of it stays mapped
// between calls; the record it allocated is plain heap memory and outlives it.
#include <dlfcn.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "crconf.h"
#include "crconf_private.h"
#include "logging.h"
#include "ynet_private.h"
#include "yq_memory.h"
#include "yq_paths.h"
#include "yq_sys.h"
#include "ystrings.h"

namespace {

constexpr const char kModule[] = "crconf_glue";

constexpr size_t kPathSize = 1025;

using Text = yq::unique_malloc<char>;
using crconf::retval;

// The configuration library while it is loaded. Closing it runs its
// crconf_cleanup first, once that entry point was found.
class Library {
public:
    Library() = default;
    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;
    ~Library() { close(); }

    bool open(const char *path) noexcept {
        handle_ = ::dlopen(path, RTLD_LAZY);
        return handle_ != nullptr;
    }
    template <typename Fn>
    Fn lookup(const char *name) const noexcept {
        return reinterpret_cast<Fn>(::dlsym(handle_, name));
    }
    void cleanup_at_close(crconf_cleanup_fn cleanup) noexcept { cleanup_ = cleanup; }
    void close() noexcept {
        if (cleanup_ != nullptr) std::exchange(cleanup_, nullptr)();
        if (handle_ != nullptr) ::dlclose(std::exchange(handle_, nullptr));
    }

private:
    void *handle_ = nullptr;
    crconf_cleanup_fn cleanup_ = nullptr;
};

}  // namespace

// The library is opened for each load and closed again at once; every entry
// point must resolve before any is called. A failing step reports its status
// ("retval"), and the load reports its outcome once more on its way out.
int crconf_get_info(crconf_info_rec **info) noexcept {
    if (info == nullptr) return retval(kModule, crconf::kStatusLibraryUnusable);
    const int update_time = conf_update_time();
    if (*info != nullptr) {
        // Only a strictly newer "cw.conf" replaces the record.
        if (update_time <= (*info)->ni_update_time) return crconf::kStatusOk;
        crconf_free_info(info);
    }
    Library lib;
    // Every load ends here: the library closed, the record of a failed load
    // freed, and the outcome in the log, success included.
    auto outcome = [&](int status, crconf::Where where = crconf::Where::current()) {
        lib.close();
        if (status != crconf::kStatusOk) crconf_free_info(info);
        return retval(kModule, status, where);
    };
    Text path(yq::sys::strdup(YQ_PATH_CRCONF_LIB));
    if (!path) return outcome(retval(kModule, crconf::kStatusNoMemory));
    ::dlerror();
    if (!lib.open(path.get())) {
        crconf::report(kModule, "dlopen failed", ::dlerror(), 0);
        crconf::report(kModule, "path", path.get(), 0);
        return outcome(retval(kModule, crconf::kStatusLibraryUnusable));
    }
    // Looked up in this order; the first one missing ends the lookups.
    auto init = lib.lookup<crconf_init_fn>("crconf_init");
    auto get_cwinfo = init ? lib.lookup<crconf_get_cwinfo_fn>("crconf_get_cwinfo") : nullptr;
    auto cleanup = get_cwinfo ? lib.lookup<crconf_cleanup_fn>("crconf_cleanup") : nullptr;
    if (cleanup == nullptr) return outcome(retval(kModule, crconf::kStatusLibraryUnusable));
    lib.cleanup_at_close(cleanup);
    if (init(1, debugFD) != 0) return outcome(retval(kModule, crconf::kStatusLibraryUnusable));
    const int status = get_cwinfo(info);
    if (status != crconf::kStatusOk) return outcome(retval(kModule, status));
    // Success without a record would leave callers nothing to read.
    if (*info == nullptr) return outcome(retval(kModule, crconf::kStatusLibraryUnusable));
    (*info)->ni_update_time = update_time;
    return outcome(crconf::kStatusOk);
}

void crconf_free_info(crconf_info_rec **info) noexcept { crconf_free_info_rec(info); }

int crconf_create_authentication_domain(const char *domain, const char *comment, int auth_type,
                                        const char *broker, int port,
                                        crconf_authentication_domain_rec **out) noexcept {
    const int status =
        crconf_create_authentication_domain_rec(domain, comment, auth_type, broker, port, out);
    return status == crconf::kStatusOk ? status : retval(kModule, status);
}

int crconf_create_authorization_service(const char *host, int port,
                                        crconf_authorization_service_rec **out) noexcept {
    const int status = crconf_create_authorization_service_rec(host, port, out);
    return status == crconf::kStatusOk ? status : retval(kModule, status);
}

int crconf_create_yqss_network(const char *network, int use_yqss,
                               crconf_yqss_network_rec **out) noexcept {
    const int status = crconf_create_yqss_network_rec(network, use_yqss, out);
    return status == crconf::kStatusOk ? status : retval(kModule, status);
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
    if (yq::sys::stat(path, &st) != 0) {
        yq::ErrnoGuard keep_errno;
        crconf::report(kModule, "errno", nullptr, errno);
        crconf::report(kModule, "path", path, 0);
        return 0;
    }
    return static_cast<int>(st.st_mtime);
}

void crconf_debug_msg(const char *module, int line, const char *function, const char *label,
                      const char *text, int value) noexcept {
    if (debugFD == -1) return;
    yq::ErrnoGuard keep_errno;
    if (module == nullptr) module = "?";
    if (label == nullptr) label = "?";
    size_t size = std::strlen(module) + std::strlen(label) +
                  (function != nullptr ? std::strlen(function) : 0) + 512;
    if (text != nullptr) size += std::strlen(text);
    Text line_text(static_cast<char *>(yq::sys::malloc(size)));
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
}

namespace crconf {

int report(const char *module, const char *label, const char *text, int value,
           Where where) noexcept {
    yq::report::FunctionName function(where);
    crconf_debug_msg(module, static_cast<int>(where.line()), function.c_str(), label, text, value);
    return value;
}

}  // namespace crconf
