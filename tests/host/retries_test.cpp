// SPDX-License-Identifier: Apache-2.0
// cse-host svf and run (with and without a queue block) with --retries against a front end that
// forgets the link in the middle of the file (quorbit-sim's restart-after fault): without
// repetitions the job stops there; with one, the instruction of the file is loaded again, the
// statement (or queue) repeated, and everything after it reads what it should.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "sim/QuorbitSim.h"
#include "support/ProcessRunner.h"

namespace {

using hosttest::ProcessResult;

class ScriptFile {
  public:
    ScriptFile(const std::string& suffix, const std::string& content) {
        std::string pattern = "/tmp/cse_host_retries_XXXXXX" + suffix;
        const int fd = mkstemps(pattern.data(), static_cast<int>(suffix.size()));
        if (fd >= 0) close(fd);
        path_ = pattern;
        std::ofstream(path_) << content;
    }
    ~ScriptFile() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

struct RetryRow {
    const char* name;
    std::vector<std::string> options;
    const char* command;  // svf or run
    const char* suffix;
    std::string prefix;    // played whole before the front end forgets the link
    std::string rest;      // its first request is the one that fails
    const char* stopped;   // what the run without repetitions says
    const char* repeated;  // the report of the repetition (after the file's path)
    const char* out;       // stdout with the repetition
};

void PrintTo(const RetryRow& row, std::ostream* out) {
    *out << row.name;
}

// Device 1's 24-bit user register through headers and trailers; the SIR is line 5.
const std::string kSvfRegister =
    "HIR 4 TDI(F);\nTIR 6 TDI(3F);\nHDR 1 TDI(0);\nTDR 1 TDI(0);\nSIR 8 TDI(22);\n"
    "SDR 24 TDI(C0FFEE);\nSDR 24 TDI(123456) TDO(C0FFEE);\n";

const RetryRow kRows[] = {
    {"SvfSplit",
     {},
     "svf",
     ".svf",
     kSvfRegister,
     "SDR 24 TDI(0) TDO(123456);\nSDR 24 TDI(0) TDO(000000);\n",
     ":8: SDR 24: the DR shift failed",
     ":8: SDR 24: the DR shift failed; played again (1 of 1) after loading the SIR of line 5 again",
     ": 5 scans, 3 TDO checks, 0 mismatches\n"},
    {"SvfMergedCheckEach",
     {"--shifts", "merged", "--check-each"},
     "svf",
     ".svf",
     kSvfRegister,
     "SDR 24 TDI(0) TDO(123456);\nSDR 24 TDI(0) TDO(000000);\n",
     ":8: the raw shift of its clocks failed",
     ":8: the raw shift of its clocks failed; played again (1 of 1) after loading the SIR of "
     "line 5 again",
     ": 5 scans, 3 TDO checks, 0 mismatches\n"},
    {"Run",
     {},
     "run",
     ".run",
     "irscan 1 8 0x22\ndrscan 1 24 0xC0FFEE\n",
     "drscan 1 24 0x123456\nstate PAUSE_DR\ndrscan 1 24 0\n",
     ":3: 'drscan 1 24 0x123456' failed",
     ":3) failed (the DR shift of device 1 failed); played again (1 of 1) after loading "
     "'irscan 1 8 0x22' (",
     "0x01\n0x000000\n0xC0FFEE\nPAUSE_DR\n0x123456\n"},
    // The same commands queued: one raw shift, played again from its start.
    {"RunQueue",
     {},
     "run",
     ".run",
     "irscan 1 8 0x22\ndrscan 1 24 0xC0FFEE\n",
     "queue\ndrscan 1 24 0x123456\nstate PAUSE_DR\ndrscan 1 24 0\nrun-queue\n",
     ":7: queue item 0 ('drscan 1 24 0x123456' (",
     ":4) failed (the raw shift of 65 clocks failed); played again (1 of 1) after loading "
     "'irscan 1 8 0x22' (",
     "0x01\n0x000000\n0xC0FFEE\nPAUSE_DR\n0x123456\n"},
};

class Retries : public testing::TestWithParam<RetryRow> {
  protected:
    ProcessResult run(const RetryRow& row, const std::string& text, unsigned restartAfter,
                      std::vector<std::string> extra, std::string& path, uint64_t* requests) {
        quorbit::SimOptions options;
        options.faults.restartAfter = restartAfter;
        quorbit::Simulator simulator(options);
        std::string error;
        EXPECT_TRUE(simulator.start(error)) << error;
        const ScriptFile file(row.suffix, text);
        path = file.path();
        std::vector<std::string> args = {
            "--node", "127.0.0.1", "--port", std::to_string(simulator.udpPort()), "--timeout", "1"};
        args.insert(args.end(), row.options.begin(), row.options.end());
        args.insert(args.end(), extra.begin(), extra.end());
        args.insert(args.end(), {row.command, file.path()});
        const ProcessResult result = hosttest::runProcess(CSE_HOST_PATH, args);
        if (requests != nullptr) *requests = simulator.counters().requests;
        return result;
    }
};

TEST_P(Retries, RepeatTheFailedStatementAfterLoadingTheInstructionAgain) {
    const RetryRow& row = GetParam();
    std::string path;
    uint64_t requests = 0;
    const ProcessResult counting = run(row, row.prefix, 0, {}, path, &requests);
    ASSERT_EQ(counting.exitCode, 0) << counting.err;
    // The front end forgets the link after the prefix's last request (not the close's release).
    const auto restartAfter = static_cast<unsigned>(requests - 1);

    const ProcessResult stopped = run(row, row.prefix + row.rest, restartAfter, {}, path, nullptr);
    EXPECT_EQ(stopped.exitCode, 1);
    EXPECT_NE(stopped.err.find(path + row.stopped), std::string::npos) << stopped.err;
    EXPECT_EQ(stopped.err.find("played again"), std::string::npos) << stopped.err;

    const ProcessResult repeated =
        run(row, row.prefix + row.rest, restartAfter, {"--retries", "1"}, path, nullptr);
    EXPECT_EQ(repeated.exitCode, 0) << repeated.err;
    EXPECT_NE(repeated.err.find(path + row.repeated), std::string::npos) << repeated.err;
    const std::string out = std::string(row.command) == "svf" ? path + row.out : row.out;
    EXPECT_EQ(repeated.out, out) << repeated.err;
}

INSTANTIATE_TEST_SUITE_P(Commands, Retries, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<RetryRow>& info) {
                             return info.param.name;
                         });

TEST(RetriesOption, BelongsToSvfAndRunAndTakesACount) {
    const ProcessResult scan = hosttest::runProcess(CSE_HOST_PATH, {"--retries", "2", "scan"});
    EXPECT_EQ(scan.exitCode, 2);
    EXPECT_NE(scan.err.find("--retries is for the svf and run commands"), std::string::npos);
    const ProcessResult many =
        hosttest::runProcess(CSE_HOST_PATH, {"--retries", "101", "run", "-"});
    EXPECT_EQ(many.exitCode, 2);
    EXPECT_NE(many.err.find("--retries"), std::string::npos) << many.err;
    const ProcessResult each = hosttest::runProcess(CSE_HOST_PATH, {"--check-each", "scan"});
    EXPECT_EQ(each.exitCode, 2);
    EXPECT_NE(each.err.find("--check-each is for the svf command"), std::string::npos);
}

}  // namespace
