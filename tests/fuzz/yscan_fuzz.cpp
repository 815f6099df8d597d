// Feeds arbitrary text to Y_sscanf under a fixed set of formats, and under
// one more format assembled from fixed pieces chosen by the input's first
// bytes. Besides running clean under the sanitizers, every result must
// equal the C library's sscanf on the same text, destinations included.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "misc.h"

namespace {

using ScanFn = int (*)(const char *, const char *, ...);

constexpr size_t kDest = 4;

// Four destinations, each large enough for the whole input as wide
// characters, pre-filled with a sentinel. The engine is handed plain
// pointers to them: every conversion here writes through a pointer type
// whose representation is the same.
class Destinations {
public:
    explicit Destinations(size_t input_len)
        : each_(((input_len + 2) * sizeof(wchar_t) + 64 + 15) & ~static_cast<size_t>(15)),
          mem_(each_ * kDest + 16, 0xA5) {}
    void *at(size_t i) { return base() + i * each_; }
    bool operator==(const Destinations &o) const { return mem_ == o.mem_; }

private:
    unsigned char *base() {
        auto p = reinterpret_cast<std::uintptr_t>(mem_.data());
        return mem_.data() + ((16 - p % 16) % 16);
    }
    size_t each_;
    std::vector<unsigned char> mem_;
};

// Narrow conversions only: for wide ones the C library stores characters
// it could not decode, so they are run below without comparison. Floating
// conversions store doubles only: the engine reads every floating number
// as a double, where the C library reads floats and long doubles at their
// own precision.
const char *const kFormats[] = {
    "%d%n",          "%i%n",           "%x%n",        "%o%n",          "%u%n",
    "%hhd%hd%n",     "%lld %llu%n",    "%3i%2x%n",    "%p%n",          "%lf%n",
    "%lE%n",         "%3lg%n",         "%4lf%lf%n",   "%le %lg%n",     "%s%n",
    "%5s%s%n",       "%c%3c%n",        "%[a-z]%n",    "%[^]-]%n",      "%[]0-9a-f]%n",
    "%d,%d:%d%n",    "%d%%%n",         " %c%n",       "%*d%d%n",       "%*s %s%n",
    "%[^=]=%s%n",    "%lx.%lx%n",      "%2c%d%lf%n",  "%*[^0-9]%d%n",  "abc%n",
};

const char *const kWideFormats[] = {"%ls%n", "%3lc%n", "%l[a-z]%n", "%l[^ ]%n", "%2ls%lc%n"};

// Pieces of the assembled format.
const char *const kLiterals[] = {"", " ", ",", "x", "-", "%%", "0", "\t"};
const char *const kWidths[] = {"", "", "1", "2", "3", "7", "0", "*"};
const char *const kSizes[] = {"", "h", "hh", "l", "ll", "j", "z", "t", "L", "q"};
const char *const kConversions[] = {"d", "i", "o", "u", "x", "X", "p", "n", "c", "s", "e", "f",
                                    "g", "E", "[a-c]", "[^x ]", "[]-]", "[0-9.e]", "[^]]", "%"};

template <typename T, size_t N>
const T &piece(const T (&table)[N], uint8_t b) {
    return table[b % N];
}

std::string assemble(const uint8_t *data, size_t size) {
    std::string fmt;
    size_t i = 0;
    auto next = [&]() -> uint8_t { return i < size ? data[i++] : 0; };
    int directives = 1 + next() % 3;
    for (int k = 0; k < directives; ++k) {
        fmt += piece(kLiterals, next());
        fmt += '%';
        fmt += piece(kWidths, next());
        const char *conv = piece(kConversions, next());
        const char *size_mod = piece(kSizes, next());
        // The standard leaves text conversions with these sizes undefined,
        // and the engine reads them differently from the C library (never
        // as wide characters). Floating conversions are compared as doubles.
        bool text = std::strchr("cs[", conv[0]) != nullptr;
        bool floating = std::strchr("efgE", conv[0]) != nullptr;
        bool undefined = text && size_mod[0] != '\0' && size_mod[0] != 'h';
        if (floating)
            fmt += 'l';
        else if (!undefined && conv[0] != '%')
            fmt += size_mod;
        fmt += conv;
    }
    return fmt;
}

void compare(const std::string &input, const char *format) {
    Destinations ours(input.size());
    Destinations theirs(input.size());
    const ScanFn y = &Y_sscanf;
    const ScanFn c = &std::sscanf;
    int a = y(input.c_str(), format, ours.at(0), ours.at(1), ours.at(2), ours.at(3));
    int b = c(input.c_str(), format, theirs.at(0), theirs.at(1), theirs.at(2), theirs.at(3));
    // After a suppressed conversion the input may still run out: that is
    // no longer "before the first conversion", but the C library says EOF.
    if (a == 0 && b == EOF && std::strchr(format, '*') != nullptr) return;
    if (a != b || !(ours == theirs)) {
        std::fprintf(stderr, "Y_sscanf and sscanf differ: format \"%s\", result %d vs %d\n", format, a, b);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string input(reinterpret_cast<const char *>(data), size);  // ends at the first NUL for both
    for (const char *format : kFormats) compare(input, format);
    compare(input, assemble(data, size).c_str());
    for (const char *format : kWideFormats) {
        Destinations d(input.size());
        Y_sscanf(input.c_str(), format, d.at(0), d.at(1), d.at(2), d.at(3));
    }
    return 0;
}
