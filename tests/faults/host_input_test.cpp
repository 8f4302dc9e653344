// SPDX-License-Identifier: Apache-2.0
// cse-host's parsers at the edges the other tests do not reach: the longest hex strings, numbers of
// a million digits, more IR lengths than a chain has devices, and run scripts with NULs and very
// long lines. Each is taken exactly or refused with a one-line reason.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/HostArguments.h"
#include "session/HexBits.h"

namespace faults {
namespace {

using namespace csehost;
using namespace csesession;

TEST(HostInput, TheLongestHexStringFillsEveryBitOfTheLongestStream) {
    const std::string digits(kMaxHostShiftBits / 4, 'F');
    std::vector<uint8_t> buffer;
    std::string error;
    ASSERT_TRUE(parseHexBits("0x" + digits, kMaxHostShiftBits, buffer, error)) << error;
    ASSERT_EQ(buffer.size(), kMaxHostShiftBits / 8);
    EXPECT_EQ(buffer.front(), 0xFF);
    EXPECT_EQ(buffer.back(), 0xFF);
    EXPECT_EQ(formatHexBits(buffer.data(), kMaxHostShiftBits), digits);
}

TEST(HostInput, OneDigitTooManyIsRefusedWithoutTouchingTheBuffer) {
    std::vector<uint8_t> buffer = {0xAB};
    std::string error;
    EXPECT_FALSE(parseHexBits(std::string(kMaxHostShiftBits / 4 + 1, '0'), kMaxHostShiftBits,
                              buffer, error));
    EXPECT_EQ(error.find('\n'), std::string::npos);
    EXPECT_EQ(buffer, std::vector<uint8_t>{0xAB});
}

TEST(HostInput, ANumberOfAMillionDigitsIsRefusedAtTheFirstDigitTooMany) {
    uint32_t bitCount = 0;
    std::string error;
    EXPECT_FALSE(parseBitCount(std::string(1000000, '9'), bitCount, error));
    EXPECT_NE(error.find("larger than"), std::string::npos) << error.substr(0, 80);
    EXPECT_FALSE(parseBitCount("4294967295", bitCount, error)) << "2^32-1 bits are beyond the host";
    EXPECT_FALSE(parseBitCount("0", bitCount, error));
}

TEST(HostInput, MoreIrLengthsThanAChainHasDevicesAreRefused) {
    std::string list = "4";
    for (uint32_t i = 1; i < kMaxDeviceIndex + 1; ++i) list += ",4";
    std::vector<uint32_t> lengths;
    std::string error;
    ASSERT_TRUE(parseIrLengthList(list, lengths, error)) << error;
    EXPECT_EQ(lengths.size(), kMaxDeviceIndex + 1);
    EXPECT_FALSE(parseIrLengthList(list + ",4", lengths, error));
    EXPECT_FALSE(parseIrLengthList("4,65536", lengths, error));
    EXPECT_FALSE(parseIrLengthList("4,", lengths, error));
}

TEST(HostInput, ArgumentsWithoutValuesOrWithNulsAreRefused) {
    HostOptions options;
    std::string error;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"scan", "--node"}, std::vector<std::string>{"scan", "--port"},
          std::vector<std::string>{"--irlen", "", "scan"},
          std::vector<std::string>{"drscan", "0", "8",
                                   std::string("0x1\0"
                                               "2",
                                               5)},
          std::vector<std::string>{"--port", std::string(100000, '1'), "scan"}}) {
        EXPECT_FALSE(parseHostArguments(args, options, error)) << args.back().size();
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(error.find('\n'), std::string::npos);
    }
}

TEST(HostInput, RunScriptsWithNulsAndHugeLinesNameTheLine) {
    std::vector<HostCommand> commands;
    std::string error;
    const std::string script = "scan\n" + std::string(200000, 'x') + "\nscan\n";
    EXPECT_FALSE(parseRunScript(script, "big.run", commands, error));
    EXPECT_NE(error.find("big.run:2"), std::string::npos) << error.substr(0, 80);
    EXPECT_FALSE(
        parseRunScript(std::string("scan\nstate\0PAUSE_DR\n", 20), "nul.run", commands, error));
    EXPECT_NE(error.find("nul.run:2"), std::string::npos) << error.substr(0, 80);
}

}  // namespace
}  // namespace faults
