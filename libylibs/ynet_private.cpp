// Failure and debug reporting for the connection modules. One report becomes
// one line in up to three places: the program's debug log (filtered by the
// configured verbosity), the raw descriptor ynet_debug_fd (every line, with
// its own time stamp) and the stream ynet_debug_stream (every line, plain).
// A line is never written twice to the same file.
#include "ynet_private.h"

#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string_view>

#include "logging.h"
#include "yq_sys.h"
#include "ystrings.h"
#include "yq_memory.h"

int ynet_debug_fd = -1;
FILE *ynet_debug_stream = nullptr;

namespace yq::ynet_private {

crconf_info_rec *crconf_info = nullptr;

}  // namespace yq::ynet_private

namespace {

using yq::ErrnoGuard;

using Buffer = yq::unique_malloc<char>;

Buffer allocate(size_t size) { return Buffer(static_cast<char *>(yq::sys::malloc(size))); }

// Reporters are called on failure paths; a missing name must not turn a
// report into a crash.
const char *or_unknown(const char *s) { return s != nullptr ? s : "?"; }

// Messages above level 0 pass to the debug log only up to the configured
// verbosity; without a configuration record nothing above 0 passes.
int verbosity_for(int level) {
    if (level <= 0) return 0;
    auto *&info = yq::ynet_private::crconf_info;
    crconf_get_info(&info);
    return info != nullptr ? info->ni_verbose : 0;
}

constexpr int kHexBytes = 48;
constexpr size_t kDumpText = 256;

}  // namespace

extern "C" void fd_message(const char *message, const char *function) noexcept {
    if (ynet_debug_fd == -1) return;
    ErrnoGuard keep_errno;
    message = or_unknown(message);
    size_t size = std::strlen(message) + 1024;
    Buffer line = allocate(size);
    if (!line) return;

    struct timeval now{};
    yq::sys::gettimeofday(&now);
    time_t seconds = now.tv_sec;
    struct tm local{};
    localtime_r(&seconds, &local);
    if (Y_snprintf(line.get(), size, "%02d:%02d:%02d.%03d [%d] <%d> %.31s: %s\n", local.tm_hour,
                   local.tm_min, local.tm_sec, static_cast<int>(now.tv_usec / 1000),
                   static_cast<int>(getpid()), 2, or_unknown(function), message) < 0)
        return;  // the formatter ran out of memory: the line is dropped
    // One write per line: processes sharing the descriptor never interleave
    // within a line.
    (void)yq::sys::write(ynet_debug_fd, line.get(), std::strlen(line.get()));
}

extern "C" void ynet_debug_value_level(const char *file, int line, const char *function,
                                       const char *label, const char *text, int value,
                                       int level) noexcept {
    // Most programs keep none of the three: a report then costs nothing,
    // not even the look at the configuration for the verbosity.
    if (debugFD == -1 && ynet_debug_fd == -1 && ynet_debug_stream == nullptr) return;
    ErrnoGuard keep_errno;
    file = or_unknown(file);
    function = or_unknown(function);
    label = or_unknown(label);

    int threshold = debugFD != -1 ? verbosity_for(level) : 0;

    size_t size = std::strlen(file) + std::strlen(function) + std::strlen(label) + 1024;
    if (text != nullptr) size += std::strlen(text);
    Buffer message = allocate(size);
    if (!message) return;
    int formatted =
        text != nullptr
            ? Y_snprintf(message.get(), size, "%s.%d: %s: %s", file, line, label, text)
            : Y_snprintf(message.get(), size, "%s.%d: %s: %d 0x%08x", file, line, label, value,
                         static_cast<unsigned>(value));
    if (formatted < 0) return;  // out of memory, as for the buffer itself

    bool logged = false;
    if (level <= threshold && debugFD != -1) {
        logmsg(2, message.get(), function);
        logged = true;
    }
    // The log already holds the line when it shares the debug descriptor.
    if (!(logged && ynet_debug_fd == debugFD)) fd_message(message.get(), function);

    if (ynet_debug_stream != nullptr) {
        // A stream without a descriptor (a memory stream gives -1) shares no
        // file with the other sinks, even when ynet_debug_fd is -1 too.
        int stream_fd = fileno(ynet_debug_stream);
        bool already_there =
            logged && stream_fd != -1 && (stream_fd == ynet_debug_fd || stream_fd == debugFD);
        if (!already_there) {
            std::fprintf(ynet_debug_stream, "%s\n", message.get());
            std::fflush(ynet_debug_stream);
        }
    }
}

extern "C" void ynet_failure(const char *file, int line, const char *function,
                             int status) noexcept {
    ynet_debug_value_level(file, line, function, "Function failed", nullptr, status, 0);
}

extern "C" void ynet_debug_value(const char *file, int line, const char *function,
                                 const char *label, const char *text, int value) noexcept {
    ynet_debug_value_level(file, line, function, label, text, value, 4);
}

extern "C" void ynet_debug_dump(const char *file, int line, const char *function,
                                const char *label, const unsigned char *data,
                                int length) noexcept {
    // Two lower-case digits per byte, as "%02x" gives, written directly: a
    // dump must not depend on the formatter's scratch memory.
    constexpr char kDigits[] = "0123456789abcdef";
    char text[kDumpText] = "";
    int shown = data != nullptr ? std::min(length, kHexBytes) : 0;
    size_t used = 0;
    for (int i = 0; i < shown; ++i) {
        // Groups of 16 bytes keep long hashes readable.
        if (i == 16 || i == 32) text[used++] = ' ';
        text[used++] = kDigits[data[i] >> 4];
        text[used++] = kDigits[data[i] & 0x0f];
    }
    text[used] = '\0';
    if (length > kHexBytes) Y_strlcat(text, "...", sizeof text);
    ynet_debug_value(file, line, function, label, text, 0);
}

namespace yq::report {

FunctionName::FunctionName(const Where &where) noexcept {
    // GCC and clang spell the function with its return type, scope and
    // parameters; the bare name is what stands before the first '(' after the
    // last space or scope separator.
    std::string_view full = where.function_name();
    std::string_view name = full.substr(0, full.find('('));
    size_t cut = name.find_last_of(" :");
    if (cut != std::string_view::npos) name.remove_prefix(cut + 1);
    if (name.empty()) name = full;
    size_t n = std::min(name.size(), sizeof text_ - 1);
    std::memcpy(text_, name.data(), n);
    text_[n] = '\0';
}

int fail(const char *module, int status, const char *label, const Where &where) noexcept {
    FunctionName function(where);
    ynet_debug_value_level(module, static_cast<int>(where.line()), function.c_str(), label,
                           nullptr, status, 0);
    return status;
}

void value(const char *module, const char *label, const char *text, int number, int level,
           const Where &where) noexcept {
    FunctionName function(where);
    ynet_debug_value_level(module, static_cast<int>(where.line()), function.c_str(), label, text,
                           number, level);
}

void dump(const char *module, const char *label, const unsigned char *data, int length,
          const Where &where) noexcept {
    FunctionName function(where);
    ynet_debug_dump(module, static_cast<int>(where.line()), function.c_str(), label, data, length);
}

}  // namespace yq::report
