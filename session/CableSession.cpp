// SPDX-License-Identifier: Apache-2.0
// One session with the plug-in in the host's call order: create, openTarget, lockTarget,
// scanJTAGChain, setIRLength for every device, the operations, unlockTarget, closeTarget, destroy.
// The plug-in object is driven only through its virtual interface.
#include "session/CableSession.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>

#include "koraven-cse-plugin/CsePlugin.h"
#include "session/CableSessionState.h"
#include "session/ChainSearch.h"
#include "session/EmbeddedEmulator.h"
#include "session/HexBits.h"
#include "session/IrLengthDerivation.h"
#include "session/NodeResolution.h"
#include "session/PluginExports.h"
#include "session/PluginMessages.h"
#include "session/PluginSearch.h"
#include "session/TdoProbe.h"

namespace csesession {

namespace {

std::string joined(const std::string& headline, const std::vector<std::string>& lines) {
    std::string text = headline;
    for (const std::string& line : lines) text += "; " + line;
    return text;
}

}  // namespace

SessionError::SessionError(ErrorKind kind, const std::string& headline,
                           std::vector<std::string> pluginErrors)
    : std::runtime_error(joined(headline, pluginErrors)),
      kind_(kind),
      headline_(headline),
      pluginErrors_(std::move(pluginErrors)) {}

const std::vector<Device>& CableSession::devices() const {
    return state_->devices;
}

const std::string& CableSession::scanProblem() const {
    return state_->scanProblem;
}

const std::string& CableSession::irLengthProblem() const {
    return state_->irLengthProblem;
}

std::string CableSession::frontEnd() const {
    return state_->node + ":" + std::to_string(state_->port);
}

bool CableSession::embedded() const {
    return !state_->options.useFrontEnd;
}

bool CableSession::mergedShifts() const {
    return state_->options.shifts == "merged";
}

std::optional<uint32_t> CableSession::bypassDeviceCount() const {
    return state_->bypassCount;
}

bool CableSession::chainScanned() const {
    return state_->scanned;
}

bool CableSession::irPathFaulty() const {
    return state_->irPathFaulty;
}

uint32_t CableSession::irPathBits() const {
    return state_->irMeasured ? state_->irTotalBits : 0;
}

bool CableSession::instructionsLoaded() const {
    return state_->instructions == Instructions::kLoaded;
}

bool CableSession::instructionsUnknown() const {
    return state_->instructions == Instructions::kUnknown;
}

void CableSession::noteTapReset() {
    state_->instructions = Instructions::kReset;
}

void CableSession::noteInstructionsLoaded() {
    state_->instructions = Instructions::kLoaded;
}

void CableSession::noteFailedCall() {
    ++state_->failedCalls;
    state_->forgetInstructions(kAfterAFailedCall);
}

uint64_t CableSession::failedCalls() const {
    return state_->failedCalls;
}

CseJtagTapState CableSession::tapState() {
    return state_->live().plugin->getTAPState();
}

CsePluginInterface::ICsePlugin& CableSession::plugin() {
    if (state_->plugin == nullptr) throw SessionError(ErrorKind::kUsage, "the session is closed");
    return *state_->plugin;
}

std::vector<std::string> CableSession::takePluginErrors() {
    return state_->messages.takeErrors();
}

void CableSession::close() {
    state_->shut(false);
}

}  // namespace csesession
