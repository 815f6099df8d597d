#include "tempnam.h"

#include <sys/stat.h>

#include <cstdlib>

#include "tempnam_private.h"
#include "yq_memory.h"
#include "yqtest.h"

namespace {

std::string take(char *name) { return name != nullptr ? std::string(yq::unique_malloc<char>(name).get()) : "(null)"; }

TEST(Tempnam, NameLiesInTheRequestedDirectoryWhateverTmpdirSays) {
    const std::string want = yqtest::scratch_dir() + "/wanted", other = yqtest::scratch_dir() + "/other";
    mkdir(want.c_str(), 0755);
    mkdir(other.c_str(), 0755);
    for (const char *tmpdir : {other.c_str(), "", static_cast<const char *>(nullptr)}) {
        if (tmpdir != nullptr) setenv("TMPDIR", tmpdir, 1);
        else unsetenv("TMPDIR");
        const char *entry = std::getenv("TMPDIR");
        const std::string name = take(Y_tempnam(want.c_str(), "ytext"));
        EXPECT_EQ(name.substr(0, want.size() + 6), want + "/ytext") << name;
        EXPECT_EQ(std::getenv("TMPDIR"), entry) << "the very same TMPDIR entry is back";
    }

    // The set-user-id rule applies only to effective root with a real user
    // who is not root, and only when the system's name is not in the
    // directory (a missing directory sends the system to /tmp).
    const std::string missing = want + "/missing";
    const struct { uid_t euid, ruid; std::string dir; const char *prefix; std::string start; } rows[] = {
        {0, 1000, want, "abcdefg", want + "/abcde"}, {0, 1000, missing, "abcdefg", missing + "/abcde."},
        {0, 1000, missing, nullptr, missing + "/temp."}, {0, 1000, "/", "pf", "//pf."},
        {0, 0, missing, "abc", "/tmp/abc"}, {1000, 1000, missing, "abc", "/tmp/abc"},
        {1000, 0, missing, "abc", "/tmp/abc"}};
    for (const auto &row : rows) {
        const std::string name = take(yq::tempnam_detail::make_name(row.dir.c_str(), row.prefix, row.euid, row.ruid));
        EXPECT_EQ(name.substr(0, row.start.size()), row.start) << name;
        EXPECT_EQ(name.size(), row.start.size() + 6) << name;
    }
    yqtest::SysGuard guard;
    yqtest::AllocFailer fail(1, true);
    EXPECT_EQ(take(yq::tempnam_detail::make_name(missing.c_str(), "abc", 0, 1000)).substr(0, 8), "/tmp/abc")
        << "without memory the system's name stays";
}

}  // namespace
