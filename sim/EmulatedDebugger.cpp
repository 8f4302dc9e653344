// SPDX-License-Identifier: Apache-2.0
#include "sim/EmulatedDebugger.h"

#include <algorithm>
#include <cctype>
#include <string_view>

#include "sim/BitBuffer.h"
#include "sim/HexText.h"
#include "sim/PeerWire.h"

namespace quorbit {
namespace {

constexpr std::size_t kMaxCommandLength = 2048;
constexpr std::size_t kCommandLogCapacity = 256;
constexpr std::size_t kStatePathCapacity = 48;
constexpr std::uint32_t kRecordedStreamBits = 128;

std::string normalisedCommand(const std::string& line) {
    std::string text;
    bool pendingSpace = false;
    for (const char c : line) {
        if (std::isspace(static_cast<unsigned char>(c))) {
            pendingSpace = !text.empty();
            continue;
        }
        if (pendingSpace) text.push_back(' ');
        pendingSpace = false;
        text.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    }
    return text;
}

std::string shiftKind(const RawShift& shift) {
    std::string kind;
    if (shift.tms != nullptr) kind += " tms";
    if (shift.tdi != nullptr) kind += " tdi";
    if (shift.tdoWanted) kind += " tdo";
    if (shift.lastTmsHigh) kind += " last-tms-1";
    return kind;
}

}  // namespace

EmulatedDebugger::EmulatedDebugger(const ChainDescription& chain, std::size_t rawShiftLogCapacity)
    : chain_(chain), rawShiftLogCapacity_(rawShiftLogCapacity) {
    statePath_.reserve(kStatePathCapacity);
    setDescribeShifts(describeShifts_);
}

void EmulatedDebugger::setDescribeShifts(bool describe) {
    describeShifts_ = describe;
    // Without descriptions nobody reads the state path: no call per change of state.
    if (!describe) {
        chain_.setTransitionListener(nullptr);
        return;
    }
    chain_.setTransitionListener([this](TapState, TapState to) {
        if (statePath_.size() < kStatePathCapacity) {
            statePath_.push_back(to);
        } else {
            ++statePathDropped_;
        }
    });
}

bool EmulatedDebugger::openVcd(const std::string& path, std::uint64_t maxBytes,
                               std::string& error) {
    return vcd_.open(path, maxBytes, error);
}

void EmulatedDebugger::setFaults(bool attachFails, bool releaseFails) {
    attachFails_ = attachFails;
    releaseFails_ = releaseFails;
}

void EmulatedDebugger::resetSession() {
    attached_ = false;
    pinsEnabled_ = false;
    tapAccessOpen_ = false;
}

void EmulatedDebugger::clearRecords() {
    commands_.clear();
    rawShifts_.clear();
}

RequestOutcome EmulatedDebugger::execute(const std::uint8_t* message, std::size_t length,
                                         std::vector<std::uint8_t>& replyData) {
    replyData.clear();
    RequestEnvelope envelope;
    std::string error;
    if (!decodeEnvelope(message, length, envelope, error)) {
        return {kStatusMalformed, "malformed request: " + error};
    }
    switch (envelope.code) {
        case REQ_ATTACH:
            return attach();
        case REQ_COMMAND:
            return command(envelope);
        case REQ_TAP:
            return tapAccess(envelope, replyData);
        default:
            break;
    }
    return {kStatusUnknownRequest, "unknown request code " + hexByte(envelope.code)};
}

RequestOutcome EmulatedDebugger::attach() {
    if (attachFails_) return {kStatusAttachFailed, "attach (failing on purpose)"};
    attached_ = true;
    return {kStatusOk, "attach"};
}

RequestOutcome EmulatedDebugger::command(const RequestEnvelope& envelope) {
    const std::uint8_t* text = envelope.parameters;
    const std::size_t length = envelope.parameterLength;
    // The text travels with its terminating NUL, and only that one.
    const std::uint8_t* nul = std::find(text, text + length, std::uint8_t{0});
    if (length == 0 || nul != text + length - 1) {
        return {kStatusMalformed, "command line without a single terminating NUL"};
    }
    if (length - 1 > kMaxCommandLength) {
        return {kStatusMalformed, "command line longer than 2048 characters"};
    }
    const std::string line(reinterpret_cast<const char*>(text), length - 1);
    if (commands_.size() == kCommandLogCapacity) commands_.pop_front();
    commands_.push_back(line);
    const std::string description = "command \"" + line + "\"";
    if (!attached_) return {kStatusNotAttached, description + " before attach"};
    const std::string normalised = normalisedCommand(line);
    if (normalised == "JTAG.PIN ENABLE") {
        pinsEnabled_ = true;
        return {kStatusOk, description};
    }
    if (normalised == "JTAG.PIN DISABLE") {
        pinsEnabled_ = false;
        return {kStatusOk, description};
    }
    return {kStatusUnknownCommand, description + " not understood"};
}

RequestOutcome EmulatedDebugger::tapAccess(const RequestEnvelope& envelope,
                                           std::vector<std::uint8_t>& replyData) {
    TapAccess access;
    std::string error;
    if (!decodeTapAccess(envelope, access, error)) {
        return {envelope.subCode == kTapContinue || envelope.subCode == kTapEnd
                    ? kStatusMalformed
                    : kStatusUnknownRequest,
                "malformed TAP access: " + error};
    }
    const std::string_view kind = access.ends ? "tap-end" : "tap";
    if (!access.hasSizeHeader || access.sendLength == 0) {
        // A bare access: the release ends it; nothing is shifted either way.
        tapAccessOpen_ = !access.ends;
        if (access.ends && releaseFails_) {
            return {kStatusReleaseFailed, "release TAP (failing on purpose)"};
        }
        return {kStatusOk, access.ends ? "release TAP" : std::string(kind) + " without data"};
    }
    if (!decodeRawShifts(access.sendData, access.sendLength, kMaxReplyDataBytes, shifts_, error)) {
        return {kStatusBadShiftBlock, std::string(kind) + " refused: " + error};
    }
    if (!attached_) return {kStatusNotAttached, std::string(kind) + " raw shift before attach"};
    if (!pinsEnabled_) {
        return {kStatusPinsDisabled, std::string(kind) + " raw shift with JTAG pins disabled"};
    }
    // A successful shift is described only where it is logged (verbose): no string per request.
    RequestOutcome outcome;
    if (describeShifts_) outcome.description = kind;
    outcome.status = runShifts(replyData, outcome.description);
    tapAccessOpen_ = !access.ends;
    return outcome;
}

std::uint8_t EmulatedDebugger::runShifts(std::vector<std::uint8_t>& replyData,
                                         std::string& description) {
    statePath_.clear();
    statePathDropped_ = 0;
    if (describeShifts_) statePath_.push_back(chain_.state());
    for (const RawShift& shift : shifts_) {
        const TapState start = chain_.state();
        const std::size_t streamBytes = bytesForBits(shift.bitCount);
        std::uint8_t* tdo = nullptr;
        std::size_t tdoBytes = 0;
        if (shift.tdoWanted) {
            const std::size_t offset = replyData.size();
            replyData.resize(offset + streamBytes, 0);
            tdo = replyData.data() + offset;
            tdoBytes = streamBytes;
        } else if (vcd_.isOpen()) {
            scratchTdo_.assign(streamBytes, 0);
            tdo = scratchTdo_.data();
        }
        chain_.shift(shift.bitCount, shift.tms, shift.tdi, tdo, shift.lastTmsHigh);
        if (vcd_.isOpen())
            vcd_.clocks(shift.bitCount, shift.tms, shift.tdi, tdo, shift.lastTmsHigh);
        recordShift(shift, start, tdoBytes, kStatusOk);
        if (describeShifts_) {
            description += " shift " + std::to_string(shift.bitCount) + " bits" + shiftKind(shift);
        }
    }
    if (describeShifts_) description += " states " + statePathText();
    return kStatusOk;
}

void EmulatedDebugger::recordShift(const RawShift& shift, TapState start, std::size_t tdoBytes,
                                   std::uint8_t status) {
    if (rawShiftLogCapacity_ == 0) return;
    RawShiftRecord record;
    record.optionWord = shift.optionWord;
    record.bitCount = shift.bitCount;
    if (shift.bitCount <= kRecordedStreamBits) {
        const std::size_t bytes = bytesForBits(shift.bitCount);
        if (shift.tms != nullptr) record.tms.assign(shift.tms, shift.tms + bytes);
        if (shift.tdi != nullptr) record.tdi.assign(shift.tdi, shift.tdi + bytes);
    }
    record.tdoBytes = tdoBytes;
    record.startState = start;
    record.endState = chain_.state();
    record.status = status;
    if (rawShifts_.size() >= rawShiftLogCapacity_) rawShifts_.pop_front();
    rawShifts_.push_back(std::move(record));
}

std::string EmulatedDebugger::statePathText() const {
    std::string text;
    for (const TapState state : statePath_) {
        if (!text.empty()) text += ">";
        text += tapStateName(state);
    }
    if (statePathDropped_ > 0) text += ">... (" + std::to_string(statePathDropped_) + " more)";
    return text;
}

bool EmulatedDebugger::bitbangClock(bool tms, bool tdi) {
    const bool tdo = chain_.clock(tms, tdi);
    vcd_.clock(tms, tdi, tdo);
    return tdo;
}

void EmulatedDebugger::bitbangTrst() {
    chain_.resetAsync();
}

}  // namespace quorbit
