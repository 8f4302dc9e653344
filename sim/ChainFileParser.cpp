// SPDX-License-Identifier: Apache-2.0
// Reads chain descriptions: one device per line, "#" comments, blank lines skipped.
//   <name> <ir-length> <idcode-hex | -> <idcode-opcode-hex | -> [<opcode-hex>=<width> ...]
//   <name> 4 <idcode-hex> E jtag-dp [ram=<size>]          (an ARM debug port)
#include <cctype>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/ChainRules.h"
#include "sim/HexText.h"
#include "sim/QuorbitSim.h"

namespace quorbit {
namespace {

constexpr std::size_t kMaxLineLength = 4096;

std::vector<std::string> splitFields(const std::string& line) {
    std::vector<std::string> fields;
    std::istringstream stream(line);
    std::string field;
    while (stream >> field) fields.push_back(field);
    return fields;
}

// Digits only (no sign, no spaces), at most maxDigits of them, value below 2^64.
bool parseDigits(const std::string& text, int base, std::size_t maxDigits, std::uint64_t& value) {
    std::string digits = text;
    if (base == 16 && digits.size() > 2 && digits[0] == '0' &&
        (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
    }
    if (digits.empty() || digits.size() > maxDigits) return false;
    std::uint64_t result = 0;
    for (const char c : digits) {
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (base == 16 && std::isxdigit(static_cast<unsigned char>(c))) {
            digit = std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
        } else {
            return false;
        }
        result = result * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
    }
    value = result;
    return true;
}

bool hasControlCharacter(const std::string& text) {
    for (const char c : text) {
        if (std::iscntrl(static_cast<unsigned char>(c)) && c != '\t' && c != '\r') return true;
    }
    return false;
}

bool parseUserRegister(const std::string& field, DeviceDescription& device, std::string& error) {
    const std::size_t equals = field.find('=');
    std::uint64_t opcode = 0;
    std::uint64_t width = 0;
    if (equals == std::string::npos || !parseDigits(field.substr(0, equals), 16, 16, opcode) ||
        !parseDigits(field.substr(equals + 1), 10, 8, width)) {
        error = "user register '" + field + "' is not <opcode-hex>=<width>";
        return false;
    }
    if (device.userRegisters.count(opcode) != 0) {
        error = "user register opcode " + hexText(opcode) + " given twice";
        return false;
    }
    device.userRegisters[opcode] = static_cast<unsigned>(width);
    return true;
}

// "ram=128K": bytes, or KiB / MiB with a K or M suffix.
bool parseRamSize(const std::string& field, std::uint32_t& bytes, std::string& error) {
    std::string digits = field.substr(4);
    std::uint64_t scale = 1;
    if (!digits.empty() && (digits.back() == 'K' || digits.back() == 'M')) {
        scale = digits.back() == 'K' ? 1024 : 1024 * 1024;
        digits.pop_back();
    }
    std::uint64_t number = 0;
    if (!parseDigits(digits, 10, 8, number) || number * scale > kMaxDebugRamBytes) {
        error = "RAM size '" + field.substr(4) + "' is not a size of at most 64M";
        return false;
    }
    bytes = static_cast<std::uint32_t>(number * scale);
    return true;
}

// The fields after the IDCODE opcode: user registers, or an ARM debug port and its RAM size.
bool parseDeviceExtras(const std::vector<std::string>& fields, DeviceDescription& device,
                       std::string& error) {
    for (std::size_t i = 4; i < fields.size(); ++i) {
        if (fields[i] == "jtag-dp") {
            device.debugPort = DebugPortDescription{};
        } else if (fields[i].rfind("ram=", 0) == 0) {
            if (!device.debugPort) {
                error = "ram= follows jtag-dp";
                return false;
            }
            if (!parseRamSize(fields[i], device.debugPort->ramBytes, error)) return false;
        } else if (!parseUserRegister(fields[i], device, error)) {
            return false;
        }
    }
    return true;
}

bool parseDeviceLine(const std::vector<std::string>& fields, DeviceDescription& device,
                     std::string& error) {
    if (fields.size() < 4) {
        error =
            "expected at least 4 fields (name, IR length, IDCODE or -, IDCODE opcode or -), got " +
            std::to_string(fields.size());
        return false;
    }
    device.name = fields[0];
    std::uint64_t number = 0;
    if (!parseDigits(fields[1], 10, 4, number)) {
        error = "IR length '" + fields[1] + "' is not a decimal number";
        return false;
    }
    device.irLength = static_cast<unsigned>(number);
    if (fields[2] != "-") {
        if (!parseDigits(fields[2], 16, 8, number)) {
            error = "IDCODE '" + fields[2] + "' is not a hex number of at most 8 digits";
            return false;
        }
        device.idcode = static_cast<std::uint32_t>(number);
    }
    if (fields[3] == "-") {
        if (device.idcode) {
            error = "a device with an IDCODE needs its IDCODE opcode";
            return false;
        }
    } else {
        if (!device.idcode) {
            error = "IDCODE opcode given for a device without IDCODE (write -)";
            return false;
        }
        if (!parseDigits(fields[3], 16, 16, number)) {
            error = "IDCODE opcode '" + fields[3] + "' is not a hex number";
            return false;
        }
        device.idcodeOpcode = number;
    }
    if (!parseDeviceExtras(fields, device, error)) return false;
    return validateDevice(device, error);
}

}  // namespace

bool parseChainText(const std::string& text, const std::string& fileName, ChainDescription& chain,
                    std::string& error) {
    ChainDescription parsed;
    std::istringstream stream(text);
    std::string line;
    std::size_t lineNumber = 0;
    while (std::getline(stream, line)) {
        ++lineNumber;
        const std::string where = fileName + ":" + std::to_string(lineNumber) + ": ";
        if (line.size() > kMaxLineLength) {
            error = where + "line longer than " + std::to_string(kMaxLineLength) + " characters";
            return false;
        }
        const std::size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        if (hasControlCharacter(line)) {
            error = where + "control character in the line";
            return false;
        }
        const std::vector<std::string> fields = splitFields(line);
        if (fields.empty()) continue;
        if (parsed.devices.size() == kMaxChainDevices) {
            error = where + "more than " + std::to_string(kMaxChainDevices) + " devices";
            return false;
        }
        DeviceDescription device;
        std::string what;
        if (!parseDeviceLine(fields, device, what)) {
            error = where + what;
            return false;
        }
        parsed.devices.push_back(std::move(device));
    }
    if (parsed.devices.empty()) {
        error = fileName + ": no devices";
        return false;
    }
    std::string whole;
    if (!validateChain(parsed, whole)) {  // what no single line shows: the RAM of all debug ports
        error = fileName + ": " + whole;
        return false;
    }
    chain = std::move(parsed);
    return true;
}

bool parseChainFile(const std::string& path, ChainDescription& chain, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = path + ": cannot open the file";
        return false;
    }
    std::ostringstream content;
    content << file.rdbuf();
    if (file.bad()) {
        error = path + ": read error";
        return false;
    }
    return parseChainText(content.str(), path, chain, error);
}

}  // namespace quorbit
