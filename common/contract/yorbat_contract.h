/* The contract between the security services of libYqSS_helper and the
 * authentication library they load at run time (libyorbat, libyorbat_t):
 * the 34 entry points, the objects the two sides exchange and the results.
 * Both sides include this header, so neither can drift from the other.
 *
 * Layout rules of the objects:
 * - a "word" is pointer-sized; "word N" is element N-1 of an array of words.
 *   A word that holds text points to a terminated text; a word that holds a
 *   number holds the number itself (as intptr_t).
 * - a credential is a pointer to a terminated text (PEM); a credential list
 *   is an array of such pointers.
 * - every count written or received is an int.
 * - whatever the library hands out is released with yorbAtFree(object), the
 *   object being the pointer the library wrote; for a credential list, the
 *   list or its first element. A secure connection is released by
 *   yorbAtSecConnClose(&handle), a context by yorbAtTerminate(context).
 *
 * Plain C (C11 and C++). */
#ifndef YORBAT_CONTRACT_H
#define YORBAT_CONTRACT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Results: 0 success; the meanings are those the security services
 * give them (the companion's README has the table). */
enum yorbat_result {
    YORBAT_OK = 0,
    YORBAT_CONNECTION_BROKEN = -1,          /* peer gone, socket error, time-out */
    YORBAT_NOT_INITIALIZED = 0x6001,        /* no context, or a context not from yorbAtInit */
    YORBAT_INVALID_ARGUMENT = 0x6002,       /* missing or malformed argument */
    YORBAT_NO_MEMORY = 0x6003,
    YORBAT_NOT_FOUND_ON_DISK = 0x6004,      /* credential or file missing */
    YORBAT_INTERNAL_FAILURE = 0x6005,       /* the library's own files or crypto failed */
    YORBAT_BROKER_UNREACHABLE = 0x6006,     /* no TCP/TLS session with the broker */
    YORBAT_PEER_NOT_TRUSTED = 0x6007,       /* certificate not issued by a trusted root */
    YORBAT_MECHANISM_UNSUPPORTED = 0x6008,  /* "nt", "nisplus", "nis" or unknown */
    YORBAT_BROKER_NOT_TRUSTED = 0x6009,     /* the broker's certificate is not trusted */
    YORBAT_PERMISSION_DENIED = 0x600a,      /* credential not accepted for this request */
    YORBAT_BAD_LOGIN = 0x600b,              /* wrong name, password or domain */
    YORBAT_CREDENTIAL_EXPIRED = 0x600c,
    YORBAT_CREDENTIAL_MALFORMED = 0x600d,   /* not a certificate with its key */
    YORBAT_CONFIGURATION_DAMAGED = 0x600e,  /* install directory or broker files unusable */
    YORBAT_CREDENTIAL_UNREADABLE = 0x600f,  /* bytes to import are not a credential */
    YORBAT_NO_PRIVATE_KEY = 0x6010,         /* a credential without its key where one is needed */
    YORBAT_REGISTRY_DAMAGED = 0x6011,
    YORBAT_DOMAIN_CREATE_FAILED = 0x6012,
    YORBAT_PRINCIPAL_CREATE_FAILED = 0x6013,
    YORBAT_PRINCIPAL_DELETE_FAILED = 0x6014,
    YORBAT_PASSWORD_TOO_SHORT = 0x6015,     /* fewer than 6 characters */
    YORBAT_NOT_FOUND = 0x6016,
    YORBAT_DOMAIN_DELETE_FAILED = 0x6017,
    YORBAT_DOMAIN_NAME_INVALID = 0x6019,
    YORBAT_PRINCIPAL_NAME_INVALID = 0x601a,
    YORBAT_STORE_EMPTY = 0x601b,            /* nothing to delete from the credential store */
    YORBAT_TRUST_STORE_FAILED = 0x601c,     /* the trust store could not be written */
    YORBAT_CREDENTIAL_NOT_YET_VALID = 0x601e,
    YORBAT_CREDENTIAL_REVOKED = 0x601f,     /* principal removed since issue */
    YORBAT_ROOT_REJECTED = 0x6020,          /* the broker's root certificate is unusable */
    YORBAT_DOMAIN_EXISTS = 0x6023,
    YORBAT_PRINCIPAL_EXISTS = 0x6024,
    YORBAT_BROKER_REFUSED = 0x6025,         /* the broker answered with a refusal */
    YORBAT_NOT_A_CERTIFICATE = 0x6026,
    YORBAT_NOT_RENEWABLE = 0x6028,
    YORBAT_PASSWORD_TOO_LONG = 0x602b,
    YORBAT_NO_CREDENTIAL_RECEIVED = 0x602d, /* the broker's answer held no credential */
    YORBAT_PRINCIPAL_DISABLED = 0x603b,
    YORBAT_CONN_LIBRARY_FAILURE = 0x7001    /* TLS set-up failed on this side */
};

/* ---- Requests. */
typedef struct yorbat_principal_request { /* four pointers, in this order */
    const char *mechanism;                /* "yq", "unixpwd", "localhost", ... */
    const char *domain;                   /* or NULL */
    const char *name;
    const char *password;                 /* or NULL */
} yorbat_principal_request;

typedef struct yorbat_group_request {     /* three pointers, in this order */
    const char *mechanism;
    const char *domain;
    const char *name;
} yorbat_group_request;

typedef struct yorbat_broker_address {
    const char *host;
    int port;
} yorbat_broker_address;

#define YORBAT_DEFAULT_BROKER_PORT 2821

typedef struct yorbat_trust_request {     /* (3, 0, 0): trust the broker's root */
    int kind;
    int reserved1;
    int reserved2;
} yorbat_trust_request;

#define YORBAT_TRUST_BROKER_ROOT 3

/* Empty domain attributes: a zero word followed by the address of a zero word. */
typedef struct yorbat_domain_attributes {
    void *zero;
    void *address_of_zero;
} yorbat_domain_attributes;

typedef void *yorbat_word;

/* Word positions (0-based array indices) of the objects handed out. */
enum yorbat_word_index {
    /* yorbAtExtractInfo: word 1 -> (mechanism, domain, name), word 2 expiry
     * text, word 10 issuer text. */
    YORBAT_INFO_PRINCIPAL = 0,
    YORBAT_INFO_EXPIRY = 1,
    YORBAT_INFO_ISSUER = 9,
    YORBAT_INFO_WORDS = 10,
    /* the three texts word 1 points to */
    YORBAT_PRINCIPAL_MECHANISM = 0,
    YORBAT_PRINCIPAL_DOMAIN = 1,
    YORBAT_PRINCIPAL_NAME = 2,
    /* yorbAtGetPDAttribs: word 7, the registry kind (1 or 2). */
    YORBAT_REGISTRY_KIND = 6,
    YORBAT_REGISTRY_ATTRIBUTE_WORDS = 8,
    /* yorbAtGetPDDomainAttribs: word 1, the fully qualified domain name. */
    YORBAT_DOMAIN_QUALIFIED_NAME = 0,
    YORBAT_DOMAIN_ATTRIBUTE_WORDS = 2,
    /* Principal attributes, given and read back: word 1 the name (read back
     * only), word 4 the principal flag. */
    YORBAT_PRINCIPAL_ATTR_NAME = 0,
    YORBAT_PRINCIPAL_ATTR_FLAG = 3,
    YORBAT_PRINCIPAL_ATTRIBUTE_WORDS = 8,
    /* yorbAtValidatePrpl / yorbAtValidateGroup: words 1, 2 name and domain
     * texts, word 5 a number (a user's id; 0 for a group). */
    YORBAT_VALID_NAME = 0,
    YORBAT_VALID_DOMAIN = 1,
    YORBAT_VALID_NUMBER = 4,
    YORBAT_VALID_WORDS = 6
};

/* ---- The 34 entry points. Each has a type NAME_fn for the loader. */
#define YORBAT_ENTRY_POINTS(X)                                                                         \
    X(yorbAtInit, (int flags, void **context))                                                         \
    X(yorbAtTerminate, (void *context))                                                                \
    X(yorbAtAuthenticate, (void *context, const yorbat_principal_request *request,                    \
                           const yorbat_broker_address *broker, char **credential))                   \
    X(yorbAtConnLibraryInit, (int flags, void *connLibContext))                                        \
    X(yorbAtSecConnConnect, (int socket, const char *credential, void *reserved, void **handle,        \
                             char **peerCredential))                                                  \
    X(yorbAtSecConnAccept, (int socket, const char *credential, void *reserved, void **handle,         \
                            char **peerCredential))                                                   \
    X(yorbAtSecConnRead, (void *handle, char *buffer, int count))                                      \
    X(yorbAtSecConnWrite, (void *handle, const char *buffer, int count))                               \
    X(yorbAtConnLibraryShutdown, (void *connLibContext))                                               \
    X(yorbAtSecConnClose, (void **handle))                                                             \
    X(yorbAtFree, (void *object))                                                                      \
    X(yorbAtGetCredentials, (void *context, const yorbat_principal_request *request,                  \
                             const yorbat_broker_address *broker, char ***list, int *count))          \
    X(yorbAtCredentialRenew, (void *context, const char *credential,                                  \
                              const yorbat_broker_address *broker, char **renewed))                   \
    X(yorbAtCreatePDDomain, (void *registry, const char *domain,                                      \
                             const yorbat_domain_attributes *attributes, void **domainHandle))        \
    X(yorbAtDeletePDDomain, (void *domainHandle))                                                      \
    X(yorbAtFindPDDomain, (void *registry, const char *domain, void **domainHandle))                   \
    X(yorbAtCreatePDPrincipal, (void *domainHandle, const char *name, const char *password,            \
                                yorbat_word const *attributes, void **principalHandle))               \
    X(yorbAtDeletePDPrincipal, (void *principalHandle))                                                \
    X(yorbAtFindPDPrincipal, (void *registry, const char *domain, const char *name,                    \
                              void **principalHandle))                                                \
    X(yorbAtGetPDAttribs, (void *registry, yorbat_word **attributes))                                  \
    X(yorbAtGetPDRs, (void *context, void ***registries, int *count))                                  \
    X(yorbAtSetupTrust, (void *context, const yorbat_broker_address *broker, void **nullWord,          \
                         const yorbat_trust_request *request, void **result))                         \
    X(yorbAtExportCredential, (const char *credential, char **bytes, int *count))                      \
    X(yorbAtImportCredential, (const char *bytes, int count, char **credential))                       \
    X(yorbAtExtractInfo, (void *context, const char *credential, yorbat_word **information))           \
    X(yorbAtGetTrustedRootCredentials, (void *context, char ***list, int *count))                      \
    X(yorbAtRemoveTrust, (void *context, const char *rootCredential))                                  \
    X(yorbAtChangePassword, (void *principalHandle, const char *oldPassword,                           \
                             const char *newPassword, const char *confirmPassword))                   \
    X(yorbAtValidatePrpl, (void *context, const yorbat_principal_request *request,                    \
                           const yorbat_broker_address *broker, yorbat_word **result))                \
    X(yorbAtValidateGroup, (void *context, const yorbat_group_request *request,                       \
                            const yorbat_broker_address *broker, yorbat_word **result))               \
    X(yorbAtDeleteCredentialsFromStore, (void *context, const yorbat_principal_request *request,      \
                                         const yorbat_broker_address *broker))                        \
    X(yorbAtGetPDDomainAttribs, (void *domainHandle, yorbat_word **attributes))                        \
    X(yorbAtGetPDPrincipals, (void *domainHandle, void ***principals, int *count))                     \
    X(yorbAtGetPDPrincipalAttribs, (void *principal, yorbat_word **attributes))

#define YORBAT_ENTRY_COUNT 34

#define YORBAT_DECLARE_TYPE(name, args) typedef int(*name##_fn) args;
YORBAT_ENTRY_POINTS(YORBAT_DECLARE_TYPE)
#undef YORBAT_DECLARE_TYPE

#ifdef YORBAT_BUILDING_LIBRARY
#ifdef __cplusplus
#define YORBAT_NOEXCEPT noexcept
#else
#define YORBAT_NOEXCEPT
#endif
#define YORBAT_DECLARE_ENTRY(name, args) __attribute__((visibility("default"))) int name args YORBAT_NOEXCEPT;
YORBAT_ENTRY_POINTS(YORBAT_DECLARE_ENTRY)
#undef YORBAT_DECLARE_ENTRY
#endif

#ifdef __cplusplus
}
#endif

#endif
