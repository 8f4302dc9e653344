// SPDX-License-Identifier: Apache-2.0
// cse-host serve: OpenOCD's remote_bitbang protocol on TCP, carried out through the open and
// locked plug-in until SIGINT or SIGTERM; then the session unlocks and closes as after any command.
#include <cstdio>
#include <mutex>
#include <string>

#include "host/HostSession.h"
#include "host/InterruptWatch.h"

#if defined(_WIN32)

namespace csehost {

Outcome HostSession::serve(const HostCommand&) {
    return usage("serve is not available in this build (POSIX sockets only)");
}

}  // namespace csehost

#else

#include "bridge/BitbangServer.h"
#include "bridge/SessionCable.h"

namespace csehost {
namespace {

std::mutex gServing;
csebridge::BitbangServer* gServer = nullptr;

void stopServing() {
    std::lock_guard<std::mutex> lock(gServing);
    if (gServer != nullptr) gServer->requestStop();
}

void note(const std::string& line) {
    std::fprintf(stderr, "cse-host: %s\n", line.c_str());
}

}  // namespace

Outcome HostSession::serve(const HostCommand& command) {
    csebridge::SessionCable cable(*session_);
    csebridge::ServerOptions options;
    options.bindAddress = command.rbbBind;
    options.port = command.rbbPort;
    csebridge::BitbangServer server(cable, options, note);
    std::string error;
    if (!server.open(error)) return failed(error);
    std::printf("remote_bitbang on %s:%u\n", command.rbbBind.c_str(), server.port());
    std::fflush(stdout);
    {
        std::lock_guard<std::mutex> lock(gServing);
        gServer = &server;
    }
    InterruptWatch::onInterrupt(stopServing);
    server.serve();
    InterruptWatch::onInterrupt(nullptr);
    {
        std::lock_guard<std::mutex> lock(gServing);
        gServer = nullptr;
    }
    const csebridge::ServerTotals totals = server.totals();
    std::fprintf(stderr,
                 "cse-host: remote_bitbang: %llu clients, %llu clocks carried out in %llu raw "
                 "shifts, %llu reads answered (%llu TMS resets for TRST; %llu failed calls, %llu "
                 "recoveries, %llu clients served errors)\n",
                 static_cast<unsigned long long>(totals.clients),
                 static_cast<unsigned long long>(totals.cable.clocks),
                 static_cast<unsigned long long>(totals.cable.shifts),
                 static_cast<unsigned long long>(totals.cable.reads),
                 static_cast<unsigned long long>(totals.cable.resets),
                 static_cast<unsigned long long>(totals.failedCalls),
                 static_cast<unsigned long long>(totals.recoveries),
                 static_cast<unsigned long long>(totals.clientsRefused));
    return Outcome::kSuccess;
}

}  // namespace csehost

#endif
