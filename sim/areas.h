// Per-area state of the simulated host. Each area (devices and the substitute scanner, the
// service manager, the registry, named mutexes, executable resources) keeps its state in one
// struct here and offers a boot and a report function, so the core never needs to know more.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <vector>

#include "platform/host_win32.h"
#include "sim/scenario.h"

namespace sim {

struct Machine;

// Devices and the substitute scanner behind each of them. The transfer state belongs to the
// device, not to a handle, as a real scanner's does.
struct ScannerRuntime {
    size_t readyNext = 0, downloadNext = 0, progressNext = 0;  // next entry of each reply list
    uint32_t writes = 0, reads = 0;    // operations that reached the device, for the fault counters
    std::vector<uint8_t> lastCommand;  // the bytes of the latest command received; chooses the reply
    bool haveCommand = false;
    std::vector<std::vector<uint8_t>> commands;  // every command block received, as received
    struct Image {
        uint32_t length = 0;
        std::string sha256;  // empty when the run does not hash images
    };
    std::vector<Image> images;
};

struct DeviceArea {
    std::map<int, ScannerRuntime> scanners;  // by usbscan number, for every scenario device
};
void BootDevices(Machine& m);
void ReportDevices(const Machine& m, nlohmann::json& report);

// The imaging service and its manager.
struct ServiceArea {
    uint32_t state = 0;
    uint32_t controlsAccepted = 0;  // as the scenario gives it while in the initial state
    uint32_t startType = 0;
    uint32_t checkPoint = 0;       // counts the reads of the current pending state
    int64_t pendingReadsLeft = 0;  // successful status reads left before a pending state ends; -1: never
    uint32_t stopRequests = 0, startRequests = 0;
    std::vector<uint32_t> configChanges;
};
void BootService(Machine& m);
// A start type as reports and traces show it: its name, or its number in hex.
std::string StartTypeText(DWORD startType);
void ReportService(const Machine& m, nlohmann::json& report);

// The imaging device class key and its instance keys.
struct RegistryArea {
    uint32_t opens = 0;
};
void BootRegistry(Machine& m);

// Named mutexes, the updater's and other processes'.
struct MutexObject {
    std::string name;
    bool exists = true;  // false once its last handle anywhere was closed
    bool createdByUpdater = false;
    bool ownedByUpdater = false;
    int updaterHandles = 0;
    bool heldByOther = false;  // another process has a handle to it
    bool otherCloses = false;  // that process closes its handle after releaseAfterMs
    uint64_t otherClosesAtMs = 0;
    bool accessDenied = false;
    bool openToEveryone = false;       // created with a present but null DACL
    bool ownerAdministrators = false;  // its owner is BUILTIN\Administrators
    bool privileged = false;           // its DACL grants rights to SYSTEM and administrators alone
};
struct MutexTried {
    bool created = false;
};
struct MutexArea {
    std::vector<MutexObject> objects;         // index = handle ref
    std::map<std::string, MutexTried> tried;  // every name the updater asked for
};
void BootMutexes(Machine& m);
void ReportMutexes(const Machine& m, nlohmann::json& report);
// Closes one updater handle to mutex object `id`; the object disappears with its last handle.
void CloseMutexHandle(int id);

// The executable's BINARY resources. Their bytes live in a process-wide cache (see resources.cpp),
// so a run only records which of them LoadResource handed out.
struct ResourceArea {
    std::map<int, ResourceSpec> images;  // by resource id
    std::map<const void*, int> loaded;   // LoadResource results of this run, to their id
};
void BootResources(Machine& m);

// The console the updater runs in, its control handlers and the power requests.
struct ConsoleDelivery {
    ConsoleEvent event = ConsoleEvent::CtrlC;
    uint64_t atMs = 0;
    uint64_t callIndex = 0;  // calls made before it
};
struct ConsoleArea {
    std::vector<BOOL(WINAPI*)(DWORD)> handlers;  // in the order installed
    std::vector<uint32_t> power;                 // every SetThreadExecutionState argument
    uint32_t keyWaits = 0;
    void* input = nullptr;
    void* output = nullptr;
    std::vector<ConsoleDelivery> deliveries;
    std::optional<ConsoleEvent> afterNextPause;  // delivered once the main thread's next pause ends
};
void BootConsole(Machine& m);
// The main thread's pause has ended: an event waiting for that is delivered before its next call.
void PauseEnded();

// Slim reader/writer locks, by the address of the SRWLOCK: the number of the thread that holds
// each one (0 the main thread). A lock not listed is free; every lock is free when a run boots.
struct SyncArea {
    std::map<const void*, int> owners;
};
void ReportConsole(const Machine& m, nlohmann::json& report);

}  // namespace sim
