// The probe's capture of a PC: what the updater would meet there, as a scenario that scanfw-sim
// replays, and what the probe saw besides. Every section only reads: it opens what it needs,
// closes it at once, and records a step that fails instead of stopping.
#pragma once

#include <string>

#include "platform/win32.h"
#include "probe/json_value.h"

struct ProbeOptions {
    bool askScanner = false;  // one status query to the first target scanner
    std::string exePath;      // a scanfw.exe whose resources to read; empty: none
};

struct Capture {
    JsonValue scenario = JsonObject();  // the members scanfw-sim replays, in the format's order
    JsonValue probe = JsonObject();     // the probe's own record: ignored by scanfw-sim
    JsonValue notes = JsonArray();      // every step that failed
};

// Records that `call` failed with `error` while the probe looked at `subject`; or, with `found`,
// what the probe found wrong in the answer of `call`, `error` then the Windows error that names it.
void Note(Capture& capture, const char* step, const char* call, const std::string& subject, DWORD error,
          const std::string& found = "");

// The sections, in the order the probe runs them. CaptureDevices returns the device name of the
// first target scanner (the one the updater would update), or "" when there is none.
void CaptureLanguage(Capture& capture);
std::string CaptureDevices(Capture& capture, const ProbeOptions& options);
void CaptureService(Capture& capture);
void CaptureImagingDevices(Capture& capture);
void CaptureLocks(Capture& capture, const std::string& scannerName);
void CaptureExecutable(Capture& capture, const std::string& exePath);
void CaptureUpdateGuard(Capture& capture);
void CaptureSystem(Capture& capture, const SYSTEMTIME& now);

// The whole capture as the text of a scenario file.
std::string CaptureText(const Capture& capture);
