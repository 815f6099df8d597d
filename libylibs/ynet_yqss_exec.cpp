// The client side of the magic exchange for programs that do not carry the
// security-services code: run in-process through this library loaded at run
// time, or, when it cannot be loaded, in the helper program, which gets the
// connected socket by inheritance and tells the outcome by its exit status.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "ynet.h"
#include "ynet_private.h"
#include "ynet_yqss_private.h"
#include "yq_memory.h"
#include "yq_paths.h"
#include "yq_sys.h"
#include "ystrings.h"

static constexpr const char *kModule = "ynet_yqss";

namespace {

using yq::report::Where;
using client_magic_fn = int (*)(int, int, int, int *, put_string_fn, put_long_fn);

constexpr const char *kClientMagicName = "ynet_check_yqss_client_magic";
constexpr int kCredentialPathSize = 1025;
constexpr int kNumberTextSize = 128;

int fail_as(const char *label, int value, int status, Where where = Where::current()) {
    yq::report::value(kModule, label, nullptr, value, 0, where);
    return status;
}

// The child's side: standard descriptors on /dev/null except the socket,
// the socket inheritable, then the helper program. Never returns.
[[noreturn]] void run_helper(int fd, int use_yqss, pid_t parent) {
    YN_DEBUG_VALUE("command ppid", nullptr, static_cast<int>(parent));
    int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null_fd < 0) {
        fail_as("open failed", errno, 0);
        ::_exit(YN_STATUS_FILE_OPEN_FAILED);
    }
    if (null_fd <= STDERR_FILENO) null_fd = ::fcntl(null_fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    for (int standard = STDIN_FILENO; standard <= STDERR_FILENO; ++standard) {
        if (standard == fd) continue;
        ::close(standard);
        ::dup2(null_fd, standard);
    }
    int flags = ::fcntl(fd, F_GETFD);
    if (flags < 0) {
        fail_as("fcntl(F_GETFD) failed", errno, 0);
        ::_exit(YN_STATUS_DESCRIPTOR_PASSING_FAILED);
    }
    if ((flags & FD_CLOEXEC) != 0 && ::fcntl(fd, F_SETFD, flags & ~FD_CLOEXEC) < 0) {
        fail_as("fcntl(F_SETFD) failed", errno, 0);
        ::_exit(YN_STATUS_DESCRIPTOR_PASSING_FAILED);
    }
    char fd_text[kNumberTextSize];
    char use_text[kNumberTextSize];
    Y_snprintf(fd_text, sizeof fd_text, "%d", fd);
    Y_snprintf(use_text, sizeof use_text, "%d", use_yqss);
    char program[] = YQ_PATH_CWCRAT_HELPER;
    char service[] = "cwrd";
    char *argv[] = {program, fd_text, service, use_text, nullptr};
    YN_DEBUG_VALUE("argv[0]", argv[0], 0);
    YN_DEBUG_VALUE("argv[1]", argv[1], 0);
    YN_DEBUG_VALUE("argv[2]", argv[2], 0);
    YN_DEBUG_VALUE("argv[3]", argv[3], 0);
    ::execv(program, argv);
    fail_as("execv failed", errno, 0);
    ::_exit(YN_STATUS_CHILD_FAILED);
}

// The helper's exit code as the parent's result; 39 and 40 settle an
// automatic decision.
int from_exit_code(int code, int *use_yqss) {
    if (code == YN_STATUS_SUCCESS) return YN_STATUS_SUCCESS;
    if (*use_yqss == USE_YQSS_AUTOMATIC && code == YN_STATUS_YQSS_USED) {
        *use_yqss = USE_YQSS_REQUIRED;
        return YN_STATUS_SUCCESS;
    }
    if (*use_yqss == USE_YQSS_AUTOMATIC && code == YN_STATUS_YQSS_NOT_USED) {
        *use_yqss = USE_YQSS_PROHIBITED;
        return YN_STATUS_SUCCESS;
    }
    return code;
}

const char *outcome_text(int use_yqss) {
    switch (use_yqss) {
        case USE_YQSS_REQUIRED:
            return "Using YqSS authentication";
        case USE_YQSS_PROHIBITED:
            return "Not using YqSS authentication";
        default:
            return "Undetermined YqSS authentication";
    }
}

}  // namespace

extern "C" int ynet_dlopen_yqss_client_magic(int fd, int check_version, int debug_fd, int *use_yqss,
                                             put_string_fn put_string) noexcept {
    if (use_yqss == nullptr) return YN_FAIL_STATUS(YN_STATUS_INVALID_ARGUMENT);
    *use_yqss = USE_YQSS_PROHIBITED;
    int result = YN_STATUS_SUCCESS;
    {
        yq::unique_malloc<char> path(yq::sys::strdup(YQ_PATH_HELPER_LIB));
        if (!path) return fail_as("malloc failed", errno, YN_STATUS_NO_MEMORY);
        // Lazy binding, and never unmapped by the close below: the library
        // keeps state for the life of the process (its configuration record,
        // caches, the open debug log, exit handlers) that unloading would
        // orphan on every call. A later call finds the same copy loaded.
        void *library = ::dlopen(path.get(), RTLD_LAZY | RTLD_NODELETE);
        if (library == nullptr) {
            YN_DEBUG_LEVEL("dlopen failed", ::dlerror(), 0, 0);
            result = YN_STATUS_FILE_OPEN_FAILED;
        } else {
            auto magic = reinterpret_cast<client_magic_fn>(::dlsym(library, kClientMagicName));
            if (magic == nullptr) {
                YN_DEBUG_LEVEL("dlsym failed", ::dlerror(), 0, 0);
                result = YN_STATUS_FILE_OPEN_FAILED;
            } else {
                result = magic(fd, check_version, debug_fd, use_yqss, put_string, nullptr);
                if (result != YN_STATUS_SUCCESS) fail_as("ynet_check_yqss_client_magic failed", result, 0);
            }
            ::dlclose(library);
        }
    }
    if (result == YN_STATUS_FILE_OPEN_FAILED) {
        // No library to run it in: the helper program runs it instead.
        result = ynet_exec_yqss_client_magic(fd, 0, debug_fd, use_yqss);
        if (result != YN_STATUS_SUCCESS) fail_as("ynet_check_yqss_client_magic failed", result, 0);
    }
    return result;
}

extern "C" int ynet_exec_yqss_client_magic(int fd, int check_version, int debug_fd, int *use_yqss) noexcept {
    if (use_yqss == nullptr) return YN_FAIL_STATUS(YN_STATUS_INVALID_ARGUMENT);
    yq::ynet_private::BorrowedDebugFd borrowed(debug_fd);
    char cred_path[kCredentialPathSize];
    int remote_capable = 0;
    int status = ynet_determine_yqss_socket(fd, check_version, &yq::ynet_yqss::crconf_info, cred_path,
                                            sizeof cred_path, use_yqss, &remote_capable);
    if (status != YN_STATUS_SUCCESS) return fail_as("ynet_determine_yqss_socket() failed", status, status);

    pid_t parent = ::getpid();
    pid_t child = yq::sys::fork();
    if (child < 0) return fail_as("fork failed", errno, YN_STATUS_FORK_FAILED);
    if (child == 0) run_helper(fd, *use_yqss, parent);

    YN_DEBUG_VALUE("command pid", nullptr, static_cast<int>(child));
    int raw = 0;
    pid_t waited;
    do {
        waited = yq::sys::waitpid(child, &raw, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited != child) return fail_as("waitpid() failed", errno, YN_STATUS_CHILD_FAILED);

    int result;
    if (WIFEXITED(raw)) {
        result = from_exit_code(WEXITSTATUS(raw), use_yqss);
        if (result != YN_STATUS_SUCCESS) YN_DEBUG_LEVEL("command failed", nullptr, result, 0);
    } else {
        result = fail_as("Unexpected command status", raw, YN_STATUS_CHILD_FAILED);
    }
    if (result == YN_STATUS_SUCCESS) YN_DEBUG_VALUE(outcome_text(*use_yqss), nullptr, *use_yqss);
    return result;
}
