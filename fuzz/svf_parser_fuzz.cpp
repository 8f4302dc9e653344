// The SVF parser on arbitrary text: it must end with commands or a located error, never crash,
// and every command it gives must be consistent (buffer sizes, lengths, stable end states, lines
// in order). Failed checks are also formatted, to run the report on odd scans.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "host/SvfBits.h"
#include "host/SvfParser.h"
#include "host/SvfReport.h"

namespace {

void checkScan(const csehost::SvfScan& scan) {
    const size_t bytes = (static_cast<size_t>(scan.totalBits) + 7) / 8;
    if (scan.totalBits < scan.ownBits || scan.tdi.size() != bytes) std::abort();
    if (!csehost::svfStableState(scan.endState)) std::abort();
    if (scan.check && (scan.expected.size() != bytes || scan.mask.size() != bytes)) std::abort();
    if (!scan.check || scan.totalBits == 0) return;
    const uint32_t bit = csehost::firstMismatchBit(scan.tdi.data(), scan.expected.data(),
                                                   scan.mask.data(), scan.totalBits);
    if (bit > scan.totalBits) std::abort();
    if (bit < scan.totalBits &&
        csehost::describeMismatch("f:1", scan, scan.tdi.data(), bit).size() != 4) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    csehost::SvfParser parser(text);
    csehost::SvfCommand command;
    csehost::SvfError error;
    uint32_t lastLine = 0;
    size_t lastOffset = 0;
    while (parser.next(command, error)) {
        if (command.line < lastLine || command.endOffset < lastOffset || command.endOffset > size)
            std::abort();
        lastLine = command.line;
        lastOffset = command.endOffset;
        if (command.kind == csehost::SvfCommand::Kind::kScan) checkScan(command.scan);
        if (command.kind == csehost::SvfCommand::Kind::kState &&
            (command.path.empty() || !csehost::svfStableState(command.path.back()))) {
            std::abort();
        }
    }
    if (!error.message.empty() && error.line == 0) std::abort();
    return 0;
}
