// SPDX-License-Identifier: Apache-2.0
// The framework's discovery and device-level access running on this target against emulated
// chains: the demo chain, chains read from files, with and without IDCODEs, long chains.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "support/SimulatedTarget.h"

namespace {

using namespace targettest;

constexpr uint32_t kIdcodeBits = 32;

class DeviceAccess : public SimulatedTargetTest {
  protected:
    void startWithChain(const quorbit::ChainDescription& chain) {
        emulated = chain;
        quorbit::SimOptions options;
        options.chain = chain;
        startSimulator(options);
        openAndLock();
    }

    // scanJTAGChain, then the IR lengths from the chain's description.
    void scanAndSetIrLengths() {
        ASSERT_EQ(plugin->scanJTAGChain(), CSE_SUCCESS);
        ASSERT_EQ(plugin->getDeviceCount(), emulated.devices.size());
        for (uint32_t device = 0; device < emulated.devices.size(); ++device) {
            ASSERT_EQ(plugin->setIRLength(device, emulated.devices[device].irLength), CSE_SUCCESS);
        }
    }

    void expectScanMatchesEmulatedChain() {
        ASSERT_EQ(plugin->getDeviceCount(), emulated.devices.size());
        for (uint32_t device = 0; device < emulated.devices.size(); ++device) {
            EXPECT_EQ(plugin->getDeviceID(device), emulated.devices[device].idcode.value_or(0))
                << "device " << device;
        }
    }

    // The device's instruction register gets `opcode`, every other device BYPASS.
    void selectInstruction(uint32_t device, uint64_t opcode) {
        const uint32_t irLength = emulated.devices[device].irLength;
        std::vector<uint8_t> tdi((irLength + 7) / 8, 0);
        for (uint32_t bit = 0; bit < irLength; ++bit) {
            if ((opcode >> bit) & 1u) tdi[bit / 8] |= static_cast<uint8_t>(1u << (bit % 8));
        }
        std::vector<uint8_t> tdo(tdi.size(), 0);
        ASSERT_EQ(plugin->shiftDeviceIR(device, tdi.data(), tdo.data(), nullptr, nullptr, irLength,
                                        CSEJTAG_RUN_TEST_IDLE, 0, 0),
                  CSE_SUCCESS);
        EXPECT_EQ(tdo[0] & 0x3u, 0x1u) << "the IR captured ...01";
        uint64_t current = 0;
        ASSERT_TRUE(simulator->instruction(device, current));
        EXPECT_EQ(current, opcode);
    }

    std::vector<uint8_t> shiftDr(uint32_t device, const std::vector<uint8_t>& tdi,
                                 uint32_t bitCount) {
        std::vector<uint8_t> tdo(tdi.size(), 0);
        EXPECT_EQ(plugin->shiftDeviceDR(device, tdi.data(), tdo.data(), nullptr, nullptr, bitCount,
                                        CSEJTAG_RUN_TEST_IDLE, 0, 0),
                  CSE_SUCCESS);
        return tdo;
    }

    uint32_t readIdcodeRegister(uint32_t device) {
        selectInstruction(device, emulated.devices[device].idcodeOpcode);
        const std::vector<uint8_t> tdo = shiftDr(device, std::vector<uint8_t>(4, 0), kIdcodeBits);
        return static_cast<uint32_t>(tdo[0]) | static_cast<uint32_t>(tdo[1]) << 8 |
               static_cast<uint32_t>(tdo[2]) << 16 | static_cast<uint32_t>(tdo[3]) << 24;
    }

    quorbit::ChainDescription emulated;  // the chain the emulator runs
};

TEST_F(DeviceAccess, ScanOfTheDemoChainFindsItsThreeDevices) {
    startWithChain(quorbit::defaultDemoChain());
    ASSERT_EQ(plugin->scanJTAGChain(), CSE_SUCCESS);
    expectScanMatchesEmulatedChain();
    EXPECT_EQ(plugin->getDeviceCount(), 3u);
    EXPECT_EQ(plugin->getDeviceID(2), 0u) << "the last demo device has no IDCODE";
    EXPECT_EQ(simulatorState(), CSEJTAG_RUN_TEST_IDLE);
}

TEST_F(DeviceAccess, DeviceLevelShiftsReadEveryIdcodeRegister) {
    startWithChain(quorbit::defaultDemoChain());
    scanAndSetIrLengths();
    for (uint32_t device = 0; device < emulated.devices.size(); ++device) {
        if (!emulated.devices[device].idcode) continue;
        EXPECT_EQ(readIdcodeRegister(device), *emulated.devices[device].idcode)
            << "device " << device;
    }
}

TEST_F(DeviceAccess, UserRegisterOfTheMiddleDeviceKeepsWhatWasWritten) {
    startWithChain(quorbit::defaultDemoChain());
    scanAndSetIrLengths();
    ASSERT_FALSE(emulated.devices[1].userRegisters.empty());
    const auto [opcode, width] = *emulated.devices[1].userRegisters.begin();
    selectInstruction(1, opcode);

    const std::vector<uint8_t> pattern = patternBytes((width + 7) / 8, 42);
    std::vector<uint8_t> written = pattern;
    if (width % 8 != 0) written.back() &= static_cast<uint8_t>((1u << (width % 8)) - 1);
    (void)shiftDr(1, written, width);
    std::vector<uint8_t> held;
    ASSERT_TRUE(simulator->userRegister(1, opcode, held));
    EXPECT_EQ(held, written);

    const std::vector<uint8_t> readBack =
        shiftDr(1, std::vector<uint8_t>(written.size(), 0), width);
    EXPECT_EQ(readBack, written);
}

// Chains written to a file and read back by the emulator's parser, as its users give them.
class ChainFromFile : public DeviceAccess {
  protected:
    void startWithChainText(const std::string& text) {
        const std::string path =
            (std::filesystem::temp_directory_path() /
             ("target_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
              "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".chain"))
                .string();
        {
            std::ofstream file(path);
            file << text;
        }
        quorbit::ChainDescription chain;
        std::string error;
        const bool parsed = quorbit::parseChainFile(path, chain, error);
        std::remove(path.c_str());
        ASSERT_TRUE(parsed) << error;
        startWithChain(chain);
    }
};

TEST_F(ChainFromFile, ChainWithoutIdcodesGivesZeroForEveryDevice) {
    startWithChainText(
        "# three devices without IDCODE\n"
        "alpha 4 - -\n"
        "beta 5 - -\n"
        "gamma 3 - -\n");
    ASSERT_EQ(plugin->scanJTAGChain(), CSE_SUCCESS);
    expectScanMatchesEmulatedChain();
}

TEST_F(ChainFromFile, LongChainIsScannedCompletely) {
    std::string text;
    for (int i = 0; i < 40; ++i) {
        char line[80] = {};
        if (i % 3 == 2) {
            std::snprintf(line, sizeof line, "dev%d %d - -\n", i, 2 + i % 7);
        } else {
            std::snprintf(line, sizeof line, "dev%d %d %08X 1\n", i, 2 + i % 7,
                          0x10000001u | static_cast<unsigned>(i) << 12);
        }
        text += line;
    }
    startWithChainText(text);
    scanAndSetIrLengths();
    expectScanMatchesEmulatedChain();
    EXPECT_EQ(readIdcodeRegister(0), *emulated.devices[0].idcode);
    EXPECT_EQ(readIdcodeRegister(19), *emulated.devices[19].idcode);
    EXPECT_EQ(readIdcodeRegister(39), *emulated.devices[39].idcode);
}

TEST_F(ChainFromFile, EveryShippedChainFileScansAsDescribed) {
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(KRV_SIM_CHAIN_DIR)) {
        if (entry.path().extension() != ".chain") continue;
        ++files;
        SCOPED_TRACE(entry.path().string());
        quorbit::ChainDescription chain;
        std::string error;
        ASSERT_TRUE(quorbit::parseChainFile(entry.path().string(), chain, error)) << error;
        TearDown();
        SetUp();
        startWithChain(chain);
        ASSERT_EQ(plugin->scanJTAGChain(), CSE_SUCCESS);
        // An IDCODE of 0xFFFFFFFF reads like the chain's end: the scan stops there, from TDO.
        const auto invalid =
            std::find_if(chain.devices.rbegin(), chain.devices.rend(),
                         [](const auto& device) { return device.idcode == 0xFFFFFFFFu; });
        if (invalid != chain.devices.rend()) {
            EXPECT_EQ(plugin->getDeviceCount(),
                      static_cast<uint32_t>(invalid - chain.devices.rbegin()));
            continue;
        }
        expectScanMatchesEmulatedChain();
    }
    EXPECT_GE(files, 1u);
}

}  // namespace
