// Conversations with ynetd from the client side, each against a raw peer: a
// socket pair with the daemon's answers written beforehand, or a fake ynetd.
#include <fcntl.h>
#include <sys/stat.h>

#include "crconf.h"
#include "ynet.h"
#include "yq_paths.h"
#include "yqtest.h"
#include "yqtest_resolv.h"
#include "yqtest_wire.h"

namespace {

using namespace yqtest::wire;

// Runs `call` on the library's end of a pair whose peer answered `answer`;
// returns "status|bytes sent|socket state". The peer sends nothing more.
template <typename Call>
std::string converse(const std::string &answer, Call call) {
    Pair p = unix_pair();
    write_raw(p.peer.get(), answer);
    ::shutdown(p.peer.get(), SHUT_WR);  // nothing more comes: a further pop fails at once
    int sock = p.mine.get();
    int status = call(&sock);
    if (sock == -1) p.mine.release();
    return std::to_string(status) + "|" + drain(p.peer.get()) + "|" + (sock == -1 ? "closed" : "open");
}

TEST(YnetdRequests, BytesStatusesAndWhoClosesTheSocket) {
    auto handshake = [](int *s) {
        int v = 0;
        int st = version_connect(*s, 3, 1, &v, 5);
        return st != 0 ? st : v * 100;
    };
    auto noop = [](int *s) { return ynet_ynetd_noop(s, 3, 5); };
    auto bye = [](int *s) { return ynet_ynetd_disconnect(s, 3, 5); };
    struct in_addr a{inet_addr("192.0.2.7")};
    ynet_set_port(13724);
    const std::string address = item("4") + std::string("\xc0\x00\x02\x07", 4) + item("13724");
    const std::string i3 = item("3");
    struct Row {
        const char *what;
        std::function<int(int *)> call;
        std::string answer, want;
    } rows[] = {
        {"agreed version", handshake, item("2"), "200|" + i3 + item("2") + "|open"},
        {"version above the range", handshake, item("4"), "24|" + i3 + item("-1") + "|open"},
        {"version below the range", handshake, item("0"), "24|" + i3 + item("-1") + "|open"},
        {"refused: no echo", handshake, item("-1"), "24|" + i3 + "|open"},
        {"refused no-op keeps the socket", noop, item("7"), "7|" + item("0") + "|open"},
        {"no-op without answer", noop, "", "9|" + item("0") + "|closed"},
        {"disconnect", bye, item("0"), "0|" + item("1") + "|closed"},
        {"refused disconnect still closes", bye, item("22"), "22|" + item("1") + "|closed"},
        {"service", [](int *s) { return ynet_ynetd_service_socket(s, 2, "cwrd", 5); }, item("31"),
         "31|" + item("6") + item("cwrd") + "|open"},
        {"service needs version 2", [](int *s) { return ynet_ynetd_service_socket(s, 1, "x", 5); }, "",
         "24||open"},
        {"daemon socket", [](int *s) { return ynet_ynetd_daemon_socket(s, 3, "/tmp/ynetA", 5); }, item("0"),
         "0|" + item("2") + item("/tmp/ynetA") + "|open"},
        {"version text too long", [](int *s) {
             char text[8];
             return ynet_version_get(0, 0, nullptr, nullptr, s, 5, text, sizeof text);
         }, std::string(20, 'x'), "3|" + item("8") + "|closed"},
        {"connect-back address", [&](int *s) { return ynet_ynetd_push_ipaddr(*s, &a, 5); }, "",
         "0|" + address + "|open"},
    };
    for (const Row &row : rows)
        EXPECT_EQ(converse(row.answer, row.call), row.want) << row.what;
    Pair p = unix_pair();
    write_raw(p.peer.get(), address + item("16") + "rest");
    struct sockaddr_in out{};
    EXPECT_EQ(ynet_ynetd_pop_ipaddr(p.mine.get(), &out, 5), 0);
    EXPECT_STREQ(inet_ntoa(out.sin_addr), "192.0.2.7");
    EXPECT_EQ(ntohs(out.sin_port), 13724);
    EXPECT_EQ(ynet_ynetd_pop_ipaddr(p.mine.get(), &out, 5), YN_STATUS_READ_FAILED);
    EXPECT_EQ(read_raw(p.mine.get(), 4), "rest") << "nothing read beyond";
    ynet_set_port(-1);
}

const std::string kVersionDir = std::string(YQ_PATH_CARROW_DIR) + "/remote_versions";

// A daemon speaking `protocol`; request 8 gets `text`, or a hang-up when empty.
Daemon::Script versioned(int protocol, std::string text) {
    return [protocol, text](int conn, int, std::string &log) {
        serve_handshake(conn, protocol, log);
        for (std::string code; (code = read_item(conn)) == "8" || code == "1";) {
            log += "req=" + code + ";";
            if (code == "8" && text.empty()) return;
            write_raw(conn, item(code == "8" ? text : "0"));
        }
    };
}

TEST(HostVersion, CacheAskAndRemember) {
    ::umask(022);
    ::mkdir(YQ_PATH_CARROW_DIR, 0755);
    yqtest::remove_tree(kVersionDir);
    ASSERT_EQ(::mkdir(kVersionDir.c_str(), 0755), 0);
    yqtest::write_hosts("192.0.2.10 alpha alpha.example.com\n192.0.2.11 beta\n");
    auto file = [](const std::string &host) { return kVersionDir + "/" + host; };
    yqtest::write_file(file("alpha.example.com"), "461234 build 5");
    yqtest::write_file(file(".alpha"), "1");
    yqtest::write_file(file("delta"), "0");
    struct Row {
        const char *what;
        int protocol;
        std::string text, host;
        int timeout, refresh, want;
        std::string log, stored;
    } rows[] = {
        {"cached under another name", 3, "9", "alpha", 5, 0, 461234, "", ""},
        {"remembered as unreachable", 3, "9", "delta", 5, 0, 0, "", "0"},
        {"refresh", 3, "470200 r7", "alpha", 0, 1, 470200, "offer=3;echo=3;req=8;req=1;", "470200 r7"},
        {"protocol 1", 1, "x", "beta", 5, 1, 450000, "offer=3;echo=1;req=1;", "450000"},
        {"no version request", 2, "", "beta", 5, 1, 451000, "offer=3;echo=2;req=8;", "451000"},
        {"a slash is never stored", 3, "470300", "../../escaped", 5, 0, 470300, "offer=3;echo=3;req=8;req=1;", ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        Daemon daemon(versioned(row.protocol, row.text));
        struct sockaddr_in addr = daemon.addr();
        EXPECT_EQ(ynet_get_host_version(row.host.c_str(), 0, 0, &addr, nullptr, row.timeout,
                                        row.refresh),
                  row.want);
        daemon.stop();
        EXPECT_EQ(daemon.log(), row.log);
        EXPECT_EQ(yqtest::exists(file(row.host)) ? yqtest::read_file(file(row.host)) : "", row.stored);
    }
    EXPECT_FALSE(yqtest::exists(file("alpha.example.com"))) << "refresh forgets every alias";
}

TEST(Services, RegisterListenAndUnregister) {
    yqtest::remove_tree(YQ_PATH_YNETD_DIR);
    ::mkdir(YQ_PATH_KELDA "/var", 0755);
    const std::string dir = YQ_PATH_YNETD_DIR;
    yqtest::for_each_alloc_failure([] {
        char *p = reinterpret_cast<char *>(1);
        int status = ynet_generate_service_path("CwRd", "uds", &p);
        EXPECT_TRUE(status == 0 ? std::string(p) == YQ_PATH_YNETD_DIR "/cwrd.uds"
                                : status == YN_STATUS_NO_MEMORY && p == nullptr);
        std::free(p);
    });
    struct stat st{};
    ASSERT_EQ(::stat(YQ_PATH_YNETD_DIR, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u) << "created by the path check";

    int raw = -1;
    ASSERT_EQ(ynet_ynetd_listen_and_register_service("CwRd", 5, &raw, 5), 0);
    Fd listener(raw);
    ASSERT_EQ(::stat((dir + "/cwrd.uds").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077, 0u) << "nobody else may connect";
    std::vector<std::string> lines = yqtest::read_lines(dir + "/cwrd.txt");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(";IPC= " + dir + "/cwrd.uds ;"), std::string::npos) << lines[0];
    ASSERT_EQ(ynet_ynetd_unregister_service("CWRD"), 0);
    EXPECT_FALSE(yqtest::exists(dir + "/cwrd.uds"));
    lines = yqtest::read_lines(dir + "/cwrd.txt");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("NAME= CwRd ;PID=0;REGTIME=", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(";EXPTIME=1;"), std::string::npos) << "expired at once";
    EXPECT_EQ(ynet_ynetd_unregister_service("cwrd"), YN_STATUS_NOT_REGISTERED);
    EXPECT_EQ(ynet_ynetd_unregister_service("never"), YN_STATUS_FILE_OPEN_FAILED);
}

struct Info {
    crconf_info_rec *rec = static_cast<crconf_info_rec *>(std::calloc(1, sizeof(crconf_info_rec)));
    ~Info() { crconf_free_info(&rec); }
};

const std::string kFullAnswer =
    item("0") + item("master") + item("1556") + item("") + item("broker1") + item("13783") +
    item("dom1") + item("first") + item("2") + item("") + item("192.0.2.0/24") + item("1") + item("");

TEST(YnetdSecurityInfo, FillsTheMissingFieldsAndEndsTheConversationOnAnyFailure) {
    Info info;
    const std::string asked = item("9") + item("ni_authorization_service") +
                              item("ni_authentication_domains") + item("ni_yqss_networks") + item("");
    EXPECT_EQ(converse(kFullAnswer,
                       [&](int *s) { return ynet_ynetd_get_security_info(s, 3, info.rec, 5); }),
              "0|" + asked + "|open");
    ASSERT_NE(info.rec->ni_yqss_networks, nullptr);
    EXPECT_EQ(info.rec->ni_yqss_networks->nw_use_yqss, 1);
    struct Row { const char *what; std::string answer; int version, want; } rows[] = {
        {"refused", item("5"), 3, YN_STATUS_DESCRIPTOR_PASSING_FAILED},
        {"junk after the service", item("0") + item("m") + item("1") + item("junk"), 3,
         YN_STATUS_INVALID_ARGUMENT},
        {"unknown field", item("0") + item(">UNKNOWN<"), 3, YN_STATUS_INVALID_ARGUMENT},
        {"hang-up", item("0") + item("") + item("broker1"), 3, YN_STATUS_READ_FAILED},
        {"old protocol", "", 2, YN_STATUS_VERSION_MISMATCH}};
    for (const Row &row : rows) {
        Info fresh;
        std::string got = converse(row.answer, [&](int *s) {
            return ynet_ynetd_get_security_info(s, row.version, fresh.rec, 5);
        });
        EXPECT_EQ(got.substr(0, got.find('|')), std::to_string(row.want)) << row.what;
        EXPECT_EQ(got.substr(got.rfind('|') + 1), "closed") << row.what;
    }
    yqtest::for_each_alloc_failure([] {
        Info fresh;
        std::string got = converse(kFullAnswer, [&](int *s) {
            return ynet_ynetd_get_security_info(s, 3, fresh.rec, 5);
        });
        std::string status = got.substr(0, got.find('|'));
        EXPECT_TRUE(status == "0" || status == std::to_string(YN_STATUS_DESCRIPTOR_PASSING_FAILED))
            << status;
    });
}

}  // namespace
