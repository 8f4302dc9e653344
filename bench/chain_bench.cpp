// SPDX-License-Identifier: Apache-2.0
// quorbit-sim's virtual chain by itself: DR bits through the demo chain's three devices, with no
// link in front of it. The emulator must never be what limits the end-to-end figures.
#include <string>
#include <vector>

#include "BenchRegistry.h"
#include "sim/QuorbitSim.h"
#include "sim/VirtualChain.h"

namespace krvbench {
namespace {

constexpr uint32_t kChainShiftBits = 1048576;

void runChainShift(benchmark::State& state) {
    quorbit::VirtualChain chain(quorbit::defaultDemoChain());
    // Test-Logic-Reset -> Run-Test/Idle -> Select-DR-Scan -> Capture-DR -> Shift-DR.
    for (const bool tms : {false, true, false, false}) chain.clock(tms, false);
    if (chain.state() != quorbit::TapState::ShiftDr) {
        return failBenchmark(state, "the virtual chain did not reach Shift-DR");
    }
    const std::vector<uint8_t> tdi = patternBytes(kChainShiftBits / 8, 7);
    std::vector<uint8_t> tdo(tdi.size(), 0);
    for (auto _ : state) {
        chain.shift(kChainShiftBits, nullptr, tdi.data(), tdo.data(), false);
        benchmark::DoNotOptimize(tdo.data());
    }
    state.counters["bits_per_second"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kChainShiftBits, benchmark::Counter::kIsRate);
}

}  // namespace

void registerChainBenchmarks() {
    const std::string name = "sim/chain_dr/virtual_chain/bits:" + std::to_string(kChainShiftBits);
    benchmark::RegisterBenchmark(name.c_str(), runChainShift)->Unit(benchmark::kMicrosecond);
}

}  // namespace krvbench
