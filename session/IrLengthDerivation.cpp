// SPDX-License-Identifier: Apache-2.0
#include "session/IrLengthDerivation.h"

#include <algorithm>

#include "session/HexBits.h"

namespace csesession {
namespace {

// Split counts only need to tell none, one and more than one apart.
uint8_t saturatingAdd(uint8_t a, uint8_t b) {
    return static_cast<uint8_t>(std::min(2, a + b));
}

bool deviceCanStartAt(const uint8_t* capture, uint32_t totalBits, uint32_t bit) {
    return bit + 1 < totalBits && bitAt(capture, bit) && !bitAt(capture, bit + 1);
}

}  // namespace

std::vector<uint8_t> buildIrMeasureStream(uint32_t flushBits) {
    const uint32_t bitCount = 2 * flushBits;
    std::vector<uint8_t> stream((bitCount + 7) / 8, 0);
    for (uint32_t bit = flushBits; bit < bitCount; ++bit) setBit(stream.data(), bit, true);
    return stream;
}

bool measureTotalIrLength(const uint8_t* tdo, uint32_t flushBits, uint32_t& totalBits,
                          std::string& error) {
    const uint32_t bitCount = 2 * flushBits;
    uint32_t end = bitCount;  // one past the last zero
    while (end > 0 && bitAt(tdo, end - 1)) --end;
    if (end == 0) {
        error = "TDO gave only ones while measuring the IR path (is TDO stuck at 1?)";
        return false;
    }
    if (end == bitCount) {
        error =
            "the ones shifted into the IR path never came out (TDO stuck at 0, or an IR path "
            "longer "
            "than " +
            std::to_string(flushBits) + " bits)";
        return false;
    }
    if (end <= flushBits) {
        error = "the IR path gave back fewer zeros than were shifted in; cannot measure its length";
        return false;
    }
    totalBits = end - flushBits;
    return true;
}

namespace {

// ways[k * (totalBits + 1) + p]: splits of bits p.. into k devices (saturated at 2); built from the
// TDO end backwards.
std::vector<uint8_t> countSplits(const uint8_t* capture, uint32_t totalBits, uint32_t deviceCount) {
    const size_t width = static_cast<size_t>(totalBits) + 1;
    std::vector<uint8_t> ways((static_cast<size_t>(deviceCount) + 1) * width, 0);
    std::vector<uint8_t> suffix(width + 2, 0);  // suffix[q] = sum of ways[k-1][q..totalBits]
    ways[totalBits] = 1;
    for (uint32_t k = 1; k <= deviceCount; ++k) {
        const uint8_t* previous = &ways[(k - 1) * width];
        suffix[width] = suffix[width + 1] = 0;
        for (size_t q = width; q-- > 0;) suffix[q] = saturatingAdd(suffix[q + 1], previous[q]);
        uint8_t* current = &ways[k * width];
        for (uint32_t p = 0; p + 2 <= totalBits; ++p) {
            if (deviceCanStartAt(capture, totalBits, p)) current[p] = suffix[p + 2];
        }
    }
    return ways;
}

void collectSplits(const std::vector<uint8_t>& ways, uint32_t totalBits, uint32_t devicesLeft,
                   uint32_t start, std::vector<uint32_t>& lengths,
                   std::vector<std::vector<uint32_t>>& splits, size_t maxSplits) {
    const size_t width = static_cast<size_t>(totalBits) + 1;
    if (devicesLeft == 0) {
        splits.push_back(lengths);
        return;
    }
    for (uint32_t next = start + 2; next <= totalBits && splits.size() < maxSplits; ++next) {
        if (ways[(devicesLeft - 1) * width + next] == 0) continue;
        lengths[devicesLeft - 1] = next - start;
        collectSplits(ways, totalBits, devicesLeft - 1, next, lengths, splits, maxSplits);
    }
}

}  // namespace

std::vector<std::vector<uint32_t>> listIrSplits(const uint8_t* capture, uint32_t totalBits,
                                                uint32_t deviceCount, size_t maxSplits) {
    std::vector<std::vector<uint32_t>> splits;
    if (deviceCount == 0 || totalBits < 2 * static_cast<uint64_t>(deviceCount)) return splits;
    const std::vector<uint8_t> ways = countSplits(capture, totalBits, deviceCount);
    if (ways[static_cast<size_t>(deviceCount) * (totalBits + 1)] == 0) return splits;
    std::vector<uint32_t> lengths(deviceCount, 0);
    collectSplits(ways, totalBits, deviceCount, 0, lengths, splits, maxSplits);
    return splits;
}

uint32_t firstMisfittingDevice(const uint8_t* capture, uint32_t totalBits,
                               const std::vector<uint32_t>& lengths) {
    const auto count = static_cast<uint32_t>(lengths.size());
    uint64_t offset = 0;  // the device nearest TDO comes out first
    for (uint32_t device = count; device-- > 0;) {
        if (offset + 2 > totalBits ||
            !deviceCanStartAt(capture, totalBits, static_cast<uint32_t>(offset)))
            return device;
        offset += lengths[device];
    }
    return offset == totalBits ? UINT32_MAX : count;
}

IrSplit deriveIrLengths(const uint8_t* capture, uint32_t totalBits, uint32_t deviceCount) {
    IrSplit split;
    if (deviceCount == 0 || totalBits < 2 * static_cast<uint64_t>(deviceCount)) return split;
    const size_t width = static_cast<size_t>(totalBits) + 1;
    const std::vector<uint8_t> ways = countSplits(capture, totalBits, deviceCount);

    const uint8_t total = ways[static_cast<size_t>(deviceCount) * width];
    if (total == 0) return split;
    if (total > 1) {
        split.outcome = IrSplit::Outcome::kAmbiguous;
        return split;
    }
    split.outcome = IrSplit::Outcome::kUnique;
    split.lengths.assign(deviceCount, 0);
    uint32_t start = 0;
    for (uint32_t k = deviceCount; k >= 1; --k) {
        uint32_t next = start + 2;
        while (ways[(k - 1) * width + next] == 0) ++next;
        // The first device out of TDO is the last one of the model.
        split.lengths[k - 1] = next - start;
        start = next;
    }
    return split;
}

}  // namespace csesession
