// Host cache (proven by changing /etc/hosts between calls), same-host rules,
// copies, address/mask notations and the network test.
#include <arpa/inet.h>
#include <netdb.h>

#include <cctype>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>

#include "ynet.h"
#include "ynet_hosts_private.h"
#include "yqtest_report.h"
#include "yqtest_resolv.h"

namespace {

in_addr_t ip(const char *dotted) { return inet_addr(dotted); }
bool is_dotted(const char *text) { return text != nullptr && std::isdigit(static_cast<unsigned char>(*text)); }

// "name alias... = address..." of an entry.
std::string text_of(const struct hostent *e) {
    std::string text = e->h_name;
    char dotted[INET_ADDRSTRLEN];
    for (char **a = e->h_aliases; a != nullptr && *a != nullptr; ++a) text += std::string(" ") + *a;
    text += " =";
    for (char **a = e->h_addr_list; *a != nullptr; ++a) text += std::string(" ") + inet_ntop(AF_INET, *a, dotted, sizeof dotted);
    return text;
}

const std::string kData = YQ_TEST_DATA "/ynet_hosts.txt", kHosts = yqtest::read_file(YQ_TEST_DATA "/hosts");

struct Hosts : yqtest::ResolverTest {
    void SetUp() override { yq::ynet_hosts::reset_state(), yqtest::write_hosts(kHosts); }

    // "status:entry" of a cached lookup by name, or by address for a dotted text.
    static std::string lookup(const char *what) {
        struct hostent *entry = nullptr;
        in_addr_t address = ip(what);
        int status = is_dotted(what) ? ynet_cached_gethostbyaddr(&address, &entry)
                                     : ynet_cached_gethostbyname(what, &entry);
        std::string text = std::to_string(status) + (entry != nullptr ? ":" + text_of(entry) : "");
        ynet_free_hostent(&entry);
        return text;
    }
    int calls() const { return resolver.name_calls + resolver.addr_calls; }
};

TEST_F(Hosts, AnswersAreKeptADayWhateverTheFileSays) {
    EXPECT_EQ(lookup("alpha"), "0:alpha.test.example alpha = 192.0.2.1");
    yqtest::write_hosts("192.0.2.99 alpha.test.example alpha\n");
    for (const char *same : {"alpha", "ALPHA.Test.Example", "192.0.2.1"})
        EXPECT_EQ(lookup(same), "0:alpha.test.example alpha = 192.0.2.1") << same;
    EXPECT_EQ(calls(), 1);
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
    yqtest::write_hosts(kHosts + "192.0.2.61 g1\n192.0.2.62 g2\n192.0.2.66 g6\n");
    EXPECT_EQ(lookup("g1"), "0:g1 = 192.0.2.61");  // pushed out by g6
    EXPECT_EQ(lookup("G2") + lookup("g6"), "55");
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
    auto status = [](const std::string &text) { return text.substr(0, text.find(':')); };
    for (const auto &row : yqtest::data_rows(kData, "try again")) {
        SCOPED_TRACE(row[0] + " after " + row[1]);
        yq::ynet_hosts::reset_state();
        resolver.fail_next(row[1]);
        int before = calls(), sleeps = clock.sleeps;
        EXPECT_EQ(status(lookup(row[0].c_str())), row[2]);
        EXPECT_EQ(calls() - before, std::stoi(row[4]));
        EXPECT_EQ(clock.sleeps - sleeps, std::stoi(row[5]));
        EXPECT_EQ(status(lookup(row[0].c_str())), row[3]);
        EXPECT_EQ(calls() - before, std::stoi(row[6]));
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
    yqtest::write_hosts(kHosts + "127.0.0.5 here.test.example\n127.0.0.4 here\n");
    for (const auto &row : yqtest::data_rows(kData, "alias completion")) {
        SCOPED_TRACE(row[0] + " " + row[1]);
        struct hostent *copy = resolved(row[1].c_str());
        if (row.size() > 4) std::free(std::exchange(copy->h_aliases, nullptr));
        int before = resolver.name_calls;
        EXPECT_EQ(yq::ynet_hosts::check_for_aix_kludge(yqtest::field(row[0]), copy), 0);
        std::string alias = copy->h_aliases != nullptr && copy->h_aliases[0] ? copy->h_aliases[0] : "-";
        EXPECT_EQ(alias, row[2]);
        EXPECT_TRUE(alias == "-" || copy->h_aliases[1] == nullptr);
        EXPECT_EQ(resolver.name_calls - before, std::stoi(row[3]));
        ynet_free_hostent(&copy);
    }
}

TEST_F(Hosts, CopiesAreDeepAndExhaustedMemoryLeavesNothingBehind) {
    struct hostent *source = resolved("node41.elsewhere.example"), *copy = nullptr;  // the lookups below copy twice
    ASSERT_EQ(ynet_copy_hostent(source, &copy), 0);
    EXPECT_TRUE(text_of(copy) == text_of(source) && copy->h_name != source->h_name &&
                copy->h_aliases[0] != source->h_aliases[0] && copy->h_addr_list[0] != source->h_addr_list[0]);
    ynet_free_hostent(&copy);
    EXPECT_EQ(ynet_copy_hostent(nullptr, &source) + ynet_copy_hostent(source, nullptr), 2 * YN_STATUS_NULL_POINTER);
    ynet_free_hostent(&source);
    ynet_free_hostent(nullptr);
    for (const char *name : {"box.test.example", "alpha", "ghost"})
        yqtest::expect_whole_or_no_memory(name, yq::ynet_hosts::reset_state, lookup);
}

TEST_F(Hosts, SameHostRules) {
    EXPECT_EQ(ynet_same_hostbyname("Unknown.Example", "unknown.example"), 1);  // no lookup
    EXPECT_EQ(ynet_same_hostbyaddr("\300\0\2\372", "\300\0\2\372"), 1);
    EXPECT_EQ(calls(), 0);
    for (const auto &row : yqtest::data_rows(kData, "same host")) {
        const char *x = yqtest::field(row[0]), *y = yqtest::field(row[1]);
        in_addr_t a = ip(x), b = is_dotted(y) ? ip(y) : 0;
        int local = std::stoi(row[2]);
        int same = is_dotted(x) ? ynet_same_hostbyaddr_local(&a, y != nullptr ? &b : nullptr, local)
                   : is_dotted(y) ? ynet_same_hostbynameaddr_local(x, &b, local)
                                  : ynet_same_hostbyname_local(x, y, local);
        EXPECT_EQ(std::to_string(same), row[3]) << row[0] << " / " << row[1] << " " << local;
    }
    EXPECT_EQ(ynet_same_hostbyname(nullptr, "alpha") + ynet_same_hostbynameaddr("x", nullptr), 0);
    EXPECT_EQ(yq::ynet_hosts::same_host(nullptr, nullptr, 1), 0);
}

TEST_F(Hosts, AddressAndMaskNotations) {
    const std::string ones = "255.255.255.255", longest(100000, '1');
    auto rows = yqtest::data_rows(kData, "address and mask");
    rows.insert(rows.end(), {{"192.0.2.7/ 26", "0", "192.0.2.7", "255.255.255.192"}, {"", "3", ones, ones},
                             {std::string("1.2.3.4\0/33", 11), "0", "1.2.3.4", ones}, {ones + " ", "3", ones, ones},
                             {longest, "3", ones, ones}, {longest + "/8", "3", ones, "255.0.0.0"}});
    yqtest::Reports reports;
    for (const auto &row : rows) {
        SCOPED_TRACE(row[0].substr(0, 40));
        in_addr_t address = 1, mask = 2, plain = 3;
        int status = std::stoi(row[1]);
        EXPECT_EQ(ynet_inet_addrmask(row[0].c_str(), &address, &mask), status);
        EXPECT_EQ(std::pair(address, mask), std::pair(ip(row[2].c_str()), ip(row[3].c_str())));
        bool bare = row[0].find_first_of("/:") == std::string::npos;
        EXPECT_EQ(bare ? ynet_inet_addr(row[0].c_str(), &plain) : status, status);
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
    in_addr_t peer = ip("192.0.2.5");
    int result = -1;
    EXPECT_EQ(ynet_in_network(&peer, nullptr, &result), YN_STATUS_BAD_FORMAT);
    for (const auto &row : yqtest::data_rows(kData, "in network")) {
        peer = ip(row[0].c_str());
        int status = ynet_in_network(&peer, row[1].c_str(), &result);
        EXPECT_EQ(std::to_string(status != 0 ? 100 + status : result), row[2]) << row[0] << " in " << row[1];
    }
}

}  // namespace
