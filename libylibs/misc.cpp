// Number formatting, command-line option lookup and environment removal.
// (Y_sscanf, declared with these, lives with its scanf engine in bsdscan/.)
#include "misc.h"

#include <unistd.h>

#include <cstring>

#include "cstr.h"
#include "cstra.h"
#include "cstrvsa.h"
#include "cstrvsa_private.h"
#include "misc_private.h"
#include "ystrings.h"

namespace {

constexpr size_t kMaxOption = 32;  // longer arguments are never options
constexpr int kNumberWidth = 11;   // "-2147483648"

// Option arguments start with '-' and are at most 32 characters; upper-cased
// into `out` (33 bytes) so that they compare case-insensitively.
bool option_key(const char *arg, char (&out)[kMaxOption + 1]) {
    if (arg == nullptr || arg[0] != '-' || std::strlen(arg) > kMaxOption) return false;
    Y_strlcpy(out, arg, sizeof out);
    cstrUPPER(out);
    return true;
}

// Index of the first option argument equal to `key`, or -1.
int find_option(char **argv, const char *key) {
    char arg[kMaxOption + 1];
    for (int i = 0; argv[i] != nullptr; ++i)
        if (option_key(argv[i], arg) && std::strcmp(arg, key) == 0) return i;
    return -1;
}

// Formats n into buf (12 bytes), right-justified to `width` columns. These
// results have no failure value, so the formatting must not allocate (the
// bounded formatter needs a scratch block).
char *format_int(char (&buf)[kNumberWidth + 1], int n, int width) {
    char digits[kNumberWidth];
    size_t len = 0;
    // Through unsigned, so INT_MIN has a magnitude.
    unsigned magnitude = n < 0 ? 0u - static_cast<unsigned>(n) : static_cast<unsigned>(n);
    do digits[len++] = static_cast<char>('0' + magnitude % 10);
    while ((magnitude /= 10) != 0);
    if (n < 0) digits[len++] = '-';
    size_t pad = static_cast<size_t>(width) > len ? static_cast<size_t>(width) - len : 0;
    std::memset(buf, ' ', pad);
    for (size_t i = 0; i < len; ++i) buf[pad + i] = digits[len - 1 - i];
    buf[pad + len] = '\0';
    return buf;
}

}  // namespace

namespace yq::misc {

bool ckmch(const char *entry, const char *name) noexcept {
    for (; *entry != '=' && *entry != '\0'; ++entry, ++name)
        if (*entry != *name) return false;
    return true;
}

int env_remove(char **env, const char *name) noexcept {
    if (env == nullptr || name == nullptr) return -1;
    for (char **p = env; *p != nullptr; ++p) {
        if (!ckmch(*p, name)) continue;
        do p[0] = p[1];
        while (*p++ != nullptr);
        return 0;
    }
    return -1;
}

}  // namespace yq::misc

extern "C" {

char *itoaLJ(int n) noexcept {
    static char buf[kNumberWidth + 1];
    return format_int(buf, n, 0);
}

char *itoaRJ(int n) noexcept {
    static char buf[kNumberWidth + 1];
    return format_int(buf, n, kNumberWidth);
}

int argEXISTS(char **argv, const char *option) noexcept {
    char key[kMaxOption + 1];
    if (argv == nullptr || !option_key(option, key)) return 0;
    return find_option(argv, key) >= 0 ? 1 : 0;
}

char **argValuesGET(char **argv, const char *option) noexcept {
    char key[kMaxOption + 1];
    if (argv == nullptr || !option_key(option, key)) return nullptr;
    int at = find_option(argv, key);
    if (at < 0) return nullptr;
    yq::cstrvsa::OwningHandle values(cstrvsaNEW(0, -1));
    if (!values) return nullptr;
    for (char **arg = argv + at + 1; *arg != nullptr && (*arg)[0] != '-'; ++arg)
        if (!yq::cstrvsa::append_copy(values.get(), *arg)) return nullptr;
    return cstrvsaDETACH(values.release());
}

// Replaces the C library's function for every program that links this
// library, with the product's matching rule (see ckmch) and result.
int unsetenv(const char *name) noexcept { return yq::misc::env_remove(environ, name); }

}  // extern "C"
