// SPDX-License-Identifier: Apache-2.0
// The host calls the plug-in by slot number, so every virtual function must sit in its slot.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

#include "framework/CsePlugin.h"

namespace {

using namespace CsePluginInterface;

// On the Itanium C++ ABI (GCC, Clang) a pointer to a virtual member holds 1 + the byte offset of
// its entry in the table of virtual functions.
template <typename Member>
std::ptrdiff_t tableIndexOf(Member member) {
    static_assert(sizeof(Member) == 2 * sizeof(void*), "pointer to member of the Itanium ABI");
    std::uintptr_t representation = 0;
    std::memcpy(&representation, &member, sizeof representation);
    if ((representation & 1u) == 0) return -1;  // not a virtual function
    return static_cast<std::ptrdiff_t>((representation - 1) / sizeof(void*));
}

using SlotTable = std::vector<std::pair<int, std::ptrdiff_t>>;

using Navigate3 = CseResult (CsePlugin::*)(CseJtagTapState, uint32_t, uint32_t);
using Navigate2 = CseResult (CsePlugin::*)(CseJtagTapState, uint32_t);

// Derived only to name the protected Impls; never instantiated.
struct SlotProbe : CsePlugin {
    static SlotTable slots() {
        return {
            {0, tableIndexOf(&SlotProbe::initializeTargetImpl)},
            {1, tableIndexOf(&SlotProbe::openTargetImpl)},
            {2, tableIndexOf(&SlotProbe::closeTargetImpl)},
            {3, tableIndexOf(static_cast<Navigate3>(&SlotProbe::navigateTAPImpl))},
            {4, tableIndexOf(static_cast<Navigate2>(&SlotProbe::navigateTAPImpl))},
            {5, tableIndexOf(&SlotProbe::initializeTAPImpl)},
            {6, tableIndexOf(&SlotProbe::shiftChainIRImpl)},
            {7, tableIndexOf(&SlotProbe::shiftChainDRImpl)},
            {8, tableIndexOf(&SlotProbe::readChainIRImpl)},
            {9, tableIndexOf(&SlotProbe::writeChainIRImpl)},
            {10, tableIndexOf(&SlotProbe::readChainDRImpl)},
            {11, tableIndexOf(&SlotProbe::writeChainDRImpl)},
            {12, tableIndexOf(&SlotProbe::readDeviceIRImpl)},
            {13, tableIndexOf(&SlotProbe::writeDeviceIRImpl)},
            {14, tableIndexOf(&SlotProbe::shiftDeviceIRImpl)},
            {15, tableIndexOf(&SlotProbe::readDeviceDRImpl)},
            {16, tableIndexOf(&SlotProbe::writeDeviceDRImpl)},
            {17, tableIndexOf(&SlotProbe::shiftDeviceDRImpl)},
            {18, tableIndexOf(&SlotProbe::isConnectedImpl)},
            {19, tableIndexOf(&SlotProbe::getTAPStateImpl)},
            {20, tableIndexOf(&SlotProbe::lockTargetImpl)},
            {21, tableIndexOf(&SlotProbe::unlockTargetImpl)},
            {22, tableIndexOf(&SlotProbe::cleanLocksImpl)},
            {23, tableIndexOf(&SlotProbe::flushImpl)},
            {24, tableIndexOf(&SlotProbe::setPinImpl)},
            {25, tableIndexOf(&SlotProbe::getPinImpl)},
            {26, tableIndexOf(&SlotProbe::pulsePinImpl)},
            {27, tableIndexOf(&SlotProbe::waitTimeImpl)},
            {28, tableIndexOf(&SlotProbe::setWaitTimeAndRetriesImpl)},
            {29, tableIndexOf(&SlotProbe::getTargetInfoImpl)},
            {30, tableIndexOf(&SlotProbe::sendCommandImpl)},
            {31, tableIndexOf(&SlotProbe::setOptionImpl)},
            {32, tableIndexOf(&SlotProbe::getOptionImpl)},
            {33, tableIndexOf(&SlotProbe::isFileOutputImpl)},
            {34, tableIndexOf(&SlotProbe::writeCommentImpl)},
            {35, tableIndexOf(&SlotProbe::writeHeaderImpl)},
            {36, tableIndexOf(&SlotProbe::scanEndStateImpl)},
            {37, tableIndexOf(&SlotProbe::startOperationImpl)},
            {39, tableIndexOf(&CsePlugin::initializeTarget)},
            {40, tableIndexOf(&CsePlugin::openTarget)},
            {41, tableIndexOf(&CsePlugin::closeTarget)},
            {42, tableIndexOf(&CsePlugin::isOpened)},
            {43, tableIndexOf(&CsePlugin::isConnected)},
            {44, tableIndexOf(&CsePlugin::scanJTAGChain)},
            {45, tableIndexOf(&CsePlugin::fileScanJTAGChain)},
            {46, tableIndexOf(&CsePlugin::targetScanJTAGChain)},
            {47, tableIndexOf(&CsePlugin::getDeviceCount)},
            {48, tableIndexOf(&CsePlugin::setDeviceCount)},
            {49, tableIndexOf(&CsePlugin::getIRLength)},
            {50, tableIndexOf(&CsePlugin::setIRLength)},
            {51, tableIndexOf(&CsePlugin::getDeviceID)},
            {52, tableIndexOf(&CsePlugin::setDeviceID)},
            {53, tableIndexOf(&CsePlugin::getTargetInfo)},
            {54, tableIndexOf(&CsePlugin::setHandle)},
            {55, tableIndexOf(&CsePlugin::setClientData)},
            {56, tableIndexOf(&CsePlugin::lockTarget)},
            {57, tableIndexOf(&CsePlugin::unlockTarget)},
            {58, tableIndexOf(&CsePlugin::cleanLocks)},
            {59, tableIndexOf(&CsePlugin::setLocked)},
            {60, tableIndexOf(&CsePlugin::getTAPState)},
            {61, tableIndexOf(&CsePlugin::initializeTAP)},
            {62, tableIndexOf(static_cast<Navigate3>(&CsePlugin::navigateTAP))},
            {63, tableIndexOf(static_cast<Navigate2>(&CsePlugin::navigateTAP))},
            {64, tableIndexOf(&CsePlugin::readChainIR)},
            {65, tableIndexOf(&CsePlugin::writeChainIR)},
            {66, tableIndexOf(&CsePlugin::shiftChainIR)},
            {67, tableIndexOf(&CsePlugin::readChainDR)},
            {68, tableIndexOf(&CsePlugin::writeChainDR)},
            {69, tableIndexOf(&CsePlugin::shiftChainDR)},
            {70, tableIndexOf(&CsePlugin::readDeviceIR)},
            {71, tableIndexOf(&CsePlugin::writeDeviceIR)},
            {72, tableIndexOf(&CsePlugin::shiftDeviceIR)},
            {73, tableIndexOf(&CsePlugin::readDeviceDR)},
            {74, tableIndexOf(&CsePlugin::writeDeviceDR)},
            {75, tableIndexOf(&CsePlugin::shiftDeviceDR)},
            {76, tableIndexOf(&CsePlugin::flush)},
            {77, tableIndexOf(&CsePlugin::setPin)},
            {78, tableIndexOf(&CsePlugin::getPin)},
            {79, tableIndexOf(&CsePlugin::pulsePin)},
            {80, tableIndexOf(&CsePlugin::waitTime)},
            {81, tableIndexOf(&CsePlugin::setWaitTimeAndRetries)},
            {82, tableIndexOf(&CsePlugin::sendCommand)},
            {83, tableIndexOf(&CsePlugin::setOption)},
            {84, tableIndexOf(&CsePlugin::getOption)},
            {85, tableIndexOf(&CsePlugin::isFileOutput)},
            {86, tableIndexOf(&CsePlugin::writeComment)},
            {87, tableIndexOf(&CsePlugin::writeHeader)},
            {88, tableIndexOf(&CsePlugin::scanEndState)},
            {89, tableIndexOf(&CsePlugin::startOperation)},
        };
    }
};

TEST(VtableLayout, EveryOperationSitsInItsSlot) {
    const SlotTable slots = SlotProbe::slots();
    ASSERT_EQ(slots.size(), 89u);  // 90 slots, the destructor's is checked below
    for (const auto& [slot, index] : slots) {
        // The destructor at slot 38 takes two entries on this ABI, shifting the public ones by one.
        const std::ptrdiff_t expected = slot < 38 ? slot : slot + 1;
        EXPECT_EQ(index, expected) << "slot " << slot;
    }
}

TEST(VtableLayout, DestructorTakesTheTwoEntriesAfterSlot37) {
    std::vector<bool> taken(91, false);
    for (const auto& [slot, index] : SlotProbe::slots()) {
        ASSERT_GE(index, 0) << "slot " << slot << " is not virtual";
        ASSERT_LT(index, 91) << "slot " << slot;
        EXPECT_FALSE(taken[static_cast<size_t>(index)]) << "two operations share entry " << index;
        taken[static_cast<size_t>(index)] = true;
    }
    EXPECT_FALSE(taken[38]);
    EXPECT_FALSE(taken[39]);
    EXPECT_TRUE(std::has_virtual_destructor<CsePlugin>::value);
}

TEST(VtableLayout, NonVirtualHelpersAreNotInTheTable) {
    EXPECT_EQ(tableIndexOf(&CsePlugin::maskBuffer), -1);
    EXPECT_EQ(tableIndexOf(&CsePlugin::getIRHeadingPadBits), -1);
    EXPECT_EQ(tableIndexOf(&CsePlugin::getDRTrailingPadBits), -1);
}

}  // namespace
