#include "cstr.h"

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "cstra.h"
#include "yqtest.h"

namespace {

using Opt = std::optional<std::string>;

// Takes ownership of a returned string.
Opt take(char *p) {
    if (p == nullptr) return std::nullopt;
    std::string s(p);
    std::free(p);
    return s;
}

std::vector<std::string> take_array(char **a) {
    std::vector<std::string> v;
    for (char **p = a; p != nullptr && *p != nullptr; ++p) v.emplace_back(*p);
    cstraFREE(a);
    return v;
}

TEST(CstrQueries, NullCountsAsEmpty) {
    EXPECT_EQ(cstrEMPTY(nullptr), 1);
    EXPECT_EQ(cstrEMPTY(""), 1);
    EXPECT_EQ(cstrEMPTY(" "), 0);
    EXPECT_EQ(cstrLAST("abc"), 'c');
    EXPECT_EQ(cstrLAST(""), '\0');
    EXPECT_EQ(cstrLAST(nullptr), '\0');
    EXPECT_EQ(cstrMATCH(nullptr, ""), 1);
    EXPECT_EQ(cstrMATCH(nullptr, nullptr), 1);
    EXPECT_EQ(cstrMATCH("a", nullptr), 0);
    EXPECT_EQ(cstrMATCH("a", "a"), 1);
    EXPECT_EQ(cstrMATCH("a", "A"), 0);
}

TEST(CstrQueries, Counts) {
    EXPECT_EQ(cstrCOUNTchar("a,b,,c", ','), 3);
    EXPECT_EQ(cstrCOUNTchar("abc", '\0'), 0);
    EXPECT_EQ(cstrCOUNTchar(nullptr, 'a'), 0);
    EXPECT_EQ(cstrCOUNTchars("a b\tc d", " \t"), 3);
    EXPECT_EQ(cstrCOUNTchars("abc", ""), 0);
    EXPECT_EQ(cstrCOUNTchars("abc", nullptr), 0);
    EXPECT_EQ(cstrCOUNTchars(nullptr, "a"), 0);
}

TEST(CstrInPlace, CaseAndStripdelims) {
    char text[] = "MiXeD 1\xE9";
    cstrUPPER(text);
    EXPECT_STREQ(text, "MIXED 1\xE9");
    cstrLOWER(text);
    EXPECT_STREQ(text, "mixed 1\xE9");
    cstrUPPER(nullptr);

    struct Case {
        const char *in, *out;
    } cases[] = {{"'abc'", "abc"}, {"'", ""}, {"''", ""}, {"'''", "'"}, {"'abc", "'abc"}, {"abc'", "abc'"}, {"", ""}};
    for (const auto &c : cases) {
        std::string buf = c.in;
        stripdelims(buf.data(), '\'');
        EXPECT_STREQ(buf.c_str(), c.out) << c.in;
    }
}

TEST(StrchrWithQuotes, SkipsQuotedSections) {
    const char *s = "a\"b,c\",d";
    EXPECT_EQ(strchrwdelim(s, ',', '"'), s + 6);
    const char *two = "\"x,y\"\"z,w\",v";
    EXPECT_EQ(strchrwdelim(two, ',', '"'), two + 10);
    // A quote that is never closed protects nothing.
    const char *open = "a\"b,c";
    EXPECT_EQ(strchrwdelim(open, ',', '"'), open + 3);
    const char *before = "a,\"b\"";
    EXPECT_EQ(strchrwdelim(before, ',', '"'), before + 1);
    EXPECT_EQ(strchrwdelim("\"a,b\"", ',', '"'), nullptr);
    EXPECT_EQ(strchrwdelim("abc", ',', '"'), nullptr);
}

TEST(StrtokWithQuotes, TokensAcrossCalls) {
    char text[] = "a,\"b,c\",,d";
    EXPECT_STREQ(strtokwdelim(text, ',', '"'), "a");
    EXPECT_STREQ(strtokwdelim(nullptr, ',', '"'), "\"b,c\"");
    EXPECT_STREQ(strtokwdelim(nullptr, ',', '"'), "d");
    EXPECT_EQ(strtokwdelim(nullptr, ',', '"'), nullptr);

    // Only delimiters left after the last token: one empty token, then the end.
    char trailing[] = ",x,,";
    EXPECT_STREQ(strtokwdelim(trailing, ',', '"'), "x");
    EXPECT_STREQ(strtokwdelim(nullptr, ',', '"'), "");
    EXPECT_EQ(strtokwdelim(nullptr, ',', '"'), nullptr);
}

TEST(Tokens, GetByIndexAndLast) {
    const char *line = "one two  three";
    EXPECT_EQ(take(cstrTokenGET(line, 1, " ")), "one");
    EXPECT_EQ(take(cstrTokenGET(line, 2, " ")), "two");
    EXPECT_EQ(take(cstrTokenGET(line, 0, " ")), "three");
    EXPECT_EQ(take(cstrTokenGET(line, 4, " ")), std::nullopt);
    EXPECT_EQ(take(cstrTokenGET(line, -1, " ")), std::nullopt);
    EXPECT_EQ(take(cstrTokenGET(" \t ", 0, " \t")), std::nullopt);
    EXPECT_EQ(take(cstrTokenGET(nullptr, 1, " ")), std::nullopt);
}

TEST(Tokens, QuotedLiteralsKeepQuotesAndDelimiters) {
    const char *line = "cmd \"a  b\"c \"open ended";
    EXPECT_EQ(take(cstrTokenGET(line, 2, " ")), "\"a  b\"");
    // The literal ends at its closing quote even without a delimiter.
    EXPECT_EQ(take(cstrTokenGET(line, 3, " ")), "c");
    EXPECT_EQ(take(cstrTokenGET(line, 4, " ")), "\"open ended");
    EXPECT_EQ(take(cstrTokenGET(line, 0, " ")), "\"open ended");
    // A quote inside an unquoted token is an ordinary character.
    EXPECT_EQ(take(cstrTokenGET("ab\"c d\"", 1, " ")), "ab\"c");
    EXPECT_EQ(take_array(cstrTOcstra("cmd \"a  b\"c \"open ended", " ")),
              (std::vector<std::string>{"cmd", "\"a  b\"", "c", "\"open ended"}));
}

TEST(Tokens, NextLeavesCursorJustAfterToken) {
    char line[] = "  a, b ,";
    char *cursor = line;
    EXPECT_EQ(take(cstrTokenNEXT(&cursor, " ,")), "a");
    EXPECT_EQ(cursor, line + 3);
    EXPECT_EQ(take(cstrTokenNEXT(&cursor, " ,")), "b");
    EXPECT_EQ(cursor, line + 6);
    EXPECT_EQ(take(cstrTokenNEXT(&cursor, " ,")), std::nullopt);
    EXPECT_EQ(cursor, line + 8);  // over the trailing delimiters
    char *null_cursor = nullptr;
    EXPECT_EQ(cstrTokenNEXT(&null_cursor, " "), nullptr);
}

TEST(Tokens, FindMovesCursorOnlyWhenFound) {
    char line[] = "x  \"y z\" www";
    char *cursor = line;
    EXPECT_EQ(cstrTokenFIND(&cursor, 2, " "), 5);
    EXPECT_EQ(cursor, line + 3);
    EXPECT_EQ(cstrTokenFIND(&cursor, 2, " "), 3);  // counted from the cursor
    EXPECT_EQ(cursor, line + 9);
    EXPECT_EQ(cstrTokenFIND(&cursor, 2, " "), 0);
    EXPECT_EQ(cstrTokenFIND(&cursor, 0, " "), 0);
    EXPECT_EQ(cursor, line + 9);
}

TEST(Tokens, SplitIntoArray) {
    EXPECT_EQ(take_array(cstrTOcstra(",a,,b,", ",")), (std::vector<std::string>{"a", "b"}));
    char **none = cstrTOcstra(" \t ", " \t");
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(none[0], nullptr);
    cstraFREE(none);
    EXPECT_EQ(cstrTOcstra(nullptr, " "), nullptr);
    // Without delimiters the whole string is one token.
    EXPECT_EQ(take_array(cstrTOcstra("a b", nullptr)), (std::vector<std::string>{"a b"}));
}

TEST(Fields, CutAtTheWholeDelimiterString) {
    const char *text = "a::::c";
    EXPECT_EQ(take(cstrTokenOBTAIN(text, 1, "::")), "a");
    EXPECT_EQ(take(cstrTokenOBTAIN(text, 2, "::")), std::nullopt);  // empty field
    EXPECT_EQ(take(cstrTokenOBTAIN(text, 3, "::")), "c");
    EXPECT_EQ(take(cstrTokenOBTAIN(text, 4, "::")), std::nullopt);
    // A single colon is not the delimiter; three colons hold one delimiter.
    EXPECT_EQ(take(cstrTokenOBTAIN("a:b::c", 1, "::")), "a:b");
    EXPECT_EQ(take(cstrTokenOBTAIN("a:::b", 2, "::")), ":b");
    EXPECT_EQ(take(cstrTokenOBTAIN("a b", 1, "")), std::nullopt);
    EXPECT_EQ(take(cstrTokenOBTAIN("a b", 0, " ")), std::nullopt);
    EXPECT_EQ(take(cstrTokenOBTAIN("a::", 2, "::")), std::nullopt);
}

TEST(Literals, SizeThroughClosingQuote) {
    EXPECT_EQ(cstrLiteralSIZE("\"ab\"cd"), 4);
    EXPECT_EQ(cstrLiteralSIZE("\"ab"), 3);
    EXPECT_EQ(cstrLiteralSIZE("\"a\\\"b\""), 4);  // a backslash protects nothing
    EXPECT_EQ(cstrLiteralSIZE("ab\"c\""), 0);
    EXPECT_EQ(cstrLiteralSIZE(nullptr), 0);
}

TEST(Trim, Modes) {
    const char *s = " \t a b\t \t";
    EXPECT_EQ(take(cstrTRIM(s, 0, " \t")), "a b\t \t");
    EXPECT_EQ(take(cstrTRIM(s, 1, " \t")), " \t a b");
    EXPECT_EQ(take(cstrTRIM(s, 2, " \t")), "ab");
    EXPECT_EQ(take(cstrTRIM(s, 3, " \t")), "a b");
    EXPECT_EQ(take(cstrTRIM(" \t ", 3, " \t")), "");
    EXPECT_EQ(take(cstrTRIM(s, 3, "")), s);
    EXPECT_EQ(take(cstrTRIM(s, 3, nullptr)), s);
    EXPECT_EQ(take(cstrTRIM(s, 5, " ")), std::nullopt);
    EXPECT_EQ(take(cstrTRIM(s, -1, " ")), std::nullopt);
    EXPECT_EQ(take(cstrTRIM(nullptr, 0, " ")), std::nullopt);
}

TEST(Trim, LeadingZerosKeepOneBeforeANonDigit) {
    struct Case {
        const char *in, *out;
    } cases[] = {{"000", "0"}, {"007", "7"}, {"00a", "0a"}, {"0", "0"}, {"120", "120"},
                 {"0.5", "0.5"}, {"", ""}, {"x00", "x00"}, {"0009", "9"}};
    for (const auto &c : cases) {
        EXPECT_EQ(take(cstrTRIM(c.in, 4, nullptr)), c.out) << c.in;
        EXPECT_EQ(take(cstrTRIM(c.in, 4, "0")), c.out) << c.in;  // the set plays no part
    }
}

TEST(Trim, TrailingSuffixRepetitionsButNeverEverything) {
    EXPECT_EQ(take(cstrTRIMcstr("file.bak.bak", 1, ".bak")), "file");
    EXPECT_EQ(take(cstrTRIMcstr(".bak.bak.bak", 1, ".bak")), ".bak");
    EXPECT_EQ(take(cstrTRIMcstr("bak", 1, "bak")), "bak");
    EXPECT_EQ(take(cstrTRIMcstr("ab", 1, "")), "ab");
    EXPECT_EQ(take(cstrTRIMcstr("a//", 1, "/")), "a");
    EXPECT_EQ(take(cstrTRIMcstr("ab", 0, "b")), std::nullopt);
}

TEST(DoubleQuotes, StripEncloseAndCheck) {
    EXPECT_EQ(take(cstrDQuotesSTRIP("\"a b\"")), "a b");
    EXPECT_EQ(take(cstrDQuotesSTRIP("\"\"")), "");
    EXPECT_EQ(take(cstrDQuotesSTRIP("\"")), std::nullopt);
    EXPECT_EQ(take(cstrDQuotesSTRIP("\"a")), std::nullopt);
    EXPECT_EQ(take(cstrDQuotesSTRIP("a")), std::nullopt);

    EXPECT_EQ(take(cstrDQuotesUNCHECK("\"a b\"")), "a b");
    EXPECT_EQ(take(cstrDQuotesUNCHECK("a\"")), "a\"");

    EXPECT_EQ(take(cstrDQuotesENCLOSE("a b")), "\"a b\"");
    EXPECT_EQ(take(cstrDQuotesENCLOSE("ab")), std::nullopt);
    EXPECT_EQ(take(cstrDQuotesENCLOSE("\"a b")), std::nullopt);

    EXPECT_EQ(take(cstrDQuotesCHECK("a b")), "\"a b\"");
    EXPECT_EQ(take(cstrDQuotesCHECK("ab")), "ab");
    EXPECT_EQ(take(cstrDQuotesCHECK("\"a b\"")), "\"a b\"");
    EXPECT_EQ(take(cstrDQuotesCHECK(nullptr)), std::nullopt);
}

// Every allocating function, with each of its allocations failing in turn:
// the result is NULL or right, never partial, and nothing leaks (the
// sanitizer build checks the leaks).
TEST(CstrAllocFailure, NullAndNoLeak) {
    yqtest::SysGuard guard;
    long points = yqtest::for_each_alloc_failure([] {
        const char *line = "x \"a b\" y";
        for (int i = 0; i <= 3; ++i) {
            Opt t = take(cstrTokenGET(line, i, " "));
            if (t) { EXPECT_EQ(t, i == 2 ? "\"a b\"" : (i == 1 ? "x" : "y")); }
        }
        char buf[] = "x y";
        char *cursor = buf;
        char *first = cstrTokenNEXT(&cursor, " ");
        EXPECT_EQ(cursor, first != nullptr ? buf + 1 : buf);
        std::free(first);
        std::vector<std::string> all = take_array(cstrTOcstra(line, " "));
        if (!all.empty()) { EXPECT_EQ(all.size(), 3u); }
        for (int mode = 0; mode <= 4; ++mode) std::free(cstrTRIM(" 0 ", mode, " "));
        std::free(cstrTRIMcstr("a..", 1, "."));
        std::free(cstrTokenOBTAIN("a::b", 2, "::"));
        std::free(cstrDQuotesSTRIP("\"q\""));
        std::free(cstrDQuotesUNCHECK("q"));
        Opt enclosed = take(cstrDQuotesENCLOSE("a b"));
        if (enclosed) { EXPECT_EQ(enclosed, "\"a b\""); }
        std::free(cstrDQuotesCHECK("a b"));
        std::free(cstrDQuotesCHECK("ab"));
    });
    EXPECT_GE(points, 20);
}

}  // namespace
