// PLACEHOLDER: executable resources come with the firmware-image work.
#include "sim/machine.h"

namespace sim {
void BootResources(Machine& m) { m.resources.images = m.scenario.resources; }
}  // namespace sim

HRSRC WINAPI FindResourceA(HMODULE, LPCSTR, LPCSTR) { return nullptr; }
HGLOBAL WINAPI LoadResource(HMODULE, HRSRC) { return nullptr; }
LPVOID WINAPI LockResource(HGLOBAL) { return nullptr; }
DWORD WINAPI SizeofResource(HMODULE, HRSRC) { return 0; }
