// SPDX-License-Identifier: Apache-2.0
// The SVF parser against the format's corner cases: each row is a text and either the commands it
// gives (in a compact form) or "LINE: part of the error".
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "svf/SvfBits.h"
#include "svf/SvfParser.h"
#include "svf/SvfReport.h"

namespace {

using csesvf::SvfCommand;
using namespace std::literals;

std::string hex(const uint8_t* bits, uint32_t count) {
    return csesvf::bitsToHex(bits, 0, count);
}

std::string describe(const SvfCommand& command) {
    switch (command.kind) {
        case SvfCommand::Kind::kScan: {
            const csesvf::SvfScan& s = command.scan;
            std::string text = std::string(s.instruction ? "SIR " : "SDR ") +
                               std::to_string(s.totalBits) + " " + hex(s.tdi, s.totalBits);
            if (s.check)
                text += " exp " + hex(s.expected, s.totalBits) + "/" + hex(s.mask, s.totalBits);
            return text + " " + csesvf::svfStateName(s.endState);
        }
        case SvfCommand::Kind::kRunTest: {
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%g", command.runTest.minSeconds);
            return std::string("RUNTEST ") + csesvf::svfStateName(command.runTest.runState) + " " +
                   std::to_string(command.runTest.clocks) + " " + seconds + " " +
                   csesvf::svfStateName(command.runTest.endState);
        }
        case SvfCommand::Kind::kState: {
            std::string text = "STATE";
            for (const auto state : command.path)
                text += std::string(" ") + csesvf::svfStateName(state);
            return text;
        }
        case SvfCommand::Kind::kTapReset:
            return "TAPRESET";
    }
    return "?";
}

std::string parse(const std::string& text, size_t pieceBytes = size_t{1} << 20) {
    std::istringstream stream(text);
    csesvf::SvfInput input(stream, csesvf::kMaxSvfBytes, pieceBytes);
    csesvf::SvfParser parser(input);
    SvfCommand command;
    csesvf::SvfError error;
    std::string all;
    while (parser.next(command, error)) all += (all.empty() ? "" : " | ") + describe(command);
    if (!error.message.empty()) return std::to_string(error.line) + ": " + error.message;
    return all;
}

struct Row {
    const char* name;
    std::string_view text;
    const char* expected;  // the commands, or "LINE: " and the start of the error
};

class SvfParserTest : public testing::TestWithParam<Row> {};

TEST_P(SvfParserTest, GivesTheCommandsOrTheError) {
    const std::string result = parse(std::string(GetParam().text));
    const std::string expected = GetParam().expected;
    // Errors are matched on their start, commands in full.
    const bool error = !expected.empty() && expected[0] >= '0' && expected[0] <= '9';
    EXPECT_EQ(error ? result.substr(0, expected.size()) : result, expected) << GetParam().text;
    // The text is read in pieces: a statement cut anywhere parses the same.
    EXPECT_EQ(parse(std::string(GetParam().text), 3), result);
}

const Row kRows[] = {
    {"CaseAndComments", "sdr 8 tdi (a5); ! x\n// y\nEndDr DrPause;\nSdR 4 TdI(3) tDo(1);",
     "SDR 8 A5 IDLE | SDR 4 3 exp 1/F DRPAUSE"},
    {"MultiLineHexWithBlanksAndComments", "SDR 16 TDI (12\n 3 ! note\n 4)\n;", "SDR 16 1234 IDLE"},
    {"ShortHexIsZeroExtended", "SIR 12 TDI(5);", "SIR 12 005 IDLE"},
    {"ExtraLeadingZerosAreAccepted", "SDR 3 TDI(0007);", "SDR 3 7 IDLE"},
    {"ValueAboveTheLength", "\nSDR 3 TDI(8);", "2: TDI: the value has more bits"},
    {"TdiRememberedTdoNot", "SDR 4 TDI(9) TDO(9);SDR 4;", "SDR 4 9 exp 9/F IDLE | SDR 4 9 IDLE"},
    {"MaskRememberedForTheSameLength", "SDR 4 TDI(0) TDO(1) MASK(3);SDR 4 TDO(2);",
     "SDR 4 0 exp 1/3 IDLE | SDR 4 0 exp 2/3 IDLE"},
    {"ScanWithoutTdoKeepsTheMask", "SDR 4 TDI(0) TDO(1) MASK(3);SDR 4;SDR 4 TDO(2);",
     "SDR 4 0 exp 1/3 IDLE | SDR 4 0 IDLE | SDR 4 0 exp 2/3 IDLE"},
    {"NewLengthResetsTheMask", "SDR 4 TDI(0) MASK(3);SDR 5 TDI(0) TDO(1);",
     "SDR 4 0 IDLE | SDR 5 00 exp 01/1F IDLE"},
    {"NewLengthNeedsTdi", "SDR 4 TDI(0);\nSDR 5 TDO(1);", "2: TDI must be given"},
    {"SirAndSdrRememberApart", "SIR 4 TDI(1);SDR 4 TDI(2);SIR 4;",
     "SIR 4 1 IDLE | SDR 4 2 IDLE | SIR 4 1 IDLE"},
    {"SmaskIsParsedAndTdiSentAsWritten", "SDR 4 TDI(F) SMASK(0);", "SDR 4 F IDLE"},
    {"HeaderFirstTrailerLast", "HDR 2 TDI(1);TDR 3 TDI(5);SDR 4 TDI(A) TDO(6) MASK(7);",
     "SDR 9 169 exp 018/01C IDLE"},
    {"HeaderTdoCheckedWithTheScan", "HIR 2 TDI(3) TDO(1);SIR 3 TDI(7) TDO(1);",
     "SIR 5 1F exp 05/1F IDLE"},
    {"HeaderZeroRemovesIt", "HDR 2 TDI(1);HDR 0;SDR 4 TDI(A);", "SDR 4 A IDLE"},
    {"ZeroLengthScan", "SDR 0;", "SDR 0  IDLE"},
    {"ParametersTwice", "SDR 4 TDI(1) TDI(2);", "1: TDI given twice"},
    {"UnknownParameter", "SDR 4 TDX(1);", "1: unexpected 'TDX'"},
    {"BadHexCharacter", "SDR 4 TDI(1G);", "1: TDI: unexpected 'G'"},
    {"UnclosedParenthesis", "SDR 4 TDI(1;\n", "2: a hex string has no closing ')'"},
    {"MissingSemicolonAtTheEnd", "SDR 4 TDI(1);\nSDR 4", "2: the last statement has no ';'"},
    {"BadLength", "SDR -4 TDI(1);", "1: bad length '-4'"},
    {"IrLongerThanOneRawShift", "SIR 122817 TDI(0);", "1: bad length '122817'"},
    {"IrTooLongWithHeader", "HIR 10 TDI(0);SIR 122816 TDI(0);", "1: the scan has 122826 bits"},
    {"EndStatesMustBeStable", "ENDIR IRSHIFT;", "1: IRSHIFT is not a stable state"},
    {"EndStatesApply", "ENDIR IRPAUSE;ENDDR RESET;SIR 2 TDI(1);SDR 2 TDI(1);",
     "SIR 2 1 IRPAUSE | SDR 2 1 RESET"},
    {"RunTestCountOnly", "RUNTEST 100 TCK;", "RUNTEST IDLE 100 0 IDLE"},
    {"RunTestFullForm", "RUNTEST DRPAUSE 1.5E2 TCK 1E-3 SEC MAXIMUM 2 SEC ENDSTATE IRPAUSE;",
     "RUNTEST DRPAUSE 150 0.001 IRPAUSE"},
    {"RunTestTimeOnlyStickyRunState", "RUNTEST IRPAUSE 5 TCK;RUNTEST 0.5 SEC;",
     "RUNTEST IRPAUSE 5 0 IRPAUSE | RUNTEST IRPAUSE 0 0.5 IRPAUSE"},
    {"RunTestEndDefaultsToTheRunState", "RUNTEST 1 TCK ENDSTATE DRPAUSE;RUNTEST 2 TCK;",
     "RUNTEST IDLE 1 0 DRPAUSE | RUNTEST IDLE 2 0 IDLE"},
    {"RunTestSckRefused", "RUNTEST 10 SCK;", "1: RUNTEST in SCK cycles is not supported"},
    {"RunTestNeedsCountOrTime", "RUNTEST IDLE;", "1: RUNTEST needs a TCK count"},
    {"RunTestUnstableState", "RUNTEST DRSHIFT 4 TCK;", "1: DRSHIFT is not a stable state"},
    {"StateSingle", "STATE DRPAUSE;", "STATE DRPAUSE"},
    {"StateExplicitPath", "STATE RESET IDLE DRSELECT DRCAPTURE DREXIT1 DRPAUSE;",
     "STATE RESET IDLE DRSELECT DRCAPTURE DREXIT1 DRPAUSE"},
    {"StatePathSkipsAState", "STATE IDLE DRPAUSE;", "1: DRPAUSE cannot follow IDLE"},
    {"StatePathStartsFromReset", "STATE DRSELECT DRCAPTURE DREXIT1 DRPAUSE;",
     "1: DRSELECT cannot follow RESET"},
    {"StateMustEndStable", "STATE IDLE DRSELECT;", "1: DRSELECT is not a stable state"},
    {"FrequencyAndTrst", "FREQUENCY 1.00E+06 HZ;FREQUENCY;TRST OFF;TRST Z;TRST ABSENT;TRST ON;",
     "TAPRESET"},
    {"FrequencyWithoutHz", "FREQUENCY 5;", "1: FREQUENCY takes"},
    {"TrstUnknownMode", "TRST MAYBE;", "1: TRST takes ON, OFF, Z or ABSENT"},
    {"PioRefused", "\n\nPIO (HLX);", "3: PIO is not supported"},
    {"PiomapRefused", "PIOMAP (IN A);", "1: PIOMAP is not supported"},
    {"UnknownCommand", "FOO 3;", "1: unknown command 'FOO'"},
    {"StrayParenthesis", "SDR 4 ) ;", "1: ')' without '('"},
    {"EmptyStatementsAndNothingElse", " ; ;\n! only a comment\n", ""},
    {"NulInAHexValue", "SDR 8 TDI(A5);\nSDR 8 TDI(1\0\x30);"sv,
     "2: a control character (byte 0x00)"},
    {"ControlCharacterInAWord", "SIR 4 TDI(1);\n\nEND\x01IR IDLE;",
     "3: a control character (byte 0x01)"},
    {"ControlCharacterInAComment", "! fine\n! not \x1B fine\nSIR 4 TDI(1);",
     "2: a control character"},
    {"ByteOrderMarkSkipped", "\xEF\xBB\xBFSIR 4 TDI(1);", "SIR 4 1 IDLE"},
    {"ByteOrderMarkOnlyAtTheStart", "SIR 4 TDI(1);\xEF\xBB\xBFSIR 4 TDI(1);", "1: unknown command"},
    {"GarbageReportedWhereItStarts", "SIR 4 TDI(1);\nSIR 4 TDI(2);\n\x89\xD3;(\x01\x02",
     "3: unknown command"},
    {"UnknownCommandRefusedWhereItStarts", "SIR 4 TDI(1);\n\x89 (\n;\n;\nno end", "2: unknown command"},
    {"LongValueAcrossPieces", "SDR 40 TDI(00000 12345\n6789A);", "SDR 40 123456789A IDLE"},
    {"OddDigitCountReversed", "SDR 12 TDI(ABC);SDR 20 TDI(0000ABCDE);",
     "SDR 12 ABC IDLE | SDR 20 ABCDE IDLE"},
    {"TopDigitAboveTheLength", "SDR 5 TDI(20);", "1: TDI: the value has more bits"},
};

INSTANTIATE_TEST_SUITE_P(Rows, SvfParserTest, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<Row>& info) { return info.param.name; });

TEST(SvfReportTest, LongScansShowAWindowAroundTheFirstDifferingBit) {
    std::istringstream stream("HDR 3 TDI(0);SDR 2000 TDI(0) TDO(0);");
    csesvf::SvfInput input(stream, csesvf::kMaxSvfBytes);
    csesvf::SvfParser parser(input);
    SvfCommand command;
    csesvf::SvfError error;
    ASSERT_TRUE(parser.next(command, error));
    std::vector<uint8_t> read((2003 + 7) / 8, 0);
    read[(3 + 1500) / 8] |= 1u << ((3 + 1500) % 8);
    const uint32_t bit =
        csesvf::firstMismatchBit(read.data(), command.scan.expected, command.scan.mask, 2003);
    ASSERT_EQ(bit, 1503u);
    const auto mismatch = csesvf::describeMismatch("f.svf", 1, command.scan, read.data(), bit);
    EXPECT_EQ(mismatch.headline,
              "f.svf:1: SDR 2000: TDO mismatch at bit 1500; bits 1535..1280 shown");
    // The statement's bit 1500 is bit 220 of the window: digit 55 from the right, its low bit.
    EXPECT_EQ(mismatch.read, std::string(64, '0').replace(63 - 55, 1, "1"));
    EXPECT_EQ(mismatch.firstBit, 1500u);
    read.assign(read.size(), 0);
    read[0] = 2;
    EXPECT_EQ(csesvf::describeMismatch("f.svf", 1, command.scan, read.data(), 1).headline,
              "f.svf:1: SDR 2000: TDO mismatch at header bit 1 (bit 1 of the 2003 shifted with "
              "header and trailer); bits 255..0 shown");
}

}  // namespace
