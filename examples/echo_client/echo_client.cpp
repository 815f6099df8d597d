// echo_client: a client program in the way the product's tools are written.
// It reaches the service of echo_service on another host through that host's
// ynetd:
//   1. resolves the host and the ynetd port (host and service caches),
//   2. connects with the version handshake,
//   3. asks for the service (request 6) and waits for the service's status,
//   4. runs the YqSS magic exchange: the magic goes out as a wire string and
//      the context stays with this program, so that, when both hosts use
//      YqSS, the conversation continues inside the authenticated connection,
//   5. sends a few strings and checks each echo (YssWrite/YssRead when YqSS
//      is used, wire strings otherwise),
//   6. asks the service to connect back and waits for that connection, which
//      this host's ynetd hands over after the hash check,
//   7. ends the conversation.
// Every step is printed as a readable transcript and written to the debug
// log /usr/kelda/carrow/logs/echo_client/. Exit status 0 only when all worked.
#include <arpa/inet.h>
#include <getopt.h>
#include <netdb.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "crconf.h"
#include "logging.h"
#include "ynet.h"
#include "ystrings.h"
#include "yqss_items.h"

namespace {

constexpr int kTextSize = 1024;

struct Options {
    std::string host;
    std::string service = "yqecho";
    int port = -1;
    int timeout = 30;
    bool connect_back = true;
    bool daemon = false;
    std::vector<std::string> texts;
};

Options options;

void say(const char *format, ...) __attribute__((format(printf, 1, 2)));
void say(const char *format, ...) {
    char text[kTextSize + 256];
    va_list args;
    va_start(args, format);
    Y_vsnprintf(text, sizeof text, format, args);
    va_end(args);
    logmsg(1, text, "echo_client");
    std::printf("echo_client: %s\n", text);
    std::fflush(stdout);
}

int fail(const char *step, int status) {
    say("%s failed: status %d", step, status);
    return 1;
}

int parse(int argc, char **argv) {
    static const option kOptions[] = {
        {"service", required_argument, nullptr, 's'},
        {"port", required_argument, nullptr, 'p'},
        {"timeout", required_argument, nullptr, 't'},
        {"no-connect-back", no_argument, nullptr, 'n'},
        {"daemon", no_argument, nullptr, 'd'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    for (;;) {
        int c = getopt_long(argc, argv, "s:p:t:ndh", kOptions, nullptr);
        if (c == -1) break;
        switch (c) {
        case 's':
            options.service = optarg;
            break;
        case 'p':
            options.port = std::atoi(optarg);
            break;
        case 't':
            options.timeout = std::atoi(optarg);
            if (options.timeout < 1) options.timeout = 1;
            break;
        case 'n':
            options.connect_back = false;
            break;
        case 'd':
            options.daemon = true;
            break;
        case 'h':
            std::printf(
                "usage: echo_client [--service NAME] [--port PORT] [--timeout SECONDS]\n"
                "                   [--no-connect-back] [--daemon] HOST [TEXT...]\n"
                "Reaches the echo service NAME (default yqecho) through the ynetd of HOST\n"
                "(port: the \"ynetd\" service entry, else 13724), sends each TEXT (default: a\n"
                "few greetings) and checks the echo, then asks the service to connect back\n"
                "through this host's ynetd. When this host has a product configuration, the\n"
                "connection first runs the YqSS magic exchange; --daemon presents the host's\n"
                "machine credential, as a product daemon does (administrator only).\n");
            return 0;
        default:
            return 2;
        }
    }
    if (optind >= argc) return 2;
    options.host = argv[optind++];
    while (optind < argc) options.texts.emplace_back(argv[optind++]);
    if (options.texts.empty()) options.texts = {"hello", "wire items", "through ynetd"};
    return -1;
}

// Step 5: this process waits on a private listener; the service connects
// back through this host's ynetd, which hands the connection over with the
// hash pair that travelled through the service.
int connect_back(int sock, const examples::Items &items) {
    int status = items.push("connect-back");
    if (status != YN_STATUS_SUCCESS) return fail("asking for the connect-back", status);
    int back = -1;
    status = ynet_begin_connect_back(sock, options.timeout, &back);
    if (status != YN_STATUS_SUCCESS) return fail("connect-back", status);
    char line[256];
    ynet_logconnections(back, "connect-back", 1, line, sizeof line);
    say("connect-back arrived (hash pair verified): %s", line);
    char greeting[kTextSize];
    status = ynet_pop_string(back, greeting, sizeof greeting, options.timeout);
    if (status == YN_STATUS_SUCCESS) {
        say("connect-back: service says \"%s\"", greeting);
        status = ynet_push_string(back, "thanks", options.timeout);
    }
    ::close(back);
    if (status != YN_STATUS_SUCCESS) return fail("connect-back exchange", status);
    return 0;
}

// The magic travels as one wire string: "MAGIC USE_YQSS".
int put_magic(int fd, const char *text, int *error) {
    int status = ynet_push_string(fd, text, options.timeout);
    if (status == YN_STATUS_SUCCESS) return 0;
    *error = status;
    return -1;
}

// Step 4. On success `ctx` is the open secure connection when YqSS is used.
int magic_exchange(int sock, YssConInfo_t **ctx) {
    say("YqSS decision for %s: %s", options.host.c_str(), examples::yqss_decision(sock, 1).c_str());
    int use = 2;
    int status = ynet_check_yqss_client_magic_with_info(sock, 1, -1, &use, put_magic, nullptr, ctx);
    if (status != YN_STATUS_SUCCESS) return fail("magic exchange", status);
    say("magic exchange: YqSS %s (USE_YQSS %d)", use == 1 ? "used" : "not used", use);
    if (use != 1) {
        ynet_yqss_cleanup(ctx);
        return 0;
    }
    say("peer certificate: %s", examples::peer_certificate(*ctx).c_str());
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    int rc = parse(argc, argv);
    if (rc == 2) std::fprintf(stderr, "usage: echo_client [OPTION]... HOST [TEXT...]\n");
    if (rc >= 0) return rc;

    int log_err = 0;
    debugFD = open_debug_file("echo_client", 0644, &log_err);
    if (options.daemon) {
        int status = ynet_set_carrow_daemon(1);
        if (status != YN_STATUS_SUCCESS) return fail("marking this process a daemon", status);
    }

    // 1. Where is the daemon?
    struct hostent *host = nullptr;
    int status = ynet_cached_gethostbyname(options.host.c_str(), &host);
    if (status != YN_STATUS_SUCCESS) return fail("resolving the host", status);
    sockaddr_in daemon{};
    daemon.sin_family = AF_INET;
    std::memcpy(&daemon.sin_addr, host->h_addr_list[0], sizeof daemon.sin_addr);
    ynet_free_hostent(&host);
    int port = options.port;
    if (port <= 0) ynet_get_port(&port);
    daemon.sin_port = htons(static_cast<uint16_t>(port));
    say("%s is %s, ynetd port %d", options.host.c_str(), inet_ntoa(daemon.sin_addr), port);

    // 2. Connect from the configured port window, if any, and agree a version.
    int low = 0;
    int high = 0;
    crconf_info_rec *info = nullptr;
    const bool configured = crconf_get_info(&info) == 0 && info != nullptr;
    if (configured) {
        low = info->ni_client_port_low;
        high = info->ni_client_port_high;
    }
    crconf_free_info(&info);
    int sock = -1;
    int version = -1;
    status = ynet_connect_to_ynetd(&daemon, low, high, nullptr, &sock, &version, options.timeout);
    if (status != YN_STATUS_SUCCESS) {
        if (sock >= 0) ::close(sock);
        return fail("connecting to ynetd", status);
    }
    char line[256];
    ynet_logconnections(sock, "echo_client", 0, line, sizeof line);
    say("%s", line);
    say("protocol version %d agreed", version);

    // 3. Ask for the service; status 0 comes from the service itself.
    status = ynet_ynetd_service_socket(&sock, version, options.service.c_str(), options.timeout);
    if (status != YN_STATUS_SUCCESS) {
        if (sock >= 0) ynet_ynetd_disconnect(&sock, version, options.timeout);
        return fail("request 6", status);
    }
    say("service %s: status %d, connection handed over", options.service.c_str(), status);

    // 4. The magic exchange, on hosts that have a product configuration (a
    // host without one does not take part, like an old release).
    YssConInfo_t *ctx = nullptr;
    if (configured && magic_exchange(sock, &ctx) != 0) {
        ::close(sock);
        say("FAILED");
        return 1;
    }
    const examples::Items items{sock, ctx, options.timeout};

    // 5. Echo.
    int result = 0;
    for (const std::string &text : options.texts) {
        status = items.push(text);
        std::string echo;
        if (status == YN_STATUS_SUCCESS) status = items.pop(echo, kTextSize);
        if (status != YN_STATUS_SUCCESS) {
            result = fail("echo", status);
            break;
        }
        bool same = text == echo;
        say("sent \"%s\" (%s), received \"%s\" (%s)%s", text.c_str(), items.sent_by(), echo.c_str(),
            items.read_by(), same ? "" : " (MISMATCH)");
        if (!same) {
            result = 1;
            break;
        }
    }

    // 6. Connect-back.
    if (result == 0 && options.connect_back) result = connect_back(sock, items);

    // 7. Done: an empty string ends the conversation.
    if (result == 0) {
        int final_status = -1;
        status = items.push("");
        if (status == YN_STATUS_SUCCESS) status = items.pop_status(&final_status);
        if (status != YN_STATUS_SUCCESS || final_status != 0)
            result = fail("ending the conversation", status != 0 ? status : final_status);
        else
            say("conversation ended: status %d", final_status);
    }
    ynet_yqss_close(&ctx);
    ynet_yqss_cleanup(&ctx);
    ::close(sock);
    say(result == 0 ? "all steps succeeded" : "FAILED");
    return result;
}
