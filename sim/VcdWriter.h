// SPDX-License-Identifier: Apache-2.0
// Writes the JTAG signals TCK, TMS, TDI and TDO as an IEEE 1364 value change dump, one TCK period
// per clock (falling edge with the new TMS/TDI/TDO, then the rising edge). The file stops growing
// at a size limit so that a long session cannot fill the disk, and says so in a closing comment.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace quorbit {

class VcdWriter {
  public:
    VcdWriter() = default;
    ~VcdWriter();
    VcdWriter(const VcdWriter&) = delete;
    VcdWriter& operator=(const VcdWriter&) = delete;

    [[nodiscard]] bool open(const std::string& path, std::uint64_t maxBytes, std::string& error);
    void close();
    void flush();
    bool isOpen() const { return file_ != nullptr; }

    void clock(bool tms, bool tdi, bool tdo);
    // count clocks from bit streams (bit k in bit k%8 of byte k/8); null streams read as 0, and
    // lastTmsHigh forces TMS 1 on the last clock.
    void clocks(std::uint64_t count, const std::uint8_t* tms, const std::uint8_t* tdi,
                const std::uint8_t* tdo, bool lastTmsHigh);

    bool truncated() const { return truncated_; }
    std::uint64_t bytesWritten() const { return bytes_; }

  private:
    void write(const char* text, std::size_t length);
    void change(char value, char id);

    std::FILE* file_ = nullptr;
    std::uint64_t maxBytes_ = 0;
    std::uint64_t bytes_ = 0;
    std::uint64_t clockIndex_ = 0;
    bool truncated_ = false;
    char tms_ = 'x';
    char tdi_ = 'x';
    char tdo_ = 'x';
};

}  // namespace quorbit
