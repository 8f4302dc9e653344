// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/CallbackRecord.h"
#include "tests/framework/support/RecordingCallbacks.h"
#include "tests/framework/support/RecordingTarget.h"

namespace {

using namespace CsePluginInterface;
using krvtest::CallbackEvent;
using krvtest::RecordingCallbacks;
using krvtest::RecordingTarget;

struct CategoryCase {
    uint32_t category;
    uint32_t level;
    const char* logged;
};

class PostMessage : public ::testing::TestWithParam<CategoryCase> {};

TEST_P(PostMessage, ReachesTheHostRawAndPrefixed) {
    RecordingTarget target;
    target.setHandle(0xCAFE);
    RecordingCallbacks recorder;
    target.postForTest(GetParam().category, "text\n");
    ASSERT_EQ(recorder.events().size(), 2u);
    const CallbackEvent& message = recorder.events()[0];
    EXPECT_EQ(message.kind, CallbackEvent::Kind::Message);
    EXPECT_EQ(message.handle, 0xCAFEu);
    EXPECT_EQ(message.category, GetParam().category);
    EXPECT_EQ(message.text, "text\n");
    const CallbackEvent& log = recorder.events()[1];
    EXPECT_EQ(log.kind, CallbackEvent::Kind::Log);
    EXPECT_EQ(log.level, GetParam().level);
    EXPECT_EQ(log.text, GetParam().logged);
}

INSTANTIATE_TEST_SUITE_P(Categories, PostMessage,
                         ::testing::Values(CategoryCase{0x100, 1, "<CsePlugin> Error:text\n"},
                                           CategoryCase{0x200, 1, "<CsePlugin> Warning:text\n"},
                                           CategoryCase{0x300, 2, "<CsePlugin> Status:text\n"},
                                           CategoryCase{0x400, 2, "<CsePlugin> Info:text\n"},
                                           CategoryCase{0x500, 2, "<CsePlugin> text\n"},
                                           CategoryCase{0x600, 3, "<CsePlugin> Debug:text\n"},
                                           CategoryCase{0x8000, 3, "<CsePlugin> Debug:text\n"}));

TEST(PostMessageText, EmptyOrNullTextCallsNothing) {
    RecordingTarget target;
    RecordingCallbacks recorder;
    target.postForTest(0x100, "");
    target.postForTest(0x100, nullptr);
    EXPECT_TRUE(recorder.events().empty());
}

TEST(PostMessageText, PercentSignsInTheTextAreNotFormatted) {
    RecordingTarget target;
    RecordingCallbacks recorder;
    target.postForTest(0x500, "100%s done");
    EXPECT_EQ(recorder.logs(2), (std::vector<std::string>{"<CsePlugin> 100%s done"}));
}

TEST(CallbackRecord, SecondRegistrationReplacesAllFiveIncludingWithNulls) {
    RecordingTarget target;
    RecordingCallbacks recorder;
    recorder.clear();
    {
        // A nested recorder registers only four; dumps go nowhere while it is active.
        RecordingCallbacks withoutDumps(krvtest::DumpCapture::Off);
        EXPECT_EQ(CallbackRecord::current().dumpCallback, nullptr);
        EXPECT_FALSE(CallbackRecord::hasDump());
    }
    EXPECT_NE(CallbackRecord::current().dumpCallback, nullptr);
    const CsePluginCallbacks none{};
    const CsePluginCallbacks saved = CallbackRecord::current();
    CallbackRecord::replace(none);
    target.postForTest(0x100, "lost\n");
    CallbackRecord::replace(saved);
    EXPECT_TRUE(recorder.events().empty());
}

}  // namespace
