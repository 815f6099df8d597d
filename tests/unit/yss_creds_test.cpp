// Credentials, certificates, trusted roots and the private-domain registry
// through the real authentication library: every result table driven
// through the library's fault seam, each row's status and reports pinned by
// the golden file data/yss_creds_results.txt.
#include <functional>
#include <map>
#include <sstream>

#include "yq_paths.h"
#include "yqtest_yorbat.h"
#include "yss_auth.h"

namespace {

const std::string kHome = YQ_PATH_YORBAT_HOME;

struct Row {
    std::string entry, result;
    int status;
    std::vector<std::string> reports;
};

// The golden rows of one table.
std::vector<Row> golden(const std::string &table) {
    std::vector<Row> rows;
    for (const std::string &line : yqtest::read_lines(YSS_CREDS_DATA)) {
        std::istringstream fields(line);
        std::string name, report;
        Row row;
        if (!(fields >> name >> row.entry >> row.result >> row.status) || name != table) continue;
        fields.ignore(3);  // " | "
        while (std::getline(fields, report, '|')) {
            const size_t first = report.find_first_not_of(' ');
            row.reports.push_back(report.substr(first, report.find_last_not_of(' ') + 1 - first));
        }
        rows.push_back(row);
    }
    return rows;
}

class YssResults : public ::testing::TestWithParam<std::string> {
protected:
    static inline YssConInfo_t record{};
    static inline std::string credential_file;
    static inline yqtest::Faults *faults;

    static void SetUpTestSuite() {
        yqtest::install_library(kHome, YORBAT_LIB);
        credential_file = yqtest::scratch_dir() + "/alpha.pem";
        ASSERT_EQ(yqtest::admin(YORBAT_ADMIN_BIN, kHome, {"setup-broker --host localhost", "domain add Sales",
                                 "issue-machine alpha --out " + credential_file}), "");
        ASSERT_EQ(YssInit(3, "localhost", 0, &record), 0);
        faults = new yqtest::Faults;
    }
    static void TearDownTestSuite() { YssCleanUp(3, &record), delete faults; }
};

// Each table's call; a credential is imported first where the call needs one.
const std::map<std::string, std::function<int(YssConInfo_t *)>> kCalls = {
    {"authenticate", [](YssConInfo_t *r) { return YssAuthenticate("alice", 5, "secret-1", 8, nullptr, 0, 4, r); }},
    {"clear-store", [](YssConInfo_t *r) { return YssAuthenticate(nullptr, 0, nullptr, 0, nullptr, 0, 1, r); }},
    {"fetch", [](YssConInfo_t *r) { return YssGetCreds("alice", 5, "Sales", 5, 3, r); }},
    {"renew", [](YssConInfo_t *r) { return YssCredRenew(r); }},
    {"export", [](YssConInfo_t *r) { return YssExportCredential((yqtest::scratch_dir() + "/out.pem").c_str(), r); }},
    {"import", [](YssConInfo_t *r) { return YssImportCredential((yqtest::scratch_dir() + "/alpha.pem").c_str(), r); }},
    {"cert-info",
     [](YssConInfo_t *r) {
         YssCertInfo info{};
         int status = YssGetCertInfo(&info, r);
         FreeYssCertInfo(&info);
         return status;
     }},
    {"enum-roots",
     [](YssConInfo_t *r) {
         YssCertInfo *certs = nullptr;
         int count = 0;
         return YssEnumRootCerts(&certs, &count, r);
     }},
    {"trust", [](YssConInfo_t *r) { return YssGetRootCert(nullptr, 0, r); }},
    {"principal", [](YssConInfo_t *r) { return YssRegisterUser("bob", "secret-2", "Sales", r); }},
    {"domain", [](YssConInfo_t *r) { return YssRegisterDomain("Support", r); }},
    {"qualified",
     [](YssConInfo_t *r) {
         char name[256];
         return YssGetFQPrivateDomainName("Sales", name, sizeof name, r);
     }},
    {"names",
     [](YssConInfo_t *r) {
         char **names = nullptr;
         int count = 0;
         return YssGetPrivateDomainUserNames("Sales", &names, &count, 0, r);
     }},
};

TEST_P(YssResults, EveryResultBecomesItsStatusWithItsReports) {
    const std::vector<Row> rows = golden(GetParam());
    ASSERT_FALSE(rows.empty());
    for (const Row &row : rows) {
        SCOPED_TRACE(GetParam() + " " + row.entry + " " + row.result);
        faults->set("");
        ASSERT_EQ(YssImportCredential(credential_file.c_str(), &record), 0);
        // The login of the store-clearing call is refused after the clearing.
        faults->set(row.entry + " " + row.result + "\nyorbAtAuthenticate 0x600b\n");
        yqtest::YssReports reports;
        EXPECT_EQ(kCalls.at(GetParam())(&record), row.status);
        EXPECT_EQ(reports.take(), row.reports);
    }
}

INSTANTIATE_TEST_SUITE_P(Tables, YssResults,
                         ::testing::Values("authenticate", "clear-store", "fetch", "renew", "export", "import",
                                           "cert-info", "enum-roots", "trust", "principal", "domain", "qualified",
                                           "names"),
                         [](const auto &info) {
                             std::string name = info.param;
                             std::erase(name, '-');
                             return name;
                         });

}  // namespace
