// SPDX-License-Identifier: Apache-2.0
// How the benchmark and its peer process were actually placed while a benchmark ran: now and
// then (outside the timed part) it notes whether both last ran on the same processor. On two
// cores this alone moves a round trip several-fold, so every end-to-end figure carries it.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <functional>

namespace krvbench {

class PlacementProbe {
  public:
    // peerCpu gives the processor the peer process last ran on (-1 when unknown).
    explicit PlacementProbe(std::function<int()> peerCpu) : peerCpu_(std::move(peerCpu)) {}

    // Called once per iteration inside the timed loop; samples every few iterations with the
    // timer paused.
    void iteration(benchmark::State& state);
    // Adds the counter "same_cpu": the share of samples with both on one processor.
    void report(benchmark::State& state) const;

  private:
    std::function<int()> peerCpu_;
    uint64_t iterations_ = 0;
    uint64_t samples_ = 0;
    uint64_t sameCpu_ = 0;
};

}  // namespace krvbench
