// SPDX-License-Identifier: Apache-2.0
// Writes every datagram the emulator sends and receives to a capture file (libpcap), as IPv4/UDP
// packets with the real addresses and ports, so that the link can be read in Wireshark or tshark.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace quorbit {

// An IPv4 endpoint, both fields in network byte order as the socket layer gives them.
struct PcapEndpoint {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
};

class PcapRecorder {
  public:
    PcapRecorder() = default;
    ~PcapRecorder();  // flushes and closes
    PcapRecorder(const PcapRecorder&) = delete;
    PcapRecorder& operator=(const PcapRecorder&) = delete;

    [[nodiscard]] bool open(const std::string& path, std::string& error);
    bool isOpen() const { return dumper_ != nullptr; }
    // One datagram of `length` bytes, of which `stored` were read (a datagram longer than the
    // receive buffer is recorded cut short, with its real length). A wildcard address stands for
    // the local address that leads to the other endpoint.
    void record(PcapEndpoint from, PcapEndpoint to, const std::uint8_t* data, std::size_t stored,
                std::size_t length);
    void flush();
    void close();

  private:
    std::uint32_t localAddressTowards(std::uint32_t remote);

    void* handle_ = nullptr;  // pcap_t, kept out of this header
    void* dumper_ = nullptr;  // pcap_dumper_t
    std::map<std::uint32_t, std::uint32_t> localAddresses_;
    std::uint16_t ipIdentification_ = 0;
};

}  // namespace quorbit
