// Host lookups through the cache against the resolver itself, on one entry
// of /etc/hosts ("localhost", present on every machine). A cached lookup
// still hands out a deep copy, so its cost is the scan plus the copy and its
// release; the resolver opens and reads /etc/hosts every time. The ratio of
// the two rates is printed at the end.
#include <benchmark/benchmark.h>
#include <netdb.h>

#include <cstdio>
#include <map>
#include <string>

#include "ynet.h"

namespace {

constexpr const char *kName = "localhost";

void BM_cached_gethostbyname(benchmark::State &state) {
    struct hostent *entry = nullptr;
    if (ynet_cached_gethostbyname(kName, &entry) != 0) {
        state.SkipWithError("localhost does not resolve");
        return;
    }
    ynet_free_hostent(&entry);
    for (auto _ : state) {
        int status = ynet_cached_gethostbyname(kName, &entry);
        benchmark::DoNotOptimize(status);
        benchmark::DoNotOptimize(entry);
        ynet_free_hostent(&entry);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_cached_gethostbyname);

void BM_gethostbyname(benchmark::State &state) {
    for (auto _ : state) {
        struct hostent *entry = gethostbyname(kName);
        if (entry == nullptr) {
            state.SkipWithError("localhost does not resolve");
            break;
        }
        benchmark::DoNotOptimize(entry);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_gethostbyname);

// Prints the usual table and remembers each benchmark's time per lookup.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs)
            if (!run.error_occurred && run.iterations > 0)
                seconds_[run.benchmark_name()] =
                    run.real_accumulated_time / static_cast<double>(run.iterations);
        ConsoleReporter::ReportRuns(runs);
    }
    void print_ratio() const {
        auto cached = seconds_.find("BM_cached_gethostbyname");
        auto plain = seconds_.find("BM_gethostbyname");
        if (cached == seconds_.end() || plain == seconds_.end() || cached->second <= 0) return;
        std::printf("cached lookups: %.0f/s, gethostbyname: %.0f/s, ratio %.1f\n",
                    1.0 / cached->second, 1.0 / plain->second, plain->second / cached->second);
    }

private:
    std::map<std::string, double> seconds_;
};

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_ratio();
    benchmark::Shutdown();
    return 0;
}
