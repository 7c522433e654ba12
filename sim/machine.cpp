// Core of the simulated host: the clock, the handle table, the journal and the failure plan.
#include "sim/machine.h"

#include <cstdio>
#include <thread>

#include "sim/threads.h"

namespace sim {
namespace {

constexpr uintptr_t FIRST_HANDLE = 0x40;
// Windows hands out handle values in steps of four.
constexpr uintptr_t HANDLE_STEP = 4;

Machine& TheMachine() {
    static Machine machine;
    return machine;
}

}  // namespace

const char* KindName(HandleKind kind) {
    switch (kind) {
        case HandleKind::Device:
            return "device";
        case HandleKind::Event:
            return "event";
        case HandleKind::Manager:
            return "manager";
        case HandleKind::Service:
            return "service";
        case HandleKind::Key:
            return "key";
        case HandleKind::Mutex:
            return "mutex";
        case HandleKind::Console:
            return "console";
        case HandleKind::Module:
            return "module";
        case HandleKind::Hash:
            return "hash";
        case HandleKind::Process:
            return "process";
        case HandleKind::Thread:
            return "thread";
        case HandleKind::Pipe:
            return "pipe";
        case HandleKind::Find:
            return "find";
        case HandleKind::File:
            return "file";
    }
    return "?";
}

void Clock::Start(bool real, uint32_t tickStart) {
    real_ = real;
    tickStart_ = tickStart;
    virtualMs_ = 0;
    realStart_ = std::chrono::steady_clock::now();
}

uint64_t Clock::ElapsedMs() const {
    if (!real_)
        return virtualMs_;
    auto spent = std::chrono::steady_clock::now() - realStart_;
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(spent).count());
}

void Clock::AdvanceTo(uint64_t elapsedMs) {
    if (elapsedMs > virtualMs_)
        virtualMs_ = elapsedMs;
}

void Clock::WaitUntil(uint64_t elapsedMs) const {
    if (elapsedMs == UINT64_MAX)
        return;
    std::this_thread::sleep_until(realStart_ + std::chrono::milliseconds(elapsedMs));
}

Machine& M() {
    return TheMachine();
}

void Boot(const Scenario& scenario, const RunOptions& options) {
    Machine& m = TheMachine();
    FreeLeftoverLocalBlocks();
    CloseLeftoverFiles();
    m = Machine{};
    m.scenario = scenario;
    m.options = options;
    m.nextHandle = FIRST_HANDLE;
    m.clock.Start(options.realClock, scenario.tickStart);
    SetLastError(ERROR_SUCCESS);
    StartThreads();
    BootDevices(m);
    BootService(m);
    BootRegistry(m);
    BootMutexes(m);
    BootResources(m);
    BootConsole(m);
}

bool EnterFrom(const char* call, DWORD defaultError, const void* site) {
    Machine& m = TheMachine();
    // Once the process has ended, whatever its threads still do fails at once and leaves no trace.
    if (ProcessGone()) {
        SetLastError(defaultError);
        return true;
    }
    const bool mainThread = OnMainThread();
    if (mainThread) {
        CallBoundary(m.callsMade);
        if (ProcessGone()) {
            SetLastError(defaultError);
            return true;
        }
    }
    m.callsMade++;
    // Each function's count is found by its name once, then by the address of the name.
    uint32_t*& counter = m.counterOfName[call];
    if (counter == nullptr)
        counter = &m.callCounts.try_emplace(call, 0).first->second;
    const uint32_t ordinal = ++*counter;
    if (m.options.journal)
        m.journal.push_back({call, ordinal, site, mainThread ? 0 : 1});
    for (const FailureSpec& f : m.scenario.failures) {
        if (f.call != call)
            continue;
        bool from = ordinal >= f.nth;
        bool within = f.count == 0 || ordinal - f.nth < f.count;
        if (from && within) {
            SetLastError(f.error.value_or(defaultError));
            if (m.options.trace)
                std::fprintf(stderr, "[t=%llu]%s %s: injected failure, error %u\n",
                             static_cast<unsigned long long>(m.clock.ElapsedMs()), ThreadTag().c_str(), call,
                             static_cast<unsigned>(f.error.value_or(defaultError)));
            return true;
        }
    }
    return false;
}

bool Tracing() {
    return TheMachine().options.trace && !ProcessGone();
}

std::string ThreadTag() {
    const char* name = ThreadName();
    return *name == '\0' ? std::string() : std::string(" [") + name + "]";
}

void TraceEvent(const std::string& text) {
    if (!Tracing())
        return;
    std::fprintf(stderr, "[t=%llu]%s %s\n", static_cast<unsigned long long>(TheMachine().clock.ElapsedMs()),
                 ThreadTag().c_str(), text.c_str());
}

void TraceLine(const char* call, const std::string& args, const std::string& result) {
    std::fprintf(stderr, "[t=%llu]%s %s(%s) -> %s\n", static_cast<unsigned long long>(TheMachine().clock.ElapsedMs()),
                 ThreadTag().c_str(), call, args.c_str(), result.c_str());
}

std::string Hex(uint64_t value) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(value));
    return buf;
}

std::string Name(const char* kind, const void* p) {
    if (p == nullptr)
        return "NULL";
    if (p == INVALID_HANDLE_VALUE)
        return "INVALID_HANDLE_VALUE";
    if (p == HKEY_LOCAL_MACHINE)
        return "HKEY_LOCAL_MACHINE";
    Machine& m = TheMachine();
    auto it = m.names.find(p);
    if (it != m.names.end())
        return it->second;
    std::string name = std::string(kind) + "#" + std::to_string(++m.nameCounts[kind]);
    m.names.emplace(p, name);
    return name;
}

std::string Ptr(const void* p) {
    return Name("buffer", p);
}

void SetName(const void* p, std::string name) {
    TheMachine().names[p] = std::move(name);
}

std::string Quote(const char* text) {
    if (text == nullptr)
        return "NULL";
    std::string out = "\"";
    for (const char* p = text; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '\\' || c == '"') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02X", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

HANDLE NewHandle(HandleKind kind, int ref, DWORD access) {
    Machine& m = TheMachine();
    uintptr_t value = m.nextHandle;
    m.nextHandle += HANDLE_STEP;
    HandleObject obj;
    obj.kind = kind;
    obj.ref = ref;
    obj.access = access;
    m.handles[value] = obj;
    HANDLE h = reinterpret_cast<HANDLE>(value);
    NameAs(h, [&] { return std::string(KindName(kind)) + "#" + std::to_string(++m.nameCounts[KindName(kind)]); });
    return h;
}

HandleObject* FindHandle(const void* handle) {
    Machine& m = TheMachine();
    auto it = m.handles.find(reinterpret_cast<uintptr_t>(handle));
    return it == m.handles.end() ? nullptr : &it->second;
}

HandleObject* FindHandle(const void* handle, HandleKind kind) {
    HandleObject* obj = FindHandle(handle);
    return obj != nullptr && obj->kind == kind ? obj : nullptr;
}

void DropHandle(const void* handle) {
    TheMachine().handles.erase(reinterpret_cast<uintptr_t>(handle));
}

std::map<std::string, int> OpenHandleCounts() {
    std::map<std::string, int> counts;
    for (HandleKind k : {HandleKind::Device, HandleKind::Event, HandleKind::Manager, HandleKind::Service,
                         HandleKind::Key, HandleKind::Mutex})
        counts[KindName(k)] = 0;
    for (const auto& [value, obj] : TheMachine().handles)
        if (obj.kind != HandleKind::Console)
            counts[KindName(obj.kind)]++;
    return counts;
}

void SignalEvent(HANDLE event) {
    HandleObject* e = FindHandle(event, HandleKind::Event);
    if (e == nullptr)
        return;
    e->signalled = true;
    // An auto-reset event lets one waiter through and is reset by it; a manual one stays set.
    if (WakeWaiters(event, !e->manualReset) && !e->manualReset)
        e->signalled = false;
}

void ResetEventObject(HANDLE event) {
    if (HandleObject* e = FindHandle(event, HandleKind::Event))
        e->signalled = false;
}

}  // namespace sim
