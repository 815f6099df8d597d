// Temporary names that stay in the requested directory: the system tempnam
// prefers TMPDIR over the caller's directory, and some systems ignore the
// directory altogether in set-user-id programs.
#include "tempnam.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tempnam_private.h"
#include "yq_memory.h"
#include "yq_sys.h"
#include "ystrings.h"

namespace {

// Room for "/", the prefix, "." and the six X characters, and then some.
constexpr size_t kNameRoom = 257;
constexpr size_t kPrefixMax = 5;

char kEmptyTmpdir[] = "TMPDIR=";

// Calls the system tempnam with TMPDIR set to empty, so that `dir` wins;
// the caller's TMPDIR entry is put back afterwards. Null when the system
// makes no name or the environment cannot be changed.
yq::unique_malloc<char> system_tempnam(const char *dir, const char *prefix) {
    const char *value = std::getenv("TMPDIR");
    if (value == nullptr || value[0] == '\0') return yq::unique_malloc<char>(::tempnam(dir, prefix));

    // getenv points into the environment entry "TMPDIR=value"; putenv does
    // not release a replaced entry, so the very same entry can be put back
    // and nothing needs to be copied or leaked.
    char *saved = const_cast<char *>(value) - (sizeof kEmptyTmpdir - 1);
    yq::unique_malloc<char> copy;
    if (std::strncmp(saved, kEmptyTmpdir, sizeof kEmptyTmpdir - 1) != 0) {
        // A C library that keeps entries otherwise: the copy then becomes
        // part of the environment and stays allocated.
        size_t size = std::strlen(value) + sizeof kEmptyTmpdir;
        copy.reset(static_cast<char *>(yq::sys::malloc(size)));
        if (!copy) return nullptr;
        Y_snprintf(copy.get(), size, "%s%s", kEmptyTmpdir, value);
        saved = copy.get();
    }
    if (::putenv(kEmptyTmpdir) != 0) return nullptr;
    yq::unique_malloc<char> name(::tempnam(dir, prefix));
    if (::putenv(saved) != 0) return nullptr;
    (void)copy.release();  // now the environment's
    return name;
}

}  // namespace

namespace yq::tempnam_detail {

char *make_name(const char *dir, const char *prefix, uid_t euid, uid_t ruid) noexcept {
    yq::unique_malloc<char> name = system_tempnam(dir, prefix);
    if (!name || euid != 0 || ruid == 0 || dir == nullptr) return name.release();

    // Set-user-id root: keep the name only when it really lies in dir.
    size_t dir_len = std::strlen(dir);
    if (std::strcmp(dir, "/") != 0 && std::strncmp(name.get(), dir, dir_len) == 0) return name.release();

    size_t size = dir_len + kNameRoom;
    yq::unique_malloc<char> built(static_cast<char *>(yq::sys::malloc(size)));
    if (!built) return name.release();
    if (prefix != nullptr) {
        char head[kPrefixMax + 1];
        Y_strlcpy(head, prefix, sizeof head);
        Y_snprintf(built.get(), size, "%s/%s.XXXXXX", dir, head);
    } else {
        Y_snprintf(built.get(), size, "%s/temp.XXXXXX", dir);
    }
    if (::mktemp(built.get()) == nullptr || built.get()[0] == '\0') return name.release();
    return built.release();
}

}  // namespace yq::tempnam_detail

extern "C" char *Y_tempnam(const char *dir, const char *prefix) noexcept {
    return yq::tempnam_detail::make_name(dir, prefix, ::geteuid(), ::getuid());
}
