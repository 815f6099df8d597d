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

#include "ynet.h"
#include "yqtest.h"
#include "yqtest_clock.h"

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
// A field of a row: "-" is no text at all, "''" the empty one.
inline const char *field(const std::string &text) { return text == "-" ? nullptr : text == "''" ? "" : text.c_str(); }

// Every allocation of `lookup(what)` after `reset()` fails in turn: each run
// gives the whole answer or exhausted memory, and leaks nothing.
template <typename Reset, typename Lookup>
void expect_whole_or_no_memory(const char *what, Reset reset, Lookup lookup) {
    std::string whole = (reset(), lookup(what)), no_memory = std::to_string(YN_STATUS_NO_MEMORY);
    for_each_alloc_failure([&] {
        std::string got = (reset(), lookup(what));
        EXPECT_TRUE(got == whole || got == no_memory) << what << ": " << got;
    });
}

// Counting resolver calls in the system-call table for its lifetime. Each host
// or service lookup first takes the next entry of the script, then asks the
// real resolver. A script is a text of h_errno letters, one a call: '.' answer,
// T TRY_AGAIN, N HOST_NOT_FOUND, R NO_RECOVERY; "-" is none.
struct Resolver : SysGuard {
    Resolver() {
        fail_next("-");
        name_calls = addr_calls = serv_calls = 0;
        auto &t = yq::sys::table;
        t.gethostbyname = [](const char *n) { return failed(&name_calls) ? nullptr : ::gethostbyname(n); };
        t.gethostbyaddr = [](const void *a, socklen_t n, int type) {
            return (addr_seen = a, length_seen = n, failed(&addr_calls)) ? nullptr : ::gethostbyaddr(a, n, type);
        };
        t.getservbyname = [](const char *n, const char *p) {
            return failed(&serv_calls) ? nullptr : ::getservbyname(n, p);
        };
        t.getservbyport = [](int n, const char *p) { return failed(&serv_calls) ? nullptr : ::getservbyport(n, p); };
    }
    static void fail_next(const std::string &letters) { script = letters == "-" ? "" : letters, step = 0; }
    static bool failed(int *calls) {
        ++*calls;
        if (step >= script.size()) return false;
        const char c = script[step++];
        h_errno = c == 'T' ? TRY_AGAIN : c == 'N' ? HOST_NOT_FOUND : c == 'R' ? NO_RECOVERY : 0;
        return h_errno != 0;
    }

    static inline std::string script;
    static inline size_t step = 0;
    static inline int name_calls = 0, addr_calls = 0, serv_calls = 0;
    static inline const void *addr_seen = nullptr;  // of the last reverse lookup
    static inline socklen_t length_seen = 0;
};

// A test whose resolver calls are counted and whose clock is fake.
struct ResolverTest : ::testing::Test {
    FakeClock clock;
    Resolver resolver;
};

}  // namespace yqtest

#endif
