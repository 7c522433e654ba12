// Ctrl+C, Ctrl+Break and a closing console window during an update.
//
// Windows calls the console control handler on a thread of its own. The handler never touches the
// imaging service or the application locks: it only records what the user asked for, wakes the
// main thread's current pause and, while the scanner writes its flash, prints the warning. The
// main thread alone acts on a request, at its pauses and between the steps of the update, so the
// two threads can never work on the service or the locks at the same moment. What they share, and
// the lock that guards it, is in pause/pause.h.
#pragma once

#include "platform/win32.h"

// After a close, Windows ends the process 5 s after the event. The main thread gets this long to
// give the PC back; the handler keeps the process alive for it and no longer.
constexpr DWORD CLOSE_GRACE_MS = 4500;
// How long a closing update waits for a stop of the imaging service that was under way to end,
// so that it can still ask for the start within the grace.
constexpr DWORD CLOSE_STOP_WAIT_MS = 2000;

// Forgets the requests of an earlier run in the same process (the host tests run many).
void ForgetConsoleRequests();

// Installs the handler with the update cancellable: any of the three events cancels it.
void BeginControlledUpdate();
// The download command is about to go: from now on Ctrl+C and Ctrl+Break only print the warning.
// False, and nothing changes, when a cancel has come first.
bool EnterBurning();
// The update has ended (done, failed or being cancelled); a close still shortens its waits.
void EnterEnding();
// Removes the handler: Windows' default handling holds again.
void EndControlledUpdate();

// A cancel came while the update could still be cancelled, and has not been acted on yet.
bool CancelRequested();
// The console is closing (or the user logs off, or the system shuts down).
bool CloseRequested();
// The main thread begins to act on the requests so far: later pauses pause again until a newer
// request comes. Returns whether the console is closing.
bool AnswerRequests();

// Writes one progress line (no line feed) and flushes it, so that the handler's warning goes on
// a line of its own after it.
void PrintProgressLine(const char* format, const char* title, int percent);
