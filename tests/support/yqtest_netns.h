// Test hosts: each a child process in its own network and UTS namespaces
// (optionally its own mount namespace with a fresh product tree too), so a
// test can give it interfaces and a host name of its own, run programs on it
// and see what the library finds there.
//
// The process is started at construction and waits; the test configures its
// network from outside (sh, link), may start programs in its namespaces
// (join), then finish() lets it run its body and returns the text the body
// produced. A host that is never finished is killed; its namespaces, and
// every interface in them, vanish with it.
#ifndef YQTEST_NETNS_H
#define YQTEST_NETNS_H

#include <sys/types.h>

#include <functional>
#include <string>

namespace yqtest {

// Empty when this process may create network namespaces and run `ip` and
// `nsenter`; otherwise the reason it cannot.
std::string netns_unavailable();

// Moves the calling process into a fresh network namespace of its own, so
// that nothing a test creates reaches the machine's own network.
bool isolate_network();

class TestHost {
public:
    using Body = std::function<std::string()>;

    // With `private_mounts` the host has its own mount namespace, where the
    // product installation root is a fresh tmpfs.
    TestHost(const std::string &hostname, Body body = {}, bool private_mounts = false);
    ~TestHost();
    TestHost(const TestHost &) = delete;
    TestHost &operator=(const TestHost &) = delete;

    // False when the process or its namespaces could not be set up; error()
    // says why.
    bool started() const { return started_; }
    const std::string &error() const { return error_; }
    pid_t pid() const { return pid_; }
    // The host's file tree, seen from outside.
    std::string root() const { return "/proc/" + std::to_string(pid_) + "/root"; }

    // Runs a shell command (no single quotes in it) inside this host's
    // network namespace; true when it exits 0.
    bool sh(const std::string &command) const;

    // Moves the calling process (a child about to exec a program "on" this
    // host) into the host's namespaces.
    bool join() const;

    // Lets the host run its body and returns what the body returned; after
    // a crash, a text starting with "host died".
    std::string finish();

private:
    pid_t pid_ = -1;
    int fd_ = -1;  // to the host process: "G" runs the body, its text comes back
    bool started_ = false;
    bool finished_ = false;
    bool private_mounts_ = false;
    std::string error_;
};

// Joins two hosts with a veth pair: interface `name_a` on `a`, `name_b` on `b`.
bool link(const TestHost &a, const std::string &name_a, const TestHost &b,
          const std::string &name_b);

}  // namespace yqtest

#endif
