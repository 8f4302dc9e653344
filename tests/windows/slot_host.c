// SPDX-License-Identifier: Apache-2.0
/* A stand-in for the 32-bit Windows host: it loads the plug-in DLL with LoadLibrary, looks the six
 * decorated exports up with GetProcAddress, registers __stdcall callbacks and reaches the plug-in
 * object only through raw slot numbers of its table of virtual functions, called with __thiscall,
 * exactly as a host built with the Windows platform compiler does. It shares no header with the
 * plug-in, so a layout or calling-convention slip shows here instead of being compiled away.
 *
 * Usage: slot_host.exe <plug-in DLL> <front-end node> <front-end port>
 * The front end must serve the chain of windows-test.chain. Exit status 0 when every check
 * passed, 1 otherwise. */
#include <stdarg.h>
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

/* ---- The host interface as the host knows it ---- */

#define CSE_SUCCESS 0
#define CSE_FAILURE ((int32_t)0x80000000u)
#define INTERFACE_VERSION 0x00140100u
#define CSEJTAG_RUN_TEST_IDLE 1u
#define TARGET_INFO_BYTES 11268
#define TARGET_INFO_NAME_OFFSET 8192
#define TARGET_INFO_VERSION_OFFSET 10240
#define HOST_HANDLE 0x00C0FFEEu
#define CATEGORY_ERROR 0x100u

typedef void(__stdcall* MessageFn)(uint32_t handle, uint32_t category, const char* text);
typedef void(__stdcall* LogFn)(uint32_t level, const char* format, va_list args);
typedef void(__stdcall* DumpFn)(uint32_t level, const char* label, const uint8_t* buffer,
                                uint32_t bitCount);
typedef void(__stdcall* TraceFn)(const char* text);

typedef struct {
    MessageFn message;
    LogFn log;
    DumpFn dump;
    TraceFn traceEnter;
    TraceFn traceExit;
} Callbacks;

typedef void*(__stdcall* CreateFn)(void);
typedef void(__stdcall* DestroyFn)(void* plugin);
typedef void(__stdcall* NotifyFn)(void);
typedef void(__stdcall* SetCallbacksFn)(const Callbacks* callbacks);
typedef uint32_t(__stdcall* VersionFn)(void);

enum Slot {
    SLOT_DESTRUCTOR = 38,
    SLOT_INITIALIZE_TARGET = 39,
    SLOT_OPEN_TARGET = 40,
    SLOT_CLOSE_TARGET = 41,
    SLOT_IS_OPENED = 42,
    SLOT_IS_CONNECTED = 43,
    SLOT_SCAN_JTAG_CHAIN = 44,
    SLOT_GET_DEVICE_COUNT = 47,
    SLOT_GET_IR_LENGTH = 49,
    SLOT_SET_IR_LENGTH = 50,
    SLOT_GET_DEVICE_ID = 51,
    SLOT_GET_TARGET_INFO = 53,
    SLOT_SET_HANDLE = 54,
    SLOT_SET_CLIENT_DATA = 55,
    SLOT_LOCK_TARGET = 56,
    SLOT_UNLOCK_TARGET = 57,
    SLOT_GET_TAP_STATE = 60,
    SLOT_SHIFT_DEVICE_IR = 72,
    SLOT_READ_DEVICE_DR = 73,
    SLOT_SHIFT_DEVICE_DR = 75,
    SLOT_WAIT_TIME = 80,
};

/* Member functions: the object in ECX, the arguments on the stack, removed by the callee. GCC
 * notes pedantically that thiscall is meant for class members; on these pointer types it is
 * exactly the point. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wattributes"
typedef void*(__thiscall* DestructorFn)(void* self, unsigned flags);
typedef int32_t(__thiscall* ArgumentsFn)(void* self, uint32_t argc, const char* const* argv);
typedef int32_t(__thiscall* OpenFn)(void* self, uint32_t argc, const char* const* argv,
                                    uint32_t opaque1, uint32_t opaque2);
typedef int32_t(__thiscall* ResultFn)(void* self);
typedef bool(__thiscall* BoolFn)(void* self);
typedef int32_t(__thiscall* FlagFn)(void* self, uint32_t* flag);
typedef uint32_t(__thiscall* CountFn)(void* self);
typedef uint32_t(__thiscall* DeviceQueryFn)(void* self, uint32_t device);
typedef int32_t(__thiscall* DeviceSetFn)(void* self, uint32_t device, uint32_t value);
typedef int32_t(__thiscall* InfoFn)(void* self, uint8_t* info);
typedef void(__thiscall* SetterFn)(void* self, uint32_t value);
typedef int32_t(__thiscall* ValueFn)(void* self, uint32_t value);
typedef int32_t(__thiscall* ShiftDeviceFn)(void* self, uint32_t device, const uint8_t* tdi,
                                           uint8_t* tdo, const uint8_t* tdiAux, uint8_t* tdoAux,
                                           uint32_t bitCount, uint32_t endState, uint32_t opaque1,
                                           uint32_t opaque2);
typedef int32_t(__thiscall* ReadDeviceFn)(void* self, uint32_t device, bool tdiValue, uint8_t* tdo,
                                          uint8_t* tdoAux, uint32_t bitCount, uint32_t endState,
                                          uint32_t opaque1, uint32_t opaque2);
#pragma GCC diagnostic pop

/* The entry of a slot, read the way the host does: first pointer of the object -> table. */
typedef void (*AnyFunction)(void);
static AnyFunction slotEntry(void* object, enum Slot slot) {
    AnyFunction const* table = *(AnyFunction const* const*)object;
    return table[slot];
}
#define CALL(object, slot, Type, ...) ((Type)slotEntry((object), (slot)))((object), __VA_ARGS__)
#define CALL0(object, slot, Type) ((Type)slotEntry((object), (slot)))(object)

/* ---- The chain of windows-test.chain, device 0 nearest TDI ---- */

typedef struct {
    uint32_t irLength;
    uint32_t idcodeOpcode;
    uint32_t idcode;
} ChainDevice;

static const ChainDevice kChain[] = {
    {5, 0x02, 0x1A2B3C5Du},
    {9, 0x1A5, 0x3C4D5E6Fu},
    {3, 0x6, 0x0ACE1235u},
};
#define CHAIN_DEVICES ((uint32_t)(sizeof kChain / sizeof kChain[0]))

/* ---- What the callbacks saw, one line per call ---- */

static char journal[1 << 20];
static size_t journalLength = 0;
static size_t markedLength = 0;

static void record(const char* format, ...) {
    if (journalLength + 1 >= sizeof journal) return;
    va_list args;
    va_start(args, format);
    const int written =
        vsnprintf(journal + journalLength, sizeof journal - journalLength, format, args);
    va_end(args);
    if (written > 0) journalLength += (size_t)written;
    if (journalLength >= sizeof journal) journalLength = sizeof journal - 1;
}

/* Later look-ups only see what the plug-in reported after this point. */
static void markJournal(void) {
    markedLength = journalLength;
}

static const char* findInJournal(const char* text) {
    return strstr(journal + markedLength, text);
}

static void __stdcall onMessage(uint32_t handle, uint32_t category, const char* text) {
    record("message %08X %03X %s\n", handle, category, text);
}

static void __stdcall onLog(uint32_t level, const char* format, va_list args) {
    char line[2048];
    vsnprintf(line, sizeof line, format, args);
    record("log %u %s\n", level, line);
}

static void __stdcall onDump(uint32_t level, const char* label, const uint8_t* buffer,
                             uint32_t bitCount) {
    (void)buffer;
    record("dump %u %s %u\n", level, label, bitCount);
}

static void __stdcall onTraceEnter(const char* name) {
    record("enter %s\n", name);
}

static void __stdcall onTraceExit(const char* result) {
    record("exit %s\n", result);
}

/* ---- Checks ---- */

static int checkCount = 0;
static int failureCount = 0;

static bool check(bool passed, const char* what, int line) {
    ++checkCount;
    if (!passed) {
        ++failureCount;
        fprintf(stderr, "slot_host.c:%d: failed: %s\n", line, what);
    }
    return passed;
}

static bool checkValue(uint32_t actual, uint32_t expected, const char* what, int line) {
    ++checkCount;
    if (actual == expected) return true;
    ++failureCount;
    fprintf(stderr, "slot_host.c:%d: failed: %s is 0x%08X, expected 0x%08X\n", line, what, actual,
            expected);
    return false;
}

static bool checkSeen(const char* text, int line) {
    ++checkCount;
    if (findInJournal(text) != NULL) return true;
    ++failureCount;
    fprintf(stderr, "slot_host.c:%d: failed: the plug-in did not report \"%s\"\n", line, text);
    return false;
}

#define CHECK(condition) check((condition), #condition, __LINE__)
#define CHECK_VALUE(actual, expected) \
    checkValue((uint32_t)(actual), (uint32_t)(expected), #actual, __LINE__)
#define CHECK_SEEN(text) checkSeen((text), __LINE__)

/* ---- The exports ---- */

typedef struct {
    CreateFn create;
    DestroyFn destroy;
    NotifyFn loaded;
    NotifyFn unloaded;
    SetCallbacksFn setCallbacks;
    VersionFn getVersion;
} Exports;

static AnyFunction lookUp(HMODULE library, const char* decoratedName) {
    AnyFunction function = (AnyFunction)(void (*)(void))GetProcAddress(library, decoratedName);
    check(function != NULL, decoratedName, __LINE__);
    return function;
}

static bool findExports(HMODULE library, Exports* exports) {
    exports->create = (CreateFn)lookUp(library, "_CsePlugin_create@0");
    exports->destroy = (DestroyFn)lookUp(library, "_CsePlugin_destroy@4");
    exports->loaded = (NotifyFn)lookUp(library, "_CsePlugin_loaded@0");
    exports->unloaded = (NotifyFn)lookUp(library, "_CsePlugin_unloaded@0");
    exports->setCallbacks = (SetCallbacksFn)lookUp(library, "_CsePlugin_setCallbacks@4");
    exports->getVersion = (VersionFn)lookUp(library, "_CsePlugin_getCsePluginVersion@0");
    return exports->create != NULL && exports->destroy != NULL && exports->loaded != NULL &&
           exports->unloaded != NULL && exports->setCallbacks != NULL &&
           exports->getVersion != NULL;
}

/* ---- Steps of the session ---- */

/* Before any open: plain setters, queries and a refused close, with their traces and messages. */
static void checkClosedObject(void* plugin) {
    CALL(plugin, SLOT_SET_HANDLE, SetterFn, HOST_HANDLE);
    CALL(plugin, SLOT_SET_CLIENT_DATA, SetterFn, 7u);

    markJournal();
    CHECK(!CALL0(plugin, SLOT_IS_OPENED, BoolFn));
    CHECK_SEEN("enter CsePlugin::isOpened\nexit false\n");

    markJournal();
    CHECK_VALUE(CALL0(plugin, SLOT_CLOSE_TARGET, ResultFn), CSE_FAILURE);
    /* The handle set through slot 54 comes back with the message; the log line is formatted by
     * this host from the plug-in's format and argument list. */
    CHECK_SEEN(
        "message 00C0FFEE 100 <CsePlugin> closeTarget() called but target was not opened!\n");
    CHECK_SEEN(
        "log 1 <CsePlugin> Error:<CsePlugin> closeTarget() called but target was not opened!\n");
    CHECK_SEEN("exit CSE_FAILURE, ERROR CODE: 0\n");

    uint8_t info[TARGET_INFO_BYTES];
    memset(info, 0xA5, sizeof info);
    CHECK_VALUE(CALL(plugin, SLOT_GET_TARGET_INFO, InfoFn, info), CSE_SUCCESS);
    CHECK(strcmp((const char*)info + TARGET_INFO_NAME_OFFSET, "CSE Plug-in") == 0);
    CHECK(strcmp((const char*)info + TARGET_INFO_VERSION_OFFSET, "CsePlugin Version 1.0") == 0);
    CHECK(info[TARGET_INFO_BYTES - 1] == 0);
}

/* Slot 39 is initializeTarget, not a second destructor entry. */
static void checkInitializeTarget(void* plugin, uint32_t argc, const char* const* argv) {
    markJournal();
    CHECK_VALUE(CALL(plugin, SLOT_INITIALIZE_TARGET, ArgumentsFn, argc, argv), CSE_SUCCESS);
    CHECK_SEEN("enter CsePlugin::initializeTarget\n");
    CHECK(findInJournal("~") == NULL);
}

static bool openAndLock(void* plugin, uint32_t argc, const char* const* argv) {
    markJournal();
    if (!CHECK_VALUE(CALL(plugin, SLOT_OPEN_TARGET, OpenFn, argc, argv, 0u, 0u), CSE_SUCCESS)) {
        return false;
    }
    CHECK_SEEN("enter CsePlugin::openTarget\n");
    CHECK(CALL0(plugin, SLOT_IS_OPENED, BoolFn));
    uint32_t connected = 0xFFFFFFFFu;
    CHECK_VALUE(CALL(plugin, SLOT_IS_CONNECTED, FlagFn, &connected), CSE_SUCCESS);
    CHECK_VALUE(connected, 1);

    if (!CHECK_VALUE(CALL(plugin, SLOT_LOCK_TARGET, ValueFn, 0u), CSE_SUCCESS)) return false;
    CHECK_VALUE(CALL0(plugin, SLOT_GET_TAP_STATE, CountFn), CSEJTAG_RUN_TEST_IDLE);
    return true;
}

static bool scanChain(void* plugin) {
    markJournal();
    if (!CHECK_VALUE(CALL0(plugin, SLOT_SCAN_JTAG_CHAIN, ResultFn), CSE_SUCCESS)) return false;
    CHECK_SEEN("enter CsePlugin::scanJTAGChain\n");
    if (!CHECK_VALUE(CALL0(plugin, SLOT_GET_DEVICE_COUNT, CountFn), CHAIN_DEVICES)) return false;
    for (uint32_t device = 0; device < CHAIN_DEVICES; ++device) {
        CHECK_VALUE(CALL(plugin, SLOT_GET_DEVICE_ID, DeviceQueryFn, device), kChain[device].idcode);
    }
    for (uint32_t device = 0; device < CHAIN_DEVICES; ++device) {
        CHECK_VALUE(CALL(plugin, SLOT_SET_IR_LENGTH, DeviceSetFn, device, kChain[device].irLength),
                    CSE_SUCCESS);
        CHECK_VALUE(CALL(plugin, SLOT_GET_IR_LENGTH, DeviceQueryFn, device),
                    kChain[device].irLength);
    }
    return true;
}

static uint32_t littleEndian32(const uint8_t* bytes) {
    return (uint32_t)bytes[0] | (uint32_t)bytes[1] << 8 | (uint32_t)bytes[2] << 16 |
           (uint32_t)bytes[3] << 24;
}

/* IDCODE instruction into one device (the others in BYPASS), then its 32-bit data register out;
 * the devices take turns with readDeviceDR (TDI ones and zeros) and shiftDeviceDR. */
static void readIdcodes(void* plugin) {
    for (uint32_t device = 0; device < CHAIN_DEVICES; ++device) {
        const uint8_t opcode[2] = {(uint8_t)kChain[device].idcodeOpcode,
                                   (uint8_t)(kChain[device].idcodeOpcode >> 8)};
        CHECK_VALUE(CALL(plugin, SLOT_SHIFT_DEVICE_IR, ShiftDeviceFn, device, opcode, NULL, NULL,
                         NULL, kChain[device].irLength, CSEJTAG_RUN_TEST_IDLE, 0u, 0u),
                    CSE_SUCCESS);
        uint8_t tdo[4] = {0};
        int32_t result = 0;
        if (device == 1) {
            const uint8_t zeros[4] = {0};
            result = CALL(plugin, SLOT_SHIFT_DEVICE_DR, ShiftDeviceFn, device, zeros, tdo, NULL,
                          NULL, 32u, CSEJTAG_RUN_TEST_IDLE, 0u, 0u);
        } else {
            const bool tdiValue = device == 0;
            result = CALL(plugin, SLOT_READ_DEVICE_DR, ReadDeviceFn, device, tdiValue, tdo, NULL,
                          32u, CSEJTAG_RUN_TEST_IDLE, 0u, 0u);
        }
        CHECK_VALUE(result, CSE_SUCCESS);
        CHECK_VALUE(littleEndian32(tdo), kChain[device].idcode);
        printf("slot_host: device %u IDCODE 0x%08X\n", device, littleEndian32(tdo));
    }
    CHECK_VALUE(CALL0(plugin, SLOT_GET_TAP_STATE, CountFn), CSEJTAG_RUN_TEST_IDLE);
    /* 1500 us rounds up to a 2 ms sleep. */
    CHECK_VALUE(CALL(plugin, SLOT_WAIT_TIME, ValueFn, 1500u), CSE_SUCCESS);
}

static void unlockAndClose(void* plugin) {
    CHECK_VALUE(CALL0(plugin, SLOT_UNLOCK_TARGET, ResultFn), CSE_SUCCESS);
    CHECK_VALUE(CALL0(plugin, SLOT_CLOSE_TARGET, ResultFn), CSE_SUCCESS);
    CHECK(!CALL0(plugin, SLOT_IS_OPENED, BoolFn));
}

/* The derived destructor runs before the framework's, whichever way the object goes. */
static void checkDestructorsRan(int line) {
    const char* derived = findInJournal("Unloaded KORAVEN-CsePlugin");
    const char* base = findInJournal("enter CsePlugin::~CsePlugin\n");
    check(derived != NULL, "the derived destructor ran", line);
    check(base != NULL, "the base destructor ran", line);
    check(derived == NULL || base == NULL || derived < base, "derived before base", line);
}

static void destroyThroughSlot(void* plugin, unsigned flags) {
    markJournal();
    void* returned = CALL(plugin, SLOT_DESTRUCTOR, DestructorFn, flags);
    CHECK(returned == plugin);
    checkDestructorsRan(__LINE__);
}

static void runSession(const Exports* exports, const char* node, const char* port) {
    char nodeArgument[128];
    char portArgument[64];
    snprintf(nodeArgument, sizeof nodeArgument, "node=%s", node);
    snprintf(portArgument, sizeof portArgument, "port=%s", port);
    const char* const argv[] = {"type=slot-host", nodeArgument, portArgument};
    const uint32_t argc = 3;

    markJournal();
    void* plugin = exports->create();
    if (!CHECK(plugin != NULL)) return;
    CHECK_SEEN("enter CsePlugin::CsePlugin\n");

    checkClosedObject(plugin);
    checkInitializeTarget(plugin, argc, argv);
    if (openAndLock(plugin, argc, argv) && scanChain(plugin)) readIdcodes(plugin);
    unlockAndClose(plugin);
    destroyThroughSlot(plugin, 1);
}

/* The other ways an object ends: slot 38 without freeing, and the destroy export. */
static void checkOtherDestructions(const Exports* exports) {
    void* plugin = exports->create();
    if (CHECK(plugin != NULL)) destroyThroughSlot(plugin, 0); /* memory left to the caller */

    plugin = exports->create();
    if (CHECK(plugin != NULL)) {
        markJournal();
        exports->destroy(plugin);
        checkDestructorsRan(__LINE__);
    }
    exports->destroy(NULL);
}

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: slot_host.exe <plug-in DLL> <front-end node> <front-end port>\n");
        return 2;
    }
    HMODULE library = LoadLibraryA(argv[1]);
    if (library == NULL) {
        fprintf(stderr, "slot_host: cannot load %s (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    Exports exports;
    if (findExports(library, &exports)) {
        exports.loaded();
        CHECK_VALUE(exports.getVersion(), INTERFACE_VERSION);
        const Callbacks callbacks = {onMessage, onLog, onDump, onTraceEnter, onTraceExit};
        exports.setCallbacks(&callbacks);
        runSession(&exports, argv[2], argv[3]);
        checkOtherDestructions(&exports);
        exports.unloaded();
    }
    FreeLibrary(library);

    printf("slot_host: %d checks, %d failed\n", checkCount, failureCount);
    if (failureCount != 0) fprintf(stderr, "--- what the plug-in reported ---\n%s", journal);
    return failureCount == 0 ? 0 : 1;
}
