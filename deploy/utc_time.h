// The system's UTC time as the record writes it.
#pragma once

#include <string>

#include "platform/win32.h"

SYSTEMTIME UtcNow();
// "2026-01-01T00:00:19.002Z" (ISO 8601), or without the milliseconds.
std::string IsoTime(const SYSTEMTIME& time, bool milliseconds);
// "20260101T000019Z": the same in the basic format, for file names.
std::string CompactTime(const SYSTEMTIME& time);
