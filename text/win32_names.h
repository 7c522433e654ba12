// The names that scenario files, captures and run reports give the imaging service's states and
// start types and the registry's value types: one table of each, for the programs, the simulated
// host and the tools alike.
#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "platform/win32.h"

// "stopped", "startPending", ... "paused"; null for a value that is no service state.
const char* ServiceStateName(DWORD state);
// "boot", "system", "auto", "demand", "disabled"; null for any other value.
const char* ServiceStartTypeName(DWORD startType);
// "REG_NONE", "REG_SZ", "REG_EXPAND_SZ", "REG_BINARY", "REG_DWORD", "REG_MULTI_SZ", "REG_QWORD";
// null for the types a scenario cannot hold.
const char* RegistryTypeName(DWORD type);

// The values of those names; nothing for a name not in the table.
std::optional<DWORD> ServiceStateNamed(std::string_view name);
std::optional<DWORD> ServiceStartTypeNamed(std::string_view name);
std::optional<DWORD> RegistryTypeNamed(std::string_view name);

// Start, stop, continue or pause pending: a state the service passes through on its own.
bool IsPendingServiceState(DWORD state);

// Every name of one table, in the table's order, for messages that list what is allowed.
struct Win32Name {
    DWORD value;
    const char* name;
};
using Win32NameTable = std::span<const Win32Name>;
Win32NameTable ServiceStateNames();
Win32NameTable ServiceStartTypeNames();
Win32NameTable RegistryTypeNames();
