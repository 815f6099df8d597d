// Test hosts: each a child process in its own network and UTS namespaces
// (optionally its own mount namespace too), so a test can give it interfaces
// and a host name of its own and see what the library finds there.
//
// The process is started at construction and waits; the test configures its
// network from outside (sh), then finish() lets it run its body and returns
// the text the body produced. A host that is never finished is killed; its
// namespaces, and every interface in them, vanish with it.
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

    TestHost(const std::string &hostname, Body body, bool private_mounts = false);
    ~TestHost();
    TestHost(const TestHost &) = delete;
    TestHost &operator=(const TestHost &) = delete;

    // False when the process or its namespaces could not be set up; error()
    // says why.
    bool started() const { return started_; }
    const std::string &error() const { return error_; }
    pid_t pid() const { return pid_; }

    // Runs a shell command (no single quotes in it) inside this host's
    // network namespace; true when it exits 0.
    bool sh(const std::string &command) const;

    // Lets the host run its body and returns what the body returned; after
    // a crash, a text starting with "host died".
    std::string finish();

private:
    pid_t pid_ = -1;
    int go_fd_ = -1;      // parent writes one byte: run the body
    int result_fd_ = -1;  // child writes the body's text, then exits
    bool started_ = false;
    bool finished_ = false;
    std::string error_;
};

}  // namespace yqtest

#endif
