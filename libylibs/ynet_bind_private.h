// Internals of ynet_bind that the tests reach: the port randomiser state.
#ifndef YNET_BIND_PRIVATE_H
#define YNET_BIND_PRIVATE_H

namespace yq::ynet_bind {

// Process-wide randomiser state: 0 until the first ranged bind seeds it,
// afterwards the last number drawn from rand().
int &port_state() noexcept;

}  // namespace yq::ynet_bind

#endif
