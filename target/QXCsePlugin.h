// SPDX-License-Identifier: Apache-2.0
// The cable target that carries the host's requests out on a KORAVEN debugger through its remote
// interface: open/close, TAP navigation by TMS walks, chain shifts by raw shifts, lock and unlock.
#pragma once

#include <cstdint>

#include "framework/CsePlugin.h"

namespace CsePluginInterface {

// The most bits one raw shift with TDI may carry: its 15352 data bytes and the 8-byte block head
// fill a raw-shift block. A multiple of 8, so every piece of a split shift starts on a byte.
constexpr uint32_t kMaxRawShiftBits = 122816;
static_assert(kMaxRawShiftBits % 8 == 0, "pieces of a split shift must start on a byte boundary");
static_assert(kMaxRawShiftBits / 8 + 8 == 15360, "one raw-shift block at most");

class QXCsePlugin : public CsePlugin {
  public:
    QXCsePlugin();
    CSE_PLUGIN_DESTRUCTOR(QXCsePlugin);  // slot 38; makes no remote call

    // One "KORAVEN: " line: to postMessage, then by itself to the log at the category's level.
    // A formatted text longer than kMaxMessageCharacters is cut short.
    void logMessage(uint32_t category, const char* format, ...) CSE_PRINTF_FORMAT(3, 4);

    static constexpr uint32_t kLogLineBytes = 1024;
    static constexpr uint32_t kMaxMessageCharacters = 1014;

  protected:
    // Overridden slots, in slot order.
    CseResult initializeTargetImpl(uint32_t argc, const char* const* argv) override;
    CseResult openTargetImpl(uint32_t argc, const char* const* argv, uint32_t opaque1,
                             uint32_t opaque2) override;
    CseResult closeTargetImpl() override;
    using CsePlugin::navigateTAPImpl;  // the waiting overload stays the framework's
    CseResult navigateTAPImpl(CseJtagTapState state, uint32_t count) override;
    CseResult initializeTAPImpl() override;
    CseResult shiftChainIRImpl(const uint8_t* tdiBuffer, uint8_t* tdoBuffer,
                               const uint8_t* tdiAuxBuffer, uint8_t* tdoAuxBuffer,
                               uint32_t bitCount, CseJtagTapState endState, uint32_t opaque1,
                               uint32_t opaque2) override;
    CseResult shiftChainDRImpl(const uint8_t* tdiBuffer, uint8_t* tdoBuffer,
                               const uint8_t* tdiAuxBuffer, uint8_t* tdoAuxBuffer,
                               uint32_t bitCount, CseJtagTapState endState, uint32_t opaque1,
                               uint32_t opaque2) override;
    CseResult lockTargetImpl(uint32_t opaque) override;
    CseResult unlockTargetImpl() override;

  private:
    void traceEnter(const char* qualifiedName);
    // Writes the exit line of a result and returns the result.
    CseResult traceExit(const char* qualifiedName, CseResult result);
    // Stores the state here and in the framework's tapState.
    void setCurrentTapState(CseJtagTapState state);
    // Clocks count TMS zeros, several raw shifts when count exceeds one; stops at a failing one
    // and returns false then.
    bool clockExtraCycles(uint32_t count);
    // Refuses (message, failing exit) a state outside 0..15; true when the state is valid.
    bool acceptsTapState(const char* qualifiedName, const char* what, CseJtagTapState state);
    // A shift in pieces of at most kMaxRawShiftBits; only the very last bit has TMS 1, and only
    // when the shift leaves the shift state.
    enum class ShiftEnd { StaysInShift, LeavesShift };
    bool shiftInPieces(const uint8_t* tdiBuffer, uint8_t* tdoBuffer, uint32_t bitCount,
                       ShiftEnd end);
    void dumpTdiBuffer(const uint8_t* tdiBuffer, uint32_t bitCount);
    // KRV_TAPAccessShiftRaw, remembering when a failure may have clocked the TAP and saying when
    // the link failed in a way the host must hear of.
    int rawShift(int options, int bits, const uint8_t* tms, const uint8_t* tdi, uint8_t* tdo);
    void reportLinkFailure(int result);
    // The cause of a failed connect, after the two lines every failed connect gives.
    void logConnectFailure();
    // After a raw shift that may have clocked the TAP failed: a TMS reset and the walk back to the
    // recorded state, before anything else moves. False when that failed too.
    bool recoverTapState();

    bool lockedMode = false;  // lockTargetImpl .. unlockTargetImpl; gates navigation
    // The state the chain's TAP controllers are believed to be in; mirrors tapState on every write.
    int32_t currentTapState = CSEJTAG_TEST_LOGIC_RESET;
    // The last TAP reset got no answer: the TAP may stand anywhere, whatever currentTapState says.
    bool resetUnanswered = false;
    // A raw shift failed after it may have been clocked: the TAP may stand anywhere.
    bool tapUncertain = false;
    // The unlock ended the TAP access and nothing was shifted since: the close need not again.
    bool tapReleased = false;
};

}  // namespace CsePluginInterface
