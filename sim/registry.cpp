// PLACEHOLDER: the registry comes with the host-coordination work.
#include "sim/machine.h"

namespace sim {
void BootRegistry(Machine&) {}
}  // namespace sim

LSTATUS WINAPI RegOpenKeyExA(HKEY, LPCSTR, DWORD, REGSAM, PHKEY) { return ERROR_FILE_NOT_FOUND; }
LSTATUS WINAPI RegQueryValueExA(HKEY, LPCSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD) { return ERROR_INVALID_HANDLE; }
LSTATUS WINAPI RegCloseKey(HKEY) { return ERROR_INVALID_HANDLE; }
