// SPDX-License-Identifier: Apache-2.0
// The benchmark groups and the little they share. Every group registers its benchmarks with
// names "<group>/<what>/<side>/<parameters>" that scripts/bench.sh pairs up into its table.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

namespace krvbench {

// Library against the floor through the whole stack, OpenOCD's counterpart and the client cost.
void registerEndToEndBenchmarks();
// The framework's own cost per device-level operation against a target that does nothing.
void registerFrameworkBenchmarks();
// quorbit-sim's virtual chain by itself.
void registerChainBenchmarks();

// Skips the benchmark with an error and makes the program's exit status say so.
void failBenchmark(benchmark::State& state, const std::string& why);
bool anyBenchmarkFailed();

// A reproducible pseudo-random bit stream of this many bytes.
std::vector<uint8_t> patternBytes(size_t count, uint32_t seed);

}  // namespace krvbench
