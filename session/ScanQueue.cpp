// SPDX-License-Identifier: Apache-2.0
#include "session/ScanQueue.h"

#include <algorithm>

#include "koraven-cse-plugin/CsePlugin.h"
#include "koraven-cse-plugin/CseRawShiftStream.h"

namespace csesession {

using CsePluginInterface::cseFailed;
using CsePluginInterface::CSEJTAG_TEST_LOGIC_RESET;
using CsePluginInterface::CseJtagTapState;
using CsePluginInterface::CseRawShiftStream;

namespace {

// One raw shift carrying TMS and TDI: the plug-in sends it as one request.
constexpr uint32_t kBlockBits = 61408;

std::string plural(uint64_t count, const char* noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

CseRawShiftStream::Register streamRegister(Register reg) {
    return reg == Register::kIr ? CseRawShiftStream::Register::kIr
                                : CseRawShiftStream::Register::kDr;
}

bool bitOf(const uint8_t* bits, uint64_t k) {
    return ((bits[k / 8] >> (k % 8)) & 1u) != 0;
}

void setBit(std::vector<uint8_t>& bits, uint64_t k, bool value) {
    const auto mask = static_cast<uint8_t>(1u << (k % 8));
    bits[k / 8] = static_cast<uint8_t>(value ? bits[k / 8] | mask : bits[k / 8] & ~mask);
}

[[noreturn]] void usage(const std::string& reason) {
    throw SessionError(ErrorKind::kUsage, reason);
}

}  // namespace

DevicePadding deviceScanPadding(const std::vector<Device>& devices, Register reg, uint32_t device,
                                uint32_t bitCount) {
    DevicePadding padding;
    for (size_t other = devices.size(); other-- > 0;) {
        const uint32_t width = other == device        ? bitCount
                               : reg == Register::kIr ? devices[other].irLength.value_or(0)
                                                      : 1;
        if (other > device) padding.before += width;
        padding.total += width;
    }
    return padding;
}

// ---- adding items ----

size_t ScanQueue::deviceScan(const CableSession& session, Register reg, uint32_t device,
                             const std::vector<uint8_t>& tdi, uint32_t bitCount) {
    if (ran_) usage("the queue has run: make a new one");
    if (!session.scanProblem().empty())
        throw SessionError(ErrorKind::kFailed, session.scanProblem());
    const std::vector<Device>& devices = session.devices();
    if (device >= devices.size()) {
        usage("device " + std::to_string(device) + " is out of range: the chain has " +
              plural(devices.size(), "device"));
    }
    if (!session.irLengthProblem().empty()) {
        usage("a device-level scan needs the IR length of every device, and " +
              session.irLengthProblem());
    }
    if (bitCount == 0 || tdi.size() < (static_cast<uint64_t>(bitCount) + 7) / 8) {
        usage("a scan of " + plural(bitCount, "bit") + " needs " +
              std::to_string((static_cast<uint64_t>(bitCount) + 7) / 8) +
              " bytes of TDI, and at least one bit");
    }
    if (reg == Register::kIr && bitCount != *devices[device].irLength) {
        usage("device " + std::to_string(device) + " has an IR of " +
              std::to_string(*devices[device].irLength) +
              " bits; irscan takes exactly that many, not " + std::to_string(bitCount));
    }
    if (reg == Register::kIr &&
        deviceScanPadding(devices, reg, device, bitCount).total > kMaxIrScanBits) {
        usage("the IR path is longer than an IR scan carries (" + std::to_string(kMaxIrScanBits) +
              " bits)");
    }
    Item item;
    item.kind = Item::Kind::kDeviceScan;
    item.reg = reg;
    item.device = device;
    item.tdi.assign(tdi.begin(), tdi.begin() + (bitCount + 7) / 8);
    item.bitCount = bitCount;
    item.label = std::string(reg == Register::kIr ? "irscan" : "drscan") + " of device " +
                 std::to_string(device) + " (" + plural(bitCount, "bit") + ")";
    items_.push_back(std::move(item));
    return items_.size() - 1;
}

size_t ScanQueue::chainScan(Register reg, const std::vector<uint8_t>& tdi, uint32_t bitCount,
                            CseJtagTapState endState) {
    if (ran_) usage("the queue has run: make a new one");
    if (reg == Register::kIr && bitCount > kMaxIrScanBits) {
        usage("an IR scan carries at most " + std::to_string(kMaxIrScanBits) + " bits, not " +
              std::to_string(bitCount));
    }
    if (bitCount == 0 || tdi.size() < (static_cast<uint64_t>(bitCount) + 7) / 8)
        usage("a chain scan needs TDI bits");
    if (!CsePluginInterface::isValidTapState(endState))
        usage("no TAP state has the number " + std::to_string(endState));
    Item item;
    item.kind = Item::Kind::kChainScan;
    item.reg = reg;
    item.tdi.assign(tdi.begin(), tdi.begin() + (bitCount + 7) / 8);
    item.bitCount = bitCount;
    item.end = endState;
    item.label = std::string(reg == Register::kIr ? "irscan_chain" : "drscan_chain") + " (" +
                 plural(bitCount, "bit") + ")";
    items_.push_back(std::move(item));
    return items_.size() - 1;
}

size_t ScanQueue::navigate(CseJtagTapState goal, uint32_t clocks,
                           std::optional<uint32_t> waitMicroseconds) {
    if (ran_) usage("the queue has run: make a new one");
    if (!CsePluginInterface::isValidTapState(goal))
        usage("no TAP state has the number " + std::to_string(goal));
    Item item;
    item.kind = Item::Kind::kNavigation;
    item.end = goal;
    item.clocks = clocks;
    item.waitMicroseconds = waitMicroseconds;
    item.label = "state " + tapStateName(goal);
    items_.push_back(std::move(item));
    return items_.size() - 1;
}

void ScanQueue::setLabel(size_t item, std::string label) {
    items_.at(item).label = std::move(label);
}

// ---- running ----

void ScanQueue::failAt(size_t item, const SessionError& cause) const {
    throw QueueError(cause, item,
                     "queue item " + std::to_string(item) + " (" + items_[item].label +
                         "): " + cause.headline());
}

// The session's rules for device-level DR scans, followed through the queue: the instructions an
// IR scan before them loaded, or a reset's, decide.
void ScanQueue::check(const CableSession& session) const {
    enum class Instructions { kReset, kLoaded, kUnknown };
    Instructions instructions = session.instructionsLoaded()    ? Instructions::kLoaded
                                : session.instructionsUnknown() ? Instructions::kUnknown
                                                                : Instructions::kReset;
    for (size_t index = 0; index < items_.size(); ++index) {
        const Item& item = items_[index];
        if (item.kind == Item::Kind::kNavigation) {
            if (item.end == CSEJTAG_TEST_LOGIC_RESET) instructions = Instructions::kReset;
            continue;
        }
        if (item.reg == Register::kIr) {
            instructions = Instructions::kLoaded;
            continue;
        }
        if (item.kind != Item::Kind::kDeviceScan) continue;
        const std::string what = "a DR scan of device " + std::to_string(item.device);
        if (instructions == Instructions::kUnknown) {
            failAt(index,
                   SessionError(ErrorKind::kFailed,
                                what + " after a failed call or raw shifts is refused: no one "
                                       "knows which instruction each device holds; load the "
                                       "instructions again with an IR scan first"));
        }
        if (instructions != Instructions::kReset) continue;
        for (const Device& other : session.devices()) {
            if (other.index == item.device || !other.idcode) continue;
            failAt(index, SessionError(ErrorKind::kUsage,
                                       what +
                                           " comes before any IR scan: after the TAP reset "
                                           "device " +
                                           std::to_string(other.index) +
                                           " holds IDCODE, not BYPASS, so its one pad bit would "
                                           "be wrong; load an instruction first with an IR scan "
                                           "(it puts the others in BYPASS)"));
        }
    }
}

// Items gathered into one raw shift, with where each one's TDO sits in it.
struct ScanQueue::BlockPart {
    size_t item = 0;
    uint32_t tdoAt = 0;  // the item's own bits in the block's TDO
};

class ScanQueue::Block {
  public:
    [[nodiscard]] bool empty() const { return parts_.empty(); }
    [[nodiscard]] uint32_t bits() const { return stream_.bits(); }
    void begin(CseJtagTapState state) { stream_.restart(state); }
    [[nodiscard]] CseJtagTapState state() const { return stream_.state(); }

    // The clocks the item adds from the block's state.
    [[nodiscard]] uint32_t bitsOf(const Item& item, uint32_t chainBits) const {
        if (item.kind == Item::Kind::kNavigation) {
            return CsePluginInterface::cseWalkTms(stream_.state(), item.end).length + item.clocks;
        }
        return CseRawShiftStream::scanBits(stream_.state(), streamRegister(item.reg), chainBits,
                                           item.end);
    }

    void add(size_t index, Item& item, const std::vector<uint8_t>& chainTdi, uint32_t chainBits,
             uint32_t before) {
        if (item.kind == Item::Kind::kNavigation) {
            stream_.walk(item.end);
            stream_.clocks(item.clocks);
            item.reached = stream_.state();
        } else {
            const uint32_t at =
                stream_.scan(streamRegister(item.reg), chainTdi.data(), chainBits, item.end);
            parts_.push_back({index, at + before});
            return;
        }
        parts_.push_back({index, 0});
    }

    [[nodiscard]] const std::vector<BlockPart>& parts() const { return parts_; }
    [[nodiscard]] const CseRawShiftStream& stream() const { return stream_; }
    void clear() { parts_.clear(); }

  private:
    CseRawShiftStream stream_;
    std::vector<BlockPart> parts_;
};

void ScanQueue::runAlone(CableSession& session, CallRetries& calls, uint32_t retries, Item& item) {
    switch (item.kind) {
        case Item::Kind::kDeviceScan:
            item.tdo = calls.deviceScan(session, item.reg, item.device, item.tdi, item.bitCount,
                                        retries, item.label);
            break;
        case Item::Kind::kChainScan:
            item.tdo.assign(item.tdi.size(), 0);
            calls.chainScan(session, item.reg, item.tdi.data(), item.tdo.data(), item.bitCount,
                            item.end, retries, item.label);
            break;
        case Item::Kind::kNavigation:
            item.reached = calls.navigate(session, item.end, item.clocks, item.waitMicroseconds,
                                          retries, item.label);
            break;
    }
    item.done = true;
    ++sends_;
}

// The block as one raw shift, sent again from its start after a failed call.
void ScanQueue::sendBlock(CableSession& session, CallRetries& calls, uint32_t retries,
                          Block& block) {
    if (block.empty()) return;
    const std::vector<uint8_t> input = block.stream().commandInput();
    std::vector<uint8_t> tdo(block.stream().tdoBytes(), 0);
    const size_t first = block.parts().front().item;
    try {
        calls.repeat(session, retries, items_[first].label, calls.loaded(),
                     block.stream().startState(), [&] {
                         (void)session.takePluginErrors();
                         if (!cseFailed(session.plugin().sendCommand(
                                 "raw-shift", input.data(), static_cast<uint32_t>(input.size()),
                                 tdo.data(), static_cast<uint32_t>(tdo.size()), 0, 0))) {
                             return;
                         }
                         session.noteFailedCall();
                         throw SessionError(
                             ErrorKind::kFailed,
                             "the raw shift of " + plural(block.bits(), "clock") + " failed",
                             session.takePluginErrors());
                     });
    } catch (const SessionError& error) {
        failAt(first, error);
    }
    ++sends_;
    for (const BlockPart& part : block.parts()) finishItem(session, calls, part, tdo);
    block.clear();
}

// An item of a block that went through: its TDO, and the instructions it leaves.
void ScanQueue::finishItem(CableSession& session, CallRetries& calls, const BlockPart& part,
                           const std::vector<uint8_t>& tdo) {
    Item& item = items_[part.item];
    item.done = true;
    if (item.kind == Item::Kind::kNavigation) {
        if (item.end == CSEJTAG_TEST_LOGIC_RESET) {
            session.noteTapReset();
            calls.noteReset();
        }
        return;
    }
    item.tdo.assign((item.bitCount + 7) / 8, 0);
    for (uint32_t k = 0; k < item.bitCount; ++k)
        setBit(item.tdo, k, bitOf(tdo.data(), uint64_t{part.tdoAt} + k));
    if (item.reg != Register::kIr) return;
    session.noteInstructionsLoaded();
    LoadedInstruction loaded;
    loaded.kind = item.kind == Item::Kind::kDeviceScan ? LoadedInstruction::Kind::kDevice
                                                       : LoadedInstruction::Kind::kChain;
    loaded.device = item.device;
    loaded.tdi = item.tdi;
    loaded.bitCount = item.bitCount;
    loaded.label = item.label;
    calls.noteLoaded(std::move(loaded));
}

void ScanQueue::run(CableSession& session, CallRetries& calls, uint32_t retries) {
    if (ran_) usage("the queue has run: make a new one");
    ran_ = true;
    check(session);
    Block block;
    std::vector<uint8_t> chainTdi;
    const auto send = [&] { sendBlock(session, calls, retries, block); };
    for (size_t index = 0; index < items_.size(); ++index) {
        Item& item = items_[index];
        if (block.empty()) block.begin(session.tapState());
        // A device-level scan is the chain-wide stream the plug-in would shift for it.
        uint32_t chainBits = item.bitCount;
        uint32_t before = 0;
        if (item.kind == Item::Kind::kDeviceScan) {
            const DevicePadding padding =
                deviceScanPadding(session.devices(), item.reg, item.device, item.bitCount);
            chainBits = padding.total;
            before = padding.before;
        }
        // A wait must pass on the board, and a block holds at most kBlockBits clocks.
        const bool alone = item.waitMicroseconds.has_value() || chainBits > kBlockBits ||
                           (item.kind == Item::Kind::kNavigation && item.clocks > kBlockBits);
        if (!alone && block.bits() + block.bitsOf(item, chainBits) > kBlockBits) {
            send();
            block.begin(session.tapState());
        }
        if (alone || block.bitsOf(item, chainBits) > kBlockBits) {
            send();
            try {
                runAlone(session, calls, retries, item);
            } catch (const SessionError& error) {
                failAt(index, error);
            }
            continue;
        }
        if (item.kind == Item::Kind::kDeviceScan) {
            chainTdi.assign((chainBits + 7) / 8, item.reg == Register::kIr ? 0xFF : 0x00);
            for (uint32_t k = 0; k < item.bitCount; ++k)
                setBit(chainTdi, uint64_t{before} + k, bitOf(item.tdi.data(), k));
        } else if (item.kind == Item::Kind::kChainScan) {
            chainTdi = item.tdi;
        }
        block.add(index, item, chainTdi, chainBits, before);
    }
    send();
}

}  // namespace csesession
