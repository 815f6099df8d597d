// Hermetic name resolution for tests: host and service names come only from
// the sandbox's private /etc/hosts and /etc/services, which a test rewrites
// in place (both are bind mounts: renaming over them would fail).
#ifndef YQTEST_RESOLV_H
#define YQTEST_RESOLV_H

#include <gtest/gtest.h>

#include <string>

namespace yqtest {

// Bind-mounts a private nsswitch.conf ("files" only for hosts and services)
// over /etc/nsswitch.conf inside the sandbox's own mount namespace, so no
// lookup reaches DNS or a database. Idempotent; false (with a message on
// stderr) when it cannot be done.
bool use_files_only_resolution();

// Register with ::testing::AddGlobalTestEnvironment: aborts the program when
// resolution cannot be made hermetic.
class FilesOnlyResolution : public ::testing::Environment {
public:
    void SetUp() override;
};

// Truncates and rewrites a file without replacing it.
void rewrite_in_place(const std::string &path, const std::string &content);
inline void write_hosts(const std::string &content) { rewrite_in_place("/etc/hosts", content); }
inline void write_services(const std::string &content) {
    rewrite_in_place("/etc/services", content);
}

}  // namespace yqtest

#endif
