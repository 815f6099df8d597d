#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ynet.h"
#include "ynet_text_private.h"
#include "ytext.h"
#include "ytext_private.h"
#include "yqtest.h"

namespace {

using Strings = std::vector<std::string>;

struct EntryFree {
    void operator()(ynet_service_entry *e) const noexcept { ynet_service_free(&e); }
};
using Entry = std::unique_ptr<ynet_service_entry, EntryFree>;

struct ListFree {
    void operator()(ynet_service_entry **list) const noexcept { ynet_free_service_list(list); }
};

std::string str(const char *s) { return s != nullptr ? s : "<null>"; }

Strings args_of(const ynet_service_entry *e) {
    Strings out;
    if (e->args != nullptr)
        for (char **a = e->args; *a != nullptr; ++a) out.emplace_back(*a);
    return out;
}

// The fields of an entry in one comparable text.
std::string describe(const ynet_service_entry *e) {
    if (e == nullptr) return "<no entry>";
    std::string out = "name=" + str(e->name) + " pid=" + std::to_string(e->pid) +
                      " regtime=" + std::to_string(e->regtime) +
                      " exptime=" + std::to_string(e->exptime) + " ipc=" + str(e->ipc) +
                      " icmd=" + str(e->icmd) + " dcmd=" + str(e->dcmd) + " args=[";
    for (const auto &a : args_of(e)) out += a + "|";
    return out + "] count=" + std::to_string(e->arg_count);
}

Entry parse(const char *line) {
    ynet_service_entry *e = nullptr;
    EXPECT_EQ(ynet_service_parse(line, &e), 0) << line;
    return Entry(e);
}

// The written line, or "<status N>" when it cannot be written.
std::string unparse(const ynet_service_entry &e) {
    char *line = nullptr;
    int status = ynet_service_unparse(&e, &line);
    if (status != 0) {
        EXPECT_EQ(line, nullptr);
        return "<status " + std::to_string(status) + ">";
    }
    std::string out = str(line);
    std::free(line);
    return out;
}

ynet_service_entry make(const char *name, int pid, int regtime = 0, int exptime = 0,
                        const char *ipc = nullptr, const char *icmd = nullptr,
                        const char *dcmd = nullptr, char **args = nullptr) {
    ynet_service_entry e{};
    e.name = const_cast<char *>(name);
    e.pid = pid;
    e.regtime = regtime;
    e.exptime = exptime;
    e.ipc = const_cast<char *>(ipc);
    e.icmd = const_cast<char *>(icmd);
    e.dcmd = const_cast<char *>(dcmd);
    e.args = args;
    for (char **a = args; a != nullptr && *a != nullptr; ++a) ++e.arg_count;
    return e;
}

// Names of a list, checking the links both ways on the way.
Strings names_of(ynet_service_entry *list) {
    Strings out;
    ynet_service_entry *prev = nullptr;
    for (ynet_service_entry *e = list; e != nullptr; e = e->next) {
        EXPECT_EQ(e->prev, prev);
        out.push_back(str(e->name));
        prev = e;
    }
    return out;
}

// ------------------------------------------------------- written form

TEST(ServiceLine, WrittenForm) {
    EXPECT_EQ(unparse(make("svc", 42)), "NAME= svc ;PID=42;");
    EXPECT_EQ(unparse(make("cwrd", 1234, 1700000000, 0, "/usr/kelda/var/ynetd/cwrd/uds")),
              "NAME= cwrd ;PID=1234;REGTIME=1700000000;IPC= /usr/kelda/var/ynetd/cwrd/uds ;");
    char a1[] = "-v", a2[] = "two words", a3[] = "x#y";
    char *args[] = {a1, a2, a3, nullptr};
    EXPECT_EQ(unparse(make("s", 9, 100, 1, "/p", "run it", "say \"hi\"", args)),
              "NAME= s ;PID=9;REGTIME=100;EXPTIME=1;IPC= /p ;ICMD=\"run it\";"
              "DCMD='say \"hi\"';ARG= -v ;ARG=\"two words\";ARG=\"x#y\";");
    // PID is always there; numbers are unsigned 32-bit decimal.
    EXPECT_EQ(unparse(make(nullptr, 0)), "PID=0;");
    EXPECT_EQ(unparse(make(nullptr, -1, -2)), "PID=4294967295;REGTIME=4294967294;");
    EXPECT_EQ(unparse(make("", 1)), "NAME=  ;PID=1;");

    char *line = reinterpret_cast<char *>(1);
    EXPECT_EQ(ynet_service_unparse(nullptr, &line), 0);
    EXPECT_EQ(line, nullptr);
}

TEST(ServiceLine, QuotingChoices) {
    struct Case {
        const char *value;
        const char *written;
    };
    for (const Case &c : {
             Case{"plain", "NAME= plain ;PID=0;"},
             Case{"a b", "NAME=\"a b\";PID=0;"},
             Case{"tab\there", "NAME=\"tab\there\";PID=0;"},
             Case{"hash#", "NAME=\"hash#\";PID=0;"},
             Case{"it's", "NAME=\"it's\";PID=0;"},
             Case{"a \"quoted\" word", "NAME='a \"quoted\" word';PID=0;"},
             Case{"both \" and '", "<status 2>"},
         }) {
        SCOPED_TRACE(c.value);
        std::string written = unparse(make(c.value, 0));
        EXPECT_EQ(written, c.written);
        if (written[0] == '<') continue;
        // What is written comes back as it was.
        Entry back = parse(written.c_str());
        EXPECT_EQ(str(back->name), c.value);
    }
    char a1[] = "ok", a2[] = "\"'";
    char *args[] = {a1, a2, nullptr};
    EXPECT_EQ(unparse(make("n", 1, 0, 0, nullptr, nullptr, nullptr, args)), "<status 2>");
}

// --------------------------------------------------------- parse rules

TEST(ServiceLine, ParseRules) {
    struct Case {
        const char *line;
        const char *expected;
    };
    const std::string empty = "name=<null> pid=0 regtime=0 exptime=0 ipc=<null> icmd=<null> "
                              "dcmd=<null> args=[] count=0";
    for (const Case &c : {
             // Only pieces followed by ';' count.
             Case{"NAME=a;PID=5", "name=a pid=0"},
             Case{"pid=0x1F;Name= x ;regtime=010;ExpTime=7;",
                  "name=x pid=31 regtime=8 exptime=7"},
             Case{"  name = svc  ; FOO=bar; PID=3;", "name=svc pid=3"},
             Case{"NAME=\"a b # c\";", "name=a b # c"},
             Case{"NAME='say \"x\"';", "name=say \"x\""},
             // ';' ends the field even inside quotes; the open quote runs to it.
             Case{"NAME=\"a;b\";PID=4;", "name=a pid=4"},
             Case{"NAME=a b;", "name=a"},
             Case{"NAME=a#b;PID=2;", "name=a pid=2"},
             Case{"#NAME=x;PID=4;", "name=<null> pid=4"},
             Case{"NAME=# x;PID=4;", "name=<null> pid=4"},
             Case{"NAME=;PID=;IPC=  ;", "name=<null> pid=0"},
             Case{"NAME=x;NAME=y;", "name=y"},
             Case{"noequals;=v;PID=9;", "name=<null> pid=9"},
             Case{"PID=12abc;REGTIME=-5;", "name=<null> pid=12 regtime=-5"},
             Case{"PID=4294967295;", "name=<null> pid=-1"},
             Case{"NAME=x;\nPID=5;", "name=x pid=0"},
             Case{"\"NAME\"=q;", "name=q"},
             Case{"IPC=/a/uds;ICMD=\"i c\";DCMD='d';", "name=<null> pid=0 regtime=0 exptime=0 "
                                                      "ipc=/a/uds icmd=i c dcmd=d"},
             Case{"ARG=1;arg=2;ARG=\"three 3\";ARG=;", "name=<null> pid=0 regtime=0 exptime=0 "
                                                       "ipc=<null> icmd=<null> dcmd=<null> "
                                                       "args=[1|2|three 3|] count=3"},
         }) {
        SCOPED_TRACE(c.line);
        Entry e = parse(c.line);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(describe(e.get()).substr(0, std::strlen(c.expected)), c.expected);
        EXPECT_EQ(e->next, nullptr);
        EXPECT_EQ(e->prev, nullptr);
    }
    // Blank and comment lines still give an entry, an empty one.
    for (const char *line : {"", "   ", "# comment", "# a=b", "no fields at all"}) {
        Entry e = parse(line);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(describe(e.get()), empty) << line;
    }
    ynet_service_entry *e = reinterpret_cast<ynet_service_entry *>(1);
    EXPECT_EQ(ynet_service_parse(nullptr, &e), 0);
    EXPECT_EQ(e, nullptr);
}

TEST(ServiceLine, WrittenLinesReadBackTheSame) {
    char a1[] = "--flag", a2[] = "with space", a3[] = "say \"x\"", a4[] = "#";
    char *args[] = {a1, a2, a3, a4, nullptr};
    for (const ynet_service_entry &original : {
             make("svc", 1),
             make("white\tspace", 77, 1700000000, 1, "/v/uds", "i 'c'", "d \"c\"", args),
             make(nullptr, -5, -6, 2147483647),
         }) {
        std::string line = unparse(original);
        Entry back = parse(line.c_str());
        EXPECT_EQ(describe(back.get()), describe(&original)) << line;
        EXPECT_EQ(unparse(*back), line);
    }
}

// ---------------------------------------------------------------- lists

TEST(ServiceList, AddPlacesEntriesAndLinksBothWays) {
    ynet_service_entry *list = nullptr;
    std::unique_ptr<ynet_service_entry *, ListFree> guard(&list);
    auto add = [&](ynet_service_entry *before, const char *name) {
        return ynet_add_service_entry(&list, before, name, 1, 0, 0, nullptr, nullptr, nullptr,
                                      nullptr);
    };
    EXPECT_EQ(add(nullptr, "b"), 0);  // an empty list gets its head
    EXPECT_EQ(add(nullptr, "d"), 0);  // appended
    EXPECT_EQ(add(list, "a"), 0);     // before the head: the new head
    EXPECT_EQ(names_of(list), (Strings{"a", "b", "d"}));
    EXPECT_EQ(add(list->next->next, "c"), 0);  // before the tail
    EXPECT_EQ(names_of(list), (Strings{"a", "b", "c", "d"}));
    ynet_service_entry stranger{};
    EXPECT_EQ(add(&stranger, "e"), 0);  // not in the list: appended
    EXPECT_EQ(names_of(list), (Strings{"a", "b", "c", "d", "e"}));

    // Stored as a later read of the file would give it.
    char empty_arg[] = "", arg[] = "x y";
    char *args[] = {empty_arg, arg, nullptr};
    EXPECT_EQ(ynet_add_service_entry(&list, nullptr, "f", 2, 3, 4, "", "ic", nullptr, args), 0);
    ynet_service_entry *f = list;
    while (f->next != nullptr) f = f->next;
    EXPECT_EQ(describe(f), "name=f pid=2 regtime=3 exptime=4 ipc=<null> icmd=ic dcmd=<null> "
                           "args=[x y|] count=1");

    // Unquotable values are refused and the list stays as it was.
    EXPECT_EQ(ynet_add_service_entry(&list, nullptr, "\"'", 1, 0, 0, nullptr, nullptr, nullptr,
                                     nullptr),
              2);
    EXPECT_EQ(names_of(list), (Strings{"a", "b", "c", "d", "e", "f"}));
    EXPECT_EQ(ynet_add_service_entry(nullptr, nullptr, "x", 1, 0, 0, nullptr, nullptr, nullptr,
                                     nullptr),
              2);
}

TEST(ServiceList, FreeingUnlinksOneEntryOrAll) {
    ynet_service_entry *list = nullptr;
    for (const char *name : {"a", "b", "c", "d"})
        ASSERT_EQ(ynet_add_service_entry(&list, nullptr, name, 1, 0, 0, nullptr, nullptr, nullptr,
                                         nullptr),
                  0);
    ynet_free_service_entry(&list, list->next);  // middle
    EXPECT_EQ(names_of(list), (Strings{"a", "c", "d"}));
    ynet_free_service_entry(&list, list);  // head
    EXPECT_EQ(names_of(list), (Strings{"c", "d"}));
    ynet_free_service_entry(&list, list->next);  // tail
    EXPECT_EQ(names_of(list), (Strings{"c"}));
    ynet_service_entry stranger{};
    ynet_free_service_entry(&list, &stranger);  // not there: nothing happens
    ynet_free_service_entry(&list, nullptr);
    EXPECT_EQ(names_of(list), (Strings{"c"}));
    ynet_free_service_list(&list);
    EXPECT_EQ(list, nullptr);
    ynet_free_service_list(&list);
    ynet_free_service_list(nullptr);
}

// ---------------------------------------------------------------- files

class ServiceFile : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = yqtest::scratch_dir() + "/ynet_text_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
        yqtest::remove_tree(dir_);
        ASSERT_EQ(mkdir(dir_.c_str(), 0755), 0);
        path_ = dir_ + "/txt";
    }
    void TearDown() override {
        yq::sys::reset();
        yqtest::remove_tree(dir_);
    }

    bool no_temp_files() const {
        bool none = true;
        if (DIR *d = opendir(dir_.c_str())) {
            while (dirent *e = readdir(d))
                if (std::strncmp(e->d_name, "ytext", 5) == 0) none = false;
            closedir(d);
        }
        return none;
    }

    yqtest::SysGuard sys_;
    std::string dir_, path_;
};

TEST_F(ServiceFile, CommentAndBlankLinesComeBackAsEmptyEntries) {
    yqtest::write_file(path_,
                       "# services\nNAME= a ;PID=1;\n\nname=\"b c\"; pid = 2 ;REGTIME=0x10;\n", 0640);
    ynet_service_entry *list = nullptr;
    ASSERT_EQ(ynet_read_service_file(path_.c_str(), &list), 0);
    std::unique_ptr<ynet_service_entry *, ListFree> guard(&list);
    EXPECT_EQ(names_of(list), (Strings{"<null>", "a", "<null>", "b c"}));
    EXPECT_EQ(list->next->next->next->regtime, 16);

    ASSERT_EQ(ynet_update_service_file(path_.c_str(), list), 0);
    EXPECT_EQ(yqtest::read_file(path_),
              "PID=0;\nNAME= a ;PID=1;\nPID=0;\nNAME=\"b c\";PID=2;REGTIME=16;\n");
    struct stat st{};
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_TRUE(no_temp_files());
}

TEST_F(ServiceFile, UpdateWritesExactlyTheGivenEntries) {
    yqtest::write_file(path_, "NAME= old ;PID=1;\n");
    ynet_service_entry *list = nullptr;
    std::unique_ptr<ynet_service_entry *, ListFree> guard(&list);
    char arg[] = "-x";
    char *args[] = {arg, nullptr};
    ASSERT_EQ(ynet_add_service_entry(&list, nullptr, "one", 10, 1700000000, 0,
                                     "/usr/kelda/var/ynetd/one/uds", nullptr, nullptr, args),
              0);
    ASSERT_EQ(ynet_add_service_entry(&list, nullptr, "two", 0, 0, 1, nullptr, "i cmd", nullptr,
                                     nullptr),
              0);
    ASSERT_EQ(ynet_update_service_file(path_.c_str(), list), 0);
    const std::string written =
        "NAME= one ;PID=10;REGTIME=1700000000;IPC= /usr/kelda/var/ynetd/one/uds ;ARG= -x ;\n"
        "NAME= two ;PID=0;EXPTIME=1;ICMD=\"i cmd\";\n";
    EXPECT_EQ(yqtest::read_file(path_), written);

    // Reading gives the same entries back, in file order.
    ynet_service_entry *back = nullptr;
    ASSERT_EQ(ynet_read_service_file(path_.c_str(), &back), 0);
    std::unique_ptr<ynet_service_entry *, ListFree> back_guard(&back);
    EXPECT_EQ(describe(back), describe(list));
    EXPECT_EQ(describe(back->next), describe(list->next));
    EXPECT_EQ(back->next->next, nullptr);

    // Only the entries from the given one on are written.
    ASSERT_EQ(ynet_update_service_file(path_.c_str(), list->next), 0);
    EXPECT_EQ(yqtest::read_file(path_), "NAME= two ;PID=0;EXPTIME=1;ICMD=\"i cmd\";\n");
    ASSERT_EQ(ynet_update_service_file(path_.c_str(), nullptr), 0);
    EXPECT_EQ(yqtest::read_file(path_), "");
    EXPECT_TRUE(no_temp_files());
}

TEST_F(ServiceFile, FileFailuresBecomeConnectionStatuses) {
    ynet_service_entry *list = reinterpret_cast<ynet_service_entry *>(1);
    EXPECT_EQ(ynet_read_service_file(path_.c_str(), &list), 19);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(ynet_read_service_file(nullptr, &list), 19);
    EXPECT_EQ(ynet_read_service_file(path_.c_str(), nullptr), 2);
    EXPECT_EQ(ynet_update_service_file((dir_ + "/missing/txt").c_str(), nullptr), 19);

    ynet_service_entry entry = make("svc", 5);
    const std::string original = "NAME= keep ;PID=1;\n";
    struct Case {
        const char *step;
        int status;
    };
    for (const Case &c : {Case{"chmod", 27}, Case{"chown", 28}, Case{"rename", 29}}) {
        SCOPED_TRACE(c.step);
        yq::sys::reset();
        yqtest::write_file(path_, original);
        if (std::strcmp(c.step, "chmod") == 0)
            yq::sys::table.chmod = [](const char *, mode_t) { return -1; };
        if (std::strcmp(c.step, "chown") == 0)
            yq::sys::table.chown = [](const char *, uid_t, gid_t) { return -1; };
        if (std::strcmp(c.step, "rename") == 0)
            yq::sys::table.rename = [](const char *, const char *) { return -1; };
        EXPECT_EQ(ynet_update_service_file(path_.c_str(), &entry), c.status);
        EXPECT_EQ(yqtest::read_file(path_), original);
        EXPECT_TRUE(no_temp_files());
    }
    yq::sys::reset();

    // An entry that cannot be written leaves the old file.
    ynet_service_entry bad = make("\"'", 1);
    entry.next = &bad;
    EXPECT_EQ(ynet_update_service_file(path_.c_str(), &entry), 30);
    EXPECT_EQ(yqtest::read_file(path_), original);
    EXPECT_TRUE(no_temp_files());
}

TEST_F(ServiceFile, MemoryTextsReadLikeFiles) {
    ynet_service_entry *list = nullptr;
    ASSERT_EQ(ynet_read_service(nullptr, "NAME= a ;PID=1;\r\nNAME= b ;\nNAME= c ;", &list), 0);
    // The carriage return ends a line of its own; the unterminated tail is no line.
    EXPECT_EQ(names_of(list), (Strings{"a", "<null>", "b"}));
    ynet_free_service_list(&list);
}

// -------------------------------------------------------- memory failures

TEST_F(ServiceFile, MemoryFailuresLeakNothingAndChangeNothing) {
    const std::string original = "# head\nNAME= a ;PID=1;ARG= x ;ARG=\"y z\";\nNAME= b ;PID=2;\n";
    char a1[] = "p", a2[] = "q r";
    char *args[] = {a1, a2, nullptr};

    long points = yqtest::for_each_alloc_failure([&] {
        ynet_service_entry *list = nullptr;
        int status = ynet_add_service_entry(&list, nullptr, "first", 1, 2, 3, "/i", "ic", "dc", args);
        if (status != 0) {
            EXPECT_EQ(status, 8);
            EXPECT_EQ(list, nullptr);
            return;
        }
        status = ynet_add_service_entry(&list, list, "second", 1, 0, 0, nullptr, nullptr, nullptr,
                                        args);
        EXPECT_TRUE(status == 0 || status == 8);
        Strings want = status == 0 ? Strings{"second", "first"} : Strings{"first"};
        EXPECT_EQ(names_of(list), want);
        ynet_free_service_list(&list);
    });
    EXPECT_GT(points, 10);

    yqtest::for_each_alloc_failure([&] {
        yqtest::write_file(path_, original);
        ynet_service_entry *list = nullptr;
        int status = ynet_read_service_file(path_.c_str(), &list);
        if (status != 0) {
            // No memory, or no memory for the handle's copy of the path.
            EXPECT_TRUE(status == 8 || status == 19) << status;
            EXPECT_EQ(list, nullptr);
            return;
        }
        EXPECT_EQ(names_of(list), (Strings{"<null>", "a", "b"}));
        status = ynet_update_service_file(path_.c_str(), list);
        std::string now = yqtest::read_file(path_);
        if (status == 0) {
            EXPECT_EQ(now, "PID=0;\nNAME= a ;PID=1;ARG= x ;ARG=\"y z\";\nNAME= b ;PID=2;\n");
        } else {
            EXPECT_TRUE(status == 8 || status == 19) << status;
            EXPECT_EQ(now, original);
        }
        EXPECT_TRUE(no_temp_files());
        ynet_free_service_list(&list);
    });
}

}  // namespace
