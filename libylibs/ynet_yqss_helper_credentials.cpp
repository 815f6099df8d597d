// Credentials: importing a credential file into a security context (renewing
// an aging machine credential at its issuer's broker on the way), and user
// logins against the configured authentication domains, which leave the new
// credential in a file and name it to child processes.
#include <strings.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "crconf.h"
#include "ynet.h"
#include "ynet_private.h"
#include "ynet_yqss_helper_private.h"
#include "ynet_yqss_private.h"
#include "yq_memory.h"
#include "yq_sys.h"
#include "ystrings.h"
#include "yss_auth.h"

namespace {

constexpr const char *kModule = "ynet_yqss_helper";

using yq::report::Where;

constexpr int kApiVersion = 3;
constexpr int kPathSize = 1025;
constexpr int kNameSize = 257;
// A credential file changed within this many seconds is trusted as it is.
constexpr time_t kCredentialAgeLimit = 604800;
constexpr int kDefaultBrokerPort = 2821;
constexpr const char *kCredentialVariable = "YQSS_CREDENTIAL_PATH";

using yq::ynet_yqss_helper::crconf_info;  // the module's one configuration record

// "YQSS_CREDENTIAL_PATH=file": putenv keeps the pointer, so the entry lives
// here for as long as the environment holds it.
char credential_variable[1089];

// ---------------------------------------------------------------- reports

// A failed step: its result under `label`, at level 0.
int failed(const char *label, int result, const Where &where = Where::current()) {
    return yq::report::fail(kModule, result, label, where);
}

// A detail of a failure, at level 0.
void detail(const char *label, const char *text, int number = 0, const Where &where = Where::current()) {
    yq::report::value(kModule, label, text, number, 0, where);
}

const char *or_null(const char *text) { return text != nullptr ? text : "NULL"; }

void where_broker(const char *broker, int port, const Where &where = Where::current()) {
    detail("Broker", or_null(broker), 0, where);
    detail("Port", nullptr, port, where);
}

int load_configuration(const Where &where = Where::current()) {
    const int status = crconf_get_info(&crconf_info);
    if (status == 0) return 0;
    failed("crconf_get_info failed", status, where);
    return yq::ynet_yqss::from_crconf_status(status);
}

bool prohibited(const Where &where = Where::current()) {
    if (crconf_info->ni_use_yqss != 2) return false;
    yq::report::value(kModule, "Ignoring YqSS", "USE_YQSS = PROHIBITED", 0, 4, where);
    return true;
}

// Completes a record that names no authentication domains.
int with_domains(const Where &where = Where::current()) {
    if (crconf_info->ni_authentication_domains != nullptr) return 0;
    const int status = ynet_normalize_security_info(crconf_info);
    return status == 0 ? 0 : failed("ynet_normalize_security_info failed", status, where);
}

// ---------------------------------------------------------------- mechanisms

// What a domain's authentication type means for a login.
struct Mechanism {
    int mode;          // passed to YssAuthenticate
    bool named_domain; // the domain's name goes with the request
    int java_pass;     // pass of ynet_yqss_java_login that tries it; 0 never
                       // (which sends the domain's name with every mechanism)
};

constexpr Mechanism kMechanisms[] = {
    {YSS_AUTH_NIS, true, 1},      // 0 "nis"
    {YSS_AUTH_NISPLUS, true, 1},  // 1 "nisplus"
    {YSS_AUTH_UNIXPWD, false, 2}, // 2 "unixpwd"
    {YSS_AUTH_YQ, true, 0},       // 3 "yq", the private domain
    {YSS_AUTH_NT, true, 0},       // 4 "nt"
};

const Mechanism *mechanism_of(int auth_type, const Where &where = Where::current()) {
    if (auth_type >= 0 && auth_type < static_cast<int>(std::size(kMechanisms))) return &kMechanisms[auth_type];
    yq::report::value(kModule, "Unknown auth type", nullptr, auth_type, 0, where);
    return nullptr;
}

bool same_name(const char *a, const char *b) { return a != nullptr && b != nullptr && ::strcasecmp(a, b) == 0; }

// ---------------------------------------------------------------- owners

// A security context that is cleaned up when it was initialised.
class Session {
public:
    Session() = default;
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
    ~Session() { clean_up(); }

    YssConInfo_t *get() { return &ctx_; }
    YssStatus init(const char *broker, int port) {
        clean_up();
        ctx_ = YssConInfo_t{};
        const YssStatus status = YssInit(kApiVersion, broker, port, &ctx_);
        initialized_ = status == YSS_SUCCESS;
        if (!initialized_) {  // a failed initialisation leaves the broker text to the caller
            std::free(ctx_.brokerHost);
            ctx_.brokerHost = nullptr;
        }
        return status;
    }
    void clean_up() {
        if (initialized_) YssCleanUp(kApiVersion, &ctx_);
        initialized_ = false;
    }

private:
    YssConInfo_t ctx_{};
    bool initialized_ = false;
};

struct CertInfo : YssCertInfo {
    CertInfo() : YssCertInfo{} {}
    CertInfo(const CertInfo &) = delete;
    CertInfo &operator=(const CertInfo &) = delete;
    ~CertInfo() { FreeYssCertInfo(this); }
};

// The fields of the context's own certificate, once a login succeeded.
void report_certificate(YssConInfo_t *ctx, const Where &where = Where::current()) {
    CertInfo info;
    const YssStatus status = YssGetCertInfo(&info, ctx);
    if (status != YSS_SUCCESS) {
        failed("YssGetCertInfo failed", status, where);
        return;
    }
    yq::report::value(kModule, "Cert name", or_null(info.Name), 0, 4, where);
    yq::report::value(kModule, "Cert Domain", or_null(info.Domain), 0, 4, where);
    yq::report::value(kModule, "Expiry date", or_null(info.ExpiryDate), 0, 4, where);
    yq::report::value(kModule, "Issued by", or_null(info.IssuedBy), 0, 4, where);
    yq::report::value(kModule, "Auth type", nullptr, info.AuthMode, 4, where);
}

// ---------------------------------------------------------------- renewal

// The issuer's broker: in "/OU=unit@HOST/..." the text after the first at
// sign that follows "/OU=", up to the next "/"; empty when there is none.
std::string_view issuer_broker(const char *issued_by) {
    const std::string_view text = issued_by != nullptr ? issued_by : "";
    const size_t unit = text.find("/OU=");
    if (unit == std::string_view::npos) return {};
    const size_t at = text.find('@', unit);
    if (at == std::string_view::npos) return {};
    const std::string_view rest = text.substr(at + 1);
    return rest.substr(0, rest.find('/'));
}

// YssCredRenew at (broker, port), the context's own broker put back after.
YssStatus renew_at(YssConInfo_t *ctx, char *broker, int port) {
    char *const saved_host = ctx->brokerHost;
    const unsigned saved_port = ctx->brokerPort;
    ctx->brokerHost = broker;
    ctx->brokerPort = static_cast<unsigned>(port);
    const YssStatus status = YssCredRenew(ctx);
    ctx->brokerHost = saved_host;
    ctx->brokerPort = saved_port;
    return status;
}

// Renews a machine credential of `domain` issued by `broker`: at each
// private domain of that name served by that broker, the default port at
// most once, and at the default port when no entry led there.
int renew_machine_credential(YssConInfo_t *ctx, const char *domain, char *broker) {
    bool default_tried = false;
    for (const crconf_authentication_domain_rec *d = crconf_info->ni_authentication_domains; d != nullptr;
         d = d->ad_next) {
        if (d->ad_auth_type != 3 || d->ad_domain == nullptr || d->ad_broker == nullptr) continue;
        if (!same_name(d->ad_domain, domain) || !ynet_same_hostbyname(d->ad_broker, broker)) continue;
        const bool default_port = d->ad_port == 0 || d->ad_port == kDefaultBrokerPort;
        if (default_port && default_tried) continue;
        const YssStatus status = renew_at(ctx, broker, default_port ? kDefaultBrokerPort : d->ad_port);
        if (status == YSS_SUCCESS) return 0;
        failed("YssCredRenew failed", status);
        default_tried = default_tried || default_port;
    }
    if (!default_tried) {
        const YssStatus status = renew_at(ctx, broker, kDefaultBrokerPort);
        if (status == YSS_SUCCESS) return 0;
        failed("YssCredRenew failed", status);
    }
    return YN_STATUS_YQSS_FAILED;
}

// The login loop of ynet_yqss_check_user_cred: the first domain (of the
// requested name, when one is) at which `user` logs in leaves its credential
// in `session`.
int log_in_anywhere(Session &session, const char *domain, const char *user, const char *password,
                    int get_root_cert) {
    int status = YN_STATUS_NO_CREDENTIALS;
    for (const crconf_authentication_domain_rec *d = crconf_info->ni_authentication_domains; d != nullptr;
         d = d->ad_next) {
        const Mechanism *mechanism = mechanism_of(d->ad_auth_type);
        if (mechanism == nullptr || d->ad_domain == nullptr || d->ad_broker == nullptr) continue;
        if (domain != nullptr && !same_name(domain, d->ad_domain)) continue;
        YssStatus result = session.init(d->ad_broker, d->ad_port);
        if (result != YSS_SUCCESS) {
            failed("YssInit failed", result);
            where_broker(d->ad_broker, d->ad_port);
            status = YN_STATUS_YQSS_FAILED;
            continue;
        }
        if (get_root_cert && (result = YssGetRootCert(nullptr, 0, session.get())) != YSS_SUCCESS) {
            failed("YssGetRootCert failed", result);
            where_broker(d->ad_broker, d->ad_port);
            session.clean_up();
            status = YN_STATUS_YQSS_FAILED;
            continue;
        }
        const char *name = mechanism->named_domain ? d->ad_domain : nullptr;
        result = YssAuthenticate(user, static_cast<unsigned>(std::strlen(user)), password,
                                 static_cast<unsigned>(std::strlen(password)), name,
                                 name != nullptr ? static_cast<int>(std::strlen(name)) : 0, mechanism->mode,
                                 session.get());
        if (result == YSS_SUCCESS) return 0;
        failed("YssAuthenticate failed", result);
        detail("User name", user);
        detail("Domain name", or_null(name));
        detail("Auth mode", nullptr, mechanism->mode);
        where_broker(d->ad_broker, d->ad_port);
        session.clean_up();
        status = YN_STATUS_YQSS_FAILED;
    }
    return status;
}

// Leaves the logged-in credential where this user's programs look for it:
// the file the environment names, else the user's own credential file.
int store_user_credential(YssConInfo_t *ctx) {
    if (const char *named = std::getenv(kCredentialVariable); named != nullptr) {
        const YssStatus result = YssExportCredential(named, ctx);
        if (result == YSS_SUCCESS) return 0;
        failed("YssExportCredential failed", result);
        detail(kCredentialVariable, named);
    }
    char path[kPathSize];
    const int status = ynet_check_yqss_user_directory(path, sizeof path);
    if (status != 0) {
        failed("ynet_check_yqss_user_directory failed", status);
        return YN_FAIL_STATUS(YN_STATUS_YQSS_FAILED);
    }
    Y_strlcat(path, "/credentials", sizeof path);
    const YssStatus result = YssExportCredential(path, ctx);
    if (result == YSS_SUCCESS) return 0;
    failed("YssExportCredential failed", result);
    detail("User yqss credential path", path);
    return YN_STATUS_YQSS_FAILED;
}

}  // namespace

extern "C" int ynet_yqss_import_credential(const char *cred_path, int check_expiry, YssConInfo_t *ctx) noexcept {
    YssStatus result = YssImportCredential(cred_path, ctx);
    if (result != YSS_SUCCESS) {
        failed("YssImportCredential failed", result);
        detail("credential path", or_null(cred_path));
        return YN_STATUS_YQSS_FAILED;
    }
    struct stat st{};
    if (yq::sys::stat(cred_path, &st) == 0) {
        if (st.st_mtime + kCredentialAgeLimit > yq::sys::time(nullptr)) return 0;
    } else {
        detail("stat failed", nullptr, errno);
        detail("credential path", cred_path);
    }
    CertInfo info;
    if ((result = YssGetCertInfo(&info, ctx)) != YSS_SUCCESS) {
        failed("YssGetCertInfo failed", result);
        return YN_STATUS_YQSS_FAILED;
    }
    if (info.AuthMode != YSS_AUTH_YQ) {
        if (check_expiry) {
            detail("Assuming credential expired with expiry", or_null(info.ExpiryDate));
            return YN_STATUS_NO_CREDENTIALS;
        }
        YN_DEBUG_VALUE("Assuming credential OK with expiry", or_null(info.ExpiryDate), 0);
        return 0;
    }
    // A machine credential: renewed at the broker that issued it.
    yq::unique_malloc<char> domain(yq::sys::strdup(info.Domain != nullptr ? info.Domain : ""));
    if (!domain) {
        detail("strdup failed", nullptr, errno);
        return YN_FAIL_STATUS(YN_STATUS_NO_MEMORY);
    }
    const std::string_view issuer = issuer_broker(info.IssuedBy);
    if (issuer.data() == nullptr) {
        detail("Bad IssuedBy", or_null(info.IssuedBy));
        return YN_FAIL_STATUS(YN_STATUS_NO_CREDENTIALS);
    }
    yq::unique_malloc<char> broker(yq::sys::strndup(issuer.data(), issuer.size()));
    if (!broker) {
        detail("strdup failed", nullptr, errno);
        return YN_FAIL_STATUS(YN_STATUS_NO_MEMORY);
    }
    if (int status = load_configuration(); status != 0) return status;
    if (int status = with_domains(); status != 0) return status;
    if (renew_machine_credential(ctx, domain.get(), broker.get()) != 0) {
        detail("cannot renew credential", cred_path);
        return YN_FAIL_STATUS(YN_STATUS_YQSS_FAILED);
    }
    if ((result = YssExportCredential(cred_path, ctx)) != YSS_SUCCESS) {
        failed("YssExportCredential failed", result);
        return YN_STATUS_YQSS_FAILED;
    }
    YN_DEBUG_LEVEL("Credential renewed for file", cred_path, 0, 2);
    return 0;
}

extern "C" int ynet_yqss_check_user_cred(const char *domain, const char *user, const char *password,
                                         int get_root_cert) noexcept {
    if (int status = load_configuration(); status != 0) return status;
    if (prohibited()) return 0;
    Session session;
    char path[kPathSize];
    int status = ynet_get_credential_path(-1, path, sizeof path);
    if (status != 0) {
        failed("ynet_get_credential_path failed", status);
    } else if (path[0] != '\0') {
        const YssStatus result = session.init("", 0);
        if (result != YSS_SUCCESS) return failed("YssInit failed", result), YN_STATUS_YQSS_FAILED;
        status = ynet_yqss_import_credential(path, 1, session.get());
        if (status == 0) {
            report_certificate(session.get());
            return 0;
        }
        failed("ynet_yqss_import_credential failed", status);
        detail("credential file", path);
        session.clean_up();
    }
    if (user == nullptr || password == nullptr) {
        detail("No user_name or password", nullptr, 0);
        return YN_FAIL_STATUS(YN_STATUS_NO_CREDENTIALS);
    }
    if ((status = with_domains()) != 0) return status;
    if ((status = log_in_anywhere(session, domain, user, password, get_root_cert)) != 0)
        return YN_FAIL_STATUS(status);
    if ((status = store_user_credential(session.get())) == 0) report_certificate(session.get());
    return status;
}

extern "C" int ynet_yqss_change_user(const char *domain, int mechanism, const char *broker, int port,
                                     const char *user, const char *password, const char *cred_file,
                                     int get_root_cert) noexcept {
    Session session;
    YssStatus result = session.init(broker, port);
    if (result != YSS_SUCCESS) {
        failed("YssInit failed", result);
        where_broker(broker, port);
        return YN_STATUS_YQSS_FAILED;
    }
    if (get_root_cert && (result = YssGetRootCert(nullptr, 0, session.get())) != YSS_SUCCESS) {
        failed("YssGetRootCert failed", result);
        where_broker(broker, port);
        return YN_STATUS_YQSS_FAILED;
    }
    auto length = [](const char *text) { return text != nullptr ? std::strlen(text) : 0; };
    result = YssAuthenticate(user, static_cast<unsigned>(length(user)), password,
                             static_cast<unsigned>(length(password)), domain, static_cast<int>(length(domain)),
                             mechanism, session.get());
    if (result != YSS_SUCCESS) {
        failed("YssAuthenticate failed", result);
        detail("User name", or_null(user));
        detail("Domain name", or_null(domain));
        detail("Auth mode", nullptr, mechanism);
        where_broker(broker, port);
        return YN_STATUS_YQSS_FAILED;
    }
    if ((result = YssExportCredential(cred_file, session.get())) != YSS_SUCCESS) {
        failed("YssExportCredential failed", result);
        detail("Temporary file path", or_null(cred_file));
        return YN_STATUS_YQSS_FAILED;
    }
    Y_snprintf(credential_variable, sizeof credential_variable, "%s=%s", kCredentialVariable, cred_file);
    if (::putenv(credential_variable) != 0) {
        detail("putenv failed", nullptr, errno);
        return YN_FAIL_STATUS(YN_STATUS_NO_MEMORY);
    }
    report_certificate(session.get());
    return 0;
}

extern "C" int ynet_yqss_java_login(const char *user, const char *password, const char *cred_file,
                                    int get_root_cert) noexcept {
    if (int status = load_configuration(); status != 0) return status;
    if (prohibited()) return YN_STATUS_YQSS_REFUSED;
    // "DOMAIN\name" asks for that domain.
    yq::unique_malloc<char> requested;
    const char *name = user;
    if (const char *slash = user != nullptr ? std::strchr(user, '\\') : nullptr; slash != nullptr) {
        requested.reset(yq::sys::strndup(user, static_cast<size_t>(slash - user)));
        if (!requested) {
            detail("strdup failed", nullptr, errno);
            return YN_FAIL_STATUS(YN_STATUS_NO_MEMORY);
        }
        name = slash + 1;
    }
    // The last login of this user, tried first.
    char cached_domain[kNameSize];
    char cached_broker[kNameSize];
    char cached_user[kNameSize];
    int cached_mechanism = 0;
    int cached_port = 0;
    Y_strlcpy(cached_user, name != nullptr ? name : "", sizeof cached_user);
    int status = ynet_yqss_get_login_cache(cached_domain, kNameSize, &cached_mechanism, cached_broker, kNameSize,
                                           &cached_port, cached_user, kNameSize);
    if (status != 0) {
        YN_DEBUG_LEVEL("ynet_yqss_get_login_cache failed", nullptr, status,
                       status == YN_STATUS_FILE_OPEN_FAILED ? 4 : 0);
    } else if (!requested || same_name(requested.get(), cached_domain)) {
        status = ynet_yqss_change_user(cached_domain[0] != '\0' ? cached_domain : nullptr, cached_mechanism,
                                       cached_broker, cached_port, name, password, cred_file, get_root_cert);
        if (status == 0) return 0;
        failed("ynet_yqss_change_user failed", status);
    }
    if ((status = with_domains()) != 0) return status;
    for (int pass = 1; pass <= 2; ++pass) {
        status = YN_STATUS_NO_CREDENTIALS;
        for (const crconf_authentication_domain_rec *d = crconf_info->ni_authentication_domains; d != nullptr;
             d = d->ad_next) {
            const Mechanism *mechanism = mechanism_of(d->ad_auth_type);
            if (mechanism == nullptr || mechanism->java_pass != pass || d->ad_broker == nullptr) continue;
            if (requested && !same_name(requested.get(), d->ad_domain)) continue;
            const char *domain = name != nullptr ? d->ad_domain : nullptr;
            status = ynet_yqss_change_user(domain, mechanism->mode, d->ad_broker, d->ad_port, name, password,
                                           cred_file, get_root_cert);
            if (status != 0) {
                failed("ynet_yqss_change_user failed", status);
                continue;
            }
            const int cached = ynet_yqss_set_login_cache(domain, mechanism->mode, d->ad_broker, d->ad_port, name);
            if (cached != 0) failed("ynet_yqss_set_login_cache failed", cached);
            return 0;
        }
    }
    detail("Unable to YqSS login", nullptr, status);
    return YN_FAIL_STATUS(status);
}
