// Commands that talk to a ynetd: ping, version, decide, security-info.
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "crconf.h"
#include "ynet.h"
#include "ynetctl.h"
#include "yq_paths.h"

namespace ynetctl {

namespace {

using Clock = std::chrono::steady_clock;

long elapsed_us(Clock::time_point since) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - since).count());
}

// A daemon conversation, closed politely when it is still in step.
struct Conversation {
    int sock = -1;
    int version = 0;
    int timeout = 10;
    ~Conversation() {
        if (sock >= 0) ynet_ynetd_disconnect(&sock, version, timeout);
        if (sock >= 0) ::close(sock);
    }
};

const char *setting_name(int use) {
    switch (use) {
    case USE_YQSS_AUTOMATIC: return "AUTOMATIC";
    case USE_YQSS_REQUIRED: return "REQUIRED";
    case USE_YQSS_PROHIBITED: return "PROHIBITED";
    default: return "UNKNOWN";
    }
}

std::string networks_text(const crconf_yqss_network_rec *network) {
    std::string text;
    for (; network != nullptr; network = network->nw_next)
        text += (text.empty() ? "" : ", ") + std::string(network->nw_network ? network->nw_network : "") + " " +
                setting_name(network->nw_use_yqss);
    return text;
}

std::string domains_text(const crconf_authentication_domain_rec *domain) {
    std::string text;
    for (; domain != nullptr; domain = domain->ad_next)
        text += (text.empty() ? "" : ", ") + std::string(domain->ad_domain ? domain->ad_domain : "") + "@" +
                (domain->ad_broker ? domain->ad_broker : "") + ":" + std::to_string(domain->ad_port);
    return text;
}

std::string service_text(const crconf_authorization_service_rec *service) {
    if (service == nullptr) return "";
    if (service->as_host == nullptr) return "_NONE_";
    return std::string(service->as_host) + ":" + std::to_string(service->as_port);
}

// The record's security fields under `prefix`.
void security_fields(Output &out, const std::string &prefix, const crconf_info_rec &info) {
    out.text(prefix + "use_yqss", setting_name(info.ni_use_yqss));
    out.text(prefix + "authentication_domains", domains_text(info.ni_authentication_domains));
    out.text(prefix + "authorization_service", service_text(info.ni_authorization_service));
    out.text(prefix + "yqss_networks", networks_text(info.ni_yqss_networks));
}

// Connects to HOST's ynetd and agrees on a protocol version, timing both.
int open_conversation(const std::string &host, Conversation &talk, Output &out) {
    sockaddr_in daemon{};
    int status = daemon_address(host, daemon);
    if (status != YN_STATUS_SUCCESS) return status;
    char dotted[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &daemon.sin_addr, dotted, sizeof dotted);
    out.text("host", host);
    out.text("address", dotted);
    out.number("port", ntohs(daemon.sin_port));
    auto start = Clock::now();
    status = ynet_bind_and_connect(&daemon, 0, 0, nullptr, &talk.sock, talk.timeout);
    out.number("connect_us", elapsed_us(start));
    if (status != YN_STATUS_SUCCESS) return status;
    start = Clock::now();
    status = version_connect(talk.sock, YNETD_PROTOCOL_MAX, YNETD_PROTOCOL_MIN, &talk.version, talk.timeout);
    out.number("handshake_us", elapsed_us(start));
    out.number("protocol", talk.version);
    return status;
}

}  // namespace

int daemon_address(const std::string &host, sockaddr_in &out) {
    hostent *entry = nullptr;
    int status = ynet_cached_gethostbyname(host.c_str(), &entry);
    if (status != YN_STATUS_SUCCESS) return status;
    if (entry == nullptr || entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr) {
        ynet_free_hostent(&entry);
        return YN_STATUS_HOST_NOT_FOUND;
    }
    out = sockaddr_in{};
    out.sin_family = AF_INET;
    std::memcpy(&out.sin_addr, entry->h_addr_list[0], sizeof out.sin_addr);
    ynet_free_hostent(&entry);
    int port = YNETD_DEFAULT_PORT;
    ynet_get_port(&port);
    out.sin_port = htons(static_cast<uint16_t>(port));
    return YN_STATUS_SUCCESS;
}

int cmd_ping(const Options &options, Output &out) {
    Conversation talk;
    talk.timeout = options.timeout;
    int status = open_conversation(options.args[0], talk, out);
    if (status == YN_STATUS_SUCCESS) {
        auto start = Clock::now();
        status = ynet_ynetd_noop(&talk.sock, talk.version, talk.timeout);
        out.number("noop_us", elapsed_us(start));
    }
    out.number("status", status);
    return status;
}

int cmd_version(const Options &options, Output &out) {
    const std::string &host = options.args[0];
    Conversation talk;
    talk.timeout = options.timeout;
    int status = open_conversation(host, talk, out);
    if (status == YN_STATUS_SUCCESS) {
        char text[256] = "";
        status = ynet_version_get(0, 0, nullptr, nullptr, &talk.sock, talk.timeout, text, sizeof text);
        out.text("version_text", text);
    }
    sockaddr_in daemon{};
    if (status == YN_STATUS_SUCCESS) status = daemon_address(host, daemon);
    if (status == YN_STATUS_SUCCESS) {
        int number = ynet_get_host_version(host.c_str(), 0, 0, &daemon, nullptr, options.timeout,
                                           options.refresh ? 1 : 0);
        out.number("version", number);
        const std::string cache = std::string(YQ_PATH_CARROW_DIR "/remote_versions/") + host;
        struct stat st{};
        bool cached = ::stat(cache.c_str(), &st) == 0;
        out.text("cache_file", cache);
        out.number("cache_mtime", cached ? static_cast<long>(st.st_mtime) : 0);
        if (FILE *file = cached ? std::fopen(cache.c_str(), "r") : nullptr) {
            char line[256] = "";
            if (std::fgets(line, sizeof line, file) == nullptr) line[0] = '\0';
            line[std::strcspn(line, "\n")] = '\0';
            std::fclose(file);
            out.text("cache_entry", line);
        } else {
            out.text("cache_entry", "");
        }
    }
    out.number("status", status);
    return status;
}

int cmd_decide(const Options &options, Output &out) {
    Conversation talk;
    talk.timeout = options.timeout;
    int status = open_conversation(options.args[0], talk, out);
    crconf_info_rec *info = nullptr;
    char path[1025] = "";
    int use = USE_YQSS_PROHIBITED;
    int capable = 0;
    if (status == YN_STATUS_SUCCESS)
        status = ynet_determine_yqss_socket(talk.sock, options.no_probe ? 0 : 1, &info, path, sizeof path, &use,
                                            &capable);
    std::string matched;
    if (info != nullptr) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        ::getpeername(talk.sock, reinterpret_cast<sockaddr *>(&peer), &length);
        for (const crconf_yqss_network_rec *network = info->ni_yqss_networks;
             network != nullptr && info->ni_use_yqss == USE_YQSS_AUTOMATIC; network = network->nw_next) {
            int inside = 0;
            if (network->nw_network != nullptr && network->nw_network[0] != '\0' &&
                ynet_in_network(&peer.sin_addr, network->nw_network, &inside) == YN_STATUS_SUCCESS && inside) {
                matched = std::string(network->nw_network) + " " + setting_name(network->nw_use_yqss);
                break;
            }
        }
    }
    const int setting = info != nullptr ? info->ni_use_yqss : -1;
    std::string why;
    const bool matched_prohibits = matched.find("PROHIBITED") != std::string::npos;
    if (status != YN_STATUS_SUCCESS)
        why = "the decision failed with status " + std::to_string(status) +
              (use == USE_YQSS_REQUIRED ? ": YqSS is required but no usable credential was found." : ".");
    else if (setting == USE_YQSS_PROHIBITED)
        why = "this host's configuration prohibits YqSS (or the authentication library is not installed).";
    else if (setting == USE_YQSS_REQUIRED)
        why = "this host's configuration requires YqSS for every connection.";
    else if (!options.no_probe && capable == 0)
        why = "the peer's ynetd is older than release 5 and cannot negotiate YqSS.";
    else if (use == USE_YQSS_PROHIBITED && !matched_prohibits)
        why = "no credential was found, so the connection stays plain.";
    else if (!matched.empty())
        why = "the network entry " + matched + " is the first that contains the peer.";
    else
        why = "no network entry contains the peer, so the automatic setting applies.";
    out.text("setting", setting < 0 ? "" : setting_name(setting));
    out.text("network_entry", matched);
    out.number("remote_capable", capable);
    out.text("credential", path);
    out.number("use_yqss", use);
    out.text("decision", setting_name(use));
    out.text("why", why);
    out.number("status", status);
    crconf_free_info(&info);
    return status;
}

int cmd_security_info(const Options &options, Output &out) {
    crconf_info_rec *local = nullptr;
    int status = crconf_get_info(&local);
    out.number("config_status", status);
    if (status != 0) {
        out.number("status", YN_STATUS_FILE_OPEN_FAILED);
        return YN_STATUS_FILE_OPEN_FAILED;
    }
    const char *master = local->ni_servers != nullptr ? local->ni_servers->ns_server : nullptr;
    out.text("master", master != nullptr ? master : "");
    security_fields(out, "local.", *local);
    crconf_info_rec *remote = nullptr;
    if (master == nullptr || master[0] == '\0') {
        status = YN_STATUS_HOST_NOT_FOUND;
    } else {
        Conversation talk;
        talk.timeout = options.timeout;
        Output ignored;
        status = open_conversation(master, talk, ignored);
        remote = static_cast<crconf_info_rec *>(std::calloc(1, sizeof *remote));
        if (status == YN_STATUS_SUCCESS && remote == nullptr) status = YN_STATUS_NO_MEMORY;
        if (status == YN_STATUS_SUCCESS)
            status = ynet_ynetd_get_security_info(&talk.sock, talk.version, remote, talk.timeout);
        if (status == YN_STATUS_SUCCESS) security_fields(out, "master.", *remote);
    }
    out.number("status", status);
    crconf_free_info(&remote);
    crconf_free_info(&local);
    return status;
}

}  // namespace ynetctl
