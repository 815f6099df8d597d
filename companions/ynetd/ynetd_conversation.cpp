// One conversation with a client, in its own child process: the version
// handshake, then requests until the client disconnects, hands the
// connection over, falls out of step or runs out of time. The first byte of
// every item is awaited with the item time-out (the library keeps that wait
// between 10 and 60 seconds and gives every later byte of the item 10
// seconds), and an alarm ends the whole conversation at the conversation
// limit, so a stalled client holds only this process and only for a bounded
// time.
#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>

#include "crconf.h"
#include "cstr.h"
#include "cstra.h"
#include "logging.h"
#include "ynet.h"
#include "ynetd.h"
#include "yq_memory.h"
#include "yq_paths.h"
#include "ystrings.h"

namespace ynetd {

namespace {

// Buffers as the clients size them: Unix-domain paths, the strings of
// request 9 (service names too), hash strings.
constexpr int kPathSize = YNETD_IPC_PATH_SIZE;
constexpr int kNameSize = YNETD_TEXT_SIZE;
constexpr int kHashSize = YNETD_HASH_SIZE;

// Where and how the library names the listener of a connect-back: the
// prefix, then six letters or digits (a dot between them when the name was
// built by hand), directly in this directory.
constexpr std::string_view kConnectBackDir = YQ_PATH_CONNECT_BACK_DIR "/";
constexpr std::string_view kConnectBackPrefix = YQ_CONNECT_BACK_PREFIX;
constexpr std::size_t kConnectBackRandom = 6;

// How long a listener whose backlog is full is tried again (busy, not
// stalled, while it accepts meanwhile), and how often.
constexpr int kBacklogWaitMs = 3000;
constexpr int kBacklogRetryMs = 20;

// The one answer for a listener that cannot be reached, whatever the reason.
constexpr int kUnreachable = YN_STATUS_SOCKET_ERROR;

bool connect_back_name(std::string_view path) {
    if (!path.starts_with(kConnectBackDir)) return false;
    std::string_view name = path.substr(kConnectBackDir.size());
    if (!name.starts_with(kConnectBackPrefix)) return false;
    name.remove_prefix(kConnectBackPrefix.size());
    if (name.starts_with('.')) name.remove_prefix(1);
    if (name.size() != kConnectBackRandom) return false;
    for (char ch : name)
        if (!((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9')))
            return false;
    return true;
}

// Connects to a local listener without blocking: a socket nobody listens on
// or a path that is no socket fails at once; a full backlog is tried again
// for a few seconds only, so a listener that stopped accepting fails too. With `connect_back` the path must name a connect-back
// listener, and the socket is reached through a descriptor opened without
// following a symbolic link, so the check and the connect see one file.
// Empty on failure.
yq::unique_fd connect_listener(const char *path, bool connect_back) {
    yq::unique_fd none;
    std::string target = path;
    yq::unique_fd node;
    if (connect_back) {
        if (!connect_back_name(path)) return none;
        node.reset(::open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat info{};
        if (!node || ::fstat(node.get(), &info) != 0 || !S_ISSOCK(info.st_mode)) return none;
        target = "/proc/self/fd/" + std::to_string(node.get());
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (target.size() >= sizeof addr.sun_path) return none;
    target.copy(addr.sun_path, target.size());
    yq::unique_fd sock;
    for (int waited = 0;; waited += kBacklogRetryMs) {
        sock.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!sock) return none;
        if (::connect(sock.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) break;
        if (errno != EAGAIN || waited >= kBacklogWaitMs) return none;
        ::poll(nullptr, 0, kBacklogRetryMs);
    }
    // The hand-over itself runs with the library's time-outs.
    ::fcntl(sock.get(), F_SETFL, ::fcntl(sock.get(), F_GETFL) & ~O_NONBLOCK);
    return sock;
}

struct ServiceList {
    ynet_service_entry *head = nullptr;
    ~ServiceList() { ynet_free_service_list(&head); }
};

struct InfoRecord {
    crconf_info_rec *info = nullptr;
    ~InfoRecord() { crconf_free_info(&info); }
};

struct CstraFree {
    void operator()(char **array) const noexcept { cstraFREE(array); }
};
using unique_cstra = std::unique_ptr<char *, CstraFree>;

// The argument vector of a registered command: its command string split at
// blanks, then the registration's arguments. Empty for a blank command or
// when memory runs out.
unique_cstra command_argv(const char *command, char *const *args) {
    unique_cstra argv(cstrTOcstra(command, " \t"));
    if (!argv || argv.get()[0] == nullptr) return nullptr;
    if (args == nullptr) return argv;
    unique_cstra extra(cstraDUP(args));
    if (!extra) return nullptr;
    char **joined = cstraAPPEND(argv.get(), extra.get());
    if (joined == nullptr) return nullptr;  // both left as they were
    // The extra strings moved into the joined array and their block is gone.
    (void)extra.release();
    (void)argv.release();
    return unique_cstra(joined);
}

class Conversation {
public:
    Conversation(int conn, const Settings &settings)
        : conn_(conn), settings_(settings), timeout_(settings.item_timeout) {}

    [[noreturn]] void run();

private:
    bool handshake();
    // Each request handler returns true when the conversation goes on.
    bool noop();
    bool disconnect();
    bool daemon_socket(bool hashed);
    bool service_socket();
    bool version_text();
    bool security_info();
    bool refuse(long code, int status, const char *why);

    int hand_over(const char *path, const char *hash_str2, bool connect_back, bool &reached);
    bool answer_field(const crconf_info_rec *info, const char *field);
    [[noreturn]] void start_command(const ynet_service_entry &entry, const char *service);
    [[noreturn]] void finish(int exit_status);

    int conn_;
    const Settings &settings_;
    int timeout_;
    int protocol_ = -1;
};

void Conversation::run() {
    if (!handshake()) finish(1);
    for (;;) {
        long code = -1;
        int status = ynet_pop_signed(conn_, &code, timeout_);
        if (status == YN_STATUS_READ_FAILED) finish(0);  // the client went away
        if (status == YN_STATUS_BAD_VALUE || status == YN_STATUS_BAD_FORMAT) {
            refuse(code, YN_STATUS_INVALID_ARGUMENT, "not a request code");
            finish(1);
        }
        if (status != YN_STATUS_SUCCESS) {
            log_line("conversation", "no request: status %d", status);
            finish(1);
        }
        bool go_on = false;
        switch (code) {
        case YNETD_REQUEST_NOOP:
            go_on = noop();
            break;
        case YNETD_REQUEST_DISCONNECT:
            go_on = disconnect();
            break;
        case YNETD_REQUEST_DAEMON_SOCKET:
            go_on = daemon_socket(false);
            break;
        case YNETD_REQUEST_DAEMON_SOCKET_HASH:
            go_on = daemon_socket(true);
            break;
        case YNETD_REQUEST_SERVICE:
            go_on = protocol_ >= 2 ? service_socket()
                                   : refuse(code, YN_STATUS_VERSION_MISMATCH,
                                            "needs protocol version 2");
            break;
        case YNETD_REQUEST_VERSION:
            go_on = protocol_ >= 2 ? version_text()
                                   : refuse(code, YN_STATUS_VERSION_MISMATCH,
                                            "needs protocol version 2");
            break;
        case YNETD_REQUEST_SECURITY_INFO:
            go_on = protocol_ >= 3 ? security_info()
                                   : refuse(code, YN_STATUS_VERSION_MISMATCH,
                                            "needs protocol version 3");
            break;
        default:
            go_on = refuse(code, YN_STATUS_INVALID_ARGUMENT, "unknown request");
            break;
        }
        if (!go_on) finish(0);
    }
}

// The client offers its highest version; the answer is the highest both
// speak, or -1; the client echoes the version in force, or -1.
bool Conversation::handshake() {
    long offered = 0;
    int status = ynet_pop_signed(conn_, &offered, timeout_);
    if (status != YN_STATUS_SUCCESS) {
        log_line("handshake", "no version offer: status %d", status);
        return false;
    }
    long answer = offered < settings_.max_protocol ? offered : settings_.max_protocol;
    if (answer < 1) answer = -1;
    status = ynet_push_signed(conn_, answer, timeout_);
    if (status != YN_STATUS_SUCCESS || answer == -1) {
        log_line("handshake", "client offered version %ld: refused", offered);
        return false;
    }
    long agreed = 0;
    status = ynet_pop_signed(conn_, &agreed, timeout_);
    if (status != YN_STATUS_SUCCESS || agreed != answer) {
        log_line("handshake", "client did not accept version %ld (status %d, answer %ld)", answer,
                 status, agreed);
        return false;
    }
    protocol_ = static_cast<int>(agreed);
    log_line("handshake", "protocol version %d", protocol_);
    return true;
}

bool Conversation::refuse(long code, int status, const char *why) {
    log_line("conversation", "request %ld refused (%s): status %d", code, why, status);
    // Whatever the client sent after the code is unread: the conversation is
    // out of step and ends after the answer.
    ynet_push_status(conn_, status, timeout_);
    return false;
}

bool Conversation::noop() {
    return ynet_push_status(conn_, YN_STATUS_SUCCESS, timeout_) == YN_STATUS_SUCCESS;
}

bool Conversation::disconnect() {
    ynet_push_status(conn_, YN_STATUS_SUCCESS, timeout_);
    log_line("conversation", "disconnect");
    return false;
}

bool Conversation::version_text() {
    log_line("conversation", "request 8: version text \"%s\"", settings_.version_text.c_str());
    return ynet_push_string(conn_, settings_.version_text.c_str(), timeout_) == YN_STATUS_SUCCESS;
}

// Connects to a local listener and passes it the client's connection; the
// listener's confirmation ends the exchange. Status 0: the connection is
// the listener's now. `reached` tells whether the listener could be reached
// at all; when not, the status is the same for every reason, at once.
int Conversation::hand_over(const char *path, const char *hash_str2, bool connect_back,
                            bool &reached) {
    yq::unique_fd uds = connect_listener(path, connect_back);
    reached = static_cast<bool>(uds);
    if (!reached) return kUnreachable;
    return ynet_send_network_socket(uds.get(), conn_, hash_str2, timeout_);
}

// Requests 2 and 3. The success status reaches the client from the listener,
// once it holds the connection; this daemon answers only a failure.
bool Conversation::daemon_socket(bool hashed) {
    char path[kPathSize];
    int status = ynet_pop_string(conn_, path, sizeof path, timeout_);
    if (status != YN_STATUS_SUCCESS) {
        log_line("daemon_socket", "request %d: no path: status %d", hashed ? 3 : 2, status);
        return false;
    }
    char hash_str1[kHashSize] = "";
    char hash_str2[kHashSize] = "";
    if (hashed) {
        ynet_generate_hashes(conn_, hash_str1, sizeof hash_str1, hash_str2, sizeof hash_str2);
        status = ynet_push_string(conn_, hash_str1, timeout_);
        if (status != YN_STATUS_SUCCESS) return false;
    }
    bool reached = false;
    status = hand_over(path, hash_str2, true, reached);
    if (status == YN_STATUS_SUCCESS) {
        log_line("daemon_socket", "request %d: connection handed to %s", hashed ? 3 : 2, path);
    } else {
        log_line("daemon_socket", "request %d: hand-over to %s failed: status %d",
                 hashed ? 3 : 2, path, status);
        ynet_push_status(conn_, status, timeout_);
    }
    return false;
}

bool process_alive(int pid) {
    if (pid <= 0) return false;
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

// EXPTIME 0 is no expiry; unregistration writes 1, any other value is the
// time the registration runs out.
bool expired(const ynet_service_entry &entry, time_t now) {
    return entry.exptime != 0 && static_cast<time_t>(entry.exptime) <= now;
}

// A service name is a single file name in the rendezvous directory.
bool valid_service_name(const char *name) {
    return name[0] != '\0' && name[0] != '.' && std::strchr(name, '/') == nullptr;
}

// Request 6: the registration of the service decides. A live process with an
// IPC socket gets the connection; a registered command is started with the
// connection as its standard input and output; otherwise the client learns
// that there is no such service.
bool Conversation::service_socket() {
    char name[kNameSize];
    int status = ynet_pop_string(conn_, name, sizeof name, timeout_);
    if (status != YN_STATUS_SUCCESS) {
        log_line("service_socket", "request 6: no service name: status %d", status);
        return false;
    }
    if (!valid_service_name(name)) {
        log_line("service_socket", "request 6: bad service name \"%s\"", name);
        ynet_push_status(conn_, YN_STATUS_INVALID_ARGUMENT, timeout_);
        return false;
    }
    char *raw_path = nullptr;
    status = ynet_generate_service_path(name, "txt", &raw_path);
    yq::unique_malloc<char> path(raw_path);
    if (status != YN_STATUS_SUCCESS) {
        log_line("service_socket", "request 6 %s: no service path: status %d", name, status);
        ynet_push_status(conn_, status, timeout_);
        return false;
    }
    ServiceList services;
    status = ynet_read_service_file(path.get(), &services.head);
    if (status != YN_STATUS_SUCCESS) {
        log_line("service_socket", "request 6 %s: service file %s: status %d", name, path.get(),
                 status);
        ynet_push_status(conn_, YN_STATUS_SERVICE_NOT_FOUND, timeout_);
        return false;
    }

    const time_t now = std::time(nullptr);
    int last_failure = YN_STATUS_SERVICE_NOT_FOUND;
    for (const ynet_service_entry *entry = services.head; entry != nullptr; entry = entry->next) {
        if (expired(*entry, now)) continue;
        if (entry->ipc != nullptr && process_alive(entry->pid)) {
            bool reached = false;
            status = hand_over(entry->ipc, "", false, reached);
            if (!reached) {
                // A listener that is gone: another registration may still serve.
                log_line("service_socket", "request 6 %s: %s (pid %d) unreachable: status %d",
                         name, entry->ipc, entry->pid, status);
                last_failure = status;
                continue;
            }
            if (status == YN_STATUS_SUCCESS) {
                log_line("service_socket", "request 6 %s: connection handed to %s (pid %d)",
                         name, entry->ipc, entry->pid);
            } else {
                log_line("service_socket", "request 6 %s: hand-over to %s failed: status %d",
                         name, entry->ipc, status);
                ynet_push_status(conn_, status, timeout_);
            }
            return false;
        }
        if (entry->dcmd != nullptr || entry->icmd != nullptr) start_command(*entry, name);
    }
    log_line("service_socket", "request 6 %s: no live registration: status %d", name,
             last_failure);
    ynet_push_status(conn_, last_failure, timeout_);
    return false;
}

// The command string is split at blanks; the registration's arguments
// follow. The client's status 0 is sent before the command runs, since the
// command speaks only through its standard input and output.
void Conversation::start_command(const ynet_service_entry &entry, const char *service) {
    const char *command = entry.dcmd != nullptr ? entry.dcmd : entry.icmd;
    unique_cstra argv = command_argv(command, entry.args);
    if (!argv) {
        log_line("service_socket", "request 6 %s: unusable command \"%s\"", service, command);
        ynet_push_status(conn_, YN_STATUS_CHILD_FAILED, timeout_);
        finish(1);
    }
    const char *program = argv.get()[0];
    if (::access(program, X_OK) != 0) {
        log_line("service_socket", "request 6 %s: cannot run %s: errno %d (%s)", service, program,
                 errno, std::strerror(errno));
        ynet_push_status(conn_, YN_STATUS_CHILD_FAILED, timeout_);
        finish(1);
    }
    if (ynet_push_status(conn_, YN_STATUS_SUCCESS, timeout_) != YN_STATUS_SUCCESS) finish(1);
    log_line("service_socket", "request 6 %s: starting %s", service, program);
    ::alarm(0);
    if (::dup2(conn_, 0) < 0 || ::dup2(conn_, 1) < 0) {
        log_line("service_socket", "request 6 %s: dup2 failed: errno %d", service, errno);
        std::_Exit(1);
    }
    if (conn_ > 1) ::close(conn_);
    // The command gets standard input, output and error only: whatever else
    // is open (inherited when the daemon started, or its own) closes at the
    // exec, so the log below still works when the exec fails.
    if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        for (int fd = 3, last = static_cast<int>(::sysconf(_SC_OPEN_MAX)); fd < last; ++fd)
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    ::execv(program, argv.get());
    log_line("service_socket", "request 6 %s: execv %s failed: errno %d (%s)", service, program,
             errno, std::strerror(errno));
    std::_Exit(127);
}

// One field of request 9, answered from this host's configuration record.
bool Conversation::answer_field(const crconf_info_rec *info, const char *field) {
    auto push_string = [&](const char *text) {
        return ynet_push_string(conn_, text != nullptr ? text : "", timeout_) ==
               YN_STATUS_SUCCESS;
    };
    auto push_signed = [&](long value) {
        return ynet_push_signed(conn_, value, timeout_) == YN_STATUS_SUCCESS;
    };

    if (std::strcmp(field, YNETD_FIELD_AUTHORIZATION_SERVICE) == 0) {
        // No such setting at all is unknown; a host configured as none is
        // known to be none.
        if (info == nullptr || info->ni_authorization_service == nullptr)
            return push_string(YNETD_UNKNOWN_FIELD);
        const crconf_authorization_service_rec *service = info->ni_authorization_service;
        if (service->as_host == nullptr || service->as_host[0] == '\0') return push_string("");
        return push_string(service->as_host) && push_signed(service->as_port) && push_string("");
    }
    if (std::strcmp(field, YNETD_FIELD_AUTHENTICATION_DOMAINS) == 0) {
        if (info == nullptr) return push_string(YNETD_UNKNOWN_FIELD);
        for (const crconf_authentication_domain_rec *d = info->ni_authentication_domains;
             d != nullptr; d = d->ad_next) {
            // An empty broker would read as the end of the list.
            if (d->ad_broker == nullptr || d->ad_broker[0] == '\0') {
                log_line("security_info", "domain %s has no broker: left out",
                         d->ad_domain != nullptr ? d->ad_domain : "");
                continue;
            }
            if (!push_string(d->ad_broker) || !push_signed(d->ad_port) ||
                !push_string(d->ad_domain) || !push_string(d->ad_comment) ||
                !push_signed(d->ad_auth_type))
                return false;
        }
        return push_string("");
    }
    if (std::strcmp(field, YNETD_FIELD_YQSS_NETWORKS) == 0) {
        if (info == nullptr) return push_string(YNETD_UNKNOWN_FIELD);
        for (const crconf_yqss_network_rec *n = info->ni_yqss_networks; n != nullptr;
             n = n->nw_next) {
            if (n->nw_network == nullptr || n->nw_network[0] == '\0') continue;
            if (!push_string(n->nw_network) || !push_signed(n->nw_use_yqss)) return false;
        }
        return push_string("");
    }
    return push_string(YNETD_UNKNOWN_FIELD);
}

// Request 9: status 0, then one answer per field name until an empty name.
// Without a configuration record every field is unknown.
bool Conversation::security_info() {
    InfoRecord record;
    int status = crconf_get_info(&record.info);
    if (status != 0)
        log_line("security_info", "no configuration record: status %d", status);
    if (ynet_push_status(conn_, YN_STATUS_SUCCESS, timeout_) != YN_STATUS_SUCCESS) return false;
    for (;;) {
        char field[kNameSize];
        status = ynet_pop_string(conn_, field, sizeof field, timeout_);
        if (status != YN_STATUS_SUCCESS) {
            log_line("security_info", "no field name: status %d", status);
            return false;
        }
        if (field[0] == '\0') break;
        log_line("security_info", "request 9: %s", field);
        if (!answer_field(record.info, field)) return false;
    }
    return true;
}

void Conversation::finish(int exit_status) {
    ::close(conn_);
    std::exit(exit_status);
}

}  // namespace

void serve_conversation(int conn, const Settings &settings) {
    // The whole conversation is bounded; the default action of SIGALRM ends
    // the child, and the accept loop logs it.
    ::alarm(static_cast<unsigned>(settings.conversation_limit));
    Conversation(conn, settings).run();
}

}  // namespace ynetd
