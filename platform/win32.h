// The one seam between the updater and the operating system.
//
// Product code includes this header and nothing else of the platform. On Windows it is the real
// <windows.h>; on the host build it is our own declarations of the same functions, types and
// constants, served by the simulated Windows host in sim/. Either way the product calls Win32 by
// its own names with the exact arguments, so the code that ships is the code the tests run.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include "platform/host_win32.h"
#endif
