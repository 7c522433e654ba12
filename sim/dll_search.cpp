// Simulated loader setting: the folders a process loads DLLs from. Nothing on the simulated PC
// loads a DLL; the setting is kept so that a test can see what a program asked for.
#include "sim/machine.h"

namespace {

// The folders SetDefaultDllDirectories may name; any other bit, or none, is refused.
constexpr DWORD SEARCH_FLAGS = LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                               LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;

}  // namespace

BOOL WINAPI SetDefaultDllDirectories(DWORD DirectoryFlags) {
    auto args = [&] { return sim::Hex(DirectoryFlags); };
    if (sim::Enter("SetDefaultDllDirectories", ERROR_INVALID_PARAMETER)) {
        sim::TraceCall("SetDefaultDllDirectories", args, "FALSE (injected)");
        return FALSE;
    }
    if (DirectoryFlags == 0 || (DirectoryFlags & ~SEARCH_FLAGS) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        sim::TraceCall("SetDefaultDllDirectories", args, "FALSE, error 87");
        return FALSE;
    }
    sim::M().dllSearchFlags = DirectoryFlags;
    sim::TraceCall("SetDefaultDllDirectories", args, "TRUE");
    return TRUE;
}
