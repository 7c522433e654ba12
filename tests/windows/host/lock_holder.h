// The exit codes of the lock tests' second process (lock_holder.cpp).
#pragma once

namespace wintest {

constexpr const char* LOCK_HOLDER_EXE = "host_lock_holder.exe";

// hold
constexpr int HOLDER_DONE = 0;
constexpr int HOLDER_NOT_NEW = 10;  // the name existed already, or could not be created
constexpr int HOLDER_BAD_EVENTS = 11;
// probe
constexpr int PROBE_TAKEN = 20;      // existed, unowned: taken and given back
constexpr int PROBE_HELD = 21;       // existed and stayed owned by someone else
constexpr int PROBE_ABANDONED = 22;  // its owner ended without releasing it
constexpr int PROBE_DID_NOT_EXIST = 23;
constexpr int PROBE_CANNOT_OPEN = 24;
constexpr int HOLDER_USAGE = 99;

}  // namespace wintest
