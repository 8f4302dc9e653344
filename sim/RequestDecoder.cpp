// SPDX-License-Identifier: Apache-2.0
#include "sim/RequestDecoder.h"

#include "sim/BitBuffer.h"
#include "sim/HexText.h"
#include "sim/PeerWire.h"

namespace quorbit {
namespace {

constexpr std::size_t roundUpEven(std::size_t value) {
    return value + (value & 1u);
}

// A block without streams carries its clock count in its head alone; bounded by what the longest
// request could carry as a stream, it cannot keep the emulator busy for minutes.
constexpr std::uint64_t kMaxClocksPerRequest = std::uint64_t{kMaxRequestBytes} * 8u;

}  // namespace

bool peekMessageId(const std::uint8_t* message, std::size_t length, std::uint8_t& id) {
    if (length <= kRequestIdOffset) return false;
    id = message[kRequestIdOffset];
    return true;
}

bool decodeEnvelope(const std::uint8_t* message, std::size_t length, RequestEnvelope& envelope,
                    std::string& error) {
    if (length < kShortParametersOffset) {
        error = "request of " + std::to_string(length) + " bytes is shorter than its envelope";
        return false;
    }
    for (std::size_t i = 0; i < kRequestShortLengthOffset; ++i) {
        if (message[i] != 0) {
            error = "request head byte " + std::to_string(i) + " is not zero";
            return false;
        }
    }
    RequestEnvelope result;
    result.code = message[kRequestCodeOffset];
    result.subCode = message[kRequestSubCodeOffset];
    result.id = message[kRequestIdOffset];
    const std::uint8_t shortLength = message[kRequestShortLengthOffset];
    std::size_t parametersOffset;
    if (shortLength != 0) {
        if (shortLength < 2) {
            error = "short-form length byte 1 is below the minimum of 2";
            return false;
        }
        parametersOffset = kShortParametersOffset;
        result.parameterLength = shortLength - 2u;
    } else {
        if (length < kLongParametersOffset) {
            error = "long-form request of " + std::to_string(length) + " bytes has no length field";
            return false;
        }
        const std::uint16_t longLength = readLe16(message + kRequestLongLengthOffset);
        if (longLength < 4) {
            error = "long-form length " + std::to_string(longLength) + " is below the minimum of 4";
            return false;
        }
        result.longForm = true;
        parametersOffset = kLongParametersOffset;
        result.parameterLength = longLength - 4u;
    }
    // The part from offset 5 on travels with an even length.
    const std::size_t expected =
        kRequestShortLengthOffset +
        roundUpEven(parametersOffset - kRequestShortLengthOffset + result.parameterLength);
    if (length != expected) {
        error = "request length " + std::to_string(length) + " does not match its length field (" +
                std::to_string(expected) + " expected)";
        return false;
    }
    result.parameters = message + parametersOffset;
    envelope = result;
    return true;
}

bool decodeTapAccess(const RequestEnvelope& envelope, TapAccess& access, std::string& error) {
    TapAccess result;
    if (envelope.subCode != kTapContinue && envelope.subCode != kTapEnd) {
        error = "TAP access sub-code " + hexByte(envelope.subCode) + " is not known";
        return false;
    }
    result.ends = envelope.subCode == kTapEnd;
    const std::uint8_t* block = envelope.parameters;
    std::size_t length = envelope.parameterLength;
    if (result.ends) {
        if (length == 0 || block[length - 1] != 0) {
            error = "ending TAP access lacks its terminating zero byte";
            return false;
        }
        --length;
    }
    if (length == 0) {
        access = result;
        return true;
    }
    result.hasSizeHeader = true;
    result.flags = static_cast<std::uint8_t>(block[0] >> 4);
    std::size_t position = 1;
    const unsigned nibble = block[0] & 0x0Fu;
    if (nibble < 15) {
        result.bitCount = nibble;
    } else if (length < 2) {
        error = "size header ends before its count byte";
        return false;
    } else if (block[1] < 255) {
        result.bitCount = block[1];
        position = 2;
    } else if (length < 6) {
        error = "size header ends before its 32-bit count";
        return false;
    } else {
        result.bitCount = readLe32(block + 2);
        position = 6;
    }
    if ((result.flags & 0x2u) != 0) {
        const std::uint64_t dataBytes = bytesForBits(result.bitCount);
        if (dataBytes > length - position) {
            error = "TAP access announces " + std::to_string(dataBytes) + " data bytes, " +
                    std::to_string(length - position) + " present";
            return false;
        }
        result.sendData = block + position;
        result.sendLength = static_cast<std::size_t>(dataBytes);
        position += result.sendLength;
    }
    if (position != length) {
        error = "TAP access has " + std::to_string(length - position) + " bytes after its data";
        return false;
    }
    access = result;
    return true;
}

bool decodeRawShifts(const std::uint8_t* data, std::size_t length, std::size_t maxTdoBytes,
                     std::vector<RawShift>& shifts, std::string& error) {
    shifts.clear();
    std::size_t position = 0;
    std::uint64_t tdoBytes = 0;
    std::uint64_t clocks = 0;
    while (position < length) {
        const std::size_t remaining = length - position;
        const std::uint8_t* block = data + position;
        if (remaining < kRawShiftHeadBytes) {
            error = "raw-shift block head cut short (" + std::to_string(remaining) + " bytes)";
            return false;
        }
        if (block[0] != TAP_RAW_SHIFT || block[1] != 0) {
            error = "TAP command " + hexByte(block[0]) + " " + hexByte(block[1]) +
                    " is not a raw shift";
            return false;
        }
        RawShift shift;
        shift.optionWord = readLe16(block + 2);
        shift.bitCount = readLe32(block + 4);
        shift.tdoWanted = (shift.optionWord & kRawTdoWanted) != 0;
        shift.lastTmsHigh = (shift.optionWord & kRawLastTmsHigh) != 0;
        const std::uint64_t streamBytes = bytesForBits(shift.bitCount);
        const bool hasTms = (shift.optionWord & kRawTmsPresent) != 0;
        const bool hasTdi = (shift.optionWord & kRawTdiPresent) != 0;
        // A TDO-only block still carries one stream's worth of filler.
        const unsigned streams = (hasTms ? 1u : 0u) + (hasTdi ? 1u : 0u) +
                                 (!hasTms && !hasTdi && shift.tdoWanted ? 1u : 0u);
        const std::uint64_t blockBytes = kRawShiftHeadBytes + streams * streamBytes;
        if (blockBytes > remaining) {
            error = "raw shift of " + std::to_string(shift.bitCount) + " bits needs " +
                    std::to_string(blockBytes) + " bytes, " + std::to_string(remaining) +
                    " present";
            return false;
        }
        clocks += shift.bitCount;
        if (clocks > kMaxClocksPerRequest) {
            error = "raw shifts of " + std::to_string(clocks) + " clocks, more than the " +
                    std::to_string(kMaxClocksPerRequest) + " a request can carry";
            return false;
        }
        const std::uint8_t* stream = block + kRawShiftHeadBytes;
        if (hasTms) {
            shift.tms = stream;
            stream += streamBytes;
        }
        if (hasTdi) shift.tdi = stream;
        if (shift.tdoWanted) tdoBytes += streamBytes;
        if (tdoBytes > maxTdoBytes) {
            error = "TDO of " + std::to_string(tdoBytes) + " bytes would not fit in a reply";
            return false;
        }
        shifts.push_back(shift);
        position += static_cast<std::size_t>(blockBytes);
    }
    if (shifts.empty()) {
        error = "TAP access carries no raw-shift block";
        return false;
    }
    return true;
}

}  // namespace quorbit
