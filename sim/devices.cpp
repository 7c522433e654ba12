// Simulated still-image devices: opening "\\.\usbscanN" and the descriptor request.
#include <algorithm>
#include <cstring>

#include "sim/machine.h"
#include "text/hex.h"

namespace {

constexpr const char* DEVICE_PREFIX = "\\\\.\\usbscan";
constexpr int MAX_DEVICE_NUMBER = 255;
constexpr DWORD IOCTL_GET_DEVICE_DESCRIPTOR_CODE = 0x80002018;
constexpr uint16_t DESCRIPTOR_LANGUAGE = 0x0409;
constexpr size_t DESCRIPTOR_BYTES = 8;

// The number in "\\.\usbscanN", or -1 when the name is not a usbscan device name. Numbers are
// plain decimal without leading zeros, as the driver names its devices.
int DeviceNumber(const char* name) {
    size_t prefix = std::strlen(DEVICE_PREFIX);
    if (name == nullptr || std::strncmp(name, DEVICE_PREFIX, prefix) != 0)
        return -1;
    const char* digits = name + prefix;
    size_t n = std::strlen(digits);
    if (n == 0 || n > 3 || (n > 1 && digits[0] == '0'))
        return -1;
    int value = 0;
    for (size_t i = 0; i < n; ++i) {
        if (digits[i] < '0' || digits[i] > '9')
            return -1;
        value = value * 10 + (digits[i] - '0');
    }
    return value <= MAX_DEVICE_NUMBER ? value : -1;
}

const sim::DeviceSpec* FindDevice(int index) {
    for (const sim::DeviceSpec& d : sim::M().scenario.devices)
        if (d.index == index)
            return &d;
    return nullptr;
}

}  // namespace

namespace sim {
const DeviceSpec* DeviceOfHandle(const void* handle) {
    HandleObject* obj = FindHandle(handle, HandleKind::Device);
    return obj == nullptr ? nullptr : FindDevice(obj->ref);
}
}  // namespace sim

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    (void)lpSecurityAttributes;
    (void)hTemplateFile;
    auto args = [&] {
        return sim::Quote(lpFileName) + ", " + sim::Hex(dwDesiredAccess) + ", " + sim::Hex(dwShareMode) + ", " +
               std::to_string(dwCreationDisposition) + ", " + sim::Hex(dwFlagsAndAttributes);
    };
    if (sim::Enter("CreateFileA", ERROR_ACCESS_DENIED)) {
        sim::TraceCall("CreateFileA", args, "INVALID_HANDLE_VALUE (injected)");
        return INVALID_HANDLE_VALUE;
    }
    int number = DeviceNumber(lpFileName);
    const sim::DeviceSpec* device = number < 0 ? nullptr : FindDevice(number);
    DWORD error = ERROR_SUCCESS;
    if (device == nullptr || dwCreationDisposition != OPEN_EXISTING)
        error = ERROR_FILE_NOT_FOUND;
    else if (device->open == sim::OpenMode::Denied)
        error = ERROR_ACCESS_DENIED;
    else if (device->open == sim::OpenMode::Busy)
        error = ERROR_SHARING_VIOLATION;
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        sim::TraceCall("CreateFileA", args, [&] { return "INVALID_HANDLE_VALUE, error " + std::to_string(error); });
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = sim::NewHandle(sim::HandleKind::Device, number, dwDesiredAccess);
    sim::M().opened.push_back(number);
    SetLastError(ERROR_SUCCESS);
    sim::TraceCall("CreateFileA", args, [&] { return sim::Ptr(h); });
    return h;
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped) {
    (void)lpInBuffer;
    (void)nInBufferSize;
    (void)lpOverlapped;
    auto args = [&] {
        return sim::Ptr(hDevice) + ", " + sim::Hex(dwIoControlCode) + ", in " + std::to_string(nInBufferSize) +
               ", out " + std::to_string(nOutBufferSize);
    };
    if (sim::Enter("DeviceIoControl", ERROR_GEN_FAILURE)) {
        sim::TraceCall("DeviceIoControl", args, "FALSE (injected)");
        return FALSE;
    }
    const sim::DeviceSpec* device = sim::DeviceOfHandle(hDevice);
    DWORD error = ERROR_SUCCESS;
    if (device == nullptr)
        error = ERROR_INVALID_HANDLE;
    else if (dwIoControlCode != IOCTL_GET_DEVICE_DESCRIPTOR_CODE)
        error = ERROR_INVALID_PARAMETER;  // the driver knows no other request we send
    else if (device->descriptorFails)
        error = ERROR_GEN_FAILURE;
    else if (lpOutBuffer == nullptr || nOutBufferSize < DESCRIPTOR_BYTES)
        error = ERROR_INSUFFICIENT_BUFFER;
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        sim::TraceCall("DeviceIoControl", args, [&] { return "FALSE, error " + std::to_string(error); });
        return FALSE;
    }
    const uint16_t fields[] = {device->vid, device->pid, device->bcd, DESCRIPTOR_LANGUAGE};
    uint8_t answer[DESCRIPTOR_BYTES];
    for (size_t i = 0; i < 4; ++i) {
        answer[2 * i] = static_cast<uint8_t>(fields[i]);
        answer[2 * i + 1] = static_cast<uint8_t>(fields[i] >> 8);
    }
    // A device may answer with fewer bytes; the rest of the caller's buffer is left as it was.
    const size_t answered = std::min<size_t>(device->descriptorLength, DESCRIPTOR_BYTES);
    std::memcpy(lpOutBuffer, answer, answered);
    if (lpBytesReturned != nullptr)
        *lpBytesReturned = static_cast<DWORD>(answered);
    SetLastError(ERROR_SUCCESS);
    // What came back, as the caller's buffer now holds it: fewer bytes leave its own in place.
    std::string result = "TRUE, " + std::to_string(answered) + " bytes returned";
    if (answered > 0)
        result += " [" + HexBytes(answer, answered, " ") + "]";
    sim::TraceCall("DeviceIoControl", args, result);
    return TRUE;
}
