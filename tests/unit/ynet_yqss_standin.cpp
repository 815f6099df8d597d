// Stands in for the helper program: writes what it was started with to the
// file named by STANDIN_OUT, one line each (its arguments, then for each
// descriptor 0-63 that is open its number, where it points and "cloexec" when
// that flag is set), and exits with STANDIN_EXIT ("signal": killed instead).
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv) {
    const char *out = std::getenv("STANDIN_OUT");
    const char *code = std::getenv("STANDIN_EXIT");
    if (out == nullptr || code == nullptr) return 99;
    char lines[8192] = "";
    size_t used = 0;
    for (int i = 0; i < argc; ++i)
        used += static_cast<size_t>(std::snprintf(lines + used, sizeof lines - used, "argv %s\n", argv[i]));
    for (int fd = 0; fd < 64; ++fd) {
        int flags = fcntl(fd, F_GETFD);
        if (flags < 0) continue;
        char link[64], target[256] = "";
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        ssize_t n = readlink(link, target, sizeof target - 1);
        if (n > 0) target[n] = '\0';
        if (std::strncmp(target, "socket:", 7) == 0) std::strcpy(target, "socket");
        used += static_cast<size_t>(std::snprintf(lines + used, sizeof lines - used, "fd %d %s%s\n", fd, target,
                                                  (flags & FD_CLOEXEC) != 0 ? " cloexec" : ""));
    }
    int file = open(out, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (file < 0 || write(file, lines, used) != static_cast<ssize_t>(used)) return 98;
    close(file);
    if (std::strcmp(code, "signal") == 0) raise(SIGKILL);
    return std::atoi(code);
}
