// Format/input pairs on which Y_sscanf is compared with the platform's
// sscanf, each with typed destinations ("shapes"), shared by the unit test
// and the benchmark. Destinations are pre-filled with a sentinel, so a value
// written where the other implementation writes nothing shows up too.
#ifndef YSCAN_CASES_H
#define YSCAN_CASES_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <limits>
#include <type_traits>
#include <utility>
#include <vector>

namespace yscan_cases {

using ScanFn = int (*)(const char *, const char *, ...);

constexpr int kMaxDest = 4;
constexpr size_t kSlotSize = 64;
constexpr unsigned char kSentinel = 0xA5;

struct Slots {
    alignas(16) unsigned char bytes[kMaxDest][kSlotSize];
    void fill() { std::memset(bytes, kSentinel, sizeof bytes); }
};

// String destinations for %s, %c and scan sets, narrow and wide.
struct Str {
    char c[kSlotSize];
};
struct WStr {
    wchar_t c[kSlotSize / sizeof(wchar_t)];
};

template <typename T>
T *arg(T *p) { return p; }
inline char *arg(Str *p) { return p->c; }
inline wchar_t *arg(WStr *p) { return p->c; }

// Bytes that hold the value: an x87 long double leaves six padding bytes
// that a store need not write.
template <typename T>
constexpr size_t value_bytes() {
    if constexpr (std::is_same_v<T, long double>)
        return std::numeric_limits<long double>::digits == 64 ? 10 : sizeof(long double);
    else
        return sizeof(T);
}

// The destination types of one format, in order.
struct Shape {
    int count;
    size_t bytes[kMaxDest];
    int (*call)(ScanFn, const char *input, const char *format, Slots &);
};

template <typename... T>
struct Caller {
    static_assert(sizeof...(T) <= kMaxDest);
    static_assert(((sizeof(T) <= kSlotSize) && ...));
    template <size_t... I>
    static int call_with(ScanFn fn, const char *in, const char *fmt, Slots &s, std::index_sequence<I...>) {
        return fn(in, fmt, arg(reinterpret_cast<T *>(s.bytes[I]))...);
    }
    static int call(ScanFn fn, const char *in, const char *fmt, Slots &s) {
        return call_with(fn, in, fmt, s, std::index_sequence_for<T...>{});
    }
};

template <typename... T>
constexpr Shape shape() {
    return Shape{static_cast<int>(sizeof...(T)), {value_bytes<T>()...}, &Caller<T...>::call};
}

using ll = long long;
using ull = unsigned long long;
using ld = long double;
using schar = signed char;
using uchar = unsigned char;
using ushort = unsigned short;

inline constexpr Shape None = shape<>();
inline constexpr Shape I = shape<int>();
inline constexpr Shape II = shape<int, int>();
inline constexpr Shape III = shape<int, int, int>();
inline constexpr Shape U = shape<unsigned>();
inline constexpr Shape D = shape<double>();
inline constexpr Shape DI = shape<double, int>();
inline constexpr Shape F = shape<float>();
inline constexpr Shape LD = shape<ld>();
inline constexpr Shape S = shape<Str>();
inline constexpr Shape SI = shape<Str, int>();
inline constexpr Shape SS = shape<Str, Str>();
inline constexpr Shape SSI = shape<Str, Str, int>();
inline constexpr Shape W = shape<WStr>();
inline constexpr Shape WI = shape<WStr, int>();
inline constexpr Shape P = shape<void *>();
inline constexpr Shape PI = shape<void *, int>();

// kAgree: both implementations must give the same result and values.
// Anything else is the result Y_sscanf gives on purpose where the platform
// departs from the standard contract (`why` says how); values are then
// checked by the unit test directly.
constexpr int kAgree = 1000;

struct ScanCase {
    const char *format;
    const char *input;
    Shape shape;
    int ours = kAgree;
    const char *why = nullptr;
};

// Hand-written cases: directives in combination, every modifier, inputs
// that end early, and the deliberate departures.
inline const ScanCase kTable[] = {
    // Directives without conversions.
    {"", "", None}, {"", "abc", None}, {"abc", "abc", None}, {"abc", "abd", None}, {"abc", "ab", None},
    {"abc", "", None}, {"abc", "  abc", None}, {" abc", "  abc", None}, {"a b", "a     b", None},
    {"a b", "ab", None}, {"a\tb\n", "a\n\n\tb", None}, {"%%", "%", None}, {"%%", "  %", None}, {"%%", "x", None},
    {"%%", "", None}, {"%", "abc", None}, {"%5%", "  %", None}, {"%*%%d", "%7", I}, {"%1%", "", None},
    {"%y", "", None}, {"%y%d", "1", I}, {"%d%y%d", "1 2", II}, {"%5", "12", I}, {"%*", "12", I}, {"%l", "12", I},
    {"%hld", "12", I}, {"%lhd", "12", I}, {"%llld", "12", I}, {"%hhhd", "12", I}, {"%5*d", "12", I},
    // Literals, white space and %% between conversions.
    {"%d,%d", "1,2", II}, {"%d,%d", "1 ,2", II}, {"%d ,%d", "1 ,2", II}, {"%d, %d", "1,   2", II},
    {"%d,%d", "1", II}, {"%d,%d", "1,", II}, {"%d,%d", "1;2", II}, {"%d%%", "1%", I}, {"%d%%", "1 %", I},
    {"%d%%", "1", I}, {"%d%% %d", "1 % 2", II}, {"%%%d", "  %12", I}, {"x%d", "x", I}, {"x%d", "y1", I},
    {"x%d", "x1", I}, {"a%d", "  a12", I}, {"\n%d", "\n12", I}, {"%d %d", "12 ", II}, {"%d %d", "12 x", II},
    {"%d%d%d", "1 2 3", III}, {"%d%d%d", "1 2", III}, {"%d%d%d", "1 2 x", III}, {"%d:%d:%d", "12:34:56", III},
    {"%d-%d-%d", "2024-1-31", III}, {"%x.%x.%x", "ff.0.A", III},
    // %n anywhere: never counted, never reads.
    {"%n", "", I}, {"%n", "abc", I}, {"%n", "  ", I}, {" %n", "  ", I}, {"%d%n", "  ", II},
    {"%d%n%d", "12 34", III}, {"%n%d", "", II}, {"%n%d", "x", II}, {"abc%n", "abcdef", I}, {"abc%n", "ab", I},
    {"%*d%n", "123 4", I}, {"%d%*n", "5", II}, {"%5n", "abc", I}, {"%s%n", "hello world", SI},
    {"%s %n", "hello world", SI}, {"%c%n", "xy", SI}, {"%[a-z]%n", "abc123", SI}, {"%lf%n", "1.5x", DI},
    {"%p%n", "0x10 ", PI},
    // Suppression.
    {"%*d%d", "1 2", II}, {"%*d%d", "1 x", II}, {"%*s%s", "ab cd", SS}, {"%*c%c", "ab", SS},
    {"%*[a-c]%s", "abcdef", SS}, {"%*lf%d", "1.5 7", I}, {"%*x%n", "ff!", I},
    {"%*d%d", "5", II, 0, "after a suppressed conversion the platform still returns EOF"},
    {"%*s%d", "abc", II, 0, "after a suppressed conversion the platform still returns EOF"},
    {"%*c%c", "a", SS, 0, "after a suppressed conversion the platform still returns EOF"},
    // Width edge cases.
    {"%0d", "123", I}, {"%1d", "-1", I}, {"%1d", "+1", I}, {"%2d", "-12", II}, {"%2d%d", "1234", II},
    {"%3d%n", "-12345", II}, {"%20d", "12", I}, {"%99999999999999999999d", "12", I}, {"%2x%2x%2x", "a1b2c3", III},
    {"%2c%2c", "abcd", SS}, {"%4s%s", "abcdefg", SS}, {"%3[a-z]%s", "abcdefg", SS}, {"%1lf%d", "1.5", DI},
    // Length modifiers on %n.
    {"abc%hhn", "abc", shape<schar>()}, {"abc%hn", "abc", shape<short>()}, {"abc%ln", "abc", shape<long>()},
    {"abc%lln", "abc", shape<ll>()}, {"abc%jn", "abc", shape<std::intmax_t>()},
    {"abc%zn", "abc", shape<std::size_t>()}, {"abc%tn", "abc", shape<std::ptrdiff_t>()},
    // Modifiers the platform ignores or maps.
    {"%hc", "ab", S}, {"%hs", "ab", S}, {"%Ld", "12", shape<ll>()}, {"%Lu", "-1", shape<ull>()},
    {"%qd", "-12", shape<ll>()}, {"%qx", "fffffffffff", shape<ull>()}, {"%hf", "1.5", F}, {"%le", "0x1P3", D},
    {"%lE", "1E3", D}, {"%lG", "-1e-3", D},
    // Conversions the platform does not have.
    {"%D", "12", shape<long>(), 1, "%D is %ld here; the platform does not know it"},
    {"%O", "17", shape<long>(), 1, "%O is %lo here; the platform does not know it"},
    {"%3D%d", "12345", shape<long, int>(), 2, "%D is %ld here; the platform does not know it"},
    {"%1$d", "1", I, 0, "positional arguments are not supported"},
    // %p.
    {"%p", "0x1234", P}, {"%p", "1234", P}, {"%p", "-1", P}, {"%p", "0", P}, {"%p", "(nil)", P}, {"%p", "(nil", P},
    {"%p", "(nul)", P}, {"%p", "( nil)", P}, {"%p%n", "(nil)x", PI}, {"%3p", "(nil)", P}, {"%*p%d", "(nil) 5", I},
    {"%p", "xyz", P}, {"%p", "", P}, {"%4p%n", "0x123456", PI},
    // Characters and strings at the end of the input.
    {"%3c", "ab", S}, {"%c", "", S}, {"%c", "  x", S}, {" %c", "  x", S}, {"%2c", "  x", S}, {"%s", "", S},
    {"%s", "   ", S}, {"%s%s", "abc", SS}, {"%s%s", "abc   ", SS}, {"%s %s%n", "abc\tdef ghi", SSI},
    {"%c%c", "a", SS}, {"%[a]", "", S}, {"%[a]", "b", S}, {"%[a]%[b]", "aab", SS}, {"%[a]%[b]", "aa", SS},
    {"%[a]%[b]", "aac", SS},
    // Scan sets: the format's own shapes.
    {"%[]", "]]", S}, {"%[^]", "x]y", S}, {"%[^", "abc", S}, {"%[abc", "abc", S}, {"%[]-a]", "]^_`a-b", S},
    {"%[^-]", "ab-c", S}, {"%[^-a]", "xyz-", S}, {"%[a-a]", "aab", S}, {"%[a-a]", "a-a", S}, {"%[^b-b]", "a-b", S},
    {"%[\\-]", "\\-x", S}, {"%[%]", "%%a", S}, {"%[ ]", "   x", S}, {"%[^ \t]", "ab\tc", S},
    {"%[0-9a-fA-F]", "DEADbeef99z", S}, {"%[a-]", "a--b", S}, {"%[-a]", "-a-b", S}, {"%[^a-]", "xy-a", S},
    {"%[z-a]", "z-a", S}, {"%[z-a]", "m", S}, {"%[9-0]", "9-0", S}, {"%[^\x01-\x7f]", "\xc3\xa9t\xc3\xa9!", S},
    {"%[\x80-\xff]", "\xc3\xa9t", S}, {"%[^\n]%n", "line one\nline two", SI}, {"%[^=]=%s", "key=value", SS},
    {"%[^:]:%[^:]:%s", "root:x:0", shape<Str, Str, Str>()},
    // Wide conversions (single-byte characters in the C locale).
    {"%ls", "ab", W}, {"%ls", "  ab cd", W}, {"%lc", "ab", W}, {"%2lc", "ab", W}, {"%3lc", "ab", W}, {"%lc", "", W},
    {"%ls", "", W}, {"%l[a-z]", "abc1", W}, {"%l[^]]", "ab]c", W}, {"%l[a]", "b", W}, {"%2ls%n", "abcd", WI},
    {"%ls", "ab\xe9", W}, {"%lc", "\xe9", W}, {"%*ls%n", "ab cd", I},
    // Mixed real-world formats.
    {"%d.%d.%d.%d", "192.0.2.17", shape<int, int, int, int>()},
    {"%hhu.%hhu.%hhu.%hhu", "192.0.2.300", shape<uchar, uchar, uchar, uchar>()},
    {"%s %d %lf", "name 42 3.5", shape<Str, int, double>()},
    {"%31s %lu", "host 1700000000", shape<Str, unsigned long>()}, {"%[^,],%d", "a b c,17", shape<Str, int>()},
    {"%x%n", "deadBEEFxyz", II}, {"%lx", "ffffffffffffffff", shape<unsigned long>()},
    {"%llx", "0x8000000000000000", shape<ull>()}, {"%lld", "-9223372036854775808", shape<ll>()},
    {"%i%i%i", "010 0x10 10", III}, {"%o%o", "777 8", II}, {"%d%s", "12abc", shape<int, Str>()},
    {"%f%s", "1.5e+x", shape<float, Str>()}, {"%lf%s", "infinityx", shape<double, Str>()},
    {"%lf%s", "nan(123)", shape<double, Str>()},
    {"%lf %lf", "0x1p-1074 0x1.fffffffffffffp1023", shape<double, double>()},
    {"%e%n", "  -1.25E+2 ", shape<float, int>()}, {"%5s%n%d", "abcdefgh 12", shape<Str, int, int>()},
    {"%d%c", "12 x", shape<int, Str>()}, {"%d %c", "12 x", shape<int, Str>()}, {"%u", "4294967296", U},
    {"%u", "-4294967295", U}, {"%hhd%hhd", "127 128", shape<schar, schar>()},
    {"%hd%hu", "-32769 65536", shape<short, ushort>()},
};

// Integer conversions, each against every integer input.
inline const std::pair<const char *, Shape> kIntFormats[] = {
    {"%d", I}, {"%i", I}, {"%o", U}, {"%u", U}, {"%x", U}, {"%X", U}, {"%hhd", shape<schar>()},
    {"%hd", shape<short>()}, {"%ld", shape<long>()}, {"%lld", shape<ll>()}, {"%jd", shape<std::intmax_t>()},
    {"%td", shape<std::ptrdiff_t>()}, {"%zd", shape<std::make_signed_t<std::size_t>>()}, {"%hhu", shape<uchar>()},
    {"%hu", shape<ushort>()}, {"%lu", shape<unsigned long>()}, {"%llu", shape<ull>()},
    {"%zu", shape<std::size_t>()}, {"%jx", shape<std::uintmax_t>()}, {"%hhx", shape<uchar>()},
    {"%lli", shape<ll>()}, {"%hi", shape<short>()}, {"%lo", shape<unsigned long>()}, {"%p", P}, {"%1d", I},
    {"%2d", I}, {"%3d", I}, {"%2i", I}, {"%3i", I}, {"%3x", U}, {"%2o", U}, {"%*d", None}, {"%*i%n", I},
    {"%d%n", II}, {"%i%n", II}, {"%x%n", shape<unsigned, int>()}, {"%3i%n", II}, {"%lld%n", shape<ll, int>()},
};

inline const char *const kIntInputs[] = {
    "0", "-0", "+0", "1", "-1", "42", "  42", "\t\n 42x", "+17", "- 5", "-", "+", "", "   ", "abc",
    "0x", "0X1f", "0x1F", "0xg", "-0x10", "+0x", "0777", "08", "09", "0b101", "123456789",
    "2147483647", "2147483648", "-2147483648", "-2147483649", "4294967295", "4294967296",
    "9223372036854775807", "9223372036854775808", "-9223372036854775808", "-9223372036854775809",
    "18446744073709551615", "18446744073709551616", "-18446744073709551615", "99999999999999999999999",
    "0000000000000000000000000000000000000000000000000000000000000000000000000000000042",
    "ffff", "FFFFFFFFFFFFFFFFF", "12 34", "1,2", "0x0x", "00x1", "-0x", "x1", "255", "256", "-129",
    "65535", "65536", "-32769", "0x7fffffffffffffff", "0xffffffffffffffff", "0x10000000000000000",
    "1777777777777777777777", "2000000000000000000000",
};

// Floating conversions, each against every floating input.
inline const std::pair<const char *, Shape> kFloatFormats[] = {
    {"%f", F}, {"%e", F}, {"%g", F}, {"%E", F}, {"%G", F}, {"%lf", D}, {"%le", D}, {"%lg", D}, {"%1lf", D},
    {"%2lf", D}, {"%3lf", D}, {"%4lf", D}, {"%5lf", D}, {"%*lf", None}, {"%lf%n", DI}, {"%3lf%n", DI},
    {"%f%n", shape<float, int>()},
};

inline const char *const kFloatInputs[] = {
    "0", "-0", "1", "-1.5", "3.14159", "  2.5e3xyz", "1e", "1e+", "1e+x", "1E-5", "1.e", "1.2.3",
    ".5", "5.", ".", "-.", "+.5", "e5", ".e5", "inf", "-INF", "Infinity", "infinit", "infin", "infx",
    "nan", "NaN", "-nan", "nanx", "na", "i", "n", "0x1p4", "0x1.8p1", "0X.8P1", "0x", "0x.", "0xp",
    "0x1p", "0x1p-", "0xa.bp+2q", "0xg", "00x1", "-0x", "0x.p1", "0xe", "1e400", "-1e400", "1e-400",
    "4.9e-324", "2.2250738585072011e-308", "0.1",
    "0.10000000000000000555111512312578270211815834045410156250000000000001",
    "123456789012345678901234567890", "340282356779733661637539395458142568448", "1,5", "  ", "",
    "abc", "+-1", "--1", "0.000001e+6", "1e5e5", "12e-", "0e", "0e1", "1.5e+2.5",
};

// Character, string and scan-set conversions, each against every text
// input.
inline const std::pair<const char *, Shape> kTextFormats[] = {
    {"%s", S}, {"%3s", S}, {"%1s", S}, {"%c", S}, {"%3c", S}, {"%5c", S}, {"%[abc]", S}, {"%[^abc]", S},
    {"%[a-z]", S}, {"%[^a-z]", S}, {"%[]a]", S}, {"%[^]a]", S}, {"%[a-]", S}, {"%[-a]", S}, {"%[a-c-e]", S},
    {"%[c-a]", S}, {"%2[a-z]", S}, {"%[^\n]", S}, {"%[^ ]", S}, {"%*s", None}, {"%*[a-z]", None}, {"%*c", None},
    {"%s%n", SI}, {"%[a-z]%n", SI}, {"%2c%n", SI}, {"%*[^a]%n", I}, {"%ls", W}, {"%lc", W}, {"%l[a-z]", W},
};

inline const char *const kTextInputs[] = {
    "", "   ", "abc", "  abc def", "a", "]abc", "-a-b", "hello\tworld", "xyz", "ABC", "a\nb", "zzz]",
    "d-e", "caba-", "1234567890abcdef", "e]-c", " \t\n", "0123456789012345678901234567890123456789",
};

// Every case: the table, then each format family against its inputs.
inline std::vector<ScanCase> all_cases() {
    std::vector<ScanCase> cases(std::begin(kTable), std::end(kTable));
    auto cross = [&cases](const auto &formats, const auto &inputs) {
        for (const auto &[format, shp] : formats)
            for (const char *input : inputs) cases.push_back(ScanCase{format, input, shp});
    };
    cross(kIntFormats, kIntInputs);
    cross(kFloatFormats, kFloatInputs);
    cross(kTextFormats, kTextInputs);
    return cases;
}

}  // namespace yscan_cases

#endif
