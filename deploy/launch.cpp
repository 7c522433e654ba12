#include "deploy/launch.h"

#include "deploy/command_line.h"

namespace {

constexpr DWORD PIPE_BUFFER_BYTES = 4096;
constexpr DWORD PIPE_INSTANCES = 1;
constexpr DWORD PIPE_DEFAULT_TIMEOUT_MS = 0;
// The deploy's end: it reads, overlapped, from the one instance it made itself; local writers only.
constexpr DWORD PIPE_OPEN_MODE = PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE;
constexpr DWORD PIPE_MODE = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
constexpr const wchar_t* PIPE_NAME_PREFIX = L"\\\\.\\pipe\\scanfw-deploy-";

// One read of the pipe; ReadFileEx leaves the OVERLAPPED's event to the caller, where it points
// back here.
struct PipeRead {
    OVERLAPPED overlapped{};
    bool done = false;
    DWORD error = ERROR_SUCCESS;
    DWORD bytes = 0;
};

void WINAPI ReadCompleted(DWORD error, DWORD bytes, LPOVERLAPPED overlapped) {
    auto* read = static_cast<PipeRead*>(overlapped->hEvent);
    read->error = error;
    read->bytes = bytes;
    read->done = true;
}

// Keeps the first call that failed: the one that explains the run.
void Failed(UpdaterRun& run, const char* call) {
    if (run.failedCall != nullptr)
        return;
    run.failedCall = call;
    run.error = GetLastError();
}

// The pipe: the deploy's end to read, and the end scanfw.exe inherits as its standard output.
struct Pipe {
    HANDLE reader = INVALID_HANDLE_VALUE;
    HANDLE writer = INVALID_HANDLE_VALUE;
};

bool MakePipe(Pipe& pipe, UpdaterRun& run) {
    const std::wstring name = PIPE_NAME_PREFIX + std::to_wstring(GetCurrentProcessId());
    pipe.reader = CreateNamedPipeW(name.c_str(), PIPE_OPEN_MODE, PIPE_MODE, PIPE_INSTANCES, 0, PIPE_BUFFER_BYTES,
                                   PIPE_DEFAULT_TIMEOUT_MS, nullptr);
    if (pipe.reader == INVALID_HANDLE_VALUE) {
        Failed(run, "CreateNamedPipeW");
        return false;
    }
    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    pipe.writer = CreateFileW(name.c_str(), GENERIC_WRITE, 0, &inherited, OPEN_EXISTING, 0, nullptr);
    if (pipe.writer == INVALID_HANDLE_VALUE) {
        Failed(run, "CreateFileW");
        ReleaseHandle(pipe.reader);
        return false;
    }
    return true;
}

// Reads until scanfw.exe lets go of the pipe (it ended). A read that fails otherwise stops the
// reading: the pipe is closed then, so that scanfw.exe's writes fail instead of waiting for ever.
void PassOutputOn(HANDLE reader, UpdaterRun& run, const std::function<void(std::string_view)>& passOn) {
    char buffer[PIPE_BUFFER_BYTES];
    for (;;) {
        PipeRead read;
        read.overlapped.hEvent = &read;
        if (!ReadFileEx(reader, buffer, sizeof buffer, &read.overlapped, ReadCompleted))
            read.error = GetLastError();
        else
            while (!read.done) SleepEx(INFINITE, TRUE);
        if (read.error == ERROR_BROKEN_PIPE)
            return;
        if (read.error != ERROR_SUCCESS) {
            SetLastError(read.error);
            Failed(run, "ReadFileEx");
            return;
        }
        const std::string_view piece(buffer, read.bytes);
        run.output.append(piece);
        passOn(piece);
    }
}

}  // namespace

void ReleaseHandle(HANDLE handle) {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE)
        DuplicateHandle(GetCurrentProcess(), handle, nullptr, nullptr, 0, FALSE, DUPLICATE_CLOSE_SOURCE);
}

UpdaterRun RunUpdater(const std::string& path, const std::vector<std::string>& arguments,
                      const std::function<void(std::string_view)>& passOn) {
    UpdaterRun run;
    Pipe pipe;
    if (!MakePipe(pipe, run))
        return run;
    // No standard input: scanfw.exe then never waits for a key. Its standard error is unused.
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = pipe.writer;
    startup.hStdError = nullptr;
    PROCESS_INFORMATION process{};
    std::string commandLine = CommandLineOf(path, arguments);
    // It shares the deploy's console, so Ctrl+C, Ctrl+Break and a closing window reach it as well.
    run.started = CreateProcessA(path.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                 &startup, &process) != FALSE;
    if (!run.started)
        Failed(run, "CreateProcessA");
    // The deploy's copy of the writing end goes, or the pipe would never break at scanfw.exe's end.
    ReleaseHandle(pipe.writer);
    if (run.started) {
        ReleaseHandle(process.hThread);
        PassOutputOn(pipe.reader, run, passOn);
    }
    ReleaseHandle(pipe.reader);
    if (!run.started)
        return run;
    // An end that cannot be told is no end the updater gave: the run counts as not understood.
    if (WaitForSingleObjectEx(process.hProcess, INFINITE, FALSE) != WAIT_OBJECT_0) {
        Failed(run, "WaitForSingleObjectEx");
        run.exitCode = STILL_ACTIVE;
    } else if (!GetExitCodeProcess(process.hProcess, &run.exitCode)) {
        Failed(run, "GetExitCodeProcess");
        run.exitCode = STILL_ACTIVE;
    }
    ReleaseHandle(process.hProcess);
    return run;
}
