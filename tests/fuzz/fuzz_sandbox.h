// For fuzz targets that write files at the product's fixed paths or in the
// user's home: they run only inside tests/sandbox/yq-sandbox, where those
// trees are private, and put a fresh tmpfs on the home directory first.
#ifndef FUZZ_SANDBOX_H
#define FUZZ_SANDBOX_H

#include <pwd.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace fuzz_sandbox {

// Exits unless the process runs in the sandbox's private mount namespace.
inline void require() {
    const char *flag = std::getenv("YQ_SANDBOX");
    if (flag == nullptr || std::strcmp(flag, "1") != 0) {
        std::fprintf(stderr, "this fuzz target writes the product's paths: run it under tests/sandbox/yq-sandbox\n");
        std::exit(77);
    }
}

// The effective user's home directory, emptied for this process (a tmpfs
// mounted over it inside the sandbox); done once.
inline const std::string &private_home() {
    static const std::string home = [] {
        require();
        const struct passwd *account = getpwuid(geteuid());
        std::string dir = account != nullptr && account->pw_dir != nullptr ? account->pw_dir : "";
        if (dir.empty() || ::mount("fuzz-home", dir.c_str(), "tmpfs", 0, "mode=0755") != 0) {
            std::perror("fuzz-home");
            std::exit(77);
        }
        return dir;
    }();
    return home;
}

}  // namespace fuzz_sandbox

#endif
