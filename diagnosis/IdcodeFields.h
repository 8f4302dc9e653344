// SPDX-License-Identifier: Apache-2.0
// The fields of an IEEE 1149.1 IDCODE: version, part number and JEDEC manufacturer (bank and id).
#pragma once

#include <cstdint>
#include <string>

namespace csediag {

struct IdcodeFields {
    bool present = false;  // false for a device that answered the scan with a BYPASS bit (code 0)
    uint32_t version = 0;  // bits 31..28
    uint32_t part = 0;     // bits 27..12
    uint32_t bank = 0;     // JEDEC bank, counted from 1: continuation codes (bits 11..8) plus one
    uint32_t id = 0;       // JEDEC id within its bank, bits 7..1
};

[[nodiscard]] IdcodeFields idcodeFields(uint32_t idcode);

// The banks JEP106 has opened so far: continuation codes 0 .. kJep106Banks - 1.
constexpr uint32_t kJep106Banks = 15;

// Empty when the IDCODE looks sound, else why not (without the code, so that devices with the same
// problem can be named together): bit 0 clear, all ones (what an open TDO or a device without a
// conforming IDCODE gives), a manufacturer id of 0 or 0x7F (a continuation code, not an id), or a
// bank JEP106 has not opened.
[[nodiscard]] std::string idcodeProblem(uint32_t idcode);

}  // namespace csediag
