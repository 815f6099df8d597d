// The registry's costs: reading and rewriting the file as it grows, a
// login's password check, and walking a domain's principal list the way
// callers do (list, then the attributes of each).
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "yorbat_registry.h"

namespace {

namespace reg = yorbat::registry;

// A private install directory, removed at exit.
struct BenchHome {
    std::string dir;
    BenchHome() {
        char pattern[] = "/tmp/yorbat-bench.XXXXXX";
        if (!::mkdtemp(pattern))
            std::abort();
        dir = pattern;
        yorbat::set_home(dir);
        std::filesystem::create_directories(dir + "/broker");
        std::ofstream(dir + "/broker/host") << "bench.example\n";
    }
    ~BenchHome() { std::filesystem::remove_all(dir); }
};

BenchHome &bench_home() {
    static BenchHome home;
    return home;
}

// The file holds one registry with one domain of `count` principals.
void fill(long count) {
    bench_home();
    reg::Registry registry{1, 2, reg::kFirstPrincipalNumber, {reg::Domain{"Bench", {}}}};
    for (long i = 0; i < count; ++i)
        registry.domains[0].principals.push_back(reg::Principal{"user" + std::to_string(i), 1,
                                                               registry.next_number++, 100000,
                                                               std::string(16, 's'), std::string(32, 'h')});
    reg::Database database{{registry}};
    if (reg::update([&](reg::Database &db) { db = database; return 0; }, -1) != 0)
        std::abort();
}

void BM_Load(benchmark::State &state) {
    fill(state.range(0));
    for (auto _ : state) {
        reg::Database database;
        benchmark::DoNotOptimize(reg::load(database));
    }
}
BENCHMARK(BM_Load)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

void BM_RewriteUnchanged(benchmark::State &state) {
    fill(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(reg::update([](reg::Database &) { return 0; }, -1));
}
BENCHMARK(BM_RewriteUnchanged)->Arg(100)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_CheckLogin(benchmark::State &state) {
    fill(0);
    if (reg::create_domain(0, "Login") != 0 || reg::create_principal(0, "Login", "alice", "secret1", 1) != 0)
        std::abort();
    reg::Found found;
    for (auto _ : state)
        benchmark::DoNotOptimize(reg::check_login("Login", "alice", "secret1", found));
}
BENCHMARK(BM_CheckLogin)->Unit(benchmark::kMillisecond);

void BM_ListPrincipalsWithAttributes(benchmark::State &state) {
    fill(state.range(0));
    void *context = nullptr, **registries = nullptr, *domain = nullptr;
    int count = 0;
    if (yorbAtInit(0, &context) || yorbAtGetPDRs(context, &registries, &count) ||
        yorbAtFindPDDomain(registries[0], "Bench", &domain))
        std::abort();
    for (auto _ : state) {
        void **principals = nullptr;
        yorbAtGetPDPrincipals(domain, &principals, &count);
        for (int i = 0; i < count; ++i) {
            yorbat_word *attributes = nullptr;
            yorbAtGetPDPrincipalAttribs(principals[i], &attributes);
            yorbAtFree(attributes);
        }
        yorbAtFree(principals);
    }
    yorbAtFree(domain);
    yorbAtFree(registries);
    yorbAtTerminate(context);
}
BENCHMARK(BM_ListPrincipalsWithAttributes)->Arg(100)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
