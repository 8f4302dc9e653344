// SPDX-License-Identifier: Apache-2.0
// The C++ side of the Python module's benchmark rows: the same calls koraven_cse makes, through
// the host library's API on the embedded emulator. Prints per-call microseconds of one block:
//   {"navigation_us": 52.1, "drscan_chain_us": 6120.0, "bits": 1048576}
//   krv-session-calls NAVIGATIONS SHIFTS BITS
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "session/CableSession.h"

namespace {

using Clock = std::chrono::steady_clock;

double microsecondsPerCall(Clock::time_point start, unsigned calls) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / calls;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: krv-session-calls NAVIGATIONS SHIFTS BITS\n");
        return 2;
    }
    const auto navigations = static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10));
    const auto shifts = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10));
    const auto bits = static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10));
    try {
        csesession::CableSession session{csesession::SessionOptions{}};
        std::vector<uint8_t> tdi((bits + 7) / 8, 0x5A);
        std::vector<uint8_t> tdo(tdi.size(), 0);
        // Warm up as the Python side does, then alternate between two states so that every
        // navigation walks the TAP.
        session.chainScan(csesession::Register::kDr, tdi.data(), tdo.data(), bits);
        auto start = Clock::now();
        for (unsigned i = 0; i < navigations; ++i) {
            (void)session.navigate(i % 2 == 0 ? CsePluginInterface::CSEJTAG_PAUSE_DR
                                              : CsePluginInterface::CSEJTAG_RUN_TEST_IDLE);
        }
        const double navigation = microsecondsPerCall(start, navigations);
        start = Clock::now();
        for (unsigned i = 0; i < shifts; ++i) {
            session.chainScan(csesession::Register::kDr, tdi.data(), tdo.data(), bits);
        }
        const double shift = microsecondsPerCall(start, shifts);
        session.close();
        std::printf("{\"navigation_us\": %.2f, \"drscan_chain_us\": %.2f, \"bits\": %u}\n",
                    navigation, shift, bits);
    } catch (const csesession::SessionError& error) {
        std::fprintf(stderr, "krv-session-calls: %s\n", error.what());
        return 1;
    }
    return 0;
}
