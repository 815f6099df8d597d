#include "yqtest_netns.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

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
    std::string text = std::string("E") + what + ": " + std::strerror(errno);
    write_all(fd, text);
    ::_exit(111);
}

}  // namespace

std::string netns_unavailable() {
    if (::geteuid() != 0) return "needs root to create network namespaces";
    if (std::system("command -v ip >/dev/null 2>&1 && command -v nsenter >/dev/null 2>&1") != 0)
        return "needs the ip and nsenter programs";
    return "";
}

bool isolate_network() { return ::unshare(CLONE_NEWNET) == 0; }

TestHost::TestHost(const std::string &hostname, Body body, bool private_mounts) {
    int ready[2];
    int go[2];
    int result[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        error_ = "pipe failed";
        return;
    }
    if (::pipe2(go, O_CLOEXEC) != 0 || ::pipe2(result, O_CLOEXEC) != 0) {
        error_ = "pipe failed";
        ::close(ready[0]);
        ::close(ready[1]);
        return;
    }
    pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) {
        error_ = "fork failed";
        for (int fd : {ready[0], ready[1], go[0], go[1], result[0], result[1]}) ::close(fd);
        return;
    }
    if (pid_ == 0) {
        // Never outlive the test, even when it crashes.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(112);
        ::close(ready[0]);
        ::close(go[1]);
        ::close(result[0]);
        int flags = CLONE_NEWNET | CLONE_NEWUTS | (private_mounts ? CLONE_NEWNS : 0);
        if (::unshare(flags) != 0) child_fail(ready[1], "unshare");
        if (::sethostname(hostname.data(), hostname.size()) != 0)
            child_fail(ready[1], "sethostname");
        write_all(ready[1], "R");
        ::close(ready[1]);
        char byte = 0;
        if (::read(go[0], &byte, 1) != 1) ::_exit(113);
        std::string text;
        try {
            text = body();
        } catch (...) {
            text = "host died: exception";
        }
        write_all(result[1], text);
        ::_exit(0);
    }
    ::close(ready[1]);
    ::close(go[0]);
    ::close(result[1]);
    go_fd_ = go[1];
    result_fd_ = result[0];
    std::string answer = read_all(ready[0]);
    ::close(ready[0]);
    if (answer == "R") {
        started_ = true;
    } else {
        error_ = answer.empty() ? "host process ended before it was ready" : answer.substr(1);
    }
}

TestHost::~TestHost() {
    if (pid_ > 0 && !finished_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (go_fd_ >= 0) ::close(go_fd_);
    if (result_fd_ >= 0) ::close(result_fd_);
}

bool TestHost::sh(const std::string &command) const {
    if (!started_) return false;
    std::string line = "nsenter -t " + std::to_string(pid_) + " -n -- sh -c '" + command + "'";
    return std::system(line.c_str()) == 0;
}

std::string TestHost::finish() {
    if (!started_ || finished_) return "host died: not running";
    finished_ = true;
    if (!write_all(go_fd_, "G")) return "host died: cannot start body";
    std::string text = read_all(result_fd_);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return "host died: status " + std::to_string(status) + " after: " + text;
    return text;
}

}  // namespace yqtest
