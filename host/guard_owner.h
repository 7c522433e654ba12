// Reading a mutex of the update guard's name, as the updater does before it trusts one and the
// probe does to tell whether another run holds the guard: apart from the making of the guard, so
// that a program that only looks links nothing that creates a mutex.
#pragma once

#include "platform/win32.h"

// Whether the mutex's owner is BUILTIN\Administrators, which only an administrator's process may
// name as an owner; false when it cannot be read.
bool OwnedByAdministrators(HANDLE mutex);
// Closes a handle of this process without CloseHandle, whatever DuplicateHandle returns.
void CloseGuardHandle(HANDLE handle);
