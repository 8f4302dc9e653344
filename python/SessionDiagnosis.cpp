// SPDX-License-Identifier: Apache-2.0
// Session.diagnose and the IDCODE fields of Session.devices, from diagnosis/.
#include <cmath>

#include "diagnosis/ChainDiagnosis.h"
#include "diagnosis/IdcodeFields.h"
#include "python/PythonSession.h"

namespace csepython {

PyDevice describeDevice(const csesession::Device& device) {
    PyDevice described;
    described.index = device.index;
    described.idcode = device.idcode;
    described.irlen = device.irLength;
    described.openocdPosition = device.openocdPosition;
    if (device.idcode) {
        const csediag::IdcodeFields fields = csediag::idcodeFields(*device.idcode);
        described.version = fields.version;
        described.part = fields.part;
        described.bank = fields.bank;
        described.id = fields.id;
        described.manufacturer = (*device.idcode >> 1) & 0x7FFu;
    }
    return described;
}

py::list PythonSession::diagnose() {
    const std::vector<csediag::Check> checks = run([this](csesession::CableSession& session) {
        calls_.noteUnknown();  // its shifts leave no instruction a repetition could load again
        return csediag::diagnoseSession(session, irLengthsGiven_);
    });
    const py::module_ types = py::module_::import("koraven_cse._types");
    py::list list;
    for (const csediag::Check& check : checks) {
        py::dict figures;
        for (const auto& [name, value] : check.figures) {
            // Counts as int, as the JSON output writes them; measurements as float.
            if (csediag::isCountFigure(name)) {
                figures[py::str(name)] = py::int_(static_cast<int64_t>(std::llround(value)));
            } else {
                figures[py::str(name)] = value;
            }
        }
        list.append(types.attr("Check")(check.name, csediag::verdictName(check.verdict),
                                        check.reason, figures));
    }
    return list;
}

}  // namespace csepython
