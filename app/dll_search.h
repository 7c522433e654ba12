// Where the programs load DLLs from. Both are handed to users who run them from a downloads
// folder, often as administrator: a DLL planted beside the exe must never be loaded in their
// place, whatever Windows or a later change of the code loads on demand.
#pragma once

#include "platform/win32.h"

// The first call of each program: from here on only the system folder is searched. It prints
// nothing, and when it fails (a Windows without the call's update) nothing else changes: the
// exes import only KnownDLLs, which Windows loads from the system folder anyway.
inline void RestrictDllSearch() {
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}
