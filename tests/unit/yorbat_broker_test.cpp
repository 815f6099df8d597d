// The broker as a real process on loopback, driven through the library's
// entry points: logins, renewal, fetches, validation, trust, refusals, PAM,
// a crowd with misbehaving clients in it, and a clean stop.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include "yorbat_protocol.h"
#include "yorbat_registry.h"
#include "yorbat_tls.h"
#include "yorbat_x509.h"
#include "yq_paths.h"
#include "yqtest_yorbat.h"

using namespace yorbat;
using namespace std::chrono_literals;

namespace {

const std::string kHome = YQ_PATH_YORBAT_HOME;
constexpr int kPort = 2821, kStrangerPort = 2822, kNobodyPort = 2823, kOneSlotPort = 2824;
const char kHost[] = "broker.test";

yorbat_broker_address at(int port, const char *host = "127.0.0.1") { return {host, port}; }

std::string root_cert(const std::string &root_pem) {
    x509::Credential root;
    return x509::Credential::parse(root_pem, root) == 0 ? root.certificate_pem() : "";
}

// A broker's files: `signer` signs its own certificate, `root` is what it
// issues with and hands out (they differ only for a broker that lies).
void write_broker_home(const std::string &home, const std::string &signer_pem, const std::string &root_pem) {
    x509::Credential signer;
    std::string own;
    ASSERT_EQ(x509::Credential::parse(signer_pem, signer), 0);
    ASSERT_EQ(x509::issue(signer, {"broker", std::string("YORBat@") + kHost, kHost}, 86400, own), 0);
    std::system(("mkdir -p " + home + "/broker").c_str());
    yqtest::write_file(home + "/broker/root.pem", root_pem, 0600);
    yqtest::write_file(home + "/broker/broker.pem", own, 0600);
    yqtest::write_file(home + "/broker/host", std::string(kHost) + "\n");
}

std::string new_root() {
    std::string pem;
    EXPECT_EQ(x509::make_root(kHost, 86400 * 365, pem), 0);
    return pem;
}

// A broker on `port` of loopback with its log beside its home.
struct Broker : yqtest::BrokerProcess {
    std::string log;
    Broker(const std::string &home, int port, bool foreground = true)
        : BrokerProcess(YORBAT_BROKER_BIN, {"--home", home, "--port", std::to_string(port), "--debug-log",
                                            home + "/broker-" + std::to_string(port) + ".log", "--pam-service",
                                            "yorbat-test"}, 0, foreground),
          log(home + "/broker-" + std::to_string(port) + ".log") {}
};

std::string take_text(char *text) {
    std::string copy = text ? text : "";
    if (text) yorbAtFree(text);
    return copy;
}

x509::Info info_of(const std::string &pem) {
    x509::Credential credential;
    x509::Info info;
    EXPECT_EQ(x509::Credential::parse(pem, credential), 0) << pem;
    credential.info(info);
    return info;
}

struct Identity {
    std::string name, domain;
    long number;
};

// A request the entry points never send, straight over TLS: the result answered.
int raw_result(const std::string &text, const x509::Credential *own = nullptr) {
    tls::Options options;
    trust::list(options.roots_pem);
    options.own = own;
    int fd = -1;
    tls::SessionPtr session;
    if (int opened = tls::connect_to(at(kPort), options, fd, session)) return opened;
    files::Descriptor socket(fd);
    protocol::Message answer;
    if (tls::write(*session, text.data(), static_cast<int>(text.size())) != static_cast<int>(text.size()) ||
        protocol::receive(*session, answer) != 0)
        return -2;
    return answer.result().value_or(-3);
}

class BrokerTest : public ::testing::Test {
protected:
    static inline std::string root_pem, stranger_home;
    static inline Broker *broker, *stranger;
    void *context = nullptr;

    static void SetUpTestSuite() {
        if (!yqtest::netns_unavailable().empty()) return;
        ASSERT_TRUE(yqtest::private_loopback());
        ASSERT_EQ(std::system("ip addr add 192.0.2.1/32 dev lo"), 0);  // a local address off loopback
        // The broker's files and principals as an administrator makes them.
        const std::string password = " --password-file " + yqtest::password_file();
        ASSERT_EQ(yqtest::admin(YORBAT_ADMIN_BIN, kHome, {"setup-broker --host broker.test", "domain add Sales",
                                 "user add Sales alice" + password, "user add Sales carol" + password}), "");
        root_pem = yqtest::read_file(kHome + "/broker/root.pem");
        ASSERT_EQ(trust::add(root_cert(root_pem)), 0);
        // A broker whose certificate this host does not trust and whose root did not sign it.
        stranger_home = yqtest::scratch_dir() + "/stranger";
        write_broker_home(stranger_home, new_root(), new_root());
        broker = new Broker(kHome, kPort);
        stranger = new Broker(stranger_home, kStrangerPort);
        ASSERT_TRUE(broker->ready() && stranger->ready());
    }
    static void TearDownTestSuite() {
        if (broker && broker->pid > 0) {
            EXPECT_EQ(broker->stop(), 0);  // under the sanitizers: nothing leaked either
        }
        delete broker;
        delete stranger;
    }
    void SetUp() override {
        if (std::string why = yqtest::netns_unavailable(); !why.empty()) GTEST_SKIP() << why;
        ASSERT_EQ(yorbAtInit(0, &context), 0);
    }
    void TearDown() override {
        if (context) yorbAtTerminate(context);
    }

    int authenticate(yorbat_principal_request request, std::string *pem = nullptr, int port = kPort,
                     const char *host = "127.0.0.1") {
        char *credential = nullptr;
        yorbat_broker_address address = at(port, host);
        int result = yorbAtAuthenticate(context, &request, &address, &credential);
        std::string text = take_text(credential);
        if (pem) *pem = text;
        return result;
    }
    int renew(const std::string &pem, std::string *renewed = nullptr) {
        char *fresh = nullptr;
        yorbat_broker_address address = at(kPort);
        int result = yorbAtCredentialRenew(context, pem.c_str(), &address, &fresh);
        std::string text = take_text(fresh);
        if (renewed) *renewed = text;
        return result;
    }
    int validate(bool user, const char *mechanism, const char *domain, const char *name, Identity *out = nullptr) {
        yorbat_word *words = nullptr;
        yorbat_broker_address address = at(kPort);
        yorbat_principal_request principal{mechanism, domain, name, nullptr};
        yorbat_group_request group{mechanism, domain, name};
        int result = user ? yorbAtValidatePrpl(context, &principal, &address, &words)
                          : yorbAtValidateGroup(context, &group, &address, &words);
        if (words && out)
            *out = {static_cast<const char *>(words[YORBAT_VALID_NAME]),
                    static_cast<const char *>(words[YORBAT_VALID_DOMAIN]),
                    static_cast<long>(reinterpret_cast<intptr_t>(words[YORBAT_VALID_NUMBER]))};
        if (words) yorbAtFree(words);
        return result;
    }
};

const std::string kIssuer = std::string("/O=YORBat@") + kHost + "/OU=root@" + kHost + "/CN=YORBat broker root";

TEST_F(BrokerTest, IssuesRenewsFetchesAndValidatesPrivateDomainPrincipals) {
    std::string issued, renewed;
    ASSERT_EQ(authenticate({"yq", "Sales", "alice", "secret-1"}, &issued), 0);
    x509::Info info = info_of(issued);
    EXPECT_EQ(info.principal.mechanism + " " + info.principal.domain + " " + info.principal.name,
              "yq Sales@broker.test alice");
    EXPECT_EQ(info.issuer, kIssuer);

    // Renewal: a fresh certificate for the same principal, an expired one too.
    x509::Credential root;
    std::string expired;
    ASSERT_EQ(x509::Credential::parse(root_pem, root), 0);
    ASSERT_EQ(x509::issue(root, info.principal, -60, expired), 0);
    for (const std::string &old : {issued, expired}) {
        ASSERT_EQ(renew(old, &renewed), 0);
        EXPECT_EQ(info_of(renewed).principal.name, "alice");
        EXPECT_NE(renewed, old);
    }

    // A fetch presents the newest own credential of that principal.
    char **list = nullptr;
    int count = 0;
    yorbat_principal_request alice{"yq", "Sales", "alice", nullptr};
    yorbat_broker_address address = at(kPort);
    ASSERT_EQ(yorbAtGetCredentials(context, &alice, &address, &list, &count), 0);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(info_of(list[0]).principal.domain, "Sales@broker.test");
    EXPECT_EQ(info_of(list[0]).issuer, kIssuer);
    yorbAtFree(list);

    Identity user{}, group{};
    registry::Found found;
    ASSERT_EQ(registry::find_principal("Sales", "alice", found), 0);
    ASSERT_EQ(validate(true, "yq", "Sales", "alice", &user), 0);
    EXPECT_EQ(user.name + " " + user.domain + " " + std::to_string(user.number),
              "alice Sales@broker.test " + std::to_string(found.number));
    ASSERT_EQ(validate(false, "yq", nullptr, "Sales", &group), 0);
    EXPECT_EQ(group.name + " " + group.domain + " " + std::to_string(group.number), "Sales Sales@broker.test 0");

    // The log has the requests and never a password.
    std::string log = yqtest::read_file(broker->log);
    EXPECT_NE(log.find(" authenticate yq:Sales@broker.test/alice 0x0\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" renew yq:Sales@broker.test/alice 0x0\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("secret-1"), std::string::npos) << log;

    // Forgetting the process's own credentials of one principal, then none left to forget.
    ASSERT_EQ(yorbAtDeleteCredentialsFromStore(context, &alice, &address), 0);
    EXPECT_EQ(yorbAtDeleteCredentialsFromStore(context, &alice, &address), YORBAT_STORE_EMPTY);
}

TEST_F(BrokerTest, SetupTrustTakesTheRootThatSignedTheBroker) {
    void *root = nullptr, *none = nullptr;
    yorbat_trust_request request{YORBAT_TRUST_BROKER_ROOT, 0, 0};
    yorbat_broker_address address = at(kPort);
    ASSERT_EQ(trust::remove(root_cert(root_pem)), 0);
    ASSERT_EQ(yorbAtSetupTrust(context, &address, &none, &request, &root), 0);
    EXPECT_EQ(take_text(static_cast<char *>(root)), root_cert(root_pem));
    std::vector<std::string> trusted;
    ASSERT_EQ(trust::list(trusted), 0);
    EXPECT_EQ(trusted, std::vector<std::string>{root_cert(root_pem)});
}

TEST_F(BrokerTest, RefusalsCarryTheirResults) {
    x509::Credential root, stranger_root, held;
    std::string alien, carol, bob, stranger_root_pem = yqtest::read_file(stranger_home + "/broker/root.pem");
    ASSERT_EQ(x509::Credential::parse(root_pem, root), 0);
    ASSERT_EQ(x509::Credential::parse(stranger_root_pem, stranger_root), 0);
    ASSERT_EQ(x509::issue(stranger_root, {"yq", "Sales@broker.test", "alice"}, 3600, alien), 0);
    ASSERT_EQ(x509::issue(root, {"yq", "Sales@broker.test", "carol"}, 3600, carol), 0);
    ASSERT_EQ(x509::issue(root, {"yq", "Sales@broker.test", "bob"}, 3600, bob), 0);
    ASSERT_EQ(x509::Credential::parse(bob, held), 0);
    yorbat_trust_request trust_root{YORBAT_TRUST_BROKER_ROOT, 0, 0}, trust_other{2, 0, 0};
    auto setup_trust = [&](int port, const yorbat_trust_request &request) {
        void *root_text = nullptr;
        yorbat_broker_address address = at(port);
        int result = yorbAtSetupTrust(context, &address, nullptr, &request, &root_text);
        take_text(static_cast<char *>(root_text));
        return result;
    };
    const std::string too_large = "op=root\nname=" + std::string(70000, 'x') + "\n\n";
    const struct {
        const char *what;
        std::function<int()> run;
        int expected;
    } rows[] = {
        {"wrong password", [&] { return authenticate({"yq", "Sales", "alice", "secret-2"}); }, YORBAT_BAD_LOGIN},
        {"unknown principal", [&] { return authenticate({"yq", "Sales", "nobody", "secret-1"}); }, YORBAT_BAD_LOGIN},
        {"yq without domain", [&] { return authenticate({"yq", nullptr, "alice", "secret-1"}); },
         YORBAT_INVALID_ARGUMENT},
        {"nis", [&] { return authenticate({"nis", "x", "alice", "secret-1"}); }, YORBAT_MECHANISM_UNSUPPORTED},
        {"nisplus", [&] { return authenticate({"nisplus", "x", "alice", "pw"}); }, YORBAT_MECHANISM_UNSUPPORTED},
        {"nt", [&] { return authenticate({"nt", nullptr, nullptr, nullptr}); }, YORBAT_MECHANISM_UNSUPPORTED},
        {"localhost off loopback",
         [&] { return authenticate({"localhost", nullptr, nullptr, nullptr}, nullptr, kPort, "192.0.2.1"); },
         YORBAT_PERMISSION_DENIED},
        {"renew without credential", [&] { return raw_result("op=renew\n\n"); }, YORBAT_PERMISSION_DENIED},
        {"renew of another broker's credential", [&] { return renew(alien); }, YORBAT_PERMISSION_DENIED},
        {"renew after the principal was removed", [&] {
             EXPECT_EQ(registry::delete_principal(0, "Sales", "carol"), 0);
             return renew(carol);
         }, YORBAT_CREDENTIAL_REVOKED},
        {"credentials for someone else",
         [&] { return raw_result("op=credentials\nmechanism=yq\nname=alice\n\n", &held); },
         YORBAT_PERMISSION_DENIED},
        {"unknown user", [&] { return validate(true, "yq", "Sales", "nobody"); }, YORBAT_NOT_FOUND},
        {"unknown group", [&] { return validate(false, "yq", nullptr, "Marketing"); }, YORBAT_NOT_FOUND},
        {"unknown operation", [&] { return raw_result("op=delete\n\n"); }, YORBAT_INVALID_ARGUMENT},
        {"malformed request", [&] { return raw_result("op=root\nop=root\n\n"); }, YORBAT_INVALID_ARGUMENT},
        {"request too large", [&] { return raw_result(too_large); }, YORBAT_INVALID_ARGUMENT},
        {"untrusted broker", [&] { return authenticate({"yq", "Sales", "alice", "secret-1"}, nullptr, kStrangerPort); },
         YORBAT_BROKER_NOT_TRUSTED},
        {"unreachable broker", [&] { return authenticate({"yq", "Sales", "alice", "secret-1"}, nullptr, kNobodyPort); },
         YORBAT_BROKER_UNREACHABLE},
        {"root that did not sign the broker", [&] { return setup_trust(kStrangerPort, trust_root); },
         YORBAT_ROOT_REJECTED},
        {"trust request of another kind", [&] { return setup_trust(kPort, trust_other); }, YORBAT_INVALID_ARGUMENT},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(row.run(), row.expected);
    }
}

TEST_F(BrokerTest, UnixPasswordsGoThroughPamAndLocalhostTrustsTheKernel) {
    yqtest::add_pam_account();
    std::string pem;
    ASSERT_EQ(authenticate({"unixpwd", nullptr, "yqpam", "pam-Secret7"}, &pem), 0);
    x509::Info info = info_of(pem);
    EXPECT_EQ(info.principal.mechanism + " " + info.principal.domain + " " + info.principal.name,
              "unixpwd unixpwd@broker.test yqpam");
    EXPECT_EQ(authenticate({"unixpwd", nullptr, "yqpam", "pam-Secret8"}), YORBAT_BAD_LOGIN);
    Identity user{}, group{};
    ASSERT_EQ(validate(true, "unixpwd", nullptr, "yqpam", &user), 0);
    EXPECT_EQ(user.number, 4321);
    ASSERT_EQ(validate(false, "unixpwd", nullptr, "yqpamgrp", &group), 0);
    EXPECT_EQ(group.domain, "unixpwd@broker.test");

    // localhost: the owner of the connection (this test runs as root); naming anyone else fails.
    ASSERT_EQ(authenticate({"localhost", nullptr, nullptr, nullptr}, &pem), 0);
    EXPECT_EQ(info_of(pem).principal.name + " " + info_of(pem).principal.domain, "root localhost@broker.test");
    EXPECT_EQ(authenticate({"localhost", nullptr, "yqpam", "pam-Secret7"}), YORBAT_BAD_LOGIN);
}

// How many descriptors and threads the broker holds now.
std::pair<size_t, std::string> footprint(pid_t pid) {
    std::string dir = "/proc/" + std::to_string(pid);
    size_t fds = 0;
    for (const auto &entry : std::filesystem::directory_iterator(dir + "/fd")) fds += !entry.path().empty();
    for (const std::string &line : yqtest::read_lines(dir + "/status"))
        if (line.starts_with("Threads:")) return {fds, line};
    return {fds, "?"};
}

TEST_F(BrokerTest, CrowdWithMisbehavingClientsIsServedAndLeavesNothingBehind) {
    ASSERT_TRUE(yqtest::eventually([&] { return footprint(broker->pid).second == "Threads:\t1"; }));  // earlier tests' gone
    const auto before = footprint(broker->pid);
    // Garbage, half a request then silence, and silence from the start.
    std::vector<files::Descriptor> plain;
    std::vector<std::pair<files::Descriptor, tls::SessionPtr>> stalled(5);
    tls::Options options;
    trust::list(options.roots_pem);
    for (auto &[socket, session] : stalled) {
        int fd = -1;
        ASSERT_EQ(tls::connect_to(at(kPort), options, fd, session), 0);
        socket = files::Descriptor(fd);
        ASSERT_EQ(tls::write(*session, "op=authenticate\nmecha", 21), 21);
    }
    for (int i = 0; i < 10; ++i) {
        plain.emplace_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{AF_INET, htons(kPort), {htonl(INADDR_LOOPBACK)}, {}};
        ASSERT_EQ(connect(plain.back().get(), reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        if (i % 2) {
            ASSERT_EQ(write(plain.back().get(), "GET / HTTP/1.0\r\n\r\n\x16\x03", 20), 20);
        }
    }
    // Validations: cheap for the broker, so the crowd tests its conversations, not its CPU.
    std::vector<Identity> answered(100);
    std::vector<std::thread> crowd;
    for (Identity &identity : answered)
        crowd.emplace_back([this, out = &identity] { validate(true, "yq", "Sales", "alice", out); });
    for (std::thread &member : crowd) member.join();
    for (const Identity &identity : answered)
        ASSERT_EQ(identity.name + " " + identity.domain, "alice Sales@broker.test");
    plain.clear();
    stalled.clear();
    EXPECT_TRUE(yqtest::eventually([&] { return footprint(broker->pid) == before; }))
        << footprint(broker->pid).first << " " << footprint(broker->pid).second << " before " << before.first << " "
        << before.second;
}

// At its client limit the broker leaves further clients in the backlog: a login that arrives
// while a silent client holds the only slot is served once that slot frees, not refused.
TEST_F(BrokerTest, AtItsLimitClientsWaitForASlot) {
    yqtest::BrokerProcess one_slot(YORBAT_BROKER_BIN, {"--home", kHome, "--port", std::to_string(kOneSlotPort),
                                                       "--max-clients", "1"}, 0, true);
    ASSERT_TRUE(one_slot.ready());
    files::Descriptor holder(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{AF_INET, htons(kOneSlotPort), {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(connect(holder.get(), reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    std::thread release([&] { std::this_thread::sleep_for(std::chrono::milliseconds(500)); holder = files::Descriptor(-1); });
    EXPECT_EQ(authenticate({"yq", "Sales", "alice", "secret-1"}, nullptr, kOneSlotPort), 0);
    release.join();
}

TEST_F(BrokerTest, SigtermStopsTheBrokerAndRemovesItsPidFile) {
    Broker foreground(kHome, kNobodyPort);
    ASSERT_TRUE(foreground.ready());
    EXPECT_EQ(foreground.stop(), 0);
    EXPECT_FALSE(yqtest::exists(foreground.pid_file));

    // Detached: the caller returns 0 once the daemon listens and its pid is written.
    Broker detached(kHome, kNobodyPort, false);
    int status = -1;
    ASSERT_GT(waitpid(std::exchange(detached.pid, -1), &status, 0), 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    pid_t daemon = std::atoi(yqtest::read_file(detached.pid_file).c_str());
    ASSERT_GT(daemon, 0);
    ASSERT_EQ(kill(daemon, SIGTERM), 0);
    EXPECT_TRUE(yqtest::eventually([&] {
        std::string proc = "/proc/" + std::to_string(daemon);
        std::string stat = yqtest::exists(proc) ? yqtest::read_file(proc + "/stat") : "";  // gone, or a zombie
        return !yqtest::exists(detached.pid_file) && (stat.empty() || stat.find(") Z ") != std::string::npos);
    }));
}

}  // namespace
