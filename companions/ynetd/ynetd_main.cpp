// ynetd's start and end: options, the debug log, detaching, the listener and
// the signal handlers; the event loop (ynetd_loop.cpp) serves the
// conversations until SIGTERM or SIGINT.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "logging.h"
#include "ynet.h"
#include "ynetd.h"
#include "yq_memory.h"
#include "ystrings.h"

namespace ynetd {

void escape_text(std::string_view text, char *out, std::size_t size) noexcept {
    if (size == 0) return;
    std::size_t used = 0;
    auto put = [&](std::string_view piece) {
        if (used + piece.size() >= size) return false;
        piece.copy(out + used, piece.size());
        used += piece.size();
        return true;
    };
    for (char ch : text) {
        const auto byte = static_cast<unsigned char>(ch);
        bool fits = true;
        switch (byte) {
        case '\\': fits = put("\\\\"); break;
        case '\n': fits = put("\\n"); break;
        case '\r': fits = put("\\r"); break;
        case '\t': fits = put("\\t"); break;
        default:
            if (byte >= 0x20 && byte < 0x7f) {
                fits = put(std::string_view(&ch, 1));
            } else {
                char hex[5];
                Y_snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned>(byte));
                fits = put(hex);
            }
        }
        if (!fits) break;
    }
    out[used] = '\0';
}

void log_line(const char *function, const char *format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    Y_vsnprintf(text, sizeof text, format, args);
    va_end(args);
    char shown[4 * sizeof text];
    escape_text(text, shown, sizeof shown);
    logmsg(1, shown, function);
}

namespace {

// Signals reach the loop through this pipe, so epoll sees them without races.
int signal_pipe[2] = {-1, -1};

void on_signal(int sig) {
    yq::ErrnoGuard keep_errno;
    char byte = static_cast<char>(sig);
    (void)!::write(signal_pipe[1], &byte, 1);
}

bool install_handlers() {
    if (::pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    struct sigaction action{};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    for (int sig : {SIGTERM, SIGINT, SIGCHLD})
        if (::sigaction(sig, &action, nullptr) != 0) return false;
    // The library protects its own writes; this covers everything else.
    struct sigaction ignore{};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    return ::sigaction(SIGPIPE, &ignore, nullptr) == 0;
}

// The listening socket a service manager opened for this process (socket
// activation: LISTEN_PID names this process, LISTEN_FDS is 1 and the socket
// is descriptor 3); empty when there is none. The variables are removed, so
// started commands do not take the socket for theirs.
yq::unique_fd inherited_listener() {
    const char *pid = std::getenv("LISTEN_PID");
    const char *fds = std::getenv("LISTEN_FDS");
    const bool ours = pid != nullptr && fds != nullptr &&
                      std::strtol(pid, nullptr, 10) == static_cast<long>(::getpid()) &&
                      std::strcmp(fds, "1") == 0;
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDS");
    ::unsetenv("LISTEN_FDNAMES");
    constexpr int kFirstInherited = 3;
    int listening = 0;
    socklen_t size = sizeof listening;
    if (!ours || ::getsockopt(kFirstInherited, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 ||
        listening == 0)
        return yq::unique_fd();
    ::fcntl(kFirstInherited, F_SETFD, FD_CLOEXEC);
    ::fcntl(kFirstInherited, F_SETFL, ::fcntl(kFirstInherited, F_GETFL) | O_NONBLOCK);
    return yq::unique_fd(kFirstInherited);
}

// The port the inherited listener is bound to.
int bound_port(int fd) {
    sockaddr_in addr{};
    socklen_t size = sizeof addr;
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &size) != 0) return -1;
    return ntohs(addr.sin_port);
}

// Empty, with errno telling why, when the port cannot be had.
yq::unique_fd open_listener(int port) {
    yq::unique_fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) return fd;
    int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::listen(fd.get(), SOMAXCONN) != 0) {
        yq::ErrnoGuard keep_errno;
        fd.reset();
    }
    return fd;
}

bool write_pid_file(const std::string &path) {
    yq::unique_file file(std::fopen(path.c_str(), "we"));
    if (!file) return false;
    std::fprintf(file.get(), "%d\n", static_cast<int>(::getpid()));
    return std::fclose(file.release()) == 0;
}

// Detaches from the terminal: the parent returns only when the daemon
// listens (exit 0) or has failed (exit 1), so scripts can rely on it.
void daemonize(int &ready_fd) {
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
        std::perror("ynetd: pipe");
        std::exit(1);
    }
    pid_t pid = ::fork();
    if (pid < 0) {
        std::perror("ynetd: fork");
        std::exit(1);
    }
    if (pid > 0) {
        ::close(pipe_fds[1]);
        char byte = 0;
        ssize_t n;
        do {
            n = ::read(pipe_fds[0], &byte, 1);
        } while (n < 0 && errno == EINTR);
        std::_Exit(n == 1 && byte == 'R' ? 0 : 1);
    }
    ::close(pipe_fds[0]);
    ::setsid();
    if (::chdir("/") != 0) {
        // Nothing depends on the working directory; stay where we are.
    }
    int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null_fd >= 0) {
        ::dup2(null_fd, 0);
        ::dup2(null_fd, 1);
        ::dup2(null_fd, 2);
        if (null_fd > 2) ::close(null_fd);
    }
    ready_fd = pipe_fds[1];
}

}  // namespace

}  // namespace ynetd

int main(int argc, char **argv) {
    using namespace ynetd;
    Settings settings;
    int rc = parse_options(argc, argv, settings);
    if (rc >= 0) return rc;

    if (settings.port < 0) {
        int port = -1;
        ynet_get_port(&port);
        settings.port = port;
    }

    // Asked for before detaching: the socket was given to this process id.
    yq::unique_fd listener = inherited_listener();
    int ready_fd = -1;
    if (!settings.foreground) daemonize(ready_fd);

    Auto_Recycle_Logs = 1;
    int log_err = 0;
    debugFD = open_debug_file("ynetd", 0644, &log_err);
    if (debugFD < 0)
        std::fprintf(stderr, "ynetd: cannot open the debug log: %s (continuing without)\n",
                     std::strerror(log_err));
    if (settings.verbose) ynet_debug_fd = 2;
    logparams(argc, argv);

    if (!install_handlers()) {
        std::fprintf(stderr, "ynetd: cannot install signal handlers: %s\n", std::strerror(errno));
        return 1;
    }
    if (listener)
        settings.port = bound_port(listener.get());
    else
        listener = open_listener(settings.port);
    if (!listener) {
        const int saved = errno;
        log_line("main", "cannot listen on port %d: errno %d (%s)", settings.port, saved,
                 std::strerror(saved));
        std::fprintf(stderr, "ynetd: cannot listen on port %d: %s\n", settings.port,
                     std::strerror(saved));
        return 1;
    }
    if (!settings.pid_file.empty() && !write_pid_file(settings.pid_file)) {
        std::fprintf(stderr, "ynetd: cannot write %s: %s\n", settings.pid_file.c_str(),
                     std::strerror(errno));
        return 1;
    }
    auto ready = [&] {
        log_line("main", "listening on port %d (protocol versions 1 to %d, version text \"%s\")",
                 settings.port, settings.max_protocol, settings.version_text.c_str());
        if (settings.foreground) {
            std::printf("ynetd: listening on port %d\n", settings.port);
            std::fflush(stdout);
        } else {
            (void)!::write(ready_fd, "R", 1);
            ::close(ready_fd);
        }
    };
    if (!serve(listener.get(), signal_pipe[0], settings, ready)) return 1;
    listener.reset();
    if (!settings.pid_file.empty()) ::unlink(settings.pid_file.c_str());
    log_line("main", "stopped");
    return 0;
}
