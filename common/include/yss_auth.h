/* The security-services API: a thin layer over the authentication library
   that is loaded at run time. A security context (YssConInfo_t) is
   initialised with YssInit, given a socket and a credential, connected or
   accepted, used, closed and cleaned up. Every operation returns a
   YssStatus; failures are reported to the debug log. */
#ifndef YSS_AUTH_H
#define YSS_AUTH_H

#include <stdio.h>

#include "yq_api.h"

YQ_BEGIN_C

/* Security-services statuses: their own numbering, not connection statuses. */
typedef int YssStatus;
enum {
    YSS_SUCCESS = 0,
    YSS_INVALID_PARAMETER = 1,
    YSS_INVALID_ARGUMENT_4 = 4,
    YSS_INVALID_ARGUMENT_5 = 5,
    YSS_VERSION_MISMATCH = 6,
    YSS_LIBRARY_LOAD_FAILED = 7,
    YSS_FILE_NOT_FOUND = 8,
    YSS_FORK_FAILED = 9,
    YSS_NO_MEMORY = 12,
    YSS_FILE_OPEN_FAILED = 14,
    YSS_SERVER_COMMUNICATION_FAILED = 16,
    YSS_SERVER_UNREACHABLE = 17,
    YSS_TRANSMISSION_TIMEOUT = 19,
    YSS_SERVER_COMMUNICATION_FAILED_2 = 20,
    YSS_LIBRARY_FAILURE = 21,
    YSS_WRONG_PORT = 23,
    YSS_CONFIGURATION_DAMAGED = 24,
    YSS_CREDENTIAL_INVALID = 25,
    YSS_OUT_OF_ORDER = 26,
    YSS_REGISTRY_DAMAGED = 27,
    YSS_RESERVED_NAME = 28,
    YSS_BROKER_CREDENTIAL_FAILED = 29,
    YSS_DOMAIN_CHANGE_FAILED = 30,
    YSS_PRINCIPAL_CHANGE_FAILED = 31,
    YSS_NO_BROKER = 32,
    YSS_NO_CREDENTIAL = 33,
    YSS_FILE_CREATE_FAILED = 34,
    YSS_AUTH_TYPE_UNSUPPORTED = 35,
    YSS_PERMISSION_DENIED = 38,
    YSS_OBJECT_NOT_FOUND = 39,
    YSS_SERVER_BUSY = 42,
    YSS_SERVER_CONNECT_FAILED = 43,
    YSS_BROKER_CREDENTIAL_NOT_RECEIVED = 44,
    YSS_BAD_LOGIN = 45,
    YSS_PEER_NOT_TRUSTED = 50,
    YSS_USER_NOT_VALID = 51,
    YSS_GROUP_NOT_VALID = 52,
    YSS_PASSWORD_TOO_SHORT = 53,
    YSS_NO_HOME_DIRECTORY = 54,
    YSS_HOST_NOT_QUALIFIED = 55,
    YSS_BUFFER_TOO_SMALL = 56
};

/* Authentication modes: the mechanism names sent to the authentication
   library (mode 0, "unknown", is never sent). */
enum {
    YSS_AUTH_UNKNOWN = 0,
    YSS_AUTH_NT = 1,
    YSS_AUTH_NISPLUS = 2,
    YSS_AUTH_YQ = 3,
    YSS_AUTH_UNIXPWD = 4,
    YSS_AUTH_NIS = 5,
    YSS_AUTH_LOCALHOST = 6
};

/* A security context. The caller allocates it zero-filled and frees it
   after YssCleanUp; the API owns what its fields point to. */
typedef struct YssConInfo_t {
    int version;              /* API version it was initialised for (1 to 3) */
    char **credentialList;    /* from the library's credential fetch */
    char *credential;         /* the caller's own credential */
    char *peerCredential;     /* the peer's, after connect or accept */
    void *atContext;          /* the library's context */
    void *secureConnection;   /* the library's secure-connection handle */
    void *connLibContext;     /* the connection library's context */
    void *libHandle;          /* the loaded library */
    int initialized;          /* 1 after a successful initialisation */
    int socket;               /* set by YssSetSocket */
    int credentialCount;
    int credentialFromLibrary; /* 1: release `credential` through the library */
    int haveCredential;       /* 1 once a credential is held */
    char *brokerHost;         /* fully qualified host of the broker */
    unsigned brokerPort;      /* default 2821 */
} YssConInfo_t;

/* Certificate information; texts released with FreeYssCertInfo. */
typedef struct YssCertInfo {
    char *Name;
    char *Domain;
    char *ExpiryDate;
    char *IssuedBy;
    int AuthMode;
} YssCertInfo;

/* A user (idType 3) or group (4) as the broker knows it. */
typedef struct YssValidID {
    char *name;
    char *domain;
    int principalValue;
    int idType;
} YssValidID;

/* Loading, initialisation, clean-up. */
YQ_API YssStatus YssInit(int version, const char *brokerHost, int brokerPort, YssConInfo_t *record) YQ_NOEXCEPT;
YQ_API YssStatus YssInit_r(int version, const char *brokerHost, int brokerPort, YssConInfo_t *record) YQ_NOEXCEPT;
YQ_API YssStatus YssCleanUp(int version, YssConInfo_t *record) YQ_NOEXCEPT;
YQ_API void TestHarnessSetYORBatPath(const char *path) YQ_NOEXCEPT;

/* Secure connections. */
YQ_API int YssSetSocket(int socket, YssConInfo_t *record) YQ_NOEXCEPT;
YQ_API YssStatus YssSetDebugStream(int version, FILE *stream) YQ_NOEXCEPT;
YQ_API void YssGetAuthMode(const char *text, int *mode) YQ_NOEXCEPT;
YQ_API void YssGetAuthString(int mode, const char **text) YQ_NOEXCEPT;
YQ_API YssStatus YssConnect(YssConInfo_t *record) YQ_NOEXCEPT;
YQ_API YssStatus YssAccept(YssConInfo_t *record) YQ_NOEXCEPT;
YQ_API YssStatus YssRead(char *buffer, unsigned length, unsigned offset, YssConInfo_t *record) YQ_NOEXCEPT;
YQ_API YssStatus YssWrite(const char *buffer, unsigned length, unsigned offset, YssConInfo_t *record) YQ_NOEXCEPT;
YQ_API YssStatus YssClose(YssConInfo_t *record) YQ_NOEXCEPT;

/* Credentials and certificates. Name, password and domain are counted
   texts: the length bounds how many characters are used. */
YQ_API YssStatus YssAuthenticate(const char *name, unsigned nameLength, const char *password,
                                 unsigned passwordLength, const char *domain, int domainLength, int authMode,
                                 YssConInfo_t *record) YQ_NOEXCEPT;
YQ_API YssStatus YssGetCreds(const char *name, unsigned nameLength, const char *domain, int domainLength,
                             int authMode, YssConInfo_t *record) YQ_NOEXCEPT;
YQ_API YssStatus YssCredRenew(YssConInfo_t *record) YQ_NOEXCEPT;
YQ_API YssStatus YssExportCredential(const char *path, YssConInfo_t *record) YQ_NOEXCEPT;
YQ_API YssStatus YssImportCredential(const char *path, YssConInfo_t *record) YQ_NOEXCEPT;
YQ_API YssStatus YssGetCertInfo(YssCertInfo *info, YssConInfo_t *record) YQ_NOEXCEPT;
YQ_API YssStatus YssGetPeerCertInfo(YssCertInfo *info, YssConInfo_t *record) YQ_NOEXCEPT;
YQ_API void FreeYssCertInfo(YssCertInfo *info) YQ_NOEXCEPT;
YQ_API YssStatus YssGetRootCert(const char *brokerHost, unsigned brokerPort, YssConInfo_t *record) YQ_NOEXCEPT;
YQ_API YssStatus YssRemoveRootCert(const char *brokerName, YssConInfo_t *record) YQ_NOEXCEPT;
YQ_API YssStatus YssEnumRootCerts(YssCertInfo **certs, int *count, YssConInfo_t *record) YQ_NOEXCEPT;

/* The private-domain registry. Machines live in the domain "CRW_Machines". */
YQ_API YssStatus YssRegisterUser(const char *name, const char *password, const char *domain,
                                 YssConInfo_t *record) YQ_NOEXCEPT;
YQ_API YssStatus YssRemoveUser(const char *name, const char *domain, YssConInfo_t *record) YQ_NOEXCEPT;
YQ_API YssStatus YssRegisterMachine(const char *name, const char *password, YssConInfo_t *record) YQ_NOEXCEPT;
YQ_API YssStatus YssRemoveMachine(const char *name, YssConInfo_t *record) YQ_NOEXCEPT;
YQ_API YssStatus YssRegisterDomain(const char *domain, YssConInfo_t *record) YQ_NOEXCEPT;
YQ_API YssStatus YssRemoveDomain(const char *domain, YssConInfo_t *record) YQ_NOEXCEPT;
YQ_API YssStatus YssGetFQPrivateDomainName(const char *domain, char *out, unsigned outSize,
                                           YssConInfo_t *record) YQ_NOEXCEPT;
YQ_API YssStatus YssGetCRWMachinesDomainName(char *out, unsigned outSize, YssConInfo_t *record) YQ_NOEXCEPT;
YQ_API YssStatus YssGetPrivateDomainUserNames(const char *domain, char ***names, int *count, int onlyFlagged,
                                              YssConInfo_t *record) YQ_NOEXCEPT;
YQ_API YssStatus YssGetCRWMachineNames(char ***names, int *count, YssConInfo_t *record) YQ_NOEXCEPT;
/* Unsupported: they return YSS_LIBRARY_FAILURE and do nothing else. */
YQ_API YssStatus YssEnumDomains(char ***domains, int *count, YssConInfo_t *record) YQ_NOEXCEPT;
YQ_API YssStatus YssEnumUsers(const char *domain, char ***names, int *count, YssConInfo_t *record) YQ_NOEXCEPT;

/* Statuses in words, and the API's reports. */
YQ_API char *YssCreateHumanMessage(int status) YQ_NOEXCEPT;
YQ_API void YssPrintFailure(const char *file, int line, const char *function, int status) YQ_NOEXCEPT;
YQ_API void YssPrintString(const char *file, int line, const char *function, const char *label,
                           const char *value) YQ_NOEXCEPT;

/* Identity validation and secure input. */
YQ_API YssStatus YssValidateID(const char *name, const char *domain, int authMode, int idType,
                               const char *brokerHost, unsigned brokerPort, YssValidID **out,
                               YssConInfo_t *record) YQ_NOEXCEPT;
YQ_API void AllocYssValidID(YssValidID **out) YQ_NOEXCEPT;
YQ_API void FreeYssValidID(YssValidID **id) YQ_NOEXCEPT;
YQ_API char *SecureFGets(char *out, int size, FILE *stream) YQ_NOEXCEPT;
YQ_API void NoStdIOEcho(void) YQ_NOEXCEPT;
YQ_API void StdIOEcho(void) YQ_NOEXCEPT;
YQ_API void SigHandler(int signal) YQ_NOEXCEPT;

/* Host-name qualification. */
YQ_API YssStatus YssGetFQDNHostName(const char *name, char *out, unsigned outSize) YQ_NOEXCEPT;

YQ_END_C

#endif
