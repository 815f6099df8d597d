// Local address detection: the sources of the list (host name, loopback,
// interface table, netstat) seen from test hosts in namespaces of their own,
// the process-wide cache, the bind test, and the resolver calls with retries
// driven through the resolver seam.
#include <arpa/inet.h>
#include <netdb.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>
#include <string>

#include "local_addrs_private.h"
#include "ynet.h"
#include "yqtest.h"
#include "yqtest_clock.h"
#include "yqtest_netns.h"
#include "yqtest_resolv.h"

namespace {

struct in_addr addr(const char *dotted) { return in_addr{inet_addr(dotted)}; }

// Gathers (from the cache when it holds a list) and returns "status:addresses",
// with the debug lines after it when `lines` is set.
std::string gather(bool lines = false) {
    char *buffer = nullptr;
    size_t size = 0;
    local_addrs_debug_stream = lines ? open_memstream(&buffer, &size) : nullptr;
    struct in_addr *list = nullptr;
    int count = -5;
    std::string text = std::to_string(get_local_addrs(&list, &count)) + ":";
    for (int i = 0; i < count; ++i) text += (i > 0 ? "," : "") + std::string(inet_ntoa(list[i]));
    std::free(list);
    if (lines) {
        std::fclose(local_addrs_debug_stream);
        text += "\n" + std::string(buffer, size);
        std::free(buffer);
    }
    local_addrs_debug_stream = nullptr;
    return text;
}

class LocalAddrs : public ::testing::Test {
protected:
    void SetUp() override { yq::local_addrs::reset_cache(); }
    void TearDown() override { yq::local_addrs::reset_cache(); }
    yqtest::FakeClock clock;
    yqtest::Resolver resolver;
};

TEST_F(LocalAddrs, RetryingResolver) {
    yqtest::write_hosts("127.0.0.1 localhost\n");
    const int T = TRY_AGAIN;
    struct Row {
        std::vector<int> script;
        int attempts, error_size;
        const char *error;  // what the buffer holds afterwards
        bool found;
        int calls, slept;  // seconds
    };
    const Row rows[] = {
        {{T, T, T, T, T}, 5, 32, "TRY_AGAIN", false, 5, 10},  // the last failure sleeps too
        {{T}, 3, 32, "TRY_AGAIN", true, 2, 2},
        {{HOST_NOT_FOUND}, 5, 32, "HOST_NOT_FOUND", false, 1, 0},
        {{NO_RECOVERY}, 5, 32, "NO_RECOVERY", false, 1, 0},
        {{NO_ADDRESS}, 5, 32, "NO_ADDRESS", false, 1, 0},
        {{42}, 5, 32, "?undefined error?", false, 1, 0},
        {{HOST_NOT_FOUND}, 1, 5, "HOST", false, 1, 0},
        {{HOST_NOT_FOUND}, 1, 0, "same", false, 1, 0},
        {{}, 0, 32, "same", false, 0, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.error + std::string(" ") + std::to_string(row.attempts));
        resolver.fail_next(row.script);
        resolver.name_calls = 0;
        time_t start = clock.seconds;
        char error[32] = "same";
        struct hostent *entry = retry_gethostbyname("localhost", row.attempts, 2, error, row.error_size);
        EXPECT_EQ(entry != nullptr, row.found);
        EXPECT_STREQ(error, row.error);
        EXPECT_EQ(resolver.name_calls, row.calls);
        EXPECT_EQ(clock.seconds - start, row.slept);
    }
    EXPECT_EQ(retry_gethostbyname("localhost", 1, 1, nullptr, 10)->h_name, std::string("localhost"));

    // A reverse lookup gets a private copy of at most 16 bytes.
    unsigned char address[20] = {192, 0, 2, 250};
    resolver.fail_next({T, NO_RECOVERY});
    char error[32] = "";
    EXPECT_EQ(retry_gethostbyaddr(address, 20, AF_INET6, 3, 1, error, sizeof error), nullptr);
    EXPECT_STREQ(error, "NO_RECOVERY");
    EXPECT_EQ(resolver.length_seen, 16u);
    EXPECT_NE(resolver.addr_seen, static_cast<const void *>(address));
}

TEST_F(LocalAddrs, TheListHasLoopbackOnceAndLaterCallsCopyTheCache) {
    std::string first = gather(true), list = first.substr(0, first.find('\n'));
    std::istringstream in(list.substr(2));
    std::set<std::string> seen;
    for (std::string one; std::getline(in, one, ',');) EXPECT_TRUE(seen.insert(one).second) << list;
    EXPECT_EQ(seen.count("127.0.0.1"), 1u) << list;
    EXPECT_NE(first.find(": LOOPBACK new_addr.s_addr = 16777343 0x0100007f\n"), std::string::npos);

    resolver.name_calls = 0;
    std::string second = gather(true);
    EXPECT_EQ(second.substr(0, second.find('\n')), list);
    EXPECT_NE(second.find(": got local address *count = "), std::string::npos) << second;
    EXPECT_EQ(second.find("SIOCGIFCONF"), std::string::npos) << second;
    EXPECT_EQ(resolver.name_calls, 0);
    EXPECT_EQ(get_local_addrs(nullptr, nullptr), -1);
}

TEST_F(LocalAddrs, ExhaustedMemoryFailsTheGatheringAndLeaksNothing) {
    struct in_addr *list = nullptr;
    int count = 0;
    for (const char *one : {"192.0.2.1", "192.0.2.2", "192.0.2.1"})
        ASSERT_EQ(yq::local_addrs::add_one(&list, &count, addr(one)), 0);
    EXPECT_EQ(count, 2);
    char *buffer = nullptr;
    size_t size = 0;
    local_addrs_debug_stream = open_memstream(&buffer, &size);
    {
        yqtest::AllocFailer fail(1);
        EXPECT_EQ(yq::local_addrs::add_one(&list, &count, addr("192.0.2.3")), -1);
    }
    std::fclose(local_addrs_debug_stream);
    local_addrs_debug_stream = nullptr;
    EXPECT_NE(std::string(buffer, size).find(": malloc failed for *count = 2 0x00000002\n"), std::string::npos);
    std::free(buffer);
    EXPECT_EQ(count, 0);
    std::free(list);

    bool failed = false, uncached = false;
    long points = yqtest::for_each_alloc_failure([&] {
        yq::local_addrs::reset_cache();
        std::string got = gather();
        failed = failed || got == "-1:";
        EXPECT_TRUE(got == "-1:" || got.find("127.0.0.1") != std::string::npos) << got;
        // The cache could not be filled: the caller's list is still whole.
        uncached = uncached || (got != "-1:" && yq::local_addrs::cached_count() == -1);
    });
    EXPECT_GE(points, 3);
    EXPECT_TRUE(failed && uncached);
}

TEST_F(LocalAddrs, SingleAddressesAndNames) {
    yqtest::write_hosts("127.0.0.1 localhost\n127.0.0.5 loopy\n192.0.2.200 faraway\n");
    struct in_addr listed[] = {addr("192.0.2.200")};
    struct Row {
        const char *what;  // a name, or a dotted address
        struct in_addr *list;
        int count, local;
    };
    const Row rows[] = {
        {"127.0.0.2", nullptr, 0, 1},  // not listed: the bind test
        {"192.0.2.200", nullptr, 0, 0}, {"192.0.2.200", listed, 1, 1},
        {"192.0.2.200", listed, 0, 0},  {"loopy", nullptr, 0, 1},
        {"faraway", nullptr, 0, 0},     {"faraway", listed, 1, 1},
        {"nowhere.invalid", listed, 1, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what + std::string(" listed ") + std::to_string(row.count));
        bool dotted = std::isdigit(static_cast<unsigned char>(row.what[0]));
        struct in_addr one = addr(row.what);
        EXPECT_EQ(dotted ? is_local_addr(row.list, row.count, &one)
                         : is_local_host(row.list, row.count, row.what), row.local);
        resolver.name_calls = 0;
        if (row.list == nullptr) {
            EXPECT_EQ(isLocalHost(row.what) != 0, row.local != 0);
            EXPECT_EQ(resolver.name_calls, dotted ? 0 : 1);  // a dotted address is not looked up
        }
    }
    EXPECT_EQ(is_local_host(listed, 1, "127.0.0.1"), 1);  // not listed: the name test
    EXPECT_EQ(isLocalHost(nullptr) + is_local_addr(listed, 1, nullptr), 0);
    EXPECT_EQ(clock.sleeps, 0);
}

// ---- sources, seen from hosts with networks of their own -----------------

constexpr const char *kNetstatPaths[] = {"/usr/bin/netstat", "/usr/sbin/netstat", "/usr/etc/netstat",
                                         "/etc/netstat", "/usr/ucb/netstat"};

// In a host with private mounts: covers every netstat program with a file
// that cannot run, then puts `script` (when given) at the first one. "" when
// done, else what failed.
std::string arrange_netstat(const std::string &script) {
    std::string blank = yqtest::scratch_dir() + "/blank", fake = yqtest::scratch_dir() + "/netstat";
    yqtest::write_file(blank, "", 0644);
    if (!script.empty()) yqtest::write_file(fake, script, 0755);
    bool placed = script.empty();
    for (const char *path : kNetstatPaths) {
        struct stat st{};
        if (::stat(path, &st) != 0) continue;
        if (::mount((placed ? blank : fake).c_str(), path, nullptr, MS_BIND, nullptr) != 0)
            return std::string("mount over ") + path + ": " + std::strerror(errno);
        placed = true;
    }
    return placed ? "" : "no netstat path to stand in for";
}

constexpr const char *kFakeNetstat =
    "#!/bin/sh\n"
    "[ \"$*\" = \"-i -n\" ] || exit 1\n"
    "cat <<'EOF'\n"
    "Name   Mtu  Net/Dest     Address          Ipkts Ierrs Opkts Oerrs Collis Queue\n"
    "lo0    8232 127.0.0.0    127.0.0.1        52    0     52    0     0      0\n"
    "net0   1500 192.0.2.0    192.0.2.9        900   0     800   0     0      0\n"
    "net0:1 1500 192.0.2.0    192.0.2.9        900   0     800   0     0      0\n"
    "net1\t1500\t192.0.2.0\t192.0.2.10\t1 0 1 0 0 0\n"
    "bcast  1500 192.0.2.0    255.255.255.255  1     0     1     0     0      0\n"
    "word   1500 x            9.not.an.addr    1     0     1     0     0      0\n"
    "nodot  1500 x            12345            1     0     1     0     0      0\n"
    "short  1500\n"
    "EOF\n";

class LocalAddrsHost : public LocalAddrs {
protected:
    void SetUp() override {
        LocalAddrs::SetUp();
        std::string why = yqtest::netns_unavailable();
        if (!why.empty()) GTEST_SKIP() << why;
    }
};

// One host, three stages: no interface and no netstat; netstat only; then
// interfaces (netstat no longer asked), one added after the list was made.
TEST_F(LocalAddrsHost, SourcesInTurn) {
    yqtest::write_hosts("127.0.0.1 localhost\n192.0.2.20 multi\n");
    yqtest::TestHost host("multi", [this] {
        std::string failed = arrange_netstat(""), text;
        text = failed.empty() ? gather(true) : failed;
        yq::local_addrs::reset_cache();
        failed = arrange_netstat(kFakeNetstat);
        struct sigaction mine{}, after{};  // the program's own SIGCHLD action survives the pipe
        mine.sa_handler = [](int) {};
        ::sigaction(SIGCHLD, &mine, nullptr);
        text += "--\n" + (failed.empty() ? gather(true) : failed);
        ::sigaction(SIGCHLD, nullptr, &after);
        text += after.sa_handler == mine.sa_handler ? "sigchld kept\n--\n" : "sigchld changed\n--\n";
        yq::local_addrs::reset_cache();
        if (std::system("ip link set lo up && ip link add v0 type veth peer name v1 && "
                        "ip addr add 192.0.2.20/24 dev v0 && ip addr add 192.0.2.21/24 dev v1 && "
                        "ip link set v0 up && ip link set v1 up") != 0) return text + "ip failed";
        text += gather(true);
        resolver.name_calls = 0;
        if (std::system("ip addr add 192.0.2.30/24 dev v0") != 0) return text + "ip failed";
        struct in_addr *list = nullptr, later = addr("192.0.2.30"), foreign = addr("192.0.2.77");
        int count = 0;
        get_local_addrs(&list, &count);
        text += "calls " + std::to_string(resolver.name_calls) + " count " + std::to_string(count) +
                " later " + std::to_string(is_local_addr(list, count, &later)) +
                " foreign " + std::to_string(is_local_addr(list, count, &foreign)) + "\n";
        std::free(list);
        return text;
    }, true);
    ASSERT_TRUE(host.started()) << host.error();
    std::string text = host.finish();
    size_t second = text.find("--\n") + 3, third = text.find("--\n", second) + 3;
    std::string alone = text.substr(0, second), netstat = text.substr(second, third - second),
                ifaces = text.substr(third);
    // Host name first, then loopback, then the other sources; each once.
    EXPECT_EQ(alone.substr(0, alone.find('\n')), "0:192.0.2.20,127.0.0.1") << text;
    EXPECT_NE(alone.find(": SIOCGIFCONF total = 0 0x00000000\n"), std::string::npos) << text;
    EXPECT_EQ(alone.find("netstat"), std::string::npos) << text;
    EXPECT_EQ(netstat.substr(0, netstat.find('\n')), "0:192.0.2.20,127.0.0.1,192.0.2.9,192.0.2.10");
    for (const char *line : {": netstat command = /", " -i -n 2> /dev/null\n", ": netstat total = 4 0x00000004\n",
                             ": got local address *count = 4 0x00000004\n", "sigchld kept"})
        EXPECT_NE(netstat.find(line), std::string::npos) << line << text;
    EXPECT_EQ(ifaces.substr(0, ifaces.find('\n')), "0:192.0.2.20,127.0.0.1,192.0.2.21") << text;
    EXPECT_NE(ifaces.find(": SIOCGIFCONF total = 3 0x00000003\n"), std::string::npos) << text;
    EXPECT_EQ(ifaces.find("netstat"), std::string::npos) << text;
    EXPECT_NE(ifaces.find("calls 0 count 3 later 1 foreign 0\n"), std::string::npos) << text;
}

}  // namespace
