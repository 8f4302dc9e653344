// SPDX-License-Identifier: Apache-2.0
// Model of the JTAG scan chain behind the cable: device count, ID codes, IR lengths and IR pad
// bits.
#pragma once

#include <array>
#include <cstdint>

namespace CsePluginInterface {

// Device 0 is nearest TDI. Pad bits of a device count the IR bits of the devices on either side:
// heading = devices 0..i-1 (towards TDI), trailing = devices i+1..count-1 (towards TDO, shifted
// first).
struct JtagDevice {
    uint32_t irLength = 0;  // bits; 0 means not set
    uint32_t idCode = 0;    // 0 when never set or when the device answered with a BYPASS bit
    uint32_t irHeadingPadBits = 0;
    uint32_t irTrailingPadBits = 0;
};

constexpr uint32_t kMaxChainDevices = 255;

// No tracing, no messages: the plug-in's host operations wrap these and report.
class JtagChain {
  public:
    // No devices, flag false, every record zeroed.
    void clear() noexcept;

    uint32_t getCount() const noexcept;
    // Writes the count directly, without checks or clearing; callers keep it at most
    // kMaxChainDevices.
    void setCount(uint32_t count) noexcept;

    // Fields of device i; 0 when i >= count.
    uint32_t irLength(uint32_t device) const noexcept;
    uint32_t idCode(uint32_t device) const noexcept;
    uint32_t irHeadingPadBits(uint32_t device) const noexcept;
    uint32_t irTrailingPadBits(uint32_t device) const noexcept;

    // Ignored when i >= count.
    void setIDCode(uint32_t device, uint32_t code) noexcept;
    // Ignored when i >= count; otherwise stores the length and recomputes the IR pad bits.
    void storeIRLength(uint32_t device, uint32_t length) noexcept;

    // In a DR scan every other device is in its 1-bit BYPASS: heading = i, trailing = count - i
    // - 1. Neither checks the index (trailing wraps in 32 bits for i >= count).
    uint32_t drHeadingPadBits(uint32_t device) const noexcept;
    uint32_t drTrailingPadBits(uint32_t device) const noexcept;

    // True only after a recomputation found at least one device and a nonzero IR length on each.
    bool allIRLengthsSet() const noexcept;
    // 0 unless allIRLengthsSet(); otherwise the sum of all IR lengths.
    uint32_t totalIRLength() const noexcept;

    // Swaps records i and count-1-i; a target scan reads devices from the TDO end.
    void reverseOrder() noexcept;
    // Same count and the same ID code at every index; IR lengths are not compared.
    bool sameIDCodes(const JtagChain& other) const noexcept;
    // Takes over the other model's count and its records 0..count-1, and clears the flag.
    void replaceDevices(const JtagChain& other) noexcept;

  private:
    // Derives the IR pad bits and the flag; stops at the first device without a length.
    void recomputeIRPadBits() noexcept;

    uint32_t deviceCount = 0;
    bool allIRLengthsSetFlag = false;
    std::array<JtagDevice, kMaxChainDevices> devices{};
};

}  // namespace CsePluginInterface
