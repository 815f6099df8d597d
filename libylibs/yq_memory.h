// Owners that make every early return release what it took: malloc'd blocks,
// streams, directories and descriptors, and the errno a reporter must not
// disturb. Every module uses these; none defines its own. Not exported.
#ifndef YQ_MEMORY_H
#define YQ_MEMORY_H

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>

#include "yq_sys.h"

namespace yq {

struct FreeDeleter {
    void operator()(void *p) const noexcept { std::free(p); }
};

// A block from the malloc family (yq::sys::malloc, strdup ...).
template <typename T = char>
using unique_malloc = std::unique_ptr<T, FreeDeleter>;

struct FileCloser {
    void operator()(FILE *f) const noexcept { std::fclose(f); }
};
using unique_file = std::unique_ptr<FILE, FileCloser>;

// A stream from popen: closing it also waits for the command.
struct PipeCloser {
    void operator()(FILE *f) const noexcept { ::pclose(f); }
};
using unique_pipe = std::unique_ptr<FILE, PipeCloser>;

struct DirCloser {
    void operator()(DIR *d) const noexcept { ::closedir(d); }
};
using unique_dir = std::unique_ptr<DIR, DirCloser>;

// Move-only descriptor owner. close() is never retried after EINTR: on Linux
// the descriptor is gone either way.
class unique_fd {
public:
    unique_fd() noexcept = default;
    explicit unique_fd(int fd) noexcept : fd_(fd) {}
    unique_fd(unique_fd &&other) noexcept : fd_(other.release()) {}
    unique_fd &operator=(unique_fd &&other) noexcept {
        reset(other.release());
        return *this;
    }
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    ~unique_fd() { reset(); }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    int release() noexcept { return std::exchange(fd_, -1); }
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// Hands a descriptor to a stream: on success the stream owns it and `fd` is
// left empty; on failure `fd` still owns it (and errno says why).
inline unique_file take_fdopen(unique_fd &fd, const char *mode) noexcept {
    FILE *stream = ::fdopen(fd.get(), mode);
    if (stream != nullptr) fd.release();
    return unique_file(stream);
}

// Opens `path` read-only as a stream, through the system-call table so that
// a test can make the open fail.
inline unique_file open_for_reading(const char *path) noexcept {
    unique_fd fd(sys::open(path, O_RDONLY | O_CLOEXEC));
    return fd ? take_fdopen(fd, "r") : unique_file();
}

// Keeps errno across a scope, so that reporting a failure or cleaning up
// never changes the errno that the caller is about to read.
class ErrnoGuard {
public:
    ErrnoGuard() noexcept : saved_(errno) {}
    ~ErrnoGuard() { errno = saved_; }
    ErrnoGuard(const ErrnoGuard &) = delete;
    ErrnoGuard &operator=(const ErrnoGuard &) = delete;

private:
    int saved_;
};

}  // namespace yq

#endif
