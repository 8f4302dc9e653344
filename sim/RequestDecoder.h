// SPDX-License-Identifier: Apache-2.0
// Decoding of request messages as the emulated debugger receives them: the envelope, the TAP
// access parameter block and the raw-shift blocks. Pure functions over byte spans, so tests and
// fuzzers can call them directly. Every length is checked before it is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quorbit {

struct RequestEnvelope {
    std::uint8_t code = 0;
    std::uint8_t subCode = 0;
    std::uint8_t id = 0;
    bool longForm = false;
    const std::uint8_t* parameters = nullptr;
    std::size_t parameterLength = 0;
};

// A message (the reassembled request, offset 0 first) into its envelope. False with a reason when
// the head is not zero or the lengths do not add up to the message's length.
[[nodiscard]] bool decodeEnvelope(const std::uint8_t* message, std::size_t length,
                                  RequestEnvelope& envelope, std::string& error);

// The message id alone, when the message is long enough to carry one.
[[nodiscard]] bool peekMessageId(const std::uint8_t* message, std::size_t length, std::uint8_t& id);

struct TapAccess {
    bool ends = false;           // sub-code 0x92: the access ends after this request
    bool hasSizeHeader = false;  // false: a bare release (no size header, no data)
    std::uint8_t flags = 0;      // high nibble of the size header
    std::uint32_t bitCount = 0;  // from the size header
    const std::uint8_t* sendData = nullptr;
    std::size_t sendLength = 0;
};

[[nodiscard]] bool decodeTapAccess(const RequestEnvelope& envelope, TapAccess& access,
                                   std::string& error);

struct RawShift {
    std::uint16_t optionWord = 0;
    std::uint32_t bitCount = 0;
    const std::uint8_t* tms = nullptr;  // null when not present
    const std::uint8_t* tdi = nullptr;
    bool tdoWanted = false;
    bool lastTmsHigh = false;
};

// The send data of a TAP access as a sequence of raw-shift blocks (normally one). `shifts` is
// cleared and refilled (its capacity is reused). Also checks that the TDO of all blocks fits in
// maxTdoBytes.
[[nodiscard]] bool decodeRawShifts(const std::uint8_t* data, std::size_t length,
                                   std::size_t maxTdoBytes, std::vector<RawShift>& shifts,
                                   std::string& error);

}  // namespace quorbit
