// SPDX-License-Identifier: Apache-2.0
// The plug-in through the whole stack (library -> UDP loopback -> quorbit-sim process -> virtual
// chain -> back) next to the floor: the very same datagram sequence, recorded from the library
// and replayed by a minimal client and peer with no logic of their own.
#include <cstdio>
#include <string>

#include "BenchRegistry.h"
#include "framework/CallbackRecord.h"
#include "remote/RemoteLink.h"
#include "remote/RemoteLinkTesting.h"
#include "support/AllocationCounter.h"
#include "support/FloorClient.h"
#include "support/HostCall.h"
#include "support/HostCallbacks.h"
#include "support/PlacementProbe.h"
#include "support/PluginSessions.h"
#include "support/WireRecorder.h"

namespace krvbench {
namespace {

constexpr int kPacketLengths[] = {1024, 1472};
constexpr uint32_t kChainShiftBits[] = {32, 1024, 122816, 1048576};
// The link's default packet length: what the plug-in uses unless configured otherwise.
constexpr int kDefaultPacketLength = 1024;
// The length of the DR shift compared with OpenOCD over remote_bitbang.
constexpr uint32_t kOpenOcdShiftBits = 100000;
// A fixed number of calls, so that callgrind's count divides exactly.
constexpr int kClientCostCalls = 8;

// The peer's CPU time (emulator or floor peer) is read from the system in clock ticks, so it is
// meaningful only over runs of many calls.
void reportCounters(benchmark::State& state, const CallSetup& setup, uint64_t roundTrips,
                    double peerCpuSeconds) {
    const double iterations = static_cast<double>(state.iterations());
    state.counters["bits_per_second"] =
        benchmark::Counter(iterations * setup.bitCount, benchmark::Counter::kIsRate);
    state.counters["round_trips"] =
        benchmark::Counter(static_cast<double>(roundTrips), benchmark::Counter::kAvgIterations);
    state.counters["peer_cpu_us"] =
        benchmark::Counter(peerCpuSeconds * 1e6, benchmark::Counter::kAvgIterations);
}

CsePluginInterface::CsePlugin* preparedPlugin(benchmark::State& state, HostCall& call,
                                              const CallSetup& setup) {
    std::string error;
    CsePluginInterface::CsePlugin* plugin =
        pluginSessions().at(setup.packetLength, setup.shifts, error);
    if (plugin == nullptr || !call.prepare(*plugin, error)) {
        failBenchmark(state, error);
        return nullptr;
    }
    return plugin;
}

void runLibrary(benchmark::State& state, CallSetup setup) {
    const ScopedHostCallbacks callbacks(setup.hostCallbacks);
    HostCall call(setup);
    CsePluginInterface::CsePlugin* plugin = preparedPlugin(state, call, setup);
    if (plugin == nullptr) return;
    uint64_t roundTrips = 0;
    uint64_t allocations = 0;
    const double peerCpuBefore = pluginSessions().peerCpuSeconds();
    PlacementProbe placement([] { return pluginSessions().peerLastCpu(); });
    for (auto _ : state) {
        placement.iteration(state);
        const uint8_t callsBefore = remoteCallCount();
        const uint64_t allocationsBefore = allocationCount();
        if (!call(*plugin)) {
            failBenchmark(state, "the host call failed");
            break;
        }
        allocations += allocationCount() - allocationsBefore;
        roundTrips += static_cast<uint8_t>(remoteCallCount() - callsBefore);
    }
    reportCounters(state, setup, roundTrips, pluginSessions().peerCpuSeconds() - peerCpuBefore);
    placement.report(state);
    state.counters["allocations"] =
        benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
    // callgrind counts every call of the function, the checking one in prepare too.
    state.counters["calls_made"] = static_cast<double>(call.callsMade());
}

void runFloor(benchmark::State& state, CallSetup setup, FloorWaits waits) {
    HostCall call(setup);
    CsePluginInterface::CsePlugin* plugin = preparedPlugin(state, call, setup);
    if (plugin == nullptr) return;
    bool recordedCallWorked = false;
    const uint8_t callsBefore = remoteCallCount();
    const WireScript script = recordWire([&] { recordedCallWorked = call(*plugin); }).script;
    const auto roundTripsPerCall = static_cast<uint8_t>(remoteCallCount() - callsBefore);
    std::string error;
    if (!recordedCallWorked || !floorClient().load(script, waits, error)) {
        failBenchmark(state, recordedCallWorked ? error : "the recorded host call failed");
        return;
    }
    const double peerCpuBefore = floorClient().peerCpuSeconds();
    PlacementProbe placement([] { return floorClient().peerLastCpu(); });
    for (auto _ : state) {
        placement.iteration(state);
        if (!floorClient().run()) {
            failBenchmark(state, "the floor exchange lost a datagram");
            break;
        }
    }
    reportCounters(state, setup, roundTripsPerCall * state.iterations(),
                   floorClient().peerCpuSeconds() - peerCpuBefore);
    placement.report(state);
    state.counters["datagrams"] = static_cast<double>(script.size());
}

// For the duration of a replay the library's peer is the floor's peer; afterwards it talks to
// quorbit-sim again, resynchronised (the replay moved both sequence numbers on).
class ReplayRedirect {
  public:
    explicit ReplayRedirect(uint16_t floorPeerPort)
        : savedPeer_(gRemoteLink.peerAddress), savedAnswerer_(gRemoteLink.answerAddress) {
        gRemoteLink.peerAddress = {0x7F000001u, floorPeerPort};
        gRemoteLink.answerAddress = gRemoteLink.peerAddress;
    }
    ~ReplayRedirect() {
        gRemoteLink.peerAddress = savedPeer_;
        gRemoteLink.answerAddress = savedAnswerer_;
        (void)KRV_Connect();
    }
    ReplayRedirect(const ReplayRedirect&) = delete;
    ReplayRedirect& operator=(const ReplayRedirect&) = delete;

  private:
    LinkAddress savedPeer_;
    LinkAddress savedAnswerer_;
};

// The library against the floor's own peer replaying what quorbit-sim answered: the client's
// cost alone, without the emulator's work per request.
void runLibraryReplay(benchmark::State& state, CallSetup setup) {
    HostCall call(setup);
    CsePluginInterface::CsePlugin* plugin = preparedPlugin(state, call, setup);
    if (plugin == nullptr) return;
    bool recordedCallWorked = false;
    const uint8_t callsBefore = remoteCallCount();
    WireRecording recording = recordWire([&] { recordedCallWorked = call(*plugin); });
    const auto roundTripsPerCall = static_cast<uint8_t>(remoteCallCount() - callsBefore);
    const RemoteLinkState& link = LinkStateForTest();
    ReplayScript replay;
    replay.script = std::move(recording.script);
    replay.peerHeads = std::move(recording.peerHeads);
    replay.firstSequence = link.receiveSequence;
    replay.lastToggle = link.replyToggle == 1 ? 1 : 0;
    std::string error;
    if (!recordedCallWorked || !floorClient().loadReplay(replay, error)) {
        failBenchmark(state, recordedCallWorked ? error : "the recorded host call failed");
        return;
    }
    const ReplayRedirect redirect(floorClient().peerPort());
    const double peerCpuBefore = floorClient().peerCpuSeconds();
    PlacementProbe placement([] { return floorClient().peerLastCpu(); });
    for (auto _ : state) {
        placement.iteration(state);
        if (!call(*plugin)) {
            failBenchmark(state, "the host call failed against the replaying peer");
            break;
        }
    }
    reportCounters(state, setup, roundTripsPerCall * state.iterations(),
                   floorClient().peerCpuSeconds() - peerCpuBefore);
    placement.report(state);
}

std::string nameOf(const char* what, const char* side, const CallSetup& setup) {
    char name[160];
    std::snprintf(name, sizeof name, "e2e/%s/%s/bits:%u/packlen:%d", what, side, setup.bitCount,
                  setup.packetLength);
    return name;
}

enum class Compare { Floor, FloorAndMerged, MergedOnly };

// Registered in this order so that each comparison runs back to back: the library against
// quorbit-sim, with shifts=merged (where asked), with a typical host's callbacks (where asked),
// against the replaying peer, then the floor.
void registerPair(const char* what, const CallSetup& setup, bool withCallbacks = false,
                  Compare compare = Compare::Floor) {
    benchmark::RegisterBenchmark(nameOf(what, "library", setup).c_str(), runLibrary, setup)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
    if (compare != Compare::Floor) {
        CallSetup merged = setup;
        merged.shifts = Shifts::Merged;
        benchmark::RegisterBenchmark(nameOf(what, "library_merged", setup).c_str(), runLibrary,
                                     merged)
            ->UseRealTime()
            ->Unit(benchmark::kMicrosecond);
        if (compare == Compare::MergedOnly) return;
    }
    if (withCallbacks) {
        CallSetup listened = setup;
        listened.hostCallbacks = HostCallbacks::Formatting;
        benchmark::RegisterBenchmark(nameOf(what, "library_callbacks", setup).c_str(), runLibrary,
                                     listened)
            ->UseRealTime()
            ->Unit(benchmark::kMicrosecond);
    }
    benchmark::RegisterBenchmark(nameOf(what, "library_replay", setup).c_str(), runLibraryReplay,
                                 setup)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(nameOf(what, "floor", setup).c_str(), runFloor, setup,
                                 FloorWaits::Blocking)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(nameOf(what, "floor_polled", setup).c_str(), runFloor, setup,
                                 FloorWaits::Polled)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
}

}  // namespace

void registerEndToEndBenchmarks() {
    // Grouped by packet length: the plug-in reconnects when it changes.
    for (const int packetLength : kPacketLengths) {
        const bool byDefault = packetLength == kDefaultPacketLength;
        for (const uint32_t bits : kChainShiftBits) {
            // shifts=merged against split at the default packet length, except for 1 Kbit.
            const Compare compare =
                byDefault && bits != 1024 ? Compare::FloorAndMerged : Compare::Floor;
            registerPair("chain_dr", {CallKind::ChainDR, bits, packetLength},
                         byDefault && bits == 1024, compare);
        }
        if (!byDefault) continue;
        registerPair("navigate", {CallKind::Navigate, 0, packetLength}, true);
        registerPair("navigate_clocks", {CallKind::NavigateClocks, 0, packetLength}, false,
                     Compare::MergedOnly);
        registerPair("idcode", {CallKind::IdcodeRead, 32, packetLength}, false,
                     Compare::FloorAndMerged);
        registerPair("device_dr", {CallKind::DeviceDR, kOpenOcdShiftBits, packetLength});
        const CallSetup cost = {CallKind::ChainDR, 1048576, packetLength};
        benchmark::RegisterBenchmark(nameOf("chain_dr", "client_cost", cost).c_str(), runLibrary,
                                     cost)
            ->UseRealTime()
            ->Unit(benchmark::kMicrosecond)
            ->Iterations(kClientCostCalls);
    }
}

}  // namespace krvbench
