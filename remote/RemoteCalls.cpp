// SPDX-License-Identifier: Apache-2.0
// The remote calls: each builds one request in the request buffer, sends it, waits for the
// matching reply and keeps its result as the last result.
#include <cstring>

#include "remote/LinkRoutines.h"
#include "remote/RemoteLink.h"
#include "remote/RemoteLinkState.h"

namespace {

constexpr size_t kMaxCommandLength = 2048;
// The short form's length byte is the text with its NUL plus 2.
constexpr size_t kCommandTextOverhead = 3;
constexpr size_t kShortFormLimit = 255;
constexpr int64_t kMaxRawShiftBlock = 15360;
constexpr int64_t kRawShiftHeadSize = 8;
constexpr int kRawShiftAccessFlags = 12;
constexpr int kKeepAccess = 1;

// Access flag bits that the call itself sets.
constexpr int kFlagReadBack = 0x1;
constexpr int kFlagSendData = 0x2;
// Raw-shift option bits that say which streams follow.
constexpr int kOptionTms = 0x1;
constexpr int kOptionTdi = 0x2;
constexpr int kOptionTdo = 0x4;

int finish(int result) noexcept {
    gRemoteLink.lastResult = result;
    return result;
}

uint8_t* beginRequest(uint8_t code, uint8_t subCode, uint8_t shortLength) noexcept {
    uint8_t* request = LinkRequestMessage();
    request[kRequestIdOffset] = ++gRemoteLink.messageId;
    request[kRequestShortLengthOffset] = shortLength;
    request[kRequestCodeOffset] = code;
    request[kRequestSubCodeOffset] = subCode;
    return request;
}

// What carrying a request out twice would do: nothing (an attach, a command line such as the pin
// command), or move the TAP once more.
enum class Twice { Harmless, MovesTheTap };

// Sends the body (offset 5 on, `bodyLength` bytes, padded to even with a zero byte) and waits.
// Returns the reply's status or a negative link code; `*replyValue` gets what LinkWaitReply gave.
int exchange(size_t bodyLength, Twice twice, int* replyValue = nullptr) noexcept {
    const LinkRetransmit retransmit = gRemoteLink.retransmit;
    gRemoteLink.requestRepeatable =
        retransmit == LinkRetransmit::On ||
        (retransmit == LinkRetransmit::Idempotent && twice == Twice::Harmless);
    uint8_t* request = LinkRequestMessage();
    if (bodyLength % 2 != 0) request[kRequestBodyOffset + bodyLength++] = 0;
    if (LinkSendRequest(static_cast<int>(bodyLength)) != 0) return gRemoteLink.lastResult;
    const int value = LinkWaitReply();
    if (replyValue != nullptr) *replyValue = value;
    if (value == -1) return gRemoteLink.lastResult;  // -1, -2 or kLinkLostResult
    return LinkReplyMessage()[kReplyStatusOffset];
}

// The command's length, without reading past the longest accepted command.
size_t boundedLength(const char* text) noexcept {
    size_t length = 0;
    while (length <= kMaxCommandLength && text[length] != '\0') ++length;
    return length;
}

size_t sizeHeaderLength(int bits) noexcept {
    if (bits < 0) return 0;
    if (bits < 15) return 1;
    return bits < 255 ? 2 : 6;
}

uint8_t* writeSizeHeader(uint8_t* out, int flags, int bits) noexcept {
    const auto high = static_cast<uint8_t>(flags << 4);
    if (bits < 15) {
        *out++ = static_cast<uint8_t>(high | bits);
        return out;
    }
    *out++ = static_cast<uint8_t>(high | 0x0F);
    if (bits < 255) {
        *out++ = static_cast<uint8_t>(bits);
        return out;
    }
    *out++ = 0xFF;
    storeLE32(out, static_cast<uint32_t>(bits));
    return out + 4;
}

int64_t bytesOfBits(int bits) noexcept {
    return bits > 0 ? (int64_t{bits} + 7) / 8 : 0;
}

// The shape of one TAP access: its flags as sent, how many data bytes follow the size header and
// the length of the whole parameter block.
struct TapAccessLayout {
    int accessFlags = 0;
    int bits = -1;
    bool keep = false;
    int64_t dataBytes = 0;
    int64_t blockLength = 0;
};

TapAccessLayout layTapAccess(int flags, int bits, int keep, bool withSend,
                             bool withReceive) noexcept {
    TapAccessLayout layout;
    layout.accessFlags = flags & 0x0F;
    if (withSend) layout.accessFlags |= kFlagSendData;
    if (withReceive) layout.accessFlags |= kFlagReadBack;
    layout.bits = bits;
    layout.keep = keep == kKeepAccess;
    layout.dataBytes =
        (bits >= 0 && (layout.accessFlags & kFlagSendData) != 0) ? bytesOfBits(bits) : 0;
    layout.blockLength =
        static_cast<int64_t>(sizeHeaderLength(bits)) + layout.dataBytes + (layout.keep ? 0 : 1);
    return layout;
}

// Room for the block and a filler byte.
bool fitsRequestBuffer(const TapAccessLayout& layout) noexcept {
    return static_cast<int64_t>(kRequestLongParamsOffset) + layout.blockLength + 1 <=
           static_cast<int64_t>(kMaxRequestLength);
}

// Writes the envelope and the size header; returns where the data bytes go.
uint8_t* beginTapAccess(const TapAccessLayout& layout) noexcept {
    uint8_t* request = beginRequest(REQ_TAP, layout.keep ? kTapContinueSubCode : kTapEndSubCode, 0);
    storeLE16(request + kRequestLongLengthOffset, static_cast<uint16_t>(layout.blockLength + 4));
    uint8_t* out = request + kRequestLongParamsOffset;
    if (layout.bits >= 0) out = writeSizeHeader(out, layout.accessFlags, layout.bits);
    return out;
}

// Ends the block, sends it and copies the TDO bytes out of the reply: their only copy.
int completeTapAccess(const TapAccessLayout& layout, int tdoBits, uint8_t* receive) noexcept {
    if (!layout.keep) {
        LinkRequestMessage()[kRequestLongParamsOffset + layout.blockLength - 1] = 0;
    }
    int replyValue = -1;
    const int result =
        exchange(static_cast<size_t>(layout.blockLength) + 6, Twice::MovesTheTap, &replyValue);
    const int64_t tdoBytes = bytesOfBits(tdoBits);
    // A reply with fewer data bytes than asked for leaves `receive` as it was.
    if (result >= 0 && receive != nullptr && tdoBytes > 0 && replyValue >= tdoBytes + 4) {
        std::memcpy(receive, LinkReplyMessage() + kReplyDataOffset, static_cast<size_t>(tdoBytes));
    }
    return result;
}

}  // namespace

int KRV_Attach() {
    beginRequest(REQ_ATTACH, kAttachSubCode, 2);
    return finish(exchange(4, Twice::Harmless));
}

int KRV_ExecuteCommand(const char* command) {
    if (command == nullptr) return finish(-3);
    const size_t length = boundedLength(command);
    if (length > kMaxCommandLength) return finish(-3);
    const size_t withNul = length + 1;
    if (length + kCommandTextOverhead < kShortFormLimit) {
        uint8_t* request = beginRequest(REQ_COMMAND, kCommandSubCode,
                                        static_cast<uint8_t>(length + kCommandTextOverhead));
        std::memcpy(request + kRequestShortParamsOffset, command, withNul);
        return finish(
            exchange(kRequestShortParamsOffset - kRequestBodyOffset + withNul, Twice::Harmless));
    }
    uint8_t* request = beginRequest(REQ_COMMAND, kCommandSubCode, 0);
    storeLE16(request + kRequestLongLengthOffset, static_cast<uint16_t>(withNul + 4));
    std::memcpy(request + kRequestLongParamsOffset, command, withNul);
    return finish(
        exchange(kRequestLongParamsOffset - kRequestBodyOffset + withNul, Twice::Harmless));
}

int KRV_TAPAccessRequest(int tdoBits, int flags, int bits, int keep, const uint8_t* send,
                         uint8_t* receive) {
    const TapAccessLayout layout =
        layTapAccess(flags, bits, keep, send != nullptr, receive != nullptr);
    if (!fitsRequestBuffer(layout)) return finish(-3);  // refused before anything is built
    uint8_t* data = beginTapAccess(layout);
    if (layout.dataBytes > 0) {
        // Flag bit 1 from the caller without data: zeros keep the block as long as it says.
        if (send != nullptr) {
            std::memcpy(data, send, static_cast<size_t>(layout.dataBytes));
        } else {
            std::memset(data, 0, static_cast<size_t>(layout.dataBytes));
        }
    }
    return finish(completeTapAccess(layout, tdoBits, receive));
}

int KRV_TAPAccessShiftRaw(int options, int bits, const uint8_t* tms, const uint8_t* tdi,
                          uint8_t* tdo) {
    if (bits == 0) return finish(0);
    if (bits < 0) return finish(-3);
    const int64_t streamBytes = bytesOfBits(bits);
    const bool tdoOnly = tms == nullptr && tdi == nullptr && tdo != nullptr;
    const int64_t blockLength = kRawShiftHeadSize + (tms != nullptr ? streamBytes : 0) +
                                (tdi != nullptr ? streamBytes : 0) + (tdoOnly ? streamBytes : 0);
    if (blockLength > kMaxRawShiftBlock) return finish(-3);  // refused before anything is built

    // The block is built straight into the request as the data of its TAP access, so the TDI
    // bytes are copied once; its length, known now, fixes the size header in front of it.
    const TapAccessLayout layout = layTapAccess(
        kRawShiftAccessFlags, static_cast<int>(blockLength * 8), kKeepAccess, true, tdo != nullptr);
    uint8_t* block = beginTapAccess(layout);
    int optionWord = options & ~(kOptionTms | kOptionTdi | kOptionTdo);
    if (tms != nullptr) optionWord |= kOptionTms;
    if (tdi != nullptr) optionWord |= kOptionTdi;
    if (tdo != nullptr) optionWord |= kOptionTdo;
    block[0] = TAP_RAW_SHIFT;
    block[1] = 0;
    storeLE16(block + 2, static_cast<uint16_t>(optionWord));
    storeLE32(block + 4, static_cast<uint32_t>(bits));
    uint8_t* out = block + kRawShiftHeadSize;
    if (tms != nullptr) {
        std::memcpy(out, tms, static_cast<size_t>(streamBytes));
        out += streamBytes;
    }
    if (tdi != nullptr) std::memcpy(out, tdi, static_cast<size_t>(streamBytes));
    if (tdoOnly) std::memset(out, 0, static_cast<size_t>(streamBytes));  // counted, not used
    return finish(completeTapAccess(layout, tdo != nullptr ? bits : 0, tdo));
}

int KRV_ReleaseTAP() {
    // A TAP access without size header and data, only the ending zero byte.
    return KRV_TAPAccessRequest(0, 0, -1, 0, nullptr, nullptr);
}

int KRV_LastResult() {
    return gRemoteLink.lastResult;
}

int KRV_PacketLength() {
    return gRemoteLink.packetLength;
}
