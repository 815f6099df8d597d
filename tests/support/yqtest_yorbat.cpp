#include "yqtest_yorbat.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "yss_auth_private.h"

namespace yqtest {

bool private_loopback() { return isolate_network() && std::system("ip link set lo up") == 0; }

bool run_in(pid_t host, const std::string &command) {
    const std::string line =
        host ? "nsenter -t " + std::to_string(host) + " -n -m -- sh -c '" + command + "'" : command;
    return std::system(line.c_str()) == 0;
}

void install_library(const std::string &home, const std::string &built, const std::string &name) {
    std::filesystem::create_directories(home + "/lib");
    if (!exists(home + "/lib/" + name)) std::filesystem::copy_file(built, home + "/lib/" + name);
}

std::string password_file(const std::string &password) {
    const std::string path = scratch_dir() + "/password";
    write_file(path, password + "\n", 0600);
    return path;
}

std::string admin(const std::string &program, const std::string &home, std::initializer_list<std::string> commands,
                  pid_t host) {
    for (const std::string &command : commands)
        if (!run_in(host, "mkdir -p " + home + " && cd " + home + " && " + program + " --home " + home + " " + command +
                              " >/dev/null"))
            return command;
    return "";
}

BrokerProcess::BrokerProcess(const std::string &program, std::vector<std::string> args, pid_t host, bool foreground) {
    static int started = 0;
    pid_file = scratch_dir() + "/broker-" + std::to_string(++started) + ".pid";
    std::vector<std::string> line = {program, "--pid-file", pid_file};
    if (foreground) line.push_back("--foreground");
    line.insert(line.end(), args.begin(), args.end());
    if (host) line.insert(line.begin(), {"nsenter", "-t", std::to_string(host), "-n", "-m", "--"});
    std::vector<char *> argv;
    for (std::string &word : line) argv.push_back(word.data());
    argv.push_back(nullptr);
    if ((pid = ::fork()) == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
}

BrokerProcess::~BrokerProcess() {
    if (pid > 0 && ::kill(pid, SIGKILL) == 0) ::waitpid(pid, nullptr, 0);
}

bool BrokerProcess::ready() const {
    return eventually([&] { return exists(pid_file); });
}

int BrokerProcess::stop() {
    int status = -1;
    if (pid <= 0 || ::kill(pid, SIGTERM) != 0 || ::waitpid(std::exchange(pid, -1), &status, 0) <= 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void add_pam_account() {
    write_file("/etc/pam.d/yorbat-test", "auth required pam_unix.so\naccount required pam_unix.so\n");
    std::system("echo 'yqpam:x:4321:4321::/nonexistent:/usr/sbin/nologin' >> /etc/passwd && "
                "echo 'yqpamgrp:x:4321:' >> /etc/group && echo 'yqpam:$6$yqsaltsalt$9yxD5XkePwcbOpzMa7LVZxD2/"
                "GN.2unoBnV5Azh4TuhTges8j9tF0QBVfw0UtmIsby3wA8xWhimBqREWjTsOH0:19000:0:99999:7:::' >> /etc/shadow");
}

Faults::Faults(const std::string &lines) {
    set(lines);
    ::setenv("YORBAT_FAULTS", path.c_str(), 1);
}

Faults::~Faults() { ::unsetenv("YORBAT_FAULTS"); }

void Faults::set(const std::string &lines) const { write_file(path, lines); }

YssReports::YssReports() : stream(std::tmpfile()) { yq::yss::mYssDebugStream = stream; }

YssReports::~YssReports() {
    if (yq::yss::mYssDebugStream == stream) yq::yss::mYssDebugStream = nullptr;
    std::fclose(stream);
}

std::vector<std::string> YssReports::take() {
    std::fflush(stream);
    std::vector<std::string> lines;
    for (std::string line : read_lines("/proc/self/fd/" + std::to_string(::fileno(stream))))
        lines.push_back(line.find("Function: ") == std::string::npos ? line : line.substr(line.find("Function: ") + 10));
    std::rewind(stream);
    (void)::ftruncate(::fileno(stream), 0);
    return lines;
}

TwoHosts::TwoHosts(std::function<std::string()> on_alpha, std::function<std::string()> on_beta)
    : alpha("alpha", std::move(on_alpha), true), beta("beta", std::move(on_beta), true) {
    error = !alpha.started() || !beta.started() ? "no hosts: " + alpha.error() + beta.error()
            : !link(alpha, "a0", beta, "b0")    ? "no link"
            : !alpha.sh("ip link set lo up && ip addr add 192.0.2.1/24 dev a0 && ip link set a0 up") ||
                    !beta.sh("ip link set lo up && ip addr add 192.0.2.2/24 dev b0 && ip link set b0 up")
                ? "no addresses"
                : "";
}

}  // namespace yqtest
