// The login cache: the last successful login of a user on this host (domain,
// mechanism, broker, port and name; never a password), five lines in the
// user's credential directory, replaced whole by rename.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tempnam.h"
#include "ynet.h"
#include "ynet_private.h"
#include "yq_memory.h"
#include "yq_sys.h"
#include "ystrings.h"
#include "ytext.h"

namespace {

constexpr const char *kModule = "ynet_yqss";

using yq::report::Where;

constexpr int kPathSize = 1025;
constexpr int kLineSize = 1025;
constexpr int kLines = 5;

void detail(const char *label, const char *text, int number, int level = 0, const Where &where = Where::current()) {
    yq::report::value(kModule, label, text, number, level, where);
}

// DIR/HOST_USER_cache.txt, the user's last backslash turned into "_".
void cache_path(const char *dir, const char *user, char *path, size_t size) {
    char host[256] = "";
    if (::gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
    char name[kPathSize];
    Y_strlcpy(name, user != nullptr ? user : "", sizeof name);
    if (char *slash = std::strrchr(name, '\\'); slash != nullptr) *slash = '_';
    Y_snprintf(path, size, "%s/%s_%s_cache.txt", dir, host, name);
}

// The temporary file of a rewrite: removed on the way out unless renamed.
class TempFile {
public:
    explicit TempFile(char *name) : name_(name) {}
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    ~TempFile() {
        if (name_ && !renamed_) ::unlink(name_.get());
    }
    const char *name() const { return name_.get(); }
    void renamed() { renamed_ = true; }

private:
    yq::unique_malloc<char> name_;
    bool renamed_ = false;
};

// Copies a line without its newline, when the buffer holds more than that.
void take_text(const char *line, char *out, int out_len) {
    if (out == nullptr || out_len <= 1) return;
    Y_strlcpy(out, line, static_cast<size_t>(out_len));
    out[std::strcspn(out, "\n")] = '\0';
}

// A decimal (or 0x / 0 prefixed) number that fills the line.
bool take_number(const char *line, int *out) {
    char *end = nullptr;
    const long value = std::strtol(line, &end, 0);
    if (*end != '\n') return false;
    if (out != nullptr) *out = static_cast<int>(value);
    return true;
}

}  // namespace

extern "C" int ynet_yqss_set_login_cache(const char *domain, int mechanism, const char *broker, int port,
                                         const char *user) noexcept {
    char dir[kPathSize];
    if (int status = ynet_check_yqss_user_directory(dir, sizeof dir); status != 0) return YN_FAIL_STATUS(status);
    char prefix[64];
    Y_snprintf(prefix, sizeof prefix, "%05u%04ucache", static_cast<unsigned>(::getpid()) % 65535U,
               static_cast<unsigned>(yq::sys::time(nullptr) % 10000));
    TempFile temp(Y_tempnam(dir, prefix));
    if (temp.name() == nullptr) {
        detail("Y_tempnam failed", nullptr, errno);
        return YN_FAIL_STATUS(YN_STATUS_NO_MEMORY);
    }
    yq::unique_fd fd(yq::sys::open(temp.name(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    yq::unique_file out = fd ? yq::take_fdopen(fd, "w") : yq::unique_file();
    if (!out) {
        detail("fopen failed", nullptr, errno);
        detail("tempfile", temp.name(), 0);
        return YN_FAIL_STATUS(YN_STATUS_FILE_OPEN_FAILED);
    }
    std::fprintf(out.get(), "%s\n%d\n%s\n%d\n%s\n", domain != nullptr ? domain : "", mechanism,
                 broker != nullptr ? broker : "", port, user != nullptr ? user : "");
    // Closed here, once: a failing close is a failed write.
    if (std::fclose(out.release()) != 0) {
        detail("fclose failed", nullptr, errno);
        detail("tempfile", temp.name(), 0);
        return YN_FAIL_STATUS(YN_STATUS_WRITE_FAILED);
    }
    char path[kPathSize];
    cache_path(dir, user, path, sizeof path);
    if (int status = ytext_rename_file(temp.name(), path); status != 0) {
        detail("ytext_rename_file failed", nullptr, status);
        detail("tempfile", temp.name(), 0);
        detail("path", path, 0);
        return YN_FAIL_STATUS(ynet_text_to_net_status(status));
    }
    temp.renamed();
    return 0;
}

extern "C" int ynet_yqss_get_login_cache(char *domain, int domain_len, int *mechanism, char *broker,
                                         int broker_len, int *port, char *user, int user_len) noexcept {
    char dir[kPathSize];
    if (int status = ynet_check_yqss_user_directory(dir, sizeof dir); status != 0) return YN_FAIL_STATUS(status);
    char path[kPathSize];
    cache_path(dir, user, path, sizeof path);
    yq::unique_file in = yq::open_for_reading(path);
    if (!in) {
        const int err = errno;
        const int level = err == ENOENT ? 4 : 0;
        detail("fopen failed", nullptr, err, level);
        detail("path", path, 0, level);
        return YN_STATUS_FILE_OPEN_FAILED;
    }
    char line[kLineSize];
    for (int count = 1; std::fgets(line, sizeof line, in.get()) != nullptr; ++count) {
        if (std::strchr(line, '\n') == nullptr) {
            detail("Unexpected line", line, 0);
            detail("count", nullptr, count);
            return YN_FAIL_STATUS(YN_STATUS_BAD_FORMAT);
        }
        switch (count) {
        case 1:
            take_text(line, domain, domain_len);
            break;
        case 2:
            if (!take_number(line, mechanism)) {
                detail("Unexpected mechanism", line, 0);
                return YN_FAIL_STATUS(YN_STATUS_BAD_FORMAT);
            }
            break;
        case 3:
            take_text(line, broker, broker_len);
            break;
        case 4:
            if (!take_number(line, port)) {
                detail("Unexpected port", line, 0);
                return YN_FAIL_STATUS(YN_STATUS_BAD_FORMAT);
            }
            break;
        case kLines:
            take_text(line, user, user_len);
            break;
        default:
            detail("Ignoring extra line", line, count, 4);
            return 0;
        }
    }
    return 0;
}
