// SPDX-License-Identifier: Apache-2.0
#include "support/PluginSessions.h"

#include "remote/RemoteLink.h"
#include "remote/RemoteLinkTesting.h"
#include "sim/QuorbitSim.h"
#include "target/QXCsePlugin.h"

namespace krvbench {

using CsePluginInterface::CSE_SUCCESS;
using CsePluginInterface::CsePlugin;

PluginSessions::~PluginSessions() {
    close();
}

CsePlugin* PluginSessions::at(int packetLength, Shifts shifts, std::string& error) {
    if (plugin_ && openPacketLength_ == packetLength && openShifts_ == shifts) return plugin_.get();
    close();
    if (!open(packetLength, shifts, error)) {
        close();
        return nullptr;
    }
    return plugin_.get();
}

bool PluginSessions::open(int packetLength, Shifts shifts, std::string& error) {
    std::unique_ptr<SimProcess>& simulator = simulators_[packetLength];
    if (!simulator) {
        simulator = std::make_unique<SimProcess>();
        if (!simulator->start(packetLength, error)) {
            simulator.reset();
            return false;
        }
    }
    // The target sets node and port itself; the packet length is the link's own item.
    if (KRV_SetConfigItem("PACKLEN=", std::to_string(packetLength).c_str()) != 0) {
        error = "packet length " + std::to_string(packetLength) + " refused by the link";
        return false;
    }
    plugin_ = std::make_unique<CsePluginInterface::QXCsePlugin>();
    const std::string port = "port=" + std::to_string(simulator->udpPort());
    const char* const argv[] = {"node=127.0.0.1", port.c_str(),
                                shifts == Shifts::Merged ? "shifts=merged" : "shifts=split"};
    if (plugin_->openTarget(3, argv, 0, 0) != CSE_SUCCESS) {
        error = "openTarget failed against quorbit-sim on port " + port;
        return false;
    }
    if (plugin_->lockTarget(0) != CSE_SUCCESS || plugin_->scanJTAGChain() != CSE_SUCCESS) {
        error = "lockTarget or scanJTAGChain failed";
        return false;
    }
    const quorbit::ChainDescription chain = quorbit::defaultDemoChain();
    if (plugin_->getDeviceCount() != chain.devices.size()) {
        error = "the scan found " + std::to_string(plugin_->getDeviceCount()) + " devices";
        return false;
    }
    for (uint32_t device = 0; device < chain.devices.size(); ++device) {
        if (plugin_->setIRLength(device, chain.devices[device].irLength) != CSE_SUCCESS) {
            error = "setIRLength failed";
            return false;
        }
    }
    openPacketLength_ = packetLength;
    openShifts_ = shifts;
    return true;
}

double PluginSessions::peerCpuSeconds() const {
    const auto simulator = simulators_.find(openPacketLength_);
    return simulator != simulators_.end() && simulator->second ? simulator->second->cpuSeconds()
                                                               : 0.0;
}

int PluginSessions::peerLastCpu() const {
    const auto simulator = simulators_.find(openPacketLength_);
    return simulator != simulators_.end() && simulator->second ? simulator->second->lastCpu() : -1;
}

void PluginSessions::close() {
    if (plugin_) {
        (void)plugin_->closeTarget();
        plugin_.reset();
    }
    KRV_Disconnect();
    openPacketLength_ = 0;
}

PluginSessions& pluginSessions() {
    static PluginSessions sessions;
    return sessions;
}

uint8_t remoteCallCount() {
    return LinkStateForTest().messageId;
}

}  // namespace krvbench
