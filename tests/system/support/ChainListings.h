// SPDX-License-Identifier: Apache-2.0
// The chain as two independent JTAG stacks report it: OpenOCD's auto-probe log and the table of
// "cse-host scan". Both are turned into the same list, device 0 nearest TDI.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace systemtest {

struct ListedDevice {
    std::optional<uint32_t> idcode;  // absent: the device answered with a BYPASS bit
    unsigned irLength = 0;           // 0 when the listing did not give one

    bool operator==(const ListedDevice& other) const {
        return idcode == other.idcode && irLength == other.irLength;
    }
};

// OpenOCD names auto-probed devices from TDO ("auto0" drives TDO) and suggests a declaration
// with the IR length and ID code for each; a device without IDCODE gets the ID code 0.
std::vector<ListedDevice> devicesFromOpenOcdProbe(const std::string& log);
// The rows of "cse-host scan": index, ID code or "-", its fields, IR length (or "?").
std::vector<ListedDevice> devicesFromHostScan(const std::string& table);

std::string describe(const std::vector<ListedDevice>& devices);

}  // namespace systemtest
