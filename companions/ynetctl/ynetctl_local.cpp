// Commands that look at this host only: services, cert.
#include <dirent.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "ynet.h"
#include "ynetctl.h"
#include "yq_memory.h"
#include "yq_paths.h"
#include "yss_auth.h"

namespace ynetctl {

namespace {

// Seven days: a credential file modified longer ago is renewed before use.
constexpr long kFreshSeconds = 604800;

bool process_alive(int pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }

// Whether a listener accepts on the Unix socket at `path` (the connection is
// closed at once; the service sees a hand-over that never came).
bool socket_answers(const char *path) {
    if (path == nullptr || std::strlen(path) >= sizeof(sockaddr_un::sun_path)) return false;
    yq::unique_fd sock(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!sock) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path);
    return ::connect(sock.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
}

}  // namespace

int cmd_services(const Options &, Output &out) {
    const std::string dir = YQ_PATH_YNETD_DIR;
    out.text("directory", dir);
    std::vector<std::string> files;
    if (yq::unique_dir listing{::opendir(dir.c_str())}) {
        while (const dirent *entry = ::readdir(listing.get())) {
            std::string name = entry->d_name;
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".txt") == 0) files.push_back(name);
        }
    } else {
        out.number("status", YN_STATUS_FILE_OPEN_FAILED);
        return YN_STATUS_FILE_OPEN_FAILED;
    }
    std::sort(files.begin(), files.end());
    long count = 0;
    for (const std::string &file : files) {
        ynet_service_entry *list = nullptr;
        if (ynet_read_service_file((dir + "/" + file).c_str(), &list) != YN_STATUS_SUCCESS) continue;
        for (const ynet_service_entry *entry = list; entry != nullptr; entry = entry->next) {
            const std::string key = "service." + std::to_string(count++) + ".";
            out.text(key + "file", file);
            out.text(key + "name", entry->name ? entry->name : "");
            out.number(key + "pid", entry->pid);
            out.number(key + "regtime", entry->regtime);
            out.text(key + "ipc", entry->ipc ? entry->ipc : "");
            out.text(key + "alive", process_alive(entry->pid) ? "yes" : "no");
            out.text(key + "answers", socket_answers(entry->ipc) ? "yes" : "no");
        }
        ynet_free_service_list(&list);
    }
    out.number("services", count);
    out.number("status", 0);
    return 0;
}

int cmd_cert(const Options &options, Output &out) {
    const std::string &file = options.args[0];
    out.text("file", file);
    YssConInfo_t context{};
    YssCertInfo info{};
    int yss = YssInit(3, "", 0, &context);
    if (yss == 0) yss = YssImportCredential(file.c_str(), &context);
    if (yss == 0) yss = YssGetCertInfo(&info, &context);
    if (yss == 0) {
        out.text("name", info.Name ? info.Name : "");
        out.text("domain", info.Domain ? info.Domain : "");
        out.text("issued_by", info.IssuedBy ? info.IssuedBy : "");
        out.text("expires", info.ExpiryDate ? info.ExpiryDate : "");
        out.number("auth_mode", info.AuthMode);
        FreeYssCertInfo(&info);
    }
    if (context.initialized == 1)
        YssCleanUp(3, &context);
    else
        std::free(context.brokerHost);  // a failed initialisation leaves it to the caller
    struct stat st{};
    if (::stat(file.c_str(), &st) == 0) {
        const long age = static_cast<long>(std::time(nullptr) - st.st_mtime);
        out.number("age_seconds", age);
        out.text("within_7_days", age < kFreshSeconds ? "yes" : "no");
    }
    out.number("yss_status", yss);
    const int status = yss == 0 ? 0 : yqss_to_ynet_status(yss);
    out.number("status", status);
    return status;
}

}  // namespace ynetctl
