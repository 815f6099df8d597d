// The security services' core: finding and loading the authentication
// library, initialising and cleaning up contexts, the standard guard, the
// statuses' messages and the report lines.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <clocale>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "kdmsg.h"
#include "logging.h"
#include "yq_memory.h"
#include "yq_paths.h"
#include "yqtest.h"
#include "yss_auth_private.h"

namespace {

namespace fs = std::filesystem;
using namespace yq::yss;
using Lines = std::vector<std::string>;

const std::string kHome = YQ_PATH_YORBAT_HOME, kLib = kHome + "/lib/libyorbat.so", kLibT = kHome + "/lib/libyorbat_t.so";

// Each test starts unloaded, with both builds of the real library installed
// (a loaded file is never overwritten), no location file, reports captured.
struct YssCore : ::testing::Test {
    void SetUp() override {
        mYssLoaded = mVerInUse = mLoadCount = 0;
        mpAtLibHandle = nullptr, entries = {};
        TestHarnessSetYORBatPath(nullptr);
        fs::create_directories(kHome + "/lib");
        for (auto [built, installed] : {std::pair(YORBAT_LIB, kLib), std::pair(YORBAT_T_LIB, kLibT)})
            if (!fs::exists(installed)) fs::copy_file(built, installed);
        fs::create_directories(YQ_PATH_YSS_DIR), fs::remove(YQ_PATH_YORBAT_LOC);
        mYssDebugStream = std::fopen(path_.c_str(), "w+");
    }
    void TearDown() override { std::fclose(std::exchange(mYssDebugStream, nullptr)), unsetenv("YORBAT_FAULTS"); }
    // The reports since the last call, from the operation's name on (but for
    // the host-name qualification's own).
    Lines reports() {
        Lines lines;
        for (std::string line : yqtest::read_lines(path_))
            if (line = line.substr(line.find("Function: ") + 10); !line.starts_with("YssGetFQDNHostName"))
                lines.push_back(line);
        std::fflush(mYssDebugStream), ::ftruncate(::fileno(mYssDebugStream), 0), std::rewind(mYssDebugStream);
        return lines;
    }
    std::string path_ = yqtest::scratch_dir() + "/reports";
};

TEST_F(YssCore, TheLocationFileNamesTheInstallDirectoryOnceAProcess) {
    struct Row { const char *content; bool threaded; std::string path; };
    const std::string too_long = "InstallDir=/" + std::string(2028, 'd') + "\n";
    for (const Row &row : std::vector<Row>{{"InstallDir=/x/y\n", false, "/x/y/lib/libyorbat.so"},
                                           {"InstallDir=/x/y", true, "/x/y/lib/libyorbat_t.so"},
                                           {"==AnyKey==/x/y=/z\nDir=/w\n", false, "/x/y/lib/libyorbat.so"},
                                           {"InstallDir /x/y\n", false, kLib}, {"InstallDir=\n", false, kLib},
                                           {too_long.c_str(), false, kLib}, {nullptr, true, kLibT}}) {
        SCOPED_TRACE(row.content ? row.content : "no location file");
        if (row.content) yqtest::write_file(YQ_PATH_YORBAT_LOC, row.content);
        TestHarnessSetYORBatPath(nullptr);
        char *path = nullptr;
        ASSERT_EQ(GetYORBatPath(&path, row.threaded), YSS_SUCCESS);
        EXPECT_EQ(path, row.path);
        std::free(path);
    }
    yqtest::write_file(YQ_PATH_YORBAT_LOC, "InstallDir=/x/y\n");
    char *path = nullptr;
    ASSERT_EQ(GetYORBatPath(&path, false), YSS_SUCCESS);
    EXPECT_EQ(path, kLibT);
    std::free(path);
}

TEST_F(YssCore, TheLibraryIsLoadedOnceAndEveryRecordCleanedUpOnce) {
    YssConInfo_t a{}, b{}, c{};
    a.socket = 7;
    ASSERT_EQ(YssInit(3, "", 0, &a), YSS_SUCCESS);
    EXPECT_EQ(std::tuple(std::string(a.brokerHost), a.brokerPort, a.initialized, a.socket), std::tuple("", 2821u, 1, 7));
    EXPECT_TRUE(a.atContext && a.libHandle && a.libHandle == mpAtLibHandle);
    EXPECT_EQ(mLoadCount, 1);
    // Loaded once: neither the file nor the stored path matters any more.
    fs::remove(kLib), TestHarnessSetYORBatPath("/nowhere/libyorbat.so");
    ASSERT_EQ(YssInit(3, "localhost", 4000, &b), YSS_SUCCESS);
    EXPECT_EQ(std::tuple(b.brokerPort, b.libHandle, mLoadCount), std::tuple(4000u, a.libHandle, 2));
    // A later version is the one in use: records of the former are refused.
    ASSERT_EQ(YssInit(2, "", 0, &c), YSS_SUCCESS);
    EXPECT_EQ(guard(&a, "YssConnect", 0, Where::current(), entries.yorbAtSecConnConnect), YSS_VERSION_MISMATCH);
    EXPECT_EQ(YssCleanUp(3, &a), YSS_VERSION_MISMATCH);
    EXPECT_EQ(reports(), Lines({"YssConnect failed: 6", "YssCleanUp failed: 6"}));
    // The version argument is compared, not the record's; a second clean-up finds nothing.
    for (YssConInfo_t *record : {&a, &a, &b, &c, &c}) EXPECT_EQ(YssCleanUp(2, record), YSS_SUCCESS);
    EXPECT_TRUE(!a.atContext && !a.brokerHost && a.initialized == 1 && a.brokerPort == 0);
    EXPECT_EQ(mLoadCount, 0);
    EXPECT_EQ(reports(), Lines{});
}

TEST_F(YssCore, UnsupportedVersionsAndMissingHostsLoadNothing) {
    struct Row { int version; const char *host; YssStatus status; Lines reports; };
    for (const Row &row : std::vector<Row>{{0, "", 6, {"YssInit failed: 6"}}, {4, "", 6, {"YssInit failed: 6"}},
                                           {3, nullptr, 1, {}}}) {
        SCOPED_TRACE(row.version);
        YssConInfo_t record{};
        EXPECT_EQ(YssInit(row.version, row.host, 99, &record), row.status);
        EXPECT_EQ(std::tuple(record.version, record.brokerPort, mpAtLibHandle), std::tuple(row.version, row.host ? 99u : 0u, nullptr));
        EXPECT_EQ(reports(), row.reports);
        std::free(record.brokerHost);
    }
    // The threaded build is the one loaded for YssInit_r.
    YssConInfo_t record{};
    ASSERT_EQ(YssInit_r(3, "", 0, &record), YSS_SUCCESS);
    Dl_info info{};
    ASSERT_NE(dladdr(reinterpret_cast<void *>(entries.yorbAtInit), &info), 0);
    EXPECT_EQ(fs::path(info.dli_fname), fs::path(kLibT));
    EXPECT_EQ(YssCleanUp(3, &record), YSS_SUCCESS);
}

// The library's own initialisation results, driven through its fault seam.
TEST_F(YssCore, InitialisationResultsMapToStatusesGolden) {
    struct Row { const char *fault; YssStatus status; Lines reports; };
    const Lines twice12 = {"YssInit failed: 12", "YssInit failed: 12"}, twice21 = {"YssInit failed: 21", "YssInit failed: 21"};
    const std::vector<Row> rows = {
        {"yorbAtInit 0x6003", 12, twice12}, {"yorbAtInit 0x6005", 12, twice12}, {"yorbAtInit 0x6001", 21, twice21},
        {"yorbAtInit 0x6002", 21, twice21}, {"yorbAtInit 0x6004", 21, {"YssInit failed: 24580", "YssInit failed: 21"}},
        {"yorbAtInit -1", 21, {"YssInit failed: -1", "YssInit failed: 21"}},
        {"yorbAtConnLibraryInit -1", 21, twice21}, {"yorbAtConnLibraryInit 0x7001", 21, twice21},
        {"yorbAtConnLibraryInit 0x6003", 21, twice21}, {"", 0, {}}};
    const std::string control = yqtest::scratch_dir() + "/faults";
    setenv("YORBAT_FAULTS", control.c_str(), 1);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.fault);
        yqtest::write_file(control, std::string(row.fault) + "\n");
        YssConInfo_t record{};
        EXPECT_EQ(YssInit(3, "", 0, &record), row.status);
        EXPECT_EQ(std::tuple(mYssLoaded, record.initialized), std::tuple(row.status == 0, row.status == 0));
        EXPECT_EQ(reports(), row.reports);
        if (row.status == 0) {
            EXPECT_EQ(YssCleanUp(3, &record), 0);
        }
        std::free(record.brokerHost);
    }
}

TEST_F(YssCore, TheGuardReportsTheFirstFailingCheckOnly) {
    struct Row { int loaded, initialized; const char *host; int version; bool entries; int credential; unsigned needs; YssStatus status; Lines reports; };
    mVerInUse = 3;
    for (const Row &row : std::vector<Row>{
             {0, 0, nullptr, 2, false, 0, kNeedBroker | kNeedCredential, 21, {"Op failed: 21"}},
             {1, 0, nullptr, 2, false, 0, kNeedBroker | kNeedCredential, 21, {"Op failed: 21"}},
             {1, 1, nullptr, 2, false, 0, kNeedBroker | kNeedCredential, 32, {}},
             {1, 1, nullptr, 2, false, 0, kNeedBroker | kVersionBeforeBroker, 6, {"Op failed: 6"}},
             {1, 1, nullptr, 3, false, 0, kNeedBroker | kVersionBeforeBroker, 32, {}},
             {1, 1, "h", 2, false, 0, kNeedBroker | kNeedCredential, 6, {"Op failed: 6"}},
             {1, 1, "h", 3, false, 0, kNeedBroker | kNeedCredential, 7, {"Op failed: 0"}},
             {1, 1, "h", 3, true, 0, kNeedBroker | kNeedCredential, 26, {"Op failed: 26"}},
             {1, 1, nullptr, 3, true, 0, 0, 0, {}}, {1, 1, "h", 3, true, 1, kNeedBroker | kNeedCredential, 0, {}}}) {
        SCOPED_TRACE(testing::Message() << row.loaded << row.initialized << !!row.host << row.version << row.entries << row.needs);
        mYssLoaded = row.loaded;
        YssConInfo_t record{};
        record.version = row.version, record.initialized = row.initialized, record.haveCredential = row.credential;
        record.brokerHost = const_cast<char *>(row.host), record.brokerPort = 2821;
        EXPECT_EQ(guard_checks(&record, "Op", row.needs, row.entries, Where::current()), row.status);
        EXPECT_EQ(reports(), row.reports);
    }
}

TEST_F(YssCore, EveryStatusHasItsMessageBuiltInAndFromTheCatalogGolden) {
    const std::string conf = YQ_PATH_MSG_CONF;
    for (int column : {1, 2}) {
        yqtest::remove_tree(YQ_PATH_MSG_DIR);
        if (column == 2) {
            fs::copy(YQ_MSG_SAMPLES, YQ_PATH_MSG_DIR, fs::copy_options::recursive);
            yqtest::write_file(conf, "TM 11 fr_FR.UTF-8 2 fr\n");
        }
        setenv("LC_ALL", column == 1 ? "C" : "fr_FR.UTF-8", 1), msgCacheUnload(0);
        int status = 0;
        for (const std::string &line : yqtest::read_lines(YSS_MESSAGES)) {
            if (line.starts_with("#")) continue;
            std::string expected = line.substr(line.find('|') + 1);
            expected = column == 1 ? expected.substr(0, expected.find('|')) : expected.substr(expected.find('|') + 1);
            if (size_t at = expected.find("\\n"); at != std::string::npos) expected.replace(at, 2, "\n");
            yq::unique_malloc<char> text(YssCreateHumanMessage(status));
            ASSERT_NE(text, nullptr);
            EXPECT_EQ(text.get(), expected) << "status " << status << ", column " << column;
            ++status;
        }
        EXPECT_EQ(status, 61);
    }
    unsetenv("LC_ALL"), std::setlocale(LC_ALL, "C"), msgCacheUnload(0);
}

// Both report forms, on the debug stream and in the debug log; a failure
// report logs the status's message first. Losing memory loses only the report.
TEST_F(YssCore, ReportLinesGoToTheDebugStreamAndTheDebugLog) {
    const std::string log = yqtest::scratch_dir() + "/debug.log";
    debugFD = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
    YssPrintString("file", 7, "Op", "LABEL", "VALUE");
    YssPrintString("file", 8, "Op", nullptr, "v");
    YssPrintFailure("file", 9, "Op", 17);
    YssPrintFailure("file", 10, "Op", 0);
    ::close(std::exchange(debugFD, -1));
    EXPECT_EQ(reports(), Lines({"Op. LABEL = VALUE", "Op. NULL = v", "Op failed: 17", "Op failed: 0"}));
    const Lines expected = {"<2> Op: file.7: Function: Op. LABEL = VALUE", "<2> Op: file.8: Function: Op. NULL = v",
                            "<2> : Unable to contact Authentication server.", "<2> Op: file.9: Function: Op failed: 17",
                            "<2> : ", "<2> Op: file.10: Function: Op failed: 0"};
    Lines logged;
    for (const std::string &line : yqtest::read_lines(log)) logged.push_back(line.substr(line.find("] ") + 2));
    EXPECT_EQ(logged, expected);
    // A debug stream on the debug log itself gets the line once.
    debugFD = ::fileno(mYssDebugStream);
    YssPrintString("file", 12, "Op", "L", "once");
    debugFD = -1;
    EXPECT_EQ(reports(), Lines({"Op. L = once"}));
    EXPECT_GT(yqtest::for_each_alloc_failure([] {
        YssPrintFailure("file", 11, "Op", 21);
        TestHarnessSetYORBatPath(nullptr);
        char *path = nullptr;
        if (GetYORBatPath(&path, false) == YSS_SUCCESS) std::free(path);
    }), 2);
}

// Runs last: the stand-in stays mapped after it is closed.
TEST_F(YssCore, ALibraryThatDoesNotOpenOrLacksAnEntryPointIsNotPublished) {
    for (auto [path, report] : {std::pair(YSS_STANDIN_LIB, "YssInit failed: 0"), {"/nowhere/libyorbat.so", "YssInit. dlerror = /nowhere/libyorbat.so: "}}) {
        SCOPED_TRACE(path);
        TestHarnessSetYORBatPath(path);
        YssConInfo_t record{};
        EXPECT_EQ(YssInit(3, "", 0, &record), YSS_LIBRARY_LOAD_FAILED);
        EXPECT_EQ(std::tuple(mYssLoaded, mpAtLibHandle, entries.yorbAtInit, record.initialized), std::tuple(0, nullptr, nullptr, 0));
        Lines lines = reports();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_TRUE(lines[0].starts_with(report)) << lines[0];
        std::free(record.brokerHost);
    }
}

}  // namespace
