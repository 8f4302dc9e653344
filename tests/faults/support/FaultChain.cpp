// SPDX-License-Identifier: Apache-2.0
#include "support/FaultChain.h"

namespace faults {
namespace {

struct Row {
    const char* name;
    unsigned irLength;
    bool hasIdcode;
    uint32_t idcode;
    uint64_t idcodeOpcode;
    std::vector<std::pair<uint64_t, unsigned>> users;
};

const std::vector<Row>& rows() {
    static const std::vector<Row> table = {
        {"qx-long", 6, true, 0x1A2B3C4Du, 0x09, {{kLongRegisterOpcode, kLongRegisterBits}}},
        {"qx-plain", 4, false, 0, 0, {{0x3, 32}}},
        {"qx-small", 5, true, 0x0C0FFEE1u, 0x01, {}},
    };
    return table;
}

}  // namespace

quorbit::ChainDescription faultChainSpec() {
    quorbit::ChainDescription chain;
    for (const Row& row : rows()) {
        quorbit::DeviceDescription device;
        device.name = row.name;
        device.irLength = row.irLength;
        if (row.hasIdcode) device.idcode = row.idcode;
        device.idcodeOpcode = row.idcodeOpcode;
        for (const auto& [opcode, width] : row.users) device.userRegisters[opcode] = width;
        chain.devices.push_back(device);
    }
    return chain;
}

std::vector<soak::ModelDevice> faultChainModel() {
    std::vector<soak::ModelDevice> model;
    for (const Row& row : rows()) {
        soak::ModelDevice device;
        device.irLength = row.irLength;
        device.hasIdcode = row.hasIdcode;
        device.idcode = row.idcode;
        device.idcodeOpcode = row.idcodeOpcode;
        device.userRegisters = row.users;
        model.push_back(device);
    }
    return model;
}

}  // namespace faults
