// The message catalogue: every status and error line the updater shows, in English and in
// Traditional Chinese (stored and printed as Big5 bytes, code page 950).
#pragma once

#include <cstdint>

using MessageId = int;

// 0 English, 1 Traditional Chinese; chosen once at start, passed to every PrintMessage.
extern uint16_t MessageLanguage;

constexpr uint16_t LANGUAGE_ENGLISH = 0;
constexpr uint16_t LANGUAGE_CHINESE = 1;
// The user's default language (GetUserDefaultLangID) that picks the Chinese texts.
constexpr uint16_t LANGID_CHINESE_TAIWAN = 0x0404;
constexpr int MESSAGE_COUNT = 40;
// Slot of a text in the catalogue: id + this stride times the language.
constexpr int LANGUAGE_SLOT_STRIDE = 100;

enum : MessageId {
    MSG_NO_FOLLOWING_ARGUMENT = 0,
    MSG_DESCRIPTOR_ERROR = 1,
    MSG_DEVICE_FOUND = 2,
    MSG_DEVICE_NOT_FOUND = 3,
    MSG_LOADING_FIRMWARE = 4,
    MSG_FIND_RESOURCE_ERROR = 5,
    MSG_LOAD_RESOURCE_ERROR = 6,
    MSG_LOCK_RESOURCE_ERROR = 7,
    MSG_RESOURCE_EMPTY_ERROR = 8,
    MSG_EMPTY_LINE = 9,
    MSG_CHECKING_FIRMWARE = 10,
    MSG_DEVICE_BUSY = 11,
    MSG_STATUS_ERROR = 12,
    MSG_NOT_RESPONDED = 13,
    MSG_SENDING_FIRMWARE = 14,
    MSG_COMMAND_ERROR = 15,
    MSG_DATA_ERROR = 16,
    MSG_UPGRADE_WAIT = 17,
    MSG_REBOOT_SCANNER = 18,
    MSG_BURN_DONE = 19,
    MSG_BURN_ERROR = 20,
    MSG_USB_TIMEOUT = 21,
    MSG_USB_RESULT_ERROR = 22,
    MSG_USB_WRITE_ERROR = 23,
    MSG_USB_READ_ERROR = 24,
    MSG_USB_SIZE_MISMATCH = 25,
    MSG_WIA_CLOSE_FAILED = 26,
    MSG_CLOSING_WIA = 27,
    MSG_KEEP_POWER_STABLE = 28,
    MSG_SCAN_APP_BUSY = 29,
    MSG_SCANNER_NOT_REGISTERED = 30,
    MSG_SECOND_APP_BUSY = 31,
    MSG_WIA_RESTORE_FAILED = 32,
    MSG_WIA_START_FAILED = 33,
    MSG_ACCESS_DENIED = 34,
    MSG_UPDATE_CANCELLED = 35,
    MSG_DO_NOT_INTERRUPT = 36,
    MSG_PRESS_ANY_KEY = 37,
    MSG_ANOTHER_UPDATE_RUNNING = 38,
    MSG_FIRMWARE_DAMAGED = 39,
};

// Writes the text of `id` in `language` to standard output with the format "%s\n". Does not
// flush. Ids outside 0..39 and languages other than 0 and 1 print nothing.
void PrintMessage(MessageId id, uint16_t language);

// The catalogue language for a user's default language: Chinese for Chinese (Taiwan), else English.
uint16_t MessageLanguageFor(uint16_t userLangId);

// The catalogue text itself (null for an empty slot), for the printer and its tests.
const char* MessageText(MessageId id, uint16_t language);
