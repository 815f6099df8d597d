// The security services end to end on two test hosts joined by a veth
// link: alpha runs the real broker (set up with the admin tool), both hosts
// run the real library from their own /opt/YORBat. Each host writes what it
// saw as lines of text that the test compares whole.
#include <arpa/inet.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <thread>

#include "yq_memory.h"
#include "yq_paths.h"
#include "yqtest_yorbat.h"
#include "yss_auth.h"

namespace {

namespace fs = std::filesystem;

const std::string kIssuer = "/O=YORBat@alpha.yq.test/OU=root@alpha.yq.test/CN=YORBat broker root";

// A context for the broker on alpha, cleaned up at the end of the body.
struct Context {
    YssConInfo_t record{};
    int status = YssInit(3, "alpha", 0, &record);
    YssConInfo_t *operator&() { return &record; }
    ~Context() { YssCleanUp(3, &record); }
};

std::string cert_text(YssCertInfo info) {
    std::string text = std::string(info.Name ? info.Name : "-") + " " + (info.Domain ? info.Domain : "-") + " " +
                       std::to_string(info.AuthMode) + (info.IssuedBy && info.IssuedBy == kIssuer ? "" : " issuer?");
    FreeYssCertInfo(&info);
    return text;
}

std::string peer_of(YssConInfo_t *record) {
    YssCertInfo info{};
    int status = YssGetPeerCertInfo(&info, record);
    return status ? "peer " + std::to_string(status) : cert_text(info);
}

std::string roots(YssConInfo_t *record) {
    YssCertInfo *certs = nullptr;
    int count = 0, status = YssEnumRootCerts(&certs, &count, record);
    std::string text = std::to_string(status) + " [";
    for (int i = 0; i < count; ++i) text += std::string(i ? ", " : "") + certs[i].Domain;
    for (int i = 0; i < count; ++i) FreeYssCertInfo(&certs[i]);
    std::free(certs);
    return text + "]";
}

// Accepts on alpha's port 5000, or connects to it once alpha listens.
int tcp_to_alpha(bool accepting) {
    sockaddr_in where{AF_INET, htons(5000), {inet_addr("192.0.2.1")}, {}};
    const auto *address = reinterpret_cast<sockaddr *>(&where);
    yq::unique_fd fd;
    const auto fresh = [&] { return fd.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)), fd.get(); };
    if (accepting)
        return bind(fresh(), address, sizeof where) || listen(fd.get(), 1) ? -1 : accept4(fd.get(), nullptr, nullptr, 0);
    return yqtest::eventually([&] { return connect(fresh(), address, sizeof where) == 0; }) ? fd.release() : -1;
}

// 6 KiB each way: the connecting side sends, the accepting side echoes it reversed.
std::string converse(YssConInfo_t *record, bool accepting) {
    std::string mine(6144, '\0'), theirs(6144, '\0');
    for (size_t i = 0; i < mine.size(); ++i) mine[i] = static_cast<char>(i * 7 + 3);
    YssSetSocket(tcp_to_alpha(accepting), record);
    unsigned size = static_cast<unsigned>(mine.size());
    if (int status = accepting ? YssAccept(record) : YssConnect(record)) return "handshake " + std::to_string(status);
    bool flowed = accepting ? YssRead(theirs.data(), size, 0, record) == 0 &&
                                  YssWrite(std::string(theirs.rbegin(), theirs.rend()).data(), size, 0, record) == 0 &&
                                  theirs == mine
                            : YssWrite(mine.data(), size, 0, record) == 0 &&
                                  YssRead(theirs.data(), size, 0, record) == 0 &&
                                  theirs == std::string(mine.rbegin(), mine.rend());
    std::string text = std::string(flowed ? "data ok" : "data lost") + ", peer " + peer_of(record);
    text += ", close " + std::to_string(YssClose(record));
    close(record->socket);
    return text;
}

class YssScenario : public ::testing::Test {
protected:
    std::string log = yqtest::scratch_dir() + "/broker.log";

    static void SetUpTestSuite() {
        std::system("echo '192.0.2.1 alpha.yq.test alpha' >> /etc/hosts");
        yqtest::add_pam_account();
    }
    void SetUp() override {
        if (std::string why = yqtest::netns_unavailable(); !why.empty()) GTEST_SKIP() << why;
    }

    // Runs `on_alpha` and `on_beta` on the two hosts while alpha's broker serves.
    // With `together` false, beta starts once alpha has finished.
    void run(const std::function<std::string()> &on_alpha, const std::function<std::string()> &on_beta,
             std::string &alpha_text, std::string &beta_text, bool together = true) {
        yqtest::TwoHosts hosts(on_alpha, on_beta);
        ASSERT_EQ(hosts.error, "");
        for (const yqtest::TestHost *host : {&hosts.alpha, &hosts.beta})
            yqtest::install_library(host->root() + YQ_PATH_YORBAT_HOME, YORBAT_LIB);
        ASSERT_EQ(yqtest::admin(YORBAT_ADMIN_BIN, YQ_PATH_YORBAT_HOME, {"setup-broker --host alpha.yq.test",
                                 "domain add Sales", "user add Sales alice --password-file " + yqtest::password_file()},
                                hosts.alpha.pid()), "");
        fs::remove(yqtest::scratch_dir() + "/alpha-ready");
        yqtest::BrokerProcess broker(YORBAT_BROKER_BIN, {"--debug-log", log, "--pam-service", "yorbat-test"},
                                     hosts.alpha.pid());
        ASSERT_TRUE(broker.ready());
        std::thread alpha_side([&] { alpha_text = hosts.alpha.finish(); });
        if (!together) alpha_side.join();
        beta_text = hosts.beta.finish();
        if (together) alpha_side.join();
        EXPECT_EQ(broker.stop(), 0);
    }
};

// What a host saw: "label result" a step, each step a statement of its own
// so that the steps run in the order written.
struct Steps {
    std::string text;
    void operator()(const std::string &label, const std::string &result) {
        text += (text.empty() ? "" : ", ") + label + " " + result;
    }
    void operator()(const std::string &label, int status) { (*this)(label, std::to_string(status)); }
};

TEST_F(YssScenario, LoginsOnBothHostsCarryASecureConversation) {
    std::string alpha, beta;
    run(
        [] {
            Context c;
            Steps s;
            s("init", c.status);
            s("trust", YssGetRootCert(nullptr, 0, &c));
            s("wrong password", YssAuthenticate("alice", 5, "secret-9", 8, "Sales", 5, YSS_AUTH_YQ, &c));
            // Counted texts: only the characters within the length count.
            s("yq", YssAuthenticate("alice", 5, "secret-1x", 8, "Sales", 5, YSS_AUTH_YQ, &c));
            s("fetch", YssGetCreds("alicex", 5, "Salesx", 5, YSS_AUTH_YQ, &c));
            s("renew", YssCredRenew(&c));
            yqtest::write_file(yqtest::scratch_dir() + "/alpha-ready", "");
            s("accepted", converse(&c, true));
            return s.text;
        },
        [] {
            // The broker serves one host at a time here (the two at once lose requests).
            yqtest::eventually([] { return yqtest::exists(yqtest::scratch_dir() + "/alpha-ready"); });
            Context c;
            Steps s;
            s("trust", YssGetRootCert("alpha.yq.test", 2821, &c));
            s("unixpwd", YssAuthenticate("yqpam", 5, "pam-Secret7", 11, nullptr, 0, YSS_AUTH_UNIXPWD, &c));
            s("connected", converse(&c, false));
            return s.text;
        },
        alpha, beta);
    EXPECT_EQ(alpha, "init 0, trust 0, wrong password 45, yq 0, fetch 0, renew 0, accepted data ok, peer yqpam "
                     "unixpwd@alpha.yq.test 4, close 0");
    EXPECT_EQ(beta, "trust 0, unixpwd 0, connected data ok, peer alice Sales@alpha.yq.test 3, close 0");
    // A "yq" domain without an at sign goes out as the registry's qualified name (the refused
    // login is logged as asked).
    EXPECT_NE(yqtest::read_file(log).find("authenticate yq:Sales@alpha.yq.test/alice 0x600b"), std::string::npos);
}

TEST_F(YssScenario, CredentialFilesAndTrustedRoots) {
    std::string alpha, beta;
    run([] { return std::string(); },
        [] {
            Context c, d;
            Steps s;
            const std::string dir = YQ_PATH_KELDA, file = dir + "/cred.pem";
            fs::create_directory(dir + "/taken");
            yqtest::write_file(dir + "/empty", "");
            s("trust", YssGetRootCert(nullptr, 0, &c));
            s("login", YssAuthenticate("yqpam", 5, "pam-Secret7", 11, nullptr, 0, YSS_AUTH_UNIXPWD, &c));
            s("export", YssExportCredential(file.c_str(), &c));
            s("onto a directory", YssExportCredential((dir + "/taken").c_str(), &c));
            std::set<std::string> left;  // no temporary file stays behind
            for (const auto &entry : fs::directory_iterator(dir)) left.insert(entry.path().filename().string());
            for (const std::string &name : left) s("has", name);
            s("import", YssImportCredential(file.c_str(), &d));
            YssCertInfo info{};
            s("imported", YssGetCertInfo(&info, &d) ? "?" : cert_text(info));
            s("directory", YssImportCredential(dir.c_str(), &d));
            s("empty", YssImportCredential((dir + "/empty").c_str(), &d));
            s("roots", roots(&c));
            s("remove beta", YssRemoveRootCert("beta.yq.test", &c));
            s("roots", roots(&c));
            s("remove alpha", YssRemoveRootCert("alpha.yq.test", &c));
            s("roots", roots(&c));
            return s.text;
        },
        alpha, beta);
    EXPECT_EQ(beta, "trust 0, login 0, export 0, onto a directory 34, has cred.pem, has empty, has taken, import 0, "
                    "imported yqpam unixpwd@alpha.yq.test 4, directory 1, empty 14, roots 0 [YORBat@alpha.yq.test], "
                    "remove beta 0, roots 0 [YORBat@alpha.yq.test], remove alpha 0, roots 0 []");
}

TEST_F(YssScenario, RegistryOnTheBrokerHostValidationFromTheOther) {
    std::string alpha, beta;
    run(
        [] {
            Context c;
            Steps s;
            s("bob", YssRegisterUser("bob", "secret-2", "Sales", &c));
            s("again", YssRegisterUser("bob", "secret-3", "Sales", &c));
            s("old password", YssAuthenticate("bob", 3, "secret-2", 8, "Sales", 5, YSS_AUTH_YQ, &c));
            s("new", YssAuthenticate("bob", 3, "secret-3", 8, "Sales", 5, YSS_AUTH_YQ, &c));
            s("remove", YssRemoveUser("bob", "Sales", &c));
            s("absent", YssRemoveUser("bob", "Sales", &c));
            s("reserved", YssRegisterUser("x", "secret-4", "CRW_Machines", &c));
            s("reserved", YssRemoveDomain("CRW_Machines", &c));
            s("machine", YssRegisterMachine("beta", "secret-5", &c));
            s("again", YssRegisterMachine("beta", "secret-6", &c));
            char **names = nullptr, name[64];
            int count = 0;
            s("machines", YssGetCRWMachineNames(&names, &count, &c));
            for (int i = 0; i < count; ++i) s("", names[i]), std::free(names[i]);
            std::free(names);
            s("machines' domain", YssGetCRWMachinesDomainName(name, sizeof name, &c));
            s("", name);
            s("domain", YssRegisterDomain("Support", &c));
            s("again", YssRegisterDomain("Support", &c));
            s("remove", YssRemoveDomain("Support", &c));
            s("absent", YssRemoveDomain("Support", &c));
            s("no room for the end", YssGetFQPrivateDomainName("Sales", name, 19, &c));
            s("", name);
            return s.text;
        },
        [] {
            Context c;
            Steps s;
            s("trust", YssGetRootCert(nullptr, 0, &c));
            const std::tuple<const char *, const char *, int, int> asked[] = {
                {"alice", "Sales", YSS_AUTH_YQ, 3}, {"Sales", "Sales", YSS_AUTH_YQ, 4},
                {"yqpam", "", YSS_AUTH_UNIXPWD, 3}, {"nobody", "Sales", YSS_AUTH_YQ, 3},
                {"yqnogroup", "", YSS_AUTH_UNIXPWD, 4}};
            for (auto [name, domain, mode, type] : asked) {
                YssValidID *id = nullptr;
                s(name, YssValidateID(name, domain, mode, type, "alpha", 0, &id, &c));
                if (id) s(id->name, std::string(id->domain) + " " + std::to_string(id->principalValue) + " " +
                                        std::to_string(id->idType));
                FreeYssValidID(&id);
            }
            return s.text;
        },
        alpha, beta, false);
    EXPECT_EQ(alpha, "bob 0, again 0, old password 45, new 0, remove 0, absent 0, reserved 28, reserved 28, "
                     "machine 0, again 0, machines 0,  beta, machines' domain 0,  CRW_Machines@alpha.yq.test, "
                     "domain 0, again 21, remove 0, absent 0, no room for the end 56,  Sales@alpha.yq.tes");
    EXPECT_EQ(beta, "trust 0, alice 0, alice Sales@alpha.yq.test 1000 3, Sales 0, Sales Sales@alpha.yq.test 0 4, "
                    "yqpam 0, yqpam unixpwd@alpha.yq.test 4321 3, nobody 51, yqnogroup 52");
}

}  // namespace
