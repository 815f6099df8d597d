// Secure connections and identity validation through the API over the real
// authentication library (installed in the sandbox); the library's fault
// seam drives the result mappings of data/yss_conn.txt. Secret input through a pseudo-terminal.
#include <fcntl.h>
#include <sys/wait.h>
#include <termios.h>

#include "yq_paths.h"
#include "yqtest_resolv.h"
#include "yqtest_yorbat.h"
#include "yss_auth_private.h"

namespace {

const std::string kHome = YQ_PATH_YORBAT_HOME, kData = YQ_TEST_DATA "/yss_conn.txt";

using Lines = std::vector<std::string>;

// Rows: OPERATION ENTRY RESULT STATUS REPORTED; the entry point answers the
// result and does nothing else.
template <typename Call>
void expect_golden(const char *table, Call call) {
    for (const auto &row : yqtest::data_rows(kData, table)) {
        SCOPED_TRACE(row[1] + " " + row[2]);
        yqtest::Faults fault(row[1] + " " + row[2] + "\n");
        yqtest::YssReports reports;
        EXPECT_EQ(call(row[0], row[1]), std::stoi(row[3]));
        EXPECT_EQ(reports.take(), row[4] == "-" ? Lines{} : Lines{row[0] + " failed: " + row[4]});
    }
}

class YssConn : public ::testing::Test {
protected:
    YssConInfo_t client{}, server{};

    static void SetUpTestSuite() {
        yqtest::install_library(kHome, YORBAT_LIB);
        ASSERT_EQ(yqtest::admin(YORBAT_ADMIN_BIN, kHome, {"setup-broker --host broker.test",
                                 "issue-machine alpha --out alpha", "issue-machine beta --out beta"}), "");
    }
    void SetUp() override {
        for (auto [record, file] : {std::pair{&client, "/alpha"}, {&server, "/beta"}}) {
            const std::string pem = yqtest::read_file(kHome + file);
            ASSERT_EQ(YssInit(3, "127.0.0.1", 2821, record), YSS_SUCCESS);
            ASSERT_EQ(yq::yss::entries.yorbAtImportCredential(pem.c_str(), int(pem.size()), &record->credential), 0);
            record->haveCredential = record->credentialFromLibrary = 1;  // as an import holds it
        }
    }
    void TearDown() override { YssCleanUp(3, &client), YssCleanUp(3, &server); }
};

TEST_F(YssConn, ConnectsAcceptsAndMovesDataBothWays) {
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    YssSetSocket(ends[0], &client), YssSetSocket(ends[1], &server);
    const pid_t child = fork();
    if (child == 0) {  // five bytes back reversed, then "end" and an orderly close; exits with the first failure
        char data[5];
        YssStatus s = YssAccept(&server);
        s = s ? s : YssRead(data, 5, 0, &server);
        std::reverse(data, data + 5);
        s = s ? s : YssWrite(data, 5, 0, &server);
        s = s ? s : YssWrite("end", 3, 0, &server);
        _exit(s ? s : YssClose(&server));
    }
    char back[16] = {};
    EXPECT_EQ(YssConnect(&client), YSS_SUCCESS);
    EXPECT_EQ(YssWrite("..hello", 7, 2, &client), YSS_SUCCESS);  // the first two count as written
    EXPECT_EQ(YssRead(back, 5, 0, &client), YSS_SUCCESS);
    EXPECT_EQ(YssRead(back + 5, 8, 0, &client), YSS_SUCCESS);  // "end", then the orderly end: short, still 0
    EXPECT_EQ(std::string(back, 8), "ollehend");
    yqtest::Faults broken("yorbAtSecConnRead -1\n");  // from here on a read would fail
    yqtest::YssReports reports;
    EXPECT_EQ(YssRead(back, 5, 5, &client), YSS_SUCCESS);
    EXPECT_EQ(YssClose(&client), YSS_SUCCESS);
    EXPECT_EQ(YssClose(&client), YSS_SUCCESS);
    EXPECT_EQ(reports.take(), Lines{});
    int status = -1;
    EXPECT_EQ((waitpid(child, &status, 0), status), 0) << "accepting side: " << WEXITSTATUS(status);
    close(ends[0]), close(ends[1]);
}

TEST_F(YssConn, ConnectAndAcceptMapTheLibraryResult) {
    expect_golden("connect", [&](auto &name, auto &) {
        return name == "YssConnect" ? YssConnect(&client) : YssAccept(&client);
    });
    YssConInfo_t bare = client;
    bare.haveCredential = 0;
    yqtest::Faults broken("yorbAtSecConnConnect -1\n");  // a call would give 17
    EXPECT_EQ(YssConnect(&bare), YSS_OUT_OF_ORDER);
}

TEST_F(YssConn, ReadAndWriteMapTheLastResult) {
    char buffer[4] = "abc";
    expect_golden("transfer", [&](auto &name, auto &) {
        client.secureConnection = name == "YssRead" ? &client : nullptr;
        return name == "YssRead" ? YssRead(buffer, 3, 1, &client) : YssWrite(buffer, 3, 0, &client);
    });
    client.secureConnection = nullptr;
    EXPECT_EQ(YssWrite(buffer, 3, 4, &client), YSS_LIBRARY_FAILURE);  // an offset past the end
}

TEST_F(YssConn, CloseMapsTheResultAndKeepsTheHandleOnFailure) {
    expect_golden("close", [&](auto &, auto &) {
        const YssStatus status = (client.secureConnection = &client, YssClose(&client));
        return std::exchange(client.secureConnection, nullptr) == &client ? status : -1;
    });
}

TEST_F(YssConn, ValidationMapsTheLibraryResultAfterCheckingArguments) {
    YssValidID *id = nullptr, held{}, *full = &held;
    expect_golden("validate", [&](auto &, const std::string &entry) {
        return YssValidateID("alice", "Sales", 3, entry.ends_with("Group") ? 4 : 3, "127.0.0.1", 0, &id, &client);
    });
    yqtest::Faults unreachable("yorbAtValidatePrpl 0x6006\n");  // asking anybody would give 17
    yqtest::YssReports reports;
    for (const auto &row : yqtest::data_rows(kData, "arguments")) {
        SCOPED_TRACE(row[0] + " " + row[1] + " " + row[2] + " " + row[3] + " " + row[4] + " " + row[5]);
        EXPECT_EQ(YssValidateID(yqtest::field(row[0]), yqtest::field(row[1]), std::stoi(row[2]), std::stoi(row[3]),
                                yqtest::field(row[4]), 0, row[5] == "full" ? &full : &id, &client), 1);
    }
    EXPECT_EQ(id, nullptr);
    EXPECT_EQ(reports.take(), Lines{});
}

// SecureFGets in a child whose standard input is a pseudo-terminal.
struct Terminal {
    int master = posix_openpt(O_RDWR | O_NOCTTY), answer[2] = {-1, -1};
    pid_t child = (grantpt(master), unlockpt(master), pipe(answer), -1);
    explicit Terminal(int size) {
        if ((child = fork()) == 0) {
            char out[64] = {};
            dup2(open(ptsname(master), O_RDWR | O_NOCTTY), STDIN_FILENO);
            close(master);  // the terminal ends when the test closes it
            SecureFGets(out, size, stdin);
            _exit(write(answer[1], out, strlen(out)) < 0);
        }
        close(answer[1]);
    }
    ~Terminal() { close(master), close(answer[0]); }
    bool echo() const {
        termios modes{};
        return tcgetattr(master, &modes) == 0 && (modes.c_lflag & ECHO) != 0;
    }
    bool reading() const { return yqtest::eventually([this] { return !echo(); }); }
    std::string typed() {
        char out[64] = {};
        waitpid(child, nullptr, 0);
        return std::string(out, std::max<ssize_t>(read(answer[0], out, sizeof out), 0));
    }
};

TEST(SecureFGets, ReadsWithoutEchoAndRestoresIt) {
    for (auto [keys, size, typed] : {std::tuple{"ab\bc\n", 64, "ac\n"}, {"\b\bx\n", 64, "x\n"},
                                     {"abcdefgh\n", 4, "ab\n"}, {"xy\4\4", 64, "xy\n"}}) {
        SCOPED_TRACE(keys);
        Terminal terminal(size);
        ASSERT_TRUE(terminal.reading());
        ASSERT_EQ(write(terminal.master, keys, strlen(keys)), ssize_t(strlen(keys)));
        EXPECT_EQ(terminal.typed(), typed);
        EXPECT_TRUE(terminal.echo());
    }
    Terminal terminal(64);
    ASSERT_TRUE(terminal.reading());
    kill(terminal.child, SIGINT);
    EXPECT_TRUE(yqtest::eventually([&] { return terminal.echo(); }));
    kill(terminal.child, SIGINT);               // the default action now: the reader ends,
    close(std::exchange(terminal.master, -1));  // not at the end of its input
    int status = 0;
    EXPECT_TRUE((waitpid(terminal.child, &status, 0), WIFSIGNALED(status) && WTERMSIG(status) == SIGINT)) << status;
}

TEST(YssGetAuthMode, NamesAndNumbersOfTheModes) {
    const char *text = nullptr;
    for (auto row : yqtest::data_rows(kData, "modes")) {
        int mode = -1;
        YssGetAuthMode(yqtest::field(row[0]), &mode);
        YssGetAuthString(mode, &text);
        EXPECT_EQ(std::to_string(mode) + " " + text, row[1] + " " + row[2]) << row[0];
    }
    for (int outside : {-1, 7}) EXPECT_STREQ((YssGetAuthString(outside, &text), text), "unknown") << outside;
}

}  // namespace
