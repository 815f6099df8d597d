// 64-bit string-to-integer conversions for the scan engine, so integer
// conversions behave the same whatever the C library's long is.
#include <cerrno>
#include <cstdint>

#include "yscan.h"

namespace yscan {
namespace {

bool is_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Value of c as a digit in bases up to 36; 36 for anything else.
unsigned digit_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 36;
}

struct Parsed {
    std::uint64_t magnitude = 0;
    bool negative = false;
    bool overflow = false;
    const char *end;
};

Parsed parse(const char *nptr, int base) {
    Parsed r;
    r.end = nptr;
    if (base < 0 || base == 1 || base > 36) {
        errno = EINVAL;
        return r;
    }
    const auto *s = reinterpret_cast<const unsigned char *>(nptr);
    while (is_space(*s)) ++s;
    bool negative = false;
    if (*s == '-' || *s == '+') negative = *s++ == '-';
    // "0x" is a prefix only when a hex digit follows; otherwise the 0 alone
    // is the number.
    if ((base == 0 || base == 16) && s[0] == '0' && (s[1] == 'x' || s[1] == 'X') &&
        digit_value(s[2]) < 16) {
        s += 2;
        base = 16;
    } else if (base == 0) {
        base = s[0] == '0' ? 8 : 10;
    }
    const auto b = static_cast<unsigned>(base);
    const std::uint64_t max_quot = UINT64_MAX / b;
    const std::uint64_t max_rem = UINT64_MAX % b;
    const unsigned char *digits = s;
    for (unsigned d; (d = digit_value(*s)) < b; ++s) {
        if (r.overflow || r.magnitude > max_quot || (r.magnitude == max_quot && d > max_rem))
            r.overflow = true;
        else
            r.magnitude = r.magnitude * b + d;
    }
    if (s == digits) return r;  // no number: nothing consumed
    r.negative = negative;
    r.end = reinterpret_cast<const char *>(s);
    return r;
}

}  // namespace

std::intmax_t __Ystrtoimax(const char *nptr, char **endptr, int base) noexcept {
    Parsed p = parse(nptr, base);
    if (endptr != nullptr) *endptr = const_cast<char *>(p.end);
    constexpr std::uint64_t min_magnitude = static_cast<std::uint64_t>(INTMAX_MAX) + 1;
    if (p.negative) {
        if (p.overflow || p.magnitude > min_magnitude) {
            errno = ERANGE;
            return INTMAX_MIN;
        }
        return p.magnitude == min_magnitude ? INTMAX_MIN : -static_cast<std::intmax_t>(p.magnitude);
    }
    if (p.overflow || p.magnitude > static_cast<std::uint64_t>(INTMAX_MAX)) {
        errno = ERANGE;
        return INTMAX_MAX;
    }
    return static_cast<std::intmax_t>(p.magnitude);
}

std::uintmax_t __Ystrtoumax(const char *nptr, char **endptr, int base) noexcept {
    Parsed p = parse(nptr, base);
    if (endptr != nullptr) *endptr = const_cast<char *>(p.end);
    if (p.overflow) {
        errno = ERANGE;
        return UINTMAX_MAX;
    }
    // As in strtoumax, a minus sign negates in the unsigned type.
    return p.negative ? -p.magnitude : p.magnitude;
}

}  // namespace yscan
