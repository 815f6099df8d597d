// Internal to the connection modules: the report macros, the reporters'
// configuration record and the replaceable calls of the wire module.
//
// Each connection module names itself once, before using the macros:
//     static constexpr const char *kModule = "ynet_ynetd";
// and reports every failing step with YN_FAILURE(status) and intermediate
// values with YN_DEBUG_VALUE("label", text, value). The macros capture the
// line and the calling function, so the report names where it came from.
#ifndef YNET_PRIVATE_H
#define YNET_PRIVATE_H

#include <poll.h>
#include <sys/types.h>

#include <cerrno>

#include "crconf.h"
#include "ynet.h"

#define YN_FAILURE(status) ynet_failure(kModule, __LINE__, __func__, (status))
#define YN_DEBUG_VALUE(label, text, value) \
    ynet_debug_value(kModule, __LINE__, __func__, (label), (text), (value))
#define YN_DEBUG_LEVEL(label, text, value, level) \
    ynet_debug_value_level(kModule, __LINE__, __func__, (label), (text), (value), (level))
#define YN_DEBUG_DUMP(label, data, length) \
    ynet_debug_dump(kModule, __LINE__, __func__, (label), (data), (length))

namespace yq::ynet_private {

// The reporters' own configuration record, kept current with crconf_get_info;
// only its verbosity is read. Tests may install a record here directly.
extern crconf_info_rec *crconf_info;

// Keeps errno across a scope, so that reporting a failure never changes the
// errno that the caller is about to read.
class ErrnoGuard {
public:
    ErrnoGuard() noexcept : saved_(errno) {}
    ~ErrnoGuard() { errno = saved_; }
    ErrnoGuard(const ErrnoGuard &) = delete;
    ErrnoGuard &operator=(const ErrnoGuard &) = delete;

private:
    int saved_;
};

}  // namespace yq::ynet_private

namespace yq::ynet_wire {

// System calls of the wire module that yq::sys does not cover: the readiness
// wait and the peek. Tests replace entries (to fake readiness, interrupt a
// wait or count calls) and call reset_calls() afterwards. Reads and writes go
// through yq::sys.
struct Calls {
    int (*poll)(struct pollfd *fds, nfds_t count, int timeout_ms);
    ssize_t (*recv)(int fd, void *buf, size_t n, int flags);
};

extern Calls calls;

void reset_calls() noexcept;

}  // namespace yq::ynet_wire

#endif
