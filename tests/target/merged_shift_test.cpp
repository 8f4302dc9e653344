// SPDX-License-Identifier: Apache-2.0
// shifts=merged against shifts=split on the same random sequences of shifts and navigations, and
// the raw-shift command against quorbit-sim's own clock-by-clock remote_bitbang session.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "sim/BitbangSession.h"
#include "sim/EmulatedDebugger.h"
#include "support/SimulatedTarget.h"

namespace targettest {
namespace {

// Device 0 nearest TDI. Its user register keeps what it is given and is longer than any block.
quorbit::ChainDescription mergedChain() {
    quorbit::ChainDescription chain;
    chain.devices.push_back({"mira", 6, 0x1A2B3C4Du, 0x09, {{0x05, 150000}}});
    chain.devices.push_back({"tarn", 4, std::nullopt, 0, {{0x3, 40}}});
    return chain;
}
constexpr uint32_t kIrPathBits = 10;
constexpr uint64_t kUserOpcode = 0x05;

enum class Kind { IrShift, DrShift, DrRead, DrWrite, Navigation };

struct Step {
    Kind kind = Kind::Navigation;
    uint32_t bits = 0;  // shift length, or extra clocks of a navigation
    CseJtagTapState end = CSEJTAG_RUN_TEST_IDLE;
    std::vector<uint8_t> tdi;
};

// Lengths around the limits of one raw shift of one stream (122816) and of two (61408).
uint32_t drawLength(std::mt19937& random) {
    static const uint32_t kLengths[] = {0,      1,      7,      8,      9,     33,     61399,
                                        61400,  61407,  61408,  61409,  61416, 122815, 122816,
                                        122817, 150001, 184231, 245632, 245633};
    return kLengths[random() % (sizeof kLengths / sizeof kLengths[0])];
}

std::vector<Step> randomSteps(uint32_t seed, int count) {
    std::mt19937 random(seed);
    std::vector<Step> steps;
    for (int i = 0; i < count; ++i) {
        Step step;
        step.kind = static_cast<Kind>(random() % 5);
        step.end = static_cast<CseJtagTapState>(random() % 16);
        if (step.kind == Kind::IrShift) {
            step.bits = random() % 4 == 0 ? random() % 12 : kIrPathBits;
            // Mostly the user register for device 0, BYPASS for device 1.
            const uint64_t instruction =
                random() % 3 != 0 ? (kUserOpcode << 4) | 0xF : random() & 0x3FF;
            step.tdi = {static_cast<uint8_t>(instruction), static_cast<uint8_t>(instruction >> 8)};
        } else if (step.kind == Kind::Navigation) {
            static const uint32_t kClocks[] = {0, 0, 1, 10, 61399, 61408, 61409, 130000};
            step.bits = kClocks[random() % (sizeof kClocks / sizeof kClocks[0])];
        } else {
            step.bits = drawLength(random);
            // A shift that stays in Shift-DR is one raw shift: longer ones are refused either way.
            if (step.end == CSEJTAG_SHIFT_DR) step.bits = std::min(step.bits, 122816u);
            step.tdi = patternBytes(step.bits / 8 + 1, seed * 1000 + static_cast<uint32_t>(i));
        }
        steps.push_back(step);
    }
    return steps;
}

// What one step gave: its result, TDO, the recorded and the emulator's state, requests it cost.
struct Outcome {
    CseResult result = CSE_SUCCESS;
    std::vector<uint8_t> tdo;
    CseJtagTapState recorded = CSEJTAG_TEST_LOGIC_RESET;
    CseJtagTapState chain = CSEJTAG_TEST_LOGIC_RESET;
    uint64_t requests = 0;
    uint64_t fragments = 0;  // request datagrams
};

// The callback events whose text holds `part`, and all of them as one text for failure output.
size_t eventsWith(const TargetRecorder& recorder, const std::string& part) {
    return static_cast<size_t>(std::count_if(
        recorder.events.begin(), recorder.events.end(),
        [&](const CallbackEvent& event) { return event.text.find(part) != std::string::npos; }));
}

std::string eventText(const TargetRecorder& recorder) {
    std::string text;
    for (const CallbackEvent& event : recorder.events) text += event.text + "|";
    return text;
}

bool operator==(const Outcome& a, const Outcome& b) {
    return a.result == b.result && a.tdo == b.tdo && a.recorded == b.recorded && a.chain == b.chain;
}

void PrintTo(const Outcome& o, std::ostream* out) {
    *out << "result " << o.result << ", recorded " << o.recorded << ", chain " << o.chain << ", "
         << o.tdo.size() << " TDO bytes";
}

class MergedShiftTest : public SimulatedTargetTest {
  protected:
    void openWith(const char* shifts) {
        quorbit::SimOptions options;
        options.chain = mergedChain();
        ASSERT_NO_FATAL_FAILURE(startSimulator(options));
        const std::string port = "port=" + std::to_string(simulator->udpPort());
        const std::string mode = std::string("shifts=") + shifts;
        const char* const argv[] = {"node=127.0.0.1", port.c_str(), mode.c_str()};
        ASSERT_EQ(plugin->openTarget(3, argv, 0, 0), CSE_SUCCESS);
        ASSERT_EQ(plugin->lockTarget(0), CSE_SUCCESS);
    }

    Outcome run(const Step& step) {
        Outcome outcome;
        const uint64_t before = simulator->counters().requests;
        const uint64_t fragmentsBefore = simulator->counters().fragmentsIn;
        std::vector<uint8_t> tdi = step.tdi;
        tdi.resize(step.bits / 8 + 1, 0);
        outcome.tdo.assign(tdi.size(), 0);
        switch (step.kind) {
            case Kind::IrShift:
                outcome.result = plugin->shiftChainIR(tdi.data(), outcome.tdo.data(), nullptr,
                                                      nullptr, step.bits, step.end, 0, 0);
                break;
            case Kind::DrShift:
                outcome.result = plugin->shiftChainDR(tdi.data(), outcome.tdo.data(), nullptr,
                                                      nullptr, step.bits, step.end, 0, 0);
                break;
            case Kind::DrRead:
                outcome.result = plugin->readChainDR(step.bits % 2 == 0, outcome.tdo.data(),
                                                     nullptr, step.bits, step.end, 0, 0);
                break;
            case Kind::DrWrite:
                outcome.result =
                    plugin->writeChainDR(tdi.data(), nullptr, step.bits, step.end, 0, 0);
                break;
            case Kind::Navigation:
                outcome.result = plugin->navigateTAP(step.end, step.bits);
                break;
        }
        // Only the shifted bits are the chain's answer.
        for (uint32_t k = step.bits; k < outcome.tdo.size() * 8; ++k) {
            outcome.tdo[k / 8] = static_cast<uint8_t>(outcome.tdo[k / 8] & ~(1u << (k % 8)));
        }
        outcome.recorded = plugin->getTAPState();
        outcome.chain = simulatorState();
        outcome.requests = simulator->counters().requests - before;
        outcome.fragments = simulator->counters().fragmentsIn - fragmentsBefore;
        return outcome;
    }

    std::vector<uint8_t> userRegister() {
        std::vector<uint8_t> bits;
        EXPECT_TRUE(simulator->userRegister(0, kUserOpcode, bits));
        return bits;
    }
};

class MergedAgainstSplit : public MergedShiftTest,
                           public ::testing::WithParamInterface<uint32_t> {};

TEST_P(MergedAgainstSplit, SameTdoStatesAndChainInFewerRequests) {
    const std::vector<Step> steps = randomSteps(GetParam(), 60);
    std::vector<Outcome> split;
    openWith("split");
    for (const Step& step : steps) split.push_back(run(step));
    const std::vector<uint8_t> splitRegister = userRegister();
    plugin.reset();
    simulator->stop();

    openWith("merged");
    uint64_t splitRequests = 0;
    uint64_t mergedRequests = 0;
    for (size_t i = 0; i < steps.size(); ++i) {
        const Outcome merged = run(steps[i]);
        ASSERT_EQ(merged, split[i]) << "step " << i << ": kind " << static_cast<int>(steps[i].kind)
                                    << ", " << steps[i].bits << " bits, end " << steps[i].end;
        EXPECT_LE(merged.requests, split[i].requests)
            << "step " << i << ": kind " << static_cast<int>(steps[i].kind) << ", " << steps[i].bits
            << " bits, end " << steps[i].end;
        splitRequests += split[i].requests;
        mergedRequests += merged.requests;
    }
    EXPECT_EQ(userRegister(), splitRegister);
    EXPECT_LT(mergedRequests, splitRequests);
}

INSTANTIATE_TEST_SUITE_P(Seeds, MergedAgainstSplit, ::testing::Values(1u, 2u, 3u, 4u, 5u));

// The calls a host makes most, and the link requests each costs either way.
struct CostCase {
    const char* name;
    Kind kind;
    uint32_t bits;
    uint64_t split;
    uint64_t merged;
};

void PrintTo(const CostCase& c, std::ostream* out) {
    *out << c.name;
}

class MergedCost : public MergedShiftTest, public ::testing::WithParamInterface<CostCase> {};

TEST_P(MergedCost, RequestsPerCallFromRunTestIdle) {
    const CostCase c = GetParam();
    Step step;
    step.kind = c.kind;
    step.bits = c.bits;
    step.end = CSEJTAG_RUN_TEST_IDLE;
    openWith("split");
    const Outcome split = run(step);
    EXPECT_EQ(split.requests, c.split);
    plugin.reset();
    simulator->stop();
    openWith("merged");
    const Outcome merged = run(step);
    EXPECT_EQ(merged.requests, c.merged);
    // No request saved, no TMS stream sent: the very datagrams of the split sequence.
    if (c.merged == c.split) {
        EXPECT_EQ(merged.fragments, split.fragments);
    }
}

INSTANTIATE_TEST_SUITE_P(Calls, MergedCost,
                         ::testing::Values(CostCase{"Dr32", Kind::DrShift, 32, 3, 1},
                                           CostCase{"Ir10", Kind::IrShift, 10, 3, 1},
                                           CostCase{"Clocks10", Kind::Navigation, 10, 2, 1},
                                           CostCase{"Dr61392", Kind::DrShift, 61392, 3, 1},
                                           // 3 + 61,403 + 2 clocks fill one raw shift exactly.
                                           CostCase{"Dr61403", Kind::DrShift, 61403, 3, 1},
                                           CostCase{"Dr61404", Kind::DrShift, 61404, 3, 3},
                                           CostCase{"Dr122800", Kind::DrShift, 122800, 3, 3},
                                           CostCase{"Dr122816", Kind::DrShift, 122816, 3, 3},
                                           CostCase{"Dr1Mbit", Kind::DrShift, 1u << 20, 11, 11}),
                         [](const ::testing::TestParamInfo<CostCase>& info) {
                             return info.param.name;
                         });

// ---- The raw-shift command ----------------------------------------------------------------

std::vector<uint8_t> commandInput(uint32_t bits, const std::vector<uint8_t>& tms,
                                  const std::vector<uint8_t>& tdi) {
    std::vector<uint8_t> input = {static_cast<uint8_t>(bits), static_cast<uint8_t>(bits >> 8),
                                  static_cast<uint8_t>(bits >> 16),
                                  static_cast<uint8_t>(bits >> 24)};
    const size_t bytes = (bits + 7) / 8;
    input.insert(input.end(), tms.begin(), tms.begin() + static_cast<long>(bytes));
    input.insert(input.end(), tdi.begin(), tdi.begin() + static_cast<long>(bytes));
    return input;
}

// Random TMS that lingers in the shift states, so that long registers are shifted.
std::vector<uint8_t> lingeringTms(std::mt19937& random, uint32_t bits) {
    std::vector<uint8_t> tms(bits / 8 + 1, 0);
    for (uint32_t k = 0; k < bits; ++k) {
        if (random() % 97 == 0) tms[k / 8] = static_cast<uint8_t>(tms[k / 8] | (1u << (k % 8)));
    }
    return tms;
}

class RawShiftCommand : public MergedShiftTest, public ::testing::WithParamInterface<uint32_t> {};

// The oracle clocks the same chain one character at a time as OpenOCD would over remote_bitbang:
// TCK low with TMS and TDI, TCK high, then 'R' for the TDO the edge sampled.
TEST_P(RawShiftCommand, CapturesWhatTheBitbangSessionReadsClockByClock) {
    const uint32_t bits = GetParam();
    std::mt19937 random(bits);
    const std::vector<uint8_t> tms = lingeringTms(random, bits);
    const std::vector<uint8_t> tdi = patternBytes(bits / 8 + 1, bits + 1);
    openWith("split");
    const std::vector<uint8_t> input = commandInput(bits, tms, tdi);
    std::vector<uint8_t> tdo((bits + 7) / 8, 0);
    ASSERT_EQ(plugin->sendCommand("raw-shift", input.data(), static_cast<uint32_t>(input.size()),
                                  tdo.data(), static_cast<uint32_t>(tdo.size()), 0, 0),
              CSE_SUCCESS);
    EXPECT_EQ(plugin->getTAPState(), simulatorState()) << "the recorded state follows the TMS";

    quorbit::EmulatedDebugger oracle(mergedChain(), 16);
    quorbit::BitbangSession session(oracle);
    std::string lines = "0404040404040";  // six TMS ones, then a zero: the lock's reset
    for (uint32_t k = 0; k < bits; ++k) {
        const int low = ((tms[k / 8] >> (k % 8)) & 1) * 2 + ((tdi[k / 8] >> (k % 8)) & 1);
        lines += static_cast<char>('0' + low);
        lines += static_cast<char>('4' + low);
        lines += 'R';
    }
    std::string read;
    (void)session.feed(lines.data(), lines.size(), read);
    ASSERT_EQ(read.size(), bits);
    for (uint32_t k = 0; k < bits; ++k) {
        ASSERT_EQ((tdo[k / 8] >> (k % 8)) & 1, read[k] - '0') << "bit " << k << " of " << bits;
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, RawShiftCommand,
                         ::testing::Values(1u, 9u, 1000u, 61407u, 61408u, 61409u, 200003u));

struct CommandCase {
    const char* name;
    const char* verb;
    bool lock;
    std::vector<uint8_t> input;
    const char* error;  // a part of the message, or the framework's
};

void PrintTo(const CommandCase& c, std::ostream* out) {
    *out << c.name;
}

class RawShiftCommandRefusal : public MergedShiftTest,
                               public ::testing::WithParamInterface<CommandCase> {};

// Every refusal leaves the TAP where it was; other verbs answer exactly as the framework does,
// so setOption and getOption behave as before.
TEST_P(RawShiftCommandRefusal, FailsWithItsReasonAndMovesNothing) {
    const CommandCase c = GetParam();
    openWith("split");
    if (!c.lock) {
        ASSERT_EQ(plugin->unlockTarget(), CSE_SUCCESS);
    }
    simulator->resetInspection();
    recorder.clear();
    uint8_t tdo[8] = {};
    EXPECT_EQ(plugin->sendCommand(c.verb, c.input.data(), static_cast<uint32_t>(c.input.size()),
                                  tdo, sizeof tdo, 0, 0),
              CSE_FAILURE);
    EXPECT_GT(eventsWith(recorder, c.error), 0u) << eventText(recorder);
    EXPECT_TRUE(rawShifts().empty());
}

const std::vector<uint8_t> kEightClocks = {8, 0, 0, 0, 0x00, 0xAA};

INSTANTIATE_TEST_SUITE_P(
    Cases, RawShiftCommandRefusal,
    ::testing::Values(
        CommandCase{"NotLocked", "raw-shift", false, kEightClocks, "needs the exclusive lock"},
        CommandCase{"Truncated", "raw-shift", true, {8, 0, 0, 0, 0}, "takes 6 bytes"},
        CommandCase{"NoCount", "raw-shift", true, {8, 0}, "takes a 32-bit bit count"},
        CommandCase{"OtherVerb", "reset", true, kEightClocks,
                    "CsePlugin::sendCommandImpl() is not implemented for this Target"}),
    [](const ::testing::TestParamInfo<CommandCase>& info) { return info.param.name; });

TEST_F(MergedShiftTest, OptionsStillGoToTheFrameworksCommand) {
    openWith("merged");
    recorder.clear();
    char answer[16] = {};
    EXPECT_EQ(plugin->setOption("speed", "10"), CSE_FAILURE);
    EXPECT_EQ(plugin->getOption("speed", answer, sizeof answer), CSE_FAILURE);
    // Once through the log callback for each of the two commands.
    EXPECT_EQ(
        eventsWith(recorder, "CsePlugin::sendCommandImpl() is not implemented for this Target"), 2u)
        << eventText(recorder);
}

TEST_F(MergedShiftTest, UnknownShiftsValueFailsTheOpen) {
    quorbit::SimOptions options;
    ASSERT_NO_FATAL_FAILURE(startSimulator(options));
    const std::string port = "port=" + std::to_string(simulator->udpPort());
    const char* const argv[] = {"node=127.0.0.1", port.c_str(), "shifts=fused"};
    EXPECT_EQ(plugin->openTarget(3, argv, 0, 0), CSE_FAILURE);
    EXPECT_GT(eventsWith(recorder, "Shifts fused not accepted (split or merged)"), 0u)
        << eventText(recorder);
}

}  // namespace
}  // namespace targettest
