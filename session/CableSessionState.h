// SPDX-License-Identifier: Apache-2.0
// What one CableSession holds, shared by the files that implement it: opening and closing, the
// operations, and the accessors. Not installed; nothing outside session/ includes it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "koraven-cse-plugin/CsePlugin.h"
#include "session/CableSession.h"
#include "session/EmbeddedEmulator.h"
#include "session/PluginExports.h"
#include "session/PluginMessages.h"
#include "session/PluginSearch.h"

namespace csesession {

using CsePluginInterface::cseFailed;
using CsePluginInterface::CSEJTAG_RUN_TEST_IDLE;
using CsePluginInterface::CseJtagTapState;

constexpr uint32_t kIdcodeBits = 32;

// "N devices": the count and the noun, in the plural where it takes one.
inline std::string plural(uint32_t count, const char* noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

// What the instruction registers hold, as far as the session knows: their reset values (IDCODE or
// BYPASS), instructions the caller shifted, or nothing known after a failed call or raw shifts.
enum class Instructions { kReset, kLoaded, kUnknown };
constexpr char kAfterAFailedCall[] =
    "after a failed call is refused: the plug-in may have reset the TAP to recover, so every IR "
    "may hold its reset value instead of the instruction loaded before";
constexpr char kAfterRawShifts[] =
    "after raw shifts is refused: their TMS and TDI streams may have loaded any instruction";

struct CableSession::State {
    explicit State(const SessionOptions& given)
        : options(given), messages(given.verbosity, given.dump, given.log) {}

    [[noreturn]] void fail(ErrorKind kind, const std::string& headline) {
        throw SessionError(kind, headline, messages.takeErrors());
    }
    // A call of the plug-in failed: it may have reset the TAP to recover (then every IR holds its
    // reset value), so the instructions loaded before count for nothing any more.
    [[noreturn]] void failCall(const std::string& headline) {
        ++failedCalls;
        forgetInstructions(kAfterAFailedCall);
        fail(ErrorKind::kFailed, headline);
    }
    void forgetInstructions(const char* why) {
        instructions = Instructions::kUnknown;
        instructionsWhy = why;
    }
    void open();
    void loadPlugin();
    void startEmulator();
    void connect();
    void scanChain();
    void measureChain();
    void checkDeviceCounts();
    void setIrLengths(const std::vector<uint32_t>& lengths);
    void checkGivenIrLengths();
    void deriveLengths();
    void resetTap();
    void checkDevice(uint32_t device);
    void shut(bool quietly);
    // Before every operation: a closed session has no plug-in to drive.
    State& live() {
        if (plugin == nullptr) throw SessionError(ErrorKind::kUsage, "the session is closed");
        (void)messages.takeErrors();
        return *this;
    }

    SessionOptions options;
    PluginMessages messages;
    PluginLibrary library;
    PluginExports exports;
    bool notifiedLoad = false;
    bool holdsProcess = false;  // this session is the process's one
    EmbeddedEmulator emulator;
    std::string node;
    uint16_t port = 0;
    CsePluginInterface::ICsePlugin* plugin = nullptr;
    bool opened = false;
    bool locked = false;
    bool scanned = false;
    std::vector<Device> devices;
    std::string scanProblem;
    std::string irLengthProblem;
    bool irLengthsKnown = false;
    bool irPathFaulty = false;
    Instructions instructions = Instructions::kReset;
    const char* instructionsWhy = "";  // when unknown: after what
    uint64_t failedCalls = 0;
    // The IR path as measured right after the lock: its length and captured pattern.
    bool irMeasured = false;
    uint32_t irTotalBits = 0;
    std::vector<uint8_t> irCapture;
    std::optional<uint32_t> bypassCount;
    std::string bypassProblem;           // why the DR path in BYPASS gave no device count
    std::vector<uint8_t> rawShiftInput;  // reused: a raw shift allocates nothing once warm
};

}  // namespace csesession
