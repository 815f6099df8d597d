// Per-program daily debug logs: "<log dir>/<program>/log.MMDDYY", one line per
// message, reopened at the first line of a new day.
#include "logging.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "cmnutils.h"
#include "cmnutils_private.h"
#include "logging_private.h"
#include "yq_memory.h"
#include "yq_paths.h"
#include "yq_sys.h"
#include "ystrings.h"

extern "C" {

int debugFD = -1;
int g_ppid = 0;
int Auto_Recycle_Logs = 0;
int zero_write_tries = 5;
char logdir1[1025] = "";
char logdir2[1025] = "";
int log_mode1 = 0;
int log_mode2 = 0;
int logfd1 = -1;
int logfd2 = -1;
int log_day = 0;

}  // extern "C"

namespace {

// Result of a writer whose writes keep writing nothing.
constexpr int kZeroWritesExhausted = 27;

// Message text of logmsg; longer messages are cut to 965 characters.
constexpr size_t kMessageSize = 1025;
constexpr size_t kMessageCut = 965;

// Line buffers of the writers.
constexpr size_t kDebugLineSize = 4096;
// The text of a debug line is cut at this many bytes, and the time and
// process ids before it need at most this much room.
constexpr size_t kDebugTextCut = 4072;
constexpr size_t kLinePrefixRoom = 64;
constexpr size_t kTimeLineSize = 2671;
constexpr size_t kTimeIdLineSize = 2735;

// Directories are created with this mode when a log is opened in a new one.
constexpr int kLogDirMode = 0655;
// open_logging_file creates its files with this mode.
constexpr int kLoggingFileMode = 0655;

const char *or_blank(const char *text) { return text != nullptr ? text : " "; }

struct Clock {
    struct tm tm;
    int millis;
};

// localtime_r takes a lock and consults the zone rules on every call, and a
// busy log writes many lines a second: each thread keeps the conversion of
// the last second it asked for.
struct tm local(time_t t) {
    thread_local time_t converted = -1;
    thread_local struct tm tm{};
    if (t != converted) {
        if (localtime_r(&t, &tm) == nullptr) std::memset(&tm, 0, sizeof tm);
        converted = t;
    }
    return tm;
}

// Writes value in decimal with at least `digits` digits ("%0*d" for the
// non-negative numbers of a time, "%d" with 1); returns the end.
char *put_decimal(char *at, long value, int digits) {
    char reversed[24];
    int n = 0;
    unsigned long magnitude = value < 0 ? 0UL - static_cast<unsigned long>(value)
                                        : static_cast<unsigned long>(value);
    do {
        reversed[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    while (n < digits) reversed[n++] = '0';
    if (value < 0) *at++ = '-';
    while (n > 0) *at++ = reversed[--n];
    return at;
}

// getpid is a system call every time: the id is kept, and forgotten in the
// child of every fork so that a child logs its own.
int g_pid = 0;
int process_id() {
    static std::once_flag registered;
    std::call_once(registered, [] { ::pthread_atfork(nullptr, nullptr, [] { g_pid = 0; }); });
    if (g_pid == 0) g_pid = static_cast<int>(::getpid());
    return g_pid;
}

// Local time with milliseconds (microseconds / 1000, truncated).
Clock now_precise() {
    struct timeval tv{};
    yq::sys::gettimeofday(&tv);
    return {local(tv.tv_sec), static_cast<int>(tv.tv_usec / 1000)};
}

struct tm now_seconds() { return local(yq::sys::time(nullptr)); }

// Writes a line formatted by the bounded formatter; n is its result. The
// formatter needs a scratch buffer, and without one there is no line.
int write_line(int fd, const char *line, int n) {
    if (n < 0) return ENOMEM;
    return yq::logging::write_all(fd, line, std::strlen(line));
}

// Remembers dir in the first free slot. A slot is free only when empty, so
// opening the remembered directory again (as the daily reopening does) takes
// the second slot while it is free.
void remember_dir(const char *dir, int mode) {
    if (logdir1[0] == '\0') {
        Y_strlcpy(logdir1, dir, sizeof logdir1);
        log_mode1 = mode;
    } else if (logdir2[0] == '\0') {
        Y_strlcpy(logdir2, dir, sizeof logdir2);
        log_mode2 = mode;
    }
}

// Closes the log of a slot and opens today's file in the same directory;
// debugFD and the slot follow the new descriptor (-1 on failure).
int reopen_slot(const char *slot_dir, int mode, int &slot_fd) {
    ::close(slot_fd);
    debugFD = -1;
    char dir[sizeof logdir1];
    Y_strlcpy(dir, slot_dir, sizeof dir);
    int err = 0;
    int fd = open_log(dir, mode, &err);
    slot_fd = fd;
    debugFD = fd;
    if (fd < 0) return err != 0 ? err : EIO;
    return 0;
}

// Joins "logparams: " (when given) and every argument followed by a space
// into a new string, or null when memory runs out.
yq::unique_malloc<char> join_params(const char *head, int argc, char **argv) {
    size_t size = std::strlen(head) + 1;
    for (int i = 0; argv != nullptr && i < argc; ++i)
        size += (argv[i] != nullptr ? std::strlen(argv[i]) : 0) + 1;
    yq::unique_malloc<char> text(static_cast<char *>(yq::sys::malloc(size)));
    if (!text) return text;
    Y_strlcpy(text.get(), head, size);
    for (int i = 0; argv != nullptr && i < argc; ++i) {
        if (argv[i] != nullptr) Y_strlcat(text.get(), argv[i], size);
        Y_strlcat(text.get(), " ", size);
    }
    return text;
}

}  // namespace

namespace yq::logging {

// A write of nothing is retried after a second, but only as often as the
// process-wide budget allows: a log on a full or stuck device must not hang
// its program forever.
int write_all(int fd, const char *buf, size_t len) noexcept {
    size_t done = 0;
    while (done < len) {
        ssize_t n = yq::sys::write(fd, buf + done, len - done);
        if (n < 0) return errno;
        if (n == 0) {
            if (zero_write_tries <= 0) return kZeroWritesExhausted;
            --zero_write_tries;
            yq::sys::sleep(1);
            continue;
        }
        done += static_cast<size_t>(n);
    }
    return 0;
}

void forget_descriptor(int fd) noexcept {
    if (fd < 0) return;
    if (fd == logfd2) {
        logfd2 = -1;
        logdir2[0] = '\0';
    } else if (fd == logfd1) {
        logfd1 = -1;
        logdir1[0] = '\0';
    }
    if (fd == debugFD) debugFD = -1;
}

}  // namespace yq::logging

extern "C" {

int open_log(const char *dir, int mode, int *err) noexcept {
    int scratch_err = 0;
    if (err == nullptr) err = &scratch_err;
    if (dir == nullptr || dir[0] == '\0') {
        *err = EINVAL;
        return -1;
    }
    if (::access(dir, F_OK) != 0 && mkdirpath(dir, kLogDirMode, err) != 0) return -1;

    struct tm tm = now_seconds();
    int year = tm.tm_year;
    if (year >= 100) year -= 100;
    log_day = tm.tm_yday;

    remember_dir(dir, mode);

    char path[PATH_MAX];
    int n = Y_snprintf(path, sizeof path, "%s%slog.%02d%02d%02d", dir, "/", tm.tm_mon + 1,
                       tm.tm_mday, year);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path) {
        *err = n < 0 ? ENOMEM : ENAMETOOLONG;
        return -1;
    }

    // The caller's mode is the file's mode, whatever the process umask says.
    // Close-on-exec is set by the open itself, so no child started in between
    // can inherit the log.
    int fd;
    {
        yq::cmnutils::UmaskGuard mask(0);
        fd = yq::sys::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, static_cast<mode_t>(mode));
    }
    if (fd < 0) {
        *err = errno;
        return -1;
    }

    if (std::strcmp(dir, logdir1) == 0)
        logfd1 = fd;
    else if (std::strcmp(dir, logdir2) == 0)
        logfd2 = fd;
    return fd;
}

int open_debug_file(const char *name, int mode, int *err) noexcept {
    int scratch_err = 0;
    if (err == nullptr) err = &scratch_err;
    *err = 0;
    if (name == nullptr) {
        *err = EINVAL;
        return -1;
    }
    char dir[sizeof logdir1];
    int n = Y_snprintf(dir, sizeof dir, "%s%s%s", YQ_PATH_LOG_DIR, "/", name);
    if (n < 0 || static_cast<size_t>(n) >= sizeof dir) {
        *err = n < 0 ? ENOMEM : ENAMETOOLONG;
        return -1;
    }
    return open_log(dir, mode, err);
}

FILE *open_logging_file(const char *dir) noexcept {
    Auto_Recycle_Logs = 1;
    // Unlike open_log, the directory must already be there.
    struct stat st{};
    if (dir == nullptr || ::stat(dir, &st) != 0) return nullptr;
    int err = 0;
    int fd = open_log(dir, kLoggingFileMode, &err);
    if (fd < 0) {
        errno = err;
        return nullptr;
    }
    debugFD = fd;
    yq::unique_fd owned(fd);
    yq::unique_file stream = yq::take_fdopen(owned, "a");
    if (!stream) {
        // No stream, no log: nothing may keep pointing at the descriptor.
        yq::ErrnoGuard keep;
        yq::logging::forget_descriptor(fd);
        owned.reset();
    }
    return stream.release();
}

void close_logging_file(FILE **stream) noexcept {
    if (stream == nullptr || *stream == nullptr) return;
    yq::logging::forget_descriptor(::fileno(*stream));
    std::fclose(*stream);
    *stream = nullptr;
}

int debuglog(int fd, const char *text) noexcept {
    if (fd < 0) return -1;
    Clock c = now_precise();

    if (c.tm.tm_yday != log_day && Auto_Recycle_Logs == 1 && fd == debugFD) {
        int err = 0;
        if (fd == logfd1)
            err = reopen_slot(logdir1, log_mode1, logfd1);
        else if (fd == logfd2)
            err = reopen_slot(logdir2, log_mode2, logfd2);
        if (err != 0) return err;
        fd = debugFD;
    }

    // "%02d:%02d:%02d.%03d [%d] %-.4072s\n" ("[%d.%d]" with g_ppid), cut to
    // what a buffer of kDebugLineSize holds: assembled by hand, since this is
    // every line of every debug log and the text is formatted already.
    const struct tm &t = c.tm;
    char line[kDebugLineSize + kLinePrefixRoom];
    char *at = put_decimal(line, t.tm_hour, 2);
    *at++ = ':';
    at = put_decimal(at, t.tm_min, 2);
    *at++ = ':';
    at = put_decimal(at, t.tm_sec, 2);
    *at++ = '.';
    at = put_decimal(at, c.millis, 3);
    *at++ = ' ';
    *at++ = '[';
    if (g_ppid != 0) {
        at = put_decimal(at, g_ppid, 1);
        *at++ = '.';
    }
    at = put_decimal(at, process_id(), 1);
    *at++ = ']';
    *at++ = ' ';
    const char *body = or_blank(text);
    const size_t length = ::strnlen(body, kDebugTextCut);
    std::memcpy(at, body, length);
    at += length;
    *at++ = '\n';
    const size_t size = std::min(static_cast<size_t>(at - line), kDebugLineSize - 1);
    return yq::logging::write_all(fd, line, size);
}

int logwithdate(int fd, const char *text) noexcept {
    if (fd < 0) return -1;
    Clock c = now_precise();
    const struct tm &t = c.tm;
    char line[kDebugLineSize];
    int n = Y_snprintf(line, sizeof line, "%04d/%02d/%02d %02d:%02d:%02d.%03d [%d] %-.4062s\n",
                       t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                       c.millis, process_id(), or_blank(text));
    return write_line(fd, line, n);
}

int logwithtime(int fd, const char *text) noexcept {
    if (fd < 0) return -1;
    struct tm t = now_seconds();
    char line[kTimeLineSize];
    int n = Y_snprintf(line, sizeof line, "%-.02d:%-.02d:%-.02d %-.2660s\n", t.tm_hour, t.tm_min,
                       t.tm_sec, or_blank(text));
    return write_line(fd, line, n);
}

int logwithtime_and_id(int fd, const char *id, const char *text) noexcept {
    if (fd < 0) return -1;
    struct tm t = now_seconds();
    char line[kTimeIdLineSize];
    int n = Y_snprintf(line, sizeof line, "%-.02d:%-.02d:%-.02d (%s) %-.2660s\n", t.tm_hour,
                       t.tm_min, t.tm_sec, or_blank(id), or_blank(text));
    return write_line(fd, line, n);
}

int logwithoutdate(int fd, const char *text) noexcept {
    if (fd < 0) return -1;
    text = or_blank(text);
    return yq::logging::write_all(fd, text, std::strlen(text));
}

int logmsg(int level, const char *message, const char *function) noexcept {
    if (debugFD == -1) return -1;
    if (message == nullptr) message = "?";
    if (function == nullptr) function = "?";
    char text[kMessageSize];
    int n;
    if (::strnlen(message, kMessageCut) >= kMessageCut)
        n = Y_snprintf(text, sizeof text, "<%d> %.31s: %.965s...", level, function, message);
    else
        n = Y_snprintf(text, sizeof text, "<%d> %s: %s", level, function, message);
    if (n < 0) return ENOMEM;
    return debuglog(debugFD, text);
}

int logparams(int argc, char **argv) noexcept {
    yq::unique_malloc<char> text = join_params("", argc, argv);
    if (!text) return -1;
    logmsg(2, text.get(), "logparams");
    return 0;
}

int logparamswithdate(int argc, char **argv) noexcept {
    yq::unique_malloc<char> text = join_params("logparams: ", argc, argv);
    if (!text) return -1;
    logwithdate(debugFD, text.get());
    return 0;
}

}  // extern "C"
