// ynetctl COMMAND [ARGS] [--json]: what the connection library sees, for the
// operator. The exit status is the connection status of the failing step.
#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "ynetctl.h"

namespace {

// A command line not understood: the connection status for an invalid argument.
constexpr int kUsageStatus = 22;

struct Command {
    const char *name;
    int args;  // HOST or FILE
    int (*run)(const ynetctl::Options &, ynetctl::Output &);
    const char *usage;
    const char *help;
};

constexpr Command kCommands[] = {
    {"ping", 1, ynetctl::cmd_ping, "ping HOST",
     "Connects to HOST's ynetd, agrees on a protocol version and sends a no-op,\n"
     "showing the time each step took (microseconds)."},
    {"version", 1, ynetctl::cmd_version, "version HOST [--refresh]",
     "Asks HOST's ynetd for its product version (request 8) and shows the remote\n"
     "version cache entry; --refresh asks again instead of trusting the cache."},
    {"services", 0, ynetctl::cmd_services, "services",
     "Lists the service files in the rendezvous directory: each registration,\n"
     "whether its process is alive and whether its socket accepts a connection."},
    {"security-info", 0, ynetctl::cmd_security_info, "security-info",
     "Shows what the master's ynetd answers to the security query (request 9)\n"
     "beside this host's own configuration record."},
    {"decide", 1, ynetctl::cmd_decide, "decide HOST [--no-probe]",
     "Connects to HOST's ynetd and runs the USE_YQSS decision for that connection:\n"
     "the setting, the network entry that matched, the remote capability, the\n"
     "credential chosen and why. --no-probe skips the peer's version probe."},
    {"cert", 1, ynetctl::cmd_cert, "cert FILE",
     "Shows a credential file's certificate and whether it was modified within\n"
     "the last 7 days (604800 s)."},
};

void usage(FILE *to) {
    std::fprintf(to, "usage: ynetctl [--json] [--timeout SECONDS] COMMAND [ARGS]\ncommands:\n");
    for (const Command &command : kCommands) std::fprintf(to, "  %s\n", command.usage);
    std::fprintf(to, "ynetctl COMMAND --help describes one command.\n");
}

}  // namespace

int main(int argc, char **argv) {
    ynetctl::Options options;
    bool help = false;
    static const option kLong[] = {{"json", no_argument, nullptr, 'j'},
                                   {"refresh", no_argument, nullptr, 'r'},
                                   {"no-probe", no_argument, nullptr, 'n'},
                                   {"timeout", required_argument, nullptr, 't'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
    int c = 0;
    while ((c = ::getopt_long(argc, argv, "jrnt:h", kLong, nullptr)) != -1) {
        switch (c) {
        case 'j': options.json = true; break;
        case 'r': options.refresh = true; break;
        case 'n': options.no_probe = true; break;
        case 't': options.timeout = std::atoi(optarg); break;
        case 'h': help = true; break;
        default: usage(stderr); return kUsageStatus;
        }
    }
    if (optind >= argc) {
        usage(help ? stdout : stderr);
        return help ? 0 : kUsageStatus;
    }
    const std::string_view name = argv[optind];
    for (const Command &command : kCommands) {
        if (name != command.name) continue;
        if (help) {
            std::printf("usage: ynetctl [--json] [--timeout SECONDS] %s\n%s\n", command.usage, command.help);
            return 0;
        }
        for (int i = optind + 1; i < argc; ++i) options.args.emplace_back(argv[i]);
        if (static_cast<int>(options.args.size()) != command.args || options.timeout < 1) {
            std::fprintf(stderr, "usage: ynetctl %s\n", command.usage);
            return kUsageStatus;
        }
        ynetctl::Output out;
        const int status = command.run(options, out);
        out.print(options.json, ::isatty(STDOUT_FILENO) == 1);
        return status;
    }
    std::fprintf(stderr, "ynetctl: unknown command \"%.*s\"\n", static_cast<int>(name.size()), name.data());
    usage(stderr);
    return kUsageStatus;
}
