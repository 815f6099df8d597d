#include "yqtest_netns.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "yq_memory.h"
#include "yq_paths.h"

namespace yqtest {

namespace {

bool write_all(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string read_all(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

[[noreturn]] void child_fail(int fd, const char *what) {
    write_all(fd, std::string("E") + what + ": " + std::strerror(errno));
    ::_exit(111);
}

int reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

}  // namespace

std::string netns_unavailable() {
    if (::geteuid() != 0) return "needs root to create network namespaces";
    if (std::system("command -v ip >/dev/null 2>&1 && command -v nsenter >/dev/null 2>&1") != 0)
        return "needs the ip and nsenter programs";
    return "";
}

bool isolate_network() { return ::unshare(CLONE_NEWNET) == 0; }

TestHost::TestHost(const std::string &hostname, Body body, bool private_mounts)
    : private_mounts_(private_mounts) {
    // One channel both ways: "R" (or "E" and why) when ready, "G" to run the
    // body, then the body's text until the host exits.
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        error_ = "socketpair failed";
        return;
    }
    yq::unique_fd mine(ends[0]), theirs(ends[1]);
    pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) {
        error_ = "fork failed";
        return;
    }
    if (pid_ == 0) {
        // Never outlive the test, even when it crashes.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(112);
        const int fd = theirs.get();
        int flags = CLONE_NEWNET | CLONE_NEWUTS | (private_mounts ? CLONE_NEWNS : 0);
        if (::unshare(flags) != 0) child_fail(fd, "unshare");
        if (private_mounts &&
            (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
             ::mount("yqhost", YQ_PATH_KELDA, "tmpfs", 0, "mode=0755") != 0))
            child_fail(fd, "mount");
        if (::sethostname(hostname.data(), hostname.size()) != 0) child_fail(fd, "sethostname");
        char byte = 0;
        if (!write_all(fd, "R") || ::read(fd, &byte, 1) != 1) ::_exit(113);
        std::string text;
        try {
            text = body ? body() : "";
        } catch (...) {
            text = "host died: exception";
        }
        write_all(fd, text);
        ::_exit(0);
    }
    theirs.reset();
    char byte = 0;
    if (::read(mine.get(), &byte, 1) == 1 && byte == 'R') {
        started_ = true;
        fd_ = mine.release();
    } else {
        std::string why = read_all(mine.get());
        error_ = why.empty() ? "host process ended before it was ready" : why;
    }
}

TestHost::~TestHost() {
    if (pid_ > 0 && !finished_) {
        ::kill(pid_, SIGKILL);
        reap(pid_);
    }
    if (fd_ >= 0) ::close(fd_);
}

bool TestHost::sh(const std::string &command) const {
    if (!started_) return false;
    std::string line = "nsenter -t " + std::to_string(pid_) + " -n -- sh -c '" + command + "'";
    return std::system(line.c_str()) == 0;
}

bool TestHost::join() const {
    // The mount namespace last: the /proc paths are opened before it.
    for (const char *ns : {"net", "uts", "mnt"}) {
        if (std::strcmp(ns, "mnt") == 0 && !private_mounts_) break;
        yq::unique_fd fd(::open(("/proc/" + std::to_string(pid_) + "/ns/" + ns).c_str(),
                                O_RDONLY | O_CLOEXEC));
        if (!fd || ::setns(fd.get(), 0) != 0) return false;
    }
    return ::chdir("/") == 0;
}

std::string TestHost::finish() {
    if (!started_ || finished_) return "host died: not running";
    finished_ = true;
    if (!write_all(fd_, "G")) return "host died: cannot start body";
    std::string text = read_all(fd_);
    int status = reap(pid_);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return "host died: status " + std::to_string(status) + " after: " + text;
    return text;
}

bool link(const TestHost &a, const std::string &name_a, const TestHost &b,
          const std::string &name_b) {
    std::string line = "ip link add " + name_a + " netns " + std::to_string(a.pid()) +
                       " type veth peer name " + name_b + " netns " + std::to_string(b.pid());
    return std::system(line.c_str()) == 0;
}

}  // namespace yqtest
