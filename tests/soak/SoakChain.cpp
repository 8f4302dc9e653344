// SPDX-License-Identifier: Apache-2.0
#include "SoakChain.h"

#include <set>
#include <string>

namespace soak {
namespace {

uint64_t draw(std::mt19937_64& random, uint64_t low, uint64_t high) {
    return std::uniform_int_distribution<uint64_t>(low, high)(random);
}

// Bit 0 is 1 as the standard wants; never all ones, which ends a scan.
uint32_t madeUpIdcode(std::mt19937_64& random) {
    for (;;) {
        const uint32_t code = static_cast<uint32_t>(random()) | 1u;
        if (code != 0xFFFFFFFFu) return code;
    }
}

unsigned userWidth(const ChainShape& shape, std::mt19937_64& random) {
    const uint64_t kind = draw(random, 0, 9);
    if (kind < 6) return static_cast<unsigned>(draw(random, 1, 64));
    if (kind < 9) return static_cast<unsigned>(draw(random, 65, 512));
    return static_cast<unsigned>(draw(random, 1, shape.longestUserRegister));
}

}  // namespace

SoakChain randomChain(const ChainShape& shape, std::mt19937_64& random) {
    SoakChain chain;
    for (unsigned index = 0; index < shape.devices; ++index) {
        ModelDevice device;
        device.irLength = static_cast<unsigned>(draw(random, 2, 8));
        const uint64_t bypassOpcode = (uint64_t{1} << device.irLength) - 1;
        std::set<uint64_t> taken{bypassOpcode};
        auto freeOpcode = [&]() {
            for (;;) {
                const uint64_t opcode = draw(random, 0, bypassOpcode - 1);
                if (taken.insert(opcode).second) return opcode;
            }
        };
        device.hasIdcode = draw(random, 0, 4) != 0;
        if (device.hasIdcode) {
            device.idcode = madeUpIdcode(random);
            device.idcodeOpcode = freeOpcode();
        }
        const uint64_t userCount =
            std::min<uint64_t>(draw(random, 0, 2), bypassOpcode - taken.size());
        for (uint64_t u = 0; u < userCount; ++u) {
            device.userRegisters.emplace_back(freeOpcode(), userWidth(shape, random));
        }

        quorbit::DeviceDescription emulated;
        emulated.name = "soak" + std::to_string(index);
        emulated.irLength = device.irLength;
        if (device.hasIdcode) emulated.idcode = device.idcode;
        emulated.idcodeOpcode = device.idcodeOpcode;
        for (const auto& [opcode, width] : device.userRegisters) {
            emulated.userRegisters[opcode] = width;
        }
        chain.emulated.devices.push_back(std::move(emulated));
        chain.modelled.push_back(std::move(device));
    }
    return chain;
}

}  // namespace soak
