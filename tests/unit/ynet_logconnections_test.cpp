// Connection log line: both ends of a real loopback connection from
// 127.0.0.2 to 127.0.0.1 (the ends differ in address as well as port), the
// sockets it cannot describe, truncation and failed copies.
#include "ynet.h"
#include "yqtest.h"
#include "yqtest_wire.h"

namespace {

using namespace yqtest::wire;

std::string end_of(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    return std::string(::inet_ntoa(a.sin_addr)) + "." + std::to_string(ntohs(a.sin_port));
}

// The line written into a buffer of `size` bytes, which must hold past it.
std::string line(int fd, const char *prefix, int accepted, size_t size = 256) {
    std::string out(size + 8, '~');
    ynet_logconnections(fd, prefix, accepted, out.data(), size);
    EXPECT_EQ(out.substr(size), std::string(8, '~')) << "wrote past out_size";
    return out.c_str();
}

struct Connection {
    int port = 0;
    Fd listener = tcp_listener(&port);
    Fd client{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)}, server;
    Connection() {
        sockaddr_in from = loopback(0), to = loopback(port);
        from.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 1);
        EXPECT_EQ(::bind(client.get(), reinterpret_cast<sockaddr *>(&from), sizeof from), 0);
        EXPECT_EQ(::connect(client.get(), reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
        server.reset(::accept(listener.get(), nullptr, nullptr));
    }
};

TEST(LogConnections, LinesAndTheirFailureTexts) {
    Connection c;
    const std::string from = end_of(c.client.get()), to = end_of(c.server.get());
    const std::string accepted = "cwrd ACCEPT FROM " + from + " TO " + to;
    Pair unix_socket = unix_pair();
    Fd lone(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in any = loopback(0);
    ASSERT_EQ(::bind(lone.get(), reinterpret_cast<const sockaddr *>(&any), sizeof any), 0);
    const int closed = ::dup(0);
    ::close(closed);
    struct Row {
        const char *what;
        int fd, accepted;
        size_t size;
        std::string expected;
    };
    const Row rows[] = {
        {"accepted", c.server.get(), 1, 256, accepted},
        {"connected", c.client.get(), 0, 256, "cwrd CONNECT FROM " + from + " TO " + to},
        {"the flag, not the socket, gives the direction", c.client.get(), 1, 256,
         "cwrd ACCEPT FROM " + to + " TO " + from},
        {"cut to one byte", c.server.get(), 1, 1, ""},
        {"cut by one", c.server.get(), 1, accepted.size(), accepted.substr(0, accepted.size() - 1)},
        {"just fits", c.server.get(), 1, accepted.size() + 1, accepted},
        {"unix-domain socket", unix_socket.mine.get(), 1, 256,
         std::to_string(unix_socket.mine.get()) + " not a network socket"},
        {"closed descriptor", closed, 1, 256, "getsockname(" + std::to_string(closed) + ") failed"},
        {"not connected", lone.get(), 0, 256, "getpeername(" + std::to_string(lone.get()) + ") failed"},
    };
    for (const Row &row : rows)
        EXPECT_EQ(line(row.fd, "cwrd", row.accepted, row.size), row.expected) << row.what;
    EXPECT_EQ(line(c.server.get(), "cwrd", 1, 0), std::string(8, '~')) << "no room, nothing written";

    // Either address copy failing explains itself; under the sanitizers no
    // failure point leaks the other copy.
    int failed = 0;
    yqtest::for_each_alloc_failure([&] {
        std::string text = line(c.server.get(), "cwrd", 1);
        failed += text == "strdup failed";
        EXPECT_TRUE(text == "strdup failed" || text == accepted) << text;
    });
    EXPECT_GE(failed, 2);
}

}  // namespace
