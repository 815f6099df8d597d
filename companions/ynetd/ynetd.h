// ynetd: the port-multiplexing daemon. One process serves every conversation
// from a single event loop: it accepts, reads each client's items only once
// they have arrived whole, answers, and hands connections over without ever
// waiting on one peer. Everything that touches the wire, the service files,
// the hash pair and the logs goes through libYqSS_helper.
#ifndef YNETD_H
#define YNETD_H

#include <chrono>
#include <cstddef>
#include <functional>
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
    int handshake_timeout = 10;     // seconds from accept to an agreed version
    int item_timeout = 30;          // seconds for each whole item a client sends
    int conversation_limit = 300;   // seconds a conversation may last in all
    int max_conversations = 4096;   // at once; further clients wait in the backlog
    int max_per_address = 128;      // at once for one peer address; more are closed
    bool foreground = false;
    bool verbose = false;           // every library report also to standard error
    bool log_requests = false;      // a log line per request besides the one per conversation
    std::string pid_file;
    std::string config_file;
};

using Clock = std::chrono::steady_clock;

// Reads the command line (and the configuration file it names) into
// `settings`. Returns -1 to go on, otherwise the exit status for main (0 after
// --help, 2 after a usage error, which has been printed).
int parse_options(int argc, char **argv, Settings &settings);

// Serves conversations on `listener` until SIGTERM or SIGINT arrives through
// `signal_fd` (a pipe the handlers write the signal number into); `ready`
// runs once the loop is set up. Returns when every conversation has been
// ended; false when the loop could not be set up.
bool serve(int listener, int signal_fd, const Settings &settings,
           const std::function<void()> &ready);

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
