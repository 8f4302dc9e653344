// SPDX-License-Identifier: Apache-2.0
// The platform's socket layer with chosen datagrams lost: a deterministic way to take away exactly
// one request (the front end never sees it), one reply (the front end carries the request out, the
// plug-in never hears of it), one flow token, or every datagram of an outage.
#pragma once

#include <set>

namespace faults {

enum class Direction { Requests, Replies };

// From now on, count the data fragments going that way (1 = the next one) and lose those whose
// number is in `lost`; the count in the other direction starts again too, losing nothing. A lost
// request fragment counts as sent; a lost reply fragment looks like a stranger's datagram.
// Every call ends a loss set up by the other calls.
void loseFragments(Direction direction, std::set<int> lost);
// The flow tokens from the front end, counted from 1 = the next one.
void loseFlowTokens(std::set<int> lost);
// The next `datagrams` datagrams either way, whatever they are: a network outage.
void loseBurst(int datagrams);

// Routes the link through the losing layer; the destructor puts the platform's layer back.
class DroppingSockets {
  public:
    DroppingSockets();
    ~DroppingSockets();
    DroppingSockets(const DroppingSockets&) = delete;
    DroppingSockets& operator=(const DroppingSockets&) = delete;
};

}  // namespace faults
