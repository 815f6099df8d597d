// The magic exchange between two real processes on two test hosts: the
// server on alpha (which also runs the broker), the client on beta. Each host
// has its own cw.conf read through the configuration library, the
// authentication library in its own /opt/YORBat and a machine credential
// issued by the admin tool. Each row is one connection; both hosts write what
// they saw as text that the test compares whole.
#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include "yq_memory.h"
#include "yq_paths.h"
#include "yq_sys.h"
#include "yqtest_wire.h"
#include "yqtest_yorbat.h"
#include "ynet.h"
#include "yss_auth.h"

namespace {

namespace fs = std::filesystem;
namespace wire = yqtest::wire;

const std::string kCredDir = YQ_PATH_KELDA "/creds";

// Every row's cw.conf: alpha is the master, so the client always counts its
// peer as able to negotiate; nothing needs to be fetched from a ynetd.
const std::string kCommon =
    "SERVER = alpha.yq.test\nAUTHENTICATION_DOMAIN = CRW_Machines \"\" 3 alpha.yq.test 0\n"
    "AUTHORIZATION_SERVICE = alpha.yq.test 0\nYQSS_NETWORK = 198.51.100.7 REQUIRED\n";
const char *const kRequired = "USE_YQSS = REQUIRED";
const char *const kProhibited = "USE_YQSS = PROHIBITED";
const char *const kAutomatic = "USE_YQSS = AUTOMATIC";
// Automatic, with alpha's network prohibited: the client's value becomes 2.
const char *const kPeerProhibited = "USE_YQSS = AUTOMATIC\nYQSS_NETWORK = 192.0.2.1 PROHIBITED";

// A newer modification time for each row, so that each row's file is loaded.
void write_conf(int row, const char *use) {
    fs::create_directories(YQ_PATH_CARROW_DIR);
    yqtest::write_file_dated(YQ_PATH_CW_CONF, kCommon + use + "\n", 1000000 + row);
}

int push_text(int fd, const char *text, int *error) {
    *error = ynet_push_string(fd, text, 10);
    return *error ? -1 : 0;
}

int push_number(int fd, long value, int *error) { return push_text(fd, std::to_string(value).c_str(), error); }

// The bytes the client's library reads from the socket (peeks left out).
std::string seen;
int seen_fd = -1;
ssize_t recording_read(int fd, void *buffer, size_t size) {
    ssize_t got = ::read(fd, buffer, size);
    if (fd == seen_fd && got > 0) seen.append(static_cast<char *>(buffer), static_cast<size_t>(got));
    return got;
}

std::string peer_name(YssConInfo_t *ctx) {
    YssCertInfo info{};
    if (ctx == nullptr) return "no context";
    if (YssGetPeerCertInfo(&info, ctx) != 0) return "no peer";
    std::string name = std::string("peer ") + (info.Name ? info.Name : "?");
    FreeYssCertInfo(&info);
    return name;
}

const sockaddr_in kAlpha{AF_INET, htons(5000), {inet_addr("192.0.2.1")}, {}};

yq::unique_fd connect_to_alpha() {
    yq::unique_fd fd;
    yqtest::eventually([&] {
        fd.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        return ::connect(fd.get(), reinterpret_cast<const sockaddr *>(&kAlpha), sizeof kAlpha) == 0;
    });
    return fd;
}

// The server: reads the magic text ("%d %d") and lets the library decide.
// With `raw_reply` set it answers that number as a wire string instead.
std::string serve(int fd, const char *raw_reply) {
    char text[1024] = "";
    ynet_pop_string(fd, text, sizeof text, 10);
    if (raw_reply != nullptr) return wire::write_raw(fd, wire::item(raw_reply)), "raw";
    int magic = 0, client = -1, is_magic = -1, use = -1;
    std::sscanf(text, "%d %d", &magic, &client);
    YssConInfo_t *ctx = nullptr;
    int status = ynet_check_yqss_server_magic(fd, magic, client, -1, &is_magic, &use, &ctx);
    std::string out = std::to_string(status) + " use " + std::to_string(use) + (is_magic ? "" : " no magic") +
                      (ctx ? ", " + peer_name(ctx) : "");
    // A context kept open ("YqSD") still carries the client's message.
    char message[3] = "";
    if (ctx) out += YssRead(message, 2, 0, ctx) == 0 ? std::string(", read ") + message : ", closed";
    ynet_yqss_cleanup(&ctx);
    return out;
}

// The client: 'S' the string form, 'D' the string form keeping the context,
// 'L' the integer form keeping it, 'X' the helper program, '-' no magic at all
// (a request of its own).
std::string dial(char form) {
    yq::unique_fd fd = connect_to_alpha();
    seen.clear();
    seen_fd = fd.get();
    if (form == 'X') {
        int use = -1;
        int status = ynet_exec_yqss_client_magic(fd.get(), 0, -1, &use);
        return std::to_string(status) + " use " + std::to_string(use) + " through the helper";
    }
    if (form == '-') {
        wire::write_raw(fd.get(), wire::item("hello"));
        return "wrote hello, got '" + wire::read_raw(fd.get(), SIZE_MAX) + "'";
    }
    int use = -1;
    YssConInfo_t *ctx = nullptr;
    int status = ynet_check_yqss_client_magic_with_info(fd.get(), 0, -1, &use, form == 'L' ? nullptr : push_text,
                                                        push_number, form == 'S' ? nullptr : &ctx);
    std::string out = std::to_string(status) + " use " + std::to_string(use) + ", got '" +
                      seen.substr(0, seen.find('\0')) + "'" + (form == 'S' ? "" : ", " + peer_name(ctx));
    if (form == 'D' && use == 1) YssWrite("hi", 2, 0, ctx);
    ynet_yqss_close(&ctx);
    ynet_yqss_cleanup(&ctx);
    return out;
}

class YqssMagic : public ::testing::Test {
public:
    static void SetUpTestSuite() {
        std::system("printf '192.0.2.1 alpha.yq.test alpha\\n192.0.2.2 beta.yq.test beta\\n"
                    "192.0.2.3 gamma.yq.test gamma\\n' >> /etc/hosts");
        fs::create_directories(YQ_PATH_YSS_DIR);
        yqtest::write_file(YQ_PATH_YORBAT_CONF, "\"InstallDir\"=\"" YQ_PATH_YORBAT_HOME "\"\n");
    }
    void SetUp() override {
        if (std::string why = yqtest::netns_unavailable(); !why.empty()) GTEST_SKIP() << why;
    }

    // Both hosts set up, the broker on alpha serving; alpha's credentials in
    // its kCredDir are named after the machine they were issued for.
    void run(const std::function<std::string()> &on_alpha, const std::function<std::string()> &on_beta,
             std::string &alpha_text, std::string &beta_text) {
        yqtest::TwoHosts hosts(on_alpha, on_beta);
        ASSERT_EQ(hosts.error, "");
        for (const yqtest::TestHost *host : {&hosts.alpha, &hosts.beta}) {
            yqtest::install_library(host->root() + YQ_PATH_YORBAT_HOME, YORBAT_LIB);
            fs::create_directories(host->root() + YQ_PATH_KELDA "/lib");
            fs::copy_file(YCRCONF_LIB, host->root() + YQ_PATH_CRCONF_LIB);
            fs::create_directories(host->root() + kCredDir);
        }
        fs::create_directories(hosts.beta.root() + YQ_PATH_CARROW_DIR "/bin");
        fs::copy_file(CWCRAT_HELPER_BIN, hosts.beta.root() + YQ_PATH_CWCRAT_HELPER);
        const std::string alpha_creds = hosts.alpha.root() + kCredDir;
        ASSERT_EQ(yqtest::admin(YORBAT_ADMIN_BIN, YQ_PATH_YORBAT_HOME,
                                {"setup-broker --host alpha.yq.test",
                                 "issue-machine alpha.yq.test --out " + kCredDir + "/alpha.yq.test",
                                 "issue-machine beta.yq.test --out " + kCredDir + "/beta.yq.test",
                                 "issue-machine gamma.yq.test --out " + kCredDir + "/gamma.yq.test",
                                 "issue-machine nowhere.yq.test --out " + kCredDir + "/nowhere.yq.test"},
                                hosts.alpha.pid()), "");
        fs::copy_file(alpha_creds + "/beta.yq.test", hosts.beta.root() + kCredDir + "/beta.yq.test");
        fs::copy_file(hosts.alpha.root() + YQ_PATH_YORBAT_HOME "/broker/root.pem",
                      hosts.beta.root() + kCredDir + "/root.pem");
        ASSERT_EQ(yqtest::admin(YORBAT_ADMIN_BIN, YQ_PATH_YORBAT_HOME, {"trust add " + kCredDir + "/root.pem"},
                                hosts.beta.pid()), "");
        yqtest::BrokerProcess broker(YORBAT_BROKER_BIN, {}, hosts.alpha.pid());
        ASSERT_TRUE(broker.ready());
        std::thread alpha_side([&] { alpha_text = hosts.alpha.finish(); });
        beta_text = hosts.beta.finish();
        alpha_side.join();
        EXPECT_EQ(broker.stop(), 0);
    }
};

// Alpha accepts one connection a row and runs `each(row, fd)` on it.
template <typename Each>
std::string accept_rows(size_t rows, Each each) {
    yq::unique_fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (::bind(listener.get(), reinterpret_cast<const sockaddr *>(&kAlpha), sizeof kAlpha) != 0 ||
        ::listen(listener.get(), 4) != 0)
        return "no listener";
    std::string text;
    for (size_t row = 0; row < rows; ++row) {
        yq::unique_fd fd(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        text += each(row, fd.get()) + "\n";
    }
    return text;
}

enum Files { kNone = 0, kMatchRequired = 1, kNoMatchRequired = 2 };  // in beta's machine credential directory

struct Row {
    const char *what;
    const char *client_use, *server_use;  // server_use nullptr: a raw server answers `raw_reply`
    char form;
    const char *raw_reply, *server_cert;
    int files;
    const char *client, *server;
};

// Runs the rows, one connection each, and compares each side's line.
template <size_t N>
void scenario(YqssMagic &test, const Row (&rows)[N]) {
    std::string alpha, beta;
    test.run(
        [&] {
            return accept_rows(N, [&](size_t i, int fd) {
                ::setenv("YQSS_CREDENTIAL_PATH", (kCredDir + "/" + rows[i].server_cert).c_str(), 1);
                if (rows[i].server_use) write_conf(static_cast<int>(i), rows[i].server_use);
                return serve(fd, rows[i].raw_reply);
            });
        },
        [&] {
            ::setenv("YQSS_CREDENTIAL_PATH", (kCredDir + "/beta.yq.test").c_str(), 1);
            yq::sys::table.read = recording_read;
            std::string text;
            for (size_t i = 0; i < N; ++i) {
                write_conf(static_cast<int>(i), rows[i].client_use);
                fs::create_directories(YQ_PATH_YQSS_CREDENTIALS);
                for (auto [bit, name] : {std::pair{kMatchRequired, "/match_required.txt"},
                                         std::pair{kNoMatchRequired, "/no_match_required.txt"}})
                    rows[i].files & bit ? yqtest::write_file(YQ_PATH_YQSS_CREDENTIALS + std::string(name), "")
                                        : (void)fs::remove(YQ_PATH_YQSS_CREDENTIALS + std::string(name));
                text += dial(rows[i].form) + "\n";
            }
            return text;
        },
        alpha, beta);
    std::istringstream alpha_lines(alpha), beta_lines(beta);
    for (const Row &row : rows) {
        std::string server, client;
        std::getline(alpha_lines, server), std::getline(beta_lines, client);
        EXPECT_EQ(client, row.client) << row.what;
        EXPECT_EQ(server, row.server) << row.what;
    }
}

const char *const kAlphaCert = "alpha.yq.test";

TEST_F(YqssMagic, BothSidesOfEveryCombinationOfSettings) {
    const Row rows[] = {
        {"both required", kRequired, kRequired, 'D', nullptr, kAlphaCert, kNone,  //
         "0 use 1, got '1', peer alpha.yq.test", "0 use 1, peer beta.yq.test, read hi"},
        {"both required, no context kept", kRequired, kRequired, 'S', nullptr, kAlphaCert, kNone,  //
         "0 use 1, got '1'", "0 use 1, peer beta.yq.test, closed"},
        {"client requires, server prohibits", kRequired, kProhibited, 'S', nullptr, kAlphaCert, kNone,  //
         "38 use 1, got '2'", "37 use 2"},
        {"client prohibits, server requires", kPeerProhibited, kRequired, 'D', nullptr, kAlphaCert, kNone,  //
         "37 use 2, got '1', no context", "2 use 1"},
        {"both prohibit", kPeerProhibited, kProhibited, 'D', nullptr, kAlphaCert, kNone,  //
         "0 use 2, got '2', no context", "0 use 2"},
        {"automatic client, server requires (integer form)", kAutomatic, kRequired, 'L', nullptr, kAlphaCert, kNone,
         "0 use 1, got '1', peer alpha.yq.test", "0 use 1, peer beta.yq.test, closed"},
        {"automatic client, server prohibits", kAutomatic, kProhibited, 'D', nullptr, kAlphaCert, kNone,  //
         "0 use 2, got '2', no peer", "0 use 2"},
        {"both automatic", kAutomatic, kAutomatic, 'D', nullptr, kAlphaCert, kNone,  //
         "0 use 1, got '1', peer alpha.yq.test", "0 use 1, peer beta.yq.test, read hi"},
        {"no magic, server requires", kRequired, kRequired, '-', nullptr, kAlphaCert, kNone,  //
         "wrote hello, got ''", "38 use 1 no magic"},
        {"no magic, server automatic", kRequired, kAutomatic, '-', nullptr, kAlphaCert, kNone,  //
         "wrote hello, got ''", "0 use 2 no magic"},
        {"no magic, server prohibits", kRequired, kProhibited, '-', nullptr, kAlphaCert, kNone,  //
         "wrote hello, got ''", "0 use 2 no magic"},
        {"automatic client through the helper program, server requires", kAutomatic, kRequired, 'X', nullptr,
         kAlphaCert, kNone, "0 use 1 through the helper", "0 use 1, peer beta.yq.test, closed"},
        {"server answers 0", kRequired, nullptr, 'S', "0", kAlphaCert, kNone, "36 use 1, got '0'", "raw"},
        {"server answers 3", kRequired, nullptr, 'S', "3", kAlphaCert, kNone, "36 use 1, got '3'", "raw"},
    };
    scenario(*this, rows);
}

// The server accepts every one of these: a refusal is the client's.
TEST_F(YqssMagic, TheServerMustHoldTheMachineCredentialOfTheHostDialled) {
    const char *const accepted = "0 use 1, got '1'", *const refused = "36 use 1, got '1'";
    const char *const server = "0 use 1, peer beta.yq.test, closed";
    const Row rows[] = {
        {"its own", kRequired, kRequired, 'S', nullptr, kAlphaCert, kNone, accepted, server},
        {"its own, match required", kRequired, kRequired, 'S', nullptr, kAlphaCert, kMatchRequired, accepted, server},
        {"another host's", kRequired, kRequired, 'S', nullptr, "gamma.yq.test", kNone, refused, server},
        {"another host's, no match required", kRequired, kRequired, 'S', nullptr, "gamma.yq.test", kNoMatchRequired,
         accepted, server},
        {"another host's, match required", kRequired, kRequired, 'S', nullptr, "gamma.yq.test", kMatchRequired,
         refused, server},
        {"another host's, both files", kRequired, kRequired, 'S', nullptr, "gamma.yq.test",
         kMatchRequired | kNoMatchRequired, refused, server},
        {"a name that does not resolve", kRequired, kRequired, 'S', nullptr, "nowhere.yq.test", kNone, accepted,
         server},
        {"a name that does not resolve, match required", kRequired, kRequired, 'S', nullptr, "nowhere.yq.test",
         kMatchRequired, refused, server},
    };
    scenario(*this, rows);
}

}  // namespace
