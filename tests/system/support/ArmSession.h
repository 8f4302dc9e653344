// SPDX-License-Identifier: Apache-2.0
// OpenOCD and GDB on the Cortex-M core of quorbit-sim's arm chain, through the project's OpenOCD
// configuration: their command lines for a remote_bitbang port, a folder of their own with the
// test's files (a random image, a small ARM ELF assembled and linked there), and their output
// with what differs from run to run (ports, times, rates) taken out.
#pragma once

#include <string>
#include <vector>

namespace systemtest {

class ArmWorkspace {
  public:
    ArmWorkspace();   // a fresh temporary folder
    ~ArmWorkspace();  // removed with its files
    ArmWorkspace(const ArmWorkspace&) = delete;
    ArmWorkspace& operator=(const ArmWorkspace&) = delete;

    // A file of `bytes` pseudo-random bytes (from `seed`); its path.
    std::string image(unsigned bytes, unsigned seed);
    // The ELF of a small Thumb program linked into RAM at 0x20000000 (a vector table, a loop, a
    // word `counter` = 0x00C0FFEE and `table`, 1024 words of 0x5A5A5A5A); empty without Debian's
    // binutils-arm-none-eabi (`why` then says so).
    std::string elf(std::string& why);
    [[nodiscard]] const std::string& folder() const { return folder_; }

  private:
    std::string folder_;
};

// OpenOCD with the arm chain's configuration on `port`, its servers closed, then `commands`.
std::vector<std::string> openOcdOnArm(const std::string& openocd, int port,
                                      const std::vector<std::string>& commands);
// GDB in batch mode on `elf`, connected to such an OpenOCD through a pipe, then `commands`.
std::vector<std::string> gdbOnArm(const std::string& gdb, const std::string& openocd, int port,
                                  const std::string& elf, const std::vector<std::string>& commands);
// The output without the lines and figures that differ between two runs of the same session.
std::string comparableOutput(const std::string& output);

}  // namespace systemtest
