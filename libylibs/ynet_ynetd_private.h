// Internals of ynet_ynetd that the tests reach: the replaceable socket calls
// of the Unix-domain rendezvous and the descriptor hand-over.
#ifndef YNET_YNETD_PRIVATE_H
#define YNET_YNETD_PRIVATE_H

#include <sys/socket.h>
#include <sys/types.h>

namespace yq::ynet_ynetd {

// Tests replace entries (to make a bind find its name taken, or a hand-over
// fail) and call reset_calls() afterwards.
struct Calls {
    int (*bind)(int fd, const struct sockaddr *addr, socklen_t length);
    int (*connect)(int fd, const struct sockaddr *addr, socklen_t length);
    ssize_t (*sendmsg)(int fd, const struct msghdr *message, int flags);
    ssize_t (*recvmsg)(int fd, struct msghdr *message, int flags);
};

extern Calls calls;

void reset_calls() noexcept;

}  // namespace yq::ynet_ynetd

#endif
