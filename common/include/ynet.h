/* Connection core: connection statuses and failure reporting, the wire items
   and their time-outs, connection log lines, bind-and-connect with retries
   and the generic cache table. */
#ifndef YNET_H
#define YNET_H

#include <stddef.h>
#include <stdio.h>
#include <time.h>
#include <netinet/in.h>

#include "yq_api.h"

YQ_BEGIN_C

/* Connection statuses. They travel on the wire as decimal text. */
enum {
    YN_STATUS_SUCCESS = 0,
    YN_STATUS_BAD_VALUE = 1,
    YN_STATUS_NULL_POINTER = 2,
    YN_STATUS_BAD_FORMAT = 3,
    YN_STATUS_NO_CACHE_SLOT = 4,
    YN_STATUS_LOOKUP_FAILED_BEFORE = 5,
    YN_STATUS_HOST_NOT_FOUND = 6,
    YN_STATUS_SERVICE_NOT_FOUND = 7,
    YN_STATUS_NO_MEMORY = 8,
    YN_STATUS_READ_FAILED = 9,
    YN_STATUS_SOCKET_ERROR = 10,
    YN_STATUS_TIMEOUT = 11,
    YN_STATUS_WRITE_FAILED = 12,
    YN_STATUS_HASH_MISMATCH = 13,
    YN_STATUS_DESCRIPTOR_PASSING_FAILED = 14,
    YN_STATUS_UNIX_BIND_FAILED = 15,
    YN_STATUS_LISTEN_FAILED = 16,
    YN_STATUS_ACCEPT_FAILED = 17,
    YN_STATUS_ADDRESS_IN_USE = 18,
    YN_STATUS_FILE_OPEN_FAILED = 19,
    YN_STATUS_FORK_FAILED = 20,
    YN_STATUS_NOT_ADMINISTRATOR = 21,
    YN_STATUS_INVALID_ARGUMENT = 22,
    YN_STATUS_VERSION_MISMATCH = 24,
    YN_STATUS_STAT_FAILED = 26,
    YN_STATUS_CHMOD_FAILED = 27,
    YN_STATUS_CHOWN_FAILED = 28,
    YN_STATUS_RENAME_FAILED = 29,
    YN_STATUS_TEXT_FILE_ERROR = 30,
    YN_STATUS_NOT_REGISTERED = 31,
    YN_STATUS_CHILD_FAILED = 32,
    YN_STATUS_BAD_DIRECTORY = 33,
    YN_STATUS_MKDIR_FAILED = 34,
    YN_STATUS_NO_CREDENTIALS = 35,
    YN_STATUS_YQSS_FAILED = 36,
    YN_STATUS_PEER_REQUIRES_YQSS = 37,
    YN_STATUS_YQSS_REFUSED = 38,
    YN_STATUS_YQSS_USED = 39,
    YN_STATUS_YQSS_NOT_USED = 40
};

/* Failure reporting (module ynet_private) and status conversion (ynet_error). */
YQ_API extern int ynet_debug_fd;       /* timestamped debug lines; -1 none */
YQ_API extern FILE *ynet_debug_stream; /* plain debug lines; NULL none */

YQ_API int ynet_text_to_net_status(int text_status) YQ_NOEXCEPT;
YQ_API void ynet_failure(const char *file, int line, const char *function, int status) YQ_NOEXCEPT;
YQ_API void ynet_debug_value(const char *file, int line, const char *function, const char *label,
                             const char *text, int value) YQ_NOEXCEPT;
YQ_API void ynet_debug_value_level(const char *file, int line, const char *function,
                                   const char *label, const char *text, int value,
                                   int level) YQ_NOEXCEPT;
YQ_API void ynet_debug_dump(const char *file, int line, const char *function, const char *label,
                            const unsigned char *data, int length) YQ_NOEXCEPT;
YQ_API void fd_message(const char *message, const char *function) YQ_NOEXCEPT;

/* Wire items and time-outs (module ynet). */
typedef struct ynet_alarm_state {
    void (*previous_handler)(int); /* SIGALRM handler before the call */
    unsigned int previous_left;    /* seconds the previous alarm had left */
    time_t deadline;               /* now + time-out when the call began */
} ynet_alarm_state;

YQ_API extern int ynet_ignore_alarms;  /* 1: bound calls by deadline only */

YQ_API int ynet_push_byte(int fd, unsigned int value, int timeout) YQ_NOEXCEPT;
YQ_API int ynet_pop_byte(int fd, int *value, int timeout) YQ_NOEXCEPT;
YQ_API int ynet_push_string(int fd, const char *text, int timeout) YQ_NOEXCEPT;
YQ_API int ynet_pop_string(int fd, char *buffer, int size, int timeout) YQ_NOEXCEPT;
YQ_API int ynet_push_signed(int fd, long value, int timeout) YQ_NOEXCEPT;
YQ_API int ynet_pop_signed(int fd, long *value, int timeout) YQ_NOEXCEPT;
YQ_API int ynet_push_unsigned(int fd, unsigned long value, int timeout) YQ_NOEXCEPT;
YQ_API int ynet_pop_unsigned(int fd, unsigned long *value, int timeout) YQ_NOEXCEPT;
YQ_API int ynet_push_status(int fd, int status, int timeout) YQ_NOEXCEPT;
YQ_API int ynet_pop_status(int fd, int *status, int timeout) YQ_NOEXCEPT;
YQ_API int ynet_sock_ready(int fd, int for_read, int for_write, int timeout) YQ_NOEXCEPT;
YQ_API int ynet_set_alarm(unsigned int seconds, ynet_alarm_state *state) YQ_NOEXCEPT;
YQ_API int ynet_clear_alarm(int result, int err, ynet_alarm_state *state) YQ_NOEXCEPT;
YQ_API void ynet_alarm_handler(int sig) YQ_NOEXCEPT;
YQ_API void ynet_set_timeout(unsigned int seconds, time_t *deadline) YQ_NOEXCEPT;
YQ_API int ynet_clear_timeout(int result, int err, time_t deadline) YQ_NOEXCEPT;

/* Connection log line (module ynet). */
YQ_API void ynet_logconnections(int fd, const char *prefix, int accepted, char *out,
                                size_t out_size) YQ_NOEXCEPT;

/* Bind and connect with retries (module ynet_bind). */
YQ_API int ynet_bind_to_port_addr(int port_low, int port_high, const struct in_addr *local,
                                  int *sock) YQ_NOEXCEPT;
YQ_API int ynet_bind_and_connect(const struct sockaddr_in *dest, int port_low, int port_high,
                                 const struct in_addr *local, int *sock, int max_time) YQ_NOEXCEPT;

/* Generic time-limited cache table (module ynet_cache). */
typedef struct ynet_cache_slot {
    time_t created;   /* when the item was added */
    time_t last_used; /* when it was added or last returned by a lookup */
    void *item;       /* NULL: empty slot */
} ynet_cache_slot;

typedef struct ynet_cache_table {
    void (*free_item)(void *item);
    int (*match_item)(const void *key, const void *item);
    int lifetime;   /* seconds from the add */
    int slot_count;
    ynet_cache_slot *slots;
} ynet_cache_table;

YQ_API int ynet_cache_init_table(ynet_cache_table **table_out, int slot_count, int lifetime,
                                 void (*free_item)(void *),
                                 int (*match_item)(const void *, const void *)) YQ_NOEXCEPT;
YQ_API void ynet_cache_free_table(ynet_cache_table **table_inout) YQ_NOEXCEPT;
YQ_API void *ynet_cache_find_item(ynet_cache_table *table, const void *key) YQ_NOEXCEPT;
YQ_API void ynet_cache_delete_item(ynet_cache_table *table, const void *key) YQ_NOEXCEPT;
YQ_API int ynet_cache_add_item(ynet_cache_table *table, void *item) YQ_NOEXCEPT;

/* ---- Service entry records and service files (module ynet_text) ---------
   One line of a service file per entry; a list of entries is chained both
   ways through next and prev and owned by the caller's pointer to the first
   entry. Every string, the args array and each of its elements are separate
   allocations owned by the entry. */
typedef struct ynet_service_entry {
    struct ynet_service_entry *next;
    struct ynet_service_entry *prev;
    char *name;    /* NAME */
    int regtime;   /* REGTIME: seconds since the epoch, 0 not recorded */
    int exptime;   /* EXPTIME: 0 none, 1 unregistered */
    int pid;       /* PID: 0 once unregistered */
    char *ipc;     /* IPC: path of the service's local socket */
    char *icmd;    /* ICMD */
    char *dcmd;    /* DCMD */
    char **args;   /* ARG, one per element; NULL-terminated, or NULL */
    int arg_count;
} ynet_service_entry;

/* Connection statuses; a missing file is 19. */
YQ_API int ynet_read_service_file(const char *path, ynet_service_entry **list) YQ_NOEXCEPT;
/* Replaces the file atomically with exactly the entries from first on. */
YQ_API int ynet_update_service_file(const char *path,
                                    const ynet_service_entry *first) YQ_NOEXCEPT;
/* Adds an entry just before `before` (at the end when NULL or not in the
   list), stored as a later read of the file would give it. 0, 2 (a value
   holds both quote characters, or no list) or 8 (no memory). */
YQ_API int ynet_add_service_entry(ynet_service_entry **list, ynet_service_entry *before,
                                  const char *name, int pid, int regtime, int exptime,
                                  const char *ipc, const char *icmd, const char *dcmd,
                                  char *const *args) YQ_NOEXCEPT;
YQ_API void ynet_free_service_list(ynet_service_entry **list) YQ_NOEXCEPT;

/* ---- Name resolution: host and service caches, host identity, network
   membership (modules ynet_hosts, ynet_servs) and this machine's addresses
   (module local_addrs). Host and service entries handed out are deep copies
   owned by the caller; addresses are IPv4, 4 bytes in network order. ---- */
struct hostent;
struct servent;

YQ_API int ynet_cached_gethostbyname(const char *name, struct hostent **out) YQ_NOEXCEPT;
YQ_API int ynet_cached_gethostbyaddr(const void *address, struct hostent **out) YQ_NOEXCEPT;
YQ_API int ynet_copy_hostent(const struct hostent *source, struct hostent **out) YQ_NOEXCEPT;
YQ_API void ynet_free_hostent(struct hostent **entry) YQ_NOEXCEPT;
YQ_API int ynet_same_hostbyname(const char *name1, const char *name2) YQ_NOEXCEPT;
YQ_API int ynet_same_hostbyname_local(const char *name1, const char *name2,
                                      int count_local) YQ_NOEXCEPT;
YQ_API int ynet_same_hostbyaddr(const void *address1, const void *address2) YQ_NOEXCEPT;
YQ_API int ynet_same_hostbyaddr_local(const void *address1, const void *address2,
                                      int count_local) YQ_NOEXCEPT;
YQ_API int ynet_same_hostbynameaddr(const char *name, const void *address) YQ_NOEXCEPT;
YQ_API int ynet_same_hostbynameaddr_local(const char *name, const void *address,
                                          int count_local) YQ_NOEXCEPT;
YQ_API int ynet_inet_addr(const char *text, in_addr_t *address) YQ_NOEXCEPT;
YQ_API int ynet_inet_addrmask(const char *text, in_addr_t *address, in_addr_t *mask) YQ_NOEXCEPT;
YQ_API int ynet_in_network(const void *peer, const char *pattern, int *result) YQ_NOEXCEPT;

YQ_API int ynet_cached_getservbyname(const char *name, const char *proto,
                                     struct servent **out) YQ_NOEXCEPT;
YQ_API int ynet_cached_getservbyport(int port, const char *proto, struct servent **out) YQ_NOEXCEPT;
YQ_API int ynet_copy_servent(const struct servent *source, struct servent **out) YQ_NOEXCEPT;
YQ_API void ynet_free_servent(struct servent **entry) YQ_NOEXCEPT;
YQ_API int ynet_same_servbyname(const char *name1, const char *name2, const char *proto) YQ_NOEXCEPT;
YQ_API int ynet_same_servbyport(int port1, int port2, const char *proto) YQ_NOEXCEPT;
YQ_API int ynet_same_servbynameport(const char *name, int port, const char *proto) YQ_NOEXCEPT;

YQ_API extern FILE *local_addrs_debug_stream; /* one line per gathering step; NULL none */

YQ_API int get_local_addrs(struct in_addr **addrs, int *count) YQ_NOEXCEPT;
YQ_API int is_local_addr(const struct in_addr *addrs, int count,
                         const struct in_addr *address) YQ_NOEXCEPT;
YQ_API int is_local_host(const struct in_addr *addrs, int count, const char *name) YQ_NOEXCEPT;
YQ_API int isLocalHost(const char *name) YQ_NOEXCEPT;
YQ_API struct hostent *retry_gethostbyname(const char *name, int attempts, int interval,
                                           char *error, int error_size) YQ_NOEXCEPT;
YQ_API struct hostent *retry_gethostbyaddr(const void *address, int length, int type,
                                           int attempts, int interval, char *error,
                                           int error_size) YQ_NOEXCEPT;

/* ---- Port-multiplexing daemon protocol (module ynet_ynetd) ---------------
   Conversations with ynetd, the daemon on the well-known port of every host:
   the version handshake and small requests, connect-back sockets handed over
   through a Unix-domain listener, service registration in the rendezvous
   directory, and the security-information query. Functions taking the socket
   by address close it and set it to -1 when the conversation falls out of
   step (a failed push or pop); plain descriptors are never closed. */
struct crconf_info_rec;

#define YNETD_DEFAULT_PORT 13724   /* when the service "ynetd" is unknown */
#define YNETD_PROTOCOL_MIN 1       /* protocol versions spoken here */
#define YNETD_PROTOCOL_MAX 3
#define YNETD_HASH_SIZE 33         /* 32 lower-case hex digits and a terminator */
#define YNETD_IPC_PATH_SIZE 128    /* Unix-domain rendezvous paths on the wire */
#define YNETD_TEXT_SIZE 257        /* string answers of the security query */
#define YNETD_UNKNOWN_FIELD ">UNKNOWN<"
#define YNETD_FIELD_AUTHORIZATION_SERVICE "ni_authorization_service"
#define YNETD_FIELD_AUTHENTICATION_DOMAINS "ni_authentication_domains"
#define YNETD_FIELD_YQSS_NETWORKS "ni_yqss_networks"

/* Request codes, sent as an unsigned integer after the handshake (code 8 as
   a signed one; the text is the same). What follows each code:
     0 no-op          -> status
     1 disconnect     -> status; the client then closes
     2 path           -> status (0 from the listener once handed over)
     3 path           -> hash_str1; then the listener's status once handed over
     6 service name   -> status (0 from the service once handed over)   [v2]
     8                -> product version text                           [v2]
     9 field names... -> status, then the answers per field             [v3]
   On requests 2, 3 and 6 a successful ynetd sends no status of its own: it
   hands the connection over with ynet_connect_by_ynetd and
   ynet_send_network_socket, and the receiving process pushes status 0 on it.
   A ynetd that cannot hand over answers a non-zero status instead. */
enum {
    YNETD_REQUEST_NOOP = 0,
    YNETD_REQUEST_DISCONNECT = 1,
    YNETD_REQUEST_DAEMON_SOCKET = 2,
    YNETD_REQUEST_DAEMON_SOCKET_HASH = 3,
    YNETD_REQUEST_SERVICE = 6,
    YNETD_REQUEST_VERSION = 8,
    YNETD_REQUEST_SECURITY_INFO = 9
};

/* Daemon connection and version handshake. */
YQ_API int ynet_get_port(int *port) YQ_NOEXCEPT; /* always 0 */
YQ_API void ynet_set_port(int port) YQ_NOEXCEPT; /* -1: look it up again */
YQ_API int ynet_connect_to_ynetd(const struct sockaddr_in *daemon, int port_low, int port_high,
                                 const struct in_addr *local, int *sock, int *version,
                                 int timeout) YQ_NOEXCEPT;
YQ_API int version_connect(int sock, int max_version, int min_version, int *actual_version,
                           int timeout) YQ_NOEXCEPT;
YQ_API int ynet_ynetd_noop(int *sock, int version, int timeout) YQ_NOEXCEPT;
YQ_API int ynet_ynetd_disconnect(int *sock, int version, int timeout) YQ_NOEXCEPT;
YQ_API int ynet_version_get(int port_low, int port_high, const struct sockaddr_in *daemon,
                            const struct in_addr *local, int *sock, int timeout, char *buffer,
                            int size) YQ_NOEXCEPT;
/* Product version number of `host` (0 when unknown), remembered per host in
   the remote version cache directory. Not a status. */
YQ_API int ynet_get_host_version(const char *host, int port_low, int port_high,
                                 const struct sockaddr_in *daemon, const struct in_addr *local,
                                 int timeout, int refresh) YQ_NOEXCEPT;
/* The rendezvous directory exists, owned by 0:0, mode 0700 (its parent must
   exist). 0, 26, 27, 28, 33 (missing and not the administrator, or not a
   directory), 34. */
YQ_API int ynet_check_ynetd_dir(void) YQ_NOEXCEPT;

/* Connect-back sockets. Side A asks, side B connects back through A's ynetd. */
YQ_API int ynet_begin_connect_back(int sock, int timeout, int *newsock) YQ_NOEXCEPT;
YQ_API int ynet_listen_for_ynetd(char *path, int size, int backlog, int *listen_sock,
                                 int timeout) YQ_NOEXCEPT;
YQ_API int ynet_accept_from_ynetd(int listen_sock, int *conn, int timeout) YQ_NOEXCEPT;
YQ_API int ynet_ynetd_accept_and_receive(int listen_sock, const char *hash_str1, int *newsock,
                                         int timeout) YQ_NOEXCEPT;
YQ_API int ynet_receive_network_socket(int conn, const char *hash_str1, int *fd,
                                       int timeout) YQ_NOEXCEPT;
YQ_API int ynet_end_connect_back(int sock, int port_low, int port_high,
                                 const struct in_addr *local, int *daemon_sock, int use_hash,
                                 int timeout) YQ_NOEXCEPT;
YQ_API int ynet_end_connect_back_ira(int sock, int port_low, int port_high,
                                     const struct in_addr *local, int *daemon_sock, int use_hash,
                                     int timeout, int use_peer_address) YQ_NOEXCEPT;
YQ_API int ynet_ynetd_connect_back_socket(int *daemon_sock, int version, int sock, int use_hash,
                                          int timeout) YQ_NOEXCEPT;
YQ_API int ynet_ynetd_daemon_socket(int *daemon_sock, int version, const char *path,
                                    int timeout) YQ_NOEXCEPT;
YQ_API int ynet_ynetd_push_ipaddr(int sock, const struct in_addr *addr, int timeout) YQ_NOEXCEPT;
YQ_API int ynet_ynetd_pop_ipaddr(int sock, struct sockaddr_in *out, int timeout) YQ_NOEXCEPT;

/* For ynetd: the hash pair of one hand-over (hash_str1 goes to the asker,
   hash_str2 with the descriptor), its check, and the sending half. */
YQ_API void ynet_generate_hashes(int sock, char *hash_str1, int size1, char *hash_str2,
                                 int size2) YQ_NOEXCEPT;
YQ_API int verify_hashes(const char *hash_str1, const char *hash_str2) YQ_NOEXCEPT; /* 1 or 0 */
YQ_API int ynet_connect_by_ynetd(const char *path, int *sock, int max_time) YQ_NOEXCEPT;
YQ_API int ynet_send_network_socket(int conn, int fd, const char *hash_str2,
                                    int timeout) YQ_NOEXCEPT;

/* Service registration and socket hand-off. Paths are "DIR/name.ext" in the
   rendezvous directory, name in lower case: "uds" socket, "txt" service file. */
YQ_API int ynet_generate_service_path(const char *name, const char *extension,
                                      char **path) YQ_NOEXCEPT;
YQ_API int ynet_ynetd_listen_and_register_service(const char *name, int backlog,
                                                  int *listen_sock, int timeout) YQ_NOEXCEPT;
YQ_API int ynet_ynetd_register_service(const char *name, int pid, int exptime, const char *ipc,
                                       const char *dcmd, const char *icmd,
                                       char **args) YQ_NOEXCEPT;
YQ_API int ynet_ynetd_register_daemon_command(const char *name, const char *command) YQ_NOEXCEPT;
YQ_API int ynet_ynetd_unregister_service(const char *name) YQ_NOEXCEPT;
YQ_API void ynet_delete_unix_service_ipc(const char *name) YQ_NOEXCEPT;
YQ_API int ynet_ynetd_service_socket(int *sock, int version, const char *service,
                                     int timeout) YQ_NOEXCEPT;

/* Security-information query: completes the empty fields of `info`. */
YQ_API int ynet_ynetd_get_security_info(int *sock, int version, struct crconf_info_rec *info,
                                        int timeout) YQ_NOEXCEPT;

/* ---- Authentication negotiation on connections. */
struct YssConInfo_t;
struct YssCertInfo;

/* The caller's writers of the client's magic: a negative result is a failure
   with an error value in *error. */
typedef int (*put_string_fn)(int fd, const char *text, int *error);
typedef int (*put_long_fn)(int fd, long value, int *error);

/* Magic values of the exchange (the four bytes spell the names). */
#define YNET_YQSS_MAGIC_STRING 0x59715353   /* "YqSS": string form, no context kept */
#define YNET_YQSS_MAGIC_STRING_D 0x59715344 /* "YqSD": string form, context kept */
#define YNET_YQSS_MAGIC_REQUIRED 0x59715352 /* "YqSR": client requires */
#define YNET_YQSS_MAGIC_PROHIBITED 0x59715350 /* "YqSP": client prohibits */
#define YNET_YQSS_MAGIC_AUTOMATIC 0x59715341 /* "YqSA": client automatic */

/* Mode determination and credential locations. */
YQ_API int ynet_determine_yqss_socket(int fd, int check_version, struct crconf_info_rec **info, char *cred_path,
                                      int cred_path_len, int *use_yqss, int *remote_capable) YQ_NOEXCEPT;
YQ_API int get_socket_host_info(int fd, struct crconf_info_rec *info, struct sockaddr_in *peer, char *host,
                                int host_len, int *is_local, int *is_master) YQ_NOEXCEPT;
YQ_API int check_remote_yqss_version(int fd, struct crconf_info_rec *info, int *capable) YQ_NOEXCEPT;
YQ_API int ynet_normalize_security_info(struct crconf_info_rec *info) YQ_NOEXCEPT;
YQ_API int ynet_check_yqss_status(const struct in_addr *peer, struct crconf_info_rec *info,
                                  int *use_yqss) YQ_NOEXCEPT;
YQ_API int ynet_check_local_interface(const char *name, struct in_addr *addr) YQ_NOEXCEPT;
YQ_API int ynet_get_credential_path(int fd, char *path, int len) YQ_NOEXCEPT;
YQ_API int ynet_get_machine_credential_path(int fd, char *path, int len) YQ_NOEXCEPT;
YQ_API int ynet_get_user_credential_path(char *path, int len) YQ_NOEXCEPT;
YQ_API int ynet_check_yqss_machine_directory(void) YQ_NOEXCEPT;
YQ_API int ynet_check_yqss_user_directory(char *path, int len) YQ_NOEXCEPT;
YQ_API int ynet_set_carrow_daemon(int on) YQ_NOEXCEPT;
YQ_API int ynet_check_carrow_daemon(void) YQ_NOEXCEPT;
YQ_API int is_yqss_at_installed(struct crconf_info_rec *info) YQ_NOEXCEPT;

/* The magic exchange and peer authentication. */
YQ_API int ynet_check_yqss_client_magic_with_info(int fd, int check_version, int debug_fd, int *use_yqss,
                                                  put_string_fn put_string, put_long_fn put_long,
                                                  struct YssConInfo_t **ctx_out) YQ_NOEXCEPT;
YQ_API int ynet_check_yqss_client_magic(int fd, int check_version, int debug_fd, int *use_yqss,
                                        put_string_fn put_string, put_long_fn put_long) YQ_NOEXCEPT;
YQ_API int ynet_check_yqss_server_magic(int fd, int magic, int client_use_yqss, int debug_fd, int *is_magic,
                                        int *use_yqss, struct YssConInfo_t **ctx) YQ_NOEXCEPT;
YQ_API int ynet_setup_yqss_socket(int fd, const char *cred_path, int *use_yqss,
                                  struct YssConInfo_t **ctx) YQ_NOEXCEPT;
YQ_API int ynet_yqss_authenticate(int is_server, struct YssConInfo_t **ctx) YQ_NOEXCEPT;
YQ_API void ynet_yqss_close(struct YssConInfo_t **ctx) YQ_NOEXCEPT;
YQ_API void ynet_yqss_cleanup(struct YssConInfo_t **ctx) YQ_NOEXCEPT;
YQ_API int yqss_to_ynet_status(int yss_status) YQ_NOEXCEPT;
YQ_API int check_if_machine_cred(struct YssConInfo_t *ctx, int dhcp_check, int *is_machine) YQ_NOEXCEPT;
YQ_API void check_for_dhcp_override(const char *name, int *is_machine) YQ_NOEXCEPT;
YQ_API int ynet_check_yqss_server_list(void *list, void *entry, struct YssConInfo_t **ctx) YQ_NOEXCEPT;

/* User credentials and the login cache. */
YQ_API int ynet_yqss_import_credential(const char *cred_path, int check_expiry,
                                       struct YssConInfo_t *ctx) YQ_NOEXCEPT;
YQ_API int ynet_yqss_check_user_cred(const char *domain, const char *user, const char *password,
                                     int get_root_cert) YQ_NOEXCEPT;
YQ_API int ynet_yqss_change_user(const char *domain, int mechanism, const char *broker, int port, const char *user,
                                 const char *password, const char *cred_file, int get_root_cert) YQ_NOEXCEPT;
YQ_API int ynet_yqss_java_login(const char *user, const char *password, const char *cred_file,
                                int get_root_cert) YQ_NOEXCEPT;
YQ_API int ynet_yqss_set_login_cache(const char *domain, int mechanism, const char *broker, int port,
                                     const char *user) YQ_NOEXCEPT;
YQ_API int ynet_yqss_get_login_cache(char *domain, int domain_len, int *mechanism, char *broker, int broker_len,
                                     int *port, char *user, int user_len) YQ_NOEXCEPT;

/* Out-of-process client magic. */
YQ_API int ynet_dlopen_yqss_client_magic(int fd, int check_version, int debug_fd, int *use_yqss,
                                         put_string_fn put_string) YQ_NOEXCEPT;
YQ_API int ynet_exec_yqss_client_magic(int fd, int check_version, int debug_fd, int *use_yqss) YQ_NOEXCEPT;

YQ_END_C

#endif
