#include "cmnutils.h"

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "logging.h"
#include "yqtest.h"

namespace {

int dir_mode(const std::string &path) {
    struct stat st{};
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return -1;
    return static_cast<int>(st.st_mode & 07777);
}

mode_t current_umask() {
    mode_t m = umask(0);
    umask(m);
    return m;
}

std::vector<std::string> to_vector(char **names) {
    std::vector<std::string> v;
    for (char **p = names; p != nullptr && *p != nullptr; ++p) v.emplace_back(*p);
    return v;
}

// A fresh directory per test, and a debug log in it to see what is logged.
class Cmnutils : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = yqtest::scratch_dir() + "/cmnutils_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
        yqtest::remove_tree(dir_);
        ASSERT_EQ(mkdir(dir_.c_str(), 0755), 0);
    }
    void TearDown() override {
        if (debugFD >= 0) close(debugFD);
        debugFD = -1;
        logfd1 = logfd2 = -1;
        logdir1[0] = logdir2[0] = '\0';
        yqtest::remove_tree(dir_);
    }
    // Opens a debug log and returns the path of its file. The clock stands
    // still at noon of 17 March 2004, so the day's file is known.
    std::string capture_log() {
        yq::sys::table.time = [](time_t *t) -> time_t {
            time_t noon = 1079524800;  // 2004-03-17 12:00:00 UTC
            if (t != nullptr) *t = noon;
            return noon;
        };
        yq::sys::table.gettimeofday = [](struct timeval *tv, void *) {
            tv->tv_sec = 1079524800;
            tv->tv_usec = 0;
            return 0;
        };
        int err = 0;
        debugFD = open_log((dir_ + "/log").c_str(), 0644, &err);
        EXPECT_GE(debugFD, 0);
        time_t now = 1079524800;
        struct tm tm{};
        localtime_r(&now, &tm);
        char name[32];
        std::snprintf(name, sizeof name, "/log/log.%02d%02d%02d", tm.tm_mon + 1, tm.tm_mday,
                      tm.tm_year % 100);
        return dir_ + name;
    }
    // Log lines without their time and pid prefix.
    static std::vector<std::string> messages(const std::string &file) {
        std::vector<std::string> out;
        for (const auto &line : yqtest::read_lines(file)) {
            size_t at = line.find("] ");
            out.push_back(at == std::string::npos ? line : line.substr(at + 2));
        }
        return out;
    }

    yqtest::SysGuard sys_;
    std::string dir_;
};

// --- mkdirpath ---------------------------------------------------------

TEST_F(Cmnutils, MkdirpathCreatesEveryMissingComponentWithExactMode) {
    umask(022);
    int err = -1;
    const std::string path = dir_ + "/a/b/c";
    ASSERT_EQ(mkdirpath(path.c_str(), 0775, &err), 0);
    EXPECT_EQ(dir_mode(dir_ + "/a"), 0775) << "the umask does not apply";
    EXPECT_EQ(dir_mode(dir_ + "/a/b"), 0775);
    EXPECT_EQ(dir_mode(path), 0775);
    EXPECT_EQ(dir_mode(dir_), 0755) << "existing parents are left alone";
    EXPECT_EQ(current_umask(), 022u);

    // Repeated and trailing slashes are only separators.
    ASSERT_EQ(mkdirpath((dir_ + "//x///y/").c_str(), 0700, &err), 0);
    EXPECT_EQ(dir_mode(dir_ + "/x/y"), 0700);
}

TEST_F(Cmnutils, MkdirpathOfAnExistingPathCreatesNothing) {
    ASSERT_EQ(mkdir((dir_ + "/d").c_str(), 0755), 0);
    // Pin the directory times: any creation below would move them.
    struct timeval past[2] = {{1000000, 0}, {1000000, 0}};
    ASSERT_EQ(utimes(dir_.c_str(), past), 0);
    ASSERT_EQ(utimes((dir_ + "/d").c_str(), past), 0);
    int err = -1;
    EXPECT_EQ(mkdirpath((dir_ + "/d").c_str(), 0700, &err), 0);
    struct stat st{};
    ASSERT_EQ(stat(dir_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1000000);
    ASSERT_EQ(stat((dir_ + "/d").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1000000);
    EXPECT_EQ(dir_mode(dir_ + "/d"), 0755);
    EXPECT_EQ(mkdirpath("/", 0700, &err), 0);
}

TEST_F(Cmnutils, MkdirpathTakesEveryPathAsAbsolute) {
    // The product tree is a private tmpfs in the test sandbox.
    int err = 0;
    ASSERT_EQ(mkdirpath("usr/kelda/relative/leaf", 0750, &err), 0);
    EXPECT_EQ(dir_mode("/usr/kelda/relative/leaf"), 0750);
    yqtest::remove_tree("/usr/kelda/relative");
}

TEST_F(Cmnutils, MkdirpathFailures) {
    umask(027);
    yqtest::write_file(dir_ + "/file", "x");
    int err = 0;
    EXPECT_EQ(mkdirpath((dir_ + "/file/sub/deeper").c_str(), 0755, &err), -1);
    EXPECT_EQ(err, ENOTDIR);
    EXPECT_EQ(current_umask(), 027u);

    err = 0;
    const std::string long_name(NAME_MAX + 1, 'n');
    EXPECT_EQ(mkdirpath((dir_ + "/" + long_name + "/x").c_str(), 0755, &err), -1);
    EXPECT_EQ(err, ENAMETOOLONG);

    err = 0;
    {
        yqtest::AllocFailer fail(1);
        EXPECT_EQ(mkdirpath((dir_ + "/never").c_str(), 0755, &err), -1);
    }
    EXPECT_EQ(err, ENOMEM);
    EXPECT_FALSE(yqtest::exists(dir_ + "/never"));
    EXPECT_EQ(current_umask(), 027u);

    EXPECT_EQ(mkdirpath(nullptr, 0755, &err), -1);
    EXPECT_EQ(err, EINVAL);
    EXPECT_EQ(mkdirpath((dir_ + "/no_err_pointer").c_str(), 0755, nullptr), 0);
    umask(022);
}

// --- name lists ---------------------------------------------------------

dlist_entry *make_list(const std::vector<std::string> &names) {
    dlist_entry *head = nullptr;
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        dlist_entry *node = create_dlist_entry(it->c_str());
        EXPECT_NE(node, nullptr);
        node->next = head;
        head = node;
    }
    return head;
}

// Names of the list, releasing it.
std::vector<std::string> take_list(dlist_entry *list) {
    std::vector<std::string> v;
    while (list != nullptr) {
        dlist_entry *next = list->next;
        v.emplace_back(list->name);
        std::free(list->name);
        std::free(list);
        list = next;
    }
    return v;
}

std::vector<std::string> random_names(std::mt19937 &rng, size_t n) {
    std::uniform_int_distribution<int> len(1, 6), letter('a', 'e');
    std::vector<std::string> names(n);
    for (auto &s : names)
        for (int i = len(rng); i > 0; --i) s += static_cast<char>(letter(rng));
    return names;  // small alphabet: plenty of duplicates and shared prefixes
}

TEST_F(Cmnutils, BothSortsAgreeWithStdSort) {
    std::mt19937 rng(20040317);
    for (size_t n = 1; n <= 70; ++n) {
        for (int round = 0; round < 3; ++round) {
            auto names = random_names(rng, n);
            auto ascending = names;
            std::sort(ascending.begin(), ascending.end());
            auto descending = ascending;
            std::reverse(descending.begin(), descending.end());

            EXPECT_EQ(take_list(insertion_sort_dlist(make_list(names))), ascending) << n;
            EXPECT_EQ(take_list(merge_sort_dlist(make_list(names), 0)), ascending) << n;
            EXPECT_EQ(take_list(merge_sort_dlist(make_list(names), 1)), descending) << n;
        }
    }
    EXPECT_EQ(insertion_sort_dlist(nullptr), nullptr);
}

TEST_F(Cmnutils, CreateDlistEntryCopiesTheName) {
    char name[] = "entry";
    dlist_entry *node = create_dlist_entry(name);
    ASSERT_NE(node, nullptr);
    name[0] = 'X';
    EXPECT_STREQ(node->name, "entry");
    EXPECT_EQ(node->next, nullptr);
    take_list(node);

    for (long k = 1; k <= 2; ++k) {
        yqtest::AllocFailer fail(k);
        errno = 0;
        EXPECT_EQ(create_dlist_entry("entry"), nullptr) << k;
        EXPECT_EQ(errno, ENOMEM);
    }
    EXPECT_EQ(create_dlist_entry(nullptr), nullptr);
}

// --- directory listings -------------------------------------------------

TEST_F(Cmnutils, GetDirListSortsAndSkipsHiddenNames) {
    const std::string d = dir_ + "/list";
    mkdir(d.c_str(), 0755);
    for (const char *name : {"b", "a", ".hidden", "c.d"}) yqtest::write_file(d + "/" + name, "");
    mkdir((d + "/sub").c_str(), 0755);
    int err = -1;
    char **list = get_dir_list(d.c_str(), &err);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(to_vector(list), (std::vector<std::string>{"a", "b", "c.d", "sub"}));
    EXPECT_EQ(free_dir_list(list), 0);
}

TEST_F(Cmnutils, GetDirListOfManyNamesMatchesStdSort) {
    std::mt19937 rng(7);
    for (size_t count : {30u, 31u, 200u}) {
        const std::string d = dir_ + "/many" + std::to_string(count);
        mkdir(d.c_str(), 0755);
        std::vector<std::string> names;
        std::uniform_int_distribution<int> letter('A', 'z');
        while (names.size() < count) {
            std::string name;
            for (int i = 0; i < 8; ++i) name += static_cast<char>(letter(rng));
            if (name.find_first_of("/\\`[]^") != std::string::npos) continue;
            if (std::find(names.begin(), names.end(), name) != names.end()) continue;
            names.push_back(name);
            yqtest::write_file(d + "/" + name, "");
        }
        std::sort(names.begin(), names.end());
        int err = -1;
        char **list = get_dir_list(d.c_str(), &err);
        EXPECT_EQ(to_vector(list), names) << count;
        EXPECT_EQ(err, 0);
        free_dir_list(list);
    }
}

TEST_F(Cmnutils, GetDirListEmptyMissingAndFailingDirectories) {
    const std::string log = capture_log();
    int err = -1;
    const std::string empty = dir_ + "/empty";
    mkdir(empty.c_str(), 0755);
    yqtest::write_file(empty + "/.only_hidden", "");
    EXPECT_EQ(get_dir_list(empty.c_str(), &err), nullptr);
    EXPECT_EQ(err, 0);

    EXPECT_EQ(get_dir_list((dir_ + "/missing").c_str(), &err), nullptr);
    EXPECT_EQ(err, ENOENT);
    yqtest::write_file(dir_ + "/plain", "");
    EXPECT_EQ(get_dir_list((dir_ + "/plain").c_str(), &err), nullptr);
    EXPECT_EQ(err, ENOTDIR);
    EXPECT_TRUE(messages(log).empty()) << "missing and non-directories are silent";

    // Any other failure is logged.
    symlink((dir_ + "/loop2").c_str(), (dir_ + "/loop1").c_str());
    symlink((dir_ + "/loop1").c_str(), (dir_ + "/loop2").c_str());
    EXPECT_EQ(get_dir_list((dir_ + "/loop1").c_str(), &err), nullptr);
    EXPECT_EQ(err, ELOOP);
    EXPECT_EQ(messages(log), std::vector<std::string>{"<2> get_dir_list: opendir() failed: " +
                                                      std::string(std::strerror(ELOOP)) + " (" +
                                                      std::to_string(ELOOP) + ")"});
}

TEST_F(Cmnutils, GetDirListWhenMemoryRunsOut) {
    const std::string log = capture_log();
    const std::string d = dir_ + "/alloc";
    mkdir(d.c_str(), 0755);
    for (const char *name : {"x", "y", "z"}) yqtest::write_file(d + "/" + name, "");
    const std::string enomem = std::string(std::strerror(ENOMEM)) + " (" + std::to_string(ENOMEM) + ")";

    // Three names make six allocations for the nodes, then the array. The
    // failure is logged (the log line's own formatting is not failed here).
    for (long k = 1; k <= 7; ++k) {
        ftruncate(debugFD, 0);
        int err = 0;
        char **list;
        {
            yqtest::AllocFailer fail(k);
            list = get_dir_list(d.c_str(), &err);
        }
        EXPECT_EQ(list, nullptr) << k;
        EXPECT_EQ(err, ENOMEM) << k;
        const char *what = k <= 6 ? "create_dlist_entry() failed: " : "malloc() contents failed: ";
        EXPECT_EQ(messages(log), std::vector<std::string>{"<2> get_dir_list: " + std::string(what) + enomem})
            << k;
    }
    // And every failure point, the logging included, leaks nothing.
    long points = yqtest::for_each_alloc_failure([&] {
        int err = 0;
        free_dir_list(get_dir_list(d.c_str(), &err));
    });
    EXPECT_GE(points, 7);
}

TEST_F(Cmnutils, FreeCharArray) {
    const std::string log = capture_log();
    auto **array = static_cast<char **>(std::malloc(3 * sizeof(char *)));
    array[0] = strdup("one");
    array[1] = strdup("two");
    array[2] = nullptr;
    EXPECT_EQ(free_char_array(array), 0);
    EXPECT_TRUE(messages(log).empty());
    EXPECT_EQ(free_char_array(nullptr), 0);
    EXPECT_EQ(free_dir_list(nullptr), 0);
    EXPECT_EQ(messages(log), (std::vector<std::string>{"<8> free_char_array: called to free NULL array",
                                                       "<8> free_char_array: called to free NULL array"}));
}

// --- transcoding --------------------------------------------------------

TEST_F(Cmnutils, ColonizeReplacesBlanksAndCutsAt64) {
    std::string name;
    for (int i = 0; i < 70; ++i) name += (i % 5 == 4) ? ' ' : static_cast<char>('a' + i % 26);
    char out[65];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(colonize_by_mode(name.c_str(), out, 1), out);
    std::string expected = name.substr(0, 64);
    std::replace(expected.begin(), expected.end(), ' ', ':');
    EXPECT_EQ(std::string(out), expected);
    char back[65];
    EXPECT_STREQ(decolonize_by_mode(out, back, 1), name.substr(0, 64).c_str());
    EXPECT_STREQ(colonize_by_mode("", out, 1), "");
    EXPECT_STREQ(colonize_by_mode("a:b c", out, 1), "a:b:c");
    EXPECT_STREQ(decolonize_by_mode("a:b c", out, 1), "a b c");
}

TEST_F(Cmnutils, ColonizeStaticBuffersPerModeAndDirection) {
    char *c1 = colonize_by_mode("one 1", nullptr, 1);
    char *c2 = colonize_by_mode("two 2", nullptr, 2);
    char *c3 = colonize_by_mode("other 3", nullptr, 3);
    char *d1 = decolonize_by_mode("un:1", nullptr, 1);
    char *d2 = decolonize_by_mode("deux:2", nullptr, 2);
    char *d3 = decolonize_by_mode("autre:3", nullptr, 0);
    EXPECT_STREQ(c1, "one:1");
    EXPECT_STREQ(c2, "two:2");
    EXPECT_STREQ(c3, "other:3");
    EXPECT_STREQ(d1, "un 1");
    EXPECT_STREQ(d2, "deux 2");
    EXPECT_STREQ(d3, "autre 3");
    // Every mode other than 1 and 2 shares the third buffer.
    EXPECT_EQ(colonize_by_mode("x", nullptr, -7), c3);
    EXPECT_EQ(decolonize_by_mode("x", nullptr, 3), d3);
    EXPECT_STREQ(c3, "x");
    EXPECT_STREQ(c1, "one:1");
    const std::string long_name(100, ' ');
    EXPECT_EQ(std::string(colonize_by_mode(long_name.c_str(), nullptr, 2)), std::string(64, ':'));
}

TEST_F(Cmnutils, Ucs1ToUtf8AndBack) {
    char out[64];
    ucs1_to_utf8("a b", out);
    EXPECT_STREQ(out, "a\xC0\xA0" "b");
    ucs1_to_utf8("Az09/\\:_.-+", out);
    EXPECT_STREQ(out, "Az09/\\:_.-+");
    ucs1_to_utf8("\xE9t\xE9", out);  // Latin-1 "ete" with accents
    EXPECT_STREQ(out, "\xC3\xA9t\xC3\xA9");
    ucs1_to_utf8("*", out);
    EXPECT_STREQ(out, "\xC0\xAA");

    char back[64];
    utf8_to_ucs1("a\xC0\xA0" "b", back);
    EXPECT_STREQ(back, "a b");
    utf8_to_ucs1("\xE2\x82\xAC", back);  // three-byte sequence: low 8 bits of U+20AC
    EXPECT_STREQ(back, "\xAC");

    // Every byte value survives the round trip.
    std::string all;
    for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
    std::vector<char> wide(all.size() * 2 + 1), narrow(all.size() + 1);
    ucs1_to_utf8(all.c_str(), wide.data());
    utf8_to_ucs1(wide.data(), narrow.data());
    EXPECT_EQ(std::string(narrow.data()), all);
}

TEST_F(Cmnutils, Utf8ToUcs1NeverReadsPastTheEnd) {
    // Exact-size heap copies: the sanitizer build catches any over-read.
    for (const char *text : {"\xC3", "x\xE2\x82", "\xE2", "\x80", "\xF0\x9F"}) {
        size_t n = std::strlen(text) + 1;
        std::vector<char> in(text, text + n);
        std::vector<char> out(n);
        utf8_to_ucs1(in.data(), out.data());
        EXPECT_STREQ(out.data(), text) << "cut sequences are copied as they are";
    }
    // A lead byte followed by a plain character does not swallow it.
    char out[8];
    utf8_to_ucs1("\xC3z", out);
    EXPECT_STREQ(out, "\xC3z");
    ucs1_to_utf8(nullptr, out);
    EXPECT_STREQ(out, "");
    utf8_to_ucs1(nullptr, out);
    EXPECT_STREQ(out, "");
}

// --- line reading -------------------------------------------------------

TEST_F(Cmnutils, MyfgetlineReadsLinesOfAnyLength) {
    const std::vector<size_t> lengths = {0, 1, 1022, 1023, 1024, 1025, 2047, 2048, 2049, 5000};
    std::string content;
    std::vector<std::string> lines;
    for (size_t i = 0; i < lengths.size(); ++i) {
        std::string line(lengths[i], static_cast<char>('a' + i));
        lines.push_back(line + "\n");
        content += line + "\n";
    }
    lines.push_back(std::string(3000, 'z'));  // no final newline
    content += lines.back();
    const std::string path = dir_ + "/lines";
    yqtest::write_file(path, content);

    FILE *f = std::fopen(path.c_str(), "r");
    ASSERT_NE(f, nullptr);
    for (const auto &expected : lines) {
        int len = -1;
        char *line = myfgetline(f, &len);
        ASSERT_NE(line, nullptr);
        EXPECT_EQ(std::string(line), expected);
        EXPECT_EQ(len, static_cast<int>(expected.size()));
        std::free(line);
    }
    int len = -1;
    EXPECT_EQ(myfgetline(f, &len), nullptr);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(myfgetline(f, nullptr), nullptr);
    std::fclose(f);
    EXPECT_EQ(myfgetline(nullptr, &len), nullptr);
}

TEST_F(Cmnutils, MyfgetlineWhenMemoryRunsOut) {
    const std::string path = dir_ + "/long";
    yqtest::write_file(path, std::string(2500, 'q') + "\nnext\n");
    // A 2501-byte line needs the first block and two growths.
    for (long k = 1; k <= 3; ++k) {
        FILE *f = std::fopen(path.c_str(), "r");
        ASSERT_NE(f, nullptr);
        {
            yqtest::AllocFailer fail(k);
            EXPECT_EQ(myfgetline(f, nullptr), nullptr) << k;
        }
        std::fclose(f);
    }
    FILE *f = std::fopen(path.c_str(), "r");
    yqtest::AllocFailer count(0);
    char *line = myfgetline(f, nullptr);
    EXPECT_EQ(yqtest::AllocFailer::calls(), 3);
    std::free(line);
    std::fclose(f);
}

}  // namespace
