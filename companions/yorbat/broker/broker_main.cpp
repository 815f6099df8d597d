// yorbat_broker: options, the broker's own files, the pid file, detaching,
// and the signals that stop it.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "broker.h"
#include "yorbat_registry.h"

namespace yorbat::broker {
namespace {

constexpr char usage_text[] =
    "usage: yorbat_broker [--home DIR] [--port N] [--listen ADDR] [--foreground]\n"
    "                     [--pid-file FILE] [--debug-log FILE] [--pam-service NAME]\n"
    "                     [--lifetime-days N] [--max-clients N] [--help]\n";

template <typename Number>
bool number_in(std::string_view text, Number low, Number high, Number &out) {
    Number value{};
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < low || value > high)
        return false;
    out = value;
    return true;
}

std::string absolute(const std::string &path) {
    return path.empty() ? path : std::filesystem::absolute(path).lexically_normal().string();
}

int load_credential(const std::string &path, x509::Credential &credential, std::string &why) {
    std::string pem;
    if (int error = files::read_whole(path, pem); error != 0)
        return why = path + ": " + std::strerror(error), 1;
    if (x509::Credential::parse(pem, credential) != YORBAT_OK || !credential.key())
        return why = path + ": not a certificate with its key", 1;
    return 0;
}

// ---- Signals: the handler only writes to a pipe that the accept loop watches.

int stop_pipe[2] = {-1, -1};

extern "C" void on_stop_signal(int) {
    int saved = errno;
    char byte = 's';
    [[maybe_unused]] ssize_t ignored = write(stop_pipe[1], &byte, 1);
    errno = saved;
}

bool catch_stop_signals() {
    if (pipe2(stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    return sigaction(SIGTERM, &action, nullptr) == 0 && sigaction(SIGINT, &action, nullptr) == 0 &&
           sigaction(SIGPIPE, &ignore, nullptr) == 0;
}

bool write_pid_file(const std::string &path) {
    if (path.empty())
        return true;
    int error = files::write_atomically(path, std::to_string(getpid()) + "\n", 0644);
    errno = error;
    return error == 0;
}

// Detaches from the terminal and the caller. The parent returns only to
// exit: 0 once the child has written its pid file, 1 when it died first.
// In the child, `ready_fd` is the pipe end to close when it serves.
bool detach(int &ready_fd) {
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0)
        return false;
    pid_t child = fork();
    if (child < 0)
        return false;
    if (child > 0) {
        close(ready[1]);
        char byte = 0;
        ssize_t got;
        while ((got = read(ready[0], &byte, 1)) < 0 && errno == EINTR) {
        }
        _exit(got == 1 ? 0 : 1);
    }
    close(ready[0]);
    setsid();
    if (int null = open("/dev/null", O_RDWR | O_CLOEXEC); null >= 0) {
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        close(null);
    }
    [[maybe_unused]] int ignored = chdir("/");
    ready_fd = ready[1];
    return true;
}

int run(Settings &settings) {
    std::string why;
    Authority authority;
    DebugLog log;
    if (load_authority(settings, authority, why) != 0)
        return std::fprintf(stderr, "yorbat_broker: %s\n", why.c_str()), 1;
    if (!log.open(settings.debug_log))
        return std::fprintf(stderr, "yorbat_broker: %s: %s\n", settings.debug_log.c_str(), std::strerror(errno)), 1;
    int listener = listen_on(settings, why);
    if (listener < 0)
        return std::fprintf(stderr, "yorbat_broker: %s\n", why.c_str()), 1;
    if (!catch_stop_signals())
        return std::perror("yorbat_broker: signals"), 1;
    int ready_fd = -1;
    if (!settings.foreground && !detach(ready_fd))
        return std::perror("yorbat_broker: detach"), 1;
    if (!write_pid_file(settings.pid_file))
        return std::fprintf(stderr, "yorbat_broker: %s: %s\n", settings.pid_file.c_str(), std::strerror(errno)), 1;
    if (ready_fd >= 0) {
        char byte = 'r';
        [[maybe_unused]] ssize_t ignored = write(ready_fd, &byte, 1);
        close(ready_fd);
    }
    serve(listener, stop_pipe[0], settings, authority, log);
    close(listener);
    if (!settings.pid_file.empty())
        unlink(settings.pid_file.c_str());
    return 0;
}

}  // namespace

int parse_options(int argc, char **argv, Settings &settings) {
    for (int i = 1; i < argc; ++i) {
        std::string_view option = argv[i];
        if (option == "--help")
            return std::fputs(usage_text, stdout), 0;
        if (option == "--foreground") {
            settings.foreground = true;
            continue;
        }
        if (i + 1 >= argc)
            return std::fputs(usage_text, stderr), 2;
        std::string_view value = argv[++i];
        bool good = true;
        if (option == "--home")
            settings.home = value;
        else if (option == "--port")
            good = number_in(value, 1, 65535, settings.port);
        else if (option == "--listen")
            settings.listen_address = value;
        else if (option == "--pid-file")
            settings.pid_file = value;
        else if (option == "--debug-log")
            settings.debug_log = value;
        else if (option == "--pam-service")
            good = !value.empty() && (settings.pam_service = value, true);
        else if (option == "--lifetime-days")
            good = number_in(value, 1L, 36500L, settings.lifetime_days);
        else if (option == "--max-clients")
            good = number_in(value, 1, 65536, settings.max_clients);
        else
            good = false;
        if (!good)
            return std::fprintf(stderr, "yorbat_broker: bad option %s %s\n%s", argv[i - 1], argv[i], usage_text), 2;
    }
    // Paths stay valid after a detached broker changes to "/".
    settings.home = absolute(settings.home);
    settings.pid_file = absolute(settings.pid_file);
    settings.debug_log = absolute(settings.debug_log);
    return -1;
}

int load_authority(const Settings &settings, Authority &authority, std::string &why) {
    if (!settings.home.empty())
        set_home(settings.home);
    if (load_credential(broker_dir() + "/root.pem", authority.root, why) != 0 ||
        load_credential(broker_dir() + "/broker.pem", authority.own, why) != 0)
        return 1;
    authority.root_certificate_pem = authority.root.certificate_pem();
    authority.host = registry::qualified_host();
    authority.lifetime_seconds = settings.lifetime_days * 86400L;
    authority.pam_service = settings.pam_service;
    return 0;
}

}  // namespace yorbat::broker

int main(int argc, char **argv) {
    yorbat::broker::Settings settings;
    if (int parsed = yorbat::broker::parse_options(argc, argv, settings); parsed >= 0)
        return parsed;
    try {
        return yorbat::broker::run(settings);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "yorbat_broker: %s\n", error.what());
        return 1;
    }
}
