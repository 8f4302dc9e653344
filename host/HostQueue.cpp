// SPDX-License-Identifier: Apache-2.0
// A run script's queue ... run-queue block: the commands between them go into one ScanQueue and
// reach the cable together at run-queue, where their results are printed in order (each with its
// own FILE:LINE); a failure names the first command that failed, after the results before it.
#include "host/HostSession.h"
#include "session/HexBits.h"

namespace csehost {

using CsePluginInterface::CseJtagTapState;

Outcome HostSession::enqueue(const HostCommand& command) {
    const bool ir =
        command.kind == CommandKind::kIrScan || command.kind == CommandKind::kIrScanChain;
    const csesession::Register reg = ir ? csesession::Register::kIr : csesession::Register::kDr;
    size_t item = 0;
    try {
        switch (command.kind) {
            case CommandKind::kIrScan:
            case CommandKind::kDrScan:
                // Whether the instructions allow a DR scan is the queue's to say when it runs:
                // an irscan before it in the queue counts.
                if (needIrLengths(command) != Outcome::kSuccess) {
                    return session_->irPathFaulty() ? Outcome::kFailed : Outcome::kUsage;
                }
                item = queue_->deviceScan(*session_, reg, command.device, command.tdi,
                                          command.bitCount);
                break;
            case CommandKind::kIrScanChain:
            case CommandKind::kDrScanChain:
                item = queue_->chainScan(reg, command.tdi, command.bitCount);
                break;
            case CommandKind::kState:
                item = queue_->navigate(static_cast<CseJtagTapState>(command.state), command.clocks,
                                        command.hasWait
                                            ? std::optional<uint32_t>(command.waitMicroseconds)
                                            : std::nullopt);
                break;
            default:  // the script parser lets nothing else into a queue
                return usage("'" + command.text + "' cannot be queued");
        }
    } catch (const csesession::SessionError& error) {
        return reported(error, "'" + command.text + "' cannot be queued");
    }
    queue_->setLabel(item, callLabel(command));
    queued_.push_back(command);
    return Outcome::kSuccess;
}

Outcome HostSession::runQueue() {
    const std::unique_ptr<csesession::ScanQueue> queue = std::move(queue_);
    const std::vector<HostCommand> queued = std::move(queued_);
    std::optional<csesession::QueueError> failure;
    try {
        queue->run(*session_, calls_, options_->retries);
    } catch (const csesession::QueueError& error) {
        failure = error;
    }
    for (size_t item = 0; item < queued.size() && queue->done(item); ++item) {
        const HostCommand& command = queued[item];
        if (command.kind == CommandKind::kState) {
            writer_.value(command.text, command.origin, "state",
                          csesession::tapStateName(queue->reached(item)), 0);
        } else {
            writer_.value(
                command.text, command.origin, "tdo",
                "0x" + csesession::formatHexBits(queue->tdo(item).data(), command.bitCount),
                command.bitCount);
        }
    }
    return failure ? reported(*failure) : Outcome::kSuccess;
}

}  // namespace csehost
