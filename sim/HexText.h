// SPDX-License-Identifier: Apache-2.0
// Small text helpers for messages: hex numbers and byte dumps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace quorbit {

inline std::string hexText(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

inline std::string hexByte(std::uint8_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", static_cast<unsigned>(value));
    return text;
}

}  // namespace quorbit
