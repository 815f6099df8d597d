#include "misc.h"

#include <dlfcn.h>

#include <climits>
#include <cstdlib>
#include <optional>

#include "cstra.h"
#include "misc_private.h"
#include "yqtest.h"

namespace {

using Strings = std::vector<std::string>;

TEST(Misc, NumbersAndOptions) {
    const struct { int n; const char *left, *right; } numbers[] = {
        {42, "42", "         42"}, {-1, "-1", "         -1"}, {INT_MIN, "-2147483648", "-2147483648"},
        {INT_MAX, "2147483647", " 2147483647"}};
    for (const auto &row : numbers) {
        EXPECT_STREQ(itoaLJ(row.n), row.left);
        EXPECT_STREQ(itoaRJ(row.n), row.right);
    }
    char *right = itoaRJ(2);
    EXPECT_STREQ(itoaLJ(3), "3");
    EXPECT_STREQ(right, "          2") << "each function has its own buffer";

    const std::string opt32 = "-" + std::string(31, 'a'), opt33 = opt32 + "a";
    std::vector<std::string> args = {"prog", "-Xa", "a", "b", "-y", "-xa", "c", opt32, "v", opt33, "w"};
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    // "-xA" matches the first "-Xa"; "a" is no option; opt33 is too long to be one, but it ends the
    // values of the option before it.
    const struct { const char *option; int exists; std::optional<Strings> values; } rows[] = {
        {"-xA", 1, Strings{"a", "b"}}, {"-y", 1, Strings{}}, {"-z", 0, std::nullopt}, {"a", 0, std::nullopt},
        {opt32.c_str(), 1, Strings{"v"}}, {opt33.c_str(), 0, std::nullopt}, {nullptr, 0, std::nullopt}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.option != nullptr ? row.option : "(null)");
        EXPECT_EQ(argEXISTS(argv.data(), row.option), row.exists);
        char **values = argValuesGET(argv.data(), row.option);
        ASSERT_EQ(values != nullptr, row.values.has_value());
        Strings got;
        for (char **p = values; p != nullptr && *p != nullptr; ++p) got.emplace_back(*p);
        EXPECT_EQ(got, row.values.value_or(Strings{}));
        cstraFREE(values);
    }
    EXPECT_EQ(argEXISTS(nullptr, "-x") + argEXISTS(argv.data(), "-Xa"), 1);
    EXPECT_STREQ(argv[1], "-Xa") << "the arguments stay as given";
}

TEST(Misc, EnvironmentEntriesMatchByTheStartOfTheName) {
    const struct { const char *entry, *name; bool match; } rows[] = {
        {"FOO=1", "FOO", true}, {"FOO=1", "FOOBAR", true}, {"FOO=1", "FOO=2", true},
        {"FOOBAR=1", "FOO", false}, {"FOO=1", "FOX", false}, {"FOO", "FOO", true}};
    for (const auto &row : rows) {
        std::string entry = row.entry, other = "A=1";
        std::vector<char *> env{other.data(), entry.data(), entry.data(), nullptr};
        EXPECT_EQ(yq::misc::env_remove(env.data(), row.name), row.match ? 0 : -1) << row.entry << " " << row.name;
        EXPECT_EQ(env[2], row.match ? nullptr : entry.data()) << "only the first match goes";
    }

    // The exported name replaces the C library's (which answers 0 for an
    // absent variable), on the process environment itself.
    ASSERT_EQ(dlsym(RTLD_DEFAULT, "unsetenv"), reinterpret_cast<void *>(&unsetenv));
    ASSERT_EQ(::setenv("YQ_MISC_PROBE", "1", 1), 0);
    EXPECT_EQ(unsetenv("YQ_MISC_PROBE_LONGER"), 0);
    EXPECT_EQ(unsetenv("YQ_MISC_PROBE"), -1);
}

}  // namespace
