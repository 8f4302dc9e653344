// SPDX-License-Identifier: Apache-2.0
// The cable target that carries the host's requests out on a KORAVEN debugger through its remote
// interface: open/close, TAP navigation by TMS walks, chain shifts by raw shifts, lock and unlock.
#pragma once

#include <cstdint>

#include "framework/CsePlugin.h"
#include "target/InstructionGuard.h"

namespace CsePluginInterface {

// The most bits one raw shift with TDI may carry: its 15352 data bytes and the 8-byte block head
// fill a raw-shift block. A multiple of 8, so every piece of a split shift starts on a byte.
constexpr uint32_t kMaxRawShiftBits = 122816;
static_assert(kMaxRawShiftBits % 8 == 0, "pieces of a split shift must start on a byte boundary");
static_assert(kMaxRawShiftBits / 8 + 8 == 15360, "one raw-shift block at most");
// The most bits one raw shift carrying both a TMS and a TDI stream may take.
constexpr uint32_t kMaxMergedBits = 61408;
static_assert(2 * (kMaxMergedBits / 8) + 8 == 15360, "one raw-shift block of two streams at most");

// How chain shifts go to the debugger (host argument shifts=): split, as walk in, data and walk
// out in raw shifts of their own; merged, as one raw shift carrying TMS and TDI together.
enum class ShiftMode { Split, Merged };

// Whether requests that got no reply go out again (host argument retransmit=): auto finds out at
// open whether the front end makes it safe.
enum class RetransmitSetting { Auto, On, Off };

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
    // "raw-shift" (layout in koraven-cse-plugin/CsePlugin.h); every other verb is the framework's.
    CseResult sendCommandImpl(const char* command, const void* inData, uint32_t inSize,
                              void* outData, uint32_t outSize, uint32_t opaque1,
                              uint32_t opaque2) override;

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
    // The walk in, the data and the walk out as raw shifts of their own (shifts=split).
    bool shiftSplitIR(const uint8_t* tdiBuffer, uint8_t* tdoBuffer, uint32_t bitCount,
                      CseJtagTapState endState);
    bool shiftSplitDR(const uint8_t* tdiBuffer, uint8_t* tdoBuffer, uint32_t bitCount,
                      CseJtagTapState endState);
    void dumpTdiBuffer(const uint8_t* tdiBuffer, uint32_t bitCount);
    // A chain shift with shifts=merged: walk in, data and walk out in one raw shift of both
    // streams when they fit, else the walk in with the first piece and the walk out with the last.
    // Logs the shift's lines as the split shift does; false when a raw shift failed.
    enum class ShiftPath { Ir, Dr };
    bool shiftMerged(ShiftPath path, const uint8_t* tdiBuffer, uint8_t* tdoBuffer,
                     uint32_t bitCount, CseJtagTapState endState);
    // A walk and `count` extra clocks in as few raw shifts as one TMS stream allows.
    bool walkWithClocks(const uint8_t* path, uint32_t pathBits, uint32_t count);
    // getOption("retransmit"): retransmitState into the host's buffer.
    CseResult answerRetransmitState(void* outData, uint32_t outSize);
    // The raw-shift command's work once its input is checked.
    CseResult rawShiftCommand(const uint8_t* tms, const uint8_t* tdi, uint8_t* tdo,
                              uint32_t bitCount);
    // KRV_TAPAccessShiftRaw, remembering when a failure may have clocked the TAP (or the front end
    // no longer holds the link) and saying when the link failed in a way the host must hear of.
    int sendRawShift(int options, int bits, const uint8_t* tms, const uint8_t* tdi, uint8_t* tdo);
    // What a raw shift that found the front end without our link does once it is connected again
    // and the TAP is back in the recorded state: go out once more (nothing of it was carried out),
    // or fail, as a DR shift must whose register lost the bits shifted before the reset.
    enum class AfterReconnect { Resend, Fail };
    int rawShift(int options, int bits, const uint8_t* tms, const uint8_t* tdi, uint8_t* tdo,
                 AfterReconnect after = AfterReconnect::Resend);
    void reportLinkFailure(int result);
    // The cause of a failed connect, after the two lines every failed connect gives.
    void logConnectFailure();
    // After a raw shift that may have clocked the TAP failed: a TMS reset and the walk back to the
    // recorded state, before anything else moves. False when that failed too.
    bool recoverTapState();
    // A front end that answered that it holds no link with us (restarted, or taken by another
    // client) is connected to again as an open does: connect, attach, the pin command. False, with
    // a message, when that failed; the next operation tries again.
    bool ensureLink();
    bool reconnectLink();
    // While the instructions are unknown after a recovery, a DR shift would read or write the
    // register of the reset instruction instead of the host's: refused, with the reason.
    bool refusesDrShift();
    // The refusal of a shift the instruction guard does not admit; false when it is admitted.
    bool refusesShift(bool admitted);
    // The IR path's length, 0 while some device has no IR length.
    uint32_t irPathBits() const { return chain.totalIRLength(); }

    bool lockedMode = false;  // lockTargetImpl .. unlockTargetImpl; gates navigation
    // The state the chain's TAP controllers are believed to be in; mirrors tapState on every write.
    int32_t currentTapState = CSEJTAG_TEST_LOGIC_RESET;
    // The last TAP reset got no answer: the TAP may stand anywhere, whatever currentTapState says.
    bool resetUnanswered = false;
    // A raw shift failed after it may have been clocked: the TAP may stand anywhere.
    bool tapUncertain = false;
    // The unlock ended the TAP access and nothing was shifted since: the close need not again.
    bool tapReleased = false;
    // What the instruction registers hold since the TAP was reset to recover (or the front end
    // was connected again), followed through every clock the host's operations send.
    InstructionGuard instructions;
    // The front end answered that it holds no link with us; the next operation connects again.
    bool linkLost = false;
    uint32_t recoveryResets = 0;  // resets recoverTapState sent, so a shift can tell one met it
    ShiftMode shiftMode = ShiftMode::Split;
    RetransmitSetting retransmitSetting = RetransmitSetting::Auto;
    // Retransmission as open settled it, and why; what getOption("retransmit") answers.
    const char* retransmitState = "off: not open";
    // Settles retransmission after the attach: the setting, or with auto what the front end shows.
    void settleRetransmission();
    // Room for one merged block's streams and captured TDO: no allocation per shift.
    uint8_t mergedTms[kMaxMergedBits / 8] = {};
    uint8_t mergedTdi[kMaxMergedBits / 8] = {};
    uint8_t mergedTdo[kMaxMergedBits / 8] = {};
};

}  // namespace CsePluginInterface
