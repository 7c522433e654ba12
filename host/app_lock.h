// The scanning-application locks: two named mutexes that the maker's scanning applications
// respect, and the registry lookup of the scanner's FriendlyName that names the first of them.
#pragma once

#include "platform/win32.h"

constexpr int FRIENDLY_NAME_SIZE = 256;

// The setup class key of Windows imaging devices, under HKEY_LOCAL_MACHINE, and the values of an
// instance key that name the scanner's entry.
constexpr const char* IMAGING_CLASS_KEY =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{6bdd1fc6-810f-11d0-bec7-08002be2092f}";
constexpr const char* CREATE_FILE_NAME_VALUE = "CreateFileName";
constexpr const char* MATCHING_DEVICE_ID_VALUE = "MatchingDeviceId";
constexpr const char* FRIENDLY_NAME_VALUE = "FriendlyName";

// The first lock's name is this prefix and the scanner's FriendlyName; the second is fixed.
constexpr const char* SCAN_APP_LOCK_PREFIX = "Global\\TARVO_SCAN_EXT_APP_MUTEX_";
constexpr const char* SECOND_APP_LOCK_NAME = "{5B2E8D41-9C3A-4e07-B6F1-3D8A0C7E2F94}";
constexpr int LOCK_NAME_SIZE = 260;

extern char g_friendlyName[FRIENDLY_NAME_SIZE];
// INVALID_HANDLE_VALUE when no lock is held.
extern HANDLE g_scanAppLock;
extern HANDLE g_secondAppLock;

// The registry lookup and the first lock's name are defined in host/friendly_name.cpp, apart from
// the locks. `keyAccessDenied`, when given, tells whether an instance key could not be opened for want of
// rights (a user who is no administrator cannot open them for all access).
int FindFriendlyName(bool* keyAccessDenied = nullptr);
// The first lock's name from g_friendlyName, cut to the buffer; false when it cannot be formed.
bool FormScanAppLockName(char (&name)[LOCK_NAME_SIZE]);
int LockScanApplication();
int LockSecondApplication();
void ReleaseApplicationLocks();
