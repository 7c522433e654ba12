// A window that Explorer opened for the updater alone closes the moment the program ends; the
// last message must stay readable until the user has read it.
#pragma once

// When the program owns its console alone and standard input and output are that console, prints
// message 37 and waits for one key press. In a command prompt, a script or a pipe it does nothing.
void HoldWindowForReading();
