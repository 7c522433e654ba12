// The update guard: one named mutex that every scanfw.exe on the PC shares, across users and logon
// sessions, so that a second run started while one updates the scanner leaves it alone. Two runs
// at once would poll the scanner between the other's download command and its image, read each
// other's replies, and write the firmware twice.
//
// Only an administrator's run can make the guard: its owner is BUILTIN\Administrators, which no
// other process may name as an owner, and only SYSTEM and administrators may open it. A mutex of
// the same name with any other owner was made by someone without those rights: it is no guard and
// is ignored. Whatever keeps a run from making or reading the guard lets the update go on as it
// would without one: the guard protects an update, it never blocks one.
#pragma once

#include "platform/win32.h"

// In the namespace that every logon session shares; the GUID keeps the name the product's own.
constexpr const char* UPDATE_GUARD_NAME = "Global\\scanfw-update-guard-{239B3856-0074-486A-9C1A-93BBFA4AD465}";
// What the guard's handle is for: reading the owner of a guard that already exists.
constexpr DWORD UPDATE_GUARD_ACCESS = READ_CONTROL | SYNCHRONIZE;

enum class GuardState {
    Held,           // this run made the guard and holds it
    HeldElsewhere,  // another run holds it: this one must not touch the scanner
    None,           // no guard was made or found: the update goes on as it would without one
};

struct UpdateGuard {
    GuardState state = GuardState::None;
    HANDLE handle = nullptr;  // while Held
};

UpdateGuard TakeUpdateGuard();
// Gives up a guard this run holds, closing its handle; nothing for any other state.
void GiveUpUpdateGuard(UpdateGuard& guard);
