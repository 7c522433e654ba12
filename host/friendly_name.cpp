// The scanner's entry among the imaging devices' registry keys: its FriendlyName, and the first
// application lock's name formed from it. A unit of its own, apart from the locks themselves, so
// that the probe, which only reads, links no code that creates or releases a lock.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "app/entry.h"
#include "host/app_lock.h"

char g_devicePath[DEVICE_PATH_SIZE];
char g_friendlyName[FRIENDLY_NAME_SIZE];

namespace {

constexpr const char* INSTANCE_KEY_FORMAT = "%s\\%04d";
constexpr int INSTANCE_COUNT = 10000;
constexpr int REGISTRY_TEXT_SIZE = 256;
static_assert(REGISTRY_TEXT_SIZE == FRIENDLY_NAME_SIZE, "the FriendlyName is read straight into g_friendlyName");
// Offered instead of the whole buffer once a read has reported a type other than REG_SZ.
constexpr DWORD NON_TEXT_BYTE_COUNT = 4;

// In "usb\vid_VVVV&pid_PPPP...", where the two four-digit IDs sit.
constexpr size_t VENDOR_DIGITS_POSITION = 8;
constexpr size_t PRODUCT_DIGITS_POSITION = 17;
constexpr size_t ID_DIGITS = 4;
constexpr const char* ID_TEXT_FORMAT = "%04x";
constexpr int ID_TEXT_SIZE = 8;

char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i]))
            return false;
    return true;
}

// Up to `ID_DIGITS` characters of `text` from `position`; empty when the text ends before it.
std::string_view IdPiece(const char* text, size_t position) {
    const void* end = std::memchr(text, '\0', REGISTRY_TEXT_SIZE);
    const size_t length =
        end == nullptr ? REGISTRY_TEXT_SIZE : static_cast<size_t>(static_cast<const char*>(end) - text);
    if (position >= length)
        return {};
    return std::string_view(text + position, std::min(ID_DIGITS, length - position));
}

// Opens the instance key, reads one value into the 256-byte `buffer` and closes the key again.
// `type` chooses the byte count offered and receives the type that the read reports; `denied` is
// set when the key could not be opened for want of rights.
LSTATUS ReadInstanceValue(const char* keyName, const char* valueName, char* buffer, DWORD& type, bool& denied) {
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyName, 0, KEY_ALL_ACCESS, &key);
    if (status == ERROR_ACCESS_DENIED)
        denied = true;
    if (status != ERROR_SUCCESS)
        return status;
    DWORD byteCount = type == REG_SZ ? REGISTRY_TEXT_SIZE : NON_TEXT_BYTE_COUNT;
    status = RegQueryValueExA(key, valueName, nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &byteCount);
    RegCloseKey(key);
    // A failed read leaves the buffer's content undefined; it is then the empty text.
    if (status != ERROR_SUCCESS)
        buffer[0] = '\0';
    // A value that fills all 256 bytes has no terminator of its own: cut it to 255 characters.
    buffer[REGISTRY_TEXT_SIZE - 1] = '\0';
    return status;
}

}  // namespace

int FindFriendlyName(bool* keyAccessDenied) {
    bool unasked;
    bool& denied = keyAccessDenied != nullptr ? *keyAccessDenied : unasked;
    denied = false;
    char vendorText[ID_TEXT_SIZE];
    char productText[ID_TEXT_SIZE];
    std::snprintf(vendorText, sizeof vendorText, ID_TEXT_FORMAT, TARGET_VENDOR_ID);
    std::snprintf(productText, sizeof productText, ID_TEXT_FORMAT, TARGET_PRODUCT_ID);

    char keyName[REGISTRY_TEXT_SIZE];
    char createFileName[REGISTRY_TEXT_SIZE];
    char matchingDeviceId[REGISTRY_TEXT_SIZE];
    for (int index = 0; index < INSTANCE_COUNT; ++index) {
        std::memset(keyName, 0, sizeof keyName);
        std::memset(createFileName, 0, sizeof createFileName);
        std::memset(matchingDeviceId, 0, sizeof matchingDeviceId);
        std::snprintf(keyName, sizeof keyName, INSTANCE_KEY_FORMAT, IMAGING_CLASS_KEY, index);
        DWORD type = REG_SZ;

        if (ReadInstanceValue(keyName, CREATE_FILE_NAME_VALUE, createFileName, type, denied) != ERROR_SUCCESS)
            continue;
        if (!EqualIgnoringCase(createFileName, g_devicePath))
            continue;

        // Whatever this read gives, an identifier that is not there simply does not match.
        ReadInstanceValue(keyName, MATCHING_DEVICE_ID_VALUE, matchingDeviceId, type, denied);
        if (!EqualIgnoringCase(IdPiece(matchingDeviceId, VENDOR_DIGITS_POSITION), vendorText) ||
            !EqualIgnoringCase(IdPiece(matchingDeviceId, PRODUCT_DIGITS_POSITION), productText))
            continue;

        // The scanner's own entry: its name or nothing, no later key is looked at.
        return ReadInstanceValue(keyName, FRIENDLY_NAME_VALUE, g_friendlyName, type, denied) == ERROR_SUCCESS ? 1 : 0;
    }
    return 0;
}

bool FormScanAppLockName(char (&name)[LOCK_NAME_SIZE]) {
    // A FriendlyName too long for the buffer is cut: the name must never run past it.
    return std::snprintf(name, sizeof name, "%s%s", SCAN_APP_LOCK_PREFIX, g_friendlyName) >= 0;
}
