// The commands of a session: what each asks of the plug-in and what it prints.
#include <string>
#include <vector>

#include "host/HexBits.h"
#include "host/HostSession.h"
#include "host/IdcodeFields.h"
#include "koraven-cse-plugin/CsePlugin.h"

namespace csehost {

using CsePluginInterface::cseFailed;
using CsePluginInterface::CSEJTAG_RUN_TEST_IDLE;
using CsePluginInterface::CseJtagTapState;

namespace {

constexpr uint32_t kIdcodeBits = 32;

std::string hexNumber(uint32_t value, int digits) {
    char text[16] = {};
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

}  // namespace

Outcome HostSession::checkDevice(uint32_t device) {
    if (device < deviceCount_) return Outcome::kSuccess;
    return usage("device " + std::to_string(device) + " is out of range: the chain has " +
                 std::to_string(deviceCount_) + " devices (0.." +
                 std::to_string(deviceCount_ == 0 ? 0 : deviceCount_ - 1) + ")");
}

Outcome HostSession::needIrLengths(const HostCommand& command) {
    if (irLengthsKnown_) return Outcome::kSuccess;
    return usage("'" + command.text + "' needs the IR length of every device, and " +
                 irLengthProblem_ +
                 "; give them with --irlen (device 0 first, e.g. --irlen 6,8,4)");
}

Outcome HostSession::scan() {
    std::fprintf(results_, "dev  idcode      version  part    bank  id    irlen\n");
    for (uint32_t device = 0; device < deviceCount_; ++device) {
        const uint32_t idcode = plugin_->getDeviceID(device);
        const std::string irLength =
            irLengthsKnown_ ? std::to_string(plugin_->getIRLength(device)) : "?";
        const IdcodeFields fields = decodeIdcode(idcode);
        if (fields.present) {
            std::fprintf(results_, "%3u  %s  %7u  %s  %4u  %s  %5s\n", device,
                         hexNumber(idcode, 8).c_str(), fields.version,
                         hexNumber(fields.part, 4).c_str(), fields.bank,
                         hexNumber(fields.id, 2).c_str(), irLength.c_str());
        } else {
            std::fprintf(results_, "%3u  %-10s  %7s  %-6s  %4s  %-4s  %5s\n", device, "-", "-", "-",
                         "-", "-", irLength.c_str());
        }
    }
    std::fprintf(results_, "%u device%s\n", deviceCount_, deviceCount_ == 1 ? "" : "s");
    if (!irLengthsKnown_) {
        std::fprintf(stderr,
                     "cse-host: IR lengths unknown: %s; --irlen is needed for device-level "
                     "commands\n",
                     irLengthProblem_.c_str());
    }
    return Outcome::kSuccess;
}

Outcome HostSession::readIdcode(uint32_t device) {
    if (checkDevice(device) != Outcome::kSuccess) return Outcome::kUsage;
    if (plugin_->getDeviceID(device) == 0) {
        return failed("device " + std::to_string(device) +
                      " has no IDCODE register (it answered the scan with a BYPASS bit)");
    }
    // After a reset every device presents its IDCODE (32 bits) or its BYPASS bit; the devices
    // nearer TDO come out first.
    uint32_t offset = 0;
    uint32_t totalBits = 0;
    for (uint32_t other = deviceCount_; other-- > 0;) {
        const uint32_t width = plugin_->getDeviceID(other) != 0 ? kIdcodeBits : 1;
        if (other > device) offset += width;
        totalBits += width;
    }
    if (!resetTap()) return failed("cannot reset the TAP");
    std::vector<uint8_t> buffer((totalBits + 7) / 8, 0);
    if (cseFailed(plugin_->shiftChainDR(buffer.data(), buffer.data(), nullptr, nullptr, totalBits,
                                        CSEJTAG_RUN_TEST_IDLE, 0, 0))) {
        return failed("the DR shift failed");
    }
    uint32_t idcode = 0;
    for (uint32_t bit = 0; bit < kIdcodeBits; ++bit) {
        if (bitAt(buffer.data(), offset + bit)) idcode |= 1u << bit;
    }
    std::fprintf(results_, "%s\n", hexNumber(idcode, 8).c_str());
    return Outcome::kSuccess;
}

Outcome HostSession::deviceScan(const HostCommand& command) {
    if (checkDevice(command.device) != Outcome::kSuccess) return Outcome::kUsage;
    if (needIrLengths(command) != Outcome::kSuccess) return Outcome::kUsage;
    const bool ir = command.kind == CommandKind::kIrScan;
    if (ir && command.bitCount > plugin_->getIRLength(command.device)) {
        return usage("device " + std::to_string(command.device) + " has an IR of " +
                     std::to_string(plugin_->getIRLength(command.device)) + " bits; " +
                     std::to_string(command.bitCount) + " bits do not fit");
    }
    std::vector<uint8_t> tdo(command.tdi.size(), 0);
    const auto result =
        ir ? plugin_->shiftDeviceIR(command.device, command.tdi.data(), tdo.data(), nullptr,
                                    nullptr, command.bitCount, CSEJTAG_RUN_TEST_IDLE, 0, 0)
           : plugin_->shiftDeviceDR(command.device, command.tdi.data(), tdo.data(), nullptr,
                                    nullptr, command.bitCount, CSEJTAG_RUN_TEST_IDLE, 0, 0);
    if (cseFailed(result)) return failed("'" + command.text + "' failed");
    std::fprintf(results_, "0x%s\n", formatHexBits(tdo.data(), command.bitCount).c_str());
    return Outcome::kSuccess;
}

Outcome HostSession::chainScan(const HostCommand& command) {
    std::vector<uint8_t> tdo(command.tdi.size(), 0);
    const bool ir = command.kind == CommandKind::kIrScanChain;
    const auto result = ir ? plugin_->shiftChainIR(command.tdi.data(), tdo.data(), nullptr, nullptr,
                                                   command.bitCount, CSEJTAG_RUN_TEST_IDLE, 0, 0)
                           : plugin_->shiftChainDR(command.tdi.data(), tdo.data(), nullptr, nullptr,
                                                   command.bitCount, CSEJTAG_RUN_TEST_IDLE, 0, 0);
    if (cseFailed(result)) return failed("'" + command.text + "' failed");
    std::fprintf(results_, "0x%s\n", formatHexBits(tdo.data(), command.bitCount).c_str());
    return Outcome::kSuccess;
}

Outcome HostSession::moveTap(const HostCommand& command) {
    const auto state = static_cast<CseJtagTapState>(command.state);
    const auto result = command.hasWait
                            ? plugin_->navigateTAP(state, command.clocks, command.waitMicroseconds)
                            : plugin_->navigateTAP(state, command.clocks);
    if (cseFailed(result)) return failed("'" + command.text + "' failed");
    std::fprintf(results_, "%s\n", tapStateName(plugin_->getTAPState()).c_str());
    return Outcome::kSuccess;
}

}  // namespace csehost
