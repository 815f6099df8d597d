// Local address detection: the sources of the list seen from a test host with a
// network of its own, the process-wide cache, the bind test, retrying lookups.
#include <arpa/inet.h>
#include <netdb.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "local_addrs_private.h"
#include "ynet.h"
#include "yqtest_netns.h"
#include "yqtest_resolv.h"

namespace {

struct in_addr addr(const char *dotted) { return in_addr{inet_addr(dotted)}; }
const std::string kData = YQ_TEST_DATA "/local_addrs.txt";

// "status:addresses" of a gathering (from the cache when it holds a list),
// then the debug lines it wrote.
std::string gather() {
    char *buffer = nullptr;
    size_t size = 0;
    local_addrs_debug_stream = open_memstream(&buffer, &size);
    struct in_addr *list = nullptr;
    int count = -5;
    std::string text = std::to_string(get_local_addrs(&list, &count)) + ":";
    for (int i = 0; i < count; ++i) text += (i > 0 ? "," : "") + std::string(inet_ntoa(list[i]));
    std::fclose(std::exchange(local_addrs_debug_stream, nullptr));
    text += "\n" + std::string(buffer, size);
    std::free(buffer), std::free(list);
    return text;
}

struct LocalAddrs : yqtest::ResolverTest { void SetUp() override { yq::local_addrs::reset_cache(); } };

TEST_F(LocalAddrs, RetryingResolver) {
    const std::pair<int, const char *> names[] = {{HOST_NOT_FOUND, "HOST_NOT_FOUND"}, {TRY_AGAIN, "TRY_AGAIN"},
        {NO_RECOVERY, "NO_RECOVERY"}, {NO_ADDRESS, "NO_ADDRESS"}, {42, "?undefined error?"}};
    for (auto [error, name] : names) EXPECT_STREQ(yq::resolver::h_errno_name(error), name);
    yqtest::write_hosts("127.0.0.1 localhost\n");
    for (const auto &row : yqtest::data_rows(kData, "retry")) {
        SCOPED_TRACE(row[0] + " " + row[1]);
        resolver.fail_next(row[0]);
        resolver.name_calls = 0;
        time_t start = clock.seconds;
        char error[32] = "same";
        struct hostent *entry = retry_gethostbyname("localhost", std::stoi(row[1]), 2, error, std::stoi(row[2]));
        EXPECT_EQ(entry != nullptr, row[4] == "1");
        EXPECT_STREQ(error, row[3].c_str());
        EXPECT_EQ(resolver.name_calls, std::stoi(row[5]));
        EXPECT_EQ(clock.seconds - start, std::stoi(row[6]));
    }
    EXPECT_EQ(retry_gethostbyname("localhost", 1, 1, nullptr, 10)->h_name, std::string("localhost"));
    // A reverse lookup gets a private copy of at most 16 bytes.
    unsigned char address[20] = {192, 0, 2, 250};
    resolver.fail_next("TR");
    char error[32] = "";
    EXPECT_EQ(retry_gethostbyaddr(address, 20, AF_INET6, 3, 1, error, sizeof error), nullptr);
    EXPECT_STREQ(error, "NO_RECOVERY");
    EXPECT_EQ(resolver.length_seen, 16u);
    EXPECT_NE(resolver.addr_seen, static_cast<const void *>(address));
}

TEST_F(LocalAddrs, TheListHasLoopbackOnceAndLaterCallsCopyTheCache) {
    std::string first = gather(), list = first.substr(0, first.find('\n'));
    size_t at = list.find("127.0.0.1");  // once: each source adds only what is new
    EXPECT_TRUE(at != std::string::npos && at == list.rfind("127.0.0.1")) << list;
    char loopback[64];
    std::snprintf(loopback, sizeof loopback, ": LOOPBACK new_addr.s_addr = %d 0x%08x\n",
                  static_cast<int>(htonl(INADDR_LOOPBACK)), htonl(INADDR_LOOPBACK));
    EXPECT_NE(first.find(loopback), std::string::npos) << first;
    resolver.name_calls = 0;
    std::string second = gather();  // the cache: no source asked again
    EXPECT_TRUE(second.starts_with(list + "\n") && second.find(": got local address *count = ") != std::string::npos &&
                second.find("SIOCGIFCONF") == std::string::npos && resolver.name_calls == 0) << second;
    EXPECT_EQ(get_local_addrs(nullptr, nullptr), -1);
}

TEST_F(LocalAddrs, ExhaustedMemoryFailsTheGatheringAndLeaksNothing) {
    // The host name comes first: adding loopback may fail with a list to drop.
    char name[256] = {};
    ASSERT_EQ(::gethostname(name, sizeof name - 1), 0);
    yqtest::write_hosts("127.0.0.1 localhost\n192.0.2.1 " + std::string(name) + "\n");
    bool failed = false, uncached = false, counted = false;
    yqtest::for_each_alloc_failure([&] {
        yq::local_addrs::reset_cache();
        std::string got = gather(), list = got.substr(0, got.find('\n'));
        failed = failed || list == "-1:";
        counted = counted || got.find(": malloc failed for *count = 1 0x00000001\n") != std::string::npos;
        EXPECT_TRUE(list == "-1:" ? got.find(" failed for *count = ") != std::string::npos
                                  : list.starts_with("0:192.0.2.1,127.0.0.1")) << got;
        uncached = uncached || (list != "-1:" && yq::local_addrs::cached_count() == -1);  // yet the list is whole
    });
    EXPECT_TRUE(failed && uncached && counted);  // a failed addition reports the count it had
}

TEST_F(LocalAddrs, SingleAddressesAndNames) {
    yqtest::write_hosts("127.0.0.1 localhost\n127.0.0.5 loopy\n192.0.2.200 faraway\n");
    struct in_addr listed[] = {addr("192.0.2.200")};
    for (const auto &row : yqtest::data_rows(kData, "single")) {
        SCOPED_TRACE(row[0] + " listed " + row[2]);
        const char *what = row[0].c_str();
        struct in_addr one = addr(what), *list = row[1] == "1" ? listed : nullptr;
        int count = std::stoi(row[2]), local = std::stoi(row[3]);
        bool dotted = std::isdigit(static_cast<unsigned char>(what[0]));
        EXPECT_EQ(dotted ? is_local_addr(list, count, &one) : is_local_host(list, count, what), local);
        resolver.name_calls = 0;  // and the one-argument test, which looks up names only
        EXPECT_TRUE(list != nullptr || ((isLocalHost(what) != 0) == (local != 0) && resolver.name_calls == !dotted));
    }
    EXPECT_EQ(is_local_host(listed, 1, "127.0.0.1"), 1);  // not listed: the name test
    EXPECT_EQ(isLocalHost(nullptr) + is_local_addr(listed, 1, nullptr), 0);
    EXPECT_EQ(clock.sleeps, 0);
}

// In a host with private mounts: covers every netstat program with a file that
// cannot run, then puts `script` (when given) at the first one. "" or what failed.
std::string arrange_netstat(const std::string &script) {
    std::string blank = yqtest::scratch_dir() + "/blank", fake = yqtest::scratch_dir() + "/netstat";
    yqtest::write_file(blank, "", 0644);
    yqtest::write_file(fake, script, 0755);
    bool placed = script.empty();
    for (const char *path : {"/usr/bin/netstat", "/usr/sbin/netstat", "/usr/etc/netstat", "/etc/netstat",
                             "/usr/ucb/netstat"}) {
        if (!yqtest::exists(path)) continue;
        if (::mount((placed ? blank : fake).c_str(), path, nullptr, MS_BIND, nullptr) != 0)
            return std::string("mount over ") + path + ": " + std::strerror(errno);
        placed = true;
    }
    return placed ? "" : "no netstat path to stand in for";
}

// The list of a gathering, then the needles its debug lines hold.
std::string stage(const std::string &failed) {
    if (!failed.empty()) return failed + "\n";
    std::string text = gather(), summary = text.substr(0, text.find('\n'));
    for (const char *needle : {"SIOCGIFCONF total = 0 ", "SIOCGIFCONF total = 3 ", "netstat command = /",
                               " -i -n 2> /dev/null\n", "netstat total = 4 ", "got local address *count = 4 "})
        if (text.find(needle) != std::string::npos) summary += std::string(" [") + needle + "]";
    yq::local_addrs::reset_cache();
    return summary + "\n";
}

// One host, three stages: no interface and no netstat; netstat only; then
// interfaces (netstat no longer asked), one added after the list was made.
TEST_F(LocalAddrs, SourcesInTurn) {
    if (std::string why = yqtest::netns_unavailable(); !why.empty()) GTEST_SKIP() << why;
    yqtest::write_hosts("127.0.0.1 localhost\n192.0.2.20 multi\n");
    yqtest::TestHost host("multi", [this] {
        std::string text = stage(arrange_netstat(""));
        struct sigaction mine{}, after{};  // the program's own SIGCHLD action survives the pipe
        mine.sa_handler = [](int) {};
        ::sigaction(SIGCHLD, &mine, nullptr);
        text += stage(arrange_netstat("#!/bin/sh\n[ \"$*\" = \"-i -n\" ] || exit 1\nprintf 'Name Mtu Net Address\\n"
            "lo0 1 x 127.0.0.1\\nnet0 1 x 192.0.2.9\\nnet0:1 1 x 192.0.2.9\\nnet1\\t1\\tx\\t192.0.2.10\\n"
            "bcast 1 x 255.255.255.255\\nword 1 x 9.not.an.addr\\nnodot 1 x 12345\\nshort 1\\n'\n"));
        ::sigaction(SIGCHLD, nullptr, &after);
        text += after.sa_handler == mine.sa_handler ? "sigchld kept\n" : "sigchld changed\n";
        if (std::system("ip link set lo up && ip link add v0 type veth peer name v1 && "
                        "ip addr add 192.0.2.20/24 dev v0 && ip addr add 192.0.2.21/24 dev v1 && "
                        "ip link set v0 up && ip link set v1 up") != 0) return text + "ip failed";
        text += stage("");
        gather();
        resolver.name_calls = 0;
        if (std::system("ip addr add 192.0.2.30/24 dev v0") != 0) return text + "ip failed";
        struct in_addr *list = nullptr, later = addr("192.0.2.30"), foreign = addr("192.0.2.77");
        int count = 0;
        get_local_addrs(&list, &count);
        text += "calls " + std::to_string(resolver.name_calls) + " count " + std::to_string(count) + " later " +
                std::to_string(is_local_addr(list, count, &later)) + " foreign " +
                std::to_string(is_local_addr(list, count, &foreign)) + "\n";
        std::free(list);
        return text;
    }, true);
    ASSERT_TRUE(host.started()) << host.error();
    // Host name first, then loopback, then the other sources; each once.
    EXPECT_EQ(host.finish(), "0:192.0.2.20,127.0.0.1 [SIOCGIFCONF total = 0 ]\n"
                             "0:192.0.2.20,127.0.0.1,192.0.2.9,192.0.2.10 [SIOCGIFCONF total = 0 ] "
                             "[netstat command = /] [ -i -n 2> /dev/null\n] [netstat total = 4 ] "
                             "[got local address *count = 4 ]\nsigchld kept\n"
                             "0:192.0.2.20,127.0.0.1,192.0.2.21 [SIOCGIFCONF total = 3 ]\n"
                             "calls 0 count 3 later 1 foreign 0\n");
}

}  // namespace
