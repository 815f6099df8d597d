// Host cache and host comparison: caching proven by changing /etc/hosts
// between calls, the failed-name cache, eviction, the TRY_AGAIN rule through
// the resolver seam, alias completion, the same-host rules, deep copies under
// allocation failures, and the address/mask and network tests.
#include <arpa/inet.h>
#include <netdb.h>

#include <cctype>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "ynet.h"
#include "ynet_hosts_private.h"
#include "yqtest.h"
#include "yqtest_clock.h"
#include "yqtest_report.h"
#include "yqtest_resolv.h"

namespace {

using yq::ynet_hosts::same_host;

in_addr_t ip(const char *dotted) { return inet_addr(dotted); }

// "name alias... = address..." of an entry ("-": no name).
std::string text_of(const struct hostent *e) {
    std::string text = e->h_name != nullptr ? e->h_name : "-";
    for (char **a = e->h_aliases; a != nullptr && *a != nullptr; ++a) text += std::string(" ") + *a;
    text += " =";
    for (char **a = e->h_addr_list; a != nullptr && *a != nullptr; ++a) {
        struct in_addr address{};
        std::memcpy(&address, *a, 4);
        text += std::string(" ") + inet_ntoa(address);
    }
    return text;
}

constexpr const char *kHosts =
    "127.0.0.1 localhost\n"
    "192.0.2.1 alpha.test.example alpha\n"
    "192.0.2.2 beta.test.example beta\n"
    "192.0.2.3 gamma.test.example gamma\n"
    "192.0.2.4 delta.test.example delta\n"
    "192.0.2.6 box.test.example\n192.0.2.6 box\n"
    "192.0.2.7 lone.test.example\n192.0.2.8 lone\n"
    "127.0.0.2 loop-a\n127.0.0.3 loop-b\n"
    "192.0.2.20 x1.example\n192.0.2.20 x2.example\n"
    "192.0.2.30 p.example shared\n192.0.2.31 q.example shared\n192.0.2.9 other.example alpha.test.example\n"
    "192.0.2.40 test.example\n"
    "192.0.2.41 node41.elsewhere.example node41.alias.example\n";

class Hosts : public ::testing::Test {
protected:
    void SetUp() override {
        yq::ynet_hosts::reset_state();
        yqtest::write_hosts(kHosts);
    }
    void TearDown() override { yq::ynet_hosts::reset_state(); }

    // "status:entry" of a cached lookup by name, or by address for a dotted text.
    static std::string lookup(const char *what) {
        struct hostent *entry = nullptr;
        in_addr_t address = ip(what);
        int status = std::isdigit(static_cast<unsigned char>(what[0]))
                         ? ynet_cached_gethostbyaddr(&address, &entry)
                         : ynet_cached_gethostbyname(what, &entry);
        std::string text = std::to_string(status);
        if (entry != nullptr) text += ":" + text_of(entry);
        ynet_free_hostent(&entry);
        return text;
    }

    yqtest::FakeClock clock;
    yqtest::Resolver resolver;
};

TEST_F(Hosts, AnswersAreKeptADayWhateverTheFileSays) {
    EXPECT_EQ(lookup("alpha"), "0:alpha.test.example alpha = 192.0.2.1");
    yqtest::write_hosts("192.0.2.99 alpha.test.example alpha\n");
    for (const char *same : {"alpha", "ALPHA.Test.Example", "192.0.2.1"})
        EXPECT_EQ(lookup(same), "0:alpha.test.example alpha = 192.0.2.1") << same;
    EXPECT_EQ(resolver.name_calls + resolver.addr_calls, 1);
    clock.advance(86400);  // kept a day from the add, however often used
    EXPECT_EQ(lookup("alpha"), "0:alpha.test.example alpha = 192.0.2.1");
    clock.advance(1);
    EXPECT_EQ(lookup("alpha"), "0:alpha.test.example alpha = 192.0.2.99");
}

TEST_F(Hosts, FailedNamesAreRefusedForADayOrUntilPushedOut) {
    yqtest::Reports reports;
    for (const char *ghost : {"g1", "g2", "g3", "g4", "g5", "g6"}) {
        clock.advance(1);
        EXPECT_EQ(lookup(ghost), "6") << ghost;
    }
    yqtest::write_hosts(std::string(kHosts) + "192.0.2.61 g1\n192.0.2.62 g2\n192.0.2.66 g6\n");
    EXPECT_EQ(lookup("g1"), "0:g1 = 192.0.2.61");  // pushed out by g6
    EXPECT_EQ(lookup("G2"), "5");
    EXPECT_EQ(lookup("g6"), "5");
    EXPECT_EQ(resolver.name_calls, 7);
    clock.advance(86401);
    EXPECT_EQ(lookup("g6"), "0:g6 = 192.0.2.66");
    EXPECT_EQ(ynet_cached_gethostbyname("alpha", nullptr), YN_STATUS_NULL_POINTER);
    for (const char *line : {": Function failed: 6 0x00000006\n", ": Function failed: 5 0x00000005\n",
                             ": Function failed: 2 0x00000002\n"})
        EXPECT_TRUE(reports.has(line) && reports.has("ynet_hosts.")) << line << reports.text();
}

TEST_F(Hosts, FourthNameEvictsTheLeastRecentlyReturnedOne) {
    std::map<std::string, std::string> first;
    for (const char *name : {"alpha", "beta", "gamma", "alpha", "delta"}) {  // beta goes
        clock.advance(1);
        first[name] = lookup(name);
    }
    yqtest::write_hosts("192.0.2.12 beta.test.example beta\n192.0.2.11 alpha\n192.0.2.13 gamma\n");
    for (const char *kept : {"alpha", "gamma", "delta"}) EXPECT_EQ(lookup(kept), first[kept]);
    EXPECT_EQ(resolver.name_calls, 4);
    EXPECT_EQ(lookup("beta"), "0:beta.test.example beta = 192.0.2.12");
}

TEST_F(Hosts, TryAgainIsRetriedAndOnlyFailedNamesAreRemembered) {
    struct Row {
        const char *what;
        std::vector<int> script;
        const char *first;
        int calls, sleeps;
        const char *second;  // asked right after
        int calls_after;
    };
    const int T = TRY_AGAIN;
    const Row rows[] = {
        {"beta", {T, T, T}, "6", 3, 3, "5", 3},
        {"beta", {T}, "0:beta.test.example beta = 192.0.2.2", 2, 1, nullptr, 2},
        {"beta", {HOST_NOT_FOUND}, "6", 1, 0, "5", 1},
        {"192.0.2.250", {T, T, T}, "6", 3, 3, "6", 4},
        {"192.0.2.2", {T}, "0:beta.test.example beta = 192.0.2.2", 2, 1, nullptr, 2},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what + std::string(" after ") + std::to_string(row.script.size()));
        yq::ynet_hosts::reset_state();
        resolver.fail_next(row.script);
        int calls = resolver.name_calls + resolver.addr_calls, sleeps = clock.sleeps;
        EXPECT_EQ(lookup(row.what), row.first);
        EXPECT_EQ(resolver.name_calls + resolver.addr_calls - calls, row.calls);
        EXPECT_EQ(clock.sleeps - sleeps, row.sleeps);
        EXPECT_EQ(lookup(row.what), row.second != nullptr ? row.second : row.first);
        EXPECT_EQ(resolver.name_calls + resolver.addr_calls - calls, row.calls_after);
    }
}

// A resolver answer of the sandbox's files, copied.
struct hostent *resolved(const char *name) {
    struct hostent *copy = nullptr;
    EXPECT_EQ(ynet_copy_hostent(::gethostbyname(name), &copy), 0) << name;
    return copy;
}

TEST_F(Hosts, AliasCompletion) {
    // Through the cache: the short name, when it is this host, and served as the alias.
    EXPECT_EQ(lookup("box.test.example"), "0:box.test.example box = 192.0.2.6");
    EXPECT_EQ(lookup("BOX"), "0:box.test.example box = 192.0.2.6");
    EXPECT_EQ(resolver.name_calls, 2);  // the entry, then its short name once
    EXPECT_EQ(lookup("lone.test.example"), "0:lone.test.example = 192.0.2.7");
    yqtest::write_hosts(std::string(kHosts) + "127.0.0.5 here.test.example\n127.0.0.4 here\n");
    struct Row {
        const char *what, *name, *entry, *aliases;
        int lookups;
    };
    const Row rows[] = {
        {"looked up by another name", "nick", "lone.test.example", "nick", 0},
        {"aliases are kept", "nick", "beta.test.example", "beta", 0},
        {"canonical name", "BOX.test.example", "box.test.example", "box", 1},
        {"by address", nullptr, "box.test.example", "box", 1},
        {"short name elsewhere", nullptr, "lone.test.example", "", 1},
        {"short name unknown", nullptr, "test.example", "", 1},
        {"no dot", nullptr, "box", "", 0},
        {"both local", nullptr, "here.test.example", "here", 1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        struct hostent *copy = resolved(row.entry);
        if (std::strcmp(row.what, "by address") == 0) {  // a missing list is made too
            std::free(copy->h_aliases);
            copy->h_aliases = nullptr;
        }
        int calls = resolver.name_calls;
        EXPECT_EQ(yq::ynet_hosts::check_for_aix_kludge(row.name, copy), 0);
        std::string alias = copy->h_aliases != nullptr && copy->h_aliases[0] ? copy->h_aliases[0] : "";
        EXPECT_EQ(alias, row.aliases);
        EXPECT_TRUE(alias.empty() || copy->h_aliases[1] == nullptr);
        EXPECT_EQ(resolver.name_calls - calls, row.lookups);
        ynet_free_hostent(&copy);
    }
}

TEST_F(Hosts, CopiesAreDeepAndExhaustedMemoryLeavesNothingBehind) {
    struct hostent *source = resolved("node41.elsewhere.example");
    long points = yqtest::for_each_alloc_failure([&] {
        struct hostent sentinel{};
        struct hostent *copy = &sentinel;
        int status = ynet_copy_hostent(source, &copy);
        EXPECT_TRUE(status == 0 ? text_of(copy) == text_of(source) && copy->h_name != source->h_name &&
                                      copy->h_addr_list[0] != source->h_addr_list[0]
                                : status == 8 && copy == nullptr) << status;
        ynet_free_hostent(&copy);
        EXPECT_EQ(copy, nullptr);
    });
    EXPECT_EQ(points, 6);  // record, name, lists and their items
    EXPECT_EQ(ynet_copy_hostent(nullptr, &source) + ynet_copy_hostent(source, nullptr), 2 * YN_STATUS_NULL_POINTER);
    ynet_free_hostent(&source);
    ynet_free_hostent(nullptr);
    for (const char *name : {"box.test.example", "alpha", "ghost"}) {
        std::string whole = (yq::ynet_hosts::reset_state(), lookup(name));
        points = yqtest::for_each_alloc_failure([&] {
            yq::ynet_hosts::reset_state();
            std::string got = lookup(name);
            EXPECT_TRUE(got == whole || got == "8") << name << ": " << got;
        });
        EXPECT_GE(points, 3) << name;
    }
}

// Names, addresses (dotted) or one of each, through the cache.
int same(const char *x, const char *y, int count_local) {
    in_addr_t a = ip(x), b = y != nullptr ? ip(y) : 0;
    bool y_address = y != nullptr && std::isdigit(static_cast<unsigned char>(y[0]));
    if (std::isdigit(static_cast<unsigned char>(x[0])))
        return ynet_same_hostbyaddr_local(&a, y != nullptr ? &b : nullptr, count_local);
    if (y_address) return ynet_same_hostbynameaddr_local(x, &b, count_local);
    return ynet_same_hostbyname_local(x, y, count_local);
}

TEST_F(Hosts, SameHostRules) {
    EXPECT_EQ(ynet_same_hostbyname("Unknown.Example", "unknown.example"), 1);  // no lookup
    EXPECT_EQ(ynet_same_hostbyaddr("\300\0\2\372", "\300\0\2\372"), 1);
    EXPECT_EQ(resolver.name_calls + resolver.addr_calls, 0);
    struct Row {
        const char *x, *y;
        int local, same;
    };
    const Row rows[] = {
        {"alpha", "alpha.test.example", 0, 1}, {"alpha", "other.example", 0, 1},  // name is alias
        {"other.example", "alpha", 0, 1},      {"p.example", "q.example", 0, 1},  // common alias
        {"x1.example", "x2.example", 0, 1},    {"x2.example", "x1.example", 0, 1},  // address
        {"alpha", "beta", 1, 0},               {"alpha", "ghost", 1, 0},
        {"ghost", "alpha", 1, 0},              {"loop-a", "loop-b", 1, 1},  // both this machine
        {"loop-a", "loop-b", 0, 0},            {"192.0.2.1", "192.0.2.2", 1, 0},
        {"192.0.2.1", "192.0.2.250", 1, 0},    {"127.0.0.2", "127.0.0.3", 1, 1},
        {"127.0.0.2", "127.0.0.3", 0, 0},      {"ALPHA", "192.0.2.1", 0, 1},
        {"beta", "192.0.2.1", 1, 0},           {"loop-a", "127.0.0.3", 1, 1},
        {"loop-a", "127.0.0.3", 0, 0},         {"alpha", "192.0.2.250", 1, 0},
        {"192.0.2.1", nullptr, 1, 0},          {"127.0.0.2", "192.0.2.1", 1, 0},
    };
    for (const Row &row : rows)
        EXPECT_EQ(same(row.x, row.y, row.local), row.same) << row.x << " / " << row.y << " " << row.local;
    EXPECT_EQ(ynet_same_hostbyname(nullptr, "alpha") + ynet_same_hostbynameaddr("x", nullptr), 0);
    EXPECT_EQ(yq::ynet_hosts::same_host(nullptr, nullptr, 1), 0);
}

TEST_F(Hosts, AddressAndMaskNotations) {
    struct Row {
        std::string text;
        int status;
        const char *address, *mask;
    };
    const char *ones = "255.255.255.255";
    const std::string longest(100000, '1');
    const Row rows[] = {
        {"192.0.2.7/16", 0, "192.0.2.7", "255.255.0.0"}, {"192.0.2.7:255.255.0.0", 0, "192.0.2.7", "255.255.0.0"},
        {"192.0.2.7/0", 0, "192.0.2.7", "0.0.0.0"},      {"192.0.2.7/32", 0, "192.0.2.7", ones},
        {"192.0.2.7/0x18", 0, "192.0.2.7", "255.255.255.0"}, {"192.0.2.7/ 26", 0, "192.0.2.7", "255.255.255.192"},
        {"192.0.2.7:0.255.0.255", 0, "192.0.2.7", "0.255.0.255"}, {std::string("1.2.3.4\0/33", 11), 0, "1.2.3.4", ones},
        {"0x7f.1", 0, "127.0.0.1", ones}, {"255.255.255", 0, "255.255.0.255", ones},
        // All ones only from the texts that mean it.
        {ones, 0, ones, ones},        {"0xff.0377.255.+255", 0, ones, ones},
        {"0xffffffff", 0, ones, ones}, {"4294967295", 0, ones, ones},
        {"-1", 0, ones, ones},         {"0xffffffffff", 0, ones, ones},
        {"255.255.255.256", 3, ones, ones}, {"255.255.255.255.255", 3, ones, ones},
        {"255.255.255.255 ", 3, ones, ones}, {"99999999999999999999", 3, ones, ones},
        {"", 3, ones, ones},          {"/", 3, ones, ones},
        {"/24", 3, ones, "255.255.255.0"}, {"1.2.3.4/", 3, ones, ones},
        {"1.2.3.4/33", 3, ones, ones}, {"1.2.3.4/-1", 3, ones, ones},
        {"1.2.3.4/16x", 3, ones, ones}, {"1.2.3.4/24/8", 3, ones, ones},
        {"1.2.3.4:", 3, ones, ones},   {"1.2.3.4:255.255.0.0/8", 3, ones, "255.0.0.0"},
        {":255.0.0.0", 3, ones, "255.0.0.0"}, {"a.b.c.d/8", 3, ones, "255.0.0.0"},
        {longest, 3, ones, ones},      {longest + "/8", 3, ones, "255.0.0.0"},
    };
    yqtest::Reports reports;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.text.substr(0, 40));
        in_addr_t address = 1, mask = 2, plain = 3;
        EXPECT_EQ(ynet_inet_addrmask(row.text.c_str(), &address, &mask), row.status);
        EXPECT_EQ(address, ip(row.address));
        EXPECT_EQ(mask, ip(row.mask));
        bool bare = row.text.find_first_of("/:") == std::string::npos;
        EXPECT_EQ(bare ? ynet_inet_addr(row.text.c_str(), &plain) : row.status, row.status);
    }
    EXPECT_EQ(ynet_inet_addr(nullptr, nullptr), YN_STATUS_NULL_POINTER);
    in_addr_t address = 0, mask = 0;
    EXPECT_EQ(ynet_inet_addrmask(nullptr, &address, &mask), YN_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(address & mask, 0xFFFFFFFFu);
    // Failures are debug values of the negotiation module.
    EXPECT_TRUE(reports.has("ynet_yqss.") && reports.has(": status: 3 0x00000003\n") &&
                reports.has(": status: 22 0x00000016\n")) << reports.text();
}

TEST_F(Hosts, InNetworkByNetworkHostAndDomain) {
    struct Row {
        const char *peer, *pattern;
        int result;  // 100 + status on failure
    };
    const Row rows[] = {
        {"198.51.100.1", ".", 1},           {"192.0.2.5", nullptr, 103},
        {"192.0.2.5", "192.0.2.0/24", 1},   {"192.0.2.5", "192.0.2.0:255.255.255.0", 1},
        {"198.51.100.1", "192.0.2.0/24", 0}, {"192.0.2.5", "192.0.2.0/30", 0},
        {"198.51.100.1", "0.0.0.0/0", 1},   {"192.0.2.1", "192.0.2.1", 1},
        {"192.0.2.2", "192.0.2.1", 0},      {"127.0.0.2", "127.0.0.3", 1},  // one machine
        {"192.0.2.1", ".test.example", 1},  {"192.0.2.1", ".TEST.Example", 1},
        {"192.0.2.1", ".other.example", 0}, {"192.0.2.40", ".test.example", 0},  // not longer
        {"192.0.2.41", ".alias.example", 1}, {"192.0.2.250", ".test.example", 106},
        {"192.0.2.1", "alpha", 1},          {"192.0.2.1", "alpha.test.example", 1},
        {"192.0.2.1", "beta", 0},           {"192.0.2.1", "nowhere", 0},
        {"127.0.0.2", "loop-b", 1},
    };
    for (const Row &row : rows) {
        in_addr_t peer = ip(row.peer);
        int result = -1;
        int status = ynet_in_network(&peer, row.pattern, &result);
        EXPECT_EQ(status != 0 ? 100 + status : result, row.result) << row.peer << " in " << (row.pattern ? row.pattern : "null");
    }
}

}  // namespace
