// SPDX-License-Identifier: Apache-2.0
// cse-host's number, hex and IR-length parsing: "count NUL hex" pairs must round-trip through the
// formatter; the rest of the input also goes through the IR length list, TAP state names and the
// IR length derivation from a captured pattern.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "session/HexBits.h"
#include "host/HostArguments.h"
#include "session/IrLengthDerivation.h"

namespace {

void hexRoundTrip(const std::string& countText, const std::string& hexText) {
    uint32_t bitCount = 0;
    std::string error;
    if (!csesession::parseBitCount(countText, bitCount, error)) return;
    std::vector<uint8_t> buffer;
    if (!csesession::parseHexBits(hexText, bitCount, buffer, error)) {
        if (error.empty()) std::abort();
        return;
    }
    if (buffer.size() != (static_cast<size_t>(bitCount) + 7) / 8) std::abort();
    const std::string formatted = csesession::formatHexBits(buffer.data(), bitCount);
    std::vector<uint8_t> again;
    if (!csesession::parseHexBits(formatted, bitCount, again, error) || again != buffer) std::abort();
}

void derivation(const std::vector<uint8_t>& capture, uint8_t config) {
    if (capture.empty()) return;
    const uint32_t totalBits =
        static_cast<uint32_t>(capture.size() * 8 < 64 ? capture.size() * 8 : 64);
    const uint32_t devices = 1u + config % 6u;
    const csesession::IrSplit split = csesession::deriveIrLengths(capture.data(), totalBits, devices);
    if (split.outcome == csesession::IrSplit::Outcome::kUnique) {
        uint32_t sum = 0;
        for (const uint32_t length : split.lengths) sum += length;
        if (split.lengths.size() != devices || sum != totalBits) std::abort();
    }
    uint32_t measured = 0;
    std::string error;
    const uint32_t flushBits = static_cast<uint32_t>(capture.size() * 4);
    (void)csesession::measureTotalIrLength(capture.data(), flushBits, measured, error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::string> words = fuzzinput::splitAtNul(data, size);
    hexRoundTrip(words[0], words.size() > 1 ? words[1] : std::string());
    std::string error;
    std::vector<uint32_t> lengths;
    if (csehost::parseIrLengthList(words[0], lengths, error) &&
        (lengths.empty() || lengths.size() > csehost::kMaxDeviceIndex + 1)) {
        std::abort();
    }
    uint32_t state = 0;
    if (csehost::parseTapStateName(words[0], state, error) && state > 15) std::abort();
    derivation(std::vector<uint8_t>(data, data + size), size > 0 ? data[0] : 0);
    return 0;
}
