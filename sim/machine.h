// The simulated Windows host: one machine per run, built from a scenario.
//
// Every simulated Win32 function goes through Enter() first, which counts the call, journals it
// and applies the scenario's failure plan. Objects that a handle can name live in one handle
// table with a kind per entry, so the run report can count what the updater left open.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "platform/host_win32.h"
#include "sim/areas.h"
#include "sim/programs.h"
#include "sim/scenario.h"

namespace sim {

// Console handles are the process's own from its start: they are never counted as left open.
// Modules loaded as data files, hash objects and files on disk are only ever opened by the probe
// and the deploy, processes, threads, pipes and folder searches by the deploy: the report lists
// them only when some are left open, so the updater's reports keep their members.
enum class HandleKind {
    Device,
    Event,
    Manager,
    Service,
    Key,
    Mutex,
    Console,
    Module,
    Hash,
    Process,
    Thread,
    Pipe,
    Find,
    File
};
const char* KindName(HandleKind kind);

struct HandleObject {
    HandleKind kind = HandleKind::Event;
    int ref = -1;              // device index, instance number or mutex id, by kind
    DWORD access = 0;          // rights granted when the handle was opened
    bool signalled = false;    // events
    bool manualReset = false;  // events
    bool inheritable = false;  // a child process started with inheritance gets it too
};

constexpr uint64_t DEFAULT_LIMIT_MS = 24ull * 60 * 60 * 1000;

struct RunOptions {
    bool realClock = false;  // false: Sleep and timed-out waits only advance a virtual clock
    bool trace = false;      // every call on standard error
    bool journal = false;    // keep the call journal (names and ordinals) for the run
    bool hashImages = true;  // false: image writes are counted but not hashed (fault sweeps)
    // false: the process's token lacks BUILTIN\Administrators (an option of the tests alone: a
    // scenario file describes the PC, not who runs the program on it).
    bool administrator = true;
    // A console event delivered as the main thread is about to make its call number `callIndex`
    // (from 0), besides the scenario's own: how the sweeps reach every call boundary.
    // A second event may follow it: `afterMs` later, or at the main thread's first call after its
    // next pause has ended (how the sweeps deliver pairs of events).
    struct FollowingEvent {
        ConsoleEvent event = ConsoleEvent::CtrlC;
        uint64_t afterMs = 0;
        bool afterNextPause = false;
    };
    struct CallInterrupt {
        ConsoleEvent event = ConsoleEvent::CtrlC;
        uint64_t callIndex = 0;
        std::optional<FollowingEvent> then;
    };
    std::optional<CallInterrupt> interruptAtCall;
    // On the virtual clock a run stops when its simulated time would pass this: a scanner that
    // burns for ever must not make a run that never ends. The real clock is never limited.
    uint64_t limitMs = DEFAULT_LIMIT_MS;
    // The running program's file and the program it may start (sim/programs.h).
    ProgramSetup program;
};

struct JournalEntry {
    std::string call;
    uint32_t ordinal = 0;        // 1 for the first call of that function in the run
    const void* site = nullptr;  // where in the updater the call was made
    int thread = 0;              // 0: the main thread; 1: a console control handler's thread
};

class Clock {
public:
    void Start(bool real, uint32_t tickStart);
    uint64_t ElapsedMs() const;
    uint32_t Ticks() const { return static_cast<uint32_t>(Ticks64()); }
    uint64_t Ticks64() const { return tickStart_ + ElapsedMs(); }
    bool Real() const { return real_; }
    // The virtual clock jumps to `elapsedMs` (never back); the real one is waited on until then.
    void AdvanceTo(uint64_t elapsedMs);
    void WaitUntil(uint64_t elapsedMs) const;

private:
    bool real_ = false;
    uint32_t tickStart_ = 0;
    uint64_t virtualMs_ = 0;
    std::chrono::steady_clock::time_point realStart_{};
};

struct Machine {
    Scenario scenario;
    RunOptions options;
    Clock clock;
    std::map<uintptr_t, HandleObject> handles;
    uintptr_t nextHandle = 0;
    std::map<std::string, uint32_t> callCounts;
    std::unordered_map<const char*, uint32_t*> counterOfName;  // the entry of callCounts of a name's text
    std::vector<JournalEntry> journal;
    std::vector<uint32_t> sleeps;
    std::vector<int> opened;  // usbscan numbers that opened, in order
    uint64_t callsMade = 0;   // simulated calls so far, by every thread
    int64_t exitCode = 0;     // the process's, when the system ended it
    // What the trace calls handles and buffers: "device#1", "buffer#3". Numbered by first
    // appearance, so that two runs of one scenario trace the same text whatever the addresses.
    std::map<const void*, std::string> names;
    std::map<std::string, int> nameCounts;
    int64_t localBlocks = 0;   // LocalAlloc blocks not yet freed
    DWORD dllSearchFlags = 0;  // the latest SetDefaultDllDirectories that took effect; 0: none
    DeviceArea devices;
    ServiceArea service;
    RegistryArea registry;
    MutexArea mutexes;
    ResourceArea resources;
    ConsoleArea console;
    SyncArea sync;
    LaunchArea launches;
    WrittenKeyArea writtenKeys;
    FolderArea folders;
};

// The machine of the current run.
Machine& M();
// Builds a fresh machine from the scenario; every earlier handle and object is forgotten.
void Boot(const Scenario& scenario, const RunOptions& options);

// Counts and journals a call of the simulated function `call`. Returns true when the failure
// plan makes this call fail; the last error is then already set to the plan's error, or to
// `defaultError`, and the caller returns the function's failure value without other effects.
bool EnterFrom(const char* call, DWORD defaultError, const void* site);
// Inlined into each simulated function, so the return address it reads is the updater's call site.
__attribute__((always_inline)) inline bool Enter(const char* call, DWORD defaultError) {
    return EnterFrom(call, defaultError, __builtin_return_address(0));
}
bool Tracing();
// " [name#N]" for a thread other than the main one, else "".
std::string ThreadTag();
// One line on standard error for something the host itself does: "[t=ELAPSED] TEXT".
void TraceEvent(const std::string& text);
// The text of a trace: a string, or the code that makes it, run only when the run is traced, so
// that the runs nobody reads (sweeps, fuzzers, benchmarks) build no text at all.
template <typename Text>
std::string TraceText(const Text& text) {
    if constexpr (std::is_invocable_v<const Text&>)
        return text();
    else
        return std::string(text);
}
void TraceLine(const char* call, const std::string& args, const std::string& result);
// One line on standard error: "[t=ELAPSED] CALL(ARGS) -> RESULT", when the run is traced.
template <typename Args, typename Result>
void TraceCall(const char* call, const Args& args, const Result& result) {
    if (Tracing())
        TraceLine(call, TraceText(args), TraceText(result));
}
std::string Hex(uint64_t value);
std::string Quote(const char* text);
// Two names equal without regard to the case of ASCII letters, as Windows compares the names of
// registry keys and values, services, resource types and files.
inline bool EqualIgnoringCase(std::string_view a, std::string_view b) {
    auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (upper(a[i]) != upper(b[i]))
            return false;
    return true;
}
// A BOOL argument as the trace shows it.
inline std::string Bool(BOOL b) {
    return b ? "TRUE" : "FALSE";
}
// A BOOL function's refusal: sets `error` as the last error, traces the call as failed with it,
// and gives FALSE to return.
template <typename Args>
BOOL Refuse(const char* call, const Args& args, DWORD error) {
    SetLastError(error);
    TraceCall(call, args, [&] { return "FALSE, error " + std::to_string(error); });
    return FALSE;
}
// A handle or buffer for the trace: "NULL", a handle's kind and number ("event#2"), a name given
// with NameAs, or else "buffer#N" by the buffer's first appearance in the run.
std::string Ptr(const void* p);
// Like Ptr, but an address seen for the first time is named `kind#N`.
std::string Name(const char* kind, const void* p);
// Gives `p` the name the trace shows for it from now on.
void SetName(const void* p, std::string name);
template <typename Text>
void NameAs(const void* p, const Text& name) {
    if (Tracing())
        SetName(p, TraceText(name));
}

HANDLE NewHandle(HandleKind kind, int ref, DWORD access = 0);
// The open object behind a handle, or null; with `kind`, only a handle of that kind.
HandleObject* FindHandle(const void* handle);
HandleObject* FindHandle(const void* handle, HandleKind kind);
void DropHandle(const void* handle);
std::map<std::string, int> OpenHandleCounts();

// Frees what the previous run left of its local memory, as the end of a process would.
void FreeLeftoverLocalBlocks();
// Closes the files on disk that the previous run left open (sim/files.cpp).
void CloseLeftoverFiles();

void SignalEvent(HANDLE event);
void ResetEventObject(HANDLE event);

}  // namespace sim
