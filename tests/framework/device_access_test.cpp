// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/framework/support/FakeChainTarget.h"
#include "tests/framework/support/RecordingCallbacks.h"

namespace {

using namespace CsePluginInterface;
using krvtest::CallbackEvent;
using krvtest::DumpCapture;
using krvtest::FailurePlan;
using krvtest::FakeChainTarget;
using krvtest::FakeDevice;
using krvtest::RecordingCallbacks;
using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

constexpr uint64_t kIdcodeOpcode = 1;
constexpr uint64_t kUserOpcode = 2;
constexpr uint32_t kUserBits = 16;
constexpr CseJtagTapState kIdle = CSEJTAG_RUN_TEST_IDLE;

// Builds an expected bit stream, first bit first.
class BitStream {
  public:
    BitStream& ones(uint32_t count) { return repeat(true, count); }
    BitStream& zeros(uint32_t count) { return repeat(false, count); }
    BitStream& value(uint64_t bits, uint32_t count) {
        for (uint32_t k = 0; k < count; ++k) bits_.push_back(((bits >> k) & 1u) != 0);
        return *this;
    }
    Bytes bytes() const {
        Bytes packed((bits_.size() + 7) / 8, 0);
        for (size_t k = 0; k < bits_.size(); ++k) {
            if (bits_[k]) packed[k / 8] = static_cast<uint8_t>(packed[k / 8] | (1u << (k % 8)));
        }
        return packed;
    }

  private:
    BitStream& repeat(bool bit, uint32_t count) {
        bits_.insert(bits_.end(), count, bit);
        return *this;
    }
    std::vector<bool> bits_;
};

Bytes littleEndian(uint64_t value, uint32_t bitCount) {
    return BitStream().value(value, bitCount).bytes();
}

uint64_t valueOf(const Bytes& bytes, uint32_t bitCount) {
    uint64_t value = 0;
    for (uint32_t k = 0; k < bitCount; ++k) {
        if ((bytes[k / 8] >> (k % 8)) & 1u) value |= uint64_t{1} << k;
    }
    return value;
}

// The first bitCount bits of a recorded buffer, the rest of its last byte cleared.
Bytes firstBits(Bytes bytes, uint32_t bitCount) {
    bytes.resize((bitCount + 7) / 8);
    if (bitCount % 8 != 0)
        bytes.back() = static_cast<uint8_t>(bytes.back() & ((1u << (bitCount % 8)) - 1u));
    return bytes;
}

FakeDevice deviceWithUserRegister(uint32_t irLength, uint32_t idCode) {
    FakeDevice device = FakeDevice::withIdCode(irLength, idCode);
    device.idcodeInstruction = kIdcodeOpcode;
    device.userRegisters[kUserOpcode] = kUserBits;
    return device;
}

uint32_t idCodeOf(uint32_t device) {
    return 0x40001001u + 2 * device;
}

class DeviceAccess : public ::testing::Test {
  protected:
    void SetUp() override { recorder.clear(); }

    // Puts the chain behind the cable and describes it to the model as the host would.
    void useChain(const std::vector<uint32_t>& irLengths) {
        std::vector<FakeDevice> devices;
        for (uint32_t i = 0; i < irLengths.size(); ++i) {
            devices.push_back(deviceWithUserRegister(irLengths[i], idCodeOf(i)));
        }
        plugin.setDevices(devices);
        ASSERT_EQ(plugin.setDeviceCount(static_cast<uint32_t>(irLengths.size())), CSE_SUCCESS);
        for (uint32_t i = 0; i < irLengths.size(); ++i) {
            ASSERT_EQ(plugin.setIRLength(i, irLengths[i]), CSE_SUCCESS);
        }
        recorder.clear();
    }

    void useWorkedExample() { useChain({6, 8, 10}); }

    // Loads an instruction into one device; every other device gets BYPASS.
    CseResult selectInstruction(uint32_t device, uint64_t opcode) {
        const uint32_t length = plugin.chainModel().irLength(device);
        const Bytes tdi = littleEndian(opcode, length);
        return plugin.writeDeviceIR(device, tdi.data(), nullptr, length, kIdle, 0, 0);
    }

    void clearRecords() {
        plugin.shifts.clear();
        plugin.calls.clear();
        recorder.clear();
    }

    RecordingCallbacks recorder;
    FakeChainTarget plugin;
};

// ---- A device first, in the middle, last or alone in the chain, on real bits ----

struct Position {
    const char* name;
    std::vector<uint32_t> irLengths;
    uint32_t device;
};

class DevicePosition : public DeviceAccess, public ::testing::WithParamInterface<Position> {
  protected:
    void SetUp() override {
        DeviceAccess::SetUp();
        useChain(GetParam().irLengths);
    }
    uint32_t device() const { return GetParam().device; }
    uint32_t deviceCount() const { return static_cast<uint32_t>(GetParam().irLengths.size()); }
    uint32_t irLength() const { return GetParam().irLengths[GetParam().device]; }
};

TEST_P(DevicePosition, ShiftDeviceIRLoadsTheDeviceAndBypassesTheOthers) {
    const Bytes tdi = littleEndian(kUserOpcode, irLength());
    Bytes tdo(tdi.size(), 0xEE);
    EXPECT_EQ(plugin.shiftDeviceIR(device(), tdi.data(), tdo.data(), nullptr, nullptr, irLength(),
                                   kIdle, 0, 0),
              CSE_SUCCESS);
    // Every IR captures ...01.
    EXPECT_EQ(valueOf(tdo, irLength()), 1u);
    for (uint32_t i = 0; i < deviceCount(); ++i) {
        const uint32_t length = GetParam().irLengths[i];
        const uint64_t expected = i == device() ? kUserOpcode : (uint64_t{1} << length) - 1u;
        EXPECT_EQ(plugin.instruction(i), expected) << "device " << i;
    }
    EXPECT_EQ(plugin.state(), kIdle);
}

TEST_P(DevicePosition, ShiftDeviceDRReadsTheIdCodeThroughTheBypassedOthers) {
    ASSERT_EQ(selectInstruction(device(), kIdcodeOpcode), CSE_SUCCESS);
    const Bytes tdi(4, 0x00);
    Bytes tdo(4, 0xEE);
    EXPECT_EQ(
        plugin.shiftDeviceDR(device(), tdi.data(), tdo.data(), nullptr, nullptr, 32, kIdle, 0, 0),
        CSE_SUCCESS);
    EXPECT_EQ(valueOf(tdo, 32), idCodeOf(device()));
}

TEST_P(DevicePosition, ADataRegisterWrittenAtDeviceLevelReadsBack) {
    ASSERT_EQ(selectInstruction(device(), kUserOpcode), CSE_SUCCESS);
    const Bytes value = littleEndian(0xBEEF, kUserBits);
    EXPECT_EQ(plugin.writeDeviceDR(device(), value.data(), nullptr, kUserBits, kIdle, 0, 0),
              CSE_SUCCESS);
    EXPECT_EQ(plugin.userRegister(device(), kUserOpcode), 0xBEEFu);

    const Bytes next = littleEndian(0x1234, kUserBits);
    Bytes captured(2, 0);
    EXPECT_EQ(plugin.shiftDeviceDR(device(), next.data(), captured.data(), nullptr, nullptr,
                                   kUserBits, kIdle, 0, 0),
              CSE_SUCCESS);
    EXPECT_EQ(valueOf(captured, kUserBits), 0xBEEFu);
    EXPECT_EQ(plugin.userRegister(device(), kUserOpcode), 0x1234u);

    Bytes read(2, 0);
    EXPECT_EQ(plugin.readDeviceDR(device(), false, read.data(), nullptr, kUserBits, kIdle, 0, 0),
              CSE_SUCCESS);
    EXPECT_EQ(valueOf(read, kUserBits), 0x1234u);
    EXPECT_EQ(plugin.userRegister(device(), kUserOpcode), 0u);
    // The others were in BYPASS the whole time.
    for (uint32_t i = 0; i < deviceCount(); ++i) {
        if (i == device()) continue;
        EXPECT_EQ(plugin.userRegister(i, kUserOpcode), 0u) << "device " << i;
    }
}

TEST_P(DevicePosition, ReadDeviceIRCapturesAndLeavesBypassInTheOthers) {
    Bytes tdo(2, 0x00);
    EXPECT_EQ(plugin.readDeviceIR(device(), true, tdo.data(), nullptr, irLength(), kIdle, 0, 0),
              CSE_SUCCESS);
    EXPECT_EQ(valueOf(tdo, irLength()), 1u);
    for (uint32_t i = 0; i < deviceCount(); ++i) {
        EXPECT_EQ(plugin.instruction(i), (uint64_t{1} << GetParam().irLengths[i]) - 1u);
    }
}

TEST_P(DevicePosition, ShiftDeviceDRPadsOneZeroBitPerOtherDevice) {
    const Bytes tdi = littleEndian(0xA5C3, 16);
    ASSERT_EQ(
        plugin.shiftDeviceDR(device(), tdi.data(), nullptr, nullptr, nullptr, 16, kIdle, 0, 0),
        CSE_SUCCESS);
    ASSERT_EQ(plugin.shifts.size(), 1u);
    const uint32_t trailing = deviceCount() - device() - 1;
    EXPECT_EQ(plugin.shifts[0].bitCount, deviceCount() + 15);
    EXPECT_EQ(firstBits(plugin.shifts[0].tdiBytes, deviceCount() + 15),
              BitStream().zeros(trailing).value(0xA5C3, 16).zeros(device()).bytes());
}

TEST_P(DevicePosition, WriteDeviceDRPadsOnlyTowardsTdi) {
    const Bytes tdi = littleEndian(0xA5C3, 16);
    ASSERT_EQ(plugin.writeDeviceDR(device(), tdi.data(), nullptr, 16, kIdle, 0, 0), CSE_SUCCESS);
    ASSERT_EQ(plugin.shifts.size(), 1u);
    EXPECT_EQ(plugin.shifts[0].bitCount, device() + 16);
    EXPECT_FALSE(plugin.shifts[0].tdoGiven);
    EXPECT_EQ(firstBits(plugin.shifts[0].tdiBytes, device() + 16),
              BitStream().value(0xA5C3, 16).zeros(device()).bytes());
}

INSTANTIATE_TEST_SUITE_P(
    Chains, DevicePosition,
    ::testing::Values(Position{"Alone", {6}, 0}, Position{"First", {6, 8, 10}, 0},
                      Position{"Middle", {6, 8, 10}, 1}, Position{"Last", {6, 8, 10}, 2}),
    [](const ::testing::TestParamInfo<Position>& info) { return info.param.name; });

// ---- The worked example: three devices with IR lengths 6, 8 and 10 ----

TEST_F(DeviceAccess, ShiftDeviceIROnTheMiddleDevicePadsWithOnes) {
    useWorkedExample();
    const Bytes tdi{0xA5};
    Bytes tdo{0x00};
    ASSERT_EQ(plugin.shiftDeviceIR(1, tdi.data(), tdo.data(), nullptr, nullptr, 8, kIdle, 0, 0),
              CSE_SUCCESS);
    ASSERT_EQ(plugin.shifts.size(), 1u);
    EXPECT_TRUE(plugin.shifts[0].instructionRegister);
    EXPECT_EQ(plugin.shifts[0].bitCount, 24u);
    const Bytes padded = BitStream().ones(10).value(0xA5, 8).ones(6).bytes();
    EXPECT_EQ(plugin.shifts[0].tdiBytes, padded);
    EXPECT_EQ(tdo[0], 0x01);
    EXPECT_EQ(plugin.instruction(1), 0xA5u);
    const std::vector<CallbackEvent> dumps = recorder.ofKind(CallbackEvent::Kind::Dump);
    ASSERT_EQ(dumps.size(), 1u);
    EXPECT_EQ(dumps[0].text, "BUFFER AFTER PADDING:");
    EXPECT_EQ(dumps[0].level, 5u);
    EXPECT_EQ(dumps[0].bitCount, 24u);
    EXPECT_EQ(dumps[0].bits, padded);
    // The device level calls the chain-level hook directly: no chain-level trace.
    EXPECT_EQ(recorder.traces(), (Lines{"> CsePlugin::shiftDeviceIR", "< CSE_SUCCESS"}));
}

TEST_F(DeviceAccess, ShiftDeviceDROnTheMiddleDeviceHasOneBypassBitEachSide) {
    useWorkedExample();
    const Bytes tdi = littleEndian(0x12345678, 32);
    ASSERT_EQ(plugin.shiftDeviceDR(1, tdi.data(), nullptr, nullptr, nullptr, 32, kIdle, 0, 0),
              CSE_SUCCESS);
    ASSERT_EQ(plugin.shifts.size(), 1u);
    EXPECT_FALSE(plugin.shifts[0].instructionRegister);
    EXPECT_EQ(plugin.shifts[0].bitCount, 34u);
    EXPECT_EQ(firstBits(plugin.shifts[0].tdiBytes, 34),
              BitStream().zeros(1).value(0x12345678, 32).zeros(1).bytes());
}

TEST_F(DeviceAccess, WriteDeviceDROnTheMiddleDeviceHas33Bits) {
    useWorkedExample();
    const Bytes tdi = littleEndian(0x12345678, 32);
    ASSERT_EQ(plugin.writeDeviceDR(1, tdi.data(), nullptr, 32, kIdle, 0, 0), CSE_SUCCESS);
    ASSERT_EQ(plugin.shifts.size(), 1u);
    EXPECT_EQ(plugin.shifts[0].bitCount, 33u);
    EXPECT_EQ(firstBits(plugin.shifts[0].tdiBytes, 33),
              BitStream().value(0x12345678, 32).zeros(1).bytes());
    const std::vector<CallbackEvent> dumps = recorder.ofKind(CallbackEvent::Kind::Dump);
    ASSERT_EQ(dumps.size(), 1u);
    EXPECT_EQ(dumps[0].bitCount, 33u);
    EXPECT_EQ(recorder.traces(), (Lines{"> CsePlugin::writeDeviceDR", "  > CsePlugin::shiftChainDR",
                                        "  < CSE_SUCCESS", "< CSE_SUCCESS"}));
}

TEST_F(DeviceAccess, WriteDeviceDRCopiesWholeBytesSoHighBitsReachThePads) {
    useWorkedExample();
    const Bytes tdi{0xF3};
    ASSERT_EQ(plugin.writeDeviceDR(2, tdi.data(), nullptr, 4, kIdle, 0, 0), CSE_SUCCESS);
    ASSERT_EQ(plugin.shifts.size(), 1u);
    EXPECT_EQ(plugin.shifts[0].bitCount, 6u);
    EXPECT_EQ(firstBits(plugin.shifts[0].tdiBytes, 6), Bytes{0x33});
}

TEST_F(DeviceAccess, FewerIRBitsThanTheLengthLeaveOnesAbove) {
    useWorkedExample();
    const Bytes tdi{0x02};
    ASSERT_EQ(plugin.writeDeviceIR(2, tdi.data(), nullptr, 4, kIdle, 0, 0), CSE_SUCCESS);
    EXPECT_EQ(plugin.instruction(2), 0x3F2u);
    EXPECT_EQ(recorder.traces(), (Lines{"> CsePlugin::writeDeviceIR", "  > CsePlugin::shiftChainIR",
                                        "  < CSE_SUCCESS", "< CSE_SUCCESS"}));
}

TEST_F(DeviceAccess, ZeroIRBitsPassEvenOutsideTheChainAndShiftAllOnes) {
    useWorkedExample();
    ASSERT_EQ(selectInstruction(0, kUserOpcode), CSE_SUCCESS);
    clearRecords();
    EXPECT_EQ(plugin.shiftDeviceIR(7, nullptr, nullptr, nullptr, nullptr, 0, kIdle, 0, 0),
              CSE_SUCCESS);
    ASSERT_EQ(plugin.shifts.size(), 1u);
    EXPECT_EQ(plugin.shifts[0].tdiBytes, Bytes(3, 0xFF));
    EXPECT_EQ(plugin.instruction(0), 0x3Fu);
}

TEST_F(DeviceAccess, ZeroDRBitsShiftOnlyTheBypassBits) {
    useWorkedExample();
    EXPECT_EQ(plugin.shiftDeviceDR(0, nullptr, nullptr, nullptr, nullptr, 0, kIdle, 0, 0),
              CSE_SUCCESS);
    ASSERT_EQ(plugin.shifts.size(), 1u);
    EXPECT_EQ(plugin.shifts[0].bitCount, 2u);
}

TEST_F(DeviceAccess, MoreIRBitsThanTheLengthAreRefusedBeforeShifting) {
    useWorkedExample();
    const Bytes tdi(2, 0);
    Bytes tdo(2, 0xEE);
    EXPECT_EQ(plugin.shiftDeviceIR(1, tdi.data(), tdo.data(), nullptr, nullptr, 9, kIdle, 0, 0),
              CSE_FAILURE);
    EXPECT_EQ(recorder.logs(1),
              Lines{"<CsePlugin> shiftDeviceIR called with bitCount > device IR Length!\n"});
    EXPECT_TRUE(plugin.shifts.empty());
    EXPECT_EQ(tdo, Bytes(2, 0xEE));
}

TEST_F(DeviceAccess, ReadDeviceIRWithZerosStillPadsTheOthersWithOnes) {
    useWorkedExample();
    Bytes tdo{0xFF};
    ASSERT_EQ(plugin.readDeviceIR(1, false, tdo.data(), nullptr, 8, kIdle, 0, 0), CSE_SUCCESS);
    ASSERT_EQ(plugin.shifts.size(), 1u);
    EXPECT_EQ(plugin.shifts[0].tdiBytes, BitStream().ones(10).zeros(8).ones(6).bytes());
    EXPECT_EQ(plugin.instruction(1), 0u);
    EXPECT_EQ(recorder.traces(), (Lines{"> CsePlugin::readDeviceIR", "  > CsePlugin::shiftDeviceIR",
                                        "  < CSE_SUCCESS", "< CSE_SUCCESS"}));
}

class ReadDeviceDRValue : public DeviceAccess, public ::testing::WithParamInterface<bool> {};

TEST_P(ReadDeviceDRValue, PadsEveryDeviceWithTheSameValue) {
    useWorkedExample();
    Bytes tdo(2, 0x5A);
    ASSERT_EQ(plugin.readDeviceDR(1, GetParam(), tdo.data(), nullptr, 16, kIdle, 0, 0),
              CSE_SUCCESS);
    ASSERT_EQ(plugin.shifts.size(), 1u);
    EXPECT_EQ(plugin.shifts[0].bitCount, 18u);
    const Bytes expected =
        GetParam() ? BitStream().ones(18).bytes() : BitStream().zeros(18).bytes();
    EXPECT_EQ(firstBits(plugin.shifts[0].tdiBytes, 18), expected);
    EXPECT_TRUE(recorder.ofKind(CallbackEvent::Kind::Dump).empty());
    EXPECT_EQ(recorder.traces(), (Lines{"> CsePlugin::readDeviceDR", "  > CsePlugin::shiftChainDR",
                                        "  < CSE_SUCCESS", "< CSE_SUCCESS"}));
}

INSTANTIATE_TEST_SUITE_P(Values, ReadDeviceDRValue, ::testing::Bool());

TEST_F(DeviceAccess, AuxiliaryBuffersArePaddedAroundTheDevice) {
    useWorkedExample();
    const Bytes tdi{0x00};
    const Bytes tdiAux{0x5A};
    Bytes tdoAux{0x3C};
    ASSERT_EQ(
        plugin.shiftDeviceIR(1, tdi.data(), nullptr, tdiAux.data(), tdoAux.data(), 8, kIdle, 0, 0),
        CSE_SUCCESS);
    ASSERT_EQ(plugin.shifts.size(), 1u);
    EXPECT_EQ(plugin.shifts[0].tdiAuxBytes, BitStream().ones(10).value(0x5A, 8).ones(6).bytes());
    EXPECT_EQ(valueOf(plugin.shifts[0].tdoAuxBytes, 18) >> 10, 0x3Cu);

    clearRecords();
    ASSERT_EQ(
        plugin.shiftDeviceDR(1, tdi.data(), nullptr, tdiAux.data(), tdoAux.data(), 8, kIdle, 0, 0),
        CSE_SUCCESS);
    EXPECT_EQ(firstBits(plugin.shifts[0].tdiAuxBytes, 10),
              BitStream().ones(1).value(0x5A, 8).ones(1).bytes());
    EXPECT_EQ((valueOf(plugin.shifts[0].tdoAuxBytes, 9) >> 1) & 0xFF, 0x3Cu);
}

TEST_F(DeviceAccess, AuxiliaryBuffersOfReadAndWriteReachTheChain) {
    useWorkedExample();
    const Bytes tdi = littleEndian(0xABCD, 16);
    const Bytes tdiAux{0x0F, 0xF0};
    ASSERT_EQ(plugin.writeDeviceDR(1, tdi.data(), tdiAux.data(), 16, kIdle, 0, 0), CSE_SUCCESS);
    EXPECT_EQ(firstBits(plugin.shifts[0].tdiAuxBytes, 17), (Bytes{0x0F, 0xF0, 0x01}));
    EXPECT_TRUE(plugin.shifts[0].tdoAuxBytes.empty());

    clearRecords();
    Bytes tdo(2, 0);
    Bytes tdoAux{0x81, 0x42};
    ASSERT_EQ(plugin.readDeviceDR(1, true, tdo.data(), tdoAux.data(), 16, kIdle, 0, 0),
              CSE_SUCCESS);
    EXPECT_EQ((valueOf(plugin.shifts[0].tdoAuxBytes, 17) >> 1) & 0xFFFF, 0x4281u);
    EXPECT_TRUE(plugin.shifts[0].tdiAuxBytes.empty());
}

TEST_F(DeviceAccess, OpaqueArgumentsAndEndStateReachTheChain) {
    useWorkedExample();
    const Bytes tdi{0x01};
    ASSERT_EQ(
        plugin.shiftDeviceDR(0, tdi.data(), nullptr, nullptr, nullptr, 1, CSEJTAG_PAUSE_DR, 7, 9),
        CSE_SUCCESS);
    EXPECT_EQ(plugin.shifts[0].endState, CSEJTAG_PAUSE_DR);
    EXPECT_EQ(plugin.shifts[0].opaque1, 7u);
    EXPECT_EQ(plugin.shifts[0].opaque2, 9u);
    EXPECT_EQ(plugin.state(), CSEJTAG_PAUSE_DR);
}

TEST_F(DeviceAccess, AFailedChainShiftIsReturnedAndTheBufferStillCopiedBack) {
    useWorkedExample();
    FailurePlan plan;
    plan.shiftIRCall = 1;
    plan.code = static_cast<CseResult>(0x80000005u);
    plugin.setFailurePlan(plan);
    const Bytes tdi{0xA5};
    Bytes tdo{0x00};
    EXPECT_EQ(plugin.shiftDeviceIR(1, tdi.data(), tdo.data(), nullptr, nullptr, 8, kIdle, 0, 0),
              static_cast<CseResult>(0x80000005u));
    EXPECT_EQ(recorder.traces().back(), "< CSE_FAILURE, ERROR CODE: 5");
    // Nothing was shifted, so the padded bits come back as they went in.
    EXPECT_EQ(tdo[0], 0xA5);
}

TEST_F(DeviceAccess, WithoutADumpCallbackNoDumpIsMade) {
    RecordingCallbacks quiet(DumpCapture::Off);
    useWorkedExample();
    const Bytes tdi{0xA5};
    ASSERT_EQ(plugin.writeDeviceIR(1, tdi.data(), nullptr, 8, kIdle, 0, 0), CSE_SUCCESS);
    EXPECT_TRUE(quiet.ofKind(CallbackEvent::Kind::Dump).empty());
    EXPECT_EQ(plugin.shifts.size(), 1u);
}

// ---- Null buffers ----

TEST_F(DeviceAccess, ShiftsWithoutATdoBufferShiftAndSkipTheCopyBack) {
    useWorkedExample();
    const Bytes opcode = littleEndian(kUserOpcode, 8);
    EXPECT_EQ(plugin.shiftDeviceIR(1, opcode.data(), nullptr, nullptr, nullptr, 8, kIdle, 0, 0),
              CSE_SUCCESS);
    EXPECT_EQ(plugin.instruction(1), kUserOpcode);
    const Bytes value = littleEndian(0x7777, kUserBits);
    EXPECT_EQ(
        plugin.shiftDeviceDR(1, value.data(), nullptr, nullptr, nullptr, kUserBits, kIdle, 0, 0),
        CSE_SUCCESS);
    EXPECT_EQ(plugin.userRegister(1, kUserOpcode), 0x7777u);
}

struct RefusalCase {
    const char* name;
    CseResult (*call)(CsePlugin& plugin);
    const char* message;
};

class Refusal : public DeviceAccess, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(Refusal, FailsWithItsMessageAndShiftsNothing) {
    useWorkedExample();
    EXPECT_EQ(GetParam().call(plugin), CSE_FAILURE);
    EXPECT_EQ(recorder.logs(1), Lines{GetParam().message});
    EXPECT_TRUE(plugin.shifts.empty());
    EXPECT_TRUE(recorder.tracesBalanced());
    EXPECT_EQ(recorder.traces().back(), "< CSE_FAILURE, ERROR CODE: 0");
}

const uint8_t kSource[4] = {0x12, 0x34, 0x56, 0x78};
uint8_t sink[4] = {};

INSTANTIATE_TEST_SUITE_P(
    Arguments, Refusal,
    ::testing::Values(
        RefusalCase{
            "ReadDeviceIRNullTdo",
            [](CsePlugin& p) { return p.readDeviceIR(0, true, nullptr, nullptr, 4, kIdle, 0, 0); },
            "<CsePlugin> readDeviceIR called with a NULL tdoBuffer\n"},
        RefusalCase{
            "ReadDeviceDRNullTdo",
            [](CsePlugin& p) { return p.readDeviceDR(0, true, nullptr, nullptr, 4, kIdle, 0, 0); },
            "<CsePlugin> readDeviceDR called with a NULL tdoBuffer\n"},
        RefusalCase{"ShiftDeviceIRNullTdi",
                    [](CsePlugin& p) {
                        return p.shiftDeviceIR(0, nullptr, sink, nullptr, nullptr, 4, kIdle, 0, 0);
                    },
                    "<CsePlugin> shiftDeviceIR called with a NULL tdiBuffer\n"},
        RefusalCase{
            "WriteDeviceIRNullTdi",
            [](CsePlugin& p) { return p.writeDeviceIR(0, nullptr, nullptr, 4, kIdle, 0, 0); },
            "<CsePlugin> shiftDeviceIR called with a NULL tdiBuffer\n"},
        RefusalCase{"ShiftDeviceDRNullTdi",
                    [](CsePlugin& p) {
                        return p.shiftDeviceDR(0, nullptr, sink, nullptr, nullptr, 4, kIdle, 0, 0);
                    },
                    "<CsePlugin> shiftDeviceDR called with a NULL tdiBuffer\n"},
        RefusalCase{
            "WriteDeviceDRNullTdi",
            [](CsePlugin& p) { return p.writeDeviceDR(0, nullptr, nullptr, 4, kIdle, 0, 0); },
            "<CsePlugin> writeDeviceDR called with a NULL tdiBuffer\n"},
        RefusalCase{"ShiftDeviceDRIndexOutOfRange",
                    [](CsePlugin& p) {
                        return p.shiftDeviceDR(3, kSource, sink, nullptr, nullptr, 8, kIdle, 0, 0);
                    },
                    "<CsePlugin> shiftDeviceDR called with device index out of range!\n"},
        RefusalCase{"ReadDeviceDRIndexOutOfRange",
                    [](CsePlugin& p) {
                        return p.readDeviceDR(0xFFFFFFFFu, false, sink, nullptr, 8, kIdle, 0, 0);
                    },
                    "<CsePlugin> readDeviceDR called with device index out of range!\n"},
        RefusalCase{
            "WriteDeviceDRIndexOutOfRange",
            [](CsePlugin& p) { return p.writeDeviceDR(3, kSource, nullptr, 8, kIdle, 0, 0); },
            "<CsePlugin> writeDeviceDR called with device index out of range!\n"},
        RefusalCase{"ShiftDeviceDRStreamBeyond32Bits",
                    [](CsePlugin& p) {
                        return p.shiftDeviceDR(0, kSource, sink, nullptr, nullptr, 0xFFFFFFFEu,
                                               kIdle, 0, 0);
                    },
                    "<CsePlugin> shiftDeviceDR called with bitCount too large for the chain!\n"},
        RefusalCase{"WriteDeviceDRStreamBeyond32Bits",
                    [](CsePlugin& p) {
                        return p.writeDeviceDR(2, kSource, nullptr, 0xFFFFFFFEu, kIdle, 0, 0);
                    },
                    "<CsePlugin> writeDeviceDR called with bitCount too large for the chain!\n"}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return info.param.name; });

// ---- The guard: every device-level operation needs all IR lengths ----

struct GuardCase {
    const char* name;
    CseResult (*call)(CsePlugin& plugin);
    const char* message;
};

class Guard : public DeviceAccess, public ::testing::WithParamInterface<GuardCase> {};

TEST_P(Guard, RefusesUntilEveryIRLengthIsSet) {
    useWorkedExample();
    ASSERT_EQ(plugin.setIRLength(2, 0), CSE_SUCCESS);
    recorder.clear();
    EXPECT_EQ(GetParam().call(plugin), CSE_FAILURE);
    EXPECT_EQ(recorder.logs(1), Lines{GetParam().message});
    EXPECT_TRUE(plugin.shifts.empty());
}

TEST_P(Guard, RefusesOnAnEmptyChain) {
    EXPECT_EQ(GetParam().call(plugin), CSE_FAILURE);
    EXPECT_EQ(recorder.logs(1), Lines{GetParam().message});
}

INSTANTIATE_TEST_SUITE_P(
    Operations, Guard,
    ::testing::Values(
        GuardCase{
            "ReadDeviceIR",
            [](CsePlugin& p) { return p.readDeviceIR(0, true, sink, nullptr, 4, kIdle, 0, 0); },
            "<CsePlugin> shiftDeviceIR called but not all IR lengths set!\n"},
        GuardCase{"WriteDeviceIR",
                  [](CsePlugin& p) { return p.writeDeviceIR(0, kSource, nullptr, 4, kIdle, 0, 0); },
                  "<CsePlugin> shiftDeviceIR called but not all IR lengths set!\n"},
        GuardCase{"ShiftDeviceIR",
                  [](CsePlugin& p) {
                      return p.shiftDeviceIR(0, kSource, sink, nullptr, nullptr, 4, kIdle, 0, 0);
                  },
                  "<CsePlugin> shiftDeviceIR called but not all IR lengths set!\n"},
        GuardCase{
            "ReadDeviceDR",
            [](CsePlugin& p) { return p.readDeviceDR(0, true, sink, nullptr, 4, kIdle, 0, 0); },
            "<CsePlugin> readDeviceDR called but not all IR lengths set!\n"},
        GuardCase{"WriteDeviceDR",
                  [](CsePlugin& p) { return p.writeDeviceDR(0, kSource, nullptr, 4, kIdle, 0, 0); },
                  "<CsePlugin> writeDeviceDR called but not all IR lengths set!\n"},
        GuardCase{"ShiftDeviceDR",
                  [](CsePlugin& p) {
                      return p.shiftDeviceDR(0, kSource, sink, nullptr, nullptr, 4, kIdle, 0, 0);
                  },
                  "<CsePlugin> shiftDeviceDR called but not all IR lengths set!\n"}),
    [](const ::testing::TestParamInfo<GuardCase>& info) { return info.param.name; });

// ---- Bit helpers ----

struct CopyCase {
    uint32_t destinationBit;
    uint32_t sourceBit;
    uint32_t count;
};

class CopyBits : public ::testing::TestWithParam<CopyCase> {};

TEST_P(CopyBits, CopiesExactlyTheBitsAskedFor) {
    const Bytes source{0x96, 0x3C, 0xF0, 0x5A, 0xA5};
    const Bytes original(5, 0x69);
    Bytes destination = original;
    const CopyCase c = GetParam();
    CsePlugin::copyBits(destination.data(), c.destinationBit, source.data(), c.sourceBit, c.count);
    for (uint32_t bit = 0; bit < 40; ++bit) {
        const bool inRange = bit >= c.destinationBit && bit < c.destinationBit + c.count;
        const uint32_t from = inRange ? c.sourceBit + bit - c.destinationBit : bit;
        const Bytes& origin = inRange ? source : original;
        EXPECT_EQ((destination[bit / 8] >> (bit % 8)) & 1, (origin[from / 8] >> (from % 8)) & 1)
            << "bit " << bit;
    }
}

INSTANTIATE_TEST_SUITE_P(Offsets, CopyBits,
                         ::testing::Values(CopyCase{0, 0, 0}, CopyCase{0, 0, 40},
                                           CopyCase{3, 0, 13}, CopyCase{0, 5, 17},
                                           CopyCase{7, 9, 1}, CopyCase{10, 10, 8},
                                           CopyCase{1, 14, 24}));

TEST(MaskBuffer, CombinesWholeBytes) {
    RecordingCallbacks recorder;
    FakeChainTarget plugin;
    recorder.clear();
    const Bytes source{0xFF, 0xFF, 0xFF};
    const Bytes mask{0x0F, 0xF1, 0x00};
    Bytes destination{0xAA, 0xAA, 0xAA};
    EXPECT_EQ(plugin.maskBuffer(destination.data(), source.data(), mask.data(), 9), CSE_SUCCESS);
    EXPECT_EQ(destination, (Bytes{0x0F, 0xF1, 0xAA}));
    EXPECT_EQ(recorder.traces(), (Lines{"> CsePlugin::maskBuffer", "< "}));
}

TEST(MaskBuffer, RefusesANullBuffer) {
    RecordingCallbacks recorder;
    FakeChainTarget plugin;
    recorder.clear();
    Bytes destination{0xAA};
    const Bytes source{0xFF};
    EXPECT_EQ(plugin.maskBuffer(destination.data(), source.data(), nullptr, 8), CSE_FAILURE);
    EXPECT_EQ(recorder.logs(1),
              Lines{"<CsePlugin> Atleast one NULL buffer passed into maskBuffer.\n"});
    EXPECT_EQ(recorder.traces(), (Lines{"> CsePlugin::maskBuffer", "< "}));
    EXPECT_EQ(destination, Bytes{0xAA});
}

}  // namespace
