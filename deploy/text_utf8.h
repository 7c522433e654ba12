// scanfw.exe's output as UTF-8 for the record: its bytes are Big5 (code page 950), of which ASCII
// is a part, so one conversion serves both languages.
#pragma once

#include <string>
#include <string_view>

#include "platform/win32.h"

// The bytes as UTF-8, through the system's code page 950. False (with `utf8` empty and the error
// in `error`) when a conversion failed.
bool Big5ToUtf8(std::string_view bytes, std::string& utf8, DWORD& error);
