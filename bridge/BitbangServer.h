// SPDX-License-Identifier: Apache-2.0
// remote_bitbang over TCP in front of a cable: one client at a time (a second connection is
// refused with a note), each served until it quits, sends a byte that is not a command or goes
// away; then the next. Each client's socket is read ahead of the cable, up to kInputLimit bytes
// (by a standby thread while a call is under way), so that OpenOCD, which gives up on a full
// socket, does not meet one in practice. A window of clocks is carried out when the client has
// sent all it will before it waits (see BitbangServer.cpp). After a failed cable call the
// client's reads get errors, and the cable is recovered before anything else is carried out.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "bridge/BitbangBatcher.h"
#include "bridge/JtagCable.h"

namespace csebridge {

struct ServerOptions {
    std::string bindAddress = "127.0.0.1";  // the protocol has no authentication
    uint16_t port = 3335;                   // 0: a free port, see port()
};

// Bytes a client may have sent that the cable has not carried out; beyond, the socket fills.
constexpr std::size_t kInputLimit = std::size_t{32} << 20;

struct ServerTotals {
    uint64_t clients = 0;
    uint64_t refusedConnections = 0;
    uint64_t failedCalls = 0;     // cable calls that failed
    uint64_t recoveries = 0;      // the cable working again after a failure
    uint64_t clientsRefused = 0;  // clients served with errors: the cable was not available
    BatchCounts cable;            // over all clients, failed ones too
};

class BitbangServer {
  public:
    BitbangServer(JtagCable& cable, ServerOptions options, NoteSink note);
    ~BitbangServer();
    BitbangServer(const BitbangServer&) = delete;
    BitbangServer& operator=(const BitbangServer&) = delete;

    // Binds and listens; false with a one-line reason.
    bool open(std::string& error);
    [[nodiscard]] uint16_t port() const { return port_; }
    // Serves clients until requestStop(); a client connected then is closed first.
    void serve();
    // Safe from a signal handler and from any thread.
    void requestStop() noexcept;
    [[nodiscard]] ServerTotals totals() const;

  private:
    class ClientInput;
    class StandbyCable;
    void serveClient(int fd, const std::string& peer);
    std::string serveInput(int fd, const std::string& peer, ClientInput& input, JtagCable& cable,
                           BitbangBatcher& batcher);
    // The cable failed under a client: noted and recovered once, before the client's reads are
    // answered with errors.
    void cableFailed(JtagCable& cable, const std::string& peer, const std::string& why);
    bool recoverCable(JtagCable& cable);
    void refuseWaiting();

    JtagCable& cable_;
    ServerOptions options_;
    NoteSink note_;
    int listener_ = -1;
    int stopRead_ = -1;
    int stopWrite_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    bool cableReady_ = true;  // false after a failed call until a recovery worked
    ServerTotals totals_;
};

}  // namespace csebridge
