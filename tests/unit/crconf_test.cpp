// The security configuration record: constructors, the loader over stand-in
// libraries and the real one, the "cw.conf" change detector, the debug writer.
#include "crconf.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <tuple>

#include "crconf_private.h"
#include "logging.h"
#include "yq_paths.h"
#include "yqtest.h"

namespace {

namespace fs = std::filesystem;

constexpr int kTime = 1600000000;  // an arbitrary "cw.conf" time

void set_cw_conf(int seconds, const std::string &content = "") {
    fs::create_directories(fs::path(YQ_PATH_CW_CONF).parent_path());
    yqtest::write_file_dated(YQ_PATH_CW_CONF, content, seconds);
}

void install_library(const char *built) {
    fs::create_directories(fs::path(YQ_PATH_CRCONF_LIB).parent_path());
    fs::copy_file(built, YQ_PATH_CRCONF_LIB ".new", fs::copy_options::overwrite_existing);
    fs::rename(YQ_PATH_CRCONF_LIB ".new", YQ_PATH_CRCONF_LIB);
}

bool library_mapped() { return yqtest::read_file("/proc/self/maps").find(YQ_PATH_CRCONF_LIB) != std::string::npos; }

struct DebugLog {
    DebugLog() { yqtest::remove_tree(dir), debugFD = fd = open_log(dir.c_str(), 0644, &err); }
    ~DebugLog() { ::close(std::exchange(debugFD, -1)); }
    std::vector<std::string> grep(const std::string &part = "") const {
        std::vector<std::string> found;
        for (const auto &file : fs::directory_iterator(dir))
            for (auto &line : yqtest::read_lines(file.path()))
                if (line.find(part) != std::string::npos) found.push_back(line);
        return found;
    }
    std::string dir = yqtest::scratch_dir() + "/logs";
    int err = 0, fd = -1;
};

std::string str(const char *s) { return s != nullptr ? s : "-"; }

// Whichever allocation fails, the result is 36 with nothing built (the sanitizer build sees
// any leak) and both layers report it; otherwise the record holds copies of the texts.
TEST(CrconfRecords, ConstructorsCopyTextsOrFailWholly) {
    DebugLog log;
    bool failed = false;
    yqtest::for_each_alloc_failure([&] {
        crconf_authentication_domain_rec *d = nullptr;
        crconf_authorization_service_rec *none = nullptr, *s = nullptr;
        crconf_yqss_network_rec *n = nullptr;
        int rc = crconf_create_authentication_domain("D", "main", 3, "broker1", 13783, &d);
        if (rc == 0) rc = crconf_create_authorization_service("_NONE_", 41, &none);
        if (rc == 0) rc = crconf_create_authorization_service("authz", 13722, &s);
        if (rc == 0) rc = crconf_create_yqss_network("192.0.2.0/255.255.255.0", 2, &n);
        if (rc == 0) {
            EXPECT_EQ(str(d->ad_domain) + str(d->ad_comment) + str(d->ad_broker) + str(s->as_host) + str(n->nw_network),
                      "Dmainbroker1authz192.0.2.0/255.255.255.0");
            EXPECT_EQ(none->as_host, nullptr);  // "_NONE_" and NULL look alike
            EXPECT_EQ(std::tuple(d->ad_auth_type, d->ad_port, none->as_port, s->as_port, n->nw_use_yqss),
                      std::tuple(3, 13783, 41, 13722, 2));
        } else {
            failed = true;
            EXPECT_TRUE(rc == 36 && (d == nullptr || none == nullptr || s == nullptr || n == nullptr)) << rc;
        }
        crconf_free_authentication_domain(&d);
        crconf_free_authorization_service(&none);
        crconf_free_authorization_service(&s);
        crconf_free_yqss_network(&n);
        EXPECT_TRUE(d == nullptr && none == nullptr && s == nullptr && n == nullptr);
    });
    EXPECT_TRUE(failed);
    EXPECT_FALSE(log.grep("<2> crconf_create_yqss_network_rec: crconf_private.").empty());
    EXPECT_EQ(log.grep(": retval: 36 36 0x00000024").size(), log.grep().size());
    crconf_free_info(nullptr), crconf_free_authentication_domain(nullptr);  // the destructors take NULL
    crconf_free_authorization_service(nullptr), crconf_free_yqss_network(nullptr);
}

class CrconfLoader : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("CRCONF_FAKE_TRACE", trace_.c_str(), 1);
        for (const char *path : {trace_.c_str(), YQ_PATH_CW_CONF, YQ_PATH_CRCONF_LIB}) ::unlink(path);
    }
    void TearDown() override { crconf_free_info(&info_), ::unsetenv("CRCONF_FAKE_TRACE"); }
    // What the stand-in libraries were asked to do since the last call.
    std::string calls() { std::string text = yqtest::read_file(trace_); return ::unlink(trace_.c_str()), text; }

    crconf_info_rec *info_ = nullptr;
    std::string trace_ = yqtest::scratch_dir() + "/crconf_trace";
};

TEST_F(CrconfLoader, OnlyAStrictlyNewerFileReloads) {
    install_library(CRCONF_FAKE_OK_LIB);
    yqtest::for_each_alloc_failure([&] {  // out of memory: 36 and nothing loaded, until a run succeeds
        int rc = crconf_get_info(&info_);
        EXPECT_TRUE(rc == 0 ? info_ != nullptr : rc == 36 && info_ == nullptr) << rc;
    });
    ASSERT_NE(info_, nullptr);
    EXPECT_EQ(info_->ni_update_time, 0);  // no "cw.conf": time 0
    EXPECT_EQ(calls(), "init(1,-1) get cleanup ");
    struct Step { const char *what; int time; const char *calls; int record_time; };
    for (const Step &step : {Step{"newer than 0", kTime, "init(1,-1) get cleanup ", kTime},
                             Step{"unchanged", kTime, "", kTime}, Step{"older", kTime - 100, "", kTime},
                             Step{"newer", kTime + 1, "init(1,-1) get cleanup ", kTime + 1},
                             Step{"gone: time 0", -1, "", kTime + 1}}) {
        SCOPED_TRACE(step.what);
        if (step.time < 0) ::unlink(YQ_PATH_CW_CONF);
        else set_cw_conf(step.time, "");
        info_->ni_security_info_fetched = 1;
        ASSERT_EQ(crconf_get_info(&info_), 0);
        EXPECT_EQ(calls(), step.calls);
        EXPECT_EQ(info_->ni_update_time, step.record_time);
        EXPECT_EQ(info_->ni_security_info_fetched, *step.calls == '\0');  // a kept record keeps its changes
    }
}

// A broken or missing library fails the whole load: the stale record goes, nothing stays
// mapped, and no entry point is called once an earlier step failed.
TEST_F(CrconfLoader, UnusableLibraryFailsAndDropsTheStaleRecord) {
    struct Row { const char *what, *library; int status; const char *calls; };
    int t = kTime;
    for (const Row &row : {Row{"missing library", nullptr, 12, ""},
                           Row{"no crconf_get_cwinfo", CRCONF_FAKE_NO_GET_LIB, 12, ""},
                           Row{"no crconf_cleanup", CRCONF_FAKE_NO_CLEANUP_LIB, 12, ""},
                           Row{"crconf_init fails", CRCONF_FAKE_INIT_FAILS_LIB, 12, "init(1,%) cleanup "},
                           Row{"crconf_get_cwinfo fails", CRCONF_FAKE_GET_FAILS_LIB, 232, "init(1,%) get cleanup "},
                           Row{"success without record", CRCONF_FAKE_GET_NULL_LIB, 12, "init(1,%) get cleanup "}}) {
        SCOPED_TRACE(row.what);
        install_library(CRCONF_FAKE_OK_LIB);
        set_cw_conf(++t, "");
        ASSERT_EQ(crconf_get_info(&info_), 0);
        calls();
        if (row.library != nullptr) install_library(row.library);
        else ::unlink(YQ_PATH_CRCONF_LIB);
        set_cw_conf(++t);
        DebugLog log;
        EXPECT_EQ(crconf_get_info(&info_), row.status);
        EXPECT_EQ(info_, nullptr);
        std::string want = row.calls;
        if (!want.empty()) want.replace(want.find('%'), 1, std::to_string(log.fd));
        EXPECT_EQ(calls(), want);
        EXPECT_FALSE(library_mapped());
        EXPECT_EQ(log.grep(": retval: " + std::to_string(row.status) + " ").size(), 2u) << "step and load";
    }
}

// The real library: its defaults, then the lines no other test reads through
// it; bad lines are reported with their number and change nothing.
TEST_F(CrconfLoader, TheRealLibraryReadsCwConf) {
    auto dump = [](const crconf_info_rec *r) {
        std::string out = "S";
        for (auto *s = r->ni_servers; s != nullptr; s = s->ns_next) out += " " + str(s->ns_server);
        out += "; P " + std::to_string(r->ni_client_port_low) + "-" + std::to_string(r->ni_client_port_high) +
               "; I " + str(r->ni_required_interface) + "; U " + std::to_string(r->ni_use_yqss) + "; D";
        for (auto *d = r->ni_authentication_domains; d != nullptr; d = d->ad_next)
            out += " " + str(d->ad_domain) + "/" + str(d->ad_comment) + "/" + std::to_string(d->ad_auth_type);
        return out + "; T " + std::to_string(r->ni_connect_timeout) + "/" + std::to_string(r->ni_request_timeout);
    };
    install_library(CRCONF_REAL_LIB);
    ASSERT_EQ(crconf_get_info(&info_), 0);
    EXPECT_EQ(dump(info_), "S; P 0-0; I -; U 0; D; T 300/60");
    DebugLog log;
    set_cw_conf(kTime + 1, yqtest::read_file(CRCONF_SAMPLE));  // the last three lines are bad
    ASSERT_EQ(crconf_get_info(&info_), 0);
    EXPECT_EQ(dump(info_), "S master.example media1.example; P 1024-5000; I backup-if.example; U 1; "
                           "D CORP/Corporate \"main\" domain/2; T 45/60");
    EXPECT_EQ(log.grep("libYcrconf: " YQ_PATH_CW_CONF " line ").size(), 3u);
    EXPECT_EQ(log.grep("line 8: unknown key \"COLOR\"").size(), 1u);
    fs::remove(YQ_PATH_CW_CONF);
}

// Lines carry the module, line, label and the text or value. No "cw.conf" is time 0, reported.
TEST(CrconfDebug, LinesAndTheChangeDetectorsReports) {
    DebugLog log;
    std::string long_text(600, 'x');  // longer than the fixed part of the buffer
    yqtest::for_each_alloc_failure([&] {
        errno = EAGAIN;
        crconf_debug_msg("modname", 42, "somefunc", "label", long_text.c_str(), 99);
        EXPECT_EQ(errno, EAGAIN);
    });
    crconf_debug_msg("m", 7, "f", "value", nullptr, -2);
    auto lines = log.grep();
    ASSERT_EQ(lines.size(), 2u);  // a line without memory is dropped whole
    EXPECT_EQ(lines[0].substr(lines[0].find("] ")), "] <2> somefunc: modname.42: label: " + long_text);
    EXPECT_EQ(lines[1].substr(lines[1].find("] ")), "] <2> f: m.7: value: -2 4294967294 0xfffffffe");
    ::unlink(YQ_PATH_CW_CONF);
    errno = 0;
    EXPECT_EQ(conf_update_time(), 0);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(log.grep(": errno: 2 2 0x00000002").size(), 1u);
}

}  // namespace
