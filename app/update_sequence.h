// The update itself, once the scanner is open: service out of the way, wait for the scanner to
// be idle, take the application locks, send the image, follow the burn, give everything back.
#pragma once

#include "platform/win32.h"

constexpr DWORD SERVICE_FAILURE_PAUSE_MS = 20000;
constexpr DWORD READY_DEADLINE_MS = 600000;
constexpr DWORD BUSY_RETRY_MS = 1000;
constexpr DWORD POST_WRITE_PAUSE_MS = 6000;
constexpr DWORD PROGRESS_POLL_MS = 1000;
constexpr DWORD COMPLETION_PAUSE_MS = 1000;

void UpdateSequence(HANDLE device);

// The progress line format for a poll counter: 3, 6 or 9 dots, always nine characters of dots
// and trailing blanks, so each line exactly covers the one before.
const char* ProgressFormat(int pollCounter);
