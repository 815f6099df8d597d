// Connection log line: both ends of a real loopback connection, the sockets
// it cannot describe, truncation and failed copies.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "ynet.h"
#include "yqtest.h"

namespace {

sockaddr_in loopback(const char *ip, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

int local_port(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    return ntohs(a.sin_port);
}

// A connection from 127.0.0.2 to a listener on 127.0.0.1, so that the two
// ends differ in address as well as port.
struct LoopbackPair {
    int listener = -1, client = -1, server = -1;
    int client_port = 0, server_port = 0;

    LoopbackPair() {
        listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = loopback("127.0.0.1", 0);
        EXPECT_EQ(::bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        EXPECT_EQ(::listen(listener, 1), 0);
        server_port = local_port(listener);

        client = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in from = loopback("127.0.0.2", 0);
        EXPECT_EQ(::bind(client, reinterpret_cast<sockaddr *>(&from), sizeof from), 0);
        sockaddr_in to = loopback("127.0.0.1", server_port);
        EXPECT_EQ(::connect(client, reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
        client_port = local_port(client);
        server = ::accept(listener, nullptr, nullptr);
        EXPECT_GE(server, 0);
    }
    ~LoopbackPair() {
        ::close(server);
        ::close(client);
        ::close(listener);
    }
};

std::string line(int fd, const char *prefix, int accepted, size_t size = 256) {
    std::string out(size + 8, '~');
    ynet_logconnections(fd, prefix, accepted, out.data(), size);
    EXPECT_EQ(out.substr(size), std::string(8, '~')) << "wrote past out_size";
    return out.c_str();
}

TEST(LogConnections, DescribesBothEndsOfALoopbackConnection) {
    LoopbackPair p;
    const std::string from = "127.0.0.2." + std::to_string(p.client_port);
    const std::string to = "127.0.0.1." + std::to_string(p.server_port);

    EXPECT_EQ(line(p.server, "cwrd", 1), "cwrd ACCEPT FROM " + from + " TO " + to);
    EXPECT_EQ(line(p.client, "cwrd", 0), "cwrd CONNECT FROM " + from + " TO " + to);
    // Seen from the wrong side, the direction follows the flag, not the socket.
    EXPECT_EQ(line(p.client, "bp", 1), "bp ACCEPT FROM " + to + " TO " + from);
}

TEST(LogConnections, TruncatesToOutSizeAndTerminates) {
    LoopbackPair p;
    const std::string full = line(p.server, "cwrd", 1);
    for (size_t size : {size_t{1}, size_t{5}, size_t{12}, full.size(), full.size() + 1}) {
        EXPECT_EQ(line(p.server, "cwrd", 1, size), full.substr(0, size - 1)) << size;
    }
    // Nowhere to write: nothing is touched.
    char c = 'x';
    ynet_logconnections(p.server, "cwrd", 1, &c, 0);
    EXPECT_EQ(c, 'x');
    ynet_logconnections(p.server, "cwrd", 1, nullptr, 16);
}

TEST(LogConnections, ExplainsSocketsItCannotDescribe) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    EXPECT_EQ(line(pair[0], "cwrd", 1), std::to_string(pair[0]) + " not a network socket");
    ::close(pair[0]);
    ::close(pair[1]);

    // Closed descriptor: the local address query itself fails.
    EXPECT_EQ(line(pair[0], "cwrd", 1), "getsockname(" + std::to_string(pair[0]) + ") failed");
    EXPECT_EQ(line(-1, "cwrd", 0), "getsockname(-1) failed");

    // Bound but not connected: no peer.
    int lone = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback("127.0.0.1", 0);
    ASSERT_EQ(::bind(lone, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    EXPECT_EQ(line(lone, "cwrd", 0), "getpeername(" + std::to_string(lone) + ") failed");
    ::close(lone);

    int v6 = ::socket(AF_INET6, SOCK_STREAM, 0);
    if (v6 >= 0) {
        EXPECT_EQ(line(v6, "cwrd", 0), std::to_string(v6) + " not a network socket");
        ::close(v6);
    }
}

TEST(LogConnections, FailedAddressCopyIsExplainedWithoutLeaks) {
    LoopbackPair p;
    int run = 0;
    long points = yqtest::for_each_alloc_failure([&] {
        std::string text = line(p.server, "cwrd", 1);
        ++run;
        if (run <= 2) {
            EXPECT_EQ(text, "strdup failed") << "copy " << run;
        } else if (run == 3) {
            EXPECT_EQ(text, "");  // the formatter's own buffer: out stays empty
        } else {
            EXPECT_EQ(text.rfind("cwrd ACCEPT FROM 127.0.0.2.", 0), 0u) << text;
        }
    });
    EXPECT_EQ(points, 3);  // one copy per address, then the formatter
}

}  // namespace
