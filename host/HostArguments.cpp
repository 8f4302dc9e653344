// SPDX-License-Identifier: Apache-2.0
#include "host/HostArguments.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <sstream>

#include "host/HostDefinitions.h"
#include "session/CableSession.h"
#include "session/HexBits.h"

namespace csehost {

using csesession::parseBitCount;
using csesession::parseDecimal;
using csesession::parseHexBits;

namespace {

bool parseUnsigned32(const std::string& text, const char* what, uint64_t maxValue, uint32_t& value,
                     std::string& error) {
    uint64_t parsed = 0;
    if (!parseDecimal(text, maxValue, parsed, error)) {
        error = std::string(what) + ": " + error;
        return false;
    }
    value = static_cast<uint32_t>(parsed);
    return true;
}

bool parseScanArguments(const std::vector<std::string>& args, bool withDevice, HostCommand& command,
                        std::string& error) {
    size_t next = 0;
    if (withDevice &&
        !parseUnsigned32(args[next++], "device", kMaxDeviceIndex, command.device, error)) {
        return false;
    }
    if (!parseBitCount(args[next++], command.bitCount, error)) return false;
    return parseHexBits(args[next], command.bitCount, command.tdi, error);
}

bool parseStateArguments(const std::vector<std::string>& args, HostCommand& command,
                         std::string& error) {
    if (!parseTapStateName(args[0], command.state, error)) return false;
    if (args.size() > 1 && !parseUnsigned32(args[1], "clocks", UINT32_MAX, command.clocks, error)) {
        return false;
    }
    if (args.size() > 2) {
        command.hasWait = true;
        return parseUnsigned32(args[2], "wait", UINT32_MAX, command.waitMicroseconds, error);
    }
    return true;
}

}  // namespace

bool parseCommandWords(const std::vector<std::string>& words, RunNesting nesting,
                       HostCommand& command, std::string& error) {
    command = HostCommand{};
    for (size_t i = 0; i < words.size(); ++i) command.text += (i ? " " : "") + words[i];
    const CommandDefinition* shape = nullptr;
    for (const CommandDefinition& candidate : hostCommands()) {
        if (words[0] == candidate.name) shape = &candidate;
    }
    if (shape == nullptr) {
        error = "unknown command '" + words[0] + "'";
        return false;
    }
    const std::vector<std::string> args(words.begin() + 1, words.end());
    if (args.size() < shape->minArgs || args.size() > shape->maxArgs) {
        error = std::string("usage: ") + shape->name + (*shape->arguments ? " " : "") +
                shape->arguments;
        return false;
    }
    command.kind = shape->kind;
    switch (shape->kind) {
        case CommandKind::kScan:
        case CommandKind::kDiagnose:
            return true;
        case CommandKind::kIdcode:
            return parseUnsigned32(args[0], "device", kMaxDeviceIndex, command.device, error);
        case CommandKind::kIrScan:
        case CommandKind::kDrScan:
            return parseScanArguments(args, true, command, error);
        case CommandKind::kIrScanChain:
        case CommandKind::kDrScanChain:
            return parseScanArguments(args, false, command, error);
        case CommandKind::kState:
            return parseStateArguments(args, command, error);
        case CommandKind::kRun:
            if (nesting == RunNesting::kRefuseRun) {
                error = "a run script cannot run another script";
                return false;
            }
            command.file = args[0];
            return true;
        case CommandKind::kServe:
            if (nesting == RunNesting::kRefuseRun) {
                error = "a run script cannot serve remote_bitbang";
                return false;
            }
            return true;
        case CommandKind::kSvf:
            if (nesting == RunNesting::kRefuseRun) {
                error = "a run script cannot play an SVF file";
                return false;
            }
            command.file = args[0];
            return true;
        case CommandKind::kQueue:
        case CommandKind::kRunQueue:
            return true;  // not in the command table: run scripts only
    }
    return true;
}

namespace {

bool queueable(CommandKind kind) {
    return kind == CommandKind::kIrScan || kind == CommandKind::kDrScan ||
           kind == CommandKind::kIrScanChain || kind == CommandKind::kDrScanChain ||
           kind == CommandKind::kState;
}

// `queue` and `run-queue` lines, and what may stand between them.
bool parseQueueMark(const std::vector<std::string>& words, unsigned& openedAt, unsigned lineNumber,
                    HostCommand& command, std::string& error) {
    const bool opens = words[0] == "queue";
    if (words.size() != 1) {
        error = "'" + words[0] + "' takes no arguments";
        return false;
    }
    if (opens && openedAt != 0) {
        error = "a queue inside the queue of line " + std::to_string(openedAt) +
                " (end that one with run-queue first)";
        return false;
    }
    if (!opens && openedAt == 0) {
        error = "run-queue without a queue line before it";
        return false;
    }
    openedAt = opens ? lineNumber : 0;
    command = HostCommand{};
    command.kind = opens ? CommandKind::kQueue : CommandKind::kRunQueue;
    command.text = words[0];
    return true;
}

}  // namespace

bool parseRunScript(const std::string& text, const std::string& fileName,
                    std::vector<HostCommand>& commands, std::string& error) {
    commands.clear();
    std::istringstream lines(text);
    std::string line;
    unsigned queueLine = 0;  // the open queue's line
    for (unsigned lineNumber = 1; std::getline(lines, line); ++lineNumber) {
        const size_t comment = line.find('#');
        if (comment != std::string::npos) line.erase(comment);
        std::istringstream wordStream(line);
        std::vector<std::string> words;
        for (std::string word; wordStream >> word;) words.push_back(word);
        if (words.empty()) continue;
        HostCommand command;
        const bool mark = words[0] == "queue" || words[0] == "run-queue";
        if (mark ? !parseQueueMark(words, queueLine, lineNumber, command, error)
                 : !parseCommandWords(words, RunNesting::kRefuseRun, command, error)) {
            error = fileName + ":" + std::to_string(lineNumber) + ": " + error;
            return false;
        }
        if (!mark && queueLine != 0 && !queueable(command.kind)) {
            error = fileName + ":" + std::to_string(lineNumber) + ": '" + words[0] +
                    "' cannot be queued (only irscan, drscan, irscan-chain, drscan-chain and "
                    "state go between queue and run-queue)";
            return false;
        }
        command.origin = fileName + ":" + std::to_string(lineNumber);
        commands.push_back(std::move(command));
    }
    if (queueLine != 0) {
        error = fileName + ":" + std::to_string(queueLine) + ": queue without run-queue";
        return false;
    }
    if (commands.empty()) {
        error = fileName + ": no commands";
        return false;
    }
    return true;
}

bool parseIrLengthList(const std::string& text, std::vector<uint32_t>& lengths,
                       std::string& error) {
    lengths.clear();
    size_t start = 0;
    while (true) {
        const size_t comma = text.find(',', start);
        const std::string item =
            text.substr(start, comma == std::string::npos ? comma : comma - start);
        uint32_t length = 0;
        if (!parseUnsigned32(item, "--irlen", kMaxIrLength, length, error)) return false;
        if (length == 0) {
            error = "--irlen: an IR length must be at least 1";
            return false;
        }
        if (lengths.size() > kMaxDeviceIndex) {
            error = "--irlen: more lengths than a chain can have devices";
            return false;
        }
        lengths.push_back(length);
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

bool parseTapStateName(const std::string& text, uint32_t& state, std::string& error) {
    const auto parsed = csesession::parseTapState(text);
    if (parsed) {
        state = *parsed;
        return true;
    }
    error = "unknown TAP state '" + text + "' (e.g. RUN_TEST_IDLE, SHIFT_DR, PAUSE_IR, DRPAUSE)";
    return false;
}

}  // namespace csehost
