// The detection value: what the last run of the deploy on this PC came to, where deployment
// engines look after running it (HKLM\SOFTWARE\scanfw\Deploy).
#pragma once

#include <string>

#include "platform/win32.h"

constexpr const char* DETECTION_KEY = "SOFTWARE\\scanfw\\Deploy";

// Sets Version (the updater's file version), Outcome, ExitCode (REG_DWORD) and When (UTC, ISO
// 8601). Outcome is taken away first and written last, so that a run cut short never leaves a
// new Version beside an old Outcome. False, with what failed in `problem`, when a write failed.
bool WriteDetection(const std::string& version, const std::string& outcome, DWORD exitCode, const std::string& when,
                    std::string& problem);
