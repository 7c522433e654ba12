// Where the capture goes: standard output, or a file on a disk that is replaced whole or not at
// all. Every call that writes the file comes after the capture's own calls, so a scenario that
// fails a call by its number fails the same call of the capture whatever the output.
#pragma once

#include <string>

#include "platform/win32.h"

enum class ProbeExit { Written = 0, NotWritten = 1, BadCommandLine = 2 };

// A file the capture is to be written to.
struct CaptureTarget {
    std::string shown;   // as the user gave it (or the name chosen), for messages
    std::string path;    // full
    std::string folder;  // full, where the temporary file is made
    bool existed = false;
    bool replace = true;  // false: an existing name is never taken, the next free one is
};

// Whether --out `given` may be written, before anything is captured: refused (BadCommandLine,
// one line on standard error) when it names a device or a namespace, or a folder; NotWritten (one
// line) when Windows cannot make its full path or tell whether something is there.
ProbeExit CheckOutTarget(const std::string& given, CaptureTarget& target);

// Where a probe started from Explorer writes: scanfw-capture-YYYYMMDD-HHMMSS.json (UTC) in the
// current folder, never over a file that is there; a taken name gets -2 to -99 before ".json".
ProbeExit DoubleClickTarget(const SYSTEMTIME& now, CaptureTarget& target);

// Writes `text` to a temporary file in the target's folder and moves it into place: refused
// (BadCommandLine) when what is at the target is no file on a disk (GetFileType); NotWritten when
// a step fails, with nothing left behind and a file that was there kept whole. One line on
// standard error either way; `notes` is the number of failed steps, for the line of success.
ProbeExit WriteCaptureFile(const std::string& text, const CaptureTarget& target, size_t notes);
