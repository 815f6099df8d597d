// The sandbox's private /etc/hosts and /etc/services (name lookups use files
// only); both are bind mounts, so a test rewrites them in place.
#ifndef YQTEST_RESOLV_H
#define YQTEST_RESOLV_H

#include <netdb.h>

#include <algorithm>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "yqtest.h"

namespace yqtest {

inline void write_hosts(const std::string &content) { write_file("/etc/hosts", content); }
inline void write_services(const std::string &content) { write_file("/etc/services", content); }

// Rows of section "[name]" of a data file beside a test: whitespace-separated
// fields, '#' starts a comment.
inline std::vector<std::vector<std::string>> data_rows(const std::string &path, const std::string &name) {
    std::vector<std::vector<std::string>> rows;
    bool inside = false;
    for (std::string line : read_lines(path)) {
        line.erase(std::min(line.find('#'), line.size()));
        if (line.starts_with('[')) inside = line.starts_with("[" + name + "]");
        std::istringstream fields(line);
        std::vector<std::string> row{std::istream_iterator<std::string>(fields), {}};
        if (inside && !row.empty() && row[0][0] != '[') rows.push_back(row);
    }
    EXPECT_FALSE(rows.empty()) << path << " [" << name << "]";
    return rows;
}

// Counting resolver calls in the system-call table for its lifetime. Each host
// or service lookup first takes the next entry of the script (0: answer,
// other: fail with that h_errno), then asks the real resolver.
struct Resolver : SysGuard {
    Resolver() {
        fail_next({});
        name_calls = addr_calls = serv_calls = 0;
        yq::sys::table.gethostbyname = [](const char *name) {
            return failed(&name_calls) ? nullptr : ::gethostbyname(name);
        };
        yq::sys::table.gethostbyaddr = [](const void *address, socklen_t length, int type) {
            addr_seen = address;
            length_seen = length;
            return failed(&addr_calls) ? nullptr : ::gethostbyaddr(address, length, type);
        };
        yq::sys::table.getservbyname = [](const char *name, const char *proto) {
            return failed(&serv_calls) ? nullptr : ::getservbyname(name, proto);
        };
        yq::sys::table.getservbyport = [](int port, const char *proto) {
            return failed(&serv_calls) ? nullptr : ::getservbyport(port, proto);
        };
    }
    static void fail_next(std::vector<int> errors) {
        script = std::move(errors);
        step = 0;
    }
    static bool failed(int *calls) {
        ++*calls;
        if (step >= script.size()) return false;
        h_errno = script[step++];
        return h_errno != 0;
    }

    static inline std::vector<int> script;
    static inline size_t step = 0;
    static inline int name_calls = 0, addr_calls = 0, serv_calls = 0;
    static inline const void *addr_seen = nullptr;  // of the last reverse lookup
    static inline socklen_t length_seen = 0;
};

}  // namespace yqtest

#endif
