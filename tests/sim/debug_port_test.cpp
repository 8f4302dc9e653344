// SPDX-License-Identifier: Apache-2.0
// The ARM debug port device: DP and AP registers, posted reads, WAIT, sticky bits and power, the
// MEM-AP's TAR and byte lanes, the ROM table, the core's DHCSR and register transfers, its
// faults, and the device in a chain clocked through its TAP.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "sim/DebugPortDevice.h"
#include "sim/QuorbitSim.h"
#include "sim/VirtualChain.h"

namespace {

using quorbit::CortexDebugModel;
using quorbit::DebugPortDevice;
using quorbit::MemoryAccessPort;

constexpr std::uint32_t kPower =
    DebugPortDevice::kDebugPowerRequest | DebugPortDevice::kSystemPowerRequest;

// A debugger's view of the device: one scan is a capture and an update, as the chain does them.
struct Dap {
    explicit Dap(quorbit::DebugPortFaults faults = {}) : port(quorbit::DebugPortDescription{}) {
        port.setFaults(faults);
    }
    struct Answer {
        std::uint64_t ack;
        std::uint32_t data;
    };
    Answer scan(std::uint64_t instruction, bool read, std::uint32_t address, std::uint32_t data) {
        const std::uint64_t captured = port.capture(instruction);
        port.update(instruction,
                    (std::uint64_t{data} << 3) | ((address >> 2) << 1) | (read ? 1 : 0));
        return {captured & 7, static_cast<std::uint32_t>(captured >> 3)};
    }
    std::uint32_t dpRead(std::uint32_t address) {
        scan(DebugPortDevice::kDpAccess, true, address, 0);
        return scan(DebugPortDevice::kDpAccess, true, DebugPortDevice::kRdBuff, 0).data;
    }
    void dpWrite(std::uint32_t address, std::uint32_t value) {
        scan(DebugPortDevice::kDpAccess, false, address, value);
    }
    // reg: APSEL in bits 31:24, the register's address in bits 7:0.
    void select(std::uint32_t reg) { dpWrite(DebugPortDevice::kSelect, reg & 0xFF0000F0); }
    std::uint32_t apRead(std::uint32_t reg) {
        select(reg);
        scan(DebugPortDevice::kApAccess, true, reg & 0xC, 0);
        return scan(DebugPortDevice::kDpAccess, true, DebugPortDevice::kRdBuff, 0).data;
    }
    void apWrite(std::uint32_t reg, std::uint32_t value) {
        select(reg);
        scan(DebugPortDevice::kApAccess, false, reg & 0xC, value);
    }
    void powerUp() {
        dpWrite(DebugPortDevice::kCtrlStat, kPower | DebugPortDevice::kOverrunDetect);
    }
    std::uint32_t read32(std::uint32_t address) {
        apWrite(MemoryAccessPort::kCsw, 0x2);
        apWrite(MemoryAccessPort::kTar, address);
        return apRead(MemoryAccessPort::kDrw);
    }
    void write32(std::uint32_t address, std::uint32_t value) {
        apWrite(MemoryAccessPort::kCsw, 0x2);
        apWrite(MemoryAccessPort::kTar, address);
        apWrite(MemoryAccessPort::kDrw, value);
    }
    DebugPortDevice port;
};

TEST(DebugPort, PowerRequestsAreAcknowledgedAndStickyBitsClearByWritingOnes) {
    Dap dap;
    EXPECT_EQ(dap.dpRead(DebugPortDevice::kCtrlStat), 0u);
    EXPECT_EQ(dap.apRead(MemoryAccessPort::kIdr), 0u) << "no debug power: the access fails";
    EXPECT_EQ(dap.dpRead(DebugPortDevice::kCtrlStat), DebugPortDevice::kStickyError);
    dap.powerUp();
    EXPECT_EQ(dap.dpRead(DebugPortDevice::kCtrlStat), 0xF0000001u | DebugPortDevice::kStickyError);
    EXPECT_EQ(dap.apRead(MemoryAccessPort::kIdr), 0xF0000021u)
        << "dropped while STICKYERR is set: RDBUFF gives the last read again";
    dap.dpWrite(DebugPortDevice::kCtrlStat, kPower | DebugPortDevice::kStickyError);
    EXPECT_EQ(dap.dpRead(DebugPortDevice::kCtrlStat), 0xF0000000u);
    EXPECT_EQ(dap.apRead(MemoryAccessPort::kIdr), MemoryAccessPort::kIdrValue);
    dap.dpWrite(DebugPortDevice::kSelect, 0x010000F0);
    EXPECT_EQ(dap.dpRead(DebugPortDevice::kSelect), 0x010000F0u);
    EXPECT_EQ(dap.apRead(0x010000FC), 0u) << "AP 1 does not exist";
}

TEST(DebugPort, ReadsArePostedAndTheBufferOutlivesWritesAndRdbuff) {
    Dap dap;
    dap.powerUp();
    dap.select(MemoryAccessPort::kIdr);
    const auto issue = dap.scan(DebugPortDevice::kApAccess, true, 0xC, 0);
    EXPECT_EQ(issue.ack, DebugPortDevice::kAckOk);
    dap.dpWrite(DebugPortDevice::kSelect, 0xF0);  // captures the IDR, keeps it
    EXPECT_EQ(dap.scan(DebugPortDevice::kDpAccess, true, 0xC, 0).data, MemoryAccessPort::kIdrValue);
    EXPECT_EQ(dap.scan(DebugPortDevice::kDpAccess, true, 0xC, 0).data, MemoryAccessPort::kIdrValue);
}

TEST(DebugPort, WaitHoldsOffAccessPortScansOnlyAndSetsStickyOverrun) {
    quorbit::DebugPortFaults faults;
    faults.waitEvery = 3;
    faults.waitScans = 2;
    Dap dap(faults);
    dap.powerUp();
    dap.write32(0x20000000, 0x11111111);  // CSW, TAR, DRW: the third makes the AP busy
    dap.select(MemoryAccessPort::kDrw);   // a DP access passes
    const std::uint64_t drw = MemoryAccessPort::kDrw;
    EXPECT_EQ(dap.scan(DebugPortDevice::kApAccess, false, drw, 0x2222).ack,
              DebugPortDevice::kAckWait);
    EXPECT_EQ(dap.scan(DebugPortDevice::kApAccess, false, drw, 0x3333).ack,
              DebugPortDevice::kAckWait);
    EXPECT_EQ(dap.scan(DebugPortDevice::kApAccess, false, drw, 0x4444).ack,
              DebugPortDevice::kAckOk);
    EXPECT_EQ(dap.dpRead(DebugPortDevice::kCtrlStat) & 0x3Fu, 0x3u) << "ORUNDETECT, STICKYORUN";
    dap.dpWrite(DebugPortDevice::kCtrlStat, kPower | 0x3);
    faults.waitEvery = 0;
    dap.port.setFaults(faults);
    EXPECT_EQ(dap.read32(0x20000000), 0x11111111u) << "the requests under WAIT were dropped";
    faults.waitEvery = 1;
    faults.waitScans = 5;
    dap.port.setFaults(faults);
    dap.apWrite(MemoryAccessPort::kTar, 0x20000000);
    dap.scan(DebugPortDevice::kAbort, false, 0, 1);  // DAPABORT ends the busy access
    EXPECT_EQ(dap.scan(DebugPortDevice::kApAccess, true, 0x4, 0).ack, DebugPortDevice::kAckOk);
}

struct LaneRow {
    const char* name;
    std::uint32_t csw;  // size and auto-increment
    std::uint32_t tar;
    std::uint32_t written;  // DRW
    std::uint32_t word;     // the RAM word at tar & ~3 afterwards (was 0xAABBCCDD)
    std::uint32_t nextTar;
};

class MemoryAccessPortLanes : public testing::TestWithParam<LaneRow> {};

TEST_P(MemoryAccessPortLanes, SizeLanesAndTarIncrementWithinOneKiB) {
    const LaneRow& row = GetParam();
    Dap dap;
    dap.powerUp();
    dap.write32(row.tar & ~3u, 0xAABBCCDD);
    dap.apWrite(MemoryAccessPort::kCsw, row.csw);
    dap.apWrite(MemoryAccessPort::kTar, row.tar);
    dap.apWrite(MemoryAccessPort::kDrw, row.written);
    EXPECT_EQ(dap.apRead(MemoryAccessPort::kTar), row.nextTar);
    EXPECT_EQ(dap.read32(row.tar & ~3u), row.word);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, MemoryAccessPortLanes,
    testing::Values(LaneRow{"WordIncrements", 0x12, 0x20000100, 0x01020304, 0x01020304, 0x20000104},
                    LaneRow{"WordWrapsAt1KiB", 0x12, 0x200007FC, 7, 7, 0x20000400},
                    LaneRow{"ByteLane2", 0x10, 0x20000102, 0x00EE0000, 0xAAEECCDD, 0x20000103},
                    LaneRow{"HalfwordLane1", 0x11, 0x20000102, 0x12340000, 0x1234CCDD, 0x20000104},
                    LaneRow{"NoIncrement", 0x02, 0x20000100, 9, 9, 0x20000100}),
    [](const testing::TestParamInfo<LaneRow>& info) { return info.param.name; });

TEST(MemoryAccessPort, RegistersRomTableAndBusErrors) {
    Dap dap;
    dap.powerUp();
    EXPECT_EQ(dap.apRead(MemoryAccessPort::kCfg), 0u);
    EXPECT_EQ(dap.apRead(MemoryAccessPort::kBase), 0xE00FF003u);
    dap.apWrite(MemoryAccessPort::kCsw, 0x23000022);  // packed transfers: not supported
    EXPECT_EQ(dap.apRead(MemoryAccessPort::kCsw), 0x23000042u);
    EXPECT_EQ(dap.read32(0xE00FF000), 0xFFF0F003u) << "ROM table: the SCS";
    EXPECT_EQ(dap.read32(0xE00FF00C), 0u) << "end of the table";
    EXPECT_EQ(dap.read32(0xE000EFF4), 0xE0u) << "SCS CIDR1: class 0xE";
    EXPECT_EQ(dap.read32(0xE000ED00), CortexDebugModel::kCpuidValue);
    dap.write32(0x20001000, 0xCAFE);
    EXPECT_EQ(dap.read32(0x00001000), 0xCAFEu) << "the RAM's alias at 0";
    (void)dap.read32(0x20020000);  // past the RAM
    EXPECT_EQ(dap.dpRead(DebugPortDevice::kCtrlStat) & DebugPortDevice::kStickyError,
              DebugPortDevice::kStickyError);
    dap.dpWrite(DebugPortDevice::kCtrlStat, kPower | DebugPortDevice::kStickyError);
    EXPECT_EQ(dap.apRead(MemoryAccessPort::kTar), 0x20020000u) << "no increment after an error";
}

TEST(MemoryAccessPort, FaultsFireOnceAtTheirAddress) {
    quorbit::DebugPortFaults faults;
    faults.stickyErrorAt = 0x20000010;
    faults.powerLostAt = 0x20000020;
    Dap dap(faults);
    dap.powerUp();
    dap.write32(0x20000010, 1);
    EXPECT_EQ(dap.dpRead(DebugPortDevice::kCtrlStat), 0xF0000021u);
    dap.powerUp();
    dap.dpWrite(DebugPortDevice::kCtrlStat, kPower | DebugPortDevice::kStickyError);
    dap.write32(0x20000010, 2);
    EXPECT_EQ(dap.read32(0x20000010), 2u);
    (void)dap.read32(0x20000020);
    EXPECT_EQ(dap.dpRead(DebugPortDevice::kCtrlStat), 0x20u) << "requests and acks dropped";
    dap.dpWrite(DebugPortDevice::kCtrlStat, kPower | DebugPortDevice::kStickyError);
    EXPECT_EQ(dap.read32(0x20000020), 0u);
    EXPECT_EQ(dap.dpRead(DebugPortDevice::kCtrlStat), 0xF0000000u) << "powered again, no fault";
}

TEST(CortexDebugModel, DhcsrNeedsItsKeyAndHaltsStepsAndResumes) {
    CortexDebugModel core;
    std::uint32_t value = 0;
    ASSERT_TRUE(core.write(CortexDebugModel::kDhcsr, 0x3));  // no key
    ASSERT_TRUE(core.read(CortexDebugModel::kDhcsr, value));
    EXPECT_EQ(value, 0x01010000u) << "running: S_RETIRE_ST, S_REGRDY";
    ASSERT_TRUE(core.write(CortexDebugModel::kDhcsr, 0xA05F0003));
    ASSERT_TRUE(core.read(CortexDebugModel::kDhcsr, value));
    EXPECT_EQ(value, 0x00030003u);
    ASSERT_TRUE(core.read(CortexDebugModel::kDfsr, value));
    EXPECT_EQ(value, 1u);
    ASSERT_TRUE(core.write(CortexDebugModel::kDfsr, 1));
    ASSERT_TRUE(core.write(CortexDebugModel::kDhcsr, 0xA05F0005));  // step: halted again
    EXPECT_TRUE(core.halted());
    ASSERT_TRUE(core.write(CortexDebugModel::kDhcsr, 0xA05F0001));
    EXPECT_FALSE(core.halted());
}

struct RegisterRow {
    const char* name;
    std::uint32_t regsel;
    std::uint32_t written;
    std::uint32_t readBack;
};

class CoreRegisterTransfer : public testing::TestWithParam<RegisterRow> {};

TEST_P(CoreRegisterTransfer, ThroughDcrdrWhileHalted) {
    const RegisterRow& row = GetParam();
    CortexDebugModel core;
    std::uint32_t value = 0;
    ASSERT_TRUE(core.write(CortexDebugModel::kDcrdr, row.written));
    ASSERT_TRUE(core.write(CortexDebugModel::kDcrsr, 0x10000 | row.regsel));
    EXPECT_EQ(core.coreRegister(row.regsel), row.regsel == 14 ? 0xFFFFFFFFu : 0u)
        << "ignored while running";
    ASSERT_TRUE(core.write(CortexDebugModel::kDhcsr, 0xA05F0003));
    ASSERT_TRUE(core.write(CortexDebugModel::kDcrsr, 0x10000 | row.regsel));
    ASSERT_TRUE(core.write(CortexDebugModel::kDcrdr, 0));
    ASSERT_TRUE(core.write(CortexDebugModel::kDcrsr, row.regsel));
    ASSERT_TRUE(core.read(CortexDebugModel::kDcrdr, value));
    EXPECT_EQ(value, row.readBack);
}

INSTANTIATE_TEST_SUITE_P(
    Registers, CoreRegisterTransfer,
    testing::Values(RegisterRow{"R7", 7, 0xDEADBEEF, 0xDEADBEEF},
                    RegisterRow{"PcBit0Ignored", 15, 0x20000101, 0x20000100},
                    RegisterRow{"XpsrDefinedBits", 16, 0xFFFFFFFF, 0xF100003F},
                    RegisterRow{"MspWordAligned", 17, 0x20001003, 0x20001000},
                    RegisterRow{"ControlAndPrimask", 20, 0xFFFFFFFF, 0x03000001}),
    [](const testing::TestParamInfo<RegisterRow>& info) { return info.param.name; });

TEST(CortexDebugModel, SpFollowsSpselAndResetCatchesItsVector) {
    quorbit::ArmMemoryMap memory(4096);
    CortexDebugModel& core = memory.core();
    ASSERT_TRUE(memory.write(0x20000000, 4, 0x20000800));  // vector table at 0 (the alias)
    ASSERT_TRUE(memory.write(0x20000004, 4, 0x20000101));
    ASSERT_TRUE(memory.write(CortexDebugModel::kDhcsr, 4, 0xA05F0003));
    ASSERT_TRUE(memory.write(CortexDebugModel::kDcrdr, 4, 0x02000000));  // CONTROL.SPSEL
    ASSERT_TRUE(memory.write(CortexDebugModel::kDcrsr, 4, 0x10014));
    ASSERT_TRUE(memory.write(CortexDebugModel::kDcrdr, 4, 0x2000FF0));
    ASSERT_TRUE(memory.write(CortexDebugModel::kDcrsr, 4, 0x1000D));
    EXPECT_EQ(core.coreRegister(CortexDebugModel::kPsp), 0x2000FF0u);
    ASSERT_TRUE(memory.write(CortexDebugModel::kDemcr, 4, 0x01000401));
    ASSERT_TRUE(memory.write(CortexDebugModel::kDhcsr, 4, 0xA05F0001));  // run, then reset
    ASSERT_TRUE(memory.write(CortexDebugModel::kAircr, 4, 0x05FA0004));
    EXPECT_TRUE(core.halted()) << "vector catch";
    EXPECT_EQ(core.coreRegister(CortexDebugModel::kPc), 0x20000100u);
    EXPECT_EQ(core.coreRegister(CortexDebugModel::kSp), 0x20000800u) << "CONTROL reset: MSP";
    EXPECT_EQ(core.coreRegister(CortexDebugModel::kXpsr), 0x01000000u);
    std::uint32_t value = 0;
    ASSERT_TRUE(memory.read(CortexDebugModel::kDfsr, 4, value));
    EXPECT_EQ(value, 0x9u) << "VCATCH, and HALTED from the first halt (not cleared)";
    ASSERT_TRUE(memory.read(CortexDebugModel::kDhcsr, 4, value));
    EXPECT_EQ(value & 0x02020000u, 0x02020000u) << "S_RESET_ST, S_HALT";
    ASSERT_TRUE(memory.read(CortexDebugModel::kDhcsr, 4, value));
    EXPECT_EQ(value & 0x02000000u, 0u) << "S_RESET_ST clears on reading";
    ASSERT_TRUE(memory.write(CortexDebugModel::kDemcr, 4, 0));
    ASSERT_TRUE(memory.write(CortexDebugModel::kDhcsr, 4, 0xA05F0001));
    ASSERT_TRUE(memory.write(CortexDebugModel::kAircr, 4, 0x00000004));  // no key: no reset
    ASSERT_TRUE(memory.write(CortexDebugModel::kAircr, 4, 0x05FA0004));
    EXPECT_FALSE(core.halted()) << "no vector catch: running after the reset";
}

TEST(DebugPortInChain, TapCapturesIdcodeAndAccessesMemoryThroughScans) {
    quorbit::ChainDescription chain;
    std::string error;
    ASSERT_TRUE(quorbit::parseChainFile(QUORBIT_SIM_CHAINS_DIR "/arm.chain", chain, error))
        << error;
    ASSERT_TRUE(chain.devices[1].debugPort);
    EXPECT_EQ(chain.devices[1].debugPort->ramBytes, 128u * 1024);
    quorbit::VirtualChain tap({{chain.devices[1]}});
    const auto shift = [&](std::uint64_t bits, unsigned count, bool ir) {
        // From Run-Test/Idle through Shift-xR and back, LSB first.
        std::uint64_t out = 0;
        tap.clock(true, false);
        if (ir) tap.clock(true, false);
        tap.clock(false, false);
        tap.clock(false, false);
        for (unsigned i = 0; i < count; ++i)
            out |= std::uint64_t{tap.clock(i + 1 == count, ((bits >> i) & 1) != 0)} << i;
        tap.clock(true, false);
        tap.clock(false, false);
        return out;
    };
    for (int i = 0; i < 5; ++i) tap.clock(true, false);
    tap.clock(false, false);
    EXPECT_EQ(shift(0, 32, false), 0x3BE10EFFu) << "IDCODE after Test-Logic-Reset";
    EXPECT_EQ(shift(DebugPortDevice::kDpAccess, 4, true), 0x1u) << "IR captures 0001";
    shift((std::uint64_t{kPower} << 3) | (1 << 1), 35, false);  // CTRL/STAT write
    shift(0x7, 35, false);                                      // RDBUFF read
    shift(0x7, 35, false);
    EXPECT_EQ(tap.debugPort(0)->ctrlStat(), 0xF0000000u);
    shift(DebugPortDevice::kApAccess, 4, true);
    shift((std::uint64_t{0x20000040} << 3) | (1 << 1), 35, false);  // TAR
    shift((std::uint64_t{0x600DF00D} << 3) | (3 << 1), 35, false);  // DRW
    std::uint32_t word = 0;
    ASSERT_TRUE(tap.debugPort(0)->memory().read(0x20000040, 4, word));
    EXPECT_EQ(word, 0x600DF00Du);
}

struct ChainRow {
    const char* name;
    const char* text;
    const char* error;
};

class DebugPortChainErrors : public testing::TestWithParam<ChainRow> {};

TEST_P(DebugPortChainErrors, Refused) {
    quorbit::ChainDescription chain;
    std::string error;
    EXPECT_FALSE(quorbit::parseChainText(GetParam().text, "b.chain", chain, error));
    EXPECT_EQ(error, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DebugPortChainErrors,
    testing::Values(
        ChainRow{"IrLength", "d 5 0x3 E jtag-dp\n",
                 "b.chain:1: a jtag-dp device has IR length 4, an IDCODE at opcode E and no user "
                 "registers"},
        ChainRow{"RamTooSmall", "d 4 0x3 E jtag-dp ram=512\n",
                 "b.chain:1: jtag-dp RAM of 512 bytes: 1K to 64M in whole KiB"},
        ChainRow{"RamTooLarge", "d 4 0x3 E jtag-dp ram=65M\n",
                 "b.chain:1: RAM size '65M' is not a size of at most 64M"},
        ChainRow{"RamWithoutPort", "d 4 0x3 E ram=4K\n", "b.chain:1: ram= follows jtag-dp"},
        ChainRow{"RamOfAllPorts", "d 4 0x3 E jtag-dp ram=40M\ne 4 0x3 E jtag-dp ram=40M\n",
                 "b.chain: the debug ports' RAM adds up to more than 64M"}),
    [](const testing::TestParamInfo<ChainRow>& info) { return info.param.name; });

TEST(DebugPortFaultList, ItemsAndRefusals) {
    quorbit::FaultPlan plan;
    std::string error;
    ASSERT_TRUE(quorbit::parseFaultList(
        "dap-wait=5,dap-wait-scans=3,dap-sticky-error=0x20000010,dap-power-lost=E000EDF0", plan,
        error))
        << error;
    EXPECT_EQ(plan.debugPort.waitEvery, 5u);
    EXPECT_EQ(plan.debugPort.waitScans, 3u);
    EXPECT_EQ(plan.debugPort.stickyErrorAt, 0x20000010u);
    EXPECT_EQ(plan.debugPort.powerLostAt, 0xE000EDF0u);
    EXPECT_FALSE(quorbit::parseFaultList("dap-sticky-error=0x123456789", plan, error));
    EXPECT_EQ(error,
              "fault 'dap-sticky-error' takes a hexadecimal address such as 0x20000010, not "
              "'0x123456789'");
}

}  // namespace
