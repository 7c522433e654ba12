// PLACEHOLDER: replaced by the host-coordination work.
#include "host/app_lock.h"

char g_friendlyName[FRIENDLY_NAME_SIZE];
HANDLE g_scanAppLock = INVALID_HANDLE_VALUE;
HANDLE g_secondAppLock = INVALID_HANDLE_VALUE;

int FindFriendlyName() { return 0; }
int LockScanApplication() { return 0; }
int LockSecondApplication() { return 0; }
void ReleaseApplicationLocks() {}
