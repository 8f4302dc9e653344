// SPDX-License-Identifier: Apache-2.0
#include "diagnosis/IdcodeFields.h"

#include <cstdio>

namespace csediag {

IdcodeFields idcodeFields(uint32_t idcode) {
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

std::string idcodeProblem(uint32_t idcode) {
    if ((idcode & 1u) == 0) return "bit 0 clear";
    const IdcodeFields fields = idcodeFields(idcode);
    char text[96] = {};
    if (fields.id == 0 || fields.id == 0x7F) {
        std::snprintf(text, sizeof text, "manufacturer id 0x%02X, which JEP106 never assigns",
                      fields.id);
    } else if (fields.bank > kJep106Banks) {
        std::snprintf(text, sizeof text, "JEP106 bank %u, which does not exist", fields.bank);
    }
    return text;
}

}  // namespace csediag
