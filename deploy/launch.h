// Runs scanfw.exe and passes its output on as it comes.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32.h"

struct UpdaterRun {
    bool started = false;
    const char* failedCall = nullptr;  // the call that kept it from starting or being followed
    DWORD error = ERROR_SUCCESS;       // its error
    DWORD exitCode = 0;                // when it started and was waited for
    std::string output;                // every byte its standard output carried, as it carried them
};

// Starts the exe at `path` (by that path alone, never through the search path) with `arguments`
// as its argv[1..], its standard output on a pipe and no standard input, and waits for it to end.
// Each piece of output goes to `passOn` the moment it arrives.
UpdaterRun RunUpdater(const std::string& path, const std::vector<std::string>& arguments,
                      const std::function<void(std::string_view)>& passOn);

// Closes a handle of this process. DuplicateHandle with DUPLICATE_CLOSE_SOURCE and no target closes
// the source whatever else it reports: the deploy keeps its calls apart from the updater's, whose
// CloseHandle a scenario fails by number.
void ReleaseHandle(HANDLE handle);
