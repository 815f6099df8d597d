// An authenticated connection setup against the plain brokered setup.
//
// Plain: connect to ynetd, version handshake, request 6 for the registered
// echo service, hand-over and the service's status. Authenticated: the same,
// then the YqSS magic exchange and the TLS handshake of both sides (the
// client keeps the open secure connection). The two alternate within one run
// on the same loopback, so both see the same machine; the medians, the
// setups per second and their ratio are printed at the end.
//
// ynetd, the service and the credentials use the product's fixed paths, so
// the program runs itself again inside the project's sandbox (private
// product trees) and in a network namespace of its own. This host is its own
// master; USE_YQSS is REQUIRED and the machine credential is issued for
// "localhost" by the admin tool.
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench_processes.h"

#include "crconf.h"
#include "ynet.h"
#include "yq_paths.h"
#include "yss_auth.h"

namespace {

using namespace yqbench;

constexpr int kTimeout = 10;
constexpr const char kService[] = "benchyqss";
const std::string kCredential = std::string(YQ_PATH_YQSS_CREDENTIALS) + "/localhost";

using Clock = std::chrono::steady_clock;

std::vector<double> plain_us;
std::vector<double> secure_us;

int put_magic(int fd, const char *text, int *error) {
    int status = ynet_push_string(fd, text, kTimeout);
    if (status == YN_STATUS_SUCCESS) return 0;
    *error = status;
    return -1;
}

// One brokered setup; with `secure` also the magic exchange and TLS. The
// microseconds it took, or a negative value on failure.
double setup(bool secure) {
    sockaddr_in daemon = loopback(YNETD_DEFAULT_PORT);
    auto start = Clock::now();
    int sock = -1;
    int version = -1;
    int use = 2;
    YssConInfo_t *ctx = nullptr;
    int status = ynet_connect_to_ynetd(&daemon, 0, 0, nullptr, &sock, &version, kTimeout);
    if (status == 0) status = ynet_ynetd_service_socket(&sock, version, kService, kTimeout);
    if (status == 0 && secure) {
        status = ynet_check_yqss_client_magic_with_info(sock, 1, -1, &use, put_magic, nullptr, &ctx);
        if (status == 0 && use != 1) status = -1;
    }
    auto end = Clock::now();
    ynet_yqss_close(&ctx);
    ynet_yqss_cleanup(&ctx);
    if (sock >= 0) ::close(sock);
    return status == 0 ? std::chrono::duration<double, std::micro>(end - start).count() : -1;
}

// Each iteration: one plain setup and one authenticated setup, in turn.
void BM_PlainThenAuthenticatedSetup(benchmark::State &state) {
    for (auto _ : state) {
        double plain = setup(false);
        double secure = setup(true);
        if (plain < 0 || secure < 0) {
            state.SkipWithError(plain < 0 ? "plain setup failed" : "authenticated setup failed");
            break;
        }
        plain_us.push_back(plain);
        secure_us.push_back(secure);
        state.SetIterationTime((plain + secure) / 1e6);
    }
    state.counters["plain_median_us"] = median_of(plain_us);
    state.counters["yqss_median_us"] = median_of(secure_us);
}

BENCHMARK(BM_PlainThenAuthenticatedSetup)->UseManualTime()->Unit(benchmark::kMicrosecond);

bool write_file(const std::string &path, const std::string &text) {
    std::ofstream out(path);
    out << text;
    return static_cast<bool>(out.flush());
}

bool run(const std::string &command) { return std::system(command.c_str()) == 0; }

// The configuration library, the authentication library, a broker home that
// issues this host's machine credential, and the configuration.
bool install_product() {
    const std::string home = YQ_PATH_YORBAT_HOME;
    const std::string admin = std::string(YORBAT_ADMIN_BIN) + " --home " + home;
    return run("mkdir -p /usr/kelda/lib /usr/kelda/var/ynetd " YQ_PATH_CARROW_DIR " " YQ_PATH_YSS_DIR " " +
               home + "/lib && install -m 0755 " YCRCONF_LIB " " YQ_PATH_CRCONF_LIB " && install -m 0755 " YORBAT_LIB
               " " + home + "/lib/libyorbat.so") &&
           run("mkdir -m 0700 -p " YQ_PATH_YQSS_DIR " " YQ_PATH_YQSS_CREDENTIALS) &&
           run(admin + " setup-broker --host localhost >/dev/null") &&
           run("echo machine-Secret-1 | " + admin + " machine add localhost >/dev/null") &&
           run("echo machine-Secret-1 | " + admin + " issue-machine localhost --out " + kCredential + " >/dev/null") &&
           write_file(YQ_PATH_YORBAT_CONF, "\"InstallDir\"=\"" + home + "\"\n") &&
           write_file(std::string(YQ_PATH_CARROW_DIR) + "/cw.conf", "SERVER = localhost\nUSE_YQSS = REQUIRED\n");
}

}  // namespace

int main(int argc, char **argv) {
    const char *inside = std::getenv("YQ_SANDBOX");
    if (inside == nullptr || std::strcmp(inside, "1") != 0) {
        // Outside the sandbox: run this program again inside it.
        std::vector<char *> args = {const_cast<char *>(YQ_SANDBOX_BIN), const_cast<char *>("/proc/self/exe")};
        std::string self = "/proc/" + std::to_string(::getpid()) + "/exe";
        char path[4096];
        ssize_t n = ::readlink(self.c_str(), path, sizeof path - 1);
        if (n > 0) {
            path[n] = '\0';
            args[1] = path;
        }
        for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        std::perror("yqss_setup_bench: cannot start the sandbox");
        return 1;
    }
    if (::unshare(CLONE_NEWNET) != 0 || !bring_loopback_up()) {
        std::perror("yqss_setup_bench: cannot make a private network");
        return 1;
    }
    if (!install_product()) {
        std::fprintf(stderr, "yqss_setup_bench: cannot install the product's parts\n");
        return 1;
    }
    // Both sides present the machine credential (the service inherits this).
    ::setenv("YQSS_CREDENTIAL_PATH", kCredential.c_str(), 1);

    int ynetd_out = -1;
    pid_t ynetd = spawn({YNETD_BIN, "--foreground"}, ynetd_out);
    if (ynetd < 0 || !wait_for_line(ynetd_out, "listening on port")) {
        std::fprintf(stderr, "yqss_setup_bench: ynetd did not start\n");
        return 1;
    }
    int service_out = -1;
    pid_t service = spawn({ECHO_SERVICE_BIN, "--quiet", "--name", kService}, service_out);
    if (service < 0 || !wait_for_line(service_out, "registered service")) {
        std::fprintf(stderr, "yqss_setup_bench: the echo service did not start\n");
        return 1;
    }

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    const double plain = median_of(plain_us);
    const double secure = median_of(secure_us);
    if (plain > 0 && secure > 0)
        std::printf(
            "\nplain brokered setup: median %.1f us (%.0f setups/s at the median)\n"
            "authenticated setup (brokered + magic exchange + TLS): median %.1f us (%.0f setups/s at the median)\n"
            "ratio (authenticated / plain median latency): %.1f\n",
            plain, 1e6 / plain, secure, 1e6 / secure, secure / plain);

    for (pid_t pid : {service, ynetd}) ::kill(pid, SIGTERM);
    for (pid_t pid : {service, ynetd}) ::waitpid(pid, nullptr, 0);
    return 0;
}
