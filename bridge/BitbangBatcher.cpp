// SPDX-License-Identifier: Apache-2.0
#include "bridge/BitbangBatcher.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>

#include "koraven-cse-plugin/CseTapWalk.h"

namespace csebridge {
namespace {

using namespace CsePluginInterface;

// Reads left waiting for a clock that never comes would grow without bound; past this many the
// window goes as if the client waited.
constexpr std::size_t kMaxUnansweredReads = std::size_t{1} << 20;

constexpr std::size_t kWindowBytes = (BitbangBatcher::kMaxWindowClocks + 7) / 8;

void setBit(std::vector<uint8_t>& bytes, uint64_t bit) {
    bytes[bit / 8] = static_cast<uint8_t>(bytes[bit / 8] | (1u << (bit % 8)));
}

}  // namespace

BitbangBatcher::BitbangBatcher(JtagCable& cable, NoteSink note)
    : cable_(cable),
      note_(std::move(note)),
      state_(cable.tapState()),
      tms_(kWindowBytes, 0),
      tdi_(kWindowBytes, 0),
      tdo_(kWindowBytes, 0) {}

BitbangBatcher::FeedResult BitbangBatcher::feed(const char* data, std::size_t length,
                                                std::string& answers) {
    FeedResult result;
    std::size_t i = 0;
    while (i < length && result.open) {
        try {
            for (; i < length && result.open; ++i) step(data[i], answers, result);
        } catch (const std::exception& failure) {
            // The reads after the failing clock still get their errors.
            ++i;
            result.failure = failure.what();
            fail(answers);
        }
    }
    return result;
}

void BitbangBatcher::step(char c, std::string& answers, FeedResult& result) {
    // 'b' ends a queue; the next queue's 'B' comes on its own (OpenOCD sends each at once).
    if (c != 'B') queueEnded_ = c == 'b';
    if (failed_) {
        if (c == 'R') answers.push_back(kFailedRead);
        result.open = c != 'Q';
        return;
    }
    if (c >= '0' && c <= '7') {
        const int lines = c - '0';
        const bool tck = (lines & 4) != 0;
        tmsLine_ = (lines & 2) != 0;
        tdiLine_ = (lines & 1) != 0;
        if (tck && !tck_ && !trst_ && !clockEdge(tmsLine_, tdiLine_, answers, result.refusal)) {
            result.open = false;
            return;
        }
        tck_ = tck;
        return;
    }
    switch (c) {
        case 'R':
            read();
            if (reads_.size() >= kMaxUnansweredReads) shiftWindow(true, answers);
            break;
        case 'B':
        case 'b':
            break;
        case 'Z':
        case 'z':
            // Sleep 1 ms / 1 us: nothing to do on a cable whose link has its own pacing.
            break;
        case 'r':
        case 's':
        case 't':
        case 'u': {
            const bool trst = c == 't' || c == 'u';
            if ((c == 's' || c == 'u') && !srstReported_) {
                srstReported_ = true;
                if (note_) note_("remote_bitbang: SRST is not available on this cable; ignored");
            }
            if (trst && !trst_) this->trst(answers);
            trst_ = trst;
            break;
        }
        case 'Q':
            shiftWindow(true, answers);
            result.open = false;
            break;
        default: {
            shiftWindow(true, answers);
            char text[96];
            std::snprintf(text, sizeof text,
                          "remote_bitbang: byte 0x%02X is not a command; connection closed",
                          static_cast<unsigned>(static_cast<unsigned char>(c)));
            result.open = false;
            result.refusal = text;
            break;
        }
    }
}

void BitbangBatcher::carryOut(std::string& answers) {
    if (!failed_) shiftWindow(true, answers);
}

void BitbangBatcher::fail(std::string& answers) {
    answers.append(reads_.size(), kFailedRead);
    reads_.clear();
    std::fill(tms_.begin(), tms_.end(), 0);
    std::fill(tdi_.begin(), tdi_.end(), 0);
    windowStart_ += windowClocks_;
    windowClocks_ = 0;
    ahead_ = false;
    failed_ = true;
}

bool BitbangBatcher::clockEdge(bool tms, bool tdi, std::string& answers, std::string& refusal) {
    if (ahead_) {
        // This edge was carried out already, for the read made before it.
        ahead_ = false;
        if (tms != aheadTms_ || tdi != aheadTdi_) {
            refusal =
                "remote_bitbang: the clock after a read with TCK low came with other TMS/TDI "
                "lines than the bridge clocked to answer it; connection closed";
            return false;
        }
        lastEdge_ = aheadClock_;
        lastEdgeTdo_ = aheadTdo_;
        ++counts_.clocks;
        return true;
    }
    append(tms, tdi, answers);
    lastEdge_ = windowEnd() - 1;
    ++counts_.clocks;
    return true;
}

void BitbangBatcher::read() {
    Read one;
    if (tck_) {
        // TDO changes on the falling edge: while TCK is high it shows what the last edge sampled.
        if (lastEdge_ != kKnown && lastEdge_ >= windowStart_)
            one.clock = lastEdge_;
        else
            one.level = lastEdgeTdo_;
    } else if (trst_) {
        one.level = true;  // every TAP in Test-Logic-Reset: TDO is not driven
    } else if (ahead_) {
        one.level = aheadTdo_;
    } else {
        one.clock = windowEnd();  // what the next rising edge samples
    }
    reads_.push_back(one);
}

void BitbangBatcher::trst(std::string& answers) {
    if (!trstWarned_ && state_ != CSEJTAG_RUN_TEST_IDLE && state_ != CSEJTAG_TEST_LOGIC_RESET) {
        trstWarned_ = true;
        if (note_) {
            note_(
                "remote_bitbang: TRST outside Run-Test/Idle and Test-Logic-Reset: the cable resets "
                "by TMS, which passes Update-DR or Update-IR from a scan in progress and writes "
                "that register");
        }
    }
    // A read with TCK low asked for the TDO the TAP shows before the reset.
    if (!ahead_ && readWaitsForNextClock()) append(tmsLine_, tdiLine_, answers);
    ahead_ = false;
    for (uint32_t i = 0; i < kResetClocks; ++i) append(true, false, answers);
    ++counts_.resets;
}

void BitbangBatcher::append(bool tms, bool tdi, std::string& answers) {
    if (windowClocks_ == kMaxWindowClocks) shiftWindow(false, answers);
    if (tms) setBit(tms_, windowClocks_);
    if (tdi) setBit(tdi_, windowClocks_);
    ++windowClocks_;
    state_ = cseNextTapState(state_, tms);
}

bool BitbangBatcher::readWaitsForNextClock() const {
    const uint64_t next = windowEnd();
    return std::any_of(reads_.rbegin(), reads_.rend(),
                       [next](const Read& one) { return one.clock == next; });
}

bool BitbangBatcher::tdoAt(uint64_t clock) const {
    const uint64_t bit = clock - windowStart_;
    return ((tdo_[bit / 8] >> (bit % 8)) & 1u) != 0;
}

void BitbangBatcher::shiftWindow(bool anticipate, std::string& answers) {
    if (anticipate && !trst_ && !ahead_ && readWaitsForNextClock()) {
        append(tmsLine_, tdiLine_, answers);
        ahead_ = true;
        aheadTms_ = tmsLine_;
        aheadTdi_ = tdiLine_;
        aheadClock_ = windowEnd() - 1;
    }
    const uint64_t end = windowEnd();
    const auto inWindow = [&](uint64_t clock) { return clock >= windowStart_ && clock < end; };
    if (windowClocks_ > 0) {
        // TDO only when something may still ask for it: a read, or a read of the last edge.
        const bool lastEdgeWanted = (tck_ || trst_) && lastEdge_ != kKnown && inWindow(lastEdge_);
        const bool wantTdo = !reads_.empty() || lastEdgeWanted || (ahead_ && inWindow(aheadClock_));
        cable_.shift(tms_.data(), tdi_.data(), wantTdo ? tdo_.data() : nullptr, windowClocks_);
        ++counts_.shifts;
        if (wantTdo && lastEdge_ != kKnown && inWindow(lastEdge_)) lastEdgeTdo_ = tdoAt(lastEdge_);
        if (wantTdo && ahead_ && inWindow(aheadClock_)) aheadTdo_ = tdoAt(aheadClock_);
    }
    while (!reads_.empty()) {
        const Read& one = reads_.front();
        if (one.clock != kKnown && one.clock >= end) break;  // its clock has not come yet
        answers.push_back((one.clock == kKnown ? one.level : tdoAt(one.clock)) ? '1' : '0');
        ++counts_.reads;
        reads_.pop_front();
    }
    const std::size_t used = (windowClocks_ + 7) / 8;
    std::memset(tms_.data(), 0, used);
    std::memset(tdi_.data(), 0, used);
    windowStart_ = end;
    windowClocks_ = 0;
}

}  // namespace csebridge
