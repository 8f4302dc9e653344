// SPDX-License-Identifier: Apache-2.0
#include "support/RequestBuilder.h"

#include <cstring>

namespace simtest {
namespace {

constexpr char kMagic[8] = {'K', 'O', 'R', 'A', 'V', 'E', 'N', '\0'};

}  // namespace

void putLe16(Bytes& bytes, std::uint16_t value) {
    bytes.push_back(static_cast<std::uint8_t>(value & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
}

void putLe32(Bytes& bytes, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes.push_back(static_cast<std::uint8_t>((value >> (8 * i)) & 0xFF));
}

Bytes handshakeDatagram(std::uint8_t type, std::uint16_t sequence, std::size_t length) {
    Bytes datagram(length, 0);
    datagram[0] = type;
    datagram[2] = static_cast<std::uint8_t>(sequence & 0xFF);
    datagram[3] = static_cast<std::uint8_t>(sequence >> 8);
    std::memcpy(datagram.data() + 8, kMagic, sizeof kMagic);
    return datagram;
}

Bytes RequestBuilder::finishEnvelope(Bytes message) {
    if ((message.size() - 5) % 2 != 0) message.push_back(0);
    return message;
}

Bytes RequestBuilder::attach() {
    return finishEnvelope({0, 0, 0, 0, 0, 2, 0x71, 1, ++messageId_});
}

Bytes RequestBuilder::command(const std::string& line) {
    const std::size_t length = line.size();
    Bytes message = {0, 0, 0, 0, 0};
    if (length + 3 < 255) {
        message.push_back(static_cast<std::uint8_t>(length + 3));
        message.insert(message.end(), {0x72, 2, ++messageId_});
    } else {
        message.insert(message.end(), {0, 0x72, 2, ++messageId_});
        putLe16(message, static_cast<std::uint16_t>(length + 5));
    }
    message.insert(message.end(), line.begin(), line.end());
    message.push_back(0);
    return finishEnvelope(message);
}

Bytes RequestBuilder::tap(const Bytes& sendData, bool readBack, bool ends) {
    Bytes block;
    const auto bits = static_cast<std::uint32_t>(8 * sendData.size());
    const std::uint8_t flags = static_cast<std::uint8_t>(12 | 2 | (readBack ? 1 : 0));
    if (bits < 15) {
        block.push_back(static_cast<std::uint8_t>((flags << 4) | bits));
    } else if (bits < 255) {
        block.push_back(static_cast<std::uint8_t>((flags << 4) | 0xF));
        block.push_back(static_cast<std::uint8_t>(bits));
    } else {
        block.push_back(static_cast<std::uint8_t>((flags << 4) | 0xF));
        block.push_back(0xFF);
        putLe32(block, bits);
    }
    block.insert(block.end(), sendData.begin(), sendData.end());
    if (ends) block.push_back(0);
    Bytes message = {
        0, 0, 0, 0, 0, 0, 0x74, static_cast<std::uint8_t>(ends ? 0x92 : 0x93), ++messageId_};
    putLe16(message, static_cast<std::uint16_t>(block.size() + 4));
    message.insert(message.end(), block.begin(), block.end());
    return finishEnvelope(message);
}

Bytes RequestBuilder::rawShift(std::uint16_t options, std::uint32_t bits, const Bytes* tms,
                               const Bytes* tdi, bool tdo) {
    const std::size_t streamBytes = (bits + 7) / 8;
    const auto word = static_cast<std::uint16_t>((options & ~7u) | (tms ? 1u : 0u) |
                                                 (tdi ? 2u : 0u) | (tdo ? 4u : 0u));
    Bytes block = {0x90, 0};
    putLe16(block, word);
    putLe32(block, bits);
    if (tms)
        block.insert(block.end(), tms->begin(),
                     tms->begin() + static_cast<std::ptrdiff_t>(streamBytes));
    if (tdi)
        block.insert(block.end(), tdi->begin(),
                     tdi->begin() + static_cast<std::ptrdiff_t>(streamBytes));
    if (!tms && !tdi && tdo) block.resize(block.size() + streamBytes, 0);
    return tap(block, tdo, false);
}

Bytes RequestBuilder::release() {
    return {0, 0, 0, 0, 0, 0, 0x74, 0x92, ++messageId_, 5, 0, 0, 0};
}

}  // namespace simtest
