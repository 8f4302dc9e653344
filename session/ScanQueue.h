// SPDX-License-Identifier: Apache-2.0
// Device and chain scans and navigations of a session collected first and then sent as few raw
// shifts of the plug-in's raw-shift command as their lengths allow (one raw shift carries 61,408
// clocks with its walks, which shifts=merged sends as one request). A script that needs no
// answer before its next call pays one round trip per block instead of one per call. Results
// (TDO, the state a navigation reached) are there once run() returns; a failure is thrown from
// run() naming the first item that failed. The session's rules hold as for single calls: a
// device-level DR scan needs the instructions an IR scan of the queue (or before it) loaded.
//
//   csesession::ScanQueue queue;
//   queue.deviceScan(session, Register::kIr, 1, {0x22}, 8);
//   const size_t read = queue.deviceScan(session, Register::kDr, 1, {0, 0, 0}, 24);
//   queue.run(session, calls, 0);
//   std::vector<uint8_t> tdo = queue.tdo(read);
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "session/CableSession.h"
#include "session/CallRetries.h"

namespace csesession {

// A queue's failure: which item (from 0) failed first; the items before it are done.
class QueueError : public SessionError {
  public:
    QueueError(const SessionError& cause, size_t item, const std::string& headline)
        : SessionError(cause.kind(), headline, cause.pluginErrors()), item_(item) {}
    [[nodiscard]] size_t item() const { return item_; }

  private:
    size_t item_;
};

// Where a device's own bits sit in the chain-wide stream of a device-level scan: the devices
// nearer TDO come first (IR: their whole IRs in BYPASS, all ones; DR: one zero bit each).
struct DevicePadding {
    uint32_t before = 0;  // bits shifted ahead of the device's own
    uint32_t total = 0;
};
[[nodiscard]] DevicePadding deviceScanPadding(const std::vector<Device>& devices, Register reg,
                                              uint32_t device, uint32_t bitCount);

class ScanQueue {
  public:
    // Each adds an item and returns its index. The caller's mistakes (a device out of range, a
    // bit count that does not fit, TDI too short) are thrown now, as kUsage.
    size_t deviceScan(const CableSession& session, Register reg, uint32_t device,
                      const std::vector<uint8_t>& tdi, uint32_t bitCount);
    size_t chainScan(
        Register reg, const std::vector<uint8_t>& tdi, uint32_t bitCount,
        CsePluginInterface::CseJtagTapState endState = CsePluginInterface::CSEJTAG_RUN_TEST_IDLE);
    // A wait goes alone: it must pass on the board, so the raw shift before it is sent first.
    size_t navigate(CsePluginInterface::CseJtagTapState goal, uint32_t clocks = 0,
                    std::optional<uint32_t> waitMicroseconds = {});
    // How an item is named in a failure ("drscan of device 1 (24 bits)" by default).
    void setLabel(size_t item, std::string label);

    [[nodiscard]] size_t size() const { return items_.size(); }
    [[nodiscard]] bool ran() const { return ran_; }

    // Checks every item against the session's rules first (nothing is sent when one is
    // refused), then sends them in order; a block that fails is sent again from its start at
    // most `retries` times after the instruction in effect there is loaded again (see
    // CallRetries). Throws QueueError. Once only.
    void run(CableSession& session, CallRetries& calls, uint32_t retries);

    // After run: whether the item was carried out, its TDO (scans), the state reached.
    [[nodiscard]] bool done(size_t item) const { return items_.at(item).done; }
    [[nodiscard]] const std::vector<uint8_t>& tdo(size_t item) const { return items_.at(item).tdo; }
    [[nodiscard]] CsePluginInterface::CseJtagTapState reached(size_t item) const {
        return items_.at(item).reached;
    }
    // The raw shifts and single calls run() made (blocks sent again not counted).
    [[nodiscard]] uint64_t sends() const { return sends_; }

  private:
    struct Item {
        enum class Kind { kDeviceScan, kChainScan, kNavigation };
        Kind kind = Kind::kChainScan;
        Register reg = Register::kDr;
        uint32_t device = 0;
        std::vector<uint8_t> tdi;
        uint32_t bitCount = 0;
        CsePluginInterface::CseJtagTapState end = CsePluginInterface::CSEJTAG_RUN_TEST_IDLE;
        uint32_t clocks = 0;
        std::optional<uint32_t> waitMicroseconds;
        std::string label;
        bool done = false;
        std::vector<uint8_t> tdo;
        CsePluginInterface::CseJtagTapState reached = CsePluginInterface::CSEJTAG_RUN_TEST_IDLE;
    };
    class Block;
    struct BlockPart;

    void check(const CableSession& session) const;
    void sendBlock(CableSession& session, CallRetries& calls, uint32_t retries, Block& block);
    void finishItem(CableSession& session, CallRetries& calls, const BlockPart& part,
                    const std::vector<uint8_t>& tdo);
    void runAlone(CableSession& session, CallRetries& calls, uint32_t retries, Item& item);
    [[noreturn]] void failAt(size_t item, const SessionError& cause) const;

    std::vector<Item> items_;
    bool ran_ = false;
    uint64_t sends_ = 0;
};

}  // namespace csesession
