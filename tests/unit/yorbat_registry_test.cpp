// The private-domain registry through its entry points and its lookups,
// with a writer killed mid-rewrite.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <memory>
#include <functional>
#include <set>

#include "yorbat_registry.h"
#include "yqtest.h"

namespace reg = yorbat::registry;

namespace {

class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        home_ = yqtest::scratch_dir() + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        yqtest::remove_tree(home_);
        yorbat::set_home(home_);
        ASSERT_EQ(0, ::mkdir(home_.c_str(), 0755));
        ASSERT_EQ(0, ::mkdir((home_ + "/broker").c_str(), 0700));
        yqtest::write_file(home_ + "/broker/host", "Reg.Example\n");
        ASSERT_EQ(0, yorbAtInit(0, &context_));
    }
    void TearDown() override {
        for (void *object : handed_out_)
            yorbAtFree(object);
        for (auto &held : watched_)
            if (void *object = held())
                yorbAtFree(object);
        yorbAtTerminate(context_);
    }

    // The registry at `index` of a fresh list (the list is freed at the end).
    void *registry(int index) {
        void **list = nullptr;
        int count = 0;
        EXPECT_EQ(0, yorbAtGetPDRs(context_, &list, &count));
        handed_out_.push_back(list);
        return index < count ? list[index] : nullptr;
    }
    // An out-argument slot owned by the fixture: whatever it holds when the
    // test has ended is freed (a local of the test body is gone by then).
    template <typename T>
    T *&held() {
        auto slot = std::make_shared<T *>(nullptr);
        watched_.push_back([slot] { return static_cast<void *>(*slot); });
        return *slot;
    }
    yorbat_word **keep_word() { return &held<yorbat_word>(); }

    std::string home_;
    void *context_ = nullptr;
    std::vector<void *> handed_out_;
    std::vector<std::function<void *()>> watched_;
};

TEST_F(Registry, DomainsAndPrincipalsAnswerEachCallWithItsResult) {
    void **list = nullptr;
    int count = -1;
    ASSERT_EQ(0, yorbAtGetPDRs(context_, &list, &count));
    EXPECT_EQ(0, count) << "no registry file: an empty list";
    EXPECT_EQ(0, yorbAtFree(list));
    long id = 0;
    ASSERT_EQ(0, reg::add_registry(2, id));
    void *pdr = registry(0);
    void *domain = nullptr, *other = nullptr, *alice = nullptr;
    void *&stale = held<void>(), *&found = held<void>();
    yorbat_word flagged[YORBAT_PRINCIPAL_ATTRIBUTE_WORDS] = {};
    flagged[YORBAT_PRINCIPAL_ATTR_FLAG] = reinterpret_cast<yorbat_word>(intptr_t{1});
    const std::string long_password(1025, 'p');
    const struct {
        const char *what;
        std::function<int()> call;
        int expected;
    } steps[] = {
        {"create Sales", [&] { return yorbAtCreatePDDomain(pdr, "Sales", nullptr, &domain); }, 0},
        {"create Sales again", [&] { return yorbAtCreatePDDomain(pdr, "Sales", nullptr, &other); }, 0x6023},
        {"create qualified elsewhere", [&] { return yorbAtCreatePDDomain(pdr, "Ops@other", nullptr, &other); }, 0x6019},
        {"create with a tab", [&] { return yorbAtCreatePDDomain(pdr, "Op\ts", nullptr, &other); }, 0x6019},
        {"create empty", [&] { return yorbAtCreatePDDomain(pdr, "", nullptr, &other); }, 0x6019},
        {"find qualified, any case", [&] { return yorbAtFindPDDomain(pdr, "Sales@reg.EXAMPLE", &stale); }, 0},
        {"find on another host", [&] { return yorbAtFindPDDomain(pdr, "Sales@other", &other); }, 0x6016},
        {"find absent", [&] { return yorbAtFindPDDomain(pdr, "Nobody", &other); }, 0x6016},
        {"create alice", [&] { return yorbAtCreatePDPrincipal(domain, "alice", "secret1", flagged, &alice); }, 0},
        {"create alice again", [&] { return yorbAtCreatePDPrincipal(domain, "alice", "secret2", nullptr, &other); }, 0x6024},
        {"password of 5", [&] { return yorbAtCreatePDPrincipal(domain, "bob", "12345", nullptr, &other); }, 0x6015},
        {"password of 1025", [&] { return yorbAtCreatePDPrincipal(domain, "bob", long_password.c_str(), nullptr, &other); }, 0x602b},
        {"name with a newline", [&] { return yorbAtCreatePDPrincipal(domain, "b\nob", "secret1", nullptr, &other); }, 0x601a},
        {"find alice", [&] { return yorbAtFindPDPrincipal(pdr, "Sales", "alice", &found); }, 0},
        {"find bob", [&] { return yorbAtFindPDPrincipal(pdr, "Sales", "bob", &other); }, 0x6016},
        {"confirm differs", [&] { return yorbAtChangePassword(alice, nullptr, "secret3", "secret4"); }, 0x6002},
        {"old password wrong", [&] { return yorbAtChangePassword(alice, "wrong!!", "secret3", "secret3"); }, 0x600b},
        {"delete alice", [&] { return yorbAtDeletePDPrincipal(alice); }, 0},
        {"delete alice again", [&] { return yorbAtDeletePDPrincipal(alice); }, 0x6016},
        {"delete Sales", [&] { return yorbAtDeletePDDomain(domain); }, 0},
        {"attributes of a deleted domain", [&] { return yorbAtGetPDDomainAttribs(stale, keep_word()); }, 0x6016},
        {"principals of a deleted domain", [&] { return yorbAtGetPDPrincipals(stale, &list, &count); }, 0x6016},
        {"delete Sales again", [&] { return yorbAtDeletePDDomain(domain); }, 0x6016},
        {"a list freed, its element gone", [&] {
             EXPECT_EQ(0, yorbAtFree(handed_out_[0]));
             return yorbAtGetPDAttribs(pdr, keep_word());
         }, 0x6002},
        {"not a handle", [&] { return yorbAtDeletePDDomain(&count); }, 0x6002},
        {"no context", [&] { return yorbAtGetPDRs(&count, &list, &count); }, 0x6001},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(step.what);
        EXPECT_EQ(step.expected, step.call());
    }
    handed_out_.erase(handed_out_.begin());
    for (void *handle : {domain, alice})
        EXPECT_EQ(0, yorbAtFree(handle));
}

TEST_F(Registry, AUserRegisteredTwiceEndsWithTheNewPassword) {
    long id = 0;
    ASSERT_EQ(0, reg::add_registry(2, id));
    void *pdr = registry(0), *again = nullptr;
    void *&domain = held<void>(), *&created = held<void>(), *&principal = held<void>();
    yorbat_word flagged[YORBAT_PRINCIPAL_ATTRIBUTE_WORDS] = {};
    flagged[YORBAT_PRINCIPAL_ATTR_FLAG] = reinterpret_cast<yorbat_word>(intptr_t{1});
    ASSERT_EQ(0, yorbAtCreatePDDomain(pdr, "Sales", nullptr, &domain));
    ASSERT_EQ(0, yorbAtCreatePDPrincipal(domain, "carol", "first-pw", flagged, &created));
    ASSERT_EQ(0x6024, yorbAtCreatePDPrincipal(domain, "carol", "second-pw", flagged, &again));
    ASSERT_EQ(0, yorbAtFindPDPrincipal(pdr, "Sales@Reg.Example", "carol", &principal));
    ASSERT_EQ(0, yorbAtChangePassword(principal, nullptr, "second-pw", "second-pw"));

    reg::Found found;
    EXPECT_EQ(0x600b, reg::check_login("Sales", "carol", "first-pw", found));
    ASSERT_EQ(0, reg::check_login("Sales", "carol", "second-pw", found));
    EXPECT_EQ("Sales@reg.example", found.qualified_domain);
    EXPECT_EQ(0x600b, reg::check_login("Sales", "dave", "second-pw", found));

    // Read back through the lists and attributes the callers walk.
    yorbat_word *&attributes = held<yorbat_word>(), *&principal_attributes = held<yorbat_word>();
    ASSERT_EQ(0, yorbAtGetPDDomainAttribs(domain, &attributes));
    EXPECT_STREQ("Sales@reg.example", static_cast<const char *>(attributes[YORBAT_DOMAIN_QUALIFIED_NAME]));
    void **&principals = held<void *>();
    int count = 0;
    ASSERT_EQ(0, yorbAtGetPDPrincipals(domain, &principals, &count));
    ASSERT_EQ(1, count);
    ASSERT_EQ(0, yorbAtGetPDPrincipalAttribs(principals[0], &principal_attributes));
    EXPECT_STREQ("carol", static_cast<const char *>(principal_attributes[YORBAT_PRINCIPAL_ATTR_NAME]));
    EXPECT_EQ(1, reinterpret_cast<intptr_t>(principal_attributes[YORBAT_PRINCIPAL_ATTR_FLAG]));
}

TEST_F(Registry, WithTwoOfKindOneAndNoneOfKindTwoTheSecondIsUsed) {
    long first = 0, second = 0, third = 0;
    ASSERT_EQ(0, reg::add_registry(1, first));
    ASSERT_EQ(0, reg::add_registry(1, second));
    void *&in_first = held<void>(), *&in_second = held<void>();
    ASSERT_EQ(0, yorbAtCreatePDDomain(registry(0), "InFirst", nullptr, &in_first));
    ASSERT_EQ(0, yorbAtCreatePDDomain(registry(1), "InSecond", nullptr, &in_second));
    yorbat_word *&kind = held<yorbat_word>();
    ASSERT_EQ(0, yorbAtGetPDAttribs(registry(1), &kind));
    EXPECT_EQ(1, reinterpret_cast<intptr_t>(kind[YORBAT_REGISTRY_KIND]));
    reg::Found found;
    EXPECT_EQ(0x6016, reg::find_domain("InFirst", found));
    EXPECT_EQ(0, reg::find_domain("InSecond", found));
    ASSERT_EQ(0, reg::add_registry(2, third));
    EXPECT_EQ(0x6016, reg::find_domain("InSecond", found)) << "a registry of kind 2 wins";
}

TEST_F(Registry, AFileThatDoesNotParseIsDamaged) {
    const std::string principal = "principal\tann\t1\t1000\t1\t" + std::string(32, '0') + "\t" + std::string(64, 'a') + "\n";
    const std::string good = "yorbat-pdr\t1\nregistry\t1\t2\t1001\ndomain\tD\n" + principal + "end\n";
    reg::Database parsed;
    ASSERT_EQ(0, reg::parse(good, parsed));
    EXPECT_EQ(good, reg::format(parsed));
    const struct {
        const char *what;
        std::string text;
    } damaged[] = {
        {"cut before the end line", good.substr(0, good.size() - 4)},
        {"without the last newline", good.substr(0, good.size() - 1)},
        {"another header", "yorbat-pdr\t2\nend\n"},
        {"a principal outside a domain", "yorbat-pdr\t1\nregistry\t1\t2\t1001\n" + principal + "end\n"},
        {"a number past the registry's next", "yorbat-pdr\t1\nregistry\t1\t2\t1000\ndomain\tD\n" + principal + "end\n"},
        {"kind 3", "yorbat-pdr\t1\nregistry\t1\t3\t1000\nend\n"},
        {"a domain twice", "yorbat-pdr\t1\nregistry\t1\t2\t1000\ndomain\tD\ndomain\tD\nend\n"},
        {"a number with a sign", "yorbat-pdr\t1\nregistry\t+1\t2\t1000\nend\n"},
    };
    for (const auto &row : damaged) {
        SCOPED_TRACE(row.what);
        ::mkdir((home_ + "/registry").c_str(), 0700);
        yqtest::write_file(home_ + "/registry/pdr.db", row.text);
        void **list = nullptr;
        int count = 0;
        reg::Found found;
        EXPECT_EQ(0x6011, yorbAtGetPDRs(context_, &list, &count));
        EXPECT_EQ(0x6011, reg::check_login("D", "ann", "whatever", found));
        EXPECT_EQ(0x6011, reg::create_domain(0, "E"));
    }
}

// Two registries that differ everywhere, each large enough that writing it
// takes a while.
reg::Database large_state(char tag) {
    reg::Registry registry{1, 2, 1000, {}};
    registry.domains.push_back(reg::Domain{std::string("Domain-") + tag, {}});
    for (int i = 0; i < 4000; ++i)
        registry.domains.back().principals.push_back(reg::Principal{
            std::string("user-") + tag + std::to_string(i), tag, registry.next_number++, 1,
            std::string(16, tag), std::string(32, tag)});
    return reg::Database{{registry}};
}

TEST_F(Registry, AWriterKilledAtAnyMomentLeavesTheOldOrTheNewFile) {
    const reg::Database states[] = {large_state('a'), large_state('b')};
    ASSERT_EQ(0, reg::update([&](reg::Database &db) { db = states[0]; return 0; }, -2));
    for (int round = 0; round < 60; ++round) {
        int written[2];
        ASSERT_EQ(0, ::pipe(written));
        pid_t writer = ::fork();
        ASSERT_GE(writer, 0);
        if (writer == 0) {
            for (unsigned i = 1;; ++i)
                if (reg::update([&](reg::Database &db) { db = states[i % 2]; return 0; }, -2) == 0)
                    (void)!::write(written[1], "w", 1);
        }
        ::close(written[1]);
        // Kill during the first, second or third write, at a spread moment.
        char byte = 0;
        for (int completed = 0; completed < round % 3; ++completed)
            ASSERT_EQ(1, ::read(written[0], &byte, 1));
        ::usleep(static_cast<useconds_t>(round * 7919 % 20000));
        ::kill(writer, SIGKILL);
        ::close(written[0]);
        int status = 0;
        ASSERT_EQ(writer, ::waitpid(writer, &status, 0));
        reg::Database now;
        ASSERT_EQ(0, reg::load(now)) << "round " << round;
        ASSERT_TRUE(now == states[0] || now == states[1]) << "round " << round;
    }
    // The next writer clears what the killed ones left behind.
    ASSERT_EQ(0, reg::update([](reg::Database &) { return 0; }, -2));
    std::set<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR *)> dir(::opendir((home_ + "/registry").c_str()), &::closedir);
    while (const dirent *entry = ::readdir(dir.get()))
        names.insert(entry->d_name);
    EXPECT_EQ((std::set<std::string>{".", "..", "pdr.db", "pdr.lock"}), names);
}

}  // namespace
