// A host process is full of signals (timers, child exits, toolkits). With a signal every
// millisecond whose handler is installed without SA_RESTART, a whole session still succeeds with
// every TDO bit right: no wait of the link may end early.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>

#include <atomic>

#include "support/SimulatedTarget.h"

namespace {

using namespace targettest;

std::atomic<int> gSignals{0};

void countSignal(int) {
    gSignals.fetch_add(1, std::memory_order_relaxed);
}

// SIGALRM every millisecond for the caller's thread only: the emulator's thread, started while it
// was blocked, keeps it blocked.
class SignalStorm {
  public:
    SignalStorm() {
        struct sigaction action {};
        action.sa_handler = countSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;  // no SA_RESTART: every blocking call is cut short
        sigaction(SIGALRM, &action, &previous_);
        const itimerval every{{0, 1000}, {0, 1000}};
        setitimer(ITIMER_REAL, &every, nullptr);
    }
    ~SignalStorm() {
        const itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
        sigaction(SIGALRM, &previous_, nullptr);
    }
    SignalStorm(const SignalStorm&) = delete;
    SignalStorm& operator=(const SignalStorm&) = delete;

  private:
    struct sigaction previous_ {};
};

class SignalStormTest : public SimulatedTargetTest {
  protected:
    // Every reply is held back a little, so that signals land while the link waits for it.
    void startSimulatorWithoutSignals() {
        sigset_t alarm;
        sigemptyset(&alarm);
        sigaddset(&alarm, SIGALRM);
        pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
        quorbit::SimOptions options;
        options.faults.delayReplyMs = 3;
        startSimulator(options);
        pthread_sigmask(SIG_UNBLOCK, &alarm, nullptr);
    }

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
    startSimulatorWithoutSignals();
    gSignals = 0;
    const SignalStorm storm;
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
    EXPECT_GT(gSignals.load(), 0);
}

}  // namespace
