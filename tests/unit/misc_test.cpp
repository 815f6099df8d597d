#include "misc.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cstra.h"
#include "misc_private.h"
#include "yqtest.h"

namespace {

using Strings = std::vector<std::string>;

TEST(NumberText, LeftAndRightJustified) {
    EXPECT_STREQ(itoaLJ(42), "42");
    EXPECT_STREQ(itoaLJ(-7), "-7");
    EXPECT_STREQ(itoaLJ(INT_MIN), "-2147483648");
    EXPECT_STREQ(itoaLJ(INT_MAX), "2147483647");
    EXPECT_STREQ(itoaRJ(42), "         42");
    EXPECT_STREQ(itoaRJ(-1), "         -1");
    EXPECT_STREQ(itoaRJ(INT_MIN), "-2147483648");
    // One static buffer per function: each call overwrites only its own.
    char *left = itoaLJ(1);
    char *right = itoaRJ(2);
    EXPECT_NE(left, right);
    EXPECT_EQ(itoaLJ(3), left);
    EXPECT_STREQ(left, "3");
    EXPECT_STREQ(right, "          2");
}

// An argument vector as main() receives it.
struct Argv {
    std::vector<std::string> storage;
    std::vector<char *> ptrs;
    explicit Argv(std::initializer_list<std::string> args) : storage(args) {
        for (auto &s : storage) ptrs.push_back(s.data());
        ptrs.push_back(nullptr);
    }
    char **get() { return ptrs.data(); }
};

// The values array, or {"(null)"} for NULL.
Strings values(char **argv, const char *option) {
    char **v = argValuesGET(argv, option);
    if (v == nullptr) return {"(null)"};
    Strings out;
    for (char **p = v; *p != nullptr; ++p) out.emplace_back(*p);
    cstraFREE(v);
    return out;
}

TEST(Options, ExistsIsCaseInsensitive) {
    Argv argv{"prog", "-Verbose", "file", "-x"};
    EXPECT_EQ(argEXISTS(argv.get(), "-VERBOSE"), 1);
    EXPECT_EQ(argEXISTS(argv.get(), "-verbose"), 1);
    EXPECT_EQ(argEXISTS(argv.get(), "-X"), 1);
    EXPECT_EQ(argEXISTS(argv.get(), "-file"), 0);
    EXPECT_EQ(argEXISTS(argv.get(), "file"), 0);  // not an option
    EXPECT_EQ(argEXISTS(argv.get(), "-"), 0);
    EXPECT_EQ(argEXISTS(nullptr, "-x"), 0);
    EXPECT_EQ(argEXISTS(argv.get(), nullptr), 0);
    EXPECT_STREQ(argv.get()[1], "-Verbose");  // the arguments stay as given
}

TEST(Options, LongerThan32CharactersIsNotAnOption) {
    std::string opt32 = "-" + std::string(31, 'a');
    std::string opt33 = opt32 + "a";
    Argv argv{"prog", opt32, "v", opt33, "w"};
    EXPECT_EQ(argEXISTS(argv.get(), opt32.c_str()), 1);
    EXPECT_EQ(argEXISTS(argv.get(), opt33.c_str()), 0);
    EXPECT_EQ(values(argv.get(), opt33.c_str()), Strings{"(null)"});
    // It still ends the values of the option before it.
    EXPECT_EQ(values(argv.get(), opt32.c_str()), Strings{"v"});
}

TEST(Options, ValuesUpToNextOption) {
    Argv argv{"prog", "-x", "a", "b", "-y", "-x", "c"};
    EXPECT_EQ(values(argv.get(), "-X"), (Strings{"a", "b"}));  // the first -x wins
    EXPECT_EQ(values(argv.get(), "-y"), Strings{});            // present, no values
    EXPECT_EQ(values(argv.get(), "-z"), Strings{"(null)"});
    EXPECT_EQ(values(argv.get(), "x"), Strings{"(null)"});
    EXPECT_EQ(values(nullptr, "-x"), Strings{"(null)"});

    char **v = argValuesGET(argv.get(), "-x");
    ASSERT_NE(v, nullptr);
    EXPECT_NE(v[0], argv.get()[2]);  // copies, the caller's to free
    cstraFREE(v);

    Argv last{"prog", "-last"};
    EXPECT_EQ(values(last.get(), "-LAST"), Strings{});
}

TEST(Options, ValuesAllocationFailure) {
    yqtest::SysGuard guard;
    Argv argv{"prog", "-x", "a", "b"};
    long points = yqtest::for_each_alloc_failure([&] {
        char **v = argValuesGET(argv.get(), "-x");
        if (v != nullptr) {
            EXPECT_EQ(cstraCOUNT(v), 2);
        }
        cstraFREE(v);
    });
    EXPECT_EQ(points, 4);  // handle, block, two copies
}

TEST(Environment, EntryNameNeedOnlyBeTheStartOfTheName) {
    using yq::misc::ckmch;
    EXPECT_TRUE(ckmch("FOO=1", "FOO"));
    EXPECT_TRUE(ckmch("FOO=1", "FOOBAR"));
    EXPECT_TRUE(ckmch("FOO=1", "FOO=2"));
    EXPECT_FALSE(ckmch("FOOBAR=1", "FOO"));
    EXPECT_FALSE(ckmch("FOO=1", "FOX"));
    EXPECT_TRUE(ckmch("FOO", "FOO"));  // an entry without '='

    std::string a = "A=1", foo = "FOO=x", foo2 = "FOO=y", b = "B=2";
    std::vector<char *> env{a.data(), foo.data(), foo2.data(), b.data(), nullptr};
    EXPECT_EQ(yq::misc::env_remove(env.data(), "FOO"), 0);
    EXPECT_STREQ(env[1], "FOO=y");  // only the first match goes
    EXPECT_STREQ(env[2], "B=2");
    EXPECT_EQ(env[3], nullptr);
    EXPECT_EQ(yq::misc::env_remove(env.data(), "C"), -1);
    EXPECT_EQ(yq::misc::env_remove(env.data(), "B"), 0);
    EXPECT_EQ(env[2], nullptr);
    EXPECT_EQ(yq::misc::env_remove(env.data(), nullptr), -1);
    EXPECT_EQ(yq::misc::env_remove(nullptr, "A"), -1);
}

// The process environment itself, through the exported name that replaces
// the C library's (the C library's would answer 0 for an absent variable).
TEST(Environment, UnsetenvOnTheRealEnvironment) {
    ASSERT_EQ(dlsym(RTLD_DEFAULT, "unsetenv"), reinterpret_cast<void *>(&unsetenv));
    ASSERT_EQ(::setenv("YQ_MISC_PROBE", "1", 1), 0);
    ASSERT_EQ(::setenv("YQ_MISC_KEEP", "2", 1), 0);
    EXPECT_EQ(unsetenv("YQ_MISC_PROBE"), 0);
    EXPECT_EQ(std::getenv("YQ_MISC_PROBE"), nullptr);
    EXPECT_STREQ(std::getenv("YQ_MISC_KEEP"), "2");
    EXPECT_EQ(unsetenv("YQ_MISC_PROBE"), -1);

    // The C library keeps managing the environment after a removal.
    ASSERT_EQ(::setenv("YQ_MISC_PROBE", "3", 1), 0);
    EXPECT_STREQ(std::getenv("YQ_MISC_PROBE"), "3");
    EXPECT_EQ(unsetenv("YQ_MISC_PROBE_LONGER_NAME"), 0);  // the entry's name is its start
    EXPECT_EQ(std::getenv("YQ_MISC_PROBE"), nullptr);
    EXPECT_EQ(unsetenv("YQ_MISC_KEEP"), 0);
    EXPECT_EQ(std::getenv("YQ_MISC_KEEP"), nullptr);
    for (char **p = environ; *p != nullptr; ++p) EXPECT_NE(std::strncmp(*p, "YQ_MISC_", 8), 0) << *p;
}

}  // namespace
