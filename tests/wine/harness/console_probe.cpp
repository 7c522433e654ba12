// e2e_console_probe.exe: a console program that says when its control handler is called, to prove
// that e2e_console.exe's deliveries arrive.
//
//   e2e_console_probe RUN_MS
//
// Installs a handler that answers TRUE (handled) to every event, sleeps RUN_MS on its main thread
// and exits with PROBE_EXIT_CODE. Prints, each line flushed at once:
//   start TICK                    GetTickCount64 at the start of main
//   handler EVENT THREAD TICK     EVENT ctrlC, ctrlBreak, close or the code; THREAD main or other
//   end TICK
#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr int PROBE_EXIT_CODE = 3;
constexpr int EXIT_USAGE = 2;

DWORD g_mainThread;

const char* EventName(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
            return "ctrlC";
        case CTRL_BREAK_EVENT:
            return "ctrlBreak";
        case CTRL_CLOSE_EVENT:
            return "close";
        default:
            return nullptr;
    }
}

BOOL WINAPI Handler(DWORD event) {
    const char* thread = GetCurrentThreadId() == g_mainThread ? "main" : "other";
    if (const char* name = EventName(event))
        std::printf("handler %s %s %llu\n", name, thread, GetTickCount64());
    else
        std::printf("handler %lu %s %llu\n", event, thread, GetTickCount64());
    std::fflush(stdout);
    return TRUE;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: e2e_console_probe RUN_MS\n");
        return EXIT_USAGE;
    }
    g_mainThread = GetCurrentThreadId();
    std::printf("start %llu\n", GetTickCount64());
    std::fflush(stdout);
    if (!SetConsoleCtrlHandler(Handler, TRUE)) {
        std::fprintf(stderr, "e2e_console_probe: SetConsoleCtrlHandler failed, error %lu\n", GetLastError());
        return EXIT_FAILURE;
    }
    Sleep(static_cast<DWORD>(std::strtoul(argv[1], nullptr, 10)));
    std::printf("end %llu\n", GetTickCount64());
    return PROBE_EXIT_CODE;
}
