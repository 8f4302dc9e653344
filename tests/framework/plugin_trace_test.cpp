// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "framework/CsePluginTrace.h"
#include "tests/framework/support/RecordingCallbacks.h"
#include "tests/framework/support/RecordingTarget.h"

namespace {

using namespace CsePluginInterface;
using krvtest::RecordingCallbacks;
using krvtest::RecordingTarget;

struct ResultTextCase {
    CseResult code;
    const char* text;
};

class ResultText : public ::testing::TestWithParam<ResultTextCase> {};

TEST_P(ResultText, ShowsSuccessOrTheLow16BitsOfAFailure) {
    RecordingCallbacks recorder;
    CseResult returned = 0;
    {
        CsePluginTrace trace("CsePlugin::flush");
        returned = trace.setResult(GetParam().code);
    }
    EXPECT_EQ(returned, GetParam().code);
    EXPECT_EQ(recorder.traces(), (std::vector<std::string>{"> CsePlugin::flush",
                                                           std::string("< ") + GetParam().text}));
}

INSTANTIATE_TEST_SUITE_P(
    Codes, ResultText,
    ::testing::Values(
        ResultTextCase{CSE_SUCCESS, "CSE_SUCCESS"}, ResultTextCase{7, "CSE_SUCCESS"},
        ResultTextCase{CSE_FAILURE, "CSE_FAILURE, ERROR CODE: 0"},
        ResultTextCase{static_cast<CseResult>(0x80000005u), "CSE_FAILURE, ERROR CODE: 5"},
        ResultTextCase{static_cast<CseResult>(0x8001ABCDu), "CSE_FAILURE, ERROR CODE: ABCD"},
        ResultTextCase{-1, "CSE_FAILURE, ERROR CODE: FFFF"}));

TEST(CsePluginTrace, CutsALongNameTo511Characters) {
    RecordingCallbacks recorder;
    const std::string longName(600, 'n');
    { CsePluginTrace trace(longName.c_str()); }
    ASSERT_EQ(recorder.events().size(), 2u);
    EXPECT_EQ(recorder.events()[0].text, std::string(511, 'n'));
    EXPECT_EQ(recorder.events()[1].text, "");
}

TEST(CsePluginTrace, OwnTextIsCutTo511Characters) {
    RecordingCallbacks recorder;
    const std::string longText(700, 'r');
    {
        CsePluginTrace trace("CsePlugin::getOption");
        trace.setText(longText.c_str());
    }
    EXPECT_EQ(recorder.events().back().text, std::string(511, 'r'));
}

TEST(CsePluginTrace, ExitIsTracedOnceWhenAnExceptionLeaves) {
    RecordingCallbacks recorder;
    try {
        CsePluginTrace trace("CsePlugin::shiftChainIR");
        trace.setText("partial");
        throw std::runtime_error("unwinding");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(recorder.traces(),
              (std::vector<std::string>{"> CsePlugin::shiftChainIR", "< partial"}));
}

TEST(CsePluginTrace, WithoutCallbacksNothingIsCalled) {
    // No recorder: the process-wide record holds nulls, and tracing must simply skip them.
    CsePluginTrace trace("CsePlugin::flush");
    EXPECT_EQ(trace.setResult(CSE_FAILURE), CSE_FAILURE);
    EXPECT_STREQ(trace.result(), "CSE_FAILURE, ERROR CODE: 0");
}

// A target whose flushImpl returns an arbitrary code, to see it travel through the public
// operation.
class CodeReturningTarget : public RecordingTarget {
  public:
    CseResult flushCode = CSE_SUCCESS;

  protected:
    CseResult flushImpl() override { return flushCode; }
};

TEST(CsePluginTrace, TargetFailureCodesPassThroughUnchanged) {
    CodeReturningTarget target;
    RecordingCallbacks recorder;
    target.flushCode = static_cast<CseResult>(0x80000005u);
    EXPECT_EQ(target.flush(), static_cast<CseResult>(0x80000005u));
    target.flushCode = static_cast<CseResult>(0x8001ABCDu);
    EXPECT_EQ(target.flush(), static_cast<CseResult>(0x8001ABCDu));
    target.flushCode = 7;
    EXPECT_EQ(target.flush(), 7);
    EXPECT_EQ(recorder.traces(),
              (std::vector<std::string>{"> CsePlugin::flush", "< CSE_FAILURE, ERROR CODE: 5",
                                        "> CsePlugin::flush", "< CSE_FAILURE, ERROR CODE: ABCD",
                                        "> CsePlugin::flush", "< CSE_SUCCESS"}));
}

}  // namespace
