#include <unistd.h>

#include <cerrno>

#include "logging.h"
#include "yqtest.h"
#include "yqtest_clock.h"

namespace {

using Lines = std::vector<std::string>;

// The common log opened in a fresh directory on 17 March 2004 at noon; the
// shared log state is put back afterwards.
class CommonLog : public ::testing::Test {
protected:
    void TearDown() override {
        cmnlogCLOSE();
        logdir1[0] = logdir2[0] = '\0';
        Auto_Recycle_Logs = 0;
        cmnlogSeveritySET(63);
    }
    std::string open(const char *name = "prog") {
        EXPECT_EQ(cmnlogOPEN(dir_.c_str(), name, 0644), 0);
        return dir_ + "/" + name + "/log.031704";
    }
    static Lines messages(const std::string &path) {  // without time and process id
        Lines out;
        for (const auto &line : yqtest::read_lines(path)) out.push_back(line.substr(line.find("] ") + 2));
        return out;
    }

    yqtest::FakeClock clock_{yqtest::local_time_at(2004, 3, 17, 12, 0, 0)};
    std::string dir_ = yqtest::scratch_dir() + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
};

TEST_F(CommonLog, MessagesWhileOpenAndAfterReopening) {
    EXPECT_EQ(cmnlogMSG(2, "early", "main"), -1);
    std::string path = open();
    EXPECT_EQ(Auto_Recycle_Logs, 1);
    EXPECT_EQ(cmnlogMSG(2, "hello", "main"), 0);
    EXPECT_EQ(cmnlogCLOSE() + cmnlogCLOSE(), 0);
    EXPECT_EQ(cmnlogMSG(2, "late", "main"), -1);
    EXPECT_EQ(messages(path), Lines{"<2> main: hello"});
    EXPECT_EQ(cmnlogOPEN(("/" + std::string(2000, 'd')).c_str(), "prog", 0644), ENAMETOOLONG);
    EXPECT_EQ(debugFD, -1);

    // A closed log's descriptor number is soon another file's: the log
    // opened next must not be reopened in the closed log's directory.
    open("first");
    cmnlogCLOSE();
    const std::string second = open("second");
    ASSERT_EQ(cmnlogMSG(2, "today", "f"), 0);
    clock_.advance(86400);
    ASSERT_EQ(cmnlogMSG(2, "tomorrow", "f"), 0);
    EXPECT_FALSE(yqtest::exists(dir_ + "/first/log.031804"));
    EXPECT_EQ(messages(dir_ + "/second/log.031804"), Lines{"<2> f: tomorrow"});
    EXPECT_EQ(messages(second), Lines{"<2> f: today"});
}

TEST_F(CommonLog, SeverityMaskListsAndParams) {
    char a0[] = "prog", a1[] = "-logseverity", a2[] = "6", a3[] = "-x";
    char *args[] = {a0, a1, a2, a3, nullptr}, *no_value[] = {a0, a1, a3, nullptr}, *empty[] = {nullptr};
    EXPECT_EQ(cmnlogMSGS(2, args, "f"), -1) << "no log";
    std::string path = open();
    cmnlogSeveritySET(255);
    EXPECT_EQ(cmnlogSEVERITY, 63);
    cmnlogARGS(args);
    cmnlogARGS(no_value);
    EXPECT_EQ(cmnlogSEVERITY, 6);
    EXPECT_EQ(cmnlogMSG(8, "eight", "f"), -1);
    EXPECT_EQ(cmnlogMSG(8 | 4, "twelve", "f"), 0);
    EXPECT_EQ(cmnlogMSGS(2, empty, "f") + cmnlogMSGS(2, nullptr, "f") + cmnlogMSGS(8, args, "f"), -2);
    EXPECT_EQ(cmnlogMSGS(2, no_value, "f"), 0);
    EXPECT_EQ(cmnlogPARAMS(empty), -1);
    {
        yqtest::AllocFailer fail(1);
        EXPECT_EQ(cmnlogPARAMS(no_value), -1);
    }
    EXPECT_EQ(cmnlogPARAMS(no_value), 0);
    EXPECT_EQ(messages(path), (Lines{"<12> f: twelve", "<2> f: prog", "<2> f: -logseverity", "<2> f: -x",
                                     "<4> cmnlogPARAMS: prog -logseverity -x"}));
}

TEST_F(CommonLog, AssertLinesAreCutTo1023Characters) {
    testing::internal::CaptureStdout();
    cmnlogASSERT("p != NULL", "main.c");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "assert main.c: p != NULL\n");

    std::string path = open();
    EXPECT_STREQ(cmnlogASSERT("x > 0", "file.c"), "x > 0");
    cmnlogASSERT(std::string(2000, 'a').c_str(), "file.c");
    cmnlogASSERT("t", std::string(1500, 'w').c_str());
    Lines lines = yqtest::read_lines(path);
    ASSERT_EQ(lines.size(), 3u);
    const std::string prefix = "12:00:00 [" + std::to_string(getpid()) + "] <32> file.c: ";
    EXPECT_EQ(lines[0], prefix + "x > 0");
    EXPECT_EQ(lines[1], prefix + std::string(1022 - prefix.size(), 'a'));
    EXPECT_EQ(lines[2].size(), 1022u) << "a huge location still leaves one line";
}

}  // namespace
