// SPDX-License-Identifier: Apache-2.0
// The cost of one of the bridge's link requests alone: the plug-in's raw-shift command of BITS
// clocks (TMS 0, so the TAP stays in Run-Test/Idle; TDO read back, as for an OpenOCD wait) through
// the host library, against a front end at NODE:PORT. bench.sh takes it from the bridge's time to
// leave the bridge's own work. Prints the microseconds per call of the whole block:
//   {"raw_shift_us": 41.3, "bits": 43, "calls": 2000}
//   krv-raw-shift-calls NODE PORT CALLS BITS
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "koraven-cse-plugin/CseTypes.h"
#include "session/CableSession.h"

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: krv-raw-shift-calls NODE PORT CALLS BITS\n");
        return 2;
    }
    const auto calls = static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10));
    const auto bits = static_cast<uint32_t>(std::strtoul(argv[4], nullptr, 10));
    if (calls == 0 || bits == 0 || bits > 61408) {
        std::fprintf(stderr, "krv-raw-shift-calls: CALLS at least 1, BITS 1..61408\n");
        return 2;
    }
    try {
        csesession::SessionOptions options;
        options.useFrontEnd = true;
        options.node = argv[1];
        options.port = static_cast<uint16_t>(std::strtoul(argv[2], nullptr, 10));
        csesession::CableSession session(options);
        (void)session.navigate(CsePluginInterface::CSEJTAG_RUN_TEST_IDLE);
        const std::vector<uint8_t> tms((bits + 7) / 8, 0);
        const std::vector<uint8_t> tdi(tms.size(), 0x5A);
        std::vector<uint8_t> tdo(tms.size(), 0);
        session.rawShift(tms.data(), tdi.data(), tdo.data(), bits);  // warm-up
        const auto start = std::chrono::steady_clock::now();
        for (unsigned i = 0; i < calls; ++i)
            session.rawShift(tms.data(), tdi.data(), tdo.data(), bits);
        const double micros =
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count();
        session.close();
        std::printf("{\"raw_shift_us\": %.2f, \"bits\": %u, \"calls\": %u}\n", micros / calls, bits,
                    calls);
    } catch (const csesession::SessionError& error) {
        std::fprintf(stderr, "krv-raw-shift-calls: %s\n", error.what());
        return 1;
    }
    return 0;
}
