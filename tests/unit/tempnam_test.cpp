#include "tempnam.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "tempnam_private.h"
#include "yqtest.h"

namespace {

using Name = std::unique_ptr<char, decltype(&std::free)>;

Name own(char *p) { return Name(p, &std::free); }

bool starts_with(const char *s, const std::string &head) {
    return s != nullptr && std::strncmp(s, head.c_str(), head.size()) == 0;
}

// Characters that mktemp and the system generator put in a name.
bool random_tail(const std::string &tail, size_t n) {
    if (tail.size() != n) return false;
    for (char c : tail)
        if (!std::isalnum(static_cast<unsigned char>(c))) return false;
    return true;
}

class Tempnam : public ::testing::Test {
protected:
    void SetUp() override {
        const char *t = std::getenv("TMPDIR");
        had_tmpdir_ = t != nullptr;
        if (had_tmpdir_) saved_tmpdir_ = t;
        base_ = yqtest::scratch_dir() + "/tempnam_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name();
        yqtest::remove_tree(base_);
        ASSERT_EQ(mkdir(base_.c_str(), 0755), 0);
        want_ = base_ + "/wanted";
        other_ = base_ + "/other";
        ASSERT_EQ(mkdir(want_.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(other_.c_str(), 0755), 0);
    }
    void TearDown() override {
        if (had_tmpdir_)
            setenv("TMPDIR", saved_tmpdir_.c_str(), 1);
        else
            unsetenv("TMPDIR");
        yqtest::remove_tree(base_);
    }

    yqtest::SysGuard sys_;
    bool had_tmpdir_ = false;
    std::string saved_tmpdir_, base_, want_, other_;
};

TEST_F(Tempnam, NameLiesInTheRequestedDirectoryDespiteTmpdir) {
    setenv("TMPDIR", other_.c_str(), 1);
    const char *entry_before = std::getenv("TMPDIR");
    Name name = own(Y_tempnam(want_.c_str(), "ytext"));
    ASSERT_NE(name, nullptr);
    EXPECT_TRUE(starts_with(name.get(), want_ + "/ytext")) << name.get();
    EXPECT_TRUE(random_tail(name.get() + want_.size() + 6, 6)) << name.get();
    EXPECT_FALSE(yqtest::exists(name.get())) << "only a name, no file";
    // TMPDIR is back, as the very same entry.
    ASSERT_NE(std::getenv("TMPDIR"), nullptr);
    EXPECT_EQ(std::string(std::getenv("TMPDIR")), other_);
    EXPECT_EQ(std::getenv("TMPDIR"), entry_before);

    // The system generator keeps at most five characters of a prefix.
    name = own(Y_tempnam(want_.c_str(), "longprefix"));
    EXPECT_TRUE(starts_with(name.get(), want_ + "/longp")) << name.get();
    name = own(Y_tempnam(want_.c_str(), nullptr));
    EXPECT_TRUE(starts_with(name.get(), want_ + "/")) << name.get();
}

TEST_F(Tempnam, EmptyOrUnsetTmpdirIsLeftAsItWas) {
    unsetenv("TMPDIR");
    Name name = own(Y_tempnam(want_.c_str(), "p"));
    EXPECT_TRUE(starts_with(name.get(), want_ + "/p")) << name.get();
    EXPECT_EQ(std::getenv("TMPDIR"), nullptr);

    setenv("TMPDIR", "", 1);
    name = own(Y_tempnam(want_.c_str(), "p"));
    EXPECT_TRUE(starts_with(name.get(), want_ + "/p")) << name.get();
    ASSERT_NE(std::getenv("TMPDIR"), nullptr);
    EXPECT_STREQ(std::getenv("TMPDIR"), "");
}

TEST_F(Tempnam, SuccessiveNamesDiffer) {
    Name a = own(Y_tempnam(want_.c_str(), "n"));
    yqtest::write_file(a.get(), "");
    Name b = own(Y_tempnam(want_.c_str(), "n"));
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_STRNE(a.get(), b.get());
}

// The set-user-id rule: effective user root, real user not root.
TEST_F(Tempnam, SetUserIdRootBuildsTheNameInDir) {
    using yq::tempnam_detail::make_name;
    // The system honoured dir: its name is kept.
    Name name = own(make_name(want_.c_str(), "abcdefg", 0, 1000));
    EXPECT_TRUE(starts_with(name.get(), want_ + "/abcde")) << name.get();
    EXPECT_EQ(std::strchr(name.get() + want_.size(), '.'), nullptr) << "system form, not built";

    // The system went elsewhere (a missing directory sends it to /tmp): the
    // name is built in dir from five characters of the prefix.
    const std::string missing = base_ + "/missing";
    name = own(make_name(missing.c_str(), "abcdefg", 0, 1000));
    ASSERT_NE(name, nullptr);
    EXPECT_TRUE(starts_with(name.get(), missing + "/abcde.")) << name.get();
    EXPECT_TRUE(random_tail(name.get() + missing.size() + 7, 6)) << name.get();

    name = own(make_name(missing.c_str(), nullptr, 0, 1000));
    EXPECT_TRUE(starts_with(name.get(), missing + "/temp.")) << name.get();
    EXPECT_TRUE(random_tail(name.get() + missing.size() + 6, 6)) << name.get();

    // "/" is never trusted.
    name = own(make_name("/", "pf", 0, 1000));
    EXPECT_TRUE(starts_with(name.get(), "//pf.")) << name.get();
    EXPECT_TRUE(random_tail(name.get() + 5, 6)) << name.get();

    // Without dir there is nothing to enforce.
    name = own(make_name(nullptr, "pf", 0, 1000));
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(std::strstr(name.get(), "pf."), nullptr) << name.get();
}

TEST_F(Tempnam, OtherUsersKeepTheSystemName) {
    using yq::tempnam_detail::make_name;
    const std::string missing = base_ + "/missing";
    for (auto [euid, ruid] : {std::pair<uid_t, uid_t>{0, 0}, {1000, 1000}, {1000, 0}}) {
        Name name = own(make_name(missing.c_str(), "abc", euid, ruid));
        ASSERT_NE(name, nullptr);
        EXPECT_FALSE(starts_with(name.get(), missing)) << euid << " " << ruid << " " << name.get();
    }
}

TEST_F(Tempnam, SetUserIdRootFallsBackToTheSystemNameWithoutMemory) {
    const std::string missing = base_ + "/missing";
    yqtest::AllocFailer fail(1, true);
    Name name = own(yq::tempnam_detail::make_name(missing.c_str(), "abc", 0, 1000));
    ASSERT_NE(name, nullptr);
    EXPECT_FALSE(starts_with(name.get(), missing)) << name.get();
}

}  // namespace
