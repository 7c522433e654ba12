// A window that Explorer opened for the updater alone closes the moment the program ends; the
// last message must stay readable until the user has read it.
#pragma once

// True when the program owns its console alone (Explorer started it) and standard input and
// output are that console: not in a command prompt, a script or a pipe.
bool OwnsConsoleAlone();

// When OwnsConsoleAlone, prints message 37 and waits for one key press; otherwise does nothing.
void HoldWindowForReading();
