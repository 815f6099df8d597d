#include "yq_sys.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace yq::sys {
namespace {

// Adapters where the system's declaration differs from the table's entry
// (variadic open, the obsolescent gettimeofday zone argument, rename from
// <cstdio>, resolver functions without noexcept).
int real_gettimeofday(struct timeval *tv, void *) { return ::gettimeofday(tv, nullptr); }
int real_open(const char *path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int real_rename(const char *from, const char *to) { return std::rename(from, to); }
struct hostent *real_gethostbyname(const char *name) { return ::gethostbyname(name); }
struct hostent *real_gethostbyaddr(const void *address, socklen_t length, int type) {
    return ::gethostbyaddr(address, length, type);
}
struct servent *real_getservbyname(const char *name, const char *proto) {
    return ::getservbyname(name, proto);
}
struct servent *real_getservbyport(int port, const char *proto) {
    return ::getservbyport(port, proto);
}

constexpr Table kReal = {
    .malloc = ::malloc,
    .calloc = ::calloc,
    .realloc = ::realloc,
    .gettimeofday = real_gettimeofday,
    .time = ::time,
    .sleep = ::sleep,
    .write = ::write,
    .read = ::read,
    .poll = ::poll,
    .recv = ::recv,
    .send = ::send,
    .socket = ::socket,
    .bind = ::bind,
    .connect = ::connect,
    .accept4 = ::accept4,
    .sendmsg = ::sendmsg,
    .recvmsg = ::recvmsg,
    .getsockname = ::getsockname,
    .getpeername = ::getpeername,
    .open = real_open,
    .stat = ::stat,
    .chmod = ::chmod,
    .chown = ::chown,
    .rename = real_rename,
    .fsync = ::fsync,
    .access = ::access,
    .mkdir = ::mkdir,
    .gethostbyname = real_gethostbyname,
    .gethostbyaddr = real_gethostbyaddr,
    .getservbyname = real_getservbyname,
    .getservbyport = real_getservbyport,
    .fork = ::fork,
    .waitpid = ::waitpid,
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
