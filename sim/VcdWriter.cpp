// SPDX-License-Identifier: Apache-2.0
#include "sim/VcdWriter.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "sim/BitBuffer.h"

namespace quorbit {
namespace {

constexpr std::uint64_t kHalfPeriodNs = 50;  // shown as a 10 MHz TCK
constexpr std::size_t kLongestClockText = 64;
constexpr std::size_t kStopMarkerRoom = 160;  // kept free for the comment that ends a capped dump

constexpr char kTckId = '!';
constexpr char kTmsId = '"';
constexpr char kTdiId = '#';
constexpr char kTdoId = '$';

constexpr const char kHeader[] =
    "$version quorbit-sim JTAG trace $end\n"
    "$timescale 1ns $end\n"
    "$scope module jtag $end\n"
    "$var wire 1 ! tck $end\n"
    "$var wire 1 \" tms $end\n"
    "$var wire 1 # tdi $end\n"
    "$var wire 1 $ tdo $end\n"
    "$upscope $end\n"
    "$enddefinitions $end\n"
    "#0\n"
    "$dumpvars\n"
    "1!\n"
    "x\"\n"
    "x#\n"
    "x$\n"
    "$end\n";

}  // namespace

VcdWriter::~VcdWriter() {
    close();
}

bool VcdWriter::open(const std::string& path, std::uint64_t maxBytes, std::string& error) {
    close();
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) {
        error = path + ": cannot create the VCD file (" + std::strerror(errno) + ")";
        return false;
    }
    maxBytes_ = maxBytes;
    bytes_ = 0;
    clockIndex_ = 0;
    truncated_ = false;
    tms_ = tdi_ = tdo_ = 'x';
    write(kHeader, sizeof kHeader - 1);
    return true;
}

void VcdWriter::close() {
    if (file_ == nullptr) return;
    std::fclose(file_);
    file_ = nullptr;
}

void VcdWriter::flush() {
    if (file_ != nullptr) std::fflush(file_);
}

void VcdWriter::write(const char* text, std::size_t length) {
    std::fwrite(text, 1, length, file_);
    bytes_ += length;
}

void VcdWriter::change(char value, char id) {
    const char text[3] = {value, id, '\n'};
    write(text, sizeof text);
}

void VcdWriter::clock(bool tms, bool tdi, bool tdo) {
    if (file_ == nullptr || truncated_) return;
    if (bytes_ + kLongestClockText + kStopMarkerRoom > maxBytes_) {
        // Stop at a clock boundary; what was written stays a complete dump, and says why it ends.
        truncated_ = true;
        char marker[kStopMarkerRoom];
        const int length = std::snprintf(
            marker, sizeof marker,
            "$comment recording stopped at the size cap of %llu bytes after %llu clocks $end\n",
            static_cast<unsigned long long>(maxBytes_),
            static_cast<unsigned long long>(clockIndex_));
        if (length > 0 && bytes_ + static_cast<std::size_t>(length) <= maxBytes_)
            write(marker, static_cast<std::size_t>(length));
        std::fflush(file_);
        return;
    }
    const std::uint64_t fallTime = (2 * clockIndex_ + 1) * kHalfPeriodNs;
    char stamp[32];
    int length = std::snprintf(stamp, sizeof stamp, "#%llu\n0%c\n",
                               static_cast<unsigned long long>(fallTime), kTckId);
    write(stamp, static_cast<std::size_t>(length));
    const char tmsValue = tms ? '1' : '0';
    const char tdiValue = tdi ? '1' : '0';
    const char tdoValue = tdo ? '1' : '0';
    if (tmsValue != tms_) change(tmsValue, kTmsId);
    if (tdiValue != tdi_) change(tdiValue, kTdiId);
    if (tdoValue != tdo_) change(tdoValue, kTdoId);
    tms_ = tmsValue;
    tdi_ = tdiValue;
    tdo_ = tdoValue;
    length = std::snprintf(stamp, sizeof stamp, "#%llu\n1%c\n",
                           static_cast<unsigned long long>(fallTime + kHalfPeriodNs), kTckId);
    write(stamp, static_cast<std::size_t>(length));
    ++clockIndex_;
}

void VcdWriter::clocks(std::uint64_t count, const std::uint8_t* tms, const std::uint8_t* tdi,
                       const std::uint8_t* tdo, bool lastTmsHigh) {
    for (std::uint64_t k = 0; k < count && file_ != nullptr && !truncated_; ++k) {
        const bool tmsBit = (tms != nullptr && bitAt(tms, k)) || (lastTmsHigh && k + 1 == count);
        clock(tmsBit, tdi != nullptr && bitAt(tdi, k), tdo != nullptr && bitAt(tdo, k));
    }
}

}  // namespace quorbit
