// Service entries: the line format both ways, the entry list, service files.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ynet.h"
#include "ynet_text_private.h"
#include "ytext.h"
#include "yqtest.h"

namespace {

using Strings = std::vector<std::string>;

std::string str(const char *s) { return s != nullptr ? s : "-"; }

// The fields of an entry in one comparable text.
std::string describe(const ynet_service_entry *e) {
    std::string out = str(e->name) + " " + std::to_string(e->pid) + " " + std::to_string(e->regtime) + " " +
                      std::to_string(e->exptime) + " " + str(e->ipc) + " " + str(e->icmd) + " " + str(e->dcmd) + " [";
    for (int i = 0; i < e->arg_count; ++i) out += std::string(e->args[i]) + "|";
    return out + "]";
}

// Names of a list, checking the links both ways on the way.
Strings names_of(const ynet_service_entry *list) {
    Strings out;
    for (const ynet_service_entry *e = list, *prev = nullptr; e != nullptr; prev = e, e = e->next) {
        EXPECT_EQ(e->prev, prev);
        out.push_back(str(e->name));
    }
    return out;
}

// Rows of a line, the fields parsed from it and the line written from them, a
// tab between ("\\n", "\\t" stand for line feed and tab). Only pieces followed
// by ';' count, and ';' ends a field even in quotes. That the written form
// reads back the same is the fuzz target's property.
TEST(ServiceLine, ParsedFieldsAndWrittenForm) {
    std::vector<std::string> rows = yqtest::read_lines(YNET_TEXT_PARSE_CASES);
    ASSERT_FALSE(rows.empty());
    for (const std::string &row : rows) {
        Strings col{""};
        for (size_t i = 0; i < row.size(); ++i)
            if (row[i] == '\t') col.emplace_back();
            else if (row[i] == '\\' && (row[i + 1] == 'n' || row[i + 1] == 't')) col.back() += row[++i] == 'n' ? '\n' : '\t';
            else col.back() += row[i];
        ASSERT_EQ(col.size(), 3u) << row;
        ynet_service_entry *e = nullptr;
        ASSERT_EQ(ynet_service_parse(col[0].c_str(), &e), 0) << row;
        char *line = nullptr;
        int status = ynet_service_unparse(e, &line);
        EXPECT_EQ(describe(e), col[1]) << row;
        EXPECT_EQ(status == 0 ? str(line) : "<status " + std::to_string(status) + ">", col[2]) << row;
        std::free(line);
        ynet_service_free(&e);
    }
}

TEST(ServiceList, AddPlacesEntriesAndFreeUnlinksThem) {
    ynet_service_entry *list = nullptr;
    auto add = [&](ynet_service_entry *before, const char *name) {
        return ynet_add_service_entry(&list, before, name, 1, 0, 0, "", nullptr, nullptr, nullptr);
    };
    ynet_service_entry stranger{};
    EXPECT_EQ(add(nullptr, "b"), 0);         // an empty list gets its head
    EXPECT_EQ(add(nullptr, "d"), 0);         // appended
    EXPECT_EQ(add(list, "a"), 0);            // before the head: the new head
    EXPECT_EQ(add(list->next->next, "c"), 0);
    EXPECT_EQ(add(&stranger, "e"), 0);       // not in the list: appended
    EXPECT_EQ(add(nullptr, "\"'"), 2);       // refused, the list unchanged
    EXPECT_EQ(names_of(list), (Strings{"a", "b", "c", "d", "e"}));
    EXPECT_EQ(list->ipc, nullptr);           // stored as a read of the file gives it
    ynet_free_service_entry(&list, list->next);  // middle
    ynet_free_service_entry(&list, list);        // head
    ynet_free_service_entry(&list, &stranger);   // not there
    EXPECT_EQ(names_of(list), (Strings{"c", "d", "e"}));
    ynet_free_service_list(&list);
    EXPECT_EQ(list, nullptr);
}

const std::string g_path = yqtest::scratch_dir() + "/ynet_text_services";

TEST(ServiceFile, InMemoryLinesEndAtCrOrLf) {
    ynet_service_entry *list = nullptr;
    ASSERT_EQ(ynet_read_service(nullptr, "NAME= a ;\r\nNAME= b ;\nNAME= c ;", &list), 0);
    EXPECT_EQ(names_of(list), (Strings{"a", "-", "b"}));  // CR ends a line; the tail is none
    ynet_free_service_list(&list);
}

TEST(ServiceFile, FailuresBecomeConnectionStatusesAndLeaveTheOldFile) {
    yqtest::SysGuard guard;
    ::unlink(g_path.c_str());
    ynet_service_entry dummy{}, *list = &dummy;
    EXPECT_EQ(ynet_read_service_file(g_path.c_str(), &list), YN_STATUS_FILE_OPEN_FAILED);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(ynet_update_service_file((g_path + ".missing/txt").c_str(), nullptr), YN_STATUS_FILE_OPEN_FAILED);
    yqtest::write_file(g_path, "NAME= keep ;PID=1;\n");
    char both[] = "\"'", svc[] = "svc";
    ynet_service_entry bad{}, entry{};
    bad.name = both, bad.pid = 1, entry.next = &bad, entry.name = svc, entry.pid = 5;
    EXPECT_EQ(ynet_update_service_file(g_path.c_str(), &entry), YN_STATUS_TEXT_FILE_ERROR);
    yq::sys::table.rename = [](const char *, const char *) { return -1; };
    entry.next = nullptr;
    EXPECT_EQ(ynet_update_service_file(g_path.c_str(), &entry), YN_STATUS_RENAME_FAILED);
    EXPECT_EQ(yqtest::read_file(g_path), "NAME= keep ;PID=1;\n");
    yq::sys::reset();

    // Comment and blank lines are entries too; the memory sweep ends with a run that succeeds.
    const std::string original = "# head\n\nNAME= a ;PID=1;ARG= x ;ARG=\"y z\";\n";
    yqtest::for_each_alloc_failure([&] {
        yqtest::write_file(g_path, original);
        ynet_service_entry *read = nullptr;
        int status = ynet_read_service_file(g_path.c_str(), &read);
        if (status == 0) { EXPECT_EQ(names_of(read), (Strings{"-", "-", "a"})); }
        if (status == 0) status = ynet_update_service_file(g_path.c_str(), read);
        EXPECT_TRUE(status == 0 || status == YN_STATUS_NO_MEMORY || status == YN_STATUS_FILE_OPEN_FAILED) << status;
        EXPECT_EQ(yqtest::read_file(g_path), status == 0 ? "PID=0;\nPID=0;\nNAME= a ;PID=1;ARG= x ;ARG=\"y z\";\n" : original);
        ynet_free_service_list(&read);
    });
}

}  // namespace
