#include "cstr.h"

#include <cstdlib>
#include <functional>
#include <optional>

#include "cstra.h"
#include "yq_memory.h"
#include "yqtest.h"

namespace {

using Opt = std::optional<std::string>;
using Strings = std::vector<std::string>;

Opt take(char *p) { return p != nullptr ? Opt(yq::unique_malloc<char>(p).get()) : std::nullopt; }

Strings take_array(char **a) {
    Strings v(a, a + cstraCOUNT(a));
    cstraFREE(a);
    return v;
}

TEST(Cstr, QuotesTokensTrimsAndFields) {
    const struct { const char *in, *out; } strips[] = {
        {"'abc'", "abc"}, {"'", ""}, {"''", ""}, {"'''", "'"}, {"'abc", "'abc"}, {"abc'", "abc'"}, {"", ""}};
    for (const auto &row : strips) {
        std::string buf = row.in;
        stripdelims(buf.data(), '\'');
        EXPECT_STREQ(buf.c_str(), row.out) << row.in;
    }
    const struct { const char *s; long at; } finds[] = {
        {"a\"b,c\",d", 6}, {"\"x,y\"\"z,w\",v", 10}, {"a\"b,c", 3}, {"a,\"b\"", 1}, {"\"a,b\"", -1}, {"abc", -1}};
    for (const auto &row : finds) {
        const char *hit = strchrwdelim(row.s, ',', '"');
        EXPECT_EQ(hit != nullptr ? hit - row.s : -1, row.at) << row.s;
    }
    // Only delimiters after the last token: one empty token, then the end.
    char text[] = "a,\"b,c\",,D,";
    cstrLOWER(text);
    Strings tokens;
    for (char *t = strtokwdelim(text, ',', '"'); t != nullptr; t = strtokwdelim(nullptr, ',', '"'))
        tokens.emplace_back(t);
    EXPECT_EQ(tokens, (Strings{"a", "\"b,c\"", "d", ""}));

    const char *line = "cmd \"a  b\"c \"open ended";
    const char *trim = " \t a b\t \t";
    const struct { const char *what; std::function<char *()> call; Opt result; } rows[] = {
        {"token 0 is the last", [] { return cstrTokenGET("one two  three", 0, " "); }, "three"},
        {"literal keeps quotes and blanks", [&] { return cstrTokenGET(line, 2, " "); }, "\"a  b\""},
        {"literal ends at its quote", [&] { return cstrTokenGET(line, 3, " "); }, "c"},
        {"quote inside a token", [] { return cstrTokenGET("ab\"c d\"", 1, " "); }, "ab\"c"},
        {"empty field", [] { return cstrTokenOBTAIN("a::::c", 2, "::"); }, std::nullopt},
        {"whole delimiter only", [] { return cstrTokenOBTAIN("a:b::c", 1, "::"); }, "a:b"},
        {"trim leading", [&] { return cstrTRIM(trim, CSTR_TRIM_LEADING, " \t"); }, "a b\t \t"},
        {"trim trailing", [&] { return cstrTRIM(trim, CSTR_TRIM_TRAILING, " \t"); }, " \t a b"},
        {"trim all", [&] { return cstrTRIM(trim, CSTR_TRIM_ALL, " \t"); }, "ab"},
        {"trim both", [&] { return cstrTRIM(trim, CSTR_TRIM_BOTH, " \t"); }, "a b"},
        {"empty set", [&] { return cstrTRIM(trim, CSTR_TRIM_BOTH, ""); }, trim},
        {"zeros", [] { return cstrTRIM("000", CSTR_TRIM_ZEROS, nullptr); }, "0"},
        {"zeros before a digit", [] { return cstrTRIM("0009", CSTR_TRIM_ZEROS, "0"); }, "9"},
        {"zeros before a letter", [] { return cstrTRIM("00a", CSTR_TRIM_ZEROS, nullptr); }, "0a"},
        {"suffix repeated", [] { return cstrTRIMcstr("file.bak.bak", 1, ".bak"); }, "file"},
        {"suffix never all", [] { return cstrTRIMcstr(".bak.bak.bak", 1, ".bak"); }, ".bak"},
        {"strip", [] { return cstrDQuotesSTRIP("\"a b\""); }, "a b"},
        {"a lone quote is no quoted text", [] { return cstrDQuotesSTRIP("\""); }, std::nullopt},
        {"enclose", [] { return cstrDQuotesENCLOSE("a b"); }, "\"a b\""},
        {"enclose without blank", [] { return cstrDQuotesENCLOSE("ab"); }, std::nullopt},
        {"check", [] { return cstrDQuotesCHECK("a b"); }, "\"a b\""},
    };
    for (const auto &row : rows) EXPECT_EQ(take(row.call()), row.result) << row.what;
    EXPECT_EQ(take_array(cstrTOcstra(line, " ")), (Strings{"cmd", "\"a  b\"", "c", "\"open ended"}));
    EXPECT_EQ(take_array(cstrTOcstra(",a,,b,", ",")), (Strings{"a", "b"}));
    EXPECT_EQ(cstrLiteralSIZE("\"a\\\"b\""), 4) << "a backslash protects nothing";
    EXPECT_EQ(cstrEMPTY(nullptr) + cstrMATCH(nullptr, ""), 2) << "null counts as empty";
}

}  // namespace
