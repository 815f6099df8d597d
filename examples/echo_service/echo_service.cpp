// echo_service: a service daemon in the way the product's daemons are
// written. It registers a service with ynetd (a Unix-domain listener in the
// rendezvous directory and the service file), receives each client
// connection that ynetd hands over, and serves it in a child process. On a
// host with a product configuration the client's first string is the YqSS
// magic ("MAGIC USE_YQSS"); the exchange decides whether the connection is
// authenticated, and an authenticated conversation continues inside the
// secure connection (YssRead/YssWrite). Then:
//
//   client sends a string      -> the service sends the same string back
//   client sends "connect-back" -> the service connects back to the client
//                                  through the client host's ynetd (hash
//                                  check on), sends a greeting over the new
//                                  connection and reads the answer
//   client sends ""             -> the service answers status 0 and closes
//
// Every step is written to the debug log /usr/kelda/carrow/logs/NAME/ and, as
// a readable transcript, to standard output.
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <string>

#include "crconf.h"
#include "logging.h"
#include "ynet.h"
#include "ystrings.h"
#include "yqss_items.h"

namespace {

constexpr const char kConnectBack[] = "connect-back";
constexpr int kTextSize = 1024;

struct Options {
    std::string name = "yqecho";
    int timeout = 30;
    bool quiet = false;
};

Options options;
int signal_pipe[2] = {-1, -1};
volatile sig_atomic_t stop_requested = 0;

// One transcript line on standard output (a single write, so the lines of
// concurrent connections never mix) and the same text in the debug log.
// With --quiet only the lines about the service itself are printed.
void say_always(bool always, const char *format, va_list args) {
    char text[kTextSize + 256];
    Y_vsnprintf(text, sizeof text, format, args);
    logmsg(1, text, options.name.c_str());
    if (options.quiet && !always) return;
    char line[sizeof text + 64];
    int n = Y_snprintf(line, sizeof line, "%s[%d]: %s\n", options.name.c_str(),
                       static_cast<int>(::getpid()), text);
    if (n > 0) (void)!::write(1, line, static_cast<size_t>(n));
}

void say(const char *format, ...) __attribute__((format(printf, 1, 2)));
void say(const char *format, ...) {
    va_list args;
    va_start(args, format);
    say_always(false, format, args);
    va_end(args);
}

void announce(const char *format, ...) __attribute__((format(printf, 1, 2)));
void announce(const char *format, ...) {
    va_list args;
    va_start(args, format);
    say_always(true, format, args);
    va_end(args);
}

void on_signal(int sig) {
    int saved = errno;
    if (sig != SIGCHLD) stop_requested = 1;
    char byte = 0;
    (void)!::write(signal_pipe[1], &byte, 1);
    errno = saved;
}

// The outgoing port window of the product configuration, when there is one.
void client_port_window(int &low, int &high) {
    low = high = 0;
    crconf_info_rec *info = nullptr;
    if (crconf_get_info(&info) == 0 && info != nullptr) {
        low = info->ni_client_port_low;
        high = info->ni_client_port_high;
    }
    crconf_free_info(&info);
}

// Whether this host has a product configuration: only then do its
// connections run the magic exchange.
bool configured() {
    crconf_info_rec *info = nullptr;
    bool found = crconf_get_info(&info) == 0 && info != nullptr;
    crconf_free_info(&info);
    return found;
}

// The client asked to be called back: connect to its host's ynetd and let
// it hand the new connection to the waiting client process.
bool connect_back(int sock) {
    int low = 0;
    int high = 0;
    client_port_window(low, high);
    int back = -1;
    int status = ynet_end_connect_back(sock, low, high, nullptr, &back, 1, options.timeout);
    if (status != YN_STATUS_SUCCESS) {
        say("connect-back failed: status %d", status);
        return false;
    }
    char line[256];
    ynet_logconnections(back, "connect-back", 0, line, sizeof line);
    say("%s", line);
    status = ynet_push_string(back, "hello over the connect-back connection", options.timeout);
    char reply[kTextSize];
    if (status == YN_STATUS_SUCCESS)
        status = ynet_pop_string(back, reply, sizeof reply, options.timeout);
    ::close(back);
    if (status != YN_STATUS_SUCCESS) {
        say("connect-back exchange failed: status %d", status);
        return false;
    }
    say("connect-back: client answered \"%s\"", reply);
    return true;
}

// The server side of the magic exchange on the client's first string. With
// magic "YqSD" the secure connection stays open in `ctx`. A first string that
// is no magic comes from a client that does not negotiate: it stays in
// `pending` as the first item when the exchange lets the client in.
bool magic_exchange(int sock, const std::string &first, YssConInfo_t **ctx, bool &pending) {
    say("YqSS decision for the client: %s", examples::yqss_decision(sock, 0).c_str());
    int magic = 0;
    int client_use = 0;
    if (std::sscanf(first.c_str(), "%d %d", &magic, &client_use) != 2) magic = 0;
    int is_magic = 0;
    int use = 2;
    int status = ynet_check_yqss_server_magic(sock, magic, client_use, -1, &is_magic, &use, ctx);
    if (status != YN_STATUS_SUCCESS) {
        ynet_yqss_cleanup(ctx);
        say("magic exchange refused the client: status %d", status);
        return false;
    }
    pending = is_magic == 0;
    if (pending)
        say("no magic from the client: YqSS not used");
    else
        say("magic %s from the client (its USE_YQSS %d): YqSS %s (USE_YQSS %d)", examples::magic_text(magic).c_str(),
            client_use, use == 1 ? "used" : "not used", use);
    if (use == 1) say("peer certificate: %s", examples::peer_certificate(*ctx).c_str());
    return true;
}

// The conversation after the exchange; the exit status of the child.
int converse(const examples::Items &items, std::string text, bool pending) {
    for (;;) {
        if (!pending) {
            int status = items.pop(text, kTextSize);
            if (status != YN_STATUS_SUCCESS) {
                say("connection ended: status %d", status);
                return 1;
            }
        }
        pending = false;
        if (text.empty()) {
            int status = items.push_status(YN_STATUS_SUCCESS);
            say("client finished; closing (status %d)", status);
            return status == YN_STATUS_SUCCESS ? 0 : 1;
        }
        if (text == kConnectBack) {
            if (!connect_back(items.sock)) return 1;
            continue;
        }
        say("received \"%s\" (%s)", text.c_str(), items.read_by());
        int status = items.push(text);
        if (status != YN_STATUS_SUCCESS) {
            say("echo failed: status %d", status);
            return 1;
        }
    }
}

// Serves one handed-over connection; the exit status of the child.
int serve(int sock) {
    char line[256];
    ynet_logconnections(sock, options.name.c_str(), 1, line, sizeof line);
    say("%s", line);
    char first[kTextSize];
    int status = ynet_pop_string(sock, first, sizeof first, options.timeout);
    if (status != YN_STATUS_SUCCESS) {
        say("connection ended: status %d", status);
        return 1;
    }
    YssConInfo_t *ctx = nullptr;
    bool pending = true;
    if (configured() && !magic_exchange(sock, first, &ctx, pending)) return 1;
    int code = converse(examples::Items{sock, ctx, options.timeout}, first, pending);
    ynet_yqss_close(&ctx);
    ynet_yqss_cleanup(&ctx);
    return code;
}

void reap(std::set<pid_t> &children) {
    for (;;) {
        int status = 0;
        pid_t pid = ::waitpid(-1, &status, WNOHANG);
        if (pid <= 0) return;
        children.erase(pid);
    }
}

int parse(int argc, char **argv) {
    static const option kOptions[] = {
        {"name", required_argument, nullptr, 'n'},
        {"timeout", required_argument, nullptr, 't'},
        {"quiet", no_argument, nullptr, 'q'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    for (;;) {
        int c = getopt_long(argc, argv, "n:t:qh", kOptions, nullptr);
        if (c == -1) break;
        switch (c) {
        case 'n':
            options.name = optarg;
            break;
        case 't':
            options.timeout = std::atoi(optarg);
            if (options.timeout < 1) options.timeout = 1;
            break;
        case 'q':
            options.quiet = true;
            break;
        case 'h':
            std::printf(
                "usage: echo_service [--name NAME] [--timeout SECONDS] [--quiet]\n"
                "Registers the service NAME (default yqecho) with the local ynetd and echoes\n"
                "the strings of every client it is handed; \"connect-back\" makes it connect\n"
                "back to the client through the client host's ynetd. Stops on SIGTERM,\n"
                "removing its registration.\n");
            return 0;
        default:
            return 2;
        }
    }
    return optind < argc ? 2 : -1;
}

}  // namespace

int main(int argc, char **argv) {
    int rc = parse(argc, argv);
    if (rc >= 0) return rc;

    int log_err = 0;
    debugFD = open_debug_file(options.name.c_str(), 0644, &log_err);
    // A product daemon run by the administrator presents the host's machine
    // credential.
    if (::geteuid() == 0 && ynet_set_carrow_daemon(1) != YN_STATUS_SUCCESS)
        std::fprintf(stderr, "echo_service: cannot mark this process a daemon\n");

    if (::pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
    struct sigaction action{};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    for (int sig : {SIGTERM, SIGINT, SIGCHLD}) ::sigaction(sig, &action, nullptr);

    int listener = -1;
    int status = ynet_ynetd_listen_and_register_service(options.name.c_str(), 128, &listener,
                                                        options.timeout);
    if (status != YN_STATUS_SUCCESS) {
        std::fprintf(stderr, "echo_service: cannot register %s: status %d\n",
                     options.name.c_str(), status);
        return 1;
    }
    announce("registered service %s", options.name.c_str());

    std::set<pid_t> children;
    while (!stop_requested) {
        pollfd fds[2] = {{signal_pipe[0], POLLIN, 0}, {listener, POLLIN, 0}};
        int n = ::poll(fds, 2, -1);
        if (n < 0 && errno != EINTR) break;
        if (n > 0 && (fds[0].revents & POLLIN)) {
            char buffer[64];
            while (::read(signal_pipe[0], buffer, sizeof buffer) > 0) {
            }
        }
        reap(children);
        if (stop_requested || n <= 0 || !(fds[1].revents & POLLIN)) continue;

        // ynetd is waiting on the listener: take its hand-over (no hash).
        int sock = -1;
        status = ynet_ynetd_accept_and_receive(listener, nullptr, &sock, options.timeout);
        if (status != YN_STATUS_SUCCESS) {
            say("hand-over refused: status %d", status);
            continue;
        }
        pid_t pid = ::fork();
        if (pid == 0) {
            ::close(listener);
            ::close(signal_pipe[0]);
            ::close(signal_pipe[1]);
            struct sigaction dfl{};
            dfl.sa_handler = SIG_DFL;
            sigemptyset(&dfl.sa_mask);
            for (int sig : {SIGTERM, SIGINT, SIGCHLD}) ::sigaction(sig, &dfl, nullptr);
            int code = serve(sock);
            ::close(sock);
            std::exit(code);
        }
        if (pid < 0) say("fork failed: errno %d", errno);
        ::close(sock);
        if (pid > 0) children.insert(pid);
    }

    ::close(listener);
    status = ynet_ynetd_unregister_service(options.name.c_str());
    announce("unregistered service %s (status %d)", options.name.c_str(), status);
    for (pid_t pid : children) ::kill(pid, SIGTERM);
    while (!children.empty()) {
        int wstatus = 0;
        pid_t pid = ::waitpid(-1, &wstatus, 0);
        if (pid < 0) break;
        children.erase(pid);
    }
    return 0;
}
