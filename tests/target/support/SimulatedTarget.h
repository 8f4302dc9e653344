// SPDX-License-Identifier: Apache-2.0
// A QXCsePlugin wired to a quorbit-sim running in the test process on an ephemeral port.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/QuorbitSim.h"
#include "support/TargetRecorder.h"
#include "target/QXCsePlugin.h"

namespace targettest {

using namespace CsePluginInterface;

class SimulatedTargetTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the emulator with these options (port forced to 0) and creates the plug-in object.
    void startSimulator(quorbit::SimOptions options = quorbit::SimOptions());
    // openTarget with this node (127.0.0.1 by default) and the emulator's port.
    CseResult openTarget(const std::string& node = "127.0.0.1");
    // openTarget and lockTarget, both expected to succeed; the emulator's logs are cleared after.
    void openAndLock();
    // The raw shifts the emulator executed since the last resetInspection.
    std::vector<quorbit::RawShiftRecord> rawShifts() const { return simulator->rawShifts(); }
    // The emulator's TAP state as the plug-in's state code.
    CseJtagTapState simulatorState() const;

    TargetRecorder recorder;
    std::unique_ptr<quorbit::Simulator> simulator;
    std::unique_ptr<QXCsePlugin> plugin;
};

// Bit k of a bit buffer.
inline bool bitOf(const std::vector<uint8_t>& buffer, size_t bit) {
    return ((buffer[bit / 8] >> (bit % 8)) & 1u) != 0;
}

// TDO bits that differ from the TDI bits `delay` places earlier (the first `delay` bits are the
// bypass registers' zeros).
uint32_t bypassMismatches(const std::vector<uint8_t>& tdi, const std::vector<uint8_t>& tdo,
                          uint32_t bitCount, uint32_t delay);

// A reproducible pseudo-random byte stream.
std::vector<uint8_t> patternBytes(size_t count, uint32_t seed);

}  // namespace targettest
