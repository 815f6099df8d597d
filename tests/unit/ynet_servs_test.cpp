// Service cache: caching proven by changing /etc/services between calls,
// the (protocol, name) failed cache, the retry rule through the seam, the
// match and same-service rules, and deep copies under allocation failures.
#include <arpa/inet.h>
#include <netdb.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ynet.h"
#include "ynet_servs_private.h"
#include "yqtest.h"
#include "yqtest_resolv.h"

namespace {

using yq::ynet_servs::sap;
using yq::ynet_servs::serv_key;

int g_calls = 0;
std::vector<int> g_script;  // h_errno values answered before the real resolver
size_t g_step = 0;
std::vector<unsigned> g_sleeps;
time_t g_now = 1000;

struct servent *seam_getservbyname(const char *name, const char *proto) {
    ++g_calls;
    if (g_step < g_script.size()) {
        h_errno = g_script[g_step++];
        return nullptr;
    }
    return ::getservbyname(name, proto);
}
struct servent *seam_getservbyport(int port, const char *proto) {
    ++g_calls;
    return ::getservbyport(port, proto);
}
unsigned fake_sleep(unsigned seconds) {
    g_sleeps.push_back(seconds);
    return 0;
}
time_t fake_time(time_t *t) {
    if (t != nullptr) *t = g_now;
    return g_now;
}

constexpr const char *kServices =
    "yqtest    5001/tcp  yqalias yqother\n"
    "yqtest    5001/udp\n"
    "yqdgram   5003/udp\n"
    "yqtwin    5001/tcp\n";

int port(int host_order) { return htons(static_cast<uint16_t>(host_order)); }

// A service entry built by the test.
struct Serv {
    Serv(const char *name, std::vector<std::string> aliases, int number, const char *proto)
        : name_(name), aliases_(std::move(aliases)), proto_(proto != nullptr ? proto : "") {
        for (auto &a : aliases_) ptrs_.push_back(a.data());
        ptrs_.push_back(nullptr);
        entry.s_name = name_.data();
        entry.s_aliases = ptrs_.data();
        entry.s_port = port(number);
        entry.s_proto = proto != nullptr ? proto_.data() : nullptr;
    }
    std::string name_;
    std::vector<std::string> aliases_;
    std::string proto_;
    std::vector<char *> ptrs_;
    struct servent entry{};
};

class Services : public ::testing::Test {
protected:
    void SetUp() override {
        yq::ynet_servs::reset_state();
        yqtest::write_services(kServices);
        g_calls = 0;
        g_script.clear();
        g_step = 0;
        g_sleeps.clear();
        g_now = 1000;
        yq::sys::table.getservbyname = seam_getservbyname;
        yq::sys::table.getservbyport = seam_getservbyport;
        yq::sys::table.sleep = fake_sleep;
        yq::sys::table.time = fake_time;
    }
    void TearDown() override {
        yq::sys::reset();
        yq::ynet_servs::reset_state();
        ynet_debug_stream = nullptr;
    }

    // "status:port/proto" of a cached lookup by name.
    static std::string by_name(const char *name, const char *proto) {
        struct servent *entry = nullptr;
        int status = ynet_cached_getservbyname(name, proto, &entry);
        std::string text = std::to_string(status);
        if (entry != nullptr) text += ":" + std::to_string(ntohs(entry->s_port)) + "/" + entry->s_proto;
        if (status != 0) {
            EXPECT_EQ(entry, nullptr);
        }
        ynet_free_servent(&entry);
        return text;
    }
    static std::string by_port(int number, const char *proto) {
        struct servent *entry = nullptr;
        int status = ynet_cached_getservbyport(port(number), proto, &entry);
        std::string text = std::to_string(status);
        if (entry != nullptr) text += ":" + std::string(entry->s_name) + "/" + entry->s_proto;
        ynet_free_servent(&entry);
        return text;
    }

    yqtest::SysGuard guard;
};

TEST_F(Services, CachedAnswerSurvivesAChangedServicesFileUntilItExpires) {
    EXPECT_EQ(by_name("yqtest", "tcp"), "0:5001/tcp");
    yqtest::write_services("yqtest 5009/tcp yqalias yqother\nyqtest 5009/udp\n");
    EXPECT_EQ(by_name("yqtest", "tcp"), "0:5001/tcp");
    EXPECT_EQ(by_name("YQALIAS", "TCP"), "0:5001/tcp");
    // Without a protocol, any cached entry with that name or alias answers.
    EXPECT_EQ(by_name("yqother", nullptr), "0:5001/tcp");
    EXPECT_EQ(by_port(5001, "tcp"), "0:yqtest/tcp");
    EXPECT_EQ(by_port(5001, nullptr), "0:yqtest/tcp");
    EXPECT_EQ(g_calls, 1);
    // Another protocol is another question.
    EXPECT_EQ(by_name("yqtest", "udp"), "0:5009/udp");
    EXPECT_EQ(g_calls, 2);

    g_now += 86401;
    EXPECT_EQ(by_name("yqtest", "tcp"), "0:5009/tcp");
    EXPECT_EQ(g_calls, 3);
}

TEST_F(Services, FailedPairIsRefusedWithoutAskingAgainForThatProtocolOnly) {
    EXPECT_EQ(by_name("yqlate", "tcp"), "7");
    EXPECT_EQ(by_name("yqlater", nullptr), "7");
    EXPECT_EQ(g_calls, 2);
    yqtest::write_services(std::string(kServices) + "yqlate 5005/tcp\nyqlater 5006/tcp\n");
    EXPECT_EQ(by_name("yqlate", "tcp"), "5");
    EXPECT_EQ(by_name("YQLATE", "TCP"), "5");
    EXPECT_EQ(by_name("yqlater", nullptr), "5");
    EXPECT_EQ(g_calls, 2);
    // The same name with the other kind of protocol is asked afresh.
    EXPECT_EQ(by_name("yqlate", nullptr), "0:5005/tcp");
    EXPECT_EQ(by_name("yqlater", "tcp"), "0:5006/tcp");
    EXPECT_EQ(g_calls, 4);
}

TEST_F(Services, UnknownPortIsAskedAgainEveryTime) {
    EXPECT_EQ(by_port(5999, "tcp"), "7");
    EXPECT_EQ(by_port(5999, "tcp"), "7");
    EXPECT_EQ(g_calls, 2);
    EXPECT_EQ(by_port(5003, "udp"), "0:yqdgram/udp");
    EXPECT_EQ(by_name("yqdgram", "udp"), "0:5003/udp");
    EXPECT_EQ(g_calls, 3);
}

TEST_F(Services, TryAgainIsRetriedThreeTimesWithASleepAfterEach) {
    g_script = {TRY_AGAIN, TRY_AGAIN, TRY_AGAIN};
    EXPECT_EQ(by_name("yqtest", "tcp"), "7");
    EXPECT_EQ(g_calls, 3);
    EXPECT_EQ(g_sleeps, (std::vector<unsigned>{1, 1, 1}));
    EXPECT_EQ(by_name("yqtest", "tcp"), "5");
    EXPECT_EQ(g_calls, 3);

    g_script = {TRY_AGAIN};
    g_step = 0;
    g_sleeps.clear();
    EXPECT_EQ(by_name("yqtest", "udp"), "0:5001/udp");
    EXPECT_EQ(g_calls, 5);
    EXPECT_EQ(g_sleeps, (std::vector<unsigned>{1}));

    // A TRY_AGAIN left over from an earlier host lookup causes no retry.
    g_sleeps.clear();
    h_errno = TRY_AGAIN;
    EXPECT_EQ(by_name("yqmissing", "tcp"), "7");
    EXPECT_EQ(g_calls, 6);
    EXPECT_TRUE(g_sleeps.empty());
}

TEST_F(Services, FailuresAreReportedUnderTheServiceModule) {
    char *buffer = nullptr;
    size_t size = 0;
    FILE *stream = open_memstream(&buffer, &size);
    ynet_debug_stream = stream;
    EXPECT_EQ(by_name("yqmissing", "tcp"), "7");
    EXPECT_EQ(by_name("yqmissing", "tcp"), "5");
    ynet_debug_stream = nullptr;
    std::fclose(stream);
    std::string text(buffer, size);
    std::free(buffer);
    EXPECT_NE(text.find("ynet_servs."), std::string::npos) << text;
    EXPECT_NE(text.find(": Function failed: 7 0x00000007\n"), std::string::npos) << text;
    EXPECT_NE(text.find(": Function failed: 5 0x00000005\n"), std::string::npos) << text;
}

TEST_F(Services, MatchRules) {
    using yq::ynet_servs::is_sap_item;
    using yq::ynet_servs::is_servent_item;
    Serv tcp("yqtest", {"yqalias"}, 5001, "tcp");
    int p5001 = port(5001);
    int p5002 = port(5002);
    const serv_key hits[] = {
        {"tcp", "yqtest", nullptr}, {"TCP", "YqAlias", nullptr}, {nullptr, "yqalias", nullptr},
        {"tcp", nullptr, &p5001},   {nullptr, nullptr, &p5001},  {"tcp", "other", &p5001},
    };
    for (const serv_key &key : hits) EXPECT_EQ(is_servent_item(&key, &tcp.entry), 1);
    const serv_key misses[] = {
        {"udp", "yqtest", nullptr}, {"udp", nullptr, &p5001}, {"tcp", "other", nullptr},
        {"tcp", nullptr, &p5002},   {nullptr, nullptr, nullptr},
    };
    for (const serv_key &key : misses) EXPECT_EQ(is_servent_item(&key, &tcp.entry), 0);
    Serv no_proto("yqtest", {}, 5001, nullptr);
    serv_key with_proto{"tcp", "yqtest", nullptr};
    serv_key any_proto{nullptr, "yqtest", nullptr};
    EXPECT_EQ(is_servent_item(&with_proto, &no_proto.entry), 0);
    EXPECT_EQ(is_servent_item(&any_proto, &no_proto.entry), 1);

    char tcp_text[] = "tcp", upper_tcp[] = "TCP", udp_text[] = "udp";
    char name[] = "svc", upper_name[] = "SVC", other[] = "other";
    sap stored{tcp_text, name};
    sap stored_any{nullptr, name};
    sap same{upper_tcp, upper_name}, other_proto{udp_text, name}, other_name{tcp_text, other};
    sap any{nullptr, upper_name};
    EXPECT_EQ(is_sap_item(&same, &stored), 1);
    EXPECT_EQ(is_sap_item(&other_proto, &stored), 0);
    EXPECT_EQ(is_sap_item(&other_name, &stored), 0);
    EXPECT_EQ(is_sap_item(&any, &stored), 0);
    EXPECT_EQ(is_sap_item(&same, &stored_any), 0);
    EXPECT_EQ(is_sap_item(&any, &stored_any), 1);
}

TEST_F(Services, SameServiceRules) {
    using yq::ynet_servs::same_serv;
    Serv a("one", {}, 5001, "tcp");
    Serv b("two", {"x"}, 5001, "TCP");
    Serv c("one", {}, 5001, "udp");
    Serv d("one", {}, 5002, "tcp");
    Serv e("one", {}, 5001, nullptr);
    Serv f("two", {}, 5001, nullptr);
    EXPECT_EQ(same_serv(&a.entry, &b.entry), 1);  // names play no part
    EXPECT_EQ(same_serv(&a.entry, &c.entry), 0);  // equal ports, other protocol
    EXPECT_EQ(same_serv(&a.entry, &d.entry), 0);  // same name, other port
    EXPECT_EQ(same_serv(&a.entry, &e.entry), 0);
    EXPECT_EQ(same_serv(&e.entry, &f.entry), 1);
    EXPECT_EQ(same_serv(&a.entry, nullptr), 0);

    EXPECT_EQ(ynet_same_servbyname("YQMISSING", "yqmissing", "tcp"), 1);
    EXPECT_EQ(ynet_same_servbyport(port(5999), port(5999), "tcp"), 1);
    EXPECT_EQ(g_calls, 0);
    EXPECT_EQ(ynet_same_servbyname("yqtest", "yqalias", "tcp"), 1);
    EXPECT_EQ(ynet_same_servbyname("yqtest", "yqtwin", "tcp"), 1);  // one port
    EXPECT_EQ(ynet_same_servbyname("yqtest", "yqdgram", nullptr), 0);
    EXPECT_EQ(ynet_same_servbyname("yqtest", "yqmissing", "tcp"), 0);
    EXPECT_EQ(ynet_same_servbyname(nullptr, "yqtest", "tcp"), 0);
    EXPECT_EQ(ynet_same_servbyport(port(5001), port(5003), "udp"), 0);
    EXPECT_EQ(ynet_same_servbyport(port(5001), port(5999), "tcp"), 0);
    EXPECT_EQ(ynet_same_servbynameport("yqalias", port(5001), "tcp"), 1);
    EXPECT_EQ(ynet_same_servbynameport("yqtest", port(5003), "udp"), 0);
    EXPECT_EQ(ynet_same_servbynameport("yqmissing", port(5001), "tcp"), 0);
}

TEST_F(Services, CopiesAreDeepAndSurviveExhaustedMemory) {
    Serv source("yqtest", {"a", "b"}, 5001, "tcp");
    struct servent *copy = nullptr;
    ASSERT_EQ(ynet_copy_servent(&source.entry, &copy), 0);
    EXPECT_NE(copy->s_name, source.entry.s_name);
    EXPECT_STREQ(copy->s_name, "yqtest");
    EXPECT_NE(copy->s_aliases, source.entry.s_aliases);
    EXPECT_STREQ(copy->s_aliases[1], "b");
    EXPECT_EQ(copy->s_aliases[2], nullptr);
    EXPECT_NE(copy->s_proto, source.entry.s_proto);
    EXPECT_STREQ(copy->s_proto, "tcp");
    EXPECT_EQ(copy->s_port, port(5001));
    ynet_free_servent(&copy);
    EXPECT_EQ(copy, nullptr);
    ynet_free_servent(&copy);
    ynet_free_servent(nullptr);
    EXPECT_EQ(ynet_copy_servent(nullptr, &copy), 2);
    EXPECT_EQ(ynet_copy_servent(&source.entry, nullptr), 2);

    long points = yqtest::for_each_alloc_failure([&] {
        struct servent sentinel{};
        struct servent *out = &sentinel;
        int status = ynet_copy_servent(&source.entry, &out);
        if (status != 0) {
            EXPECT_EQ(status, 8);
            EXPECT_EQ(out, nullptr);
        }
        ynet_free_servent(&out);
    });
    EXPECT_GE(points, 6);

    for (const char *name : {"yqtest", "yqmissing"}) {
        points = yqtest::for_each_alloc_failure([&] {
            yq::ynet_servs::reset_state();
            struct servent *entry = nullptr;
            int status = ynet_cached_getservbyname(name, "tcp", &entry);
            if (status == 8) {
                EXPECT_EQ(entry, nullptr);
            } else {
                EXPECT_EQ(status, std::string(name) == "yqtest" ? 0 : 7) << name;
            }
            ynet_free_servent(&entry);
        });
        EXPECT_GE(points, 3) << name;
    }

    sap pair{nullptr, nullptr};
    char name[] = "svc";
    pair.name = name;
    sap *kept = nullptr;
    ASSERT_EQ(yq::ynet_servs::copy_sap(&pair, &kept), 0);
    EXPECT_EQ(kept->proto, nullptr);
    EXPECT_STREQ(kept->name, "svc");
    yq::ynet_servs::free_sap(&kept);
    EXPECT_EQ(kept, nullptr);
    {
        yqtest::AllocFailer fail(2);
        EXPECT_EQ(yq::ynet_servs::copy_sap(&pair, &kept), 8);
    }
    EXPECT_EQ(kept, nullptr);
}

}  // namespace
