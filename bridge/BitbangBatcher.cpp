// SPDX-License-Identifier: Apache-2.0
#include "bridge/BitbangBatcher.h"

#include <algorithm>
#include <cstdio>

#include "bridge/TapWalk.h"

namespace csebridge {
namespace {

using namespace CsePluginInterface;

// The most bits one raw shift of the cable carries; longer runs go in pieces that stay in Shift.
constexpr uint32_t kMaxScanBits = 122816;

// End states a chain scan may take over from the clocks that follow its last bit.
bool isFoldableEnd(TapState state) {
    return state == CSEJTAG_RUN_TEST_IDLE || state == CSEJTAG_PAUSE_DR ||
           state == CSEJTAG_PAUSE_IR || state == CSEJTAG_UPDATE_DR || state == CSEJTAG_UPDATE_IR;
}

// States where TMS 0 keeps the TAP, so that further clocks are the navigation's extra clocks.
bool isRestingState(TapState state) {
    return state == CSEJTAG_RUN_TEST_IDLE || state == CSEJTAG_PAUSE_DR || state == CSEJTAG_PAUSE_IR;
}

}  // namespace

BitbangBatcher::BitbangBatcher(JtagCable& cable, NoteSink note)
    : cable_(cable), note_(std::move(note)), state_(cable.tapState()), cableState_(state_) {}

BitbangBatcher::FeedResult BitbangBatcher::feed(const char* data, std::size_t length,
                                                std::string& answers) {
    FeedResult result;
    for (std::size_t i = 0; i < length && result.open; ++i) {
        const char c = data[i];
        if (c >= '0' && c <= '7') {
            const bool tck = ((c - '0') & 4) != 0;
            if (tck && !tck_ && !trst_) {
                const bool tms = ((c - '0') & 2) != 0;
                pending_.push_back({tms, ((c - '0') & 1) != 0, state_});
                state_ = nextTapState(state_, tms);
                ++counts_.clocks;
            }
            tck_ = tck;
            continue;
        }
        switch (c) {
            case 'R': {
                // TCK high: the bit the last rising edge sampled; TCK low: the one the next
                // samples.
                const uint64_t next = executed_ + pending_.size();
                if (tck_)
                    reads_.push_back(next == 0 ? kIdleTdo : next - 1);
                else
                    reads_.push_back(trst_ ? kIdleTdo : next);
                break;
            }
            case 'B':
            case 'b':
                break;
            case 'r':
            case 's':
            case 't':
            case 'u': {
                const bool trst = c == 't' || c == 'u';
                if ((c == 's' || c == 'u') && !srstReported_) {
                    srstReported_ = true;
                    if (note_)
                        note_("remote_bitbang: SRST is not available on this cable; ignored");
                }
                if (trst && !trst_) {
                    // The cable has no TRST line: the TAPs are reset by TMS instead.
                    execute(answers);
                    cable_.resetTap();
                    ++counts_.resets;
                    state_ = cableState_ = CSEJTAG_TEST_LOGIC_RESET;
                }
                trst_ = trst;
                break;
            }
            case 'Q':
                result.open = false;
                break;
            default: {
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
    execute(answers);
    return result;
}

void BitbangBatcher::execute(std::string& answers) {
    pendingTdo_.assign(pending_.size(), 1);
    for (std::size_t i = 0; i < pending_.size();) {
        i = isShiftState(pending_[i].before) ? scanRun(i) : navigateFrom(i);
    }
    answerReads(answers);
    if (!pending_.empty()) previousTdo_ = pendingTdo_.back() != 0;
    executed_ += pending_.size();
    pending_.clear();
}

std::size_t BitbangBatcher::scanRun(std::size_t first) {
    const TapState shift = pending_[first].before;
    std::size_t end = first;
    while (end < pending_.size() && pending_[end].before == shift && end - first < kMaxScanBits) {
        ++end;
    }
    const auto bits = static_cast<uint32_t>(end - first);
    const bool left = pending_[end - 1].tms;
    TapState endState = left ? nextTapState(shift, true) : shift;
    std::size_t next = end;
    if (left && next < pending_.size()) {
        TapState goal = endState;
        const std::size_t taken = walkMatch(next, goal);
        if (isFoldableEnd(goal)) {
            endState = goal;
            next += taken;
        }
    }
    // With TCK left high, a read in the next batch may still ask for the last clock's bit.
    const bool wantTdo = !reads_.empty() || (tck_ && end == pending_.size());
    tdiBytes_.assign((bits + 7) / 8, 0);
    for (uint32_t b = 0; b < bits; ++b) {
        if (pending_[first + b].tdi) tdiBytes_[b / 8] |= static_cast<uint8_t>(1u << (b % 8));
    }
    tdoBytes_.assign(wantTdo ? tdiBytes_.size() : 0, 0);
    cable_.chainScan(shift == CSEJTAG_SHIFT_IR, tdiBytes_.data(),
                     wantTdo ? tdoBytes_.data() : nullptr, bits, endState);
    ++counts_.scans;
    cableState_ = endState;
    if (wantTdo) {
        for (uint32_t b = 0; b < bits; ++b)
            pendingTdo_[first + b] = (tdoBytes_[b / 8] >> (b % 8)) & 1;
    }
    return next;
}

std::size_t BitbangBatcher::navigateFrom(std::size_t first) {
    const Clock& clock = pending_[first];
    // TMS 1 in Test-Logic-Reset keeps every TAP there: nothing for the cable to do.
    if (clock.before == CSEJTAG_TEST_LOGIC_RESET && clock.tms) return first + 1;
    TapState goal = clock.before;
    std::size_t next = first + walkMatch(first, goal);
    uint32_t extra = 0;
    if (isRestingState(goal)) {
        while (next < pending_.size() && pending_[next].before == goal && !pending_[next].tms) {
            ++extra;
            ++next;
        }
    }
    // Into a Shift state with its bits following: the scan walks there itself.
    if (isShiftState(goal) && next < pending_.size()) return next;
    cable_.navigate(goal, extra);
    ++counts_.navigations;
    cableState_ = goal;
    return next;
}

std::size_t BitbangBatcher::walkMatch(std::size_t first, TapState& goal) const {
    const TapState from = pending_[first].before;
    std::size_t best = 0;
    uint8_t tmsBits = 0;
    TapState state = from;
    for (std::size_t length = 1; length <= 8 && first + length <= pending_.size(); ++length) {
        const Clock& clock = pending_[first + length - 1];
        if (clock.tms) tmsBits = static_cast<uint8_t>(tmsBits | (1u << (length - 1)));
        state = nextTapState(state, clock.tms);
        const TmsWalk walk = walkTms(from, state);
        const uint8_t mask = static_cast<uint8_t>((1u << length) - 1);
        if (walk.length == length && (walk.bits & mask) == tmsBits) {
            best = length;
            goal = state;
        }
        if (isShiftState(state)) break;
    }
    return best;
}

void BitbangBatcher::answerReads(std::string& answers) {
    const uint64_t batchStart = executed_;
    const uint64_t batchEnd = executed_ + pending_.size();
    while (!reads_.empty()) {
        const uint64_t clock = reads_.front();
        bool tdo = true;
        if (clock != kIdleTdo) {
            if (clock >= batchEnd) break;  // its clock has not come yet
            tdo = clock < batchStart ? previousTdo_ : pendingTdo_[clock - batchStart] != 0;
        }
        answers.push_back(tdo ? '1' : '0');
        reads_.pop_front();
    }
}

}  // namespace csebridge
