// Secure connections and identity validation through the API over the real
// authentication library (installed in the sandbox) and a real broker on
// loopback; the library's fault seam drives the result mappings. Secret input
// through a pseudo-terminal.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <regex>
#include <thread>

#include "yq_paths.h"
#include "yqtest.h"
#include "yqtest_netns.h"
#include "yss_auth_private.h"

namespace {

const std::string kHome = YQ_PATH_YORBAT_HOME;

bool eventually(const std::function<bool()> &done) {
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30); !done();)
        if (std::this_thread::sleep_for(std::chrono::milliseconds(5)); std::chrono::steady_clock::now() > end)
            return false;
    return true;
}

// The report lines written while it lives, without their source lines.
struct Reports {
    FILE *file = std::tmpfile();
    Reports() { YssSetDebugStream(3, file); }
    ~Reports() { YssSetDebugStream(3, nullptr), std::fclose(file); }
    std::string lines() {
        std::fflush(file);
        std::string text = yqtest::read_file("/proc/self/fd/" + std::to_string(fileno(file)));
        return std::regex_replace(text, std::regex(R"(yss_auth\.\d+: Function: )"), "");
    }
};

// The library answers `result` from `entry`, doing nothing else, while it lives.
struct Fault {
    Fault(const std::string &entry, int result) {
        yqtest::write_file(yqtest::scratch_dir() + "/faults", entry + " " + std::to_string(result) + "\n");
        setenv("YORBAT_FAULTS", (yqtest::scratch_dir() + "/faults").c_str(), 1);
    }
    ~Fault() { unsetenv("YORBAT_FAULTS"); }
};

struct Golden {
    const char *entry;
    int result;
    YssStatus status;
    const char *reports;
};
template <typename Call>
void expect_golden(std::initializer_list<Golden> rows, Call call) {
    for (const Golden &row : rows) {
        SCOPED_TRACE(std::string(row.entry) + " " + std::to_string(row.result));
        Fault fault(row.entry, row.result);
        Reports reports;
        EXPECT_EQ(call(std::string_view(row.entry)), row.status);
        EXPECT_EQ(reports.lines(), row.reports);
    }
}

class YssConn : public ::testing::Test {
protected:
    static inline pid_t broker = -1;
    static inline std::string alpha, beta;  // machine credentials
    YssConInfo_t client{}, server{};

    static void SetUpTestSuite() {
        if (!yqtest::netns_unavailable().empty()) return;
        ASSERT_TRUE(yqtest::isolate_network() && std::system("ip link set lo up") == 0);
        std::filesystem::create_directories(kHome + "/lib");
        std::filesystem::copy_file(YORBAT_LIBRARY, kHome + "/lib/libyorbat.so");
        yqtest::write_file(kHome + "/password", "secret-1\n", 0600);
        for (const std::string &command : {std::string("setup-broker --host broker.test"), std::string("domain add Sales"),
                                    "user add Sales alice --password-file " + kHome + "/password",
                                    "issue-machine alpha --out " + kHome + "/alpha", "issue-machine beta --out " + kHome + "/beta"})
            ASSERT_EQ(std::system((YORBAT_ADMIN_BIN " --home " + kHome + " " + command + " >/dev/null").c_str()), 0);
        alpha = yqtest::read_file(kHome + "/alpha"), beta = yqtest::read_file(kHome + "/beta");
        if ((broker = fork()) == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            execl(YORBAT_BROKER_BIN, YORBAT_BROKER_BIN, "--home", kHome.c_str(), "--foreground", "--pid-file",
                  (kHome + "/pid").c_str(), nullptr);
            _exit(127);
        }
        ASSERT_TRUE(eventually([] { return yqtest::exists(kHome + "/pid"); }));
    }
    static void TearDownTestSuite() {
        if (broker > 0) kill(broker, SIGTERM), waitpid(broker, nullptr, 0);
    }
    void SetUp() override {
        if (std::string why = yqtest::netns_unavailable(); !why.empty()) GTEST_SKIP() << why;
        for (auto [record, pem] : {std::pair{&client, &alpha}, {&server, &beta}}) {
            ASSERT_EQ(YssInit(3, "127.0.0.1", 2821, record), YSS_SUCCESS);
            // Held as an import would hold it.
            ASSERT_EQ(yq::yss::entries.yorbAtImportCredential(pem->c_str(), int(pem->size()), &record->credential), 0);
            record->haveCredential = record->credentialFromLibrary = 1;
        }
    }
    void TearDown() override { YssCleanUp(3, &client), YssCleanUp(3, &server); }
};

TEST_F(YssConn, ConnectsAcceptsAndMovesDataBothWays) {
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    YssSetSocket(ends[0], &client), YssSetSocket(ends[1], &server);
    const pid_t child = fork();
    if (child == 0) {  // echoes five bytes reversed, then "end" and an orderly close
        char data[5];
        YssStatus s = YssAccept(&server);
        s = s ? s : YssRead(data, 5, 0, &server);
        std::reverse(data, data + 5);
        s = s ? s : YssWrite(data, 5, 0, &server);
        s = s ? s : YssWrite("end", 3, 0, &server);
        _exit(s ? s : YssClose(&server));
    }
    char back[8] = {};
    EXPECT_EQ(YssConnect(&client), YSS_SUCCESS);
    EXPECT_NE(client.peerCredential, nullptr);
    EXPECT_EQ(YssWrite("..hello", 7, 2, &client), YSS_SUCCESS);  // the first two count as written
    EXPECT_EQ(YssRead(back, 5, 0, &client), YSS_SUCCESS);
    EXPECT_EQ(std::string(back, 5), "olleh");
    EXPECT_EQ(YssRead(back, 8, 0, &client), YSS_SUCCESS);  // three bytes, then the end: short, still success
    EXPECT_EQ(std::string(back, 3), "end");
    {
        Fault broken("yorbAtSecConnRead", -1);  // a call would now fail
        EXPECT_EQ(YssRead(back, 5, 5, &client), YSS_SUCCESS);
        EXPECT_EQ(YssRead(back, 5, 6, &client), YSS_LIBRARY_FAILURE);
    }
    EXPECT_EQ(YssClose(&client), YSS_SUCCESS);
    EXPECT_EQ(client.secureConnection, nullptr);
    Fault broken("yorbAtSecConnClose", -1);
    EXPECT_EQ(YssClose(&client), YSS_SUCCESS);  // nothing left to close
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_EQ(status, 0) << "first failing status on the accepting side: " << WEXITSTATUS(status);
    close(ends[0]), close(ends[1]);
}

TEST_F(YssConn, ConnectAndAcceptMapTheLibraryResult) {
    {
        Fault broken("yorbAtSecConnConnect", -1);  // a call would give 17
        YssConInfo_t bare{};
        ASSERT_EQ(YssInit(3, "127.0.0.1", 2821, &bare), YSS_SUCCESS);
        EXPECT_EQ(YssConnect(&bare), YSS_OUT_OF_ORDER);
        YssCleanUp(3, &bare);
    }
    expect_golden({{"yorbAtSecConnConnect", -1, 17, "YssConnect failed: 17\n"},
                   {"yorbAtSecConnConnect", 0x7001, 14, "YssConnect failed: 14\n"},
                   {"yorbAtSecConnConnect", 0x6007, 21, "YssConnect failed: 21\n"},
                   {"yorbAtSecConnAccept", -1, 17, "YssAccept failed: 17\n"},
                   {"yorbAtSecConnAccept", 0x7001, 14, "YssAccept failed: 14\n"},
                   {"yorbAtSecConnAccept", 0x6002, 21, "YssAccept failed: 21\n"}},
                  [&](std::string_view entry) { return entry.ends_with("Connect") ? YssConnect(&client) : YssAccept(&client); });
}

TEST_F(YssConn, ReadAndWriteMapTheLastResult) {
    char buffer[4] = "abc";
    // Reads run on a connection handle, writes without one.
    expect_golden({{"yorbAtSecConnRead", -1, 17, "YssRead failed: 17\n"},
                   {"yorbAtSecConnRead", 0x6002, 1, "YssRead failed: 1\n"},
                   {"yorbAtSecConnRead", 0x7001, 14, "YssRead failed: 14\n"},
                   {"yorbAtSecConnRead", 0x6005, 21, "YssRead failed: 21\n"},
                   {"yorbAtSecConnWrite", -1, 17, "YssWrite failed: 17\n"},
                   {"yorbAtSecConnWrite", 0x6002, 17, "YssWrite failed: 17\n"},
                   {"yorbAtSecConnWrite", 0x7001, 14, "YssWrite failed: 14\n"}},
                  [&](std::string_view entry) {
                      const bool read = entry.ends_with("Read");
                      client.secureConnection = read ? &client : nullptr;
                      return read ? YssRead(buffer, 3, 1, &client) : YssWrite(buffer, 3, 0, &client);
                  });
    client.secureConnection = nullptr;
}

TEST_F(YssConn, CloseMapsTheResultAndKeepsTheHandleOnFailure) {
    expect_golden({{"yorbAtSecConnClose", -1, 17, "YssClose failed: 17\n"},
                   {"yorbAtSecConnClose", 0x7001, 14, "YssClose failed: 14\n"},
                   {"yorbAtSecConnClose", 0x6002, 21, "YssClose failed: 21\n"}},
                  [&](std::string_view) {
                      client.secureConnection = &client;
                      const YssStatus status = YssClose(&client);
                      EXPECT_EQ(client.secureConnection, &client);
                      return status;
                  });
    client.secureConnection = nullptr;
}

TEST_F(YssConn, ValidatesUsersAndGroupsWithTheBroker) {
    YssValidID *id = nullptr;
    auto text = [&] { return std::string(id->name) + " " + id->domain + " " + std::to_string(id->principalValue) + " " + std::to_string(id->idType); };
    ASSERT_EQ(YssValidateID("alice", "Sales", YSS_AUTH_YQ, 3, "127.0.0.1", 0, &id, &client), YSS_SUCCESS);
    EXPECT_EQ(text(), "alice Sales@broker.test 1000 3");  // the registry's first principal
    FreeYssValidID(&id);
    ASSERT_EQ(YssValidateID("Sales", "Sales", YSS_AUTH_YQ, 4, "127.0.0.1", 2821, &id, &client), YSS_SUCCESS);
    EXPECT_EQ(text(), "Sales Sales@broker.test 0 4");
    FreeYssValidID(&id);
    EXPECT_EQ(id, nullptr);
    Reports reports;  // "not valid" is an answer, not a failure
    EXPECT_EQ(YssValidateID("nobody", "Sales", YSS_AUTH_YQ, 3, "127.0.0.1", 0, &id, &client), YSS_USER_NOT_VALID);
    EXPECT_EQ(YssValidateID("Marketing", "Sales", YSS_AUTH_YQ, 4, "127.0.0.1", 0, &id, &client), YSS_GROUP_NOT_VALID);
    EXPECT_EQ(id, nullptr);
    EXPECT_EQ(reports.lines(), "");
}

TEST_F(YssConn, ValidationMapsTheLibraryResultAndChecksArgumentsFirst) {
    YssValidID *id = nullptr, held{}, *full = &held;
    auto validate = [&](std::string_view entry) {
        return YssValidateID("alice", "Sales", YSS_AUTH_YQ, entry.ends_with("Group") ? 4 : 3, "127.0.0.1", 0, &id, &client);
    };
    expect_golden({{"yorbAtValidatePrpl", 0x6002, 1, "YssValidateID failed: 1\n"},
                   {"yorbAtValidatePrpl", 0x6003, 12, "YssValidateID failed: 12\n"},
                   {"yorbAtValidatePrpl", 0x6006, 17, "YssValidateID failed: 17\n"},
                   {"yorbAtValidatePrpl", 0x6007, 25, "YssValidateID failed: 25\n"},
                   {"yorbAtValidatePrpl", 0x6008, 25, "YssValidateID failed: 25\n"},
                   {"yorbAtValidatePrpl", 0x601e, 25, "YssValidateID failed: 25\n"},
                   {"yorbAtValidatePrpl", 0x601f, 25, "YssValidateID failed: 25\n"},
                   {"yorbAtValidateGroup", 0x6025, 25, "YssValidateID failed: 25\n"},
                   {"yorbAtValidatePrpl", 0x6016, 51, ""},
                   {"yorbAtValidatePrpl", 0x603b, 51, ""},
                   {"yorbAtValidateGroup", 0x6016, 52, ""},
                   {"yorbAtValidateGroup", 0x603b, 52, ""},
                   {"yorbAtValidatePrpl", 0x6011, 21, "YssValidateID failed: 24593\n"}},  // the raw result
                  validate);
    EXPECT_EQ(id, nullptr);
    Fault unreachable("yorbAtValidatePrpl", 0x6006);  // asking anybody would give 17
    Reports reports;
    const YssStatus arguments[] = {
        YssValidateID("alice", "Sales", YSS_AUTH_YQ, 5, "127.0.0.1", 0, &id, &client),
        YssValidateID("alice", nullptr, YSS_AUTH_YQ, 3, "127.0.0.1", 0, &id, &client),
        YssValidateID("alice", "Sales", 7, 3, "127.0.0.1", 0, &id, &client),
        YssValidateID("alice", "Sales", YSS_AUTH_YQ, 3, nullptr, 0, &id, &client),
        YssValidateID("alice", "Sales", YSS_AUTH_YQ, 3, "127.0.0.1", 0, &full, &client),
    };
    for (size_t row = 0; row < std::size(arguments); ++row) EXPECT_EQ(arguments[row], YSS_INVALID_PARAMETER) << row;
    EXPECT_EQ(reports.lines(), "");
}

// SecureFGets in a child whose standard input is a pseudo-terminal.
struct Terminal {
    int master = posix_openpt(O_RDWR | O_NOCTTY), answer[2] = {-1, -1};
    pid_t child = -1;
    explicit Terminal(int size) {
        grantpt(master), unlockpt(master);
        const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
        EXPECT_EQ(pipe(answer), 0);
        if ((child = fork()) == 0) {
            char out[64] = {};
            dup2(slave, STDIN_FILENO);
            SecureFGets(out, size, stdin);
            _exit(write(answer[1], out, strlen(out)) < 0);
        }
        close(slave), close(answer[1]);
    }
    ~Terminal() { close(master), close(answer[0]); }
    bool echo() const {
        termios modes{};
        return tcgetattr(master, &modes) == 0 && (modes.c_lflag & ECHO) != 0;
    }
    std::string finish() {
        waitpid(child, nullptr, 0);
        char text[64] = {};
        return std::string(text, std::max<ssize_t>(read(answer[0], text, sizeof text), 0));
    }
};

TEST(SecureFGets, ReadsWithoutEchoAndRestoresIt) {
    struct Row {
        const char *keys;
        int size;
        const char *out;
    } rows[] = {{"ab\bc\n", 64, "ac\n"}, {"\b\bx\n", 64, "x\n"}, {"abcdefgh\n", 4, "ab\n"}, {"xy\4\4", 64, "xy\n"}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.keys);
        Terminal terminal(row.size);
        ASSERT_TRUE(eventually([&] { return !terminal.echo(); }));
        ASSERT_EQ(write(terminal.master, row.keys, strlen(row.keys)), ssize_t(strlen(row.keys)));
        EXPECT_EQ(terminal.finish(), row.out);
        EXPECT_TRUE(terminal.echo());
    }
}

TEST(SecureFGets, AnInterruptRestoresEchoAndTheDefaultAction) {
    Terminal terminal(64);
    ASSERT_TRUE(eventually([&] { return !terminal.echo(); }));
    kill(terminal.child, SIGINT);
    EXPECT_TRUE(eventually([&] { return terminal.echo(); }));
    kill(terminal.child, SIGINT);  // the default action now: the reader ends
    int status = 0;
    waitpid(terminal.child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
}

TEST(YssGetAuthMode, NamesAndNumbersOfTheModes) {
    const char *text = nullptr;
    int mode = -1;
    for (auto [name, number, back] : {std::tuple{"UNIXPWD", 4, "unixpwd"}, {"yq", 3, "yq"}, {"Localhost", 6, "localhost"},
                                      {"nt", 1, "nt"}, {"", 0, "unknown"}, {"unknown", 0, "unknown"}, {"ldap", 0, "unknown"}}) {
        SCOPED_TRACE(name);
        YssGetAuthMode(name, &mode);
        YssGetAuthString(mode, &text);
        EXPECT_EQ(std::to_string(mode) + " " + text, std::to_string(number) + " " + back);
    }
    for (int outside : {-1, 7}) {
        YssGetAuthString(outside, &text);
        EXPECT_STREQ(text, "unknown") << outside;
    }
}

}  // namespace
