// Local address detection: the sources of the list (host name, loopback,
// interface table, netstat) seen from test hosts in namespaces of their own,
// the process-wide cache, the bind test, and the resolver calls with retries
// driven through the resolver seam.
#include <arpa/inet.h>
#include <netdb.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "local_addrs_private.h"
#include "ynet.h"
#include "yqtest.h"
#include "yqtest_netns.h"
#include "yqtest_resolv.h"

namespace {

const char *const kNetstatPaths[] = {"/usr/bin/netstat", "/usr/sbin/netstat", "/usr/etc/netstat",
                                     "/etc/netstat", "/usr/ucb/netstat"};

struct in_addr addr(const char *dotted) {
    struct in_addr a{};
    a.s_addr = inet_addr(dotted);
    return a;
}

std::string list_text(const struct in_addr *list, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        if (i > 0) text += ",";
        text += inet_ntoa(list[i]);
    }
    return text;
}

// Gathers afresh and returns "status:addresses".
std::string gather() {
    struct in_addr *list = nullptr;
    int count = -5;
    int status = get_local_addrs(&list, &count);
    std::string text = std::to_string(status) + ":" + list_text(list, count);
    std::free(list);
    return text;
}

// Resolver calls made through the seam, answered by the real resolver.
int g_name_calls = 0;
struct hostent *counting_gethostbyname(const char *name) {
    ++g_name_calls;
    return ::gethostbyname(name);
}

// A resolver that answers from a script of h_errno values, then for real.
std::vector<int> g_script;
size_t g_step = 0;
struct hostent *scripted_gethostbyname(const char *name) {
    ++g_name_calls;
    if (g_step < g_script.size()) {
        h_errno = g_script[g_step++];
        return nullptr;
    }
    return ::gethostbyname(name);
}
const void *g_addr_seen = nullptr;
socklen_t g_length_seen = 0;
unsigned char g_bytes_seen[16];
struct hostent *scripted_gethostbyaddr(const void *address, socklen_t length, int) {
    ++g_name_calls;
    g_addr_seen = address;
    g_length_seen = length;
    std::memcpy(g_bytes_seen, address, length);
    h_errno = g_step < g_script.size() ? g_script[g_step++] : HOST_NOT_FOUND;
    return nullptr;
}

std::vector<unsigned> g_sleeps;
unsigned counting_sleep(unsigned seconds) {
    g_sleeps.push_back(seconds);
    return 0;
}

// "local_addrs.<line>: <label> = <value> 0x<8 hex digits>" or, for a line
// with a text, "local_addrs.<line>: <label> = <text>".
bool debug_line_shape(const std::string &line) {
    const std::string prefix = "local_addrs.";
    if (line.compare(0, prefix.size(), prefix) != 0) return false;
    size_t i = prefix.size();
    size_t digits = i;
    while (i < line.size() && std::isdigit(static_cast<unsigned char>(line[i]))) ++i;
    if (i == digits || line.compare(i, 2, ": ") != 0) return false;
    size_t eq = line.find(" = ", i + 2);
    if (eq == std::string::npos || eq == i + 2) return false;
    std::string value = line.substr(eq + 3);
    if (value.empty()) return false;
    size_t space = value.find(' ');
    if (space == std::string::npos || value.compare(space, 3, " 0x") != 0) return true;  // a text
    char *end = nullptr;
    long number = std::strtol(value.c_str(), &end, 10);
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08x", static_cast<unsigned>(number));
    return end == value.c_str() + space && value.substr(space + 1) == hex;
}

class LocalAddrs : public ::testing::Test {
protected:
    void SetUp() override {
        yq::local_addrs::reset_cache();
        g_name_calls = 0;
        g_script.clear();
        g_step = 0;
        g_sleeps.clear();
        yq::sys::table.sleep = counting_sleep;
        yq::sys::table.gethostbyname = counting_gethostbyname;
    }
    void TearDown() override {
        yq::sys::reset();
        yq::local_addrs::reset_cache();
        local_addrs_debug_stream = nullptr;
    }
    yqtest::SysGuard guard;
};

// ---- retrying resolver ----------------------------------------------------

TEST_F(LocalAddrs, TryAgainIsRetriedWithASleepAfterEveryFailureTheLastIncluded) {
    yq::sys::table.gethostbyname = scripted_gethostbyname;
    g_script = {TRY_AGAIN, TRY_AGAIN, TRY_AGAIN, TRY_AGAIN, TRY_AGAIN};
    char error[32] = "untouched";
    EXPECT_EQ(retry_gethostbyname("localhost", 5, 2, error, sizeof error), nullptr);
    EXPECT_EQ(g_name_calls, 5);
    EXPECT_EQ(g_sleeps, (std::vector<unsigned>{2, 2, 2, 2, 2}));
    EXPECT_STREQ(error, "TRY_AGAIN");
}

TEST_F(LocalAddrs, AnswerAfterTryAgainEndsTheRetries) {
    yqtest::write_hosts("127.0.0.1 localhost\n");
    yq::sys::table.gethostbyname = scripted_gethostbyname;
    g_script = {TRY_AGAIN};
    char error[32] = "";
    struct hostent *entry = retry_gethostbyname("localhost", 3, 1, error, sizeof error);
    ASSERT_NE(entry, nullptr);
    EXPECT_STREQ(entry->h_name, "localhost");
    EXPECT_EQ(g_name_calls, 2);
    EXPECT_EQ(g_sleeps, (std::vector<unsigned>{1}));
    EXPECT_STREQ(error, "TRY_AGAIN");  // the name of the failure that was retried
}

TEST_F(LocalAddrs, OtherErrorsEndTheAttemptsAtOnceAndAreNamed) {
    yq::sys::table.gethostbyname = scripted_gethostbyname;
    const std::pair<int, const char *> names[] = {
        {HOST_NOT_FOUND, "HOST_NOT_FOUND"}, {NO_RECOVERY, "NO_RECOVERY"},
        {NO_ADDRESS, "NO_ADDRESS"},         {0, "?undefined error?"},
        {42, "?undefined error?"},
    };
    for (const auto &[value, name] : names) {
        g_script = {value};
        g_step = 0;
        g_name_calls = 0;
        char error[32] = "";
        EXPECT_EQ(retry_gethostbyname("x", 5, 1, error, sizeof error), nullptr);
        EXPECT_EQ(g_name_calls, 1) << name;
        EXPECT_STREQ(error, name);
    }
    EXPECT_TRUE(g_sleeps.empty());
}

TEST_F(LocalAddrs, ErrorTextIsBoundedAndOptional) {
    yq::sys::table.gethostbyname = scripted_gethostbyname;
    g_script = {HOST_NOT_FOUND, HOST_NOT_FOUND, HOST_NOT_FOUND};
    char small[5] = "abcd";
    EXPECT_EQ(retry_gethostbyname("x", 1, 1, small, sizeof small), nullptr);
    EXPECT_STREQ(small, "HOST");
    char untouched[8] = "same";
    EXPECT_EQ(retry_gethostbyname("x", 1, 1, untouched, 0), nullptr);
    EXPECT_STREQ(untouched, "same");
    EXPECT_EQ(retry_gethostbyname("x", 1, 1, nullptr, 10), nullptr);
    // No attempts at all: nothing asked, nothing named.
    g_name_calls = 0;
    EXPECT_EQ(retry_gethostbyname("x", 0, 1, untouched, sizeof untouched), nullptr);
    EXPECT_EQ(g_name_calls, 0);
    EXPECT_STREQ(untouched, "same");
}

TEST_F(LocalAddrs, ReverseLookupGetsAPrivateCopyOfAtMostSixteenBytes) {
    yq::sys::table.gethostbyaddr = scripted_gethostbyaddr;
    unsigned char address[20];
    for (int i = 0; i < 20; ++i) address[i] = static_cast<unsigned char>(i + 1);
    g_script = {TRY_AGAIN, NO_RECOVERY};
    char error[32] = "";
    EXPECT_EQ(retry_gethostbyaddr(address, 20, AF_INET6, 3, 1, error, sizeof error), nullptr);
    EXPECT_EQ(g_name_calls, 2);
    EXPECT_EQ(g_sleeps, (std::vector<unsigned>{1}));
    EXPECT_STREQ(error, "NO_RECOVERY");
    EXPECT_EQ(g_length_seen, 16u);
    EXPECT_NE(g_addr_seen, static_cast<const void *>(address));
    EXPECT_EQ(std::memcmp(g_bytes_seen, address, 16), 0);
}

// ---- the list, its cache and its debug lines ------------------------------

TEST_F(LocalAddrs, GatheringOnThisMachineListsLoopbackOnceAndCachesACopy) {
    struct in_addr *first = nullptr;
    int first_count = 0;
    ASSERT_EQ(get_local_addrs(&first, &first_count), 0);
    std::string text = list_text(first, first_count);
    EXPECT_NE(text.find("127.0.0.1"), std::string::npos) << text;
    for (int i = 0; i < first_count; ++i)
        for (int j = i + 1; j < first_count; ++j)
            EXPECT_NE(first[i].s_addr, first[j].s_addr) << text;
    EXPECT_EQ(yq::local_addrs::cached_count(), first_count);

    // The second call copies the cache: no resolver, a list of its own.
    g_name_calls = 0;
    struct in_addr *second = nullptr;
    int second_count = 0;
    ASSERT_EQ(get_local_addrs(&second, &second_count), 0);
    EXPECT_EQ(g_name_calls, 0);
    EXPECT_NE(second, first);
    EXPECT_EQ(list_text(second, second_count), text);
    std::free(first);
    std::free(second);
    EXPECT_EQ(get_local_addrs(nullptr, &second_count), -1);
}

TEST_F(LocalAddrs, DebugLinesNameSourceLineLabelAndValue) {
    char *buffer = nullptr;
    size_t size = 0;
    FILE *stream = open_memstream(&buffer, &size);
    ASSERT_NE(stream, nullptr);
    local_addrs_debug_stream = stream;
    EXPECT_EQ(gather().substr(0, 2), "0:");
    EXPECT_EQ(gather().substr(0, 2), "0:");  // from the cache
    local_addrs_debug_stream = nullptr;
    std::fclose(stream);
    std::string text(buffer, size);
    std::free(buffer);

    std::istringstream lines(text);
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count)
        EXPECT_TRUE(debug_line_shape(line)) << line;
    EXPECT_GT(count, 4);
    in_addr_t loopback = htonl(INADDR_LOOPBACK);
    char expected[96];
    std::snprintf(expected, sizeof expected, ": LOOPBACK new_addr.s_addr = %d 0x%08x\n",
                  static_cast<int>(loopback), static_cast<unsigned>(loopback));
    EXPECT_NE(text.find(expected), std::string::npos) << text;
    EXPECT_NE(text.find(": SIOCGIFCONF total = "), std::string::npos);
    // Both calls end with the count; the second never looks at interfaces.
    size_t first_end = text.find(": got local address *count = ");
    ASSERT_NE(first_end, std::string::npos);
    size_t second_end = text.find(": got local address *count = ", first_end + 1);
    ASSERT_NE(second_end, std::string::npos);
    EXPECT_EQ(text.find("SIOCGIFCONF", first_end), std::string::npos);
}

TEST_F(LocalAddrs, AddOneKeepsAddressesUniqueAndReportsExhaustedMemory) {
    struct in_addr *list = nullptr;
    int count = 0;
    ASSERT_EQ(yq::local_addrs::add_one(&list, &count, addr("192.0.2.1")), 0);
    ASSERT_EQ(yq::local_addrs::add_one(&list, &count, addr("192.0.2.2")), 0);
    ASSERT_EQ(yq::local_addrs::add_one(&list, &count, addr("192.0.2.1")), 0);
    EXPECT_EQ(list_text(list, count), "192.0.2.1,192.0.2.2");

    char *buffer = nullptr;
    size_t size = 0;
    FILE *stream = open_memstream(&buffer, &size);
    local_addrs_debug_stream = stream;
    {
        yqtest::AllocFailer fail(1);
        EXPECT_EQ(yq::local_addrs::add_one(&list, &count, addr("192.0.2.3")), -1);
    }
    local_addrs_debug_stream = nullptr;
    std::fclose(stream);
    EXPECT_NE(std::string(buffer, size).find(": malloc failed for *count = 2 0x00000002\n"),
              std::string::npos);
    std::free(buffer);
    EXPECT_EQ(count, 0);
    std::free(list);
}

TEST_F(LocalAddrs, ExhaustedMemoryFailsTheGatheringAndLeaksNothing) {
    bool saw_failure = false;
    bool saw_uncached_success = false;
    long points = yqtest::for_each_alloc_failure([&] {
        yq::local_addrs::reset_cache();
        struct in_addr *list = nullptr;
        int count = 7;
        int status = get_local_addrs(&list, &count);
        if (status == -1) {
            saw_failure = true;
            EXPECT_EQ(list, nullptr);
            EXPECT_EQ(count, 0);
        } else {
            EXPECT_EQ(status, 0);
            EXPECT_GE(count, 1);
            // The cache could not be filled: the caller's list is still whole.
            if (yq::local_addrs::cached_count() == -1) saw_uncached_success = true;
        }
        std::free(list);
    });
    EXPECT_GE(points, 3);
    EXPECT_TRUE(saw_failure);
    EXPECT_TRUE(saw_uncached_success);
}

// ---- single addresses and names -------------------------------------------

TEST_F(LocalAddrs, AnAddressOutsideTheListIsJudgedByTheBindTest) {
    struct in_addr loop2 = addr("127.0.0.2");  // configured with the loopback network
    struct in_addr foreign = addr("192.0.2.200");
    EXPECT_EQ(is_local_addr(nullptr, 0, &loop2), 1);
    EXPECT_EQ(is_local_addr(nullptr, 0, &foreign), 0);
    // In the list means local, whatever the machine says.
    struct in_addr list[] = {addr("192.0.2.200")};
    EXPECT_EQ(is_local_addr(list, 1, &foreign), 1);
    EXPECT_EQ(is_local_addr(list, 0, &foreign), 0);
    EXPECT_EQ(is_local_addr(list, 1, nullptr), 0);
}

TEST_F(LocalAddrs, LocalHostNamesAndDottedAddresses) {
    yqtest::write_hosts(
        "127.0.0.1 localhost\n"
        "127.0.0.5 loopy\n"
        "192.0.2.200 faraway\n");
    // A dotted address is judged without asking the resolver.
    EXPECT_NE(isLocalHost("127.0.0.1"), 0);
    EXPECT_EQ(isLocalHost("192.0.2.200"), 0);
    EXPECT_EQ(g_name_calls, 0);

    EXPECT_NE(isLocalHost("loopy"), 0);
    EXPECT_EQ(isLocalHost("faraway"), 0);
    EXPECT_EQ(isLocalHost("nowhere.invalid"), 0);
    EXPECT_EQ(isLocalHost(nullptr), 0);
    EXPECT_TRUE(g_sleeps.empty());

    struct in_addr list[] = {addr("192.0.2.200")};
    EXPECT_EQ(is_local_host(list, 1, "faraway"), 1);
    EXPECT_EQ(is_local_host(nullptr, 0, "faraway"), 0);
    EXPECT_EQ(is_local_host(nullptr, 0, "loopy"), 1);
    EXPECT_EQ(is_local_host(list, 1, "127.0.0.1"), 1);  // falls back to the name test
    EXPECT_EQ(is_local_host(list, 1, "nowhere.invalid"), 0);
}

// ---- sources, seen from hosts with networks of their own -----------------

class LocalAddrsHost : public LocalAddrs {
protected:
    void SetUp() override {
        LocalAddrs::SetUp();
        std::string why = yqtest::netns_unavailable();
        if (!why.empty()) GTEST_SKIP() << why;
        blank_ = yqtest::scratch_dir() + "/blank";
        yqtest::write_file(blank_, "", 0644);
    }

    // In a host with private mounts: covers every netstat program with a
    // non-executable file, then puts `script` (when given) at the first path
    // that exists. "" when done, else what failed.
    std::string arrange_netstat(const std::string &script) const {
        std::string fake = yqtest::scratch_dir() + "/fake-netstat";
        if (!script.empty()) yqtest::write_file(fake, script, 0755);
        bool placed = script.empty();
        for (const char *path : kNetstatPaths) {
            struct stat st{};
            if (::stat(path, &st) != 0) continue;
            const std::string &source = placed ? blank_ : fake;
            if (::mount(source.c_str(), path, nullptr, MS_BIND, nullptr) != 0)
                return std::string("mount over ") + path + ": " + std::strerror(errno);
            placed = true;
        }
        return placed ? "" : "no netstat path to stand in for";
    }

    static std::string capture_gathering() {
        char *buffer = nullptr;
        size_t size = 0;
        FILE *stream = open_memstream(&buffer, &size);
        local_addrs_debug_stream = stream;
        std::string result = gather();
        local_addrs_debug_stream = nullptr;
        std::fclose(stream);
        std::string text = result + "\n" + std::string(buffer, size);
        std::free(buffer);
        return text;
    }

    std::string blank_;
};

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

TEST_F(LocalAddrsHost, WithoutInterfacesOrNetstatTheListIsLoopback) {
    yqtest::write_hosts("127.0.0.1 localhost\n");
    yqtest::TestHost host(
        "lonely",
        [this] {
            std::string failed = arrange_netstat("");
            if (!failed.empty()) return failed;
            yq::local_addrs::reset_cache();
            return capture_gathering();
        },
        true);
    ASSERT_TRUE(host.started()) << host.error();
    std::string text = host.finish();
    EXPECT_EQ(text.substr(0, text.find('\n')), "0:127.0.0.1") << text;
    EXPECT_NE(text.find(": SIOCGIFCONF total = 0 0x00000000"), std::string::npos) << text;
    EXPECT_EQ(text.find("netstat"), std::string::npos) << text;
}

TEST_F(LocalAddrsHost, NetstatFillsInWhenTheInterfaceTableIsEmpty) {
    yqtest::write_hosts("127.0.0.1 localhost\n192.0.2.9 solo\n");
    yqtest::TestHost host(
        "solo",
        [this] {
            std::string failed = arrange_netstat(kFakeNetstat);
            if (!failed.empty()) return failed;
            yq::local_addrs::reset_cache();
            // The program's own SIGCHLD action survives the pipe.
            struct sigaction mine{};
            mine.sa_handler = [](int) {};
            mine.sa_flags = SA_NOCLDSTOP;
            sigemptyset(&mine.sa_mask);
            ::sigaction(SIGCHLD, &mine, nullptr);
            std::string text = capture_gathering();
            struct sigaction after{};
            ::sigaction(SIGCHLD, nullptr, &after);
            bool kept = after.sa_handler == mine.sa_handler && (after.sa_flags & SA_NOCLDSTOP) != 0;
            return text + (kept ? "sigchld kept\n" : "sigchld changed\n");
        },
        true);
    ASSERT_TRUE(host.started()) << host.error();
    std::string text = host.finish();
    // Host name first, then loopback, then what netstat adds; each once.
    EXPECT_EQ(text.substr(0, text.find('\n')), "0:192.0.2.9,127.0.0.1,192.0.2.10") << text;
    EXPECT_NE(text.find(": netstat command = /"), std::string::npos) << text;
    EXPECT_NE(text.find(" -i -n 2> /dev/null\n"), std::string::npos) << text;
    EXPECT_NE(text.find(": netstat total = 4 0x00000004\n"), std::string::npos) << text;
    EXPECT_NE(text.find(": got local address *count = 3 0x00000003\n"), std::string::npos);
    EXPECT_NE(text.find("sigchld kept"), std::string::npos);
}

TEST_F(LocalAddrsHost, InterfacesAreListedOnceAndLaterOnesPassOnlyTheBindTest) {
    yqtest::write_hosts("127.0.0.1 localhost\n192.0.2.20 multi\n");
    yqtest::TestHost host(
        "multi",
        [this] {
            // netstat would add 192.0.2.99: it must not be asked.
            std::string failed = arrange_netstat(
                "#!/bin/sh\necho 'net0 1500 192.0.2.0 192.0.2.99 1 0 1 0 0 0'\n");
            if (!failed.empty()) return failed;
            yq::local_addrs::reset_cache();
            yq::sys::table.gethostbyname = counting_gethostbyname;
            g_name_calls = 0;
            std::string text = capture_gathering();
            text += "calls " + std::to_string(g_name_calls) + "\n";
            if (std::system("ip addr add 192.0.2.30/24 dev v0") != 0) return text + "ip failed";
            g_name_calls = 0;
            text += gather() + "\n";
            text += "calls " + std::to_string(g_name_calls) + "\n";
            struct in_addr *list = nullptr;
            int count = 0;
            get_local_addrs(&list, &count);
            struct in_addr later = addr("192.0.2.30");
            struct in_addr foreign = addr("192.0.2.77");
            text += "later " + std::to_string(is_local_addr(list, count, &later)) + "\n";
            text += "foreign " + std::to_string(is_local_addr(list, count, &foreign)) + "\n";
            std::free(list);
            return text;
        },
        true);
    ASSERT_TRUE(host.started()) << host.error();
    ASSERT_TRUE(host.sh("ip link set lo up && ip link add v0 type veth peer name v1 && "
                        "ip addr add 192.0.2.20/24 dev v0 && ip addr add 192.0.2.21/24 dev v1 && "
                        "ip link set v0 up && ip link set v1 up"));
    std::string text = host.finish();
    std::istringstream lines(text);
    std::string first;
    std::getline(lines, first);
    EXPECT_EQ(first, "0:192.0.2.20,127.0.0.1,192.0.2.21") << text;
    EXPECT_NE(text.find(": SIOCGIFCONF total = 3 0x00000003\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("netstat"), std::string::npos) << text;
    EXPECT_NE(text.find("calls 1\n0:192.0.2.20,127.0.0.1,192.0.2.21\ncalls 0\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("later 1\nforeign 0\n"), std::string::npos) << text;
}

}  // namespace
