// ynetctl: commands that show an operator what the connection library sees.
// Each command fills one Output and returns the connection status of the
// step that failed (0 when all succeeded); that status is the exit status.
#ifndef YNETCTL_H
#define YNETCTL_H

#include <netinet/in.h>

#include <string>
#include <vector>

namespace ynetctl {

// Ordered key/value fields. Printed as aligned columns on a terminal, as
// "key=value" lines on a pipe, or as one JSON object (keys as added).
class Output {
public:
    void text(const std::string &key, const std::string &value);
    void number(const std::string &key, long value);
    void print(bool json, bool tty) const;

private:
    struct Field {
        std::string key;
        std::string value;
        bool quoted;
    };
    std::vector<Field> fields_;
};

struct Options {
    bool json = false;
    bool refresh = false;
    bool no_probe = false;
    int timeout = 10;
    std::vector<std::string> args;  // after the command name
};

// Resolves HOST to its ynetd's address; a connection status.
int daemon_address(const std::string &host, sockaddr_in &out);

int cmd_ping(const Options &options, Output &out);
int cmd_version(const Options &options, Output &out);
int cmd_decide(const Options &options, Output &out);
int cmd_security_info(const Options &options, Output &out);
int cmd_services(const Options &options, Output &out);
int cmd_cert(const Options &options, Output &out);

}  // namespace ynetctl

#endif
