// The admin tool, run as the demo runs it, judged by the files it leaves.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>


#include "yorbat_registry.h"
#include "yorbat_x509.h"
#include "yqtest.h"

namespace {

struct Ran {
    int status = -1;
    std::string out, err;
};

// Runs the tool on `home` with `input` as its standard input.
Ran admin(const std::string &home, std::vector<std::string> args, const std::string &input = "") {
    const std::string dir = yqtest::scratch_dir();
    yqtest::write_file(dir + "/in", input);
    args.insert(args.begin(), {YORBAT_ADMIN_BIN, "--home", home});
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, (dir + "/in").c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, (dir + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&files, 2, (dir + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    Ran ran;
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), environ) == 0 && waitpid(pid, &ran.status, 0) == pid)
        ran.status = WIFEXITED(ran.status) ? WEXITSTATUS(ran.status) : 128 + WTERMSIG(ran.status);
    posix_spawn_file_actions_destroy(&files);
    ran.out = yqtest::read_file(dir + "/out");
    ran.err = yqtest::read_file(dir + "/err");
    return ran;
}

mode_t mode_of(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

yorbat::x509::Info info_of(const std::string &path) {
    yorbat::x509::Credential credential;
    yorbat::x509::Info info;
    EXPECT_EQ(0, yorbat::x509::Credential::parse(yqtest::read_file(path), credential)) << path;
    EXPECT_NE(nullptr, credential.key()) << path;
    credential.info(info);
    return info;
}

TEST(Admin, SetsUpABrokerAndItsRegistryAndIssuesAMachineCredential) {
    const std::string home = yqtest::scratch_dir() + "/admin-home", broker = home + "/broker";
    const std::string password_file = yqtest::scratch_dir() + "/alice.pw", machine = yqtest::scratch_dir() + "/m1.pem";
    yqtest::write_file(password_file, "alice-secret\nignored second line\n");

    Ran ran = admin(home, {"setup-broker", "--host", "Broker.Test.Example", "--days", "30"});
    ASSERT_EQ(0, ran.status) << ran.err;
    ran = admin(home, {"setup-broker", "--host", "broker.test.example"});
    EXPECT_EQ(1, ran.status);
    EXPECT_NE(std::string::npos, ran.err.find("--force")) << ran.err;
    for (const std::vector<std::string> &step :
         std::vector<std::vector<std::string>>{{"domain", "add", "Sales"},
                                               {"user", "add", "Sales", "alice", "--password-file", password_file},
                                               {"machine", "add", "m1"}, {"issue-machine", "m1", "--out", machine}}) {
        ran = admin(home, step, "machine-secret\n");
        EXPECT_EQ(0, ran.status) << step[0] << ": " << ran.err;
    }
    ran = admin(home, {"domain", "add", "Sales"});
    EXPECT_EQ(1, ran.status);
    EXPECT_EQ("yorbat_admin: domain add Sales: the domain exists (YORBAT_DOMAIN_EXISTS 0x6023)\n", ran.err);

    // The files left behind.
    EXPECT_EQ("broker.test.example\n", yqtest::read_file(broker + "/host"));
    for (const std::string &secret : {broker + "/root.pem", broker + "/broker.pem", machine})
        EXPECT_EQ(0600u, mode_of(secret)) << secret;
    const yorbat::x509::Info served = info_of(broker + "/broker.pem"), issued = info_of(machine);
    EXPECT_EQ("YORBat@broker.test.example", served.principal.domain);
    EXPECT_EQ("broker.test.example", served.principal.name);
    EXPECT_EQ("yq", issued.principal.mechanism);
    EXPECT_EQ("CRW_Machines@broker.test.example", issued.principal.domain);
    EXPECT_EQ("m1", issued.principal.name);
    EXPECT_NE(std::string::npos, issued.issuer.find("/OU=root@broker.test.example/")) << issued.issuer;

    // The passwords came from the file's first line and from standard input.
    yorbat::set_home(home);
    yorbat::registry::Found found;
    EXPECT_EQ(0, yorbat::registry::check_login("Sales", "alice", "alice-secret", found));
    EXPECT_EQ(0, yorbat::registry::check_login("CRW_Machines@broker.test.example", "m1", "machine-secret", found));

    ran = admin(home, {"trust", "list"});
    EXPECT_EQ(0, ran.status) << ran.err;
    EXPECT_EQ(0u, ran.out.find("/O=YORBat@broker.test.example/OU=root@broker.test.example/")) << ran.out;
    EXPECT_EQ(1, std::count(ran.out.begin(), ran.out.end(), '\n')) << ran.out;
}

}  // namespace
