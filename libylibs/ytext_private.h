// Internal to the text-file module: the file-system calls of a committing
// close, replaceable so that a test can make each step of the publication
// fail and see that the target stays as it was and nothing is left behind.
#ifndef YTEXT_PRIVATE_H
#define YTEXT_PRIVATE_H

#include <sys/types.h>

namespace yq::ytext_detail {

struct Calls {
    int (*chmod)(const char *path, mode_t mode);
    int (*chown)(const char *path, uid_t owner, gid_t group);
    int (*rename)(const char *old_name, const char *new_name);
    int (*fsync)(int fd);
};

extern Calls calls;

// Restores every entry to the real system call.
void reset_calls() noexcept;

// Prefix of every temporary file name in a target's directory.
inline constexpr const char kTempPrefix[] = "ytext";

}  // namespace yq::ytext_detail

#endif
