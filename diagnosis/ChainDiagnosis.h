// Board bring-up checks on an open, locked chain, each with a verdict, a one-line reason and its
// measured figures: tdo, device-count, ir-length, idcode, link. Only the plug-in's public
// interface is used; what the session found when it opened comes in as ChainFacts.
//
//   csediag::ChainFacts facts;
//   facts.scanned = session.scanProblem().empty();
//   facts.scanProblem = session.scanProblem();
//   for (const auto& device : session.devices()) facts.idcodes.push_back(device.idcode.value_or(0));
//   for (const csediag::Check& check : csediag::diagnoseChain(session.plugin(), facts))
//       std::cout << csediag::verdictName(check.verdict) << " " << check.name << " " << check.reason;
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace CsePluginInterface {
class ICsePlugin;
}

namespace csediag {

enum class Verdict { kOk, kWarning, kFault };

[[nodiscard]] const char* verdictName(Verdict verdict);  // "ok", "warning", "fault"

struct Check {
    std::string name;  // "tdo", "device-count", "ir-length", "idcode", "link"
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
};

// Resets the TAP, runs every check and resets the TAP again. Never throws.
[[nodiscard]] std::vector<Check> diagnoseChain(CsePluginInterface::ICsePlugin& plugin,
                                               const ChainFacts& facts);

// The fields of an IEEE 1149.1 IDCODE: version, part number and JEDEC manufacturer.
struct IdcodeFields {
    bool present = false;  // false for a device that answered with a BYPASS bit (code 0)
    uint32_t version = 0;  // bits 31..28
    uint32_t part = 0;     // bits 27..12
    uint32_t bank = 0;     // JEDEC bank, counted from 1: continuation codes (bits 11..8) plus one
    uint32_t id = 0;       // JEDEC id within its bank, bits 7..1
};

[[nodiscard]] IdcodeFields idcodeFields(uint32_t idcode);

// Empty when the IDCODE looks sound, else why not (without the code): bit 0 clear, all ones (no
// IDCODE at all), a manufacturer id of 0 or 0x7F, or a bank JEP106 has not opened.
[[nodiscard]] std::string idcodeProblem(uint32_t idcode);

}  // namespace csediag
