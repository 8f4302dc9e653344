// SPDX-License-Identifier: Apache-2.0
// The plug-in object as the host sees it: the virtual interface in the host's fixed slot order,
// and the record getTargetInfo fills. A host calls nothing else on the object.
#pragma once

#include <cstddef>
#include <cstdint>

#include "koraven-cse-plugin/CseTypes.h"

namespace CsePluginInterface {

// The record getTargetInfo copies whole into the host's own; its layout is part of the host
// interface.
struct CseTargetInfo {
    char type[8192] = {};     // "type" argument of the last openTarget that had one
    char name[2048] = {};     // "CSE Plug-in"
    char version[1024] = {};  // "CsePlugin Version 1.0"
    uint32_t reserved = 0;    // always 0
};
static_assert(sizeof(CseTargetInfo) == 11268, "CseTargetInfo is a fixed host record");
static_assert(offsetof(CseTargetInfo, type) == 0, "CseTargetInfo.type offset");
static_assert(offsetof(CseTargetInfo, name) == 8192, "CseTargetInfo.name offset");
static_assert(offsetof(CseTargetInfo, version) == 10240, "CseTargetInfo.version offset");
static_assert(offsetof(CseTargetInfo, reserved) == 11264, "CseTargetInfo.reserved offset");

// Message categories for the messageCallback's category argument.
enum CseMessageCategory : uint32_t {
    CSE_MESSAGE_ERROR = 0x100,
    CSE_MESSAGE_WARNING = 0x200,
    CSE_MESSAGE_STATUS = 0x300,
    CSE_MESSAGE_INFO = 0x400,
    CSE_MESSAGE_PLAIN = 0x500,
    CSE_MESSAGE_DEBUG = 0x8000,  // any other code is treated as debug too
};

// The host calls the object only through its table of virtual functions, by slot number, so the
// virtual functions below are declared in exactly the slot order and must never be reordered,
// inserted or removed. Slots 0..37 are the Impl operations a plug-in class overrides; slot 38 is
// the virtual destructor; slots 39..89 are the public operations the host calls. "Default" names
// what the framework's CsePlugin base class does when a plug-in class does not override the Impl.
//
// ABI note: on GCC's C++ ABI (Linux, MinGW) a virtual destructor takes two table entries (complete
// and deleting destructor), so slots 39..89 sit one entry later than their slot number there. A
// 32-bit Windows host expects the single scalar-deleting-destructor entry of the Windows ABI.
//
// Results: CSE_SUCCESS or a failure (top bit set). Opaque arguments are 32-bit values passed on
// unchanged. Bit buffers hold bit k of a stream in bit k mod 8 of byte k div 8, bit 0 shifted
// first. Device 0 is the device nearest TDI. Objects come from CsePlugin_create and go back to
// CsePlugin_destroy.
class ICsePlugin {
  public:
    ICsePlugin() = default;
    ICsePlugin(const ICsePlugin&) = delete;
    ICsePlugin& operator=(const ICsePlugin&) = delete;

  protected:
    // ---- Slots 0..37: Impl operations ----

    // 0: takes the host arguments before open; default CSE_SUCCESS.
    virtual CseResult initializeTargetImpl(uint32_t argc, const char* const* argv) = 0;
    // 1: connects the cable; no default.
    virtual CseResult openTargetImpl(uint32_t argc, const char* const* argv, uint32_t opaque1,
                                     uint32_t opaque2) = 0;
    // 2: releases the cable; no default.
    virtual CseResult closeTargetImpl() = 0;
    // 3: default: public navigateTAP(state, count), then when waiting: flush, sleep rounded up to
    // ms, log.
    virtual CseResult navigateTAPImpl(CseJtagTapState state, uint32_t count,
                                      uint32_t waitMicroseconds) = 0;
    // 4: moves the TAP to state plus count extra clocks, recording every state passed; no default.
    virtual CseResult navigateTAPImpl(CseJtagTapState state, uint32_t count) = 0;
    // 5: brings the TAP into Test-Logic-Reset, recording it; no default.
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
                                      uint32_t opaque2) = 0;
    // 9: default: public shiftChainIR with no TDO buffers.
    virtual CseResult writeChainIRImpl(const uint8_t* tdiBuffer, const uint8_t* tdiAuxBuffer,
                                       uint32_t bitCount, CseJtagTapState endState,
                                       uint32_t opaque1, uint32_t opaque2) = 0;
    // 10: as slot 8 through public shiftChainDR.
    virtual CseResult readChainDRImpl(bool tdiValue, uint8_t* tdoBuffer, uint8_t* tdoAuxBuffer,
                                      uint32_t bitCount, CseJtagTapState endState, uint32_t opaque1,
                                      uint32_t opaque2) = 0;
    // 11: as slot 9 through public shiftChainDR.
    virtual CseResult writeChainDRImpl(const uint8_t* tdiBuffer, const uint8_t* tdiAuxBuffer,
                                       uint32_t bitCount, CseJtagTapState endState,
                                       uint32_t opaque1, uint32_t opaque2) = 0;
    // 12: default: fills tdoBuffer with ones/zeros and runs public shiftDeviceIR in place.
    virtual CseResult readDeviceIRImpl(uint32_t device, bool tdiValue, uint8_t* tdoBuffer,
                                       uint8_t* tdoAuxBuffer, uint32_t bitCount,
                                       CseJtagTapState endState, uint32_t opaque1,
                                       uint32_t opaque2) = 0;
    // 13: default: pads the device's IR bits with ones for the others, writeChainIRImpl.
    virtual CseResult writeDeviceIRImpl(uint32_t device, const uint8_t* tdiBuffer,
                                        const uint8_t* tdiAuxBuffer, uint32_t bitCount,
                                        CseJtagTapState endState, uint32_t opaque1,
                                        uint32_t opaque2) = 0;
    // 14: default: pads with ones, shiftChainIRImpl, copies the device's TDO bits back.
    virtual CseResult shiftDeviceIRImpl(uint32_t device, const uint8_t* tdiBuffer,
                                        uint8_t* tdoBuffer, const uint8_t* tdiAuxBuffer,
                                        uint8_t* tdoAuxBuffer, uint32_t bitCount,
                                        CseJtagTapState endState, uint32_t opaque1,
                                        uint32_t opaque2) = 0;
    // 15: default: one bypass bit per other device, readChainDRImpl, copies the device's bits back.
    virtual CseResult readDeviceDRImpl(uint32_t device, bool tdiValue, uint8_t* tdoBuffer,
                                       uint8_t* tdoAuxBuffer, uint32_t bitCount,
                                       CseJtagTapState endState, uint32_t opaque1,
                                       uint32_t opaque2) = 0;
    // 16: default: zero bypass bits for the devices towards TDI only, writeChainDRImpl.
    virtual CseResult writeDeviceDRImpl(uint32_t device, const uint8_t* tdiBuffer,
                                        const uint8_t* tdiAuxBuffer, uint32_t bitCount,
                                        CseJtagTapState endState, uint32_t opaque1,
                                        uint32_t opaque2) = 0;
    // 17: default: zero bypass bits around the device's bits, shiftChainDRImpl, copies bits back.
    virtual CseResult shiftDeviceDRImpl(uint32_t device, const uint8_t* tdiBuffer,
                                        uint8_t* tdoBuffer, const uint8_t* tdiAuxBuffer,
                                        uint8_t* tdoAuxBuffer, uint32_t bitCount,
                                        CseJtagTapState endState, uint32_t opaque1,
                                        uint32_t opaque2) = 0;
    // 18: default: connected means opened (asks isOpened); stores 1 or 0.
    virtual CseResult isConnectedImpl(uint32_t* connected) = 0;
    // 19: default: the state recorded in tapState.
    virtual CseJtagTapState getTAPStateImpl() = 0;
    // 20: default: takes the lock, initializeTAP, then navigateTAP(Run-Test/Idle, 0).
    virtual CseResult lockTargetImpl(uint32_t opaque) = 0;
    // 21: default: back to Run-Test/Idle if elsewhere, then releases the lock.
    virtual CseResult unlockTargetImpl() = 0;
    // 22: default: not implemented.
    virtual CseResult cleanLocksImpl() = 0;
    // 23: sends queued cable activity; default: not implemented.
    virtual CseResult flushImpl() = 0;
    // 24: drives a cable pin; default: not implemented, arguments untouched.
    virtual CseResult setPinImpl(uint32_t pin, uint32_t value) = 0;
    // 25: reads a cable pin; default: not implemented, nothing written through the arguments.
    virtual CseResult getPinImpl(uint32_t pin, uint32_t value) = 0;
    // 26: pulses a cable pin; default: not implemented.
    virtual CseResult pulsePinImpl(uint32_t pin, uint32_t value) = 0;
    // 27: default: public flush, sleep rounded up to whole ms, log; always CSE_SUCCESS.
    virtual CseResult waitTimeImpl(uint32_t microseconds) = 0;
    // 28: default: not implemented.
    virtual CseResult setWaitTimeAndRetriesImpl(uint32_t waitTime, uint32_t retries) = 0;
    // 29: default: copies targetInfo into *info; CSE_FAILURE for a null pointer.
    virtual CseResult getTargetInfoImpl(CseTargetInfo* info) = 0;
    // 30: free-form command to the cable; default: not implemented.
    virtual CseResult sendCommandImpl(const char* command, const void* inData, uint32_t inSize,
                                      void* outData, uint32_t outSize, uint32_t opaque1,
                                      uint32_t opaque2) = 0;
    // 31: default: public sendCommand("set", "key=value").
    virtual CseResult setOptionImpl(const char* key, const char* value) = 0;
    // 32: default: public sendCommand("get", key) answering into outBuffer.
    virtual CseResult getOptionImpl(const char* key, char* outBuffer, uint32_t outSize) = 0;
    // 33: default: stores 0 (shifts never go to a file).
    virtual CseResult isFileOutputImpl(uint32_t* flag) = 0;
    // 34: writes a comment to the cable's output; default: not implemented.
    virtual CseResult writeCommentImpl(uint32_t comment) = 0;
    // 35: writes a header to the cable's output; default: not implemented.
    virtual CseResult writeHeaderImpl(uint32_t header) = 0;
    // 36: chooses the states scans end in; default: not implemented.
    virtual CseResult scanEndStateImpl(uint32_t irEndState, uint32_t drEndState) = 0;
    // 37: announces the start of an operation; default: not implemented.
    virtual CseResult startOperationImpl(uint32_t operation) = 0;

  public:
    // ---- Slot 38: destructor ----
#if defined(_WIN32)
    // The Windows host's single entry: destroys the object, frees its memory when bit 0 of flags
    // is set, and returns it.
    virtual ICsePlugin* scalarDeletingDestructor(unsigned flags) = 0;  // slot 38

  protected:
    ~ICsePlugin() = default;  // reached only through slot 38

  public:
#else
    virtual ~ICsePlugin() = default;  // slot 38
#endif

    // ---- Slots 39..89: public operations, traced as "CsePlugin::<name>" ----

    // 39: initializeTargetImpl.
    virtual CseResult initializeTarget(uint32_t argc, const char* const* argv) = 0;
    // 40: closes an open target first, remembers "type", initializeTarget, then openTargetImpl.
    // argv holds "key=value" texts; keys are matched without regard to case, the first match
    // counts, and a key left out takes its default:
    //   node=HOST      the machine running the debugger front end: a host name or dotted IPv4
    //                  address (the link is IPv4 only); default localhost
    //   port=N         UDP port of the front end's remote interface; default 20000
    //   type=TEXT      the cable type the tool chain chose; not acted on, only kept and
    //                  reported back by getTargetInfo (CseTargetInfo::type)
    //   timeout=S      seconds to wait for each datagram of a reply, 1..3600; default 5
    //   packlen=N      largest datagram asked for, 16..1472 bytes; the front end's accept
    //                  decides the length used; default 1024
    //   hostport=N     local UDP port to bind, for a firewall rule; default 0, any free port
    //   shifts=MODE    split (default): a chain shift is the walk into Shift-IR/DR, the data and
    //                  the walk to its end state as three requests to the front end, as the
    //                  original plug-in sends them; merged: all three in one raw shift carrying
    //                  TMS and TDI together when they fit in one (61,408 bits with the walks;
    //                  a longer shift goes as split), and a navigation with extra clocks as one
    //                  TMS stream. Same TDO and states, a third of the round trips for small
    //                  shifts
    // e.g. {"type=koraven", "node=bench-pc", "port=20000"}.
    virtual CseResult openTarget(uint32_t argc, const char* const* argv, uint32_t opaque1,
                                 uint32_t opaque2) = 0;
    // 41: fails on a closed target; unlocks if locked, closeTargetImpl, marks closed.
    virtual CseResult closeTarget() = 0;
    // 42: whether the target is open; traced "true"/"false".
    virtual bool isOpened() = 0;
    // 43: isConnectedImpl; a null pointer is refused.
    virtual CseResult isConnected(uint32_t* connected) = 0;
    // 44: needs the lock; file scan when CSE_JTAGFILE is set, else target scan.
    virtual CseResult scanJTAGChain() = 0;
    // 45: reads ID codes from a chain description file, one device per line from TDI.
    virtual CseResult fileScanJTAGChain(const char* path) = 0;
    // 46: reads the ID codes out of the chain after a TAP reset.
    virtual CseResult targetScanJTAGChain() = 0;
    // 47: number of devices in the chain model.
    virtual uint32_t getDeviceCount() = 0;
    // 48: 0..255; a different count clears the model.
    virtual CseResult setDeviceCount(uint32_t count) = 0;
    // 49: IR length of a device, 0 when out of range.
    virtual uint32_t getIRLength(uint32_t device) = 0;
    // 50: stores an IR length (0 = not set) and recomputes the pad bits.
    virtual CseResult setIRLength(uint32_t device, uint32_t length) = 0;
    // 51: ID code of a device, 0 when out of range.
    virtual uint32_t getDeviceID(uint32_t device) = 0;
    // 52: stores an ID code.
    virtual CseResult setDeviceID(uint32_t device, uint32_t idCode) = 0;
    // 53: getTargetInfoImpl.
    virtual CseResult getTargetInfo(CseTargetInfo* info) = 0;
    // 54: stores the host handle passed to messageCallback; not traced.
    virtual void setHandle(uint32_t value) = 0;
    // 55: stores the host's client data; not traced.
    virtual void setClientData(uint32_t value) = 0;
    // 56: lockTargetImpl: takes the exclusive lock and resets the TAP.
    virtual CseResult lockTarget(uint32_t opaque) = 0;
    // 57: unlockTargetImpl: gives the lock back.
    virtual CseResult unlockTarget() = 0;
    // 58: cleanLocksImpl.
    virtual CseResult cleanLocks() = 0;
    // 59: declares the lock held or free without touching the TAP; not traced; CSE_SUCCESS.
    virtual CseResult setLocked(bool value) = 0;
    // 60: getTAPStateImpl; traced with the state's name or "0 (NULL)".
    virtual CseJtagTapState getTAPState() = 0;
    // 61: initializeTAPImpl; no lock needed.
    virtual CseResult initializeTAP() = 0;
    // 62: needs the lock; navigateTAPImpl(state, count, wait), logged FROM/TO.
    virtual CseResult navigateTAP(CseJtagTapState state, uint32_t count,
                                  uint32_t waitMicroseconds) = 0;
    // 63: needs the lock; navigateTAPImpl(state, count), logged FROM/TO.
    virtual CseResult navigateTAP(CseJtagTapState state, uint32_t count) = 0;
    // 64..69: whole-chain access, no lock needed. 64: readChainIRImpl (a null tdoBuffer is
    // refused by the default: it carries the constant stream).
    virtual CseResult readChainIR(bool tdiValue, uint8_t* tdoBuffer, uint8_t* tdoAuxBuffer,
                                  uint32_t bitCount, CseJtagTapState endState, uint32_t opaque1,
                                  uint32_t opaque2) = 0;
    // 65: writeChainIRImpl.
    virtual CseResult writeChainIR(const uint8_t* tdiBuffer, const uint8_t* tdiAuxBuffer,
                                   uint32_t bitCount, CseJtagTapState endState, uint32_t opaque1,
                                   uint32_t opaque2) = 0;
    // 66: shiftChainIRImpl.
    virtual CseResult shiftChainIR(const uint8_t* tdiBuffer, uint8_t* tdoBuffer,
                                   const uint8_t* tdiAuxBuffer, uint8_t* tdoAuxBuffer,
                                   uint32_t bitCount, CseJtagTapState endState, uint32_t opaque1,
                                   uint32_t opaque2) = 0;
    // 67: readChainDRImpl (null tdoBuffer refused as for 64).
    virtual CseResult readChainDR(bool tdiValue, uint8_t* tdoBuffer, uint8_t* tdoAuxBuffer,
                                  uint32_t bitCount, CseJtagTapState endState, uint32_t opaque1,
                                  uint32_t opaque2) = 0;
    // 68: writeChainDRImpl.
    virtual CseResult writeChainDR(const uint8_t* tdiBuffer, const uint8_t* tdiAuxBuffer,
                                   uint32_t bitCount, CseJtagTapState endState, uint32_t opaque1,
                                   uint32_t opaque2) = 0;
    // 69: shiftChainDRImpl.
    virtual CseResult shiftChainDR(const uint8_t* tdiBuffer, uint8_t* tdoBuffer,
                                   const uint8_t* tdiAuxBuffer, uint8_t* tdoAuxBuffer,
                                   uint32_t bitCount, CseJtagTapState endState, uint32_t opaque1,
                                   uint32_t opaque2) = 0;
    // 70..75: one device with every other device bypassed; need all IR lengths set.
    // 70: readDeviceIRImpl.
    virtual CseResult readDeviceIR(uint32_t device, bool tdiValue, uint8_t* tdoBuffer,
                                   uint8_t* tdoAuxBuffer, uint32_t bitCount,
                                   CseJtagTapState endState, uint32_t opaque1,
                                   uint32_t opaque2) = 0;
    // 71: writeDeviceIRImpl.
    virtual CseResult writeDeviceIR(uint32_t device, const uint8_t* tdiBuffer,
                                    const uint8_t* tdiAuxBuffer, uint32_t bitCount,
                                    CseJtagTapState endState, uint32_t opaque1,
                                    uint32_t opaque2) = 0;
    // 72: shiftDeviceIRImpl.
    virtual CseResult shiftDeviceIR(uint32_t device, const uint8_t* tdiBuffer, uint8_t* tdoBuffer,
                                    const uint8_t* tdiAuxBuffer, uint8_t* tdoAuxBuffer,
                                    uint32_t bitCount, CseJtagTapState endState, uint32_t opaque1,
                                    uint32_t opaque2) = 0;
    // 73: readDeviceDRImpl.
    virtual CseResult readDeviceDR(uint32_t device, bool tdiValue, uint8_t* tdoBuffer,
                                   uint8_t* tdoAuxBuffer, uint32_t bitCount,
                                   CseJtagTapState endState, uint32_t opaque1,
                                   uint32_t opaque2) = 0;
    // 74: writeDeviceDRImpl.
    virtual CseResult writeDeviceDR(uint32_t device, const uint8_t* tdiBuffer,
                                    const uint8_t* tdiAuxBuffer, uint32_t bitCount,
                                    CseJtagTapState endState, uint32_t opaque1,
                                    uint32_t opaque2) = 0;
    // 75: shiftDeviceDRImpl.
    virtual CseResult shiftDeviceDR(uint32_t device, const uint8_t* tdiBuffer, uint8_t* tdoBuffer,
                                    const uint8_t* tdiAuxBuffer, uint8_t* tdoAuxBuffer,
                                    uint32_t bitCount, CseJtagTapState endState, uint32_t opaque1,
                                    uint32_t opaque2) = 0;
    // 76: flushImpl.
    virtual CseResult flush() = 0;
    // 77: setPinImpl.
    virtual CseResult setPin(uint32_t pin, uint32_t value) = 0;
    // 78: getPinImpl.
    virtual CseResult getPin(uint32_t pin, uint32_t value) = 0;
    // 79: pulsePinImpl.
    virtual CseResult pulsePin(uint32_t pin, uint32_t value) = 0;
    // 80: waitTimeImpl.
    virtual CseResult waitTime(uint32_t microseconds) = 0;
    // 81: setWaitTimeAndRetriesImpl.
    virtual CseResult setWaitTimeAndRetries(uint32_t waitTime, uint32_t retries) = 0;
    // 82: sendCommandImpl. The KORAVEN target knows one command, "raw-shift": a host's own TMS
    // and TDI streams clocked as they are, with TDO captured; it needs the lock (lockTarget).
    //   inData   bytes 0..3: the clock count N, little-endian; then the TMS stream, then the TDI
    //            stream, (N + 7) / 8 bytes each, bit k in bit k % 8 of byte k / 8, first clock
    //            first; inSize is exactly 4 + 2 * ((N + 7) / 8)
    //   outData  receives the TDO stream in the same order, at least (N + 7) / 8 bytes (outSize);
    //            null when TDO is not wanted
    // The TAP state getTAPState reports follows the TMS stream (the walk of CseTapWalk.h builds
    // streams that pass the states the plug-in's own navigations pass). After a failed call the
    // plug-in resets the TAP to recover; then a stream that starts in the DR column (Capture-DR
    // to Exit2-DR) or reaches Capture-DR before the instructions are known again is refused, as
    // every DR shift is. They are known again after a reset by the host (initializeTAP, a
    // navigation or stream through Test-Logic-Reset, lockTarget) or an IR shift that entered
    // Capture-IR after the recovery and shifted at least the whole IR path before Update-IR.
    // getOption("retransmit") answers whether requests without a reply in time go out again
    // ("on: ..." or "off: ..." with the reason: retransmit=, or what the open found out of the
    // front end). Every other command fails with the framework's "not implemented" message.
    virtual CseResult sendCommand(const char* command, const void* inData, uint32_t inSize,
                                  void* outData, uint32_t outSize, uint32_t opaque1,
                                  uint32_t opaque2) = 0;
    // 83: setOptionImpl; a null key or value is refused.
    virtual CseResult setOption(const char* key, const char* value) = 0;
    // 84: getOptionImpl; a null key is refused.
    virtual CseResult getOption(const char* key, char* outBuffer, uint32_t outSize) = 0;
    // 85: isFileOutputImpl; a null pointer is refused.
    virtual CseResult isFileOutput(uint32_t* flag) = 0;
    // 86: writeCommentImpl.
    virtual CseResult writeComment(uint32_t comment) = 0;
    // 87: writeHeaderImpl.
    virtual CseResult writeHeader(uint32_t header) = 0;
    // 88: scanEndStateImpl.
    virtual CseResult scanEndState(uint32_t irEndState, uint32_t drEndState) = 0;
    // 89: startOperationImpl.
    virtual CseResult startOperation(uint32_t operation) = 0;
};

}  // namespace CsePluginInterface
