// SPDX-License-Identifier: Apache-2.0
// One remote_bitbang session over TCP: one ASCII character per step. '0'..'7' drive TCK, TMS and
// TDI (bits 2, 1, 0; a rising TCK edge clocks the chain), 'R' reads TDO, 'B'/'b' switch the blink
// LED, 'r'/'s'/'t'/'u' set the reset lines ('t' and 'u' assert TRST), 'Q' ends the session.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "sim/EmulatedDebugger.h"

namespace quorbit {

class BitbangSession {
  public:
    explicit BitbangSession(EmulatedDebugger& debugger) : debugger_(debugger) {}

    struct FeedResult {
        bool open = true;           // false once 'Q' arrived (the rest is ignored)
        std::uint64_t clocks = 0;   // rising TCK edges
        std::uint64_t unknown = 0;  // characters that are not commands
    };

    // Executes the characters; the answers to 'R' are appended to `response`.
    FeedResult feed(const char* data, std::size_t length, std::string& response);

    bool ledOn() const { return led_; }
    bool trstAsserted() const { return trst_; }

  private:
    EmulatedDebugger& debugger_;
    bool tck_ = false;
    bool tdoAfterEdge_ = true;  // TDO while TCK is high: the level the last edge sampled
    bool led_ = false;
    bool trst_ = false;
};

}  // namespace quorbit
