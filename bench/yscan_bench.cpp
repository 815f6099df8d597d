// Y_sscanf against the C library's sscanf on the differential test's cases:
// every case of the table and the format families, and the hand-written
// table alone (the directive mixes real callers write). Prints the time
// ratio of each pair at the end of the run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "../tests/unit/yscan_cases.h"
#include "misc.h"

namespace {

using namespace yscan_cases;

const CaseFile &case_file() {
    static const CaseFile file = load_cases(YSCAN_CASES);
    return file;
}

const std::vector<ScanCase> &every_case() { return case_file().cases; }

// The single cases, which come before the format families in the file.
const std::vector<ScanCase> &table_cases() {
    static const std::vector<ScanCase> cases(every_case().begin(),
                                             every_case().begin() + static_cast<long>(case_file().singles));
    return cases;
}

void scan_all(benchmark::State &state, ScanFn fn, const std::vector<ScanCase> &cases) {
    Slots slots;
    for (auto _ : state) {
        int sum = 0;
        for (const ScanCase &c : cases) sum += slots.scan(fn, c.input, c.format);
        benchmark::DoNotOptimize(sum);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * cases.size()));
}

void BM_Y_sscanf_all(benchmark::State &s) { scan_all(s, &Y_sscanf, every_case()); }
void BM_sscanf_all(benchmark::State &s) { scan_all(s, &std::sscanf, every_case()); }
void BM_Y_sscanf_table(benchmark::State &s) { scan_all(s, &Y_sscanf, table_cases()); }
void BM_sscanf_table(benchmark::State &s) { scan_all(s, &std::sscanf, table_cases()); }

BENCHMARK(BM_Y_sscanf_all);
BENCHMARK(BM_sscanf_all);
BENCHMARK(BM_Y_sscanf_table);
BENCHMARK(BM_sscanf_table);

// Console output as usual, plus the CPU time of each run kept for the
// ratios.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs)
            if (run.run_type == Run::RT_Iteration) cpu_[run.benchmark_name()] = run.GetAdjustedCPUTime();
        ConsoleReporter::ReportRuns(runs);
    }
    void print_ratios() const {
        for (const char *set : {"all", "table"}) {
            auto ours = cpu_.find(std::string("BM_Y_sscanf_") + set);
            auto libc = cpu_.find(std::string("BM_sscanf_") + set);
            if (ours == cpu_.end() || libc == cpu_.end() || libc->second <= 0) continue;
            std::printf("Y_sscanf / sscanf time ratio (%s): %.2f\n", set, ours->second / libc->second);
        }
    }

private:
    std::map<std::string, double> cpu_;
};

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    std::printf("%zu cases, %zu of them hand-written\n", every_case().size(), table_cases().size());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_ratios();
    benchmark::Shutdown();
    return 0;
}
