// Replaceable system calls: every module calls the system through this one
// table, so a test can fail the k-th call, interrupt a wait, make a write
// write nothing or move the clock instead of waiting for it. Not exported.
//
// Tests replace entries of yq::sys::table and put everything back with one
// reset() (the test harness does it when a test ends). A module never keeps a
// table of its own: a call the table lacks is added here.
#ifndef YQ_SYS_H
#define YQ_SYS_H

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <cstddef>
#include <ctime>

namespace yq::sys {

struct Table {
    // Memory.
    void *(*malloc)(size_t);
    void *(*calloc)(size_t, size_t);
    void *(*realloc)(void *, size_t);
    // Clock and sleep.
    int (*gettimeofday)(struct timeval *, void *);
    time_t (*time)(time_t *);
    unsigned (*sleep)(unsigned);
    // Descriptors and sockets.
    ssize_t (*write)(int, const void *, size_t);
    ssize_t (*read)(int, void *, size_t);
    int (*poll)(struct pollfd *, nfds_t, int);
    ssize_t (*recv)(int, void *, size_t, int);
    ssize_t (*send)(int, const void *, size_t, int);
    int (*socket)(int, int, int);
    int (*bind)(int, const struct sockaddr *, socklen_t);
    int (*connect)(int, const struct sockaddr *, socklen_t);
    int (*accept4)(int, struct sockaddr *, socklen_t *, int);
    ssize_t (*sendmsg)(int, const struct msghdr *, int);
    ssize_t (*recvmsg)(int, struct msghdr *, int);
    int (*getsockname)(int, struct sockaddr *, socklen_t *);
    int (*getpeername)(int, struct sockaddr *, socklen_t *);
    // Files.
    int (*open)(const char *, int, mode_t);
    int (*stat)(const char *, struct stat *);
    int (*chmod)(const char *, mode_t);
    int (*chown)(const char *, uid_t, gid_t);
    int (*rename)(const char *, const char *);
    int (*fsync)(int);
    int (*access)(const char *, int);
    int (*mkdir)(const char *, mode_t);
    // Name resolution.
    struct hostent *(*gethostbyname)(const char *);
    struct hostent *(*gethostbyaddr)(const void *, socklen_t, int);
    struct servent *(*getservbyname)(const char *, const char *);
    struct servent *(*getservbyport)(int, const char *);
    // Processes.
    pid_t (*fork)();
    pid_t (*waitpid)(pid_t, int *, int);
};

// The live table.
extern Table table;

// Restores every entry to the real system function.
void reset() noexcept;

inline void *malloc(size_t n) { return table.malloc(n); }
inline void *calloc(size_t n, size_t s) { return table.calloc(n, s); }
inline void *realloc(void *p, size_t n) { return table.realloc(p, n); }
inline int gettimeofday(struct timeval *tv) { return table.gettimeofday(tv, nullptr); }
inline time_t time(time_t *t) { return table.time(t); }
inline unsigned sleep(unsigned s) { return table.sleep(s); }
inline ssize_t write(int fd, const void *buf, size_t n) { return table.write(fd, buf, n); }
inline ssize_t read(int fd, void *buf, size_t n) { return table.read(fd, buf, n); }
inline int poll(struct pollfd *fds, nfds_t count, int timeout_ms) {
    return table.poll(fds, count, timeout_ms);
}
inline ssize_t recv(int fd, void *buf, size_t n, int flags) { return table.recv(fd, buf, n, flags); }
inline ssize_t send(int fd, const void *buf, size_t n, int flags) {
    return table.send(fd, buf, n, flags);
}
inline int socket(int domain, int type, int protocol) { return table.socket(domain, type, protocol); }
inline int bind(int fd, const struct sockaddr *addr, socklen_t length) {
    return table.bind(fd, addr, length);
}
inline int connect(int fd, const struct sockaddr *addr, socklen_t length) {
    return table.connect(fd, addr, length);
}
inline int accept4(int fd, struct sockaddr *addr, socklen_t *length, int flags) {
    return table.accept4(fd, addr, length, flags);
}
inline ssize_t sendmsg(int fd, const struct msghdr *message, int flags) {
    return table.sendmsg(fd, message, flags);
}
inline ssize_t recvmsg(int fd, struct msghdr *message, int flags) {
    return table.recvmsg(fd, message, flags);
}
inline int getsockname(int fd, struct sockaddr *addr, socklen_t *length) {
    return table.getsockname(fd, addr, length);
}
inline int getpeername(int fd, struct sockaddr *addr, socklen_t *length) {
    return table.getpeername(fd, addr, length);
}
inline int open(const char *path, int flags, mode_t mode = 0) { return table.open(path, flags, mode); }
inline int stat(const char *path, struct stat *st) { return table.stat(path, st); }
inline int chmod(const char *path, mode_t mode) { return table.chmod(path, mode); }
inline int chown(const char *path, uid_t owner, gid_t group) { return table.chown(path, owner, group); }
inline int rename(const char *from, const char *to) { return table.rename(from, to); }
inline int fsync(int fd) { return table.fsync(fd); }
inline int access(const char *path, int mode) { return table.access(path, mode); }
inline int mkdir(const char *path, mode_t mode) { return table.mkdir(path, mode); }
inline struct hostent *gethostbyname(const char *name) { return table.gethostbyname(name); }
inline struct hostent *gethostbyaddr(const void *address, socklen_t length, int type) {
    return table.gethostbyaddr(address, length, type);
}
inline struct servent *getservbyname(const char *name, const char *proto) {
    return table.getservbyname(name, proto);
}
inline struct servent *getservbyport(int port, const char *proto) {
    return table.getservbyport(port, proto);
}
inline pid_t fork() { return table.fork(); }
inline pid_t waitpid(pid_t pid, int *status, int options) { return table.waitpid(pid, status, options); }

// strdup/strndup through the replaceable allocator, so allocation failures
// reach them too. Results are released with free().
char *strdup(const char *s) noexcept;
char *strndup(const char *s, size_t n) noexcept;

}  // namespace yq::sys

#endif
