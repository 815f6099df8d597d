#include "yqtest_netns.h"

#include <sched.h>
#include <sys/mount.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <csignal>

#include "yq_paths.h"
#include "yqtest.h"
#include "yqtest_wire.h"

namespace yqtest {

namespace {

std::string read_all(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) != 0;)
        if (n > 0) text.append(buffer, static_cast<size_t>(n));
        else if (errno != EINTR) break;
    return text;
}

}  // namespace

std::string netns_unavailable() {
    if (::geteuid() != 0) return "needs root to create network namespaces";
    if (std::system("command -v ip >/dev/null 2>&1 && command -v nsenter >/dev/null 2>&1") != 0)
        return "needs the ip and nsenter programs";
    return "";
}

bool isolate_network() { return ::unshare(CLONE_NEWNET) == 0; }

TestHost::TestHost(const std::string &hostname, std::function<std::string()> body, bool private_mounts) {
    // One channel both ways: "R" (or "E" and why) when ready, "G" to run the
    // body, then the body's text until the host exits.
    int ends[2] = {-1, -1};
    (void)::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends);
    yq::unique_fd mine(ends[0]), theirs(ends[1]);
    const pid_t parent = ::getpid();
    if (mine && (pid_ = ::fork()) == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive the test, even when it crashes
        const int flags = CLONE_NEWNET | CLONE_NEWUTS | (private_mounts ? CLONE_NEWNS : 0);
        const char *failed =  // in this order: the mounts once the namespace is the host's own
            ::getppid() != parent ? "parent gone" : ::unshare(flags) != 0 ? "unshare"
            : private_mounts && (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                                 ::mount("yqhost", YQ_PATH_KELDA, "tmpfs", 0, "mode=0755") != 0 ||
                                 ::mount("yqhost", YQ_PATH_YORBAT_HOME, "tmpfs", 0, "mode=0755") != 0) ? "mount"
            : ::sethostname(hostname.data(), hostname.size()) != 0 ? "sethostname" : nullptr;
        char byte = 0;
        wire::write_raw(theirs.get(), failed ? std::string("E") + failed + ": " + std::strerror(errno) : "R");
        if (!failed && ::read(theirs.get(), &byte, 1) == 1) wire::write_raw(theirs.get(), body ? body() : "");
        ::_exit(failed ? 111 : 0);
    }
    theirs.reset();
    char byte = 0;
    if (pid_ > 0 && ::read(mine.get(), &byte, 1) == 1 && byte == 'R') fd_ = std::move(mine);
    else if ((error_ = pid_ < 0 ? "no channel or no fork" : read_all(mine.get())).empty())
        error_ = "host process ended before it was ready";
}

TestHost::~TestHost() {
    if (pid_ > 0 && ::kill(pid_, SIGKILL) == 0) ::waitpid(pid_, nullptr, 0);
}

bool TestHost::sh(const std::string &command) const {
    std::string line = "nsenter -t " + std::to_string(pid_) + " -n -- sh -c '" + command + "'";
    return started() && std::system(line.c_str()) == 0;
}

std::string TestHost::finish() {
    if (!started() || pid_ <= 0) return "host died: not running";
    wire::write_raw(fd_.get(), "G");
    std::string text = read_all(fd_.get());
    int status = -1;
    ::waitpid(std::exchange(pid_, -1), &status, 0);
    bool clean = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return clean ? text : "host died: status " + std::to_string(status) + " after: " + text;
}

bool link(const TestHost &a, const std::string &name_a, const TestHost &b, const std::string &name_b) {
    std::string line = "ip link add " + name_a + " netns " + std::to_string(a.pid()) +
                       " type veth peer name " + name_b + " netns " + std::to_string(b.pid());
    return std::system(line.c_str()) == 0;
}

bool bring_up(const TestHost &host, std::initializer_list<std::string> interfaces) {
    std::string command = "ip link set lo up";
    for (const std::string &pair : interfaces) {
        const std::string name = pair.substr(0, pair.find(' ')), address = pair.substr(pair.find(' ') + 1);
        command += " && ip addr add " + address + " dev " + name + " && ip link set " + name + " up";
    }
    return host.sh(command);
}

bool install_crconf(const TestHost &host, const std::string &built) {
    const std::string root = host.root();
    const std::string command = "mkdir -p " + root + YQ_PATH_KELDA "/lib " + root + YQ_PATH_CARROW_DIR +
                                " && cp " + built + " " + root + YQ_PATH_CRCONF_LIB;
    return std::system(command.c_str()) == 0;
}

std::string client_with_credential() {
    const std::string home = YQ_PATH_KELDA "/home-root";
    ::mkdir(home.c_str(), 0700);
    ::mkdir(YQ_PATH_KELDA "/var", 0755);
    const passwd *root = ::getpwuid(0);
    if (root == nullptr || ::mount(home.c_str(), root->pw_dir, nullptr, MS_BIND, nullptr) != 0) return "";
    ::mkdir(YQ_PATH_YORBAT_HOME "/lib", 0755);
    write_file(YQ_PATH_YORBAT_HOME "/lib/libyorbat.so", "");
    write_file(YQ_PATH_KELDA "/cred", "credential");
    return YQ_PATH_KELDA "/cred";
}

void write_cw_confs(pid_t master, long stamp, const std::string &own, const std::string &networks,
                    const std::string &credential) {
    if (credential.empty())
        ::unsetenv("YQSS_CREDENTIAL_PATH");
    else
        ::setenv("YQSS_CREDENTIAL_PATH", credential.c_str(), 1);
    write_file_dated(YQ_PATH_CW_CONF, "SERVER = alpha\n" + own + "\n", stamp);
    write_file_dated("/proc/" + std::to_string(master) + "/root" YQ_PATH_CW_CONF,
                     "AUTHORIZATION_SERVICE = alpha 13722\n"
                     "AUTHENTICATION_DOMAIN = CORP \"Corporate\" 2 alpha 13783\n" + networks + "\n", stamp);
}

YnetdOn::YnetdOn(const TestHost &host, const std::string &program, const std::string &version) {
    const std::string command = "nsenter -n -u -m -t " + std::to_string(host.pid()) + " " + program +
                                " --pid-file " YQ_PATH_KELDA "/ynetd.pid --version-text " + version;
    if (std::system(command.c_str()) == 0)
        pid = static_cast<pid_t>(std::atol(read_file(host.root() + YQ_PATH_KELDA "/ynetd.pid").c_str()));
}

YnetdOn::~YnetdOn() {
    if (pid > 0) ::kill(pid, SIGTERM);
}

}  // namespace yqtest
