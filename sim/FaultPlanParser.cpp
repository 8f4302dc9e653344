// SPDX-License-Identifier: Apache-2.0
// Parses the comma-separated fault list of the command line and of SimOptions users.
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "sim/QuorbitSim.h"

namespace quorbit {
namespace {

std::string trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    const std::size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

bool parseUnsigned(const std::string& text, std::uint64_t& value) {
    if (text.empty() || text.size() > 19) return false;
    std::uint64_t result = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        result = result * 10 + static_cast<std::uint64_t>(c - '0');
    }
    value = result;
    return true;
}

bool parseProbability(const std::string& text, double& value) {
    if (text.empty() || text.size() > 32) return false;
    char* end = nullptr;
    const double parsed = std::strtod(text.c_str(), &end);
    if (end == nullptr || *end != '\0' || !(parsed >= 0.0 && parsed <= 1.0)) return false;
    value = parsed;
    return true;
}

// "20ms", "20" (milliseconds) or "2s".
bool parseMilliseconds(const std::string& text, unsigned& value) {
    std::string digits = text;
    std::uint64_t scale = 1;
    if (digits.size() > 2 && digits.compare(digits.size() - 2, 2, "ms") == 0) {
        digits.resize(digits.size() - 2);
    } else if (digits.size() > 1 && digits.back() == 's') {
        digits.pop_back();
        scale = 1000;
    }
    std::uint64_t number = 0;
    if (!parseUnsigned(digits, number) || number * scale > 3600000) return false;
    value = static_cast<unsigned>(number * scale);
    return true;
}

// "1-30ms": a range of times, each end as parseMilliseconds takes it; one time is a range too.
bool parseMillisecondRange(const std::string& text, std::uint64_t& packed) {
    const std::size_t dash = text.find('-');
    unsigned low = 0;
    unsigned high = 0;
    if (dash == std::string::npos) {
        if (!parseMilliseconds(text, low)) return false;
        high = low;
    } else if (!parseMilliseconds(text.substr(0, dash), low) ||
               !parseMilliseconds(text.substr(dash + 1), high) || high < low) {
        return false;
    }
    packed = (std::uint64_t{low} << 32) | high;
    return true;
}

// "0x20000010" or "20000010": a 32-bit address in hexadecimal.
bool parseAddress(const std::string& text, std::uint64_t& value) {
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits = digits.substr(2);
    if (digits.empty() || digits.size() > 8) return false;
    std::uint64_t result = 0;
    for (const char c : digits) {
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0) return false;
        result = result * 16 + static_cast<std::uint64_t>(digit);
    }
    value = result;
    return true;
}

enum class ValueKind { None, Probability, Count, Milliseconds, MillisecondRange, Seed, Address };

struct FaultItem {
    const char* name;
    ValueKind kind;
    bool valueRequired;
    std::function<void(FaultPlan&, double, std::uint64_t)> apply;
};

const std::vector<FaultItem>& faultItems() {
    static const std::vector<FaultItem> items = {
        {"drop-in", ValueKind::Probability, true,
         [](FaultPlan& p, double v, std::uint64_t) { p.dropIn = v; }},
        {"drop-out", ValueKind::Probability, true,
         [](FaultPlan& p, double v, std::uint64_t) { p.dropOut = v; }},
        {"dup-reply", ValueKind::Probability, false,
         [](FaultPlan& p, double v, std::uint64_t) { p.duplicateReply = v; }},
        {"dup-in", ValueKind::Probability, false,
         [](FaultPlan& p, double v, std::uint64_t) { p.duplicateIn = v; }},
        {"dup-out", ValueKind::Probability, false,
         [](FaultPlan& p, double v, std::uint64_t) { p.duplicateOut = v; }},
        {"reorder-in", ValueKind::Probability, false,
         [](FaultPlan& p, double v, std::uint64_t) { p.reorderIn = v; }},
        {"reorder-out", ValueKind::Probability, false,
         [](FaultPlan& p, double v, std::uint64_t) { p.reorderOut = v; }},
        {"delay-in", ValueKind::MillisecondRange, true,
         [](FaultPlan& p, double, std::uint64_t n) {
             p.delayIn = {static_cast<unsigned>(n >> 32), static_cast<unsigned>(n)};
         }},
        {"delay-out", ValueKind::MillisecondRange, true,
         [](FaultPlan& p, double, std::uint64_t n) {
             p.delayOut = {static_cast<unsigned>(n >> 32), static_cast<unsigned>(n)};
         }},
        {"delay-reply", ValueKind::Milliseconds, true,
         [](FaultPlan& p, double, std::uint64_t n) { p.delayReplyMs = static_cast<unsigned>(n); }},
        {"stale-first", ValueKind::Probability, false,
         [](FaultPlan& p, double v, std::uint64_t) { p.staleFirst = v; }},
        {"busy-first", ValueKind::Probability, false,
         [](FaultPlan& p, double v, std::uint64_t) { p.busyFirst = v; }},
        {"same-toggle-first", ValueKind::Probability, false,
         [](FaultPlan& p, double v, std::uint64_t) { p.sameToggleFirst = v; }},
        {"notify", ValueKind::Probability, false,
         [](FaultPlan& p, double v, std::uint64_t) { p.notify = v; }},
        {"token-first", ValueKind::Probability, false,
         [](FaultPlan& p, double v, std::uint64_t) { p.tokenFirst = v; }},
        {"tokens-between", ValueKind::Probability, false,
         [](FaultPlan& p, double v, std::uint64_t) { p.tokensBetween = v; }},
        {"sync-again", ValueKind::None, false,
         [](FaultPlan& p, double, std::uint64_t) { p.syncAgain = true; }},
        {"silent", ValueKind::None, false,
         [](FaultPlan& p, double, std::uint64_t) { p.silent = true; }},
        {"silent-after", ValueKind::Count, true,
         [](FaultPlan& p, double, std::uint64_t n) { p.silentAfter = static_cast<unsigned>(n); }},
        {"refuse", ValueKind::None, false,
         [](FaultPlan& p, double, std::uint64_t) { p.refuse = true; }},
        {"deny", ValueKind::None, false,
         [](FaultPlan& p, double, std::uint64_t) { p.deny = true; }},
        {"spoof", ValueKind::Probability, false,
         [](FaultPlan& p, double v, std::uint64_t) { p.spoof = v; }},
        {"restart-after", ValueKind::Count, true,
         [](FaultPlan& p, double, std::uint64_t n) { p.restartAfter = static_cast<unsigned>(n); }},
        {"release-fails", ValueKind::None, false,
         [](FaultPlan& p, double, std::uint64_t) { p.releaseFails = true; }},
        {"attach-fails", ValueKind::None, false,
         [](FaultPlan& p, double, std::uint64_t) { p.attachFails = true; }},
        {"ack-every", ValueKind::Count, true,
         [](FaultPlan& p, double, std::uint64_t n) { p.ackEvery = static_cast<unsigned>(n); }},
        {"repeat-idle", ValueKind::Milliseconds, true,
         [](FaultPlan& p, double, std::uint64_t n) { p.repeatIdleMs = static_cast<unsigned>(n); }},
        {"chatter", ValueKind::Milliseconds, true,
         [](FaultPlan& p, double, std::uint64_t n) { p.chatterMs = static_cast<unsigned>(n); }},
        {"reexecute", ValueKind::None, false,
         [](FaultPlan& p, double, std::uint64_t) { p.reexecute = true; }},
        {"seed", ValueKind::Seed, true, [](FaultPlan& p, double, std::uint64_t n) { p.seed = n; }},
        {"dap-wait", ValueKind::Count, true,
         [](FaultPlan& p, double, std::uint64_t n) {
             p.debugPort.waitEvery = static_cast<unsigned>(n);
         }},
        {"dap-wait-scans", ValueKind::Count, true,
         [](FaultPlan& p, double, std::uint64_t n) {
             p.debugPort.waitScans = static_cast<unsigned>(n);
         }},
        {"dap-sticky-error", ValueKind::Address, true,
         [](FaultPlan& p, double, std::uint64_t n) {
             p.debugPort.stickyErrorAt = static_cast<std::uint32_t>(n);
         }},
        {"dap-power-lost", ValueKind::Address, true,
         [](FaultPlan& p, double, std::uint64_t n) {
             p.debugPort.powerLostAt = static_cast<std::uint32_t>(n);
         }},
    };
    return items;
}

const char* valueDescription(ValueKind kind) {
    switch (kind) {
        case ValueKind::Probability:
            return "a probability between 0 and 1";
        case ValueKind::Count:
            return "a count from 1 to 1000000000";
        case ValueKind::Milliseconds:
            return "a time such as 20ms (at most 1 hour)";
        case ValueKind::MillisecondRange:
            return "a time or a range of times such as 1-30ms";
        case ValueKind::Seed:
            return "a decimal number";
        case ValueKind::Address:
            return "a hexadecimal address such as 0x20000010";
        case ValueKind::None:
            break;
    }
    return "no value";
}

bool applyItem(const std::string& item, FaultPlan& plan, std::string& error) {
    const std::size_t equals = item.find('=');
    const std::string name = trimmed(item.substr(0, equals));
    const bool hasValue = equals != std::string::npos;
    const std::string value = hasValue ? trimmed(item.substr(equals + 1)) : std::string();
    for (const FaultItem& known : faultItems()) {
        if (name != known.name) continue;
        const std::string problem = "fault '" + name + "' takes " + valueDescription(known.kind);
        if (!hasValue) {
            if (known.valueRequired) {
                error = problem;
                return false;
            }
            known.apply(plan, 1.0, 0);
            return true;
        }
        double probability = 0.0;
        std::uint64_t number = 0;
        unsigned milliseconds = 0;
        bool ok = false;
        switch (known.kind) {
            case ValueKind::None:
                ok = false;
                break;
            case ValueKind::Probability:
                ok = parseProbability(value, probability);
                break;
            case ValueKind::Count:
                ok = parseUnsigned(value, number) && number >= 1 && number <= 1000000000;
                break;
            case ValueKind::Milliseconds:
                ok = parseMilliseconds(value, milliseconds);
                number = milliseconds;
                break;
            case ValueKind::MillisecondRange:
                ok = parseMillisecondRange(value, number);
                break;
            case ValueKind::Seed:
                ok = parseUnsigned(value, number);
                break;
            case ValueKind::Address:
                ok = parseAddress(value, number);
                break;
        }
        if (!ok) {
            error = problem + ", not '" + value + "'";
            return false;
        }
        known.apply(plan, probability, number);
        return true;
    }
    error = "unknown fault '" + name + "'";
    return false;
}

}  // namespace

bool parseFaultList(const std::string& text, FaultPlan& plan, std::string& error) {
    FaultPlan parsed;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t comma = text.find(',', start);
        const std::size_t end = comma == std::string::npos ? text.size() : comma;
        const std::string item = trimmed(text.substr(start, end - start));
        if (item.empty()) {
            if (comma != std::string::npos || start != 0) {
                error = "empty item in the fault list";
                return false;
            }
        } else if (!applyItem(item, parsed, error)) {
            return false;
        }
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    plan = parsed;
    return true;
}

}  // namespace quorbit
