// The security configuration record: constructors and destructors, the
// loader over the real configuration library and stand-ins that break one
// part each, the "cw.conf" change detector and the module's debug writer.
#include "crconf.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "crconf_private.h"
#include "logging.h"
#include "yq_paths.h"
#include "yqtest.h"

namespace {

namespace fs = std::filesystem;

constexpr int kTime = 1600000000;  // an arbitrary "cw.conf" time

void write_cw_conf(const std::string &content, int seconds = kTime) {
    fs::create_directories(fs::path(YQ_PATH_CW_CONF).parent_path());
    yqtest::write_file(YQ_PATH_CW_CONF, content);
    struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, YQ_PATH_CW_CONF, times, 0), 0);
}

// By copy and rename: the previous library may still be mapped.
void install_library(const char *built) {
    fs::create_directories(fs::path(YQ_PATH_CRCONF_LIB).parent_path());
    fs::copy_file(built, YQ_PATH_CRCONF_LIB ".new", fs::copy_options::overwrite_existing);
    fs::rename(YQ_PATH_CRCONF_LIB ".new", YQ_PATH_CRCONF_LIB);
}

// The test program's debug log, in the sandbox's scratch directory.
class DebugLog {
public:
    DebugLog() : dir_(yqtest::scratch_dir() + "/logs") {
        yqtest::remove_tree(dir_);
        int err = 0;
        debugFD = fd_ = open_log(dir_.c_str(), 0644, &err);
    }
    ~DebugLog() { ::close(std::exchange(debugFD, -1)); }
    DebugLog(const DebugLog &) = delete;
    DebugLog &operator=(const DebugLog &) = delete;

    std::vector<std::string> grep(const std::string &part = "") const {
        std::vector<std::string> found;
        for (const auto &file : fs::directory_iterator(dir_))
            for (auto &line : yqtest::read_lines(file.path()))
                if (line.find(part) != std::string::npos) found.push_back(line);
        return found;
    }
    int fd_ = -1;

private:
    std::string dir_;
};

std::string str(const char *s) { return s != nullptr ? s : "-"; }

// A record in one comparable text.
std::string dump(const crconf_info_rec *r) {
    std::string out = "S";
    for (auto *s = r->ni_servers; s != nullptr; s = s->ns_next) out += " " + str(s->ns_server);
    out += "; P " + std::to_string(r->ni_client_port_low) + "-" + std::to_string(r->ni_client_port_high) +
           "; I " + str(r->ni_required_interface) + "; D";
    for (auto *d = r->ni_authentication_domains; d != nullptr; d = d->ad_next)
        out += " " + str(d->ad_domain) + "/" + str(d->ad_comment) + "/" + std::to_string(d->ad_auth_type) +
               "/" + str(d->ad_broker) + "/" + std::to_string(d->ad_port);
    if (auto *a = r->ni_authorization_service) out += "; A " + str(a->as_host) + ":" + std::to_string(a->as_port);
    out += "; U " + std::to_string(r->ni_use_yqss) + "; N";
    for (auto *n = r->ni_yqss_networks; n != nullptr; n = n->nw_next)
        out += " " + str(n->nw_network) + "/" + std::to_string(n->nw_use_yqss);
    return out + "; T " + std::to_string(r->ni_connect_timeout) + "/" + std::to_string(r->ni_request_timeout) +
           "; V " + std::to_string(r->ni_verbose) + "; R " + str(r->ni_reserved_text_1) +
           str(r->ni_reserved_text_2) + str(r->ni_reserved_text_3);
}

// ---- constructors and destructors ----

// Whichever allocation fails, the result is 36 with nothing built (the
// sanitizer build sees any leak) and both layers report it; otherwise the
// record holds copies of the texts.
TEST(CrconfRecords, ConstructorsCopyTextsOrFailWholly) {
    yqtest::SysGuard guard;
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
            EXPECT_EQ(str(d->ad_domain) + str(d->ad_comment) + str(d->ad_broker), "Dmainbroker1");
            EXPECT_EQ(d->ad_auth_type + d->ad_port, 3 + 13783);
            EXPECT_EQ(none->as_host, nullptr);  // "_NONE_" and NULL look alike
            EXPECT_EQ(none->as_port, 41);
            EXPECT_EQ(str(s->as_host) + str(n->nw_network), "authz192.0.2.0/255.255.255.0");
        } else {
            failed = true;
            EXPECT_EQ(rc, 36);
            EXPECT_TRUE(d == nullptr || none == nullptr || s == nullptr || n == nullptr);
        }
        crconf_free_authentication_domain(&d);
        crconf_free_authorization_service(&none);
        crconf_free_authorization_service(&s);
        crconf_free_yqss_network(&n);
        EXPECT_TRUE(d == nullptr && none == nullptr && s == nullptr && n == nullptr);
    });
    EXPECT_TRUE(failed);
    EXPECT_FALSE(log.grep("<2> crconf_create_yqss_network_rec: crconf_private.").empty());
    EXPECT_FALSE(log.grep("<2> crconf_create_yqss_network: crconf_glue.").empty());
    EXPECT_EQ(log.grep(": retval: 36 36 0x00000024").size(), log.grep().size());
}

TEST(CrconfRecords, DestructorsTakeNull) {
    crconf_free_info(nullptr);
    crconf_free_authentication_domain(nullptr);
    crconf_free_authorization_service(nullptr);
    crconf_free_yqss_network(nullptr);
    crconf_info_rec *none = nullptr;
    crconf_free_info(&none);  // whole records go in the loader tests
}

// ---- the loader ----

class CrconfLoader : public ::testing::Test {
protected:
    void SetUp() override {
        trace_ = yqtest::scratch_dir() + "/crconf_trace";
        ::unlink(trace_.c_str());
        ::setenv("CRCONF_FAKE_TRACE", trace_.c_str(), 1);
        ::unlink(YQ_PATH_CW_CONF);
        ::unlink(YQ_PATH_CRCONF_LIB);
    }
    void TearDown() override {
        crconf_free_info(&info_);
        ::unsetenv("CRCONF_FAKE_TRACE");
    }
    // What the stand-in libraries were asked to do since the last call.
    std::string calls() {
        std::string text = yqtest::read_file(trace_);
        ::unlink(trace_.c_str());
        return text;
    }
    void touch(int seconds) {
        struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, YQ_PATH_CW_CONF, times, 0), 0);
    }

    crconf_info_rec *info_ = nullptr;
    std::string trace_;
};

TEST_F(CrconfLoader, OnlyAStrictlyNewerFileReloads) {
    install_library(CRCONF_FAKE_OK_LIB);
    ASSERT_EQ(crconf_get_info(&info_), 0);  // no "cw.conf": time 0
    EXPECT_EQ(info_->ni_update_time, 0);
    EXPECT_EQ(calls(), "init(1,-1) get cleanup ");
    EXPECT_EQ(yqtest::read_file("/proc/self/maps").find(YQ_PATH_CRCONF_LIB), std::string::npos);

    write_cw_conf("", kTime);
    struct Step {
        const char *what;
        int time;
        const char *calls;
        int record_time;
    };
    for (const Step &step : {Step{"newer than 0", kTime, "init(1,-1) get cleanup ", kTime},
                             Step{"unchanged", kTime, "", kTime},
                             Step{"older", kTime - 100, "", kTime},
                             Step{"newer", kTime + 1, "init(1,-1) get cleanup ", kTime + 1},
                             Step{"gone: time 0", -1, "", kTime + 1}}) {
        SCOPED_TRACE(step.what);
        if (step.time < 0)
            ::unlink(YQ_PATH_CW_CONF);
        else
            touch(step.time);
        crconf_info_rec *before = info_;
        before->ni_security_info_fetched = 1;
        ASSERT_EQ(crconf_get_info(&info_), 0);
        EXPECT_EQ(calls(), step.calls);
        EXPECT_EQ(info_->ni_update_time, step.record_time);
        // A kept record keeps the changes made to it.
        EXPECT_EQ(info_->ni_security_info_fetched, std::strlen(step.calls) == 0 ? 1 : 0);
    }
    DebugLog log;
    write_cw_conf("", kTime + 2);
    ASSERT_EQ(crconf_get_info(&info_), 0);
    EXPECT_EQ(calls(), "init(1," + std::to_string(log.fd_) + ") get cleanup ");
}

// A broken or missing library fails the load as a whole: the stale record is
// gone, nothing of the library stays mapped, and no later entry point is
// called once an earlier step failed.
TEST_F(CrconfLoader, UnusableLibraryFailsAndDropsTheStaleRecord) {
    struct Row {
        const char *what, *library;
        int status;
        const char *calls;
    };
    int t = kTime;
    for (const Row &row : {Row{"missing library", nullptr, 12, ""},
                           Row{"no crconf_get_cwinfo", CRCONF_FAKE_NO_GET_LIB, 12, ""},
                           Row{"no crconf_cleanup", CRCONF_FAKE_NO_CLEANUP_LIB, 12, ""},
                           Row{"crconf_init fails", CRCONF_FAKE_INIT_FAILS_LIB, 12, "init(1,-1) cleanup "},
                           Row{"crconf_get_cwinfo fails", CRCONF_FAKE_GET_FAILS_LIB, 232,
                               "init(1,-1) get cleanup "},
                           Row{"success without record", CRCONF_FAKE_GET_NULL_LIB, 12,
                               "init(1,-1) get cleanup "}}) {
        SCOPED_TRACE(row.what);
        install_library(CRCONF_FAKE_OK_LIB);
        write_cw_conf("", ++t);
        ASSERT_EQ(crconf_get_info(&info_), 0);
        calls();
        if (row.library != nullptr)
            install_library(row.library);
        else
            ::unlink(YQ_PATH_CRCONF_LIB);
        touch(++t);
        DebugLog log;
        EXPECT_EQ(crconf_get_info(&info_), row.status);
        EXPECT_EQ(info_, nullptr);
        std::string want = row.calls;
        if (!want.empty()) want.replace(want.find("-1"), 2, std::to_string(log.fd_));
        EXPECT_EQ(calls(), want);
        EXPECT_EQ(yqtest::read_file("/proc/self/maps").find(YQ_PATH_CRCONF_LIB), std::string::npos);
        // Once by the failing step, once more as the outcome of the load.
        std::string retval = ": retval: " + std::to_string(row.status) + " ";
        EXPECT_EQ(log.grep("crconf_get_info: crconf_glue." ).size(), log.grep().size());
        EXPECT_EQ(log.grep(retval).size(), 2u);
    }
    DebugLog log;
    ::unlink(YQ_PATH_CRCONF_LIB);
    ASSERT_EQ(crconf_get_info(&info_), 12);
    EXPECT_EQ(log.grep(": dlopen failed: ").size(), 1u);
    EXPECT_EQ(log.grep(": path: " YQ_PATH_CRCONF_LIB).size(), 1u);
}

TEST_F(CrconfLoader, OutOfMemoryBeforeLoadingGives36) {
    yqtest::SysGuard guard;
    install_library(CRCONF_FAKE_OK_LIB);
    yqtest::for_each_alloc_failure([&] {
        int rc = crconf_get_info(&info_);
        EXPECT_TRUE(rc == 0 ? info_ != nullptr : rc == 36 && info_ == nullptr) << rc;
        crconf_free_info(&info_);
    });
    EXPECT_EQ(calls(), "init(1,-1) get cleanup ");  // only the run that did not fail
}

// ---- the real configuration library ----

TEST_F(CrconfLoader, TheRealLibraryReadsCwConf) {
    install_library(CRCONF_REAL_LIB);
    ASSERT_EQ(crconf_get_info(&info_), 0);
    EXPECT_EQ(dump(info_), "S; P 0-0; I -; D; U 0; N; T 300/60; V 0; R ---");

    DebugLog log;
    write_cw_conf(R"(SERVER = master.example
server=media1.example   # a comment
CLIENT_PORT_WINDOW = 1024 5000
REQUIRED_INTERFACE = backup-if.example
use_yqss = required
YQSS_NETWORK = 192.0.2.0/255.255.255.0 PROHIBITED
AUTHENTICATION_DOMAIN = CORP "Corporate \"main\" domain" 2 broker.example 13783
AUTHORIZATION_SERVICE = authz.example 13722
CONNECT_TIMEOUT = 45
VERBOSE = 5
COLOR = blue
CLIENT_PORT_WINDOW = 5000 1024
AUTHENTICATION_DOMAIN = D "c" 5 b 2
)", kTime + 1);
    ASSERT_EQ(crconf_get_info(&info_), 0);
    EXPECT_EQ(dump(info_), "S master.example media1.example; P 1024-5000; I backup-if.example; "
                           "D CORP/Corporate \"main\" domain/2/broker.example/13783; "
                           "A authz.example:13722; U 1; N 192.0.2.0/255.255.255.0/2; T 45/60; V 5; R ---");
    // Bad lines are reported with their number and change nothing.
    EXPECT_EQ(log.grep("libYcrconf: " YQ_PATH_CW_CONF " line ").size(), 3u);
    EXPECT_EQ(log.grep("line 11: unknown key \"COLOR\"").size(), 1u);
    fs::remove(YQ_PATH_CW_CONF);
    fs::create_directories(YQ_PATH_CW_CONF);  // exists, but cannot be read as a file
    touch(kTime + 2);
    EXPECT_EQ(crconf_get_info(&info_), 110);
    fs::remove(YQ_PATH_CW_CONF);

    void *lib = ::dlopen(CRCONF_REAL_LIB, RTLD_NOW | RTLD_LOCAL);
    auto init = reinterpret_cast<crconf_init_fn>(::dlsym(lib, "crconf_init"));
    auto get_cwinfo = reinterpret_cast<crconf_get_cwinfo_fn>(::dlsym(lib, "crconf_get_cwinfo"));
    EXPECT_EQ(init(2, -1), 20);  // an interface it does not speak
    EXPECT_EQ(get_cwinfo(nullptr), 20);
    ::dlclose(lib);
}

// ---- change detector and debug writer ----

TEST(CrconfDebug, UpdateTimeIsTheFileTimeOrZeroWithTwoLines) {
    ::unlink(YQ_PATH_CW_CONF);
    {
        DebugLog log;
        errno = 0;
        EXPECT_EQ(conf_update_time(), 0);
        EXPECT_EQ(errno, ENOENT);
        auto lines = log.grep("<2> conf_update_time: crconf_glue.");
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_NE(lines[0].find(": errno: 2 2 0x00000002"), std::string::npos) << lines[0];
        EXPECT_NE(lines[1].find(": path: " YQ_PATH_CW_CONF), std::string::npos) << lines[1];
    }
    write_cw_conf("", kTime);
    EXPECT_EQ(conf_update_time(), kTime);
    ::unlink(YQ_PATH_CW_CONF);
}

TEST(CrconfDebug, LinesCarryModuleLineLabelAndTextOrValue) {
    yqtest::SysGuard guard;
    {
        yqtest::AllocFailer count_only(0);
        crconf_debug_msg("m", 1, "f", "label", "text", 0);  // no log: nothing allocated
        EXPECT_EQ(yqtest::AllocFailer::calls(), 0);
    }
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
}

}  // namespace
