// Program entry: the command line and the whole run of the updater.
#pragma once

#include <cstdint>

#include "app/messages.h"
#include "app/scanner_search.h"
#include "platform/win32.h"

// The device name of the scanner being updated, for the registry lookup of its FriendlyName
// (host/friendly_name.cpp).
extern char g_devicePath[DEVICE_PATH_SIZE];

// Reads the command line; it changes nothing in the run but may print message 0.
void ReadCommandLine(int argc, char* argv[]);
// The whole run; the process exit code, always 0.
int UpdaterMain(int argc, char* argv[]);
