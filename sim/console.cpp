// Simulated console and power management: the console the updater was started in (shared with a
// command prompt, or its own when Explorer started it; standard handles that are the console or a
// pipe), its control handlers and the events the user sends them, key presses, and the requests
// that keep the system awake.
//
// A console event is delivered as Windows delivers it: on a thread of its own, to the installed
// handlers, the latest first. None installed, or none returning TRUE, ends the process at once
// with STATUS_CONTROL_C_EXIT; after a close the process ends when the handler returns, and 5 s
// after the event at the latest.
#include <algorithm>
#include <nlohmann/json.hpp>

#include "sim/machine.h"
#include "sim/threads.h"

namespace {

using sim::Bool;
using sim::ConsoleEvent;
using sim::HandleKind;
using sim::M;
using sim::Ptr;
using sim::Refuse;

constexpr DWORD STATUS_CONTROL_C_EXIT = 0xC000013A;
constexpr uint64_t CLOSE_LIMIT_MS = 5000;
// The mode of a console's input and output handles as a command prompt leaves them.
constexpr DWORD CONSOLE_INPUT_MODE = 0x1F7;
constexpr DWORD CONSOLE_OUTPUT_MODE = 0x3;
constexpr DWORD UPDATER_PROCESS_ID = 0x1A2C;
constexpr DWORD PROMPT_PROCESS_ID = 0x0F10;
constexpr WORD VK_RETURN_CODE = 0x0D;
// The execution state a thread starts with: nothing requested.
constexpr EXECUTION_STATE INITIAL_EXECUTION_STATE = ES_CONTINUOUS;

const char* EventName(ConsoleEvent event) {
    switch (event) {
        case ConsoleEvent::CtrlC:
            return "ctrlC";
        case ConsoleEvent::CtrlBreak:
            return "ctrlBreak";
        case ConsoleEvent::Close:
            return "close";
    }
    return "?";
}

DWORD EventCode(ConsoleEvent event) {
    switch (event) {
        case ConsoleEvent::CtrlC:
            return CTRL_C_EVENT;
        case ConsoleEvent::CtrlBreak:
            return CTRL_BREAK_EVENT;
        case ConsoleEvent::Close:
            return CTRL_CLOSE_EVENT;
    }
    return CTRL_C_EVENT;
}

void Terminate(const char* why) {
    if (sim::ProcessGone())
        return;
    sim::TraceEvent(std::string("the system ends the process (") + why + ")");
    M().exitCode = STATUS_CONTROL_C_EXIT;
    sim::EndProcess(sim::ProcessEnd::Terminated);
}

// The body of the thread Windows creates for one event.
void RunHandlers(ConsoleEvent event) {
    const DWORD code = EventCode(event);
    // The handlers installed when the thread starts, the latest first.
    const std::vector<PHANDLER_ROUTINE> handlers = M().console.handlers;
    sim::TraceEvent(std::string("console event ") + EventName(event) + " to " + std::to_string(handlers.size()) +
                    " handler(s)");
    bool kept = false;
    for (auto it = handlers.rbegin(); it != handlers.rend() && !kept; ++it) kept = (*it)(code) != FALSE;
    if (!kept)
        Terminate("no handler kept the process");
    else if (event == ConsoleEvent::Close)
        Terminate("the close handler returned");
}

// Runs with the scheduler's turn: starts the event's thread, which runs before anything else.
void Deliver(ConsoleEvent event) {
    sim::Machine& m = M();
    const uint64_t now = m.clock.ElapsedMs();
    m.console.deliveries.push_back({event, now, m.callsMade});
    sim::StartThread("ctrl-handler", [event] { RunHandlers(event); });
    if (event == ConsoleEvent::Close)
        sim::AtTime(now + CLOSE_LIMIT_MS, [] { Terminate("5000 ms after the close"); });
}

bool IsConsoleHandle(HANDLE h, bool input) {
    const sim::HandleObject* obj = sim::FindHandle(h, HandleKind::Console);
    return obj != nullptr && (obj->ref == 0) == input && !M().scenario.console.redirected;
}

}  // namespace

namespace sim {

void BootConsole(Machine& m) {
    m.console = ConsoleArea{};
    // The standard handles: the console's own, or pipes when redirected; either way the process
    // had them before the updater ran.
    m.console.input = NewHandle(HandleKind::Console, 0);
    m.console.output = NewHandle(HandleKind::Console, 1);
    for (const InterruptSpec& i : m.scenario.console.interrupts) AtTime(i.atMs, [event = i.event] { Deliver(event); });
    if (m.options.interruptAtCall.has_value()) {
        const RunOptions::CallInterrupt at = *m.options.interruptAtCall;
        AtCall(at.callIndex, [at] {
            Deliver(at.event);
            if (!at.then.has_value())
                return;
            const RunOptions::FollowingEvent then = *at.then;
            if (then.afterNextPause)
                M().console.afterNextPause = then.event;
            else
                AtTime(M().clock.ElapsedMs() + then.afterMs, [event = then.event] { Deliver(event); });
        });
    }
}

void PauseEnded() {
    Machine& m = M();
    if (!m.console.afterNextPause.has_value() || !OnMainThread())
        return;
    const ConsoleEvent event = *m.console.afterNextPause;
    m.console.afterNextPause.reset();
    AtCall(m.callsMade, [event] { Deliver(event); });
}

void ReportConsole(const Machine& m, nlohmann::json& report) {
    nlohmann::json power = nlohmann::json::array();
    for (uint32_t flags : m.console.power) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%08X", flags);
        power.push_back(text);
    }
    report["power"] = power;
    report["keyWaits"] = m.console.keyWaits;
}

}  // namespace sim

BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE HandlerRoutine, BOOL Add) {
    auto args = [&] { return sim::Name("routine", reinterpret_cast<const void*>(HandlerRoutine)) + ", " + Bool(Add); };
    if (sim::Enter("SetConsoleCtrlHandler", ERROR_INVALID_PARAMETER)) {
        sim::TraceCall("SetConsoleCtrlHandler", args, "FALSE (injected)");
        return FALSE;
    }
    // A null routine only switches Ctrl+C off, which the updater never asks for.
    if (HandlerRoutine == nullptr)
        return Refuse("SetConsoleCtrlHandler", args, ERROR_INVALID_PARAMETER);
    auto& handlers = M().console.handlers;
    if (Add) {
        handlers.push_back(HandlerRoutine);
    } else {
        auto it = std::find(handlers.rbegin(), handlers.rend(), HandlerRoutine);
        if (it == handlers.rend())
            return Refuse("SetConsoleCtrlHandler", args, ERROR_INVALID_PARAMETER);
        handlers.erase(std::next(it).base());
    }
    SetLastError(ERROR_SUCCESS);
    sim::TraceCall("SetConsoleCtrlHandler", args, "TRUE");
    return TRUE;
}

DWORD WINAPI GetConsoleProcessList(LPDWORD lpdwProcessList, DWORD dwProcessCount) {
    auto args = [&] { return Ptr(lpdwProcessList) + ", " + std::to_string(dwProcessCount); };
    if (sim::Enter("GetConsoleProcessList", ERROR_INVALID_PARAMETER)) {
        sim::TraceCall("GetConsoleProcessList", args, "0 (injected)");
        return 0;
    }
    if (lpdwProcessList == nullptr || dwProcessCount == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        sim::TraceCall("GetConsoleProcessList", args, "0, error 87");
        return 0;
    }
    const DWORD processes = M().scenario.console.processes;
    // With room for them all, the list: the updater first, then the prompt (and any others).
    if (dwProcessCount >= processes)
        for (DWORD i = 0; i < processes; ++i) lpdwProcessList[i] = i == 0 ? UPDATER_PROCESS_ID : PROMPT_PROCESS_ID + i;
    sim::TraceCall("GetConsoleProcessList", args, [&] { return std::to_string(processes); });
    return processes;
}

HANDLE WINAPI GetStdHandle(DWORD nStdHandle) {
    auto args = [&] { return sim::Hex(nStdHandle); };
    if (sim::Enter("GetStdHandle", ERROR_INVALID_HANDLE)) {
        sim::TraceCall("GetStdHandle", args, "INVALID_HANDLE_VALUE (injected)");
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = nStdHandle == STD_INPUT_HANDLE    ? M().console.input
               : nStdHandle == STD_OUTPUT_HANDLE ? M().console.output
                                                 : INVALID_HANDLE_VALUE;
    if (h == INVALID_HANDLE_VALUE)
        SetLastError(ERROR_INVALID_HANDLE);
    sim::TraceCall("GetStdHandle", args, [&] { return Ptr(h); });
    return h;
}

BOOL WINAPI GetConsoleMode(HANDLE hConsoleHandle, LPDWORD lpMode) {
    auto args = [&] { return Ptr(hConsoleHandle); };
    if (sim::Enter("GetConsoleMode", ERROR_INVALID_HANDLE)) {
        sim::TraceCall("GetConsoleMode", args, "FALSE (injected)");
        return FALSE;
    }
    const bool input = IsConsoleHandle(hConsoleHandle, true);
    // A pipe or a file is no console: Windows refuses them here.
    if (!input && !IsConsoleHandle(hConsoleHandle, false))
        return Refuse("GetConsoleMode", args, ERROR_INVALID_HANDLE);
    if (lpMode == nullptr)
        return Refuse("GetConsoleMode", args, ERROR_INVALID_PARAMETER);
    *lpMode = input ? CONSOLE_INPUT_MODE : CONSOLE_OUTPUT_MODE;
    sim::TraceCall("GetConsoleMode", args, [&] { return "TRUE, mode " + sim::Hex(*lpMode); });
    return TRUE;
}

BOOL WINAPI FlushConsoleInputBuffer(HANDLE hConsoleInput) {
    auto args = [&] { return Ptr(hConsoleInput); };
    if (sim::Enter("FlushConsoleInputBuffer", ERROR_INVALID_HANDLE)) {
        sim::TraceCall("FlushConsoleInputBuffer", args, "FALSE (injected)");
        return FALSE;
    }
    if (!IsConsoleHandle(hConsoleInput, true))
        return Refuse("FlushConsoleInputBuffer", args, ERROR_INVALID_HANDLE);
    sim::TraceCall("FlushConsoleInputBuffer", args, "TRUE");
    return TRUE;
}

BOOL WINAPI ReadConsoleInputA(HANDLE hConsoleInput, PINPUT_RECORD lpBuffer, DWORD nLength,
                              LPDWORD lpNumberOfEventsRead) {
    auto args = [&] { return Ptr(hConsoleInput) + ", " + std::to_string(nLength); };
    if (sim::Enter("ReadConsoleInputA", ERROR_INVALID_HANDLE)) {
        sim::TraceCall("ReadConsoleInputA", args, "FALSE (injected)");
        return FALSE;
    }
    if (!IsConsoleHandle(hConsoleInput, true))
        return Refuse("ReadConsoleInputA", args, ERROR_INVALID_HANDLE);
    if (lpBuffer == nullptr || nLength == 0 || lpNumberOfEventsRead == nullptr)
        return Refuse("ReadConsoleInputA", args, ERROR_INVALID_PARAMETER);
    // The user presses Enter at once.
    M().console.keyWaits++;
    INPUT_RECORD record{};
    record.EventType = KEY_EVENT;
    record.Event.KeyEvent.bKeyDown = TRUE;
    record.Event.KeyEvent.wRepeatCount = 1;
    record.Event.KeyEvent.wVirtualKeyCode = VK_RETURN_CODE;
    record.Event.KeyEvent.uChar.AsciiChar = '\r';
    lpBuffer[0] = record;
    *lpNumberOfEventsRead = 1;
    sim::TraceCall("ReadConsoleInputA", args, "TRUE, key down (Enter)");
    return TRUE;
}

EXECUTION_STATE WINAPI SetThreadExecutionState(EXECUTION_STATE esFlags) {
    auto args = [&] { return sim::Hex(esFlags); };
    if (sim::Enter("SetThreadExecutionState", ERROR_INVALID_PARAMETER)) {
        sim::TraceCall("SetThreadExecutionState", args, "NULL (injected)");
        return 0;
    }
    auto& power = M().console.power;
    // The previous state: what the last request with ES_CONTINUOUS left in force.
    EXECUTION_STATE previous = INITIAL_EXECUTION_STATE;
    for (uint32_t flags : power)
        if (flags & ES_CONTINUOUS)
            previous = flags;
    power.push_back(esFlags);
    sim::TraceCall("SetThreadExecutionState", args, [&] { return sim::Hex(previous); });
    return previous;
}
