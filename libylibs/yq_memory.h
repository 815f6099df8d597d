// Owners that make every early return release what it took: malloc'd blocks,
// streams and descriptors. Not exported.
#ifndef YQ_MEMORY_H
#define YQ_MEMORY_H

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>

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

}  // namespace yq

#endif
