// Whole-file reads and atomic replacement: the registry, the trust store,
// the pid file, and the credentials and keys the admin tool writes.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include <memory>

#include "yorbat_files.h"

namespace yorbat::files {
namespace {

int write_all(int fd, std::string_view data) noexcept {
    while (!data.empty()) {
        ssize_t wrote = ::write(fd, data.data(), data.size());
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return wrote < 0 ? errno : EIO;
        data.remove_prefix(static_cast<size_t>(wrote));
    }
    return 0;
}

std::string directory_of(const std::string &path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// ".NAME." : the temporaries of NAME, hidden and never matching NAME itself.
std::string temporary_prefix(const std::string &path) {
    size_t slash = path.rfind('/');
    return "." + path.substr(slash == std::string::npos ? 0 : slash + 1) + ".";
}

// Writes the temporary file completely and durably; 0 or an errno value.
int fill_temporary(Descriptor &fd, std::string_view content, mode_t mode) noexcept {
    if (::fchmod(fd.get(), mode) != 0)
        return errno;
    if (int failed = write_all(fd.get(), content))
        return failed;
    if (::fsync(fd.get()) != 0)
        return errno;
    return fd.close();
}

// rename(2), or renameat2(2) without replacing an existing file.
int move_into_place(const std::string &from, const std::string &to, bool replace) noexcept {
    int moved = replace ? ::rename(from.c_str(), to.c_str())
                        : ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
    return moved == 0 ? 0 : errno;
}

}  // namespace

int sync_directory(const std::string &dir) noexcept {
    Descriptor fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0)
        return errno;
    return ::fsync(fd.get()) == 0 ? 0 : errno;
}

int write_atomically(const std::string &path, std::string_view content, mode_t mode, bool replace) noexcept {
    try {
        const std::string dir = directory_of(path);
        std::string temporary = dir + "/" + temporary_prefix(path) + "XXXXXX";
        Descriptor fd(::mkostemp(temporary.data(), O_CLOEXEC));
        if (fd.get() < 0)
            return errno;
        int failed = fill_temporary(fd, content, mode);
        if (!failed)
            failed = move_into_place(temporary, path, replace);
        if (failed) {
            ::unlink(temporary.c_str());
            return failed;
        }
        return sync_directory(dir);
    } catch (const std::bad_alloc &) {
        return ENOMEM;
    }
}

void remove_stale_temporaries(const std::string &path) noexcept {
    try {
        const std::string dir = directory_of(path), prefix = temporary_prefix(path);
        std::unique_ptr<DIR, int (*)(DIR *)> listing(::opendir(dir.c_str()), &::closedir);
        if (!listing)
            return;
        while (const dirent *entry = ::readdir(listing.get())) {
            std::string_view name = entry->d_name;
            // mkostemp's six characters follow the prefix.
            if (name.size() == prefix.size() + 6 && name.starts_with(prefix))
                ::unlinkat(::dirfd(listing.get()), entry->d_name, 0);
        }
    } catch (const std::bad_alloc &) {
    }
}

int read_whole(const std::string &path, std::string &content) noexcept {
    try {
        Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (fd.get() < 0)
            return errno;
        content.clear();
        char buffer[65536];
        for (;;) {
            ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                return errno;
            if (got == 0)
                return 0;
            content.append(buffer, static_cast<size_t>(got));
        }
    } catch (const std::bad_alloc &) {
        return ENOMEM;
    }
}

}  // namespace yorbat::files
