#include "ytext.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "ynet.h"
#include "ytext_private.h"
#include "yqtest.h"
#include "yqtest_report.h"
#include <functional>

namespace {

using Items = std::vector<std::string>;

struct Freed {
    void operator()(void *p) const noexcept { std::free(p); }
};
using Text = std::unique_ptr<char, Freed>;

std::string str(const char *s) { return s != nullptr ? s : "<null>"; }

// Items of a string handle (no callbacks), read in sequence from the start.
Items items_of(ytext_handle *h) {
    ytext_rewind(h);
    Items out;
    for (;;) {
        void *item = nullptr;
        EXPECT_EQ(ytext_get_next_item(h, &item), 0);
        if (item == nullptr) break;
        out.emplace_back(static_cast<char *>(item));
        std::free(item);
    }
    ytext_rewind(h);
    return out;
}

// The temporary files of the text module in `dir`.
std::vector<std::string> temp_files(const std::string &dir) {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (std::strncmp(e->d_name, yq::ytext_detail::kTempPrefix,
                             std::strlen(yq::ytext_detail::kTempPrefix)) == 0)
                names.emplace_back(e->d_name);
        closedir(d);
    }
    return names;
}

struct stat stat_of(const std::string &path) {
    struct stat st{};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st;
}

// Memory-mode physical or logical lines until the end.
template <typename Reader>
Items memory_lines(const char *text, Reader reader) {
    std::string copy = text;
    char *cursor = copy.data();
    Items out;
    for (;;) {
        char *line = nullptr;
        EXPECT_EQ(reader(&cursor, &line), 0);
        if (line == nullptr) break;
        out.emplace_back(line);
        std::free(line);
    }
    return out;
}

template <typename Reader>
Items file_lines(const std::string &content, Reader reader) {
    FILE *f = std::tmpfile();
    std::fwrite(content.data(), 1, content.size(), f);
    std::rewind(f);
    Items out;
    for (;;) {
        char *line = nullptr;
        EXPECT_EQ(reader(f, &line), 0);
        if (line == nullptr) break;
        out.emplace_back(line);
        std::free(line);
    }
    std::fclose(f);
    return out;
}

class TextFile : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = yqtest::scratch_dir() + "/ytext_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
        yqtest::remove_tree(dir_);
        ASSERT_EQ(mkdir(dir_.c_str(), 0755), 0);
        target_ = dir_ + "/registry.txt";
    }
    void TearDown() override {
        yq::sys::reset();
        yqtest::remove_tree(dir_);
    }

    ytext_handle *open(int mode) {
        ytext_handle *h = nullptr;
        EXPECT_EQ(ytext_open(target_.c_str(), mode, nullptr, nullptr, nullptr, &h), 0);
        return h;
    }

    yqtest::SysGuard sys_;
    std::string dir_, target_;
};

// ------------------------------------------------------------- opening

TEST_F(TextFile, MissingFileIsAnErrorToReadAndEmptyToUpdate) {
    ytext_handle sentinel{};
    ytext_handle *h = &sentinel;
    EXPECT_EQ(ytext_open(target_.c_str(), YTEXT_MODE_READ, nullptr, nullptr, nullptr, &h), 7);
    EXPECT_EQ(h, nullptr);

    mode_t old_mask = umask(077);
    h = open(YTEXT_MODE_UPDATE);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->read_only, 0);
    EXPECT_EQ(h->mode, YTEXT_MODE_UPDATE);
    EXPECT_TRUE(items_of(h).empty());
    EXPECT_FALSE(yqtest::exists(target_));
    EXPECT_EQ(ytext_close(&h, 1), 0);
    umask(old_mask);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(yqtest::read_file(target_), "");
    // New files get 0644 whatever the umask.
    EXPECT_EQ(stat_of(target_).st_mode & 07777, 0644u);
    EXPECT_TRUE(temp_files(dir_).empty());
}

TEST_F(TextFile, OpenRefusesWhatItCannotUse) {
    ytext_handle *h = nullptr;
    EXPECT_EQ(ytext_open(target_.c_str(), 0, nullptr, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(ytext_open(target_.c_str(), 4, nullptr, nullptr, nullptr, &h), 7);
    EXPECT_EQ(ytext_open(target_.c_str(), -1, nullptr, nullptr, nullptr, &h), 7);
    EXPECT_EQ(ytext_open(nullptr, YTEXT_MODE_MEMORY, nullptr, nullptr, nullptr, &h), 7);
    EXPECT_EQ(h, nullptr);
    // The temporary file must lie beside the target; a missing directory
    // would send it elsewhere.
    std::string nowhere = dir_ + "/missing/registry.txt";
    EXPECT_EQ(ytext_open(nowhere.c_str(), YTEXT_MODE_REWRITE, nullptr, nullptr, nullptr, &h), 7);
    EXPECT_EQ(ytext_open(nowhere.c_str(), YTEXT_MODE_UPDATE, nullptr, nullptr, nullptr, &h), 7);
    EXPECT_EQ(h, nullptr);
    // A target that exists but cannot be read is not taken for an empty one.
    std::string blocked = dir_ + "/plain/registry.txt";
    yqtest::write_file(dir_ + "/plain", "x\n");
    EXPECT_EQ(ytext_open(blocked.c_str(), YTEXT_MODE_UPDATE, nullptr, nullptr, nullptr, &h), 7);
    EXPECT_TRUE(temp_files(dir_).empty());
}

TEST_F(TextFile, FailuresAreReportedWithTheFunctionName) {
    FILE *sink = std::tmpfile();
    ASSERT_NE(sink, nullptr);
    ynet_debug_stream = sink;
    ytext_handle *h = nullptr;
    EXPECT_EQ(ytext_open(target_.c_str(), YTEXT_MODE_READ, nullptr, nullptr, nullptr, &h), 7);
    ynet_debug_stream = nullptr;
    std::rewind(sink);
    char buf[512] = "";
    size_t n = std::fread(buf, 1, sizeof buf - 1, sink);
    std::fclose(sink);
    std::string report(buf, n);
    EXPECT_EQ(report.rfind("ytext.", 0), 0u) << report;
    EXPECT_NE(report.find(": Function failed: 7 0x00000007\n"), std::string::npos) << report;

    // The descriptor's lines name the reporting function: the operation the
    // caller called, also where a failure leaves through a shared exit path.
    FILE *lines = std::tmpfile();
    ASSERT_NE(lines, nullptr);
    ynet_debug_fd = fileno(lines);
    EXPECT_EQ(ytext_open(target_.c_str(), YTEXT_MODE_READ, nullptr, nullptr, nullptr, &h), 7);
    h = open(YTEXT_MODE_REWRITE);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(ytext_replace_item(h, 3, "x"), 5);
    EXPECT_EQ(ytext_close(&h, 0), 0);
    ynet_debug_fd = -1;
    std::rewind(lines);
    std::string logged;
    char chunk[512];
    while ((n = std::fread(chunk, 1, sizeof chunk, lines)) > 0) logged.append(chunk, n);
    std::fclose(lines);
    EXPECT_NE(logged.find("> ytext_open: ytext."), std::string::npos) << logged;
    EXPECT_NE(logged.find("> ytext_put_item: ytext."), std::string::npos) << logged;
    EXPECT_EQ(logged.find("operator()"), std::string::npos) << logged;
}

// ---------------------------------------------------------------- reading

TEST_F(TextFile, ReadingSkipsCommentsAndBlanksAndJoinsContinuedLines) {
    yqtest::write_file(target_, "# header\n\nalpha\n \t\r\nbeta \\\n  gamma\n#x\\\ny\ndelta");
    ytext_handle *h = open(YTEXT_MODE_READ);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->read_only, 1);
    EXPECT_EQ(h->temp_path, nullptr);
    // A continued comment stays one comment line; the last line needs no newline.
    EXPECT_EQ(items_of(h), (Items{"alpha", "beta   gamma", "delta"}));

    void *item = nullptr;
    EXPECT_EQ(ytext_get_item(h, 2, &item), 0);
    EXPECT_EQ(str(static_cast<char *>(item)), "delta");
    std::free(item);
    EXPECT_EQ(h->item_index, 3);
    // A lower index starts again from the top.
    EXPECT_EQ(ytext_get_item(h, 0, &item), 0);
    EXPECT_EQ(str(static_cast<char *>(item)), "alpha");
    std::free(item);
    EXPECT_EQ(ytext_get_item(h, 1, &item), 0);
    EXPECT_EQ(str(static_cast<char *>(item)), "beta   gamma");
    std::free(item);
    EXPECT_EQ(h->item_index, 2);
    EXPECT_EQ(ytext_get_item(h, 3, &item), 0);
    EXPECT_EQ(item, nullptr);
    EXPECT_EQ(ytext_get_item(h, -1, &item), 0);
    EXPECT_EQ(item, nullptr);
    EXPECT_EQ(ytext_close(&h, 1), 0);
    EXPECT_EQ(yqtest::read_file(target_), "# header\n\nalpha\n \t\r\nbeta \\\n  gamma\n#x\\\ny\ndelta");
}

struct Seen {
    static inline Items lines;
};

// Items are the lines starting with 'k'; "bad" lines cannot be converted.
int picky_parse(const char *line, void **item) {
    Seen::lines.emplace_back(line);
    if (std::strcmp(line, "bad") == 0) return 2;
    *item = line[0] == 'k' ? strdup(line + 1) : nullptr;
    return 0;
}

TEST_F(TextFile, ParseCallbackIsOfferedEveryLogicalLine) {
    yqtest::write_file(target_, "# c\n\nk1\nx\nk2 \\\nmore\nbad\nk3\n");
    ytext_handle *h = nullptr;
    ASSERT_EQ(ytext_open(target_.c_str(), YTEXT_MODE_READ, picky_parse, nullptr, nullptr, &h), 0);
    Seen::lines.clear();
    void *item = nullptr;
    EXPECT_EQ(ytext_get_next_item(h, &item), 0);
    EXPECT_EQ(str(static_cast<char *>(item)), "1");
    std::free(item);
    EXPECT_EQ(ytext_get_next_item(h, &item), 0);
    EXPECT_EQ(str(static_cast<char *>(item)), "2 more");
    std::free(item);
    EXPECT_EQ(Seen::lines, (Items{"# c", "", "k1", "x", "k2 more"}));
    // A failing conversion is the reader's status and yields nothing.
    EXPECT_EQ(ytext_get_next_item(h, &item), 2);
    EXPECT_EQ(item, nullptr);
    EXPECT_EQ(ytext_get_next_item(h, &item), 0);
    EXPECT_EQ(str(static_cast<char *>(item)), "3");
    std::free(item);
    EXPECT_EQ(ytext_close(&h, 0), 0);
}

TEST_F(TextFile, PhysicalAndLogicalLinesFromFiles) {
    EXPECT_EQ(file_lines("a\nb\\\nc", ytext_get_line), (Items{"a\n", "b\\\n", "c"}));
    EXPECT_EQ(file_lines("", ytext_get_line), Items{});
    EXPECT_EQ(file_lines("\n\n", ytext_get_line), (Items{"\n", "\n"}));
    // NUL bytes are no text and are dropped, the line stays whole.
    EXPECT_EQ(file_lines(std::string("a\0b\nc\n", 6), ytext_get_line), (Items{"ab\n", "c\n"}));

    EXPECT_EQ(file_lines("a\\\nb\\\nc\nd\n", ytext_get_logical_line), (Items{"abc", "d"}));
    // At the end, what was joined is delivered.
    EXPECT_EQ(file_lines("a\\\n", ytext_get_logical_line), (Items{"a"}));
    EXPECT_EQ(file_lines("a\\\nb", ytext_get_logical_line), (Items{"ab"}));
    // A last line without newline is delivered as it is.
    EXPECT_EQ(file_lines("x\\", ytext_get_logical_line), (Items{"x\\"}));
    EXPECT_EQ(file_lines("\\\n\\\n\nz\n", ytext_get_logical_line), (Items{"", "z"}));
    EXPECT_EQ(file_lines("a\\\\\nb\n", ytext_get_logical_line), (Items{"a\\b"}));

    char *line = reinterpret_cast<char *>(&line);
    EXPECT_EQ(ytext_get_line(nullptr, &line), 1);
    EXPECT_EQ(line, nullptr);
    EXPECT_EQ(ytext_get_logical_line(nullptr, &line), 1);
}

TEST_F(TextFile, MemoryLinesEndAtCarriageReturnOrLineFeed) {
    EXPECT_EQ(memory_lines("a\r\nb\rc\nd", ytext_get_memory_line),
              (Items{"a\n", "\n", "b\n", "c\n"}));
    EXPECT_EQ(memory_lines("tail only", ytext_get_memory_line), Items{});
    EXPECT_EQ(memory_lines("", ytext_get_memory_line), Items{});
    EXPECT_EQ(memory_lines("a\\\nb\nc\\\n", ytext_get_logical_memory_line), (Items{"ab", "c"}));
    // The unterminated tail is not a line, not even to finish a join.
    EXPECT_EQ(memory_lines("a\\\nb", ytext_get_logical_memory_line), (Items{"a"}));
    EXPECT_EQ(memory_lines("a\\\r\nb\n", ytext_get_logical_memory_line), (Items{"a", "b"}));

    char *line = nullptr;
    char *cursor = nullptr;
    EXPECT_EQ(ytext_get_memory_line(&cursor, &line), 1);
    EXPECT_EQ(ytext_get_logical_memory_line(nullptr, &line), 1);
}

TEST_F(TextFile, LongLinesAreReadWhole) {
    std::string content;
    Items expected;
    for (size_t n : {1u, 942u, 943u, 944u, 1022u, 1023u, 1024u, 1025u, 2048u, 5000u, 70000u}) {
        expected.emplace_back(n, static_cast<char>('a' + n % 26));
        content += expected.back() + "\n";
    }
    yqtest::write_file(target_, content);
    ytext_handle *h = open(YTEXT_MODE_READ);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(items_of(h), expected);
    ytext_close(&h, 0);

    ASSERT_EQ(ytext_open(content.c_str(), YTEXT_MODE_MEMORY, nullptr, nullptr, nullptr, &h), 0);
    EXPECT_EQ(items_of(h), expected);
    ytext_close(&h, 0);

    // One logical line made of long physical ones.
    std::string joined = expected[9] + "\\\n" + expected[6] + "\\\n" + expected[10] + "\n";
    EXPECT_EQ(file_lines(joined, ytext_get_logical_line),
              (Items{expected[9] + expected[6] + expected[10]}));
    EXPECT_EQ(memory_lines(joined.c_str(), ytext_get_logical_memory_line),
              (Items{expected[9] + expected[6] + expected[10]}));
}

TEST_F(TextFile, MemoryModeReadsItsOwnCopyOfTheText) {
    std::string text = "# c\none\r\ntwo\\\n three\nfour";
    ytext_handle *h = nullptr;
    ASSERT_EQ(ytext_open(text.c_str(), YTEXT_MODE_MEMORY, nullptr, nullptr, nullptr, &h), 0);
    EXPECT_EQ(h->read_only, 1);
    EXPECT_EQ(h->stream, nullptr);
    EXPECT_EQ(h->temp_path, nullptr);
    EXPECT_NE(h->text_start, text.c_str());
    text.assign(text.size(), 'X');
    // "four" has no line end and is not an item.
    EXPECT_EQ(items_of(h), (Items{"one", "two three"}));
    EXPECT_EQ(h->path, h->text_start);

    void *item = nullptr;
    EXPECT_EQ(ytext_get_item(h, 1, &item), 0);
    EXPECT_EQ(str(static_cast<char *>(item)), "two three");
    std::free(item);
    EXPECT_EQ(ytext_get_item(h, 0, &item), 0);
    EXPECT_EQ(str(static_cast<char *>(item)), "one");
    std::free(item);
    EXPECT_EQ(ytext_get_memory_record(h, nullptr, &item), 0);
    EXPECT_EQ(str(static_cast<char *>(item)), "two three");
    std::free(item);
    EXPECT_EQ(ytext_close(&h, 1), 0);
}

TEST_F(TextFile, ReadOnlyAndMissingHandlesAreRefused) {
    yqtest::write_file(target_, "a\n");
    ytext_handle *h = open(YTEXT_MODE_READ);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(ytext_append_item(h, "x"), 10);
    EXPECT_EQ(ytext_insert_item(h, 0, "x"), 10);
    EXPECT_EQ(ytext_replace_item(h, 0, "x"), 10);
    EXPECT_EQ(ytext_delete_item(h, 0), 10);
    void *item = nullptr;
    // Memory records come only from memory handles.
    EXPECT_EQ(ytext_get_memory_record(h, nullptr, &item), 1);
    ytext_close(&h, 0);

    ASSERT_EQ(ytext_open("a\n", YTEXT_MODE_MEMORY, nullptr, nullptr, nullptr, &h), 0);
    EXPECT_EQ(ytext_put_item(h, 0, 0, "x"), 10);
    ytext_close(&h, 0);

    EXPECT_EQ(ytext_put_item(nullptr, 0, 0, "x"), 1);
    EXPECT_EQ(ytext_get_item(nullptr, 0, &item), 1);
    EXPECT_EQ(ytext_get_next_item(nullptr, &item), 1);
    EXPECT_EQ(ytext_close(nullptr, 1), 1);
    EXPECT_EQ(ytext_close(&h, 1), 1);
    ytext_rewind(nullptr);
    EXPECT_EQ(yqtest::read_file(target_), "a\n");
}

// --------------------------------------------------------------- changing

TEST_F(TextFile, ChangesWorkOnTheTemporaryFileUntilCommit) {
    const std::string original = "a\nb\nc\n";
    yqtest::write_file(target_, original);
    ytext_handle *h = open(YTEXT_MODE_UPDATE);
    ASSERT_NE(h, nullptr);
    ASSERT_NE(h->temp_path, nullptr);
    Text dir(ytext_dirname(h->temp_path));
    Text base(ytext_basename(h->temp_path));
    EXPECT_EQ(str(dir.get()), dir_);
    EXPECT_EQ(std::string(base.get()).rfind("ytext", 0), 0u) << base.get();
    EXPECT_EQ(items_of(h), (Items{"a", "b", "c"}));

    auto step = [&](int want_status, int status, const Items &want) {
        EXPECT_EQ(status, want_status);
        EXPECT_EQ(items_of(h), want);
        EXPECT_EQ(temp_files(dir_).size(), 1u);
        EXPECT_EQ(yqtest::read_file(target_), original);
    };
    step(0, ytext_insert_item(h, 1, "x"), {"a", "x", "b", "c"});
    step(0, ytext_replace_item(h, 0, "A"), {"A", "x", "b", "c"});
    step(0, ytext_delete_item(h, 2), {"A", "x", "c"});
    step(0, ytext_append_item(h, "z"), {"A", "x", "c", "z"});
    // Past the end: insert appends, replace is refused, delete changes nothing.
    step(0, ytext_insert_item(h, 100, "end"), {"A", "x", "c", "z", "end"});
    step(0, ytext_insert_item(h, 5, "end2"), {"A", "x", "c", "z", "end", "end2"});
    step(5, ytext_replace_item(h, 6, "q"), {"A", "x", "c", "z", "end", "end2"});
    EXPECT_EQ(ytext_replace_item(h, -1, "q"), 5);
    EXPECT_EQ(ytext_insert_item(h, -1, "q"), 5);
    step(0, ytext_delete_item(h, 6), {"A", "x", "c", "z", "end", "end2"});
    step(0, ytext_delete_item(h, 5), {"A", "x", "c", "z", "end"});
    step(0, ytext_insert_item(h, 0, "first"), {"first", "A", "x", "c", "z", "end"});
    step(0, ytext_put_item(h, 2, 1, nullptr), {"first", "A", "c", "z", "end"});
    // A line is written whole with one newline.
    step(0, ytext_replace_item(h, 1, "has newline\n"), {"first", "has newline", "c", "z", "end"});

    // Reading by index after changes starts from the new content.
    void *item = nullptr;
    EXPECT_EQ(ytext_get_item(h, 3, &item), 0);
    EXPECT_EQ(str(static_cast<char *>(item)), "z");
    std::free(item);

    EXPECT_EQ(ytext_close(&h, 1), 0);
    EXPECT_EQ(yqtest::read_file(target_), "first\nhas newline\nc\nz\nend\n");
    EXPECT_TRUE(temp_files(dir_).empty());
}

TEST_F(TextFile, RewriteStartsEmpty) {
    yqtest::write_file(target_, "old\nlines\n");
    ytext_handle *h = open(YTEXT_MODE_REWRITE);
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(items_of(h).empty());
    EXPECT_EQ(ytext_delete_item(h, 0), 0);
    EXPECT_EQ(ytext_replace_item(h, 0, "x"), 5);
    EXPECT_EQ(ytext_append_item(h, "new"), 0);
    EXPECT_EQ(ytext_close(&h, 1), 0);
    EXPECT_EQ(yqtest::read_file(target_), "new\n");
}

TEST_F(TextFile, ClosingWithoutCommitLeavesTheTargetAlone) {
    const std::string original = "# keep me\n\none\ntwo \\\n three\n";
    yqtest::write_file(target_, original, 0600);
    struct stat before = stat_of(target_);
    for (int mode : {YTEXT_MODE_UPDATE, YTEXT_MODE_REWRITE}) {
        ytext_handle *h = open(mode);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(ytext_append_item(h, "added"), 0);
        EXPECT_EQ(ytext_delete_item(h, 0), 0);
        EXPECT_EQ(ytext_close(&h, 0), 0);
        EXPECT_EQ(yqtest::read_file(target_), original);
        struct stat after = stat_of(target_);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_TRUE(temp_files(dir_).empty());
    }
}

TEST_F(TextFile, UpdateKeepsOnlyWhatTheRecordReaderDelivers) {
    yqtest::write_file(target_, "# comment\n\nfirst \\\nsecond\nthird\n");
    ytext_handle *h = open(YTEXT_MODE_UPDATE);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(ytext_close(&h, 1), 0);
    EXPECT_EQ(yqtest::read_file(target_), "first second\nthird\n");
}

// Items are heap ints; lines are "<n>" and "skip" lines carry no item.
int int_parse(const char *line, void **item) {
    if (std::strcmp(line, "skip") == 0) return 0;
    auto *n = static_cast<int *>(std::malloc(sizeof(int)));
    if (n == nullptr) return 6;
    *n = std::atoi(line);
    *item = n;
    return 0;
}
int int_unparse(const void *item, char **line) {
    int n = *static_cast<const int *>(item);
    if (n < 0) return 2;
    if (n == 0) return 0;  // zero is not written
    return asprintf(line, "%d", n) < 0 ? 6 : 0;
}
int g_freed = 0;
void int_free(void **item) {
    ++g_freed;
    std::free(*item);
    *item = nullptr;
}

TEST_F(TextFile, CallbacksConvertItemsBothWays) {
    yqtest::write_file(target_, "1\nskip\n2\n3\n");
    ytext_handle *h = nullptr;
    ASSERT_EQ(ytext_open(target_.c_str(), YTEXT_MODE_UPDATE, int_parse, int_unparse, int_free, &h), 0);
    // The copy at open released every item through the callback.
    EXPECT_EQ(g_freed, 3);
    void *item = nullptr;
    EXPECT_EQ(ytext_get_item(h, 2, &item), 0);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(*static_cast<int *>(item), 3);
    // The items passed over were released through the callback too.
    EXPECT_EQ(g_freed, 5);
    int_free(&item);
    EXPECT_EQ(item, nullptr);

    int seven = 7, zero = 0, negative = -1;
    EXPECT_EQ(ytext_insert_item(h, 1, &seven), 0);
    EXPECT_EQ(ytext_append_item(h, &zero), 0);  // writes nothing
    EXPECT_EQ(ytext_append_item(h, &negative), 2);
    EXPECT_EQ(temp_files(dir_).size(), 1u);
    EXPECT_EQ(ytext_close(&h, 1), 0);
    EXPECT_EQ(yqtest::read_file(target_), "1\n7\n2\n3\n");
}

// -------------------------------------------------------------- commit

TEST_F(TextFile, CommitKeepsPermissionBitsOwnerAndGroup) {
    yqtest::write_file(target_, "a\n", 0640);
    ASSERT_EQ(chown(target_.c_str(), 4321, 8765), 0);
    struct stat before = stat_of(target_);
    ytext_handle *h = open(YTEXT_MODE_UPDATE);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(ytext_append_item(h, "b"), 0);
    ASSERT_EQ(ytext_close(&h, 1), 0);
    struct stat after = stat_of(target_);
    EXPECT_NE(after.st_ino, before.st_ino);  // a new file took its place
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_EQ(after.st_uid, 4321u);
    EXPECT_EQ(after.st_gid, 8765u);
    EXPECT_EQ(yqtest::read_file(target_), "a\nb\n");

    // Only the nine permission bits travel.
    ASSERT_EQ(chmod(target_.c_str(), 04751), 0);
    h = open(YTEXT_MODE_REWRITE);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(ytext_close(&h, 1), 0);
    EXPECT_EQ(stat_of(target_).st_mode & 07777, 0751u);
}

TEST_F(TextFile, CopyAttrsStatuses) {
    std::string source = dir_ + "/source", destination = dir_ + "/destination";
    yqtest::write_file(source, "", 0604);
    yqtest::write_file(destination, "", 0600);
    ASSERT_EQ(chown(source.c_str(), 11, 22), 0);
    EXPECT_EQ(ytext_copy_attrs(source.c_str(), destination.c_str()), 0);
    struct stat st = stat_of(destination);
    EXPECT_EQ(st.st_mode & 0777, 0604u);
    EXPECT_EQ(st.st_uid, 11u);
    EXPECT_EQ(st.st_gid, 22u);

    // A missing source: 0644 and the owner stays.
    EXPECT_EQ(ytext_copy_attrs((dir_ + "/none").c_str(), destination.c_str()), 0);
    st = stat_of(destination);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(st.st_uid, 11u);

    // A source that cannot be examined (a path through a plain file).
    EXPECT_EQ(ytext_copy_attrs((source + "/x").c_str(), destination.c_str()), 9);
    EXPECT_EQ(ytext_copy_attrs(source.c_str(), (dir_ + "/none").c_str()), 3);
    yq::sys::table.chown = [](const char *, uid_t, gid_t) {
        errno = EPERM;
        return -1;
    };
    EXPECT_EQ(ytext_copy_attrs(source.c_str(), destination.c_str()), 4);
    // A missing source changes no ownership, so nothing can fail there.
    EXPECT_EQ(ytext_copy_attrs((dir_ + "/none").c_str(), destination.c_str()), 0);

    EXPECT_EQ(ytext_rename_file((dir_ + "/none").c_str(), destination.c_str()), 8);
    EXPECT_EQ(ytext_rename_file(source.c_str(), (dir_ + "/moved").c_str()), 0);
    EXPECT_TRUE(yqtest::exists(dir_ + "/moved"));
}

int g_fsync_calls = 0;
int g_fsync_fail_at = 0;
int failing_fsync(int fd) {
    if (++g_fsync_calls == g_fsync_fail_at) {
        errno = EIO;
        return -1;
    }
    return ::fsync(fd);
}

TEST_F(TextFile, FailedCommitLeavesTargetAndRemovesTemporaryFile) {
    const std::string original = "old\n";
    auto fail_chmod = [](const char *, mode_t) { errno = EPERM; return -1; };
    auto fail_chown = [](const char *, uid_t, gid_t) { errno = EPERM; return -1; };
    auto fail_rename = [](const char *, const char *) { errno = EXDEV; return -1; };
    struct Case {
        const char *what;
        int status;
        int fsync_fail_at;
    };
    for (const Case &c : {Case{"chmod", 3, 0}, Case{"chown", 4, 0}, Case{"rename", 8, 0},
                          Case{"fsync", 10, 1}}) {
        SCOPED_TRACE(c.what);
        yq::sys::reset();
        yqtest::write_file(target_, original, 0640);
        ytext_handle *h = open(YTEXT_MODE_UPDATE);
        ASSERT_NE(h, nullptr);
        ASSERT_EQ(ytext_append_item(h, "new"), 0);
        std::string temp = h->temp_path;
        if (std::strcmp(c.what, "chmod") == 0) yq::sys::table.chmod = fail_chmod;
        if (std::strcmp(c.what, "chown") == 0) yq::sys::table.chown = fail_chown;
        if (std::strcmp(c.what, "rename") == 0) yq::sys::table.rename = fail_rename;
        g_fsync_calls = 0;
        g_fsync_fail_at = c.fsync_fail_at;
        yq::sys::table.fsync = failing_fsync;
        EXPECT_EQ(ytext_close(&h, 1), c.status);
        EXPECT_EQ(h, nullptr);
        EXPECT_EQ(yqtest::read_file(target_), original);
        EXPECT_EQ(stat_of(target_).st_mode & 0777, 0640u);
        EXPECT_FALSE(yqtest::exists(temp));
        EXPECT_TRUE(temp_files(dir_).empty());
    }

    // The file is synced before the rename and the directory after it; a
    // failing directory sync is reported although the new file is in place.
    yq::sys::reset();
    ytext_handle *h = open(YTEXT_MODE_REWRITE);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(ytext_append_item(h, "new"), 0);
    g_fsync_calls = 0;
    g_fsync_fail_at = 2;
    yq::sys::table.fsync = failing_fsync;
    EXPECT_EQ(ytext_close(&h, 1), 10);
    EXPECT_EQ(g_fsync_calls, 2);
    EXPECT_EQ(yqtest::read_file(target_), "new\n");
    EXPECT_TRUE(temp_files(dir_).empty());
}

// Runs `body` with the process's file size limit at `limit` bytes; writes
// beyond it fail with EFBIG instead of raising SIGXFSZ.
template <typename Body>
void with_file_size_limit(rlim_t limit, Body body) {
    struct rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct sigaction ignore{}, previous{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &previous);
    struct rlimit small = saved;
    small.rlim_cur = limit;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    body();
    setrlimit(RLIMIT_FSIZE, &saved);
    sigaction(SIGXFSZ, &previous, nullptr);
}

TEST_F(TextFile, WriteFailuresAreIoErrorsAndChangeNothing) {
    const std::string original = "a\nb\n";
    yqtest::write_file(target_, original);
    ytext_handle *h = open(YTEXT_MODE_UPDATE);
    ASSERT_NE(h, nullptr);
    std::string huge(20000, 'h');
    int append_status = -1, insert_status = -1;
    with_file_size_limit(4096, [&] {
        append_status = ytext_append_item(h, huge.c_str());
        insert_status = ytext_insert_item(h, 0, huge.c_str());
    });
    EXPECT_EQ(append_status, 10);
    EXPECT_EQ(insert_status, 10);
    EXPECT_EQ(items_of(h), (Items{"a", "b"}));
    EXPECT_EQ(temp_files(dir_).size(), 1u);
    EXPECT_EQ(ytext_close(&h, 1), 0);
    EXPECT_EQ(yqtest::read_file(target_), original);

    // A target too big to copy at open.
    std::string big_target = huge + "\n";
    yqtest::write_file(target_, big_target);
    int open_status = -1;
    with_file_size_limit(4096, [&] {
        open_status = ytext_open(target_.c_str(), YTEXT_MODE_UPDATE, nullptr, nullptr, nullptr, &h);
    });
    EXPECT_EQ(open_status, 10);
    EXPECT_EQ(h, nullptr);
    EXPECT_TRUE(temp_files(dir_).empty());
    EXPECT_EQ(yqtest::read_file(target_), big_target);
}

// -------------------------------------------------------- memory failures

// One update session; returns the first failing status (0 when all passed)
// and leaves no handle open.
int update_session(const std::string &target) {
    ytext_handle *h = nullptr;
    int status = ytext_open(target.c_str(), YTEXT_MODE_UPDATE, nullptr, nullptr, nullptr, &h);
    if (status != 0) return status;
    auto run = [&](int s) {
        if (status == 0) status = s;
    };
    run(ytext_insert_item(h, 1, "inserted"));
    run(ytext_replace_item(h, 0, "replaced \\ with backslash"));
    run(ytext_delete_item(h, 2));
    run(ytext_append_item(h, "appended"));
    void *item = nullptr;
    run(ytext_get_item(h, 2, &item));
    std::free(item);
    if (status != 0) {
        ytext_close(&h, 0);
        return status;
    }
    return ytext_close(&h, 1);
}

TEST_F(TextFile, MemoryFailuresLeaveTheTargetUnchanged) {
    const std::string original = "first\nsecond \\\n continued\nthird\n";
    const std::string changed = "replaced \\ with backslash\ninserted\nthird\nappended\n";
    std::vector<int> statuses;
    long points = yqtest::for_each_alloc_failure([&] {
        yqtest::write_file(target_, original);
        int status = update_session(target_);
        statuses.push_back(status);
        std::string now = yqtest::read_file(target_);
        if (status == 0) {
            EXPECT_EQ(now, changed);
        } else {
            EXPECT_EQ(now, original) << "status " << status;
        }
        EXPECT_TRUE(temp_files(dir_).empty());
    });
    EXPECT_GT(points, 10);
    for (int s : statuses) EXPECT_TRUE(s == 0 || s == 6 || s == 7) << s;
    EXPECT_NE(std::count(statuses.begin(), statuses.end(), 6), 0);

    // Reading a memory text.
    yqtest::for_each_alloc_failure([&] {
        ytext_handle *h = nullptr;
        int status = ytext_open("a\nb \\\nc\n", YTEXT_MODE_MEMORY, nullptr, nullptr, nullptr, &h);
        if (status != 0) {
            EXPECT_TRUE(status == 6 || status == 7) << status;  // handle, copy of the text
            EXPECT_EQ(h, nullptr);
            return;
        }
        void *item = nullptr;
        status = ytext_get_item(h, 1, &item);
        EXPECT_TRUE(status == 0 || status == 6);
        if (status == 0) {
            EXPECT_EQ(str(static_cast<char *>(item)), "b c");
        }
        std::free(item);
        ytext_close(&h, 0);
    });
}

// ------------------------------------------------ crashes and concurrency

std::string numbered_lines(const char *tag, int count) {
    std::string out;
    for (int i = 0; i < count; ++i)
        out += std::string(tag) + " line " + std::to_string(i) + " " + std::string(40, 'x') + "\n";
    return out;
}

// Replaces each of the first `count` items with the same line of `tag`.
int rewrite_items(const std::string &target, const char *tag, int count) {
    ytext_handle *h = nullptr;
    int status = ytext_open(target.c_str(), YTEXT_MODE_UPDATE, nullptr, nullptr, nullptr, &h);
    if (status != 0) return status;
    for (int i = 0; i < count && status == 0; ++i) {
        std::string line = std::string(tag) + " line " + std::to_string(i) + " " + std::string(40, 'x');
        status = ytext_replace_item(h, i, line.c_str());
    }
    if (status != 0) {
        ytext_close(&h, 0);
        return status;
    }
    return ytext_close(&h, 1);
}

// A child process running rewrite_items; with a gate (a pipe), it starts
// when the parent closes the pipe's writing end.
pid_t start_writer(const std::string &target, const char *tag, int count,
                   const int *gate = nullptr) {
    pid_t pid = fork();
    if (pid == 0) {
        if (gate != nullptr) {
            close(gate[1]);
            char c;
            while (read(gate[0], &c, 1) < 0 && errno == EINTR) {}
        }
        _exit(rewrite_items(target, tag, count));
    }
    return pid;
}

void remove_temp_files(const std::string &dir) {
    for (const auto &name : temp_files(dir)) unlink((dir + "/" + name).c_str());
}

TEST_F(TextFile, KilledWriterLeavesTheOldOrTheNewFileWhole) {
    constexpr int kLines = 150, kChanged = 15, kIterations = 200;
    const std::string old_content = numbered_lines("old", kLines);
    std::string new_content = numbered_lines("new", kChanged);
    new_content += old_content.substr(numbered_lines("old", kChanged).size());

    // How long an undisturbed writer runs, so that the kills spread over
    // its whole life (measured, never asserted).
    long longest_us = 1;
    for (int i = 0; i < 3; ++i) {
        yqtest::write_file(target_, old_content);
        auto start = std::chrono::steady_clock::now();
        pid_t pid = start_writer(target_, "new", kChanged);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        auto took = std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now() - start);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        ASSERT_EQ(yqtest::read_file(target_), new_content);
        longest_us = std::max<long>(longest_us, took.count());
    }

    std::mt19937 random(20240611);
    std::uniform_int_distribution<long> delay_us(0, longest_us + longest_us / 2);
    int saw_old = 0, saw_new = 0;
    for (int i = 0; i < kIterations; ++i) {
        yqtest::write_file(target_, old_content, 0640);
        pid_t pid = start_writer(target_, "new", kChanged);
        ASSERT_GT(pid, 0);
        usleep(static_cast<useconds_t>(delay_us(random)));
        kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE((WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) ||
                    (WIFEXITED(status) && WEXITSTATUS(status) == 0))
            << "iteration " << i;
        std::string now = yqtest::read_file(target_);
        ASSERT_TRUE(now == old_content || now == new_content)
            << "iteration " << i << ": " << now.size() << " bytes";
        // Whichever file is there has the target's permissions.
        ASSERT_EQ(stat_of(target_).st_mode & 0777, 0640u) << "iteration " << i;
        (now == old_content ? saw_old : saw_new)++;
        remove_temp_files(dir_);
    }
    RecordProperty("old_kept", saw_old);
    RecordProperty("new_published", saw_new);
}

TEST_F(TextFile, ConcurrentWritersLeaveOneWritersWholeContent) {
    constexpr int kLines = 60, kRounds = 25;
    const std::string a = numbered_lines("writer-a", kLines), b = numbered_lines("writer-b", kLines);
    for (int round = 0; round < kRounds; ++round) {
        yqtest::write_file(target_, numbered_lines("old", kLines));
        int gate[2];
        ASSERT_EQ(pipe(gate), 0);
        pid_t first = start_writer(target_, "writer-a", kLines, gate);
        pid_t second = start_writer(target_, "writer-b", kLines, gate);
        close(gate[0]);
        close(gate[1]);  // both start now
        for (pid_t pid : {first, second}) {
            int status = 0;
            ASSERT_EQ(waitpid(pid, &status, 0), pid);
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round;
        }
        std::string now = yqtest::read_file(target_);
        ASSERT_TRUE(now == a || now == b) << "round " << round;
        ASSERT_TRUE(temp_files(dir_).empty());
    }
}

// --------------------------------------------------------- token helpers

TEST(TextTokens, SkipSpaceStopsAtTheTokenAndCutsComments) {
    char plain[] = " \t\r\n word rest";
    EXPECT_STREQ(ytext_skip_space(plain), "word rest");
    char comment[] = "   # note";
    char *at = ytext_skip_space(comment);
    EXPECT_EQ(at, comment + 3);
    EXPECT_STREQ(comment, "   ");
    char inner[] = "a#b";
    EXPECT_STREQ(ytext_skip_space(inner), "a#b");  // only a # where a token would start
    char empty[] = "  ";
    EXPECT_STREQ(ytext_skip_space(empty), "");
    EXPECT_EQ(ytext_skip_space(nullptr), nullptr);
}

TEST(TextTokens, SkipNoSpaceIsolatesOneToken) {
    struct Case {
        const char *input;
        const char *token;
        const char *rest;  // where scanning continues
    };
    for (const Case &c : {
             Case{"word next", "word", "next"},
             Case{"word\tnext", "word", "next"},
             Case{"word", "word", ""},
             Case{"word#comment", "word", ""},
             Case{"\"two words\" next", "two words", " next"},
             Case{"'say \"hi\"'x", "say \"hi\"", "x"},
             Case{"\"a # b\"", "a # b", ""},
             Case{"\"unclosed rest", "unclosed rest", ""},
             Case{"\"\"", "", ""},
             Case{"", "", ""},
         }) {
        SCOPED_TRACE(c.input);
        std::string buffer = c.input;
        char *token = buffer.data();
        char *rest = ytext_skip_no_space(&token);
        EXPECT_STREQ(token, c.token);
        EXPECT_STREQ(rest, c.rest);
    }
    char *null_text = nullptr;
    EXPECT_EQ(ytext_skip_no_space(&null_text), nullptr);
}

TEST(TextTokens, DelimiterQuotesWhatAReaderWouldSplit) {
    struct Case {
        const char *value;
        int status;
        char delimiter;
    };
    for (const Case &c : {
             Case{"plain", 0, ' '},
             Case{"", 0, ' '},
             Case{"two words", 0, '"'},
             Case{"tab\there", 0, '"'},
             Case{"cr\r", 0, '"'},
             Case{"lf\n", 0, '"'},
             Case{"hash#", 0, '"'},
             Case{"it's", 0, '"'},
             Case{"say \"hi\"", 0, '\''},
             Case{"\"", 0, '\''},
             Case{"both \" and '", 2, '\0'},
         }) {
        SCOPED_TRACE(c.value);
        char d = 'z';
        EXPECT_EQ(ytext_delimiter(c.value, &d), c.status);
        EXPECT_EQ(d, c.delimiter);
    }
}

TEST(TextTokens, BasenameAndDirname) {
    struct Case {
        const char *path;
        const char *base;
        const char *dir;
    };
    for (const Case &c : {
             Case{"/usr/kelda/var/ynetd/svc/txt", "txt", "/usr/kelda/var/ynetd/svc"},
             Case{"/a/b//", "b", "/a"},
             Case{"//a//b", "b", "//a"},
             Case{"/a", "a", "/"},
             Case{"/", "", "/"},
             Case{"///", "", "/"},
             Case{"file", "file", "."},
             Case{"rel/file", "file", "rel"},
             Case{"", "", "."},
         }) {
        SCOPED_TRACE(c.path);
        Text base(ytext_basename(c.path)), dir(ytext_dirname(c.path));
        EXPECT_EQ(str(base.get()), c.base);
        EXPECT_EQ(str(dir.get()), c.dir);
    }
    EXPECT_EQ(ytext_basename(nullptr), nullptr);
    EXPECT_EQ(ytext_dirname(nullptr), nullptr);
}

TEST(TextTokens, PutRecordEndsEveryLineOnce) {
    char *buffer = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&buffer, &size);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(ytext_put_record(out, nullptr, "one"), 0);
    EXPECT_EQ(ytext_put_record(out, nullptr, "two\n"), 0);
    EXPECT_EQ(ytext_put_record(out, nullptr, ""), 0);
    EXPECT_EQ(ytext_put_record(out, nullptr, nullptr), 0);
    std::fclose(out);
    EXPECT_EQ(std::string(buffer, size), "one\ntwo\n\n");
    std::free(buffer);
    EXPECT_EQ(ytext_put_record(nullptr, nullptr, "x"), 1);
}

}  // namespace

namespace {

// The number of the one line of ytext.cpp holding `marker` (0 if not one).
int source_line(const std::string &marker) {
    std::vector<std::string> lines = yqtest::read_lines(YTEXT_SOURCE);
    int found = 0;
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i].find(marker) != std::string::npos) {
            if (found != 0) return 0;
            found = static_cast<int>(i + 1);
        }
    return found;
}

TEST_F(TextFile, ReportsNameTheLineOfTheFailingStep) {
    struct Row {
        const char *what;
        const char *marker;
        int status;
        std::function<int(ytext_handle *)> run;
    };
    const Row rows[] = {
        {"bad mode", "mode > YTEXT_MODE_MEMORY) return YN_FAIL", 7,
         [&](ytext_handle *) { ytext_handle *h = nullptr;
             return ytext_open(target_.c_str(), 9, nullptr, nullptr, nullptr, &h); }},
        {"missing file", "if (h->stream == nullptr) return YN_FAIL", 7,
         [&](ytext_handle *) { ytext_handle *h = nullptr;
             return ytext_open(target_.c_str(), YTEXT_MODE_READ, nullptr, nullptr, nullptr, &h); }},
        {"replace past the end", "if (ended && item != nullptr && replace) return fail", 5,
         [](ytext_handle *h) { return ytext_replace_item(h, 3, "x"); }},
    };
    ytext_handle *h = open(YTEXT_MODE_REWRITE);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        int line = source_line(row.marker);
        ASSERT_NE(line, 0);
        yqtest::Reports reports;
        EXPECT_EQ(row.run(h), row.status);
        EXPECT_TRUE(reports.has("ytext." + std::to_string(line) + ": Function failed: " +
                                std::to_string(row.status) + " "))
            << reports.text() << "expected line " << line;
    }
    ytext_close(&h, 0);
}

}  // namespace
