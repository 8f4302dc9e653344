// Chain discovery: ID codes from a chain description file or read out of the chain after a TAP
// reset, then kept, taken over or emptied in the chain model.
#include <array>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

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

// One line of a description file as an ID code: hexadecimal, optional 0x, only the last eight
// characters count, and whatever strtoul makes of a malformed rest.
uint32_t parseIdCodeLine(std::string line) {
    for (char& c : line) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (line.compare(0, 2, "0X") == 0) line.erase(0, 2);
    if (line.size() > 8) line.erase(0, line.size() - 8);
    return static_cast<uint32_t>(std::strtoul(line.c_str(), nullptr, 16));
}

void stripLineEnd(std::string& line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
}

enum class FileScanOutcome { Read, TooManyDevices };

// Appends one device per non-empty line; stops at the first line the model has no room for.
FileScanOutcome readDescription(std::FILE* file, JtagChain& scanned) {
    char piece[kLineReadLimit] = {};
    while (std::fgets(piece, kLineReadLimit, file) != nullptr) {
        std::string line(piece);
        stripLineEnd(line);
        if (line.empty()) continue;
        if (scanned.getCount() == kMaxChainDevices) return FileScanOutcome::TooManyDevices;
        logLine(4, "fileScanJTAGChain: Parsing '%s'\n", line.c_str());
        const uint32_t idCode = parseIdCodeLine(line);
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
    std::FILE* file = path != nullptr ? std::fopen(path, "r") : nullptr;
    if (file == nullptr) {
        log(1, "ERROR: Could not open %s for reading\n", shownPath);
        return CSE_FAILURE;
    }
    const FileScanOutcome outcome = readDescription(file, scanned);
    std::fclose(file);
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
