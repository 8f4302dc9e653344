// SPDX-License-Identifier: Apache-2.0
#include "diagnosis/MergedShiftCheck.h"

#include <string>
#include <vector>

#include "koraven-cse-plugin/CsePlugin.h"
#include "koraven-cse-plugin/CseTapWalk.h"

namespace csediag {
namespace {

using namespace CsePluginInterface;

constexpr uint32_t kPatternBits = 4096;
constexpr char kName[] = "merged-shifts";

bool bitAt(const std::vector<uint8_t>& stream, uint32_t bit) {
    return ((stream[bit / 8] >> (bit % 8)) & 1u) != 0;
}

void setBit(std::vector<uint8_t>& stream, uint32_t bit, bool value) {
    if (value) stream[bit / 8] = static_cast<uint8_t>(stream[bit / 8] | (1u << (bit % 8)));
}

// A pattern that no fixed delay or stuck line reproduces.
std::vector<uint8_t> pattern() {
    std::vector<uint8_t> bits(kPatternBits / 8);
    uint32_t state = 0x2545F491u;
    for (uint8_t& byte : bits) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<uint8_t>(state);
    }
    return bits;
}

// The raw-shift command's input: the walk from Run-Test/Idle into Shift-DR, the data with TMS 1 on
// its last bit, the walk from Exit1-DR back to Run-Test/Idle; TDI 0 during the walks.
std::vector<uint8_t> mergedInput(const std::vector<uint8_t>& data, uint32_t& dataAt,
                                 uint32_t& bits) {
    const CseTmsWalk in = cseWalkTms(CSEJTAG_RUN_TEST_IDLE, CSEJTAG_SHIFT_DR);
    const CseTmsWalk out = cseWalkTms(CSEJTAG_EXIT1_DR, CSEJTAG_RUN_TEST_IDLE);
    dataAt = in.length;
    bits = in.length + kPatternBits + out.length;
    const uint32_t bytes = (bits + 7) / 8;
    std::vector<uint8_t> tms(bytes, 0);
    std::vector<uint8_t> tdi(bytes, 0);
    for (uint32_t k = 0; k < in.length; ++k) setBit(tms, k, ((in.bits >> k) & 1u) != 0);
    for (uint32_t k = 0; k < kPatternBits; ++k) setBit(tdi, in.length + k, bitAt(data, k));
    setBit(tms, in.length + kPatternBits - 1, true);
    for (uint32_t k = 0; k < out.length; ++k)
        setBit(tms, in.length + kPatternBits + k, ((out.bits >> k) & 1u) != 0);
    std::vector<uint8_t> input = {static_cast<uint8_t>(bits), static_cast<uint8_t>(bits >> 8),
                                  static_cast<uint8_t>(bits >> 16),
                                  static_cast<uint8_t>(bits >> 24)};
    input.insert(input.end(), tms.begin(), tms.end());
    input.insert(input.end(), tdi.begin(), tdi.end());
    return input;
}

}  // namespace

Check checkMergedShifts(ICsePlugin& plugin, bool sessionMerged, uint32_t bypassBits) {
    Check check{kName, Verdict::kOk, "", {}};
    if (sessionMerged) {
        check.verdict = Verdict::kWarning;
        check.reason =
            "not checked: this session sends merged shifts already; run diagnose with "
            "shifts=split to compare the two";
        return check;
    }
    const std::vector<uint8_t> data = pattern();
    std::vector<uint8_t> split(data.size(), 0);
    if (cseFailed(plugin.shiftChainDR(data.data(), split.data(), nullptr, nullptr, kPatternBits,
                                      CSEJTAG_RUN_TEST_IDLE, 0, 0))) {
        check.verdict = Verdict::kFault;
        check.reason = "the DR shift failed: the link or the debugger";
        return check;
    }
    uint32_t dataAt = 0;
    uint32_t bits = 0;
    const std::vector<uint8_t> input = mergedInput(data, dataAt, bits);
    std::vector<uint8_t> merged((bits + 7) / 8, 0);
    if (cseFailed(plugin.sendCommand("raw-shift", input.data(),
                                     static_cast<uint32_t>(input.size()), merged.data(),
                                     static_cast<uint32_t>(merged.size()), 0, 0))) {
        check.verdict = Verdict::kWarning;
        check.reason = "not checked: the plug-in's raw-shift command failed";
        return check;
    }
    // Both ways the BYPASS bits come first (zeros), then the data, one bit a device later.
    uint32_t firstDifference = kPatternBits;
    uint32_t wrong = 0;
    for (uint32_t k = 0; k < kPatternBits; ++k) {
        const bool expected = k >= bypassBits && bitAt(data, k - bypassBits);
        const bool viaMerged = bitAt(merged, dataAt + k);
        if (viaMerged != bitAt(split, k) || viaMerged != expected) {
            if (firstDifference == kPatternBits) firstDifference = k;
            ++wrong;
        }
    }
    check.figures["bits"] = kPatternBits;
    check.figures["differingBits"] = wrong;
    if (wrong == 0) {
        check.reason = "the front end gives the same TDO for 4096 bits through BYPASS split and "
                       "merged into one request: shifts=merged is safe with it";
        return check;
    }
    check.verdict = Verdict::kFault;
    check.reason = "the front end gives other TDO when walk and data come as one request (" +
                   std::to_string(wrong) + " of 4096 bits, the first at bit " +
                   std::to_string(firstDifference) + "): keep shifts=split";
    return check;
}

}  // namespace csediag
