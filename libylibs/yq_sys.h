// Replaceable system calls: every module calls the system through this table
// so a test can fail the k-th call, make a write write nothing, or move the
// clock instead of waiting for it. Not exported.
#ifndef YQ_SYS_H
#define YQ_SYS_H

#include <cstddef>
#include <ctime>
#include <sys/time.h>
#include <sys/types.h>

namespace yq::sys {

struct Table {
    ssize_t (*write)(int, const void *, size_t);
    ssize_t (*read)(int, void *, size_t);
    int (*gettimeofday)(struct timeval *, void *);
    time_t (*time)(time_t *);
    unsigned (*sleep)(unsigned);
    void *(*malloc)(size_t);
    void *(*calloc)(size_t, size_t);
    void *(*realloc)(void *, size_t);
};

// The live table; tests replace entries and call reset() afterwards.
extern Table table;

// Restores every entry to the real system function.
void reset() noexcept;

inline ssize_t write(int fd, const void *buf, size_t n) { return table.write(fd, buf, n); }
inline ssize_t read(int fd, void *buf, size_t n) { return table.read(fd, buf, n); }
inline int gettimeofday(struct timeval *tv) { return table.gettimeofday(tv, nullptr); }
inline time_t time(time_t *t) { return table.time(t); }
inline unsigned sleep(unsigned s) { return table.sleep(s); }
inline void *malloc(size_t n) { return table.malloc(n); }
inline void *calloc(size_t n, size_t s) { return table.calloc(n, s); }
inline void *realloc(void *p, size_t n) { return table.realloc(p, n); }

// strdup/strndup through the replaceable allocator, so allocation failures
// reach them too. Results are released with free().
char *strdup(const char *s) noexcept;
char *strndup(const char *s, size_t n) noexcept;

}  // namespace yq::sys

#endif
