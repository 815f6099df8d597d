// Resolver files of the sandbox: host and service names come only from its
// private /etc/hosts and /etc/services (the launcher also makes name lookups
// use files only), which a test rewrites in place: both are bind mounts, and
// renaming over them would fail.
#ifndef YQTEST_RESOLV_H
#define YQTEST_RESOLV_H

#include <string>

namespace yqtest {

// Truncates and rewrites a file without replacing it.
void rewrite_in_place(const std::string &path, const std::string &content);
inline void write_hosts(const std::string &content) { rewrite_in_place("/etc/hosts", content); }
inline void write_services(const std::string &content) {
    rewrite_in_place("/etc/services", content);
}

}  // namespace yqtest

#endif
