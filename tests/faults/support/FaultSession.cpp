// SPDX-License-Identifier: Apache-2.0
#include "support/FaultSession.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "framework/CallbackRecord.h"
#include "remote/RemoteLink.h"
#include "remote/RemoteLinkTesting.h"
#include "support/FaultChain.h"

namespace faults {
namespace {

using soak::Tap;
using soak::Trit;

Tap tapOf(CseJtagTapState state) {
    return static_cast<Tap>(state);
}

uint32_t totalIrLength() {
    uint32_t total = 0;
    for (const soak::ModelDevice& device : faultChainModel()) total += device.irLength;
    return total;
}

// Ones for every device but `device`, whose bits get the instruction.
std::vector<uint8_t> deviceIrStream(uint32_t device, uint64_t opcode) {
    const std::vector<soak::ModelDevice> chain = faultChainModel();
    std::vector<uint8_t> stream((totalIrLength() + 7) / 8, 0xFF);
    uint32_t at = 0;
    for (uint32_t i = static_cast<uint32_t>(chain.size()); i-- > 0;) {
        if (i == device) {
            for (uint32_t bit = 0; bit < chain[i].irLength; ++bit) {
                if (((opcode >> bit) & 1u) == 0) {
                    stream[(at + bit) / 8] &= static_cast<uint8_t>(~(1u << ((at + bit) % 8)));
                }
            }
        }
        at += chain[i].irLength;
    }
    return stream;
}

uint32_t irTrailingBits(uint32_t device) {
    const std::vector<soak::ModelDevice> chain = faultChainModel();
    uint32_t bits = 0;
    for (size_t i = device + 1; i < chain.size(); ++i) bits += chain[i].irLength;
    return bits;
}

// The device's DR bits surrounded by one zero BYPASS bit per other device.
std::vector<uint8_t> deviceDrStream(uint32_t device, const std::vector<uint8_t>& bits,
                                    uint32_t bitCount) {
    const uint32_t count = static_cast<uint32_t>(faultChainModel().size());
    const uint32_t trailing = count - 1 - device;
    std::vector<uint8_t> stream((bitCount + count - 1 + 7) / 8 + 1, 0);
    for (uint32_t k = 0; k < bitCount; ++k) {
        if (soak::bufferBit(bits.data(), k)) {
            stream[(trailing + k) / 8] |= static_cast<uint8_t>(1u << ((trailing + k) % 8));
        }
    }
    return stream;
}

}  // namespace

std::vector<uint8_t> patternBits(uint32_t bitCount, uint32_t seed) {
    std::vector<uint8_t> bytes((bitCount + 7) / 8 + 1, 0);
    uint32_t state = seed * 2654435761u + 12345u;
    for (uint8_t& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<uint8_t>(state);
    }
    for (uint32_t k = bitCount; k < bytes.size() * 8; ++k) {
        bytes[k / 8] &= static_cast<uint8_t>(~(1u << (k % 8)));
    }
    return bytes;
}

void FaultSession::SetUp() {
    // The discovery under test is the target scan.
    unsetenv("CSE_JTAGFILE");
    CallbackRecord::replace(CsePluginCallbacks{});
    KRV_Disconnect();
    LinkSetSocketOpsForTest(nullptr);
    useTimeouts(kPatientMicros, kPatientMicros);
    plugin = std::make_unique<QXCsePlugin>();
}

void FaultSession::TearDown() {
    plugin.reset();
    KRV_Disconnect();
    LinkSetTimeoutsForTest(0, 0);
    if (simulator) simulator->stop();
    printFigures("all calls");
}

void FaultSession::printFigures(const char* what) const {
    // Figures for the record: how many calls ran and how they ended.
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::printf("[ figures  ] %s, %s: %llu calls, %llu succeeded, %llu failed, %llu wrong\n",
                test->name(), what, static_cast<unsigned long long>(counts.calls),
                static_cast<unsigned long long>(counts.successes),
                static_cast<unsigned long long>(counts.failures),
                static_cast<unsigned long long>(counts.wrong));
}

void FaultSession::startSimulator(const quorbit::FaultPlan& plan, uint16_t port) {
    if (simulator) simulator->stop();
    quorbit::SimOptions options;
    options.port = port;
    options.chain = faultChainSpec();
    options.faults = plan;
    options.ackWaitMs = 20;
    simulator = std::make_unique<quorbit::Simulator>(options);
    std::string error;
    ASSERT_TRUE(simulator->start(error)) << error;
    model = std::make_unique<soak::ReferenceChain>(faultChainModel());
}

void FaultSession::useTimeouts(uint32_t handshakeMicros, uint32_t replyMicros) {
    LinkSetTimeoutsForTest(handshakeMicros, replyMicros);
}

template <typename Body>
CseResult FaultSession::call(const char* what, Body&& body) {
    const CseResult result = body();
    ++counts.calls;
    if (result == CSE_SUCCESS) {
        ++counts.successes;
    } else {
        ++counts.failures;
        failedCalls.push_back(std::string(what) + " (link result " +
                              std::to_string(KRV_LastResult()) + ")");
        // What the front end did of the failed call is unknown; a new session resets the TAP.
        model->forgetUserRegisters();
    }
    return result;
}

bool FaultSession::expectBits(const std::vector<Trit>& expected, size_t offset,
                              const uint8_t* actual, uint32_t bitCount, const std::string& what) {
    for (uint32_t k = 0; k < bitCount; ++k) {
        const Trit want = expected[offset + k];
        if (want == soak::kUnknown || want == (soak::bufferBit(actual, k) ? 1 : 0)) continue;
        ++counts.wrong;
        wrongResults.push_back(what + ": TDO bit " + std::to_string(k) + " of " +
                               std::to_string(bitCount));
        return false;
    }
    return expectState(what);
}

bool FaultSession::expectState(const std::string& what) {
    if (tapOf(plugin->getTAPState()) == model->state()) return true;
    ++counts.wrong;
    wrongResults.push_back(what + ": recorded TAP state " +
                           soak::tapName(tapOf(plugin->getTAPState())) + ", chain in " +
                           soak::tapName(model->state()));
    return false;
}

std::vector<Trit> FaultSession::modelShift(bool instructionPath, const std::vector<uint8_t>& stream,
                                           uint32_t bitCount, Tap end) {
    const Tap shiftState = instructionPath ? Tap::ShiftIr : Tap::ShiftDr;
    if (model->state() != shiftState) model->walkTo(shiftState);
    std::vector<Trit> tdo = model->shift(bitCount, stream.data(), end != shiftState);
    if (model->state() != end) model->walkTo(end);
    return tdo;
}

void FaultSession::modelLockOrScan() {
    // Six TMS ones reset every TAP; the lock and the scan end in Run-Test/Idle.
    for (int i = 0; i < 6; ++i) (void)model->clock(true, false);
    model->walkTo(Tap::Idle);
}

bool FaultSession::openAndPrepare() {
    if (plugin->isOpened()) (void)close();
    const std::string port = "port=" + std::to_string(simulator->udpPort());
    const std::string retransmission = "retransmit=" + retransmit;
    const std::string shiftMode = "shifts=" + shifts;
    const char* const argv[] = {"node=127.0.0.1", port.c_str(), retransmission.c_str(),
                                shiftMode.c_str()};
    if (call("openTarget", [&] { return plugin->openTarget(4, argv, 0, 0); }) != CSE_SUCCESS)
        return false;
    ++openings;
    if (call("lockTarget", [&] { return plugin->lockTarget(0); }) != CSE_SUCCESS) return false;
    modelLockOrScan();
    if (call("scanJTAGChain", [&] { return plugin->scanJTAGChain(); }) != CSE_SUCCESS) return false;
    modelLockOrScan();
    const std::vector<soak::ModelDevice> chain = faultChainModel();
    bool same = plugin->getDeviceCount() == chain.size();
    for (uint32_t i = 0; same && i < chain.size(); ++i) {
        same = plugin->getDeviceID(i) == (chain[i].hasIdcode ? chain[i].idcode : 0u);
        (void)plugin->setIRLength(i, chain[i].irLength);
    }
    if (!same) {
        ++counts.wrong;
        wrongResults.push_back("scan: ID codes differ from the chain's");
        return false;
    }
    return expectState("scan");
}

bool FaultSession::runScript() {
    return readIdcode(0) && readIdcode(2) && longRegisterRoundTrip() && bypassShifts();
}

int FaultSession::runRounds(int rounds) {
    int complete = 0;
    for (int round = 0; round < rounds; ++round) {
        if (openAndPrepare() && runScript()) ++complete;
    }
    (void)close();
    return complete;
}

CseResult FaultSession::close() {
    if (!plugin->isOpened()) return CSE_SUCCESS;
    return call("closeTarget", [&] { return plugin->closeTarget(); });
}

bool FaultSession::readIdcode(uint32_t device) {
    const soak::ModelDevice model = faultChainModel()[device];
    const std::string what = "IDCODE of device " + std::to_string(device);
    const uint8_t opcode[1] = {static_cast<uint8_t>(model.idcodeOpcode)};
    uint8_t irTdo[1] = {0xEE};
    if (call("shiftDeviceIR", [&] {
            return plugin->shiftDeviceIR(device, opcode, irTdo, nullptr, nullptr, model.irLength,
                                         CSEJTAG_RUN_TEST_IDLE, 0, 0);
        }) != CSE_SUCCESS) {
        return false;
    }
    const std::vector<Trit> irExpected =
        modelShift(true, deviceIrStream(device, model.idcodeOpcode), totalIrLength(), Tap::Idle);
    if (!expectBits(irExpected, irTrailingBits(device), irTdo, model.irLength, what + " (IR)")) {
        return false;
    }
    const std::vector<uint8_t> zeros(5, 0);
    uint8_t idcode[4] = {};
    if (call("shiftDeviceDR 32 bits", [&] {
            return plugin->shiftDeviceDR(device, zeros.data(), idcode, nullptr, nullptr, 32,
                                         CSEJTAG_RUN_TEST_IDLE, 0, 0);
        }) != CSE_SUCCESS) {
        return false;
    }
    const std::vector<Trit> drExpected =
        modelShift(false, deviceDrStream(device, zeros, 32), 32 + 2, Tap::Idle);
    const uint32_t read =
        static_cast<uint32_t>(idcode[0]) | (static_cast<uint32_t>(idcode[1]) << 8) |
        (static_cast<uint32_t>(idcode[2]) << 16) | (static_cast<uint32_t>(idcode[3]) << 24);
    if (read != model.idcode) {
        ++counts.wrong;
        wrongResults.push_back(what + " read as " + std::to_string(read));
        return false;
    }
    return expectBits(drExpected, 2 - device, idcode, 32, what);
}

bool FaultSession::longRegisterRoundTrip() {
    const uint32_t device = kLongRegisterDevice;
    const std::string what = "300000-bit user register";
    const uint8_t opcode[1] = {static_cast<uint8_t>(kLongRegisterOpcode)};
    if (call("writeDeviceIR", [&] {
            return plugin->writeDeviceIR(device, opcode, nullptr, 6, CSEJTAG_PAUSE_IR, 0, 0);
        }) != CSE_SUCCESS) {
        return false;
    }
    (void)modelShift(true, deviceIrStream(device, kLongRegisterOpcode), totalIrLength(),
                     Tap::PauseIr);
    if (!expectState(what + " (IR)")) return false;

    // Written with one pattern, then read back while a second goes in.
    for (uint32_t round = 0; round < 2; ++round) {
        const std::vector<uint8_t> tdi =
            patternBits(kLongRegisterBits, static_cast<uint32_t>(counts.calls * 2 + round));
        std::vector<uint8_t> tdo(tdi.size(), 0x69);
        if (call("shiftDeviceDR 300000 bits", [&] {
                return plugin->shiftDeviceDR(device, tdi.data(), tdo.data(), nullptr, nullptr,
                                             kLongRegisterBits, CSEJTAG_RUN_TEST_IDLE, 0, 0);
            }) != CSE_SUCCESS) {
            return false;
        }
        const std::vector<Trit> expected =
            modelShift(false, deviceDrStream(device, tdi, kLongRegisterBits), kLongRegisterBits + 2,
                       Tap::Idle);
        if (!expectBits(expected, 2, tdo.data(), kLongRegisterBits, what)) return false;
        // The emulator's own copy of the register agrees as well.
        std::vector<uint8_t> held;
        if (!simulator->userRegister(device, kLongRegisterOpcode, held) ||
            !std::equal(held.begin(), held.end(), tdi.begin())) {
            ++counts.wrong;
            wrongResults.push_back(what + ": the emulator holds other bits");
            return false;
        }
    }
    return true;
}

bool FaultSession::bypassShifts() {
    const uint32_t irBits = totalIrLength();
    const std::vector<uint8_t> ones((irBits + 7) / 8, 0xFF);
    std::vector<uint8_t> irTdo(ones.size(), 0);
    if (call("shiftChainIR", [&] {
            return plugin->shiftChainIR(ones.data(), irTdo.data(), nullptr, nullptr, irBits,
                                        CSEJTAG_SHIFT_IR, 0, 0);
        }) != CSE_SUCCESS) {
        return false;
    }
    const std::vector<Trit> irExpected = modelShift(true, ones, irBits, Tap::ShiftIr);
    if (!expectBits(irExpected, 0, irTdo.data(), irBits, "chain IR to BYPASS")) return false;
    // The same IR again without leaving Shift-IR, now read back as ones.
    std::vector<uint8_t> again(ones.size(), 0);
    if (call("readChainIR", [&] {
            return plugin->readChainIR(true, again.data(), nullptr, irBits, CSEJTAG_UPDATE_IR, 0,
                                       0);
        }) != CSE_SUCCESS) {
        return false;
    }
    const std::vector<Trit> againExpected = modelShift(true, ones, irBits, Tap::UpdateIr);
    if (!expectBits(againExpected, 0, again.data(), irBits, "chain IR read")) return false;

    constexpr uint32_t kBits = 300000;
    const std::vector<uint8_t> tdi = patternBits(kBits, 77);
    std::vector<uint8_t> tdo(tdi.size(), 0x3C);
    if (call("shiftChainDR 300000 bits", [&] {
            return plugin->shiftChainDR(tdi.data(), tdo.data(), nullptr, nullptr, kBits,
                                        CSEJTAG_PAUSE_DR, 0, 0);
        }) != CSE_SUCCESS) {
        return false;
    }
    const std::vector<Trit> expected = modelShift(false, tdi, kBits, Tap::PauseDr);
    return expectBits(expected, 0, tdo.data(), kBits, "300000 bits through BYPASS");
}

}  // namespace faults
