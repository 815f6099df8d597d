// The magic exchange between two real processes on two test hosts: the
// server on alpha (which also runs the broker), the client on beta. Each host
// has its own cw.conf read through the configuration library, the
// authentication library in its own /opt/YORBat and a machine credential
// issued by the admin tool. Each row is one connection; both hosts write what
// they saw as text that the test compares whole.
#include <arpa/inet.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
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
    yqtest::write_file(YQ_PATH_CW_CONF, kCommon + use + "\n");
    const timeval when[2] = {{1000000 + row, 0}, {1000000 + row, 0}};
    ::utimes(YQ_PATH_CW_CONF, when);
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
// 'L' the integer form keeping it, '-' no magic at all (a request of its own).
std::string dial(char form) {
    yq::unique_fd fd = connect_to_alpha();
    seen.clear();
    seen_fd = fd.get();
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
protected:
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

struct MagicRow {
    const char *what;
    const char *client_use, *server_use;  // server_use nullptr: a raw server answers `raw_reply`
    char form;
    const char *raw_reply;
    const char *client, *server;
};

TEST_F(YqssMagic, BothSidesOfEveryCombinationOfSettings) {
    const MagicRow rows[] = {
        {"both required", kRequired, kRequired, 'D', nullptr,  //
         "0 use 1, got '1', peer alpha.yq.test", "0 use 1, peer beta.yq.test, read hi"},
        {"both required, no context kept", kRequired, kRequired, 'S', nullptr,  //
         "0 use 1, got '1'", "0 use 1, peer beta.yq.test, closed"},
        {"client requires, server prohibits", kRequired, kProhibited, 'S', nullptr,  //
         "38 use 1, got '2'", "37 use 2"},
        {"client prohibits, server requires", kPeerProhibited, kRequired, 'D', nullptr,  //
         "37 use 2, got '1', no context", "2 use 1"},
        {"both prohibit", kPeerProhibited, kProhibited, 'D', nullptr,  //
         "0 use 2, got '2', no context", "0 use 2"},
        {"automatic client, server requires (integer form)", kAutomatic, kRequired, 'L', nullptr,
         "0 use 1, got '1', peer alpha.yq.test", "0 use 1, peer beta.yq.test, closed"},
        {"automatic client, server prohibits", kAutomatic, kProhibited, 'D', nullptr,  //
         "0 use 2, got '2', no peer", "0 use 2"},
        {"both automatic", kAutomatic, kAutomatic, 'D', nullptr,  //
         "0 use 1, got '1', peer alpha.yq.test", "0 use 1, peer beta.yq.test, read hi"},
        {"no magic, server requires", kRequired, kRequired, '-', nullptr,  //
         "wrote hello, got ''", "38 use 1 no magic"},
        {"no magic, server automatic", kRequired, kAutomatic, '-', nullptr,  //
         "wrote hello, got ''", "0 use 2 no magic"},
        {"no magic, server prohibits", kRequired, kProhibited, '-', nullptr,  //
         "wrote hello, got ''", "0 use 2 no magic"},
        {"server answers 0", kRequired, nullptr, 'S', "0", "36 use 1, got '0'", "raw"},
        {"server answers 3", kRequired, nullptr, 'S', "3", "36 use 1, got '3'", "raw"},
    };
    const size_t count = std::size(rows);
    std::string alpha, beta;
    run(
        [&] {
            ::setenv("YQSS_CREDENTIAL_PATH", (kCredDir + "/alpha.yq.test").c_str(), 1);
            return accept_rows(count, [&](size_t i, int fd) {
                if (rows[i].server_use) write_conf(static_cast<int>(i), rows[i].server_use);
                return serve(fd, rows[i].raw_reply);
            });
        },
        [&] {
            ::setenv("YQSS_CREDENTIAL_PATH", (kCredDir + "/beta.yq.test").c_str(), 1);
            yq::sys::table.read = recording_read;
            std::string text;
            for (size_t i = 0; i < count; ++i) {
                write_conf(static_cast<int>(i), rows[i].client_use);
                text += dial(rows[i].form) + "\n";
            }
            return text;
        },
        alpha, beta);
    std::string want_alpha, want_beta;
    for (const MagicRow &row : rows) {
        want_alpha += std::string(row.server) + "\n";
        want_beta += std::string(row.client) + "\n";
    }
    EXPECT_EQ(beta, want_beta);
    EXPECT_EQ(alpha, want_alpha);
}

TEST_F(YqssMagic, TheServerMustHoldTheMachineCredentialOfTheHostDialled) {
    const std::string kDir = YQ_PATH_YQSS_CREDENTIALS;
    const struct {
        const char *server_cert;
        bool match_required, no_match_required;  // files in the client's machine credential directory
        int client;
    } rows[] = {
        {"alpha.yq.test", false, false, 0},
        {"alpha.yq.test", true, false, 0},
        {"gamma.yq.test", false, false, 36},  // resolves, to another address
        {"gamma.yq.test", false, true, 0},
        {"gamma.yq.test", true, false, 36},
        {"gamma.yq.test", true, true, 36},
        {"nowhere.yq.test", false, false, 0},  // does not resolve: assumed to have moved
        {"nowhere.yq.test", false, true, 0},
        {"nowhere.yq.test", true, false, 36},
    };
    const size_t count = std::size(rows);
    std::string alpha, beta;
    run(
        [&] {
            return accept_rows(count, [&](size_t i, int fd) {
                ::setenv("YQSS_CREDENTIAL_PATH", (kCredDir + "/" + rows[i].server_cert).c_str(), 1);
                write_conf(static_cast<int>(i), kRequired);
                return serve(fd, nullptr);
            });
        },
        [&] {
            ::setenv("YQSS_CREDENTIAL_PATH", (kCredDir + "/beta.yq.test").c_str(), 1);
            std::string text;
            for (size_t i = 0; i < count; ++i) {
                write_conf(static_cast<int>(i), kRequired);
                fs::create_directories(kDir);
                for (auto [wanted, name] : {std::pair{rows[i].match_required, "/match_required.txt"},
                                            std::pair{rows[i].no_match_required, "/no_match_required.txt"}})
                    wanted ? yqtest::write_file(kDir + name, "") : (void)fs::remove(kDir + name);
                yq::unique_fd fd = connect_to_alpha();
                int use = -1;
                text += std::to_string(ynet_check_yqss_client_magic(fd.get(), 0, -1, &use, push_text, nullptr)) + "\n";
            }
            return text;
        },
        alpha, beta);
    std::string want_beta;
    for (const auto &row : rows) want_beta += std::to_string(row.client) + "\n";
    EXPECT_EQ(beta, want_beta);
    // The server accepted every one of them: the refusal is the client's.
    EXPECT_EQ(alpha, [&] {
        std::string all;
        for (size_t i = 0; i < count; ++i) all += "0 use 1, peer beta.yq.test, closed\n";
        return all;
    }());
}

}  // namespace
