// SPDX-License-Identifier: Apache-2.0
// Taking the host's node and port, opening the debugger link, and closing it.
#include <cstdint>
#include <cstring>

#include "remote/RemoteLink.h"
#include "target/QXCsePlugin.h"

namespace CsePluginInterface {
namespace {

constexpr char kInitializeTargetName[] = "QXCsePlugin::initializeTargetImpl";
constexpr char kOpenTargetName[] = "QXCsePlugin::openTargetImpl";
constexpr char kCloseTargetName[] = "QXCsePlugin::closeTargetImpl";

constexpr char kDefaultNode[] = "localhost";
constexpr char kDefaultPort[] = "20000";

// The optional link settings a host may give beside node and port. The link is process-wide, so an
// absent key sets the link's default again: an earlier open's value must not outlive its session.
struct LinkSetting {
    const char* key;
    const char* item;
    uint32_t lowest;
    uint32_t highest;
    const char* refusal;
    const char* absent;  // the link's default
};

constexpr LinkSetting kLinkSettings[] = {
    {"timeout", "TIMEOUT=", 1, 3600, "Timeout %s not accepted (seconds 1..3600)\n", "5"},
    {"packlen", "PACKLEN=", 16, 1472, "Packet length %s not accepted (16..1472)\n", "1024"},
    {"hostport", "HOSTPORT=", 0, 65535, "Host port %s not accepted (0..65535)\n", "0"},
};

// Decimal digits only, at most ten, within the setting's range.
bool withinRange(const char* text, const LinkSetting& setting) {
    uint64_t value = 0;
    size_t digits = 0;
    for (const char* c = text; *c != '\0'; ++c, ++digits) {
        if (*c < '0' || *c > '9' || digits >= 10) return false;
        value = value * 10 + static_cast<uint64_t>(*c - '0');
    }
    return digits > 0 && value >= setting.lowest && value <= setting.highest;
}

// The release's answer: done, or the front end holds no link with us (restarted since the last
// call), so no TAP access of ours either.
bool releasedOrNoLink(int result) {
    return result == 0 || result == kLinkLostResult;
}

}  // namespace

CseResult QXCsePlugin::initializeTargetImpl(uint32_t argc, const char* const* argv) {
    traceEnter(kInitializeTargetName);
    // Both look-ups come before the first configuration call.
    const char* node = findKey(argc, argv, "node");
    if (node == nullptr) node = kDefaultNode;
    const char* port = findKey(argc, argv, "port");
    if (port == nullptr) port = kDefaultPort;

    if (KRV_SetConfigItem("NODE=", node) == -1) {
        logMessage(CSE_MESSAGE_ERROR, "hostname %s not accepted\n", node);
        return traceExit(kInitializeTargetName, CSE_FAILURE);
    }
    if (KRV_SetConfigItem("PORT=", port) == -1) {
        logMessage(CSE_MESSAGE_ERROR, "Port %s not accepted\n", port);
        return traceExit(kInitializeTargetName, CSE_FAILURE);
    }
    // Not a setting of the link: how this target sends its chain shifts.
    const char* shifts = findKey(argc, argv, "shifts");
    if (shifts == nullptr || std::strcmp(shifts, "split") == 0) {
        shiftMode = ShiftMode::Split;
    } else if (std::strcmp(shifts, "merged") == 0) {
        shiftMode = ShiftMode::Merged;
    } else {
        logMessage(CSE_MESSAGE_ERROR, "Shifts %s not accepted (split or merged)\n", shifts);
        return traceExit(kInitializeTargetName, CSE_FAILURE);
    }
    const char* retransmit = findKey(argc, argv, "retransmit");
    if (retransmit == nullptr || std::strcmp(retransmit, "auto") == 0) {
        retransmitSetting = RetransmitSetting::Auto;
    } else if (std::strcmp(retransmit, "on") == 0) {
        retransmitSetting = RetransmitSetting::On;
    } else if (std::strcmp(retransmit, "off") == 0) {
        retransmitSetting = RetransmitSetting::Off;
    } else {
        logMessage(CSE_MESSAGE_ERROR, "Retransmit %s not accepted (auto, on or off)\n", retransmit);
        return traceExit(kInitializeTargetName, CSE_FAILURE);
    }
    for (const LinkSetting& setting : kLinkSettings) {
        const char* value = findKey(argc, argv, setting.key);
        if (value == nullptr) value = setting.absent;
        if (!withinRange(value, setting) || KRV_SetConfigItem(setting.item, value) == -1) {
            logMessage(CSE_MESSAGE_ERROR, setting.refusal, value);
            return traceExit(kInitializeTargetName, CSE_FAILURE);
        }
    }
    return traceExit(kInitializeTargetName, CSE_SUCCESS);
}

// The two lines above suit a front end that is not there; the link knows which cause it was.
void QXCsePlugin::logConnectFailure() {
    const char* text = "";
    switch (KRV_ConnectFailure(&text)) {
        case LinkOpenFailure::kRefused:
            logMessage(CSE_MESSAGE_ERROR,
                       "The front end answered but refused the link: another client (a tool "
                       "chain, cse-host) holds it.\n");
            break;
        case LinkOpenFailure::kNoAnswer:
            logMessage(CSE_MESSAGE_ERROR,
                       "Nothing answered the connect requests at the node and port given.\n");
            break;
        case LinkOpenFailure::kNotListening:
            logMessage(CSE_MESSAGE_ERROR,
                       "Nothing listens at the port given on this machine (the port is closed): "
                       "the front end is not running, or its remote interface uses another "
                       "port.\n");
            break;
        case LinkOpenFailure::kLocalPort:
            logMessage(CSE_MESSAGE_ERROR,
                       "The local UDP port of the link cannot be used (%s): another program holds "
                       "it, or hostport= names a port this machine refuses.\n",
                       text);
            break;
        case LinkOpenFailure::kNoSync:
            logMessage(CSE_MESSAGE_ERROR,
                       "The front end accepted the link but did not answer its synchronisation.\n");
            break;
        case LinkOpenFailure::kOther:
            if (*text != '\0') logMessage(CSE_MESSAGE_ERROR, "The link: %s.\n", text);
            break;
        case LinkOpenFailure::kNone:
            break;
    }
}

CseResult QXCsePlugin::openTargetImpl(uint32_t argc, const char* const* argv, uint32_t opaque1,
                                      uint32_t opaque2) {
    (void)opaque1;
    (void)opaque2;
    traceEnter(kOpenTargetName);
    // The word size of the build that runs, so a 64-bit library does not call itself 32-bit.
    logMessage(CSE_MESSAGE_INFO, "Initializing KORAVEN-CsePlugin (%s)\n",
               sizeof(void*) == 8 ? "64bit" : "32bit");
    KRV_Disconnect();  // ends a link an earlier open left behind
    tapReleased = false;
    tapUncertain = false;
    instructions.reset(static_cast<CseJtagTapState>(currentTapState));
    linkLost = false;

    if (initializeTargetImpl(argc, argv) == CSE_FAILURE) {
        logMessage(CSE_MESSAGE_ERROR, "error parsing arguments\n");
        return traceExit(kOpenTargetName, CSE_FAILURE);
    }
    // Until the front end has shown what it does with a repeated request, only requests that
    // change nothing when carried out twice go out again.
    KRV_SetRetransmit(retransmitSetting == RetransmitSetting::On    ? LinkRetransmit::On
                      : retransmitSetting == RetransmitSetting::Off ? LinkRetransmit::Off
                                                                    : LinkRetransmit::Idempotent);
    retransmitState = "off: not open";
    if (KRV_Connect() == -1) {
        logMessage(CSE_MESSAGE_ERROR, "Failed to set up connection to KORAVEN debugger hardware\n");
        logMessage(CSE_MESSAGE_ERROR,
                   "Assure that the KORAVEN Quorbit GUI is running and configured for Remote API "
                   "access.\n");
        logConnectFailure();
        return traceExit(kOpenTargetName, CSE_FAILURE);
    }
    logMessage(CSE_MESSAGE_STATUS, "packet length %d negotiated with the KORAVEN debugger\n",
               KRV_PacketLength());
    if (KRV_Attach() != 0) {
        logMessage(CSE_MESSAGE_ERROR, "Error calling KRV_Attach.\n");
        return traceExit(kOpenTargetName, CSE_FAILURE);
    }
    settleRetransmission();
    // The pins are enabled on every open; a refusal shows later as failing shifts. No answer at
    // all is another matter: with the pins perhaps off, IR shifts would pass with stale TDO bits.
    if (KRV_ExecuteCommand("JTAG.PIN ENABLE") < 0) {
        logMessage(CSE_MESSAGE_ERROR, "Error calling KRV_ExecuteCommand.\n");
        return traceExit(kOpenTargetName, CSE_FAILURE);
    }
    return traceExit(kOpenTargetName, CSE_SUCCESS);
}

void QXCsePlugin::settleRetransmission() {
    switch (retransmitSetting) {
        case RetransmitSetting::On:
            retransmitState = "on: retransmit=on";
            break;
        case RetransmitSetting::Off:
            retransmitState = "off: retransmit=off";
            break;
        case RetransmitSetting::Auto: {
            // The attach changes nothing when carried out twice: it is what the probe repeats.
            const LinkRepeatAnswer answer = KRV_ProbeRepeatedRequest();
            retransmitState = answer == LinkRepeatAnswer::RepeatsReply
                                  ? "on: the front end answers a repeated request with its reply"
                              : answer == LinkRepeatAnswer::ExecutesAgain
                                  ? "off: the front end carries a repeated request out again"
                                  : "off: the front end did not answer a repeated request";
            KRV_SetRetransmit(answer == LinkRepeatAnswer::RepeatsReply ? LinkRetransmit::On
                                                                       : LinkRetransmit::Off);
            break;
        }
    }
    logMessage(CSE_MESSAGE_STATUS, "retransmission %s\n", retransmitState);
}

CseResult QXCsePlugin::closeTargetImpl() {
    traceEnter(kCloseTargetName);
    // After an unlock the TAP access is already ended: the debugger hears one release. A front
    // end that holds no link with us any more holds no TAP access of ours either.
    const CseResult result =
        tapReleased || linkLost || releasedOrNoLink(KRV_ReleaseTAP()) ? CSE_SUCCESS : CSE_FAILURE;
    tapReleased = false;
    KRV_Disconnect();  // whatever the release gave
    return traceExit(kCloseTargetName, result);
}

}  // namespace CsePluginInterface
