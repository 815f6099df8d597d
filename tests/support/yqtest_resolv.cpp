#include "yqtest_resolv.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "yqtest.h"

namespace yqtest {

namespace {

constexpr const char *kNsswitch = "/etc/nsswitch.conf";
constexpr const char *kFilesOnly =
    "# private to this test's mount namespace\n"
    "hosts: files\n"
    "networks: files\n"
    "services: files\n"
    "protocols: files\n";

bool g_done = false;

}  // namespace

bool use_files_only_resolution() {
    if (g_done) return true;
    const char *inside = std::getenv("YQ_SANDBOX");
    if (inside == nullptr || std::strcmp(inside, "1") != 0) {
        std::fprintf(stderr, "files-only resolution needs the sandbox's mount namespace\n");
        return false;
    }
    struct stat st{};
    if (::stat(kNsswitch, &st) != 0) {
        std::fprintf(stderr, "%s is missing; cannot bind a private one over it\n", kNsswitch);
        return false;
    }
    std::string copy = scratch_dir() + "/nsswitch.conf";
    write_file(copy, kFilesOnly, 0644);
    if (::mount(copy.c_str(), kNsswitch, nullptr, MS_BIND, nullptr) != 0) {
        std::fprintf(stderr, "bind mount over %s failed: %s\n", kNsswitch, std::strerror(errno));
        return false;
    }
    g_done = true;
    return true;
}

void FilesOnlyResolution::SetUp() {
    if (!use_files_only_resolution()) std::abort();
}

void rewrite_in_place(const std::string &path, const std::string &content) {
    int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    ASSERT_GE(fd, 0) << path << ": " << std::strerror(errno);
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    ASSERT_EQ(done, content.size()) << path;
}

}  // namespace yqtest
