// SPDX-License-Identifier: Apache-2.0
#include "support/ChainListings.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <regex>
#include <sstream>

namespace systemtest {

std::vector<ListedDevice> devicesFromOpenOcdProbe(const std::string& log) {
    static const std::regex suggestion(
        R"re(AUTO auto(\d+)\.tap - use "jtag newtap auto\d+ tap -irlen (\d+) -expected-id 0x([0-9a-fA-F]{8})")re");
    std::map<unsigned long, ListedDevice> fromTdo;
    for (std::sregex_iterator match(log.begin(), log.end(), suggestion), end; match != end;
         ++match) {
        ListedDevice device;
        device.irLength = static_cast<unsigned>(std::stoul((*match)[2]));
        const auto idcode = static_cast<uint32_t>(std::stoul((*match)[3], nullptr, 16));
        if (idcode != 0) device.idcode = idcode;
        fromTdo[std::stoul((*match)[1])] = device;
    }
    std::vector<ListedDevice> devices;
    for (const auto& entry : fromTdo) devices.push_back(entry.second);
    std::reverse(devices.begin(), devices.end());
    return devices;
}

std::vector<ListedDevice> devicesFromHostScan(const std::string& table) {
    static const std::regex row(R"(^\s*\d+\s+(0x[0-9A-Fa-f]{8}|-)\s.*\s(\d+|\?)\s*$)");
    std::vector<ListedDevice> devices;
    std::istringstream lines(table);
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (!std::regex_match(line, match, row)) continue;
        ListedDevice device;
        if (match[1] != "-")
            device.idcode = static_cast<uint32_t>(std::stoul(match[1], nullptr, 16));
        if (match[2] != "?") device.irLength = static_cast<unsigned>(std::stoul(match[2]));
        devices.push_back(device);
    }
    return devices;
}

std::string describe(const std::vector<ListedDevice>& devices) {
    std::string text;
    for (const ListedDevice& device : devices) {
        char item[48];
        if (device.idcode) {
            std::snprintf(item, sizeof item, "[0x%08X irlen %u]", *device.idcode, device.irLength);
        } else {
            std::snprintf(item, sizeof item, "[bypass irlen %u]", device.irLength);
        }
        text += item;
    }
    return text.empty() ? "(no devices)" : text;
}

}  // namespace systemtest
