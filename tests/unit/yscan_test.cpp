#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "misc.h"
#include "yqtest.h"
#include "yscan.h"
#include "yscan_cases.h"

namespace {

using namespace yscan_cases;
using testing::PrintToString;

const CaseFile &case_file() {
    static const CaseFile file = load_cases(YSCAN_CASES);
    return file;
}

// Empty when both give the same result and destination bytes; otherwise the
// difference.
std::string compare(const std::string &format, const std::string &input, const std::string &like = "") {
    Slots a(input.size()), b(input.size());
    const int ra = a.scan(&Y_sscanf, input, format), rb = b.scan(&std::sscanf, input, like.empty() ? format : like);
    std::string diff = ra != rb ? " result " + std::to_string(ra) + " vs " + std::to_string(rb) : "";
    if (std::memcmp(a.mem.data(), b.mem.data(), a.mem.size() * sizeof a.mem[0]) != 0) diff += " destinations";
    return diff.empty() ? diff : "format " + PrintToString(format) + " input " + PrintToString(input) + diff;
}

TEST(ScanDifferential, AgreesWithThePlatformOnTheCaseFile) {
    ASSERT_GE(case_file().cases.size(), 4000u);
    for (const ScanCase &c : case_file().cases) {
        ASSERT_NE(std::setlocale(LC_CTYPE, c.locale.c_str()), nullptr);
        if (c.ours == kAgree) {
            EXPECT_EQ(compare(c.format, c.input, c.like), "") << c.why;
        } else {
            Slots s;
            EXPECT_EQ(s.scan(&Y_sscanf, c.input, c.format), c.ours) << c.format << " on " << c.input << ": " << c.why;
        }
    }
    std::setlocale(LC_CTYPE, "C");
}

// Departures the case file cannot hold: no input or format; every floating
// conversion reads a double and stores it as the destination's type; in a
// wide scan set an invalid sequence is a matching failure.
TEST(ScanDepartures, ResultsAndValues) {
    long l = 0;
    EXPECT_EQ(std::tuple(Y_sscanf(nullptr, "%D", &l), Y_sscanf(nullptr, "", &l), Y_sscanf("12", nullptr, &l)),
              std::tuple(EOF, 0, 0));
    long double ld[2] = {0, 0};
    EXPECT_EQ(Y_sscanf("0.1 1e999", "%Lf %Lg", &ld[0], &ld[1]), 2);
    EXPECT_EQ(std::pair(ld[0], ld[1]), std::pair(static_cast<long double>(0.1), HUGE_VALL));
    EXPECT_EQ(Y_sscanf("0.1 -1e-4000", "%qg %llE", &ld[0], &ld[1]), 2);
    EXPECT_EQ(ld[0], static_cast<long double>(0.1));
    EXPECT_TRUE(ld[1] == 0 && std::signbit(ld[1]));
    // Just above the midpoint of 1 and the next float: the double is the
    // midpoint itself, which rounds to even, down to 1.
    float f[2] = {0, 0};
    EXPECT_EQ(Y_sscanf("1.00000005960464477539062500000001 3.5", "%f %hf", &f[0], &f[1]), 2);
    EXPECT_EQ(std::pair(f[0], f[1]), std::pair(1.0f, 3.5f));

    ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
    wchar_t w[4] = {L'#', L'#', L'#', L'#'};
    EXPECT_EQ(Y_sscanf("\xff", "%l[^a]", w), 0);
    EXPECT_EQ(Y_sscanf("b\xff" "z", "%l[^a]", w), 0);
    EXPECT_EQ(Y_sscanf("\xc3\xa9\xc3\xa9", "%2l[^a]", w), 1);
    EXPECT_EQ(std::wstring(w), L"\u00e9\u00e9");
    std::setlocale(LC_CTYPE, "C");
}

// The stream looks for the end of the string one chunk at a time: put the
// string right before an inaccessible page and it must never step over; a
// character pushed back must survive whatever chunk boundary it sits on.
TEST(ScanStream, NeverReadsPastTheNulAndPushesBackAcrossChunks) {
    const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void *map = mmap(nullptr, page * 2, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    char *guard = static_cast<char *>(map) + page;
    ASSERT_EQ(mprotect(guard, page, PROT_NONE), 0);
    const struct { std::string text; const char *format; int rc, n; } rows[] = {  // a value goes into buf{"12", "%d%n", 1, 2}, {"1.5e3", "%lf%n", 1, 5}, {"word", "%s %n", 1, 4}, {"ab", "%5c", 1, -1},
                {"abc", "%[^x]", 1, -1}, {"", "%d", EOF, -1}, {"x", "x%n", 0, 1}, {std::string(200, '7'), "%*s%n", 0, 200}};
    for (const auto &row : rows) {
        char *s = guard - row.text.size() - 1;
        std::memcpy(s, row.text.c_str(), row.text.size() + 1);
        char buf[256];
        int n = -1;
        const bool only_n = std::strchr("n*", std::strchr(row.format, '%')[1]) != nullptr;
        EXPECT_EQ(Y_sscanf(s, row.format, only_n ? static_cast<void *>(&n) : buf, &n), row.rc) << row.format;
        EXPECT_EQ(n, row.n) << row.format;
    }
    munmap(map, page * 2);

    for (size_t k = 0; k < 3 * yscan::kStringChunk; ++k) {
        const std::string text = std::string(k, ' ') + "12a 3.5e+q";
        int a = 0, n = 0;
        char c = 0;
        double d = 0;
        ASSERT_EQ(Y_sscanf(text.c_str(), "%d%n%c%lf%n", &a, &n, &c, &d, &n), 3) << k;
        EXPECT_EQ(std::tuple(a, c, d, static_cast<size_t>(n)), std::tuple(12, 'a', 3.5, k + 9)) << k;
    }
}

// Tokens longer than any buffer, judged by the platform: the value (correct
// rounding needs every digit of the mantissa) and the count read.
TEST(ScanLongInput, NumbersAndStringsLongerThanAnyBuffer) {
    const std::string zeros(5000, '0'), word(4000, 'w');
    for (const auto &[input, format] : {std::pair(zeros + "123", "%lld%n"), {"-" + std::string(5000, '9'), "%lld%n"},
                                        {"0x" + zeros + "ffffffffffffffff", "%llx%n"}, {"12 99999999999", "%lld %d%n"},
                                        {"0.1000000000000000055511151231257827021181583404541015625" + zeros + "1", "%lf%n"},
                                        {word + " next", "%s %n"}, {word, "%3000c%n"}})
        EXPECT_EQ(compare(format, input), "");
    long long v = 0;
    int n = 0;
    double d = 0;
    errno = 0;
    EXPECT_EQ(Y_sscanf("12 99999999999", "%lld %d", &v, &n), 2);
    EXPECT_EQ(errno, 0) << "narrowing to int is no overflow of the conversion";
    EXPECT_EQ(Y_sscanf("99999999999999999999 1e999", "%lld %lf", &v, &d), 2);
    EXPECT_EQ(std::tuple(v, d, errno), std::tuple(LLONG_MAX, HUGE_VAL, ERANGE));
}

// Only a float token too long for the stack buffer needs memory; without it
// the conversion is a matching failure.
TEST(ScanLongInput, LongFloatTokenWithoutMemoryIsAMatchingFailure) {
    std::string text = "7 " + std::string(300, '1') + ".5";
    int a = 0, n = -1;
    double d = -1;
    {
        yqtest::AllocFailer failer(1);
        EXPECT_EQ(Y_sscanf(text.c_str(), "%d %lf%n", &a, &d, &n), 1);
    }
    EXPECT_EQ(std::tuple(a, d, n), std::tuple(7, -1.0, -1));
    EXPECT_EQ(Y_sscanf(text.c_str(), "%d %lf%n", &a, &d, &n), 2);
    EXPECT_EQ(d, std::strtod(text.c_str() + 2, nullptr));
    EXPECT_EQ(static_cast<size_t>(n), text.size());
    yqtest::AllocFailer failer(1);
    EXPECT_EQ(Y_sscanf("1.5 -2 0x1p3 abc", "%lf %d %lg %s", &d, &a, &d, &text[0]), 4);
}

}  // namespace
