// Test hosts: each a child process in network and UTS namespaces of its own
// (with `private_mounts`, a mount namespace too, the product trees fresh
// tmpfs mounts). The test configures it from outside (sh, link, `nsenter -t pid()`);
// finish() then runs its body and returns the body's text, or one starting
// with "host died". An unfinished host is killed, its interfaces with it.
#ifndef YQTEST_NETNS_H
#define YQTEST_NETNS_H

#include <sys/types.h>

#include <functional>
#include <string>

#include "yq_memory.h"

namespace yqtest {

// Empty when this process may create network namespaces and run `ip` and
// `nsenter`; otherwise why not.
std::string netns_unavailable();
// Moves the calling process into a network namespace of its own.
bool isolate_network();

class TestHost {
public:
    TestHost(const std::string &hostname, std::function<std::string()> body = {},
             bool private_mounts = false);
    ~TestHost();  // (neither copied nor moved: it owns the channel)

    bool started() const { return static_cast<bool>(fd_); }
    const std::string &error() const { return error_; }
    pid_t pid() const { return pid_; }
    // The host's file tree, seen from outside.
    std::string root() const { return "/proc/" + std::to_string(pid_) + "/root"; }
    // Runs a shell command (no single quotes) in the host's network; true on exit 0.
    bool sh(const std::string &command) const;
    std::string finish();

private:
    pid_t pid_ = -1;
    yq::unique_fd fd_;  // to the host process: "G" runs the body, its text comes back
    std::string error_;
};

// Joins two hosts with a veth pair: interface `name_a` on `a`, `name_b` on `b`.
bool link(const TestHost &a, const std::string &name_a, const TestHost &b, const std::string &name_b);

}  // namespace yqtest

#endif
