// Resolver files of the sandbox: host and service names come only from its
// private /etc/hosts and /etc/services (the launcher also makes name lookups
// use files only), which a test rewrites in place: both are bind mounts, and
// renaming over them would fail.
#ifndef YQTEST_RESOLV_H
#define YQTEST_RESOLV_H

#include <sys/socket.h>

#include <string>
#include <vector>

namespace yqtest {

// Truncates and rewrites a file without replacing it.
void rewrite_in_place(const std::string &path, const std::string &content);
inline void write_hosts(const std::string &content) { rewrite_in_place("/etc/hosts", content); }
inline void write_services(const std::string &content) {
    rewrite_in_place("/etc/services", content);
}

// Puts counting resolver calls into the system-call table for its lifetime.
// Each host or service lookup first takes the next entry of `script` (0:
// answer, other: fail with that h_errno), then asks the real resolver.
struct Resolver {
    Resolver();
    ~Resolver();
    Resolver(const Resolver &) = delete;
    Resolver &operator=(const Resolver &) = delete;
    void fail_next(std::vector<int> errors) {
        script = std::move(errors);
        step = 0;
    }

    static inline std::vector<int> script;
    static inline size_t step = 0;
    static inline int name_calls = 0, addr_calls = 0, serv_calls = 0;
    static inline const void *addr_seen = nullptr;  // of the last reverse lookup
    static inline socklen_t length_seen = 0;
};

}  // namespace yqtest

#endif
