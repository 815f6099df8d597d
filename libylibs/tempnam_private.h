// Module-internal entry of the temporary-name generator: the user ids are
// parameters so that the set-user-id rule can be exercised by a process that
// is not set-user-id.
#ifndef TEMPNAM_PRIVATE_H
#define TEMPNAM_PRIVATE_H

#include <sys/types.h>

namespace yq::tempnam_detail {

// Y_tempnam as seen by a process with effective user `euid` and real user `ruid`.
char *make_name(const char *dir, const char *prefix, uid_t euid, uid_t ruid) noexcept;

}  // namespace yq::tempnam_detail

#endif
