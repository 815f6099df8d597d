#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "misc.h"
#include "yqtest.h"
#include "yscan.h"
#include "yscan_cases.h"

namespace {

using namespace yscan_cases;

std::string printable(const char *s) {
    std::string out = "\"";
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p != 0; ++p) {
        if (*p >= 0x20 && *p < 0x7f && *p != '"' && *p != '\\') {
            out += static_cast<char>(*p);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", *p);
            out += hex;
        }
    }
    return out + "\"";
}

std::string hex_dump(const unsigned char *p, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02x", p[i]);
        out += hex;
    }
    return out;
}

struct Outcome {
    int rc;
    Slots slots;
};

Outcome run(ScanFn fn, const char *format, const char *input, const Shape &shape) {
    Outcome r;
    r.slots.fill();
    r.rc = shape.call(fn, input, format, r.slots);
    return r;
}

ScanFn ours() { return &Y_sscanf; }
ScanFn platform() { return &std::sscanf; }

// Empty when both runs agree on the result and on every destination byte
// that carries a value; otherwise a description of the difference.
std::string compare(const char *format, const char *input, const Shape &shape) {
    Outcome a = run(ours(), format, input, shape);
    Outcome b = run(platform(), format, input, shape);
    std::string diff;
    if (a.rc != b.rc) diff += " result " + std::to_string(a.rc) + " vs " + std::to_string(b.rc);
    for (int i = 0; i < shape.count; ++i) {
        if (std::memcmp(a.slots.bytes[i], b.slots.bytes[i], shape.bytes[i]) != 0)
            diff += " destination " + std::to_string(i) + " " + hex_dump(a.slots.bytes[i], shape.bytes[i]) +
                    " vs " + hex_dump(b.slots.bytes[i], shape.bytes[i]);
    }
    if (diff.empty()) return diff;
    return std::string("format ") + printable(format) + " input " + printable(input) + ":" + diff;
}

TEST(ScanDifferential, AgreesWithThePlatformOnTheCaseTable) {
    const std::vector<ScanCase> cases = all_cases();
    ASSERT_GE(cases.size(), 300u);
    int departures = 0;
    for (const ScanCase &c : cases) {
        if (c.ours != kAgree) {
            Outcome r = run(ours(), c.format, c.input, c.shape);
            EXPECT_EQ(r.rc, c.ours) << printable(c.format) << " on " << printable(c.input) << ": " << c.why;
            ++departures;
            continue;
        }
        std::string diff = compare(c.format, c.input, c.shape);
        EXPECT_TRUE(diff.empty()) << diff;
    }
    EXPECT_LT(departures, 10);
}

// Random inputs over the characters numbers and scan sets are made of, on
// every format family: catches differences no hand-written case thought of.
TEST(ScanDifferential, AgreesWithThePlatformOnRandomInputs) {
    static const char alphabet[] = "0123456789+-.xXeEpPaAfFiInNtTyY()]^ \t\n%,:abcdz\xc3\xa9";
    std::vector<std::pair<const char *, Shape>> formats;
    for (const auto &f : kIntFormats) formats.push_back(f);
    for (const auto &f : kFloatFormats) formats.push_back(f);
    // Wide conversions meet invalid multibyte input here, where the
    // platform stores characters it never decoded; they have their own test.
    for (const auto &f : kTextFormats)
        if (std::strstr(f.first, "%l") == nullptr) formats.push_back(f);
    const std::pair<const char *, Shape> mixed[] = {
        {"%d%lf%n", shape<int, double, int>()},
        {"%x %s%n", shape<unsigned, Str, int>()},
        {"%2i%3lf%c", shape<int, double, Str>()},
        {"%[0-9]%%%d%n", shape<Str, int, int>()},
        {"%p %5[^x]%lf", shape<void *, Str, double>()},
        {" %c-%u:%n", shape<Str, unsigned, int>()},
    };
    for (const auto &f : mixed) formats.push_back(f);

    std::mt19937 rng(20240531);
    std::uniform_int_distribution<size_t> pick(0, sizeof alphabet - 2);
    std::uniform_int_distribution<size_t> length(0, 12);
    int failures = 0;
    for (int iter = 0; iter < 40000 && failures < 20; ++iter) {
        std::string input;
        for (size_t n = length(rng); n > 0; --n) input += alphabet[pick(rng)];
        const auto &[format, shp] = formats[iter % formats.size()];
        std::string diff = compare(format, input.c_str(), shp);
        if (!diff.empty()) {
            ADD_FAILURE() << diff;
            ++failures;
        }
    }
}

TEST(ScanDifferential, WideConversionsFollowTheLocale) {
    const std::string saved = std::setlocale(LC_CTYPE, nullptr);
    ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
    const std::pair<const char *, Shape> formats[] = {
        {"%ls%n", WI}, {"%lc%n", WI}, {"%3lc%n", WI}, {"%2ls%n", WI}, {"%l[a-z]%n", WI},
        {"%l[^a]%n", WI}, {"%3l[^a]%n", WI}, {"%*ls%n", I}, {"%s%n", SI},
    };
    const char *const inputs[] = {
        "h\xc3\xa9llo w\xc3\xb6rld", "\xc3\xa9", "\xe2\x82\xac\xe2\x82\xac!", "abc\xc3\xa9",
        "\xc3\xa9" "a", "ab\xc3", "b\xc3", "  \xc3\xa9t\xc3\xa9 x", "", "a",
    };
    for (const auto &[format, shp] : formats)
        for (const char *input : inputs) {
            std::string diff = compare(format, input, shp);
            EXPECT_TRUE(diff.empty()) << diff;
        }
    // Invalid sequences end %lc and %ls as they do on the platform.
    for (const char *format : {"%ls%n", "%lc%n", "%2lc%n"})
        for (const char *input : {"\xff", "a\xff" "b", "\xc3(", "\xe2\x82"}) {
            std::string diff = compare(format, input, WI);
            EXPECT_TRUE(diff.empty()) << diff;
        }
    // In a scan set, where the platform stores a character it never
    // decoded, an invalid sequence is a matching failure.
    wchar_t w[4] = {L'#', L'#', L'#', L'#'};
    EXPECT_EQ(Y_sscanf("\xff", "%l[^a]", w), 0);
    EXPECT_EQ(Y_sscanf("b\xff" "z", "%l[^a]", w), 0);
    EXPECT_EQ(Y_sscanf("\xc3\xa9\xc3\xa9", "%2l[^a]", w), 1);
    EXPECT_EQ(w[0], L'\u00e9');
    EXPECT_EQ(w[1], L'\u00e9');
    EXPECT_EQ(w[2], L'\0');
    std::setlocale(LC_CTYPE, saved.c_str());
}

// Where the engine departs from the platform on purpose: %D and %O are
// long; a suppressed conversion counts as one; positional and unknown
// conversions (F, a, A among them) end the scan; every floating conversion
// reads a double, also for hexadecimal input.
TEST(ScanDepartures, ResultsAndValues) {
    struct Row {
        const char *input, *format;
        int rc;
        const char *values;  // the destinations printed as "%ld %ld" / "%g %g"
    };
    const Row rows[] = {
        {"-12 777", "%D %O", 2, "-12 511"}, {"9223372036854775807", "%D", 1, "9223372036854775807 0"},
        {"5", "%*d%d", 0, "0 0"}, {"a", "%*c%c", 0, "0 0"}, {"", "%*d%d", EOF, "0 0"}, {"", "%n%d", EOF, "0 0"},
        {"1 2", "%D %1$D", 1, "1 0"}, {"1 2", "%D %C", 1, "1 0"}, {"", "%C", 0, "0 0"},
        {"3 2.5", "%D %F", 1, "3 0"}, {"3 2.5", "%D %a", 1, "3 0"}, {"3 2.5", "%D %A", 1, "3 0"},
        {"0x1p3", "%lA", 0, "0 0"}, {"12", "%lF", 0, "0 0"},
        {"0x1p3 0X1P-1", "%le %lG", 2, "8 0.5"}, {"0.1 1e999", "%Lf %Lg", 2, "0.1 inf"},
        {nullptr, "%D", EOF, "0 0"}, {nullptr, "", 0, "0 0"}, {"12", nullptr, 0, "0 0"},
    };
    for (const Row &row : rows) {
        const std::string format = row.format != nullptr ? row.format : "";
        const bool floating = format.find('L') != std::string::npos;
        long l[2] = {0, 0};
        long double ld[2] = {0, 0};
        double d[2] = {0, 0};
        const bool doubles = !floating && format.find("%l") != std::string::npos;
        int rc = floating ? Y_sscanf(row.input, row.format, &ld[0], &ld[1])
                 : doubles ? Y_sscanf(row.input, row.format, &d[0], &d[1])
                           : Y_sscanf(row.input, row.format, &l[0], &l[1]);
        char values[64];
        if (floating)
            std::snprintf(values, sizeof values, "%Lg %Lg", ld[0], ld[1]);
        else if (doubles)
            std::snprintf(values, sizeof values, "%g %g", d[0], d[1]);
        else
            std::snprintf(values, sizeof values, "%ld %ld", l[0], l[1]);
        EXPECT_EQ(rc, row.rc) << row.format << " on " << (row.input ? row.input : "NULL");
        EXPECT_STREQ(values, row.values) << row.format << " on " << (row.input ? row.input : "NULL");
    }
}

// Every floating conversion reads a double and stores it as the
// destination's type: long double gets no more than a double holds, and a
// float is the double rounded once more.
TEST(ScanDepartures, FloatingConversionsReadADouble) {
    long double ld = 0;
    EXPECT_EQ(Y_sscanf("0.1", "%Lf", &ld), 1);
    EXPECT_EQ(ld, static_cast<long double>(0.1));
    EXPECT_EQ(Y_sscanf("0.1", "%qg", &ld), 1);
    EXPECT_EQ(ld, static_cast<long double>(0.1));
    EXPECT_EQ(Y_sscanf("1e4000", "%Le", &ld), 1);
    EXPECT_TRUE(std::isinf(ld));
    EXPECT_EQ(Y_sscanf("-1e-4000", "%llE", &ld), 1);
    EXPECT_EQ(ld, 0.0L);
    EXPECT_TRUE(std::signbit(ld));

    // Just above the midpoint of 1 and the next float: the double is the
    // midpoint itself, which rounds to even, down to 1.
    const char *above_midpoint = "1.00000005960464477539062500000001";
    float f = 0;
    EXPECT_EQ(Y_sscanf(above_midpoint, "%f", &f), 1);
    EXPECT_EQ(f, 1.0f);
    EXPECT_EQ(f, static_cast<float>(std::strtod(above_midpoint, nullptr)));
    EXPECT_EQ(Y_sscanf("3.5", "%hf", &f), 1);
    EXPECT_EQ(f, 3.5f);
}

// The stream looks for the end of the string one chunk at a time; put the
// string right before an inaccessible page and it must never step over.
TEST(ScanStream, NeverReadsPastTheTerminatingNul) {
    const long page = sysconf(_SC_PAGESIZE);
    void *map = mmap(nullptr, static_cast<size_t>(page) * 2, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    char *guard = static_cast<char *>(map) + page;
    ASSERT_EQ(mprotect(guard, static_cast<size_t>(page), PROT_NONE), 0);
    auto place = [guard](const char *text) {
        size_t len = std::strlen(text);
        char *s = guard - len - 1;
        std::memcpy(s, text, len + 1);
        return s;
    };
    int i = 0, n = 0;
    double d = 0;
    char buf[256];
    EXPECT_EQ(Y_sscanf(place("12"), "%d%n", &i, &n), 1);
    EXPECT_EQ(n, 2);
    EXPECT_EQ(Y_sscanf(place("1.5e3"), "%lf", &d), 1);
    EXPECT_EQ(d, 1500.0);
    EXPECT_EQ(Y_sscanf(place("word"), "%s %n", buf, &n), 1);
    EXPECT_EQ(n, 4);
    EXPECT_EQ(Y_sscanf(place("ab"), "%5c", buf), 1);
    EXPECT_EQ(Y_sscanf(place("abc"), "%[^x]", buf), 1);
    EXPECT_EQ(Y_sscanf(place(""), "%d", &i), EOF);
    EXPECT_EQ(Y_sscanf(place("x"), "x%n", &n), 0);
    EXPECT_EQ(n, 1);
    std::string long_text(200, '7');
    EXPECT_EQ(Y_sscanf(place(long_text.c_str()), "%*s%n", &n), 0);
    EXPECT_EQ(n, 200);
    munmap(map, static_cast<size_t>(page) * 2);
}

// A character pushed back must survive whatever chunk boundary it sits on.
TEST(ScanStream, PushBackAcrossChunkBoundaries) {
    for (size_t k = 0; k < 3 * yscan::kStringChunk; ++k) {
        std::string text(k, ' ');
        text += "12a 3.5e+q";
        int a = 0, n = 0;
        char c = 0;
        double d = 0;
        ASSERT_EQ(Y_sscanf(text.c_str(), "%d%n%c%lf%n", &a, &n, &c, &d, &n), 3) << k;
        EXPECT_EQ(a, 12);
        EXPECT_EQ(c, 'a');
        EXPECT_EQ(d, 3.5);
        EXPECT_EQ(static_cast<size_t>(n), k + 9);
    }
}

TEST(ScanLongInput, NumbersAndStringsLongerThanAnyBuffer) {
    std::string zeros(5000, '0');
    long long v = 0;
    int n = 0;
    EXPECT_EQ(Y_sscanf((zeros + "123").c_str(), "%lld%n", &v, &n), 1);
    EXPECT_EQ(v, 123);
    EXPECT_EQ(n, 5003);
    EXPECT_EQ(Y_sscanf(("-" + std::string(5000, '9')).c_str(), "%lld", &v), 1);
    EXPECT_EQ(v, LLONG_MIN);
    EXPECT_EQ(Y_sscanf(("0x" + zeros + "ffffffffffffffff").c_str(), "%llx", &v), 1);
    EXPECT_EQ(v, -1);

    // Correct rounding needs every digit of the mantissa.
    std::string mantissa = "0.1000000000000000055511151231257827021181583404541015625" + std::string(3000, '0') + "1";
    double d = 0;
    EXPECT_EQ(Y_sscanf(mantissa.c_str(), "%lf%n", &d, &n), 1);
    EXPECT_EQ(d, std::strtod(mantissa.c_str(), nullptr));
    EXPECT_EQ(static_cast<size_t>(n), mantissa.size());

    std::string word(4000, 'w');
    std::vector<char> buf(5000, '#');
    EXPECT_EQ(Y_sscanf((word + " next").c_str(), "%s %n", buf.data(), &n), 1);
    EXPECT_EQ(std::string(buf.data()), word);
    EXPECT_EQ(n, 4001);
    EXPECT_EQ(Y_sscanf(word.c_str(), "%3000c%n", buf.data(), &n), 1);
    EXPECT_EQ(n, 3000);
}

TEST(ScanLongInput, LongFloatTokenWithoutMemoryIsAMatchingFailure) {
    // Only a float token too long for the stack buffer needs memory.
    std::string text = "7 " + std::string(300, '1') + ".5";
    int a = 0, n = -1;
    double d = -1;
    {
        yqtest::AllocFailer failer(1);
        EXPECT_EQ(Y_sscanf(text.c_str(), "%d %lf%n", &a, &d, &n), 1);
        EXPECT_EQ(yqtest::AllocFailer::calls(), 1);
    }
    EXPECT_EQ(a, 7);
    EXPECT_EQ(d, -1);
    EXPECT_EQ(n, -1);
    EXPECT_EQ(Y_sscanf(text.c_str(), "%d %lf%n", &a, &d, &n), 2);
    EXPECT_EQ(d, std::strtod(text.c_str() + 2, nullptr));
    EXPECT_EQ(static_cast<size_t>(n), text.size());
    {
        yqtest::AllocFailer failer(1);
        EXPECT_EQ(Y_sscanf("1.5 -2 0x1p3 abc", "%lf %d %lg %s", &d, &a, &d, &text[0]), 4);
        EXPECT_EQ(yqtest::AllocFailer::calls(), 0);
    }
}

TEST(ScanNumbers, IntegersNarrowToTheDestination) {
    signed char hh = 0;
    unsigned short h = 0;
    int i = 0;
    unsigned long long ll = 0;
    EXPECT_EQ(Y_sscanf("300 -1 4294967297 -1", "%hhd %hu %i %llu", &hh, &h, &i, &ll), 4);
    EXPECT_EQ(hh, 44);
    EXPECT_EQ(h, 65535);
    EXPECT_EQ(i, 1);
    EXPECT_EQ(ll, ULLONG_MAX);
}

TEST(ScanNumbers, OverflowSaturatesAndSetsErange) {
    long long v = 0;
    int i = 0;
    double d = 0;
    errno = 0;
    EXPECT_EQ(Y_sscanf("12 99999999999 1e300", "%lld %d %lf", &v, &i, &d), 3);
    EXPECT_EQ(errno, 0);  // narrowing to int is no overflow of the conversion
    EXPECT_EQ(i, static_cast<int>(99999999999LL));
    EXPECT_EQ(Y_sscanf("99999999999999999999", "%lld", &v), 1);
    EXPECT_EQ(v, LLONG_MAX);
    EXPECT_EQ(errno, ERANGE);
    errno = 0;
    EXPECT_EQ(Y_sscanf("1e999", "%lf", &d), 1);
    EXPECT_TRUE(std::isinf(d));
    EXPECT_EQ(errno, ERANGE);
}

// __Ystrtoimax/__Ystrtoumax against the C library's 64-bit conversions:
// value, end position and errno for every base.
TEST(ScanNumbers, StrtoimaxAgreesWithTheCLibrary) {
    const char *const inputs[] = {
        "", " ", "0", "-0", "+0", "7", "-7", "  \t\n\v\f\r42", "0x", "0X1A", "0xg", "-0x", "0x0x1", "0777",
        "0b11", "z", "Z9", "zz", "+-1", "- 1", "9223372036854775807", "9223372036854775808",
        "-9223372036854775808", "-9223372036854775809", "18446744073709551615", "18446744073709551616",
        "-18446744073709551615", "-18446744073709551616", "123456789012345678901234567890",
        "0xffffffffffffffff", "0x10000000000000000", "1y", "3w5e11", "00000000000000000000000001",
        "1111111111111111111111111111111111111111111111111111111111111111",
        "11111111111111111111111111111111111111111111111111111111111111111",
    };
    const int bases[] = {0, 2, 8, 10, 16, 35, 36, 1, 37, -1};
    for (const char *s : inputs)
        for (int base : bases) {
            char *ours_end = nullptr;
            char *libc_end = nullptr;
            // With a bad base the C library leaves the end pointer alone;
            // ours points it at the start, as for any string without a
            // number.
            const bool bad_base = base == 1 || base < 0 || base > 36;
            char *expected_end = const_cast<char *>(s);
            errno = 0;
            intmax_t ours_s = yscan::__Ystrtoimax(s, &ours_end, base);
            int ours_errno = errno;
            errno = 0;
            intmax_t libc_s = std::strtoimax(s, bad_base ? nullptr : &libc_end, base);
            EXPECT_EQ(ours_s, libc_s) << printable(s) << " base " << base;
            EXPECT_EQ(ours_end, bad_base ? expected_end : libc_end) << printable(s) << " base " << base;
            EXPECT_EQ(ours_errno, errno) << printable(s) << " base " << base;

            errno = 0;
            uintmax_t ours_u = yscan::__Ystrtoumax(s, &ours_end, base);
            ours_errno = errno;
            errno = 0;
            uintmax_t libc_u = std::strtoumax(s, bad_base ? nullptr : &libc_end, base);
            EXPECT_EQ(ours_u, libc_u) << printable(s) << " base " << base;
            EXPECT_EQ(ours_end, bad_base ? expected_end : libc_end) << printable(s) << " base " << base;
            EXPECT_EQ(ours_errno, errno) << printable(s) << " base " << base;
        }
    EXPECT_EQ(yscan::__Ystrtoimax("12", nullptr, 10), 12);
}

}  // namespace
