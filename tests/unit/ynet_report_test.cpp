// Reporters: the exact line each sink gets with the clock standing still, the verbosity
// (from the real configuration library) that filters the log, no file getting a line twice.
#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <iterator>
#include <sstream>

#include "crconf.h"
#include "logging.h"
#include "ynet.h"
#include "ynet_private.h"
#include "yq_paths.h"
#include "yqtest.h"
#include "yqtest_clock.h"
#include "yqtest_report.h"
#include "yqtest_wire.h"

namespace {

namespace fs = std::filesystem;

// Each cw.conf is newer than the record loaded from the one before.
time_t g_conf_time = 1600000000;
void set_verbosity(int level) {
    for (const char *path : {YQ_PATH_CRCONF_LIB, YQ_PATH_CW_CONF}) fs::create_directories(fs::path(path).parent_path());
    fs::copy_file(YCRCONF_LIB, YQ_PATH_CRCONF_LIB, fs::copy_options::skip_existing);
    yqtest::write_file_dated(YQ_PATH_CW_CONF, "VERBOSE = " + std::to_string(level) + "\n", ++g_conf_time);
}

// Sockets as the debug log and as ynet_debug_fd; the clock stands still.
class Sinks : public ::testing::Test {
protected:
    Sinks() {
        debugFD = log_.mine.get();
        ynet_debug_fd = socket_.mine.get();
        char hms[16];
        std::strftime(hms, sizeof hms, "%H:%M:%S", std::localtime(&yqtest::FakeClock::seconds));
        stamp_ = std::string(hms) + ".042 [" + std::to_string(::getpid()) + "] <2> ";
    }
    ~Sinks() override {
        ynet_debug_fd = debugFD = -1;
        crconf_free_info(&yq::ynet_private::crconf_info);
    }
    // What each got since the last look (less the configuration glue's own reports).
    std::string log() {
        std::istringstream all(yqtest::wire::drain(log_.peer.get()));
        std::string kept;
        for (std::string line; std::getline(all, line);)
            if (line.find("crconf_glue.") == std::string::npos) kept += line + "\n";
        return kept;
    }
    std::string fd() { return yqtest::wire::drain(socket_.peer.get()); }
    std::string stamped(const std::string &function, const std::string &message) {
        return stamp_ + function + ": " + message + "\n";
    }

    yqtest::FakeClock clock{1079517903, 42999};
    std::string stamp_;
    yqtest::wire::Pair log_ = yqtest::wire::unix_pair(), socket_ = yqtest::wire::unix_pair();
};

TEST_F(Sinks, LinesAndTheirShapes) {
    const std::string filler(64, '\xaa'), big(5000, 'x'), long_name(40, 'n');
    const unsigned char digits[] = {0x01, 0xab, 0xf0}, *aa = reinterpret_cast<const unsigned char *>(filler.data());
    auto x = [](int bytes) { return std::string(2 * static_cast<size_t>(bytes), 'a'); };
    auto dump = [](int n, const unsigned char *data) { return [=] { ynet_debug_dump("m", n, "f", "hash", data, n); }; };
    struct Row { const char *what; std::function<void()> call; std::string function, message; bool logged; };
    const Row rows[] = {
        {"failure", [] { ynet_failure("ynet_test", 120, "caller", 12); }, "caller", "ynet_test.120: Function failed: 12 0x0000000c", true},
        {"-1", [] { ynet_debug_value_level("m", 7, "f", "v", nullptr, -1, 0); }, "f", "m.7: v: -1 0xffffffff", true},
        {"below 0 always passes", [] { ynet_debug_value_level("m", 8, "f", "n", "h", 99, -3); }, "f", "m.8: n: h", true},
        {"missing names", [] { ynet_debug_value_level(nullptr, 9, nullptr, nullptr, nullptr, 5, 0); }, "?", "?.9: ?: 5 0x00000005", true},
        {"level 4, no configuration", [] { ynet_debug_value("m", 10, "f", "h", "ab", 0); }, "f", "m.10: h: ab", false},
        {"long text", [&] { ynet_debug_value("m", 11, "f", "big", big.c_str(), 0); }, "f", "m.11: big: " + big, false},
        {"the descriptor cuts the function name to 31", [&] { ynet_debug_value("m", 12, long_name.c_str(), "v", "t", 0); },
         std::string(31, 'n'), "m.12: v: t", false},
        {"dump digits", dump(3, digits), "f", "m.3: hash: 01abf0", false},
        {"dump of 20", dump(20, aa), "f", "m.20: hash: " + x(16) + " " + x(4), false},
        {"dump of 50", dump(50, aa), "f", "m.50: hash: " + x(16) + " " + x(16) + " " + x(16) + "...", false},
        {"dump of 0", dump(0, aa), "f", "m.0: hash: ", false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        yqtest::Reports stream;
        errno = ENOSPC;
        row.call();
        EXPECT_EQ(errno, ENOSPC);
        EXPECT_EQ(log(), row.logged ? stamped(row.function, row.message) : "");
        EXPECT_EQ(fd(), stamped(row.function, row.message));
        EXPECT_EQ(stream.text(), row.message + "\n");
    }
}

TEST_F(Sinks, VerbosityFiltersTheLogOnly) {
    struct Row { const char *what; int verbose, level; bool logged; };  // verbose -1: no library
    const Row rows[] = {
        {"no record", -1, 4, false}, {"below", 3, 4, false}, {"at", 3, 3, true},      {"equal", 4, 4, true},
        {"above", 5, 4, true},       {"too verbose", 4, 5, false}, {"back to 0", 0, 1, false}, {"level 0", 0, 0, true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        if (row.verbose >= 0) set_verbosity(row.verbose);
        row.level == 4 ? ynet_debug_value("m", 4, "f", "port", nullptr, 13724)
                       : ynet_debug_value_level("m", 4, "f", "port", nullptr, 13724, row.level);
        EXPECT_EQ(log(), row.logged ? stamped("f", "m.4: port: 13724 0x0000359c") : "");
        EXPECT_EQ(fd(), stamped("f", "m.4: port: 13724 0x0000359c"));
    }
}

TEST_F(Sinks, NoFileGetsALineTwice) {
    // Where ynet_debug_fd and the stream point; what log, socket, memory stream then hold.
    enum Where { None, Log, Socket, Memory };
    struct Row { const char *what; Where fd, stream; int level; std::string log, socket, memory; };
    const std::string message = "m.3: v: 7 0x00000007", S = stamped("f", message), P = message + "\n";
    const Row rows[] = {
        {"descriptor on the log, logged", Log, Memory, 0, S, "", P},
        {"descriptor on the log, not logged", Log, Memory, 4, S, "", P},
        {"stream on the log, logged", Socket, Log, 0, S, S, ""},
        {"stream on the log, not logged", Socket, Log, 4, P, S, ""},
        {"stream on the descriptor, logged", Socket, Socket, 0, S, S, ""},
        {"stream on the descriptor, not logged", Socket, Socket, 4, "", S + P, ""},
        {"stream without a descriptor, logged", None, Memory, 0, S, "", P},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        yqtest::Reports memory;
        yq::unique_file shared;
        if (row.stream != Memory) {  // a stream on a second descriptor that takes the sink's place
            int &sink = row.stream == Log ? debugFD : ynet_debug_fd;
            shared.reset(fdopen(::dup(sink), "a"));
            ynet_debug_stream = shared.get();
            sink = fileno(shared.get());
        }
        if (row.fd != Socket) ynet_debug_fd = row.fd == Log ? debugFD : -1;
        ynet_debug_value_level("m", 3, "f", "v", nullptr, 7, row.level);
        ynet_debug_fd = socket_.mine.get();
        debugFD = log_.mine.get();
        EXPECT_EQ(log(), row.log);
        EXPECT_EQ(fd(), row.socket);
        EXPECT_EQ(memory.text(), row.memory);
    }
}

TEST(TextStatus, Conversion) {
    const int from_text[] = {30, 0, 30, 30, 27, 28, 30, 8, 19, 29, 26, 12, 30};  // text status -1 to 11
    for (int text = -1; text <= 11; ++text) EXPECT_EQ(ynet_text_to_net_status(text), from_text[text + 1]) << text;
}

// The numbers are the interface callers compare against: pinned, in order.
TEST(Statuses, NumbersAreFixed) {
    const int names[] = {
        YN_STATUS_SUCCESS, YN_STATUS_BAD_VALUE, YN_STATUS_NULL_POINTER, YN_STATUS_BAD_FORMAT,
        YN_STATUS_NO_CACHE_SLOT, YN_STATUS_LOOKUP_FAILED_BEFORE, YN_STATUS_HOST_NOT_FOUND,
        YN_STATUS_SERVICE_NOT_FOUND, YN_STATUS_NO_MEMORY, YN_STATUS_READ_FAILED, YN_STATUS_SOCKET_ERROR,
        YN_STATUS_TIMEOUT, YN_STATUS_WRITE_FAILED, YN_STATUS_HASH_MISMATCH,
        YN_STATUS_DESCRIPTOR_PASSING_FAILED, YN_STATUS_UNIX_BIND_FAILED, YN_STATUS_LISTEN_FAILED,
        YN_STATUS_ACCEPT_FAILED, YN_STATUS_ADDRESS_IN_USE, YN_STATUS_FILE_OPEN_FAILED,
        YN_STATUS_FORK_FAILED, YN_STATUS_NOT_ADMINISTRATOR, YN_STATUS_INVALID_ARGUMENT,
        YN_STATUS_VERSION_MISMATCH, YN_STATUS_STAT_FAILED, YN_STATUS_CHMOD_FAILED,
        YN_STATUS_CHOWN_FAILED, YN_STATUS_RENAME_FAILED, YN_STATUS_TEXT_FILE_ERROR,
        YN_STATUS_NOT_REGISTERED, YN_STATUS_CHILD_FAILED, YN_STATUS_BAD_DIRECTORY,
        YN_STATUS_MKDIR_FAILED, YN_STATUS_NO_CREDENTIALS, YN_STATUS_YQSS_FAILED,
        YN_STATUS_PEER_REQUIRES_YQSS, YN_STATUS_YQSS_REFUSED, YN_STATUS_YQSS_USED,
        YN_STATUS_YQSS_NOT_USED};
    const int numbers[] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16, 17, 18, 19,
                           20, 21, 22, 24, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40};
    static_assert(std::size(names) == std::size(numbers));
    for (size_t i = 0; i < std::size(names); ++i) EXPECT_EQ(names[i], numbers[i]) << "entry " << i;
}

}  // namespace
