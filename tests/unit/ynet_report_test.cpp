// Reporters: what lands in the debug log, on ynet_debug_fd and on
// ynet_debug_stream for each verbosity case, the write-once rules when sinks
// share a descriptor, the line and dump formats, and the pinned status table.
// The verbosity comes from the real configuration library, installed in the
// sandbox with a cw.conf whose modification time the test sets.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "crconf.h"
#include "logging.h"
#include "ynet.h"
#include "ynet_private.h"
#include "yq_paths.h"
#include "yqtest.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

size_t count(const std::string &haystack, const std::string &needle) {
    size_t n = 0;
    for (size_t at = 0; (at = haystack.find(needle, at)) != std::string::npos; at += needle.size())
        ++n;
    return n;
}

std::string drain(int fd) {
    std::string out;
    char buf[8192];
    ssize_t r;
    while ((r = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(r));
    return out;
}

std::string stream_text(FILE *f) {
    std::fflush(f);
    std::rewind(f);
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    std::fseek(f, 0, SEEK_END);
    return out;
}

// "HH:MM:SS.mmm" followed by exactly `rest`.
bool stamped(const std::string &line, const std::string &rest) {
    const std::string shape = "00:00:00.000";
    if (line.size() != shape.size() + rest.size()) return false;
    for (size_t i = 0; i < shape.size(); ++i) {
        bool digit = line[i] >= '0' && line[i] <= '9';
        if (shape[i] == '0' ? !digit : line[i] != shape[i]) return false;
    }
    return line.compare(shape.size(), std::string::npos, rest) == 0;
}

// Configuration times only ever move forward, so each new cw.conf is newer
// than the record loaded from the previous one.
time_t g_conf_time = 1600000000;

void install_configuration(const std::string &content) {
    fs::path lib(YQ_PATH_CRCONF_LIB);
    fs::create_directories(lib.parent_path());
    if (!fs::exists(lib)) {
        fs::path staged = lib.string() + ".new";
        fs::copy_file(YCRCONF_LIB, staged, fs::copy_options::overwrite_existing);
        fs::rename(staged, lib);
    }
    fs::create_directories(fs::path(YQ_PATH_CW_CONF).parent_path());
    yqtest::write_file(YQ_PATH_CW_CONF, content);
    ++g_conf_time;
    struct timespec times[2] = {{g_conf_time, 0}, {g_conf_time, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, YQ_PATH_CW_CONF, times, 0), 0);
}

void set_verbosity(int level) { install_configuration("VERBOSE = " + std::to_string(level) + "\n"); }

// All three sinks open: the debug log in the sandbox, a pipe as
// ynet_debug_fd and a temporary file as ynet_debug_stream.
class Sinks : public ::testing::Test {
protected:
    void SetUp() override {
        log_dir_ = yqtest::scratch_dir() + "/ynet_report_logs";
        yqtest::remove_tree(log_dir_);
        int err = 0;
        debugFD = open_log(log_dir_.c_str(), 0644, &err);
        ASSERT_GE(debugFD, 0) << err;
        ASSERT_EQ(::pipe2(pipe_, O_NONBLOCK | O_CLOEXEC), 0);
        ynet_debug_fd = pipe_[1];
        stream_ = std::tmpfile();
        ynet_debug_stream = stream_;
    }

    void TearDown() override {
        ynet_debug_stream = nullptr;
        ynet_debug_fd = -1;
        if (stream_ != nullptr) std::fclose(stream_);
        if (debugFD >= 0) ::close(debugFD);
        debugFD = -1;
        ::close(pipe_[0]);
        ::close(pipe_[1]);
        crconf_free_info(&yq::ynet_private::crconf_info);
        ::unlink(YQ_PATH_CW_CONF);
        ::unlink(YQ_PATH_CRCONF_LIB);
        yq::sys::reset();
    }

    std::string log() {
        std::string all;
        for (const auto &entry : fs::directory_iterator(log_dir_))
            all += yqtest::read_file(entry.path().string());
        return all;
    }
    std::string fd_lines() { return drain(pipe_[0]); }
    std::string stream() { return stream_text(stream_); }

    std::string log_dir_;
    int pipe_[2] = {-1, -1};
    FILE *stream_ = nullptr;
};

TEST_F(Sinks, FailureGoesEverywhereWithItsFormats) {
    errno = ENOSPC;
    ynet_failure("ynet_test", 120, "caller", 12);
    EXPECT_EQ(errno, ENOSPC);

    const std::string message = "ynet_test.120: Function failed: 12 0x0000000c";
    EXPECT_EQ(stream(), message + "\n");
    // Both the log and the descriptor carry one time-stamped line.
    const std::string rest = " [" + std::to_string(getpid()) + "] <2> caller: " + message + "\n";
    std::string raw = fd_lines();
    EXPECT_TRUE(stamped(raw, rest)) << raw;
    std::string logged = log();
    EXPECT_TRUE(stamped(logged, rest)) << logged;

    ynet_debug_value_level("m", 7, "f", "value", nullptr, -1, 0);
    EXPECT_NE(stream().find("m.7: value: -1 0xffffffff\n"), std::string::npos);
    ynet_debug_value_level("m", 8, "f", "name", "host.example", 99, -3);
    EXPECT_NE(stream().find("m.8: name: host.example\n"), std::string::npos);
    EXPECT_EQ(count(log(), "m.8: name: host.example"), 1u);  // levels below 0 always pass
}

TEST_F(Sinks, LevelFourNeedsAConfiguredVerbosityToReachTheLog) {
    struct Case {
        const char *what;
        int verbose;  // -1: no configuration library at all
        int level;
        bool logged;
    };
    const Case cases[] = {
        {"no record", -1, 4, false}, {"below", 3, 4, false}, {"at", 3, 3, true},
        {"equal", 4, 4, true},       {"above", 5, 4, true},  {"too verbose", 4, 5, false},
        {"back to 0", 0, 1, false},  {"level 0", 0, 0, true},
    };
    int line = 1;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.verbose >= 0) set_verbosity(c.verbose);
        ++line;
        ynet_debug_value_level("ynet_test", line, "f", "port", nullptr, 13724, c.level);
        std::string message = "ynet_test." + std::to_string(line) + ": port: 13724 0x0000359c";
        EXPECT_EQ(count(log(), message), c.logged ? 1u : 0u);
        // The descriptor and the stream get every line, whatever the level.
        EXPECT_EQ(count(fd_lines(), "<2> f: " + message + "\n"), 1u);
        EXPECT_EQ(count(stream(), message + "\n"), 1u);
    }
    // ynet_debug_value is level 4.
    set_verbosity(4);
    ynet_debug_value("ynet_test", 90, "f", "hash", "0123abcd", 0);
    EXPECT_EQ(count(log(), "<2> f: ynet_test.90: hash: 0123abcd\n"), 1u);
    set_verbosity(3);
    ynet_debug_value("ynet_test", 91, "f", "hash", "0123abcd", 0);
    EXPECT_EQ(count(log(), "ynet_test.91"), 0u);
}

TEST_F(Sinks, LevelZeroNeverFetchesTheConfiguration) {
    set_verbosity(7);
    // A record older than cw.conf: any fetch would replace it.
    auto *stale = static_cast<crconf_info_rec *>(std::calloc(1, sizeof(crconf_info_rec)));
    stale->ni_update_time = static_cast<int>(g_conf_time) - 10;
    stale->ni_verbose = 99;
    yq::ynet_private::crconf_info = stale;

    ynet_failure("ynet_test", 1, "f", 9);
    ASSERT_NE(yq::ynet_private::crconf_info, nullptr);
    EXPECT_EQ(yq::ynet_private::crconf_info->ni_verbose, 99);

    ynet_debug_value("ynet_test", 2, "f", "x", "y", 0);
    ASSERT_NE(yq::ynet_private::crconf_info, nullptr);
    EXPECT_EQ(yq::ynet_private::crconf_info->ni_verbose, 7);
    EXPECT_EQ(count(log(), "ynet_test.2: x: y"), 1u);
}

TEST_F(Sinks, SharedDescriptorsWriteALineOnce) {
    // The raw debug descriptor is the log itself.
    ynet_debug_fd = debugFD;
    ynet_failure("ynet_test", 10, "f", 12);
    EXPECT_EQ(count(log(), "ynet_test.10: Function failed"), 1u);
    // Not logged (no configuration): the raw descriptor still gets it once.
    ynet_debug_value("ynet_test", 11, "f", "v", "t", 0);
    EXPECT_EQ(count(log(), "<2> f: ynet_test.11: v: t\n"), 1u);
    EXPECT_EQ(count(stream(), "ynet_test.11: v: t\n"), 1u);

    // The stream writes to the log's descriptor as well.
    ynet_debug_fd = pipe_[1];
    FILE *on_log = fdopen(debugFD, "a");
    ASSERT_NE(on_log, nullptr);
    ynet_debug_stream = on_log;
    ynet_failure("ynet_test", 12, "f", 12);
    EXPECT_EQ(count(log(), "ynet_test.12: Function failed"), 1u);
    EXPECT_EQ(count(fd_lines(), "ynet_test.12: Function failed"), 1u);
    // A line the log did not take is the stream's to write.
    ynet_debug_value("ynet_test", 13, "f", "v", "t", 0);
    EXPECT_EQ(count(log(), "ynet_test.13: v: t"), 1u);
    EXPECT_EQ(count(log(), "\nynet_test.13: v: t\n"), 1u);  // the plain form
    ynet_debug_stream = stream_;
    std::fclose(on_log);
    debugFD = -1;
}

TEST_F(Sinks, StreamOnTheDebugDescriptorSkipsLoggedLines) {
    FILE *on_pipe = fdopen(::dup(pipe_[1]), "w");
    ASSERT_NE(on_pipe, nullptr);
    // Same descriptor number as ynet_debug_fd.
    ynet_debug_fd = fileno(on_pipe);
    ynet_debug_stream = on_pipe;
    ynet_failure("ynet_test", 20, "f", 3);
    std::string raw = fd_lines();
    EXPECT_EQ(count(raw, "ynet_test.20: Function failed: 3 0x00000003"), 1u);
    EXPECT_EQ(count(raw, "<2> f: ynet_test.20"), 1u);
    // Without the log the line is not logged, so the stream writes it too.
    int log_fd = debugFD;
    debugFD = -1;
    ynet_failure("ynet_test", 21, "f", 3);
    raw = fd_lines();
    EXPECT_EQ(count(raw, "ynet_test.21: Function failed: 3 0x00000003\n"), 2u);
    debugFD = log_fd;
    ynet_debug_stream = stream_;
    ynet_debug_fd = pipe_[1];
    std::fclose(on_pipe);
}

TEST_F(Sinks, NoSinksNoOutputAndErrnoKept) {
    int closed = ::dup(0);
    ::close(closed);
    ynet_debug_fd = closed;  // the write fails; nobody hears of it
    ynet_debug_stream = nullptr;
    int log_fd = debugFD;
    debugFD = -1;
    errno = EMFILE;
    ynet_failure("ynet_test", 30, "f", 1);
    fd_message("direct", "f");
    EXPECT_EQ(errno, EMFILE);
    debugFD = log_fd;
    EXPECT_EQ(log(), "");
    ynet_debug_fd = -1;
    static int writes = 0;
    writes = 0;
    yq::sys::table.write = [](int, const void *, size_t n) -> ssize_t {
        ++writes;
        return static_cast<ssize_t>(n);
    };
    fd_message("nothing", "f");
    EXPECT_EQ(writes, 0);
}

TEST_F(Sinks, ExhaustedMemoryDropsLinesQuietly) {
    // The descriptor alone: allocations 1 and 2 make the message (buffer,
    // formatter), 3 and 4 the descriptor's line; any of them failing drops it.
    int log_fd = debugFD;
    debugFD = -1;
    ynet_debug_stream = nullptr;
    const std::string message = ": Function failed: 8 0x00000008\n";
    for (long k = 1; k <= 5; ++k) {
        {
            yqtest::AllocFailer fail(k);
            ynet_failure("ynet_test", 40, "f", 8);
        }
        EXPECT_EQ(count(fd_lines(), "ynet_test.40" + message), k == 5 ? 1u : 0u) << k;
    }
    debugFD = log_fd;
    ynet_debug_stream = stream_;

    // All sinks: whatever fails, a sink gets the whole line or nothing.
    long points = yqtest::for_each_alloc_failure([this, &message] {
        ynet_failure("ynet_test", 41, "f", 8);
        for (const std::string &out : {log(), fd_lines(), stream()}) {
            size_t partial = count(out, "ynet_test.41");
            EXPECT_EQ(count(out, "ynet_test.41" + message), partial);
            EXPECT_LE(partial, 1u);
        }
        std::fflush(stream_);
        EXPECT_EQ(::ftruncate(debugFD, 0), 0);
        EXPECT_EQ(::ftruncate(fileno(stream_), 0), 0);
        std::rewind(stream_);
    });
    EXPECT_GE(points, 4);
    // Level 4 also reloads the configuration; under the sanitizers this
    // checks that no failure point leaks or crashes.
    yqtest::for_each_alloc_failure([] {
        ynet_debug_dump("ynet_test", 42, "f", "dump", reinterpret_cast<const unsigned char *>("ab"), 2);
    });
}

TEST_F(Sinks, LongTextsAndMissingNames) {
    std::string text(5000, 'x');
    ynet_debug_value_level("ynet_test", 50, "f", "big", text.c_str(), 0, 0);
    EXPECT_EQ(count(stream(), "ynet_test.50: big: " + text + "\n"), 1u);
    EXPECT_EQ(count(fd_lines(), "ynet_test.50: big: " + text + "\n"), 1u);
    EXPECT_EQ(count(log(), "ynet_test.50: big: xxx"), 1u);  // the log cuts it

    ynet_debug_value_level(nullptr, 51, nullptr, nullptr, nullptr, 5, 0);
    EXPECT_NE(stream().find("?.51: ?: 5 0x00000005\n"), std::string::npos);
    EXPECT_NE(fd_lines().find("<2> ?: ?.51: ?: 5 0x00000005\n"), std::string::npos);
}

// fd_message against a fixed clock: the time fields, the pid, the 31
// character cut of the function name, and one write per line.
int g_fd_writes = 0;
int fixed_clock(struct timeval *tv, void *) {
    tv->tv_sec = 1079517903;  // any instant; the expected fields come from localtime
    tv->tv_usec = 42999;
    return 0;
}

TEST_F(Sinks, DescriptorLineFormat) {
    yq::sys::table.gettimeofday = fixed_clock;
    g_fd_writes = 0;
    yq::sys::table.write = [](int fd, const void *b, size_t n) -> ssize_t {
        if (fd == ynet_debug_fd) ++g_fd_writes;
        return ::write(fd, b, n);
    };
    time_t at = 1079517903;
    struct tm local{};
    localtime_r(&at, &local);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.042", local.tm_hour, local.tm_min,
                  local.tm_sec);
    const std::string pid = "[" + std::to_string(getpid()) + "]";

    fd_message("hello", "main");
    EXPECT_EQ(fd_lines(), std::string(stamp) + " " + pid + " <2> main: hello\n");
    EXPECT_EQ(g_fd_writes, 1);

    const std::string long_name(40, 'n');
    fd_message("m", long_name.c_str());
    EXPECT_EQ(fd_lines(), std::string(stamp) + " " + pid + " <2> " + std::string(31, 'n') + ": m\n");
    EXPECT_EQ(g_fd_writes, 2);
}

TEST_F(Sinks, DumpFormats) {
    unsigned char data[64];
    for (int i = 0; i < 64; ++i) data[i] = static_cast<unsigned char>(i * 17);
    auto hex = [&](int from, int to) {
        std::string s;
        char two[3];
        for (int i = from; i < to; ++i) {
            std::snprintf(two, sizeof two, "%02x", data[i]);
            s += two;
        }
        return s;
    };
    ynet_debug_dump("ynet_test", 60, "f", "hash", data, 20);
    ynet_debug_dump("ynet_test", 61, "f", "hash", data, 50);
    ynet_debug_dump("ynet_test", 62, "f", "hash", data, 48);
    ynet_debug_dump("ynet_test", 63, "f", "hash", data, 16);
    ynet_debug_dump("ynet_test", 64, "f", "hash", data, 0);
    ynet_debug_dump("ynet_test", 65, "f", "hash", data, -4);
    ynet_debug_dump("ynet_test", 66, "f", "hash", nullptr, 10);
    const std::string expected =
        "ynet_test.60: hash: " + hex(0, 16) + " " + hex(16, 20) + "\n" +
        "ynet_test.61: hash: " + hex(0, 16) + " " + hex(16, 32) + " " + hex(32, 48) + "...\n" +
        "ynet_test.62: hash: " + hex(0, 16) + " " + hex(16, 32) + " " + hex(32, 48) + "\n" +
        "ynet_test.63: hash: " + hex(0, 16) + "\n" +
        "ynet_test.64: hash: \n" + "ynet_test.65: hash: \n" + "ynet_test.66: hash: \n";
    EXPECT_EQ(stream(), expected);
    EXPECT_EQ(hex(0, 3), "001122");
    EXPECT_EQ(count(log(), "ynet_test.6"), 0u);  // dumps are level 4
}

// The status numbers are a wire and file contract: pinned here.
TEST(StatusTable, NumbersAreFixed) {
    const std::pair<int, int> pinned[] = {
        {YN_STATUS_SUCCESS, 0},
        {YN_STATUS_BAD_VALUE, 1},
        {YN_STATUS_NULL_POINTER, 2},
        {YN_STATUS_BAD_FORMAT, 3},
        {YN_STATUS_NO_CACHE_SLOT, 4},
        {YN_STATUS_LOOKUP_FAILED_BEFORE, 5},
        {YN_STATUS_HOST_NOT_FOUND, 6},
        {YN_STATUS_SERVICE_NOT_FOUND, 7},
        {YN_STATUS_NO_MEMORY, 8},
        {YN_STATUS_READ_FAILED, 9},
        {YN_STATUS_SOCKET_ERROR, 10},
        {YN_STATUS_TIMEOUT, 11},
        {YN_STATUS_WRITE_FAILED, 12},
        {YN_STATUS_HASH_MISMATCH, 13},
        {YN_STATUS_DESCRIPTOR_PASSING_FAILED, 14},
        {YN_STATUS_UNIX_BIND_FAILED, 15},
        {YN_STATUS_LISTEN_FAILED, 16},
        {YN_STATUS_ACCEPT_FAILED, 17},
        {YN_STATUS_ADDRESS_IN_USE, 18},
        {YN_STATUS_FILE_OPEN_FAILED, 19},
        {YN_STATUS_FORK_FAILED, 20},
        {YN_STATUS_NOT_ADMINISTRATOR, 21},
        {YN_STATUS_INVALID_ARGUMENT, 22},
        {YN_STATUS_VERSION_MISMATCH, 24},
        {YN_STATUS_STAT_FAILED, 26},
        {YN_STATUS_CHMOD_FAILED, 27},
        {YN_STATUS_CHOWN_FAILED, 28},
        {YN_STATUS_RENAME_FAILED, 29},
        {YN_STATUS_TEXT_FILE_ERROR, 30},
        {YN_STATUS_NOT_REGISTERED, 31},
        {YN_STATUS_CHILD_FAILED, 32},
        {YN_STATUS_BAD_DIRECTORY, 33},
        {YN_STATUS_MKDIR_FAILED, 34},
        {YN_STATUS_NO_CREDENTIALS, 35},
        {YN_STATUS_YQSS_FAILED, 36},
        {YN_STATUS_PEER_REQUIRES_YQSS, 37},
        {YN_STATUS_YQSS_REFUSED, 38},
        {YN_STATUS_YQSS_USED, 39},
        {YN_STATUS_YQSS_NOT_USED, 40},
    };
    for (auto [constant, number] : pinned) EXPECT_EQ(constant, number);
}

TEST(StatusTable, TextFileStatuses) {
    const int expected[] = {0, 30, 30, 27, 28, 30, 8, 19, 29, 26, 12};
    for (int text = 0; text <= 10; ++text)
        EXPECT_EQ(ynet_text_to_net_status(text), expected[text]) << text;
    EXPECT_EQ(ynet_text_to_net_status(-1), YN_STATUS_TEXT_FILE_ERROR);
    EXPECT_EQ(ynet_text_to_net_status(11), YN_STATUS_TEXT_FILE_ERROR);
    EXPECT_EQ(ynet_text_to_net_status(27), YN_STATUS_TEXT_FILE_ERROR);
}

}  // namespace
