// SPDX-License-Identifier: Apache-2.0
// The commands of a session: what each asks of the plug-in and what it reports.
#include <algorithm>
#include <string>
#include <vector>

#include "host/HostSession.h"
#include "diagnosis/IdcodeFields.h"
#include "koraven-cse-plugin/CsePlugin.h"
#include "session/HexBits.h"

namespace csehost {

using CsePluginInterface::CseJtagTapState;
using csesession::formatHexBits;
using csesession::hexNumber;

Outcome HostSession::needIrLengths(const HostCommand& command) {
    if (session_->devices().empty() || command.device >= deviceCount_ ||
        !session_->scanProblem().empty() || session_->devices()[0].irLength) {
        return Outcome::kSuccess;  // the session's own checks say the rest
    }
    // A chain that breaks the IR capture rule cannot be helped by given lengths.
    if (session_->irPathFaulty()) {
        return failed("'" + command.text + "' cannot run: " + session_->irLengthProblem());
    }
    return usage("'" + command.text + "' needs the IR length of every device, and " +
                 session_->irLengthProblem() +
                 "; give them with --irlen (device 0 first, e.g. --irlen 6,8,4)");
}

// A device-level DR scan pads every other device with one bit, which is right only while they
// are in BYPASS; after a reset those with an IDCODE present 32 bits instead.
Outcome HostSession::needInstructions(const HostCommand& command) {
    // After a failed call the session refuses by itself, with the reason.
    if (session_->instructionsLoaded() || session_->instructionsUnknown() ||
        !session_->scanProblem().empty())
        return Outcome::kSuccess;
    for (const csesession::Device& other : session_->devices()) {
        if (other.index == command.device || !other.idcode) continue;
        return usage("'" + command.text + "' comes before any irscan: after the TAP reset device " +
                     std::to_string(other.index) +
                     " holds IDCODE, not BYPASS, so its one pad bit would be wrong; load the "
                     "instruction first with 'irscan " +
                     std::to_string(command.device) +
                     " BITS HEX' in the same run script (it puts the others in BYPASS), or use "
                     "drscan-chain");
    }
    return Outcome::kSuccess;
}

Outcome HostSession::scan(const HostCommand& command) {
    // A device list that the BYPASS count contradicts is no answer at all.
    if (!session_->scanProblem().empty()) return failed(session_->scanProblem());
    std::vector<ScanRow> rows;
    bool lengthsKnown = true;
    for (const csesession::Device& device : session_->devices()) {
        ScanRow row;
        row.device = device.index;
        row.idcode = device.idcode.value_or(0);
        row.irLengthKnown = device.irLength.has_value();
        row.irLength = device.irLength.value_or(0);
        lengthsKnown = lengthsKnown && row.irLengthKnown;
        rows.push_back(row);
    }
    writer_.scanTable(command.text, rows);
    if (lengthsKnown) return Outcome::kSuccess;
    if (session_->irPathFaulty()) return failed(session_->irLengthProblem());
    writer_.note("IR lengths unknown: " + session_->irLengthProblem() +
                 "; --irlen is needed for device-level commands");
    return Outcome::kSuccess;
}

Outcome HostSession::readIdcode(const HostCommand& command) {
    try {
        const uint32_t idcode =
            calls_.readIdcode(*session_, command.device, options_->retries, callLabel(command));
        writer_.value(command.text, command.origin, "idcode", hexNumber(idcode, 8), 0);
        return Outcome::kSuccess;
    } catch (const csesession::SessionError& error) {
        return reported(error);
    }
}

Outcome HostSession::deviceScan(const HostCommand& command) {
    const bool ir = command.kind == CommandKind::kIrScan;
    if (needIrLengths(command) != Outcome::kSuccess) {
        return session_->irPathFaulty() ? Outcome::kFailed : Outcome::kUsage;
    }
    if (!ir && command.device < deviceCount_ && needInstructions(command) != Outcome::kSuccess)
        return Outcome::kUsage;
    try {
        const std::vector<uint8_t> tdo = calls_.deviceScan(
            *session_, ir ? csesession::Register::kIr : csesession::Register::kDr, command.device,
            command.tdi, command.bitCount, options_->retries, callLabel(command));
        writer_.value(command.text, command.origin, "tdo",
                      "0x" + formatHexBits(tdo.data(), command.bitCount), command.bitCount);
        return Outcome::kSuccess;
    } catch (const csesession::SessionError& error) {
        return reported(error, error.kind() == csesession::ErrorKind::kUsage
                                   ? ""
                                   : "'" + command.text + "' failed");
    }
}

Outcome HostSession::chainScan(const HostCommand& command) {
    const bool ir = command.kind == CommandKind::kIrScanChain;
    std::vector<uint8_t> tdo(command.tdi.size(), 0);
    try {
        calls_.chainScan(*session_, ir ? csesession::Register::kIr : csesession::Register::kDr,
                         command.tdi.data(), tdo.data(), command.bitCount,
                         CsePluginInterface::CSEJTAG_RUN_TEST_IDLE, options_->retries,
                         callLabel(command));
    } catch (const csesession::SessionError& error) {
        return reported(error, error.kind() == csesession::ErrorKind::kUsage
                                   ? ""
                                   : "'" + command.text + "' failed");
    }
    writer_.value(command.text, command.origin, "tdo",
                  "0x" + formatHexBits(tdo.data(), command.bitCount), command.bitCount);
    return Outcome::kSuccess;
}

Outcome HostSession::moveTap(const HostCommand& command) {
    CseJtagTapState reached = CsePluginInterface::CSEJTAG_TEST_LOGIC_RESET;
    try {
        reached = calls_.navigate(
            *session_, static_cast<CseJtagTapState>(command.state), command.clocks,
            command.hasWait ? std::optional<uint32_t>(command.waitMicroseconds) : std::nullopt,
            options_->retries, callLabel(command));
    } catch (const csesession::SessionError& error) {
        return reported(error, error.kind() == csesession::ErrorKind::kUsage
                                   ? ""
                                   : "'" + command.text + "' failed");
    }
    writer_.value(command.text, command.origin, "state", csesession::tapStateName(reached), 0);
    return Outcome::kSuccess;
}

}  // namespace csehost
