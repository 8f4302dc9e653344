// SPDX-License-Identifier: Apache-2.0
// The target's message line: prefix, level mapping, the two copies, cutting long texts, and the
// messages of construction and destruction.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "support/TargetRecorder.h"
#include "target/QXCsePlugin.h"

namespace {

using namespace CsePluginInterface;
using targettest::CallbackEvent;
using targettest::TargetRecorder;

class LogMessage : public ::testing::Test {
  protected:
    void SetUp() override {
        plugin = std::make_unique<QXCsePlugin>();
        recorder.clear();
    }

    TargetRecorder recorder;
    std::unique_ptr<QXCsePlugin> plugin;
};

struct CategoryCase {
    uint32_t category;
    uint32_t level;
    const char* prefixedFormatResult;  // what postMessage logs for "KORAVEN: x"
};

class LogMessageLevel : public LogMessage, public ::testing::WithParamInterface<CategoryCase> {};

TEST_P(LogMessageLevel, ReachesTheHostRawAndTwiceThroughTheLog) {
    const CategoryCase& c = GetParam();
    plugin->logMessage(c.category, "x");
    ASSERT_EQ(recorder.events.size(), 3u);
    EXPECT_EQ(recorder.events[0].kind, CallbackEvent::Kind::kMessage);
    EXPECT_EQ(recorder.events[0].code, c.category);
    EXPECT_EQ(recorder.events[0].text, "KORAVEN: x");
    EXPECT_EQ(recorder.events[1].kind, CallbackEvent::Kind::kLog);
    EXPECT_EQ(recorder.events[1].text, c.prefixedFormatResult);
    EXPECT_EQ(recorder.events[2].kind, CallbackEvent::Kind::kLog);
    EXPECT_EQ(recorder.events[2].code, c.level);
    EXPECT_EQ(recorder.events[2].text, "KORAVEN: x");
}

INSTANTIATE_TEST_SUITE_P(Categories, LogMessageLevel,
                         ::testing::Values(CategoryCase{0x100, 1, "<CsePlugin> Error:KORAVEN: x"},
                                           CategoryCase{0x200, 1, "<CsePlugin> Warning:KORAVEN: x"},
                                           CategoryCase{0x300, 2, "<CsePlugin> Status:KORAVEN: x"},
                                           CategoryCase{0x400, 2, "<CsePlugin> Info:KORAVEN: x"},
                                           CategoryCase{0x500, 2, "<CsePlugin> KORAVEN: x"},
                                           CategoryCase{0x8000, 3,
                                                        "<CsePlugin> Debug:KORAVEN: x"}));

TEST_F(LogMessage, UnknownCategoryIsReportedThenLoggedAtLevelZero) {
    plugin->logMessage(0x1000, "odd %d", 7);
    ASSERT_EQ(recorder.events.size(), 4u);
    EXPECT_EQ(recorder.events[2].code, 1u);
    EXPECT_EQ(recorder.events[2].text, "ERROR: Invalid code used for logging");
    EXPECT_EQ(recorder.events[3].code, 0u);
    EXPECT_EQ(recorder.events[3].text, "KORAVEN: odd 7");
}

TEST_F(LogMessage, PercentSignsInTheLineAreNotReadAsConversions) {
    plugin->logMessage(0x400, "%s", "host%sname%n");
    const auto lines = recorder.logs(2);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "KORAVEN: host%sname%n");
}

class LogMessageLength : public LogMessage, public ::testing::WithParamInterface<size_t> {};

TEST_P(LogMessageLength, KeepsAtMost1014CharactersAfterThePrefix) {
    const size_t length = GetParam();
    const std::string text(length, 'a');
    plugin->logMessage(0x400, "%s", text.c_str());
    const auto messages = recorder.messages(0x400);
    ASSERT_EQ(messages.size(), 1u);
    const size_t kept = std::min<size_t>(length, QXCsePlugin::kMaxMessageCharacters);
    EXPECT_EQ(messages[0], "KORAVEN: " + std::string(kept, 'a'));
    EXPECT_LE(messages[0].size() + 1, QXCsePlugin::kLogLineBytes);
}

INSTANTIATE_TEST_SUITE_P(Lengths, LogMessageLength,
                         ::testing::Values(0u, 1u, 1013u, 1014u, 1015u, 2000u, 100000u));

TEST_F(LogMessage, ExactlyFullLineUsesAllOfItsBytes) {
    const std::string text(1014, 'b');
    plugin->logMessage(0x400, "%s", text.c_str());
    EXPECT_EQ(recorder.messages(0x400).at(0).size(), 1023u);
}

TEST(QXCsePluginObject, ConstructionAndDestructionAnnounceThemselves) {
    TargetRecorder recorder;
    auto plugin = std::make_unique<QXCsePlugin>();
    EXPECT_EQ(recorder.allMessages(),
              (std::vector<std::string>{"KORAVEN: >>call<<  QXCsePlugin::QXCsePlugin()\n",
                                        "KORAVEN: Loaded KORAVEN-CsePlugin\n"}));
    recorder.clear();
    plugin.reset();
    EXPECT_EQ(recorder.allMessages(),
              (std::vector<std::string>{"KORAVEN: >>call<<  QXCsePlugin::~QXCsePlugin()\n",
                                        "KORAVEN: Unloaded KORAVEN-CsePlugin\n"}));
    EXPECT_EQ(recorder.messages(0x8000).size(), 1u);
    EXPECT_EQ(recorder.messages(0x400).size(), 1u);
}

TEST(QXCsePluginObject, StartsInTestLogicResetWithoutAnyCableActivity) {
    TargetRecorder recorder;
    QXCsePlugin plugin;
    EXPECT_EQ(plugin.getTAPState(), CSEJTAG_TEST_LOGIC_RESET);
    EXPECT_FALSE(plugin.isOpened());
}

}  // namespace
