// Credentials issued per second by a real broker on loopback: a "yq" login
// through yorbAtAuthenticate (TLS handshake, request, registry password
// check, key generation and signing, answer), from one and from two client
// threads; and, for scale, the bare conversation (the root request).
//
// The broker uses the product's install directory, so the program runs
// itself again inside the project's sandbox and a network namespace of its
// own.
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "yorbat_registry.h"
#include "yorbat_tls.h"
#include "yorbat_x509.h"

using namespace yorbat;

namespace {

const yorbat_broker_address kBroker{"127.0.0.1", YORBAT_DEFAULT_BROKER_PORT};

bool write_text(const std::string &path, const std::string &text) {
    FILE *file = std::fopen(path.c_str(), "w");
    bool written = file && std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return file && std::fclose(file) == 0 && written;
}

// Root, broker credential, host name, a trusted root and one principal.
bool set_up_home() {
    std::string root_pem, own_pem;
    x509::Credential root;
    long id = 0;
    return std::system("mkdir -p " YQ_BENCH_HOME "/broker") == 0 &&
           x509::make_root("bench.test", 86400, root_pem) == 0 && x509::Credential::parse(root_pem, root) == 0 &&
           x509::issue(root, {"broker", "YORBat@bench.test", "bench.test"}, 86400, own_pem) == 0 &&
           write_text(YQ_BENCH_HOME "/broker/root.pem", root_pem) &&
           write_text(YQ_BENCH_HOME "/broker/broker.pem", own_pem) &&
           write_text(YQ_BENCH_HOME "/broker/host", "bench.test\n") && trust::add(root.certificate_pem()) == 0 &&
           registry::add_registry(2, id) == 0 && registry::create_domain(0, "Bench") == 0 &&
           registry::create_principal(0, "Bench", "alice", "secret-1", 0) == 0;
}

pid_t start_broker() {
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        execl(YORBAT_BROKER_BIN, YORBAT_BROKER_BIN, "--home", YQ_BENCH_HOME, "--foreground", "--pid-file",
              YQ_BENCH_HOME "/broker.pid", static_cast<char *>(nullptr));
        _exit(127);
    }
    for (int waited = 0; waited < 3000 && access(YQ_BENCH_HOME "/broker.pid", F_OK) != 0; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return access(YQ_BENCH_HOME "/broker.pid", F_OK) == 0 ? pid : -1;
}

void BM_AuthenticateYq(benchmark::State &state) {
    void *context = nullptr;
    yorbAtInit(0, &context);
    yorbat_principal_request alice{"yq", "Bench", "alice", "secret-1"};
    for (auto _ : state) {
        char *credential = nullptr;
        if (yorbAtAuthenticate(context, &alice, &kBroker, &credential) != 0) {
            state.SkipWithError("authenticate failed");
            break;
        }
        yorbAtFree(credential);
    }
    yorbAtTerminate(context);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AuthenticateYq)->Threads(1)->Threads(2)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_RootConversation(benchmark::State &state) {
    void *context = nullptr, *root = nullptr;
    yorbAtInit(0, &context);
    yorbat_trust_request request{YORBAT_TRUST_BROKER_ROOT, 0, 0};
    for (auto _ : state) {
        if (yorbAtSetupTrust(context, &kBroker, nullptr, &request, &root) != 0) {
            state.SkipWithError("setup trust failed");
            break;
        }
        yorbAtFree(root);
    }
    yorbAtTerminate(context);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RootConversation)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
    const char *inside = std::getenv("YQ_SANDBOX");
    if (!inside || std::strcmp(inside, "1") != 0) {
        std::vector<char *> args = {const_cast<char *>(YQ_SANDBOX_BIN), const_cast<char *>("/proc/self/exe")};
        char self[4096];
        ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
        if (length > 0) {
            self[length] = '\0';
            args[1] = self;
        }
        for (int i = 1; i < argc; ++i)
            args.push_back(argv[i]);
        args.push_back(nullptr);
        execv(args[0], args.data());
        std::perror("yorbat_broker_bench: cannot start the sandbox");
        return 1;
    }
    setenv("YORBAT_HOME", YQ_BENCH_HOME, 1);
    if (unshare(CLONE_NEWNET) != 0 || std::system("ip link set lo up") != 0 || !set_up_home()) {
        std::fprintf(stderr, "yorbat_broker_bench: cannot set up the broker's network and home\n");
        return 1;
    }
    pid_t broker = start_broker();
    if (broker < 0) {
        std::fprintf(stderr, "yorbat_broker_bench: the broker did not start\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    kill(broker, SIGTERM);
    waitpid(broker, nullptr, 0);
    return 0;
}
