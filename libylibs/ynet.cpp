// The wire items every conversation is made of (a byte, a string and decimal
// numbers), the readiness wait before each transfer, and the brackets that
// bound a blocking call by a deadline and, on request, an alarm.
//
// A pop never consumes a byte beyond its item: descriptors and further items
// follow on the same socket and belong to the next reader. On sockets a pop
// peeks at what has arrived and then reads exactly up to and including the
// item's terminator; on other descriptors it reads one byte per call.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <type_traits>

#include "ynet_private.h"
#include "yq_memory.h"
#include "yq_sys.h"
#include "ystrings.h"

static constexpr const char *kModule = "ynet";

int ynet_ignore_alarms = 1;

namespace {

using yq::ynet_wire::bracketed;

// A number text fits a 128-byte buffer, terminator included.
constexpr int kNumberBuffer = 128;
// Every wait after the first byte of an item, and after the first write.
constexpr int kFollowUpTimeout = 10;
// Bounds of a non-zero readiness wait, in seconds.
constexpr int kShortestWait = 10;
constexpr int kLongestWait = 60;

// The SIGALRM action replaced by ynet_set_alarm. The public state record can
// only hold the handler; keeping the whole action here lets ynet_clear_alarm
// restore flags and mask too. Alarm-bounded calls never nest or run in
// parallel, so one copy suffices.
struct sigaction g_replaced_alarm_action;
bool g_have_replaced_alarm_action = false;

void install_alarm_handler(int sig, struct sigaction *previous) {
    struct sigaction action{};
    action.sa_handler = ynet_alarm_handler;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: the alarm must interrupt the blocked call.
    action.sa_flags = 0;
    sigaction(sig, &action, previous);
}

// A write with SIGPIPE ignored for its length: a peer that has gone makes the
// write fail with EPIPE instead of ending the process.
ssize_t write_without_sigpipe(int fd, const void *data, size_t n) {
    struct sigaction ignore{};
    struct sigaction previous{};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    bool replaced = sigaction(SIGPIPE, &ignore, &previous) == 0;
    ssize_t result = yq::sys::write(fd, data, n);
    yq::ErrnoGuard keep;  // the write's errno, over the restore
    if (replaced) sigaction(SIGPIPE, &previous, nullptr);
    return result;
}

// Readiness wait in milliseconds: 0 polls, any other time-out waits between
// 10 and 60 seconds.
int wait_ms(int timeout) {
    int seconds = timeout;
    if (timeout == 0) return 0;
    if (timeout < kShortestWait) seconds = kShortestWait;
    if (timeout > kLongestWait) seconds = kLongestWait;
    return seconds * 1000;
}

long monotonic_ms() {
    struct timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Result of one step of a string pop.
enum class Chunk { Item, More };

// Peeks at what has arrived without waiting: the bytes seen, or -1 with errno
// (EAGAIN: nothing yet; ENOTSOCK: no socket, and `peekable` is cleared).
ssize_t peek_now(int fd, char *at, size_t room, bool *peekable) {
    ssize_t seen = yq::sys::recv(fd, at, room, MSG_PEEK | MSG_DONTWAIT);
    if (seen < 0 && errno == ENOTSOCK) *peekable = false;
    return seen;
}

// Reads the next piece of a string item into buffer[*stored..size), at most
// up to the first terminator. On a socket the pending bytes are peeked first,
// so the read stops exactly after the terminator; what has already arrived
// is taken without a readiness wait (a peek and a read), and only an empty
// socket waits. Other descriptors (or once a peek says "not a socket") wait
// and read one byte. Reports and returns a status on failure.
int pop_chunk(int fd, char *buffer, int size, int *stored, int timeout, bool *peekable,
              Chunk *chunk) {
    char *at = buffer + *stored;
    size_t room = static_cast<size_t>(size - *stored);
    ssize_t seen = *peekable ? peek_now(fd, at, room, peekable) : -1;
    if (seen < 0) {
        // Nothing yet, no socket, or a bad descriptor: the wait says which.
        int status = ynet_sock_ready(fd, 1, 0, timeout);
        if (status != YN_STATUS_SUCCESS) return YN_FAIL(status);
        if (*peekable)
            seen = bracketed(timeout, [&] { return yq::sys::recv(fd, at, room, MSG_PEEK); });
    }
    size_t take = 1;
    if (*peekable) {
        if (seen < 1) return YN_FAIL(YN_STATUS_READ_FAILED);
        const void *end = std::memchr(at, '\0', static_cast<size_t>(seen));
        take = end != nullptr ? static_cast<size_t>(static_cast<const char *>(end) - at) + 1
                              : static_cast<size_t>(seen);
    }
    ssize_t got = bracketed(timeout, [&] { return yq::sys::read(fd, at, take); });
    if (got < 1) return YN_FAIL(YN_STATUS_READ_FAILED);
    *stored += static_cast<int>(got);
    *chunk = std::memchr(at, '\0', static_cast<size_t>(got)) != nullptr ? Chunk::Item : Chunk::More;
    return YN_STATUS_SUCCESS;
}

// Writes all of data: the one loop behind every push. On a socket a send
// with MSG_NOSIGNAL goes first without waiting (a peer that has gone makes it
// fail with EPIPE, never raises SIGPIPE); only a full socket waits for room.
// Other descriptors wait and write with SIGPIPE ignored around the write.
// The first wait takes `timeout`, every later one the follow-up time-out.
int push_all(int fd, const char *data, size_t length, int timeout) {
    size_t sent = 0;
    int wait = timeout;
    bool socket = true;
    while (sent < length) {
        ssize_t written = -1;
        if (socket) {
            written = yq::sys::send(fd, data + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (written < 0 && errno == ENOTSOCK) socket = false;
        }
        if (written < 0) {
            // No room yet, no socket, or a bad descriptor: the wait says which.
            int status = ynet_sock_ready(fd, 0, 1, wait);
            if (status != YN_STATUS_SUCCESS) return YN_FAIL(status);
            written = bracketed(timeout, [&] {
                return socket ? yq::sys::send(fd, data + sent, length - sent, MSG_NOSIGNAL)
                              : write_without_sigpipe(fd, data + sent, length - sent);
            });
        }
        if (written < 1) return YN_FAIL(YN_STATUS_WRITE_FAILED);
        wait = kFollowUpTimeout;
        sent += static_cast<size_t>(written);
    }
    return YN_STATUS_SUCCESS;
}

// strtol and strtoul with base detection, as one template for the two pops.
template <typename Number>
Number convert(const char *text, char **end);

template <>
long convert<long>(const char *text, char **end) {
    return std::strtol(text, end, 0);
}

template <>
unsigned long convert<unsigned long>(const char *text, char **end) {
    return std::strtoul(text, end, 0);
}

// Decimal text as "%ld" / "%lu" write it, built in place: the bounded
// formatter takes scratch memory from the heap, and no item needs the heap.
template <typename Number>
int push_number(int fd, Number value, int timeout) {
    char text[kNumberBuffer];
    char *end = text + sizeof text;
    char *at = end;
    *--at = '\0';
    // The magnitude as unsigned, so that LONG_MIN converts too.
    unsigned long magnitude = static_cast<unsigned long>(value);
    bool negative = false;
    if constexpr (std::is_signed_v<Number>) negative = value < 0;
    if (negative) magnitude = 0UL - magnitude;
    do {
        *--at = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (negative) *--at = '-';
    return ynet_push_string(fd, at, timeout);
}

template <typename Number>
int pop_number(int fd, Number *value, int timeout) {
    char text[kNumberBuffer];
    int status = ynet_pop_string(fd, text, sizeof text, timeout);
    if (status != YN_STATUS_SUCCESS) return status;
    char *end = nullptr;
    Number number;
    {
        yq::ErrnoGuard keep;  // a range error is no concern of the caller's
        number = convert<Number>(text, &end);
    }
    if (value != nullptr) *value = number;
    // Trailing characters mean the peer sent something else than a number;
    // the value is stored all the same.
    if (*end != '\0') return YN_STATUS_BAD_VALUE;
    return YN_STATUS_SUCCESS;
}

}  // namespace

extern "C" void ynet_set_timeout(unsigned int seconds, time_t *deadline) noexcept {
    if (deadline == nullptr) return;
    *deadline = yq::sys::time(nullptr) + static_cast<time_t>(seconds);
}

extern "C" int ynet_clear_timeout(int result, int err, time_t deadline) noexcept {
    if (result != -1 || err != EINTR) return 0;
    time_t now = yq::sys::time(nullptr);
    if (!(now < deadline)) return 0;
    if (ynet_debug_stream != nullptr) {
        std::fprintf(ynet_debug_stream, "%s.%d: ignoring EINTR before timeout %u\n", kModule,
                     __LINE__, static_cast<unsigned>(deadline - now));
        std::fflush(ynet_debug_stream);
    }
    return 1;
}

extern "C" void ynet_alarm_handler(int sig) noexcept {
    yq::ErrnoGuard keep;
    install_alarm_handler(sig, nullptr);
}

extern "C" int ynet_set_alarm(unsigned int seconds, ynet_alarm_state *state) noexcept {
    if (state == nullptr) return 0;
    ynet_set_timeout(seconds, &state->deadline);
    state->previous_handler = SIG_DFL;
    state->previous_left = 0;
    if (ynet_ignore_alarms != 0) return 0;
    state->previous_left = alarm(0);
    struct sigaction previous{};
    install_alarm_handler(SIGALRM, &previous);
    state->previous_handler = previous.sa_handler;
    g_replaced_alarm_action = previous;
    g_have_replaced_alarm_action = true;
    alarm(seconds);
    return 0;
}

extern "C" int ynet_clear_alarm(int result, int err, ynet_alarm_state *state) noexcept {
    if (state == nullptr) return 0;
    bool alarms = ynet_ignore_alarms == 0;
    if (alarms) {
        alarm(0);
        if (g_have_replaced_alarm_action &&
            g_replaced_alarm_action.sa_handler == state->previous_handler) {
            sigaction(SIGALRM, &g_replaced_alarm_action, nullptr);
        } else {
            struct sigaction action{};
            action.sa_handler = state->previous_handler;
            sigemptyset(&action.sa_mask);
            sigaction(SIGALRM, &action, nullptr);
        }
        g_have_replaced_alarm_action = false;
    }
    int repeat = ynet_clear_timeout(result, err, state->deadline);
    // The caller's own alarm resumes with what it had left, once the call is
    // done; a repeat runs under a fresh alarm of its own first.
    if (!repeat && alarms && state->previous_left > 0) alarm(state->previous_left);
    return repeat;
}

extern "C" int ynet_sock_ready(int fd, int for_read, int for_write, int timeout) noexcept {
    if (for_read == 0 && for_write == 0) return YN_STATUS_SUCCESS;
    // poll, unlike select, takes any descriptor number.
    const int wait = wait_ms(timeout);
    const long wait_end = monotonic_ms() + wait;
    int remaining = wait;
    struct pollfd entry{};
    int result;
    int err;
    for (;;) {
        entry.fd = fd;
        entry.events = static_cast<short>((for_read != 0 ? POLLIN : 0) |
                                          (for_write != 0 ? POLLOUT : 0));
        entry.revents = 0;
        time_t deadline = yq::sys::time(nullptr) + static_cast<time_t>(timeout);
        result = fd < 0 ? -1 : yq::sys::poll(&entry, 1, remaining);
        err = fd < 0 ? EBADF : errno;
        if (ynet_clear_timeout(result, err, deadline) == 0) break;
        // A signal cut the wait short: wait only for the rest of it.
        long left = wait_end - monotonic_ms();
        remaining = left > 0 ? static_cast<int>(left) : 0;
    }
    if (result < 0 || (entry.revents & POLLNVAL) != 0) {
        errno = result < 0 ? err : EBADF;
        return YN_FAIL(YN_STATUS_SOCKET_ERROR);
    }
    // An error or hang-up counts as ready: the transfer that follows reports it.
    const short broken = POLLERR | POLLHUP;
    if (for_read != 0 && (entry.revents & (POLLIN | broken)) != 0) return YN_STATUS_SUCCESS;
    if (for_write != 0 && (entry.revents & (POLLOUT | broken)) != 0) return YN_STATUS_SUCCESS;
    // A poll (time-out 0) that finds nothing is no failure worth a report.
    return timeout != 0 ? YN_FAIL(YN_STATUS_TIMEOUT) : YN_STATUS_TIMEOUT;
}

extern "C" int ynet_push_byte(int fd, unsigned int value, int timeout) noexcept {
    if (value > 255) return YN_FAIL(YN_STATUS_BAD_VALUE);
    const char octet = static_cast<char>(static_cast<unsigned char>(value));
    return YN_FAIL_IF(push_all(fd, &octet, 1, timeout));
}

extern "C" int ynet_pop_byte(int fd, int *value, int timeout) noexcept {
    if (value == nullptr) return YN_FAIL(YN_STATUS_NULL_POINTER);
    *value = -1;
    int status = ynet_sock_ready(fd, 1, 0, timeout);
    if (status != YN_STATUS_SUCCESS) return YN_FAIL(status);
    unsigned char octet = 0;
    ssize_t got = bracketed(timeout, [&] { return yq::sys::read(fd, &octet, 1); });
    if (got < 1) return YN_FAIL(YN_STATUS_READ_FAILED);
    *value = octet;
    return YN_STATUS_SUCCESS;
}

extern "C" int ynet_push_string(int fd, const char *text, int timeout) noexcept {
    if (text == nullptr) return YN_FAIL(YN_STATUS_NULL_POINTER);
    return YN_FAIL_IF(push_all(fd, text, std::strlen(text) + 1, timeout));  // the terminator too
}

extern "C" int ynet_pop_string(int fd, char *buffer, int size, int timeout) noexcept {
    if (size <= 0) return YN_FAIL(YN_STATUS_BAD_FORMAT);
    if (buffer == nullptr) return YN_FAIL(YN_STATUS_NULL_POINTER);
    int stored = 0;
    int wait = timeout;
    bool peekable = true;
    while (stored < size) {
        Chunk chunk = Chunk::More;
        int status = pop_chunk(fd, buffer, size, &stored, wait, &peekable, &chunk);
        if (status != YN_STATUS_SUCCESS) return YN_FAIL(status);
        if (chunk == Chunk::Item) return YN_STATUS_SUCCESS;
        wait = kFollowUpTimeout;
    }
    // The buffer is full without a terminator; the rest stays on the socket.
    return YN_FAIL(YN_STATUS_BAD_FORMAT);
}

extern "C" int ynet_push_signed(int fd, long value, int timeout) noexcept {
    return YN_FAIL_IF(push_number(fd, value, timeout));
}

extern "C" int ynet_push_unsigned(int fd, unsigned long value, int timeout) noexcept {
    return YN_FAIL_IF(push_number(fd, value, timeout));
}

extern "C" int ynet_pop_signed(int fd, long *value, int timeout) noexcept {
    return YN_FAIL_IF(pop_number(fd, value, timeout));
}

extern "C" int ynet_pop_unsigned(int fd, unsigned long *value, int timeout) noexcept {
    return YN_FAIL_IF(pop_number(fd, value, timeout));
}

extern "C" int ynet_push_status(int fd, int status, int timeout) noexcept {
    return YN_FAIL_IF(ynet_push_signed(fd, status, timeout));
}

extern "C" int ynet_pop_status(int fd, int *status, int timeout) noexcept {
    long value = 0;
    int result = ynet_pop_signed(fd, &value, timeout);
    if (result != YN_STATUS_SUCCESS) return YN_FAIL(result);
    if (status != nullptr) *status = static_cast<int>(value);
    return YN_STATUS_SUCCESS;
}

// ---- Connection log line --------------------------------------------------
// Daemons and tools write the line into their own activity logs. Failures are
// never returned: the text explains them, so a caller that logs `out`
// unconditionally logs the reason instead of the connection.

namespace yq::ynet_logline {
namespace {

using unique_str = yq::unique_malloc<char>;

// One end point of the socket; false with the failure text already in `out`.
bool query_end(int fd, bool peer, sockaddr_in *addr, char *out, size_t out_size) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    auto *sa = reinterpret_cast<sockaddr *>(&ss);
    int rc = peer ? ::getpeername(fd, sa, &len) : ::getsockname(fd, sa, &len);
    if (rc != 0) {
        Y_snprintf(out, out_size, "%s(%d) failed", peer ? "getpeername" : "getsockname", fd);
        return false;
    }
    if (ss.ss_family != AF_INET) {
        Y_snprintf(out, out_size, "%d not a network socket", fd);
        return false;
    }
    *addr = *reinterpret_cast<const sockaddr_in *>(&ss);
    return true;
}

}  // namespace
}  // namespace yq::ynet_logline

using namespace yq::ynet_logline;

extern "C" void ynet_logconnections(int fd, const char *prefix, int accepted, char *out,
                                    size_t out_size) noexcept {
    if (out == nullptr || out_size == 0) return;
    out[0] = '\0';

    sockaddr_in local{};
    sockaddr_in peer{};
    if (!query_end(fd, false, &local, out, out_size)) return;
    if (!query_end(fd, true, &peer, out, out_size)) return;

    const sockaddr_in &from = accepted ? peer : local;
    const sockaddr_in &to = accepted ? local : peer;

    // inet_ntoa answers in one shared buffer, so each address is copied
    // before the next conversion overwrites it.
    unique_str from_text(yq::sys::strdup(::inet_ntoa(from.sin_addr)));
    if (!from_text) {
        Y_strlcpy(out, "strdup failed", out_size);
        return;
    }
    unique_str to_text(yq::sys::strdup(::inet_ntoa(to.sin_addr)));
    if (!to_text) {
        Y_strlcpy(out, "strdup failed", out_size);
        return;
    }

    Y_snprintf(out, out_size, "%s %s FROM %s.%d TO %s.%d", prefix != nullptr ? prefix : "",
               accepted ? "ACCEPT" : "CONNECT", from_text.get(), ntohs(from.sin_port),
               to_text.get(), ntohs(to.sin_port));
}
