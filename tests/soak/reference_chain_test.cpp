// SPDX-License-Identifier: Apache-2.0
// The soak's model is only worth its checks if it agrees with a chain it did not come from: here it
// is clocked side by side with the emulator's virtual chain, and its walks are held to the rule
// that navigations follow.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "ReferenceChain.h"
#include "ReferenceTap.h"
#include "sim/QuorbitSim.h"
#include "sim/VirtualChain.h"

namespace soak {
namespace {

struct Devices {
    quorbit::ChainDescription emulated;
    std::vector<ModelDevice> modelled;
};

// Three made-up devices: one with IDCODE and two user registers, one without IDCODE, one with
// IDCODE only.
Devices threeDevices() {
    Devices devices;
    const struct {
        unsigned irLength;
        bool hasIdcode;
        uint32_t idcode;
        uint64_t idcodeOpcode;
        std::vector<std::pair<uint64_t, unsigned>> users;
    } table[] = {
        {5, true, 0x1BADC0DEu | 1u, 0x01, {{0x02, 13}, {0x05, 70}}},
        {3, false, 0, 0, {{0x1, 9}}},
        {4, true, 0x0FACE001u, 0x6, {}},
    };
    for (const auto& row : table) {
        ModelDevice model;
        model.irLength = row.irLength;
        model.hasIdcode = row.hasIdcode;
        model.idcode = row.idcode;
        model.idcodeOpcode = row.idcodeOpcode;
        model.userRegisters = row.users;
        quorbit::DeviceDescription description;
        description.name = "dev" + std::to_string(devices.modelled.size());
        description.irLength = row.irLength;
        if (row.hasIdcode) description.idcode = row.idcode;
        description.idcodeOpcode = row.idcodeOpcode;
        for (const auto& [opcode, width] : row.users) description.userRegisters[opcode] = width;
        devices.emulated.devices.push_back(description);
        devices.modelled.push_back(model);
    }
    return devices;
}

bool inShift(Tap state) {
    return state == Tap::ShiftDr || state == Tap::ShiftIr;
}

TEST(ReferenceChainTest, AgreesWithTheEmulatedChainOnRandomClocks) {
    const Devices devices = threeDevices();
    std::string error;
    ASSERT_TRUE(quorbit::validateChain(devices.emulated, error)) << error;
    quorbit::VirtualChain emulated(devices.emulated);
    ReferenceChain model(devices.modelled);
    std::mt19937 random(5);
    // TMS mostly low, so that long stretches are shifted and every register is visited.
    for (int clock = 0; clock < 200000; ++clock) {
        const bool tms = random() % 5 == 0;
        const bool tdi = (random() & 1u) != 0;
        const Tap before = model.state();
        const bool emulatedTdo = emulated.clock(tms, tdi);
        const Trit modelTdo = model.clock(tms, tdi);
        ASSERT_EQ(static_cast<int>(model.state()), static_cast<int>(emulated.state()))
            << "clock " << clock;
        if (inShift(before)) {
            ASSERT_EQ(modelTdo, emulatedTdo ? 1 : 0) << "clock " << clock;
        }
    }
    for (size_t device = 0; device < 3; ++device) {
        EXPECT_EQ(model.instruction(device), emulated.instruction(device));
    }
}

TEST(ReferenceChainTest, BulkShiftEqualsClockByClock) {
    const Devices devices = threeDevices();
    ReferenceChain bulk(devices.modelled);
    ReferenceChain single(devices.modelled);
    for (ReferenceChain* chain : {&bulk, &single}) chain->walkTo(Tap::ShiftDr);
    std::vector<uint8_t> tdi(40);
    std::mt19937 random(9);
    for (uint8_t& byte : tdi) byte = static_cast<uint8_t>(random());
    const std::vector<Trit> bulkTdo = bulk.shift(300, tdi.data(), true);
    std::vector<Trit> singleTdo;
    for (uint32_t k = 0; k < 300; ++k)
        singleTdo.push_back(single.clock(k == 299, bufferBit(tdi.data(), k)));
    EXPECT_EQ(bulkTdo, singleTdo);
    EXPECT_EQ(bulk.state(), Tap::Exit1Dr);
    EXPECT_EQ(single.state(), Tap::Exit1Dr);
}

TEST(ReferenceChainTest, UnknownRegistersStayUnknownUntilWritten) {
    const Devices devices = threeDevices();
    ReferenceChain model(devices.modelled);
    model.walkTo(Tap::ShiftIr);
    // The first 4 + 3 bits reach devices 2 and 1 (BYPASS), the last 5 device 0: opcode 0x02
    // selects its 13-bit register.
    const std::vector<uint8_t> stream = {0x7F, 0x01};
    (void)model.shift(12, stream.data(), true);
    model.walkTo(Tap::Idle);
    model.forgetUserRegisters();
    model.walkTo(Tap::ShiftDr);
    const std::vector<uint8_t> ones(4, 0xFF);
    std::vector<Trit> first = model.shift(15, ones.data(), true);
    model.walkTo(Tap::ShiftDr);  // through Update-DR: the ones are held now
    std::vector<Trit> second = model.shift(15, ones.data(), true);
    // The register's 13 bits come out after the bypass bits of devices 2 and 1.
    for (size_t k = 2; k < 15; ++k) {
        EXPECT_EQ(first[k], kUnknown) << k;
        EXPECT_EQ(second[k], 1) << k;
    }
}

TEST(NavigationWalkTest, EveryWalkEndsAtItsGoalWithinEightClocks) {
    for (unsigned from = 0; from < kTapStates; ++from) {
        for (unsigned to = 0; to < kTapStates; ++to) {
            const std::vector<bool> walk =
                navigationWalk(static_cast<Tap>(from), static_cast<Tap>(to));
            Tap at = static_cast<Tap>(from);
            for (const bool tms : walk) at = nextTap(at, tms);
            EXPECT_EQ(at, static_cast<Tap>(to)) << from << " -> " << to;
            EXPECT_GE(walk.size(), 1u);
            EXPECT_LE(walk.size(), 8u);
        }
    }
}

struct WalkCase {
    Tap from;
    Tap to;
    std::vector<bool> tms;
};

void PrintTo(const WalkCase& walk, std::ostream* out) {
    *out << tapName(walk.from) << " -> " << tapName(walk.to);
}

class NavigationWalkExamples : public ::testing::TestWithParam<WalkCase> {};

TEST_P(NavigationWalkExamples, ClocksTheExpectedTms) {
    EXPECT_EQ(navigationWalk(GetParam().from, GetParam().to), GetParam().tms);
}

INSTANTIATE_TEST_SUITE_P(
    Walks, NavigationWalkExamples,
    ::testing::Values(WalkCase{Tap::Idle, Tap::ShiftDr, {1, 0, 0}},
                      WalkCase{Tap::Idle, Tap::ShiftIr, {1, 1, 0, 0}},
                      WalkCase{Tap::SelectDr, Tap::Idle, {0, 1, 1, 0}},
                      WalkCase{Tap::Exit1Dr, Tap::ShiftDr, {1, 1, 0, 0}},
                      WalkCase{Tap::PauseDr, Tap::ShiftDr, {1, 0}},
                      WalkCase{Tap::UpdateDr, Tap::UpdateDr, {1, 0, 1, 1}},
                      WalkCase{Tap::ShiftDr, Tap::Reset, {1, 1, 1, 1, 1}},
                      WalkCase{Tap::Reset, Tap::Reset, {1}},
                      WalkCase{Tap::ShiftDr, Tap::Exit2Ir, {1, 1, 1, 1, 0, 1, 0, 1}}));

}  // namespace
}  // namespace soak
