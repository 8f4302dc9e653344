// SPDX-License-Identifier: Apache-2.0
#include "sim/PcapRecorder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace quorbit {
namespace {

constexpr std::size_t kIpHeaderBytes = 20;
constexpr std::size_t kUdpHeaderBytes = 8;
constexpr std::size_t kMaxUdpPayload = 65535 - kIpHeaderBytes - kUdpHeaderBytes;

pcap_t* asPcap(void* handle) {
    return static_cast<pcap_t*>(handle);
}
pcap_dumper_t* asDumper(void* dumper) {
    return static_cast<pcap_dumper_t*>(dumper);
}

void put16(std::uint8_t* p, std::uint16_t hostValue) {
    p[0] = static_cast<std::uint8_t>(hostValue >> 8);
    p[1] = static_cast<std::uint8_t>(hostValue & 0xFF);
}

// Network-order words copied as they are.
void putRaw(std::uint8_t* p, const void* networkValue, std::size_t bytes) {
    const auto* source = static_cast<const std::uint8_t*>(networkValue);
    std::copy(source, source + bytes, p);
}

std::uint16_t ipChecksum(const std::uint8_t* header) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < kIpHeaderBytes; i += 2) {
        sum += static_cast<std::uint32_t>((header[i] << 8) | header[i + 1]);
    }
    while ((sum >> 16) != 0) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

}  // namespace

PcapRecorder::~PcapRecorder() {
    close();
}

bool PcapRecorder::open(const std::string& path, std::string& error) {
    close();
    // Raw IPv4 frames: no link layer to invent for a loopback or routed link.
    pcap_t* handle = pcap_open_dead(DLT_RAW, 65535);
    if (handle == nullptr) {
        error = "cannot prepare the capture " + path;
        return false;
    }
    pcap_dumper_t* dumper = pcap_dump_open(handle, path.c_str());
    if (dumper == nullptr) {
        error = std::string("cannot write the capture: ") + pcap_geterr(handle);
        pcap_close(handle);
        return false;
    }
    handle_ = handle;
    dumper_ = dumper;
    return true;
}

void PcapRecorder::record(PcapEndpoint from, PcapEndpoint to, const std::uint8_t* data,
                          std::size_t stored, std::size_t length) {
    if (dumper_ == nullptr) return;
    if (from.address == htonl(INADDR_ANY)) from.address = localAddressTowards(to.address);
    if (to.address == htonl(INADDR_ANY)) to.address = localAddressTowards(from.address);
    length = std::min(length, kMaxUdpPayload);
    stored = std::min(stored, length);
    std::vector<std::uint8_t> packet(kIpHeaderBytes + kUdpHeaderBytes + stored, 0);
    std::uint8_t* ip = packet.data();
    ip[0] = 0x45;  // IPv4, 20-byte header
    put16(ip + 2, static_cast<std::uint16_t>(kIpHeaderBytes + kUdpHeaderBytes + length));
    put16(ip + 4, ++ipIdentification_);
    put16(ip + 6, 0x4000);  // don't fragment
    ip[8] = 64;             // time to live
    ip[9] = IPPROTO_UDP;
    putRaw(ip + 12, &from.address, 4);
    putRaw(ip + 16, &to.address, 4);
    put16(ip + 10, ipChecksum(ip));
    std::uint8_t* udp = ip + kIpHeaderBytes;
    putRaw(udp, &from.port, 2);
    putRaw(udp + 2, &to.port, 2);
    put16(udp + 4, static_cast<std::uint16_t>(kUdpHeaderBytes + length));
    // UDP checksum 0: none computed, which IPv4 allows.
    std::copy(data, data + stored, udp + kUdpHeaderBytes);

    pcap_pkthdr header{};
    ::gettimeofday(&header.ts, nullptr);
    header.caplen = static_cast<bpf_u_int32>(packet.size());
    header.len = static_cast<bpf_u_int32>(kIpHeaderBytes + kUdpHeaderBytes + length);
    pcap_dump(reinterpret_cast<u_char*>(dumper_), &header, packet.data());
}

void PcapRecorder::flush() {
    if (dumper_ != nullptr) (void)pcap_dump_flush(asDumper(dumper_));
}

void PcapRecorder::close() {
    if (dumper_ != nullptr) pcap_dump_close(asDumper(dumper_));  // flushes
    if (handle_ != nullptr) pcap_close(asPcap(handle_));
    dumper_ = nullptr;
    handle_ = nullptr;
}

// The address the kernel would send from to reach `remote`: what a socket bound to 0.0.0.0
// really uses on the wire. Asked once per remote address.
std::uint32_t PcapRecorder::localAddressTowards(std::uint32_t remote) {
    const auto known = localAddresses_.find(remote);
    if (known != localAddresses_.end()) return known->second;
    std::uint32_t local = htonl(INADDR_LOOPBACK);
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = remote;
        address.sin_port = htons(9);  // connect() on UDP only picks the route
        socklen_t size = sizeof address;
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
            local = address.sin_addr.s_addr;
        }
        ::close(fd);
    }
    localAddresses_[remote] = local;
    return local;
}

}  // namespace quorbit
