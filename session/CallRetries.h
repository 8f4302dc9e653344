// SPDX-License-Identifier: Apache-2.0
// A session's scans and navigations, each played again after a failed call when the caller asks
// for it. After a failed call the plug-in may have reset the TAP to recover, so that every IR
// holds its reset value and DR scans are refused until the instructions are loaded again; so
// before a repetition the instruction the caller last loaded is loaded again (its IR scan, or a
// TAP reset when none came since the last one), the TAP goes back to the state the call started
// from, and the call is made again. The object remembers that instruction: every scan of a front
// end goes through it, also with no repetitions asked for.
//
//   csesession::CallRetries calls;
//   calls.setReport([](const csesession::CallRepetition& r) { std::cerr << r.headline << "\n"; });
//   (void)calls.deviceScan(session, Register::kIr, 1, {0x22}, 8, 2, "irscan 1 8 0x22");
//   std::vector<uint8_t> tdo = calls.deviceScan(session, Register::kDr, 1, in, 24, 2, "drscan");
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "session/CableSession.h"

namespace csesession {

struct CallRepetition {
    uint32_t attempt = 0;  // 1 for the first repetition
    uint32_t retries = 0;  // the most asked for
    std::string label;     // the call as the caller named it
    std::string failure;   // what the failed attempt said (SessionError::headline())
    std::string reloaded;  // "loading LABEL again" or "a TAP reset"
    // "LABEL failed (FAILURE); played again (1 of 2) after loading IR-LABEL again"
    std::string headline;
};

// The instruction the caller last put in every device, as far as the session's calls show it.
struct LoadedInstruction {
    enum class Kind { kReset, kDevice, kChain, kUnknown };
    Kind kind = Kind::kReset;  // a session starts from a TAP reset
    uint32_t device = 0;       // kDevice
    std::vector<uint8_t> tdi;  // kDevice, kChain
    uint32_t bitCount = 0;
    std::string label;  // how the caller named the IR scan
};

class CallRetries {
  public:
    using Report = std::function<void(const CallRepetition&)>;
    void setReport(Report report) { report_ = std::move(report); }

    // CableSession's calls, each made again at most `retries` times after a failed call of the
    // plug-in (not after the caller's mistakes or the session's own refusals). `label` names the
    // call in the reports, and an IR scan when it is loaded again.
    [[nodiscard]] std::vector<uint8_t> deviceScan(CableSession& session, Register reg,
                                                  uint32_t device, const std::vector<uint8_t>& tdi,
                                                  uint32_t bitCount, uint32_t retries,
                                                  const std::string& label);
    void chainScan(CableSession& session, Register reg, const uint8_t* tdi, uint8_t* tdo,
                   uint32_t bitCount, CsePluginInterface::CseJtagTapState endState,
                   uint32_t retries, const std::string& label);
    CsePluginInterface::CseJtagTapState navigate(CableSession& session,
                                                 CsePluginInterface::CseJtagTapState goal,
                                                 uint32_t clocks,
                                                 std::optional<uint32_t> waitMicroseconds,
                                                 uint32_t retries, const std::string& label);
    [[nodiscard]] uint32_t readIdcode(CableSession& session, uint32_t device, uint32_t retries,
                                      const std::string& label);

    // What the caller did to the instructions by other ways: a TAP reset, IR scans of its own
    // (kept to be loaded again), or anything after which no one knows (an SVF file, raw shifts).
    void noteReset() { loaded_ = LoadedInstruction{}; }
    void noteLoaded(LoadedInstruction loaded) { loaded_ = std::move(loaded); }
    void noteUnknown() { loaded_.kind = LoadedInstruction::Kind::kUnknown; }
    [[nodiscard]] const LoadedInstruction& loaded() const { return loaded_; }

    // Calls `attempt` until it succeeds; after a failed call of the plug-in, at most `retries`
    // times more, each after `instruction` is loaded again and the TAP is back in `start`.
    template <class Attempt>
    auto repeat(CableSession& session, uint32_t retries, const std::string& label,
                const LoadedInstruction& instruction, CsePluginInterface::CseJtagTapState start,
                Attempt attempt) {
        for (uint32_t repeated = 0;; ++repeated) {
            const uint64_t failedBefore = session.failedCalls();
            try {
                if (repeated > 0) reload(session, instruction, start);
                return attempt();
            } catch (const SessionError& error) {
                const bool callFailed = session.failedCalls() != failedBefore;
                if (!callFailed || repeated == retries ||
                    instruction.kind == LoadedInstruction::Kind::kUnknown) {
                    throw;
                }
                announce(repeated + 1, retries, label, instruction, error.headline());
            }
        }
    }

  private:
    void reload(CableSession& session, const LoadedInstruction& instruction,
                CsePluginInterface::CseJtagTapState start);
    void announce(uint32_t attempt, uint32_t retries, const std::string& label,
                  const LoadedInstruction& instruction, const std::string& failure) const;

    LoadedInstruction loaded_;
    Report report_;
};

}  // namespace csesession
