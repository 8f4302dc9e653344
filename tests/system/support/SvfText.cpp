// SPDX-License-Identifier: Apache-2.0
#include "support/SvfText.h"

#include <random>

namespace systemtest {

Bits& Bits::add(uint64_t value, unsigned count) {
    for (unsigned i = 0; i < count; ++i) bits.push_back(((value >> i) & 1) != 0);
    return *this;
}

std::string Bits::hex() const {
    std::string text;
    for (size_t digit = (bits.size() + 3) / 4; digit-- > 0;) {
        unsigned value = 0;
        for (unsigned b = 0; b < 4; ++b) {
            const size_t at = digit * 4 + b;
            if (at < bits.size() && bits[at]) value |= 1u << b;
        }
        text += "0123456789ABCDEF"[value];
    }
    return text;
}

std::string bypassScan(unsigned seed, bool wrongLastBit) {
    std::mt19937_64 random(seed);
    Bits tdi, tdo, mask;
    tdo.add(0, 3);
    for (int i = 0; i < 200000; ++i) tdi.add(random() & 1, 1), mask.add(1, 1);
    for (int i = 0; i < 200000 - 3; ++i) tdo.add(tdi.bits[i], 1);
    if (wrongLastBit) tdo.bits.back() = !tdo.bits.back();
    std::string wrapped = tdi.hex();
    for (size_t at = 1000; at < wrapped.size(); at += 1001) wrapped.insert(at, "\n");
    return "SIR 18 TDI(3FFFF);\nSDR 200000 TDI(" + wrapped + ")\n  TDO(" + tdo.hex() + ") MASK(" +
           mask.hex() + ");\n";
}

}  // namespace systemtest
