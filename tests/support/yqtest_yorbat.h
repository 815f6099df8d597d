// The authentication companion in a test: its library installed where the
// product looks for it, a broker home made with the admin tool, the broker as
// a process, the PAM test account, the library's fault seam, the security
// services' report lines, and two test hosts joined by a veth link. The
// programs are run, never linked: the test passes their paths in.
#ifndef YQTEST_YORBAT_H
#define YQTEST_YORBAT_H

#include <sys/types.h>

#include <cstdio>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "yqtest.h"
#include "yqtest_netns.h"

namespace yqtest {

// Moves the calling process into a network of its own, loopback up.
bool private_loopback();
// Runs a shell command (no single quotes) here, or inside the network and
// mount namespaces of `host` when it is not 0; true on exit 0.
bool run_in(pid_t host, const std::string &command);

// Copies a built library to HOME/lib/NAME unless a file is there already (a
// loaded library is never overwritten).
void install_library(const std::string &home, const std::string &built, const std::string &name = "libyorbat.so");
// A file in the scratch directory holding `password` and a newline.
std::string password_file(const std::string &password = "secret-1");
// Runs the admin tool's commands in HOME, which relative paths are taken
// against, inside `host` when given; the first that fails, or "" when none did.
std::string admin(const std::string &program, const std::string &home, std::initializer_list<std::string> commands,
                  pid_t host = 0);

// A broker: PROGRAM --pid-file FILE [--foreground] ARGS..., inside the network
// and mount namespaces of `host` when given; killed unless stopped. (The
// classes here are neither copied nor moved.)
class BrokerProcess {
public:
    BrokerProcess(const std::string &program, std::vector<std::string> args, pid_t host = 0,
                  bool foreground = true);
    ~BrokerProcess();
    bool ready() const;  // its pid file is written
    int stop();          // SIGTERM, then its exit code (-1: it did not exit)
    pid_t pid = -1;
    std::string pid_file;
};

// The account yqpam (password "pam-Secret7", uid and gid 4321, group
// yqpamgrp) and the PAM service yorbat-test that checks it.
void add_pam_account();

// While it lives, YORBAT_FAULTS names a control file: each "ENTRY RESULT"
// line makes that entry point of the library answer RESULT.
class Faults {
public:
    explicit Faults(const std::string &lines = "");
    ~Faults();
    void set(const std::string &lines) const;
    const std::string path = scratch_dir() + "/faults";
};

// The security services' report lines while it lives, each from its
// function's name on (after "Function: ").
class YssReports {
public:
    YssReports();
    ~YssReports();
    std::vector<std::string> take();  // the lines since the last take
    FILE *const stream;
};

// alpha (192.0.2.1 on a0) and beta (192.0.2.2 on b0), each with product trees
// of its own, joined by a veth link; `error` is empty when all is up.
struct TwoHosts {
    TwoHosts(std::function<std::string()> on_alpha, std::function<std::string()> on_beta);
    TestHost alpha, beta;
    std::string error;
};

}  // namespace yqtest

#endif
