/* The security configuration record, shared with the configuration library
   libYcrconf (which allocates and fills it): field order is part of the
   contract between the two. */
#ifndef CRCONF_H
#define CRCONF_H

#include "yq_api.h"

YQ_BEGIN_C

enum {
    USE_YQSS_AUTOMATIC = 0,
    USE_YQSS_REQUIRED = 1,
    USE_YQSS_PROHIBITED = 2
};

typedef struct crconf_server_rec {
    char *ns_server;
    struct crconf_server_rec *ns_next;
} crconf_server_rec;

typedef struct crconf_authentication_domain_rec {
    char *ad_domain;
    char *ad_comment;
    int ad_auth_type;
    char *ad_broker;
    int ad_port;
    struct crconf_authentication_domain_rec *ad_next;
} crconf_authentication_domain_rec;

typedef struct crconf_authorization_service_rec {
    char *as_host; /* NULL for none ("_NONE_") */
    int as_port;
} crconf_authorization_service_rec;

typedef struct crconf_yqss_network_rec {
    char *nw_network;
    int nw_use_yqss;
    struct crconf_yqss_network_rec *nw_next;
} crconf_yqss_network_rec;

typedef struct crconf_info_rec {
    int ni_update_time;
    crconf_server_rec *ni_servers; /* first: the master server */
    char *ni_reserved_text_1;
    int ni_client_port_low;
    int ni_client_port_high;
    char *ni_required_interface;
    crconf_authentication_domain_rec *ni_authentication_domains;
    crconf_authorization_service_rec *ni_authorization_service;
    int ni_use_yqss;
    crconf_yqss_network_rec *ni_yqss_networks;
    int ni_connect_timeout;
    int ni_request_timeout;
    int ni_security_info_fetched;
    char *ni_reserved_text_2;
    char *ni_reserved_text_3;
    int ni_verbose;
} crconf_info_rec;

YQ_API int crconf_get_info(crconf_info_rec **info) YQ_NOEXCEPT;
YQ_API void crconf_free_info(crconf_info_rec **info) YQ_NOEXCEPT;
YQ_API int crconf_create_authentication_domain(const char *domain, const char *comment,
                                               int auth_type, const char *broker, int port,
                                               crconf_authentication_domain_rec **out) YQ_NOEXCEPT;
YQ_API int crconf_create_authorization_service(const char *host, int port,
                                               crconf_authorization_service_rec **out) YQ_NOEXCEPT;
YQ_API int crconf_create_yqss_network(const char *network, int use_yqss,
                                      crconf_yqss_network_rec **out) YQ_NOEXCEPT;
YQ_API void crconf_free_authentication_domain(crconf_authentication_domain_rec **rec) YQ_NOEXCEPT;
YQ_API void crconf_free_authorization_service(crconf_authorization_service_rec **rec) YQ_NOEXCEPT;
YQ_API void crconf_free_yqss_network(crconf_yqss_network_rec **rec) YQ_NOEXCEPT;
YQ_API int conf_update_time(void) YQ_NOEXCEPT;
YQ_API void crconf_debug_msg(const char *module, int line, const char *function, const char *label,
                             const char *text, int value) YQ_NOEXCEPT;

/* Entry points of the configuration library, looked up by name. */
typedef int (*crconf_init_fn)(int flag, int debug_fd);
typedef int (*crconf_get_cwinfo_fn)(crconf_info_rec **info);
typedef int (*crconf_cleanup_fn)(void);

YQ_END_C

#endif
