// SPDX-License-Identifier: Apache-2.0
// Host access to the chain model: device count, IR lengths, ID codes and pad bits.
#include <cstdint>

#include "framework/CsePlugin.h"

namespace CsePluginInterface {
namespace {

// Getters trace their value the way the host has always seen it: as a signed decimal.
int asTraced(uint32_t value) {
    return static_cast<int>(static_cast<int32_t>(value));
}

// Sum of all IR lengths if device's length became length; 64 bits so that it cannot wrap.
uint64_t totalIRLengthWith(const JtagChain& chain, uint32_t device, uint32_t length) {
    uint64_t total = length;
    for (uint32_t i = 0; i < chain.getCount(); ++i) {
        if (i != device) total += chain.irLength(i);
    }
    return total;
}

}  // namespace

uint32_t CsePlugin::getDeviceCount() {
    CsePluginTrace trace("CsePlugin::getDeviceCount");
    const uint32_t count = chain.getCount();
    trace.setFormatted("%d", asTraced(count));
    return count;
}

CseResult CsePlugin::setDeviceCount(uint32_t count) {
    CsePluginTrace trace("CsePlugin::setDeviceCount");
    if (count > kMaxChainDevices) {
        log(1, "<CsePlugin> device count too large\n");
        return trace.setResult(CSE_FAILURE);
    }
    if (count == chain.getCount()) {
        log(4, "CsePlugin::setDeviceCount(%d) UNCHANGED\n", asTraced(count));
        return trace.setResult(CSE_SUCCESS);
    }
    // A different count means a different chain: nothing known about the old one still holds.
    chain.clear();
    chain.setCount(count);
    log(4, "CsePlugin::setDeviceCount(%d)\n", asTraced(count));
    return trace.setResult(CSE_SUCCESS);
}

uint32_t CsePlugin::getIRLength(uint32_t device) {
    CsePluginTrace trace("CsePlugin::getIRLength");
    const uint32_t length = chain.irLength(device);
    trace.setFormatted("%d", asTraced(length));
    return length;
}

CseResult CsePlugin::setIRLength(uint32_t device, uint32_t length) {
    CsePluginTrace trace("CsePlugin::setIRLength");
    log(4, "CsePlugin::setIRLength(device=%d, len=%d)\n", asTraced(device), asTraced(length));
    if (device >= chain.getCount()) {
        log(1, "<CsePlugin> ERROR:Attempted to set IRLength for device out of bounds\n");
        return trace.setResult(CSE_FAILURE);
    }
    // The device-level IR operations size one chain-wide 32-bit stream from the sum.
    if (totalIRLengthWith(chain, device, length) > UINT32_MAX) {
        log(1,
            "<CsePlugin> ERROR:IRLength %u for device %u makes the total IR length of the chain "
            "overflow 32 bits\n",
            length, device);
        return trace.setResult(CSE_FAILURE);
    }
    chain.storeIRLength(device, length);
    return trace.setResult(CSE_SUCCESS);
}

uint32_t CsePlugin::getDeviceID(uint32_t device) {
    CsePluginTrace trace("CsePlugin::getDeviceID");
    // The wording for a bad index is the host's long-standing one.
    if (device >= chain.getCount()) log(1, "<CsePlugin> device count too large\n");
    const uint32_t idCode = chain.idCode(device);
    trace.setFormatted("%d", asTraced(idCode));
    return idCode;
}

CseResult CsePlugin::setDeviceID(uint32_t device, uint32_t idCode) {
    CsePluginTrace trace("CsePlugin::setDeviceID");
    log(4, "CsePlugin::setDeviceID(%d, %x)\n", asTraced(device), idCode);
    if (device >= chain.getCount()) {
        log(1, "<CsePlugin> device index out of bounds in setDeviceID\n");
        return trace.setResult(CSE_FAILURE);
    }
    chain.setIDCode(device, idCode);
    return trace.setResult(CSE_SUCCESS);
}

uint32_t CsePlugin::getIRHeadingPadBits(uint32_t device) {
    CsePluginTrace trace("CsePlugin::getIRHeadingPadBits");
    const uint32_t bits = chain.irHeadingPadBits(device);
    trace.setFormatted("%d", asTraced(bits));
    return bits;
}

uint32_t CsePlugin::getIRTrailingPadBits(uint32_t device) {
    CsePluginTrace trace("CsePlugin::getIRTrailingPadBits");
    const uint32_t bits = chain.irTrailingPadBits(device);
    trace.setFormatted("%d", asTraced(bits));
    return bits;
}

uint32_t CsePlugin::getDRHeadingPadBits(uint32_t device) {
    CsePluginTrace trace("CsePlugin::getDRHeadingPadBits");
    const uint32_t bits = chain.drHeadingPadBits(device);
    trace.setFormatted("%d", asTraced(bits));
    return bits;
}

int32_t CsePlugin::getDRTrailingPadBits(uint32_t device) {
    CsePluginTrace trace("CsePlugin::getDRTrailingPadBits");
    // Negative for an index at or beyond the count, as the host expects.
    const int32_t bits = static_cast<int32_t>(chain.drTrailingPadBits(device));
    trace.setFormatted("%d", static_cast<int>(bits));
    return bits;
}

}  // namespace CsePluginInterface
