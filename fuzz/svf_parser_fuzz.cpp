// SPDX-License-Identifier: Apache-2.0
// The streaming SVF parser on arbitrary text: it must end with commands or a located error, never
// crash, and every command it gives must be consistent (lengths, stable end states, lines and
// offsets in order). Failed checks are also formatted, to run the report on odd scans.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "svf/SvfBits.h"
#include "svf/SvfParser.h"
#include "svf/SvfReport.h"

namespace {

void checkScan(const csesvf::SvfScan& scan) {
    if (scan.totalBits < scan.ownBits || (scan.totalBits > 0 && scan.tdi == nullptr)) std::abort();
    if (!csesvf::svfStableState(scan.endState)) std::abort();
    if (scan.check != (scan.expected != nullptr) && scan.totalBits > 0) std::abort();
    if (!scan.check || scan.totalBits == 0) return;
    const uint32_t bit =
        csesvf::firstMismatchBit(scan.tdi, scan.expected, scan.mask, scan.totalBits);
    if (bit > scan.totalBits) std::abort();
    if (bit < scan.totalBits &&
        csesvf::describeMismatch("f", 1, scan, scan.tdi, bit).headline.empty()) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::istringstream stream(std::string(reinterpret_cast<const char*>(data), size));
    csesvf::SvfInput input(stream, csesvf::kMaxSvfBytes);
    csesvf::SvfParser parser(input);
    csesvf::SvfCommand command;
    csesvf::SvfError error;
    uint64_t lastLine = 0;
    uint64_t lastOffset = 0;
    while (parser.next(command, error)) {
        if (command.line < lastLine || command.endOffset < lastOffset || command.endOffset > size)
            std::abort();
        lastLine = command.line;
        lastOffset = command.endOffset;
        if (command.kind == csesvf::SvfCommand::Kind::kScan) checkScan(command.scan);
        if (command.kind == csesvf::SvfCommand::Kind::kState &&
            (command.path.empty() || !csesvf::svfStableState(command.path.back()))) {
            std::abort();
        }
    }
    if (!error.message.empty() && error.line == 0) std::abort();
    return 0;
}
