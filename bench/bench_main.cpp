// SPDX-License-Identifier: Apache-2.0
// krv-bench: all benchmarks of the plug-in in one run. scripts/bench.sh runs it, together with
// OpenOCD and callgrind, and turns the output into one table.
#include <benchmark/benchmark.h>

#include "BenchRegistry.h"
#include "support/Placement.h"

namespace krvbench {
namespace {

bool gFailed = false;

}  // namespace

void failBenchmark(benchmark::State& state, const std::string& why) {
    gFailed = true;
    state.SkipWithError(why.c_str());
}

bool anyBenchmarkFailed() {
    return gFailed;
}

std::vector<uint8_t> patternBytes(size_t count, uint32_t seed) {
    std::vector<uint8_t> bytes(count);
    uint32_t state = seed * 2654435761u + 1u;
    for (uint8_t& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<uint8_t>(state);
    }
    return bytes;
}

}  // namespace krvbench

int main(int argc, char** argv) {
    const krvbench::Placement& placement = krvbench::processPlacement();
    benchmark::AddCustomContext("placement", krvbench::describePlacement(placement));
    krvbench::registerEndToEndBenchmarks();
    krvbench::registerFrameworkBenchmarks();
    krvbench::registerChainBenchmarks();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return krvbench::anyBenchmarkFailed() ? 1 : 0;
}
