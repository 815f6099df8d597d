// The YqSS magic exchange on a freshly connected product socket, and the
// authentication that follows it when both ends use YqSS. Each side decides
// its own USE_YQSS value for the peer, prepares a security context with its
// credential, and the two compare: the client sends the magic through its
// caller's protocol, the server answers with its final value as a signed
// item. When both use YqSS the client connects and the server accepts
// through the security services; the client then insists that the server
// holds a machine credential for the very host it dialled.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "crconf.h"
#include "logging.h"
#include "ynet.h"
#include "ynet_private.h"
#include "ynet_yqss_helper_private.h"
#include "yq_memory.h"
#include "yq_paths.h"
#include "yq_sys.h"
#include "yss_auth.h"
#include "ystrings.h"

static constexpr const char *kModule = "ynet_yqss_helper";

namespace yq::ynet_yqss_helper {

crconf_info_rec *crconf_info = nullptr;
FILE *yqss_debug_stream = nullptr;
int yqss_debug_failed = 0;

}  // namespace yq::ynet_yqss_helper

namespace {

using yq::report::Where;
using namespace yq::ynet_yqss_helper;

constexpr int kUsed = 1;      // USE_YQSS required, and the outcome "used"
constexpr int kNotUsed = 2;   // USE_YQSS prohibited, and the outcome "not used"
// The server's status when the client prohibits and the server requires: the
// plain number 2, which the client's side does not read.
constexpr int kClientProhibits = 2;
constexpr int kCredPathSize = 1025;
constexpr int kDefaultRequestTimeout = 60;
constexpr int kApiVersion = 3;
constexpr int kPrivateDomainMode = 3;  // the mechanism of "CRW_Machines" credentials
constexpr std::string_view kMachinesDomain = "CRW_Machines@";

// Reports a failing step under `label` with its status, for the caller's line.
int fail(int status, const char *label, Where where = Where::current()) {
    return yq::report::fail(kModule, status, label, where);
}

// Reports a value at level 0: a failure whose status is not the value shown.
void note(const char *label, const char *text, int value, Where where = Where::current()) {
    yq::report::value(kModule, label, text, value, 0, where);
}

const char *or_null(const char *text) { return text != nullptr ? text : "NULL"; }

// Certificate information released when it leaves scope.
struct CertInfo {
    YssCertInfo info{};
    CertInfo() = default;
    CertInfo(const CertInfo &) = delete;
    CertInfo &operator=(const CertInfo &) = delete;
    ~CertInfo() { FreeYssCertInfo(&info); }
};

int request_timeout(const crconf_info_rec *info) {
    return info != nullptr && info->ni_request_timeout > 0 ? info->ni_request_timeout : kDefaultRequestTimeout;
}

void cert_lines(const YssCertInfo &info, Where where = Where::current()) {
    yq::report::value(kModule, "Name", or_null(info.Name), 0, 4, where);
    yq::report::value(kModule, "Domain", or_null(info.Domain), 0, 4, where);
    yq::report::value(kModule, "Expiry", or_null(info.ExpiryDate), 0, 4, where);
    yq::report::value(kModule, "Issued by", or_null(info.IssuedBy), 0, 4, where);
}

// The information lines of a successful exchange; the status of the local
// certificate query when YqSS was used.
int information(int use, YssConInfo_t *ctx) {
    if (use == kUsed) {
        if (CertInfo peer; YssGetPeerCertInfo(&peer.info, ctx) == YSS_SUCCESS) {
            YN_DEBUG_VALUE("PEER INFORMATION", "", 0);
            cert_lines(peer.info);
        }
        CertInfo local;
        if (int status = YssGetCertInfo(&local.info, ctx); status != YSS_SUCCESS)
            return fail(status, "YssGetCertInfo failed");
        YN_DEBUG_VALUE("Local INFORMATION", "", 0);
        cert_lines(local.info);
        YN_DEBUG_VALUE("Using YqSS authentication", nullptr, use);
    } else if (use == kNotUsed) {
        YN_DEBUG_VALUE("Not using YqSS authentication", nullptr, use);
    } else {
        YN_DEBUG_VALUE("Undetermined YqSS authentication", nullptr, use);
    }
    return YN_STATUS_SUCCESS;
}

// Hands the security services a stream on the debug log, once per process.
void open_debug_stream() {
    if (debugFD == -1 || yqss_debug_stream != nullptr || yqss_debug_failed) return;
    FILE *stream = ::fdopen(debugFD, "a");
    if (stream == nullptr) {
        yq::ErrnoGuard keep;
        note("fdopen() failed", nullptr, errno);
        yqss_debug_failed = 1;
        return;
    }
    yqss_debug_stream = stream;
    if (int status = YssSetDebugStream(kApiVersion, stream); status != YSS_SUCCESS) {
        note("YssSetDebugStream() failed", nullptr, status);
        yqss_debug_failed = 1;
    }
}

// A failure while preparing the context: fatal when YqSS is required,
// otherwise the side lowers itself to "not used".
int fatal_or_lowered(int *use, int status, const char *fatal, const char *lowered, Where where = Where::current()) {
    if (*use == kUsed) return yq::report::fail(kModule, status, fatal, where);
    yq::report::value(kModule, lowered, nullptr, status, 0, where);
    *use = kNotUsed;
    return YN_STATUS_SUCCESS;
}

// The magic the client sends in the integer form.
long integer_magic(int use) {
    return use == kUsed ? YNET_YQSS_MAGIC_REQUIRED
           : use == kNotUsed ? YNET_YQSS_MAGIC_PROHIBITED
                             : YNET_YQSS_MAGIC_AUTOMATIC;
}

int send_magic(int fd, int use, bool keeps_context, put_string_fn put_string, put_long_fn put_long) {
    int error = 0;
    if (put_string != nullptr) {
        const int magic = keeps_context ? YNET_YQSS_MAGIC_STRING_D : YNET_YQSS_MAGIC_STRING;
        char text[1024];
        Y_snprintf(text, sizeof text, "%d %d", magic, use);
        YN_DEBUG_VALUE("YqSS magic", nullptr, YNET_YQSS_MAGIC_STRING);
        YN_DEBUG_VALUE("*use_yqss", nullptr, use);
        if (put_string(fd, text, &error) < 0) {
            note("put_string() failed", nullptr, error);
            return YN_STATUS_WRITE_FAILED;
        }
        return YN_STATUS_SUCCESS;
    }
    if (put_long == nullptr) return YN_FAIL_STATUS(YN_STATUS_INVALID_ARGUMENT);
    const long magic = integer_magic(use);
    YN_DEBUG_VALUE("YqSS magic", nullptr, static_cast<int>(magic));
    if (put_long(fd, magic, &error) < 0) {
        note("put_long() failed", nullptr, error);
        return YN_STATUS_WRITE_FAILED;
    }
    return YN_STATUS_SUCCESS;
}

// The client's side from the decision to the information lines; the context
// it prepared is left in *ctx whatever the outcome.
int client_exchange(int fd, int check_version, int *use_yqss, put_string_fn put_string, put_long_fn put_long,
                    bool keeps_context, YssConInfo_t **ctx) {
    char cred_path[kCredPathSize];
    int remote_capable = 0;
    int status = ynet_determine_yqss_socket(fd, check_version, &crconf_info, cred_path, kCredPathSize, use_yqss,
                                            &remote_capable);
    if (status != YN_STATUS_SUCCESS) return fail(status, "ynet_determine_yqss_socket() failed");
    if (*use_yqss == kNotUsed && !remote_capable) {
        YN_DEBUG_VALUE("Ignoring YqSS authentication", nullptr, *use_yqss);
        return YN_STATUS_SUCCESS;
    }
    if ((status = ynet_setup_yqss_socket(fd, cred_path, use_yqss, ctx)) != YN_STATUS_SUCCESS)
        return fail(status, "ynet_setup_yqss_socket() failed");
    if ((status = send_magic(fd, *use_yqss, keeps_context, put_string, put_long)) != YN_STATUS_SUCCESS)
        return status;

    const int timeout = crconf_get_info(&crconf_info) == 0 ? request_timeout(crconf_info) : kDefaultRequestTimeout;
    long server = 0;
    if ((status = ynet_pop_signed(fd, &server, timeout)) != YN_STATUS_SUCCESS)
        return fail(status, "ynet_pop_signed() failed");
    if (server != kUsed && server != kNotUsed) {
        note("Bad USE_YQSS value from the server", nullptr, static_cast<int>(server));
        return YN_STATUS_YQSS_FAILED;
    }
    if (*use_yqss == kUsed && server == kNotUsed)
        return fail(YN_STATUS_YQSS_REFUSED, "Client requires/server prohibits YqSS auth");
    if (*use_yqss == kNotUsed && server == kUsed)
        return fail(YN_STATUS_PEER_REQUIRES_YQSS, "Client prohibits/server requires YqSS auth");
    *use_yqss = static_cast<int>(server);
    if (*use_yqss == kUsed) {
        if ((status = ynet_yqss_authenticate(0, ctx)) != YN_STATUS_SUCCESS)
            return fail(status, "ynet_yqss_authenticate() failed");
        if (!keeps_context) ynet_yqss_close(ctx);
    }
    return information(*use_yqss, *ctx);
}

// The server's side; on failure the caller releases the context.
int server_exchange(int fd, int magic, int client_use, int *is_magic, int *use_yqss, YssConInfo_t **ctx) {
    switch (magic) {
    case YNET_YQSS_MAGIC_REQUIRED: client_use = kUsed; break;
    case YNET_YQSS_MAGIC_PROHIBITED: client_use = kNotUsed; break;
    case YNET_YQSS_MAGIC_AUTOMATIC: client_use = 0; break;
    case YNET_YQSS_MAGIC_STRING:
    case YNET_YQSS_MAGIC_STRING_D: break;
    default: *is_magic = 0; break;
    }
    YN_DEBUG_VALUE("YqSS magic", nullptr, magic);
    YN_DEBUG_VALUE("remote_yqss", nullptr, client_use);

    char cred_path[kCredPathSize];
    int remote_capable = 0;
    *use_yqss = kNotUsed;
    int status =
        ynet_determine_yqss_socket(fd, 0, &crconf_info, cred_path, kCredPathSize, use_yqss, &remote_capable);
    if (status != YN_STATUS_SUCCESS) return fail(status, "ynet_determine_yqss_socket() failed");
    if (!*is_magic) {
        if (*use_yqss == kUsed) return fail(YN_STATUS_YQSS_REFUSED, "Client ignores/server requires YqSS auth");
        *use_yqss = kNotUsed;
        YN_DEBUG_VALUE("Ignoring YqSS authentication", nullptr, *use_yqss);
        return YN_STATUS_SUCCESS;
    }
    if (client_use < 0 || client_use > kNotUsed) {
        note("Bad USE_YQSS value from the client", nullptr, client_use);
        return YN_STATUS_YQSS_FAILED;
    }
    if (*use_yqss == 0) *use_yqss = client_use;
    if ((status = ynet_setup_yqss_socket(fd, cred_path, use_yqss, ctx)) != YN_STATUS_SUCCESS)
        return fail(status, "ynet_setup_yqss_socket() failed");
    if (*use_yqss != kNotUsed) *use_yqss = kUsed;
    if (client_use == 0) client_use = *use_yqss;
    if ((status = ynet_push_signed(fd, *use_yqss, request_timeout(crconf_info))) != YN_STATUS_SUCCESS)
        return fail(status, "ynet_push_signed() failed");
    if (client_use != *use_yqss) {
        return client_use == kUsed ? fail(YN_STATUS_PEER_REQUIRES_YQSS, "Client requires/server prohibits YqSS auth")
                                   : fail(kClientProhibits, "Client prohibits/server requires YqSS auth");
    }
    if (*use_yqss == kUsed) {
        if ((status = ynet_yqss_authenticate(1, ctx)) != YN_STATUS_SUCCESS)
            return fail(status, "ynet_yqss_authenticate() failed");
        if (magic != YNET_YQSS_MAGIC_STRING_D) ynet_yqss_close(ctx);
    } else {
        ynet_yqss_cleanup(ctx);
    }
    return information(*use_yqss, *ctx);
}

}  // namespace

extern "C" int ynet_check_yqss_client_magic_with_info(int fd, int check_version, int debug_fd, int *use_yqss,
                                                      put_string_fn put_string, put_long_fn put_long,
                                                      YssConInfo_t **ctx_out) noexcept {
    if (ctx_out != nullptr) *ctx_out = nullptr;
    yq::ynet_private::BorrowedDebugFd borrowed(debug_fd);
    YssConInfo_t *ctx = nullptr;
    int status = client_exchange(fd, check_version, use_yqss, put_string, put_long, ctx_out != nullptr, &ctx);
    if (status == YN_STATUS_SUCCESS && ctx_out != nullptr) *ctx_out = ctx;
    else ynet_yqss_cleanup(&ctx);
    return status;
}

extern "C" int ynet_check_yqss_client_magic(int fd, int check_version, int debug_fd, int *use_yqss,
                                            put_string_fn put_string, put_long_fn put_long) noexcept {
    int status =
        ynet_check_yqss_client_magic_with_info(fd, check_version, debug_fd, use_yqss, put_string, put_long, nullptr);
    return status == YN_STATUS_SUCCESS ? status : fail(status, "ynet_check_yqss_client_magic failed");
}

extern "C" int ynet_check_yqss_server_magic(int fd, int magic, int client_use_yqss, int debug_fd, int *is_magic,
                                            int *use_yqss, YssConInfo_t **ctx) noexcept {
    yq::ynet_private::BorrowedDebugFd borrowed(debug_fd);
    *is_magic = 1;
    int status = server_exchange(fd, magic, client_use_yqss, is_magic, use_yqss, ctx);
    if (status != YN_STATUS_SUCCESS) ynet_yqss_cleanup(ctx);
    return status;
}

extern "C" int ynet_setup_yqss_socket(int fd, const char *cred_path, int *use_yqss, YssConInfo_t **ctx) noexcept {
    *ctx = nullptr;
    if (*use_yqss == kNotUsed) return YN_STATUS_SUCCESS;
    open_debug_stream();
    auto *context = static_cast<YssConInfo_t *>(yq::sys::calloc(1, sizeof(YssConInfo_t)));
    if (context == nullptr) {
        note("calloc failed", nullptr, errno);
        return YN_STATUS_NO_MEMORY;
    }
    if (YssInit(kApiVersion, "", 0, context) != YSS_SUCCESS) {
        std::free(context->brokerHost);  // a failed initialisation leaves it to the caller
        std::free(context);
        return fatal_or_lowered(use_yqss, YN_STATUS_YQSS_FAILED, "YssInit() failed", "non-fatal YssInit() failed");
    }
    *ctx = context;
    int status = ynet_yqss_import_credential(cred_path, 0, context);
    if (status != YN_STATUS_SUCCESS)
        status = fatal_or_lowered(use_yqss, status, "ynet_yqss_import_credential() failed",
                                  "non-fatal ynet_yqss_import_credential() failed");
    if (status == YN_STATUS_SUCCESS && YssSetSocket(fd, context) != YSS_SUCCESS)
        status = fatal_or_lowered(use_yqss, YN_STATUS_YQSS_FAILED, "YssSetSocket() failed",
                                  "non-fatal YssSetSocket() failed");
    if (status != YN_STATUS_SUCCESS || *use_yqss == kNotUsed) ynet_yqss_cleanup(ctx);
    return status;
}

extern "C" int ynet_yqss_authenticate(int is_server, YssConInfo_t **ctx) noexcept {
    YssConInfo_t *context = ctx != nullptr ? *ctx : nullptr;
    const int yss = is_server ? YssAccept(context) : YssConnect(context);
    if (yss == YSS_SUCCESS) {
        if (is_server) return YN_STATUS_SUCCESS;
        int is_machine = 0;
        if (int status = check_if_machine_cred(context, 1, &is_machine); status != YN_STATUS_SUCCESS)
            return fail(status, "check_if_machine_cred failed");
        return is_machine ? YN_STATUS_SUCCESS : fail(YN_STATUS_YQSS_FAILED, "authenticated peer name is not a machine name");
    }
    note("YssAccept/Connect failed", nullptr, yss);
    if (CertInfo local; YssGetCertInfo(&local.info, context) == YSS_SUCCESS) {
        note("Local Cert Name      ", or_null(local.info.Name), 0);
        note("Local Cert Domain    ", or_null(local.info.Domain), 0);
        note("Local Cert ExpiryDate", or_null(local.info.ExpiryDate), 0);
        note("Local Cert IssuedBy  ", or_null(local.info.IssuedBy), 0);
    } else {
        note("YssGetCertInfo failed", nullptr, 0);
    }
    return YN_STATUS_YQSS_FAILED;
}

extern "C" void ynet_yqss_close(YssConInfo_t **ctx) noexcept {
    if (ctx != nullptr && *ctx != nullptr) YssClose(*ctx);
}

extern "C" void ynet_yqss_cleanup(YssConInfo_t **ctx) noexcept {
    if (ctx == nullptr || *ctx == nullptr) return;
    YssCleanUp(kApiVersion, *ctx);
    std::free(*ctx);
    *ctx = nullptr;
}

extern "C" int yqss_to_ynet_status(int yss_status) noexcept {
    return yss_status == YSS_SUCCESS ? YN_STATUS_SUCCESS : YN_STATUS_YQSS_FAILED;
}

extern "C" int check_if_machine_cred(YssConInfo_t *ctx, int dhcp_check, int *is_machine) noexcept {
    *is_machine = 0;
    CertInfo peer;
    if (int yss = YssGetPeerCertInfo(&peer.info, ctx); yss != YSS_SUCCESS) {
        note("YssGetPeerCertInfo failed", nullptr, yss);
        return YN_FAIL_STATUS(YN_STATUS_YQSS_FAILED);
    }
    const YssCertInfo &info = peer.info;
    if (info.Domain == nullptr || !std::string_view(info.Domain).starts_with(kMachinesDomain) ||
        info.AuthMode != kPrivateDomainMode)
        return YN_STATUS_SUCCESS;

    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getpeername(ctx->socket, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        note("getpeername errno", nullptr, errno);
        return YN_FAIL_STATUS(YN_STATUS_SOCKET_ERROR);
    }
    *is_machine = ynet_same_hostbynameaddr(info.Name, &address.sin_addr);
    YN_DEBUG_VALUE("authenticated peer machine name", or_null(info.Name), 0);
    char dotted[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &address.sin_addr, dotted, sizeof dotted);
    if (*is_machine) {
        YN_DEBUG_VALUE("matches network peer name", dotted, 0);
    } else {
        note("does not match network peer name", dotted, 0);
        if (dhcp_check) check_for_dhcp_override(info.Name, is_machine);
    }
    return YN_STATUS_SUCCESS;
}

extern "C" void check_for_dhcp_override(const char *name, int *is_machine) noexcept {
    *is_machine = 0;
    char path[kCredPathSize];
    struct stat st {};
    Y_snprintf(path, sizeof path, "%s%s%s", YQ_PATH_YQSS_CREDENTIALS, "/", "match_required.txt");
    if (yq::sys::stat(path, &st) == 0) {
        YN_DEBUG_VALUE("No DHCP check.  File exists.", path, 0);
        return;
    }
    Y_snprintf(path, sizeof path, "%s%s%s", YQ_PATH_YQSS_CREDENTIALS, "/", "no_match_required.txt");
    if (yq::sys::stat(path, &st) == 0) {
        *is_machine = 1;
        YN_DEBUG_VALUE("Assuming valid machine credential.  File exists", path, 0);
        return;
    }
    hostent *entry = nullptr;
    if (ynet_cached_gethostbyname(name, &entry) != YN_STATUS_SUCCESS) {
        *is_machine = 1;
        YN_DEBUG_VALUE("Assuming DHCP for machine name", or_null(name), 0);
        return;
    }
    ynet_free_hostent(&entry);
}

extern "C" int ynet_check_yqss_server_list(void *list, void *entry, YssConInfo_t **ctx) noexcept {
    if (ctx == nullptr || *ctx == nullptr || (list == nullptr && entry == nullptr)) return YN_STATUS_SUCCESS;
    int is_machine = 0;
    if (int status = check_if_machine_cred(*ctx, 0, &is_machine); status != YN_STATUS_SUCCESS)
        return fail(status, "check_if_machine_cred failed");
    if (is_machine) {
        ynet_yqss_cleanup(ctx);
        YN_DEBUG_VALUE("authenticated peer name is in SERVER list", nullptr, is_machine);
    } else {
        YN_DEBUG_VALUE("authenticated peer name is not in SERVER list", nullptr, is_machine);
    }
    return YN_STATUS_SUCCESS;
}
