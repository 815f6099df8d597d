// The broker's listener, its conversations and its debug log. A thread per
// conversation, at most max-clients at once (further clients wait in the
// listen backlog for a slot); the accept loop ends every conversation that
// outlives its time, so a stalled or silent client holds one slot for a
// bounded while and never blocks the others.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <thread>
#include <unordered_map>

#include "broker.h"
#include "yorbat_tls.h"

namespace yorbat::broker {
namespace {

using Clock = std::chrono::steady_clock;
using protocol::Field;

// The whole conversation, handshake to answer, and every wait in it.
constexpr auto conversation_limit = std::chrono::seconds(10);
constexpr int wait_limit_ms = 10000;

// The conversations running: each one's socket and when it must end. The
// socket stays open until its thread removes it here, so the accept loop may
// shut down any socket it finds in the table.
struct Conversations {
    std::mutex mutex;
    std::condition_variable ended;
    std::unordered_map<int, Clock::time_point> deadlines;
};

struct Shared {
    const Authority &authority;
    const tls::Options &options;
    DebugLog &log;
    Conversations &conversations;
};

void finish(Conversations &conversations, int fd) noexcept {
    std::lock_guard lock(conversations.mutex);
    conversations.deadlines.erase(fd);
    close(fd);
    conversations.ended.notify_all();
}

// A request that could not be read whole or parsed gets 0x6002 (or 0x6003).
Outcome refusal(int received) noexcept {
    Outcome outcome;
    outcome.result = received == YORBAT_NO_MEMORY ? YORBAT_NO_MEMORY : YORBAT_INVALID_ARGUMENT;
    try {
        outcome.answer.set_result(outcome.result);
    } catch (const std::bad_alloc &) {
    }
    return outcome;
}

void converse_on(tls::Session &session, Peer &peer, const Shared &shared) {
    peer.certificate_pem = tls::peer_certificate_pem(session);
    protocol::Message request;
    int received = protocol::receive(session, request);
    if (received == YORBAT_CONNECTION_BROKEN) {
        shared.log.line(peer, "-", "-", received);
        return;
    }
    Outcome outcome = received == YORBAT_OK ? answer_request(shared.authority, peer, request) : refusal(received);
    protocol::send(session, outcome.answer);
    tls::shutdown(session);
    std::string_view op = request.has(Field::op) ? request.value(Field::op) : "-";
    shared.log.line(peer, op, outcome.principal.empty() ? "-" : outcome.principal, outcome.result);
}

void converse(int fd, Peer peer, Shared shared) noexcept {
    try {
        tls::SessionPtr session;
        int started = tls::start(fd, tls::Role::server, shared.options, session);
        if (started == YORBAT_OK)
            converse_on(*session, peer, shared);
        else
            shared.log.line(peer, "-", "-", started);
    } catch (const std::exception &) {
        // Out of memory mid-conversation: the client sees the connection end.
    }
    finish(shared.conversations, fd);
}

// Ends the conversations past their time: their thread sees the socket fail.
// The time until the next deadline (at most a second) comes back.
int drop_overdue(Conversations &conversations) {
    std::lock_guard lock(conversations.mutex);
    Clock::time_point now = Clock::now(), next = now + std::chrono::seconds(1);
    for (auto &[fd, deadline] : conversations.deadlines) {
        if (deadline <= now)
            ::shutdown(fd, SHUT_RDWR);
        else
            next = std::min(next, deadline);
    }
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
    return static_cast<int>(std::clamp<long long>(wait, 1, 1000));
}

bool full(const Settings &settings, Conversations &conversations) {
    std::lock_guard lock(conversations.mutex);
    return conversations.deadlines.size() >= static_cast<size_t>(settings.max_clients);
}

void accept_one(int listener, const Settings &settings, const Shared &shared) {
    Peer peer;
    socklen_t length = sizeof peer.remote;
    int fd = accept4(listener, reinterpret_cast<sockaddr *>(&peer.remote), &length, SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE)  // let conversations end before trying again
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return;
    }
    length = sizeof peer.local;
    getsockname(fd, reinterpret_cast<sockaddr *>(&peer.local), &length);
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

    Conversations &conversations = shared.conversations;
    std::lock_guard lock(conversations.mutex);
    if (conversations.deadlines.size() >= static_cast<size_t>(settings.max_clients)) {
        close(fd);  // accepted after the slots filled up: the client sees its connection end
        return;
    }
    try {
        conversations.deadlines.emplace(fd, Clock::now() + conversation_limit);
        std::thread(converse, fd, std::move(peer), shared).detach();
    } catch (const std::exception &) {
        conversations.deadlines.erase(fd);
        close(fd);
    }
}

// A conversation costs a descriptor and a thread: the soft descriptor limit
// goes as high as the hard one, so --max-clients is what bounds them.
void raise_descriptor_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max)
        return;
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}

void drop_all_and_wait(Conversations &conversations) {
    std::unique_lock lock(conversations.mutex);
    for (auto &[fd, deadline] : conversations.deadlines)
        ::shutdown(fd, SHUT_RDWR);
    conversations.ended.wait(lock, [&] { return conversations.deadlines.empty(); });
}

// Printable bytes only, so a name cannot forge or break log lines.
std::string printable(std::string_view text) {
    std::string out(text);
    for (char &c : out)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) == 0x7f)
            c = '?';
    return out;
}

}  // namespace

std::string address_text(const sockaddr_in &address) {
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

int listen_on(const Settings &settings, std::string &why) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(settings.port));
    if (inet_pton(AF_INET, settings.listen_address.c_str(), &address.sin_addr) != 1)
        return why = "not an IPv4 address: " + settings.listen_address, -1;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return why = std::string("socket: ") + std::strerror(errno), -1;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(fd, SOMAXCONN) != 0) {
        why = address_text(address) + ": " + std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

void serve(int listener, int stop_fd, const Settings &settings, const Authority &authority, DebugLog &log) {
    tls::Options options;
    options.own = &authority.own;
    // Any client certificate is taken in the handshake and judged by the
    // operation that needs one: renewal accepts an expired one.
    options.verify_peer = false;
    options.require_peer_certificate = false;
    options.timeout_ms = wait_limit_ms;
    raise_descriptor_limit();
    Conversations conversations;
    Shared shared{authority, options, log, conversations};
    for (int wait_ms = 1000;;) {
        // With every slot taken the listener is left alone: clients wait in
        // the backlog until an overdue or finished conversation frees one.
        const bool taking = !full(settings, conversations);
        pollfd watched[2] = {{stop_fd, POLLIN, 0}, {listener, POLLIN, 0}};
        if (poll(watched, taking ? 2 : 1, wait_ms) < 0 && errno != EINTR)
            break;
        if (watched[0].revents)
            break;
        if (taking && (watched[1].revents & POLLIN))
            accept_one(listener, settings, shared);
        wait_ms = drop_overdue(conversations);
    }
    drop_all_and_wait(conversations);
}

// ---- Debug log.

bool DebugLog::open(const std::string &path) {
    if (path.empty())
        return true;
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    return fd_ >= 0;
}

DebugLog::~DebugLog() {
    if (fd_ >= 0)
        close(fd_);
}

void DebugLog::line(const Peer &peer, std::string_view op, std::string_view principal, int result) noexcept {
    if (fd_ < 0)
        return;
    try {
        char when[32] = "";
        time_t now = time(nullptr);
        struct tm parts {};
        strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", gmtime_r(&now, &parts));
        std::string text = std::string(when) + " " + address_text(peer.remote) + " " + printable(op) + " " +
                           printable(principal) + " " + protocol::result_text(result) + "\n";
        std::lock_guard lock(mutex_);
        [[maybe_unused]] ssize_t ignored = write(fd_, text.data(), text.size());
    } catch (const std::exception &) {
    }
}

}  // namespace yorbat::broker
