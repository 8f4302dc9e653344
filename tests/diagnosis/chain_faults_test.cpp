// SPDX-License-Identifier: Apache-2.0
// diagnoseChain through the real plug-in against quorbit-sim with board faults and odd chains:
// the check that must show the fault, its reason and its figures.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "diagnosis/ChainDiagnosis.h"
#include "support/SimulatedTarget.h"

namespace {

struct FaultRow {
    const char* name;
    const char* chain;   // quorbit-sim chain text; empty: the demo chain
    const char* faults;  // board faults
    const char* check;
    csediag::Verdict verdict;
    const char* reason;  // part of the reason
    const char* figure;  // a figure the check must give, "" for none
    double value;
};

void PrintTo(const FaultRow& row, std::ostream* out) {
    *out << row.name;
}

class ChainFaults : public targettest::SimulatedTargetTest,
                    public testing::WithParamInterface<FaultRow> {};

TEST_P(ChainFaults, NamesTheFault) {
    const FaultRow& row = GetParam();
    quorbit::SimOptions options;
    std::string error;
    if (*row.chain != '\0') {
        ASSERT_TRUE(quorbit::parseChainText(row.chain, "t", options.chain, error)) << error;
    }
    ASSERT_TRUE(quorbit::parseBoardFaults(row.faults, options.boardFaults, error)) << error;
    startSimulator(options);
    openAndLock();
    csediag::ChainFacts facts;
    facts.scanned = !CsePluginInterface::cseFailed(plugin->scanJTAGChain());
    facts.scanProblem = facts.scanned ? "" : "the scan failed: more than 254 devices";
    const std::vector<csediag::Check> checks = csediag::diagnoseChain(*plugin, facts);
    ASSERT_EQ(checks.size(), 7u);  // the last says whether requests go out again
    for (const csediag::Check& check : checks) {
        if (check.name != row.check) continue;
        EXPECT_EQ(csediag::verdictName(check.verdict), csediag::verdictName(row.verdict));
        EXPECT_NE(check.reason.find(row.reason), std::string::npos) << check.reason;
        if (*row.figure != '\0') {
            ASSERT_EQ(check.figures.count(row.figure), 1u) << check.reason;
            EXPECT_EQ(check.figures.at(row.figure), row.value);
        }
    }
}

constexpr const char* kLong8 =
    "a 3 0x16A00EFF 1\nb 4 0x26A01EFF 1\nc 5 0x36A02C3B 1\nd 6 0x46A03EFF 1\n"
    "e 7 0x56A04C3B 1\nf 8 0x66A05EFF 1\ng 3 0x76A06C3B 1\nh 4 0x86A07EFF 1\n";

const FaultRow kFaultRows[] = {
    {"SoundChain", "", "", "ir-length", csediag::Verdict::kOk, "IR lengths 6,8,4", "irPathBits",
     18},
    {"CountsInBypass", "", "", "device-count", csediag::Verdict::kOk, "3 in the IDCODE scan",
     "devicesInBypass", 3},
    // A device whose IDCODE reads all ones ends the IDCODE scan: 1 device found of 3.
    {"AllOnesIdcodeFlagsTheIrLengths", "a 6 0x151C0EFF 09\nb 5 0xFFFFFFFF 1\nc 4 0x2A4C1E3B 1\n",
     "", "ir-length", csediag::Verdict::kFault, "found 1 device where BYPASS shows 3", "devices",
     3},
    {"StuckTdoBlamedNotTheDeviceLimit", "", "tdo-stuck-0", "idcode", csediag::Verdict::kFault,
     "because of the TDO fault: TDO stuck at 0", "", 0},
    // Devices 0..2 are cut off; the scan sees d..h and names them from TDO (h is 0).
    {"OpenChainNamesDevicesFromTdo", kLong8, "open-after=2", "idcode", csediag::Verdict::kWarning,
     "device 4, 2, 0 counted from TDO", "", 0},
    {"LinkFigures", "", "", "link", csediag::Verdict::kOk, "round trip", "", 0},
    {"MergedShiftsAgree", "", "", "merged-shifts", csediag::Verdict::kOk,
     "shifts=merged is safe with it", "differingBits", 0},
    {"MergedShiftsNotCheckedOnAStuckTdo", "", "tdo-stuck-1", "merged-shifts",
     csediag::Verdict::kWarning, "not checked", "", 0},
};

INSTANTIATE_TEST_SUITE_P(Rows, ChainFaults, testing::ValuesIn(kFaultRows),
                         [](const testing::TestParamInfo<FaultRow>& info) {
                             return info.param.name;
                         });

}  // namespace
