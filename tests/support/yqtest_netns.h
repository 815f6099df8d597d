// Test hosts: each a child process in network and UTS namespaces of its own
// (with `private_mounts`, a mount namespace too, the product trees fresh
// tmpfs mounts). The test configures it from outside (sh, link, `nsenter -t pid()`);
// finish() then runs its body and returns the body's text, or one starting
// with "host died". An unfinished host is killed, its interfaces with it.
#ifndef YQTEST_NETNS_H
#define YQTEST_NETNS_H

#include <sys/types.h>

#include <functional>
#include <initializer_list>
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
// Brings up loopback and each "INTERFACE ADDRESS/BITS" of `host`.
bool bring_up(const TestHost &host, std::initializer_list<std::string> interfaces);

// A client host and a master whose ynetd answers from its cw.conf.
// Inside `host`: the configuration library `built` where the product loads it.
bool install_crconf(const TestHost &host, const std::string &built);
// Inside the client: root's home a fresh directory (a missing credential stays
// missing), an installed authentication library and a credential file; the
// credential's path, or "" when root's home could not be made.
std::string client_with_credential();
// This host's cw.conf (SERVER = alpha and `own`) and the master's (its
// services and `networks`), both dated `stamp`; YQSS_CREDENTIAL_PATH set to
// `credential`, or unset when it is empty.
void write_cw_confs(pid_t master, long stamp, const std::string &own, const std::string &networks,
                    const std::string &credential = "");
// PROGRAM (ynetd) started inside `host` with `--version-text VERSION`; stopped on destruction.
struct YnetdOn {
    YnetdOn(const TestHost &host, const std::string &program, const std::string &version);
    ~YnetdOn();
    pid_t pid = -1;
};

}  // namespace yqtest

#endif
