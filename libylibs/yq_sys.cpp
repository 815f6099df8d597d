#include "yq_sys.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace yq::sys {
namespace {

int real_gettimeofday(struct timeval *tv, void *) { return ::gettimeofday(tv, nullptr); }

constexpr Table kReal = {
    ::write, ::read, real_gettimeofday, ::time, ::sleep, ::malloc, ::calloc, ::realloc,
};

}  // namespace

Table table = kReal;

void reset() noexcept { table = kReal; }

char *strdup(const char *s) noexcept {
    size_t n = std::strlen(s) + 1;
    auto *p = static_cast<char *>(malloc(n));
    if (p != nullptr) std::memcpy(p, s, n);
    return p;
}

char *strndup(const char *s, size_t n) noexcept {
    size_t len = ::strnlen(s, n);
    auto *p = static_cast<char *>(malloc(len + 1));
    if (p != nullptr) {
        std::memcpy(p, s, len);
        p[len] = '\0';
    }
    return p;
}

}  // namespace yq::sys
