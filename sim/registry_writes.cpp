// Simulated registry writes: values that a program sets and deletes under HKEY_LOCAL_MACHINE by
// key path (RegSetKeyValueA makes the key when it is missing). They live apart from the imaging
// device keys the updater reads, which no program writes.
#include <cstring>

#include "sim/machine.h"

using sim::M;
using sim::Ptr;

namespace {

template <typename Args>
LSTATUS Answer(const char* call, const Args& args, LSTATUS status) {
    sim::TraceCall(call, args,
                   [&] { return status == ERROR_SUCCESS ? std::string("0") : "error " + std::to_string(status); });
    return status;
}

template <typename Args>
LSTATUS Injected(const char* call, const Args& args) {
    const LSTATUS status = static_cast<LSTATUS>(GetLastError());
    sim::TraceCall(call, args, [&] { return "error " + std::to_string(status) + " (injected)"; });
    return status;
}

}  // namespace

LSTATUS WINAPI RegSetKeyValueA(HKEY hKey, LPCSTR lpSubKey, LPCSTR lpValueName, DWORD dwType, LPCVOID lpData,
                               DWORD cbData) {
    auto args = [&] {
        return Ptr(hKey) + ", " + sim::Quote(lpSubKey) + ", " + sim::Quote(lpValueName) + ", " +
               std::to_string(dwType) + ", " + Ptr(lpData) + ", " + std::to_string(cbData);
    };
    if (sim::Enter("RegSetKeyValueA", ERROR_ACCESS_DENIED))
        return Injected("RegSetKeyValueA", args);
    if (hKey != HKEY_LOCAL_MACHINE)
        return Answer("RegSetKeyValueA", args, ERROR_INVALID_HANDLE);
    if (lpSubKey == nullptr || lpValueName == nullptr || (lpData == nullptr && cbData != 0))
        return Answer("RegSetKeyValueA", args, ERROR_INVALID_PARAMETER);
    sim::WrittenValue value;
    value.type = dwType;
    const auto* bytes = static_cast<const uint8_t*>(lpData);
    value.data.assign(bytes, bytes + cbData);
    M().writtenKeys.keys[lpSubKey][lpValueName] = std::move(value);
    return Answer("RegSetKeyValueA", args, ERROR_SUCCESS);
}

LSTATUS WINAPI RegDeleteKeyValueA(HKEY hKey, LPCSTR lpSubKey, LPCSTR lpValueName) {
    auto args = [&] { return Ptr(hKey) + ", " + sim::Quote(lpSubKey) + ", " + sim::Quote(lpValueName); };
    if (sim::Enter("RegDeleteKeyValueA", ERROR_ACCESS_DENIED))
        return Injected("RegDeleteKeyValueA", args);
    if (hKey != HKEY_LOCAL_MACHINE)
        return Answer("RegDeleteKeyValueA", args, ERROR_INVALID_HANDLE);
    if (lpSubKey == nullptr || lpValueName == nullptr)
        return Answer("RegDeleteKeyValueA", args, ERROR_INVALID_PARAMETER);
    auto& keys = M().writtenKeys.keys;
    auto key = keys.find(lpSubKey);
    if (key == keys.end() || key->second.erase(lpValueName) == 0)
        return Answer("RegDeleteKeyValueA", args, ERROR_FILE_NOT_FOUND);
    return Answer("RegDeleteKeyValueA", args, ERROR_SUCCESS);
}
