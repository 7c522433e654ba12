// e2e_console.exe: runs a console program and delivers console control events to it at set times,
// as Windows' console host does: a new thread in the program that starts at kernelbase's
// CtrlRoutine with the event's code, which calls the program's handlers in order. The programs it
// started, and theirs, share its console: each of them gets the event too (the deploy's updater). Wine's own
// console can send only Ctrl+C (GenerateConsoleCtrlEvent refuses Ctrl+Break with error 6), so the
// thread is started here; from there on the dispatch is Wine's. README.md records what was tried.
//
//   e2e_console LOG SCHEDULE PROGRAM [ARG...]
//
// SCHEDULE is "-" or EVENT:MS[,EVENT:MS...], EVENT ctrlC, ctrlBreak or close, MS counted from the
// program's start, in order. The program gets this tool's standard handles. LOG (a file, written
// as things happen) gets:
//   started TICK                  GetTickCount64 once the program exists
//   delivered EVENT MS AT         the event asked for at MS went at AT ms
//   missed EVENT MS               the program had ended before MS
//   exit CODE                     the program's exit code, once it has ended
//   error TEXT                    what went wrong here; the program is ended
// Exit status 0 when the program ran to its end (its code is in LOG), 1 failed, 2 usage.
#include <windows.h>
// After windows.h, whose types it uses.
#include <tlhelp32.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int EXIT_RAN = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;
constexpr int FIRST_PROGRAM_ARG = 3;
constexpr UINT ENDED_BY_TOOL = 0xE2E;
constexpr const char* SYSTEM_DLL = "kernelbase.dll";
constexpr const char* CTRL_ROUTINE = "CtrlRoutine";
constexpr DWORD STD_HANDLES[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};

struct EventName {
    const char* name;
    DWORD code;
};
constexpr EventName EVENTS[] = {{"ctrlC", CTRL_C_EVENT}, {"ctrlBreak", CTRL_BREAK_EVENT}, {"close", CTRL_CLOSE_EVENT}};

struct Delivery {
    const EventName* event;
    ULONGLONG atMs;
};

std::FILE* g_log;

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Log(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(g_log, format, args);
    va_end(args);
    std::fflush(g_log);
}

bool ParseSchedule(const char* text, std::vector<Delivery>& out) {
    if (std::strcmp(text, "-") == 0)
        return true;
    std::string rest = text;
    while (!rest.empty()) {
        const size_t comma = rest.find(',');
        const std::string item = rest.substr(0, comma);
        rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
        const size_t colon = item.find(':');
        if (colon == std::string::npos || colon + 1 == item.size())
            return false;
        const std::string name = item.substr(0, colon);
        char* end = nullptr;
        const ULONGLONG atMs = std::strtoull(item.c_str() + colon + 1, &end, 10);
        if (*end != '\0' || (!out.empty() && atMs < out.back().atMs))
            return false;
        const EventName* event = nullptr;
        for (const EventName& e : EVENTS)
            if (name == e.name)
                event = &e;
        if (event == nullptr)
            return false;
        out.push_back({event, atMs});
    }
    return true;
}

// One argument as CommandLineToArgvW and the C runtime read it back.
std::string Quoted(const char* arg) {
    if (*arg != '\0' && std::strpbrk(arg, " \t\"") == nullptr)
        return arg;
    std::string out = "\"";
    size_t backslashes = 0;
    for (const char* c = arg;; ++c) {
        if (*c == '\\') {
            ++backslashes;
            continue;
        }
        if (*c == '\0' || *c == '"')
            out.append(*c == '\0' ? backslashes * 2 : backslashes * 2 + 1, '\\');
        else
            out.append(backslashes, '\\');
        backslashes = 0;
        if (*c == '\0')
            break;
        out += *c;
    }
    return out + "\"";
}

// Where the program has the system DLL that holds CtrlRoutine; null when it cannot be read.
const void* ModuleBase(DWORD processId, const char* module) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, processId);
    if (snapshot == INVALID_HANDLE_VALUE)
        return nullptr;
    MODULEENTRY32 entry;
    entry.dwSize = sizeof entry;
    const void* base = nullptr;
    for (BOOL more = Module32First(snapshot, &entry); more && base == nullptr; more = Module32Next(snapshot, &entry))
        if (_stricmp(entry.szModule, module) == 0)
            base = entry.modBaseAddr;
    CloseHandle(snapshot);
    return base;
}

bool Refused(std::string& error, const char* format, ...) __attribute__((format(printf, 2, 3)));
bool Refused(std::string& error, const char* format, ...) {
    char text[160];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    error = text;
    return false;
}

// Starts the control thread in the program; false with `error` set when it could not. CtrlRoutine's
// address is taken from this process: the system DLL sits at one address in every process, which
// is checked before each delivery.
bool DeliverTo(HANDLE process, DWORD processId, DWORD code, std::string& error) {
    HMODULE system = GetModuleHandleA(SYSTEM_DLL);
    FARPROC routine = system != nullptr ? GetProcAddress(system, CTRL_ROUTINE) : nullptr;
    if (routine == nullptr)
        return Refused(error, "no %s!%s here", SYSTEM_DLL, CTRL_ROUTINE);
    const void* there = ModuleBase(processId, SYSTEM_DLL);
    if (there != system)
        return Refused(error, "%s is at %p in the program, at %p here", SYSTEM_DLL, there, static_cast<void*>(system));
    HANDLE thread = CreateRemoteThread(process, nullptr, 0,
                                       reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<void*>(routine)),
                                       reinterpret_cast<void*>(static_cast<ULONG_PTR>(code)), 0, nullptr);
    if (thread == nullptr)
        return Refused(error, "CreateRemoteThread failed, error %lu", GetLastError());
    CloseHandle(thread);
    return true;
}

// The processes that `parent` started and those they started, as a snapshot shows them now.
std::vector<DWORD> Descendants(DWORD parent) {
    std::vector<std::pair<DWORD, DWORD>> all;  // process, its parent
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return {};
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
        all.emplace_back(entry.th32ProcessID, entry.th32ParentProcessID);
    CloseHandle(snapshot);
    std::vector<DWORD> found = {parent};
    for (size_t i = 0; i < found.size(); ++i)
        for (const auto& [process, itsParent] : all)
            if (itsParent == found[i] && process != parent)
                found.push_back(process);
    found.erase(found.begin());
    return found;
}

// The event to the program, then to every program it started that is still there: one that ends
// meanwhile simply does not get it.
bool Deliver(const PROCESS_INFORMATION& program, DWORD code, std::string& error) {
    if (!DeliverTo(program.hProcess, program.dwProcessId, code, error))
        return false;
    for (DWORD id : Descendants(program.dwProcessId)) {
        HANDLE process = OpenProcess(PROCESS_CREATE_THREAD | PROCESS_QUERY_INFORMATION | PROCESS_VM_OPERATION |
                                         PROCESS_VM_WRITE | PROCESS_VM_READ,
                                     FALSE, id);
        if (process == nullptr)
            continue;
        std::string lost;
        DeliverTo(process, id, code, lost);
        CloseHandle(process);
    }
    return true;
}

bool Ended(HANDLE process) {
    return WaitForSingleObject(process, 0) != WAIT_TIMEOUT;
}

int Run(const std::vector<Delivery>& schedule, int argc, char* argv[]) {
    std::string commandLine;
    for (int i = FIRST_PROGRAM_ARG; i < argc; ++i) {
        if (!commandLine.empty())
            commandLine += ' ';
        commandLine += Quoted(argv[i]);
    }
    for (DWORD which : STD_HANDLES) SetHandleInformation(GetStdHandle(which), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION program{};
    if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &program)) {
        Log("error CreateProcessA(%s) failed, error %lu\n", commandLine.c_str(), GetLastError());
        return EXIT_FAILED;
    }
    const ULONGLONG start = GetTickCount64();
    Log("started %llu\n", start);
    bool failed = false;
    for (const Delivery& d : schedule) {
        const ULONGLONG now = GetTickCount64() - start;
        const DWORD wait = d.atMs > now ? static_cast<DWORD>(d.atMs - now) : 0;
        if (WaitForSingleObject(program.hProcess, wait) != WAIT_TIMEOUT) {
            Log("missed %s %llu\n", d.event->name, d.atMs);
            continue;
        }
        std::string error;
        if (Deliver(program, d.event->code, error)) {
            Log("delivered %s %llu %llu\n", d.event->name, d.atMs, GetTickCount64() - start);
        } else if (Ended(program.hProcess)) {
            Log("missed %s %llu\n", d.event->name, d.atMs);  // it ended while the event was on its way
        } else {
            Log("error %s\n", error.c_str());
            failed = true;
            TerminateProcess(program.hProcess, ENDED_BY_TOOL);
            break;
        }
    }
    WaitForSingleObject(program.hProcess, INFINITE);
    DWORD code = 0;
    if (!failed && GetExitCodeProcess(program.hProcess, &code))
        Log("exit %lu\n", code);
    CloseHandle(program.hThread);
    CloseHandle(program.hProcess);
    return failed ? EXIT_FAILED : EXIT_RAN;
}

}  // namespace

int main(int argc, char* argv[]) {
    std::vector<Delivery> schedule;
    if (argc <= FIRST_PROGRAM_ARG || !ParseSchedule(argv[2], schedule)) {
        std::fprintf(stderr, "usage: e2e_console LOG -|EVENT:MS[,EVENT:MS...] PROGRAM [ARG...]\n");
        return EXIT_USAGE;
    }
    g_log = std::fopen(argv[1], "w");
    if (g_log == nullptr) {
        std::fprintf(stderr, "e2e_console: cannot write %s\n", argv[1]);
        return EXIT_FAILED;
    }
    const int rc = Run(schedule, argc, argv);
    std::fclose(g_log);
    return rc;
}
