// Credential files, logins and the login cache against the real companions:
// a broker on the loopback of a network of the test's own, the configuration
// library reading cw.conf, the caller's home directory a fresh tmpfs.
#include <pwd.h>
#include <sys/mount.h>
#include <unistd.h>
#include <utime.h>

#include <ctime>
#include <filesystem>
#include <memory>

#include "yq_paths.h"
#include "yqtest_report.h"
#include "yqtest_yorbat.h"
#include "ynet.h"
#include "yss_auth.h"

namespace fs = std::filesystem;

namespace {

std::string scratch(const std::string &name) { return yqtest::scratch_dir() + "/" + name; }
std::string home() { return getpwuid(geteuid())->pw_dir; }
std::string host_name() {
    char name[256] = "";
    gethostname(name, sizeof name - 1);
    return name;
}

void age(const std::string &path) {  // last changed eight days ago
    const time_t then = time(nullptr) - 8 * 86400;
    const utimbuf times{then, then};
    utime(path.c_str(), &times);
}

// "name domain mode" of a credential file, else its import status.
std::string holder(const std::string &path) {
    YssConInfo_t c{};
    YssCertInfo info{};
    int status = YssInit(3, "", 0, &c);
    status = status != 0 ? status : YssImportCredential(path.c_str(), &c);
    std::string text = std::to_string(status);
    if (status == 0 && YssGetCertInfo(&info, &c) == 0)
        text = std::string(info.Name) + " " + info.Domain + " " + std::to_string(info.AuthMode);
    FreeYssCertInfo(&info);
    YssCleanUp(3, &c);
    return text;
}

class Credentials : public ::testing::Test {
protected:
    std::unique_ptr<yqtest::BrokerProcess> broker;
    const std::string log = scratch("broker.log");

    static void SetUpTestSuite() {
        if (!yqtest::netns_unavailable().empty() || !yqtest::private_loopback()) return;
        yqtest::add_pam_account();
        mount("yq-home", home().c_str(), "tmpfs", 0, "mode=0755");
        yqtest::install_library(YQ_PATH_YORBAT_HOME, YORBAT_LIB);
        fs::create_directories(fs::path(YQ_PATH_CRCONF_LIB).parent_path());
        fs::copy_file(YCRCONF_LIB, YQ_PATH_CRCONF_LIB, fs::copy_options::overwrite_existing);
        fs::create_directories(YQ_PATH_CARROW_DIR);
        // Two entries lead to the machines' broker at the default port.
        yqtest::write_file(YQ_PATH_CW_CONF, "VERBOSE = 9\n"
                                            "AUTHENTICATION_DOMAIN = CRW_Machines@localhost \"m\" 3 localhost 0\n"
                                            "AUTHENTICATION_DOMAIN = crw_machines@localhost \"m\" 3 localhost 0\n"
                                            "AUTHENTICATION_DOMAIN = Sales \"private\" 3 localhost 0\n"
                                            "AUTHENTICATION_DOMAIN = unix \"pam\" 2 localhost 0\n");
        ASSERT_EQ(yqtest::admin(YORBAT_ADMIN_BIN, YQ_PATH_YORBAT_HOME,
                                {"setup-broker --host localhost", "domain add Sales",
                                 "user add Sales alice --password-file " + yqtest::password_file(),
                                 "machine add alpha --password-file " + yqtest::password_file(),
                                 "issue-machine alpha --out " + scratch("alpha.pem")}),
                  "");
        // A credential whose issuer names no broker.
        ASSERT_TRUE(yqtest::run_in(0, "cd " + yqtest::scratch_dir() +
                                          " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"
                                          " -subj /O=CRW_Machines@localhost/OU=yq/CN=alpha -days 30 -keyout k.pem"
                                          " -out c.pem 2>/dev/null && cat c.pem k.pem > odd.pem"));
    }
    void SetUp() override {
        if (std::string why = yqtest::netns_unavailable(); !why.empty()) GTEST_SKIP() << why;
        broker = std::make_unique<yqtest::BrokerProcess>(
            YORBAT_BROKER_BIN, std::vector<std::string>{"--debug-log", log, "--pam-service", "yorbat-test"});
        ASSERT_TRUE(broker->ready());
        YssConInfo_t c{};
        ASSERT_EQ(YssInit(3, "localhost", 2821, &c) + YssGetRootCert(nullptr, 0, &c), 0);
        YssCleanUp(3, &c);
    }
    void TearDown() override { unsetenv("YQSS_CREDENTIAL_PATH"); }
    int renewals() const {  // renewal requests the broker has logged
        int n = 0;
        for (const std::string &line : yqtest::read_lines(log)) n += line.find(" renew ") != std::string::npos;
        return n;
    }
};

TEST_F(Credentials, ImportTrustsRecentFilesAndRenewsOldMachineCredentials) {
    const std::string user = scratch("user.pem");
    ASSERT_EQ(ynet_yqss_change_user(nullptr, 4, "localhost", 0, "yqpam", "pam-Secret7", user.c_str(), 0), 0);
    const std::string alpha = scratch("alpha.pem"), issued = yqtest::read_file(alpha);
    struct Row {
        const char *what, *file;
        bool old, broker_up;
        int check_expiry, status, renew_requests;
        const char *report;
    } rows[] = {
        {"recent: not looked into", "odd.pem", false, true, 1, 0, 0, ""},
        {"issuer without an at sign", "odd.pem", true, true, 0, 35, 0, "Bad IssuedBy"},
        {"old user credential, exchange", "user.pem", true, true, 0, 0, 0, "Assuming credential OK"},
        {"old user credential, login", "user.pem", true, true, 1, 35, 0, "Assuming credential expired"},
        {"old machine credential renewed", "alpha.pem", true, true, 0, 0, 1, "Credential renewed for file"},
        {"broker gone: one try at 2821", "alpha.pem", true, false, 0, 36, 0, "cannot renew credential"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        if (row.old) age(scratch(row.file));
        if (!row.broker_up) broker->stop();
        const int before = renewals();
        yqtest::Reports reports;
        YssConInfo_t c{};
        ASSERT_EQ(YssInit(3, "", 0, &c), 0);
        EXPECT_EQ(ynet_yqss_import_credential(scratch(row.file).c_str(), row.check_expiry, &c), row.status);
        YssCleanUp(3, &c);
        EXPECT_TRUE(reports.has(row.report));
        EXPECT_TRUE(yqtest::eventually([&] { return renewals() - before == row.renew_requests; }));
        EXPECT_EQ(reports.count("YssCredRenew failed"), row.broker_up ? 0 : 1);
    }
    EXPECT_NE(yqtest::read_file(alpha), issued);  // written back in place
    EXPECT_EQ(holder(alpha), "alpha CRW_Machines@localhost 3");
}

TEST_F(Credentials, LoginsStoreTheCredentialAndRememberTheLogin) {
    const std::string mine = home() + "/.yqss/credentials";
    const std::string cache = home() + "/.yqss/" + host_name() + "_yqpam_cache.txt";
    std::string seen;  // "label status [holder]" a step, each a statement of its own (run in order)
    auto step = [&](const std::string &label, int status, const std::string &file = "") {
        seen += label + " " + std::to_string(status) + (file.empty() ? "" : " " + holder(file)) + ", ";
    };
    step("alice", ynet_yqss_check_user_cred("sales", "alice", "secret-1", 1), mine);
    step("has one", ynet_yqss_check_user_cred(nullptr, nullptr, nullptr, 0));
    fs::remove(mine);
    step("pam", ynet_yqss_check_user_cred(nullptr, "yqpam", "pam-Secret7", 0), mine);
    fs::remove(mine);
    step("wrong", ynet_yqss_check_user_cred("Sales", "alice", "nope-nope", 0));
    step("none", ynet_yqss_check_user_cred(nullptr, nullptr, nullptr, 0));
    setenv("YQSS_CREDENTIAL_PATH", scratch("named.pem").c_str(), 1);
    step("named", ynet_yqss_check_user_cred("Sales", "alice", "secret-1", 0), scratch("named.pem"));
    unsetenv("YQSS_CREDENTIAL_PATH");
    const std::string changed = scratch("changed.pem");
    step("change", ynet_yqss_change_user("Sales", 3, "localhost", 0, "alice", "secret-1", changed.c_str(), 1));
    step("child sees it", system(("test \"$YQSS_CREDENTIAL_PATH\" = " + changed).c_str()));
    step("java", ynet_yqss_java_login("unix\\yqpam", "pam-Secret7", scratch("java.pem").c_str(), 0),
         scratch("java.pem"));
    seen += "[" + yqtest::read_file(cache) + "], ";
    // Only the cache knows the domain "Cached".
    ynet_yqss_set_login_cache("Cached", 4, "localhost", 2821, "yqpam");
    step("cached", ynet_yqss_java_login("Cached\\yqpam", "pam-Secret7", scratch("java.pem").c_str(), 0));
    step("no java mechanism", ynet_yqss_java_login("Sales\\alice", "secret-1", scratch("java.pem").c_str(), 0));
    EXPECT_EQ(seen, "alice 0 alice Sales@localhost 3, has one 0, pam 0 yqpam unixpwd@localhost 4, wrong 36, none 35, "
                    "named 0 alice Sales@localhost 3, change 0, child sees it 0, "
                    "java 0 yqpam unixpwd@localhost 4, [unix\n4\nlocalhost\n0\nyqpam\n], cached 0, "
                    "no java mechanism 35, ");
}

TEST_F(Credentials, LoginCacheFileHoldsFiveLines) {
    ASSERT_EQ(ynet_yqss_set_login_cache("Dom", 5, "brk", 2821, "a\\b\\c"), 0);
    const std::string file = home() + "/.yqss/" + host_name() + "_a\\b_c_cache.txt";
    EXPECT_EQ(yqtest::read_file(file), "Dom\n5\nbrk\n2821\na\\b\\c\n");
    struct Row {
        const char *what, *content;
        int status;
        const char *read;
    } rows[] = {
        {"as written", "D\n2\nB\n0x10\nU\n", 0, "D 2 B 16 U"},
        {"sixth line ignored", "D\n2\nB\n7\nU\nmore\n", 0, "D 2 B 7 U"},
        {"last line unended", "D\n2\nB\n7\nU", 3, ""},
        {"mechanism not a number", "D\n2x\nB\n7\nU\n", 3, ""},
        {"port not a number", "D\n2\nB\n7 \nU\n", 3, ""},
        {"short file", "D\n2\n", 0, "D 2 - -1 a\\b\\c"},
        {"missing", nullptr, 19, ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove(file);
        if (row.content != nullptr) yqtest::write_file(file, row.content);
        char domain[64] = "-", broker[64] = "-", user[64] = "a\\b\\c";
        int mechanism = -1, port = -1;
        EXPECT_EQ(ynet_yqss_get_login_cache(domain, 64, &mechanism, broker, 64, &port, user, 64), row.status);
        const std::string read = std::string(domain) + " " + std::to_string(mechanism) + " " + broker + " " +
                                 std::to_string(port) + " " + user;
        if (row.status == 0) {
            EXPECT_EQ(read, row.read);
        }
    }
}

}  // namespace
