// The updater's executable on the simulated disk, as a program that reads it as a file finds it:
// the scenario's exeFile says whether it is whole, cut short, another kind of file or a folder,
// or whether BINARY 121's size field points past its end. A data-file module's memory is the
// resource bytes that LoadResource handed out (VirtualQuery, in exe_file.cpp).
#pragma once

#include "platform/host_win32.h"

namespace sim {

// A path whose last part is the updater's file name, in any folder.
bool NamesUpdaterExe(const char* path);
// The updater's executable as GetFileAttributesExA describes it.
void UpdaterExeAttributes(WIN32_FILE_ATTRIBUTE_DATA& data);
// What LoadLibraryExA meets loading `path` as a data file: ERROR_SUCCESS for a whole updater,
// ERROR_BAD_EXE_FORMAT for anything else that the disk holds as a file.
DWORD DataFileLoadError(const char* path);
// The size that the resource directory of the loaded updater gives for image `id` of `size` bytes.
DWORD SizeInResourceDirectory(int id, DWORD size);

}  // namespace sim
