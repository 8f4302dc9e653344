// SPDX-License-Identifier: Apache-2.0
// The board faults' text form and their check against the chain.
#include <cstdlib>

#include "sim/QuorbitSim.h"

namespace quorbit {
namespace {

bool parseIndex(const std::string& text, std::size_t& value) {
    if (text.empty() || text.size() > 6 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = static_cast<std::size_t>(std::strtoul(text.c_str(), nullptr, 10));
    return true;
}

bool parseHex64(std::string text, std::uint64_t& value) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.erase(0, 2);
    if (text.empty() || text.size() > 16 ||
        text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    value = std::strtoull(text.c_str(), nullptr, 16);
    return true;
}

bool parseItem(const std::string& item, BoardFaults& faults, std::string& error) {
    if (item == "tdo-stuck-0" || item == "tdo-stuck-1" || item == "tdo-echoes-tdi") {
        faults.tdo = item == "tdo-stuck-0"   ? BoardFaults::Tdo::StuckLow
                     : item == "tdo-stuck-1" ? BoardFaults::Tdo::StuckHigh
                                             : BoardFaults::Tdo::EchoesTdi;
        return true;
    }
    std::size_t device = 0;
    if (item.rfind("open-after=", 0) == 0) {
        if (!parseIndex(item.substr(11), device)) {
            error = "'" + item + "': open-after takes a device number";
            return false;
        }
        faults.openAfter = device;
        return true;
    }
    if (item.rfind("ir-capture=", 0) == 0) {
        const std::string value = item.substr(11);
        const std::size_t colon = value.find(':');
        std::uint64_t captured = 0;
        if (colon == std::string::npos || !parseIndex(value.substr(0, colon), device) ||
            !parseHex64(value.substr(colon + 1), captured)) {
            error = "'" + item + "': ir-capture takes DEVICE:HEX, e.g. ir-capture=1:0x3";
            return false;
        }
        faults.irCapture[device] = captured;
        return true;
    }
    error = "unknown board fault '" + item +
            "' (tdo-stuck-0, tdo-stuck-1, tdo-echoes-tdi, open-after=N, ir-capture=N:VALUE)";
    return false;
}

}  // namespace

bool parseBoardFaults(const std::string& text, BoardFaults& faults, std::string& error) {
    if (text.empty()) return true;
    BoardFaults parsed = faults;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t comma = text.find(',', start);
        const std::string item =
            text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (!parseItem(item, parsed, error)) return false;
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    faults = parsed;
    return true;
}

bool checkBoardFaults(const BoardFaults& faults, const ChainDescription& chain,
                      std::string& error) {
    const std::size_t count = chain.devices.size();
    if (faults.openAfter && *faults.openAfter >= count) {
        error = "open-after=" + std::to_string(*faults.openAfter) + ": the chain has " +
                std::to_string(count) + " devices";
        return false;
    }
    for (const auto& [device, value] : faults.irCapture) {
        if (device >= count) {
            error = "ir-capture: device " + std::to_string(device) + " is not on the chain of " +
                    std::to_string(count) + " devices";
            return false;
        }
        const unsigned length = chain.devices[device].irLength;
        if (length < 64 && (value >> length) != 0) {
            error = "ir-capture: the value does not fit device " + std::to_string(device) +
                    "'s IR of " + std::to_string(length) + " bits";
            return false;
        }
    }
    return true;
}

}  // namespace quorbit
