// SPDX-License-Identifier: Apache-2.0
// The chain model: device records, the IR pad bits derived from them, and the comparisons and
// take-over that chain discovery needs.
#include "framework/JtagChain.h"

#include <algorithm>
#include <utility>

namespace CsePluginInterface {

void JtagChain::clear() noexcept {
    deviceCount = 0;
    allIRLengthsSetFlag = false;
    devices.fill(JtagDevice{});
}

uint32_t JtagChain::getCount() const noexcept {
    return deviceCount;
}

void JtagChain::setCount(uint32_t count) noexcept {
    // A count beyond the records would let every accessor read past them.
    deviceCount = std::min(count, kMaxChainDevices);
}

uint32_t JtagChain::irLength(uint32_t device) const noexcept {
    return device < deviceCount ? devices[device].irLength : 0;
}

uint32_t JtagChain::idCode(uint32_t device) const noexcept {
    return device < deviceCount ? devices[device].idCode : 0;
}

uint32_t JtagChain::irHeadingPadBits(uint32_t device) const noexcept {
    return device < deviceCount ? devices[device].irHeadingPadBits : 0;
}

uint32_t JtagChain::irTrailingPadBits(uint32_t device) const noexcept {
    return device < deviceCount ? devices[device].irTrailingPadBits : 0;
}

void JtagChain::setIDCode(uint32_t device, uint32_t code) noexcept {
    if (device < deviceCount) devices[device].idCode = code;
}

void JtagChain::storeIRLength(uint32_t device, uint32_t length) noexcept {
    if (device >= deviceCount) return;
    devices[device].irLength = length;
    recomputeIRPadBits();
}

uint32_t JtagChain::drHeadingPadBits(uint32_t device) const noexcept {
    return device;
}

uint32_t JtagChain::drTrailingPadBits(uint32_t device) const noexcept {
    return deviceCount - device - 1u;
}

bool JtagChain::allIRLengthsSet() const noexcept {
    return allIRLengthsSetFlag;
}

uint32_t JtagChain::totalIRLength() const noexcept {
    if (!allIRLengthsSetFlag) return 0;
    uint32_t total = 0;
    for (uint32_t i = 0; i < deviceCount; ++i) total += devices[i].irLength;
    return total;
}

void JtagChain::reverseOrder() noexcept {
    if (deviceCount == 0) return;
    for (uint32_t i = 0, j = deviceCount - 1; i < j; ++i, --j) std::swap(devices[i], devices[j]);
}

bool JtagChain::sameIDCodes(const JtagChain& other) const noexcept {
    if (deviceCount != other.deviceCount) return false;
    for (uint32_t i = 0; i < deviceCount; ++i) {
        if (devices[i].idCode != other.devices[i].idCode) return false;
    }
    return true;
}

void JtagChain::replaceDevices(const JtagChain& other) noexcept {
    if (&other == this) return;
    deviceCount = other.deviceCount;
    std::copy_n(other.devices.begin(), deviceCount, devices.begin());
    allIRLengthsSetFlag = false;
}

void JtagChain::recomputeIRPadBits() noexcept {
    allIRLengthsSetFlag = false;
    if (deviceCount == 0) return;
    uint32_t head = 0;
    uint32_t tail = 0;
    for (uint32_t i = 0; i < deviceCount; ++i) {
        const uint32_t j = deviceCount - 1u - i;
        // A device without a length stops the walk; the records it does not reach keep their
        // earlier pad bits.
        if (devices[i].irLength == 0) return;
        devices[i].irHeadingPadBits = head;
        devices[j].irTrailingPadBits = tail;
        head += devices[i].irLength;
        tail += devices[j].irLength;
    }
    allIRLengthsSetFlag = true;
}

}  // namespace CsePluginInterface
