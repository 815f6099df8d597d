// Internal to the connection modules: the reporters, the reporters'
// configuration record and the one bracket for blocking calls.
//
// Reporting. Each module names itself once, before using the macros:
//     static constexpr const char *kModule = "ynet_ynetd";
// A failing step reports and returns in one line:
//     if (fd < 0) return YN_FAIL(YN_STATUS_SOCKET_ERROR);          // "Function failed"
//     if (rc != 0) return YN_FAIL_STATUS(rc);                        // label "status"
//     return YN_FAIL_IF(push(...));              // reported only when it failed
// Every reporter evaluates to the status it reports. Intermediate values go
// out with YN_DEBUG_VALUE("label", text, value) (level 4). The line and the
// function reported are those of the macro's caller. A helper or lambda that
// reports on its caller's behalf takes the caller's location instead:
//     int refuse(int status, yq::report::Where where = yq::report::Where::current())
//     { return yq::report::fail(kModule, status, "status", where); }
#ifndef YNET_PRIVATE_H
#define YNET_PRIVATE_H

#include <sys/types.h>

#include <cerrno>
#include <source_location>

#include "crconf.h"
#include "ynet.h"
#include "yq_memory.h"

namespace yq::report {

using Where = std::source_location;

// Label of ynet_failure's reports.
inline constexpr const char *kFunctionFailed = "Function failed";

// The bare name of the function at `where` ("ynet_pop_byte" out of
// "int ynet_pop_byte(int, int*, int)"), as __func__ would give it.
class FunctionName {
public:
    explicit FunctionName(const Where &where) noexcept;
    const char *c_str() const noexcept { return text_; }

private:
    char text_[64];
};

// Reports a failing step at level 0 and returns its status.
int fail(const char *module, int status, const char *label, const Where &where) noexcept;

// Returns `status`, reported as a failing step unless it is success (0).
inline int fail_if(const char *module, int status, const char *label, const Where &where) noexcept {
    return status == 0 ? status : fail(module, status, label, where);
}

// Reports an intermediate value (or a text) at `level`.
void value(const char *module, const char *label, const char *text, int number, int level,
           const Where &where) noexcept;

// Reports up to 48 bytes as hexadecimal digits at level 4.
void dump(const char *module, const char *label, const unsigned char *data, int length,
          const Where &where) noexcept;

}  // namespace yq::report

#define YN_FAIL(status) \
    ::yq::report::fail(kModule, (status), ::yq::report::kFunctionFailed, ::yq::report::Where::current())
#define YN_FAIL_STATUS(status) \
    ::yq::report::fail(kModule, (status), "status", ::yq::report::Where::current())
#define YN_FAIL_IF(status) \
    ::yq::report::fail_if(kModule, (status), ::yq::report::kFunctionFailed, ::yq::report::Where::current())
#define YN_FAIL_STATUS_IF(status) \
    ::yq::report::fail_if(kModule, (status), "status", ::yq::report::Where::current())
#define YN_DEBUG_VALUE(label, text, number) \
    ::yq::report::value(kModule, (label), (text), (number), 4, ::yq::report::Where::current())
#define YN_DEBUG_LEVEL(label, text, number, level) \
    ::yq::report::value(kModule, (label), (text), (number), (level), ::yq::report::Where::current())
#define YN_DEBUG_DUMP(label, data, length) \
    ::yq::report::dump(kModule, (label), (data), (length), ::yq::report::Where::current())

namespace yq::ynet_private {

// The reporters' own configuration record, kept current with crconf_get_info;
// only its verbosity is read. Tests may install a record here directly.
extern crconf_info_rec *crconf_info;

// While it lives, a caller's debug descriptor serves as ynet_debug_fd when
// none was set (the entry points that take a debug_fd argument).
class BorrowedDebugFd {
public:
    explicit BorrowedDebugFd(int fd) noexcept : borrowed_(ynet_debug_fd == -1 && fd != -1) {
        if (borrowed_) ynet_debug_fd = fd;
    }
    ~BorrowedDebugFd() {
        if (borrowed_) ynet_debug_fd = -1;
    }
    BorrowedDebugFd(const BorrowedDebugFd &) = delete;
    BorrowedDebugFd &operator=(const BorrowedDebugFd &) = delete;

private:
    bool borrowed_;
};

}  // namespace yq::ynet_private

namespace yq::ynet_wire {

// The one bracket for blocking calls: runs `call` inside the alarm/deadline
// bracket of ynet_set_alarm/ynet_clear_alarm (a negative time-out counts as
// 0), repeating it when a signal interrupted it before its deadline. The
// caller's own pending alarm gets back what it had left when the call began,
// however often the call was repeated. errno is the call's.
template <typename Call>
auto bracketed(int timeout, Call call) -> decltype(call()) {
    ynet_alarm_state state{};
    decltype(call()) result;
    int err;
    bool first = true;
    unsigned caller_left = 0;
    do {
        ynet_set_alarm(static_cast<unsigned>(timeout < 0 ? 0 : timeout), &state);
        // A repeat finds the caller's alarm already cancelled by the first
        // round; restore what the first round saw.
        if (first)
            caller_left = state.previous_left;
        else if (state.previous_left == 0)
            state.previous_left = caller_left;
        first = false;
        result = call();
        err = errno;
    } while (ynet_clear_alarm(result < 0 ? -1 : 0, err, &state) != 0);
    errno = err;
    return result;
}

}  // namespace yq::ynet_wire

#endif
