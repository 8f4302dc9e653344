#include "host/IdcodeFields.h"

namespace csehost {

IdcodeFields decodeIdcode(uint32_t idcode) {
    IdcodeFields fields;
    // A real IDCODE always has bit 0 set; the scan records 0 for a device without one.
    fields.present = (idcode & 1u) != 0;
    if (!fields.present) return fields;
    fields.version = idcode >> 28;
    fields.part = (idcode >> 12) & 0xFFFFu;
    fields.bank = ((idcode >> 8) & 0xFu) + 1;
    fields.id = (idcode >> 1) & 0x7Fu;
    return fields;
}

}  // namespace csehost
