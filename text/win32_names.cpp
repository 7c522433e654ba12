#include "text/win32_names.h"

namespace {

constexpr Win32Name SERVICE_STATES[] = {
    {SERVICE_STOPPED, "stopped"},
    {SERVICE_START_PENDING, "startPending"},
    {SERVICE_STOP_PENDING, "stopPending"},
    {SERVICE_RUNNING, "running"},
    {SERVICE_CONTINUE_PENDING, "continuePending"},
    {SERVICE_PAUSE_PENDING, "pausePending"},
    {SERVICE_PAUSED, "paused"},
};

constexpr Win32Name SERVICE_START_TYPES[] = {
    {SERVICE_BOOT_START, "boot"},     {SERVICE_SYSTEM_START, "system"}, {SERVICE_AUTO_START, "auto"},
    {SERVICE_DEMAND_START, "demand"}, {SERVICE_DISABLED, "disabled"},
};

// The three a scanner's entry holds first; the others come from captured PCs.
constexpr Win32Name REGISTRY_TYPES[] = {
    {REG_SZ, "REG_SZ"},       {REG_BINARY, "REG_BINARY"},       {REG_DWORD, "REG_DWORD"},
    {REG_NONE, "REG_NONE"},   {REG_EXPAND_SZ, "REG_EXPAND_SZ"}, {REG_MULTI_SZ, "REG_MULTI_SZ"},
    {REG_QWORD, "REG_QWORD"},
};

const char* NameOf(Win32NameTable table, DWORD value) {
    for (const Win32Name& n : table)
        if (n.value == value)
            return n.name;
    return nullptr;
}

std::optional<DWORD> ValueOf(Win32NameTable table, std::string_view name) {
    for (const Win32Name& n : table)
        if (name == n.name)
            return n.value;
    return std::nullopt;
}

}  // namespace

Win32NameTable ServiceStateNames() {
    return SERVICE_STATES;
}
Win32NameTable ServiceStartTypeNames() {
    return SERVICE_START_TYPES;
}
Win32NameTable RegistryTypeNames() {
    return REGISTRY_TYPES;
}

const char* ServiceStateName(DWORD state) {
    return NameOf(ServiceStateNames(), state);
}
const char* ServiceStartTypeName(DWORD startType) {
    return NameOf(ServiceStartTypeNames(), startType);
}
const char* RegistryTypeName(DWORD type) {
    return NameOf(RegistryTypeNames(), type);
}

std::optional<DWORD> ServiceStateNamed(std::string_view name) {
    return ValueOf(ServiceStateNames(), name);
}
std::optional<DWORD> ServiceStartTypeNamed(std::string_view name) {
    return ValueOf(ServiceStartTypeNames(), name);
}
std::optional<DWORD> RegistryTypeNamed(std::string_view name) {
    return ValueOf(RegistryTypeNames(), name);
}

bool IsPendingServiceState(DWORD state) {
    return state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING || state == SERVICE_CONTINUE_PENDING ||
           state == SERVICE_PAUSE_PENDING;
}
