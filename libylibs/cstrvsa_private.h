// Helpers shared by the modules that build string arrays element by element
// (cstra, cstr, misc). Not exported.
#ifndef CSTRVSA_PRIVATE_H
#define CSTRVSA_PRIVATE_H

#include <cstddef>
#include <memory>

#include "cstrvsa.h"

namespace yq::cstrvsa {

struct FreeAllDeleter {
    void operator()(cstrvsa_handle *h) const noexcept { cstrvsaFREEALL(h); }
};
// Owns a handle and the strings in it until the array is detached, so every
// early return on exhausted memory releases what was built so far.
using OwningHandle = std::unique_ptr<cstrvsa_handle, FreeAllDeleter>;

// Appends a new copy of the first n characters of s (stopping at its
// terminator); false, with nothing appended, when memory runs out.
bool append_copy(cstrvsa_handle *h, const char *s, size_t n) noexcept;
bool append_copy(cstrvsa_handle *h, const char *s) noexcept;

}  // namespace yq::cstrvsa

#endif
