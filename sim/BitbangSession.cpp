// SPDX-License-Identifier: Apache-2.0
#include "sim/BitbangSession.h"

namespace quorbit {

BitbangSession::FeedResult BitbangSession::feed(const char* data, std::size_t length,
                                                std::string& response) {
    FeedResult result;
    for (std::size_t i = 0; i < length; ++i) {
        const char c = data[i];
        if (c >= '0' && c <= '7') {
            const int lines = c - '0';
            const bool tck = (lines & 4) != 0;
            const bool tms = (lines & 2) != 0;
            const bool tdi = (lines & 1) != 0;
            if (tck && !tck_ && !trst_) {
                tdoAfterEdge_ = debugger_.bitbangClock(tms, tdi);
                ++result.clocks;
            }
            tck_ = tck;
            continue;
        }
        switch (c) {
            case 'R':
                // TDO changes on the falling edge, so while TCK is high it still shows the bit
                // that the rising edge sampled.
                response.push_back((tck_ ? tdoAfterEdge_ : debugger_.bitbangTdo()) ? '1' : '0');
                break;
            case 'B':
                led_ = true;
                break;
            case 'b':
                led_ = false;
                break;
            case 'r':
            case 's':
                trst_ = false;
                break;
            case 't':
            case 'u':
                trst_ = true;
                debugger_.bitbangTrst();
                break;
            case 'Q':
                result.open = false;
                return result;
            case '\n':
            case '\r':
                break;
            default:
                ++result.unknown;
                break;
        }
    }
    return result;
}

}  // namespace quorbit
