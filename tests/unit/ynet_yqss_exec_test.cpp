// The client magic out of process: a stand-in helper program records how it
// was started and exits as told; the parent's result follows its exit code.
// The decision before it comes from a real cw.conf through the configuration
// library, for a peer on the local host.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "crconf.h"
#include "ynet.h"
#include "yq_paths.h"
#include "yqtest.h"
#include "yqtest_wire.h"

namespace {

const std::string kOut = yqtest::scratch_dir() + "/standin.out";

// The product tree for a decision of `use` (0 automatic, 1 required) with a
// readable credential, and the stand-in installed as the helper program.
void install(int use, const std::string &exit_code) {
    static long stamp = 1000000;
    for (const char *dir : {YQ_PATH_KELDA "/lib", YQ_PATH_KELDA "/carrow", YQ_PATH_KELDA "/carrow/bin", YQ_PATH_YSS_DIR,
                            YQ_PATH_YORBAT_HOME "/lib"})
        ::mkdir(dir, 0755);
    yqtest::write_file(YQ_PATH_YORBAT_CONF, "\"InstallDir\"=\"" YQ_PATH_YORBAT_HOME "\"\n");
    yqtest::write_file(YQ_PATH_YORBAT_HOME "/lib/libyorbat.so", "");
    yqtest::write_file(yqtest::scratch_dir() + "/cred", "credential");
    ::setenv("YQSS_CREDENTIAL_PATH", (yqtest::scratch_dir() + "/cred").c_str(), 1);
    if (!yqtest::exists(YQ_PATH_CRCONF_LIB)) yqtest::write_file(YQ_PATH_CRCONF_LIB, yqtest::read_file(YCRCONF_LIB), 0755);
    if (!yqtest::exists(YQ_PATH_CWCRAT_HELPER))
        yqtest::write_file(YQ_PATH_CWCRAT_HELPER, yqtest::read_file(STANDIN_BIN), 0755);
    yqtest::write_file_dated(YQ_PATH_CW_CONF, use == 1 ? "USE_YQSS = REQUIRED\n" : "USE_YQSS = AUTOMATIC\n",
                             stamp += 10);
    ::setenv("STANDIN_OUT", kOut.c_str(), 1);
    ::setenv("STANDIN_EXIT", exit_code.c_str(), 1);
    ::unlink(kOut.c_str());
}

TEST(YqssExec, ExitCodesByParentDecision) {
    // exit code of the helper; then result and use for a parent decision of 0, and of 1
    const struct {
        const char *code;
        int result0, use0, result1, use1;
    } rows[] = {
        {"0", 0, 0, 0, 1},      {"39", 0, 1, 39, 1},  {"40", 0, 2, 40, 1},   {"14", 14, 0, 14, 1},
        {"19", 19, 0, 19, 1},   {"32", 32, 0, 32, 1}, {"77", 77, 0, 77, 1},  {"signal", 32, 0, 32, 1},
    };
    for (const auto &row : rows) {
        for (int decision : {0, 1}) {
            install(decision, row.code);
            auto connection = yqtest::wire::tcp_pair();  // mine: the client's end
            int use = -1;
            int result = ynet_exec_yqss_client_magic(connection.mine.get(), 1, -1, &use);
            EXPECT_EQ(result, decision == 0 ? row.result0 : row.result1) << row.code << " after " << decision;
            EXPECT_EQ(use, decision == 0 ? row.use0 : row.use1) << row.code << " after " << decision;
        }
    }
}

TEST(YqssExec, HelperGetsItsArgumentsAndTheSocketOnly) {
    // The socket on a high descriptor, and the socket as standard output.
    for (bool as_stdout : {false, true}) {
        install(1, "0");
        auto connection = yqtest::wire::tcp_pair();  // mine: the client's end
        int saved = ::dup(1);
        int fd = connection.mine.get();
        if (as_stdout) fd = ::dup3(connection.mine.get(), 1, O_CLOEXEC);
        int use = -1;
        int result = ynet_exec_yqss_client_magic(fd, 0, -1, &use);
        if (as_stdout) ::dup2(saved, 1);
        ::close(saved);
        ASSERT_EQ(result, 0);
        std::string expected = std::string("argv " YQ_PATH_CWCRAT_HELPER "\nargv ") + std::to_string(fd) +
                               "\nargv cwrd\nargv 1\nfd 0 /dev/null\n" +
                               (as_stdout ? "fd 1 socket\n" : "fd 1 /dev/null\n") + "fd 2 /dev/null\n";
        if (!as_stdout) expected += "fd " + std::to_string(fd) + " socket\n";
        // Descriptors the test program itself inherited are no concern here.
        std::string seen;
        for (const std::string &line : yqtest::read_lines(kOut))
            for (int shown : {0, 1, 2, fd})
                if (line.starts_with("argv") ? shown == 0 : line.starts_with("fd " + std::to_string(shown) + " ")) {
                    seen += line + "\n";
                    break;
                }
        EXPECT_EQ(seen, expected) << "socket as standard output: " << as_stdout;
        EXPECT_EQ(::fcntl(connection.mine.get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC) << "the parent's flag stays";
    }
}

TEST(YqssExec, LibraryInProcessElseTheHelper) {
    // Without the installed library the helper runs, without a version check.
    install(0, "39");
    ::unlink(YQ_PATH_HELPER_LIB);
    {
        auto connection = yqtest::wire::tcp_pair();  // mine: the client's end
        int use = -1;
        EXPECT_EQ(ynet_dlopen_yqss_client_magic(connection.mine.get(), 1, -1, &use, nullptr), 0);
        EXPECT_EQ(use, 1);
        EXPECT_TRUE(yqtest::exists(kOut));
    }
    void *built = ::dlopen(HELPER_LIB, RTLD_LAZY | RTLD_LOCAL);
    bool has_magic = built != nullptr && ::dlsym(built, "ynet_check_yqss_client_magic") != nullptr;
    if (built != nullptr) ::dlclose(built);
    if (!has_magic) GTEST_SKIP() << "the built library has no client magic yet";
    // With it, the magic runs in this process and the writer gets the magic.
    install(0, "39");
    yqtest::write_file(YQ_PATH_HELPER_LIB, yqtest::read_file(HELPER_LIB), 0755);
    auto connection = yqtest::wire::tcp_pair();  // mine: the client's end
    ASSERT_EQ(ynet_push_signed(connection.peer.get(), 2, 5), 0);  // the server's answer: not used
    static int writes = 0;
    int use = -1;
    int result = ynet_dlopen_yqss_client_magic(connection.mine.get(), 0, -1, &use, [](int, const char *, int *) {
        ++writes;
        return 0;
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(use, 2);
    EXPECT_EQ(writes, 1);
    EXPECT_FALSE(yqtest::exists(kOut)) << "the helper program did not run";
}

}  // namespace
