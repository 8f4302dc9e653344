// SPDX-License-Identifier: Apache-2.0
#include "support/PlacementProbe.h"

#include <sched.h>

namespace krvbench {
namespace {

constexpr uint64_t kSampleEvery = 16;

}  // namespace

void PlacementProbe::iteration(benchmark::State& state) {
    if (iterations_++ % kSampleEvery != 0) return;
    state.PauseTiming();
    const int peer = peerCpu_();
    if (peer >= 0) {
        ++samples_;
        if (peer == sched_getcpu()) ++sameCpu_;
    }
    state.ResumeTiming();
}

void PlacementProbe::report(benchmark::State& state) const {
    if (samples_ == 0) return;
    state.counters["same_cpu"] = static_cast<double>(sameCpu_) / static_cast<double>(samples_);
}

}  // namespace krvbench
