// The requests of a conversation, each run once its items have arrived
// whole. A client sees exactly the answers the protocol gives; the daemon
// keeps one log line per conversation with what happened in it (and a line
// per step with --log-requests).
#include "ynetd_conversation.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <linux/sockios.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "cstr.h"
#include "cstra.h"
#include "ynetd_io.h"
#include "ystrings.h"

namespace ynetd {

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// Buffers as the clients size them: Unix-domain paths, the strings of
// request 9 (service names too).
constexpr std::size_t kPathSize = YNETD_IPC_PATH_SIZE;
constexpr std::size_t kNameSize = YNETD_TEXT_SIZE;

// How long a listener whose backlog is full is tried again (busy, not
// stalled, while it accepts meanwhile), and how often.
constexpr auto kBacklogWait = milliseconds(3000);
constexpr auto kBacklogRetry = milliseconds(20);

// Answers a client has left unread before it counts as one that reads none.
constexpr int kMostUnread = 64 * 1024;

// The one answer for a listener that cannot be reached, whatever the reason.
constexpr int kUnreachable = YN_STATUS_SOCKET_ERROR;

// What the log line keeps of one conversation at most.
constexpr std::size_t kMostNotes = 2048;

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

// A started command gets the dispositions and the blocking descriptors a
// fresh program has.
void prepare_command_process(int conn) {
    struct sigaction action{};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGTERM, SIGINT, SIGCHLD, SIGPIPE}) ::sigaction(sig, &action, nullptr);
    ::fcntl(conn, F_SETFL, ::fcntl(conn, F_GETFL) & ~O_NONBLOCK);
}

}  // namespace

Conversation::Conversation(yq::unique_fd conn, std::string opening, const Settings &settings,
                           Clock::time_point now)
    : conn_(std::move(conn)),
      opening_(std::move(opening)),
      settings_(settings),
      start_(now),
      waiting_since_(now),
      timeout_(settings.item_timeout) {}

Conversation::~Conversation() {
    const auto lasted = std::chrono::duration<double, std::milli>(Clock::now() - start_).count();
    log_line("conversation", "%s: %s; %.1f ms", opening_.c_str(), notes_.c_str(), lasted);
}

void Conversation::note(const char *format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    Y_vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (settings_.log_requests) log_line("conversation", "%s: %s", opening_.c_str(), text);
    if (notes_.size() >= kMostNotes) return;
    if (!notes_.empty()) notes_ += "; ";
    notes_.append(text, std::min(std::strlen(text), kMostNotes - notes_.size()));
}

void Conversation::finish() {
    state_ = State::Done;
    uds_.reset();
}

void Conversation::end(const char *why) {
    if (done()) return;
    note("%s", why);
    finish();
}

Clock::time_point Conversation::deadline() const {
    const Clock::time_point limit = start_ + seconds(settings_.conversation_limit);
    Clock::time_point step = limit;
    switch (state_) {
    case State::Offer:
    case State::Echo:
        step = start_ + seconds(settings_.handshake_timeout);
        break;
    case State::Retry:
        step = retry_at_;
        break;
    case State::Done:
        break;
    default:
        step = waiting_since_ + seconds(settings_.item_timeout);
        break;
    }
    return std::min(limit, step);
}

void Conversation::on_deadline(Clock::time_point now) {
    if (done() || now < deadline()) return;
    const bool over = now >= start_ + seconds(settings_.conversation_limit);
    if (state_ == State::Retry && !over) {
        reach(now);
        return;
    }
    if (state_ == State::HandOver) {
        note("hand-over to %s: no answer in time", target_.c_str());
        answer(YN_STATUS_TIMEOUT);
    } else if (over) {
        note("conversation limit reached");
    } else if (state_ == State::Offer || state_ == State::Echo) {
        note("no handshake in time");
    } else {
        note("no whole item in time");
    }
    finish();
}

std::size_t Conversation::item_limit() const {
    if (state_ == State::Field) return kNameSize;
    if (state_ != State::Argument) return kNumberItem;
    return code_ == YNETD_REQUEST_SERVICE ? kNameSize : kPathSize;
}

void Conversation::on_client(Clock::time_point now) {
    while (!done() && step(now)) {
    }
}

// Takes the next item when the state reads one and it has arrived whole.
bool Conversation::step(Clock::time_point now) {
    switch (state_) {
    case State::Offer:
    case State::Echo:
    case State::Request:
    case State::Argument:
    case State::Field:
        break;
    default:
        return false;
    }
    // Once the client has closed, a pop of what is left cannot wait.
    if (!peer_closed_ && item_arrival(conn_.get(), item_limit()) != Arrival::Whole) return false;
    if ((state_ == State::Request || state_ == State::Field) && !reading_answers()) return false;
    waiting_since_ = now;
    switch (state_) {
    case State::Offer: offer(); break;
    case State::Echo: echo(); break;
    case State::Request: request(); break;
    case State::Argument: argument(now); break;
    default: field(); break;
    }
    return true;
}

// A client that sends requests but leaves the answers unread would in the
// end make a push wait: it is let go before that.
bool Conversation::reading_answers() {
    int unread = 0;
    if (::ioctl(conn_.get(), SIOCOUTQ, &unread) != 0 || unread <= kMostUnread) return true;
    note("client leaves %d bytes of answers unread", unread);
    finish();
    return false;
}

void Conversation::answer(int status) {
    ynet_push_status(conn_.get(), status, timeout_);
}

void Conversation::refuse(long code, int status, const char *why) {
    note("request %ld refused (%s): status %d", code, why, status);
    // Whatever the client sent after the code is unread: the conversation is
    // out of step and ends after the answer.
    answer(status);
    finish();
}

// The client offers its highest version; the answer is the highest both
// speak, or -1; the client echoes the version in force.
void Conversation::offer() {
    long offered = 0;
    int status = ynet_pop_signed(conn_.get(), &offered, timeout_);
    if (status != YN_STATUS_SUCCESS) {
        note("no version offer: status %d", status);
        return finish();
    }
    long agreed = std::min<long>(offered, settings_.max_protocol);
    if (agreed < 1) agreed = -1;
    status = ynet_push_signed(conn_.get(), agreed, timeout_);
    if (status != YN_STATUS_SUCCESS || agreed == -1) {
        note("client offered version %ld: refused", offered);
        return finish();
    }
    protocol_ = static_cast<int>(agreed);
    state_ = State::Echo;
}

void Conversation::echo() {
    long echoed = 0;
    int status = ynet_pop_signed(conn_.get(), &echoed, timeout_);
    if (status != YN_STATUS_SUCCESS || echoed != protocol_) {
        note("client did not accept version %d (status %d, answer %ld)", protocol_, status,
             echoed);
        return finish();
    }
    note("protocol version %d", protocol_);
    state_ = State::Request;
}

void Conversation::request() {
    long code = -1;
    int status = ynet_pop_signed(conn_.get(), &code, timeout_);
    if (status == YN_STATUS_READ_FAILED) {
        note("closed by the client");
        return finish();
    }
    if (status == YN_STATUS_BAD_VALUE || status == YN_STATUS_BAD_FORMAT)
        return refuse(code, YN_STATUS_INVALID_ARGUMENT, "not a request code");
    if (status != YN_STATUS_SUCCESS) {
        note("no request: status %d", status);
        return finish();
    }
    auto needs = [&](int version) {
        if (protocol_ >= version) return true;
        refuse(code, YN_STATUS_VERSION_MISMATCH,
               version == 2 ? "needs protocol version 2" : "needs protocol version 3");
        return false;
    };
    switch (code) {
    case YNETD_REQUEST_NOOP:
        answer(YN_STATUS_SUCCESS);
        return;
    case YNETD_REQUEST_DISCONNECT:
        answer(YN_STATUS_SUCCESS);
        note("disconnect");
        return finish();
    case YNETD_REQUEST_DAEMON_SOCKET:
    case YNETD_REQUEST_DAEMON_SOCKET_HASH:
        break;
    case YNETD_REQUEST_SERVICE:
        if (!needs(2)) return;
        break;
    case YNETD_REQUEST_VERSION:
        if (!needs(2)) return;
        note("request 8: version text \"%s\"", settings_.version_text.c_str());
        ynet_push_string(conn_.get(), settings_.version_text.c_str(), timeout_);
        return;
    case YNETD_REQUEST_SECURITY_INFO: {
        if (!needs(3)) return;
        int loaded = crconf_get_info(&record_.info);
        if (loaded != 0) note("no configuration record: status %d", loaded);
        answer(YN_STATUS_SUCCESS);
        state_ = State::Field;
        return;
    }
    default:
        return refuse(code, YN_STATUS_INVALID_ARGUMENT, "unknown request");
    }
    code_ = code;
    state_ = State::Argument;
}

void Conversation::argument(Clock::time_point now) {
    if (code_ == YNETD_REQUEST_SERVICE)
        service_socket(now);
    else
        daemon_socket(now);
}

// Requests 2 and 3. The success status reaches the client from the listener,
// once it holds the connection; this daemon answers only a failure.
void Conversation::daemon_socket(Clock::time_point now) {
    char path[kPathSize];
    int status = ynet_pop_string(conn_.get(), path, sizeof path, timeout_);
    if (status != YN_STATUS_SUCCESS) {
        note("request %ld: no path: status %d", code_, status);
        return finish();
    }
    if (code_ == YNETD_REQUEST_DAEMON_SOCKET_HASH) {
        char hash_str1[YNETD_HASH_SIZE] = "";
        ynet_generate_hashes(conn_.get(), hash_str1, sizeof hash_str1, hash_str2_,
                             sizeof hash_str2_);
        if (ynet_push_string(conn_.get(), hash_str1, timeout_) != YN_STATUS_SUCCESS) {
            note("request 3: the client took no hash");
            return finish();
        }
    }
    target_ = path;
    connect_back_ = true;
    reach(now);
}

// Request 6: the registration of the service decides. A live process with an
// IPC socket gets the connection; a registered command is started with the
// connection as its standard input and output; otherwise the client learns
// that there is no such service.
void Conversation::service_socket(Clock::time_point now) {
    char name[kNameSize];
    int status = ynet_pop_string(conn_.get(), name, sizeof name, timeout_);
    if (status != YN_STATUS_SUCCESS) {
        note("request 6: no service name: status %d", status);
        return finish();
    }
    service_ = name;
    if (!valid_service_name(name)) {
        note("request 6: bad service name \"%s\"", name);
        answer(YN_STATUS_INVALID_ARGUMENT);
        return finish();
    }
    char *raw_path = nullptr;
    status = ynet_generate_service_path(name, "txt", &raw_path);
    yq::unique_malloc<char> path(raw_path);
    if (status != YN_STATUS_SUCCESS) {
        note("request 6 %s: no service path: status %d", name, status);
        answer(status);
        return finish();
    }
    status = ynet_read_service_file(path.get(), &services_.head);
    if (status != YN_STATUS_SUCCESS) {
        note("request 6 %s: service file %s: status %d", name, path.get(), status);
        answer(YN_STATUS_SERVICE_NOT_FOUND);
        return finish();
    }
    next_entry_ = services_.head;
    last_failure_ = YN_STATUS_SERVICE_NOT_FOUND;
    next_registration(now);
}

// Tries the registrations in their order: the first with a live process and
// a reachable socket gets the connection, the first with a command runs it.
void Conversation::next_registration(Clock::time_point now) {
    const time_t wall = std::time(nullptr);
    while (next_entry_ != nullptr) {
        const ynet_service_entry &entry = *next_entry_;
        next_entry_ = entry.next;
        if (expired(entry, wall)) continue;
        if (entry.ipc != nullptr && process_alive(entry.pid)) {
            target_ = entry.ipc;
            target_pid_ = entry.pid;
            connect_back_ = false;
            hash_str2_[0] = '\0';
            busy_since_ = {};
            return reach(now);
        }
        if (entry.dcmd != nullptr || entry.icmd != nullptr) return start_command(entry);
    }
    note("request 6 %s: no live registration: status %d", service_.c_str(), last_failure_);
    answer(last_failure_);
    finish();
}

// Connects to the target listener and passes it the client's connection;
// the listener's answer arrives in on_listener. A full backlog is tried
// again in a moment, for a few seconds.
void Conversation::reach(Clock::time_point now) {
    switch (connect_listener(target_.c_str(), connect_back_, uds_)) {
    case Reach::Connected:
        // The listener gets the connection as a client made it: blocking.
        ::fcntl(conn_.get(), F_SETFL, ::fcntl(conn_.get(), F_GETFL) & ~O_NONBLOCK);
        if (ynet_push_string(uds_.get(), hash_str2_, timeout_) != YN_STATUS_SUCCESS ||
            !pass_descriptor(uds_.get(), conn_.get())) {
            note("hand-over to %s: the connection could not be passed", target_.c_str());
            answer(YN_STATUS_DESCRIPTOR_PASSING_FAILED);
            return finish();
        }
        waiting_since_ = now;
        state_ = State::HandOver;
        return;
    case Reach::Busy:
        if (busy_since_ == Clock::time_point{}) busy_since_ = now;
        if (now - busy_since_ < kBacklogWait) {
            retry_at_ = now + kBacklogRetry;
            state_ = State::Retry;
            return;
        }
        break;
    case Reach::Unreachable:
        break;
    }
    unreachable();
    if (!done() && code_ == YNETD_REQUEST_SERVICE) next_registration(now);
}

// The same status at once, whatever made the listener unreachable; for a
// service, another registration may still serve.
void Conversation::unreachable() {
    uds_.reset();
    if (code_ == YNETD_REQUEST_SERVICE) {
        note("request 6 %s: %s (pid %d) unreachable", service_.c_str(), target_.c_str(),
             target_pid_);
        last_failure_ = kUnreachable;
        return;
    }
    note("request %ld: hand-over to %s failed: status %d", code_, target_.c_str(), kUnreachable);
    answer(kUnreachable);
    finish();
}

void Conversation::on_listener(Clock::time_point) {
    if (state_ != State::HandOver || item_arrival(uds_.get(), kNumberItem) != Arrival::Whole)
        return;
    int listener_status = 0;
    int status = ynet_pop_status(uds_.get(), &listener_status, timeout_);
    if (status == YN_STATUS_SUCCESS) status = listener_status;
    const bool service = code_ == YNETD_REQUEST_SERVICE;
    if (status == YN_STATUS_SUCCESS) {
        if (service)
            note("request 6 %s: connection handed to %s (pid %d)", service_.c_str(),
                 target_.c_str(), target_pid_);
        else
            note("request %ld: connection handed to %s", code_, target_.c_str());
    } else {
        if (service)
            note("request 6 %s: hand-over to %s failed: status %d", service_.c_str(),
                 target_.c_str(), status);
        else
            note("request %ld: hand-over to %s failed: status %d", code_, target_.c_str(),
                 status);
        answer(status);
    }
    finish();
}

// The command string is split at blanks; the registration's arguments
// follow. The client's status 0 is sent before the command runs, since the
// command speaks only through its standard input and output.
void Conversation::start_command(const ynet_service_entry &entry) {
    const char *command = entry.dcmd != nullptr ? entry.dcmd : entry.icmd;
    unique_cstra argv = command_argv(command, entry.args);
    const char *program = argv ? argv.get()[0] : nullptr;
    if (program == nullptr || ::access(program, X_OK) != 0) {
        note("request 6 %s: cannot run \"%s\": errno %d (%s)", service_.c_str(), command, errno,
             std::strerror(errno));
        answer(YN_STATUS_CHILD_FAILED);
        return finish();
    }
    answer(YN_STATUS_SUCCESS);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int conn = conn_.get();
        prepare_command_process(conn);
        if (::dup2(conn, 0) < 0 || ::dup2(conn, 1) < 0) std::_Exit(126);
        // The command gets standard input, output and error only: whatever
        // else is open (inherited when the daemon started, or its own)
        // closes at the exec, so the log below still works when it fails.
        if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
            for (int fd = 3, last = static_cast<int>(::sysconf(_SC_OPEN_MAX)); fd < last; ++fd)
                ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
        ::execv(program, argv.get());
        log_line("service_socket", "request 6 %s: execv %s failed: errno %d (%s)",
                 service_.c_str(), program, errno, std::strerror(errno));
        std::_Exit(127);
    }
    if (pid < 0)
        note("request 6 %s: cannot start %s: errno %d", service_.c_str(), program, errno);
    else
        note("request 6 %s: started %s (pid %d)", service_.c_str(), program,
             static_cast<int>(pid));
    finish();
}

// Field names of request 9, one at a time, until an empty one.
void Conversation::field() {
    char name[kNameSize];
    int status = ynet_pop_string(conn_.get(), name, sizeof name, timeout_);
    if (status != YN_STATUS_SUCCESS) {
        note("request 9: no field name: status %d", status);
        return finish();
    }
    if (name[0] == '\0') {
        crconf_free_info(&record_.info);
        state_ = State::Request;
        return;
    }
    note("request 9: %s", name);
    if (!answer_field(name)) finish();
}

// One field of request 9, answered from this host's configuration record.
bool Conversation::answer_field(const char *field) {
    const crconf_info_rec *info = record_.info;
    auto push_string = [&](const char *text) {
        return ynet_push_string(conn_.get(), text != nullptr ? text : "", timeout_) ==
               YN_STATUS_SUCCESS;
    };
    auto push_signed = [&](long value) {
        return ynet_push_signed(conn_.get(), value, timeout_) == YN_STATUS_SUCCESS;
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
                note("domain %s has no broker: left out", d->ad_domain != nullptr ? d->ad_domain : "");
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

}  // namespace ynetd
