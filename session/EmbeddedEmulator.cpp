// SPDX-License-Identifier: Apache-2.0
#include "session/EmbeddedEmulator.h"

#include "sim/QuorbitSim.h"

namespace csesession {

EmbeddedEmulator::EmbeddedEmulator() = default;

EmbeddedEmulator::~EmbeddedEmulator() {
    if (simulator_) simulator_->stop();
}

EmbeddedEmulator::StartResult EmbeddedEmulator::start(const std::string& chainPath,
                                                      const std::string& boardFaults,
                                                      std::string& error) {
    quorbit::SimOptions options;
    options.bindAddress = node();
    options.port = requestedPort_;  // 0: a free port, so several runs can share the machine
    options.pcapPath = pcapPath_;
    if (!chainPath.empty() && !quorbit::parseChainFile(chainPath, options.chain, error)) {
        return StartResult::kBadChain;
    }
    if (!boardFaults.empty() &&
        (!quorbit::parseBoardFaults(boardFaults, options.boardFaults, error) ||
         !quorbit::checkBoardFaults(options.boardFaults, options.chain, error))) {
        error = "--sim-board-fault: " + error;
        return StartResult::kBadChain;
    }
    simulator_ = std::make_unique<quorbit::Simulator>(std::move(options));
    if (!simulator_->start(error)) {
        simulator_.reset();
        return StartResult::kFailed;
    }
    return StartResult::kStarted;
}

uint16_t EmbeddedEmulator::port() const {
    return simulator_ ? simulator_->udpPort() : 0;
}

}  // namespace csesession
