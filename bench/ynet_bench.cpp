// Popping string items: the library's peek-then-read-exactly pop against a
// plain loop that reads one byte per call, with and without a readiness wait
// before each byte; and the library's push of the same items. Besides items per second, each benchmark reports the
// system calls it made per item (counted through the call seams for the
// library, directly for the loops).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "ynet.h"
#include "ynet_private.h"
#include "yq_sys.h"

namespace {

// A host name, the typical string item.
constexpr char kItem[] = "media-server-17.example.com";
constexpr int kBatch = 64;

long g_syscalls = 0;

int counting_poll(pollfd *fds, nfds_t n, int ms) {
    ++g_syscalls;
    return ::poll(fds, n, ms);
}
ssize_t counting_recv(int fd, void *b, size_t n, int flags) {
    ++g_syscalls;
    return ::recv(fd, b, n, flags);
}
ssize_t counting_read(int fd, void *b, size_t n) {
    ++g_syscalls;
    return ::read(fd, b, n);
}

ssize_t counting_send(int fd, const void *b, size_t n, int flags) {
    ++g_syscalls;
    return ::send(fd, b, n, flags);
}
ssize_t counting_write(int fd, const void *b, size_t n) {
    ++g_syscalls;
    return ::write(fd, b, n);
}

struct Connection {
    int reader = -1;
    int writer = -1;
    explicit Connection(bool tcp) {
        if (!tcp) {
            int sv[2];
            if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0) {
                reader = sv[0];
                writer = sv[1];
            }
            return;
        }
        int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        ::bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        ::listen(listener, 1);
        ::getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len);
        writer = ::socket(AF_INET, SOCK_STREAM, 0);
        ::connect(writer, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        reader = ::accept(listener, nullptr, nullptr);
        ::close(listener);
    }
    ~Connection() {
        ::close(reader);
        ::close(writer);
    }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;
};

// One batch of items, written by the peer in a single call.
const std::string &batch() {
    static const std::string bytes = [] {
        std::string b;
        for (int i = 0; i < kBatch; ++i) b.append(kItem, sizeof kItem);
        return b;
    }();
    return bytes;
}

void fill(const Connection &c) {
    const std::string &b = batch();
    size_t done = 0;
    while (done < b.size()) {
        ssize_t w = ::write(c.writer, b.data() + done, b.size() - done);
        if (w <= 0) break;
        done += static_cast<size_t>(w);
    }
}

void report(benchmark::State &state, long items) {
    state.counters["items/s"] = benchmark::Counter(static_cast<double>(items),
                                                   benchmark::Counter::kIsRate);
    state.counters["syscalls/item"] =
        static_cast<double>(g_syscalls) / static_cast<double>(items > 0 ? items : 1);
}

void BM_LibraryPopString(benchmark::State &state) {
    Connection c(state.range(0) != 0);
    yq::sys::table.poll = counting_poll;
    yq::sys::table.recv = counting_recv;
    yq::sys::table.read = counting_read;
    g_syscalls = 0;
    long items = 0;
    char buf[64];
    for (auto _ : state) {
        state.PauseTiming();
        long before = g_syscalls;
        fill(c);
        g_syscalls = before;
        state.ResumeTiming();
        for (int i = 0; i < kBatch; ++i) {
            if (ynet_pop_string(c.reader, buf, sizeof buf, 10) != 0) {
                state.SkipWithError("pop failed");
                break;
            }
        }
        items += kBatch;
    }
    yq::sys::reset();
    report(state, items);
}

// Pushing the same items, calls per push counted through the seams (a plain
// write's SIGPIPE bracket, two sigaction calls, is not among them).
void BM_LibraryPushString(benchmark::State &state) {
    Connection c(state.range(0) != 0);
    yq::sys::table.poll = counting_poll;
    yq::sys::table.send = counting_send;
    yq::sys::table.write = counting_write;
    g_syscalls = 0;
    long items = 0;
    char sink[sizeof kItem * kBatch];
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i) {
            if (ynet_push_string(c.writer, kItem, 10) != 0) {
                state.SkipWithError("push failed");
                break;
            }
        }
        state.PauseTiming();
        for (size_t got = 0; got < sizeof sink;) {
            ssize_t n = ::read(c.reader, sink + got, sizeof sink - got);
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
        state.ResumeTiming();
        items += kBatch;
    }
    yq::sys::reset();
    report(state, items);
}

// The loop the protocol was first written with: one byte per read call.
void BM_OneByteReadLoop(benchmark::State &state) {
    Connection c(state.range(0) != 0);
    g_syscalls = 0;
    long items = 0;
    char buf[64];
    for (auto _ : state) {
        state.PauseTiming();
        fill(c);
        state.ResumeTiming();
        for (int i = 0; i < kBatch; ++i) {
            size_t n = 0;
            do {
                ++g_syscalls;
                if (::read(c.reader, buf + n, 1) != 1) {
                    state.SkipWithError("read failed");
                    return;
                }
            } while (buf[n++] != '\0' && n < sizeof buf);
        }
        items += kBatch;
    }
    report(state, items);
}

// The same loop with a readiness wait before every byte.
void BM_PollThenByteLoop(benchmark::State &state) {
    Connection c(state.range(0) != 0);
    g_syscalls = 0;
    long items = 0;
    char buf[64];
    for (auto _ : state) {
        state.PauseTiming();
        fill(c);
        state.ResumeTiming();
        for (int i = 0; i < kBatch; ++i) {
            size_t n = 0;
            do {
                pollfd p{c.reader, POLLIN, 0};
                g_syscalls += 2;
                if (::poll(&p, 1, 10000) != 1 || ::read(c.reader, buf + n, 1) != 1) {
                    state.SkipWithError("read failed");
                    return;
                }
            } while (buf[n++] != '\0' && n < sizeof buf);
        }
        items += kBatch;
    }
    report(state, items);
}

// Arg 0: Unix-domain socket pair; 1: loopback TCP.
BENCHMARK(BM_LibraryPopString)->Arg(0)->Arg(1);
BENCHMARK(BM_LibraryPushString)->Arg(0)->Arg(1);
BENCHMARK(BM_OneByteReadLoop)->Arg(0)->Arg(1);
BENCHMARK(BM_PollThenByteLoop)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
