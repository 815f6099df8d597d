#include "ystrings.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "yqtest.h"

namespace {

// Guarded buffer: n usable characters followed by canaries that must survive.
template <typename Ch>
struct Guarded {
    static constexpr size_t kCanary = 8;
    Ch data[64 + kCanary];
    size_t n;
    explicit Guarded(size_t usable, Ch fill = Ch('#')) : n(usable) {
        for (auto &c : data) c = fill;
        for (size_t i = n; i < n + kCanary; ++i) data[i] = Ch('~');
    }
    bool intact() const {
        for (size_t i = n; i < n + kCanary; ++i)
            if (data[i] != Ch('~')) return false;
        return true;
    }
};

TEST(BoundedCopy, CutsToSizeAndCountsWhatItWrote) {
    Guarded<char> g(4);
    EXPECT_EQ(Y_strlcpy(g.data, "0123456789", g.n), 3u);
    EXPECT_STREQ(g.data, "012");
    EXPECT_TRUE(g.intact());

    Guarded<wchar_t> w(4);
    EXPECT_EQ(Y_wcslcpy(w.data, L"0123456789", w.n), 3u);
    EXPECT_STREQ(w.data, L"012");
    EXPECT_TRUE(w.intact());

    char small[8];
    EXPECT_EQ(Y_strlcpy(small, "ab", sizeof small), 2u);
    EXPECT_STREQ(small, "ab");
}

TEST(BoundedCopy, RefusesNullAndZeroSize) {
    Guarded<char> g(4);
    EXPECT_EQ(Y_strlcpy(g.data, "abc", 0), 0u);
    EXPECT_EQ(g.data[0], '#');
    EXPECT_EQ(Y_strlcpy(nullptr, "abc", 4), 0u);
    EXPECT_EQ(Y_strlcpy(g.data, nullptr, 4), 0u);
    EXPECT_EQ(g.data[0], '#');
}

TEST(BoundedConcat, AppendsWhatFitsAndReturnsAppendedCount) {
    Guarded<char> g(8);
    std::strcpy(g.data, "abc");
    EXPECT_EQ(Y_strlcat(g.data, "defgh", g.n), 4u);
    EXPECT_STREQ(g.data, "abcdefg");
    EXPECT_TRUE(g.intact());
    // Full buffer: nothing more fits.
    EXPECT_EQ(Y_strlcat(g.data, "x", g.n), 0u);
    EXPECT_STREQ(g.data, "abcdefg");

    Guarded<wchar_t> w(8);
    std::wcscpy(w.data, L"abc");
    EXPECT_EQ(Y_wcslcat(w.data, L"defgh", w.n), 4u);
    EXPECT_STREQ(w.data, L"abcdefg");
    EXPECT_TRUE(w.intact());
}

TEST(BoundedConcat, DestinationWithoutTerminatorIsLeftAlone) {
    Guarded<char> g(8);  // eight '#' and no terminator within size
    EXPECT_EQ(Y_strlcat(g.data, "abc", g.n), 0u);
    EXPECT_EQ(std::string(g.data, 8), "########");
    EXPECT_TRUE(g.intact());
    EXPECT_EQ(Y_strlncat(g.data, "abc", 2, g.n), 0u);
    EXPECT_TRUE(g.intact());
    EXPECT_EQ(Y_strlcat(g.data, "abc", 0), 0u);
}

TEST(BoundedCopyAtMost, PadsWithZerosUpToN) {
    char buf[32];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(Y_strlncpy(buf, "ab", 5, sizeof buf), 2u);
    EXPECT_STREQ(buf, "ab");
    for (int i = 2; i <= 4; ++i) EXPECT_EQ(buf[i], '\0') << i;
    EXPECT_EQ(buf[5], 'x');

    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(Y_strlncpy(buf, "abcdefgh", 5, sizeof buf), 5u);
    EXPECT_STREQ(buf, "abcde");

    // Padding never runs past the buffer even when n exceeds it.
    Guarded<char> g(4);
    EXPECT_EQ(Y_strlncpy(g.data, "a", 20, g.n), 1u);
    EXPECT_TRUE(g.intact());
    EXPECT_EQ(g.data[3], '\0');

    // A source without terminator is read no further than n characters.
    const char unterminated[3] = {'x', 'y', 'z'};
    EXPECT_EQ(Y_strlncpy(buf, unterminated, 3, sizeof buf), 3u);
    EXPECT_STREQ(buf, "xyz");

    wchar_t wbuf[16];
    Y_wmemset(wbuf, L'x', 16);
    EXPECT_EQ(Y_wcslncpy(wbuf, L"ab", 5, 16), 2u);
    EXPECT_EQ(wbuf[4], L'\0');
    EXPECT_EQ(wbuf[5], L'x');
}

TEST(BoundedConcatAtMost, AppendsAtMostN) {
    char buf[16] = "abc";
    EXPECT_EQ(Y_strlncat(buf, "defgh", 2, sizeof buf), 2u);
    EXPECT_STREQ(buf, "abcde");
    EXPECT_EQ(Y_strlncat(buf, "0123456789abcdef", 100, sizeof buf), 10u);
    EXPECT_STREQ(buf, "abcde0123456789");
    wchar_t wbuf[16] = L"abc";
    EXPECT_EQ(Y_wcslncat(wbuf, L"defgh", 2, 16), 2u);
    EXPECT_STREQ(wbuf, L"abcde");
}

TEST(BoundedFormat, ReturnsFullLengthAndKeepsWhatFits) {
    Guarded<char> g(4);
    EXPECT_EQ(Y_snprintf(g.data, g.n, "%s", "0123456789"), 10);
    EXPECT_STREQ(g.data, "012");
    EXPECT_TRUE(g.intact());
    EXPECT_EQ(Y_snprintf(g.data, 0, "%d", 5), -1);
    EXPECT_STREQ(g.data, "012");

    // The destination may also be an argument: the scratch buffer keeps the
    // original text readable while formatting.
    char buf[16] = "abc";
    EXPECT_EQ(Y_snprintf(buf, sizeof buf, "%s-%s", buf, buf), 7);
    EXPECT_STREQ(buf, "abc-abc");

    wchar_t wbuf[8];
    EXPECT_EQ(Y_snwprintf(wbuf, 8, L"%d%ls", 42, L"xy"), 4);
    EXPECT_STREQ(wbuf, L"42xy");
    EXPECT_EQ(Y_snwprintf(wbuf, 0, L"%d", 1), -1);
}

TEST(BoundedFormat, SmallFormatsNeedNoAllocation) {
    char buf[4096];
    yqtest::AllocFailer fail(1, true);
    EXPECT_EQ(Y_snprintf(buf, sizeof buf, "%s-%d", "x", 7), 3);
    EXPECT_STREQ(buf, "x-7");
    EXPECT_EQ(yqtest::AllocFailer::calls(), 0);
}

TEST(BoundedFormat, ScratchAllocationFailureLeavesDestinationUntouched) {
    static char big[8192] = "keep";
    {
        yqtest::AllocFailer fail(1);
        EXPECT_EQ(Y_snprintf(big, sizeof big, "%s", "other"), -1);
    }
    EXPECT_STREQ(big, "keep");
    EXPECT_EQ(Y_snprintf(big, sizeof big, "%5000d", 1), 5000);
    EXPECT_EQ(std::strlen(big), 5000u);
}

TEST(Verify, FindsTerminatorWithinN) {
    size_t pos = 99;
    EXPECT_EQ(Y_strverify("abc", 4, &pos), 0);
    EXPECT_EQ(pos, 3u);
    const char raw[3] = {'a', 'b', 'c'};
    EXPECT_EQ(Y_strverify(raw, 3, &pos), -1);
    EXPECT_EQ(pos, 0u);
    EXPECT_EQ(Y_strverify(nullptr, 3, &pos), -1);
    EXPECT_EQ(pos, 0u);
    EXPECT_EQ(Y_wstrverify(L"ab", 3, &pos), 0);
    EXPECT_EQ(pos, 2u);
}

TEST(DumbRealloc, FailureReleasesOldBlockAndNullsPointer) {
    void *p = std::malloc(16);
    ASSERT_NE(Y_dumb_realloc(&p, 64), nullptr);
    ASSERT_NE(p, nullptr);
    {
        yqtest::AllocFailer fail(1);
        EXPECT_EQ(Y_dumb_realloc(&p, 128), nullptr);
    }
    EXPECT_EQ(p, nullptr);  // old block released (the leak checker proves it)
    EXPECT_EQ(Y_dumb_realloc(nullptr, 8), nullptr);
    void *fresh = nullptr;
    ASSERT_NE(Y_dumb_realloc(&fresh, 8), nullptr);
    std::free(fresh);
}

TEST(WideMemory, BehaveAsStandard) {
    wchar_t buf[6];
    Y_wmemset(buf, L'z', 6);
    EXPECT_EQ(Y_wmemchr(buf, L'z', 6), buf);
    buf[4] = L'q';
    EXPECT_EQ(Y_wmemchr(buf, L'q', 6), buf + 4);
    EXPECT_EQ(Y_wmemchr(buf, L'q', 4), nullptr);
}

}  // namespace
