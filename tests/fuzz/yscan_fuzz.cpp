// Feeds arbitrary text to Y_sscanf under fixed formats and one format
// assembled from pieces the input's first bytes choose: every result and
// every destination byte must equal the C library's sscanf on the same text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "../unit/yscan_cases.h"
#include "misc.h"

namespace {

using yscan_cases::Slots;

// Narrow conversions only: for wide ones the C library stores characters it
// could not decode, so they run below without comparison. Floating ones
// store doubles only: the engine reads every floating number as a double.
const char *const kFormats[] = {
    "%d%n",   "%i%n",     "%x%n",      "%o%n",       "%u%n",      "%hhd%hd%n",     "%lld %llu%n", "%3i%2x%n",
    "%p%n",   "%lf%n",    "%lE%n",     "%3lg%n",     "%4lf%lf%n", "%le %lg%n",     "%s%n",        "%5s%s%n",
    "%c%3c%n", "%[a-z]%n", "%[^]-]%n", "%[]0-9a-f]%n", "%d,%d:%d%n", "%d%%%n",      " %c%n",       "%*d%d%n",
    "%*s %s%n", "%[^=]=%s%n", "%lx.%lx%n", "%2c%d%lf%n", "%*[^0-9]%d%n", "abc%n",
};
const char *const kWideFormats[] = {"%ls%n", "%3lc%n", "%l[a-z]%n", "%l[^ ]%n", "%2ls%lc%n"};

// Pieces of the assembled format.
const char *const kLiterals[] = {"", " ", ",", "x", "-", "%%", "0", "\t"};
const char *const kWidths[] = {"", "", "1", "2", "3", "7", "0", "*"};
const char *const kSizes[] = {"", "h", "hh", "l", "ll", "j", "z", "t", "L", "q"};
const char *const kConversions[] = {"d", "i", "o", "u", "x", "X", "p", "n", "c", "s", "e", "f",
                                    "g", "E", "[a-c]", "[^x ]", "[]-]", "[0-9.e]", "[^]]", "%"};

std::string assemble(const uint8_t *data, size_t size) {
    std::string fmt;
    size_t i = 0;
    auto next = [&]() -> uint8_t { return i < size ? data[i++] : 0; };
    for (int k = 1 + next() % 3; k > 0; --k) {
        fmt += kLiterals[next() % 8] + std::string("%") + kWidths[next() % 8];
        const char *conv = kConversions[next() % 20];
        const char *size_mod = kSizes[next() % 10];
        // Text conversions with other sizes than h are undefined and read
        // differently (never as wide characters); floating ones as doubles.
        if (std::strchr("efgE", conv[0]) != nullptr)
            fmt += 'l';
        else if (conv[0] != '%' && (std::strchr("cs[", conv[0]) == nullptr || size_mod[0] == '\0' || size_mod[0] == 'h'))
            fmt += size_mod;
        fmt += conv;
    }
    return fmt;
}

void compare(const std::string &input, const char *format) {
    Slots ours(input.size()), theirs(input.size());
    const int a = ours.scan(&Y_sscanf, input, format), b = theirs.scan(&std::sscanf, input, format);
    // After a suppressed conversion the input may still run out: that is no
    // longer "before the first conversion", but the C library says EOF.
    if (a == 0 && b == EOF && std::strchr(format, '*') != nullptr) return;
    if (a != b || std::memcmp(ours.mem.data(), theirs.mem.data(), ours.mem.size() * sizeof ours.mem[0]) != 0) {
        std::fprintf(stderr, "Y_sscanf and sscanf differ: format \"%s\", result %d vs %d\n", format, a, b);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string input(reinterpret_cast<const char *>(data), size);  // ends at the first NUL for both
    for (const char *format : kFormats) compare(input, format);
    compare(input, assemble(data, size).c_str());
    for (const char *format : kWideFormats) Slots(input.size()).scan(&Y_sscanf, input, format);
    return 0;
}
