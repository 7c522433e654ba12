// The scanning-application locks: two named mutexes that the maker's scanning applications
// respect, and the registry lookup of the scanner's FriendlyName that names the first of them.
#pragma once

#include "platform/win32.h"

constexpr int FRIENDLY_NAME_SIZE = 256;

extern char g_friendlyName[FRIENDLY_NAME_SIZE];
// INVALID_HANDLE_VALUE when no lock is held.
extern HANDLE g_scanAppLock;
extern HANDLE g_secondAppLock;

// `keyAccessDenied`, when given, tells whether an instance key could not be opened for want of
// rights (a user who is no administrator cannot open them for all access).
int FindFriendlyName(bool* keyAccessDenied = nullptr);
int LockScanApplication();
int LockSecondApplication();
void ReleaseApplicationLocks();
