// Program entry: the command line and the whole run of the updater.
#pragma once

#include <cstdint>

#include "app/scanner_search.h"
#include "platform/win32.h"

constexpr LANGID LANGID_CHINESE_TAIWAN = 0x0404;

// The device name of the scanner being updated, for the registry lookup of its FriendlyName.
extern char g_devicePath[DEVICE_PATH_SIZE];

// The catalogue language for a user's default language: Chinese for Chinese (Taiwan), else English.
uint16_t MessageLanguageFor(LANGID userLangId);
// Reads the command line; it changes nothing in the run but may print message 0.
void ReadCommandLine(int argc, char* argv[]);
// The whole run; the process exit code, always 0.
int UpdaterMain(int argc, char* argv[]);
