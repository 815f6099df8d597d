// The security services' core: finding and loading the authentication
// library, initialising and cleaning up contexts, the standard guard, the
// statuses' messages and the report lines.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <clocale>
#include <filesystem>
#include <string>
#include <vector>

#include "kdmsg.h"
#include "logging.h"
#include "yq_memory.h"
#include "yq_paths.h"
#include "yqtest_yorbat.h"
#include "yss_auth_private.h"

namespace {

namespace fs = std::filesystem;
using namespace yq::yss;
using Lines = std::vector<std::string>;

const std::string kHome = YQ_PATH_YORBAT_HOME, kLib = kHome + "/lib/libyorbat.so", kLibT = kHome + "/lib/libyorbat_t.so";

Lines split(const std::string &text, char separator) {
    Lines parts(1);
    for (char c : text) c == separator ? void(parts.emplace_back()) : parts.back().push_back(c);
    return parts;
}

// Each test starts unloaded, with both builds of the real library installed,
// no location file, reports captured.
struct YssCore : ::testing::Test {
    void SetUp() override {
        mYssLoaded = mVerInUse = mLoadCount = 0;
        mpAtLibHandle = nullptr, entries = {}, TestHarnessSetYORBatPath(nullptr);
        fs::create_directories(YQ_PATH_YSS_DIR), fs::remove(YQ_PATH_YORBAT_LOC);
        yqtest::install_library(kHome, YORBAT_LIB), yqtest::install_library(kHome, YORBAT_T_LIB, "libyorbat_t.so");
    }
    // The reports since the last call, but for the host-name qualification's own.
    Lines reports() {
        Lines lines = captured.take();
        std::erase_if(lines, [](const std::string &line) { return line.starts_with("YssGetFQDNHostName"); });
        return lines;
    }
    yqtest::YssReports captured;
};

std::string library_path(bool threaded) {
    char *path = nullptr;
    EXPECT_EQ(GetYORBatPath(&path, threaded), YSS_SUCCESS);
    yq::unique_malloc<char> owner(path);
    return path ? path : "";
}

TEST_F(YssCore, TheLocationFileNamesTheInstallDirectoryOnceAProcess) {
    const std::string too_long = "InstallDir=/" + std::string(2028, 'd') + "\n";
    for (auto [content, threaded, path] : std::vector<std::tuple<const char *, bool, std::string>>{
             {"InstallDir=/x/y\n", false, "/x/y/lib/libyorbat.so"}, {"InstallDir=/x/y", true, "/x/y/lib/libyorbat_t.so"},
             {"==AnyKey==/x/y=/z\nDir=/w\n", false, "/x/y/lib/libyorbat.so"}, {"InstallDir /x/y\n", false, kLib},
             {"InstallDir=\n", false, kLib}, {too_long.c_str(), false, kLib}, {nullptr, true, kLibT}}) {
        SCOPED_TRACE(content ? content : "no location file");
        if (content) yqtest::write_file(YQ_PATH_YORBAT_LOC, content);
        TestHarnessSetYORBatPath(nullptr);
        EXPECT_EQ(library_path(threaded), path);
    }
    yqtest::write_file(YQ_PATH_YORBAT_LOC, "InstallDir=/x/y\n");
    EXPECT_EQ(library_path(false), kLibT);
    // So the threaded build is the one loaded now.
    YssConInfo_t record{};
    ASSERT_EQ(YssInit_r(3, "", 0, &record), YSS_SUCCESS);
    Dl_info info{};
    ASSERT_NE(dladdr(reinterpret_cast<void *>(entries.yorbAtInit), &info), 0);
    EXPECT_EQ(std::tuple(fs::path(info.dli_fname), YssCleanUp(3, &record)), std::tuple(fs::path(kLibT), 0));
}

TEST_F(YssCore, TheLibraryIsLoadedOnceAndEveryRecordCleanedUpOnce) {
    YssConInfo_t a{}, b{}, c{};
    a.socket = 7;
    ASSERT_EQ(YssInit(3, "", 0, &a), YSS_SUCCESS);
    EXPECT_EQ(std::tuple(std::string(a.brokerHost), a.brokerPort, a.initialized, a.socket), std::tuple("", 2821u, 1, 7));
    EXPECT_TRUE(a.atContext && a.libHandle && a.libHandle == mpAtLibHandle && mLoadCount == 1);
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
    EXPECT_TRUE(!a.atContext && !a.brokerHost && a.initialized == 1 && a.brokerPort == 0 && mLoadCount == 0);
    EXPECT_EQ(reports(), Lines{});
}

// Unsupported versions, and the library's own initialisation results driven
// through its fault seam: the broker fields are stored whatever happens; a
// failed initialisation publishes nothing, so the next one loads again.
TEST_F(YssCore, InitialisationResultsMapToStatusesGolden) {
    yqtest::Faults faults;
    for (const std::string &line : yqtest::read_lines(YQ_TEST_DATA "/yss_init_results.txt")) {
        if (line.starts_with("#")) continue;
        Lines row = split(line, '|');
        SCOPED_TRACE(line);
        faults.set(row[1] + "\n");
        YssConInfo_t record{};
        const YssStatus status = std::stoi(row[2]);
        EXPECT_EQ(YssInit(std::stoi(row[0]), "", 0, &record), status);
        EXPECT_EQ(std::tuple(mYssLoaded, record.initialized, std::string(record.brokerHost), record.brokerPort),
                  std::tuple(status == 0, status == 0, "", 2821u));
        EXPECT_TRUE(status != YSS_VERSION_MISMATCH || mpAtLibHandle == nullptr);
        EXPECT_EQ(reports(), row[3].empty() ? Lines{} : split(row[3], ';'));
        EXPECT_EQ(status == 0 ? YssCleanUp(3, &record) : (std::free(record.brokerHost), 0), 0);
    }
}

TEST_F(YssCore, TheGuardReportsTheFirstFailingCheckOnly) {
    struct Row { int loaded, initialized; const char *host; int version; bool entries; int credential; unsigned needs; YssStatus status; const char *report; };
    const unsigned B = kNeedBroker, C = kNeedCredential, V = kVersionBeforeBroker;
    mVerInUse = 3;
    for (const Row &row : std::vector<Row>{
             {0, 0, nullptr, 2, false, 0, B | C, 21, "Op failed: 21"}, {1, 0, nullptr, 2, false, 0, B | C, 21, "Op failed: 21"},
             {1, 1, nullptr, 2, false, 0, B | C, 32, nullptr}, {1, 1, nullptr, 2, false, 0, B | V, 6, "Op failed: 6"},
             {1, 1, nullptr, 3, false, 0, B | V, 32, nullptr}, {1, 1, "h", 2, false, 0, B | C, 6, "Op failed: 6"},
             {1, 1, "h", 3, false, 0, B | C, 7, "Op failed: 0"}, {1, 1, "h", 3, true, 0, B | C, 26, "Op failed: 26"},
             {1, 1, nullptr, 3, true, 0, 0, 0, nullptr}, {1, 1, "h", 3, true, 1, B | C, 0, nullptr}}) {
        SCOPED_TRACE(testing::Message() << row.loaded << row.initialized << !!row.host << row.version << row.entries << row.needs);
        mYssLoaded = row.loaded;
        YssConInfo_t record{};
        record.version = row.version, record.initialized = row.initialized, record.haveCredential = row.credential;
        record.brokerHost = const_cast<char *>(row.host), record.brokerPort = 2821;
        EXPECT_EQ(guard_checks(&record, "Op", row.needs, row.entries, Where::current()), row.status);
        EXPECT_EQ(reports(), row.report ? Lines{row.report} : Lines{});
    }
}

// Column 1 is the built-in text (no catalogs), column 2 the fr catalog's.
TEST_F(YssCore, EveryStatusHasItsMessageBuiltInAndFromTheCatalogGolden) {
    for (int column : {1, 2}) {
        yqtest::remove_tree(YQ_PATH_MSG_DIR);
        if (column == 2)
            fs::copy(YQ_MSG_SAMPLES, YQ_PATH_MSG_DIR, fs::copy_options::recursive), yqtest::write_file(YQ_PATH_MSG_CONF, "TM 11 fr_FR.UTF-8 2 fr\n");
        setenv("LC_ALL", column == 1 ? "C" : "fr_FR.UTF-8", 1), msgCacheUnload(0);
        int status = 0;
        for (const std::string &line : yqtest::read_lines(YQ_TEST_DATA "/yss_messages.txt")) {
            if (line.starts_with("#")) continue;
            std::string expected = split(line, '|').at(static_cast<size_t>(column));
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
    YssPrintString("file", 7, "Op", "LABEL", "VALUE"), YssPrintString("file", 8, "Op", nullptr, "v");
    YssPrintFailure("file", 9, "Op", 17), YssPrintFailure("file", 10, "Op", 0);
    ::close(std::exchange(debugFD, -1));
    EXPECT_EQ(reports(), Lines({"Op. LABEL = VALUE", "Op. NULL = v", "Op failed: 17", "Op failed: 0"}));
    Lines logged;
    for (const std::string &line : yqtest::read_lines(log)) logged.push_back(line.substr(line.find("] ") + 2));
    EXPECT_EQ(logged, Lines({"<2> Op: file.7: Function: Op. LABEL = VALUE", "<2> Op: file.8: Function: Op. NULL = v",
                             "<2> : Unable to contact Authentication server.", "<2> Op: file.9: Function: Op failed: 17",
                             "<2> : ", "<2> Op: file.10: Function: Op failed: 0"}));
    // A debug stream on the debug log itself gets the line once.
    debugFD = ::fileno(captured.stream), YssPrintString("file", 12, "Op", "L", "once"), debugFD = -1;
    EXPECT_EQ(reports(), Lines({"Op. L = once"}));
    yqtest::for_each_alloc_failure([] {
        YssPrintFailure("file", 11, "Op", 21), TestHarnessSetYORBatPath(nullptr);
        char *path = nullptr;
        if (GetYORBatPath(&path, false) == YSS_SUCCESS) std::free(path);
    });
}

// The stand-in lacks yorbAtFree: what was resolved before it is dropped.
TEST_F(YssCore, ALibraryThatDoesNotOpenOrLacksAnEntryPointIsNotPublished) {
    for (auto [path, report] : {std::pair(YSS_STANDIN_LIB, "YssInit failed: 0"), {"/nowhere/libyorbat.so", "YssInit. dlerror = /nowhere/libyorbat.so: "}}) {
        TestHarnessSetYORBatPath(path);
        YssConInfo_t record{};
        EXPECT_EQ(YssInit(3, "", 0, &record), YSS_LIBRARY_LOAD_FAILED) << path;
        EXPECT_EQ(std::tuple(mYssLoaded, mpAtLibHandle, entries.yorbAtInit, record.initialized), std::tuple(0, nullptr, nullptr, 0));
        Lines lines = reports();
        EXPECT_TRUE(lines.size() == 1 && lines[0].starts_with(report)) << testing::PrintToString(lines);
        std::free(record.brokerHost);
    }
}

}  // namespace
