// Connection log line: a loopback connection from 127.0.0.2 to 127.0.0.1 (ends
// that differ in address and port), sockets it cannot describe, failed copies.
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

// The line in a buffer of `size` bytes; nothing may be written past them.
std::string line(int fd, int accepted, size_t size = 256) {
    std::string out(size + 8, '~');
    ynet_logconnections(fd, "cwrd", accepted, out.data(), size);
    EXPECT_EQ(out.substr(size), std::string(8, '~')) << "wrote past out_size";
    return out.c_str();
}

TEST(LogConnections, LinesAndTheirFailureTexts) {
    int port = 0;
    Fd listener = tcp_listener(&port), client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in from = loopback(0), to = loopback(port);
    from.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 1);
    ASSERT_EQ(::bind(client.get(), reinterpret_cast<sockaddr *>(&from), sizeof from), 0);
    ASSERT_EQ(::connect(client.get(), reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
    Fd server(::accept(listener.get(), nullptr, nullptr));
    const std::string a = end_of(client.get()), b = end_of(server.get());
    const std::string accepted = "cwrd ACCEPT FROM " + a + " TO " + b;
    const Pair unix_socket = unix_pair();
    const int unix_fd = unix_socket.mine.get(), closed = ::dup(0), lone = listener.get();
    ::close(closed);
    const struct {
        const char *what;
        std::string got, expected;
    } rows[] = {
        {"accepted", line(server.get(), 1), accepted},
        {"connected", line(client.get(), 0), "cwrd CONNECT FROM " + a + " TO " + b},
        {"the flag gives the direction", line(client.get(), 1), "cwrd ACCEPT FROM " + b + " TO " + a},
        {"cut by one", line(server.get(), 1, accepted.size()), accepted.substr(0, accepted.size() - 1)},
        {"no room", line(server.get(), 1, 0), std::string(8, '~')},
        {"unix-domain", line(unix_fd, 1), std::to_string(unix_fd) + " not a network socket"},
        {"closed", line(closed, 1), "getsockname(" + std::to_string(closed) + ") failed"},
        {"no peer", line(lone, 0), "getpeername(" + std::to_string(lone) + ") failed"},
    };
    for (const auto &row : rows) EXPECT_EQ(row.got, row.expected) << row.what;

    int failed = 0;  // either address copy failing is explained, leaking nothing
    yqtest::for_each_alloc_failure([&] { failed += line(server.get(), 1) == "strdup failed"; });
    EXPECT_GE(failed, 2);
}

}  // namespace
