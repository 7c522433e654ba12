// PLACEHOLDER: replaced by the scanner-link work.
#include "device/channel.h"

bool ExchangeCommand(HANDLE, const CommandBlock&, DeviceReply&) { return false; }
bool WriteDeviceData(HANDLE, const uint8_t*, uint32_t) { return false; }
