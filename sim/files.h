// Files on disk in the simulated host (sim/files.cpp): what WriteFile, ReadFile and CloseHandle do
// with a handle that CreateFileW opened.
#pragma once

#include <string>

#include "sim/machine.h"

namespace sim {

// One synchronous transfer on a file handle, after the call was counted; traces it with `args`.
BOOL TransferOnDisk(const char* call, bool write, const HandleObject& file, void* buffer, DWORD length, LPDWORD count,
                    LPOVERLAPPED overlapped, const std::string& args);
// Closes the file behind a handle that CloseHandle is dropping.
void CloseOnDisk(const HandleObject& file);

}  // namespace sim
