// ynetd: the port-multiplexing daemon. One process listens on the ynetd port
// and forks one child per accepted connection; the child runs the version
// handshake and the requests of that conversation, then exits. Everything
// that touches the wire, the service files, the hand-over and the logs goes
// through libYqSS_helper.
#ifndef YNETD_H
#define YNETD_H

#include <cstddef>
#include <string>
#include <string_view>

#include "ynet.h"

namespace ynetd {

// Highest protocol version this daemon speaks.
inline constexpr int kMaxProtocol = YNETD_PROTOCOL_MAX;

struct Settings {
    int port = -1;                  // -1: the "ynetd" service entry, else 13724
    std::string version_text = "510000";  // release 5.1 as a product version number
    int max_protocol = kMaxProtocol;  // highest version offered (1..3)
    int item_timeout = 30;          // wait for the first byte of each item a client sends
    int conversation_limit = 300;   // seconds a conversation may last in all
    int max_conversations = 1024;   // children at once; further clients wait in the backlog
    int max_per_address = 128;       // children at once for one peer address; more are closed
    bool foreground = false;
    bool verbose = false;           // every library report also to standard error
    std::string pid_file;
    std::string config_file;
};

// Reads the command line (and the configuration file it names) into
// `settings`. Returns -1 to go on, otherwise the exit status for main (0 after
// --help, 2 after a usage error, which has been printed).
int parse_options(int argc, char **argv, Settings &settings);

// Serves one accepted connection to its end. Runs in the child of the accept
// loop; never returns.
[[noreturn]] void serve_conversation(int conn, const Settings &settings);

// One line into the debug log, with the reporting function's name. The
// formatted text passes through escape_text, so whatever a client sent or a
// file held can never start a line of its own.
void log_line(const char *function, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

// Copies `text` into `out` (capacity `size`, always terminated, cut short
// when full) as one printable line: printable ASCII stays, a backslash is
// doubled, newline, return and tab become \n, \r and \t, and every other
// byte becomes \xHH.
void escape_text(std::string_view text, char *out, std::size_t size) noexcept;

}  // namespace ynetd

#endif
