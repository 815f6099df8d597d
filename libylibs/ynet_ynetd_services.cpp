// Service registration: the rendezvous directory of ynetd, and the service
// files and listening sockets through which ynetd finds a registered service
// and hands it the connections asked for it.
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "ynet.h"
#include "ynet_ynetd_internal.h"
#include "yq_paths.h"
#include "yq_sys.h"
#include "ystrings.h"

using yq::ynet_ynetd::drop_and_fail;

namespace {

constexpr mode_t kRendezvousMode = 0700;

using CharPtr = yq::unique_malloc<char>;

// Frees a service list when it leaves scope.
struct ServiceList {
    ynet_service_entry **list;
    ~ServiceList() { ynet_free_service_list(list); }
};

}  // namespace

extern "C" int ynet_check_ynetd_dir(void) noexcept {
    struct stat info{};
    if (yq::sys::stat(YQ_PATH_YNETD_DIR, &info) != 0) {
        if (errno != ENOENT) {
            char text[32] = "?";
            Y_snprintf(text, sizeof text, "%d", errno);
            YN_DEBUG_LEVEL("errno", text, 0, 0);
            return YN_FAIL(YN_STATUS_STAT_FAILED);
        }
        // Only the administrator may create ynetd's directory.
        if (::geteuid() != 0) return YN_FAIL(YN_STATUS_BAD_DIRECTORY);
        if (::mkdir(YQ_PATH_YNETD_DIR, kRendezvousMode) != 0) {
            YN_DEBUG_VALUE("errno", nullptr, errno);
            return YN_FAIL(YN_STATUS_MKDIR_FAILED);
        }
        if (yq::sys::stat(YQ_PATH_YNETD_DIR, &info) != 0) {
            YN_DEBUG_VALUE("errno", nullptr, errno);
            return YN_FAIL(YN_STATUS_STAT_FAILED);
        }
    }
    if (!S_ISDIR(info.st_mode)) return YN_FAIL(YN_STATUS_BAD_DIRECTORY);
    if ((info.st_mode & 07777) != kRendezvousMode &&
        yq::sys::chmod(YQ_PATH_YNETD_DIR, kRendezvousMode) != 0) {
        YN_DEBUG_VALUE("errno", nullptr, errno);
        return YN_FAIL(YN_STATUS_CHMOD_FAILED);
    }
    if (info.st_uid != 0 && yq::sys::chown(YQ_PATH_YNETD_DIR, 0, 0) != 0) {
        YN_DEBUG_VALUE("errno", nullptr, errno);
        return YN_FAIL(YN_STATUS_CHOWN_FAILED);
    }
    return YN_STATUS_SUCCESS;
}

extern "C" int ynet_generate_service_path(const char *name, const char *extension,
                                          char **path) noexcept {
    *path = nullptr;
    if (name == nullptr || extension == nullptr) return YN_FAIL_STATUS(YN_STATUS_INVALID_ARGUMENT);
    int status = ynet_check_ynetd_dir();
    if (status != YN_STATUS_SUCCESS) return YN_FAIL_STATUS(status);
    CharPtr lower(yq::sys::strdup(name));
    if (!lower) return YN_FAIL_STATUS(YN_STATUS_NO_MEMORY);
    for (char *c = lower.get(); *c != '\0'; ++c)
        *c = static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
    size_t size =
        std::strlen(YQ_PATH_YNETD_DIR) + std::strlen(lower.get()) + std::strlen(extension) + 3;
    CharPtr result(static_cast<char *>(yq::sys::malloc(size)));
    if (!result ||
        Y_snprintf(result.get(), size, "%s%s%s.%s", YQ_PATH_YNETD_DIR, "/", lower.get(),
                   extension) < 0)
        return YN_FAIL_STATUS(YN_STATUS_NO_MEMORY);
    *path = result.release();
    return YN_STATUS_SUCCESS;
}

extern "C" int ynet_ynetd_register_service(const char *name, int pid, int exptime,
                                           const char *ipc, const char *dcmd, const char *icmd,
                                           char **args) noexcept {
    ynet_service_entry *list = nullptr;
    int status = ynet_add_service_entry(&list, nullptr, name, pid,
                                        static_cast<int>(yq::sys::time(nullptr)), exptime, ipc,
                                        icmd, dcmd, args);
    ServiceList owner(&list);
    if (status != YN_STATUS_SUCCESS) return YN_FAIL_STATUS(status);
    char *raw = nullptr;
    status = ynet_generate_service_path(name, "txt", &raw);
    CharPtr path(raw);
    if (status == YN_STATUS_SUCCESS) {
        // The file then holds this entry alone: the last registration wins.
        status = ynet_update_service_file(path.get(), list);
    }
    return YN_FAIL_STATUS_IF(status);
}

extern "C" int ynet_ynetd_listen_and_register_service(const char *name, int backlog,
                                                      int *listen_sock, int timeout) noexcept {
    *listen_sock = -1;
    char *raw = nullptr;
    int status = ynet_generate_service_path(name, "uds", &raw);
    CharPtr path(raw);
    if (status != YN_STATUS_SUCCESS) return YN_FAIL_STATUS(status);
    char buffer[YNETD_IPC_PATH_SIZE] = "";
    if (std::strlen(path.get()) >= sizeof buffer) {
        YN_DEBUG_VALUE("path too long", path.get(), 0);
        return YN_FAIL_STATUS(YN_STATUS_UNIX_BIND_FAILED);
    }
    Y_strlcpy(buffer, path.get(), sizeof buffer);
    if ((status = ynet_listen_for_ynetd(buffer, sizeof buffer, backlog, listen_sock, timeout)) !=
        YN_STATUS_SUCCESS)
        return YN_FAIL_STATUS(status);
    status = ynet_ynetd_register_service(name, static_cast<int>(::getpid()), 0, path.get(),
                                         nullptr, nullptr, nullptr);
    if (status != YN_STATUS_SUCCESS) return drop_and_fail(listen_sock, status);
    return YN_STATUS_SUCCESS;
}

extern "C" int ynet_ynetd_register_daemon_command(const char *name,
                                                  const char *command) noexcept {
    return YN_FAIL_STATUS_IF(ynet_ynetd_register_service(name, static_cast<int>(::getpid()), 0, nullptr,
                                               command, nullptr, nullptr));
}

extern "C" void ynet_delete_unix_service_ipc(const char *name) noexcept {
    char *raw = nullptr;
    int status = ynet_generate_service_path(name, "uds", &raw);
    CharPtr path(raw);
    if (status != YN_STATUS_SUCCESS) {
        YN_DEBUG_VALUE("errno", nullptr, errno);
        YN_DEBUG_LEVEL("ynet_generate_service_path failed", nullptr, status, 0);
        YN_DEBUG_LEVEL("ynet_generate_service_path failed", name != nullptr ? name : "NULL", 0,
                       0);
        return;
    }
    if (::unlink(path.get()) != 0) {
        YN_DEBUG_VALUE("errno", nullptr, errno);
        YN_DEBUG_VALUE("unlink failed", path.get(), 0);
    }
}

extern "C" int ynet_ynetd_unregister_service(const char *name) noexcept {
    char *raw = nullptr;
    int status = ynet_generate_service_path(name, "txt", &raw);
    CharPtr path(raw);
    if (status != YN_STATUS_SUCCESS) return YN_FAIL_STATUS(status);
    ynet_service_entry *list = nullptr;
    status = ynet_read_service_file(path.get(), &list);
    ServiceList owner(&list);
    if (status != YN_STATUS_SUCCESS) return YN_FAIL_STATUS(status);
    int pid = static_cast<int>(::getpid());
    ynet_service_entry *mine = list;
    while (mine != nullptr && mine->pid != pid) mine = mine->next;
    if (mine == nullptr) return YN_FAIL_STATUS(YN_STATUS_NOT_REGISTERED);
    ynet_delete_unix_service_ipc(name);
    mine->exptime = 1;
    mine->pid = 0;
    // Written from this entry on: entries before it leave the file.
    return YN_FAIL_STATUS_IF(ynet_update_service_file(path.get(), mine));
}
