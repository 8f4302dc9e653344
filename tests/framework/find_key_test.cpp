// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <string>

#include "framework/CsePlugin.h"
#include "tests/framework/support/RecordingCallbacks.h"

namespace {

using CsePluginInterface::CsePlugin;
using krvtest::RecordingCallbacks;

TEST(FindKey, FirstCaseInsensitiveMatchPointsIntoTheHostsArgument) {
    RecordingCallbacks recorder;
    const char* argv[] = {"Type=fpga", "type=other"};
    const char* value = CsePlugin::findKey(2, argv, "TYPE");
    EXPECT_EQ(value, argv[0] + 5);
    EXPECT_EQ(recorder.traces(), (std::vector<std::string>{"> CsePlugin::findKey", "< fpga"}));
}

TEST(FindKey, BareKeyGivesNullAndTracesNull) {
    RecordingCallbacks recorder;
    const char* argv[] = {"type"};
    EXPECT_EQ(CsePlugin::findKey(1, argv, "type"), nullptr);
    EXPECT_EQ(recorder.traces(), (std::vector<std::string>{"> CsePlugin::findKey", "< 0 (NULL)"}));
}

TEST(FindKey, NoArgumentsGiveNullAndTraceZero) {
    RecordingCallbacks recorder;
    EXPECT_EQ(CsePlugin::findKey(0, nullptr, "type"), nullptr);
    EXPECT_EQ(recorder.traces(), (std::vector<std::string>{"> CsePlugin::findKey", "< 0"}));
}

TEST(FindKey, EmptyValueIsNotNull) {
    const char* argv[] = {"node="};
    const char* value = CsePlugin::findKey(1, argv, "node");
    ASSERT_NE(value, nullptr);
    EXPECT_STREQ(value, "");
}

TEST(FindKey, ValueKeepsBlanksAndLaterEqualsSigns) {
    const char* argv[] = {"port=20000", "node= host =x"};
    EXPECT_STREQ(CsePlugin::findKey(2, argv, "NODE"), " host =x");
}

TEST(FindKey, KeyMustMatchWhole) {
    const char* argv[] = {"types=a", "typ=b"};
    EXPECT_EQ(CsePlugin::findKey(2, argv, "type"), nullptr);
}

TEST(FindKey, OnlyTheFirst511CharactersFormTheKey) {
    // An '=' beyond character 511 is never seen, so the argument is a bare key of 511 characters.
    const std::string longKey(511, 'k');
    const std::string argument = longKey + "x=value";
    const char* argv[] = {argument.c_str()};
    EXPECT_EQ(CsePlugin::findKey(1, argv, longKey.c_str()), nullptr);
    EXPECT_EQ(CsePlugin::findKey(1, argv, (longKey + "x").c_str()), nullptr);

    const std::string shortArgument = std::string(509, 'k') + "=v";
    const char* shortArgv[] = {shortArgument.c_str()};
    EXPECT_STREQ(CsePlugin::findKey(1, shortArgv, std::string(509, 'k').c_str()), "v");
}

TEST(FindKey, LongValueIsTracedCutButReturnedWhole) {
    RecordingCallbacks recorder;
    const std::string argument = "type=" + std::string(600, 'v');
    const char* argv[] = {argument.c_str()};
    EXPECT_EQ(std::string(CsePlugin::findKey(1, argv, "type")), std::string(600, 'v'));
    EXPECT_EQ(recorder.events().back().text, std::string(511, 'v'));
}

TEST(FindKey, NullKeyIsRefusedWithAMessage) {
    RecordingCallbacks recorder;
    const char* argv[] = {"type=a"};
    EXPECT_EQ(CsePlugin::findKey(1, argv, nullptr), nullptr);
    EXPECT_TRUE(recorder.hasLog(1, "<CsePlugin> findKey called with a NULL key\n"));
    EXPECT_TRUE(recorder.tracesBalanced());
}

TEST(FindKey, NullArgumentTextsAreSkipped) {
    const char* argv[] = {nullptr, "type=b"};
    EXPECT_STREQ(CsePlugin::findKey(2, argv, "type"), "b");
}

}  // namespace
