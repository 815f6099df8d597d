// Credentials, certificates, trusted roots and the private-domain registry
// through the real authentication library: every result table driven
// through the library's fault seam, each row's status and reports pinned by
// the golden file data/yss_creds_results.txt.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>

#include "yq_paths.h"
#include "yqtest.h"
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

// The reports of one call, without the module's name and line.
std::vector<std::string> reports_of(const std::function<int()> &call, int &status) {
    FILE *stream = std::tmpfile();
    YssSetDebugStream(3, stream);
    status = call();
    YssSetDebugStream(3, nullptr);
    std::rewind(stream);
    std::vector<std::string> lines;
    for (char line[1024]; std::fgets(line, sizeof line, stream);) {
        std::string text(line, std::strcspn(line, "\n"));
        size_t end = text.starts_with("yss_auth.") ? text.find_first_not_of("0123456789", 9) : std::string::npos;
        if (end != std::string::npos && text.compare(end, 12, ": Function: ") == 0) text.erase(0, end + 12);
        lines.push_back(text);
    }
    std::fclose(stream);
    return lines;
}

class YssResults : public ::testing::TestWithParam<std::string> {
protected:
    static inline YssConInfo_t record{};
    static inline std::string credential_file, faults;

    static void SetUpTestSuite() {
        std::filesystem::create_directories(kHome + "/lib");
        std::filesystem::copy_file(YORBAT_LIB, kHome + "/lib/libyorbat.so");
        credential_file = yqtest::scratch_dir() + "/alpha.pem";
        faults = yqtest::scratch_dir() + "/faults";
        for (std::string command : std::vector<std::string>{"setup-broker --host localhost", "domain add Sales",
                                    "issue-machine alpha --out " + credential_file}) {
            command = YORBAT_ADMIN_BIN " " + command + " >/dev/null";
            ASSERT_EQ(std::system(command.c_str()), 0) << command;
        }
        ASSERT_EQ(YssInit(3, "localhost", 0, &record), 0);
        setenv("YORBAT_FAULTS", faults.c_str(), 1);
    }
    static void TearDownTestSuite() { YssCleanUp(3, &record); }
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
        yqtest::write_file(faults, "");
        ASSERT_EQ(YssImportCredential(credential_file.c_str(), &record), 0);
        // The login of the store-clearing call is refused after the clearing.
        yqtest::write_file(faults, row.entry + " " + row.result + "\nyorbAtAuthenticate 0x600b\n");
        int status = -1;
        std::vector<std::string> reports = reports_of([&] { return kCalls.at(GetParam())(&record); }, status);
        EXPECT_EQ(status, row.status);
        EXPECT_EQ(reports, row.reports);
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
