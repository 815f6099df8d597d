// The per-connection decision with real processes on test hosts: the
// deciding host "client" is linked to the master alpha (whose ynetd answers
// the security query from its cw.conf), to beta (a ynetd of version 5) and
// to gamma (a ynetd of version 4). Then the credential locations.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "crconf.h"
#include "ynet.h"
#include "yq_paths.h"
#include "yqtest.h"
#include "yqtest_netns.h"
#include "yqtest_resolv.h"
#include "yqtest_wire.h"
#include "yqtest_yorbat.h"

namespace {

// Every row asked on the client: the cw.conf lines of the client and of the
// master, the peer, whether the version probe is allowed and a credential
// named; the outcome "use capable status credential?".
const struct {
    const char *what;
    const char *client_conf;
    const char *master_networks;
    const char *peer;
    int check_version;
    bool credential;
    const char *outcome;
} kRows[] = {
    // The decision (peer beta, a capable ynetd).
    {"prohibited", "USE_YQSS = PROHIBITED", "", "192.0.2.66", 1, true, "2 0 0 -"},
    {"required, credential", "USE_YQSS = REQUIRED", "", "192.0.2.66", 1, true, "1 0 0 cred"},
    {"required, none", "USE_YQSS = REQUIRED", "", "192.0.2.66", 1, false, "1 0 35 -"},
    {"network prohibits", "", "YQSS_NETWORK = beta PROHIBITED", "192.0.2.66", 1, true, "2 1 0 -"},
    {"network requires", "", "YQSS_NETWORK = 192.0.2.64/26 REQUIRED", "192.0.2.66", 1, true,
     "1 1 0 cred"},
    {"network requires, none", "", "YQSS_NETWORK = beta REQUIRED", "192.0.2.66", 1, false, "1 1 35 -"},
    {"network automatic", "", "YQSS_NETWORK = beta AUTOMATIC", "192.0.2.66", 1, true, "0 1 0 cred"},
    {"no network matches", "", "YQSS_NETWORK = gamma REQUIRED", "192.0.2.66", 1, true, "0 1 0 cred"},
    {"no network, none", "", "", "192.0.2.66", 1, false, "2 1 0 -"},
    {"first match decides", "",
     "YQSS_NETWORK = 192.0.2.66 PROHIBITED\nYQSS_NETWORK = beta REQUIRED", "192.0.2.66", 1, true, "2 1 0 -"},
    // The remote capability.
    {"master", "", "", "192.0.2.2", 1, true, "0 1 0 cred"},
    {"local host", "", "", "192.0.2.65", 1, true, "0 1 0 cred"},
    {"version 4", "", "YQSS_NETWORK = gamma REQUIRED", "192.0.2.130", 1, true, "2 0 0 -"},
    {"version 4, no probe", "", "YQSS_NETWORK = gamma REQUIRED", "192.0.2.130", 0, true, "1 0 0 cred"},
    {"version 4, required", "USE_YQSS = REQUIRED", "", "192.0.2.130", 1, true, "1 0 0 cred"},
    {"version 5, no probe", "", "", "192.0.2.66", 0, true, "0 0 0 cred"},
};

// Runs on the client: each row's outcome, a line each.
std::string decide_all(pid_t master) {
    const std::string credential = yqtest::client_with_credential();
    if (credential.empty()) return "cannot make root's home";
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in own{};
    own.sin_family = AF_INET;
    own.sin_port = htons(4000);
    ::bind(listener, reinterpret_cast<sockaddr *>(&own), sizeof own);
    ::listen(listener, 8);

    crconf_info_rec *info = nullptr;
    std::string text;
    long stamp = 1000000;
    for (const auto &row : kRows) {
        yqtest::write_cw_confs(master, stamp += 10, row.client_conf, row.master_networks,
                               row.credential ? credential : "");
        bool local = std::string(row.peer) == "192.0.2.65";
        int fd = yqtest::wire::tcp_connect(row.peer, local ? 4000 : YNETD_DEFAULT_PORT);
        char path[1025] = "x";
        int use = -1, capable = -1;
        int status = ynet_determine_yqss_socket(fd, row.check_version, &info, path, sizeof path, &use, &capable);
        ::close(fd);
        if (local) ::close(::accept(listener, nullptr, nullptr));
        text += std::string(row.what) + ": " + std::to_string(use) + " " + std::to_string(capable) + " " +
                std::to_string(status) + " " + (path == credential ? "cred" : path[0] == '\0' ? "-" : path) + "\n";
    }
    crconf_free_info(&info);
    return text;
}

TEST(YqssMode, DecisionAndRemoteCapabilityOverRealDaemons) {
    if (std::string why = yqtest::netns_unavailable(); !why.empty()) GTEST_SKIP() << why;
    ASSERT_TRUE(yqtest::isolate_network());
    yqtest::write_hosts("127.0.0.1 localhost\n192.0.2.1 client\n192.0.2.2 alpha\n192.0.2.65 client-b\n"
                        "192.0.2.66 beta\n192.0.2.129 client-c\n192.0.2.130 gamma\n");
    ::mkdir(YQ_PATH_YSS_DIR, 0755);
    yqtest::write_file(YQ_PATH_YORBAT_CONF, "\"InstallDir\"=\"" YQ_PATH_YORBAT_HOME "\"\n");
    yqtest::TestHost alpha("alpha", {}, true), beta("beta", {}, true), gamma("gamma", {}, true);
    pid_t master = alpha.pid();
    yqtest::TestHost client("client", [master] { return decide_all(master); }, true);
    for (auto *host : {&alpha, &beta, &gamma, &client}) ASSERT_TRUE(host->started()) << host->error();
    ASSERT_TRUE(yqtest::link(client, "c0", alpha, "a0") && yqtest::link(client, "c1", beta, "b0") &&
                yqtest::link(client, "c2", gamma, "g0"));
    ASSERT_TRUE(yqtest::bring_up(client, {"c0 192.0.2.1/26", "c1 192.0.2.65/26", "c2 192.0.2.129/26"}));
    ASSERT_TRUE(yqtest::bring_up(alpha, {"a0 192.0.2.2/26"}) && yqtest::bring_up(beta, {"b0 192.0.2.66/26"}) &&
                yqtest::bring_up(gamma, {"g0 192.0.2.130/26"}));
    ASSERT_TRUE(yqtest::install_crconf(alpha, YCRCONF_LIB) && yqtest::install_crconf(client, YCRCONF_LIB));
    yqtest::YnetdOn on_alpha(alpha, YNETD_BIN, "510000"), on_beta(beta, YNETD_BIN, "510000"),
        on_gamma(gamma, YNETD_BIN, "450000");
    ASSERT_TRUE(on_alpha.pid > 0 && on_beta.pid > 0 && on_gamma.pid > 0);

    std::string expected;
    for (const auto &row : kRows) expected += std::string(row.what) + ": " + row.outcome + "\n";
    EXPECT_EQ(client.finish(), expected);
}

// Runs on a host of its own mounts, root's home a directory of user 65534:
// each credential case as "status path", a line each.
std::string locate_all() {
    const std::string home = YQ_PATH_KELDA "/home";
    ::mkdir(home.c_str(), 0755);
    ::chown(home.c_str(), 65534, 65534);
    const passwd *root = ::getpwuid(0);
    if (root == nullptr || ::mount(home.c_str(), root->pw_dir, nullptr, MS_BIND, nullptr) != 0)
        return "cannot make root's home";
    ::mkdir(YQ_PATH_KELDA "/var", 0755);
    const yqtest::wire::Pair pair = yqtest::wire::tcp_pair();
    const int fd = pair.mine.get();
    auto ask = [&](const char *what) {
        char path[1025] = "x";
        int status = ynet_get_credential_path(fd, path, sizeof path);
        return std::string(what) + ": " + std::to_string(status) + " " + (path[0] != '\0' ? path : "-") + "\n";
    };
    const std::string dir = YQ_PATH_YQSS_CREDENTIALS;
    std::string text;
    // A user: the credential in the user directory, made for the home's owner.
    ::unsetenv("IS_CARROW_DAEMON");
    text += ask("user, none");
    struct stat st{};
    ::stat((std::string(root->pw_dir) + "/.yqss").c_str(), &st);
    text += "user directory: " + std::to_string(st.st_mode & 07777) + " " + std::to_string(st.st_uid) + "\n";
    yqtest::write_file(std::string(root->pw_dir) + "/.yqss/credentials", "c");
    text += ask("user");
    ::setenv("YQSS_CREDENTIAL_PATH", "/nonexistent", 1);
    text += ask("unreadable choice");
    ::setenv("YQSS_CREDENTIAL_PATH", (dir + "/../chosen").c_str(), 1);
    yqtest::write_file(dir + "/../chosen", "c");
    text += ask("readable choice");
    ::unsetenv("YQSS_CREDENTIAL_PATH");
    // A daemon: the machine credential, or none and still success.
    if (ynet_set_carrow_daemon(1) != 0) return "marker refused";
    text += ask("daemon, none");
    yqtest::write_file(dir + "/localhost", "c");
    text += ask("daemon, own entry");
    yqtest::write_file(dir + "/dhcp_cred", "c");
    text += ask("daemon, dhcp");
    // The installed authentication library.
    ::mkdir(YQ_PATH_YORBAT_HOME "/lib", 0755);
    yqtest::write_file(YQ_PATH_YORBAT_HOME "/lib/libyorbat.so", "");
    for (const char *line : {"\"InstallDir\"=\"" YQ_PATH_YORBAT_HOME "\"\n", "\"InstallDir\"=\"" YQ_PATH_YORBAT_HOME "\"",
                             "\"InstallDir\"=\"/elsewhere\"\n", "InstallDir=\"" YQ_PATH_YORBAT_HOME "\"\n"}) {
        yqtest::write_file(YQ_PATH_YORBAT_CONF, std::string("# comment\n") + line);
        text += "installed: " + std::to_string(is_yqss_at_installed(nullptr)) + "\n";
    }
    // The marker is the administrator's only.
    ::unsetenv("IS_CARROW_DAEMON");
    pid_t child = ::fork();
    if (child == 0) _exit(::setuid(65534) == 0 ? ynet_set_carrow_daemon(1) + (getenv("IS_CARROW_DAEMON") ? 100 : 0) : 99);
    int raw = 0;
    ::waitpid(child, &raw, 0);
    text += "marker by a user: " + std::to_string(WEXITSTATUS(raw)) + "\n";
    return text;
}

TEST(YqssMode, CredentialLocationsAndMarkers) {
    if (std::string why = yqtest::netns_unavailable(); !why.empty()) GTEST_SKIP() << why;
    ::mkdir(YQ_PATH_YSS_DIR, 0755);
    yqtest::TestHost host("creds", locate_all, true);
    ASSERT_TRUE(host.started()) << host.error();
    ASSERT_TRUE(host.sh("ip link set lo up"));
    const std::string dir = YQ_PATH_YQSS_CREDENTIALS;
    const std::string home = ::getpwuid(0)->pw_dir;
    EXPECT_EQ(host.finish(), "user, none: 35 -\n"
                             "user directory: 448 65534\n"
                             "user: 0 " + home + "/.yqss/credentials\n"
                             "unreadable choice: 0 " + home + "/.yqss/credentials\n"
                             "readable choice: 0 " + dir + "/../chosen\n"
                             "daemon, none: 0 -\n"
                             "daemon, own entry: 0 " + dir + "/localhost\n"
                             "daemon, dhcp: 0 " + dir + "/dhcp_cred\n"
                             "installed: 1\ninstalled: 1\ninstalled: 0\ninstalled: 0\n"
                             "marker by a user: 21\n");
}

}  // namespace
