// Helpers shared by the test programs.
#ifndef YQTEST_H
#define YQTEST_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "yq_sys.h"

namespace yqtest {

// Every test program runs under tests/sandbox/yq-sandbox; refusing to run
// elsewhere keeps a test from ever touching the machine's product trees.
class SandboxCheck : public ::testing::Environment {
public:
    void SetUp() override;
};
inline ::testing::Environment *const sandbox_check =
    ::testing::AddGlobalTestEnvironment(new SandboxCheck);

// Private scratch directory of the sandbox (on the real /tmp, removed after).
std::string scratch_dir();

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content, int mode = 0644);
// Writes the file and dates it `mtime` (seconds since the epoch), so that
// whatever reloads on a change sees one without waiting for the clock.
void write_file_dated(const std::string &path, const std::string &content, long mtime);
bool exists(const std::string &path);
// Lines of a file, without their newlines.
std::vector<std::string> read_lines(const std::string &path);
// Removes a tree (like rm -rf); missing paths are fine.
void remove_tree(const std::string &path);
// Polls `done` until it holds, for `within` at most.
bool eventually(const std::function<bool()> &done, std::chrono::seconds within = std::chrono::seconds(30));

// Restores the real system-call table when it leaves scope.
struct SysGuard {
    SysGuard() = default;
    SysGuard(const SysGuard &) = delete;
    SysGuard &operator=(const SysGuard &) = delete;
    ~SysGuard() { yq::sys::reset(); }
};

// Makes the k-th allocation (1-based) through the seam fail, and every one
// after it when `sticky`; counts allocations either way.
class AllocFailer {
public:
    explicit AllocFailer(long fail_at, bool sticky = false);
    ~AllocFailer();
    AllocFailer(const AllocFailer &) = delete;
    AllocFailer &operator=(const AllocFailer &) = delete;
    static long calls();
};

// Runs `body` once for k = 1, 2, ... with the k-th allocation failing, until
// a run makes fewer than k allocations (every failure point was visited); a
// body that allocates nothing fails the test, since it would prove nothing.
template <typename Body>
void for_each_alloc_failure(Body body) {
    long k = 1;
    for (;; ++k) {
        long made = 0;
        {
            AllocFailer failer(k);
            body();
            made = AllocFailer::calls();
        }
        if (made < k) break;
    }
    EXPECT_GT(k, 1) << "no allocation to fail";
}

}  // namespace yqtest

#endif
