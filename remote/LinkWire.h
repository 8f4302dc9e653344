// SPDX-License-Identifier: Apache-2.0
// Wire constants of the debugger's UDP remote interface and the little-endian field helpers that
// read and write them in place.
#pragma once

#include <cstddef>
#include <cstdint>

// Datagram types, byte 0 of every datagram.
constexpr uint8_t LINK_DATA_IN = 0x01;
constexpr uint8_t LINK_SYNC_REQUEST = 0x02;
constexpr uint8_t LINK_CONNECT_REQUEST = 0x03;
constexpr uint8_t LINK_DISCONNECT = 0x04;
constexpr uint8_t LINK_SYNC_AGAIN = 0x05;
constexpr uint8_t LINK_NOTIFY = 0x06;
constexpr uint8_t LINK_ACK = 0x07;
constexpr uint8_t LINK_DATA_OUT = 0x11;
constexpr uint8_t LINK_SYNC_REPLY = 0x12;
constexpr uint8_t LINK_CONNECT_ACCEPT = 0x13;
constexpr uint8_t LINK_SYNC_CONFIRM = 0x22;
constexpr uint8_t LINK_CONNECT_REFUSED = 0x23;
constexpr uint8_t LINK_CONNECT_DENIED = 0x53;
// A one-byte datagram holding this character lets a long transmission go on.
constexpr uint8_t LINK_FLOW_TOKEN = '+';

// A front end that holds no link with the sender of a sync request or a request fragment answers
// it with a control datagram: LINK_CONNECT_DENIED (it has no link: restarted, or the link was
// closed) or LINK_CONNECT_REFUSED (another client holds the link), with the reason at byte 4 and
// the sequence number of the datagram it answers at bytes 6-7.
constexpr size_t kLinkReasonOffset = 4;
constexpr size_t kLinkEchoOffset = 6;
constexpr uint8_t kLinkReasonBusy = 1;    // another client holds the link
constexpr uint8_t kLinkReasonNoLink = 2;  // no link with the sender

// Continuation byte of a fragment header.
constexpr uint8_t kLinkLastFragment = 0;
constexpr uint8_t kLinkMoreFragments = 1;
constexpr uint8_t kLinkMoreFragmentsAckWanted = 2;  // only the peer asks for this

// Every handshake, sync, disconnect and acknowledgement datagram carries the magic at bytes 8..15.
constexpr char kLinkMagic[8] = {'K', 'O', 'R', 'A', 'V', 'E', 'N', '\0'};
constexpr size_t kLinkMagicOffset = 8;
constexpr size_t kLinkMagicSize = sizeof(kLinkMagic);
// Sync, disconnect and acknowledgement datagrams are this long.
constexpr int kLinkControlDatagramSize = 16;
constexpr size_t kFragmentHeaderSize = 4;
// The smallest packet length the link uses (room for the handshake's magic and some data), and the
// most a reply may carry.
constexpr int kLinkMinPacketLength = 16;
constexpr int kLinkMaxReplyLength = 16640;

// Request codes (offset 6 of a request) and sub-codes (offset 7).
constexpr uint8_t REQ_ATTACH = 0x71;
constexpr uint8_t REQ_COMMAND = 0x72;
constexpr uint8_t REQ_TAP = 0x74;
constexpr uint8_t kAttachSubCode = 1;
constexpr uint8_t kCommandSubCode = 2;
constexpr uint8_t kTapContinueSubCode = 0x93;
constexpr uint8_t kTapEndSubCode = 0x92;
// First byte of a raw-shift command block sent as the data of a TAP access.
constexpr uint8_t TAP_RAW_SHIFT = 0x90;

// Request envelope offsets.
constexpr size_t kRequestShortLengthOffset = 5;
constexpr size_t kRequestCodeOffset = 6;
constexpr size_t kRequestSubCodeOffset = 7;
constexpr size_t kRequestIdOffset = 8;
constexpr size_t kRequestShortParamsOffset = 9;
constexpr size_t kRequestLongLengthOffset = 9;
constexpr size_t kRequestLongParamsOffset = 11;
// The part of a request sent after its five leading zero bytes starts here.
constexpr size_t kRequestBodyOffset = 5;

// Reply envelope offsets.
constexpr size_t kReplyFlagsOffset = 0;
constexpr size_t kReplyStatusOffset = 3;
constexpr size_t kReplyIdOffset = 4;
constexpr size_t kReplyDataOffset = 5;
constexpr uint8_t kReplyToggleValidFlag = 0x08;
constexpr int kReplyToggleShift = 4;
// Status of a reply that is not final: the answer is still to come.
constexpr uint8_t kReplyStatusPending = 254;

inline uint16_t loadLE16(const uint8_t* bytes) noexcept {
    return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

inline void storeLE16(uint8_t* bytes, uint16_t value) noexcept {
    bytes[0] = static_cast<uint8_t>(value);
    bytes[1] = static_cast<uint8_t>(value >> 8);
}

inline void storeLE32(uint8_t* bytes, uint32_t value) noexcept {
    bytes[0] = static_cast<uint8_t>(value);
    bytes[1] = static_cast<uint8_t>(value >> 8);
    bytes[2] = static_cast<uint8_t>(value >> 16);
    bytes[3] = static_cast<uint8_t>(value >> 24);
}

inline uint32_t loadLE32(const uint8_t* bytes) noexcept {
    return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
           (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}
