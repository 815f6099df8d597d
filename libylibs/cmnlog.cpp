// The common log: a severity-masked layer over the debug log that programs
// use for their own messages. It shares debugFD with the debug log.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "cstra.h"
#include "logging.h"
#include "logging_private.h"
#include "misc.h"
#include "yq_memory.h"
#include "yq_sys.h"
#include "ystrings.h"

namespace {

constexpr int kAllSeverities = 63;
constexpr int kParamsSeverity = 4;
constexpr int kAssertSeverity = 32;
constexpr size_t kPathSize = 1025;
constexpr size_t kAssertLineSize = 1024;

// Line buffer for assertion lines; one line at a time, like the rest.
char cmnlogBUF[kAssertLineSize];

bool masked_out(int severity) { return (severity & cmnlogSEVERITY) == 0; }

}  // namespace

extern "C" {

int cmnlogSEVERITY = kAllSeverities;

int cmnlogOPEN(const char *dir, const char *name, int mode) noexcept {
    Auto_Recycle_Logs = 1;
    if (dir == nullptr || name == nullptr) return EINVAL;
    // A path that does not fit would open a different directory than the
    // caller named; refuse it instead.
    char path[kPathSize];
    if (Y_snprintf(path, sizeof path, "%s/%s", dir, name) >= static_cast<int>(sizeof path))
        return ENAMETOOLONG;
    int err = 0;
    debugFD = open_log(path, mode, &err);
    if (debugFD == -1 && err == 0) err = EIO;
    return debugFD == -1 ? err : 0;
}

int cmnlogCLOSE(void) noexcept {
    if (debugFD != -1) {
        int fd = debugFD;
        yq::logging::forget_descriptor(fd);
        ::close(fd);
    }
    return 0;
}

void cmnlogSeveritySET(int mask) noexcept { cmnlogSEVERITY = mask & kAllSeverities; }

void cmnlogARGS(char **args) noexcept {
    if (args == nullptr) return;
    char **values = argValuesGET(args, "-LOGSEVERITY");
    if (values == nullptr) return;
    if (values[0] != nullptr) cmnlogSeveritySET(std::atoi(values[0]));
    cstraFREE(values);
}

int cmnlogMSG(int severity, const char *message, const char *function) noexcept {
    if (debugFD == -1 || masked_out(severity)) return -1;
    return logmsg(severity, message, function);
}

int cmnlogMSGS(int severity, char **messages, const char *function) noexcept {
    if (messages == nullptr || masked_out(severity)) return -1;
    int result = 0;
    for (char **m = messages; *m != nullptr; ++m) {
        result = cmnlogMSG(severity, *m, function);
        if (result != 0) return result;
    }
    return result;
}

int cmnlogPARAMS(char **array) noexcept {
    yq::unique_malloc<char> text(cstraTOcstr(array, " "));
    if (!text) return -1;
    return cmnlogMSG(kParamsSeverity, text.get(), "cmnlogPARAMS");
}

const char *cmnlogASSERT(const char *text, const char *where) noexcept {
    if (text == nullptr || where == nullptr) return text;
    if (debugFD == -1) {
        std::printf("assert %s: %s\n", where, text);
        return text;
    }
    time_t now = yq::sys::time(nullptr);
    struct tm local{};
    localtime_r(&now, &local);
    Y_snprintf(cmnlogBUF, sizeof cmnlogBUF, "%02d:%02d:%02d [%d] <%d> %s: ", local.tm_hour,
               local.tm_min, local.tm_sec, static_cast<int>(::getpid()), kAssertSeverity, where);
    // The prefix as kept (a huge `where` is cut so that a newline still
    // fits), then as much of the text as leaves room for the newline and
    // the terminator.
    size_t used = std::min(std::strlen(cmnlogBUF), sizeof cmnlogBUF - 2);
    size_t keep = std::min(std::strlen(text), sizeof cmnlogBUF - 2 - used);
    std::memcpy(cmnlogBUF + used, text, keep);
    cmnlogBUF[used + keep] = '\n';
    cmnlogBUF[used + keep + 1] = '\0';
    // One write call, whatever it manages: an assertion line must never
    // block or fail its caller.
    (void)yq::sys::write(debugFD, cmnlogBUF, used + keep + 1);
    return text;
}

}  // extern "C"
