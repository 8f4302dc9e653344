// SPDX-License-Identifier: Apache-2.0
// A session's operations: IDCODE reads, device and chain scans, navigation, TAP resets and raw
// shifts, each refused or failed with the reason a user reads.
#include <algorithm>

#include "session/CableSessionState.h"
#include "session/HexBits.h"

namespace csesession {

uint32_t CableSession::readIdcode(uint32_t device) {
    State& s = state_->live();
    s.checkDevice(device);
    if (!s.devices[device].idcode) {
        s.fail(ErrorKind::kFailed,
               "device " + std::to_string(device) +
                   " has no IDCODE register (it answered the scan with a BYPASS bit)");
    }
    // After a reset every device presents its IDCODE (32 bits) or its BYPASS bit; the devices
    // nearer TDO come out first.
    uint32_t offset = 0;
    uint32_t totalBits = 0;
    for (uint32_t other = static_cast<uint32_t>(s.devices.size()); other-- > 0;) {
        const uint32_t width = s.devices[other].idcode ? kIdcodeBits : 1;
        if (other > device) offset += width;
        totalBits += width;
    }
    s.resetTap();
    std::vector<uint8_t> buffer((totalBits + 7) / 8, 0);
    if (cseFailed(s.plugin->shiftChainDR(buffer.data(), buffer.data(), nullptr, nullptr, totalBits,
                                         CSEJTAG_RUN_TEST_IDLE, 0, 0))) {
        s.failCall("the DR shift that reads the IDCODEs failed");
    }
    uint32_t idcode = 0;
    for (uint32_t bit = 0; bit < kIdcodeBits; ++bit) {
        if (bitAt(buffer.data(), offset + bit)) idcode |= 1u << bit;
    }
    return idcode;
}

std::vector<uint8_t> CableSession::deviceScan(Register reg, uint32_t device,
                                              const std::vector<uint8_t>& tdi, uint32_t bitCount) {
    State& s = state_->live();
    s.checkDevice(device);
    if (!s.irLengthsKnown) {
        s.fail(ErrorKind::kUsage,
               "a device-level scan needs the IR length of every device, and " + s.irLengthProblem);
    }
    if (bitCount == 0 || tdi.size() < (static_cast<uint64_t>(bitCount) + 7) / 8) {
        s.fail(ErrorKind::kUsage, "a scan of " + plural(bitCount, "bit") + " needs " +
                                      std::to_string((static_cast<uint64_t>(bitCount) + 7) / 8) +
                                      " bytes of TDI, and at least one bit");
    }
    const bool ir = reg == Register::kIr;
    if (ir) {
        // Fewer bits would leave the rest of the IR to ones (often BYPASS) without a word.
        const uint32_t irLength = *s.devices[device].irLength;
        if (bitCount != irLength) {
            s.fail(ErrorKind::kUsage, "device " + std::to_string(device) + " has an IR of " +
                                          std::to_string(irLength) +
                                          " bits; irscan takes exactly that many, not " +
                                          std::to_string(bitCount));
        }
        uint64_t totalIr = 0;
        for (const Device& each : s.devices) totalIr += *each.irLength;
        if (totalIr > kMaxIrScanBits) {
            s.fail(ErrorKind::kUsage, "the IR path has " + std::to_string(totalIr) +
                                          " bits; an IR scan carries at most " +
                                          std::to_string(kMaxIrScanBits) +
                                          " (one raw shift of the debugger)");
        }
    } else if (s.instructions == Instructions::kUnknown) {
        // Data from a register the caller did not select must never come back as a result.
        s.fail(ErrorKind::kFailed, "a DR scan of device " + std::to_string(device) + " " +
                                       s.instructionsWhy +
                                       "; load the instructions again with an IR scan first");
    } else if (s.instructions == Instructions::kReset) {
        // A device-level DR scan pads every other device with one bit, which is right only while
        // they are in BYPASS; after a reset those with an IDCODE present 32 bits instead.
        for (const Device& other : s.devices) {
            if (other.index == device || !other.idcode) continue;
            s.fail(ErrorKind::kUsage,
                   "a DR scan of device " + std::to_string(device) +
                       " comes before any irscan: after the TAP reset device " +
                       std::to_string(other.index) +
                       " holds IDCODE, not BYPASS, so its one pad bit would be wrong; load an "
                       "instruction first with an IR scan (it puts the others in BYPASS)");
        }
    }
    std::vector<uint8_t> tdo(tdi.size(), 0);
    const auto result =
        ir ? s.plugin->shiftDeviceIR(device, tdi.data(), tdo.data(), nullptr, nullptr, bitCount,
                                     CSEJTAG_RUN_TEST_IDLE, 0, 0)
           : s.plugin->shiftDeviceDR(device, tdi.data(), tdo.data(), nullptr, nullptr, bitCount,
                                     CSEJTAG_RUN_TEST_IDLE, 0, 0);
    if (cseFailed(result)) {
        s.failCall(std::string("the ") + (ir ? "IR" : "DR") + " shift of device " +
                   std::to_string(device) + " failed");
    }
    if (ir) s.instructions = Instructions::kLoaded;
    return tdo;
}

void CableSession::chainScan(Register reg, const uint8_t* tdi, uint8_t* tdo, uint32_t bitCount,
                             CseJtagTapState endState) {
    State& s = state_->live();
    const bool ir = reg == Register::kIr;
    if (ir && bitCount > kMaxIrScanBits) {
        s.fail(ErrorKind::kUsage, "an IR scan carries at most " + std::to_string(kMaxIrScanBits) +
                                      " bits (one raw shift of the debugger), not " +
                                      std::to_string(bitCount));
    }
    if (tdi == nullptr || bitCount == 0) s.fail(ErrorKind::kUsage, "a chain scan needs TDI bits");
    const auto shift = [&](uint32_t first, uint32_t count, CseJtagTapState end) {
        const uint8_t* in = tdi + first / 8;
        uint8_t* out = tdo != nullptr ? tdo + first / 8 : nullptr;
        const auto result =
            ir ? s.plugin->shiftChainIR(in, out, nullptr, nullptr, count, end, 0, 0)
               : s.plugin->shiftChainDR(in, out, nullptr, nullptr, count, end, 0, 0);
        if (cseFailed(result)) {
            s.failCall(std::string("the ") + (ir ? "IR" : "DR") + " shift of " +
                       plural(bitCount, "bit") + " through the chain failed" +
                       (first > 0 ? " after " + std::to_string(first) : ""));
        }
    };
    if (!s.options.progress || bitCount <= kProgressBits) {
        shift(0, bitCount, endState);
    } else {
        // Pieces of one raw shift each, staying in Shift-IR/Shift-DR until the last.
        const CseJtagTapState shifting =
            ir ? CsePluginInterface::CSEJTAG_SHIFT_IR : CsePluginInterface::CSEJTAG_SHIFT_DR;
        for (uint32_t done = 0; done < bitCount;) {
            const uint32_t piece = std::min(kMaxIrScanBits, bitCount - done);
            const bool last = done + piece == bitCount;
            shift(done, piece, last ? endState : shifting);
            done += piece;
            if (!s.options.progress(done, bitCount) && !last) {
                s.fail(ErrorKind::kFailed,
                       "stopped after " + std::to_string(done) + " of " + plural(bitCount, "bit"));
            }
        }
    }
    // The caller chose every device's instruction.
    if (ir) s.instructions = Instructions::kLoaded;
}

CseJtagTapState CableSession::navigate(CseJtagTapState goal, uint32_t clocks,
                                       std::optional<uint32_t> waitMicroseconds) {
    State& s = state_->live();
    if (!CsePluginInterface::isValidTapState(goal)) {
        s.fail(ErrorKind::kUsage, "no TAP state has the number " + std::to_string(goal));
    }
    const auto move = [&](uint32_t count, bool wait) {
        const auto result = wait ? s.plugin->navigateTAP(goal, count, *waitMicroseconds)
                                 : s.plugin->navigateTAP(goal, count);
        if (cseFailed(result)) s.failCall("moving the TAP to " + tapStateName(goal) + " failed");
    };
    const bool stable = goal == CsePluginInterface::CSEJTAG_TEST_LOGIC_RESET ||
                        goal == CSEJTAG_RUN_TEST_IDLE ||
                        goal == CsePluginInterface::CSEJTAG_SHIFT_DR ||
                        goal == CsePluginInterface::CSEJTAG_PAUSE_DR ||
                        goal == CsePluginInterface::CSEJTAG_SHIFT_IR ||
                        goal == CsePluginInterface::CSEJTAG_PAUSE_IR;
    if (!s.options.progress || clocks <= kProgressBits || !stable) {
        move(clocks, waitMicroseconds.has_value());
    } else {
        // Clocks in a stable state add up, so the run can go in pieces; the wait comes last.
        constexpr uint32_t kPieceClocks = 1u << 20;
        for (uint32_t done = 0; done < clocks;) {
            const uint32_t piece = std::min(kPieceClocks, clocks - done);
            done += piece;
            move(piece, waitMicroseconds.has_value() && done == clocks);
            if (!s.options.progress(done, clocks) && done < clocks) {
                s.fail(ErrorKind::kFailed,
                       "stopped after " + std::to_string(done) + " of " + plural(clocks, "clock"));
            }
        }
    }
    if (goal == CsePluginInterface::CSEJTAG_TEST_LOGIC_RESET) s.instructions = Instructions::kReset;
    return s.plugin->getTAPState();
}

void CableSession::resetTap() {
    state_->live().resetTap();
}

void CableSession::rawShift(const uint8_t* tms, const uint8_t* tdi, uint8_t* tdo,
                            uint32_t bitCount) {
    State& s = state_->live();
    if (tms == nullptr || tdi == nullptr)
        s.fail(ErrorKind::kUsage, "a raw shift needs TMS and TDI");
    const size_t streamBytes = (static_cast<size_t>(bitCount) + 7) / 8;
    std::vector<uint8_t>& input = s.rawShiftInput;
    input.resize(4 + 2 * streamBytes);
    for (int k = 0; k < 4; ++k)
        input[static_cast<size_t>(k)] = static_cast<uint8_t>(bitCount >> (8 * k));
    std::copy(tms, tms + streamBytes, input.begin() + 4);
    std::copy(tdi, tdi + streamBytes, input.begin() + 4 + static_cast<long>(streamBytes));
    // The streams may load any instruction, whatever comes of the call.
    s.forgetInstructions(kAfterRawShifts);
    if (cseFailed(s.plugin->sendCommand("raw-shift", input.data(),
                                        static_cast<uint32_t>(input.size()), tdo,
                                        static_cast<uint32_t>(streamBytes), 0, 0))) {
        s.failCall("the raw shift of " + plural(bitCount, "clock") + " failed");
    }
}

}  // namespace csesession
