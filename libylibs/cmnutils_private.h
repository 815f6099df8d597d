// Module-internal parts of cmnutils shared with the debug log. Not exported.
#ifndef CMNUTILS_PRIVATE_H
#define CMNUTILS_PRIVATE_H

#include <sys/stat.h>

namespace yq::cmnutils {

// Sets the process umask for its scope and restores the previous one, so
// that files and directories get exactly the mode their creator asks for.
class UmaskGuard {
public:
    explicit UmaskGuard(mode_t mask) noexcept : old_(::umask(mask)) {}
    ~UmaskGuard() { ::umask(old_); }
    UmaskGuard(const UmaskGuard &) = delete;
    UmaskGuard &operator=(const UmaskGuard &) = delete;

private:
    mode_t old_;
};

}  // namespace yq::cmnutils

#endif
