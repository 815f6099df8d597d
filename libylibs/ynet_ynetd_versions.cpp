// The remote version cache: one file per remote host under the product's
// carrow directory, named by the host and holding the product version text
// its ynetd reported (or a number written here). A host is asked only when
// its version is not remembered or the caller wants it refreshed.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>

#include "ynet.h"
#include "ynet_ynetd_internal.h"
#include "yq_paths.h"
#include "yq_sys.h"
#include "ystrings.h"

using yq::ynet_ynetd::drop;
using yq::ynet_ynetd::leading_number;

namespace {

constexpr int kPathBufferSize = 1025;
constexpr int kCacheLineSize = 128;
constexpr int kVersionTextSize = 1024;
constexpr int kHostVersionTimeout = 6;
constexpr mode_t kVersionFileMode = 0644;
constexpr int kVersion1Product = 450000;
constexpr int kNoVersionRequestProduct = 451000;
// The two numbers as "%d" gives them; copied, since no formatting may fail.
constexpr const char *kVersion1Text = "450000";
constexpr const char *kNoVersionRequestText = "451000";

// Paths of the cache; false when the path cannot be formatted.
bool version_cache_dir(char *out, size_t size) {
    return Y_snprintf(out, size, "%s%sremote_versions", YQ_PATH_CARROW_DIR, "/") >= 0;
}

bool version_cache_file(const char *name, char *out, size_t size) {
    return Y_snprintf(out, size, "%s%sremote_versions%s%s", YQ_PATH_CARROW_DIR, "/", "/", name) >=
           0;
}

// The cache's entries that name `host` (hidden names never do), one call of
// `each` per entry with its path; stops when `each` returns false.
template <typename Each>
void for_each_entry_of(const char *host, Each each) {
    char dir_path[kPathBufferSize];
    if (!version_cache_dir(dir_path, sizeof dir_path)) return;
    yq::unique_dir dir(::opendir(dir_path));
    if (!dir) return;
    while (struct dirent *entry = ::readdir(dir.get())) {
        if (entry->d_name[0] == '.' || !ynet_same_hostbyname(entry->d_name, host)) continue;
        char path[kPathBufferSize];
        if (!version_cache_file(entry->d_name, path, sizeof path)) path[0] = '\0';
        if (!each(path)) return;
    }
}

// The version remembered for `host`, or -1 when no file names it.
int cached_version(const char *host) {
    int version = -1;
    for_each_entry_of(host, [&](const char *path) {
        version = 0;
        yq::unique_file file = path[0] != '\0' ? yq::open_for_reading(path) : yq::unique_file();
        char line[kCacheLineSize] = "";
        if (file && std::fgets(line, sizeof line, file.get()) != nullptr)
            version = leading_number(line);
        return false;  // the first file naming the host answers
    });
    return version;
}

void forget_version(const char *host) {
    for_each_entry_of(host, [](const char *path) {
        if (path[0] != '\0') ::unlink(path);
        return true;
    });
}

void remember_version(const char *host, const char *text) {
    // A name with a "/" would store outside the cache, so it is never a
    // cache file name: such a host is looked up but not stored.
    if (std::strchr(host, '/') != nullptr) {
        YN_DEBUG_VALUE("not stored", host, 0);
        return;
    }
    char path[kPathBufferSize];
    if (!version_cache_file(host, path, sizeof path)) return;
    yq::unique_fd fd(yq::sys::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, kVersionFileMode));
    if (!fd) {
        YN_DEBUG_VALUE("open failed", path, 0);
        return;
    }
    (void)yq::sys::write(fd.get(), text, std::strlen(text));
}

}  // namespace

extern "C" int ynet_get_host_version(const char *host, int port_low, int port_high,
                                     const struct sockaddr_in *daemon,
                                     const struct in_addr *local, int timeout,
                                     int refresh) noexcept {
    if (host == nullptr || host[0] == '\0') return 0;
    if (!refresh) {
        int version = cached_version(host);
        if (version >= 0) return version;
        if (timeout == 0) return 0;
    } else {
        if (timeout == 0) timeout = kHostVersionTimeout;
        forget_version(host);
    }

    int version = 0;
    char text[kVersionTextSize] = "0";
    int sock = -1;
    int protocol = -1;
    int status = ynet_connect_to_ynetd(daemon, port_low, port_high, local, &sock, &protocol,
                                       timeout);
    if (status != YN_STATUS_SUCCESS) {
        // An unreachable host is remembered as version 0 until a refresh.
        drop(&sock);
    } else {
        if (protocol == 1) {
            // Daemons of protocol 1 have no version request.
            version = kVersion1Product;
            Y_strlcpy(text, kVersion1Text, sizeof text);
        } else if (ynet_version_get(port_low, port_high, daemon, local, &sock, timeout, text,
                                    sizeof text) == YN_STATUS_SUCCESS) {
            version = leading_number(text);
        } else {
            version = kNoVersionRequestProduct;
            Y_strlcpy(text, kNoVersionRequestText, sizeof text);
        }
        if (sock >= 0) (void)ynet_ynetd_disconnect(&sock, protocol, timeout);
    }
    remember_version(host, text);
    return version;
}
