// The authentication library as its loader sees it: both variants installed
// where the product looks for them, their exported names, the objects they
// hand out and take back, the fault seam, and the threaded variant's lock.
#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "yorbat_core.h"
#include "yqtest.h"
#include "yq_paths.h"

namespace {

namespace fs = std::filesystem;

const char *const kVariants[] = {YORBAT_LIB, YORBAT_T_LIB};

// The entry points as the contract lists them.
std::set<std::string> contract_names() {
    std::set<std::string> names;
#define YORBAT_NAME(name, args) names.insert(#name);
    YORBAT_ENTRY_POINTS(YORBAT_NAME)
#undef YORBAT_NAME
    return names;
}

// Copies a build of the library to DIR/lib/ and opens it from there, never
// to be unloaded, as the product's loader does (the library's tables live
// for the process).
void *install_and_open(const std::string &built, const std::string &dir) {
    fs::create_directories(dir + "/lib");
    std::string installed = dir + "/lib/" + fs::path(built).filename().string();
    fs::copy_file(built, installed, fs::copy_options::overwrite_existing);
    return dlopen(installed.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
}

template <typename Fn>
Fn entry(void *library, const char *name) {
    return reinterpret_cast<Fn>(dlsym(library, name));
}

TEST(YorbatLibrary, BothVariantsExportExactlyTheContractsEntryPoints) {
    for (const char *built : kVariants) {
        SCOPED_TRACE(built);
        void *library = install_and_open(built, YQ_PATH_YORBAT_HOME);
        ASSERT_NE(library, nullptr) << dlerror();
        for (const std::string &name : contract_names())
            EXPECT_NE(dlsym(library, name.c_str()), nullptr) << name;

        std::set<std::string> exported;
        std::string command = std::string("nm -D --defined-only ") + built;
        FILE *nm = popen(command.c_str(), "r");
        ASSERT_NE(nm, nullptr);
        char line[512];
        while (std::fgets(line, sizeof line, nm)) {
            std::string name = line;
            name = name.substr(name.rfind(' ') + 1);
            name.erase(name.find_last_not_of("\n") + 1);
            if (!name.starts_with("_") && !name.starts_with("__odr_asan"))
                exported.insert(name);
        }
        pclose(nm);
        EXPECT_EQ(exported, contract_names());
        EXPECT_EQ(contract_names().size(), static_cast<size_t>(YORBAT_ENTRY_COUNT));
        dlclose(library);
    }
}

// A list is released by its array or its first element, once; what the
// library never handed out is refused, not freed.
TEST(YorbatLibrary, ObjectsAreReleasedOnceWhicheverNameIsGiven) {
    char **list = nullptr;
    int count = 0;
    ASSERT_EQ(yorbat::hand_out_text_list({"first", "second"}, &list, &count), YORBAT_OK);
    ASSERT_EQ(count, 2);
    EXPECT_STREQ(list[1], "second");
    EXPECT_EQ(list[2], nullptr);
    EXPECT_EQ(yorbAtFree(list[0]), YORBAT_OK);
    EXPECT_EQ(yorbAtFree(list), YORBAT_INVALID_ARGUMENT);

    ASSERT_EQ(yorbat::hand_out_text_list({"only"}, &list, &count), YORBAT_OK);
    EXPECT_EQ(yorbAtFree(list), YORBAT_OK);
    EXPECT_EQ(yorbAtFree(list), YORBAT_INVALID_ARGUMENT);

    char *text = yorbat::hand_out_text(std::string_view("abc\0def", 7));
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text, 7), std::string("abc\0def", 7));
    EXPECT_EQ(yorbAtFree(text), YORBAT_OK);

    char not_ours[4];
    EXPECT_EQ(yorbAtFree(not_ours), YORBAT_INVALID_ARGUMENT);
    EXPECT_EQ(yorbAtFree(nullptr), YORBAT_INVALID_ARGUMENT);

    void *context = nullptr;
    ASSERT_EQ(yorbAtInit(0, &context), YORBAT_OK);
    EXPECT_EQ(yorbAtTerminate(context), YORBAT_OK);
    EXPECT_EQ(yorbAtTerminate(context), YORBAT_NOT_INITIALIZED);
    EXPECT_EQ(yorbAtTerminate(not_ours), YORBAT_NOT_INITIALIZED);
    EXPECT_EQ(yorbAtInit(1, &context), YORBAT_INVALID_ARGUMENT);
}

// A control file makes named entry points fail for a number of calls, or
// for every call; other lines and other entry points are left alone.
TEST(YorbatLibrary, TheFaultSeamAnswersForTheNamedEntryPointOnly) {
    std::string control = yqtest::scratch_dir() + "/faults";
    yqtest::write_file(control,
                       "# comment line\n"
                       "yorbAtInit 0x6005 2\n"
                       "garbage\n"
                       "yorbAtConnLibraryInit 0x7001\n");
    setenv("YORBAT_FAULTS", control.c_str(), 1);
    void *library = install_and_open(YORBAT_LIB, yqtest::scratch_dir() + "/faulty");
    ASSERT_NE(library, nullptr) << dlerror();
    auto init = entry<yorbAtInit_fn>(library, "yorbAtInit");
    auto conn_init = entry<yorbAtConnLibraryInit_fn>(library, "yorbAtConnLibraryInit");
    auto terminate = entry<yorbAtTerminate_fn>(library, "yorbAtTerminate");

    void *context = nullptr;
    EXPECT_EQ(init(0, &context), 0x6005);
    EXPECT_EQ(init(0, &context), 0x6005);
    EXPECT_EQ(init(0, &context), YORBAT_OK);
    for (int call = 0; call < 3; ++call)
        EXPECT_EQ(conn_init(0, nullptr), YORBAT_CONN_LIBRARY_FAILURE);
    EXPECT_EQ(terminate(context), YORBAT_OK);
    unsetenv("YORBAT_FAULTS");
    EXPECT_EQ(conn_init(0, nullptr), YORBAT_OK);
    dlclose(library);
}

// The threaded variant keeps its object table consistent under callers on
// several threads (the plain one leaves that to its callers).
TEST(YorbatLibrary, TheThreadedVariantServesConcurrentCallers) {
    void *library = install_and_open(YORBAT_T_LIB, yqtest::scratch_dir() + "/threaded");
    ASSERT_NE(library, nullptr) << dlerror();
    auto init = entry<yorbAtInit_fn>(library, "yorbAtInit");
    auto terminate = entry<yorbAtTerminate_fn>(library, "yorbAtTerminate");
    std::vector<int> failures(4, 0);
    std::vector<std::thread> threads;
    for (int &failed : failures)
        threads.emplace_back([&] {
            for (int round = 0; round < 20000; ++round) {
                void *context = nullptr;
                if (init(0, &context) != YORBAT_OK || terminate(context) != YORBAT_OK)
                    ++failed;
            }
        });
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(std::count(failures.begin(), failures.end(), 0), 4);
    dlclose(library);
}

}  // namespace
