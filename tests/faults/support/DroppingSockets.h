// SPDX-License-Identifier: Apache-2.0
// The platform's socket layer with chosen data fragments lost: a deterministic way to take away
// exactly one request (the front end never sees it) or one reply (the front end carries the
// request out, the plug-in never hears of it).
#pragma once

#include <set>

namespace faults {

enum class Direction { Requests, Replies };

// From now on, count the data fragments going that way (1 = the next one) and lose those whose
// number is in `lost`; the count in the other direction starts again too, losing nothing. A lost
// request fragment counts as sent; a lost reply fragment looks like a stranger's datagram.
void loseFragments(Direction direction, std::set<int> lost);

// Routes the link through the losing layer; the destructor puts the platform's layer back.
class DroppingSockets {
  public:
    DroppingSockets();
    ~DroppingSockets();
    DroppingSockets(const DroppingSockets&) = delete;
    DroppingSockets& operator=(const DroppingSockets&) = delete;
};

}  // namespace faults
