// SPDX-License-Identifier: Apache-2.0
// The remote_bitbang commands of one client gathered into windows: the TMS and TDI of each rising
// TCK edge are queued as they are, and a window goes to the cable as one shift when the server
// sees the client wait (carryOut) or when it holds the cable's largest block. Each 'R' is then
// answered with the TDO of its clock: with TCK high the last rising edge, with TCK low the next.
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
    uint64_t clocks = 0;  // rising TCK edges received
    uint64_t shifts = 0;  // cable shifts (one raw-shift command each)
    uint64_t reads = 0;   // 'R' answered with a TDO level
    uint64_t resets = 0;  // TRST carried out as a TMS reset
};

// The answer to a read that the cable cannot give: not a TDO level, so that the client ends its
// command with an error (OpenOCD 0.12 aborts when the connection closes with reads unanswered).
constexpr char kFailedRead = 'E';

class BitbangBatcher {
  public:
    // The largest block of the plug-in's raw-shift command: one link request.
    static constexpr uint32_t kMaxWindowClocks = 61408;
    // TMS-1 clocks that take every TAP to Test-Logic-Reset from any state.
    static constexpr uint32_t kResetClocks = 5;

    BitbangBatcher(JtagCable& cable, NoteSink note);

    struct FeedResult {
        bool open = true;     // false after 'Q' or a refused byte
        std::string refusal;  // why the connection is to be closed; empty after 'Q'
        std::string failure;  // why the cable failed (then as after fail())
    };
    // Takes all of `data`. Clocks wait for carryOut, except that a full window is carried out
    // at once, and what came before a 'Q' or a refused byte too. Answers are appended; when the
    // cable fails, the rest of `data` is taken as after fail().
    FeedResult feed(const char* data, std::size_t length, std::string& answers);
    // The client waits: carries out the queued clocks and answers the reads. A read made with TCK
    // low whose clock has not come is answered too: that clock goes now, with the lines as they
    // stand, and the client's rising edge is taken as done when it comes with the same lines.
    void carryOut(std::string& answers);
    // The cable failed: a kFailedRead for every unanswered read; from now on clocks are dropped
    // and every read gets kFailedRead at once.
    void fail(std::string& answers);

    [[nodiscard]] bool idle() const { return windowClocks_ == 0 && reads_.empty(); }
    // A read waits for its answer: a client that waits sends nothing more until it has it.
    [[nodiscard]] bool readsWaiting() const { return !reads_.empty(); }
    // Clocks wait that no read waits for, and the last byte was 'b' (or 'b' and 'B'): OpenOCD
    // switches its LED off at the end of each command queue and on at the start of the next (a
    // sleep inside a queue comes before the 'b'), so these clocks are the tail of a finished
    // queue, typically the Update-DR of the last scan and its idle clocks, which the server may
    // send with the next queue's clocks.
    [[nodiscard]] bool queueTailOnly() const {
        return windowClocks_ > 0 && queueEnded_ && reads_.empty() && !ahead_;
    }
    [[nodiscard]] bool failed() const { return failed_; }
    [[nodiscard]] const BatchCounts& counts() const { return counts_; }

  private:
    void step(char c, std::string& answers, FeedResult& result);
    static constexpr uint64_t kKnown = ~uint64_t{0};
    struct Read {
        uint64_t clock = kKnown;  // the stream clock whose TDO it asks for; kKnown: `level`
        bool level = true;
    };

    bool clockEdge(bool tms, bool tdi, std::string& answers, std::string& refusal);
    void read();
    void trst(std::string& answers);
    void append(bool tms, bool tdi, std::string& answers);
    void shiftWindow(bool anticipate, std::string& answers);
    [[nodiscard]] bool readWaitsForNextClock() const;
    [[nodiscard]] uint64_t windowEnd() const { return windowStart_ + windowClocks_; }
    [[nodiscard]] bool tdoAt(uint64_t clock) const;

    JtagCable& cable_;
    NoteSink note_;
    BatchCounts counts_;
    TapState state_;  // after every clock queued
    std::vector<uint8_t> tms_;
    std::vector<uint8_t> tdi_;
    std::vector<uint8_t> tdo_;
    uint32_t windowClocks_ = 0;
    uint64_t windowStart_ = 0;  // stream clocks carried out before the window
    std::deque<Read> reads_;
    bool tck_ = false;
    bool tmsLine_ = false;
    bool tdiLine_ = false;
    bool trst_ = false;
    uint64_t lastEdge_ = kKnown;  // the stream clock of the client's last rising edge
    bool lastEdgeTdo_ = true;     // its TDO once carried out (1 before any edge, as TDO rests)
    // A clock carried out before its edge for a read with TCK low.
    bool ahead_ = false;
    bool aheadTms_ = false;
    bool aheadTdi_ = false;
    uint64_t aheadClock_ = 0;
    bool aheadTdo_ = true;
    bool queueEnded_ = false;  // the last bytes fed were 'b' or "bB"
    bool failed_ = false;
    bool srstReported_ = false;
    bool trstWarned_ = false;
};

}  // namespace csebridge
