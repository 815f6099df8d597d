#include "yqtest_resolv.h"

#include <fcntl.h>
#include <netdb.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "yqtest.h"

namespace yqtest {

void rewrite_in_place(const std::string &path, const std::string &content) {
    int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    ASSERT_GE(fd, 0) << path << ": " << std::strerror(errno);
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    ASSERT_EQ(done, content.size()) << path;
}

namespace {

bool scripted_failure(int *calls) {
    ++*calls;
    if (Resolver::step >= Resolver::script.size()) return false;
    h_errno = Resolver::script[Resolver::step++];
    return h_errno != 0;
}

}  // namespace

Resolver::Resolver() {
    fail_next({});
    name_calls = addr_calls = serv_calls = 0;
    yq::sys::table.gethostbyname = [](const char *name) {
        return scripted_failure(&name_calls) ? nullptr : ::gethostbyname(name);
    };
    yq::sys::table.gethostbyaddr = [](const void *address, socklen_t length, int type) {
        addr_seen = address;
        length_seen = length;
        return scripted_failure(&addr_calls) ? nullptr : ::gethostbyaddr(address, length, type);
    };
    yq::sys::table.getservbyname = [](const char *name, const char *proto) {
        return scripted_failure(&serv_calls) ? nullptr : ::getservbyname(name, proto);
    };
    yq::sys::table.getservbyport = [](int port, const char *proto) {
        return scripted_failure(&serv_calls) ? nullptr : ::getservbyport(port, proto);
    };
}

Resolver::~Resolver() { yq::sys::reset(); }

}  // namespace yqtest
