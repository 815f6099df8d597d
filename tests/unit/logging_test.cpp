#include "logging.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "yq_paths.h"
#include "yqtest.h"

namespace {

// The clock every logging call sees: tests move it instead of waiting.
struct FakeClock {
    static time_t seconds;
    static long micros;
    static int gettimeofday(struct timeval *tv, void *) {
        tv->tv_sec = seconds;
        tv->tv_usec = micros;
        return 0;
    }
    static time_t time(time_t *t) {
        if (t != nullptr) *t = seconds;
        return seconds;
    }
};
time_t FakeClock::seconds = 0;
long FakeClock::micros = 0;

// Local time of the given calendar fields.
time_t at(int year, int mon, int mday, int hour, int min, int sec) {
    struct tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = mon - 1;
    tm.tm_mday = mday;
    tm.tm_hour = hour;
    tm.tm_min = min;
    tm.tm_sec = sec;
    tm.tm_isdst = -1;
    return mktime(&tm);
}

struct tm local(time_t t) {
    struct tm tm{};
    localtime_r(&t, &tm);
    return tm;
}

std::string fmt(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char *format, ...) {
    char buf[8192];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    return buf;
}

// Name of the day's file in dir, from the fake clock.
std::string day_file(const std::string &dir) {
    struct tm tm = local(FakeClock::seconds);
    return fmt("%s/log.%02d%02d%02d", dir.c_str(), tm.tm_mon + 1, tm.tm_mday, tm.tm_year % 100);
}

// "HH:MM:SS.mmm [pid] " as debuglog writes it at the fake clock.
std::string debug_prefix(int ppid = 0) {
    struct tm tm = local(FakeClock::seconds);
    int ms = static_cast<int>(FakeClock::micros / 1000);
    if (ppid != 0)
        return fmt("%02d:%02d:%02d.%03d [%d.%d] ", tm.tm_hour, tm.tm_min, tm.tm_sec, ms, ppid,
                   static_cast<int>(getpid()));
    return fmt("%02d:%02d:%02d.%03d [%d] ", tm.tm_hour, tm.tm_min, tm.tm_sec, ms,
               static_cast<int>(getpid()));
}

int file_mode(const std::string &path) {
    struct stat st{};
    if (stat(path.c_str(), &st) != 0) return -1;
    return static_cast<int>(st.st_mode & 07777);
}

// How many descriptors of this process are open on path.
int descriptors_on(const std::string &path) {
    int count = 0;
    for (int fd = 0; fd < 1024; ++fd) {
        char link[PATH_MAX];
        ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), link, sizeof link - 1);
        if (n > 0 && std::string(link, static_cast<size_t>(n)) == path) ++count;
    }
    return count;
}

off_t file_size(const std::string &path) {
    struct stat st{};
    if (stat(path.c_str(), &st) != 0) return -1;
    return st.st_size;
}

// Every test starts from the module's initial state with the fake clock at
// 17 March 2004, 09:05:03.042999, and leaves the state as it found it, so the
// tests are independent of each other and of their order.
class Logging : public ::testing::Test {
protected:
    void SetUp() override {
        FakeClock::seconds = at(2004, 3, 17, 9, 5, 3);
        FakeClock::micros = 42999;
        yq::sys::table.gettimeofday = FakeClock::gettimeofday;
        yq::sys::table.time = FakeClock::time;
        dir_ = yqtest::scratch_dir() + "/" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
        yqtest::remove_tree(dir_);
        ASSERT_EQ(mkdir(dir_.c_str(), 0755), 0);
    }

    void TearDown() override {
        std::set<int> open_fds;
        for (int fd : {debugFD, logfd1, logfd2})
            if (fd > 2) open_fds.insert(fd);
        for (int fd : open_fds) close(fd);
        debugFD = -1;
        g_ppid = 0;
        Auto_Recycle_Logs = 0;
        zero_write_tries = 5;
        logdir1[0] = logdir2[0] = '\0';
        log_mode1 = log_mode2 = 0;
        logfd1 = logfd2 = -1;
        log_day = 0;
        yqtest::remove_tree(dir_);
    }

    // Opens today's log in a fresh sub-directory and makes it the debug log.
    int open_debug(const std::string &sub = "prog", int mode = 0644) {
        int err = -1;
        int fd = open_log((dir_ + "/" + sub).c_str(), mode, &err);
        EXPECT_GE(fd, 0) << std::strerror(err);
        debugFD = fd;
        return fd;
    }

    yqtest::SysGuard sys_;
    std::string dir_;
};

TEST_F(Logging, InitialValuesOfTheExportedState) {
    // The fixture restores these after every test, so they are what the
    // process started with.
    EXPECT_EQ(debugFD, -1);
    EXPECT_EQ(g_ppid, 0);
    EXPECT_EQ(Auto_Recycle_Logs, 0);
    EXPECT_EQ(zero_write_tries, 5);
    EXPECT_STREQ(logdir1, "");
    EXPECT_STREQ(logdir2, "");
    EXPECT_EQ(sizeof logdir1, 1025u);
    EXPECT_EQ(sizeof logdir2, 1025u);
    EXPECT_EQ(log_mode1, 0);
    EXPECT_EQ(log_mode2, 0);
    EXPECT_EQ(logfd1, -1);
    EXPECT_EQ(logfd2, -1);
    EXPECT_EQ(log_day, 0);
}

TEST_F(Logging, OpenDebugFileCreatesProgramDirectoryAndDayFile) {
    int err = -1;
    int fd = open_debug_file("cwrd", 0644, &err);
    ASSERT_GE(fd, 0) << std::strerror(err);
    EXPECT_EQ(err, 0);
    const std::string dir = std::string(YQ_PATH_LOG_DIR) + "/cwrd";
    const std::string file = dir + "/log.031704";
    EXPECT_TRUE(yqtest::exists(file));
    EXPECT_EQ(file_mode(file), 0644);
    // Missing directories are made with the log directory mode.
    EXPECT_EQ(file_mode(dir), 0655);
    EXPECT_EQ(file_mode(YQ_PATH_LOG_DIR), 0655);
    EXPECT_EQ(log_day, local(FakeClock::seconds).tm_yday);
    EXPECT_STREQ(logdir1, dir.c_str());
    EXPECT_EQ(log_mode1, 0644);
    EXPECT_EQ(logfd1, fd);
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_APPEND);
    debugFD = fd;
    yqtest::remove_tree(YQ_PATH_LOG_DIR);
}

TEST_F(Logging, FileNameUsesTwoDigitYearOfLocalTime) {
    FakeClock::seconds = at(1999, 12, 31, 23, 0, 0);
    int err = 0;
    int fd = open_log(dir_.c_str(), 0600, &err);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(yqtest::exists(dir_ + "/log.123199"));
    EXPECT_EQ(file_mode(dir_ + "/log.123199"), 0600);
    close(fd);
    FakeClock::seconds = at(2010, 1, 2, 0, 0, 0);
    fd = open_log(dir_.c_str(), 0600, &err);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(yqtest::exists(dir_ + "/log.010210"));
    EXPECT_EQ(log_day, 1);
}

TEST_F(Logging, OpenLogFailuresReportErrno) {
    yqtest::write_file(dir_ + "/file", "x");
    int err = 0;
    // The directory exists as a plain file: the open fails.
    EXPECT_EQ(open_log((dir_ + "/file").c_str(), 0644, &err), -1);
    EXPECT_EQ(err, ENOTDIR);
    // Creating the directory fails below a plain file.
    err = 0;
    EXPECT_EQ(open_log((dir_ + "/file/sub").c_str(), 0644, &err), -1);
    EXPECT_EQ(err, ENOTDIR);
    err = 0;
    EXPECT_EQ(open_log(nullptr, 0644, &err), -1);
    EXPECT_EQ(err, EINVAL);
    err = 0;
    EXPECT_EQ(open_debug_file(nullptr, 0644, &err), -1);
    EXPECT_EQ(err, EINVAL);
    // A name longer than the directory buffer is refused, not cut.
    err = 0;
    EXPECT_EQ(open_debug_file(std::string(1100, 'n').c_str(), 0644, &err), -1);
    EXPECT_EQ(err, ENAMETOOLONG);
}

TEST_F(Logging, OnlyTheFirstTwoDirectoriesAreRemembered) {
    int a = open_log((dir_ + "/a").c_str(), 0640, nullptr);
    int b = open_log((dir_ + "/b").c_str(), 0600, nullptr);
    int c = open_log((dir_ + "/c").c_str(), 0644, nullptr);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    ASSERT_GE(c, 0);
    EXPECT_EQ(std::string(logdir1), dir_ + "/a");
    EXPECT_EQ(std::string(logdir2), dir_ + "/b");
    EXPECT_EQ(log_mode1, 0640);
    EXPECT_EQ(log_mode2, 0600);
    EXPECT_EQ(logfd1, a);
    EXPECT_EQ(logfd2, b);
    close(c);
    // Opening a remembered directory again replaces its descriptor and does
    // not take the other slot.
    close(a);
    a = open_log((dir_ + "/a").c_str(), 0640, nullptr);
    EXPECT_EQ(logfd1, a);
    EXPECT_EQ(logfd2, b);
    EXPECT_EQ(std::string(logdir2), dir_ + "/b");
}

TEST_F(Logging, ReopeningTheFirstDirectoryTakesTheFreeSecondSlot) {
    int a = open_log((dir_ + "/a").c_str(), 0640, nullptr);
    ASSERT_GE(a, 0);
    close(a);
    // Slots are taken by emptiness alone: the same directory again fills
    // the second slot, while its descriptor still belongs to the first.
    a = open_log((dir_ + "/a").c_str(), 0600, nullptr);
    ASSERT_GE(a, 0);
    EXPECT_EQ(std::string(logdir1), dir_ + "/a");
    EXPECT_EQ(std::string(logdir2), dir_ + "/a");
    EXPECT_EQ(log_mode1, 0640);
    EXPECT_EQ(log_mode2, 0600);
    EXPECT_EQ(logfd1, a);
    EXPECT_EQ(logfd2, -1);
    // Both slots are taken now, so another directory is not remembered.
    int b = open_log((dir_ + "/b").c_str(), 0644, nullptr);
    ASSERT_GE(b, 0);
    close(b);
    EXPECT_EQ(std::string(logdir2), dir_ + "/a");
    EXPECT_EQ(logfd1, a);
    EXPECT_EQ(logfd2, -1);
}

TEST_F(Logging, DebugLineFormat) {
    int fd = open_debug();
    const std::string file = day_file(dir_ + "/prog");
    ASSERT_EQ(logmsg(2, "hello", "main"), 0);
    EXPECT_EQ(yqtest::read_file(file),
              fmt("09:05:03.042 [%d] <2> main: hello\n", static_cast<int>(getpid())));

    g_ppid = 77;
    ASSERT_EQ(debuglog(fd, "second"), 0);
    auto lines = yqtest::read_lines(file);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], fmt("09:05:03.042 [77.%d] second", static_cast<int>(getpid())));

    // Field by field at another time of day, from the clock itself.
    g_ppid = 0;
    FakeClock::seconds += 3600 * 5 + 60 * 7 + 11;
    FakeClock::micros = 999;
    ASSERT_EQ(debuglog(fd, "third"), 0);
    lines = yqtest::read_lines(file);
    ASSERT_EQ(lines.size(), 3u);
    int hh, mm, ss, ms, pid;
    char text[16];
    ASSERT_EQ(std::sscanf(lines[2].c_str(), "%2d:%2d:%2d.%3d [%d] %15s", &hh, &mm, &ss, &ms, &pid,
                          text),
              6);
    struct tm tm = local(FakeClock::seconds);
    EXPECT_EQ(hh, tm.tm_hour);
    EXPECT_EQ(mm, tm.tm_min);
    EXPECT_EQ(ss, tm.tm_sec);
    EXPECT_EQ(ms, 0);
    EXPECT_EQ(pid, getpid());
    EXPECT_STREQ(text, "third");
    EXPECT_EQ(lines[2].substr(0, 13), "14:12:14.000 ");
}

TEST_F(Logging, LongTextsAreCutToTheLineBuffer) {
    int fd = open_debug();
    const std::string file = day_file(dir_ + "/prog");
    const std::string text(5000, 't');
    ASSERT_EQ(debuglog(fd, text.c_str()), 0);
    // At most 4072 characters of text and never more than 4095 bytes.
    std::string expected = (debug_prefix() + text.substr(0, 4072) + "\n").substr(0, 4095);
    EXPECT_EQ(yqtest::read_file(file), expected);

    ftruncate(fd, 0);
    g_ppid = 1234567;
    ASSERT_EQ(debuglog(fd, text.c_str()), 0);
    expected = (debug_prefix(1234567) + text.substr(0, 4072) + "\n").substr(0, 4095);
    EXPECT_EQ(yqtest::read_file(file), expected);
}

TEST_F(Logging, LogmsgCutsLongMessagesAt965Characters) {
    open_debug();
    const std::string file = day_file(dir_ + "/prog");
    const std::string prefix = debug_prefix();
    std::string message;
    for (int i = 0; i < 1000; ++i) message += static_cast<char>('a' + i % 26);

    ASSERT_EQ(logmsg(3, message.c_str(), "fn"), 0);
    ASSERT_EQ(logmsg(3, message.substr(0, 965).c_str(), "fn"), 0);
    ASSERT_EQ(logmsg(3, message.substr(0, 964).c_str(), "fn"), 0);
    // A long function name is cut to 31 characters only with a long message.
    const std::string func(40, 'f');
    ASSERT_EQ(logmsg(4, message.c_str(), func.c_str()), 0);
    ASSERT_EQ(logmsg(4, "short", func.c_str()), 0);

    auto lines = yqtest::read_lines(file);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], prefix + "<3> fn: " + message.substr(0, 965) + "...");
    EXPECT_EQ(lines[1], prefix + "<3> fn: " + message.substr(0, 965) + "...");
    EXPECT_EQ(lines[2], prefix + "<3> fn: " + message.substr(0, 964));
    EXPECT_EQ(lines[3], prefix + "<4> " + func.substr(0, 31) + ": " + message.substr(0, 965) + "...");
    EXPECT_EQ(lines[4], prefix + "<4> " + func + ": short");
}

TEST_F(Logging, NullTextsAndNames) {
    int fd = open_debug();
    const std::string file = day_file(dir_ + "/prog");
    ASSERT_EQ(logmsg(5, nullptr, nullptr), 0);
    ASSERT_EQ(debuglog(fd, nullptr), 0);
    ASSERT_EQ(logwithdate(fd, nullptr), 0);
    ASSERT_EQ(logwithtime(fd, nullptr), 0);
    ASSERT_EQ(logwithtime_and_id(fd, nullptr, nullptr), 0);
    ASSERT_EQ(logwithoutdate(fd, nullptr), 0);
    auto lines = yqtest::read_lines(file);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], debug_prefix() + "<5> ?: ?");
    EXPECT_EQ(lines[1], debug_prefix() + " ");
    EXPECT_EQ(lines[2], fmt("2004/03/17 09:05:03.042 [%d]  ", static_cast<int>(getpid())));
    EXPECT_EQ(lines[3], "09:05:03  ");
    EXPECT_EQ(lines[4], "09:05:03 ( )  ");
    EXPECT_EQ(lines[5], " ");
}

TEST_F(Logging, OtherWriterFormats) {
    int fd = open_debug();
    const std::string file = day_file(dir_ + "/prog");
    FakeClock::seconds = at(2004, 3, 7, 8, 4, 2);
    FakeClock::micros = 7000;
    ASSERT_EQ(logwithdate(fd, "dated"), 0);
    ASSERT_EQ(logwithtime(fd, "timed"), 0);
    ASSERT_EQ(logwithtime_and_id(fd, "job42", "with id"), 0);
    ASSERT_EQ(logwithoutdate(fd, "raw text"), 0);
    ASSERT_EQ(logwithoutdate(fd, " and more\n"), 0);
    std::string content = yqtest::read_file(file);
    EXPECT_EQ(content, fmt("2004/03/07 08:04:02.007 [%d] dated\n"
                           "08:04:02 timed\n"
                           "08:04:02 (job42) with id\n"
                           "raw text and more\n",
                           static_cast<int>(getpid())));

    // Bounds: logwithdate keeps 4062 characters of text, logwithtime 2660 in
    // 2671 bytes, logwithtime_and_id 2660 in 2735 bytes.
    const std::string text(5000, 'x');
    const std::string id(100, 'i');
    ftruncate(fd, 0);
    ASSERT_EQ(logwithdate(fd, text.c_str()), 0);
    std::string dated = fmt("2004/03/07 08:04:02.007 [%d] ", static_cast<int>(getpid()));
    EXPECT_EQ(yqtest::read_file(file), (dated + text.substr(0, 4062) + "\n").substr(0, 4095));
    ftruncate(fd, 0);
    ASSERT_EQ(logwithtime(fd, text.c_str()), 0);
    EXPECT_EQ(yqtest::read_file(file), "08:04:02 " + text.substr(0, 2660) + "\n");
    ftruncate(fd, 0);
    ASSERT_EQ(logwithtime_and_id(fd, "id", text.c_str()), 0);
    EXPECT_EQ(yqtest::read_file(file), "08:04:02 (id) " + text.substr(0, 2660) + "\n");
    ftruncate(fd, 0);
    ASSERT_EQ(logwithtime_and_id(fd, id.c_str(), text.c_str()), 0);
    EXPECT_EQ(yqtest::read_file(file),
              ("08:04:02 (" + id + ") " + text.substr(0, 2660) + "\n").substr(0, 2734));
}

TEST_F(Logging, NoLogMeansMinusOneAndNothingWritten) {
    int fd = open_debug();
    const std::string file = day_file(dir_ + "/prog");
    debugFD = -1;
    static int writes;
    writes = 0;
    yq::sys::table.write = [](int, const void *, size_t n) -> ssize_t {
        ++writes;
        return static_cast<ssize_t>(n);
    };
    EXPECT_EQ(logmsg(2, "dropped", "main"), -1);
    EXPECT_EQ(debuglog(-1, "x"), -1);
    EXPECT_EQ(debuglog(-5, "x"), -1);
    EXPECT_EQ(logwithdate(-1, "x"), -1);
    EXPECT_EQ(logwithtime(-1, "x"), -1);
    EXPECT_EQ(logwithtime_and_id(-1, "i", "x"), -1);
    EXPECT_EQ(logwithoutdate(-1, "x"), -1);
    EXPECT_EQ(logparams(0, nullptr), 0);
    EXPECT_EQ(writes, 0);
    EXPECT_EQ(file_size(file), 0);
    (void)fd;
}

TEST_F(Logging, FailedWriteReturnsErrno) {
    int fd = open_debug();
    int ro = open(day_file(dir_ + "/prog").c_str(), O_RDONLY);
    ASSERT_GE(ro, 0);
    EXPECT_EQ(debuglog(ro, "x"), EBADF);
    EXPECT_EQ(logwithoutdate(ro, "x"), EBADF);
    close(ro);
    yq::sys::table.write = [](int, const void *, size_t) -> ssize_t {
        errno = EIO;
        return -1;
    };
    EXPECT_EQ(logmsg(2, "x", "f"), EIO);
    EXPECT_EQ(logwithtime(fd, "x"), EIO);
}

TEST_F(Logging, ShortWritesAreCompleted) {
    int fd = open_debug();
    // One byte per call: the line still arrives whole.
    yq::sys::table.write = [](int f, const void *b, size_t) -> ssize_t { return ::write(f, b, 1); };
    ASSERT_EQ(logwithtime_and_id(fd, "id", "piecewise"), 0);
    EXPECT_EQ(yqtest::read_file(day_file(dir_ + "/prog")), "09:05:03 (id) piecewise\n");
}

// The budget of retries after writes of nothing belongs to the process and is
// never refilled; this test spends all of it (the fixture puts it back so
// that the other tests do not depend on running before this one).
TEST_F(Logging, ZeroWriteBudgetOfFiveThenTwentySeven) {
    int fd = open_debug();
    const std::string file = day_file(dir_ + "/prog");
    static int zero_writes_left;
    static std::vector<unsigned> sleeps;
    sleeps.clear();
    yq::sys::table.sleep = [](unsigned s) -> unsigned {
        sleeps.push_back(s);
        return 0;
    };
    yq::sys::table.write = [](int f, const void *b, size_t n) -> ssize_t {
        if (zero_writes_left > 0) {
            --zero_writes_left;
            return 0;
        }
        return ::write(f, b, n);
    };

    zero_writes_left = 3;
    EXPECT_EQ(logmsg(2, "one", "f"), 0);
    EXPECT_EQ(zero_write_tries, 2);
    zero_writes_left = 2;
    EXPECT_EQ(logwithtime(fd, "two"), 0);
    EXPECT_EQ(zero_write_tries, 0);
    EXPECT_EQ(sleeps, std::vector<unsigned>(5, 1u));

    // The sixth write of nothing in the life of the process is final, for
    // every writer.
    zero_writes_left = 1;
    EXPECT_EQ(debuglog(fd, "three"), 27);
    zero_writes_left = 1;
    EXPECT_EQ(logwithdate(fd, "three"), 27);
    zero_writes_left = 1;
    EXPECT_EQ(logwithtime_and_id(fd, "i", "three"), 27);
    zero_writes_left = 1;
    EXPECT_EQ(logwithoutdate(fd, "three"), 27);
    zero_writes_left = 1;
    EXPECT_EQ(logmsg(2, "three", "f"), 27);
    EXPECT_EQ(sleeps.size(), 5u);
    EXPECT_EQ(zero_write_tries, 0);

    // Writes that do write still work.
    EXPECT_EQ(logwithoutdate(fd, "four\n"), 0);
    auto lines = yqtest::read_lines(file);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], debug_prefix() + "<2> f: one");
    EXPECT_EQ(lines[1], "09:05:03 two");
    EXPECT_EQ(lines[2], "four");
}

TEST_F(Logging, MidnightReopensTheLogWhenRecyclingIsOn) {
    FakeClock::seconds = at(2004, 3, 17, 23, 59, 59);
    FakeClock::micros = 999999;
    open_debug();
    Auto_Recycle_Logs = 1;
    const std::string old_file = dir_ + "/prog/log.031704";
    ASSERT_EQ(logmsg(2, "before", "f"), 0);

    FakeClock::seconds += 1;
    FakeClock::micros = 0;
    const std::string new_file = dir_ + "/prog/log.031804";
    ASSERT_EQ(logmsg(2, "after", "f"), 0);
    EXPECT_EQ(log_day, local(FakeClock::seconds).tm_yday);
    EXPECT_EQ(logfd1, debugFD);
    // The reopening is an open of the same directory: it takes the free slot.
    EXPECT_EQ(std::string(logdir2), dir_ + "/prog");
    EXPECT_EQ(logfd2, -1);
    EXPECT_EQ(descriptors_on(old_file), 0) << "old descriptor closed";
    EXPECT_EQ(descriptors_on(new_file), 1);
    EXPECT_EQ(file_mode(new_file), 0644) << "reopened with the remembered mode";
    EXPECT_EQ(yqtest::read_lines(old_file), std::vector<std::string>{"23:59:59.999 [" +
                                                                     std::to_string(getpid()) +
                                                                     "] <2> f: before"});
    EXPECT_EQ(yqtest::read_lines(new_file), std::vector<std::string>{"00:00:00.000 [" +
                                                                     std::to_string(getpid()) +
                                                                     "] <2> f: after"});
    // The other writers never reopen.
    FakeClock::seconds += 86400;
    int fd = debugFD;
    ASSERT_EQ(logwithdate(fd, "dated"), 0);
    EXPECT_EQ(debugFD, fd);
    EXPECT_EQ(yqtest::read_lines(new_file).size(), 2u);
}

TEST_F(Logging, MidnightKeepsTheOldFileWhenRecyclingIsOff) {
    FakeClock::seconds = at(2004, 3, 17, 23, 59, 59);
    int fd = open_debug();
    Auto_Recycle_Logs = 0;
    FakeClock::seconds += 1;
    ASSERT_EQ(logmsg(2, "after", "f"), 0);
    EXPECT_EQ(debugFD, fd);
    EXPECT_FALSE(yqtest::exists(dir_ + "/prog/log.031804"));
    EXPECT_EQ(yqtest::read_lines(dir_ + "/prog/log.031704").size(), 1u);

    // Recycling on, but the line goes to a descriptor other than debugFD.
    Auto_Recycle_Logs = 1;
    int other = dup(fd);
    ASSERT_EQ(debuglog(other, "other"), 0);
    close(other);
    EXPECT_FALSE(yqtest::exists(dir_ + "/prog/log.031804"));
    EXPECT_EQ(yqtest::read_lines(dir_ + "/prog/log.031704").size(), 2u);
}

TEST_F(Logging, MidnightReopensTheSecondDirectoryAndNotAThird) {
    FakeClock::seconds = at(2004, 3, 17, 12, 0, 0);
    int a = open_log((dir_ + "/a").c_str(), 0644, nullptr);
    int b = open_log((dir_ + "/b").c_str(), 0600, nullptr);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    Auto_Recycle_Logs = 1;
    debugFD = b;
    FakeClock::seconds += 86400;
    ASSERT_EQ(logmsg(2, "b next day", "f"), 0);
    EXPECT_EQ(logfd2, debugFD);
    EXPECT_EQ(logfd1, a);
    EXPECT_EQ(descriptors_on(dir_ + "/b/log.031704"), 0);
    EXPECT_EQ(file_mode(dir_ + "/b/log.031804"), 0600);
    EXPECT_EQ(yqtest::read_lines(dir_ + "/b/log.031804").size(), 1u);

    // A third directory is not remembered, so it is never reopened.
    int c = open_log((dir_ + "/c").c_str(), 0644, nullptr);
    ASSERT_GE(c, 0);
    close(debugFD);
    logfd2 = -1;
    debugFD = c;
    FakeClock::seconds += 86400;
    ASSERT_EQ(logmsg(2, "c stays", "f"), 0);
    EXPECT_EQ(debugFD, c);
    EXPECT_EQ(yqtest::read_lines(dir_ + "/c/log.031804").size(), 1u);
    EXPECT_FALSE(yqtest::exists(dir_ + "/c/log.031904"));
}

TEST_F(Logging, FailedReopeningDropsLaterMessages) {
    open_debug();
    Auto_Recycle_Logs = 1;
    // The directory becomes a plain file, so the new day's file cannot open.
    yqtest::remove_tree(dir_ + "/prog");
    yqtest::write_file(dir_ + "/prog", "");
    FakeClock::seconds += 86400;
    EXPECT_EQ(logmsg(2, "lost", "f"), ENOTDIR);
    EXPECT_EQ(debugFD, -1);
    EXPECT_EQ(logfd1, -1);
    EXPECT_EQ(logmsg(2, "dropped", "f"), -1);
}

TEST_F(Logging, OpenLoggingFileAndClose) {
    const std::string missing = dir_ + "/missing";
    EXPECT_EQ(open_logging_file(missing.c_str()), nullptr);
    EXPECT_EQ(Auto_Recycle_Logs, 1);
    EXPECT_FALSE(yqtest::exists(missing));
    EXPECT_EQ(open_logging_file(nullptr), nullptr);

    Auto_Recycle_Logs = 0;
    FILE *stream = open_logging_file(dir_.c_str());
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(Auto_Recycle_Logs, 1);
    const std::string file = day_file(dir_);
    EXPECT_EQ(file_mode(file), 0655);
    EXPECT_EQ(fileno(stream), debugFD);
    EXPECT_EQ(logfd1, debugFD);
    EXPECT_EQ(log_mode1, 0655);
    EXPECT_EQ(std::string(logdir1), dir_);

    ASSERT_EQ(logmsg(2, "via debugFD", "f"), 0);
    std::fputs("via stream\n", stream);
    std::fflush(stream);
    auto lines = yqtest::read_lines(file);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "via stream");

    close_logging_file(&stream);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(debugFD, -1);
    EXPECT_EQ(logfd1, -1);
    EXPECT_STREQ(logdir1, "");
    close_logging_file(&stream);
    close_logging_file(nullptr);

    // The freed slot takes the next directory.
    mkdir((dir_ + "/next").c_str(), 0755);
    stream = open_logging_file((dir_ + "/next").c_str());
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(std::string(logdir1), dir_ + "/next");
    close_logging_file(&stream);
}

TEST_F(Logging, CloseLoggingFileOfTheSecondSlot) {
    int first = open_debug("first");
    mkdir((dir_ + "/second").c_str(), 0755);
    FILE *stream = open_logging_file((dir_ + "/second").c_str());
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(logfd2, fileno(stream));
    // A stream that is not the debug log leaves debugFD alone.
    debugFD = first;
    close_logging_file(&stream);
    EXPECT_EQ(logfd2, -1);
    EXPECT_STREQ(logdir2, "");
    EXPECT_EQ(logfd1, first);
    EXPECT_EQ(debugFD, first);
}

TEST_F(Logging, Params) {
    int fd = open_debug();
    const std::string file = day_file(dir_ + "/prog");
    char a0[] = "prog", a1[] = "-v", a2[] = "x y";
    char *argv[] = {a0, a1, a2, nullptr};
    EXPECT_EQ(logparams(3, argv), 0);
    EXPECT_EQ(logparamswithdate(3, argv), 0);
    EXPECT_EQ(logparams(0, argv), 0);
    EXPECT_EQ(logparamswithdate(0, nullptr), 0);
    auto lines = yqtest::read_lines(file);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], debug_prefix() + "<2> logparams: prog -v x y ");
    EXPECT_EQ(lines[1],
              fmt("2004/03/17 09:05:03.042 [%d] logparams: prog -v x y ", static_cast<int>(getpid())));
    EXPECT_EQ(lines[2], debug_prefix() + "<2> logparams: ");
    EXPECT_EQ(lines[3], fmt("2004/03/17 09:05:03.042 [%d] logparams: ", static_cast<int>(getpid())));
    (void)fd;
}

TEST_F(Logging, ParamsWhenMemoryRunsOut) {
    open_debug();
    const std::string file = day_file(dir_ + "/prog");
    char a0[] = "prog", a1[] = "arg";
    char *argv[] = {a0, a1, nullptr};
    {
        yqtest::AllocFailer fail(1);
        EXPECT_EQ(logparams(2, argv), -1);
    }
    {
        yqtest::AllocFailer fail(1);
        EXPECT_EQ(logparamswithdate(2, argv), -1);
    }
    EXPECT_EQ(file_size(file), 0);
    // The joined text is the only allocation: message and line are
    // formatted without the heap, so the line is written once memory allows.
    long k = 0;
    long points = yqtest::for_each_alloc_failure([&] {
        ++k;
        EXPECT_EQ(logparams(2, argv), k == 1 ? -1 : 0) << k;
    });
    EXPECT_EQ(points, 1);
    EXPECT_EQ(yqtest::read_lines(file), std::vector<std::string>{debug_prefix() + "<2> logparams: prog arg "});
    // Writing a line needs no memory at all.
    {
        yqtest::AllocFailer fail(1, true);
        EXPECT_EQ(logmsg(2, "x", "f"), 0);
        EXPECT_EQ(debuglog(debugFD, "x"), 0);
        EXPECT_EQ(yqtest::AllocFailer::calls(), 0);
    }
}

}  // namespace
