#include "ystrings.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "yqtest.h"

namespace {

enum Op { kCopy, kConcat, kCopyAtMost, kConcatAtMost };

// dst: the text before the call (null: no terminator at all); after: the
// first `size` characters afterwards, '.' standing for a zero.
struct Row { const char *what; Op op; const char *dst, *src; size_t n, size, result; std::string after; };

// Runs a row on a 64-character buffer of '#' and checks that nothing past
// `size` was touched; the wide twin runs the same row.
template <typename Ch>
void run(const Row &row) {
    Ch buf[64];
    std::fill(std::begin(buf), std::end(buf), Ch('#'));
    for (size_t i = 0; row.dst != nullptr && i <= std::strlen(row.dst); ++i) buf[i] = Ch(row.dst[i]);
    std::basic_string<Ch> src;
    for (const char *p = row.src; p != nullptr && *p != '\0'; ++p) src += Ch(*p);
    const Ch *s = row.src != nullptr ? src.c_str() : nullptr;
    size_t result = 0;
    if constexpr (sizeof(Ch) == 1) {
        result = row.op == kCopy ? Y_strlcpy(buf, s, row.size)
                 : row.op == kConcat ? Y_strlcat(buf, s, row.size)
                 : row.op == kCopyAtMost ? Y_strlncpy(buf, s, row.n, row.size)
                                         : Y_strlncat(buf, s, row.n, row.size);
    } else {
        result = row.op == kCopy ? Y_wcslcpy(buf, s, row.size)
                 : row.op == kConcat ? Y_wcslcat(buf, s, row.size)
                 : row.op == kCopyAtMost ? Y_wcslncpy(buf, s, row.n, row.size)
                                         : Y_wcslncat(buf, s, row.n, row.size);
    }
    std::string after;
    for (size_t i = 0; i < 64; ++i) after += buf[i] == Ch{} ? '.' : static_cast<char>(buf[i]);
    EXPECT_EQ(result, row.result) << row.what;
    EXPECT_EQ(after, row.after + std::string(64 - row.after.size(), '#')) << row.what;
}

TEST(BoundedStrings, CopyAndConcatenation) {
    const Row rows[] = {
        {"copy cut to size", kCopy, "", "0123456789", 0, 4, 3, "012."},
        {"copy of size 0", kCopy, nullptr, "abc", 0, 0, 0, ""},
        {"concat counts what it appended", kConcat, "abc", "defgh", 0, 8, 4, "abcdefg."},
        {"concat onto a full buffer", kConcat, "abcdefg", "x", 0, 8, 0, "abcdefg."},
        {"concat without terminator", kConcat, nullptr, "abc", 0, 8, 0, ""},
        {"copy at most pads to n", kCopyAtMost, "", "ab", 5, 8, 2, "ab..."},
        {"copy at most n", kCopyAtMost, "", "abcdefgh", 5, 8, 5, "abcde."},
        {"padding stops at size", kCopyAtMost, "", "a", 20, 4, 1, "a..."},
        {"copy without limit", kCopyAtMost, "", "abc", SIZE_MAX, 8, 3, "abc....."},
        {"concat at most n", kConcatAtMost, "abc", "defgh", 2, 16, 2, "abcde."},
        {"concat at most size", kConcatAtMost, "abc", "0123456789", 100, 8, 4, "abc0123."},
        {"concat at most, no terminator", kConcatAtMost, nullptr, "abc", 2, 8, 0, ""},
    };
    for (const auto &row : rows) {
        run<char>(row);
        run<wchar_t>(row);
    }
}

TEST(BoundedStrings, FormatReturnsTheFullLengthAndKeepsWhatFits) {
    static char buf[8192] = "abc";
    // The destination may be an argument: formatting reads the original.
    EXPECT_EQ(Y_snprintf(buf, 8, "%s-%s", buf, buf), 7);
    EXPECT_STREQ(buf, "abc-abc");
    EXPECT_EQ(Y_snprintf(buf, 4, "%s", "0123456789"), 10);
    EXPECT_EQ(Y_snprintf(buf, 0, "%d", 5), -1);
    EXPECT_STREQ(buf, "012");
    wchar_t wbuf[8];
    EXPECT_EQ(Y_snwprintf(wbuf, 8, L"%d%ls", 42, L"xy") + Y_snwprintf(wbuf, 0, L"x"), 3) << "the wide twin";
    EXPECT_EQ(Y_snprintf(buf, sizeof buf, "%5000d", 1), 5000);
    yqtest::AllocFailer fail(1, true);
    EXPECT_EQ(Y_snprintf(buf, 4096, "%s-%d", "x", 7), 3) << "lines and paths need no memory";
    EXPECT_EQ(Y_snprintf(buf, sizeof buf, "%5000d", 1), -1);
    EXPECT_STREQ(buf, "x-7") << "a failed scratch allocation leaves the destination alone";
    void *p = std::malloc(16);
    EXPECT_EQ(Y_dumb_realloc(&p, 128), nullptr);
    EXPECT_EQ(p, nullptr) << "the old block is released (the leak checker proves it)";
}

}  // namespace
