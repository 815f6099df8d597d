#include "logging.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>

#include "yq_paths.h"
#include "yqtest.h"
#include "yqtest_clock.h"

namespace {

using Lines = std::vector<std::string>;
const std::string kPid = std::to_string(getpid());

int file_mode(const std::string &path) {
    struct stat st{};
    return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

std::vector<std::function<int()>> writers(int fd) {
    return {[fd] { return debuglog(fd, "x"); }, [fd] { return logwithdate(fd, "x"); },
            [fd] { return logwithtime(fd, "x"); }, [fd] { return logwithtime_and_id(fd, "i", "x"); },
            [fd] { return logwithoutdate(fd, "x"); }};
}

// 17 March 2004, 09:05:03.042999 local time; the module state is put back after every test.
class Logging : public ::testing::Test {
protected:
    void SetUp() override { mkdir(dir_.c_str(), 0755); }
    void TearDown() override {
        for (int fd : {debugFD, logfd1, logfd2}) close(fd);
        debugFD = logfd1 = logfd2 = -1;
        g_ppid = Auto_Recycle_Logs = log_mode1 = log_mode2 = log_day = 0;
        zero_write_tries = 5;
        logdir1[0] = logdir2[0] = '\0';
    }
    // Opens today's log in dir_/sub and makes it the debug log.
    int open_debug(const std::string &sub = "prog", int mode = 0644) {
        debugFD = open_log((dir_ + "/" + sub).c_str(), mode, nullptr);
        EXPECT_GE(debugFD, 0);
        return debugFD;
    }
    std::string file(const std::string &sub = "prog", const char *day = "031704") {
        return dir_ + "/" + sub + "/log." + day;
    }

    yqtest::FakeClock clock_{yqtest::local_time_at(2004, 3, 17, 9, 5, 3), 42999};
    std::string dir_ = yqtest::scratch_dir() + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
};

TEST_F(Logging, DayFilesAndTheirFailures) {
    int err = -1, fd = debugFD = open_debug_file("cwrd", 0644, &err);
    EXPECT_EQ(err, 0);
    const std::string dir = std::string(YQ_PATH_LOG_DIR) + "/cwrd";
    EXPECT_EQ(file_mode(dir + "/log.031704"), 0644);
    EXPECT_EQ(file_mode(dir), 0655) << "missing directories are created";
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);

    clock_.set(yqtest::local_time_at(1999, 12, 31, 23, 0, 0));
    const mode_t umask_before = umask(022);
    close(open_log(dir_.c_str(), 0666, nullptr));
    umask(umask_before);
    EXPECT_EQ(file_mode(dir_ + "/log.123199"), 0666)
        << "two digits of the year, before 2000 too; the caller's mode, whatever the umask";
    EXPECT_EQ(open_debug_file(std::string(1100, 'n').c_str(), 0644, &err), -1);
    EXPECT_EQ(err, ENAMETOOLONG) << "a name too long is refused, not cut";
}

TEST_F(Logging, LineFormatsAndBounds) {
    int fd = open_debug();
    const std::string at = "09:05:03.042 [" + kPid + "] ", dated = "2004/03/17 " + at;
    const std::string t(5000, 't'), id(100, 'i'), f40(40, 'f'), m(1000, 'm'), m965 = m.substr(0, 965);
    char a0[] = "prog", a1[] = "-v", a2[] = "x y", *argv[] = {a0, a1, a2, nullptr};
    const struct { const char *what; std::function<int()> write; std::string line; } rows[] = {
        {"logmsg", [] { return logmsg(2, "hello", "main"); }, at + "<2> main: hello\n"},
        {"with g_ppid", [&] { g_ppid = 77; return debuglog(fd, "x"); }, "09:05:03.042 [77." + kPid + "] x\n"},
        {"logmsg of nulls", [] { return logmsg(5, nullptr, nullptr); }, at + "<5> ?: ?\n"},
        {"debuglog of null", [&] { return debuglog(fd, nullptr); }, at + " \n"},
        {"logwithdate", [&] { return logwithdate(fd, "dated"); }, dated + "dated\n"},
        {"logwithtime_and_id", [&] { return logwithtime_and_id(fd, "job42", "x"); }, "09:05:03 (job42) x\n"},
        {"logwithoutdate", [&] { return logwithoutdate(fd, "raw"); }, "raw"},
        {"debuglog cut", [&] { return debuglog(fd, t.c_str()); }, at + t.substr(0, 4072) + "\n"},
        {"debuglog cut to the buffer", [&] { g_ppid = 1234567; return debuglog(fd, t.c_str()); },
         ("09:05:03.042 [1234567." + kPid + "] " + t.substr(0, 4072) + "\n").substr(0, 4095)},
        {"logwithtime_and_id cut", [&] { return logwithtime_and_id(fd, id.c_str(), t.c_str()); },
         ("09:05:03 (" + id + ") " + t.substr(0, 2660) + "\n").substr(0, 2734)},
        {"logmsg of 965", [&] { return logmsg(3, m965.c_str(), "fn"); }, at + "<3> fn: " + m965 + "...\n"},
        {"logmsg of 964", [&] { return logmsg(3, m965.c_str() + 1, "fn"); }, at + "<3> fn: " + m965.substr(1) + "\n"},
        {"long name", [&] { return logmsg(4, m.c_str(), f40.c_str()); },
         at + "<4> " + f40.substr(9) + ": " + m965 + "...\n"},
        {"logparams", [&] { return logparams(3, argv); }, at + "<2> logparams: prog -v x y \n"},
    };
    for (const auto &row : rows) {
        ASSERT_EQ(ftruncate(fd, 0), 0);
        EXPECT_EQ(row.write(), 0) << row.what;
        g_ppid = 0;
        EXPECT_EQ(yqtest::read_file(file()), row.line) << row.what;
    }
    // A child of fork logs its own process id, not the one its parent logged.
    ASSERT_EQ(ftruncate(fd, 0), 0);
    pid_t child = fork();
    if (child == 0) _exit(debuglog(fd, "child"));
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(yqtest::read_file(file()), "09:05:03.042 [" + std::to_string(child) + "] child\n");
}

TEST_F(Logging, WritesAreCompletedOrFailWithTheirStatus) {
    EXPECT_EQ(logmsg(2, "no log", "main"), -1);
    for (const auto &write : writers(-1)) EXPECT_EQ(write(), -1) << "without a log";
    int fd = open_debug();
    char a0[] = "prog", *argv[] = {a0, nullptr};
    {
        yqtest::AllocFailer no_memory(1, true);
        EXPECT_EQ(logparams(1, argv), -1);
        EXPECT_EQ(logparamswithdate(1, argv), -1);
    }
    EXPECT_EQ(logparams(1, argv) + logparamswithdate(1, argv), 0);
    EXPECT_EQ(yqtest::read_lines(file()).size(), 2u) << "each call that got its memory wrote its line";
    ASSERT_EQ(ftruncate(fd, 0), 0);
    // One byte per call: the line still arrives whole.
    yq::sys::table.write = [](int f, const void *b, size_t) -> ssize_t { return ::write(f, b, 1); };
    ASSERT_EQ(logwithtime_and_id(fd, "id", "piecewise"), 0);
    EXPECT_EQ(yqtest::read_file(file()), "09:05:03 (id) piecewise\n");
    yq::sys::table.write = [](int, const void *, size_t) -> ssize_t { return errno = EIO, -1; };
    EXPECT_EQ(logmsg(2, "x", "f"), EIO);

    // Five retries after writes of nothing for the whole process, then every writer gives up with 27.
    static int zero_writes;
    yq::sys::table.write = [](int f, const void *b, size_t n) -> ssize_t {
        return zero_writes > 0 ? (--zero_writes, 0) : ::write(f, b, n);
    };
    zero_writes = 3;
    EXPECT_EQ(logmsg(2, "one", "f"), 0);
    zero_writes = 2;
    EXPECT_EQ(logwithtime(fd, "two"), 0);
    EXPECT_EQ(clock_.sleeps, 5) << "a second between tries";
    for (const auto &write : writers(fd)) {
        zero_writes = 1;
        EXPECT_EQ(write(), 27);
    }
    EXPECT_EQ(logwithoutdate(fd, "writes that write still work\n"), 0);
}

TEST_F(Logging, FirstLineOfANewDayGoesToTheNewDayFile) {
    const struct { const char *what; int recycle; bool other_fd, plain_writer, reopened, second_slot; } rows[] = {
        {"recycling on", 1, false, false, true, false}, {"recycling off", 0, false, false, false, false},
        {"not the debug log", 1, true, false, false, false}, {"writer without reopening", 1, false, true, false, false},
        {"second directory", 1, false, false, true, true}};
    for (const auto &row : rows) {
        clock_.set(yqtest::local_time_at(2004, 3, 17, 23, 59, 59), 999999);
        if (row.second_slot) open_debug("other", 0600);
        int first = open_debug(row.what);
        Auto_Recycle_Logs = row.recycle;
        ASSERT_EQ(logmsg(2, "before", "f"), 0);
        clock_.set(yqtest::local_time_at(2004, 3, 18, 0, 0, 0));
        int fd = row.other_fd ? dup(first) : debugFD;
        ASSERT_EQ(row.plain_writer ? logwithoutdate(fd, "after\n") : debuglog(fd, "after"), 0) << row.what;
        if (row.other_fd) close(fd);
        EXPECT_EQ(yqtest::read_lines(file(row.what)).size(), row.reopened ? 1u : 2u) << row.what;
        EXPECT_EQ(yqtest::exists(file(row.what, "031804")), row.reopened) << row.what;
        if (row.reopened) {
            EXPECT_EQ(yqtest::read_lines(file(row.what, "031804")), Lines{"00:00:00.000 [" + kPid + "] after"});
            EXPECT_EQ(debugFD, first) << "the old day's descriptor is closed: its number is the lowest free one";
            EXPECT_EQ(file_mode(file(row.what, "031804")), 0644) << "with the remembered mode";
            EXPECT_EQ(row.second_slot ? logfd2 : logfd1, debugFD);
        }
        TearDown();
        SetUp();
    }
    // A failed reopening leaves no log: later messages are dropped.
    open_debug();
    Auto_Recycle_Logs = 1;
    yqtest::remove_tree(dir_ + "/prog");
    yqtest::write_file(dir_ + "/prog", "");
    clock_.advance(86400);
    EXPECT_EQ(logmsg(2, "lost", "f"), ENOTDIR);
    EXPECT_EQ(logmsg(2, "dropped", "f"), -1);
}

TEST_F(Logging, LoggingFileStreamSharesTheDebugLog) {
    EXPECT_TRUE(open_logging_file((dir_ + "/missing").c_str()) == nullptr && !yqtest::exists(dir_ + "/missing"));
    EXPECT_EQ(Auto_Recycle_Logs, 1);
    FILE *stream = open_logging_file(dir_.c_str());
    EXPECT_EQ(file_mode(dir_ + "/log.031704"), 0655);
    ASSERT_EQ(logmsg(2, "via debugFD", "f"), 0);
    std::fputs("via stream\n", stream);
    std::fflush(stream);
    EXPECT_EQ(yqtest::read_lines(dir_ + "/log.031704").size(), 2u) << "the stream and debugFD share the file";
    // Closing a stream that is not the debug log leaves debugFD alone.
    int first = open_debug("first");
    close_logging_file(&stream);
    EXPECT_EQ(debugFD, first);
    EXPECT_STREQ(logdir1, "") << "the slot is free again";
}

}  // namespace
