// Cost of a debug line: logmsg (format the message, take the time, format the
// line, write) against a plain write of the same bytes, the bounded
// formatter against the platform one, and a connection module's failure
// report in a program that keeps no debug log. The logs go to a temporary directory,
// never to the product's log directory.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "logging.h"
#include "ynet.h"
#include "ystrings.h"

namespace {

std::string g_dir;
int g_plain_fd = -1;

constexpr const char *kMessage = "connect to host backup-server-17 port 13724 failed, retrying";
constexpr const char *kFunction = "ynet_connect_to_ynetd";

// Keeps the files from growing without bound between benchmarks.
void truncate_logs() {
    if (debugFD >= 0) ftruncate(debugFD, 0);
    if (g_plain_fd >= 0) ftruncate(g_plain_fd, 0);
}

void BM_logmsg(benchmark::State &state) {
    truncate_logs();
    for (auto _ : state) benchmark::DoNotOptimize(logmsg(2, kMessage, kFunction));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_logmsg);

void BM_plain_write_same_bytes(benchmark::State &state) {
    truncate_logs();
    char line[4096];
    int n = std::snprintf(line, sizeof line, "12:34:56.789 [%d] <2> %s: %s\n",
                          static_cast<int>(getpid()), kFunction, kMessage);
    for (auto _ : state) benchmark::DoNotOptimize(write(g_plain_fd, line, static_cast<size_t>(n)));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_plain_write_same_bytes);

void BM_Y_snprintf(benchmark::State &state) {
    char buf[1025];
    for (auto _ : state) {
        benchmark::DoNotOptimize(Y_snprintf(buf, sizeof buf, "<%d> %s: %s", 2, kFunction, kMessage));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Y_snprintf);

void BM_snprintf(benchmark::State &state) {
    char buf[1025];
    for (auto _ : state) {
        benchmark::DoNotOptimize(std::snprintf(buf, sizeof buf, "<%d> %s: %s", 2, kFunction, kMessage));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_snprintf);

// What a failing step costs a program with no debug log, no debug
// descriptor and no debug stream: the common case in production.
// Level 0 for the failure, 4 for the value that goes with it.
void BM_report_without_a_log(benchmark::State &state) {
    const int log = debugFD;
    debugFD = -1;
    const int level = static_cast<int>(state.range(0));
    for (auto _ : state) ynet_debug_value_level("ynet_hosts", 120, kFunction, "status", nullptr, 0x6003, level);
    debugFD = log;
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_report_without_a_log)->Arg(0)->Arg(4);

}  // namespace

int main(int argc, char **argv) {
    char dir_template[] = "/tmp/logging_bench.XXXXXX";
    if (mkdtemp(dir_template) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    g_dir = dir_template;
    int err = 0;
    debugFD = open_log(g_dir.c_str(), 0644, &err);
    g_plain_fd = open((g_dir + "/plain").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (debugFD < 0 || g_plain_fd < 0) {
        std::fprintf(stderr, "cannot open the logs in %s: %s\n", g_dir.c_str(), std::strerror(err));
        return 1;
    }

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    close(debugFD);
    debugFD = -1;
    close(g_plain_fd);
    // The directory holds only the files made here.
    if (DIR *d = opendir(g_dir.c_str())) {
        while (struct dirent *e = readdir(d))
            if (e->d_name[0] != '.') unlinkat(dirfd(d), e->d_name, 0);
        closedir(d);
    }
    return rmdir(g_dir.c_str()) == 0 ? 0 : 1;
}
