// The operator's tool on a test host "client" linked to the master alpha,
// whose ynetd answers from its cw.conf: its answers against the library's own.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
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

// Runs the tool; its standard output and exit status as "OUTPUT|STATUS".
std::string ynetctl(const std::string &args) {
    FILE *pipe = ::popen((YNETCTL_BIN " " + args).c_str(), "r");
    std::string text;
    char buffer[512];
    while (pipe != nullptr && std::fgets(buffer, sizeof buffer, pipe) != nullptr) text += buffer;
    int raw = pipe != nullptr ? ::pclose(pipe) : -1;
    return text + "|" + std::to_string(WIFEXITED(raw) ? WEXITSTATUS(raw) : -1);
}

// The value of KEY in the tool's one-line JSON object (quotes dropped).
std::string json_value(const std::string &json, const std::string &key) {
    size_t at = json.find("\"" + key + "\": ");
    if (at == std::string::npos) return "<missing>";
    at += key.size() + 4;
    if (json[at] == '"') {
        size_t end = json.find('"', at + 1);
        return json.substr(at + 1, end - at - 1);
    }
    return json.substr(at, json.find_first_of(",}", at) - at);
}

// Policy rows: this host's cw.conf line, the master's network lines, and a credential named.
const struct {
    const char *what;
    const char *client_conf;
    const char *master_networks;
    bool credential;
} kRows[] = {
    {"prohibited", "USE_YQSS = PROHIBITED", "", true},
    {"required", "USE_YQSS = REQUIRED", "", true},
    {"required, none", "USE_YQSS = REQUIRED", "", false},
    {"network prohibits", "", "YQSS_NETWORK = alpha PROHIBITED", true},
    {"network requires, none", "", "YQSS_NETWORK = 192.0.2.0/24 REQUIRED", false},
    {"network automatic", "", "YQSS_NETWORK = alpha AUTOMATIC", true},
    {"first match decides", "", "YQSS_NETWORK = alpha PROHIBITED\nYQSS_NETWORK = 192.0.2.0/24 REQUIRED", true},
    {"automatic, none", "", "", false},
};

// On the client: each command's answer, a line each, "ok" where the tool
// agreed with the library.
std::string client_body(pid_t master) {
    const std::string credential = yqtest::client_with_credential();
    if (credential.empty()) return "cannot make root's home";
    std::string text;

    // ping, version, services: keys and values of a served host.
    yqtest::write_file_dated(YQ_PATH_CW_CONF, "SERVER = alpha\n", 1000000);
    std::string ping = ynetctl("ping alpha --json");
    text += "ping: " + json_value(ping, "protocol") + " " + json_value(ping, "status") + " " +
            (json_value(ping, "noop_us") != "<missing>" ? "timed" : "untimed") + ping.substr(ping.find('|')) + "\n";
    ::mkdir(YQ_PATH_CARROW_DIR "/remote_versions", 0755);
    std::string version = ynetctl("version alpha --refresh --json");
    text += "version: " + json_value(version, "version_text") + " " + json_value(version, "version") + " " +
            json_value(version, "cache_entry") + version.substr(version.find('|')) + "\n";
    ::mkdir(YQ_PATH_YNETD_DIR, 0700);
    int listener = -1;
    int status = ynet_ynetd_listen_and_register_service("yqecho", 4, &listener, 5);
    std::string services = ynetctl("services --json");
    text += "services: " + std::to_string(status) + " " + json_value(services, "service.0.name") + " " +
            json_value(services, "service.0.alive") + " " + json_value(services, "service.0.answers") +
            services.substr(services.find('|')) + "\n";
    ::close(listener);
    text += "no listener: " + json_value(ynetctl("services --json"), "service.0.answers") + "\n";
    std::string unknown = ynetctl("ping nowhere");
    text += "unknown host: " + unknown.substr(unknown.find('|') + 1) + "\n";

    // decide: the library's own decision on a connection to the same ynetd.
    crconf_info_rec *info = nullptr;
    long stamp = 1000000;
    for (const auto &row : kRows) {
        yqtest::write_cw_confs(master, stamp += 10, row.client_conf, row.master_networks,
                               row.credential ? credential : "");
        int fd = yqtest::wire::tcp_connect("192.0.2.2", YNETD_DEFAULT_PORT);
        char path[1025] = "";
        int use = -1, capable = -1;
        int expected = ynet_determine_yqss_socket(fd, 1, &info, path, sizeof path, &use, &capable);
        ::close(fd);
        std::string json = ynetctl("decide alpha --json");
        std::string got = json_value(json, "use_yqss") + " " + json_value(json, "remote_capable") + " " +
                          json_value(json, "credential") + " " + json_value(json, "status") +
                          json.substr(json.find('|'));
        std::string want = std::to_string(use) + " " + std::to_string(capable) + " " + path + " " +
                           std::to_string(expected) + "|" + std::to_string(expected);
        text += std::string(row.what) + ": " + (got == want ? "ok" : got + " != " + want) + " [" +
                json_value(json, "network_entry") + "] " + json_value(json, "why") + "\n";
    }
    crconf_free_info(&info);
    return text;
}

TEST(Ynetctl, CommandsAgainstARealDaemon) {
    if (std::string why = yqtest::netns_unavailable(); !why.empty()) GTEST_SKIP() << why;
    ASSERT_TRUE(yqtest::isolate_network());
    yqtest::write_hosts("127.0.0.1 localhost\n192.0.2.1 client\n192.0.2.2 alpha\n");
    ::mkdir(YQ_PATH_YSS_DIR, 0755);
    yqtest::write_file(YQ_PATH_YORBAT_CONF, "\"InstallDir\"=\"" YQ_PATH_YORBAT_HOME "\"\n");
    yqtest::TestHost alpha("alpha", {}, true);
    pid_t master = alpha.pid();
    yqtest::TestHost client("client", [master] { return client_body(master); }, true);
    ASSERT_TRUE(alpha.started() && client.started()) << alpha.error() << client.error();
    ASSERT_TRUE(yqtest::link(client, "c0", alpha, "a0"));
    ASSERT_TRUE(yqtest::bring_up(client, {"c0 192.0.2.1/24"}) && yqtest::bring_up(alpha, {"a0 192.0.2.2/24"}));
    ASSERT_TRUE(yqtest::install_crconf(alpha, YCRCONF_LIB) && yqtest::install_crconf(client, YCRCONF_LIB));
    yqtest::YnetdOn on_alpha(alpha, YNETD_BIN, "510000");
    ASSERT_GT(on_alpha.pid, 0);
    EXPECT_EQ(client.finish(),
              "ping: 3 0 timed|0\n"
              "version: 510000 510000 510000|0\n"
              "services: 0 yqecho yes yes|0\n"
              "no listener: no\n"
              "unknown host: 6\n"
              "prohibited: ok [] this host's configuration prohibits YqSS (or the authentication library is not "
              "installed).\n"
              "required: ok [] this host's configuration requires YqSS for every connection.\n"
              "required, none: ok [] the decision failed with status 35: YqSS is required but no usable credential "
              "was found.\n"
              "network prohibits: ok [alpha PROHIBITED] the network entry alpha PROHIBITED is the first that "
              "contains the peer.\n"
              "network requires, none: ok [192.0.2.0/24 REQUIRED] the decision failed with status 35: YqSS is "
              "required but no usable credential was found.\n"
              "network automatic: ok [alpha AUTOMATIC] the network entry alpha AUTOMATIC is the first that "
              "contains the peer.\n"
              "first match decides: ok [alpha PROHIBITED] the network entry alpha PROHIBITED is the first that "
              "contains the peer.\n"
              "automatic, none: ok [] no credential was found, so the connection stays plain.\n");
}

// A machine credential from the admin tool: its certificate, and the 7-day
// rule read from the file's age.
TEST(YnetctlCert, ShowsTheCertificateAndTheFilesAge) {
    yqtest::install_library(YQ_PATH_YORBAT_HOME, YORBAT_LIB);
    const std::string file = yqtest::scratch_dir() + "/host1.pem";
    ASSERT_EQ(yqtest::admin(YORBAT_ADMIN_BIN, YQ_PATH_YORBAT_HOME,
                            {"setup-broker --host broker.test", "issue-machine host1 --out " + file}), "");
    struct Row {
        const char *what;
        long age;
        std::string file, expected;
    } const rows[] = {
        {"fresh", 0, file, "host1 CRW_Machines@broker.test 3 yes|0"},
        {"eight days old", 8 * 86400, file, "host1 CRW_Machines@broker.test 3 no|0"},
        {"missing", 0, file + ".none", "<missing> <missing> <missing> <missing>|36"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        if (row.age > 0) yqtest::write_file_dated(file, yqtest::read_file(file), static_cast<long>(::time(nullptr)) - row.age);
        std::string out = ynetctl("cert --json " + row.file);
        const std::string json = out.substr(0, out.rfind('|'));
        EXPECT_EQ(json_value(json, "name") + " " + json_value(json, "domain") + " " + json_value(json, "auth_mode") +
                      " " + json_value(json, "within_7_days") + out.substr(out.rfind('|')),
                  row.expected);
        if (row.age == 0 && row.expected.ends_with("|0")) {
            EXPECT_NE(json_value(json, "issued_by").find("/OU=root@broker.test/"), std::string::npos);
        }
    }
}

}  // namespace
