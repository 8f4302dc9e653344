// SPDX-License-Identifier: Apache-2.0
// remote_bitbang over TCP in front of a cable: one client at a time (a second connection is
// refused with a note), each served until it quits, sends a byte that is not a command or goes
// away; then the next. A thread of its own reads each client's socket as fast as it writes, so
// that a client never finds its socket full while the cable works (OpenOCD gives up then).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "bridge/BitbangBatcher.h"
#include "bridge/JtagCable.h"

namespace csebridge {

struct ServerOptions {
    std::string bindAddress = "127.0.0.1";  // the protocol has no authentication
    uint16_t port = 3335;                   // 0: a free port, see port()
};

struct ServerTotals {
    uint64_t clients = 0;
    uint64_t refusedConnections = 0;
    BatchCounts cable;  // over all clients
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
    void serveClient(int fd, const std::string& peer);
    void refuseWaiting();

    JtagCable& cable_;
    ServerOptions options_;
    NoteSink note_;
    int listener_ = -1;
    int stopRead_ = -1;
    int stopWrite_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    ServerTotals totals_;
};

}  // namespace csebridge
