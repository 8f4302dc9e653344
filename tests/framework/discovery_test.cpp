// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/framework/support/FakeChainTarget.h"
#include "tests/framework/support/RecordingCallbacks.h"

namespace {

using namespace CsePluginInterface;
using krvtest::CallbackEvent;
using krvtest::FailurePlan;
using krvtest::FakeChainTarget;
using krvtest::FakeDevice;
using krvtest::RecordingCallbacks;
using krvtest::TdoFault;
using Lines = std::vector<std::string>;

constexpr const char* kNoDevicesText = "No devices detected while scanning the JTAG chain\n";
constexpr uint32_t kIdA = 0x10A0C0D1;
constexpr uint32_t kIdB = 0x20B0C0D3;
constexpr uint32_t kIdC = 0x30C0D0E5;

// A chain description file that lives as long as the test.
class DescriptionFile {
  public:
    explicit DescriptionFile(const std::string& content) {
        char pattern[] = "/tmp/jtagchain-XXXXXX";
        const int descriptor = mkstemp(pattern);
        if (descriptor < 0) return;
        filePath = pattern;
        std::FILE* file = fdopen(descriptor, "wb");
        if (file == nullptr) return;
        std::fwrite(content.data(), 1, content.size(), file);
        std::fclose(file);
    }
    ~DescriptionFile() {
        if (!filePath.empty()) std::remove(filePath.c_str());
    }
    DescriptionFile(const DescriptionFile&) = delete;
    DescriptionFile& operator=(const DescriptionFile&) = delete;

    const char* path() const { return filePath.c_str(); }

  private:
    std::string filePath;
};

// Sets CSE_JTAGFILE (or removes it) for one test and restores the earlier state.
class JtagFileVariable {
  public:
    explicit JtagFileVariable(const char* value) {
        if (const char* old = std::getenv("CSE_JTAGFILE"); old != nullptr) previous = old;
        hadPrevious = std::getenv("CSE_JTAGFILE") != nullptr;
        if (value != nullptr) {
            setenv("CSE_JTAGFILE", value, 1);
        } else {
            unsetenv("CSE_JTAGFILE");
        }
    }
    ~JtagFileVariable() {
        if (hadPrevious) {
            setenv("CSE_JTAGFILE", previous.c_str(), 1);
        } else {
            unsetenv("CSE_JTAGFILE");
        }
    }
    JtagFileVariable(const JtagFileVariable&) = delete;
    JtagFileVariable& operator=(const JtagFileVariable&) = delete;

  private:
    std::string previous;
    bool hadPrevious = false;
};

std::string repeatedLines(const std::string& line, int count) {
    std::string content;
    for (int i = 0; i < count; ++i) content += line + "\n";
    return content;
}

std::vector<FakeDevice> devicesWithoutIdCode(int count) {
    return std::vector<FakeDevice>(static_cast<size_t>(count), FakeDevice::withoutIdCode(4));
}

class Discovery : public ::testing::Test {
  protected:
    void SetUp() override { recorder.clear(); }

    // A model the host had set up before: IR lengths 6, 8 and 10, ID codes A, B, C.
    void presetModel() {
        ASSERT_EQ(plugin.setDeviceCount(3), CSE_SUCCESS);
        const uint32_t lengths[] = {6, 8, 10};
        const uint32_t codes[] = {kIdA, kIdB, kIdC};
        for (uint32_t i = 0; i < 3; ++i) {
            ASSERT_EQ(plugin.setIRLength(i, lengths[i]), CSE_SUCCESS);
            ASSERT_EQ(plugin.setDeviceID(i, codes[i]), CSE_SUCCESS);
        }
    }

    void expectPresetModelKept() {
        const JtagChain& model = plugin.chainModel();
        ASSERT_EQ(model.getCount(), 3u);
        EXPECT_TRUE(model.allIRLengthsSet());
        EXPECT_EQ(model.totalIRLength(), 24u);
        EXPECT_EQ(model.idCode(0), kIdA);
        EXPECT_EQ(model.idCode(2), kIdC);
    }

    void lock() {
        ASSERT_EQ(plugin.lockTarget(0), CSE_SUCCESS);
        plugin.calls.clear();
        plugin.shifts.clear();
        recorder.clear();
    }

    void expectNoDevicesFound() {
        EXPECT_EQ(plugin.chainModel().getCount(), 0u);
        const std::vector<CallbackEvent> messages = recorder.ofKind(CallbackEvent::Kind::Message);
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].category, 0x100u);
        EXPECT_EQ(messages[0].text, kNoDevicesText);
        EXPECT_TRUE(recorder.hasLog(1, std::string("<CsePlugin> Error:") + kNoDevicesText));
        EXPECT_EQ(recorder.traces().back(), "< CSE_FAILURE, ERROR CODE: 0");
    }

    std::vector<uint32_t> modelCodes() {
        std::vector<uint32_t> codes;
        for (uint32_t i = 0; i < plugin.chainModel().getCount(); ++i) {
            codes.push_back(plugin.chainModel().idCode(i));
        }
        return codes;
    }

    RecordingCallbacks recorder;
    FakeChainTarget plugin;
};

// ---- The lock guard and the choice of scan ----

TEST_F(Discovery, ScanWithoutTheLockIsRefusedBeforeAnyCableActivity) {
    presetModel();
    recorder.clear();
    EXPECT_EQ(plugin.scanJTAGChain(), CSE_FAILURE);
    EXPECT_EQ(recorder.logs(),
              Lines{"<CsePlugin> Operation not permitted without obtaining an exclusive lock!\n"});
    EXPECT_EQ(recorder.traces(),
              (Lines{"> CsePlugin::scanJTAGChain", "< CSE_FAILURE, ERROR CODE: 0"}));
    EXPECT_TRUE(plugin.calls.empty());
    expectPresetModelKept();
}

TEST_F(Discovery, ScanReadsTheFileNamedByTheEnvironment) {
    const DescriptionFile file("0x0000ABCD\n");
    const JtagFileVariable variable(file.path());
    lock();
    EXPECT_EQ(plugin.scanJTAGChain(), CSE_SUCCESS);
    EXPECT_EQ(modelCodes(), std::vector<uint32_t>{0xABCD});
    EXPECT_TRUE(plugin.calls.empty());
    EXPECT_EQ(recorder.traces(),
              (Lines{"> CsePlugin::scanJTAGChain", "  > CsePlugin::fileScanJTAGChain",
                     "  < CSE_SUCCESS", "< "}));
}

TEST_F(Discovery, AnEmptyFileVariableStillSelectsTheFileScan) {
    const JtagFileVariable variable("");
    lock();
    EXPECT_EQ(plugin.scanJTAGChain(), CSE_FAILURE);
    EXPECT_TRUE(recorder.hasLog(1, "ERROR: Could not open  for reading\n"));
    EXPECT_TRUE(plugin.calls.empty());
}

TEST_F(Discovery, WithoutTheVariableTheChainIsScanned) {
    const JtagFileVariable variable(nullptr);
    plugin.setDevices({FakeDevice::withIdCode(6, kIdA)});
    lock();
    EXPECT_EQ(plugin.scanJTAGChain(), CSE_SUCCESS);
    EXPECT_EQ(modelCodes(), std::vector<uint32_t>{kIdA});
    EXPECT_EQ(recorder.traces().at(1), "  > CsePlugin::targetScanJTAGChain");
    EXPECT_EQ(recorder.traces().back(), "< ");
}

// ---- Description files ----

struct LineCase {
    const char* line;
    uint32_t idCode;
};

class DescriptionLine : public Discovery, public ::testing::WithParamInterface<LineCase> {};

TEST_P(DescriptionLine, GivesTheIdCodeThatTheHostHasAlwaysSeen) {
    const DescriptionFile file(std::string(GetParam().line) + "\n");
    EXPECT_EQ(plugin.fileScanJTAGChain(file.path()), CSE_SUCCESS);
    EXPECT_EQ(modelCodes(), std::vector<uint32_t>{GetParam().idCode});
}

INSTANTIATE_TEST_SUITE_P(
    Lines, DescriptionLine,
    ::testing::Values(LineCase{"0x1234ABCD", 0x1234ABCD}, LineCase{"5678abcd", 0x5678ABCD},
                      LineCase{"0XfedcBA98", 0xFEDCBA98}, LineCase{" 12345678", 0x12345678},
                      LineCase{"12345678  ", 0x345678}, LineCase{"0x0123456789", 0x23456789},
                      LineCase{"zz", 0}, LineCase{"   ", 0}, LineCase{"\t1f", 0x1F},
                      LineCase{"0X0xAB", 0xAB}, LineCase{"12g4", 0x12}, LineCase{"7\r", 7}));

TEST_F(Discovery, FileDevicesAreInChainOrderFromTdi) {
    const DescriptionFile file("0x1234ABCD\n5678abcd\n");
    EXPECT_EQ(plugin.fileScanJTAGChain(file.path()), CSE_SUCCESS);
    EXPECT_EQ(modelCodes(), (std::vector<uint32_t>{0x1234ABCD, 0x5678ABCD}));
    const std::string path = file.path();
    EXPECT_EQ(recorder.logs(),
              (Lines{"Reading JTAG chain description from file " + path + "\n",
                     "fileScanJTAGChain: Parsing '0x1234ABCD'\n",
                     "fileScanJTAGChain: Read deviceid 1234abcd from file\n",
                     "fileScanJTAGChain: Parsing '5678abcd'\n",
                     "fileScanJTAGChain: Read deviceid 5678abcd from file\n",
                     "JTAG chain changed... Resetting IR Lengths\n", "JTAG DeviceCount=2\n",
                     "Device[0]=1234abcd\n", "Device[1]=5678abcd\n"}));
    EXPECT_EQ(recorder.traces(), (Lines{"> CsePlugin::fileScanJTAGChain", "< CSE_SUCCESS"}));
}

TEST_F(Discovery, EmptyLinesAndLineEndsAreSkipped) {
    const DescriptionFile file("\n\r\n0x1\n\n\r\r\n0x2");
    EXPECT_EQ(plugin.fileScanJTAGChain(file.path()), CSE_SUCCESS);
    EXPECT_EQ(modelCodes(), (std::vector<uint32_t>{1, 2}));
}

TEST_F(Discovery, ALineLongerThan254CharactersIsReadInPieces) {
    const DescriptionFile file(std::string(300, '1') + "\n");
    EXPECT_EQ(plugin.fileScanJTAGChain(file.path()), CSE_SUCCESS);
    EXPECT_EQ(modelCodes(), (std::vector<uint32_t>{0x11111111, 0x11111111}));
}

TEST_F(Discovery, AFileOfOnlyLineEndsFindsNoDevicesAndEmptiesTheModel) {
    presetModel();
    const DescriptionFile file("\n\r\n\n");
    recorder.clear();
    EXPECT_EQ(plugin.fileScanJTAGChain(file.path()), CSE_FAILURE);
    expectNoDevicesFound();
}

TEST_F(Discovery, AMissingFileLeavesTheModelAlone) {
    presetModel();
    recorder.clear();
    EXPECT_EQ(plugin.fileScanJTAGChain("/nonexistent/chain.txt"), CSE_FAILURE);
    EXPECT_EQ(recorder.logs(1),
              Lines{"ERROR: Could not open /nonexistent/chain.txt for reading\n"});
    EXPECT_EQ(recorder.traces(), (Lines{"> CsePlugin::fileScanJTAGChain", "< "}));
    expectPresetModelKept();
}

TEST_F(Discovery, ANullPathIsAFileThatCannotBeOpened) {
    presetModel();
    EXPECT_EQ(plugin.fileScanJTAGChain(nullptr), CSE_FAILURE);
    EXPECT_TRUE(recorder.hasLog(1, "ERROR: Could not open (null) for reading\n"));
    expectPresetModelKept();
}

TEST_F(Discovery, AFileOf255DevicesFillsTheModel) {
    const DescriptionFile file(repeatedLines("0x00000077", 255));
    EXPECT_EQ(plugin.fileScanJTAGChain(file.path()), CSE_SUCCESS);
    EXPECT_EQ(plugin.chainModel().getCount(), 255u);
    EXPECT_EQ(plugin.chainModel().idCode(254), 0x77u);
}

TEST_F(Discovery, AFileOfMoreThan255DevicesIsRefusedAndTheModelKept) {
    presetModel();
    const DescriptionFile file(repeatedLines("0x00000077", 256) + "\n");
    recorder.clear();
    EXPECT_EQ(plugin.fileScanJTAGChain(file.path()), CSE_FAILURE);
    EXPECT_EQ(recorder.logs(1), Lines{"ERROR: " + std::string(file.path()) +
                                      " describes a JTAG chain longer than 255 devices\n"});
    EXPECT_EQ(recorder.traces().back(), "< CSE_FAILURE, ERROR CODE: 0");
    EXPECT_TRUE(recorder.ofKind(CallbackEvent::Kind::Message).empty());
    expectPresetModelKept();
}

TEST_F(Discovery, AnUnchangedFileKeepsTheIRLengths) {
    presetModel();
    const DescriptionFile file("10A0C0D1\n20B0C0D3\n30C0D0E5\n");
    recorder.clear();
    EXPECT_EQ(plugin.fileScanJTAGChain(file.path()), CSE_SUCCESS);
    EXPECT_TRUE(recorder.hasLog(2, "No JTAG chain changes detected...\n"));
    EXPECT_TRUE(recorder.hasLog(3, "Device[2]=30c0d0e5\n"));
    expectPresetModelKept();
}

TEST_F(Discovery, AnExchangedDeviceInTheFileResetsTheIRLengths) {
    presetModel();
    const DescriptionFile file("10A0C0D1\n20B0C0D5\n30C0D0E5\n");
    EXPECT_EQ(plugin.fileScanJTAGChain(file.path()), CSE_SUCCESS);
    EXPECT_TRUE(recorder.hasLog(2, "JTAG chain changed... Resetting IR Lengths\n"));
    EXPECT_FALSE(plugin.chainModel().allIRLengthsSet());
    EXPECT_EQ(plugin.chainModel().irLength(0), 0u);
}

// ---- Target scans on the modelled chain ----

TEST_F(Discovery, TargetScanFindsThreeDevicesInTdiOrderAndRestsInRunTestIdle) {
    plugin.setDevices({FakeDevice::withIdCode(6, kIdA), FakeDevice::withIdCode(8, kIdB),
                       FakeDevice::withIdCode(10, kIdC)});
    lock();
    EXPECT_EQ(plugin.targetScanJTAGChain(), CSE_SUCCESS);
    EXPECT_EQ(modelCodes(), (std::vector<uint32_t>{kIdA, kIdB, kIdC}));
    EXPECT_EQ(plugin.state(), CSEJTAG_RUN_TEST_IDLE);
    EXPECT_EQ(plugin.calls, (Lines{"initializeTAPImpl()", "shiftChainDRImpl(1024,4)",
                                   "initializeTAPImpl()", "navigateTAPImpl(1,0)"}));
    EXPECT_TRUE(recorder.tracesBalanced());
    EXPECT_EQ(recorder.traces().front(), "> CsePlugin::targetScanJTAGChain");
    EXPECT_EQ(recorder.traces().back(), "< CSE_SUCCESS");
    const std::vector<CallbackEvent> dumps = recorder.ofKind(CallbackEvent::Kind::Dump);
    ASSERT_EQ(dumps.size(), 1u);
    EXPECT_EQ(dumps[0].text, "BUFFER AFTER SHIFTDR:");
    EXPECT_EQ(dumps[0].bitCount, 1024u);
    EXPECT_EQ(dumps[0].level, 5u);
    // The first code out of TDO is the last device's.
    EXPECT_EQ(dumps[0].bits[0], kIdC & 0xFF);
    EXPECT_TRUE(recorder.hasLog(3, "JTAG DeviceCount=3\n"));
    EXPECT_TRUE(recorder.hasLog(3, "Device[0]=10a0c0d1\n"));
}

TEST_F(Discovery, TheFirstBlockIsAllOnesShiftedInPlaceEndingInShiftDR) {
    plugin.setDevices({FakeDevice::withIdCode(6, kIdA)});
    lock();
    ASSERT_EQ(plugin.targetScanJTAGChain(), CSE_SUCCESS);
    ASSERT_EQ(plugin.shifts.size(), 1u);
    EXPECT_EQ(plugin.shifts[0].tdiBytes, std::vector<uint8_t>(128, 0xFF));
    EXPECT_TRUE(plugin.shifts[0].tdoGiven);
    EXPECT_TRUE(plugin.shifts[0].tdiAuxBytes.empty());
    EXPECT_TRUE(plugin.shifts[0].tdoAuxBytes.empty());
    EXPECT_EQ(plugin.shifts[0].endState, CSEJTAG_SHIFT_DR);
}

TEST_F(Discovery, DevicesWithoutIdCodeAreFoundWithCodeZero) {
    plugin.setDevices(devicesWithoutIdCode(3));
    lock();
    EXPECT_EQ(plugin.targetScanJTAGChain(), CSE_SUCCESS);
    EXPECT_EQ(modelCodes(), (std::vector<uint32_t>{0, 0, 0}));
}

TEST_F(Discovery, BypassAndIdCodeDevicesMix) {
    plugin.setDevices({FakeDevice::withoutIdCode(5), FakeDevice::withIdCode(8, kIdB),
                       FakeDevice::withoutIdCode(3)});
    lock();
    EXPECT_EQ(plugin.targetScanJTAGChain(), CSE_SUCCESS);
    EXPECT_EQ(modelCodes(), (std::vector<uint32_t>{0, kIdB, 0}));
}

TEST_F(Discovery, TdoStuckAtOneFindsNoDevices) {
    presetModel();
    plugin.setDevices({FakeDevice::withIdCode(6, kIdA)});
    plugin.tdoFault = TdoFault::StuckAt1;
    lock();
    EXPECT_EQ(plugin.targetScanJTAGChain(), CSE_FAILURE);
    expectNoDevicesFound();
    EXPECT_EQ(plugin.state(), CSEJTAG_RUN_TEST_IDLE);
}

TEST_F(Discovery, TdoStuckAtZeroReaches255DevicesAndFindsNone) {
    presetModel();
    plugin.setDevices({FakeDevice::withIdCode(6, kIdA)});
    plugin.tdoFault = TdoFault::StuckAt0;
    lock();
    EXPECT_EQ(plugin.targetScanJTAGChain(), CSE_FAILURE);
    expectNoDevicesFound();
    EXPECT_EQ(plugin.calls, (Lines{"initializeTAPImpl()", "shiftChainDRImpl(1024,4)",
                                   "initializeTAPImpl()", "navigateTAPImpl(1,0)"}));
}

TEST_F(Discovery, AChainOf254DevicesIsTheLongestATargetScanAccepts) {
    plugin.setDevices(devicesWithoutIdCode(254));
    lock();
    EXPECT_EQ(plugin.targetScanJTAGChain(), CSE_SUCCESS);
    EXPECT_EQ(plugin.chainModel().getCount(), 254u);
}

TEST_F(Discovery, AChainOf255DevicesIsDroppedSayingWhy) {
    plugin.setDevices(devicesWithoutIdCode(255));
    lock();
    EXPECT_EQ(plugin.targetScanJTAGChain(), CSE_FAILURE);
    expectNoDevicesFound();
    EXPECT_TRUE(recorder.hasLog(
        1, "ERROR: The JTAG chain holds more devices than a target scan can accept (254)\n"));
}

TEST_F(Discovery, ADeviceEndingOnBit1023ContinuesWithTheCapturedBuffer) {
    // 32 codes of 32 bits fill the first block exactly.
    std::vector<FakeDevice> devices;
    for (uint32_t i = 0; i < 32; ++i) devices.push_back(FakeDevice::withIdCode(4, 0x1001 + 2 * i));
    plugin.setDevices(devices);
    lock();
    EXPECT_EQ(plugin.targetScanJTAGChain(), CSE_SUCCESS);
    ASSERT_EQ(plugin.chainModel().getCount(), 32u);
    for (uint32_t i = 0; i < 32; ++i) EXPECT_EQ(plugin.chainModel().idCode(i), 0x1001 + 2 * i);
    ASSERT_EQ(plugin.shifts.size(), 2u);
    // Not refilled: the second block shifts in what the first one captured.
    const std::vector<CallbackEvent> dumps = recorder.ofKind(CallbackEvent::Kind::Dump);
    ASSERT_EQ(dumps.size(), 2u);
    EXPECT_EQ(plugin.shifts[1].tdiBytes,
              std::vector<uint8_t>(dumps[0].bits.begin(), dumps[0].bits.begin() + 128));
    EXPECT_NE(plugin.shifts[1].tdiBytes, std::vector<uint8_t>(128, 0xFF));
}

TEST_F(Discovery, ACodeAcrossTheBlockBoundaryIsReadFromARefilledBlock) {
    // 31 codes and 10 BYPASS bits take 1002 bits; the next code spans bits 1002 to 1033.
    std::vector<FakeDevice> devices;
    devices.push_back(FakeDevice::withIdCode(4, kIdC));  // nearest TDI, out last
    for (int i = 0; i < 10; ++i) devices.push_back(FakeDevice::withoutIdCode(2));
    for (uint32_t i = 0; i < 31; ++i) devices.push_back(FakeDevice::withIdCode(4, 0x2001 + 2 * i));
    plugin.setDevices(devices);
    lock();
    EXPECT_EQ(plugin.targetScanJTAGChain(), CSE_SUCCESS);
    ASSERT_EQ(plugin.chainModel().getCount(), 42u);
    EXPECT_EQ(plugin.chainModel().idCode(0), kIdC);
    EXPECT_EQ(plugin.chainModel().idCode(10), 0u);
    EXPECT_EQ(plugin.chainModel().idCode(41), 0x2001u + 2 * 30);
    ASSERT_EQ(plugin.shifts.size(), 2u);
    EXPECT_EQ(plugin.shifts[1].tdiBytes, std::vector<uint8_t>(128, 0xFF));
}

TEST_F(Discovery, ScanningTheSameChainTwiceKeepsTheIRLengths) {
    plugin.setDevices({FakeDevice::withIdCode(6, kIdA), FakeDevice::withIdCode(8, kIdB)});
    lock();
    ASSERT_EQ(plugin.targetScanJTAGChain(), CSE_SUCCESS);
    ASSERT_EQ(plugin.setIRLength(0, 6), CSE_SUCCESS);
    ASSERT_EQ(plugin.setIRLength(1, 8), CSE_SUCCESS);
    recorder.clear();
    EXPECT_EQ(plugin.targetScanJTAGChain(), CSE_SUCCESS);
    EXPECT_TRUE(recorder.hasLog(2, "No JTAG chain changes detected...\n"));
    EXPECT_TRUE(plugin.chainModel().allIRLengthsSet());
    EXPECT_EQ(plugin.chainModel().totalIRLength(), 14u);
}

class ChangedChain : public Discovery,
                     public ::testing::WithParamInterface<std::vector<FakeDevice>> {};

TEST_P(ChangedChain, ResetsTheIRLengths) {
    plugin.setDevices({FakeDevice::withIdCode(6, kIdA), FakeDevice::withIdCode(8, kIdB)});
    lock();
    ASSERT_EQ(plugin.targetScanJTAGChain(), CSE_SUCCESS);
    ASSERT_EQ(plugin.setIRLength(0, 6), CSE_SUCCESS);
    ASSERT_EQ(plugin.setIRLength(1, 8), CSE_SUCCESS);
    plugin.setDevices(GetParam());
    recorder.clear();
    ASSERT_EQ(plugin.targetScanJTAGChain(), CSE_SUCCESS);
    EXPECT_TRUE(recorder.hasLog(2, "JTAG chain changed... Resetting IR Lengths\n"));
    EXPECT_FALSE(plugin.chainModel().allIRLengthsSet());
    EXPECT_EQ(plugin.chainModel().irLength(0), 0u);
}

INSTANTIATE_TEST_SUITE_P(Chains, ChangedChain,
                         ::testing::Values(std::vector<FakeDevice>{FakeDevice::withIdCode(6, kIdA)},
                                           std::vector<FakeDevice>{FakeDevice::withIdCode(6, kIdA),
                                                                   FakeDevice::withIdCode(8, kIdC)},
                                           std::vector<FakeDevice>{
                                               FakeDevice::withIdCode(8, kIdB),
                                               FakeDevice::withIdCode(6, kIdA)}));

struct ScanFailureCase {
    const char* name;
    FailurePlan plan;
    Lines calls;
};

class TargetScanFailure : public Discovery,
                          public ::testing::WithParamInterface<ScanFailureCase> {};

TEST_P(TargetScanFailure, ReturnsTheCodeAndLeavesTheModelAlone) {
    presetModel();
    std::vector<FakeDevice> devices;
    for (uint32_t i = 0; i < 32; ++i) devices.push_back(FakeDevice::withIdCode(4, 0x3001 + 2 * i));
    plugin.setDevices(devices);
    lock();
    plugin.setFailurePlan(GetParam().plan);
    EXPECT_EQ(plugin.targetScanJTAGChain(), static_cast<CseResult>(0x80000005u));
    EXPECT_EQ(recorder.traces().back(), "< CSE_FAILURE, ERROR CODE: 5");
    EXPECT_EQ(plugin.calls, GetParam().calls);
    EXPECT_TRUE(recorder.tracesBalanced());
    expectPresetModelKept();
}

INSTANTIATE_TEST_SUITE_P(
    Steps, TargetScanFailure,
    ::testing::Values(ScanFailureCase{"Reset",
                                      {1, 0, 0, 0, static_cast<CseResult>(0x80000005u)},
                                      {"initializeTAPImpl()"}},
                      ScanFailureCase{"FirstBlock",
                                      {0, 0, 0, 1, static_cast<CseResult>(0x80000005u)},
                                      {"initializeTAPImpl()", "shiftChainDRImpl(1024,4)"}},
                      ScanFailureCase{"SecondBlock",
                                      {0, 0, 0, 2, static_cast<CseResult>(0x80000005u)},
                                      {"initializeTAPImpl()", "shiftChainDRImpl(1024,4)",
                                       "shiftChainDRImpl(1024,4)"}},
                      ScanFailureCase{"FinalNavigation",
                                      {0, 1, 0, 0, static_cast<CseResult>(0x80000005u)},
                                      {"initializeTAPImpl()", "shiftChainDRImpl(1024,4)",
                                       "shiftChainDRImpl(1024,4)", "initializeTAPImpl()",
                                       "navigateTAPImpl(1,0)"}}),
    [](const ::testing::TestParamInfo<ScanFailureCase>& info) { return info.param.name; });

TEST_F(Discovery, ADirectTargetScanWithoutTheLockFailsAtItsFinalNavigation) {
    presetModel();
    plugin.setDevices({FakeDevice::withIdCode(6, kIdA)});
    EXPECT_EQ(plugin.targetScanJTAGChain(), CSE_FAILURE);
    EXPECT_TRUE(recorder.hasLog(
        1, "<CsePlugin> Operation not permitted without obtaining an exclusive lock!\n"));
    expectPresetModelKept();
}

}  // namespace
