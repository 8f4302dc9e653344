// SPDX-License-Identifier: Apache-2.0
// The framework base class of every cable plug-in: the host interface with tracing and messages,
// lifecycle, lock, TAP model, chain model and chain/device access defaults.
#pragma once

#include <cstddef>
#include <cstdint>

#include "framework/CseJtagTapTracker.h"
#include "framework/CsePluginDestructorEntry.h"
#include "framework/CsePluginTrace.h"
#include "framework/JtagChain.h"
#include "framework/TapStateTables.h"
#include "koraven-cse-plugin/CsePlugin.h"
#include "koraven-cse-plugin/CseTypes.h"

namespace CsePluginInterface {

// The framework's implementation of the host interface ICsePlugin (koraven-cse-plugin/CsePlugin.h,
// which fixes the slot order): every public operation, and a default for most Impl operations. The
// declarations below repeat the interface's in its order, so both read alike.
//
// Opaque arguments are 32-bit values passed on unchanged. Bit buffers hold bit k of a stream in bit
// k mod 8 of byte k div 8, bit 0 shifted first. Device 0 is the device nearest TDI.
//
// A target overriding one navigateTAPImpl overload adds `using CsePlugin::navigateTAPImpl;` so the
// other one stays visible.
class CsePlugin : public ICsePlugin {
  public:
    CsePlugin();
    CsePlugin(const CsePlugin&) = delete;
    CsePlugin& operator=(const CsePlugin&) = delete;

  protected:
    // ---- Slots 0..37: Impl operations ----

    // 0: takes the host arguments before open; default CSE_SUCCESS.
    virtual CseResult initializeTargetImpl(uint32_t argc, const char* const* argv);
    // 1: connects the cable; no default.
    virtual CseResult openTargetImpl(uint32_t argc, const char* const* argv, uint32_t opaque1,
                                     uint32_t opaque2) = 0;
    // 2: releases the cable; no default.
    virtual CseResult closeTargetImpl() = 0;
    // 3: default: public navigateTAP(state, count), then when waiting: flush, sleep rounded up to
    // ms, log.
    virtual CseResult navigateTAPImpl(CseJtagTapState state, uint32_t count,
                                      uint32_t waitMicroseconds);
    // 4: moves the TAP to state plus count extra clocks, recording states in tapState; no default.
    virtual CseResult navigateTAPImpl(CseJtagTapState state, uint32_t count) = 0;
    // 5: brings the TAP into Test-Logic-Reset, recording it in tapState; no default.
    virtual CseResult initializeTAPImpl() = 0;
    // 6: shifts bitCount bits through Shift-IR, captures into tdoBuffer unless null, ends in
    // endState.
    virtual CseResult shiftChainIRImpl(const uint8_t* tdiBuffer, uint8_t* tdoBuffer,
                                       const uint8_t* tdiAuxBuffer, uint8_t* tdoAuxBuffer,
                                       uint32_t bitCount, CseJtagTapState endState,
                                       uint32_t opaque1, uint32_t opaque2) = 0;
    // 7: the same through Shift-DR; no default.
    virtual CseResult shiftChainDRImpl(const uint8_t* tdiBuffer, uint8_t* tdoBuffer,
                                       const uint8_t* tdiAuxBuffer, uint8_t* tdoAuxBuffer,
                                       uint32_t bitCount, CseJtagTapState endState,
                                       uint32_t opaque1, uint32_t opaque2) = 0;
    // 8: default: fills tdoBuffer with ones/zeros and shifts it in place through public
    // shiftChainIR.
    virtual CseResult readChainIRImpl(bool tdiValue, uint8_t* tdoBuffer, uint8_t* tdoAuxBuffer,
                                      uint32_t bitCount, CseJtagTapState endState, uint32_t opaque1,
                                      uint32_t opaque2);
    // 9: default: public shiftChainIR with no TDO buffers.
    virtual CseResult writeChainIRImpl(const uint8_t* tdiBuffer, const uint8_t* tdiAuxBuffer,
                                       uint32_t bitCount, CseJtagTapState endState,
                                       uint32_t opaque1, uint32_t opaque2);
    // 10: as slot 8 through public shiftChainDR.
    virtual CseResult readChainDRImpl(bool tdiValue, uint8_t* tdoBuffer, uint8_t* tdoAuxBuffer,
                                      uint32_t bitCount, CseJtagTapState endState, uint32_t opaque1,
                                      uint32_t opaque2);
    // 11: as slot 9 through public shiftChainDR.
    virtual CseResult writeChainDRImpl(const uint8_t* tdiBuffer, const uint8_t* tdiAuxBuffer,
                                       uint32_t bitCount, CseJtagTapState endState,
                                       uint32_t opaque1, uint32_t opaque2);
    // 12: default: fills tdoBuffer with ones/zeros and runs public shiftDeviceIR in place.
    virtual CseResult readDeviceIRImpl(uint32_t device, bool tdiValue, uint8_t* tdoBuffer,
                                       uint8_t* tdoAuxBuffer, uint32_t bitCount,
                                       CseJtagTapState endState, uint32_t opaque1,
                                       uint32_t opaque2);
    // 13: default: pads the device's IR bits with ones for the others, writeChainIRImpl.
    virtual CseResult writeDeviceIRImpl(uint32_t device, const uint8_t* tdiBuffer,
                                        const uint8_t* tdiAuxBuffer, uint32_t bitCount,
                                        CseJtagTapState endState, uint32_t opaque1,
                                        uint32_t opaque2);
    // 14: default: pads with ones, shiftChainIRImpl, copies the device's TDO bits back.
    virtual CseResult shiftDeviceIRImpl(uint32_t device, const uint8_t* tdiBuffer,
                                        uint8_t* tdoBuffer, const uint8_t* tdiAuxBuffer,
                                        uint8_t* tdoAuxBuffer, uint32_t bitCount,
                                        CseJtagTapState endState, uint32_t opaque1,
                                        uint32_t opaque2);
    // 15: default: one bypass bit per other device, readChainDRImpl, copies the device's bits back.
    virtual CseResult readDeviceDRImpl(uint32_t device, bool tdiValue, uint8_t* tdoBuffer,
                                       uint8_t* tdoAuxBuffer, uint32_t bitCount,
                                       CseJtagTapState endState, uint32_t opaque1,
                                       uint32_t opaque2);
    // 16: default: zero bypass bits for the devices towards TDI only, writeChainDRImpl.
    virtual CseResult writeDeviceDRImpl(uint32_t device, const uint8_t* tdiBuffer,
                                        const uint8_t* tdiAuxBuffer, uint32_t bitCount,
                                        CseJtagTapState endState, uint32_t opaque1,
                                        uint32_t opaque2);
    // 17: default: zero bypass bits around the device's bits, shiftChainDRImpl, copies bits back.
    virtual CseResult shiftDeviceDRImpl(uint32_t device, const uint8_t* tdiBuffer,
                                        uint8_t* tdoBuffer, const uint8_t* tdiAuxBuffer,
                                        uint8_t* tdoAuxBuffer, uint32_t bitCount,
                                        CseJtagTapState endState, uint32_t opaque1,
                                        uint32_t opaque2);
    // 18: default: connected means opened (asks isOpened); stores 1 or 0.
    virtual CseResult isConnectedImpl(uint32_t* connected);
    // 19: default: the state recorded in tapState.
    virtual CseJtagTapState getTAPStateImpl();
    // 20: default: takes the lock, initializeTAP, then navigateTAP(Run-Test/Idle, 0).
    virtual CseResult lockTargetImpl(uint32_t opaque);
    // 21: default: back to Run-Test/Idle if elsewhere, then releases the lock.
    virtual CseResult unlockTargetImpl();
    // 22: default: not implemented.
    virtual CseResult cleanLocksImpl();
    // 23: sends queued cable activity; default: not implemented.
    virtual CseResult flushImpl();
    // 24: drives a cable pin; default: not implemented, arguments untouched.
    virtual CseResult setPinImpl(uint32_t pin, uint32_t value);
    // 25: reads a cable pin; default: not implemented, nothing written through the arguments.
    virtual CseResult getPinImpl(uint32_t pin, uint32_t value);
    // 26: pulses a cable pin; default: not implemented.
    virtual CseResult pulsePinImpl(uint32_t pin, uint32_t value);
    // 27: default: public flush, sleep rounded up to whole ms, log; always CSE_SUCCESS.
    virtual CseResult waitTimeImpl(uint32_t microseconds);
    // 28: default: not implemented.
    virtual CseResult setWaitTimeAndRetriesImpl(uint32_t waitTime, uint32_t retries);
    // 29: default: copies targetInfo into *info; CSE_FAILURE for a null pointer.
    virtual CseResult getTargetInfoImpl(CseTargetInfo* info);
    // 30: free-form command to the cable; default: not implemented.
    virtual CseResult sendCommandImpl(const char* command, const void* inData, uint32_t inSize,
                                      void* outData, uint32_t outSize, uint32_t opaque1,
                                      uint32_t opaque2);
    // 31: default: public sendCommand("set", "key=value").
    virtual CseResult setOptionImpl(const char* key, const char* value);
    // 32: default: public sendCommand("get", key) answering into outBuffer.
    virtual CseResult getOptionImpl(const char* key, char* outBuffer, uint32_t outSize);
    // 33: default: stores 0 (shifts never go to a file).
    virtual CseResult isFileOutputImpl(uint32_t* flag);
    // 34: writes a comment to the cable's output; default: not implemented.
    virtual CseResult writeCommentImpl(uint32_t comment);
    // 35: writes a header to the cable's output; default: not implemented.
    virtual CseResult writeHeaderImpl(uint32_t header);
    // 36: chooses the states scans end in; default: not implemented.
    virtual CseResult scanEndStateImpl(uint32_t irEndState, uint32_t drEndState);
    // 37: announces the start of an operation; default: not implemented.
    virtual CseResult startOperationImpl(uint32_t operation);

  public:
    // ---- Slot 38: destructor (traces only; shutting the cable down is the target's business) ----
#if defined(_WIN32)
    // The Windows host's single entry: the most derived class's destructor, then the memory freed
    // when bit 0 of flags is set; returns the object. Supplied by CSE_PLUGIN_DESTRUCTOR.
    virtual CsePlugin* scalarDeletingDestructor(unsigned flags) = 0;  // slot 38

  protected:
    ~CsePlugin();  // reached only through slot 38

  public:
#else
    virtual ~CsePlugin();  // slot 38
#endif

    // ---- Slots 39..89: public operations, traced as "CsePlugin::<name>" ----

    // 39: initializeTargetImpl.
    virtual CseResult initializeTarget(uint32_t argc, const char* const* argv);
    // 40: closes an open target first, remembers "type", initializeTarget, then openTargetImpl.
    virtual CseResult openTarget(uint32_t argc, const char* const* argv, uint32_t opaque1,
                                 uint32_t opaque2);
    // 41: fails on a closed target; unlocks if locked, closeTargetImpl, marks closed.
    virtual CseResult closeTarget();
    // 42: whether the target is open; traced "true"/"false".
    virtual bool isOpened();
    // 43: isConnectedImpl; a null pointer is refused.
    virtual CseResult isConnected(uint32_t* connected);
    // 44: needs the lock; file scan when CSE_JTAGFILE is set, else target scan.
    virtual CseResult scanJTAGChain();
    // 45: reads ID codes from a chain description file, one device per line from TDI.
    virtual CseResult fileScanJTAGChain(const char* path);
    // 46: reads the ID codes out of the chain after a TAP reset.
    virtual CseResult targetScanJTAGChain();
    // 47: number of devices in the chain model.
    virtual uint32_t getDeviceCount();
    // 48: 0..255; a different count clears the model.
    virtual CseResult setDeviceCount(uint32_t count);
    // 49: IR length of a device, 0 when out of range.
    virtual uint32_t getIRLength(uint32_t device);
    // 50: stores an IR length (0 = not set) and recomputes the pad bits.
    virtual CseResult setIRLength(uint32_t device, uint32_t length);
    // 51: ID code of a device, 0 when out of range.
    virtual uint32_t getDeviceID(uint32_t device);
    // 52: stores an ID code.
    virtual CseResult setDeviceID(uint32_t device, uint32_t idCode);
    // 53: getTargetInfoImpl.
    virtual CseResult getTargetInfo(CseTargetInfo* info);
    // 54: stores the host handle passed to messageCallback; not traced.
    virtual void setHandle(uint32_t value);
    // 55: stores the host's client data; not traced.
    virtual void setClientData(uint32_t value);
    // 56: lockTargetImpl: takes the exclusive lock and resets the TAP.
    virtual CseResult lockTarget(uint32_t opaque);
    // 57: unlockTargetImpl: gives the lock back.
    virtual CseResult unlockTarget();
    // 58: cleanLocksImpl.
    virtual CseResult cleanLocks();
    // 59: declares the lock held or free without touching the TAP; not traced; CSE_SUCCESS.
    virtual CseResult setLocked(bool value);
    // 60: getTAPStateImpl; traced with the state's name or "0 (NULL)".
    virtual CseJtagTapState getTAPState();
    // 61: initializeTAPImpl; no lock needed.
    virtual CseResult initializeTAP();
    // 62: needs the lock; navigateTAPImpl(state, count, wait), logged FROM/TO.
    virtual CseResult navigateTAP(CseJtagTapState state, uint32_t count, uint32_t waitMicroseconds);
    // 63: needs the lock; navigateTAPImpl(state, count), logged FROM/TO.
    virtual CseResult navigateTAP(CseJtagTapState state, uint32_t count);
    // 64..69: whole-chain access, no lock needed. 64: readChainIRImpl (a null tdoBuffer is
    // refused by the default: it carries the constant stream).
    virtual CseResult readChainIR(bool tdiValue, uint8_t* tdoBuffer, uint8_t* tdoAuxBuffer,
                                  uint32_t bitCount, CseJtagTapState endState, uint32_t opaque1,
                                  uint32_t opaque2);
    // 65: writeChainIRImpl.
    virtual CseResult writeChainIR(const uint8_t* tdiBuffer, const uint8_t* tdiAuxBuffer,
                                   uint32_t bitCount, CseJtagTapState endState, uint32_t opaque1,
                                   uint32_t opaque2);
    // 66: shiftChainIRImpl.
    virtual CseResult shiftChainIR(const uint8_t* tdiBuffer, uint8_t* tdoBuffer,
                                   const uint8_t* tdiAuxBuffer, uint8_t* tdoAuxBuffer,
                                   uint32_t bitCount, CseJtagTapState endState, uint32_t opaque1,
                                   uint32_t opaque2);
    // 67: readChainDRImpl (null tdoBuffer refused as for 64).
    virtual CseResult readChainDR(bool tdiValue, uint8_t* tdoBuffer, uint8_t* tdoAuxBuffer,
                                  uint32_t bitCount, CseJtagTapState endState, uint32_t opaque1,
                                  uint32_t opaque2);
    // 68: writeChainDRImpl.
    virtual CseResult writeChainDR(const uint8_t* tdiBuffer, const uint8_t* tdiAuxBuffer,
                                   uint32_t bitCount, CseJtagTapState endState, uint32_t opaque1,
                                   uint32_t opaque2);
    // 69: shiftChainDRImpl.
    virtual CseResult shiftChainDR(const uint8_t* tdiBuffer, uint8_t* tdoBuffer,
                                   const uint8_t* tdiAuxBuffer, uint8_t* tdoAuxBuffer,
                                   uint32_t bitCount, CseJtagTapState endState, uint32_t opaque1,
                                   uint32_t opaque2);
    // 70..75: one device with every other device bypassed; need all IR lengths set.
    // 70: readDeviceIRImpl.
    virtual CseResult readDeviceIR(uint32_t device, bool tdiValue, uint8_t* tdoBuffer,
                                   uint8_t* tdoAuxBuffer, uint32_t bitCount,
                                   CseJtagTapState endState, uint32_t opaque1, uint32_t opaque2);
    // 71: writeDeviceIRImpl.
    virtual CseResult writeDeviceIR(uint32_t device, const uint8_t* tdiBuffer,
                                    const uint8_t* tdiAuxBuffer, uint32_t bitCount,
                                    CseJtagTapState endState, uint32_t opaque1, uint32_t opaque2);
    // 72: shiftDeviceIRImpl.
    virtual CseResult shiftDeviceIR(uint32_t device, const uint8_t* tdiBuffer, uint8_t* tdoBuffer,
                                    const uint8_t* tdiAuxBuffer, uint8_t* tdoAuxBuffer,
                                    uint32_t bitCount, CseJtagTapState endState, uint32_t opaque1,
                                    uint32_t opaque2);
    // 73: readDeviceDRImpl.
    virtual CseResult readDeviceDR(uint32_t device, bool tdiValue, uint8_t* tdoBuffer,
                                   uint8_t* tdoAuxBuffer, uint32_t bitCount,
                                   CseJtagTapState endState, uint32_t opaque1, uint32_t opaque2);
    // 74: writeDeviceDRImpl.
    virtual CseResult writeDeviceDR(uint32_t device, const uint8_t* tdiBuffer,
                                    const uint8_t* tdiAuxBuffer, uint32_t bitCount,
                                    CseJtagTapState endState, uint32_t opaque1, uint32_t opaque2);
    // 75: shiftDeviceDRImpl.
    virtual CseResult shiftDeviceDR(uint32_t device, const uint8_t* tdiBuffer, uint8_t* tdoBuffer,
                                    const uint8_t* tdiAuxBuffer, uint8_t* tdoAuxBuffer,
                                    uint32_t bitCount, CseJtagTapState endState, uint32_t opaque1,
                                    uint32_t opaque2);
    // 76: flushImpl.
    virtual CseResult flush();
    // 77: setPinImpl.
    virtual CseResult setPin(uint32_t pin, uint32_t value);
    // 78: getPinImpl.
    virtual CseResult getPin(uint32_t pin, uint32_t value);
    // 79: pulsePinImpl.
    virtual CseResult pulsePin(uint32_t pin, uint32_t value);
    // 80: waitTimeImpl.
    virtual CseResult waitTime(uint32_t microseconds);
    // 81: setWaitTimeAndRetriesImpl.
    virtual CseResult setWaitTimeAndRetries(uint32_t waitTime, uint32_t retries);
    // 82: sendCommandImpl.
    virtual CseResult sendCommand(const char* command, const void* inData, uint32_t inSize,
                                  void* outData, uint32_t outSize, uint32_t opaque1,
                                  uint32_t opaque2);
    // 83: setOptionImpl; a null key or value is refused.
    virtual CseResult setOption(const char* key, const char* value);
    // 84: getOptionImpl; a null key is refused.
    virtual CseResult getOption(const char* key, char* outBuffer, uint32_t outSize);
    // 85: isFileOutputImpl; a null pointer is refused.
    virtual CseResult isFileOutput(uint32_t* flag);
    // 86: writeCommentImpl.
    virtual CseResult writeComment(uint32_t comment);
    // 87: writeHeaderImpl.
    virtual CseResult writeHeader(uint32_t header);
    // 88: scanEndStateImpl.
    virtual CseResult scanEndState(uint32_t irEndState, uint32_t drEndState);
    // 89: startOperationImpl.
    virtual CseResult startOperation(uint32_t operation);

    // ---- Non-virtual members (not part of the slot table) ----

    // Value of the first key=value argument whose key equals key (case-insensitive), pointing into
    // argv; null for a bare key, no match or a null key.
    static const char* findKey(uint32_t argc, const char* const* argv, const char* key);

    uint32_t getClientData() const noexcept {
        return clientData;
    }

    // IR pad bits of a device (0 when out of range) and DR pad bits (no bound check).
    uint32_t getIRHeadingPadBits(uint32_t device);
    uint32_t getIRTrailingPadBits(uint32_t device);
    uint32_t getDRHeadingPadBits(uint32_t device);
    int32_t getDRTrailingPadBits(uint32_t device);

    // Copies count bits from source (from sourceBit on) to destination (from destinationBit on);
    // the other bits of destination keep their values.
    static void copyBits(uint8_t* destination, uint32_t destinationBit, const uint8_t* source,
                         uint32_t sourceBit, uint32_t count) noexcept;
    // destination := source AND mask over whole bytes; CSE_FAILURE when any buffer is null.
    CseResult maskBuffer(uint8_t* destination, const uint8_t* source, const uint8_t* mask,
                         uint32_t bitCount);

    // The framework's TAP tables, offered to targets.
    static const char* stateName(CseJtagTapState state) noexcept;
    static uint8_t tmsPathBits(CseJtagTapState from, CseJtagTapState to) noexcept;
    static uint32_t tmsPathLength(CseJtagTapState from, CseJtagTapState to) noexcept;

  protected:
    // Formats nothing itself: hands level, format and arguments to the host's logCallback.
    static void log(uint32_t level, const char* format, ...) CSE_PRINTF_FORMAT(2, 3);
    // Raw text to messageCallback with handle, then to the log with the category's prefix and
    // level.
    void postMessage(uint32_t category, const char* text) const;
    // A level-5 dump of a bit buffer, only when the host set dumpCallback.
    static void dumpBuffer(const char* label, const uint8_t* buffer, uint32_t bitCount);

    // ---- State, in this order ----
    CseJtagTapTracker tapState;  // written only by targets as they move the TAP
    JtagChain chain;
    CseTargetInfo targetInfo;
    uint32_t handle = 0;      // first argument of every messageCallback
    uint32_t clientData = 0;  // kept for the host only
    bool locked = false;      // exclusive lock held
    bool opened = false;      // opened successfully and not closed since

  private:
    // Shared by navigateTAP's two overloads: refuses without the lock.
    bool passesLockGuard(CsePluginTrace& trace) const;
};

}  // namespace CsePluginInterface
