// Text files: lines, records, changes in the temporary file, atomic commit.
#include "ytext.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "ytext_private.h"
#include "yq_memory.h"
#include "yqtest.h"
#include "yqtest_report.h"

namespace {

using Items = std::vector<std::string>;

template <typename T, typename Next>
Items drain(Next next) {
    Items out;
    for (T *got = nullptr; next(&got) == 0 && got != nullptr; std::free(std::exchange(got, nullptr)))
        out.emplace_back(static_cast<char *>(got));
    return out;
}

Items items_of(ytext_handle *h) {
    ytext_rewind(h);
    Items out = drain<void>([h](void **item) { return ytext_get_next_item(h, item); });
    return ytext_rewind(h), out;
}

int temp_count(const std::string &dir) {
    int n = 0;
    yq::unique_dir d(opendir(dir.c_str()));
    while (dirent *e = d ? readdir(d.get()) : nullptr)
        n += std::strncmp(e->d_name, yq::ytext_detail::kTempPrefix, sizeof yq::ytext_detail::kTempPrefix - 1) == 0;
    return n;
}

struct stat stat_of(const std::string &path) {
    struct stat st{};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st;
}

class TextFile : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = yqtest::scratch_dir() + "/ytext_" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        yqtest::remove_tree(dir_);
        ASSERT_EQ(mkdir(dir_.c_str(), 0755), 0);
        target_ = dir_ + "/registry.txt";
    }
    void TearDown() override { yqtest::remove_tree(dir_); }

    ytext_handle *open(int mode, ytext_unparse_fn unparse = nullptr) {
        ytext_handle *h = nullptr;
        EXPECT_EQ(ytext_open(target_.c_str(), mode, nullptr, unparse, nullptr, &h), 0);
        return h;
    }

    yqtest::SysGuard sys_;
    std::string dir_, target_;
};

TEST(TextLines, PhysicalAndLogicalLines) {
    std::string lengthy, big(3000, 'b');  // lengths around the first buffer and its slack
    Items lengthy_lines;
    for (size_t n : {943u, 944u, 1024u, 1025u, 5000u})
        lengthy += lengthy_lines.emplace_back(std::string(n, 'l') + "\n");
    struct Row { const char *what; bool logical; std::string input; Items want; };
    const Row rows[] = {
        {"lines keep their newline", false, "a\nb\\\nc", {"a\n", "b\\\n", "c"}},
        {"NUL bytes are dropped", false, std::string("a\0b\n", 4), {"ab\n"}},
        {"long lines are read whole", false, lengthy, lengthy_lines},
        {"a last line without newline stays", true, "x\\", {"x\\"}},
        {"long lines joined", true, big + "\\\n" + big + "\n", {big + big}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        yq::unique_file f(std::tmpfile());
        std::fwrite(row.input.data(), 1, row.input.size(), f.get());
        std::rewind(f.get());
        auto reader = row.logical ? ytext_get_logical_line : ytext_get_line;
        EXPECT_EQ(drain<char>([&](char **line) { return reader(f.get(), line); }), row.want);
    }
    char *line = nullptr;
    EXPECT_EQ(ytext_get_line(nullptr, &line), YTEXT_NO_HANDLE);
    EXPECT_EQ(ytext_get_memory_line(&line, &line), YTEXT_NO_HANDLE);
}

Items g_seen;

TEST_F(TextFile, RecordsSkipCommentsUnlessAParserTakesEveryLine) {
    yqtest::write_file(target_, "# c\n\nalpha\n \t\r\nbeta \\\n  gamma\n#x\\\ny\nbad\ndelta");
    ytext_handle *h = open(YTEXT_MODE_READ);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(items_of(h), (Items{"alpha", "beta   gamma", "bad", "delta"}));
    const struct { int index; const char *want; } by_index[] = {
        {1, "beta   gamma"}, {1, "beta   gamma"}, {0, "alpha"}, {3, "delta"}, {4, ""}};
    for (const auto &row : by_index) {  // forwards, the same again, back, past the end
        void *item = nullptr;
        EXPECT_EQ(ytext_get_item(h, row.index, &item), 0);
        EXPECT_STREQ(item != nullptr ? static_cast<char *>(item) : "", row.want) << row.index;
        std::free(item);
    }
    EXPECT_EQ(ytext_close(&h, 1), 0);
    EXPECT_EQ(ytext_append_item(h, "x"), YTEXT_NO_HANDLE);

    ytext_parse_fn parse = [](const char *line, void **item) {
        g_seen.emplace_back(line);
        if (std::strcmp(line, "bad") == 0) return static_cast<int>(YTEXT_UNQUOTABLE);
        *item = line[0] == 'a' || line[0] == 'd' ? strdup(line) : nullptr;
        return static_cast<int>(YTEXT_SUCCESS);
    };
    ASSERT_EQ(ytext_open(target_.c_str(), YTEXT_MODE_READ, parse, nullptr, nullptr, &h), 0);
    void *item = nullptr;
    EXPECT_EQ(ytext_get_next_item(h, &item), 0);
    std::free(item);
    EXPECT_EQ(ytext_get_next_item(h, &item), YTEXT_UNQUOTABLE);
    EXPECT_EQ(item, nullptr);
    EXPECT_EQ(g_seen, (Items{"# c", "", "alpha", " \t\r", "beta   gamma", "#xy", "bad"}));
    EXPECT_EQ(ytext_get_next_item(h, &item), 0);
    EXPECT_STREQ(static_cast<char *>(item), "delta");
    std::free(item);
    EXPECT_EQ(ytext_put_item(h, 0, 0, "x"), YTEXT_IO_ERROR);  // read-only
    ytext_close(&h, 0);
}

TEST_F(TextFile, OpenRefusesWhatItCannotUse) {
    yqtest::write_file(dir_ + "/plain", "x\n");  // "plain/registry.txt" exists but cannot be read
    const std::string t = target_, nowhere = dir_ + "/missing/registry.txt", blocked = dir_ + "/plain/registry.txt";
    for (auto [path, mode] : {std::pair{t.c_str(), int{YTEXT_MODE_READ}}, {t.c_str(), 4}, {t.c_str(), -1},
                              {nullptr, YTEXT_MODE_MEMORY}, {nowhere.c_str(), YTEXT_MODE_UPDATE},
                              {blocked.c_str(), YTEXT_MODE_UPDATE}}) {
        ytext_handle *h = reinterpret_cast<ytext_handle *>(this);
        EXPECT_TRUE(ytext_open(path, mode, nullptr, nullptr, nullptr, &h) == YTEXT_OPEN_FAILED && h == nullptr) << (path ? path : "") << mode;
    }
    EXPECT_EQ(temp_count(dir_), 0);

    // An update of a missing file starts empty and creates it 0644 whatever the umask.
    mode_t mask = umask(077);
    ytext_handle *h = open(YTEXT_MODE_UPDATE);
    EXPECT_TRUE(items_of(h).empty());
    EXPECT_EQ(ytext_close(&h, 1), 0);
    umask(mask);
    EXPECT_EQ(yqtest::read_file(target_), "");
    EXPECT_EQ(stat_of(target_).st_mode & 07777, 0644u);
}

TEST_F(TextFile, ChangesWorkOnTheTemporaryFileUntilCommit) {
    const std::string original = "# comment\n\na\nb\nc\n";
    yqtest::write_file(target_, original);
    ytext_handle *h = open(YTEXT_MODE_UPDATE);
    ASSERT_NE(h, nullptr);
    // Insert is an index with an item, replace the same with the flag, delete an index without.
    struct Row { const char *what; int index, replace; const char *item; int status; Items after; };
    const Row rows[] = {
        {"insert", 1, 0, "x", 0, {"a", "x", "b", "c"}},
        {"replace", 0, 1, "A", 0, {"A", "x", "b", "c"}},
        {"delete", 2, 0, nullptr, 0, {"A", "x", "c"}},
        {"insert past the end appends", 9, 0, "e", 0, {"A", "x", "c", "e"}},
        {"replace past the end", 9, 1, "q", YTEXT_PAST_END, {"A", "x", "c", "e"}},
        {"replace just past the last", 4, 1, "q", YTEXT_PAST_END, {"A", "x", "c", "e"}},
        {"negative index", -1, 0, "q", YTEXT_PAST_END, {"A", "x", "c", "e"}},
        {"delete past the end", 4, 0, nullptr, 0, {"A", "x", "c", "e"}},
        {"delete the last", 3, 0, nullptr, 0, {"A", "x", "c"}},
        {"one newline per line", 1, 1, "n\n", 0, {"A", "n", "c"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(ytext_put_item(h, row.index, row.replace, row.item), row.status);
        EXPECT_EQ(items_of(h), row.after);
        EXPECT_EQ(yqtest::read_file(target_), original);
    }
    EXPECT_EQ(ytext_close(&h, 1), 0);
    EXPECT_EQ(yqtest::read_file(target_), "A\nn\nc\n");  // no comments: only the records
    EXPECT_EQ(temp_count(dir_), 0);
}

int g_fsyncs;
constexpr auto refuse = [](auto...) { return errno = EIO, -1; };
int refuse_second_fsync(int fd) { return ++g_fsyncs == 2 ? refuse() : ::fsync(fd); }

// Each step of the publication failing leaves the target as it was and no temporary file; the
// directory sync comes after the rename. Published, the file keeps its permission bits and owner.
TEST_F(TextFile, CommitIsAtomicAndKeepsTheAttributes) {
    struct Row { const char *what; void (*arm)(); int commit, status; bool published; };
    const Row rows[] = {
        {"no commit", [] {}, 0, 0, false},
        {"file sync", [] { yq::sys::table.fsync = refuse; }, 1, YTEXT_IO_ERROR, false},
        {"target attributes", [] { yq::sys::table.stat = refuse; }, 1, YTEXT_STAT_FAILED, false},
        {"chmod", [] { yq::sys::table.chmod = refuse; }, 1, YTEXT_CHMOD_FAILED, false},
        {"chown", [] { yq::sys::table.chown = refuse; }, 1, YTEXT_CHOWN_FAILED, false},
        {"directory open", [] { yq::sys::table.open = refuse; }, 1, YTEXT_IO_ERROR, false},
        {"rename", [] { yq::sys::table.rename = refuse; }, 1, YTEXT_RENAME_FAILED, false},
        {"directory sync", [] { yq::sys::table.fsync = refuse_second_fsync; }, 1, YTEXT_IO_ERROR, true},
        {"success", [] {}, 1, 0, true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        yq::sys::reset();
        g_fsyncs = 0;
        yqtest::write_file(target_, "old\n");
        ASSERT_EQ(chown(target_.c_str(), 4321, 8765), 0);
        ASSERT_EQ(chmod(target_.c_str(), 04751), 0);
        ino_t before = stat_of(target_).st_ino;
        ytext_handle *h = open(YTEXT_MODE_UPDATE);
        ASSERT_EQ(ytext_append_item(h, "new"), 0);
        row.arm();
        EXPECT_EQ(ytext_close(&h, row.commit), row.status);
        EXPECT_EQ(h, nullptr);
        struct stat after = stat_of(target_);
        EXPECT_EQ(yqtest::read_file(target_), row.published ? "old\nnew\n" : "old\n");
        EXPECT_EQ(after.st_ino != before, row.published);
        EXPECT_EQ(after.st_mode & 07777, row.published ? 0751u : 04751u);  // only the nine permission bits travel
        EXPECT_EQ(std::pair(after.st_uid, after.st_gid), std::pair(4321u, 8765u));
        EXPECT_EQ(temp_count(dir_), 0);
    }
}

TEST_F(TextFile, MemoryFailuresLeaveTheTargetUnchanged) {
    const std::string original = "first\nsecond \\\n continued\nthird\n";
    bool failed_somewhere = false;
    yqtest::for_each_alloc_failure([&] {
        yqtest::write_file(target_, original);
        ytext_handle *h = nullptr;
        int status = ytext_open(target_.c_str(), YTEXT_MODE_UPDATE, nullptr, nullptr, nullptr, &h);
        if (status == 0) status = ytext_insert_item(h, 1, "inserted");
        if (status == 0) status = ytext_replace_item(h, 0, "r \\ b");
        if (status == 0) status = ytext_delete_item(h, 2);
        if (status == 0) status = ytext_close(&h, 1);
        if (h != nullptr) ytext_close(&h, 0);
        EXPECT_TRUE(status == 0 || status == YTEXT_NO_MEMORY || status == YTEXT_OPEN_FAILED) << status;
        failed_somewhere |= status == YTEXT_NO_MEMORY;
        EXPECT_EQ(yqtest::read_file(target_), status == 0 ? "r \\ b\ninserted\nthird\n" : original);
        EXPECT_EQ(temp_count(dir_), 0);
    });
    EXPECT_TRUE(failed_somewhere);
}

std::string numbered(const char *tag, int i) { return tag + (" " + std::to_string(i)) + std::string(40, 'x'); }

// A child replacing 15 items, killed after `kill_us` if >= 0: its exit status or minus the signal.
int run_writer(const std::string &target, long kill_us) {
    pid_t pid = fork();
    if (pid == 0) {
        ytext_handle *h = nullptr;
        int status = ytext_open(target.c_str(), YTEXT_MODE_UPDATE, nullptr, nullptr, nullptr, &h);
        for (int i = 0; i < 15 && status == 0; ++i) status = ytext_replace_item(h, i, numbered("new", i).c_str());
        _exit(status == 0 ? ytext_close(&h, 1) : 100 + status);
    }
    if (kill_us >= 0) usleep(static_cast<useconds_t>(kill_us)), kill(pid, SIGKILL);
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    return WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
}

TEST_F(TextFile, KilledWriterLeavesTheOldOrTheNewFileWhole) {
    std::string old_content, new_content;
    for (int i = 0; i < 150; ++i) {
        old_content += numbered("old", i) + "\n";
        new_content += numbered(i < 15 ? "new" : "old", i) + "\n";
    }
    // How long an undisturbed writer runs, so that the kills spread over its life (never asserted).
    yqtest::write_file(target_, old_content);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(run_writer(target_, -1), 0);
    auto took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
    ASSERT_EQ(yqtest::read_file(target_), new_content);

    std::mt19937 random(20240611);
    std::uniform_int_distribution<long> delay_us(0, took.count() * 3 / 2);
    for (int i = 0; i < 200; ++i) {
        yqtest::write_file(target_, old_content, 0640);
        int status = run_writer(target_, delay_us(random));
        ASSERT_TRUE(status == -SIGKILL || status == 0) << status;
        std::string now = yqtest::read_file(target_);
        ASSERT_TRUE(now == old_content || now == new_content) << "iteration " << i;
        ASSERT_EQ(stat_of(target_).st_mode & 0777, 0640u) << "iteration " << i;
    }
}

// The line reported is the failing step's, not that of the helper reporting it.
TEST_F(TextFile, ReportsNameTheLineOfTheFailingStep) {
    ytext_handle *h = open(YTEXT_MODE_REWRITE, [](const void *, char **) { return int{YTEXT_UNQUOTABLE}; });
    std::vector<std::string> source = yqtest::read_lines(YTEXT_SOURCE);
    auto at = std::ranges::find_if(source, [](auto &l) { return l.ends_with("if (status != YTEXT_SUCCESS) return fail(status);"); });
    ASSERT_NE(at, source.end());
    long line = at - source.begin() + 1;
    yqtest::Reports reports;
    EXPECT_EQ(ytext_append_item(h, "x"), YTEXT_UNQUOTABLE);
    EXPECT_TRUE(reports.has("ytext." + std::to_string(line) + ": Function failed: 2 ")) << reports.text() << line;
    ytext_close(&h, 0);
}

}  // namespace
