// SPDX-License-Identifier: Apache-2.0
// Every link test starts from a closed link pointed at its own scripted peer, with the normal
// configuration and time-outs, and leaves the process-wide link that way again.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "ScriptedPeer.h"

class LinkFixture : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Time-outs for tests that wait for one on purpose.
    static void useShortTimeouts();
    static void setItem(const char* key, const std::string& value);

    ScriptedPeer peer;
};

// The first `count` bytes of a datagram or message, for byte-for-byte comparisons.
Bytes head(const Bytes& bytes, size_t count);
