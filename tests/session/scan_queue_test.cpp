// SPDX-License-Identifier: Apache-2.0
// ScanQueue against quorbit-sim's demo chain through the built plug-in: the same TDO as the calls
// one by one, what each queue costs in link requests, and a failure in the middle of a queue with
// and without repetitions.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "session/CallRetries.h"
#include "session/ScanQueue.h"
#include "sim/QuorbitSim.h"

namespace {

using CsePluginInterface::CSEJTAG_PAUSE_DR;
using CsePluginInterface::CSEJTAG_RUN_TEST_IDLE;
using csesession::CableSession;
using csesession::CallRetries;
using csesession::ErrorKind;
using csesession::QueueError;
using csesession::Register;
using csesession::ScanQueue;

// A session on a quorbit-sim of the test's own, so that its requests can be counted.
struct Bench {
    explicit Bench(quorbit::FaultPlan faults = {}) {
        quorbit::SimOptions options;
        options.faults = faults;
        simulator = std::make_unique<quorbit::Simulator>(options);
        std::string error;
        EXPECT_TRUE(simulator->start(error)) << error;
        csesession::SessionOptions settings;
        settings.libraryPath = KRV_PLUGIN_PATH;
        settings.useFrontEnd = true;
        settings.node = "127.0.0.1";
        settings.port = simulator->udpPort();
        settings.timeoutSeconds = 1;
        session = std::make_unique<CableSession>(settings);
        opening = simulator->counters().requests;
    }
    uint64_t requests() const { return simulator->counters().requests - opening; }

    std::unique_ptr<quorbit::Simulator> simulator;
    std::unique_ptr<CableSession> session;
    CallRetries calls;
    uint64_t opening = 0;
};

std::vector<uint8_t> bytes(uint64_t value, uint32_t bits) {
    std::vector<uint8_t> out((bits + 7) / 8);
    for (size_t k = 0; k < out.size(); ++k) out[k] = static_cast<uint8_t>(value >> (8 * k));
    return out;
}

// Device 1's user register written and read back, device 0's IDCODE, chain scans and a pause.
void fill(ScanQueue& queue, const CableSession& session) {
    queue.deviceScan(session, Register::kIr, 1, {0x22}, 8);
    queue.deviceScan(session, Register::kDr, 1, bytes(0xC0FFEE, 24), 24);
    queue.deviceScan(session, Register::kDr, 1, bytes(0x123456, 24), 24);
    queue.navigate(CSEJTAG_PAUSE_DR, 5);
    queue.deviceScan(session, Register::kDr, 1, bytes(0, 24), 24);
    queue.deviceScan(session, Register::kIr, 0, {0x09}, 6);
    queue.deviceScan(session, Register::kDr, 0, bytes(0, 32), 32);
    queue.chainScan(Register::kIr, bytes(0x3FFFF, 18), 18);
    queue.chainScan(Register::kDr, bytes(0x5A, 8), 8, CSEJTAG_PAUSE_DR);
}

TEST(ScanQueue, GivesWhatTheCallsOneByOneGiveInOneRequest) {
    std::vector<std::vector<uint8_t>> expected;
    {
        Bench single;  // one session per process: closed before the queue's
        CableSession& s = *single.session;
        expected.push_back(s.deviceScan(Register::kIr, 1, {0x22}, 8));
        expected.push_back(s.deviceScan(Register::kDr, 1, bytes(0xC0FFEE, 24), 24));
        expected.push_back(s.deviceScan(Register::kDr, 1, bytes(0x123456, 24), 24));
        EXPECT_EQ(s.navigate(CSEJTAG_PAUSE_DR, 5), CSEJTAG_PAUSE_DR);
        expected.push_back({});
        expected.push_back(s.deviceScan(Register::kDr, 1, bytes(0, 24), 24));
        expected.push_back(s.deviceScan(Register::kIr, 0, {0x09}, 6));
        expected.push_back(s.deviceScan(Register::kDr, 0, bytes(0, 32), 32));
        for (const auto& [reg, value, bits, end] :
             {std::tuple{Register::kIr, 0x3FFFFull, 18u, CSEJTAG_RUN_TEST_IDLE},
              std::tuple{Register::kDr, 0x5Aull, 8u, CSEJTAG_PAUSE_DR}}) {
            std::vector<uint8_t> tdo((bits + 7) / 8);
            s.chainScan(reg, bytes(value, bits).data(), tdo.data(), bits, end);
            expected.push_back(tdo);
        }
        EXPECT_EQ(expected[6], bytes(0x151C0EFF, 32));
    }

    Bench queued;
    ScanQueue queue;
    fill(queue, *queued.session);
    queue.run(*queued.session, queued.calls, 0);
    EXPECT_EQ(queued.requests(), 1u);
    for (size_t item = 0; item < queue.size(); ++item) {
        EXPECT_TRUE(queue.done(item));
        EXPECT_EQ(queue.tdo(item), expected[item]) << "item " << item;
    }
    EXPECT_EQ(queue.reached(3), CSEJTAG_PAUSE_DR);
    EXPECT_EQ(queued.session->tapState(), CSEJTAG_PAUSE_DR);
    EXPECT_TRUE(queued.session->instructionsLoaded());
    // The instructions the queue loaded last (BYPASS everywhere) hold for the calls after it:
    // three BYPASS bits delay TDI, the two pad zeros first.
    EXPECT_EQ(queued.session->deviceScan(Register::kDr, 0, bytes(0xFFFFFFFF, 32), 32),
              bytes(0xFFFFFFF8, 32));
}

struct CostRow {
    const char* name;
    std::vector<uint32_t> chainDrBits;  // chain DR scans from Run-Test/Idle back to it
    bool waitAfterFirst;
    uint64_t requests;
    uint64_t sends;  // raw shifts and calls of their own
};

class ScanQueueCost : public testing::TestWithParam<CostRow> {};

TEST_P(ScanQueueCost, SendsAsFewRawShiftsAsTheLengthsAllow) {
    const CostRow& row = GetParam();
    Bench bench;
    ScanQueue queue;
    for (size_t k = 0; k < row.chainDrBits.size(); ++k) {
        queue.chainScan(Register::kDr, std::vector<uint8_t>((row.chainDrBits[k] + 7) / 8, 0xA5),
                        row.chainDrBits[k]);
        if (k == 0 && row.waitAfterFirst) queue.navigate(CSEJTAG_RUN_TEST_IDLE, 0, 10);
    }
    queue.run(*bench.session, bench.calls, 0);
    EXPECT_EQ(bench.requests(), row.requests);
    EXPECT_EQ(queue.sends(), row.sends);
}

// From Run-Test/Idle a DR scan walks 3 clocks in and 2 out: 61,403 bits fill one raw shift.
INSTANTIATE_TEST_SUITE_P(
    Rows, ScanQueueCost,
    testing::Values(CostRow{"FillsOneRawShift", {61403}, false, 1, 1},
                    CostRow{"OneBitOverGoesAsItsOwnCall", {61404}, false, 3, 1},
                    CostRow{"TwoFillOneRawShift", {30700, 30698}, false, 1, 1},
                    CostRow{"TwoOneBitOver", {30700, 30699}, false, 2, 2},
                    CostRow{"AWaitEndsTheRawShift", {8, 8}, true, 3, 3}),
    [](const testing::TestParamInfo<CostRow>& info) { return info.param.name; });

// The front end forgets the link before the queue's second raw shift (after the wait).
TEST(ScanQueue, FailureNamesTheFirstItemThatFailedAndRepetitionsGoOn) {
    const auto build = [](ScanQueue& queue, const CableSession& session) {
        queue.deviceScan(session, Register::kIr, 1, {0x22}, 8);
        queue.deviceScan(session, Register::kDr, 1, bytes(0xC0FFEE, 24), 24);
        queue.navigate(CSEJTAG_RUN_TEST_IDLE, 0, 10);
        queue.deviceScan(session, Register::kDr, 1, bytes(0x123456, 24), 24);
        queue.deviceScan(session, Register::kDr, 1, bytes(0, 24), 24);
    };
    uint64_t beforeSecond = 0;
    {
        Bench counting;
        ScanQueue queue;
        build(queue, *counting.session);
        queue.run(*counting.session, counting.calls, 0);
        beforeSecond = counting.opening + counting.requests() - 1;
    }
    quorbit::FaultPlan faults;
    faults.restartAfter = static_cast<unsigned>(beforeSecond);
    for (const uint32_t retries : {0u, 1u}) {
        Bench bench(faults);
        std::vector<std::string> repeated;
        bench.calls.setReport(
            [&](const csesession::CallRepetition& r) { repeated.push_back(r.headline); });
        ScanQueue queue;
        build(queue, *bench.session);
        if (retries == 0) {
            try {
                queue.run(*bench.session, bench.calls, retries);
                ADD_FAILURE() << "the queue did not fail";
            } catch (const QueueError& error) {
                EXPECT_EQ(error.item(), 3u);
                EXPECT_EQ(error.kind(), ErrorKind::kFailed);
                EXPECT_EQ(error.headline().rfind("queue item 3 (drscan of device 1 (24 bits)): "
                                                 "the raw shift of ",
                                                 0),
                          0u)
                    << error.what();
            }
            EXPECT_TRUE(queue.done(2));
            EXPECT_EQ(queue.tdo(1), bytes(0, 24));
            EXPECT_FALSE(queue.done(3));
            EXPECT_FALSE(queue.done(4));
            EXPECT_TRUE(bench.session->instructionsUnknown());
            // The next queue is refused before anything is sent until an IR scan comes first.
            ScanQueue next;
            next.deviceScan(*bench.session, Register::kDr, 1, bytes(0, 24), 24);
            const uint64_t sent = bench.requests();
            EXPECT_THROW(next.run(*bench.session, bench.calls, 0), QueueError);
            EXPECT_EQ(bench.requests(), sent);
            continue;
        }
        queue.run(*bench.session, bench.calls, retries);
        ASSERT_EQ(repeated.size(), 1u);
        EXPECT_NE(repeated[0].find("played again (1 of 1) after loading irscan of device 1 (8 "
                                   "bits) again"),
                  std::string::npos)
            << repeated[0];
        EXPECT_EQ(queue.tdo(3), bytes(0xC0FFEE, 24));
        EXPECT_EQ(queue.tdo(4), bytes(0x123456, 24));
    }
}

TEST(ScanQueue, RefusesADrScanBeforeAnyIrScanAndTheCallersMistakesAtOnce) {
    Bench bench;
    ScanQueue queue;
    queue.deviceScan(*bench.session, Register::kDr, 1, bytes(0, 24), 24);
    try {
        queue.run(*bench.session, bench.calls, 0);
        ADD_FAILURE() << "not refused";
    } catch (const QueueError& error) {
        EXPECT_EQ(error.kind(), ErrorKind::kUsage);
        EXPECT_EQ(error.item(), 0u);
    }
    EXPECT_EQ(bench.requests(), 0u);
    ScanQueue other;
    EXPECT_THROW(other.deviceScan(*bench.session, Register::kIr, 1, {0x22}, 7),
                 csesession::SessionError);
    EXPECT_THROW(other.deviceScan(*bench.session, Register::kDr, 3, {0}, 1),
                 csesession::SessionError);
    EXPECT_EQ(other.size(), 0u);
}

}  // namespace
