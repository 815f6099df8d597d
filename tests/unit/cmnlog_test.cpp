#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "logging.h"
#include "yqtest.h"

namespace {

constexpr time_t kNoon = 1079524800;  // a fixed instant; the day file follows from it

time_t fixed_time(time_t *t) {
    if (t != nullptr) *t = kNoon;
    return kNoon;
}
int fixed_timeofday(struct timeval *tv, void *) {
    tv->tv_sec = kNoon;
    tv->tv_usec = 0;
    return 0;
}

// Opens the common log in a fresh sandboxed directory on a fixed clock and
// puts the process-wide log state back afterwards.
class CommonLog : public ::testing::Test {
protected:
    void SetUp() override {
        yq::sys::table.time = fixed_time;
        yq::sys::table.gettimeofday = fixed_timeofday;
        dir_ = yqtest::scratch_dir() + "/cmnlog-" + std::to_string(++serial_);
        cmnlogSeveritySET(63);
    }
    void TearDown() override {
        cmnlogCLOSE();
        logdir1[0] = logdir2[0] = '\0';
        logfd1 = logfd2 = -1;
        Auto_Recycle_Logs = 0;
        cmnlogSeveritySET(63);
    }
    std::string open(const char *name = "prog") {
        EXPECT_EQ(cmnlogOPEN(dir_.c_str(), name, 0644), 0);
        struct tm tm{};
        time_t now = kNoon;
        localtime_r(&now, &tm);
        char file[64];
        std::snprintf(file, sizeof file, "/log.%02d%02d%02d", tm.tm_mon + 1, tm.tm_mday, tm.tm_year % 100);
        return dir_ + "/" + name + file;
    }
    std::vector<std::string> lines(const std::string &path) { return yqtest::read_lines(path); }

    yqtest::SysGuard guard_;
    std::string dir_;
    static int serial_;
};
int CommonLog::serial_ = 0;

std::string suffix_after_pid(const std::string &line) {
    auto pos = line.find("] ");
    return pos == std::string::npos ? line : line.substr(pos + 2);
}

TEST_F(CommonLog, OpenCreatesDirectoryAndWritesThroughTheDebugLog) {
    EXPECT_EQ(cmnlogMSG(2, "early", "main"), -1);  // nothing open yet
    std::string path = open();
    EXPECT_NE(debugFD, -1);
    EXPECT_EQ(Auto_Recycle_Logs, 1);
    EXPECT_EQ(cmnlogMSG(2, "hello", "main"), 0);
    auto got = lines(path);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(suffix_after_pid(got[0]), "<2> main: hello");
    EXPECT_EQ(cmnlogCLOSE(), 0);
    EXPECT_EQ(debugFD, -1);
    EXPECT_EQ(cmnlogCLOSE(), 0);
    EXPECT_EQ(cmnlogMSG(2, "late", "main"), -1);
}

TEST_F(CommonLog, OpenFailureReturnsErrnoAndLeavesNoLog) {
    yqtest::write_file(dir_, "a file where a directory must be");
    EXPECT_EQ(cmnlogOPEN(dir_.c_str(), "prog", 0644), ENOTDIR);
    EXPECT_EQ(debugFD, -1);
    std::string huge(2000, 'd');
    EXPECT_EQ(cmnlogOPEN(("/" + huge).c_str(), "prog", 0644), ENAMETOOLONG);
    EXPECT_EQ(debugFD, -1);
}

TEST_F(CommonLog, SeverityMaskFiltersAndKeepsSixBits) {
    std::string path = open();
    cmnlogSeveritySET(255);
    EXPECT_EQ(cmnlogSEVERITY, 63);
    char arg0[] = "prog", arg1[] = "-logseverity", arg2[] = "6", arg3[] = "-other";
    char *args[] = {arg0, arg1, arg2, arg3, nullptr};
    cmnlogARGS(args);
    EXPECT_EQ(cmnlogSEVERITY, 6);
    EXPECT_EQ(cmnlogMSG(2, "two", "f"), 0);
    EXPECT_EQ(cmnlogMSG(4, "four", "f"), 0);
    EXPECT_EQ(cmnlogMSG(8, "eight", "f"), -1);
    EXPECT_EQ(cmnlogMSG(8 | 4, "twelve", "f"), 0);  // shares bit 4
    auto got = lines(path);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(suffix_after_pid(got[2]), "<12> f: twelve");

    // A missing option, an option without value, and NULL change nothing.
    char *no_option[] = {arg0, nullptr};
    cmnlogARGS(no_option);
    char *no_value[] = {arg0, arg1, arg3, nullptr};
    cmnlogARGS(no_value);
    cmnlogARGS(nullptr);
    EXPECT_EQ(cmnlogSEVERITY, 6);
}

TEST_F(CommonLog, MessageListsStopAtTheFirstFailure) {
    char a[] = "first", b[] = "second";
    char *msgs[] = {a, b, nullptr};
    char *empty[] = {nullptr};
    EXPECT_EQ(cmnlogMSGS(2, msgs, "f"), -1);  // no log: the first message fails
    std::string path = open();
    EXPECT_EQ(cmnlogMSGS(2, nullptr, "f"), -1);
    EXPECT_EQ(cmnlogMSGS(2, empty, "f"), 0);
    EXPECT_EQ(cmnlogMSGS(2, msgs, "f"), 0);
    cmnlogSeveritySET(1);
    EXPECT_EQ(cmnlogMSGS(2, msgs, "f"), -1);
    auto got = lines(path);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(suffix_after_pid(got[0]), "<2> f: first");
    EXPECT_EQ(suffix_after_pid(got[1]), "<2> f: second");
}

TEST_F(CommonLog, ParamsAreJoinedWithBlanksAtSeverityFour) {
    std::string path = open();
    char a[] = "prog", b[] = "-x", c[] = "value";
    char *params[] = {a, b, c, nullptr};
    EXPECT_EQ(cmnlogPARAMS(params), 0);
    char *empty[] = {nullptr};
    EXPECT_EQ(cmnlogPARAMS(empty), -1);
    EXPECT_EQ(cmnlogPARAMS(nullptr), -1);
    {
        yqtest::AllocFailer fail(1);
        EXPECT_EQ(cmnlogPARAMS(params), -1);
    }
    auto got = lines(path);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(suffix_after_pid(got[0]), "<4> cmnlogPARAMS: prog -x value");
}

TEST_F(CommonLog, AssertLineFormatAndCut) {
    std::string path = open();
    EXPECT_EQ(cmnlogASSERT(nullptr, "where"), nullptr);
    const char *cond = "x > 0";
    EXPECT_EQ(cmnlogASSERT(cond, "file.c"), cond);
    std::string long_text(2000, 'a');
    cmnlogASSERT(long_text.c_str(), "file.c");
    std::string huge_where(1500, 'w');
    cmnlogASSERT("t", huge_where.c_str());

    std::string content = yqtest::read_file(path);
    struct tm tm{};
    time_t now = kNoon;
    localtime_r(&now, &tm);
    char prefix[128];
    std::snprintf(prefix, sizeof prefix, "%02d:%02d:%02d [%d] <32> file.c: ", tm.tm_hour, tm.tm_min,
                  tm.tm_sec, static_cast<int>(getpid()));
    std::string first = std::string(prefix) + "x > 0\n";
    ASSERT_EQ(content.substr(0, first.size()), first);
    std::string second = content.substr(first.size(), 1023);
    EXPECT_EQ(second.size(), 1023u);
    EXPECT_EQ(second.substr(0, std::strlen(prefix)), prefix);
    EXPECT_EQ(second.back(), '\n');
    EXPECT_EQ(second.find_first_not_of('a', std::strlen(prefix)), 1022u);
    // A location too long for the buffer still yields one terminated line.
    std::string third = content.substr(first.size() + 1023);
    EXPECT_EQ(third.size(), 1023u);
    EXPECT_EQ(third.back(), '\n');
}

TEST(CommonLogWithoutLog, AssertGoesToStandardOutput) {
    ASSERT_EQ(debugFD, -1);
    testing::internal::CaptureStdout();
    cmnlogASSERT("p != NULL", "main.c");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "assert main.c: p != NULL\n");
}

}  // namespace
