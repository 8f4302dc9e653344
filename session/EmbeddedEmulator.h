// SPDX-License-Identifier: Apache-2.0
// quorbit-sim started inside the host process, for sessions without a front end.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace quorbit {
class Simulator;
}

namespace csesession {

class EmbeddedEmulator {
  public:
    EmbeddedEmulator();
    ~EmbeddedEmulator();
    EmbeddedEmulator(const EmbeddedEmulator&) = delete;
    EmbeddedEmulator& operator=(const EmbeddedEmulator&) = delete;

    // Reads the chain file (empty = the demo chain) and the board faults (quorbit-sim's
    // --board-fault kinds, comma separated). A chain file or fault list that cannot be read or
    // parsed, or that do not fit together, is the user's to fix.
    enum class StartResult {
        kStarted,
        kBadChain,
        kFailed,
        kUnavailable  // this build has none: the caller must give a front end (a usage error)
    };
    [[nodiscard]] StartResult start(const std::string& chainPath, const std::string& boardFaults,
                                    std::string& error);
    // Before start: write every datagram of the link to this capture file (empty: none).
    void setCapture(const std::string& pcapPath) { pcapPath_ = pcapPath; }
    // Before start: the UDP port to listen on (0: a free one).
    void setPort(uint16_t port) { requestedPort_ = port; }

    [[nodiscard]] std::string node() const { return "127.0.0.1"; }
    [[nodiscard]] uint16_t port() const;

  private:
    std::string pcapPath_;
    uint16_t requestedPort_ = 0;
#if !defined(_WIN32)  // the Windows build has no emulator to hold
    std::unique_ptr<quorbit::Simulator> simulator_;
#endif
};

}  // namespace csesession
