// The security-information query: the master's authorization service, the
// authentication domains and the networks with their security use, asked of
// ynetd field by field for what the caller's record still lacks.
#include <string_view>

#include "crconf.h"
#include "ynet.h"
#include "ynet_ynetd_internal.h"

using yq::ynet_ynetd::drop_and_fail;

namespace {

bool unknown(const char *text) { return std::string_view(text) == YNETD_UNKNOWN_FIELD; }

// A refusal or a record that cannot be built: the cause is reported, the
// caller learns that the information could not be passed on.
int not_built(int cause, yq::report::Where where = yq::report::Where::current()) {
    yq::report::value(kModule, "retval", nullptr, cause, 0, where);
    return yq::report::fail(kModule, YN_STATUS_DESCRIPTOR_PASSING_FAILED, "status", where);
}

int pop_text(int sock, char *text, int timeout) {
    return YN_FAIL_STATUS_IF(ynet_pop_string(sock, text, YNETD_TEXT_SIZE, timeout));
}

int pop_int(int sock, int *value, int timeout) {
    long number = 0;
    int status = ynet_pop_signed(sock, &number, timeout);
    if (status != YN_STATUS_SUCCESS) return YN_FAIL_STATUS(status);
    *value = static_cast<int>(number);
    return YN_STATUS_SUCCESS;
}

int ask_field(int sock, const char *field, char *first, int timeout) {
    int status = ynet_push_string(sock, field, timeout);
    if (status != YN_STATUS_SUCCESS) return YN_FAIL_STATUS(status);
    status = pop_text(sock, first, timeout);
    if (status != YN_STATUS_SUCCESS) return status;
    YN_DEBUG_VALUE(field, first, 0);
    if (unknown(first)) return YN_FAIL_STATUS(YN_STATUS_INVALID_ARGUMENT);
    return YN_STATUS_SUCCESS;
}

int fetch_authorization_service(int sock, crconf_info_rec *info, int timeout) {
    char host[YNETD_TEXT_SIZE];
    int status = ask_field(sock, YNETD_FIELD_AUTHORIZATION_SERVICE, host, timeout);
    if (status != YN_STATUS_SUCCESS || host[0] == '\0') return status;
    int port = 0;
    if ((status = pop_int(sock, &port, timeout)) != YN_STATUS_SUCCESS) return status;
    crconf_authorization_service_rec *record = nullptr;
    int result = crconf_create_authorization_service(host, port, &record);
    if (result != 0) {
        crconf_free_authorization_service(&record);
        return not_built(result);
    }
    info->ni_authorization_service = record;
    char rest[YNETD_TEXT_SIZE];
    if ((status = pop_text(sock, rest, timeout)) != YN_STATUS_SUCCESS) return status;
    if (rest[0] != '\0') {
        YN_DEBUG_VALUE("unexpected", rest, 0);
        return YN_FAIL_STATUS(YN_STATUS_INVALID_ARGUMENT);
    }
    return YN_STATUS_SUCCESS;
}

int fetch_authentication_domains(int sock, crconf_info_rec *info, int timeout) {
    char broker[YNETD_TEXT_SIZE];
    int status = ask_field(sock, YNETD_FIELD_AUTHENTICATION_DOMAINS, broker, timeout);
    if (status != YN_STATUS_SUCCESS) return status;
    crconf_authentication_domain_rec **tail = &info->ni_authentication_domains;
    while (*tail != nullptr) tail = &(*tail)->ad_next;
    while (broker[0] != '\0') {
        char domain[YNETD_TEXT_SIZE];
        char comment[YNETD_TEXT_SIZE];
        int port = 0;
        int type = 0;
        if ((status = pop_int(sock, &port, timeout)) != YN_STATUS_SUCCESS ||
            (status = pop_text(sock, domain, timeout)) != YN_STATUS_SUCCESS ||
            (status = pop_text(sock, comment, timeout)) != YN_STATUS_SUCCESS ||
            (status = pop_int(sock, &type, timeout)) != YN_STATUS_SUCCESS)
            return status;
        crconf_authentication_domain_rec *record = nullptr;
        int result = crconf_create_authentication_domain(domain, comment, type, broker, port,
                                                         &record);
        if (result != 0) {
            crconf_free_authentication_domain(&record);
            return not_built(result);
        }
        *tail = record;
        tail = &record->ad_next;
        if ((status = pop_text(sock, broker, timeout)) != YN_STATUS_SUCCESS) return status;
    }
    return YN_STATUS_SUCCESS;
}

int fetch_yqss_networks(int sock, crconf_info_rec *info, int timeout) {
    char network[YNETD_TEXT_SIZE];
    int status = ask_field(sock, YNETD_FIELD_YQSS_NETWORKS, network, timeout);
    if (status != YN_STATUS_SUCCESS) return status;
    crconf_yqss_network_rec **tail = &info->ni_yqss_networks;
    while (*tail != nullptr) tail = &(*tail)->nw_next;
    while (network[0] != '\0') {
        int use_yqss = 0;
        if ((status = pop_int(sock, &use_yqss, timeout)) != YN_STATUS_SUCCESS) return status;
        crconf_yqss_network_rec *record = nullptr;
        int result = crconf_create_yqss_network(network, use_yqss, &record);
        if (result != 0) {
            crconf_free_yqss_network(&record);
            return not_built(result);
        }
        *tail = record;
        tail = &record->nw_next;
        if ((status = pop_text(sock, network, timeout)) != YN_STATUS_SUCCESS) return status;
    }
    return YN_STATUS_SUCCESS;
}

int query_security_info(int sock, crconf_info_rec *info, int timeout) {
    int status = ynet_push_unsigned(sock, YNETD_REQUEST_SECURITY_INFO, timeout);
    if (status != YN_STATUS_SUCCESS) return YN_FAIL_STATUS(status);
    int answer = 0;
    if ((status = ynet_pop_status(sock, &answer, timeout)) != YN_STATUS_SUCCESS)
        return YN_FAIL_STATUS(status);
    if (answer != YN_STATUS_SUCCESS) return not_built(answer);
    if (info->ni_authorization_service == nullptr &&
        (status = fetch_authorization_service(sock, info, timeout)) != YN_STATUS_SUCCESS)
        return status;
    if (info->ni_authentication_domains == nullptr &&
        (status = fetch_authentication_domains(sock, info, timeout)) != YN_STATUS_SUCCESS)
        return status;
    if (info->ni_yqss_networks == nullptr &&
        (status = fetch_yqss_networks(sock, info, timeout)) != YN_STATUS_SUCCESS)
        return status;
    return YN_FAIL_STATUS_IF(ynet_push_string(sock, "", timeout));
}

}  // namespace

extern "C" int ynet_ynetd_get_security_info(int *sock, int version, struct crconf_info_rec *info,
                                            int timeout) noexcept {
    // Every failure ends the conversation here: the caller stops at the
    // first failing step and sends no disconnect request of its own.
    if (version < 3) return drop_and_fail(sock, YN_STATUS_VERSION_MISMATCH);
    if (info == nullptr || sock == nullptr) return drop_and_fail(sock, YN_STATUS_INVALID_ARGUMENT);
    if (info->ni_authorization_service != nullptr && info->ni_authentication_domains != nullptr &&
        info->ni_yqss_networks != nullptr)
        return YN_STATUS_SUCCESS;
    int status = query_security_info(*sock, info, timeout);
    if (status != YN_STATUS_SUCCESS) return drop_and_fail(sock, status);
    return YN_STATUS_SUCCESS;
}
