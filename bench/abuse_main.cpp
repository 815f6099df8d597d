// yq_abuse: ynetd and the broker under 1,000 concurrent clients, most of them
// hostile.
//
// Each round opens, at once, well-behaved clients (ynetd: handshake, no-op,
// request 8, disconnect through the library's exported functions; broker: a
// root request, every tenth a "yq" login, through the authentication library)
// and hostile ones: garbage senders, half-closed clients (a partial item, then
// SHUT_WR) and stalled clients (nothing, or one byte, then silence). The
// hostile clients connect first and hold their connections until every
// well-behaved client has finished. They come from several loopback source
// addresses, so a per-address cap is not what refuses them.
//
// Measured: well-behaved clients served and the slowest one's time; the
// daemon's descriptors (/proc/PID/fd), child processes and threads before,
// at the peak and after the clients are gone; its resident memory before and
// after every round. Exit status 1 when a well-behaved client was not served
// or the daemon kept descriptors, processes or threads after a round.
//
// Only the protocol and the command line are relied on (ynetd: --foreground
// --port N and its "listening on port N" line), so the same program measures
// whichever serving model the daemon has. The daemons use the product's fixed
// paths: the program runs itself again inside the project's sandbox, in a
// network namespace of its own.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_processes.h"

#include "yorbat_registry.h"
#include "yorbat_tls.h"
#include "yorbat_x509.h"
#include "ynet.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kClientTimeout = 60;  // seconds, every wait of a well-behaved client
constexpr auto kSettleLimit = std::chrono::seconds(60);
constexpr auto kConnectLimit = std::chrono::seconds(30);

struct Options {
    std::vector<std::string> daemons;
    int clients = 1000;
    int rounds = 5;
    int addresses = 16;          // 127.0.0.2 onwards
    int broker_max_clients = 1024;
};

// ---- What the daemon holds, from /proc.

struct Holdings {
    long descriptors = 0;
    long children = 0;
    long threads = 0;
    long rss_kib = 0;

    void keep_peak(const Holdings &now) {
        descriptors = std::max(descriptors, now.descriptors);
        children = std::max(children, now.children);
        threads = std::max(threads, now.threads);
        rss_kib = std::max(rss_kib, now.rss_kib);
    }
    bool within(const Holdings &base) const {
        return descriptors <= base.descriptors && children <= base.children && threads <= base.threads;
    }
};

long count_entries(const std::string &dir) {
    long n = 0;
    if (DIR *d = ::opendir(dir.c_str())) {
        while (dirent *e = ::readdir(d))
            if (e->d_name[0] != '.') ++n;
        ::closedir(d);
    }
    return n;
}

long status_field(pid_t pid, const char *key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    size_t length = std::strlen(key);
    while (std::getline(in, line))
        if (line.compare(0, length, key) == 0) return std::atol(line.c_str() + length);
    return -1;
}

// Children of every thread of `pid`, zombies included (an unreaped child is
// still held).
long count_children(pid_t pid) {
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    long n = 0;
    if (DIR *d = ::opendir(tasks.c_str())) {
        while (dirent *e = ::readdir(d)) {
            if (e->d_name[0] == '.') continue;
            std::ifstream in(tasks + "/" + e->d_name + "/children");
            std::string child;
            while (in >> child) ++n;
        }
        ::closedir(d);
    }
    return n;
}

Holdings holdings_of(pid_t pid) {
    Holdings h;
    h.descriptors = count_entries("/proc/" + std::to_string(pid) + "/fd");
    h.children = count_children(pid);
    h.threads = status_field(pid, "Threads:");
    h.rss_kib = status_field(pid, "VmRSS:");
    return h;
}

// ---- The daemon under test.

struct Daemon {
    std::string name;
    pid_t pid = -1;
    int port = 0;
    int output = -1;  // its standard output, drained while it runs
    // One well-behaved client, run in a child process; 0 when served.
    std::function<int(int index, const in_addr &local)> serve_one;
    std::string partial_item;  // what a half-closed client sends before SHUT_WR
    std::string first_byte;    // what a stalled client may send
};

int free_port() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = yqbench::loopback(0);
    socklen_t length = sizeof addr;
    int port = ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
                       ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &length) == 0
                   ? ntohs(addr.sin_port)
                   : -1;
    ::close(fd);
    return port;
}

in_addr source_address(int index, int addresses) {
    in_addr a{};
    a.s_addr = htonl(INADDR_LOOPBACK + 1 + static_cast<uint32_t>(index % addresses));
    return a;
}

bool start_ynetd(Daemon &d) {
    ::mkdir("/usr/kelda/var", 0755);
    d.name = "ynetd";
    d.port = free_port();
    d.pid = yqbench::spawn({YNETD_BIN, "--foreground", "--port", std::to_string(d.port)}, d.output);
    if (d.pid < 0 || !yqbench::wait_for_line(d.output, "listening on port")) return false;
    sockaddr_in daemon = yqbench::loopback(d.port);
    d.serve_one = [daemon](int, const in_addr &local) {
        int sock = -1, version = 0;
        char text[YNETD_TEXT_SIZE] = "";
        int status = ynet_connect_to_ynetd(&daemon, 0, 0, &local, &sock, &version, kClientTimeout);
        if (status == 0) status = ynet_ynetd_noop(&sock, version, kClientTimeout);
        if (status == 0)
            status = ynet_version_get(0, 0, &daemon, &local, &sock, kClientTimeout, text, sizeof text);
        if (status == 0 && text[0] == '\0') status = -1;
        if (status == 0) status = ynet_ynetd_disconnect(&sock, version, kClientTimeout);
        if (sock >= 0) ::close(sock);
        return status;
    };
    // The version offer whole, the echo cut short; a stalled client's first byte
    // of an offer.
    d.partial_item = std::string("3\0", 2) + "3";
    d.first_byte = "3";
    return true;
}

// ---- The broker: a home with its root, its credential, a trusted root and
// one principal, made with the library's own code.

constexpr const char kBrokerHome[] = "/opt/YORBat";

bool write_text(const std::string &path, const std::string &text) {
    FILE *file = std::fopen(path.c_str(), "w");
    bool written = file && std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return file && std::fclose(file) == 0 && written;
}

bool set_up_broker_home() {
    using namespace yorbat;
    std::string root_pem, own_pem, home = kBrokerHome;
    x509::Credential root;
    long id = 0;
    return ::mkdir((home + "/broker").c_str(), 0700) == 0 && x509::make_root("abuse.test", 86400, root_pem) == 0 &&
           x509::Credential::parse(root_pem, root) == 0 &&
           x509::issue(root, {"broker", "YORBat@abuse.test", "abuse.test"}, 86400, own_pem) == 0 &&
           write_text(home + "/broker/root.pem", root_pem) && write_text(home + "/broker/broker.pem", own_pem) &&
           write_text(home + "/broker/host", "abuse.test\n") && trust::add(root.certificate_pem()) == 0 &&
           registry::add_registry(2, id) == 0 && registry::create_domain(0, "Abuse") == 0 &&
           registry::create_principal(0, "Abuse", "alice", "secret-1", 0) == 0;
}

bool start_broker(Daemon &d, int max_clients) {
    ::setenv("YORBAT_HOME", kBrokerHome, 1);
    if (!set_up_broker_home()) return false;
    d.name = "yorbat_broker";
    d.port = free_port();
    std::string pid_file = std::string(kBrokerHome) + "/broker.pid";
    d.pid = yqbench::spawn({YORBAT_BROKER_BIN, "--home", kBrokerHome, "--foreground", "--port",
                            std::to_string(d.port), "--pid-file", pid_file, "--max-clients",
                            std::to_string(max_clients)},
                           d.output);
    for (int waited = 0; waited < 2000 && ::access(pid_file.c_str(), F_OK) != 0; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (d.pid < 0 || ::access(pid_file.c_str(), F_OK) != 0) return false;
    int port = d.port;
    d.serve_one = [port](int index, const in_addr &) {
        // The library picks the source address itself: the broker caps no
        // address, so all well-behaved clients come from 127.0.0.1.
        yorbat_broker_address broker{"127.0.0.1", port};
        void *context = nullptr;
        int status = yorbAtInit(0, &context);
        if (status != 0) return status;
        if (index % 10 == 0) {
            yorbat_principal_request alice{"yq", "Abuse", "alice", "secret-1"};
            char *credential = nullptr;
            status = yorbAtAuthenticate(context, &alice, &broker, &credential);
            yorbAtFree(credential);
        } else {
            yorbat_trust_request request{YORBAT_TRUST_BROKER_ROOT, 0, 0};
            void *root = nullptr;
            status = yorbAtSetupTrust(context, &broker, nullptr, &request, &root);
            yorbAtFree(root);
        }
        yorbAtTerminate(context);
        return status;
    };
    // A TLS record header cut short; a stalled client's first byte of a
    // handshake record.
    d.partial_item = "\x16\x03\x01";
    d.first_byte = "\x16";
    return true;
}

void stop(Daemon &d) {
    if (d.pid <= 0) return;
    ::kill(d.pid, SIGTERM);
    ::waitpid(d.pid, nullptr, 0);
    if (d.output >= 0) ::close(d.output);
}

// Reads what arrived; false once the daemon has closed its side.
bool drain(int fd) {
    char buffer[4096];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
    }
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

// ---- Hostile clients, all in this process on non-blocking sockets.

enum class Kind { garbage, half_closed, stalled };

struct Hostile {
    Kind kind;
    int index;
    int fd = -1;
    bool connected = false;
    bool refused = false;  // the connection failed or the daemon closed it at once
};

std::string bytes_for(const Hostile &h, const Daemon &d) {
    switch (h.kind) {
    case Kind::garbage: {
        // Random bytes, or an item far longer than any the daemon takes.
        if (h.index % 2 == 0) return std::string(8192, 'A');
        std::mt19937 random(static_cast<unsigned>(h.index));
        std::string bytes(512, '\0');
        for (char &c : bytes) c = static_cast<char>(random());
        return bytes;
    }
    case Kind::half_closed:
        return d.partial_item;
    case Kind::stalled:
        return h.index % 2 == 0 ? std::string() : d.first_byte;
    }
    return {};
}

void open_hostile(Hostile &h, const Daemon &d, int addresses) {
    h.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr = source_address(h.index, addresses);
    sockaddr_in daemon = yqbench::loopback(d.port);
    if (h.fd < 0 || ::bind(h.fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 ||
        (::connect(h.fd, reinterpret_cast<sockaddr *>(&daemon), sizeof daemon) != 0 && errno != EINPROGRESS))
        h.refused = true;
}

// Completes the connects, sends each client's bytes (and half-closes), until
// every client is connected or refused.
void establish(std::vector<Hostile> &hostile, const Daemon &d) {
    auto deadline = Clock::now() + kConnectLimit;
    for (;;) {
        std::vector<pollfd> waits;
        std::vector<Hostile *> whose;
        for (Hostile &h : hostile)
            if (!h.connected && !h.refused) {
                waits.push_back({h.fd, POLLOUT, 0});
                whose.push_back(&h);
            }
        if (waits.empty() || Clock::now() > deadline) break;
        if (::poll(waits.data(), waits.size(), 100) <= 0) continue;
        for (size_t i = 0; i < waits.size(); ++i) {
            if (waits[i].revents == 0) continue;
            Hostile &h = *whose[i];
            int error = 0;
            socklen_t length = sizeof error;
            ::getsockopt(h.fd, SOL_SOCKET, SO_ERROR, &error, &length);
            if (error != 0) {
                h.refused = true;
                continue;
            }
            h.connected = true;
            std::string bytes = bytes_for(h, d);
            if (!bytes.empty() &&
                ::send(h.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size()))
                h.refused = h.kind != Kind::garbage;  // garbage may well be cut off
            if (h.kind == Kind::half_closed) ::shutdown(h.fd, SHUT_WR);
        }
    }
}

// ---- Well-behaved clients, a process each, started together.

struct Result {
    int index;
    int status;
    double seconds;
};

struct Round {
    int wanted = 0;
    int served = 0;
    int hostile_refused = 0;
    double slowest = 0;
    Holdings before, peak, after;
    bool settled = false;
};

// Each client waits for the end of file on the start pipe (every writer
// closed), then runs and writes its Result to `results_write`.
std::vector<pid_t> fork_clients(const Daemon &d, int count, int addresses, const int start[2], int results_write) {
    std::vector<pid_t> pids;
    for (int w = 0; w < count; ++w) {
        pid_t pid = ::fork();
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::close(start[1]);
            char go;
            (void)!::read(start[0], &go, 1);  // end of file: everyone starts
            auto began = Clock::now();
            Result r{w, d.serve_one(w, source_address(w, addresses)), 0};
            r.seconds = std::chrono::duration<double>(Clock::now() - began).count();
            (void)!::write(results_write, &r, sizeof r);
            ::_exit(0);
        }
        if (pid < 0) break;
        pids.push_back(pid);
    }
    return pids;
}

Round run_round(const Daemon &d, const Options &o, const Holdings &base) {
    Round round;
    round.before = holdings_of(d.pid);
    round.peak = round.before;
    int wanted = o.clients * 2 / 5;
    int hostile_count = o.clients - wanted;

    int start[2], results[2];
    if (::pipe2(start, O_CLOEXEC) != 0 || ::pipe2(results, O_CLOEXEC) != 0) return round;
    std::vector<pid_t> clients = fork_clients(d, wanted, o.addresses, start, results[1]);
    round.wanted = wanted;  // a client that could not be forked counts as not served
    ::close(start[0]);
    ::close(results[1]);

    // The hostile clients take their places first: a third each kind.
    std::vector<Hostile> hostile;
    for (int i = 0; i < hostile_count; ++i) {
        Kind kind = i % 3 == 0 ? Kind::garbage : i % 3 == 1 ? Kind::half_closed : Kind::stalled;
        hostile.push_back({kind, i, -1, false, false});
        open_hostile(hostile.back(), d, o.addresses);
    }
    establish(hostile, d);
    round.peak.keep_peak(holdings_of(d.pid));

    ::close(start[1]);  // go
    int received = 0;
    auto last_sample = Clock::now();
    std::vector<pollfd> waits{{results[0], POLLIN, 0}, {d.output, POLLIN, 0}};
    for (const Hostile &h : hostile)
        if (h.connected) waits.push_back({h.fd, POLLIN, 0});
    while (waits[0].fd >= 0) {
        if (::poll(waits.data(), waits.size(), 20) > 0) {
            if (waits[0].revents) {
                Result r;
                ssize_t n = ::read(results[0], &r, sizeof r);
                if (n == sizeof r) {
                    ++received;
                    if (r.status == 0) ++round.served;
                    else
                        std::fprintf(stderr, "%s: well-behaved client %d: status %d after %.2f s\n",
                                     d.name.c_str(), r.index, r.status, r.seconds);
                    round.slowest = std::max(round.slowest, r.seconds);
                } else if (n <= 0) {
                    waits[0].fd = -1;  // every client has exited
                }
            }
            if (waits[1].revents) {
                char buffer[4096];
                if (::read(d.output, buffer, sizeof buffer) <= 0) waits[1].fd = -1;
            }
            for (size_t i = 2; i < waits.size(); ++i)
                if (waits[i].revents && !drain(waits[i].fd)) waits[i].fd = -1;
        }
        if (Clock::now() - last_sample > std::chrono::milliseconds(20)) {
            round.peak.keep_peak(holdings_of(d.pid));
            last_sample = Clock::now();
        }
    }
    ::close(results[0]);
    for (pid_t pid : clients) ::waitpid(pid, nullptr, 0);
    if (received < round.wanted)
        std::fprintf(stderr, "%s: %d well-behaved clients ended without an answer\n", d.name.c_str(),
                     round.wanted - received);

    for (Hostile &h : hostile) {
        if (h.refused) ++round.hostile_refused;
        if (h.fd >= 0) ::close(h.fd);
    }
    // The clients are gone: the daemon should give back what they held.
    auto deadline = Clock::now() + kSettleLimit;
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        round.after = holdings_of(d.pid);
        round.settled = round.after.within(base);
    } while (!round.settled && Clock::now() < deadline);
    return round;
}

// One well-behaved conversation before the measure, so what the daemon
// opens once (its log, its first thread's arena) counts in its baseline.
bool warm_up(const Daemon &d) {
    pid_t pid = ::fork();
    if (pid == 0) ::_exit(d.serve_one(1, source_address(0, 1)) == 0 ? 0 : 1);
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string three(long before, long peak, long after) {
    return std::to_string(before) + " / " + std::to_string(peak) + " / " + std::to_string(after);
}

// Runs the rounds and prints the daemon's table; true when it passed.
bool measure(const Daemon &d, const Options &o) {
    if (!warm_up(d)) {
        std::fprintf(stderr, "%s: the warm-up client was not served\n", d.name.c_str());
        return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    Holdings base = holdings_of(d.pid);
    int wanted = o.clients * 2 / 5, hostile = o.clients - wanted;
    std::printf("\n### %s: %d rounds of %d concurrent clients\n\n", d.name.c_str(), o.rounds, o.clients);
    std::printf("Each round: %d well-behaved, %d garbage, %d half-closed, %d stalled; hostile clients from "
                "%d source addresses (127.0.0.2 to 127.0.0.%d).\n\n",
                wanted, (hostile + 2) / 3, (hostile + 1) / 3, hostile / 3, o.addresses, o.addresses + 1);
    std::printf("| round | served | slowest served (s) | hostile refused | descriptors before / peak / after | "
                "children before / peak / after | threads before / peak / after | RSS after (KiB) |\n");
    std::printf("|---|---|---|---|---|---|---|---|\n");
    int served = 0, total = 0;
    double slowest = 0;
    bool settled = true;
    std::vector<long> rss;
    Holdings peak = base;
    for (int r = 1; r <= o.rounds; ++r) {
        Round round = run_round(d, o, base);
        served += round.served;
        total += round.wanted;
        slowest = std::max(slowest, round.slowest);
        settled = settled && round.settled;
        rss.push_back(round.after.rss_kib);
        peak.keep_peak(round.peak);
        std::printf("| %d | %d / %d | %.2f | %d | %s | %s | %s | %ld |\n", r, round.served, round.wanted,
                    round.slowest, round.hostile_refused,
                    three(round.before.descriptors, round.peak.descriptors, round.after.descriptors).c_str(),
                    three(round.before.children, round.peak.children, round.after.children).c_str(),
                    three(round.before.threads, round.peak.threads, round.after.threads).c_str(),
                    round.after.rss_kib);
        std::fflush(stdout);
    }
    Holdings last = holdings_of(d.pid);
    long growth = rss.empty() ? 0 : rss.back() - rss.front();
    std::printf("| all | %d / %d | %.2f | | %s | %s | %s | %ld before, %ld after round 1, %ld after round %d |\n\n",
                served, total, slowest, three(base.descriptors, peak.descriptors, last.descriptors).c_str(),
                three(base.children, peak.children, last.children).c_str(),
                three(base.threads, peak.threads, last.threads).c_str(), base.rss_kib,
                rss.empty() ? 0 : rss.front(), rss.empty() ? 0 : rss.back(), o.rounds);
    bool all_served = served == total && total > 0;
    std::printf("%s: %s; %s; resident memory %+ld KiB from the end of round 1 to the end of round %d\n",
                d.name.c_str(), all_served ? "every well-behaved client served" : "WELL-BEHAVED CLIENTS NOT SERVED",
                settled ? "descriptors, children and threads back to the baseline after every round"
                        : "DESCRIPTORS, CHILDREN OR THREADS LEFT BEHIND (see the after columns)",
                growth, o.rounds);
    std::fflush(stdout);
    return all_served && settled;
}

bool number(const char *text, int low, int high, int &out) {
    char *end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < low || value > high) return false;
    out = static_cast<int>(value);
    return true;
}

const char kUsage[] =
    "usage: yq_abuse [ynetd|broker]... [--clients N] [--rounds N] [--addresses N] [--broker-max-clients N]\n"
    "  Runs each daemon (both by default) under N concurrent clients a round (default 1000: 40%\n"
    "  well-behaved, the rest garbage, half-closed and stalled), for a number of rounds (default 5),\n"
    "  hostile clients spread over loopback source addresses (default 16). The broker is started with\n"
    "  --max-clients (default 1024). Exit status 0 when every well-behaved client was served and the\n"
    "  daemon gave back every descriptor, process and thread; 1 otherwise; 2 on a usage error.\n";

int parse(int argc, char **argv, Options &o) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool has_value = i + 1 < argc;
        if (arg == "ynetd" || arg == "broker")
            o.daemons.push_back(arg);
        else if (arg == "--clients" && has_value && number(argv[++i], 5, 20000, o.clients))
            continue;
        else if (arg == "--rounds" && has_value && number(argv[++i], 1, 1000, o.rounds))
            continue;
        else if (arg == "--addresses" && has_value && number(argv[++i], 1, 250, o.addresses))
            continue;
        else if (arg == "--broker-max-clients" && has_value && number(argv[++i], 1, 65536, o.broker_max_clients))
            continue;
        else if (arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    if (o.daemons.empty()) o.daemons = {"ynetd", "broker"};
    return -1;
}

void rerun_in_sandbox(char **argv) {
    std::vector<char *> args = {const_cast<char *>(YQ_SANDBOX_BIN), const_cast<char *>("/proc/self/exe")};
    char self[4096];
    ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length > 0) {
        self[length] = '\0';
        args[1] = self;
    }
    for (int i = 1; argv[i] != nullptr; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    std::perror("yq_abuse: cannot start the sandbox");
}

}  // namespace

int main(int argc, char **argv) {
    Options options;
    if (int done = parse(argc, argv, options); done >= 0) return done;
    const char *inside = std::getenv("YQ_SANDBOX");
    if (inside == nullptr || std::strcmp(inside, "1") != 0) {
        rerun_in_sandbox(argv);
        return 1;
    }
    if (::unshare(CLONE_NEWNET) != 0 || !yqbench::bring_loopback_up()) {
        std::perror("yq_abuse: cannot make a private network");
        return 1;
    }
    // Room for every client's socket here and in the daemon (which inherits it).
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
    ::signal(SIGPIPE, SIG_IGN);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("yq_abuse: %u cores, descriptor limit %llu\n", std::thread::hardware_concurrency(),
                static_cast<unsigned long long>(files.rlim_cur));

    bool passed = true;
    for (const std::string &which : options.daemons) {
        Daemon d;
        bool started = which == "ynetd" ? start_ynetd(d) : start_broker(d, options.broker_max_clients);
        if (!started) {
            std::fprintf(stderr, "yq_abuse: %s did not start\n", which.c_str());
            stop(d);
            passed = false;
            continue;
        }
        passed = measure(d, options) && passed;
        stop(d);
    }
    return passed ? 0 : 1;
}
