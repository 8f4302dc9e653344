// SPDX-License-Identifier: Apache-2.0
// Board bring-up checks, each with a verdict, a one-line reason and the figures it measured.
#include "diagnosis/ChainDiagnosis.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "diagnosis/MergedShiftCheck.h"
#include "diagnosis/PathReading.h"
#include "koraven-cse-plugin/CsePlugin.h"
#include "session/CableSession.h"
#include "session/HexBits.h"
#include "session/IrLengthDerivation.h"

namespace csediag {

using CsePluginInterface::cseFailed;
using CsePluginInterface::CSEJTAG_RUN_TEST_IDLE;
using CsePluginInterface::ICsePlugin;
using csesession::buildIrMeasureStream;
using csesession::firstMisfittingDevice;
using csesession::formatHexBits;
using csesession::hexNumber;
using csesession::kIrFlushBits;
using csesession::listIrSplits;

namespace {

constexpr uint32_t kDrFlushBits = 1024;  // well beyond the 254 devices a scan accepts
constexpr uint32_t kThroughputBits = 1u << 20;
constexpr int kRoundTrips = 8;
constexpr size_t kSplitsShown = 4;

std::string lengthList(const std::vector<uint32_t>& lengths) {
    std::string text;
    for (size_t i = 0; i < lengths.size(); ++i) text += (i ? "," : "") + std::to_string(lengths[i]);
    return text;
}

// The reason of a path reading that is a fault; empty for a path that delays as it should.
std::string pathFault(const PathReading& reading, const char* path) {
    const std::string name = path;
    switch (reading.kind) {
        case PathReading::Kind::kStuckLow:
            return "TDO stuck at 0: the " + name + " path gave only zeros for zeros and ones";
        case PathReading::Kind::kStuckHigh:
            return "TDO stuck at 1: the " + name + " path gave only ones for zeros and ones";
        case PathReading::Kind::kEchoesTdi:
            return "TDO echoes TDI without delay through the " + name +
                   " path: TDI and TDO shorted, no device in between";
        case PathReading::Kind::kOpen:
            return "the chain is open: the zeros shifted in never reached TDO, which read 1 for "
                   "good after " +
                   std::to_string(reading.length) + " " + name +
                   " bits; the devices nearer TDI are unreachable";
        case PathReading::Kind::kNoOnes:
            return "the ones shifted into the " + name + " path never came out";
        case PathReading::Kind::kDelayed:
            break;
    }
    return "";
}

std::string shortPathFault(PathReading::Kind kind) {
    switch (kind) {
        case PathReading::Kind::kStuckLow:
            return "TDO stuck at 0";
        case PathReading::Kind::kStuckHigh:
            return "TDO stuck at 1";
        case PathReading::Kind::kEchoesTdi:
            return "TDI and TDO shorted";
        case PathReading::Kind::kOpen:
            return "the chain is open";
        case PathReading::Kind::kNoOnes:
            return "the ones shifted in never came out";
        case PathReading::Kind::kDelayed:
            break;
    }
    return "the chain does not pass data";
}

bool resetTap(ICsePlugin& plugin) {
    return !cseFailed(plugin.initializeTAP()) &&
           !cseFailed(plugin.navigateTAP(CSEJTAG_RUN_TEST_IDLE, 0));
}

}  // namespace

const char* verdictName(Verdict verdict) {
    switch (verdict) {
        case Verdict::kOk:
            return "ok";
        case Verdict::kWarning:
            return "warning";
        case Verdict::kFault:
            return "fault";
    }
    return "?";
}

bool isCountFigure(const std::string& name) {
    const auto endsWith = [&name](const std::string& suffix) {
        return name.size() >= suffix.size() &&
               name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
    };
    return !endsWith("Ms") && !endsWith("PerSecond");
}

std::vector<Check> diagnoseChain(ICsePlugin& plugin, const ChainFacts& facts) {
    std::vector<Check> checks;
    const auto add = [&checks](const char* name, Verdict verdict, const std::string& reason) {
        checks.push_back({name, verdict, reason, {}});
    };
    const bool scanned = facts.scanned;
    const std::string& scanProblem = facts.scanProblem;
    std::vector<uint32_t> idcodes = facts.idcodes;
    if (scanned && idcodes.empty()) {
        for (uint32_t device = 0; device < plugin.getDeviceCount(); ++device)
            idcodes.push_back(plugin.getDeviceID(device));
    }
    const auto deviceCount = static_cast<uint32_t>(idcodes.size());

    // The IR path: a step from zeros to ones, right after a reset.
    (void)resetTap(plugin);
    const std::vector<uint8_t> irStream = buildIrMeasureStream(kIrFlushBits);
    std::vector<uint8_t> irTdo(irStream.size(), 0);
    const bool irShifted =
        !cseFailed(plugin.shiftChainIR(irStream.data(), irTdo.data(), nullptr, nullptr,
                                       2 * kIrFlushBits, CSEJTAG_RUN_TEST_IDLE, 0, 0));
    const PathReading irPath = irShifted ? readPath(irTdo.data(), kIrFlushBits) : PathReading{};

    // The DR path with every device in BYPASS (the IR stream ended in ones): one bit each.
    const std::vector<uint8_t> drStream = buildIrMeasureStream(kDrFlushBits);
    std::vector<uint8_t> drTdo(drStream.size(), 0);
    const bool drShifted =
        irShifted && !cseFailed(plugin.shiftChainDR(drStream.data(), drTdo.data(), nullptr, nullptr,
                                                    2 * kDrFlushBits, CSEJTAG_RUN_TEST_IDLE, 0, 0));
    const PathReading drPath = drShifted ? readPath(drTdo.data(), kDrFlushBits) : PathReading{};

    std::string tdoFault;
    PathReading::Kind faultKind = PathReading::Kind::kDelayed;
    if (!irShifted || !drShifted) {
        add("tdo", Verdict::kFault, "the chain shifts failed: the link or the debugger");
    } else {
        tdoFault = pathFault(irPath, "IR");
        faultKind = irPath.kind;
        if (tdoFault.empty()) tdoFault = pathFault(drPath, "DR"), faultKind = drPath.kind;
        add("tdo", tdoFault.empty() ? Verdict::kOk : Verdict::kFault,
            tdoFault.empty() ? "TDO follows the patterns through the IR and DR paths" : tdoFault);
        if (irPath.kind == PathReading::Kind::kDelayed)
            checks.back().figures["irPathBits"] = irPath.length;
        if (drPath.kind == PathReading::Kind::kDelayed)
            checks.back().figures["drPathBits"] = drPath.length;
    }
    // After an open chain only the devices between the break and TDO answer, so a scan's device
    // numbers (counted from TDI) are not theirs: name them by their place from TDO instead.
    const bool open =
        irPath.kind == PathReading::Kind::kOpen || drPath.kind == PathReading::Kind::kOpen;
    const bool pathsSound = irShifted && drShifted && tdoFault.empty();
    const std::string notChecked = "not checked: the chain does not pass data";

    // Device count: BYPASS delay against the IDCODE scan.
    if (!pathsSound) {
        add("device-count", Verdict::kWarning, notChecked);
    } else if (!scanned) {
        add("device-count", Verdict::kFault,
            std::to_string(drPath.length) +
                " devices in BYPASS, but the IDCODE scan failed: " + scanProblem);
        checks.back().figures["devicesInBypass"] = drPath.length;
    } else {
        const bool same = drPath.length == deviceCount;
        add("device-count", same ? Verdict::kOk : Verdict::kFault,
            std::to_string(drPath.length) + " devices in BYPASS, " + std::to_string(deviceCount) +
                " in the IDCODE scan" +
                (same ? ""
                      : ": a device that does not answer, one whose IDCODE reads 0xFFFFFFFF "
                        "(which ends the scan), or a broken scan"));
        checks.back().figures["devicesInBypass"] = drPath.length;
        checks.back().figures["devicesInScan"] = deviceCount;
    }

    // IR length and how the captured pattern splits into the devices.
    // BYPASS counts every device that passes data; a scan that disagrees has missed some.
    const bool countsDisagree = pathsSound && scanned && drPath.length != deviceCount;
    const uint32_t devices = scanned && !countsDisagree ? deviceCount : drPath.length;
    if (!pathsSound) {
        add("ir-length", Verdict::kWarning, notChecked);
    } else {
        const uint32_t total = irPath.length;
        std::vector<uint8_t> capture(irTdo.begin(), irTdo.begin() + (total + 7) / 8);
        const std::string measured = std::to_string(total) + "-bit IR path, captured 0x" +
                                     formatHexBits(capture.data(), total);
        const auto splits = listIrSplits(capture.data(), total, devices, kSplitsShown + 1);
        if (!facts.irLengthsGiven.empty() && facts.irLengthsGiven.size() == devices) {
            const uint32_t misfit =
                firstMisfittingDevice(capture.data(), total, facts.irLengthsGiven);
            if (misfit == UINT32_MAX) {
                add("ir-length", Verdict::kOk,
                    measured + ": --irlen " + lengthList(facts.irLengthsGiven) + " fits");
            } else if (misfit == devices) {
                add("ir-length", Verdict::kFault,
                    measured + ": --irlen " + lengthList(facts.irLengthsGiven) +
                        " does not add up to it");
            } else {
                add("ir-length", Verdict::kFault,
                    measured + ": device " + std::to_string(misfit) +
                        " captures a wrong IR pattern (its field does not start with 1,0)");
            }
        } else if (splits.empty()) {
            add("ir-length", Verdict::kFault,
                measured + ": no split into " + std::to_string(devices) +
                    " devices starts every field with 1,0; a device captures a wrong IR pattern "
                    "(--irlen names which)");
        } else if (countsDisagree) {
            add("ir-length", Verdict::kFault,
                measured + ": the IDCODE scan found " + std::to_string(deviceCount) +
                    (deviceCount == 1 ? " device" : " devices") + " where BYPASS shows " +
                    std::to_string(devices) +
                    ", so no IR lengths of the scan's devices can be trusted" +
                    (splits.empty() ? std::string()
                                    : std::string("; for ") + std::to_string(devices) +
                                          " devices it splits as " + lengthList(splits[0]) +
                                          (splits.size() > 1 ? " or more" : "")));
        } else if (splits.size() == 1) {
            add("ir-length", Verdict::kOk,
                measured + ": IR lengths " + lengthList(splits[0]) + " (device 0 first)");
        } else {
            std::string possible;
            for (size_t i = 0; i < std::min(splits.size(), kSplitsShown); ++i)
                possible += (i ? " or " : "") + lengthList(splits[i]);
            if (splits.size() > kSplitsShown) possible += " or more";
            add("ir-length", Verdict::kWarning,
                measured + ": it splits as " + possible + "; give the right one with --irlen");
        }
        checks.back().figures["irPathBits"] = total;
        checks.back().figures["devices"] = devices;
        if (splits.size() == 1) {
            for (size_t i = 0; i < splits[0].size(); ++i)
                checks.back().figures["irLength" + std::to_string(i)] = splits[0][i];
        }
    }

    // IDCODE sanity.
    if (!scanned && !tdoFault.empty()) {
        // What the scan blames (too many devices, none) follows from TDO, not from the chain.
        add("idcode", Verdict::kFault,
            "the IDCODE scan failed because of the TDO fault: " + shortPathFault(faultKind));
    } else if (!scanned) {
        add("idcode", Verdict::kFault, "the IDCODE scan failed: " + scanProblem);
    } else {
        // Devices with the same problem are named together, to keep the reason to one line.
        std::vector<std::pair<std::string, std::string>> problems;  // problem -> devices
        const auto note = [&problems](const std::string& problem, const std::string& device) {
            for (auto& [known, devices] : problems) {
                if (known != problem) continue;
                devices += ", " + device;
                return;
            }
            problems.emplace_back(problem, device);
        };
        for (uint32_t device = 0; device < deviceCount; ++device) {
            const uint32_t idcode = idcodes[device];
            if (idcode == 0) continue;
            const std::string problem = idcodeProblem(idcode);
            const std::string name = std::to_string(open ? deviceCount - 1 - device : device);
            if (!problem.empty()) note(problem, name);
            if (device > 0 && idcodes[device - 1] == idcode) {
                note("the same IDCODE as the device before (twin parts, or a read that repeats)",
                     name + " (" + hexNumber(idcode, 8) + ")");
            }
        }
        std::string reason;
        for (const auto& [problem, devices] : problems) {
            reason += (reason.empty() ? "" : "; ") + problem + ": device " + devices +
                      (open ? " counted from TDO (0 nearest TDO; the chain is open)" : "");
        }
        add("idcode", reason.empty() ? Verdict::kOk : Verdict::kWarning,
            reason.empty() ? "every IDCODE has bit 0 set and a JEP106 manufacturer" : reason);
    }

    // The same data split and merged through BYPASS (the DR path read above left every device in
    // it, and the TAP in Run-Test/Idle).
    if (!pathsSound) {
        add("merged-shifts", Verdict::kWarning, notChecked);
    } else {
        checks.push_back(checkMergedShifts(plugin, facts.mergedShifts, drPath.length));
    }

    // The link: round trips of a small request and a 1-Mbit DR shift through BYPASS.
    using Clock = std::chrono::steady_clock;
    std::vector<double> trips;
    bool linkWorks = true;
    for (int i = 0; i < kRoundTrips && linkWorks; ++i) {
        const auto start = Clock::now();
        linkWorks = !cseFailed(plugin.navigateTAP(CSEJTAG_RUN_TEST_IDLE, 1));
        trips.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    // All ones in every IR is BYPASS everywhere; then the bulk shift is timed alone.
    const std::vector<uint8_t> ones(kIrFlushBits / 8, 0xFF);
    std::vector<uint8_t> scratch(ones.size(), 0);
    linkWorks = linkWorks && resetTap(plugin) &&
                !cseFailed(plugin.shiftChainIR(ones.data(), scratch.data(), nullptr, nullptr,
                                               kIrFlushBits, CSEJTAG_RUN_TEST_IDLE, 0, 0));
    std::vector<uint8_t> bulk(kThroughputBits / 8, 0);
    const auto bulkFrom = Clock::now();
    linkWorks =
        linkWorks && !cseFailed(plugin.shiftChainDR(bulk.data(), bulk.data(), nullptr, nullptr,
                                                    kThroughputBits, CSEJTAG_RUN_TEST_IDLE, 0, 0));
    if (!linkWorks) {
        add("link", Verdict::kFault, "a request over the link failed");
    } else {
        std::sort(trips.begin(), trips.end());
        const double bulkMs =
            std::chrono::duration<double, std::milli>(Clock::now() - bulkFrom).count();
        char text[160] = {};
        std::snprintf(text, sizeof text,
                      "round trip %.2f ms (median of %d); 1 Mbit through BYPASS in %.1f ms "
                      "(%.1f Mbit/s)",
                      trips[trips.size() / 2], kRoundTrips, bulkMs,
                      bulkMs > 0 ? kThroughputBits / 1e3 / bulkMs : 0.0);
        add("link", Verdict::kOk, text);
        checks.back().figures["roundTripMs"] = trips[trips.size() / 2];
        checks.back().figures["bulkShiftMs"] = bulkMs;
        checks.back().figures["throughputMbitPerSecond"] =
            bulkMs > 0 ? kThroughputBits / 1e3 / bulkMs : 0.0;
    }
    // Whether a lost datagram costs a resend or a whole call: what the open found out of the
    // front end (a plug-in without the option says nothing).
    char retransmission[160] = {};
    if (!cseFailed(plugin.getOption("retransmit", retransmission, sizeof retransmission))) {
        const std::string state = retransmission;
        const bool chosenOff = state.rfind("off: the front end", 0) == 0;
        add("retransmission", chosenOff ? Verdict::kWarning : Verdict::kOk,
            state + (chosenOff ? " (a lost datagram fails its call)" : ""));
    }

    (void)resetTap(plugin);

    return checks;
}

std::vector<Check> diagnoseSession(csesession::CableSession& session,
                                   const std::vector<uint32_t>& irLengthsGiven) {
    ChainFacts facts;
    facts.scanned = session.chainScanned();
    facts.scanProblem = session.scanProblem();
    for (const csesession::Device& device : session.devices())
        facts.idcodes.push_back(device.idcode.value_or(0));
    facts.irLengthsGiven = irLengthsGiven;
    facts.irLengthProblem = session.irLengthProblem();
    facts.mergedShifts = session.mergedShifts();
    std::vector<Check> checks = diagnoseChain(session.plugin(), facts);
    session.noteTapReset();  // the checks end with a reset
    return checks;
}

}  // namespace csediag
