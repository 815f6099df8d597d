// Module-internal parts of the debug log that the common log and the tests
// share. Not exported.
#ifndef LOGGING_PRIVATE_H
#define LOGGING_PRIVATE_H

#include <cstddef>

namespace yq::logging {

// Writes all of buf to fd: 0, errno of a failed write, or 27 once writes
// of nothing have used up the process-wide budget zero_write_tries (each
// such write costs one try and a second of sleep before the next attempt).
int write_all(int fd, const char *buf, size_t len) noexcept;

// Forgets a log descriptor that is being closed: the remembered directory
// slot that holds it is freed and debugFD is cleared when it is debugFD, so
// that no later daily reopening follows a descriptor number the system may
// already have handed to another file.
void forget_descriptor(int fd) noexcept;

}  // namespace yq::logging

#endif
