// The commands of a session: what each asks of the plug-in and what it reports.
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "session/HexBits.h"
#include "host/HostSession.h"
#include "diagnosis/IdcodeFields.h"
#include "host/InterruptWatch.h"
#include "koraven-cse-plugin/CsePlugin.h"

namespace csehost {

using csesession::bitAt;
using csesession::formatHexBits;
using csesession::hexNumber;

using CsePluginInterface::cseFailed;
using CsePluginInterface::CSEJTAG_RUN_TEST_IDLE;
using CsePluginInterface::CSEJTAG_SHIFT_DR;
using CsePluginInterface::CSEJTAG_SHIFT_IR;
using CsePluginInterface::CseJtagTapState;

namespace {

constexpr uint32_t kIdcodeBits = 32;
// Longer chain scans and clock runs go in pieces with a progress line when stderr is a terminal.
constexpr uint32_t kProgressThresholdBits = 4u << 20;
constexpr uint32_t kProgressPieceBits = 1u << 20;
// A shift that stays in Shift-DR/Shift-IR must fit one raw shift of the debugger.
constexpr uint32_t kShiftPieceBits = kMaxIrScanBits;

bool showsProgress(uint64_t bitCount) {
    return bitCount > kProgressThresholdBits && isatty(STDERR_FILENO) == 1;
}

void printProgress(uint64_t done, uint64_t total) {
    std::fprintf(stderr, "\rcse-host: %llu of %llu bits%s", static_cast<unsigned long long>(done),
                 static_cast<unsigned long long>(total), done == total ? "\n" : "");
    std::fflush(stderr);
}

// The states a TAP can stay in while clocked.
bool isStableState(uint32_t state) {
    return state == 0 || state == 1 || state == 4 || state == 6 || state == 11 || state == 13;
}

}  // namespace

Outcome HostSession::checkDevice(uint32_t device) {
    if (device < deviceCount_) return Outcome::kSuccess;
    return usage("device " + std::to_string(device) + " is out of range: the chain has " +
                 std::to_string(deviceCount_) + " devices (0.." +
                 std::to_string(deviceCount_ == 0 ? 0 : deviceCount_ - 1) + ")");
}

Outcome HostSession::needIrLengths(const HostCommand& command) {
    if (irLengthsKnown_) return Outcome::kSuccess;
    return usage("'" + command.text + "' needs the IR length of every device, and " +
                 irLengthProblem_ +
                 "; give them with --irlen (device 0 first, e.g. --irlen 6,8,4)");
}

// A device-level DR scan pads every other device with one bit, which is right only while they
// are in BYPASS; after a reset those with an IDCODE present 32 bits instead.
Outcome HostSession::needInstructions(const HostCommand& command) {
    if (instructionsLoaded_) return Outcome::kSuccess;
    for (uint32_t other = 0; other < deviceCount_; ++other) {
        if (other == command.device || plugin_->getDeviceID(other) == 0) continue;
        return usage("'" + command.text + "' comes before any irscan: after the TAP reset device " +
                     std::to_string(other) +
                     " holds IDCODE, not BYPASS, so its one pad bit would be wrong; load the "
                     "instruction first with 'irscan " +
                     std::to_string(command.device) +
                     " BITS HEX' in the same run script (it puts the others in BYPASS), or use "
                     "drscan-chain");
    }
    return Outcome::kSuccess;
}

// The whole path in one call, or in pieces that stay in Shift-IR/Shift-DR when progress is shown.
bool HostSession::shiftChain(bool ir, const uint8_t* tdi, uint8_t* tdo, uint32_t bitCount) {
    const auto shift = [&](uint32_t first, uint32_t count, CseJtagTapState end) {
        const uint8_t* in = tdi + first / 8;
        uint8_t* out = tdo + first / 8;
        return !cseFailed(ir ? plugin_->shiftChainIR(in, out, nullptr, nullptr, count, end, 0, 0)
                             : plugin_->shiftChainDR(in, out, nullptr, nullptr, count, end, 0, 0));
    };
    if (!showsProgress(bitCount)) return shift(0, bitCount, CSEJTAG_RUN_TEST_IDLE);
    for (uint32_t done = 0; done < bitCount;) {
        const uint32_t piece = std::min(kShiftPieceBits, bitCount - done);
        const bool last = done + piece == bitCount;
        if (!shift(done, piece,
                   last ? CSEJTAG_RUN_TEST_IDLE : (ir ? CSEJTAG_SHIFT_IR : CSEJTAG_SHIFT_DR))) {
            std::fputc('\n', stderr);
            return false;
        }
        done += piece;
        printProgress(done, bitCount);
        if (InterruptWatch::received() != 0 && !last) {
            std::fputc('\n', stderr);
            return false;
        }
    }
    return true;
}

Outcome HostSession::scan(const HostCommand& command) {
    std::vector<ScanRow> rows;
    for (uint32_t device = 0; device < deviceCount_; ++device) {
        ScanRow row;
        row.device = device;
        row.idcode = plugin_->getDeviceID(device);
        row.irLengthKnown = irLengthsKnown_;
        row.irLength = irLengthsKnown_ ? plugin_->getIRLength(device) : 0;
        rows.push_back(row);
    }
    writer_.scanTable(command.text, rows);
    if (!irLengthsKnown_) {
        writer_.note("IR lengths unknown: " + irLengthProblem_ +
                     "; --irlen is needed for device-level commands");
    }
    return Outcome::kSuccess;
}

Outcome HostSession::readIdcode(const HostCommand& command) {
    const uint32_t device = command.device;
    if (checkDevice(device) != Outcome::kSuccess) return Outcome::kUsage;
    if (plugin_->getDeviceID(device) == 0) {
        return failed("device " + std::to_string(device) +
                      " has no IDCODE register (it answered the scan with a BYPASS bit)");
    }
    // After a reset every device presents its IDCODE (32 bits) or its BYPASS bit; the devices
    // nearer TDO come out first.
    uint32_t offset = 0;
    uint32_t totalBits = 0;
    for (uint32_t other = deviceCount_; other-- > 0;) {
        const uint32_t width = plugin_->getDeviceID(other) != 0 ? kIdcodeBits : 1;
        if (other > device) offset += width;
        totalBits += width;
    }
    if (!resetTap()) return failed("cannot reset the TAP");
    std::vector<uint8_t> buffer((totalBits + 7) / 8, 0);
    if (cseFailed(plugin_->shiftChainDR(buffer.data(), buffer.data(), nullptr, nullptr, totalBits,
                                        CSEJTAG_RUN_TEST_IDLE, 0, 0))) {
        return failed("the DR shift failed");
    }
    uint32_t idcode = 0;
    for (uint32_t bit = 0; bit < kIdcodeBits; ++bit) {
        if (bitAt(buffer.data(), offset + bit)) idcode |= 1u << bit;
    }
    writer_.value(command.text, command.origin, "idcode", hexNumber(idcode, 8), 0);
    return Outcome::kSuccess;
}

Outcome HostSession::deviceScan(const HostCommand& command) {
    if (checkDevice(command.device) != Outcome::kSuccess) return Outcome::kUsage;
    if (needIrLengths(command) != Outcome::kSuccess) return Outcome::kUsage;
    const bool ir = command.kind == CommandKind::kIrScan;
    if (ir) {
        // Fewer bits would leave the rest of the IR to ones (often BYPASS) without a word.
        const uint32_t irLength = plugin_->getIRLength(command.device);
        if (command.bitCount != irLength) {
            return usage("device " + std::to_string(command.device) + " has an IR of " +
                         std::to_string(irLength) + " bits; irscan takes exactly that many, not " +
                         std::to_string(command.bitCount));
        }
        uint64_t totalIr = 0;
        for (uint32_t device = 0; device < deviceCount_; ++device)
            totalIr += plugin_->getIRLength(device);
        if (totalIr > kMaxIrScanBits) {
            return usage("the IR path has " + std::to_string(totalIr) +
                         " bits; an IR scan carries at most " + std::to_string(kMaxIrScanBits) +
                         " (one raw shift of the debugger)");
        }
    } else if (needInstructions(command) != Outcome::kSuccess) {
        return Outcome::kUsage;
    }
    std::vector<uint8_t> tdo(command.tdi.size(), 0);
    const auto result =
        ir ? plugin_->shiftDeviceIR(command.device, command.tdi.data(), tdo.data(), nullptr,
                                    nullptr, command.bitCount, CSEJTAG_RUN_TEST_IDLE, 0, 0)
           : plugin_->shiftDeviceDR(command.device, command.tdi.data(), tdo.data(), nullptr,
                                    nullptr, command.bitCount, CSEJTAG_RUN_TEST_IDLE, 0, 0);
    if (cseFailed(result)) return failed("'" + command.text + "' failed");
    if (ir) instructionsLoaded_ = true;
    writer_.value(command.text, command.origin, "tdo",
                  "0x" + formatHexBits(tdo.data(), command.bitCount), command.bitCount);
    return Outcome::kSuccess;
}

Outcome HostSession::chainScan(const HostCommand& command) {
    const bool ir = command.kind == CommandKind::kIrScanChain;
    if (ir && command.bitCount > kMaxIrScanBits) {
        return usage("an IR scan carries at most " + std::to_string(kMaxIrScanBits) +
                     " bits (one raw shift of the debugger), not " +
                     std::to_string(command.bitCount));
    }
    std::vector<uint8_t> tdo(command.tdi.size(), 0);
    if (!shiftChain(ir, command.tdi.data(), tdo.data(), command.bitCount)) {
        return failed("'" + command.text + "' failed");
    }
    // The user chose every device's instruction.
    if (ir) instructionsLoaded_ = true;
    writer_.value(command.text, command.origin, "tdo",
                  "0x" + formatHexBits(tdo.data(), command.bitCount), command.bitCount);
    return Outcome::kSuccess;
}

Outcome HostSession::moveTap(const HostCommand& command) {
    const auto state = static_cast<CseJtagTapState>(command.state);
    const auto navigate = [&](uint32_t clocks, bool wait) {
        return !cseFailed(wait ? plugin_->navigateTAP(state, clocks, command.waitMicroseconds)
                               : plugin_->navigateTAP(state, clocks));
    };
    bool moved = true;
    if (showsProgress(command.clocks) && isStableState(command.state)) {
        // Clocks in a stable state add up, so the run can go in pieces.
        for (uint32_t done = 0; moved && done < command.clocks;) {
            const uint32_t piece = std::min(kProgressPieceBits, command.clocks - done);
            done += piece;
            moved = navigate(piece, command.hasWait && done == command.clocks);
            printProgress(done, command.clocks);
            if (InterruptWatch::received() != 0 && done < command.clocks) moved = false;
        }
    } else {
        moved = navigate(command.clocks, command.hasWait);
    }
    if (!moved) return failed("'" + command.text + "' failed");
    if (command.state == 0) instructionsLoaded_ = false;  // Test-Logic-Reset reloads IDCODE
    writer_.value(command.text, command.origin, "state", tapStateName(plugin_->getTAPState()), 0);
    return Outcome::kSuccess;
}

}  // namespace csehost
