// Paths given on the probe's command line: told apart from Windows' device names before any call
// is made, and made full as Windows makes them.
#pragma once

#include <string>

#include "platform/win32.h"

// Whether `path` names a device or a namespace rather than a file on a disk: a path in the device
// namespace ("\\.\x"), the long-path one ("\\?\x") or the object manager's ("\??\x"), with either
// slash; a pipe or mailslot of a share ("\\server\pipe\x"); or a last part that
// Windows takes for a device in any folder and with any extension: CON, PRN, AUX, NUL, COM1 to
// COM9, LPT1 to LPT9, CONIN$ and CONOUT$, in any case.
bool NamesDevice(const std::string& path);

// The full path of `path` (GetFullPathNameA: relative to the current folder) and where the file's
// name starts in it (std::string::npos when it ends in a separator). False, with Windows' error,
// when it cannot be made.
bool FullPath(const std::string& path, std::string& full, size_t& nameAt, DWORD& error);

// The last part of a path: the file's name without its folders.
std::string FileNameOf(const std::string& path);
