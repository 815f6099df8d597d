#include "cmnutils.h"

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <numeric>
#include <set>

#include "logging.h"
#include "yq_memory.h"
#include "yqtest.h"
#include "yqtest_clock.h"

namespace {

using Strings = std::vector<std::string>;

int dir_mode(const std::string &path) {
    struct stat st{};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? static_cast<int>(st.st_mode & 07777) : -1;
}

std::string reason(int error) { return std::string(std::strerror(error)) + " (" + std::to_string(error) + ")"; }

Strings take_names(char **names) {
    Strings v;
    for (char **p = names; *p != nullptr; ++p) v.emplace_back(*p);
    return free_dir_list(names), v;
}

// A fresh directory per test, and a debug log in it to see what is logged.
class Cmnutils : public ::testing::Test {
protected:
    void SetUp() override {
        mkdir(dir_.c_str(), 0755);
        umask(022);
    }
    void TearDown() override {
        close(debugFD);
        debugFD = logfd1 = logfd2 = -1;
        logdir1[0] = logdir2[0] = '\0';
    }
    // The debug log's messages so far, without time and process id.
    Strings logged() {
        if (debugFD < 0) debugFD = open_log((dir_ + "/log").c_str(), 0644, nullptr);
        Strings out;
        for (const auto &line : yqtest::read_lines(dir_ + "/log/log.031704"))
            out.push_back(line.substr(line.find("] ") + 2));
        return out;
    }
    std::string make_dir(const std::string &name, const Strings &entries) {
        const std::string d = dir_ + "/" + name;
        mkdir(d.c_str(), 0755);
        for (const auto &entry : entries) yqtest::write_file(d + "/" + entry, "");
        return d;
    }

    yqtest::FakeClock clock_{yqtest::local_time_at(2004, 3, 17, 12, 0, 0)};
    std::string dir_ = yqtest::scratch_dir() + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
};

TEST_F(Cmnutils, MkdirpathCreatesMissingComponentsWithTheExactMode) {
    int err = -1;
    ASSERT_EQ(mkdirpath((dir_ + "/a/b").c_str(), 0775, &err), 0);
    EXPECT_EQ(dir_mode(dir_ + "/a") + dir_mode(dir_ + "/a/b"), 2 * 0775) << "the umask does not apply";
    EXPECT_EQ(dir_mode(dir_), 0755) << "existing parents are left alone";
    ASSERT_EQ(mkdirpath((dir_ + "//x///y/").c_str(), 0700, nullptr), 0);
    EXPECT_EQ(dir_mode(dir_ + "/x/y"), 0700);
    // Every path is taken as absolute (the product tree is the sandbox's).
    ASSERT_EQ(mkdirpath("usr/kelda/relative", 0750, &err), 0);
    EXPECT_EQ(dir_mode("/usr/kelda/relative"), 0750);
    yqtest::write_file(dir_ + "/file", "x");
    const struct { std::string path; long fail_alloc; int err; } rows[] = {
        {dir_ + "/file/sub", 0, ENOTDIR}, {dir_ + "/" + std::string(NAME_MAX + 1, 'n'), 0, ENAMETOOLONG},
        {dir_ + "/never", 1, ENOMEM}, {"", 0, EINVAL}};
    for (const auto &row : rows) {
        yqtest::AllocFailer fail(row.fail_alloc);
        EXPECT_EQ(mkdirpath(row.path.empty() ? nullptr : row.path.c_str(), 0755, &err), -1);
        EXPECT_EQ(err, row.err) << row.path;
        EXPECT_EQ(umask(022), 022u) << "the umask is restored";
    }
}

TEST_F(Cmnutils, DirListsTheirFailuresAndWhatIsLogged) {
    int err = -1;
    const std::string list = make_dir("list", {"b", "a", ".hidden", "c.d"});
    EXPECT_EQ(take_names(get_dir_list(list.c_str(), &err)), (Strings{"a", "b", "c.d"}));
    EXPECT_EQ(err, 0);
    // Above 30 names the merge sort takes over (with its halves sorted the
    // other way round).
    for (size_t count : {31u, 200u}) {
        Strings names;
        for (size_t i = 0; i < count; ++i) names.push_back(std::to_string((i * 7919) % 1000 + 1000) + "x");
        const std::string d = make_dir("many" + std::to_string(count), names);
        std::sort(names.begin(), names.end());
        EXPECT_EQ(take_names(get_dir_list(d.c_str(), &err)), names) << count;
    }

    logged();
    yqtest::write_file(dir_ + "/plain", "");
    symlink((dir_ + "/loop2").c_str(), (dir_ + "/loop1").c_str());
    symlink((dir_ + "/loop1").c_str(), (dir_ + "/loop2").c_str());
    const struct { std::string dir; int err; } rows[] = {
        {make_dir("empty", {".only_hidden"}), 0}, {dir_ + "/missing", ENOENT},
        {dir_ + "/plain", ENOTDIR}, {dir_ + "/loop1", ELOOP}};
    for (const auto &row : rows) {
        err = -1;
        EXPECT_EQ(get_dir_list(row.dir.c_str(), &err), nullptr) << row.dir;
        EXPECT_EQ(err, row.err) << row.dir;
    }
    EXPECT_EQ(free_char_array(nullptr), 0);
    EXPECT_EQ(logged(), (Strings{"<2> get_dir_list: opendir() failed: " + reason(ELOOP),
                                 "<8> free_char_array: called to free NULL array"}))
        << "only the unexpected failure is logged";

    // Out of memory for a name or for the array: ENOMEM, and one line that says which.
    const std::string d = make_dir("alloc", {"x", "y", "z"});
    std::set<std::string> reports;
    yqtest::for_each_alloc_failure([&] {
        ASSERT_EQ(ftruncate(debugFD, 0), 0);
        err = 0;
        char **names = get_dir_list(d.c_str(), &err);
        if (names != nullptr) return (void)free_dir_list(names);
        EXPECT_EQ(err, ENOMEM);
        for (const std::string &line : logged()) reports.insert(line);
    });
    EXPECT_EQ(reports, (std::set<std::string>{"<2> get_dir_list: create_dlist_entry() failed: " + reason(ENOMEM),
                                              "<2> get_dir_list: malloc() contents failed: " + reason(ENOMEM)}));
}

TEST_F(Cmnutils, NameTranscoding) {
    char name[71], out[65];
    for (int i = 0; i < 70; ++i) name[i] = "abcd "[i % 5];
    name[70] = '\0';
    EXPECT_EQ(std::string(colonize_by_mode(name, out, 1)).substr(54), ":abcd:abcd") << "64 characters, colons";
    EXPECT_EQ(std::string(decolonize_by_mode(out, nullptr, 2)), std::string(name, 64));
    EXPECT_EQ(colonize_by_mode("x y", nullptr, -7), colonize_by_mode("z", nullptr, 3)) << "one buffer for other modes";

    ucs1_to_utf8("Az09/\\:_.-+ \xE9*", out);
    EXPECT_STREQ(out, "Az09/\\:_.-+\xC0\xA0\xC3\xA9\xC0\xAA") << "blanks and punctuation are encoded too";
    utf8_to_ucs1("\xE2\x82\xAC", out);
    EXPECT_STREQ(out, "\xAC") << "low 8 bits of a three-byte sequence";
    char all[256], wide[511], narrow[256];
    for (int c = 1; c <= 256; ++c) all[c - 1] = static_cast<char>(c);  // the last one is the terminator
    ucs1_to_utf8(all, wide);
    utf8_to_ucs1(wide, narrow);
    EXPECT_STREQ(narrow, all) << "every byte value survives the round trip";
    // Cut sequences are copied as they are; exact-size heap copies let the
    // sanitizer build catch any read past the terminator.
    for (const char *cut : {"\xC3", "x\xE2\x82", "\x80", "\xC3z", "\xF0\x9F"}) {
        std::vector<char> in(cut, cut + std::strlen(cut) + 1);
        utf8_to_ucs1(in.data(), out);
        EXPECT_STREQ(out, cut);
    }
}

TEST_F(Cmnutils, MyfgetlineReadsLinesOfAnyLength) {
    Strings lines = {std::string(3000, 'z')};  // the last one without a newline
    for (size_t n : {5000, 2048, 1025, 1024, 1023, 1022, 1, 0}) lines.insert(lines.begin(), std::string(n, 'a') + "\n");
    yqtest::write_file(dir_ + "/lines", std::accumulate(lines.begin(), lines.end(), std::string()));
    yq::unique_file f(std::fopen((dir_ + "/lines").c_str(), "r"));
    lines.push_back("(end)");
    for (const auto &expected : lines) {
        int len = -1;
        yq::unique_malloc<char> line(myfgetline(f.get(), &len));
        EXPECT_EQ(line ? line.get() : "(end)", expected);
        EXPECT_EQ(len, line ? static_cast<int>(expected.size()) : 0);
    }
}

}  // namespace
