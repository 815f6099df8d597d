// The few steps of a conversation that ynetd takes without the library's
// blocking calls, so that the event loop never waits on one peer: whether an
// item has arrived whole, a connection to a local listener that never
// blocks, and the descriptor of a hand-over.
#ifndef YNETD_IO_H
#define YNETD_IO_H

#include <cstddef>
#include <string_view>

#include "yq_memory.h"

namespace ynetd {

// Bytes a pop reads at most for each kind of item (what the library's pop
// takes before it gives up on a missing terminator).
inline constexpr std::size_t kNumberItem = 128;

enum class Arrival {
    Whole,    // a whole item, or enough bytes (or an end) for the pop to decide at once
    Partial,  // more bytes are needed; a pop now would wait for them
};

// Looks at what the socket holds without taking it: Whole when a pop of an
// item of at most `limit` bytes will not wait.
Arrival item_arrival(int fd, std::size_t limit);

enum class Reach {
    Connected,    // `out` holds the connection
    Busy,         // the listener's backlog is full: try again a little later
    Unreachable,  // no listener there (or a path that may not be used)
};

// Connects to a local Unix-domain listener without blocking. With
// `connect_back` the path must name a listener that the library's
// connect-back made, and it is reached through a descriptor opened without
// following links, so the check and the connect see one file.
Reach connect_listener(const char *path, bool connect_back, yq::unique_fd &out);

// True when `path` has the form of a connect-back listener's name.
bool connect_back_name(std::string_view path);

// Sends `fd` over the listener connection `uds` as the hand-over expects it:
// one data byte carrying the descriptor. False when it could not be sent.
bool pass_descriptor(int uds, int fd);

}  // namespace ynetd

#endif
