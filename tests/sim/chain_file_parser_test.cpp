// SPDX-License-Identifier: Apache-2.0
// Chain descriptions: what parses, and that every error names the file, the line and the problem.
#include <gtest/gtest.h>

#include <fstream>

#include "sim/QuorbitSim.h"

namespace {

using quorbit::ChainDescription;

TEST(ChainFileParser, ReadsDevicesCommentsAndUserRegisters) {
    const std::string text =
        "# two devices\n"
        "\n"
        "  first 6 0x1234A0B3 09   # comment after a device\n"
        "second\t8\t-\t-\t22=24 0x23=72\r\n";
    ChainDescription chain;
    std::string error;
    ASSERT_TRUE(quorbit::parseChainText(text, "t.chain", chain, error)) << error;
    ASSERT_EQ(chain.devices.size(), 2u);
    EXPECT_EQ(chain.devices[0].name, "first");
    EXPECT_EQ(chain.devices[0].irLength, 6u);
    EXPECT_EQ(chain.devices[0].idcode, 0x1234A0B3u);
    EXPECT_EQ(chain.devices[0].idcodeOpcode, 0x09u);
    EXPECT_FALSE(chain.devices[1].idcode.has_value());
    const std::map<std::uint64_t, unsigned> users = {{0x22, 24}, {0x23, 72}};
    EXPECT_EQ(chain.devices[1].userRegisters, users);
}

struct BadChain {
    const char* name;
    const char* text;
    const char* error;
};

class ChainFileErrorTest : public ::testing::TestWithParam<BadChain> {};

TEST_P(ChainFileErrorTest, RejectedWithFileLineAndReason) {
    ChainDescription chain;
    chain.devices.push_back({"kept", 4, std::nullopt, 0, {}});
    std::string error;
    EXPECT_FALSE(quorbit::parseChainText(GetParam().text, "board.chain", chain, error));
    EXPECT_EQ(error, GetParam().error);
    ASSERT_EQ(chain.devices.size(), 1u) << "a rejected text leaves the chain alone";
    EXPECT_EQ(chain.devices[0].name, "kept");
}

INSTANTIATE_TEST_SUITE_P(
    Errors, ChainFileErrorTest,
    ::testing::Values(
        BadChain{"Empty", "# nothing\n\n", "board.chain: no devices"},
        BadChain{"TooFewFields", "a 4 -\n",
                 "board.chain:1: expected at least 4 fields (name, IR length, IDCODE or -, IDCODE "
                 "opcode or -), got 3"},
        BadChain{"IrLengthNotANumber", "ok 4 - -\nb x4 - -\n",
                 "board.chain:2: IR length 'x4' is not a decimal number"},
        BadChain{"IrLengthTooShort", "a 1 - -\n", "board.chain:1: IR length 1 out of range 2..64"},
        BadChain{"IrLengthTooLong", "a 65 - -\n", "board.chain:1: IR length 65 out of range 2..64"},
        BadChain{"IdcodeNotHex", "a 4 12G4 1\n",
                 "board.chain:1: IDCODE '12G4' is not a hex number of at most 8 digits"},
        BadChain{"IdcodeTooLong", "a 4 0x123456789 1\n",
                 "board.chain:1: IDCODE '0x123456789' is not a hex number of at most 8 digits"},
        BadChain{"IdcodeEven", "a 4 0x10000000 1\n", "board.chain:1: IDCODE must have bit 0 set"},
        BadChain{"IdcodeWithoutOpcode", "a 4 0x10000001 -\n",
                 "board.chain:1: a device with an IDCODE needs its IDCODE opcode"},
        BadChain{"OpcodeWithoutIdcode", "a 4 - 1\n",
                 "board.chain:1: IDCODE opcode given for a device without IDCODE (write -)"},
        BadChain{"OpcodeTooWide", "a 4 0x10000001 0x10\n",
                 "board.chain:1: IDCODE opcode does not fit in the IR length"},
        BadChain{"OpcodeIsBypass", "a 4 0x10000001 F\n",
                 "board.chain:1: IDCODE opcode is the all-ones BYPASS opcode"},
        BadChain{"UserRegisterSyntax", "a 4 - - 3:8\n",
                 "board.chain:1: user register '3:8' is not <opcode-hex>=<width>"},
        BadChain{"UserRegisterTwice", "a 4 - - 3=8 03=9\n",
                 "board.chain:1: user register opcode 0x3 given twice"},
        BadChain{"UserRegisterOnIdcodeOpcode", "a 4 0x10000001 3 3=8\n",
                 "board.chain:1: user register opcode 0x3 is the IDCODE opcode"},
        BadChain{"UserRegisterZeroWidth", "a 4 - - 3=0\n",
                 "board.chain:1: user register opcode 0x3: width 0 out of range 1..1048576"},
        BadChain{"UserRegisterTooWide", "a 4 - - 3=2000000\n",
                 "board.chain:1: user register opcode 0x3: width 2000000 out of range 1..1048576"},
        BadChain{"ControlCharacter", "a 4 - -\nb\x01 4 - -\n",
                 "board.chain:2: control character in the line"}),
    [](const ::testing::TestParamInfo<BadChain>& info) { return info.param.name; });

TEST(ChainFileParser, MissingFileIsNamed) {
    ChainDescription chain;
    std::string error;
    EXPECT_FALSE(quorbit::parseChainFile("/nonexistent/dir/x.chain", chain, error));
    EXPECT_EQ(error, "/nonexistent/dir/x.chain: cannot open the file");
}

TEST(ChainFileParser, TooManyDevicesStopAtTheLineThatExceedsTheLimit) {
    std::string text;
    for (std::size_t i = 0; i <= quorbit::kMaxChainDevices; ++i) text += "d 2 - -\n";
    ChainDescription chain;
    std::string error;
    EXPECT_FALSE(quorbit::parseChainText(text, "big", chain, error));
    EXPECT_EQ(error, "big:1025: more than 1024 devices");
}

class ExampleChainTest : public ::testing::TestWithParam<const char*> {};

TEST_P(ExampleChainTest, ShippedExampleParsesAndValidates) {
    ChainDescription chain;
    std::string error;
    const std::string path = std::string(QUORBIT_SIM_CHAINS_DIR) + "/" + GetParam();
    ASSERT_TRUE(quorbit::parseChainFile(path, chain, error)) << error;
    EXPECT_TRUE(quorbit::validateChain(chain, error)) << error;
}

INSTANTIATE_TEST_SUITE_P(Examples, ExampleChainTest,
                         ::testing::Values("demo.chain", "no-idcode.chain", "long20.chain",
                                           "three-with-ffffffff.chain"));

TEST(ChainFileParser, DemoChainFileDescribesTheBuiltInChain) {
    ChainDescription fromFile;
    std::string error;
    ASSERT_TRUE(quorbit::parseChainFile(std::string(QUORBIT_SIM_CHAINS_DIR) + "/demo.chain",
                                        fromFile, error))
        << error;
    const ChainDescription builtIn = quorbit::defaultDemoChain();
    ASSERT_EQ(fromFile.devices.size(), builtIn.devices.size());
    for (std::size_t i = 0; i < builtIn.devices.size(); ++i) {
        EXPECT_EQ(fromFile.devices[i].name, builtIn.devices[i].name);
        EXPECT_EQ(fromFile.devices[i].irLength, builtIn.devices[i].irLength);
        EXPECT_EQ(fromFile.devices[i].idcode, builtIn.devices[i].idcode);
        EXPECT_EQ(fromFile.devices[i].userRegisters, builtIn.devices[i].userRegisters);
    }
}

TEST(ChainValidation, DemoChainHasMadeUpIdcodesWithBitZeroSet) {
    const ChainDescription chain = quorbit::defaultDemoChain();
    ASSERT_EQ(chain.devices.size(), 3u);
    EXPECT_EQ(chain.devices[0].irLength, 6u);
    EXPECT_EQ(chain.devices[1].irLength, 8u);
    EXPECT_EQ(chain.devices[2].irLength, 4u);
    EXPECT_FALSE(chain.devices[2].idcode.has_value());
    EXPECT_FALSE(chain.devices[1].userRegisters.empty());
    std::string error;
    EXPECT_TRUE(quorbit::validateChain(chain, error)) << error;
}

TEST(ChainValidation, ErrorNamesTheDeviceByIndexAndName) {
    ChainDescription chain = quorbit::defaultDemoChain();
    chain.devices[1].userRegisters[0xFF] = 8;
    std::string error;
    EXPECT_FALSE(quorbit::validateChain(chain, error));
    EXPECT_EQ(error, "device 1 (talpa): user register opcode 0xff is the all-ones BYPASS opcode");
}

}  // namespace
