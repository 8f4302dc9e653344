// SPDX-License-Identifier: Apache-2.0
// A host process is full of signals (timers, child exits, toolkits). With a signal every
// millisecond whose handler is installed without SA_RESTART, a whole session still succeeds with
// every TDO bit right: no wait of the link may end early.
#include <gtest/gtest.h>

#include "SignalStorm.h"
#include "support/SimulatedTarget.h"

namespace {

using namespace targettest;

class SignalStormTest : public SimulatedTargetTest {
  protected:
    // A chain DR shift through the three bypass registers.
    void expectBypassShift(uint32_t bitCount, uint32_t seed) {
        const std::vector<uint8_t> tdi = patternBytes((bitCount + 7) / 8, seed);
        std::vector<uint8_t> tdo(tdi.size(), 0);
        ASSERT_EQ(plugin->shiftChainDR(tdi.data(), tdo.data(), nullptr, nullptr, bitCount,
                                       CSEJTAG_RUN_TEST_IDLE, 0, 0),
                  CSE_SUCCESS)
            << bitCount;
        EXPECT_EQ(bypassMismatches(tdi, tdo, bitCount, 3), 0u) << bitCount;
    }
};

TEST_F(SignalStormTest, SessionSucceedsWithEveryBitRight) {
    soak::SignalStorm::blockForNewThreads();
    quorbit::SimOptions options;
    options.faults.delayReplyMs = 3;  // so that signals land while the link waits
    startSimulator(options);
    const uint64_t before = soak::SignalStorm::delivered();
    const soak::SignalStorm storm(1000);
    ASSERT_EQ(openTarget(), CSE_SUCCESS);
    ASSERT_EQ(plugin->lockTarget(0), CSE_SUCCESS);
    ASSERT_EQ(plugin->scanJTAGChain(), CSE_SUCCESS);
    ASSERT_EQ(plugin->getDeviceCount(), 3u);
    EXPECT_EQ(plugin->getDeviceID(1), 0x27A31EFFu);
    // Navigations with waits: the framework's sleeps and the link's waits side by side.
    EXPECT_EQ(plugin->navigateTAP(CSEJTAG_PAUSE_DR, 8, 20000), CSE_SUCCESS);
    EXPECT_EQ(plugin->navigateTAP(CSEJTAG_RUN_TEST_IDLE, 100, 5000), CSE_SUCCESS);
    EXPECT_EQ(simulatorState(), CSEJTAG_RUN_TEST_IDLE);
    const std::vector<uint8_t> ones(3, 0xFF);
    ASSERT_EQ(plugin->shiftChainIR(ones.data(), nullptr, nullptr, nullptr, 18,
                                   CSEJTAG_RUN_TEST_IDLE, 0, 0),
              CSE_SUCCESS);
    expectBypassShift(32, 1);
    expectBypassShift(4000, 2);
    expectBypassShift(300000, 3);
    EXPECT_EQ(plugin->closeTarget(), CSE_SUCCESS);
    EXPECT_GT(soak::SignalStorm::delivered(), before);
}

}  // namespace
