// SPDX-License-Identifier: Apache-2.0
// quorbit-sim's request decoding and execution: envelopes, TAP access parameter blocks and
// raw-shift blocks, decoded on their own and then executed by the emulated debugger. Byte 0 says
// whether the debugger is attached and its pins enabled first; then come length-prefixed request
// messages.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "sim/EmulatedDebugger.h"
#include "sim/PeerWire.h"
#include "sim/RequestDecoder.h"

namespace {

using quorbit::EmulatedDebugger;

// Attach, and "JTAG.PIN ENABLE" in the short form (text, NUL and two).
const std::vector<uint8_t> kAttach = {0, 0, 0, 0, 0, 2, quorbit::REQ_ATTACH, 1, 1};

std::vector<uint8_t> pinEnable() {
    const std::string command = "JTAG.PIN ENABLE";
    std::vector<uint8_t> message = {
        0, 0, 0, 0, 0, static_cast<uint8_t>(command.size() + 3), quorbit::REQ_COMMAND, 2, 2};
    message.insert(message.end(), command.begin(), command.end());
    message.push_back(0);
    return message;
}

void decodeOnly(const std::vector<uint8_t>& message) {
    quorbit::RequestEnvelope envelope;
    std::string error;
    if (!quorbit::decodeEnvelope(message.data(), message.size(), envelope, error)) return;
    const uint8_t* end = message.data() + message.size();
    if (envelope.parameters + envelope.parameterLength > end) std::abort();
    if (envelope.code != quorbit::REQ_TAP) return;
    quorbit::TapAccess access;
    if (!quorbit::decodeTapAccess(envelope, access, error)) return;
    if (access.sendData != nullptr && access.sendData + access.sendLength > end) std::abort();
    std::vector<quorbit::RawShift> shifts;
    (void)quorbit::decodeRawShifts(access.sendData, access.sendLength, quorbit::kMaxReplyDataBytes,
                                   shifts, error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzinput::FuzzReader input(data, size);
    const uint8_t config = input.byte();
    EmulatedDebugger debugger(quorbit::defaultDemoChain(), 16);
    std::vector<uint8_t> reply;
    if ((config & 1u) != 0) (void)debugger.execute(kAttach.data(), kAttach.size(), reply);
    if ((config & 2u) != 0) {
        const std::vector<uint8_t> command = pinEnable();
        (void)debugger.execute(command.data(), command.size(), reply);
    }
    std::vector<uint8_t> message;
    bool flag = false;
    while (input.record(message, flag, quorbit::kMaxRequestBytes)) {
        decodeOnly(message);
        (void)debugger.execute(message.data(), message.size(), reply);
        if (reply.size() > quorbit::kMaxReplyDataBytes) std::abort();
    }
    return 0;
}
