// SPDX-License-Identifier: Apache-2.0
// Board bring-up checks on an open, locked chain, each with a verdict, a one-line reason and its
// measured figures: tdo, device-count, ir-length, idcode, merged-shifts, link. Only the plug-in's public
// interface is used; what the session found when it opened comes in as ChainFacts.
//
//   csediag::ChainFacts facts;
//   facts.scanned = session.scanProblem().empty();
//   facts.scanProblem = session.scanProblem();
//   for (const auto& device : session.devices())
//   facts.idcodes.push_back(device.idcode.value_or(0)); for (const csediag::Check& check :
//   csediag::diagnoseChain(session.plugin(), facts))
//       std::cout << csediag::verdictName(check.verdict) << " " << check.name << " " <<
//       check.reason;
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "diagnosis/IdcodeFields.h"

namespace CsePluginInterface {
class ICsePlugin;
}
namespace csesession {
class CableSession;
}

namespace csediag {

enum class Verdict { kOk, kWarning, kFault };

[[nodiscard]] const char* verdictName(Verdict verdict);  // "ok", "warning", "fault"

// Whether a figure counts something (bits, devices, an IR length: a whole number) rather than
// measuring it (a time in ms, a rate per second), so that outputs write counts as integers.
[[nodiscard]] bool isCountFigure(const std::string& name);

struct Check {
    std::string name;  // "tdo", "device-count", "ir-length", "idcode", "retransmission", "link"
    Verdict verdict = Verdict::kOk;
    std::string reason;  // one line
    // Measured values by name, for scripts: "irPathBits", "devicesInBypass", "devicesInScan",
    // "roundTripMs", "throughputMbitPerSecond", ... (only those the check could measure).
    std::map<std::string, double> figures;
};

// What the session knows about the chain when it opened.
struct ChainFacts {
    bool scanned = false;     // the IDCODE scan succeeded
    std::string scanProblem;  // why not
    // The IDCODE scan's devices, device 0 nearest TDI; 0 for one that answered with a BYPASS bit.
    // Empty with scanned: read from the plug-in (getDeviceCount, getDeviceID).
    std::vector<uint32_t> idcodes;
    std::vector<uint32_t> irLengthsGiven;  // --irlen and the like; empty: none given
    std::string irLengthProblem;           // why the IR lengths are not known; empty when known
    bool mergedShifts = false;             // the session sends shifts=merged
};

// Resets the TAP, runs every check and resets the TAP again. Never throws.
[[nodiscard]] std::vector<Check> diagnoseChain(CsePluginInterface::ICsePlugin& plugin,
                                               const ChainFacts& facts);

// The same on a session, with the facts it found when it opened; the session then knows that the
// TAP was reset. `irLengthsGiven`: the IR lengths the caller gave (empty: none).
[[nodiscard]] std::vector<Check> diagnoseSession(csesession::CableSession& session,
                                                 const std::vector<uint32_t>& irLengthsGiven);

}  // namespace csediag
