// SPDX-License-Identifier: Apache-2.0
// Builds request messages (offset 0 first, even body length) the way the client lays them out,
// numbering them with a message id of its own. No sockets: the peer tests feed them directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace simtest {

using Bytes = std::vector<std::uint8_t>;

class RequestBuilder {
  public:
    Bytes attach();
    Bytes command(const std::string& line);
    // A TAP access carrying sendData (a size header counts its bits); ends = sub-code 0x92.
    Bytes tap(const Bytes& sendData, bool readBack, bool ends);
    // A TAP access carrying one raw-shift block; null streams are left out.
    Bytes rawShift(std::uint16_t options, std::uint32_t bits, const Bytes* tms, const Bytes* tdi,
                   bool tdo);
    Bytes release();

    std::uint8_t lastId() const { return messageId_; }

  private:
    static Bytes finishEnvelope(Bytes message);

    std::uint8_t messageId_ = 0;
};

// Little-endian helpers and handshake datagrams for tests.
void putLe16(Bytes& bytes, std::uint16_t value);
void putLe32(Bytes& bytes, std::uint32_t value);
Bytes handshakeDatagram(std::uint8_t type, std::uint16_t sequence, std::size_t length = 16);

}  // namespace simtest
