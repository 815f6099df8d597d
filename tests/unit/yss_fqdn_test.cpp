// Host-name qualification against the sandbox's /etc/hosts and, in a network
// of its own, a DNS responder on 127.0.0.1:53 that answers A queries in its
// search domain and refuses everything else.
#include <arpa/inet.h>
#include <poll.h>
#include <strings.h>
#include <sys/mount.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "yqtest.h"
#include "yqtest_netns.h"
#include "yqtest_resolv.h"
#include "yss_auth.h"

namespace {

struct Responder {
    std::atomic<bool> stop{false};
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::thread thread;
    Responder() {
        sockaddr_in at{AF_INET, htons(53), {htonl(INADDR_LOOPBACK)}, {}};
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
        thread = std::thread([this] {
            for (pollfd ready{fd, POLLIN, 0}; !stop;)
                if (poll(&ready, 1, 50) == 1) answer();
        });
    }
    ~Responder() { stop = true, thread.join(), close(fd); }
    // Echoes the question; an A record for "gamma" and "delta" in corp.example.
    void answer() {
        unsigned char q[512];
        sockaddr_in peer{};
        socklen_t size = sizeof peer;
        ssize_t n = recvfrom(fd, q, sizeof q, 0, reinterpret_cast<sockaddr *>(&peer), &size);
        std::string name;
        for (size_t at = 12; at < size_t(n) && q[at] != 0; at += q[at] + 1u)
            name.append(reinterpret_cast<char *>(q) + at + 1, q[at]).push_back('.');
        bool known = strcasecmp(name.c_str(), "gamma.corp.example.") == 0 || strcasecmp(name.c_str(), "delta.corp.example.") == 0;
        std::string reply(reinterpret_cast<char *>(q), size_t(n));
        reply[2] = char(0x81), reply[3] = char(known ? 0x80 : 0x85), reply[7] = char(known);
        if (known) reply += std::string("\xc0\x0c\0\1\0\1\0\0\0\x3c\0\4\xc0\0\2\x07", 16);
        sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr *>(&peer), size);
    }
};

TEST(YssGetFQDNHostName, QualifiesFromTheHostsFileThenThroughTheResolverSearchList) {
    if (std::string why = yqtest::netns_unavailable(); !why.empty()) GTEST_SKIP() << why;
    ASSERT_TRUE(yqtest::isolate_network() && std::system("ip link set lo up") == 0);
    yqtest::write_hosts("127.0.0.1 localhost\n192.0.2.1 Alpha Alpha.Sales.Corp.Example\n"
                        "192.0.2.2 beta.corp.example beta\n192.0.2.7 gamma\n192.0.2.8 delta delta.corp\n");
    const std::string resolv = yqtest::scratch_dir() + "/resolv.conf";
    yqtest::write_file(resolv, "nameserver 127.0.0.1\nsearch corp.example\noptions attempts:1\n");
    ASSERT_EQ(mount(resolv.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr), 0);
    Responder dns;
    struct Row {
        const char *name;
        unsigned size;
        YssStatus status;
        const char *out;
    } rows[] = {
        {"alpha", 25, YSS_SUCCESS, "alpha.sales.corp.example"},  // the longer alias, lower-cased
        {"BETA", 64, YSS_SUCCESS, "beta.corp.example"},          // the official name first
        {"LOCALHOST", 64, YSS_SUCCESS, "LOCALHOST"},
        {"", 64, YSS_SUCCESS, ""},
        {"alpha", 24, YSS_BUFFER_TOO_SMALL, ""},
        {"Gamma", 64, YSS_SUCCESS, "gamma.corp.example"},  // short form only in the hosts file
        {"delta", 64, YSS_SUCCESS, "delta.corp.example"},  // one dot there: the resolver decides
        {"epsilon", 64, YSS_HOST_NOT_QUALIFIED, "unchanged"},  // refused
        {nullptr, 64, YSS_INVALID_PARAMETER, "unchanged"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name ? row.name : "(null)");
        char out[64] = "unchanged";
        EXPECT_EQ(YssGetFQDNHostName(row.name, out, row.size), row.status);
        EXPECT_STREQ(out, row.out);
    }
    umount("/etc/resolv.conf");
}

}  // namespace
