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
#include <vector>

#include "crconf_private.h"
#include "logging.h"
#include "yq_paths.h"
#include "yqtest.h"

namespace {

namespace fs = std::filesystem;

constexpr int kTime = 1600000000;  // an arbitrary fixed "cw.conf" time

// ---- fixtures: the product paths inside the sandbox ----

void set_mtime(const std::string &path, int seconds) {
    struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << std::strerror(errno);
}

void write_cw_conf(const std::string &content, int seconds = kTime) {
    fs::create_directories(fs::path(YQ_PATH_CW_CONF).parent_path());
    yqtest::write_file(YQ_PATH_CW_CONF, content);
    set_mtime(YQ_PATH_CW_CONF, seconds);
}

// Installs a library by copy and rename, never by rewriting the old file in
// place: the previous library may still be mapped if a test failed midway.
void install_library(const char *built) {
    fs::path target(YQ_PATH_CRCONF_LIB);
    fs::create_directories(target.parent_path());
    fs::path staged = target.string() + ".new";
    fs::copy_file(built, staged, fs::copy_options::overwrite_existing);
    fs::rename(staged, target);
}

bool library_mapped() {
    return yqtest::read_file("/proc/self/maps").find(YQ_PATH_CRCONF_LIB) != std::string::npos;
}

// The debug log of the test program, in the sandbox's scratch directory.
class DebugLog {
public:
    DebugLog() : dir_(yqtest::scratch_dir() + "/logs") {
        yqtest::remove_tree(dir_);
        int err = 0;
        fd_ = open_log(dir_.c_str(), 0644, &err);
        EXPECT_GE(fd_, 0) << err;
        debugFD = fd_;
    }
    ~DebugLog() {
        debugFD = -1;
        if (fd_ >= 0) ::close(fd_);
    }
    DebugLog(const DebugLog &) = delete;
    DebugLog &operator=(const DebugLog &) = delete;

    int fd() const { return fd_; }

    // Every line written so far (the file is named after the day, so read
    // whatever the directory holds).
    std::vector<std::string> lines() const {
        std::vector<std::string> all;
        for (const auto &entry : fs::directory_iterator(dir_))
            for (auto &line : yqtest::read_lines(entry.path())) all.push_back(line);
        return all;
    }
    // Lines that contain `part`.
    std::vector<std::string> grep(const std::string &part) const {
        std::vector<std::string> found;
        for (auto &line : lines())
            if (line.find(part) != std::string::npos) found.push_back(line);
        return found;
    }

private:
    std::string dir_;
    int fd_ = -1;
};

// ---- constructors and destructors ----

TEST(CrconfRecords, ConstructorsCopyTextsAndKeepIntegers) {
    char domain[] = "EXAMPLE";
    crconf_authentication_domain_rec *d = nullptr;
    ASSERT_EQ(crconf_create_authentication_domain(domain, "main domain", 3, "broker1", 13783, &d),
              0);
    domain[0] = 'X';  // the record holds its own copy
    EXPECT_STREQ(d->ad_domain, "EXAMPLE");
    EXPECT_STREQ(d->ad_comment, "main domain");
    EXPECT_EQ(d->ad_auth_type, 3);
    EXPECT_STREQ(d->ad_broker, "broker1");
    EXPECT_EQ(d->ad_port, 13783);
    EXPECT_EQ(d->ad_next, nullptr);
    crconf_free_authentication_domain(&d);
    EXPECT_EQ(d, nullptr);

    ASSERT_EQ(crconf_create_authentication_domain("D", nullptr, 0, nullptr, 0, &d), 0);
    EXPECT_STREQ(d->ad_domain, "D");
    EXPECT_EQ(d->ad_comment, nullptr);
    EXPECT_EQ(d->ad_broker, nullptr);
    crconf_free_authentication_domain(&d);

    crconf_yqss_network_rec *n = nullptr;
    ASSERT_EQ(crconf_create_yqss_network("192.0.2.0/255.255.255.0", USE_YQSS_PROHIBITED, &n), 0);
    EXPECT_STREQ(n->nw_network, "192.0.2.0/255.255.255.0");
    EXPECT_EQ(n->nw_use_yqss, USE_YQSS_PROHIBITED);
    EXPECT_EQ(n->nw_next, nullptr);
    crconf_free_yqss_network(&n);
    EXPECT_EQ(n, nullptr);
}

TEST(CrconfRecords, AuthorizationServiceNoneAndNullHostLookAlike) {
    crconf_authorization_service_rec *s = nullptr;
    ASSERT_EQ(crconf_create_authorization_service("authz.example", 13722, &s), 0);
    EXPECT_STREQ(s->as_host, "authz.example");
    EXPECT_EQ(s->as_port, 13722);
    crconf_free_authorization_service(&s);
    EXPECT_EQ(s, nullptr);

    for (const char *none : {static_cast<const char *>("_NONE_"), static_cast<const char *>(nullptr)}) {
        ASSERT_EQ(crconf_create_authorization_service(none, 41, &s), 0);
        EXPECT_EQ(s->as_host, nullptr);
        EXPECT_EQ(s->as_port, 41);
        crconf_free_authorization_service(&s);
    }
    // Only the exact text means none.
    ASSERT_EQ(crconf_create_authorization_service("_none_", 1, &s), 0);
    EXPECT_STREQ(s->as_host, "_none_");
    crconf_free_authorization_service(&s);
}

TEST(CrconfRecords, DestructorsTakeNullAndFreeWholeLists) {
    crconf_free_info(nullptr);
    crconf_free_authentication_domain(nullptr);
    crconf_free_authorization_service(nullptr);
    crconf_free_yqss_network(nullptr);
    crconf_free_server_list(nullptr);
    crconf_free_authentication_domain_list(nullptr);
    crconf_free_yqss_network_list(nullptr);
    crconf_info_rec *none = nullptr;
    crconf_free_info(&none);
    crconf_free_info_rec(&none);
    crconf_server_rec *empty = nullptr;
    crconf_free_server_list(&empty);
    EXPECT_EQ(empty, nullptr);

    // A complete record: the destructor must reach every part (the sanitizer
    // build reports anything it misses as a leak).
    auto *info = static_cast<crconf_info_rec *>(std::calloc(1, sizeof(crconf_info_rec)));
    ASSERT_NE(info, nullptr);
    crconf_server_rec **server_tail = &info->ni_servers;
    crconf_authentication_domain_rec **domain_tail = &info->ni_authentication_domains;
    crconf_yqss_network_rec **network_tail = &info->ni_yqss_networks;
    for (int i = 0; i < 3; ++i) {
        std::string name = "host" + std::to_string(i);
        *server_tail = static_cast<crconf_server_rec *>(std::calloc(1, sizeof(crconf_server_rec)));
        (*server_tail)->ns_server = ::strdup(name.c_str());
        server_tail = &(*server_tail)->ns_next;
        ASSERT_EQ(crconf_create_authentication_domain(name.c_str(), "c", i, "b", i, domain_tail), 0);
        domain_tail = &(*domain_tail)->ad_next;
        ASSERT_EQ(crconf_create_yqss_network(name.c_str(), i, network_tail), 0);
        network_tail = &(*network_tail)->nw_next;
    }
    ASSERT_EQ(crconf_create_authorization_service("authz", 1, &info->ni_authorization_service), 0);
    info->ni_reserved_text_1 = ::strdup("r1");
    info->ni_required_interface = ::strdup("eth0-host");
    info->ni_reserved_text_2 = ::strdup("r2");
    info->ni_reserved_text_3 = ::strdup("r3");

    // One element of a list goes alone; the list destructor takes the rest.
    crconf_yqss_network_rec *second = info->ni_yqss_networks->nw_next;
    info->ni_yqss_networks->nw_next = second->nw_next;
    crconf_free_yqss_network(&second);
    EXPECT_EQ(second, nullptr);
    crconf_free_yqss_network_list(&info->ni_yqss_networks);
    EXPECT_EQ(info->ni_yqss_networks, nullptr);

    crconf_free_info(&info);
    EXPECT_EQ(info, nullptr);
}

// Every allocation of every constructor may fail: the result is 36 with
// nothing built, or 0 with a complete record. The expected counts pin that
// each allocation is checked (one record plus one per non-NULL text).
TEST(CrconfRecords, EveryAllocationFailureGives36AndLeavesNothing) {
    yqtest::SysGuard guard;
    auto domain = [](auto create) {
        return yqtest::for_each_alloc_failure([&] {
            crconf_authentication_domain_rec *d = nullptr;
            int rc = create("dom", "comment", 1, "broker", 2, &d);
            if (rc == 0) {
                EXPECT_STREQ(d->ad_domain, "dom");
                EXPECT_STREQ(d->ad_comment, "comment");
                EXPECT_STREQ(d->ad_broker, "broker");
                crconf_free_authentication_domain(&d);
            } else {
                EXPECT_EQ(rc, 36);
                EXPECT_EQ(d, nullptr);
            }
        });
    };
    EXPECT_EQ(domain(crconf_create_authentication_domain), 4);
    EXPECT_EQ(domain(crconf_create_authentication_domain_rec), 4);

    auto service = [](auto create, const char *host) {
        return yqtest::for_each_alloc_failure([&] {
            crconf_authorization_service_rec *s = nullptr;
            int rc = create(host, 7, &s);
            if (rc == 0) {
                EXPECT_EQ(s->as_port, 7);
                crconf_free_authorization_service(&s);
            } else {
                EXPECT_EQ(rc, 36);
                EXPECT_EQ(s, nullptr);
            }
        });
    };
    EXPECT_EQ(service(crconf_create_authorization_service, "authz"), 2);
    EXPECT_EQ(service(crconf_create_authorization_service_rec, "authz"), 2);
    EXPECT_EQ(service(crconf_create_authorization_service, "_NONE_"), 1);

    auto network = [](auto create) {
        return yqtest::for_each_alloc_failure([&] {
            crconf_yqss_network_rec *n = nullptr;
            int rc = create("192.0.2.1", 1, &n);
            if (rc == 0) {
                EXPECT_STREQ(n->nw_network, "192.0.2.1");
                crconf_free_yqss_network(&n);
            } else {
                EXPECT_EQ(rc, 36);
                EXPECT_EQ(n, nullptr);
            }
        });
    };
    EXPECT_EQ(network(crconf_create_yqss_network), 2);
    EXPECT_EQ(network(crconf_create_yqss_network_rec), 2);
}

TEST(CrconfRecords, AllocationFailureIsReportedByBothLayers) {
    yqtest::SysGuard guard;
    DebugLog log;
    crconf_yqss_network_rec *n = nullptr;
    {
        yqtest::AllocFailer fail_second(2);  // the text, after the record
        EXPECT_EQ(crconf_create_yqss_network("net", 0, &n), 36);
    }
    EXPECT_EQ(n, nullptr);
    auto retval = log.grep("retval: 36 36 0x00000024");
    ASSERT_EQ(retval.size(), 2u);
    EXPECT_NE(retval[0].find("<2> crconf_create_yqss_network_rec: crconf_private."),
              std::string::npos)
        << retval[0];
    EXPECT_NE(retval[1].find("<2> crconf_create_yqss_network: crconf_glue."), std::string::npos)
        << retval[1];
}

// ---- the loader ----

class CrconfLoader : public ::testing::Test {
protected:
    void SetUp() override {
        trace_path_ = yqtest::scratch_dir() + "/crconf_trace";
        ::unlink(trace_path_.c_str());
        ::setenv("CRCONF_FAKE_TRACE", trace_path_.c_str(), 1);
        ::unlink(YQ_PATH_CW_CONF);
        ::unlink(YQ_PATH_CRCONF_LIB);
        debugFD = -1;
    }
    void TearDown() override {
        crconf_free_info(&info_);
        ::unsetenv("CRCONF_FAKE_TRACE");
    }

    // What the stand-in libraries were asked to do since the last call.
    std::string take_trace() {
        std::string text = yqtest::read_file(trace_path_);
        ::unlink(trace_path_.c_str());
        return text;
    }

    crconf_info_rec *info_ = nullptr;
    std::string trace_path_;
};

TEST_F(CrconfLoader, LoadsOnceWhileTheFileKeepsItsTime) {
    install_library(CRCONF_FAKE_OK_LIB);
    write_cw_conf("", kTime);

    ASSERT_EQ(crconf_get_info(&info_), 0);
    ASSERT_NE(info_, nullptr);
    EXPECT_EQ(take_trace(), "init(1,-1) get cleanup ");
    EXPECT_EQ(info_->ni_update_time, kTime);
    EXPECT_STREQ(info_->ni_reserved_text_1, "fake");
    EXPECT_FALSE(library_mapped()) << "the library stays loaded between calls";

    // Changes made after loading survive as long as the record does.
    info_->ni_security_info_fetched = 1;
    crconf_info_rec *first = info_;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(crconf_get_info(&info_), 0);
        EXPECT_EQ(info_, first);
    }
    EXPECT_EQ(take_trace(), "");
    EXPECT_EQ(info_->ni_security_info_fetched, 1);
}

TEST_F(CrconfLoader, OnlyAStrictlyNewerTimeReloads) {
    install_library(CRCONF_FAKE_OK_LIB);
    write_cw_conf("", kTime);
    ASSERT_EQ(crconf_get_info(&info_), 0);
    take_trace();
    info_->ni_security_info_fetched = 1;

    set_mtime(YQ_PATH_CW_CONF, kTime - 100);  // older: keep
    ASSERT_EQ(crconf_get_info(&info_), 0);
    EXPECT_EQ(take_trace(), "");
    EXPECT_EQ(info_->ni_update_time, kTime);
    EXPECT_EQ(info_->ni_security_info_fetched, 1);

    set_mtime(YQ_PATH_CW_CONF, kTime + 1);  // newer: a fresh record
    ASSERT_EQ(crconf_get_info(&info_), 0);
    EXPECT_EQ(take_trace(), "init(1,-1) get cleanup ");
    EXPECT_EQ(info_->ni_update_time, kTime + 1);
    EXPECT_EQ(info_->ni_security_info_fetched, 0);

    // A file that cannot be examined counts as time 0: the record stays.
    ::unlink(YQ_PATH_CW_CONF);
    ASSERT_EQ(crconf_get_info(&info_), 0);
    EXPECT_EQ(take_trace(), "");
    EXPECT_EQ(info_->ni_update_time, kTime + 1);
}

TEST_F(CrconfLoader, WithoutConfigurationFileTheRecordHasTimeZero) {
    install_library(CRCONF_FAKE_OK_LIB);
    ASSERT_EQ(crconf_get_info(&info_), 0);
    EXPECT_EQ(info_->ni_update_time, 0);
    ASSERT_EQ(crconf_get_info(&info_), 0);
    EXPECT_EQ(take_trace(), "init(1,-1) get cleanup ");

    write_cw_conf("", kTime);  // the file appears: newer than 0
    ASSERT_EQ(crconf_get_info(&info_), 0);
    EXPECT_EQ(take_trace(), "init(1,-1) get cleanup ");
    EXPECT_EQ(info_->ni_update_time, kTime);
}

TEST_F(CrconfLoader, HandsTheDebugDescriptorToTheLibrary) {
    install_library(CRCONF_FAKE_OK_LIB);
    DebugLog log;
    ASSERT_EQ(crconf_get_info(&info_), 0);
    EXPECT_EQ(take_trace(), "init(1," + std::to_string(log.fd()) + ") get cleanup ");
}

// A broken or missing library fails the load as a whole: the stale record is
// gone, nothing of the library is left mapped, and later entry points are
// never called once an earlier step failed.
TEST_F(CrconfLoader, UnusableLibraryFailsAndDropsTheStaleRecord) {
    struct Case {
        const char *name;
        const char *library;  // nullptr: none installed
        int status;
        const char *trace;
    };
    const Case cases[] = {
        {"missing library", nullptr, 12, ""},
        {"no crconf_get_cwinfo", CRCONF_FAKE_NO_GET_LIB, 12, ""},
        {"no crconf_cleanup", CRCONF_FAKE_NO_CLEANUP_LIB, 12, ""},
        {"crconf_init fails", CRCONF_FAKE_INIT_FAILS_LIB, 12, "init(1,-1) cleanup "},
        {"crconf_get_cwinfo fails", CRCONF_FAKE_GET_FAILS_LIB, 232, "init(1,-1) get cleanup "},
        {"success without record", CRCONF_FAKE_GET_NULL_LIB, 12, "init(1,-1) get cleanup "},
    };
    int t = kTime;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        install_library(CRCONF_FAKE_OK_LIB);
        write_cw_conf("", ++t);
        ASSERT_EQ(crconf_get_info(&info_), 0);
        take_trace();

        if (c.library != nullptr)
            install_library(c.library);
        else
            ::unlink(YQ_PATH_CRCONF_LIB);
        set_mtime(YQ_PATH_CW_CONF, ++t);
        EXPECT_EQ(crconf_get_info(&info_), c.status);
        EXPECT_EQ(info_, nullptr);
        EXPECT_EQ(take_trace(), c.trace);
        EXPECT_FALSE(library_mapped());
    }
}

TEST_F(CrconfLoader, FailuresAreReportedToTheDebugLog) {
    DebugLog log;
    ASSERT_EQ(crconf_get_info(&info_), 12);  // nothing installed
    EXPECT_EQ(log.grep("<2> crconf_get_info: crconf_glue.").size(), log.lines().size() - 2)
        << "two lines come from conf_update_time (no cw.conf)";
    EXPECT_EQ(log.grep("crconf_glue.").size(), log.lines().size());
    auto dlopen_failed = log.grep(": dlopen failed: ");
    ASSERT_EQ(dlopen_failed.size(), 1u);
    EXPECT_NE(dlopen_failed[0].find("libYcrconf.so"), std::string::npos) << dlopen_failed[0];
    EXPECT_EQ(log.grep(": path: " YQ_PATH_CRCONF_LIB).size(), 1u);
    // Once by the failing step, once more as the outcome of the load.
    EXPECT_EQ(log.grep(": retval: 12 12 0x0000000c").size(), 2u);

    install_library(CRCONF_FAKE_GET_FAILS_LIB);
    ASSERT_EQ(crconf_get_info(&info_), 232);
    EXPECT_FALSE(log.grep("crconf_get_info: crconf_glue.").empty());
    EXPECT_EQ(log.grep(": retval: 232 232 0x000000e8").size(), 2u);

    install_library(CRCONF_FAKE_NO_CLEANUP_LIB);
    ASSERT_EQ(crconf_get_info(&info_), 12);
    EXPECT_EQ(log.grep(": retval: 12 12 0x0000000c").size(), 4u);

    // A successful load logs its outcome too; a current record is kept
    // without a load and without a line.
    install_library(CRCONF_FAKE_OK_LIB);
    ASSERT_EQ(crconf_get_info(&info_), 0);
    EXPECT_NE(log.lines().back().find(": retval: 0 0 0x00000000"), std::string::npos)
        << log.lines().back();
    EXPECT_EQ(log.grep(": retval: 0 0 0x00000000").size(), 1u);
    ASSERT_EQ(crconf_get_info(&info_), 0);
    EXPECT_EQ(log.grep(": retval: 0 0 0x00000000").size(), 1u);
}

TEST_F(CrconfLoader, OutOfMemoryBeforeLoadingGives36) {
    yqtest::SysGuard guard;
    install_library(CRCONF_FAKE_OK_LIB);
    long points = yqtest::for_each_alloc_failure([&] {
        int rc = crconf_get_info(&info_);
        if (rc == 0) {
            ASSERT_NE(info_, nullptr);
            crconf_free_info(&info_);
        } else {
            EXPECT_EQ(rc, 36);
            EXPECT_EQ(info_, nullptr);
        }
    });
    EXPECT_EQ(points, 1);
    EXPECT_EQ(take_trace(), "init(1,-1) get cleanup ");  // only the run that did not fail
}

// ---- the real configuration library ----

TEST_F(CrconfLoader, EveryKeyOfCwConfReachesTheRecord) {
    install_library(CRCONF_REAL_LIB);
    write_cw_conf(R"(# product configuration
SERVER = master.example
SERVER = media1.example   # a trailing comment
server=media2.example
CLIENT_PORT_WINDOW = 1024 5000
REQUIRED_INTERFACE = old-name
REQUIRED_INTERFACE = backup-if.example
use_yqss = required

YQSS_NETWORK = 192.0.2.0/255.255.255.0 PROHIBITED
YQSS_NETWORK = host9.example automatic
YQSS_NETWORK = 198.51.100.7 REQUIRED
AUTHENTICATION_DOMAIN = CORP "Corporate \"main\" domain" 2 broker.example 13783
AUTHENTICATION_DOMAIN = lab "" 4 labbroker 0
AUTHORIZATION_SERVICE = _NONE_ 1
AUTHORIZATION_SERVICE = authz.example 13722
CONNECT_TIMEOUT = 45
REQUEST_TIMEOUT = 0
VERBOSE = 5
)");
    ASSERT_EQ(crconf_get_info(&info_), 0);
    ASSERT_NE(info_, nullptr);
    EXPECT_EQ(info_->ni_update_time, kTime);

    std::vector<std::string> servers;
    for (auto *s = info_->ni_servers; s != nullptr; s = s->ns_next) servers.push_back(s->ns_server);
    EXPECT_EQ(servers, (std::vector<std::string>{"master.example", "media1.example",
                                                 "media2.example"}));
    EXPECT_EQ(info_->ni_reserved_text_1, nullptr);
    EXPECT_EQ(info_->ni_client_port_low, 1024);
    EXPECT_EQ(info_->ni_client_port_high, 5000);
    EXPECT_STREQ(info_->ni_required_interface, "backup-if.example");

    const crconf_authentication_domain_rec *d = info_->ni_authentication_domains;
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d->ad_domain, "CORP");
    EXPECT_STREQ(d->ad_comment, "Corporate \"main\" domain");
    EXPECT_EQ(d->ad_auth_type, 2);
    EXPECT_STREQ(d->ad_broker, "broker.example");
    EXPECT_EQ(d->ad_port, 13783);
    d = d->ad_next;
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d->ad_domain, "lab");
    EXPECT_STREQ(d->ad_comment, "");
    EXPECT_EQ(d->ad_auth_type, 4);
    EXPECT_STREQ(d->ad_broker, "labbroker");
    EXPECT_EQ(d->ad_port, 0);
    EXPECT_EQ(d->ad_next, nullptr);

    ASSERT_NE(info_->ni_authorization_service, nullptr);
    EXPECT_STREQ(info_->ni_authorization_service->as_host, "authz.example");
    EXPECT_EQ(info_->ni_authorization_service->as_port, 13722);
    EXPECT_EQ(info_->ni_use_yqss, USE_YQSS_REQUIRED);

    const crconf_yqss_network_rec *n = info_->ni_yqss_networks;
    ASSERT_NE(n, nullptr);
    EXPECT_STREQ(n->nw_network, "192.0.2.0/255.255.255.0");
    EXPECT_EQ(n->nw_use_yqss, USE_YQSS_PROHIBITED);
    ASSERT_NE(n = n->nw_next, nullptr);
    EXPECT_STREQ(n->nw_network, "host9.example");
    EXPECT_EQ(n->nw_use_yqss, USE_YQSS_AUTOMATIC);
    ASSERT_NE(n = n->nw_next, nullptr);
    EXPECT_STREQ(n->nw_network, "198.51.100.7");
    EXPECT_EQ(n->nw_use_yqss, USE_YQSS_REQUIRED);
    EXPECT_EQ(n->nw_next, nullptr);

    EXPECT_EQ(info_->ni_connect_timeout, 45);
    EXPECT_EQ(info_->ni_request_timeout, 0);
    EXPECT_EQ(info_->ni_security_info_fetched, 0);
    EXPECT_EQ(info_->ni_reserved_text_2, nullptr);
    EXPECT_EQ(info_->ni_reserved_text_3, nullptr);
    EXPECT_EQ(info_->ni_verbose, 5);
}

TEST_F(CrconfLoader, MissingCwConfGivesDefaults) {
    install_library(CRCONF_REAL_LIB);
    ASSERT_EQ(crconf_get_info(&info_), 0);
    EXPECT_EQ(info_->ni_update_time, 0);
    EXPECT_EQ(info_->ni_servers, nullptr);
    EXPECT_EQ(info_->ni_client_port_low, 0);
    EXPECT_EQ(info_->ni_client_port_high, 0);
    EXPECT_EQ(info_->ni_required_interface, nullptr);
    EXPECT_EQ(info_->ni_authentication_domains, nullptr);
    EXPECT_EQ(info_->ni_authorization_service, nullptr);
    EXPECT_EQ(info_->ni_use_yqss, USE_YQSS_AUTOMATIC);
    EXPECT_EQ(info_->ni_yqss_networks, nullptr);
    EXPECT_EQ(info_->ni_connect_timeout, 300);
    EXPECT_EQ(info_->ni_request_timeout, 60);
    EXPECT_EQ(info_->ni_verbose, 0);
}

TEST_F(CrconfLoader, MalformedLinesAreReportedWithTheirNumberAndSkipped) {
    install_library(CRCONF_REAL_LIB);
    DebugLog log;
    write_cw_conf(R"(SERVER = master.example
just some words
COLOR = blue
SERVER =
USE_YQSS = SOMETIMES
CLIENT_PORT_WINDOW = 5000 1024
CLIENT_PORT_WINDOW = 1 70000
AUTHENTICATION_DOMAIN = D "unterminated 1 b 2
AUTHENTICATION_DOMAIN = D "c" 5 b 2
AUTHORIZATION_SERVICE = host port
CONNECT_TIMEOUT = -1
VERBOSE = 3x
 = value
SERVER = ""
SERVER = media.example
VERBOSE = 2
)");
    ASSERT_EQ(crconf_get_info(&info_), 0);
    ASSERT_NE(info_->ni_servers, nullptr);
    EXPECT_STREQ(info_->ni_servers->ns_server, "master.example");
    ASSERT_NE(info_->ni_servers->ns_next, nullptr);
    EXPECT_STREQ(info_->ni_servers->ns_next->ns_server, "media.example");
    EXPECT_EQ(info_->ni_servers->ns_next->ns_next, nullptr);
    EXPECT_EQ(info_->ni_use_yqss, USE_YQSS_AUTOMATIC);
    EXPECT_EQ(info_->ni_client_port_low, 0);
    EXPECT_EQ(info_->ni_client_port_high, 0);
    EXPECT_EQ(info_->ni_authentication_domains, nullptr);
    EXPECT_EQ(info_->ni_authorization_service, nullptr);
    EXPECT_EQ(info_->ni_connect_timeout, 300);
    EXPECT_EQ(info_->ni_verbose, 2);

    auto reports = log.grep("libYcrconf: " YQ_PATH_CW_CONF " line ");
    std::vector<int> numbers;
    for (auto &r : reports) numbers.push_back(std::atoi(r.substr(r.find(" line ") + 6).c_str()));
    EXPECT_EQ(numbers, (std::vector<int>{2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}));
    EXPECT_EQ(log.grep("line 3: unknown key \"COLOR\"").size(), 1u);
}

TEST_F(CrconfLoader, UnreadableCwConfFailsWithTheLibraryStatus) {
    install_library(CRCONF_REAL_LIB);
    fs::create_directories(YQ_PATH_CW_CONF);  // exists, but cannot be read as a file
    set_mtime(YQ_PATH_CW_CONF, kTime);
    EXPECT_EQ(crconf_get_info(&info_), 110);
    EXPECT_EQ(info_, nullptr);
    fs::remove(YQ_PATH_CW_CONF);
}

TEST(CrconfLibrary, RefusesBadArgumentsWith20) {
    void *lib = ::dlopen(CRCONF_REAL_LIB, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << ::dlerror();
    auto init = reinterpret_cast<crconf_init_fn>(::dlsym(lib, "crconf_init"));
    auto get_cwinfo = reinterpret_cast<crconf_get_cwinfo_fn>(::dlsym(lib, "crconf_get_cwinfo"));
    auto cleanup = reinterpret_cast<crconf_cleanup_fn>(::dlsym(lib, "crconf_cleanup"));
    ASSERT_TRUE(init && get_cwinfo && cleanup);
    EXPECT_EQ(init(2, -1), 20);  // an interface it does not speak
    EXPECT_EQ(init(1, -1), 0);
    EXPECT_EQ(get_cwinfo(nullptr), 20);
    EXPECT_EQ(cleanup(), 0);
    ::dlclose(lib);
}

// ---- change detector and debug writer ----

TEST(CrconfDebug, UpdateTimeIsTheFileTimeOrZero) {
    ::unlink(YQ_PATH_CW_CONF);
    {
        DebugLog log;
        errno = 0;
        EXPECT_EQ(conf_update_time(), 0);
        EXPECT_EQ(errno, ENOENT);
        auto lines = log.lines();
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_NE(lines[0].find("<2> conf_update_time: crconf_glue."), std::string::npos);
        EXPECT_NE(lines[0].find(": errno: 2 2 0x00000002"), std::string::npos) << lines[0];
        EXPECT_NE(lines[1].find(": path: " YQ_PATH_CW_CONF), std::string::npos) << lines[1];
    }
    write_cw_conf("", kTime);
    EXPECT_EQ(conf_update_time(), kTime);
    ::unlink(YQ_PATH_CW_CONF);
}

TEST(CrconfDebug, LinesCarryModuleLineLabelAndTextOrValue) {
    DebugLog log;
    crconf_debug_msg("modname", 42, "somefunc", "label", "some text", 99);
    crconf_debug_msg("modname", 7, "otherfunc", "value", nullptr, -2);
    crconf_debug_msg("m", 1, "f", "zero", nullptr, 0);
    std::string long_text(600, 'x');  // longer than the fixed part of the buffer
    crconf_debug_msg("m", 2, "f", "long", long_text.c_str(), 0);

    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 4u);
    auto ends_with = [](const std::string &line, const std::string &tail) {
        return line.size() >= tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
    };
    EXPECT_TRUE(ends_with(lines[0], "] <2> somefunc: modname.42: label: some text")) << lines[0];
    EXPECT_TRUE(ends_with(lines[1], "] <2> otherfunc: modname.7: value: -2 4294967294 0xfffffffe"))
        << lines[1];
    EXPECT_TRUE(ends_with(lines[2], "] <2> f: m.1: zero: 0 0 0x00000000")) << lines[2];
    EXPECT_TRUE(ends_with(lines[3], "] <2> f: m.2: long: " + long_text)) << lines[3];
}

TEST(CrconfDebug, WithoutALogNothingIsAllocatedOrWritten) {
    yqtest::SysGuard guard;
    static long writes;
    writes = 0;
    yq::sys::table.write = [](int, const void *, size_t n) -> ssize_t {
        ++writes;
        return static_cast<ssize_t>(n);
    };
    debugFD = -1;
    yqtest::AllocFailer count_only(0);
    crconf_debug_msg("m", 1, "f", "label", "text", 0);
    crconf_debug_msg("m", 1, "f", "label", nullptr, 5);
    EXPECT_EQ(yqtest::AllocFailer::calls(), 0);
    EXPECT_EQ(writes, 0);
}

// Whichever allocation fails, the line is dropped whole: the one line in the
// log comes from the last run, in which nothing failed.
TEST(CrconfDebug, OutOfMemoryDropsTheLineSilently) {
    yqtest::SysGuard guard;
    DebugLog log;
    long points = yqtest::for_each_alloc_failure([] {
        errno = EAGAIN;
        crconf_debug_msg("m", 1, "f", "label", "text", 0);
        EXPECT_EQ(errno, EAGAIN);
    });
    EXPECT_GE(points, 1);
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("] <2> f: m.1: label: text"), std::string::npos) << lines[0];
}

}  // namespace
