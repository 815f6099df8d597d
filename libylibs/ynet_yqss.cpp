// Per-connection decision whether to authenticate: which USE_YQSS value
// applies to a peer, whether the peer's ynetd is recent enough to take part,
// and which local credential file to present. Also the rules that find and
// create the machine and user credential directories, the test whether the
// authentication library is installed, and the daemon marker that makes a
// product daemon present the machine credential.
#include <arpa/inet.h>
#include <dirent.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "crconf.h"
#include "ynet.h"
#include "ynet_private.h"
#include "ynet_yqss_private.h"
#include "yq_memory.h"
#include "yq_paths.h"
#include "yq_sys.h"
#include "ystrings.h"

static constexpr const char *kModule = "ynet_yqss";

namespace yq::ynet_yqss {

crconf_info_rec *crconf_info = nullptr;

}  // namespace yq::ynet_yqss

namespace {

using yq::report::Where;

constexpr const char *kDhcpCredential = YQ_PATH_YQSS_CREDENTIALS "/dhcp_cred";
constexpr const char *kUserDirectory = "/.yqss";
constexpr const char *kUserCredential = "/credentials";
constexpr const char *kAtLibrary = "/lib/libyorbat.so";
constexpr std::string_view kInstallDirKey = "\"InstallDir\"=\"";
constexpr int kConfigLineSize = 1152;
constexpr int kHostNameSize = 257;
constexpr int kDefaultConnectTimeout = 300;
constexpr int kDefaultRequestTimeout = 60;
constexpr int kVersionsPerMajor = 100000;
constexpr int kFirstCapableMajor = 5;

// The marker's environment entry; putenv keeps the pointer, so the text
// lives as long as the process.
constexpr const char *kDaemonMarkerEntry = "IS_CARROW_DAEMON=YES";
const char *daemon_marker = nullptr;

struct HostentFree {
    void operator()(struct hostent *entry) const noexcept { ynet_free_hostent(&entry); }
};
using HostentPtr = std::unique_ptr<struct hostent, HostentFree>;

// A failing step under a label of its own: the label with `value` at level
// 0, and the step's status as the result.
int fail_as(const char *label, int value, int status, Where where = Where::current()) {
    yq::report::value(kModule, label, nullptr, value, 0, where);
    return status;
}

// A failing step on a path: the label with errno, then the path.
int path_failure(const char *label, int err, const char *path, int status,
                 Where where = Where::current()) {
    yq::report::value(kModule, label, nullptr, err, 0, where);
    yq::report::value(kModule, "path", path, 0, 0, where);
    return status;
}

bool readable(const char *path) { return path[0] != '\0' && yq::sys::access(path, R_OK) == 0; }

// The host's official name, else its first alias; NULL when it has neither.
const char *name_of(const struct hostent *entry) {
    if (entry->h_name != nullptr && entry->h_name[0] != '\0') return entry->h_name;
    if (entry->h_aliases != nullptr && entry->h_aliases[0] != nullptr &&
        entry->h_aliases[0][0] != '\0')
        return entry->h_aliases[0];
    return nullptr;
}

// The first 4-byte address of `name`, given dotted or looked up.
int address_of(const char *name, struct in_addr *address) {
    if (inet_aton(name, address) != 0) return YN_STATUS_SUCCESS;
    address->s_addr = 0;
    struct hostent *found = nullptr;
    int status = ynet_cached_gethostbyname(name, &found);
    HostentPtr entry(found);
    if (status != YN_STATUS_SUCCESS) return status;
    if (entry->h_length != 4 || entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr)
        return YN_STATUS_HOST_NOT_FOUND;
    std::memcpy(address, entry->h_addr_list[0], 4);
    return YN_STATUS_SUCCESS;
}

// Makes sure `path` is a directory, creating it with mode 0700 when it is
// missing and `may_create`; a directory made for another user is handed to
// `owner` when given.
int ensure_directory(const char *path, bool may_create, const struct stat *owner,
                     Where where = Where::current()) {
    auto not_directory = [&] {
        yq::report::value(kModule, "not directory path", path, YN_STATUS_BAD_DIRECTORY, 0, where);
        return YN_STATUS_BAD_DIRECTORY;
    };
    struct stat st{};
    if (yq::sys::stat(path, &st) == 0) return S_ISDIR(st.st_mode) ? YN_STATUS_SUCCESS : not_directory();
    if (errno != ENOENT) return path_failure("stat failed errno", errno, path, YN_STATUS_STAT_FAILED, where);
    if (!may_create) {
        yq::report::value(kModule, "cannot create directory path", path, YN_STATUS_BAD_DIRECTORY, 0,
                          where);
        return YN_STATUS_BAD_DIRECTORY;
    }
    if (yq::sys::mkdir(path, 0700) != 0)
        return path_failure("mkdir failed errno", errno, path, YN_STATUS_MKDIR_FAILED, where);
    if (owner != nullptr && yq::sys::chown(path, owner->st_uid, owner->st_gid) != 0)
        return path_failure("chown failed errno", errno, path, YN_STATUS_MKDIR_FAILED, where);
    if (yq::sys::stat(path, &st) != 0)
        return path_failure("stat failed errno", errno, path, YN_STATUS_STAT_FAILED, where);
    return S_ISDIR(st.st_mode) ? YN_STATUS_SUCCESS : not_directory();
}

// Reports under the name the peer identification has always used.
int check_local_or_master(int fd, crconf_info_rec *info, struct sockaddr_in *peer, char *host,
                          int host_len, int *is_local, int *is_master) {
    if (host != nullptr && host_len > 0) host[0] = '\0';
    if (is_local == nullptr || is_master == nullptr || peer == nullptr || host == nullptr)
        return YN_FAIL_STATUS(YN_STATUS_INVALID_ARGUMENT);
    *is_local = 0;
    *is_master = 0;
    *peer = {};
    socklen_t length = sizeof *peer;
    if (yq::sys::getpeername(fd, reinterpret_cast<struct sockaddr *>(peer), &length) != 0)
        return fail_as("getpeername() failed", errno, YN_STATUS_SOCKET_ERROR);
    if (info != nullptr && info->ni_servers != nullptr && info->ni_servers->ns_server != nullptr)
        *is_master = ynet_same_hostbynameaddr(info->ni_servers->ns_server, &peer->sin_addr);
    struct hostent *found = nullptr;
    int status = ynet_cached_gethostbyaddr(&peer->sin_addr, &found);
    HostentPtr entry(found);
    if (status != YN_STATUS_SUCCESS) return fail_as("ynet_cached_gethostbyaddr() failed", status, status);
    const char *name = name_of(entry.get());
    if (name == nullptr) return fail_as("no hostname", YN_STATUS_HOST_NOT_FOUND, YN_STATUS_HOST_NOT_FOUND);
    Y_strlcpy(host, name, static_cast<size_t>(host_len));
    *is_local = isLocalHost(host);
    return YN_STATUS_SUCCESS;
}

// Reports under the name the user directory rules have always used.
int check_user_directory(char *path, int len) {
    if (path == nullptr || len < 1) return YN_FAIL_STATUS(YN_STATUS_INVALID_ARGUMENT);
    const struct passwd *account = getpwuid(geteuid());
    const char *home = account != nullptr && account->pw_dir != nullptr && account->pw_dir[0] != '\0'
                           ? account->pw_dir
                           : std::getenv("HOME");
    if (home == nullptr) return YN_FAIL_STATUS(YN_STATUS_BAD_DIRECTORY);
    const auto size = static_cast<size_t>(len);
    Y_strlcpy(path, home, size);
    struct stat home_st{};
    if (yq::sys::stat(path, &home_st) != 0)
        return path_failure("stat failed errno", errno, path, YN_STATUS_STAT_FAILED);
    Y_strlcat(path, kUserDirectory, size);
    bool for_other = geteuid() == 0 && home_st.st_uid != 0;
    return ensure_directory(path, true, for_other ? &home_st : nullptr);
}

// Asks the master's ynetd for what the record lacks.
int fetch_from_master(crconf_info_rec *info, const char *master) {
    struct sockaddr_in daemon{};
    daemon.sin_family = AF_INET;
    int status = address_of(master, &daemon.sin_addr);
    if (status != YN_STATUS_SUCCESS) {
        fail_as("ynet_cached_gethostbyname failed", status, status);
        YN_DEBUG_LEVEL("ns_server", master, 0, 0);
        return YN_FAIL_STATUS(YN_STATUS_HOST_NOT_FOUND);
    }
    int port = 0;
    if ((status = ynet_get_port(&port)) != YN_STATUS_SUCCESS) return YN_FAIL_STATUS(status);
    daemon.sin_port = htons(static_cast<uint16_t>(port));
    struct in_addr local{};
    status = ynet_check_local_interface(info->ni_required_interface, &local);
    if (status != YN_STATUS_SUCCESS) return YN_FAIL_STATUS(status);
    int connect_timeout = info->ni_connect_timeout > 0 ? info->ni_connect_timeout : kDefaultConnectTimeout;
    int request_timeout = info->ni_request_timeout > 0 ? info->ni_request_timeout : kDefaultRequestTimeout;
    int sock = -1;
    int version = 0;
    status = ynet_connect_to_ynetd(&daemon, info->ni_client_port_low, info->ni_client_port_high, &local,
                                   &sock, &version, connect_timeout);
    yq::unique_fd owner(sock);
    if (status != YN_STATUS_SUCCESS) return YN_FAIL_STATUS(status);
    status = ynet_ynetd_get_security_info(&sock, version, info, request_timeout);
    if (sock < 0) owner.release();  // the conversation closed it
    if (status != YN_STATUS_SUCCESS) return YN_FAIL_STATUS(status);
    status = ynet_ynetd_disconnect(&sock, version, request_timeout);
    if (sock < 0) owner.release();
    return YN_FAIL_STATUS_IF(status);
}

}  // namespace

extern "C" int ynet_determine_yqss_socket(int fd, int check_version, struct crconf_info_rec **info,
                                          char *cred_path, int cred_path_len, int *use_yqss,
                                          int *remote_capable) noexcept {
    if (use_yqss != nullptr) *use_yqss = USE_YQSS_PROHIBITED;
    if (remote_capable != nullptr) *remote_capable = 0;
    if (cred_path != nullptr && cred_path_len > 0) cred_path[0] = '\0';
    if (info == nullptr || use_yqss == nullptr || remote_capable == nullptr || cred_path == nullptr)
        return YN_FAIL_STATUS(YN_STATUS_INVALID_ARGUMENT);

    int status = crconf_get_info(info);
    if (status != 0) return fail_as("crconf_get_info() failed", status, yq::ynet_yqss::from_crconf_status(status));
    crconf_info_rec *record = *info;
    if (record->ni_use_yqss == USE_YQSS_PROHIBITED) return YN_STATUS_SUCCESS;

    struct sockaddr_in peer{};
    char host[kHostNameSize];
    int is_local = 0;
    int is_master = 0;
    status = get_socket_host_info(fd, record, &peer, host, sizeof host, &is_local, &is_master);
    if (status != YN_STATUS_SUCCESS) return fail_as("get_socket_host_info() failed", status, status);

    if (is_local || is_master) {
        *remote_capable = 1;
    } else if (record->ni_use_yqss == USE_YQSS_AUTOMATIC && check_version) {
        int capable = 0;
        status = check_remote_yqss_version(fd, record, &capable);
        if (status != YN_STATUS_SUCCESS) return YN_FAIL_STATUS(status);
        if (!capable) {
            YN_DEBUG_VALUE("Apparent pre-5.0 server *use_yqss", nullptr, USE_YQSS_PROHIBITED);
            return YN_STATUS_SUCCESS;
        }
        *remote_capable = 1;
    }

    if ((status = ynet_normalize_security_info(record)) != YN_STATUS_SUCCESS)
        return fail_as("ynet_normalize_security_info() failed", status, status);
    if ((status = ynet_check_yqss_status(&peer.sin_addr, record, use_yqss)) != YN_STATUS_SUCCESS)
        return fail_as("ynet_check_yqss_status() failed", status, status);
    if (*use_yqss == USE_YQSS_PROHIBITED) return YN_STATUS_SUCCESS;

    status = ynet_get_credential_path(fd, cred_path, cred_path_len);
    if (status == YN_STATUS_SUCCESS) return YN_STATUS_SUCCESS;
    if (*use_yqss == USE_YQSS_REQUIRED) return fail_as("ynet_get_credential_path() failed", status, status);
    fail_as("non-fatal ynet_get_credential_path() failed", status, status);
    *use_yqss = USE_YQSS_PROHIBITED;
    return YN_STATUS_SUCCESS;
}

extern "C" int get_socket_host_info(int fd, struct crconf_info_rec *info, struct sockaddr_in *peer, char *host,
                                    int host_len, int *is_local, int *is_master) noexcept {
    return check_local_or_master(fd, info, peer, host, host_len, is_local, is_master);
}

extern "C" int check_remote_yqss_version(int fd, struct crconf_info_rec *info, int *capable) noexcept {
    if (capable == nullptr || info == nullptr) return YN_FAIL_STATUS(YN_STATUS_INVALID_ARGUMENT);
    *capable = 0;
    struct sockaddr_in peer{};
    socklen_t length = sizeof peer;
    if (yq::sys::getpeername(fd, reinterpret_cast<struct sockaddr *>(&peer), &length) != 0)
        return fail_as("getpeername errno", errno, YN_STATUS_SOCKET_ERROR);
    if (peer.sin_family != AF_INET) {
        YN_DEBUG_LEVEL("addr.sin_family", nullptr, peer.sin_family, 0);
        return fail_as("not AF_INET", AF_INET, YN_STATUS_SOCKET_ERROR);
    }
    char host[kHostNameSize];
    {
        struct hostent *found = nullptr;
        int status = ynet_cached_gethostbyaddr(&peer.sin_addr, &found);
        HostentPtr entry(found);
        if (status != YN_STATUS_SUCCESS) return fail_as("ynet_cached_gethostbyaddr failed", status, status);
        const char *name = name_of(entry.get());
        if (name == nullptr) return fail_as("no hostname", YN_STATUS_HOST_NOT_FOUND, YN_STATUS_HOST_NOT_FOUND);
        Y_strlcpy(host, name, sizeof host);
    }
    struct in_addr local{};
    int status = ynet_check_local_interface(info->ni_required_interface, &local);
    if (status != YN_STATUS_SUCCESS) return fail_as("ynet_check_local_interface failed", status, status);
    int port = 0;
    if ((status = ynet_get_port(&port)) != YN_STATUS_SUCCESS) return fail_as("ynet_get_port status", status, status);
    peer.sin_port = htons(static_cast<uint16_t>(port));
    int timeout = info->ni_connect_timeout >= 1 ? info->ni_connect_timeout : kDefaultConnectTimeout;
    int version = ynet_get_host_version(host, info->ni_client_port_low, info->ni_client_port_high, &peer, &local,
                                        timeout, 0);
    YN_DEBUG_VALUE("version", host, version);
    *capable = (version / kVersionsPerMajor) % 100 >= kFirstCapableMajor ? 1 : 0;
    return YN_STATUS_SUCCESS;
}

extern "C" int ynet_normalize_security_info(struct crconf_info_rec *info) noexcept {
    if (info == nullptr) return YN_FAIL_STATUS(YN_STATUS_INVALID_ARGUMENT);
    if (info->ni_security_info_fetched || info->ni_use_yqss == USE_YQSS_PROHIBITED) return YN_STATUS_SUCCESS;
    if (info->ni_use_yqss == USE_YQSS_AUTOMATIC && !is_yqss_at_installed(info)) {
        info->ni_use_yqss = USE_YQSS_PROHIBITED;
        return YN_STATUS_SUCCESS;
    }
    const char *master = info->ni_servers != nullptr ? info->ni_servers->ns_server : nullptr;
    if (master == nullptr || master[0] == '\0') return YN_STATUS_SUCCESS;
    if (info->ni_authentication_domains != nullptr && info->ni_authorization_service != nullptr &&
        (info->ni_use_yqss == USE_YQSS_REQUIRED || info->ni_yqss_networks != nullptr))
        return YN_STATUS_SUCCESS;
    if (isLocalHost(master)) {
        // The master is this host: its own configuration is complete.
        if (info->ni_authorization_service != nullptr) return YN_STATUS_SUCCESS;
        crconf_authorization_service_rec *service = nullptr;
        int result = crconf_create_authorization_service(master, 0, &service);
        if (result != 0) {
            crconf_free_authorization_service(&service);
            YN_DEBUG_LEVEL("retval", nullptr, result, 0);
            return YN_FAIL_STATUS(YN_STATUS_DESCRIPTOR_PASSING_FAILED);
        }
        info->ni_authorization_service = service;
        return YN_STATUS_SUCCESS;
    }
    int status = fetch_from_master(info, master);
    if (status == YN_STATUS_SUCCESS) info->ni_security_info_fetched = 1;
    return status;
}

extern "C" int ynet_check_yqss_status(const struct in_addr *peer, struct crconf_info_rec *info,
                                      int *use_yqss) noexcept {
    if (use_yqss != nullptr) *use_yqss = USE_YQSS_PROHIBITED;
    if (info == nullptr || use_yqss == nullptr) return YN_FAIL_STATUS(YN_STATUS_INVALID_ARGUMENT);
    *use_yqss = info->ni_use_yqss;
    if (*use_yqss == USE_YQSS_REQUIRED || *use_yqss == USE_YQSS_PROHIBITED) return YN_STATUS_SUCCESS;
    for (const crconf_yqss_network_rec *network = info->ni_yqss_networks; network != nullptr;
         network = network->nw_next) {
        if (network->nw_network == nullptr || network->nw_network[0] == '\0') continue;
        int inside = 0;
        if (int status = ynet_in_network(peer, network->nw_network, &inside); status != YN_STATUS_SUCCESS) {
            // A row that cannot be read is skipped; one that could not be
            // judged for want of memory leaves no decision to make.
            if (status == YN_STATUS_NO_MEMORY) return YN_FAIL_STATUS(status);
            YN_FAIL_STATUS(YN_STATUS_SOCKET_ERROR);
            continue;
        }
        if (inside) {
            *use_yqss = network->nw_use_yqss;
            break;
        }
    }
    return YN_STATUS_SUCCESS;
}

extern "C" int ynet_check_local_interface(const char *name, struct in_addr *addr) noexcept {
    if (addr == nullptr) return YN_FAIL_STATUS(YN_STATUS_INVALID_ARGUMENT);
    addr->s_addr = 0;
    if (name == nullptr || !isLocalHost(name)) return YN_STATUS_SUCCESS;
    return YN_FAIL_STATUS_IF(address_of(name, addr));
}

extern "C" int ynet_get_credential_path(int fd, char *path, int len) noexcept {
    if (path == nullptr || len < 1) return YN_FAIL_STATUS(YN_STATUS_INVALID_ARGUMENT);
    const auto size = static_cast<size_t>(len);
    path[0] = '\0';
    if (const char *chosen = std::getenv("YQSS_CREDENTIAL_PATH")) {
        Y_strlcpy(path, chosen, size);
        if (readable(path)) return YN_STATUS_SUCCESS;
        path[0] = '\0';  // an unusable choice is ignored
    }
    bool machine_directory = false;
    if (geteuid() == 0) {
        int status = ynet_check_yqss_machine_directory();
        if (status == YN_STATUS_SUCCESS)
            machine_directory = true;
        else
            fail_as("ynet_check_yqss_machine_directory failed", status, status);
    }
    if (machine_directory && ynet_check_carrow_daemon()) {
        int status = ynet_get_machine_credential_path(fd, path, len);
        if (status != YN_STATUS_SUCCESS) fail_as("ynet_get_machine_credential_path failed", status, status);
        YN_DEBUG_LEVEL("machine credential path", path, 0, 5);
        return YN_STATUS_SUCCESS;
    }
    int status = ynet_get_user_credential_path(path, len);
    if (status == YN_STATUS_SUCCESS) return YN_STATUS_SUCCESS;
    return fail_as("ynet_get_user_credential_path failed", status, status);
}

extern "C" int ynet_get_machine_credential_path(int fd, char *path, int len) noexcept {
    if (path == nullptr || len < 1) return YN_FAIL_STATUS(YN_STATUS_INVALID_ARGUMENT);
    const auto size = static_cast<size_t>(len);
    Y_strlcpy(path, kDhcpCredential, size);
    if (readable(path)) return YN_STATUS_SUCCESS;
    path[0] = '\0';
    if (fd == -1) return YN_FAIL_STATUS(YN_STATUS_NO_CREDENTIALS);

    struct sockaddr_in local{};
    socklen_t length = sizeof local;
    if (yq::sys::getsockname(fd, reinterpret_cast<struct sockaddr *>(&local), &length) != 0)
        return fail_as("getsockname errno", errno, YN_STATUS_NO_CREDENTIALS);
    struct sockaddr_in peer{};
    length = sizeof peer;
    int same_host = 0;
    if (yq::sys::getpeername(fd, reinterpret_cast<struct sockaddr *>(&peer), &length) != 0)
        fail_as("getpeername errno", errno, 0);  // taken as a different host
    else
        same_host = ynet_same_hostbyaddr(&local.sin_addr, &peer.sin_addr);

    char entry_name[NAME_MAX + 1] = "";
    {
        yq::unique_dir directory(::opendir(YQ_PATH_YQSS_CREDENTIALS));
        if (!directory) return YN_FAIL_STATUS(YN_STATUS_NO_CREDENTIALS);
        while (const struct dirent *entry = ::readdir(directory.get())) {
            std::string_view name(entry->d_name);
            if (name == "." || name == "..") continue;
            if (ynet_same_hostbynameaddr_local(entry->d_name, &local.sin_addr, same_host)) {
                Y_strlcpy(entry_name, entry->d_name, sizeof entry_name);
                break;
            }
        }
    }
    if (entry_name[0] != '\0') {
        Y_snprintf(path, size, "%s/%s", YQ_PATH_YQSS_CREDENTIALS, entry_name);
        if (readable(path)) return YN_STATUS_SUCCESS;
        path[0] = '\0';
    }
    return YN_FAIL_STATUS(YN_STATUS_NO_CREDENTIALS);
}

extern "C" int ynet_get_user_credential_path(char *path, int len) noexcept {
    int status = ynet_check_yqss_user_directory(path, len);
    if (status != YN_STATUS_SUCCESS) {
        if (path != nullptr && len > 0) path[0] = '\0';
        return fail_as("ynet_check_yqss_user_directory failed", status, status);
    }
    Y_strlcat(path, kUserCredential, static_cast<size_t>(len));
    if (readable(path)) return YN_STATUS_SUCCESS;
    path[0] = '\0';
    return YN_FAIL_STATUS(YN_STATUS_NO_CREDENTIALS);
}

extern "C" int ynet_check_yqss_machine_directory(void) noexcept {
    bool administrator = geteuid() == 0;
    for (const char *directory : {YQ_PATH_YQSS_DIR, YQ_PATH_YQSS_CREDENTIALS}) {
        int status = ensure_directory(directory, administrator, nullptr);
        if (status != YN_STATUS_SUCCESS) return status;
    }
    return YN_STATUS_SUCCESS;
}

extern "C" int ynet_check_yqss_user_directory(char *path, int len) noexcept {
    return check_user_directory(path, len);
}

extern "C" int ynet_set_carrow_daemon(int on) noexcept {
    if (!on) return YN_STATUS_SUCCESS;
    if (geteuid() != 0)
        return yq::report::fail(kModule, YN_STATUS_NOT_ADMINISTRATOR, "must be an administrator to be a daemon",
                                Where::current());
    daemon_marker = kDaemonMarkerEntry;
    if (::putenv(const_cast<char *>(daemon_marker)) != 0) return fail_as("putenv failed", errno, YN_STATUS_NO_MEMORY);
    return YN_STATUS_SUCCESS;
}

extern "C" int ynet_check_carrow_daemon(void) noexcept {
    const char *marker = std::getenv("IS_CARROW_DAEMON");
    return marker != nullptr && std::string_view(marker) == "YES" && geteuid() == 0 ? 1 : 0;
}

extern "C" int is_yqss_at_installed(struct crconf_info_rec * /*info*/) noexcept {
    char line[kConfigLineSize];
    bool found = false;
    {
        yq::unique_file config = yq::open_for_reading(YQ_PATH_YORBAT_CONF);
        if (!config) {
            if (errno == ENOENT) return 0;
            YN_DEBUG_VALUE("errno", nullptr, errno);
            YN_DEBUG_VALUE("Cannot open YSS_AT_CONFIG_FILE", YQ_PATH_YORBAT_CONF, 0);
            return 0;
        }
        while (std::fgets(line, sizeof line, config.get()) != nullptr) {
            if (std::string_view(line).starts_with(kInstallDirKey)) {
                found = true;
                break;
            }
        }
    }
    if (!found) {
        YN_DEBUG_VALUE("No entry", "InstallDir", 0);
        return 0;
    }
    std::string_view value(line + kInstallDirKey.size());
    if (size_t quote = value.rfind('"'); quote != std::string_view::npos) value = value.substr(0, quote);
    if (size_t newline = value.rfind('\n'); newline != std::string_view::npos) value = value.substr(0, newline);
    char library[kConfigLineSize + 32];
    Y_snprintf(library, sizeof library, "%.*s%s", static_cast<int>(value.size()), value.data(), kAtLibrary);
    if (readable(library)) return 1;
    YN_DEBUG_VALUE("errno", nullptr, errno);
    YN_DEBUG_VALUE("Cannot access AT library", library, 0);
    return 0;
}
