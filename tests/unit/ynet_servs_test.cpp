// Service cache (proven by changing /etc/services between calls), the failed
// (protocol, name) cache, retries, the same-service rule and deep copies.
#include <arpa/inet.h>
#include <netdb.h>

#include <string>

#include "ynet.h"
#include "ynet_servs_private.h"
#include "yqtest_report.h"
#include "yqtest_resolv.h"

namespace {

const std::string kServices = "yqtest 5001/tcp yqalias yqother\nyqtest 5001/udp\nyqdgram 5003/udp\n"
                              "yqtwin 5001/tcp\nyqudp 5001/udp\n";

int port(const std::string &number) { return htons(static_cast<uint16_t>(std::stoi(number))); }
bool is_port(const std::string &what) { return std::isdigit(static_cast<unsigned char>(what[0])); }

struct Services : yqtest::ResolverTest {
    void SetUp() override { yq::ynet_servs::reset_state(), yqtest::write_services(kServices); }

    // "status:name port/proto" of a cached lookup by name, or by port for a number.
    static std::string lookup(const std::string &what, const char *proto) {
        struct servent *entry = nullptr;
        int status = is_port(what) ? ynet_cached_getservbyport(port(what), proto, &entry)
                                   : ynet_cached_getservbyname(what.c_str(), proto, &entry);
        std::string text = std::to_string(status);
        if (entry != nullptr)
            text += ":" + std::string(entry->s_name) + " " +
                    std::to_string(ntohs(static_cast<uint16_t>(entry->s_port))) + "/" + entry->s_proto;
        ynet_free_servent(&entry);
        return text;
    }
};

TEST_F(Services, AnswersAreKeptADayAndServeAnyProtocolWhenNoneIsAsked) {
    EXPECT_EQ(lookup("yqtest", "tcp"), "0:yqtest 5001/tcp");
    yqtest::write_services("yqtest 5009/tcp yqalias yqother\nyqtest 5009/udp\n");
    for (auto [what, proto] : {std::pair<const char *, const char *>{"YQALIAS", "TCP"},
                               {"yqother", nullptr}, {"5001", "tcp"}, {"5001", nullptr}})
        EXPECT_EQ(lookup(what, proto), "0:yqtest 5001/tcp") << what;
    EXPECT_EQ(resolver.serv_calls, 1);
    EXPECT_EQ(lookup("yqtest", "udp"), "0:yqtest 5009/udp");  // another protocol, another question
    clock.advance(86401);
    EXPECT_EQ(lookup("yqtest", "tcp"), "0:yqtest 5009/tcp");
    EXPECT_EQ(resolver.serv_calls, 3);
}

TEST_F(Services, FailedPairsAreRefusedForTheirProtocolOnlyAndPortsAreAskedAgain) {
    yqtest::Reports reports;
    EXPECT_EQ(lookup("yqlate", "tcp") + lookup("yqlater", nullptr) + lookup("5999", "tcp"), "777");
    yqtest::write_services(kServices + "yqlate 5005/tcp\nyqlater 5006/tcp\nyqnew 5999/tcp\n");
    EXPECT_EQ(lookup("YQLATE", "TCP") + lookup("yqlater", nullptr), "55");
    EXPECT_EQ(resolver.serv_calls, 3);
    EXPECT_EQ(lookup("yqlate", nullptr), "0:yqlate 5005/tcp");
    EXPECT_EQ(lookup("yqlater", "tcp"), "0:yqlater 5006/tcp");
    EXPECT_EQ(lookup("5999", "tcp"), "0:yqnew 5999/tcp");
    EXPECT_TRUE(reports.has("ynet_servs.") && reports.has(": Function failed: 7 0x00000007\n") &&
                reports.has(": Function failed: 5 0x00000005\n")) << reports.text();
}

TEST_F(Services, TryAgainIsRetriedThreeTimesWithASleepAfterEach) {
    for (const auto &row : yqtest::data_rows(YQ_TEST_DATA "/ynet_servs.txt", "try again")) {
        SCOPED_TRACE(row[0] + " " + row[1]);
        yq::ynet_servs::reset_state();
        resolver.fail_next(row[1]);
        h_errno = TRY_AGAIN;  // left by a host lookup: no reason to retry
        int calls = resolver.serv_calls, sleeps = clock.sleeps;
        std::string first = lookup(row[0], "tcp").substr(0, 1);
        EXPECT_EQ(first + lookup(row[0], "tcp").substr(0, 1), row[2]);
        EXPECT_EQ(resolver.serv_calls - calls, std::stoi(row[3]));
        EXPECT_EQ(clock.sleeps - sleeps, std::stoi(row[4]));
    }
}

TEST_F(Services, SameServiceRules) {
    EXPECT_EQ(ynet_same_servbyname("YQMISSING", "yqmissing", "tcp"), 1);
    EXPECT_EQ(ynet_same_servbyport(port("5999"), port("5999"), "tcp"), 1);
    EXPECT_EQ(resolver.serv_calls, 0);
    for (const auto &row : yqtest::data_rows(YQ_TEST_DATA "/ynet_servs.txt", "same service")) {
        const std::string &a = row[0], &b = row[1];
        const char *proto = row[2] == "-" ? nullptr : row[2].c_str();
        int same = is_port(a)   ? ynet_same_servbyport(port(a), port(b), proto)
                   : is_port(b) ? ynet_same_servbynameport(a.c_str(), port(b), proto)
                                : ynet_same_servbyname(a.c_str(), b.c_str(), proto);
        EXPECT_EQ(std::to_string(same), row[3]) << a << " / " << b;
    }
    EXPECT_EQ(ynet_same_servbyname(nullptr, "yqtest", "tcp"), 0);
}

TEST_F(Services, CopiesAreDeepAndExhaustedMemoryLeavesNothingBehind) {
    struct servent *source = ::getservbyname("yqtest", "tcp"), *copy = nullptr;
    ASSERT_EQ(ynet_copy_servent(source, &copy), 0);  // every allocation of a copy fails in the lookups below
    EXPECT_TRUE(copy->s_name != source->s_name && copy->s_aliases[1] != source->s_aliases[1] &&
                copy->s_proto != source->s_proto && std::string(copy->s_aliases[1]) == "yqother" &&
                copy->s_aliases[2] == nullptr && copy->s_port == port("5001"));
    ynet_free_servent(&copy);
    EXPECT_EQ(ynet_copy_servent(nullptr, &copy) + ynet_copy_servent(source, nullptr), 2 * YN_STATUS_NULL_POINTER);
    ynet_free_servent(nullptr);
    for (const char *what : {"yqtest", "yqmissing", "5001"})
        yqtest::expect_whole_or_no_memory(what, yq::ynet_servs::reset_state,
                                          [](const char *w) { return lookup(w, "tcp"); });
}

}  // namespace
