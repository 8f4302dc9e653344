// SPDX-License-Identifier: Apache-2.0
#include "support/ArmSession.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>

#include "support/CommandRun.h"

namespace systemtest {
namespace {

const char* const kProgram = R"(    .syntax unified
    .cpu cortex-m0plus
    .thumb
    .section .vectors, "a"
    .word 0x20020000
    .word reset + 1
    .text
    .thumb_func
    .global reset
reset:
    ldr r0, =counter
loop:
    ldr r1, [r0]
    adds r1, r1, #1
    str r1, [r0]
    b loop
    .data
    .global counter
counter:
    .word 0x00c0ffee
    .global table
table:
    .fill 1024, 4, 0x5a5a5a5a
)";

const char* const kLinkerScript = R"(MEMORY { RAM (rwx) : ORIGIN = 0x20000000, LENGTH = 128K }
ENTRY(reset)
SECTIONS {
    .vectors : { KEEP(*(.vectors)) } > RAM
    .text : { *(.text*) } > RAM
    .data : { *(.data*) } > RAM
}
)";

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

}  // namespace

ArmWorkspace::ArmWorkspace() {
    std::string pattern = (std::filesystem::temp_directory_path() / "krv-arm-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) folder_ = pattern;
}

ArmWorkspace::~ArmWorkspace() {
    std::error_code ignored;
    if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
}

std::string ArmWorkspace::image(unsigned bytes, unsigned seed) {
    std::mt19937 random(seed);
    std::string data(bytes, '\0');
    for (char& byte : data) byte = static_cast<char>(random() & 0xFF);
    const std::string path = folder_ + "/image-" + std::to_string(seed) + ".bin";
    writeFile(path, data);
    return path;
}

std::string ArmWorkspace::elf(std::string& why) {
    const std::string as = findOnPath("arm-none-eabi-as");
    const std::string ld = findOnPath("arm-none-eabi-ld");
    if (as.empty() || ld.empty()) {
        why = "binutils-arm-none-eabi is not installed (scripts/install-deps.sh test installs it)";
        return {};
    }
    writeFile(folder_ + "/program.s", kProgram);
    writeFile(folder_ + "/ram.ld", kLinkerScript);
    const std::string object = folder_ + "/program.o";
    const std::string linked = folder_ + "/program.elf";
    const CommandRun assembled = runCommand({as, "-o", object, folder_ + "/program.s"}, 60);
    const CommandRun link = runCommand({ld, "-T", folder_ + "/ram.ld", "-o", linked, object}, 60);
    if (assembled.exitCode != 0 || link.exitCode != 0) {
        why = "cannot build the test program: " + assembled.output + link.output;
        return {};
    }
    return linked;
}

std::vector<std::string> openOcdOnArm(const std::string& openocd, int port,
                                      const std::vector<std::string>& commands) {
    std::vector<std::string> args = {openocd,
                                     "-c",
                                     "set RBB_PORT " + std::to_string(port),
                                     "-f",
                                     KRV_OPENOCD_ARM_CONFIG,
                                     "-c",
                                     "gdb_port disabled",
                                     "-c",
                                     "tcl_port disabled",
                                     "-c",
                                     "telnet_port disabled"};
    for (const std::string& command : commands) args.insert(args.end(), {"-c", command});
    return args;
}

std::vector<std::string> gdbOnArm(const std::string& gdb, const std::string& openocd, int port,
                                  const std::string& elf,
                                  const std::vector<std::string>& commands) {
    const std::string server = "target extended-remote | " + openocd + " -c 'set RBB_PORT " +
                               std::to_string(port) + "' -f " + KRV_OPENOCD_ARM_CONFIG +
                               " -c 'gdb_port pipe' -c 'tcl_port disabled'" +
                               " -c 'telnet_port disabled' -c 'log_output /dev/null'";
    std::vector<std::string> args = {gdb, "-batch", "-nx", "-ex", "set confirm off", "-ex", server};
    for (const std::string& command : commands) args.insert(args.end(), {"-ex", command});
    args.push_back(elf);
    return args;
}

std::string comparableOutput(const std::string& output) {
    static const std::regex connecting("Connecting to 127\\.0\\.0\\.1:[0-9]+");
    static const std::regex rate(" in [0-9.]+s \\([0-9.]+ KiB/s\\)");
    static const std::regex transfer("^Transfer rate: .*$");
    static const std::regex portEcho("^[0-9]+$");  // the configuration's port, echoed
    std::istringstream lines(output);
    std::string kept;
    for (std::string line; std::getline(lines, line);) {
        line = std::regex_replace(line, connecting, "Connecting to 127.0.0.1:PORT");
        line = std::regex_replace(line, rate, " in TIME");
        line = std::regex_replace(line, transfer, "Transfer rate: RATE");
        line = std::regex_replace(line, portEcho, "PORT");
        kept += line + "\n";
    }
    return kept;
}

}  // namespace systemtest
