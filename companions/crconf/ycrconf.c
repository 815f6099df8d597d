/* libYcrconf: reads the product configuration file "cw.conf" and produces
   the security configuration record that libYqSS_helper loads through
   crconf_init, crconf_get_cwinfo and crconf_cleanup.

   A separate product component: plain libc only. Every part of the record
   comes from malloc/calloc/strdup because the caller frees it with free().
   The format is described in README.md beside this file. */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include "crconf.h"
#include "ycrconf_parse.h"
#include "yq_paths.h"

/* The interface version the caller announces in crconf_init. */
#define YCRCONF_INTERFACE 1

#define YCRCONF_MAX_VALUES 8

YQ_API int crconf_init(int interface_version, int debug_fd);
YQ_API int crconf_get_cwinfo(crconf_info_rec **info);
YQ_API int crconf_cleanup(void);

/* The entry points must match what the loader calls them as. */
_Static_assert(__builtin_types_compatible_p(__typeof__(&crconf_init), crconf_init_fn),
               "crconf_init signature");
_Static_assert(__builtin_types_compatible_p(__typeof__(&crconf_get_cwinfo), crconf_get_cwinfo_fn),
               "crconf_get_cwinfo signature");
_Static_assert(__builtin_types_compatible_p(__typeof__(&crconf_cleanup), crconf_cleanup_fn),
               "crconf_cleanup signature");

/* Where bad lines are reported; -1 when the caller has no debug log. */
static int debug_fd = -1;

/* ---- record release (mirrors the caller's destructor) ---- */

void ycrconf_free_record(crconf_info_rec *rec) {
    if (rec == NULL) return;
    while (rec->ni_servers != NULL) {
        crconf_server_rec *next = rec->ni_servers->ns_next;
        free(rec->ni_servers->ns_server);
        free(rec->ni_servers);
        rec->ni_servers = next;
    }
    free(rec->ni_reserved_text_1);
    free(rec->ni_required_interface);
    while (rec->ni_authentication_domains != NULL) {
        crconf_authentication_domain_rec *next = rec->ni_authentication_domains->ad_next;
        free(rec->ni_authentication_domains->ad_domain);
        free(rec->ni_authentication_domains->ad_comment);
        free(rec->ni_authentication_domains->ad_broker);
        free(rec->ni_authentication_domains);
        rec->ni_authentication_domains = next;
    }
    if (rec->ni_authorization_service != NULL) {
        free(rec->ni_authorization_service->as_host);
        free(rec->ni_authorization_service);
    }
    while (rec->ni_yqss_networks != NULL) {
        crconf_yqss_network_rec *next = rec->ni_yqss_networks->nw_next;
        free(rec->ni_yqss_networks->nw_network);
        free(rec->ni_yqss_networks);
        rec->ni_yqss_networks = next;
    }
    free(rec->ni_reserved_text_2);
    free(rec->ni_reserved_text_3);
    free(rec);
}

/* ---- reporting ---- */

static void report(const char *path, int line_no, const char *reason, const char *detail) {
    char text[1024];
    int n;
    size_t done = 0;
    if (debug_fd == -1) return;
    n = snprintf(text, sizeof text, "libYcrconf: %s line %d: %s%s%s%s\n", path, line_no, reason,
                 detail != NULL ? " \"" : "", detail != NULL ? detail : "",
                 detail != NULL ? "\"" : "");
    if (n < 0) return;
    if ((size_t)n >= sizeof text) {
        n = (int)sizeof text - 1;
        text[n - 1] = '\n';
    }
    while (done < (size_t)n) {
        ssize_t w = write(debug_fd, text + done, (size_t)n - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return;
        done += (size_t)w;
    }
}

/* ---- line splitting ---- */

/* One configuration line cut into its key and values, in place. */
struct line {
    char *key;
    char *values[YCRCONF_MAX_VALUES];
    int count;
};

static int is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

static char *skip_blanks(char *s) {
    while (*s != '\0' && is_blank(*s)) ++s;
    return s;
}

/* Cuts one value at *cursor: a word, or a double-quoted text in which \" and
   \\ stand for " and \. Returns NULL with *error set on a malformed value. */
static char *cut_value(char **cursor, const char **error) {
    char *s = *cursor;
    char *start = s;
    if (*s == '"') {
        char *out = ++s;
        start = out;
        for (;;) {
            if (*s == '\0') {
                *error = "unterminated quoted value";
                return NULL;
            }
            if (*s == '"') break;
            if (*s == '\\' && (s[1] == '"' || s[1] == '\\')) ++s;
            *out++ = *s++;
        }
        ++s; /* the closing quote */
        if (*s != '\0' && !is_blank(*s)) {
            *error = "text after a quoted value";
            return NULL;
        }
        *out = '\0';
    } else {
        while (*s != '\0' && !is_blank(*s)) ++s;
    }
    if (*s != '\0') *s++ = '\0';
    *cursor = s;
    return start;
}

/* 1: a line to act on; 0: blank or comment; -1: malformed (*error set). */
static int split_line(char *text, struct line *out, const char **error) {
    char *s = skip_blanks(text);
    char *eq;
    char *end;
    out->count = 0;
    if (*s == '\0' || *s == '#') return 0;
    eq = strchr(s, '=');
    if (eq == NULL) {
        *error = "expected KEY = value";
        return -1;
    }
    end = eq;
    while (end > s && is_blank(end[-1])) --end;
    if (end == s) {
        *error = "missing key";
        return -1;
    }
    *end = '\0';
    out->key = s;
    s = eq + 1;
    for (;;) {
        char *value;
        s = skip_blanks(s);
        if (*s == '\0' || *s == '#') break; /* a comment ends the line */
        if (out->count == YCRCONF_MAX_VALUES) {
            *error = "too many values";
            return -1;
        }
        value = cut_value(&s, error);
        if (value == NULL) return -1;
        out->values[out->count++] = value;
    }
    return 1;
}

/* ---- value conversion ---- */

static int parse_int(const char *text, long low, long high, int *out) {
    char *end;
    long v;
    if (*text == '\0') return -1;
    errno = 0;
    v = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < low || v > high) return -1;
    *out = (int)v;
    return 0;
}

static int parse_mode(const char *text, int *out) {
    if (strcasecmp(text, "AUTOMATIC") == 0) {
        *out = USE_YQSS_AUTOMATIC;
    } else if (strcasecmp(text, "REQUIRED") == 0) {
        *out = USE_YQSS_REQUIRED;
    } else if (strcasecmp(text, "PROHIBITED") == 0) {
        *out = USE_YQSS_PROHIBITED;
    } else {
        return -1;
    }
    return 0;
}

/* ---- keys ---- */

/* A handler returns YCRCONF_OK, YCRCONF_NO_MEMORY, or -1 with *error set. */
struct parser {
    crconf_info_rec *rec;
    crconf_server_rec **server_tail;
    crconf_authentication_domain_rec **domain_tail;
    crconf_yqss_network_rec **network_tail;
};

typedef int (*key_handler)(struct parser *, char **values, const char **error);

static int replace_text(char **field, const char *value) {
    char *copy = strdup(value);
    if (copy == NULL) return YCRCONF_NO_MEMORY;
    free(*field);
    *field = copy;
    return YCRCONF_OK;
}

static int on_server(struct parser *p, char **v, const char **error) {
    crconf_server_rec *server = calloc(1, sizeof *server);
    (void)error;
    if (server == NULL) return YCRCONF_NO_MEMORY;
    server->ns_server = strdup(v[0]);
    if (server->ns_server == NULL) {
        free(server);
        return YCRCONF_NO_MEMORY;
    }
    *p->server_tail = server;
    p->server_tail = &server->ns_next;
    return YCRCONF_OK;
}

static int on_client_port_window(struct parser *p, char **v, const char **error) {
    int low, high;
    if (parse_int(v[0], 0, 65535, &low) != 0 || parse_int(v[1], 0, 65535, &high) != 0) {
        *error = "ports must be numbers from 0 to 65535";
        return -1;
    }
    if (low > high) {
        *error = "low port above high port";
        return -1;
    }
    p->rec->ni_client_port_low = low;
    p->rec->ni_client_port_high = high;
    return YCRCONF_OK;
}

static int on_required_interface(struct parser *p, char **v, const char **error) {
    (void)error;
    return replace_text(&p->rec->ni_required_interface, v[0]);
}

static int on_use_yqss(struct parser *p, char **v, const char **error) {
    if (parse_mode(v[0], &p->rec->ni_use_yqss) != 0) {
        *error = "expected AUTOMATIC, REQUIRED or PROHIBITED";
        return -1;
    }
    return YCRCONF_OK;
}

static int on_yqss_network(struct parser *p, char **v, const char **error) {
    crconf_yqss_network_rec *network;
    int mode;
    if (parse_mode(v[1], &mode) != 0) {
        *error = "expected AUTOMATIC, REQUIRED or PROHIBITED";
        return -1;
    }
    network = calloc(1, sizeof *network);
    if (network == NULL) return YCRCONF_NO_MEMORY;
    network->nw_network = strdup(v[0]);
    if (network->nw_network == NULL) {
        free(network);
        return YCRCONF_NO_MEMORY;
    }
    network->nw_use_yqss = mode;
    *p->network_tail = network;
    p->network_tail = &network->nw_next;
    return YCRCONF_OK;
}

static int on_authentication_domain(struct parser *p, char **v, const char **error) {
    crconf_authentication_domain_rec *domain;
    int type, port;
    if (parse_int(v[2], 0, 4, &type) != 0) {
        *error = "authentication type must be 0 to 4";
        return -1;
    }
    if (parse_int(v[4], 0, 65535, &port) != 0) {
        *error = "port must be a number from 0 to 65535";
        return -1;
    }
    domain = calloc(1, sizeof *domain);
    if (domain == NULL) return YCRCONF_NO_MEMORY;
    domain->ad_domain = strdup(v[0]);
    domain->ad_comment = strdup(v[1]);
    domain->ad_broker = strdup(v[3]);
    if (domain->ad_domain == NULL || domain->ad_comment == NULL || domain->ad_broker == NULL) {
        free(domain->ad_domain);
        free(domain->ad_comment);
        free(domain->ad_broker);
        free(domain);
        return YCRCONF_NO_MEMORY;
    }
    domain->ad_auth_type = type;
    domain->ad_port = port;
    *p->domain_tail = domain;
    p->domain_tail = &domain->ad_next;
    return YCRCONF_OK;
}

static int on_authorization_service(struct parser *p, char **v, const char **error) {
    crconf_authorization_service_rec *service;
    int port;
    if (parse_int(v[1], 0, 65535, &port) != 0) {
        *error = "port must be a number from 0 to 65535";
        return -1;
    }
    service = calloc(1, sizeof *service);
    if (service == NULL) return YCRCONF_NO_MEMORY;
    /* "_NONE_" is stored as no host, as the library's readers expect. */
    if (strcmp(v[0], "_NONE_") != 0) {
        service->as_host = strdup(v[0]);
        if (service->as_host == NULL) {
            free(service);
            return YCRCONF_NO_MEMORY;
        }
    }
    service->as_port = port;
    if (p->rec->ni_authorization_service != NULL) {
        free(p->rec->ni_authorization_service->as_host);
        free(p->rec->ni_authorization_service);
    }
    p->rec->ni_authorization_service = service;
    return YCRCONF_OK;
}

static int set_seconds(int *field, const char *value, const char **error) {
    if (parse_int(value, 0, INT_MAX, field) != 0) {
        *error = "expected a number of seconds (0 or more)";
        return -1;
    }
    return YCRCONF_OK;
}

static int on_connect_timeout(struct parser *p, char **v, const char **error) {
    return set_seconds(&p->rec->ni_connect_timeout, v[0], error);
}

static int on_request_timeout(struct parser *p, char **v, const char **error) {
    return set_seconds(&p->rec->ni_request_timeout, v[0], error);
}

static int on_verbose(struct parser *p, char **v, const char **error) {
    if (parse_int(v[0], 0, INT_MAX, &p->rec->ni_verbose) != 0) {
        *error = "expected a level (0 or more)";
        return -1;
    }
    return YCRCONF_OK;
}

static const struct key {
    const char *name;
    int values;
    unsigned may_be_empty; /* bit i: value i may be "" */
    key_handler handle;
} keys[] = {
    {"SERVER", 1, 0, on_server},
    {"CLIENT_PORT_WINDOW", 2, 0, on_client_port_window},
    {"REQUIRED_INTERFACE", 1, 0, on_required_interface},
    {"USE_YQSS", 1, 0, on_use_yqss},
    {"YQSS_NETWORK", 2, 0, on_yqss_network},
    {"AUTHENTICATION_DOMAIN", 5, 1u << 1, on_authentication_domain}, /* the comment */
    {"AUTHORIZATION_SERVICE", 2, 0, on_authorization_service},
    {"CONNECT_TIMEOUT", 1, 0, on_connect_timeout},
    {"REQUEST_TIMEOUT", 1, 0, on_request_timeout},
    {"VERBOSE", 1, 0, on_verbose},
};

/* Acts on one line; bad lines are reported and skipped. */
static int take_line(struct parser *p, const char *path, int line_no, char *text) {
    struct line line;
    const char *error = NULL;
    size_t i;
    int v;
    int kind = split_line(text, &line, &error);
    if (kind <= 0) {
        if (kind < 0) report(path, line_no, error, NULL);
        return YCRCONF_OK;
    }
    for (i = 0; i < sizeof keys / sizeof keys[0]; ++i) {
        int status;
        if (strcasecmp(line.key, keys[i].name) != 0) continue;
        if (line.count != keys[i].values) {
            char expected[64];
            snprintf(expected, sizeof expected, "%s takes %d value%s", keys[i].name,
                     keys[i].values, keys[i].values == 1 ? "" : "s");
            report(path, line_no, expected, NULL);
            return YCRCONF_OK;
        }
        for (v = 0; v < line.count; ++v) {
            if (line.values[v][0] == '\0' && !(keys[i].may_be_empty & (1u << v))) {
                report(path, line_no, "empty value", NULL);
                return YCRCONF_OK;
            }
        }
        status = keys[i].handle(p, line.values, &error);
        if (status < 0) {
            report(path, line_no, error, NULL);
            return YCRCONF_OK;
        }
        return status;
    }
    report(path, line_no, "unknown key", line.key);
    return YCRCONF_OK;
}

int ycrconf_read_stream(FILE *file, const char *path, crconf_info_rec *rec) {
    struct parser p = {rec, &rec->ni_servers, &rec->ni_authentication_domains,
                       &rec->ni_yqss_networks};
    char *text = NULL;
    size_t capacity = 0;
    int line_no = 0;
    int status = YCRCONF_OK;
    errno = 0;
    while (getline(&text, &capacity, file) >= 0) {
        status = take_line(&p, path, ++line_no, text);
        if (status != YCRCONF_OK) break;
        errno = 0;
    }
    if (status == YCRCONF_OK && ferror(file)) status = errno == ENOMEM ? YCRCONF_NO_MEMORY
                                                                       : YCRCONF_UNREADABLE;
    free(text);
    return status;
}

crconf_info_rec *ycrconf_new_record(void) {
    crconf_info_rec *rec = calloc(1, sizeof *rec);
    if (rec == NULL) return NULL;
    rec->ni_use_yqss = USE_YQSS_AUTOMATIC;
    rec->ni_connect_timeout = 300;
    rec->ni_request_timeout = 60;
    return rec;
}

int crconf_init(int interface_version, int fd) {
    if (interface_version != YCRCONF_INTERFACE) return YCRCONF_BAD_ARGUMENT;
    debug_fd = fd;
    return YCRCONF_OK;
}

int crconf_get_cwinfo(crconf_info_rec **info) {
    const char *path = YQ_PATH_CW_CONF;
    crconf_info_rec *rec;
    FILE *file;
    int status = YCRCONF_OK;
    if (info == NULL) return YCRCONF_BAD_ARGUMENT;
    rec = ycrconf_new_record();
    if (rec == NULL) return YCRCONF_NO_MEMORY;

    file = fopen(path, "re");
    if (file != NULL) {
        status = ycrconf_read_stream(file, path, rec);
        fclose(file);
    } else if (errno != ENOENT) {
        /* A file that exists but cannot be read must not pass for defaults. */
        status = errno == ENOMEM ? YCRCONF_NO_MEMORY : YCRCONF_UNREADABLE;
    }
    if (status != YCRCONF_OK) {
        ycrconf_free_record(rec);
        return status;
    }
    *info = rec;
    return YCRCONF_OK;
}

int crconf_cleanup(void) {
    debug_fd = -1;
    return YCRCONF_OK;
}
