// Files of the authentication library, its broker and its admin tool: the
// one descriptor owner, whole-file reads, and the one atomic rewrite.
#ifndef YORBAT_FILES_H
#define YORBAT_FILES_H

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <utility>

namespace yorbat::files {

// Owns a descriptor; close() reports the one failure that matters (a write
// lost at close), the destructor closes quietly.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) noexcept : fd_(fd) {}
    Descriptor(Descriptor &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor &operator=(Descriptor &&other) noexcept {
        if (this != &other) {
            drop();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    ~Descriptor() { drop(); }
    int get() const noexcept { return fd_; }
    int release() noexcept { return std::exchange(fd_, -1); }
    int close() noexcept {
        int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0 || errno == EINTR ? 0 : errno;
    }

private:
    void drop() noexcept {
        if (fd_ >= 0)
            ::close(fd_);  // never retried after EINTR
    }
    int fd_;
};

// Replaces `path` with `content` (mode `mode`) so that a reader, or a crash
// at any moment, sees the old or the new file: a temporary file in the same
// directory, fsync, rename over, fsync of the directory. 0 or an errno value.
// With `replace` false an existing `path` is kept and the result is EEXIST.
int write_atomically(const std::string &path, std::string_view content, mode_t mode,
                     bool replace = true) noexcept;
// fsync of a directory, making a rename or unlink in it durable: 0 or errno.
int sync_directory(const std::string &dir) noexcept;
// Removes temporary files that a writer of `path` killed midway left behind;
// only under a lock that keeps other writers of `path` out.
void remove_stale_temporaries(const std::string &path) noexcept;
// The whole file: 0 or an errno value (ENOENT when it does not exist).
int read_whole(const std::string &path, std::string &content) noexcept;

}  // namespace yorbat::files

#endif
