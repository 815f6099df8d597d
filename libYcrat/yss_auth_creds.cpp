// Credentials and certificates: logging a principal in at the broker,
// fetching, renewing, exporting and importing credentials, reading the
// certificate information of a credential, and the broker roots this host
// trusts. Each operation guards the record, calls the library and maps its
// result through the operation's table.
#include <ace/OS_NS_stdio.h>
#include <ace/OS_NS_sys_stat.h>
#include <ace/OS_NS_unistd.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>

#include "ystrings.h"
#include "ytext.h"
#include "yq_memory.h"
#include "yq_sys.h"
#include "yss_auth_results.h"

using namespace yq::yss;

namespace yq::yss {

YssStatus settle(int result, ResultTable table, const char *label, const char *function, Where where) noexcept {
    YssStatus status = lookup(table, result);
    if (status < 0) {
        note_unhandled(label, result, function, where);
        status = YSS_LIBRARY_FAILURE;
    }
    return status == YSS_SUCCESS ? status : fail(status, function, where);
}

}  // namespace yq::yss

namespace {

constexpr const char kAuthUnhandled[] = "YORBat: Authenticate returned unhandled error";
constexpr const char kFetchUnhandled[] = "YORBat: GetCredentials returned unhandled error";
constexpr const char kExportUnhandled[] = "YORBat: ExportCredential returned unhandled error";
constexpr const char kImportUnhandled[] = "YORBat: ImportCredential returned unhandled error";
constexpr const char kCertUnhandled[] = "YORBat: FindPDPrincipal returned unhandled error";
constexpr const char kExportPrefix[] = "YqSS";
constexpr char kAtSign = '@';

constexpr ResultTable kAuthenticate = {
    {YORBAT_OK, YSS_SUCCESS},
    {YORBAT_NOT_INITIALIZED, YSS_LIBRARY_FAILURE},
    {YORBAT_INTERNAL_FAILURE, YSS_LIBRARY_FAILURE},
    {YORBAT_INVALID_ARGUMENT, YSS_INVALID_PARAMETER},
    {YORBAT_NO_MEMORY, YSS_NO_MEMORY},
    {YORBAT_NOT_FOUND_ON_DISK, YSS_FILE_OPEN_FAILED},
    {YORBAT_CREDENTIAL_EXPIRED, YSS_FILE_OPEN_FAILED},
    {YORBAT_CREDENTIAL_MALFORMED, YSS_FILE_OPEN_FAILED},
    {YORBAT_BROKER_UNREACHABLE, YSS_SERVER_UNREACHABLE},
    {YORBAT_PEER_NOT_TRUSTED, YSS_PEER_NOT_TRUSTED},
    {YORBAT_BROKER_NOT_TRUSTED, YSS_PEER_NOT_TRUSTED},
    {YORBAT_MECHANISM_UNSUPPORTED, YSS_AUTH_TYPE_UNSUPPORTED},
    {YORBAT_BAD_LOGIN, YSS_BAD_LOGIN},
    {YORBAT_NO_CREDENTIAL_RECEIVED, YSS_BROKER_CREDENTIAL_NOT_RECEIVED},
};

// Clearing the credential store: reported, never decisive.
constexpr ResultTable kClearStore = {
    {YORBAT_OK, YSS_SUCCESS},
    {YORBAT_INVALID_ARGUMENT, YSS_INVALID_PARAMETER},
    {YORBAT_NO_MEMORY, YSS_NO_MEMORY},
    {YORBAT_STORE_EMPTY, YSS_FILE_NOT_FOUND},
};

constexpr ResultTable kFetch = {
    {YORBAT_OK, YSS_SUCCESS},
    {YORBAT_NOT_INITIALIZED, YSS_SUCCESS},
    {YORBAT_INVALID_ARGUMENT, YSS_INVALID_PARAMETER},
    {YORBAT_NO_MEMORY, YSS_NO_MEMORY},
    {YORBAT_NOT_FOUND_ON_DISK, YSS_FILE_NOT_FOUND},
    {YORBAT_PERMISSION_DENIED, YSS_CREDENTIAL_INVALID},
    {YORBAT_CONFIGURATION_DAMAGED, YSS_CONFIGURATION_DAMAGED},
};

constexpr ResultTable kRenew = {
    {YORBAT_OK, YSS_SUCCESS},
    {YORBAT_NOT_INITIALIZED, YSS_LIBRARY_FAILURE},
    {YORBAT_INTERNAL_FAILURE, YSS_LIBRARY_FAILURE},
    {YORBAT_MECHANISM_UNSUPPORTED, YSS_LIBRARY_FAILURE},
    {YORBAT_INVALID_ARGUMENT, YSS_INVALID_PARAMETER},
    {YORBAT_NO_MEMORY, YSS_NO_MEMORY},
    {YORBAT_NOT_FOUND_ON_DISK, YSS_FILE_OPEN_FAILED},
    {YORBAT_BAD_LOGIN, YSS_FILE_OPEN_FAILED},
    {YORBAT_CREDENTIAL_EXPIRED, YSS_FILE_OPEN_FAILED},
    {YORBAT_CREDENTIAL_MALFORMED, YSS_FILE_OPEN_FAILED},
    {YORBAT_BROKER_UNREACHABLE, YSS_SERVER_UNREACHABLE},
    {YORBAT_BROKER_NOT_TRUSTED, YSS_PEER_NOT_TRUSTED},
    {YORBAT_NOT_RENEWABLE, YSS_AUTH_TYPE_UNSUPPORTED},
};

// Export and import share one table.
constexpr ResultTable kTransfer = {
    {YORBAT_OK, YSS_SUCCESS},
    {YORBAT_INVALID_ARGUMENT, YSS_INVALID_PARAMETER},
    {YORBAT_NO_MEMORY, YSS_NO_MEMORY},
    {YORBAT_NOT_FOUND_ON_DISK, YSS_CREDENTIAL_INVALID},
    {YORBAT_PERMISSION_DENIED, YSS_CREDENTIAL_INVALID},
    {YORBAT_CREDENTIAL_UNREADABLE, YSS_CREDENTIAL_INVALID},
    {YORBAT_NO_PRIVATE_KEY, YSS_CREDENTIAL_INVALID},
    {YORBAT_CREDENTIAL_NOT_YET_VALID, YSS_CREDENTIAL_INVALID},
    {YORBAT_CREDENTIAL_REVOKED, YSS_CREDENTIAL_INVALID},
    {YORBAT_PEER_NOT_TRUSTED, YSS_PEER_NOT_TRUSTED},
};

// Certificate information and the enumeration of roots.
constexpr ResultTable kCertInfo = {
    {YORBAT_OK, YSS_SUCCESS},
    {YORBAT_NOT_INITIALIZED, YSS_LIBRARY_FAILURE},
    {YORBAT_CONFIGURATION_DAMAGED, YSS_LIBRARY_FAILURE},
    {YORBAT_PRINCIPAL_DELETE_FAILED, YSS_LIBRARY_FAILURE},
    {YORBAT_NOT_A_CERTIFICATE, YSS_LIBRARY_FAILURE},
    {YORBAT_INVALID_ARGUMENT, YSS_INVALID_PARAMETER},
    {YORBAT_NO_MEMORY, YSS_NO_MEMORY},
    {YORBAT_PEER_NOT_TRUSTED, YSS_PEER_NOT_TRUSTED},
    {YORBAT_BROKER_NOT_TRUSTED, YSS_PEER_NOT_TRUSTED},
    {YORBAT_PERMISSION_DENIED, YSS_CREDENTIAL_INVALID},
    {YORBAT_CREDENTIAL_EXPIRED, YSS_CREDENTIAL_INVALID},
};

constexpr ResultTable kTrust = {
    {YORBAT_OK, YSS_SUCCESS},
    {YORBAT_INVALID_ARGUMENT, YSS_INVALID_PARAMETER},
    {YORBAT_NO_MEMORY, YSS_NO_MEMORY},
    {YORBAT_BROKER_UNREACHABLE, YSS_SERVER_UNREACHABLE},
    {YORBAT_BROKER_NOT_TRUSTED, YSS_PEER_NOT_TRUSTED},
    {YORBAT_PERMISSION_DENIED, YSS_BROKER_CREDENTIAL_FAILED},
    {YORBAT_TRUST_STORE_FAILED, YSS_BROKER_CREDENTIAL_FAILED},
    {YORBAT_ROOT_REJECTED, YSS_BROKER_CREDENTIAL_FAILED},
    {YORBAT_BROKER_REFUSED, YSS_BROKER_CREDENTIAL_FAILED},
};

using Text = yq::unique_malloc<char>;

// A zero-filled buffer of `size` bytes holding at most `length` characters
// of the counted text `text`.
Text counted_copy(const char *text, size_t length, size_t size) noexcept {
    Text copy(static_cast<char *>(yq::sys::calloc(size, 1)));
    if (copy) Y_strlncpy(copy.get(), text, length, size);
    return copy;
}

// Releases the record's own credential the way it was made.
void release_credential(YssConInfo_t *record) noexcept {
    if (record->credential == nullptr) return;
    if (record->credentialFromLibrary == 1)
        entries.yorbAtFree(record->credential);
    else
        std::free(record->credential);
    record->credential = nullptr;
}

// ---------------------------------------------------------- authenticate

// The principal request of a login and the copies it points to.
struct Login {
    Text name, password, domain;
    yorbat_principal_request request{};
};

// The domain of a "yq" login without an at sign is the qualified name the
// registry holds for it, else the domain as given.
Text login_domain(const char *domain, int length, int mode, YssConInfo_t *record) noexcept {
    const size_t count = static_cast<size_t>(length);
    Text given = counted_copy(domain, count, count + 2);
    if (!given || mode != YSS_AUTH_YQ || std::strchr(given.get(), kAtSign) != nullptr) return given;
    Text qualified(static_cast<char *>(yq::sys::calloc(count + 1029, 1)));
    if (!qualified) return qualified;
    if (YssGetFQPrivateDomainName(given.get(), qualified.get(), static_cast<unsigned>(count + 1027), record) != 0)
        Y_strlcpy(qualified.get(), given.get(), count + 1028);
    return qualified;
}

YssStatus build_login(Login &login, const char *name, unsigned nameLength, const char *password,
                      unsigned passwordLength, const char *domain, int domainLength, int mode,
                      YssConInfo_t *record) noexcept {
    YssGetAuthString(mode, &login.request.mechanism);
    if (name && nameLength > 0 && !(login.name = counted_copy(name, nameLength, nameLength + 2ul)))
        return YSS_NO_MEMORY;
    if (password && passwordLength > 0 &&
        !(login.password = counted_copy(password, passwordLength, passwordLength + 2ul)))
        return YSS_NO_MEMORY;
    if (domain && !(login.domain = login_domain(domain, domainLength, mode, record))) return YSS_NO_MEMORY;
    login.request.name = login.name.get();
    login.request.password = login.password.get();
    login.request.domain = login.domain.get();
    return YSS_SUCCESS;
}

// Which combinations of name, password and domain a mode accepts.
bool login_arguments_fit(bool named, bool with_password, bool with_domain, int mode) noexcept {
    if (mode < YSS_AUTH_NT || mode > YSS_AUTH_LOCALHOST) return false;
    if (mode == YSS_AUTH_NT && !with_domain && (named || with_password)) return false;
    if (mode == YSS_AUTH_LOCALHOST && named != with_password) return false;
    return mode != YSS_AUTH_YQ || with_domain;
}

// A mode-1 login without name, password or domain first empties the store.
void clear_store(Login &login, YssConInfo_t *record, const char *function) noexcept {
    yorbat_broker_address broker = broker_of(record);
    int result = entries.yorbAtDeleteCredentialsFromStore(record->atContext, &login.request, &broker);
    settle(result, kClearStore, kAuthUnhandled, function);
}

// ---------------------------------------------------------- export

// The directory an export's temporary file goes to: the text before the
// last "/", or the whole path when it has none.
Text export_directory(const char *path) noexcept {
    const char *slash = std::strrchr(path, '/');
    return Text(slash ? yq::sys::strndup(path, static_cast<size_t>(slash - path)) : yq::sys::strdup(path));
}

// Writes `bytes` to a new temporary file beside `path` and renames it into
// place: synced, given the attributes of a file it replaces, the directory
// synced after. The temporary file never outlives a failure.
bool write_atomically(const char *path, const char *bytes, size_t count) noexcept {
    Text dir = export_directory(path);
    Text temp(dir ? ACE_OS::tempnam(dir.get(), kExportPrefix) : nullptr);
    if (!temp) return false;
    yq::unique_fd fd(yq::sys::open(temp.get(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR));
    yq::unique_file stream = fd ? yq::take_fdopen(fd, "wt") : yq::unique_file();
    if (!stream) return false;
    bool written = std::fwrite(bytes, 1, count, stream.get()) == count && std::fflush(stream.get()) == 0 &&
                   yq::sys::fsync(fileno(stream.get())) == 0;
    written = std::fclose(stream.release()) == 0 && written;
    struct stat existing{};
    if (written && yq::sys::stat(path, &existing) == 0) written = ytext_copy_attrs(path, temp.get()) == 0;
    if (!written || ACE_OS::rename(temp.get(), path) != 0) {
        ACE_OS::unlink(temp.get());
        return false;
    }
    yq::unique_fd dir_fd(yq::sys::open(dir.get(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir_fd) yq::sys::fsync(dir_fd.get());
    return true;
}

// ---------------------------------------------------------- import

// The whole of an open regular file, read with one read; the status says why not.
YssStatus read_whole_file(int fd, Text &bytes, int &count) noexcept {
    ACE_stat st{};
    if (ACE_OS::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return YSS_INVALID_PARAMETER;
    const size_t size = static_cast<size_t>(st.st_size);
    bytes.reset(static_cast<char *>(yq::sys::calloc(size + 1, 1)));
    if (!bytes) return YSS_NO_MEMORY;
    ssize_t got = ACE_OS::read(fd, bytes.get(), size);
    if (got < 1) {
        bytes.reset();
        return YSS_FILE_OPEN_FAILED;
    }
    count = static_cast<int>(got);
    return YSS_SUCCESS;
}

// A credential file's bytes; the descriptor is closed on every path.
YssStatus read_credential_file(const char *path, Text &bytes, int &count) noexcept {
    const int fd = path ? yq::sys::open(path, O_RDONLY | O_CLOEXEC) : -1;
    if (fd < 0) return YSS_FILE_OPEN_FAILED;
    const YssStatus status = read_whole_file(fd, bytes, count);
    ACE_OS::close(fd);
    return status;
}

// ---------------------------------------------------------- certificates

bool cert_info_empty(const YssCertInfo *info) noexcept {
    return !info->Name && !info->Domain && !info->ExpiryDate && !info->IssuedBy;
}

// Fills `info` from the words of the library's information.
YssStatus fill_cert_info(YssCertInfo *info, const yorbat_word *words) noexcept {
    const auto *principal = static_cast<const yorbat_word *>(words[YORBAT_INFO_PRINCIPAL]);
    const char *texts[] = {word_text(principal, YORBAT_PRINCIPAL_NAME), word_text(principal, YORBAT_PRINCIPAL_DOMAIN),
                           word_text(words, YORBAT_INFO_EXPIRY), word_text(words, YORBAT_INFO_ISSUER)};
    char **fields[] = {&info->Name, &info->Domain, &info->ExpiryDate, &info->IssuedBy};
    for (size_t i = 0; i < std::size(fields); ++i) {
        if (texts[i] && !(*fields[i] = yq::sys::strdup(texts[i]))) {
            FreeYssCertInfo(info);
            return YSS_NO_MEMORY;
        }
    }
    YssGetAuthMode(word_text(principal, YORBAT_PRINCIPAL_MECHANISM), &info->AuthMode);
    return YSS_SUCCESS;
}

// The certificate-information routine, reporting as `function`.
YssStatus cert_info(YssCertInfo *info, const char *credential, YssConInfo_t *record, const char *function,
                    Where where) noexcept {
    if (YssStatus status = guard(record, function, 0, where, entries.yorbAtExtractInfo, entries.yorbAtFree))
        return status;
    if (info == nullptr || !cert_info_empty(info)) return YSS_INVALID_PARAMETER;
    yorbat_word *words = nullptr;
    int result = entries.yorbAtExtractInfo(record->atContext, credential, &words);
    YssStatus status = lookup(kCertInfo, result);
    if (status < 0) {
        note_unhandled(kCertUnhandled, result, function, where);
        status = YSS_LIBRARY_FAILURE;
    }
    if (status == YSS_SUCCESS && words) status = fill_cert_info(info, words);
    if (words) {
        entries.yorbAtFree(words);
        note("freed", "Cred", function, where);
    }
    return status == YSS_SUCCESS ? status : fail(status, function, where);
}

void free_cert_infos(YssCertInfo *certs, int count) noexcept {
    for (int i = 0; i < count; ++i) FreeYssCertInfo(&certs[i]);
    std::free(certs);
}

// The enumeration of roots, reporting as `function`.
YssStatus enum_roots(YssCertInfo **certs, int *count, char ***rootList, YssConInfo_t *record, const char *function,
                     Where where) noexcept {
    if (YssStatus status = guard(record, function, 0, where, entries.yorbAtGetTrustedRootCredentials)) return status;
    if (certs == nullptr || *certs != nullptr || count == nullptr || rootList == nullptr)
        return YSS_INVALID_PARAMETER;
    *count = 0;
    int n = 0;
    int result = entries.yorbAtGetTrustedRootCredentials(record->atContext, rootList, &n);
    if (YssStatus status = settle(result, kCertInfo, kCertUnhandled, function, where)) return status;
    if (n <= 0 || *rootList == nullptr) return YSS_SUCCESS;
    auto *filled = static_cast<YssCertInfo *>(yq::sys::calloc(static_cast<size_t>(n), sizeof(YssCertInfo)));
    if (filled == nullptr) return fail(YSS_NO_MEMORY, function, where);
    for (int i = 0; i < n; ++i) {
        if (YssStatus status = cert_info(&filled[i], (*rootList)[i], record, function, where)) {
            free_cert_infos(filled, i);
            return status;
        }
    }
    *certs = filled;
    *count = n;
    return YSS_SUCCESS;
}

// Does the root's domain "FIRST@SECOND[@...]" have a first part and name
// `broker` as its second?
bool root_of_broker(const char *domain, const char *broker) noexcept {
    const char *at = domain ? std::strchr(domain, kAtSign) : nullptr;
    if (at == nullptr || at == domain) return false;
    const char *second = at + 1;
    const char *end = std::strchr(second, kAtSign);
    size_t length = end ? static_cast<size_t>(end - second) : std::strlen(second);
    return std::strlen(broker) == length && std::strncmp(second, broker, length) == 0;
}

}  // namespace

// ---------------------------------------------------------- the API

extern "C" YssStatus YssAuthenticate(const char *name, unsigned nameLength, const char *password,
                                     unsigned passwordLength, const char *domain, int domainLength, int authMode,
                                     YssConInfo_t *record) noexcept {
    constexpr const char *fn = "YssAuthenticate";
    if (YssStatus status = guard(record, fn, kNeedBroker | kVersionBeforeBroker, Where::current())) return status;
    const bool nameless = authMode == YSS_AUTH_NT || authMode == YSS_AUTH_LOCALHOST;
    const bool named = name && nameLength > 0, with_password = password && passwordLength > 0;
    if (!nameless && (!named || !with_password)) return fail(YSS_INVALID_PARAMETER, fn);
    if (domain && domainLength < 1) return fail(YSS_INVALID_PARAMETER, fn);
    if (YssStatus status = guard(record, fn, 0, Where::current(), entries.yorbAtAuthenticate,
                                 entries.yorbAtDeleteCredentialsFromStore))
        return status;
    if (!login_arguments_fit(named, with_password, domain != nullptr, authMode))
        return fail(YSS_INVALID_PARAMETER, fn);

    Login login;
    if (YssStatus status = build_login(login, name, nameLength, password, passwordLength, domain, domainLength,
                                       authMode, record))
        return fail(status, fn);
    if (authMode == YSS_AUTH_NT && !named && !with_password && !domain) clear_store(login, record, fn);
    yorbat_broker_address broker = broker_of(record);
    char *credential = nullptr;
    int result = entries.yorbAtAuthenticate(record->atContext, &login.request, &broker, &credential);
    if (YssStatus status = settle(result, kAuthenticate, kAuthUnhandled, fn)) {
        if (credential) entries.yorbAtFree(credential);
        return status;
    }
    release_credential(record);
    record->credential = credential;
    record->credentialFromLibrary = 1;
    record->haveCredential = 1;
    return YSS_SUCCESS;
}

extern "C" YssStatus YssGetCreds(const char *name, unsigned nameLength, const char *domain, int domainLength,
                                 int authMode, YssConInfo_t *record) noexcept {
    constexpr const char *fn = "YssGetCreds";
    if (YssStatus status = guard(record, fn, kNeedBroker | kNeedCredential, Where::current(),
                                 entries.yorbAtGetCredentials))
        return status;
    const bool needs_domain = authMode == YSS_AUTH_NT || authMode == YSS_AUTH_YQ;
    if (!name || nameLength == 0 || (domain && domainLength < 1) || (needs_domain && !domain) ||
        authMode < YSS_AUTH_NT || authMode > YSS_AUTH_LOCALHOST)
        return fail(YSS_INVALID_PARAMETER, fn);

    Login login;
    if (YssStatus status = build_login(login, name, nameLength, nullptr, 0, nullptr, 0, authMode, record))
        return fail(status, fn);
    if (domain && !(login.domain = counted_copy(domain, static_cast<size_t>(domainLength),
                                                static_cast<size_t>(domainLength) + 2)))
        return fail(YSS_NO_MEMORY, fn);
    login.request.domain = login.domain.get();
    if (record->credentialList) {
        entries.yorbAtFree(record->credentialList);
        record->credentialList = nullptr;
    }
    yorbat_broker_address broker = broker_of(record);
    int result = entries.yorbAtGetCredentials(record->atContext, &login.request, &broker, &record->credentialList,
                                              &record->credentialCount);
    if (YssStatus status = settle(result, kFetch, kFetchUnhandled, fn)) return status;
    if (record->credentialList == nullptr || record->credentialList[0] == nullptr)
        return fail(YSS_SERVER_COMMUNICATION_FAILED, fn);
    char *copy = yq::sys::strdup(record->credentialList[0]);
    if (copy == nullptr) return fail(YSS_NO_MEMORY, fn);
    release_credential(record);
    record->credential = copy;
    record->credentialFromLibrary = 0;
    return YSS_SUCCESS;
}

// The renewed credential replaces the held one whatever the result (none
// when the library wrote none); the old one is released as it was made.
extern "C" YssStatus YssCredRenew(YssConInfo_t *record) noexcept {
    constexpr const char *fn = "YssCredRenew";
    if (YssStatus status = guard(record, fn, kNeedBroker | kNeedCredential, Where::current(),
                                 entries.yorbAtCredentialRenew, entries.yorbAtFree))
        return status;
    yorbat_broker_address broker = broker_of(record);
    char *renewed = nullptr;
    int result = entries.yorbAtCredentialRenew(record->atContext, record->credential, &broker, &renewed);
    YssStatus status = settle(result, kRenew, kAuthUnhandled, fn);
    release_credential(record);
    record->credential = renewed;
    record->credentialFromLibrary = 1;
    return status;
}

extern "C" YssStatus YssExportCredential(const char *path, YssConInfo_t *record) noexcept {
    constexpr const char *fn = "YssExportCredential";
    if (YssStatus status = guard(record, fn, kNeedCredential, Where::current(), entries.yorbAtExportCredential,
                                 entries.yorbAtFree))
        return status;
    if (record->credential == nullptr) return YSS_NO_CREDENTIAL;
    if (path == nullptr) return fail(YSS_INVALID_PARAMETER, fn);
    char *bytes = nullptr;
    int count = 0;
    int result = entries.yorbAtExportCredential(record->credential, &bytes, &count);
    LibraryObject owned(bytes);
    if (YssStatus status = settle(result, kTransfer, kExportUnhandled, fn)) return status;
    if (!bytes || count < 0 || !write_atomically(path, bytes, static_cast<size_t>(count)))
        return fail(YSS_FILE_CREATE_FAILED, fn);
    return YSS_SUCCESS;
}

extern "C" YssStatus YssImportCredential(const char *path, YssConInfo_t *record) noexcept {
    constexpr const char *fn = "YssImportCredential";
    if (YssStatus status =
            guard(record, fn, 0, Where::current(), entries.yorbAtImportCredential, entries.yorbAtFree))
        return status;
    Text bytes;
    int count = 0;
    if (YssStatus status = read_credential_file(path, bytes, count)) return status;
    release_credential(record);
    int result = entries.yorbAtImportCredential(bytes.get(), count, &record->credential);
    bytes.reset();
    if (YssStatus status = settle(result, kTransfer, kImportUnhandled, fn)) return status;
    record->credentialFromLibrary = 1;
    record->haveCredential = 1;
    return YSS_SUCCESS;
}

YssStatus YssGetCertInfo(YssCertInfo *info, char *credential, YssConInfo_t *record) noexcept {
    return cert_info(info, credential, record, "YssGetCertInfo", Where::current());
}

extern "C" YssStatus YssGetCertInfo(YssCertInfo *info, YssConInfo_t *record) noexcept {
    constexpr const char *fn = "YssGetCertInfo";
    if (YssStatus status = guard(record, fn, kNeedCredential, Where::current())) return status;
    return cert_info(info, record->credential, record, fn, Where::current());
}

extern "C" YssStatus YssGetPeerCertInfo(YssCertInfo *info, YssConInfo_t *record) noexcept {
    constexpr const char *fn = "YssGetPeerCertInfo";
    if (YssStatus status = guard(record, fn, kNeedCredential, Where::current())) return status;
    return cert_info(info, record->peerCredential, record, fn, Where::current());
}

extern "C" void FreeYssCertInfo(YssCertInfo *info) noexcept {
    if (info == nullptr) return;
    for (char **text : {&info->Name, &info->Domain, &info->ExpiryDate, &info->IssuedBy}) {
        std::free(*text);
        *text = nullptr;
    }
    info->AuthMode = 0;
}

extern "C" YssStatus YssGetRootCert(const char *brokerHost, unsigned brokerPort, YssConInfo_t *record) noexcept {
    constexpr const char *fn = "YssGetRootCert";
    if (YssStatus status = guard(record, fn, kNeedBroker, Where::current(), entries.yorbAtSetupTrust,
                                 entries.yorbAtFree))
        return status;
    Text host(brokerHost ? yq::sys::strdup(brokerHost) : nullptr);
    if (brokerHost && !host) return fail(YSS_NO_MEMORY, fn);
    yorbat_broker_address broker =
        host ? yorbat_broker_address{host.get(), static_cast<int>(brokerPort)} : broker_of(record);
    void *null_word = nullptr, *answer = nullptr;
    const yorbat_trust_request request{YORBAT_TRUST_BROKER_ROOT, 0, 0};
    int result = entries.yorbAtSetupTrust(record->atContext, &broker, &null_word, &request, &answer);
    LibraryObject owned(answer);
    return settle(result, kTrust, kCertUnhandled, fn);
}

YssStatus YssEnumRootCerts(YssCertInfo **certs, int *count, char ***rootList, YssConInfo_t *record) noexcept {
    return enum_roots(certs, count, rootList, record, "YssEnumRootCerts", Where::current());
}

extern "C" YssStatus YssEnumRootCerts(YssCertInfo **certs, int *count, YssConInfo_t *record) noexcept {
    constexpr const char *fn = "YssEnumRootCerts";
    if (YssStatus status = guard(record, fn, 0, Where::current(), entries.yorbAtFree)) return status;
    char **roots = nullptr;
    YssStatus status = enum_roots(certs, count, &roots, record, fn, Where::current());
    LibraryObject owned(roots);
    return status;
}

extern "C" YssStatus YssRemoveRootCert(const char *brokerName, YssConInfo_t *record) noexcept {
    constexpr const char *fn = "YssRemoveRootCert";
    if (YssStatus status = guard(record, fn, kNeedBroker, Where::current(), entries.yorbAtRemoveTrust,
                                 entries.yorbAtFree))
        return status;
    if (brokerName == nullptr) return YSS_INVALID_PARAMETER;
    YssCertInfo *certs = nullptr;
    int count = 0;
    char **roots = nullptr;
    YssStatus status = enum_roots(&certs, &count, &roots, record, fn, Where::current());
    LibraryObject owned(roots);
    for (int i = 0; i < count; ++i)
        if (root_of_broker(certs[i].Domain, brokerName)) entries.yorbAtRemoveTrust(record->atContext, roots[i]);
    free_cert_infos(certs, count);
    return status;
}
