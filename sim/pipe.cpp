// Simulated named pipes: the inbound, overlapped server end the deploy reads with ReadFileEx, the
// client end it opens with CreateFileW (sim/files.cpp hands a pipe's name here) and hands to scanfw.exe as its standard
// output, and the alertable waits (SleepEx, and WaitForSingleObjectEx in process.cpp) that run the reads' completion
// routines. Only the calling thread's own reads complete in its waits, as APCs do.
#include <algorithm>
#include <cstring>
#include <cwchar>

#include "sim/pipes.h"
#include "sim/threads.h"

using sim::Bool;
using sim::HandleKind;
using sim::HandleObject;
using sim::M;
using sim::PipeObject;
using sim::Ptr;

namespace {

constexpr const wchar_t* PIPE_PREFIX = L"\\\\.\\pipe\\";
// What the deploy asks for, which is all that is simulated: an inbound byte pipe read overlapped.
constexpr DWORD SERVER_MODE = PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED;
constexpr DWORD SERVER_MODE_FLAGS = SERVER_MODE | FILE_FLAG_FIRST_PIPE_INSTANCE;
// The server end is opened for reading, a client end for writing: told apart by the access.
constexpr DWORD SERVER_ACCESS = GENERIC_READ;
constexpr DWORD CLIENT_ACCESS = GENERIC_WRITE;

std::string Narrow(LPCWSTR text) {
    if (text == nullptr)
        return "NULL";
    std::string out = "\"";
    for (const wchar_t* p = text; *p != L'\0'; ++p) out += *p < 0x80 ? static_cast<char>(*p) : '?';
    return out + "\"";
}

PipeObject& PipeOf(const HandleObject& end) {
    return M().launches.pipes[static_cast<size_t>(end.ref)];
}

// What a C runtime writing text hands to the pipe: each "\n" as "\r\n".
std::string AsText(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 8);
    for (char c : bytes) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

// The program's writes due by now are in the buffer.
void Advance(PipeObject& pipe, uint64_t now) {
    while (pipe.nextWrite < pipe.queue.size() && pipe.queue[pipe.nextWrite].atMs <= now)
        pipe.buffer += pipe.queue[pipe.nextWrite++].bytes;
}

bool WriterLeft(const PipeObject& pipe, uint64_t now) {
    return pipe.clientHandles > 0 || (pipe.childWrites && now < pipe.childEndMs);
}

// Nothing is left to read and nobody can write any more: a read fails with ERROR_BROKEN_PIPE.
bool Broken(const PipeObject& pipe, uint64_t now) {
    return pipe.buffer.empty() && pipe.nextWrite == pipe.queue.size() && !WriterLeft(pipe, now);
}

template <typename Args>
HANDLE RefuseHandle(const char* call, const Args& args, DWORD error) {
    SetLastError(error);
    sim::TraceCall(call, args, [&] { return "INVALID_HANDLE_VALUE, error " + std::to_string(error); });
    return INVALID_HANDLE_VALUE;
}

}  // namespace

namespace sim {

void ConnectChild(const HandleObject& client, uint64_t startMs, const ChildProgram& child) {
    PipeObject& pipe = PipeOf(client);
    pipe.childWrites = true;
    pipe.childStartMs = startMs;
    pipe.childEndMs = startMs + child.endMs;
    for (const OutputWrite& w : child.output) pipe.queue.push_back({startMs + w.atMs, AsText(w.bytes)});
}

void ClosePipeEnd(const HandleObject& end) {
    PipeObject& pipe = PipeOf(end);
    if (end.access == SERVER_ACCESS)
        pipe.serverOpen = false;
    else
        pipe.clientHandles--;
}

namespace {

// Completes the calling thread's first read that can complete now (its completion routine runs,
// as an APC runs in an alertable wait). True when one did.
bool RunReadyCompletion() {
    const uint64_t now = M().clock.ElapsedMs();
    for (PipeObject& pipe : M().launches.pipes) {
        if (!pipe.read.has_value() || pipe.read->thread != ThreadNumber())
            continue;
        Advance(pipe, now);
        if (pipe.buffer.empty() && !Broken(pipe, now))
            continue;
        const PipeObject::Read read = *pipe.read;
        pipe.read.reset();
        const DWORD moved = static_cast<DWORD>(std::min<size_t>(read.size, pipe.buffer.size()));
        std::memcpy(read.buffer, pipe.buffer.data(), moved);
        pipe.buffer.erase(0, moved);
        const DWORD error = moved == 0 ? ERROR_BROKEN_PIPE : ERROR_SUCCESS;
        TraceEvent("read completion: error " + std::to_string(error) + ", " + std::to_string(moved) + " bytes");
        read.routine(error, moved, read.overlapped);
        return true;
    }
    return false;
}

// The earliest moment after now at which a read of the calling thread could complete;
// NO_DEADLINE when none ever could.
uint64_t NextCompletionMoment() {
    const uint64_t now = M().clock.ElapsedMs();
    uint64_t next = NO_DEADLINE;
    for (const PipeObject& pipe : M().launches.pipes) {
        if (!pipe.read.has_value() || pipe.read->thread != ThreadNumber())
            continue;
        if (pipe.nextWrite < pipe.queue.size())
            next = std::min(next, std::max(now, pipe.queue[pipe.nextWrite].atMs));
        else if (pipe.clientHandles == 0 && pipe.childWrites)
            next = std::min(next, std::max(now, pipe.childEndMs));
    }
    return next;
}

}  // namespace

DWORD AlertableWait(uint64_t deadlineMs, uint64_t signalledAtMs, bool alertable) {
    for (;;) {
        if (alertable && RunReadyCompletion())
            return WAIT_IO_COMPLETION;
        const uint64_t now = M().clock.ElapsedMs();
        if (now >= signalledAtMs)
            return WAIT_OBJECT_0;
        if (now >= deadlineMs)
            return WAIT_TIMEOUT;
        const uint64_t wake = std::min({deadlineMs, signalledAtMs, alertable ? NextCompletionMoment() : NO_DEADLINE});
        if (Block(wake, nullptr) == WakeReason::ProcessEnded)
            return WAIT_FAILED;
    }
}

}  // namespace sim

HANDLE WINAPI CreateNamedPipeW(LPCWSTR lpName, DWORD dwOpenMode, DWORD dwPipeMode, DWORD nMaxInstances,
                               DWORD nOutBufferSize, DWORD nInBufferSize, DWORD nDefaultTimeOut,
                               LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
    auto args = [&] {
        return Narrow(lpName) + ", " + sim::Hex(dwOpenMode) + ", " + sim::Hex(dwPipeMode) + ", " +
               std::to_string(nMaxInstances) + ", " + std::to_string(nOutBufferSize) + ", " +
               std::to_string(nInBufferSize) + ", " + std::to_string(nDefaultTimeOut) + ", " +
               Ptr(lpSecurityAttributes);
    };
    if (sim::Enter("CreateNamedPipeW", ERROR_ACCESS_DENIED)) {
        sim::TraceCall("CreateNamedPipeW", args, "INVALID_HANDLE_VALUE (injected)");
        return INVALID_HANDLE_VALUE;
    }
    const std::wstring name = lpName == nullptr ? L"" : lpName;
    if (name.rfind(PIPE_PREFIX, 0) != 0 || name.size() == std::wcslen(PIPE_PREFIX) ||
        (dwOpenMode & ~SERVER_MODE_FLAGS) != 0 || (dwOpenMode & SERVER_MODE) != SERVER_MODE || nMaxInstances == 0)
        return RefuseHandle("CreateNamedPipeW", args, ERROR_INVALID_PARAMETER);
    auto& pipes = M().launches.pipes;
    // The first instance of a name is this one, or the call fails.
    if (std::any_of(pipes.begin(), pipes.end(), [&](const PipeObject& p) { return p.serverOpen && p.name == name; }))
        return RefuseHandle("CreateNamedPipeW", args,
                            (dwOpenMode & FILE_FLAG_FIRST_PIPE_INSTANCE) != 0 ? ERROR_ACCESS_DENIED : ERROR_PIPE_BUSY);
    PipeObject pipe;
    pipe.name = name;
    pipes.push_back(std::move(pipe));
    HANDLE h = sim::NewHandle(HandleKind::Pipe, static_cast<int>(pipes.size() - 1), SERVER_ACCESS);
    SetLastError(ERROR_SUCCESS);
    sim::TraceCall("CreateNamedPipeW", args, [&] { return Ptr(h); });
    return h;
}

namespace sim {

bool NamesPipe(LPCWSTR name) {
    const std::wstring prefix = PIPE_PREFIX;
    return name != nullptr && std::wcsncmp(name, prefix.c_str(), prefix.size()) == 0;
}

HANDLE OpenPipeClient(LPCWSTR name, DWORD access, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                      const std::function<std::string()>& args) {
    // Only the client ends of the run's pipes are simulated.
    const std::wstring wanted = name;
    auto& pipes = M().launches.pipes;
    auto pipe =
        std::find_if(pipes.begin(), pipes.end(), [&](const PipeObject& p) { return p.serverOpen && p.name == wanted; });
    if (pipe == pipes.end() || disposition != OPEN_EXISTING)
        return RefuseHandle("CreateFileW", args, ERROR_FILE_NOT_FOUND);
    // An inbound pipe takes a writer only; its one instance, one client.
    if (access != CLIENT_ACCESS)
        return RefuseHandle("CreateFileW", args, ERROR_ACCESS_DENIED);
    if (pipe->clientHandles > 0 || pipe->childWrites)
        return RefuseHandle("CreateFileW", args, ERROR_PIPE_BUSY);
    pipe->clientHandles++;
    HANDLE h = NewHandle(HandleKind::Pipe, static_cast<int>(pipe - pipes.begin()), CLIENT_ACCESS);
    FindHandle(h)->inheritable = security != nullptr && security->bInheritHandle;
    SetLastError(ERROR_SUCCESS);
    TraceCall("CreateFileW", args, [&] { return Ptr(h); });
    return h;
}

}  // namespace sim

BOOL WINAPI ReadFileEx(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPOVERLAPPED lpOverlapped,
                       LPOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine) {
    auto args = [&] {
        return Ptr(hFile) + ", " + Ptr(lpBuffer) + ", " + std::to_string(nNumberOfBytesToRead) + ", " +
               Ptr(lpOverlapped);
    };
    auto refuse = [&](DWORD error) {
        SetLastError(error);
        sim::TraceCall("ReadFileEx", args, [&] { return "FALSE, error " + std::to_string(error); });
        return FALSE;
    };
    if (sim::Enter("ReadFileEx", ERROR_GEN_FAILURE)) {
        sim::TraceCall("ReadFileEx", args, "FALSE (injected)");
        return FALSE;
    }
    const HandleObject* end = sim::FindHandle(hFile, HandleKind::Pipe);
    if (end == nullptr || end->access != SERVER_ACCESS)
        return refuse(ERROR_INVALID_HANDLE);
    PipeObject& pipe = PipeOf(*end);
    // One read at a time is all the deploy asks for, and all that is simulated.
    if (lpBuffer == nullptr || lpOverlapped == nullptr || lpCompletionRoutine == nullptr || pipe.read.has_value())
        return refuse(ERROR_INVALID_PARAMETER);
    const uint64_t now = M().clock.ElapsedMs();
    Advance(pipe, now);
    if (Broken(pipe, now))
        return refuse(ERROR_BROKEN_PIPE);
    pipe.read =
        PipeObject::Read{lpBuffer, nNumberOfBytesToRead, lpOverlapped, lpCompletionRoutine, sim::ThreadNumber()};
    SetLastError(ERROR_SUCCESS);
    sim::TraceCall("ReadFileEx", args, "TRUE");
    return TRUE;
}

DWORD WINAPI SleepEx(DWORD dwMilliseconds, BOOL bAlertable) {
    auto args = [&] { return std::to_string(dwMilliseconds) + ", " + Bool(bAlertable); };
    sim::Enter("SleepEx", ERROR_SUCCESS);
    const uint64_t deadline = dwMilliseconds == INFINITE ? sim::NO_DEADLINE : M().clock.ElapsedMs() + dwMilliseconds;
    const DWORD woke = sim::AlertableWait(deadline, sim::NO_DEADLINE, bAlertable != FALSE);
    const DWORD result = woke == WAIT_IO_COMPLETION ? WAIT_IO_COMPLETION : 0;
    sim::TraceCall("SleepEx", args, [&] { return result == 0 ? std::string("0") : std::string("WAIT_IO_COMPLETION"); });
    return result;
}
