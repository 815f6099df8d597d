// Host cache and host comparison: caching proven by changing /etc/hosts
// between calls, the failed-name cache, eviction, the TRY_AGAIN retry rule
// through the resolver seam, alias completion, every same-host rule, deep
// copies under allocation failures, and the address/mask and network tests.
#include <arpa/inet.h>
#include <netdb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "local_addrs_private.h"
#include "ynet.h"
#include "ynet_hosts_private.h"
#include "yqtest.h"
#include "yqtest_resolv.h"

namespace {

using yq::ynet_hosts::same_host;

constexpr in_addr_t kAllOnes = 0xFFFFFFFFu;

in_addr_t ip(const char *dotted) { return inet_addr(dotted); }

std::string dotted(const char *bytes) {
    struct in_addr a{};
    std::memcpy(&a, bytes, 4);
    return inet_ntoa(a);
}

// A host entry built by the test: owns its strings and lists.
class Entry {
public:
    Entry(const char *name, std::vector<std::string> aliases, std::vector<std::string> addresses,
          int length = 4)
        : name_(name != nullptr ? name : ""), aliases_(std::move(aliases)) {
        for (const auto &a : addresses) {
            in_addr_t value = ip(a.c_str());
            bytes_.emplace_back(reinterpret_cast<const char *>(&value), 4);
        }
        for (auto &a : aliases_) alias_ptrs_.push_back(a.data());
        alias_ptrs_.push_back(nullptr);
        for (auto &b : bytes_) addr_ptrs_.push_back(b.data());
        addr_ptrs_.push_back(nullptr);
        entry_.h_name = name != nullptr ? name_.data() : nullptr;
        entry_.h_aliases = alias_ptrs_.data();
        entry_.h_addrtype = AF_INET;
        entry_.h_length = length;
        entry_.h_addr_list = addr_ptrs_.data();
    }
    struct hostent *get() { return &entry_; }
    struct hostent *operator->() { return &entry_; }

private:
    std::string name_;
    std::vector<std::string> aliases_;
    std::vector<std::string> bytes_;
    std::vector<char *> alias_ptrs_;
    std::vector<char *> addr_ptrs_;
    struct hostent entry_{};
};

// ---- seams: counted resolver calls, scripted failures, sleeps, clock ------

int g_name_calls = 0;
int g_addr_calls = 0;
std::vector<int> g_script;  // h_errno values answered before the real resolver
size_t g_step = 0;
std::vector<unsigned> g_sleeps;
time_t g_now = 1000;

struct hostent *seam_gethostbyname(const char *name) {
    ++g_name_calls;
    if (g_step < g_script.size()) {
        h_errno = g_script[g_step++];
        return nullptr;
    }
    return ::gethostbyname(name);
}
struct hostent *seam_gethostbyaddr(const void *address, socklen_t length, int type) {
    ++g_addr_calls;
    if (g_step < g_script.size()) {
        h_errno = g_script[g_step++];
        return nullptr;
    }
    return ::gethostbyaddr(address, length, type);
}
unsigned fake_sleep(unsigned seconds) {
    g_sleeps.push_back(seconds);
    return 0;
}
time_t fake_time(time_t *t) {
    if (t != nullptr) *t = g_now;
    return g_now;
}

constexpr const char *kHosts =
    "127.0.0.1 localhost\n"
    "192.0.2.1 alpha.test.example alpha\n"
    "192.0.2.2 beta.test.example beta\n"
    "192.0.2.3 gamma.test.example gamma\n"
    "192.0.2.4 delta.test.example delta\n"
    "127.0.0.2 loop-a\n"
    "127.0.0.3 loop-b\n";

class Hosts : public ::testing::Test {
protected:
    void SetUp() override {
        yq::ynet_hosts::reset_state();
        yqtest::write_hosts(kHosts);
        g_name_calls = g_addr_calls = 0;
        g_script.clear();
        g_step = 0;
        g_sleeps.clear();
        g_now = 1000;
        yq::sys::table.gethostbyname = seam_gethostbyname;
        yq::sys::table.gethostbyaddr = seam_gethostbyaddr;
        yq::sys::table.sleep = fake_sleep;
        yq::sys::table.time = fake_time;
    }
    void TearDown() override {
        yq::sys::reset();
        yq::ynet_hosts::reset_state();
        ynet_debug_stream = nullptr;
    }

    // Status and first address of a cached lookup by name ("" when none).
    static std::pair<int, std::string> by_name(const char *name) {
        struct hostent *entry = nullptr;
        int status = ynet_cached_gethostbyname(name, &entry);
        std::string first;
        if (entry != nullptr && entry->h_addr_list[0] != nullptr)
            first = dotted(entry->h_addr_list[0]);
        if (status != 0) {
            EXPECT_EQ(entry, nullptr);
        }
        ynet_free_hostent(&entry);
        return {status, first};
    }

    yqtest::SysGuard guard;
};

using Answer = std::pair<int, std::string>;

// ---- caching --------------------------------------------------------------

TEST_F(Hosts, CachedAnswerSurvivesAChangedHostsFileUntilItExpires) {
    struct hostent *entry = nullptr;
    ASSERT_EQ(ynet_cached_gethostbyname("alpha", &entry), 0);
    EXPECT_STREQ(entry->h_name, "alpha.test.example");
    ASSERT_NE(entry->h_aliases[0], nullptr);
    EXPECT_STREQ(entry->h_aliases[0], "alpha");
    EXPECT_EQ(dotted(entry->h_addr_list[0]), "192.0.2.1");
    ynet_free_hostent(&entry);
    EXPECT_EQ(g_name_calls, 1);

    yqtest::write_hosts("192.0.2.99 alpha.test.example alpha\n");
    EXPECT_EQ(by_name("alpha"), Answer(0, "192.0.2.1"));
    EXPECT_EQ(by_name("ALPHA.Test.Example"), Answer(0, "192.0.2.1"));  // canonical, any case
    in_addr_t old = ip("192.0.2.1");
    ASSERT_EQ(ynet_cached_gethostbyaddr(&old, &entry), 0);  // found by its address
    EXPECT_STREQ(entry->h_name, "alpha.test.example");
    ynet_free_hostent(&entry);
    EXPECT_EQ(g_name_calls, 1);
    EXPECT_EQ(g_addr_calls, 0);

    // Kept for exactly a day from the add, however often it is used.
    g_now = 1000 + 86400;
    EXPECT_EQ(by_name("alpha"), Answer(0, "192.0.2.1"));
    g_now = 1000 + 86401;
    EXPECT_EQ(by_name("alpha"), Answer(0, "192.0.2.99"));
    EXPECT_EQ(g_name_calls, 2);
}

TEST_F(Hosts, FailedNameIsRefusedWithoutAskingAgain) {
    EXPECT_EQ(by_name("ghost"), Answer(6, ""));
    EXPECT_EQ(g_name_calls, 1);
    yqtest::write_hosts(std::string(kHosts) + "192.0.2.66 ghost\n");
    EXPECT_EQ(by_name("ghost"), Answer(5, ""));
    EXPECT_EQ(by_name("GHOST"), Answer(5, ""));
    EXPECT_EQ(g_name_calls, 1);
    g_now += 86401;
    EXPECT_EQ(by_name("ghost"), Answer(0, "192.0.2.66"));
    EXPECT_EQ(g_name_calls, 2);
}

TEST_F(Hosts, FailedNameCacheKeepsTheFiveMostRecentFailures) {
    const char *ghosts[] = {"g1", "g2", "g3", "g4", "g5", "g6"};
    for (const char *g : ghosts) {
        ++g_now;
        EXPECT_EQ(by_name(g), Answer(6, "")) << g;
    }
    yqtest::write_hosts(std::string(kHosts) + "192.0.2.61 g1\n192.0.2.62 g2\n");
    g_name_calls = 0;
    ++g_now;
    EXPECT_EQ(by_name("g1"), Answer(0, "192.0.2.61"));  // pushed out by g6
    EXPECT_EQ(by_name("g2"), Answer(5, ""));
    EXPECT_EQ(g_name_calls, 1);
}

TEST_F(Hosts, FourthNameEvictsTheLeastRecentlyReturnedOne) {
    g_now = 100;
    EXPECT_EQ(by_name("alpha"), Answer(0, "192.0.2.1"));
    g_now = 101;
    EXPECT_EQ(by_name("beta"), Answer(0, "192.0.2.2"));
    g_now = 102;
    EXPECT_EQ(by_name("gamma"), Answer(0, "192.0.2.3"));
    g_now = 103;
    EXPECT_EQ(by_name("alpha"), Answer(0, "192.0.2.1"));  // alpha is now the freshest
    g_now = 104;
    EXPECT_EQ(by_name("delta"), Answer(0, "192.0.2.4"));  // replaces beta
    EXPECT_EQ(g_name_calls, 4);

    yqtest::write_hosts(
        "192.0.2.11 alpha.test.example alpha\n192.0.2.12 beta.test.example beta\n"
        "192.0.2.13 gamma.test.example gamma\n192.0.2.14 delta.test.example delta\n");
    g_now = 105;
    EXPECT_EQ(by_name("alpha"), Answer(0, "192.0.2.1"));
    EXPECT_EQ(by_name("gamma"), Answer(0, "192.0.2.3"));
    EXPECT_EQ(by_name("delta"), Answer(0, "192.0.2.4"));
    EXPECT_EQ(g_name_calls, 4);
    EXPECT_EQ(by_name("beta"), Answer(0, "192.0.2.12"));
    EXPECT_EQ(g_name_calls, 5);
}

TEST_F(Hosts, TryAgainIsRetriedThreeTimesWithASleepAfterEach) {
    g_script = {TRY_AGAIN, TRY_AGAIN, TRY_AGAIN};
    EXPECT_EQ(by_name("alpha"), Answer(6, ""));
    EXPECT_EQ(g_name_calls, 3);
    EXPECT_EQ(g_sleeps, (std::vector<unsigned>{1, 1, 1}));
    EXPECT_EQ(by_name("alpha"), Answer(5, ""));  // remembered as failed
    EXPECT_EQ(g_name_calls, 3);

    g_script = {TRY_AGAIN};
    g_step = 0;
    g_sleeps.clear();
    EXPECT_EQ(by_name("beta"), Answer(0, "192.0.2.2"));
    EXPECT_EQ(g_name_calls, 5);
    EXPECT_EQ(g_sleeps, (std::vector<unsigned>{1}));

    g_script = {HOST_NOT_FOUND};
    g_step = 0;
    g_sleeps.clear();
    EXPECT_EQ(by_name("gamma"), Answer(6, ""));
    EXPECT_EQ(g_name_calls, 6);
    EXPECT_TRUE(g_sleeps.empty());
}

TEST_F(Hosts, UnresolvableAddressIsAskedAgainEveryTime) {
    in_addr_t unknown = ip("192.0.2.250");
    struct hostent *entry = nullptr;
    g_script = {TRY_AGAIN, TRY_AGAIN, TRY_AGAIN};
    EXPECT_EQ(ynet_cached_gethostbyaddr(&unknown, &entry), 6);
    EXPECT_EQ(g_addr_calls, 3);
    EXPECT_EQ(g_sleeps, (std::vector<unsigned>{1, 1, 1}));
    EXPECT_EQ(ynet_cached_gethostbyaddr(&unknown, &entry), 6);
    EXPECT_EQ(g_addr_calls, 4);
    EXPECT_EQ(entry, nullptr);

    in_addr_t beta = ip("192.0.2.2");
    ASSERT_EQ(ynet_cached_gethostbyaddr(&beta, &entry), 0);
    EXPECT_STREQ(entry->h_name, "beta.test.example");
    ynet_free_hostent(&entry);
    ASSERT_EQ(ynet_cached_gethostbyname("beta", &entry), 0);  // the same cached answer
    ynet_free_hostent(&entry);
    EXPECT_EQ(g_addr_calls, 5);
    EXPECT_EQ(g_name_calls, 0);
}

TEST_F(Hosts, FailuresAreReportedWithTheirStatus) {
    char *buffer = nullptr;
    size_t size = 0;
    FILE *stream = open_memstream(&buffer, &size);
    ynet_debug_stream = stream;
    EXPECT_EQ(by_name("ghost"), Answer(6, ""));
    EXPECT_EQ(by_name("ghost"), Answer(5, ""));
    EXPECT_EQ(ynet_cached_gethostbyname("alpha", nullptr), 2);
    ynet_debug_stream = nullptr;
    std::fclose(stream);
    std::string text(buffer, size);
    std::free(buffer);
    EXPECT_NE(text.find("ynet_hosts."), std::string::npos) << text;
    EXPECT_NE(text.find(": Function failed: 6 0x00000006\n"), std::string::npos) << text;
    EXPECT_NE(text.find(": Function failed: 5 0x00000005\n"), std::string::npos) << text;
    EXPECT_NE(text.find(": Function failed: 2 0x00000002\n"), std::string::npos) << text;
}

// ---- alias completion -----------------------------------------------------

TEST_F(Hosts, ShortNameBecomesTheAliasWhenItIsTheSameHost) {
    yqtest::write_hosts(
        "192.0.2.6 box.test.example\n192.0.2.6 box\n"
        "192.0.2.7 lone.test.example\n192.0.2.8 lone\n");
    struct hostent *entry = nullptr;
    ASSERT_EQ(ynet_cached_gethostbyname("box.test.example", &entry), 0);
    ASSERT_NE(entry->h_aliases, nullptr);
    ASSERT_NE(entry->h_aliases[0], nullptr);
    EXPECT_STREQ(entry->h_aliases[0], "box");
    EXPECT_EQ(entry->h_aliases[1], nullptr);
    ynet_free_hostent(&entry);
    EXPECT_EQ(g_name_calls, 2);  // the entry, then its short name once
    EXPECT_EQ(by_name("BOX"), Answer(0, "192.0.2.6"));  // served as the alias
    EXPECT_EQ(g_name_calls, 2);

    // A short name that is another machine is not an alias.
    ASSERT_EQ(ynet_cached_gethostbyname("lone.test.example", &entry), 0);
    EXPECT_TRUE(entry->h_aliases == nullptr || entry->h_aliases[0] == nullptr);
    ynet_free_hostent(&entry);
}

TEST_F(Hosts, AliasCompletionRules) {
    using yq::ynet_hosts::check_for_aix_kludge;
    auto completed = [](const char *name, struct hostent *source) {
        struct hostent *copy = nullptr;
        EXPECT_EQ(ynet_copy_hostent(source, &copy), 0);
        int status = check_for_aix_kludge(name, copy);
        std::string aliases = std::to_string(status) + ":";
        for (char **a = copy->h_aliases; a != nullptr && *a != nullptr; ++a) aliases += *a + std::string(";");
        if (copy->h_aliases == nullptr) aliases += "(none)";
        ynet_free_hostent(&copy);
        return aliases;
    };
    Entry plain("canon.test.example", {}, {"192.0.2.5"});
    // Looked up by another name: that name, whatever the resolver knows.
    EXPECT_EQ(completed("nick", plain.get()), "0:nick;");
    EXPECT_EQ(g_name_calls, 0);
    Entry listed("canon.test.example", {"old"}, {"192.0.2.5"});
    EXPECT_EQ(completed("nick", listed.get()), "0:old;");  // an alias list stays as it is
    // By its canonical name or by address: the short name, if it is this host.
    yqtest::write_hosts("192.0.2.5 canon\n");
    EXPECT_EQ(completed("CANON.test.example", plain.get()), "0:canon;");
    EXPECT_EQ(completed(nullptr, plain.get()), "0:canon;");
    yqtest::write_hosts("192.0.2.9 canon\n");
    EXPECT_EQ(completed(nullptr, plain.get()), "0:");
    Entry dotless("canon", {}, {"192.0.2.5"});
    g_name_calls = 0;
    EXPECT_EQ(completed(nullptr, dotless.get()), "0:");
    EXPECT_EQ(g_name_calls, 0);
    // Two addresses of this machine are one host: the short name is kept.
    yqtest::write_hosts("127.0.0.4 here\n");
    Entry here("here.test.example", {}, {"127.0.0.5"});
    EXPECT_EQ(completed(nullptr, here.get()), "0:here;");
    // Without an alias list at all, one is made.
    Entry none("canon.test.example", {}, {"192.0.2.5"});
    none->h_aliases = nullptr;
    EXPECT_EQ(completed("nick", none.get()), "0:nick;");
    Entry nameless(nullptr, {}, {"192.0.2.5"});
    EXPECT_EQ(completed("nick", nameless.get()), "0:");
}

TEST_F(Hosts, ExhaustedMemoryDuringCompletionReleasesEverything) {
    yqtest::write_hosts("192.0.2.6 box.test.example\n192.0.2.6 box\n");
    bool saw_failure = false;
    long points = yqtest::for_each_alloc_failure([&] {
        yq::ynet_hosts::reset_state();
        struct hostent *entry = nullptr;
        int status = ynet_cached_gethostbyname("box.test.example", &entry);
        if (status == 0) {
            ASSERT_NE(entry, nullptr);
        } else {
            EXPECT_EQ(status, 8);
            EXPECT_EQ(entry, nullptr);
            saw_failure = true;
        }
        ynet_free_hostent(&entry);
    });
    EXPECT_GE(points, 10);
    EXPECT_TRUE(saw_failure);
}

// ---- same host ------------------------------------------------------------

TEST_F(Hosts, SameHostRules) {
    Entry a("a.example", {"a", "shared"}, {"192.0.2.1", "192.0.2.11"});
    Entry a_upper("A.EXAMPLE", {}, {"192.0.2.99"});
    Entry b_alias_a("b.example", {"A.example"}, {"192.0.2.2"});
    Entry b_named_alias("a", {}, {"192.0.2.2"});
    Entry b_shared("b.example", {"SHARED"}, {"192.0.2.2"});
    Entry b_address("b.example", {}, {"192.0.2.50", "192.0.2.11"});
    Entry b_other("b.example", {"b"}, {"192.0.2.2"});
    EXPECT_EQ(same_host(a.get(), a_upper.get(), 0), 1);        // canonical names
    EXPECT_EQ(same_host(a.get(), b_alias_a.get(), 0), 1);      // a's name among b's aliases
    EXPECT_EQ(same_host(a.get(), b_named_alias.get(), 0), 1);  // b's name among a's aliases
    EXPECT_EQ(same_host(a.get(), b_shared.get(), 0), 1);       // a common alias
    EXPECT_EQ(same_host(a.get(), b_address.get(), 0), 1);      // a common address
    EXPECT_EQ(same_host(b_address.get(), a.get(), 0), 1);
    EXPECT_EQ(same_host(a.get(), b_other.get(), 1), 0);
    EXPECT_EQ(same_host(a.get(), nullptr, 1), 0);

    // Addresses are compared only between entries of one address length.
    Entry short_len("c.example", {}, {"192.0.2.1"}, 2);
    EXPECT_EQ(same_host(a.get(), short_len.get(), 0), 0);
    Entry no_addresses("d.example", {}, {});
    EXPECT_EQ(same_host(no_addresses.get(), a.get(), 1), 0);
    Entry null_list("e.example", {}, {"192.0.2.1"});
    null_list->h_addr_list = nullptr;
    null_list->h_aliases = nullptr;
    EXPECT_EQ(same_host(a.get(), null_list.get(), 1), 0);

    // Two addresses of this machine make one host only when local ones count.
    Entry here1("here-1", {}, {"127.0.0.2"});
    Entry here2("here-2", {}, {"192.0.2.77", "127.0.0.3"});
    Entry there("there", {}, {"192.0.2.78"});
    EXPECT_EQ(same_host(here1.get(), here2.get(), 1), 1);
    EXPECT_EQ(same_host(here2.get(), here1.get(), 1), 1);
    EXPECT_EQ(same_host(here1.get(), here2.get(), 0), 0);
    EXPECT_EQ(same_host(here1.get(), there.get(), 1), 0);
    EXPECT_EQ(same_host(there.get(), here1.get(), 1), 0);
}

TEST_F(Hosts, SameHostByNameAndAddress) {
    // Names equal but for case: no lookup at all.
    EXPECT_EQ(ynet_same_hostbyname("Unknown.Example", "unknown.example"), 1);
    EXPECT_EQ(g_name_calls, 0);
    EXPECT_EQ(ynet_same_hostbyname("alpha", "alpha.test.example"), 1);
    EXPECT_EQ(ynet_same_hostbyname("alpha", "beta"), 0);
    EXPECT_EQ(ynet_same_hostbyname("alpha", "ghost"), 0);
    EXPECT_EQ(ynet_same_hostbyname("ghost", "alpha"), 0);
    EXPECT_EQ(ynet_same_hostbyname(nullptr, "alpha"), 0);
    // Two names for addresses of this machine.
    EXPECT_EQ(ynet_same_hostbyname("loop-a", "loop-b"), 1);
    EXPECT_EQ(ynet_same_hostbyname_local("loop-a", "loop-b", 1), 1);
    EXPECT_EQ(ynet_same_hostbyname_local("loop-a", "loop-b", 0), 0);

    in_addr_t alpha = ip("192.0.2.1");
    in_addr_t beta = ip("192.0.2.2");
    in_addr_t loop_a = ip("127.0.0.2");
    in_addr_t loop_b = ip("127.0.0.3");
    in_addr_t unknown = ip("192.0.2.250");
    g_addr_calls = 0;
    EXPECT_EQ(ynet_same_hostbyaddr(&unknown, &unknown), 1);
    EXPECT_EQ(g_addr_calls, 0);
    EXPECT_EQ(ynet_same_hostbyaddr(&alpha, &beta), 0);
    EXPECT_EQ(ynet_same_hostbyaddr(&alpha, &unknown), 0);
    EXPECT_EQ(ynet_same_hostbyaddr(&loop_a, &loop_b), 1);
    EXPECT_EQ(ynet_same_hostbyaddr_local(&loop_a, &loop_b, 0), 0);

    EXPECT_EQ(ynet_same_hostbynameaddr("alpha", &alpha), 1);
    EXPECT_EQ(ynet_same_hostbynameaddr("ALPHA", &alpha), 1);
    EXPECT_EQ(ynet_same_hostbynameaddr("beta", &alpha), 0);
    EXPECT_EQ(ynet_same_hostbynameaddr("loop-a", &loop_b), 1);
    EXPECT_EQ(ynet_same_hostbynameaddr_local("loop-a", &loop_b, 0), 0);
    EXPECT_EQ(ynet_same_hostbynameaddr("alpha", &unknown), 0);
    EXPECT_EQ(ynet_same_hostbynameaddr("alpha", nullptr), 0);
}

// ---- deep copies ----------------------------------------------------------

TEST_F(Hosts, CopiesAreDeepAndReleaseEverything) {
    Entry source("a.example", {"a", "b"}, {"192.0.2.1", "192.0.2.2"});
    struct hostent *copy = nullptr;
    ASSERT_EQ(ynet_copy_hostent(source.get(), &copy), 0);
    EXPECT_NE(copy->h_name, source->h_name);
    EXPECT_STREQ(copy->h_name, "a.example");
    EXPECT_NE(copy->h_aliases, source->h_aliases);
    EXPECT_NE(copy->h_aliases[0], source->h_aliases[0]);
    EXPECT_STREQ(copy->h_aliases[1], "b");
    EXPECT_EQ(copy->h_aliases[2], nullptr);
    EXPECT_NE(copy->h_addr_list[0], source->h_addr_list[0]);
    EXPECT_EQ(dotted(copy->h_addr_list[1]), "192.0.2.2");
    EXPECT_EQ(copy->h_addr_list[2], nullptr);
    EXPECT_EQ(copy->h_addrtype, AF_INET);
    EXPECT_EQ(copy->h_length, 4);
    ynet_free_hostent(&copy);
    EXPECT_EQ(copy, nullptr);
    ynet_free_hostent(&copy);
    ynet_free_hostent(nullptr);

    EXPECT_EQ(ynet_copy_hostent(nullptr, &copy), 2);
    EXPECT_EQ(ynet_copy_hostent(source.get(), nullptr), 2);
    Entry sparse(nullptr, {}, {});
    sparse->h_aliases = nullptr;
    ASSERT_EQ(ynet_copy_hostent(sparse.get(), &copy), 0);
    EXPECT_EQ(copy->h_name, nullptr);
    EXPECT_EQ(copy->h_aliases, nullptr);
    ASSERT_NE(copy->h_addr_list, nullptr);
    EXPECT_EQ(copy->h_addr_list[0], nullptr);
    ynet_free_hostent(&copy);
}

TEST_F(Hosts, ExhaustedMemoryGivesStatus8AndNoPartialCopy) {
    Entry source("a.example", {"a", "b"}, {"192.0.2.1", "192.0.2.2"});
    long points = yqtest::for_each_alloc_failure([&] {
        struct hostent sentinel{};
        struct hostent *copy = &sentinel;
        int status = ynet_copy_hostent(source.get(), &copy);
        if (status != 0) {
            EXPECT_EQ(status, 8);
            EXPECT_EQ(copy, nullptr);
        }
        ynet_free_hostent(&copy);
    });
    EXPECT_GE(points, 8);  // record, name, list and each alias, list and each address

    // Every step of a cached lookup, a failing one included.
    for (const char *name : {"alpha", "ghost"}) {
        points = yqtest::for_each_alloc_failure([&] {
            yq::ynet_hosts::reset_state();
            struct hostent *entry = nullptr;
            int status = ynet_cached_gethostbyname(name, &entry);
            if (status == 8) {
                EXPECT_EQ(entry, nullptr);
            } else {
                EXPECT_EQ(status, std::string(name) == "alpha" ? 0 : 6) << name;
            }
            ynet_free_hostent(&entry);
        });
        EXPECT_GE(points, 3) << name;
    }
}

// ---- address texts --------------------------------------------------------

TEST_F(Hosts, InetAddrAcceptsAllOnesOnlyWhenTheTextMeansIt) {
    struct Row {
        const char *text;
        int status;
        const char *value;  // dotted, when status is 0
    };
    const Row rows[] = {
        {"192.0.2.1", 0, "192.0.2.1"},
        {"255.255.255.255", 0, "255.255.255.255"},
        {"0xff.0377.255.+255", 0, "255.255.255.255"},
        {"0xffffffff", 0, "255.255.255.255"},
        {"4294967295", 0, "255.255.255.255"},
        {"-1", 0, "255.255.255.255"},
        {"0x7f.1", 0, "127.0.0.1"},
        {"host.example", 3, nullptr},
        {"", 3, nullptr},
        {"255.255.255.256", 3, nullptr},
        {"255.255.255.255.255", 3, nullptr},
        {"255.255.255.255 ", 3, nullptr},
        {"255.255.255", 0, "255.255.0.255"},  // three parts: the last fills 16 bits
        {"99999999999999999999", 3, nullptr},
        {"0xffffffffff", 0, "255.255.255.255"},  // taken as a 32-bit quantity
        {nullptr, 3, nullptr},
    };
    for (const Row &row : rows) {
        in_addr_t out = 12345;
        EXPECT_EQ(ynet_inet_addr(row.text, &out), row.status) << (row.text ? row.text : "null");
        if (row.status == 0) {
            struct in_addr a{};
            a.s_addr = out;
            EXPECT_STREQ(inet_ntoa(a), row.value) << row.text;
        } else {
            EXPECT_EQ(out, 12345u) << (row.text ? row.text : "null");
        }
    }
    EXPECT_EQ(ynet_inet_addr("1.2.3.4", nullptr), 2);
}

TEST_F(Hosts, AddressMaskNotations) {
    struct Row {
        std::string text;
        int status;
        const char *address;
        const char *mask;
    };
    const std::string longest(100000, '1');
    const Row rows[] = {
        {"192.0.2.7/16", 0, "192.0.2.7", "255.255.0.0"},
        {"192.0.2.7:255.255.0.0", 0, "192.0.2.7", "255.255.0.0"},
        {"192.0.2.7/0", 0, "192.0.2.7", "0.0.0.0"},
        {"192.0.2.7/32", 0, "192.0.2.7", "255.255.255.255"},
        {"192.0.2.7/0x18", 0, "192.0.2.7", "255.255.255.0"},
        {"192.0.2.7/ 26", 0, "192.0.2.7", "255.255.255.192"},
        {"192.0.2.7", 0, "192.0.2.7", "255.255.255.255"},
        {"192.0.2.7:0.255.0.255", 0, "192.0.2.7", "0.255.0.255"},  // any mask is taken
        {std::string("1.2.3.4\0/33", 11), 0, "1.2.3.4", "255.255.255.255"},  // ends at the NUL
        // Malformed: status 3, the address left all ones.
        {"", 3, "255.255.255.255", "255.255.255.255"},
        {"/", 3, "255.255.255.255", "255.255.255.255"},
        {"/24", 3, "255.255.255.255", "255.255.255.0"},
        {"1.2.3.4/", 3, "255.255.255.255", "255.255.255.255"},
        {"1.2.3.4/33", 3, "255.255.255.255", "255.255.255.255"},
        {"1.2.3.4/-1", 3, "255.255.255.255", "255.255.255.255"},
        {"1.2.3.4/16x", 3, "255.255.255.255", "255.255.255.255"},
        {"1.2.3.4/24/8", 3, "255.255.255.255", "255.255.255.255"},
        {"1.2.3.4:", 3, "255.255.255.255", "255.255.255.255"},
        {"1.2.3.4:255.255.0.0/8", 3, "255.255.255.255", "255.0.0.0"},
        {":255.0.0.0", 3, "255.255.255.255", "255.0.0.0"},
        {"a.b.c.d", 3, "255.255.255.255", "255.255.255.255"},
        {"a.b.c.d/8", 3, "255.255.255.255", "255.0.0.0"},
        {longest, 3, "255.255.255.255", "255.255.255.255"},
        {longest + "/8", 3, "255.255.255.255", "255.0.0.0"},
    };
    for (const Row &row : rows) {
        in_addr_t address = 1;
        in_addr_t mask = 2;
        std::string shown = row.text.size() > 40 ? row.text.substr(0, 40) + "..." : row.text;
        EXPECT_EQ(ynet_inet_addrmask(row.text.c_str(), &address, &mask), row.status) << shown;
        EXPECT_EQ(address, ip(row.address)) << shown;
        EXPECT_EQ(mask, ip(row.mask)) << shown;
    }
}

TEST_F(Hosts, AddressMaskReportsUnderTheNegotiationModule) {
    char *buffer = nullptr;
    size_t size = 0;
    FILE *stream = open_memstream(&buffer, &size);
    ynet_debug_stream = stream;
    in_addr_t address = 0;
    in_addr_t mask = 0;
    EXPECT_EQ(ynet_inet_addrmask(nullptr, &address, &mask), 22);
    EXPECT_EQ(address, kAllOnes);
    EXPECT_EQ(mask, kAllOnes);
    EXPECT_EQ(ynet_inet_addrmask("1.2.3.4/40", &address, &mask), 3);
    int status = 0;
    {
        yqtest::AllocFailer fail(1);
        status = ynet_inet_addrmask("1.2.3.4/8", &address, &mask);
    }
    EXPECT_EQ(status, 8);
    ynet_debug_stream = nullptr;
    std::fclose(stream);
    std::string text(buffer, size);
    std::free(buffer);
    EXPECT_NE(text.find("ynet_yqss."), std::string::npos) << text;
    EXPECT_NE(text.find(": status: 22 0x00000016\n"), std::string::npos) << text;
    EXPECT_NE(text.find(": status: 3 0x00000003\n"), std::string::npos) << text;
    EXPECT_NE(text.find(": status: 8 0x00000008\n"), std::string::npos) << text;
}

// ---- network membership ---------------------------------------------------

TEST_F(Hosts, InNetworkByNetworkHostAndDomain) {
    yqtest::write_hosts(std::string(kHosts) +
                        "192.0.2.40 test.example\n"
                        "192.0.2.41 node41.elsewhere.example node41.alias.example\n");
    auto inside = [](const char *peer, const char *pattern) {
        in_addr_t address = ip(peer);
        int result = -1;
        int status = ynet_in_network(&address, pattern, &result);
        return status != 0 ? 100 + status : result;
    };
    EXPECT_EQ(inside("198.51.100.1", "."), 1);
    EXPECT_EQ(inside("192.0.2.5", ""), 103);
    EXPECT_EQ(inside("192.0.2.5", nullptr), 103);

    EXPECT_EQ(inside("192.0.2.5", "192.0.2.0/24"), 1);
    EXPECT_EQ(inside("192.0.2.5", "192.0.2.0:255.255.255.0"), 1);
    EXPECT_EQ(inside("198.51.100.1", "192.0.2.0/24"), 0);
    EXPECT_EQ(inside("192.0.2.5", "192.0.2.0/30"), 0);
    EXPECT_EQ(inside("198.51.100.1", "0.0.0.0/0"), 1);

    // One host, or another address of the same machine.
    EXPECT_EQ(inside("192.0.2.1", "192.0.2.1"), 1);
    EXPECT_EQ(inside("192.0.2.2", "192.0.2.1"), 0);
    EXPECT_EQ(inside("127.0.0.2", "127.0.0.3"), 1);

    // Domain suffixes: longer names that end with the whole pattern.
    EXPECT_EQ(inside("192.0.2.1", ".test.example"), 1);
    EXPECT_EQ(inside("192.0.2.1", ".TEST.Example"), 1);
    EXPECT_EQ(inside("192.0.2.1", ".other.example"), 0);
    EXPECT_EQ(inside("192.0.2.40", ".test.example"), 0);
    EXPECT_EQ(inside("192.0.2.41", ".alias.example"), 1);  // through an alias
    EXPECT_EQ(inside("192.0.2.250", ".test.example"), 106);

    // Host names.
    EXPECT_EQ(inside("192.0.2.1", "alpha"), 1);
    EXPECT_EQ(inside("192.0.2.1", "alpha.test.example"), 1);
    EXPECT_EQ(inside("192.0.2.1", "beta"), 0);
    EXPECT_EQ(inside("192.0.2.1", "nowhere"), 0);
    EXPECT_EQ(inside("127.0.0.2", "loop-b"), 1);

    in_addr_t peer = ip("192.0.2.1");
    EXPECT_EQ(ynet_in_network(&peer, "alpha", nullptr), 22);
    int result = 7;
    EXPECT_EQ(ynet_in_network(nullptr, "alpha", &result), 22);
    EXPECT_EQ(result, 0);
}

}  // namespace
