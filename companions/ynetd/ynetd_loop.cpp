// ynetd's event loop: one process serves every conversation. The listener,
// the signal pipe, every client socket and every hand-over waiting on its
// listener are watched by one epoll set; a conversation steps only when what
// it reads has arrived whole, so a slow, stalled or hostile client costs a
// descriptor and a little memory, never another client's turn. Deadlines
// (handshake, each item, the whole conversation) end those that take too long.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <unordered_map>
#include <vector>

#include "ynetd.h"
#include "ynetd_conversation.h"
#include "yq_memory.h"

namespace ynetd {

namespace {

// epoll tags: the listener, the signal pipe, then two per conversation
// (its client socket and its hand-over's listener connection).
constexpr std::uint64_t kListenerTag = 0;
constexpr std::uint64_t kSignalTag = 1;
constexpr std::uint64_t kFirstId = 1;

std::uint64_t client_tag(std::uint64_t id) { return id << 1; }
std::uint64_t listener_tag(std::uint64_t id) { return (id << 1) | 1; }

// Room the kernel keeps for a client's unread answers: far more than any
// answer, so a push never waits (a client leaving answers unread is let go
// long before this fills).
constexpr int kSendBuffer = 256 * 1024;

// Descriptors each conversation may hold at once, and what the daemon keeps
// for itself besides.
constexpr rlim_t kFdsPerConversation = 2;
constexpr rlim_t kOwnFds = 64;

class Loop {
public:
    Loop(int listener, int signal_fd, const Settings &settings, int capacity)
        : listener_(listener), signal_fd_(signal_fd), settings_(settings), capacity_(capacity) {}
    bool set_up();
    void run();

private:
    struct Entry {
        std::unique_ptr<Conversation> conversation;
        in_addr_t address = 0;
        int watched_listener = -1;
        Clock::time_point deadline{};
    };
    using Deadline = std::pair<Clock::time_point, std::uint64_t>;

    bool watch(int fd, std::uint64_t tag, std::uint32_t events);
    void listen(bool on);
    void accept_all(Clock::time_point now);
    void accept_one(int fd, const sockaddr_in &peer, Clock::time_point now);
    void dispatch(const epoll_event &event, Clock::time_point now);
    void settle(std::uint64_t id);
    void remove(std::uint64_t id);
    void expire(Clock::time_point now);
    int wait_ms(Clock::time_point now);
    bool drain_signals();
    void reap_commands();
    void stop();

    const int listener_;
    const int signal_fd_;
    const Settings &settings_;
    const int capacity_;  // conversations at once
    yq::unique_fd epoll_;
    bool listening_ = false;
    std::uint64_t next_id_ = kFirstId;
    std::unordered_map<std::uint64_t, Entry> entries_;
    std::unordered_map<in_addr_t, int> per_address_;
    std::set<Deadline> deadlines_;  // each conversation's next deadline, soonest first
};

bool Loop::watch(int fd, std::uint64_t tag, std::uint32_t events) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = tag;
    return ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) == 0;
}

// At the limit the listener is left alone: clients wait in the backlog.
void Loop::listen(bool on) {
    if (on == listening_) return;
    epoll_event event{};
    event.events = on ? static_cast<std::uint32_t>(EPOLLIN) : 0U;
    event.data.u64 = kListenerTag;
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, listener_, &event);
    listening_ = on;
}

void Loop::accept_all(Clock::time_point now) {
    while (static_cast<int>(entries_.size()) < capacity_) {
        sockaddr_in peer{};
        socklen_t size = sizeof peer;
        yq::unique_fd conn(::accept4(listener_, reinterpret_cast<sockaddr *>(&peer), &size,
                                     SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!conn) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR &&
                errno != ECONNABORTED)
                log_line("accept", "accept failed: errno %d (%s)", errno, std::strerror(errno));
            if (errno == EMFILE || errno == ENFILE) break;
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            continue;
        }
        accept_one(conn.release(), peer, now);
    }
    listen(static_cast<int>(entries_.size()) < capacity_);
}

void Loop::accept_one(int fd, const sockaddr_in &peer, Clock::time_point now) {
    yq::unique_fd conn(fd);
    const in_addr_t address = peer.sin_addr.s_addr;
    if (per_address_[address] >= settings_.max_per_address) {
        char text[INET_ADDRSTRLEN] = "";
        ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        log_line("accept", "%s holds %d conversations already: closed", text,
                 settings_.max_per_address);
        return;
    }
    // Items are small single writes: without this each exchange would wait
    // for the peer's delayed acknowledgement.
    int one = 1;
    ::setsockopt(conn.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(conn.get(), SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
    char opening[256];
    ynet_logconnections(conn.get(), "ynetd", 1, opening, sizeof opening);

    const std::uint64_t id = next_id_++;
    if (!watch(conn.get(), client_tag(id), EPOLLIN | EPOLLRDHUP | EPOLLET)) {
        log_line("accept", "cannot watch a connection: errno %d", errno);
        return;
    }
    Entry &entry = entries_[id];
    entry.address = address;
    ++per_address_[address];
    entry.conversation = std::make_unique<Conversation>(std::move(conn), opening, settings_, now);
    // What arrived with the connection is taken at once.
    entry.conversation->on_client(now);
    settle(id);
}

void Loop::dispatch(const epoll_event &event, Clock::time_point now) {
    const std::uint64_t tag = event.data.u64;
    const std::uint64_t id = tag >> 1;
    auto it = entries_.find(id);
    if (it == entries_.end()) return;
    Conversation &conversation = *it->second.conversation;
    if (tag & 1) {
        conversation.on_listener(now);
    } else {
        if (event.events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) conversation.peer_closed();
        conversation.on_client(now);
    }
    settle(id);
}

// After a step: gone when done, else its hand-over socket watched and its
// deadline queued.
void Loop::settle(std::uint64_t id) {
    Entry &entry = entries_.at(id);
    Conversation &conversation = *entry.conversation;
    if (conversation.done()) return remove(id);
    const int uds = conversation.listener_fd();
    if (uds != entry.watched_listener) {
        // A closed descriptor has left the set already.
        if (uds >= 0 && !watch(uds, listener_tag(id), EPOLLIN | EPOLLET)) {
            conversation.end("cannot watch the hand-over");
            return remove(id);
        }
        entry.watched_listener = uds;
        // The answer may have come before the watch.
        if (uds >= 0) {
            conversation.on_listener(Clock::now());
            if (conversation.done()) return remove(id);
        }
    }
    const Clock::time_point deadline = conversation.deadline();
    if (deadline != entry.deadline) {
        deadlines_.erase({entry.deadline, id});
        entry.deadline = deadline;
        deadlines_.emplace(deadline, id);
    }
}

// The client socket leaves the set explicitly: a started command holds the
// same connection, and the set would go on reporting it.
void Loop::remove(std::uint64_t id) {
    auto it = entries_.find(id);
    if (it == entries_.end()) return;
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, it->second.conversation->client_fd(), nullptr);
    deadlines_.erase({it->second.deadline, id});
    if (--per_address_[it->second.address] == 0) per_address_.erase(it->second.address);
    entries_.erase(it);
    if (!listening_) listen(static_cast<int>(entries_.size()) < capacity_);
}

void Loop::expire(Clock::time_point now) {
    while (!deadlines_.empty() && deadlines_.begin()->first <= now) {
        const std::uint64_t id = deadlines_.begin()->second;
        deadlines_.erase(deadlines_.begin());
        Entry &entry = entries_.at(id);
        entry.deadline = {};
        entry.conversation->on_deadline(now);
        settle(id);
    }
}

int Loop::wait_ms(Clock::time_point now) {
    if (deadlines_.empty()) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadlines_.begin()->first - now);
    return left.count() < 0 ? 0 : static_cast<int>(std::min<long long>(left.count(), 60000));
}

// True when a stop was asked for.
bool Loop::drain_signals() {
    bool stop = false;
    bool child = false;
    char buffer[64];
    for (ssize_t n; (n = ::read(signal_fd_, buffer, sizeof buffer)) > 0;)
        for (ssize_t i = 0; i < n; ++i) {
            if (buffer[i] == SIGTERM || buffer[i] == SIGINT) stop = true;
            if (buffer[i] == SIGCHLD) child = true;
        }
    if (child) reap_commands();
    return stop;
}

// Started commands are the product's programs; their ends are only noted.
void Loop::reap_commands() {
    for (;;) {
        int status = 0;
        const pid_t pid = ::waitpid(-1, &status, WNOHANG);
        if (pid <= 0) break;
        if (settings_.log_requests || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            log_line("reap", "command %d ended: %s %d", static_cast<int>(pid),
                     WIFSIGNALED(status) ? "signal" : "exit status",
                     WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status));
    }
}

void Loop::stop() {
    log_line("main", "stopping: %zu conversation(s) still running", entries_.size());
    for (auto &[id, entry] : entries_) entry.conversation->end("ended: the daemon stops");
    entries_.clear();
    per_address_.clear();
}

bool Loop::set_up() {
    epoll_.reset(::epoll_create1(EPOLL_CLOEXEC));
    if (!epoll_ || !watch(signal_fd_, kSignalTag, EPOLLIN) || !watch(listener_, kListenerTag, 0)) {
        log_line("main", "cannot set up the event loop: errno %d (%s)", errno,
                 std::strerror(errno));
        return false;
    }
    listen(true);
    return true;
}

void Loop::run() {
    std::vector<epoll_event> events(256);
    for (;;) {
        const int n = ::epoll_wait(epoll_.get(), events.data(), static_cast<int>(events.size()),
                                   wait_ms(Clock::now()));
        if (n < 0 && errno != EINTR) {
            log_line("main", "epoll_wait failed: errno %d (%s)", errno, std::strerror(errno));
            break;
        }
        const Clock::time_point now = Clock::now();
        bool stopping = false;
        for (int i = 0; i < n; ++i) {
            const epoll_event &event = events[static_cast<std::size_t>(i)];
            if (event.data.u64 == kSignalTag)
                stopping = drain_signals() || stopping;
            else if (event.data.u64 == kListenerTag)
                accept_all(now);
            else
                dispatch(event, now);
        }
        if (stopping) break;
        expire(now);
    }
    stop();
}

// Descriptors are what conversations cost: the soft limit goes as high as
// the hard one allows, and the conversations at once are as many as asked
// for when that limit holds them.
int conversation_capacity(const Settings &settings) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return settings.max_conversations;
    if (limit.rlim_cur != limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) ::getrlimit(RLIMIT_NOFILE, &limit);
    }
    if (limit.rlim_cur == RLIM_INFINITY) return settings.max_conversations;
    const rlim_t fit =
        limit.rlim_cur > kOwnFds ? (limit.rlim_cur - kOwnFds) / kFdsPerConversation : 1;
    if (fit >= static_cast<rlim_t>(settings.max_conversations)) return settings.max_conversations;
    log_line("main", "at most %d conversations at once: the descriptor limit allows no more",
             static_cast<int>(fit));
    return static_cast<int>(fit);
}

}  // namespace

bool serve(int listener, int signal_fd, const Settings &settings,
           const std::function<void()> &ready) {
    Loop loop(listener, signal_fd, settings, conversation_capacity(settings));
    if (!loop.set_up()) return false;
    ready();
    loop.run();
    return true;
}

}  // namespace ynetd
