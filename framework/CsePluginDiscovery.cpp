// SPDX-License-Identifier: Apache-2.0
// Chain discovery: ID codes from a chain description file or read out of the chain after a TAP
// reset, then kept, taken over or emptied in the chain model.
#include <array>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "framework/CallbackRecord.h"
#include "framework/CsePlugin.h"

namespace CsePluginInterface {
namespace {

constexpr const char* kNoDevicesText = "No devices detected while scanning the JTAG chain\n";
constexpr uint32_t kEndOfChainCode = 0xFFFFFFFFu;
constexpr uint32_t kScanBlockBits = 1024;
constexpr size_t kScanBufferBytes = 129;
// fgets limit: 254 characters and the terminating zero.
constexpr int kLineReadLimit = 255;

// The helpers below are not members, so they reach the host's log the way CsePlugin::log does.
void logLine(uint32_t level, const char* format, ...) CSE_PRINTF_FORMAT(2, 3);
void logLine(uint32_t level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    CallbackRecord::log(level, format, args);
    va_end(args);
}

void appendDevice(JtagChain& scanned, uint32_t idCode) {
    const uint32_t index = scanned.getCount();
    scanned.setCount(index + 1);
    scanned.setIDCode(index, idCode);
}

// The model keeps its IR lengths only when the chain is the same one; a changed chain must have
// them set again before any device-level access.
void compareAndTakeOver(JtagChain& model, const JtagChain& scanned) {
    if (model.sameIDCodes(scanned)) {
        logLine(2, "No JTAG chain changes detected...\n");
    } else {
        logLine(2, "JTAG chain changed... Resetting IR Lengths\n");
        model.replaceDevices(scanned);
    }
    logLine(3, "JTAG DeviceCount=%d\n", static_cast<int>(model.getCount()));
    for (uint32_t i = 0; i < model.getCount(); ++i) {
        logLine(3, "Device[%d]=%08x\n", static_cast<int>(i), model.idCode(i));
    }
}

// Drops the '\n' and '\r' characters at the end of a line; returns its remaining length.
size_t stripLineEnd(char* line) {
    size_t length = std::strlen(line);
    while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r')) {
        line[--length] = '\0';
    }
    return length;
}

// One line of a description file as an ID code, worked out in place: hexadecimal, optional 0x,
// only the last eight characters count, and whatever strtoul makes of a malformed rest.
uint32_t parseIdCodeLine(char* line, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        line[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(line[i])));
    }
    const char* digits = line;
    if (length >= 2 && line[0] == '0' && line[1] == 'X') {
        digits += 2;
        length -= 2;
    }
    if (length > 8) digits += length - 8;
    return static_cast<uint32_t>(std::strtoul(digits, nullptr, 16));
}

// Closes the description file on every way out of the scan.
class OwnedFile {
  public:
    explicit OwnedFile(const char* path)
        : file(path != nullptr ? std::fopen(path, "r") : nullptr) {}
    ~OwnedFile() {
        if (file != nullptr) std::fclose(file);
    }
    OwnedFile(const OwnedFile&) = delete;
    OwnedFile& operator=(const OwnedFile&) = delete;

    std::FILE* get() const { return file; }

  private:
    std::FILE* file = nullptr;
};

enum class FileScanOutcome { Read, TooManyDevices };

// Appends one device per non-empty line; stops at the first line the model has no room for.
// Lines are parsed in the read buffer itself: nothing is allocated.
FileScanOutcome readDescription(std::FILE* file, JtagChain& scanned) {
    char line[kLineReadLimit] = {};
    while (std::fgets(line, kLineReadLimit, file) != nullptr) {
        const size_t length = stripLineEnd(line);
        if (length == 0) continue;
        if (scanned.getCount() == kMaxChainDevices) return FileScanOutcome::TooManyDevices;
        logLine(4, "fileScanJTAGChain: Parsing '%s'\n", line);
        const uint32_t idCode = parseIdCodeLine(line, length);
        logLine(4, "fileScanJTAGChain: Read deviceid %08x from file\n", idCode);
        appendDevice(scanned, idCode);
    }
    return FileScanOutcome::Read;
}

// What the walk does with the buffer when the stream runs past the end of a block.
enum class BlockRefill {
    Ones,      // the boundary cuts through an ID code
    Captured,  // the boundary falls between devices
};

// The TDO stream of a target scan, shifted in blocks of 1024 bits while the TAP stays in Shift-DR.
class ScanStream {
  public:
    explicit ScanStream(CsePlugin& plugin) : plugin(plugin) { block.fill(0xFF); }

    CseResult shiftFirstBlock() { return shiftBlock(); }

    bool currentBit() const { return ((block[position / 8u] >> (position % 8u)) & 1u) != 0; }

    // Moves one bit on; at the end of a block the next one is shifted.
    CseResult advance(BlockRefill refill) {
        if (++position < kScanBlockBits) return CSE_SUCCESS;
        position = 0;
        if (refill == BlockRefill::Ones) block.fill(0xFF);
        return shiftBlock();
    }

  private:
    CseResult shiftBlock() {
        const CseResult result = plugin.shiftChainDR(block.data(), block.data(), nullptr, nullptr,
                                                     kScanBlockBits, CSEJTAG_SHIFT_DR, 0, 0);
        if (cseFailed(result)) return result;
        CallbackRecord::dump(5, "BUFFER AFTER SHIFTDR:", block.data(), kScanBlockBits);
        return CSE_SUCCESS;
    }

    CsePlugin& plugin;
    std::array<uint8_t, kScanBufferBytes> block{};
    uint32_t position = 0;
};

// Reads the code that starts at the stream's current bit (which is 1) and leaves the stream on
// the code's last bit.
CseResult readIdCode(ScanStream& stream, uint32_t& idCode) {
    idCode = 1;
    for (uint32_t k = 1; k < 32; ++k) {
        const CseResult result = stream.advance(BlockRefill::Ones);
        if (cseFailed(result)) return result;
        if (stream.currentBit()) idCode |= uint32_t{1} << k;
    }
    return CSE_SUCCESS;
}

// After a reset every device shows a 32-bit IDCODE (first bit 1) or a 1-bit BYPASS (0); the ones
// shifted in show up as an all-ones code once the whole chain has passed. A chain that never ends
// (255 devices) leaves the result empty.
CseResult walkIdCodes(ScanStream& stream, JtagChain& scanned) {
    for (;;) {
        uint32_t idCode = 0;
        if (stream.currentBit()) {
            const CseResult result = readIdCode(stream, idCode);
            if (cseFailed(result)) return result;
        }
        const bool endOfChain = idCode == kEndOfChainCode;
        if (!endOfChain) appendDevice(scanned, idCode);
        if (scanned.getCount() == kMaxChainDevices) {
            // The result stays "no devices"; this says why, so nobody takes it for an empty chain.
            logLine(1,
                    "ERROR: The JTAG chain holds more devices than a target scan can accept (%u)\n",
                    kMaxChainDevices - 1);
            scanned.clear();
            return CSE_SUCCESS;
        }
        const CseResult result = stream.advance(BlockRefill::Captured);
        if (cseFailed(result)) return result;
        if (endOfChain) return CSE_SUCCESS;
    }
}

}  // namespace

CseResult CsePlugin::scanJTAGChain() {
    CsePluginTrace trace("CsePlugin::scanJTAGChain");
    if (!passesLockGuard(trace)) return CSE_FAILURE;
    // Any value selects the file, even an empty one.
    if (const char* path = std::getenv("CSE_JTAGFILE"); path != nullptr) {
        return fileScanJTAGChain(path);
    }
    return targetScanJTAGChain();
}

CseResult CsePlugin::fileScanJTAGChain(const char* path) {
    CsePluginTrace trace("CsePlugin::fileScanJTAGChain");
    const char* shownPath = path != nullptr ? path : "(null)";
    JtagChain scanned;
    log(3, "Reading JTAG chain description from file %s\n", shownPath);
    const OwnedFile file(path);
    if (file.get() == nullptr) {
        log(1, "ERROR: Could not open %s for reading\n", shownPath);
        return CSE_FAILURE;
    }
    const FileScanOutcome outcome = readDescription(file.get(), scanned);
    if (outcome == FileScanOutcome::TooManyDevices) {
        log(1, "ERROR: %s describes a JTAG chain longer than %u devices\n", shownPath,
            kMaxChainDevices);
        return trace.setResult(CSE_FAILURE);
    }
    if (scanned.getCount() == 0) {
        chain.clear();
        postMessage(CSE_MESSAGE_ERROR, kNoDevicesText);
        return trace.setResult(CSE_FAILURE);
    }
    compareAndTakeOver(chain, scanned);
    return trace.setResult(CSE_SUCCESS);
}

CseResult CsePlugin::targetScanJTAGChain() {
    CsePluginTrace trace("CsePlugin::targetScanJTAGChain");
    JtagChain scanned;
    CseResult result = initializeTAP();
    if (cseFailed(result)) return trace.setResult(result);
    ScanStream stream(*this);
    result = stream.shiftFirstBlock();
    if (!cseFailed(result)) result = walkIdCodes(stream, scanned);
    if (cseFailed(result)) return trace.setResult(result);
    initializeTAP();
    result = navigateTAP(CSEJTAG_RUN_TEST_IDLE, 0);
    if (cseFailed(result)) return trace.setResult(result);
    if (scanned.getCount() == 0) {
        chain.clear();
        postMessage(CSE_MESSAGE_ERROR, kNoDevicesText);
        return trace.setResult(CSE_FAILURE);
    }
    // The first code out of TDO belongs to the device nearest TDO; the model counts from TDI.
    scanned.reverseOrder();
    compareAndTakeOver(chain, scanned);
    return trace.setResult(CSE_SUCCESS);
}

}  // namespace CsePluginInterface
