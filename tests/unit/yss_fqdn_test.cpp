// Host-name qualification against the sandbox's /etc/hosts and, in a network
// of its own, a DNS responder on 127.0.0.1:53 that answers A queries for
// gamma and delta in corp.example and refuses everything else.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/mount.h>

#include <atomic>
#include <strings.h>
#include <thread>

#include "yqtest_resolv.h"
#include "yqtest_yorbat.h"
#include "yss_auth.h"

namespace {

struct Responder {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::atomic<bool> stop{false};
    std::thread thread{[this] {
        for (pollfd ready{fd, POLLIN, 0}; !stop;)
            if (poll(&ready, 1, 20) == 1) answer();
    }};
    ~Responder() { stop = true, thread.join(), close(fd); }
    void answer() {  // the query back with an answer, or refused
        char query[512];
        sockaddr_in peer{};
        socklen_t size = sizeof peer;
        std::string reply(query, std::max<ssize_t>(recvfrom(fd, query, sizeof query, 0, (sockaddr *)&peer, &size), 12));
        bool known = false;
        for (const char *name : {"\5gamma\4corp\7example", "\5delta\4corp\7example"})
            known = known || !strncasecmp(reply.c_str() + 12, name, 20);
        reply[2] = char(0x81), reply[3] = char(known ? 0x80 : 0x85), reply[7] = char(known);
        if (known) reply += std::string("\xc0\x0c\0\1\0\1\0\0\0\x3c\0\4\xc0\0\2\x07", 16);
        sendto(fd, reply.data(), reply.size(), 0, (sockaddr *)&peer, size);
    }
};

TEST(YssGetFQDNHostName, QualifiesFromTheHostsFileThenThroughTheResolverSearchList) {
    if (std::string why = yqtest::netns_unavailable(); !why.empty()) GTEST_SKIP() << why;
    ASSERT_TRUE(yqtest::private_loopback());
    yqtest::write_hosts(yqtest::read_file(YQ_TEST_DATA "/yss_hosts"));
    const std::string resolv = yqtest::scratch_dir() + "/resolv.conf";
    yqtest::write_file(resolv, "nameserver 127.0.0.1\nsearch corp.example\n");
    ASSERT_EQ(mount(resolv.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr), 0);
    sockaddr_in at{AF_INET, htons(53), {htonl(INADDR_LOOPBACK)}, {}};
    Responder dns;
    ASSERT_EQ(bind(dns.fd, (sockaddr *)&at, sizeof at), 0);
    for (const auto &row : yqtest::data_rows(YQ_TEST_DATA "/yss_conn.txt", "qualify")) {
        SCOPED_TRACE(row[0] + " in " + row[1]);
        char out[64] = "unchanged";
        EXPECT_EQ(YssGetFQDNHostName(yqtest::field(row[0]), out, std::stoul(row[1])), std::stoi(row[2]));
        EXPECT_STREQ(out, yqtest::field(row[3]));
    }
    umount("/etc/resolv.conf");
}

}  // namespace
