// SPDX-License-Identifier: Apache-2.0
// The framework's own cost per device-level operation: the public operation with its trace, the
// padding of the device's bits into a chain-wide stream and the copy back, against a target
// whose chain Impls do nothing.
#include <string>
#include <vector>

#include "BenchRegistry.h"
#include "sim/QuorbitSim.h"
#include "support/AllocationCounter.h"
#include "support/NullTarget.h"

namespace krvbench {
namespace {

using namespace CsePluginInterface;

constexpr uint32_t kMiddleDevice = 1;
constexpr uint32_t kDeviceShiftBits[] = {32, 100000};

// Three devices with the demo chain's IR lengths, locked, as a host leaves a target.
bool prepareTarget(NullTarget& target) {
    const quorbit::ChainDescription chain = quorbit::defaultDemoChain();
    const char* const argv[] = {"node=none"};
    if (target.openTarget(1, argv, 0, 0) != CSE_SUCCESS || target.lockTarget(0) != CSE_SUCCESS ||
        target.setDeviceCount(static_cast<uint32_t>(chain.devices.size())) != CSE_SUCCESS) {
        return false;
    }
    for (uint32_t device = 0; device < chain.devices.size(); ++device) {
        if (target.setIRLength(device, chain.devices[device].irLength) != CSE_SUCCESS) return false;
    }
    return true;
}

void runDeviceShift(benchmark::State& state, uint32_t bitCount) {
    NullTarget target;
    if (!prepareTarget(target)) return failBenchmark(state, "the null target did not open");
    const std::vector<uint8_t> tdi = patternBytes((bitCount + 7) / 8, bitCount);
    std::vector<uint8_t> tdo(tdi.size(), 0);
    uint64_t allocations = 0;
    for (auto _ : state) {
        const uint64_t allocationsBefore = allocationCount();
        if (target.shiftDeviceDR(kMiddleDevice, tdi.data(), tdo.data(), nullptr, nullptr, bitCount,
                                 CSEJTAG_RUN_TEST_IDLE, 0, 0) != CSE_SUCCESS) {
            failBenchmark(state, "shiftDeviceDR failed");
            break;
        }
        allocations += allocationCount() - allocationsBefore;
        benchmark::DoNotOptimize(tdo.data());
    }
    state.counters["bits_per_second"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * bitCount, benchmark::Counter::kIsRate);
    state.counters["allocations"] =
        benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
}

void runNavigate(benchmark::State& state) {
    NullTarget target;
    if (!prepareTarget(target)) return failBenchmark(state, "the null target did not open");
    bool towardsPause = false;
    for (auto _ : state) {
        towardsPause = !towardsPause;
        if (target.navigateTAP(towardsPause ? CSEJTAG_PAUSE_DR : CSEJTAG_RUN_TEST_IDLE, 0) !=
            CSE_SUCCESS) {
            failBenchmark(state, "navigateTAP failed");
            break;
        }
    }
}

}  // namespace

void registerFrameworkBenchmarks() {
    for (const uint32_t bits : kDeviceShiftBits) {
        const std::string name = "framework/device_dr/null_target/bits:" + std::to_string(bits);
        benchmark::RegisterBenchmark(name.c_str(), runDeviceShift, bits)
            ->Unit(benchmark::kNanosecond);
    }
    benchmark::RegisterBenchmark("framework/navigate/null_target", runNavigate)
        ->Unit(benchmark::kNanosecond);
}

}  // namespace krvbench
