// Credentials, certificates, trusted roots and the private-domain registry
// through the real authentication library: every result table driven
// through the library's fault seam, each row's status and reports pinned by
// the golden file data/yss_creds_results.txt.
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "yq_paths.h"
#include "yqtest_yorbat.h"
#include "yss_auth.h"

namespace {

using Call = std::function<int(YssConInfo_t *)>;

// Each table's call, made with a credential imported.
const std::map<std::string, Call> kCalls = {
    {"authenticate", [](YssConInfo_t *r) { return YssAuthenticate("alice", 5, "secret-1", 8, nullptr, 0, 4, r); }},
    {"clear-store", [](YssConInfo_t *r) { return YssAuthenticate(nullptr, 0, nullptr, 0, nullptr, 0, 1, r); }},
    {"fetch", [](YssConInfo_t *r) { return YssGetCreds("alice", 5, "Sales", 5, 3, r); }},
    {"renew", [](YssConInfo_t *r) { return YssCredRenew(r); }},
    {"export", [](YssConInfo_t *r) { return YssExportCredential((yqtest::scratch_dir() + "/out.pem").c_str(), r); }},
    {"import", [](YssConInfo_t *r) { return YssImportCredential((yqtest::scratch_dir() + "/alpha.pem").c_str(), r); }},
    {"cert-info", [](YssConInfo_t *r) {
         YssCertInfo info{};
         const int status = YssGetCertInfo(&info, r);
         return FreeYssCertInfo(&info), status;
     }},
    {"enum-roots", [](YssConInfo_t *r) {
         YssCertInfo *certs = nullptr;
         int count = 0;
         return YssEnumRootCerts(&certs, &count, r);
     }},
    {"trust", [](YssConInfo_t *r) { return YssGetRootCert(nullptr, 0, r); }},
    {"principal", [](YssConInfo_t *r) { return YssRegisterUser("bob", "secret-2", "Sales", r); }},
    {"domain", [](YssConInfo_t *r) { return YssRegisterDomain("Support", r); }},
    {"qualified", [](YssConInfo_t *r) {
         char name[256];
         return YssGetFQPrivateDomainName("Sales", name, sizeof name, r);
     }},
    {"names", [](YssConInfo_t *r) {
         char **names = nullptr;
         int count = 0;
         return YssGetPrivateDomainUserNames("Sales", &names, &count, 0, r);
     }},
};

// Rows: TABLE ENTRY RESULT STATUS | REPORT | REPORT ...
TEST(YssResults, EveryResultBecomesItsStatusWithItsReports) {
    const std::string home = YQ_PATH_YORBAT_HOME, credential = yqtest::scratch_dir() + "/alpha.pem";
    yqtest::install_library(home, YORBAT_LIB);
    ASSERT_EQ(yqtest::admin(YORBAT_ADMIN_BIN, home, {"setup-broker --host localhost", "domain add Sales",
                            "issue-machine alpha --out " + credential}), "");
    YssConInfo_t record{};
    ASSERT_EQ(YssInit(3, "localhost", 0, &record), 0);
    yqtest::Faults faults;
    std::set<std::string> tables;
    for (const std::string &line : yqtest::read_lines(YQ_TEST_DATA "/yss_creds_results.txt")) {
        std::istringstream fields(line);
        std::string table, entry, result, report;
        int status = -1;
        if (!(fields >> table >> entry >> result >> status) || !kCalls.contains(table)) continue;
        SCOPED_TRACE(line);
        std::vector<std::string> reports;
        for (fields.ignore(3); std::getline(fields, report, '|');) {  // after " | "
            const size_t first = report.find_first_not_of(' ');
            reports.push_back(report.substr(first, report.find_last_not_of(' ') + 1 - first));
        }
        faults.set("");
        ASSERT_EQ(YssImportCredential(credential.c_str(), &record), 0);
        // The login of the store-clearing call is refused after the clearing.
        faults.set(entry + " " + result + "\nyorbAtAuthenticate 0x600b\n");
        yqtest::YssReports captured;
        EXPECT_EQ(kCalls.at(table)(&record), status);
        EXPECT_EQ(captured.take(), reports);
        tables.insert(table);
    }
    EXPECT_EQ(tables.size(), kCalls.size());
    YssCleanUp(3, &record);
}

}  // namespace
