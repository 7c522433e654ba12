// The deploy through Ctrl+C, Ctrl+Break and a closing console. scanfw.exe shares its console and
// gets every event too: it answers it (a cancel gives the PC back, a Ctrl+C while the scanner
// burns only brings a warning), and the deploy waits for it to end and writes its record.
#pragma once

// Windows ends a process 5 s after a closing console's event reached it; this long the deploy's
// handler waits for the record, leaving the rest for the system.
constexpr unsigned CLOSE_WAIT_MS = 4900;
constexpr unsigned CLOSE_POLL_MS = 50;

// Installs the handler. False when it could not be installed (an event then ends the deploy).
bool SurviveConsoleEvents();
// The record is written: a closing console may end the deploy now.
void RecordWritten();
