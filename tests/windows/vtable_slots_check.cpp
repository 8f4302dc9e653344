// SPDX-License-Identifier: Apache-2.0
// Every one of the 90 slots of the plug-in object, as the Windows build lays its table out: the
// Impl operations at 0..37, the single scalar-deleting-destructor entry at 38, the public
// operations at 39..89, and nothing in between. The slot host calls a few slots for real; this
// program checks the positions of all of them. Exit status 0 when all are in place.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <type_traits>
#include <vector>

#include "framework/CsePlugin.h"

namespace {

using namespace CsePluginInterface;

// MinGW keeps GCC's C++ ABI: a pointer to a virtual member holds 1 + the byte offset of its entry.
template <typename Member>
long tableIndexOf(Member member) {
    static_assert(sizeof(Member) == 2 * sizeof(void*), "pointer to member of GCC's ABI");
    std::uintptr_t representation = 0;
    std::memcpy(&representation, &member, sizeof representation);
    if ((representation & 1u) == 0) return -1;  // not virtual
    return static_cast<long>((representation - 1) / sizeof(void*));
}

struct Entry {
    int slot;
    long index;
};

using Navigate3 = CseResult (CsePlugin::*)(CseJtagTapState, uint32_t, uint32_t);
using Navigate2 = CseResult (CsePlugin::*)(CseJtagTapState, uint32_t);

// Derived only to name the protected Impls; never instantiated.
struct SlotProbe : CsePlugin {
    static std::vector<Entry> entries() {
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
            {38, tableIndexOf(&CsePlugin::scalarDeletingDestructor)},
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

// A virtual destructor would add entries of its own and push slots 39..89 out of place.
static_assert(!std::has_virtual_destructor<CsePlugin>::value,
              "the destructor is reached through slot 38 only");

}  // namespace

int main() {
    const std::vector<Entry> entries = SlotProbe::entries();
    int failures = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const Entry& entry = entries[i];
        if (entry.slot != static_cast<int>(i) || entry.index != entry.slot) {
            std::fprintf(stderr, "vtable_slots: slot %d is table entry %ld\n", entry.slot,
                         entry.index);
            ++failures;
        }
    }
    if (entries.size() != 90) {
        std::fprintf(stderr, "vtable_slots: %u slots listed, not 90\n",
                     static_cast<unsigned>(entries.size()));
        ++failures;
    }
    std::printf("vtable_slots: %u slots checked, %d out of place\n",
                static_cast<unsigned>(entries.size()), failures);
    return failures == 0 ? 0 : 1;
}
