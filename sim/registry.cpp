// Simulated registry: the imaging device setup class key under HKEY_LOCAL_MACHINE and the
// scenario's instance keys below it. No other key exists here.
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string_view>

#include "sim/machine.h"

namespace {

constexpr const char* CLASS_KEY = "SYSTEM\\CurrentControlSet\\Control\\Class\\{6bdd1fc6-810f-11d0-bec7-08002be2092f}";
constexpr size_t INSTANCE_DIGITS = 4;
constexpr int CLASS_KEY_REF = -1;  // the handle's ref for the class key itself
constexpr int NO_KEY = -2;
constexpr DWORD REG_OPTION_OPEN_LINK = 0x00000008;

// The key that `path` names below HKEY_LOCAL_MACHINE: CLASS_KEY_REF, an instance number, or
// NO_KEY. Key names compare without regard to case, as Windows compares them.
int KeyOfPath(const char* path) {
    const std::string_view p = path;
    const std::string_view classKey = CLASS_KEY;
    if (sim::EqualIgnoringCase(p, classKey))
        return CLASS_KEY_REF;
    if (p.size() != classKey.size() + 1 + INSTANCE_DIGITS || p[classKey.size()] != '\\')
        return NO_KEY;
    int number = 0;
    for (size_t i = classKey.size() + 1; i < p.size(); ++i) {
        if (p[i] < '0' || p[i] > '9')
            return NO_KEY;
        number = number * 10 + (p[i] - '0');
    }
    // The instance first: the updater's walk tries 10,000 names, and few of them exist.
    if (sim::M().scenario.imagingDevices.count(number) == 0)
        return NO_KEY;
    return sim::EqualIgnoringCase(p.substr(0, classKey.size()), classKey) ? number : NO_KEY;
}

using sim::Ptr;

template <typename Args>
LSTATUS Fail(const char* call, const Args& args, LSTATUS status) {
    sim::TraceCall(call, args, [&] { return "error " + std::to_string(status); });
    return status;
}

// The status the failure plan chose for a registry call: registry functions return their error.
template <typename Args>
LSTATUS Injected(const char* call, const Args& args) {
    LSTATUS status = static_cast<LSTATUS>(GetLastError());
    sim::TraceCall(call, args, [&] { return "error " + std::to_string(status) + " (injected)"; });
    return status;
}

}  // namespace

namespace sim {
void BootRegistry(Machine& m) {
    m.registry = RegistryArea{};
}
}  // namespace sim

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
    auto args = [&] {
        return Ptr(hKey) + ", " + sim::Quote(lpSubKey) + ", " + std::to_string(ulOptions) + ", " + sim::Hex(samDesired);
    };
    if (sim::Enter("RegOpenKeyExA", ERROR_ACCESS_DENIED))
        return Injected("RegOpenKeyExA", args);
    if (phkResult == nullptr || (ulOptions & ~REG_OPTION_OPEN_LINK) != 0)
        return Fail("RegOpenKeyExA", args, ERROR_INVALID_PARAMETER);
    // Only paths from HKEY_LOCAL_MACHINE are modelled.
    int key = hKey == HKEY_LOCAL_MACHINE && lpSubKey != nullptr ? KeyOfPath(lpSubKey) : NO_KEY;
    if (key == NO_KEY)
        return Fail("RegOpenKeyExA", args, ERROR_FILE_NOT_FOUND);
    if (key != CLASS_KEY_REF && sim::M().scenario.imagingDevices.at(key).accessDenied)
        return Fail("RegOpenKeyExA", args, ERROR_ACCESS_DENIED);
    *phkResult = static_cast<HKEY>(sim::NewHandle(sim::HandleKind::Key, key, samDesired));
    sim::M().registry.opens++;
    sim::TraceCall("RegOpenKeyExA", args, [&] { return "ERROR_SUCCESS, " + Ptr(*phkResult); });
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData) {
    auto args = [&] {
        return Ptr(hKey) + ", " + sim::Quote(lpValueName) + ", " + Ptr(lpData) + ", " +
               (lpcbData == nullptr ? std::string("NULL") : std::to_string(*lpcbData));
    };
    if (sim::Enter("RegQueryValueExA", ERROR_FILE_NOT_FOUND))
        return Injected("RegQueryValueExA", args);
    const sim::HandleObject* obj = sim::FindHandle(hKey, sim::HandleKind::Key);
    if (obj == nullptr)
        return Fail("RegQueryValueExA", args, ERROR_INVALID_HANDLE);
    if ((obj->access & KEY_QUERY_VALUE) == 0)
        return Fail("RegQueryValueExA", args, ERROR_ACCESS_DENIED);
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr))
        return Fail("RegQueryValueExA", args, ERROR_INVALID_PARAMETER);

    const sim::RegValue* found = nullptr;
    if (obj->ref != CLASS_KEY_REF && lpValueName != nullptr) {
        for (const sim::RegValue& v : sim::M().scenario.imagingDevices.at(obj->ref).values)
            if (sim::EqualIgnoringCase(v.name, lpValueName))
                found = &v;
    }
    if (found == nullptr)
        return Fail("RegQueryValueExA", args, ERROR_FILE_NOT_FOUND);

    const DWORD size = static_cast<DWORD>(found->data.size());
    if (lpType != nullptr)
        *lpType = found->type;
    if (lpData != nullptr && *lpcbData < size) {
        *lpcbData = size;  // the size needed; the buffer is left alone
        return Fail(
            "RegQueryValueExA", [&] { return args() + " (needs " + std::to_string(size) + ")"; }, ERROR_MORE_DATA);
    }
    if (lpData != nullptr && size > 0)
        std::memcpy(lpData, found->data.data(), size);
    if (lpcbData != nullptr)
        *lpcbData = size;
    sim::TraceCall("RegQueryValueExA", args, [&] {
        return "ERROR_SUCCESS, type " + std::to_string(found->type) + ", " + std::to_string(size) + " bytes";
    });
    return ERROR_SUCCESS;
}

// Enumerates the subkeys of the class key: its instance keys, in the order of their numbers (as
// their four-digit names sort). An instance key has no subkeys here.
LSTATUS WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                             LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    auto args = [&] {
        return Ptr(hKey) + ", " + std::to_string(dwIndex) + ", " + Ptr(lpName) + ", " +
               (lpcchName == nullptr ? std::string("NULL") : std::to_string(*lpcchName));
    };
    if (sim::Enter("RegEnumKeyExA", ERROR_ACCESS_DENIED))
        return Injected("RegEnumKeyExA", args);
    const sim::HandleObject* obj = sim::FindHandle(hKey, sim::HandleKind::Key);
    if (obj == nullptr)
        return Fail("RegEnumKeyExA", args, ERROR_INVALID_HANDLE);
    if ((obj->access & KEY_ENUMERATE_SUB_KEYS) == 0)
        return Fail("RegEnumKeyExA", args, ERROR_ACCESS_DENIED);
    if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr ||
        (lpClass != nullptr && lpcchClass == nullptr))
        return Fail("RegEnumKeyExA", args, ERROR_INVALID_PARAMETER);
    const auto& instances = sim::M().scenario.imagingDevices;
    if (obj->ref != CLASS_KEY_REF || dwIndex >= instances.size())
        return Fail("RegEnumKeyExA", args, ERROR_NO_MORE_ITEMS);
    auto it = instances.begin();
    std::advance(it, dwIndex);
    char name[INSTANCE_DIGITS + 1];
    std::snprintf(name, sizeof name, "%04d", it->first);
    // The count offered includes the terminator; on success it tells the characters without it.
    if (*lpcchName < sizeof name)
        return Fail("RegEnumKeyExA", args, ERROR_MORE_DATA);
    std::memcpy(lpName, name, sizeof name);
    *lpcchName = INSTANCE_DIGITS;
    if (lpClass != nullptr && *lpcchClass > 0) {
        lpClass[0] = '\0';
        *lpcchClass = 0;
    }
    if (lpftLastWriteTime != nullptr)
        *lpftLastWriteTime = FILETIME{0, 0};
    sim::TraceCall("RegEnumKeyExA", args, [&] { return "ERROR_SUCCESS, " + sim::Quote(name); });
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
    auto args = [&] { return Ptr(hKey); };
    if (sim::Enter("RegCloseKey", ERROR_INVALID_HANDLE))
        return Injected("RegCloseKey", args);
    if (sim::FindHandle(hKey, sim::HandleKind::Key) == nullptr)
        return Fail("RegCloseKey", args, ERROR_INVALID_HANDLE);
    sim::DropHandle(hKey);
    sim::TraceCall("RegCloseKey", args, "ERROR_SUCCESS");
    return ERROR_SUCCESS;
}
