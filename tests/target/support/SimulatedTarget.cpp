// SPDX-License-Identifier: Apache-2.0
#include "support/SimulatedTarget.h"

#include "remote/RemoteLink.h"
#include "remote/RemoteLinkTesting.h"

namespace targettest {

void SimulatedTargetTest::SetUp() {
    // The link is process-wide; every test starts from a closed link with normal settings.
    KRV_Disconnect();
    LinkSetTimeoutsForTest(0, 0);
    LinkSetSocketOpsForTest(nullptr);
}

void SimulatedTargetTest::TearDown() {
    plugin.reset();
    KRV_Disconnect();
    LinkSetTimeoutsForTest(0, 0);
    LinkSetSocketOpsForTest(nullptr);
    if (simulator) simulator->stop();
}

void SimulatedTargetTest::startSimulator(quorbit::SimOptions options) {
    options.port = 0;
    simulator = std::make_unique<quorbit::Simulator>(std::move(options));
    std::string error;
    ASSERT_TRUE(simulator->start(error)) << error;
    plugin = std::make_unique<QXCsePlugin>();
    recorder.clear();  // the constructor's lines are not what tests look at
}

CseResult SimulatedTargetTest::openTarget(const std::string& node) {
    const std::string port = "port=" + std::to_string(simulator->udpPort());
    const std::string nodeArgument = "node=" + node;
    const char* const argv[] = {nodeArgument.c_str(), port.c_str()};
    return plugin->openTarget(2, argv, 0, 0);
}

void SimulatedTargetTest::openAndLock() {
    ASSERT_EQ(openTarget(), CSE_SUCCESS);
    ASSERT_EQ(plugin->lockTarget(0), CSE_SUCCESS);
    simulator->resetInspection();
    recorder.clear();
}

CseJtagTapState SimulatedTargetTest::simulatorState() const {
    return static_cast<CseJtagTapState>(simulator->tapState());
}

uint32_t bypassMismatches(const std::vector<uint8_t>& tdi, const std::vector<uint8_t>& tdo,
                          uint32_t bitCount, uint32_t delay) {
    uint32_t mismatches = 0;
    for (uint32_t bit = 0; bit < bitCount; ++bit) {
        const bool expected = bit >= delay && bitOf(tdi, bit - delay);
        if (bitOf(tdo, bit) != expected) ++mismatches;
    }
    return mismatches;
}

std::vector<uint8_t> patternBytes(size_t count, uint32_t seed) {
    std::vector<uint8_t> bytes(count);
    uint32_t state = seed * 2654435761u + 1;
    for (uint8_t& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<uint8_t>(state);
    }
    return bytes;
}

}  // namespace targettest
