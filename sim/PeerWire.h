// SPDX-License-Identifier: Apache-2.0
// Wire constants and little-endian field helpers of the remote interface, as the emulated
// debugger sees them. Written independently of the plug-in's client.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quorbit {

// Datagram types (byte 0).
constexpr std::uint8_t LINK_DATA_IN = 0x01;  // reply fragment, to the client
constexpr std::uint8_t LINK_SYNC_REQUEST = 0x02;
constexpr std::uint8_t LINK_CONNECT_REQUEST = 0x03;
constexpr std::uint8_t LINK_DISCONNECT = 0x04;
constexpr std::uint8_t LINK_SYNC_AGAIN = 0x05;
constexpr std::uint8_t LINK_NOTIFY = 0x06;
constexpr std::uint8_t LINK_ACK = 0x07;
constexpr std::uint8_t LINK_DATA_OUT = 0x11;  // request fragment, from the client
constexpr std::uint8_t LINK_SYNC_REPLY = 0x12;
constexpr std::uint8_t LINK_CONNECT_ACCEPT = 0x13;
constexpr std::uint8_t LINK_SYNC_CONFIRM = 0x22;
constexpr std::uint8_t LINK_CONNECT_REFUSED = 0x23;
constexpr std::uint8_t LINK_CONNECT_DENIED = 0x53;
constexpr std::uint8_t LINK_FLOW_TOKEN = '+';

// The answer to a sync request or request fragment from a sender the emulator holds no link with
// (LINK_CONNECT_DENIED: no link; LINK_CONNECT_REFUSED: another client holds it): the reason at
// byte 4 and the sequence number of the datagram answered at bytes 6-7, so the client can tell
// it from a late copy.
constexpr std::size_t kStrangerReasonOffset = 4;
constexpr std::size_t kStrangerEchoOffset = 6;
constexpr std::uint8_t kReasonBusy = 1;
constexpr std::uint8_t kReasonNoLink = 2;

// Continuation byte of a reply fragment.
constexpr std::uint8_t kLastFragment = 0;
constexpr std::uint8_t kMoreFragments = 1;
constexpr std::uint8_t kMoreFragmentsAckPlease = 2;

constexpr std::size_t kFragmentHeaderBytes = 4;
constexpr std::size_t kHandshakeBytes = 16;
constexpr std::size_t kMagicOffset = 8;
constexpr char kLinkMagic[8] = {'K', 'O', 'R', 'A', 'V', 'E', 'N', '\0'};
constexpr int kMinPacketLength = 16;
constexpr int kMaxPacketLength = 1472;
// The client waits for a flow token after a fragment once the bytes it has sent for the message
// plus its packet length exceed this.
constexpr std::size_t kFlowWindowBytes = 6000;

// Request envelope.
constexpr std::size_t kRequestShortLengthOffset = 5;
constexpr std::size_t kRequestCodeOffset = 6;
constexpr std::size_t kRequestSubCodeOffset = 7;
constexpr std::size_t kRequestIdOffset = 8;
constexpr std::size_t kRequestLongLengthOffset = 9;
constexpr std::size_t kShortParametersOffset = 9;
constexpr std::size_t kLongParametersOffset = 11;
// The largest request a client sends is 15377 bytes; this leaves room and bounds reassembly.
constexpr std::size_t kMaxRequestBytes = 16896;

// Request codes and sub-codes.
constexpr std::uint8_t REQ_ATTACH = 0x71;
constexpr std::uint8_t REQ_COMMAND = 0x72;
constexpr std::uint8_t REQ_TAP = 0x74;
constexpr std::uint8_t kTapContinue = 0x93;
constexpr std::uint8_t kTapEnd = 0x92;
constexpr std::uint8_t TAP_RAW_SHIFT = 0x90;

// Raw-shift option word.
constexpr std::uint16_t kRawTmsPresent = 0x1;
constexpr std::uint16_t kRawTdiPresent = 0x2;
constexpr std::uint16_t kRawTdoWanted = 0x4;
constexpr std::uint16_t kRawLastTmsHigh = 0x8;
constexpr std::size_t kRawShiftHeadBytes = 8;
constexpr std::size_t kMaxRawShiftBlockBytes = 15360;

// Reply envelope.
constexpr std::uint8_t kReplyToggleValid = 0x08;
constexpr std::uint8_t kReplyToggleBit = 0x10;
constexpr std::size_t kReplyStatusOffset = 3;
constexpr std::size_t kReplyIdOffset = 4;
constexpr std::size_t kReplyDataOffset = 5;

inline std::uint16_t readLe16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint32_t readLe32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline void writeLe16(std::uint8_t* p, std::uint16_t value) {
    p[0] = static_cast<std::uint8_t>(value & 0xFF);
    p[1] = static_cast<std::uint8_t>(value >> 8);
}

inline void writeLe32(std::uint8_t* p, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>((value >> (8 * i)) & 0xFF);
}

inline bool hasLinkMagic(const std::uint8_t* datagram, std::size_t length) {
    return length >= kMagicOffset + sizeof kLinkMagic &&
           std::memcmp(datagram + kMagicOffset, kLinkMagic, sizeof kLinkMagic) == 0;
}

inline void putLinkMagic(std::uint8_t* datagram) {
    std::memcpy(datagram + kMagicOffset, kLinkMagic, sizeof kLinkMagic);
}

// Signed distance between two 16-bit sequence numbers, robust across the wrap.
inline int sequenceDistance(std::uint16_t from, std::uint16_t to) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(to - from));
}

}  // namespace quorbit
