// The imaging-device registry: every instance key under the class key, found by enumeration, and
// the three values the updater reads from it, byte for byte.
#include <cstdio>
#include <vector>

#include "host/app_lock.h"
#include "probe/capture.h"
#include "text/hex.h"
#include "text/win32_names.h"

namespace {

constexpr const char* STEP = "imagingDevices";
constexpr size_t INSTANCE_NAME_DIGITS = 4;
// Registry key names are at most 255 characters.
constexpr DWORD KEY_NAME_SIZE = 256;
// A value that grows between the sizing read and the reading one is read again, a few times.
constexpr int VALUE_READ_ATTEMPTS = 3;
constexpr const char* VALUE_NAMES[] = {CREATE_FILE_NAME_VALUE, MATCHING_DEVICE_ID_VALUE, FRIENDLY_NAME_VALUE};

// The names the updater can reach: "0000" to "9999".
bool IsInstanceName(const std::string& name) {
    if (name.size() != INSTANCE_NAME_DIGITS)
        return false;
    for (char c : name)
        if (c < '0' || c > '9')
            return false;
    return true;
}

// A REG_SZ that a scenario can give as plain text: UTF-8 with exactly one zero, at its end.
bool IsPlainText(const std::vector<uint8_t>& data) {
    if (data.empty() || data.back() != 0)
        return false;
    const std::string text(data.begin(), data.end() - 1);
    return text.find('\0') == std::string::npos && IsUtf8(text);
}

void CloseKey(Capture& capture, HKEY key, const std::string& subject) {
    const LSTATUS status = RegCloseKey(key);
    if (status != ERROR_SUCCESS)
        Note(capture, STEP, "RegCloseKey", subject, static_cast<DWORD>(status));
}

// Reads one value as stored; false when it is not there (or could not be read, noted).
bool ReadValue(Capture& capture, HKEY key, const char* name, const std::string& subject, DWORD& type,
               std::vector<uint8_t>& data) {
    DWORD size = 0;
    LSTATUS status = RegQueryValueExA(key, name, nullptr, &type, nullptr, &size);
    for (int attempt = 0; status == ERROR_SUCCESS && size > 0 && attempt < VALUE_READ_ATTEMPTS; ++attempt) {
        data.assign(size, 0);
        status = RegQueryValueExA(key, name, nullptr, &type, data.data(), &size);
        if (status == ERROR_SUCCESS)
            data.resize(size);
        if (status != ERROR_MORE_DATA)
            break;
        status = ERROR_SUCCESS;
    }
    if (status == ERROR_FILE_NOT_FOUND)
        return false;
    if (status != ERROR_SUCCESS) {
        Note(capture, STEP, "RegQueryValueExA", subject + "\\" + name, static_cast<DWORD>(status));
        return false;
    }
    if (size == 0)
        data.clear();
    return true;
}

JsonValue ValueJson(DWORD type, const std::vector<uint8_t>& data) {
    if (type == REG_SZ && IsPlainText(data))
        return JsonString(std::string(data.begin(), data.end() - 1));
    JsonValue value = JsonObject();
    Add(value, "type", JsonString(RegistryTypeName(type)));
    Add(value, "hex", JsonString(HexBytes(data.data(), data.size())));
    return value;
}

JsonValue Instance(Capture& capture, const std::string& name) {
    const std::string path = std::string(IMAGING_CLASS_KEY) + "\\" + name;
    JsonValue instance = JsonObject();
    HKEY key = nullptr;
    // The updater opens the key for all access; a user who cannot is denied it there too. The
    // values are then still read, for the record, with the right to query only.
    LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &key);
    if (status == ERROR_ACCESS_DENIED) {
        Add(instance, "access", JsonString("denied"));
        status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &key);
        if (status == ERROR_ACCESS_DENIED)
            return instance;
    }
    if (status != ERROR_SUCCESS) {
        Note(capture, STEP, "RegOpenKeyExA", name, static_cast<DWORD>(status));
        return instance;
    }
    for (const char* valueName : VALUE_NAMES) {
        DWORD type = REG_NONE;
        std::vector<uint8_t> data;
        if (!ReadValue(capture, key, valueName, name, type, data))
            continue;
        if (RegistryTypeName(type) == nullptr) {
            Note(capture, STEP, "RegQueryValueExA", name + "\\" + valueName + ": type " + std::to_string(type), 0);
            continue;
        }
        Add(instance, valueName, ValueJson(type, data));
    }
    CloseKey(capture, key, name);
    return instance;
}

// The names of the class key's subkeys, in the order the registry lists them.
std::vector<std::string> SubkeyNames(Capture& capture) {
    std::vector<std::string> names;
    HKEY classKey = nullptr;
    const LSTATUS opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, IMAGING_CLASS_KEY, 0, KEY_READ, &classKey);
    if (opened != ERROR_SUCCESS) {
        Note(capture, STEP, "RegOpenKeyExA", "class key", static_cast<DWORD>(opened));
        return names;
    }
    for (DWORD index = 0;; ++index) {
        char name[KEY_NAME_SIZE];
        DWORD length = KEY_NAME_SIZE;
        const LSTATUS status = RegEnumKeyExA(classKey, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        if (status != ERROR_SUCCESS) {
            Note(capture, STEP, "RegEnumKeyExA", "class key, index " + std::to_string(index),
                 static_cast<DWORD>(status));
            break;
        }
        names.emplace_back(name, length);
    }
    CloseKey(capture, classKey, "class key");
    return names;
}

}  // namespace

void CaptureImagingDevices(Capture& capture) {
    JsonValue instances = JsonObject();
    JsonValue others = JsonArray();
    for (const std::string& name : SubkeyNames(capture)) {
        if (IsInstanceName(name))
            Add(instances, name, Instance(capture, name));
        else
            Append(others, JsonString(name));  // a key the updater never looks at
    }
    Add(capture.scenario, "imagingDevices", std::move(instances));
    Add(capture.probe, "otherClassSubkeys", std::move(others));
}
