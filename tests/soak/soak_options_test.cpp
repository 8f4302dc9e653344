// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include "SoakOptions.h"

namespace soak {
namespace {

TEST(SoakOptionsTest, TakesEveryOption) {
    SoakOptions options;
    std::string error;
    ASSERT_TRUE(parseSoakOptions(
        {"--seed", "9", "--ops", "50", "--fault-rate", "0.05", "--devices", "7", "--timeout-ms",
         "80", "--max-bits", "1000", "--signal-storm-us", "500", "-v"},
        options, error))
        << error;
    EXPECT_EQ(options.seed, 9u);
    EXPECT_EQ(options.operations, 50u);
    EXPECT_DOUBLE_EQ(options.faultRate, 0.05);
    EXPECT_EQ(options.devices, 7u);
    EXPECT_EQ(options.timeoutMs, 80u);
    EXPECT_EQ(options.longestShiftBits, 1000u);
    EXPECT_EQ(options.signalStormMicros, 500u);
    EXPECT_TRUE(options.verbose);
}

class SoakOptionsRefusal : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(SoakOptionsRefusal, NamesTheBadArgument) {
    SoakOptions options;
    std::string error;
    EXPECT_FALSE(parseSoakOptions(GetParam(), options, error));
    EXPECT_NE(error.find(GetParam().front()), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    BadArguments, SoakOptionsRefusal,
    ::testing::Values(std::vector<std::string>{"--seed"}, std::vector<std::string>{"--ops", "0"},
                      std::vector<std::string>{"--ops", "-3"},
                      std::vector<std::string>{"--fault-rate", "0.9"},
                      std::vector<std::string>{"--fault-rate", "1e"},
                      std::vector<std::string>{"--devices", "33"},
                      std::vector<std::string>{"--signal-storm-us", "99"},
                      std::vector<std::string>{"--devices", "99999999999999999999999"},
                      std::vector<std::string>{"--frobnicate", "1"}));

}  // namespace
}  // namespace soak
