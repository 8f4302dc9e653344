// SPDX-License-Identifier: Apache-2.0
// The N-th allocation of a whole session fails, for every N the session has: no exception may
// leave the plug-in, nothing may be kept, and the plug-in still works afterwards.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "FailingAllocator.h"
#include "framework/CallbackRecord.h"
#include "framework/TargetFactory.h"
#include "remote/RemoteLink.h"
#include "remote/RemoteLinkTesting.h"
#include "sim/QuorbitSim.h"

namespace {

using namespace CsePluginInterface;

constexpr uint32_t kMiddleDeviceIdcode = 0x27A31EFF;  // the demo chain's device 1
constexpr uint64_t kMostAllocations = 10000;          // a session that never ends is a fault

void CSE_CALLCONV ignoreLog(uint32_t, const char* format, va_list args) {
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
}

struct SessionResult {
    bool completed = false;  // every call succeeded
    uint32_t idcode = 0;
};

// Every kind of call a host makes; stops at the first failure, as a host would.
SessionResult runSession(const std::string& port, const std::string& descriptionPath) {
    SessionResult result;
    CsePlugin* plugin = newTargetPlugin();
    if (plugin == nullptr) return result;
    const std::string node = "node=127.0.0.1";
    const std::string portArgument = "port=" + port;
    const char* const argv[] = {node.c_str(), portArgument.c_str()};
    const uint32_t irLengths[] = {6, 8, 4};
    const uint8_t idcodeInstruction = 0x0E;
    uint8_t tdo[4] = {};
    char option[16] = {};
    bool ok = plugin->openTarget(2, argv, 0, 0) == CSE_SUCCESS &&
              plugin->lockTarget(0) == CSE_SUCCESS &&
              plugin->fileScanJTAGChain(descriptionPath.c_str()) == CSE_SUCCESS &&
              plugin->scanJTAGChain() == CSE_SUCCESS;
    for (uint32_t device = 0; ok && device < 3; ++device) {
        ok = plugin->setIRLength(device, irLengths[device]) == CSE_SUCCESS;
    }
    ok = ok &&
         plugin->readDeviceDR(1, false, tdo, nullptr, 32, CSEJTAG_RUN_TEST_IDLE, 0, 0) ==
             CSE_SUCCESS &&
         plugin->shiftDeviceIR(1, &idcodeInstruction, nullptr, nullptr, nullptr, 8,
                               CSEJTAG_RUN_TEST_IDLE, 0, 0) == CSE_SUCCESS &&
         plugin->shiftDeviceDR(1, tdo, tdo, nullptr, nullptr, 32, CSEJTAG_PAUSE_DR, 0, 0) ==
             CSE_SUCCESS &&
         plugin->navigateTAP(CSEJTAG_RUN_TEST_IDLE, 16, 100) == CSE_SUCCESS;
    // The debugger target has no options; what counts is that asking fails cleanly.
    (void)plugin->setOption("speed", "fast");
    (void)plugin->getOption("speed", option, sizeof option);
    result.completed = ok && plugin->unlockTarget() == CSE_SUCCESS;
    if (plugin->isOpened() && plugin->closeTarget() != CSE_SUCCESS) result.completed = false;
    result.idcode =
        uint32_t{tdo[0]} | uint32_t{tdo[1]} << 8 | uint32_t{tdo[2]} << 16 | uint32_t{tdo[3]} << 24;
    delete plugin;
    // A failed open leaves the process-wide link open with its kept notifications until the next
    // open or the unload; closing it here ends what the session took.
    KRV_Disconnect();
    return result;
}

TEST(AllocationSweep, EveryFailingAllocationOfASessionFailsCleanly) {
    CsePluginCallbacks callbacks{};
    callbacks.logCallback = ignoreLog;
    CallbackRecord::replace(callbacks);
    // A notification before every reply: the link's kept copies are allocations of the session too.
    quorbit::SimOptions options;
    options.faults.notify = 1.0;
    quorbit::Simulator simulator{options};
    // A call that fails midway leaves its reply behind; later calls skip it within short waits.
    LinkSetTimeoutsForTest(100000, 200000);
    std::string error;
    ASSERT_TRUE(simulator.start(error)) << error;
    const std::string port = std::to_string(simulator.udpPort());
    const std::string descriptionPath = "/tmp/krv-sweep-" + std::to_string(getpid());
    std::FILE* file = std::fopen(descriptionPath.c_str(), "w");
    ASSERT_NE(file, nullptr);
    // Lines long enough that a copy of one would have to allocate.
    std::fputs("                        0x151C0EFF\n                        27a31eff\n", file);
    std::fclose(file);

    uint64_t failAt = 1;
    for (; failAt < kMostAllocations; ++failAt) {
        sweep::armAllocationFailure(failAt);
        try {
            (void)runSession(port, descriptionPath);
        } catch (...) {
            ADD_FAILURE() << "an exception left the plug-in when allocation " << failAt
                          << " failed";
        }
        sweep::disarmAllocationFailure();
        EXPECT_EQ(sweep::allocationsStillHeld(), 0) << "allocation " << failAt << " failed";
        if (!sweep::allocationFailureInjected()) break;  // the session has fewer allocations
    }
    EXPECT_LT(failAt, kMostAllocations);
    EXPECT_GT(failAt, 4u) << "the object, the option text and the padding buffers at least";
    std::printf("[ figures  ] %llu allocations in a session, each failed once\n",
                static_cast<unsigned long long>(failAt - 1));

    // The last round had no failure: the whole session must have worked.
    sweep::armAllocationFailure(0);
    const SessionResult clean = runSession(port, descriptionPath);
    sweep::disarmAllocationFailure();
    EXPECT_TRUE(clean.completed);
    EXPECT_EQ(clean.idcode, kMiddleDeviceIdcode);
    EXPECT_EQ(sweep::allocationsStillHeld(), 0);
    std::remove(descriptionPath.c_str());
    LinkSetTimeoutsForTest(0, 0);
    CallbackRecord::replace(CsePluginCallbacks{});
}

}  // namespace
