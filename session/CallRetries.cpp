// SPDX-License-Identifier: Apache-2.0
#include "session/CallRetries.h"

namespace csesession {

using CsePluginInterface::CSEJTAG_RUN_TEST_IDLE;
using CsePluginInterface::CSEJTAG_TEST_LOGIC_RESET;
using CsePluginInterface::CseJtagTapState;

void CallRetries::reload(CableSession& session, const LoadedInstruction& instruction,
                         CseJtagTapState start) {
    switch (instruction.kind) {
        case LoadedInstruction::Kind::kReset:
            session.resetTap();
            break;
        case LoadedInstruction::Kind::kDevice:
            (void)session.deviceScan(Register::kIr, instruction.device, instruction.tdi,
                                     instruction.bitCount);
            break;
        case LoadedInstruction::Kind::kChain:
            session.chainScan(Register::kIr, instruction.tdi.data(), nullptr, instruction.bitCount,
                              CSEJTAG_RUN_TEST_IDLE);
            break;
        case LoadedInstruction::Kind::kUnknown:
            return;
    }
    if (session.tapState() != start) (void)session.navigate(start);
}

void CallRetries::announce(uint32_t attempt, uint32_t retries, const std::string& label,
                           const LoadedInstruction& instruction, const std::string& failure) const {
    if (!report_) return;
    CallRepetition repetition;
    repetition.attempt = attempt;
    repetition.retries = retries;
    repetition.label = label;
    repetition.failure = failure;
    repetition.reloaded = instruction.kind == LoadedInstruction::Kind::kReset
                              ? "a TAP reset"
                              : "loading " + instruction.label + " again";
    repetition.headline = label + " failed (" + failure + "); played again (" +
                          std::to_string(attempt) + " of " + std::to_string(retries) + ") after " +
                          repetition.reloaded;
    report_(repetition);
}

std::vector<uint8_t> CallRetries::deviceScan(CableSession& session, Register reg, uint32_t device,
                                             const std::vector<uint8_t>& tdi, uint32_t bitCount,
                                             uint32_t retries, const std::string& label) {
    std::vector<uint8_t> tdo = repeat(session, retries, label, loaded_, session.tapState(), [&] {
        return session.deviceScan(reg, device, tdi, bitCount);
    });
    if (reg == Register::kIr) {
        LoadedInstruction loaded;
        loaded.kind = LoadedInstruction::Kind::kDevice;
        loaded.device = device;
        loaded.tdi = tdi;
        loaded.bitCount = bitCount;
        loaded.label = label;
        loaded_ = std::move(loaded);
    }
    return tdo;
}

void CallRetries::chainScan(CableSession& session, Register reg, const uint8_t* tdi, uint8_t* tdo,
                            uint32_t bitCount, CseJtagTapState endState, uint32_t retries,
                            const std::string& label) {
    repeat(session, retries, label, loaded_, session.tapState(),
           [&] { session.chainScan(reg, tdi, tdo, bitCount, endState); });
    if (reg == Register::kIr) {
        LoadedInstruction loaded;
        loaded.kind = LoadedInstruction::Kind::kChain;
        loaded.tdi.assign(tdi, tdi + (static_cast<size_t>(bitCount) + 7) / 8);
        loaded.bitCount = bitCount;
        loaded.label = label;
        loaded_ = std::move(loaded);
    }
}

CseJtagTapState CallRetries::navigate(CableSession& session, CseJtagTapState goal, uint32_t clocks,
                                      std::optional<uint32_t> waitMicroseconds, uint32_t retries,
                                      const std::string& label) {
    const auto attempt = [&] { return session.navigate(goal, clocks, waitMicroseconds); };
    if (goal != CSEJTAG_TEST_LOGIC_RESET)
        return repeat(session, retries, label, loaded_, session.tapState(), attempt);
    // Whatever comes of it, a walk to Test-Logic-Reset leaves no instruction of the caller's.
    noteReset();
    return repeat(session, retries, label, loaded_, session.tapState(), attempt);
}

uint32_t CallRetries::readIdcode(CableSession& session, uint32_t device, uint32_t retries,
                                 const std::string& label) {
    // It resets the TAP itself, so a repetition needs no instruction of the caller's, and none
    // is left after it, whatever comes of it.
    noteReset();
    return repeat(session, retries, label, loaded_, session.tapState(),
                  [&] { return session.readIdcode(device); });
}

}  // namespace csesession
