// SPDX-License-Identifier: Apache-2.0
// The remote_bitbang commands of one client turned into few cable calls. The TAP state is followed
// from the TMS of each rising TCK edge; everything a read of the socket brought is carried out at
// once: a run of clocks in Shift-DR/Shift-IR becomes one chain scan with its end state, the other
// clocks become navigations along the cable's own walk (with extra clocks where the TAP rests),
// and each 'R' is answered with the TDO bit of its clock once that clock has been carried out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "bridge/JtagCable.h"

namespace csebridge {

// What the client did that the cable cannot do, for the operator (one line, no newline).
using NoteSink = std::function<void(const std::string& line)>;

struct BatchCounts {
    uint64_t clocks = 0;       // rising TCK edges received
    uint64_t scans = 0;        // chainScan calls
    uint64_t navigations = 0;  // navigate calls
    uint64_t resets = 0;       // resetTap calls (TRST)
};

class BitbangBatcher {
  public:
    BitbangBatcher(JtagCable& cable, NoteSink note);

    struct FeedResult {
        bool open = true;     // false after 'Q' or a refused byte
        std::string refusal;  // why the connection is to be closed; empty after 'Q'
    };
    // Takes all of `data`, carries it out and appends the answers of the reads it can answer.
    FeedResult feed(const char* data, std::size_t length, std::string& answers);

    [[nodiscard]] const BatchCounts& counts() const { return counts_; }

  private:
    struct Clock {
        bool tms;
        bool tdi;
        TapState before;
    };
    static constexpr uint64_t kIdleTdo = ~uint64_t{0};  // a read that no shift clock answers

    void execute(std::string& answers);
    std::size_t scanRun(std::size_t first);
    std::size_t navigateFrom(std::size_t first);
    // The longest prefix of the clocks from `first` on that the cable's walk takes as they are.
    std::size_t walkMatch(std::size_t first, TapState& goal) const;
    void answerReads(std::string& answers);

    JtagCable& cable_;
    NoteSink note_;
    BatchCounts counts_;
    TapState state_;       // after every clock received
    TapState cableState_;  // after every clock carried out
    std::vector<Clock> pending_;
    std::vector<uint8_t> pendingTdo_;
    uint64_t executed_ = 0;  // clocks carried out before pending_[0]
    bool previousTdo_ = true;
    std::deque<uint64_t> reads_;  // the clock whose TDO each unanswered 'R' asks for
    bool tck_ = false;
    bool trst_ = false;
    bool srstReported_ = false;
    std::vector<uint8_t> tdiBytes_;
    std::vector<uint8_t> tdoBytes_;
};

}  // namespace csebridge
