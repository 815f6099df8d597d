// AVL tree against std::set: one million random 32-bit keys inserted, then
// every key looked up, in one run of both. The closing line prints the time
// ratios (AVL / std::set); on a shared machine the CPU ratio is the steadier.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "avl.h"

namespace {

constexpr size_t kKeys = 1000000;

const std::vector<uint32_t> &keys() {
    static const std::vector<uint32_t> k = [] {
        std::vector<uint32_t> v(kKeys);
        std::iota(v.begin(), v.end(), 1u);
        std::shuffle(v.begin(), v.end(), std::mt19937(12345));
        return v;
    }();
    return k;
}

void *word(uint32_t k) { return reinterpret_cast<void *>(static_cast<uintptr_t>(k)); }

void BM_avl_insert_lookup(benchmark::State &state) {
    const auto &k = keys();
    for (auto _ : state) {
        avl_tree *tree = AVLopen(nullptr, nullptr);
        for (uint32_t key : k) AVLinsert(tree, word(key));
        size_t found = 0;
        for (uint32_t key : k) found += AVLretrieve(tree, word(key)) != nullptr;
        benchmark::DoNotOptimize(found);
        if (found != kKeys) state.SkipWithError("lookup missed a key");
        state.PauseTiming();
        AVLclose(tree);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kKeys * 2));
}

void BM_std_set_insert_lookup(benchmark::State &state) {
    const auto &k = keys();
    for (auto _ : state) {
        auto *set = new std::set<uint32_t>;
        for (uint32_t key : k) set->insert(key);
        size_t found = 0;
        for (uint32_t key : k) found += set->count(key);
        benchmark::DoNotOptimize(found);
        if (found != kKeys) state.SkipWithError("lookup missed a key");
        state.PauseTiming();
        delete set;
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kKeys * 2));
}

BENCHMARK(BM_avl_insert_lookup)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_std_set_insert_lookup)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// Prints the usual table and remembers each benchmark's time per iteration.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs)
            if (!run.error_occurred && run.run_type == Run::RT_Iteration)
                times_[run.run_name.function_name] = {run.GetAdjustedRealTime(), run.GetAdjustedCPUTime()};
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        auto avl = times_.find("BM_avl_insert_lookup");
        auto set = times_.find("BM_std_set_insert_lookup");
        if (avl == times_.end() || set == times_.end() || set->second.first <= 0 || set->second.second <= 0) return;
        std::printf("AVL / std::set (1M inserts + 1M lookups): real time ratio %.2f, CPU time ratio %.2f\n",
                    avl->second.first / set->second.first, avl->second.second / set->second.second);
    }

private:
    std::map<std::string, std::pair<double, double>> times_;  // real, CPU
};

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
