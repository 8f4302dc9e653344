// The fields of an IEEE 1149.1 IDCODE: version, part number and JEDEC manufacturer (bank and id).
#pragma once

#include <cstdint>

namespace csehost {

struct IdcodeFields {
    bool present = false;  // false for a device that answered the scan with a BYPASS bit (code 0)
    uint32_t version = 0;  // bits 31..28
    uint32_t part = 0;     // bits 27..12
    uint32_t bank = 0;     // JEDEC bank, counted from 1: continuation codes (bits 11..8) plus one
    uint32_t id = 0;       // JEDEC id within its bank, bits 7..1
};

[[nodiscard]] IdcodeFields decodeIdcode(uint32_t idcode);

}  // namespace csehost
