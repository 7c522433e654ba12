// The pipes of the simulated host, as the process functions and the alertable waits use them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "sim/machine.h"

namespace sim {

// The started program holds the client end `client` as its standard output from `startMs` (the
// run's time) until it ends: its writes reach the pipe as programs.h says.
void ConnectChild(const HandleObject& client, uint64_t startMs, const ChildProgram& child);
// Whether CreateFileW's `name` is in the pipes' namespace (\\.\pipe\...).
bool NamesPipe(LPCWSTR name);
// CreateFileW of a pipe's name, after the call was counted: the client end of one of the run's
// pipes, traced with `args`.
HANDLE OpenPipeClient(LPCWSTR name, DWORD access, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                      const std::function<std::string()>& args);
// One end of a pipe is closed.
void ClosePipeEnd(const HandleObject& end);
// A wait of the calling thread until `deadlineMs`, or until `signalledAtMs` (the run's time when
// the object waited for is signalled; NO_DEADLINE for none). When `alertable`, a read of the thread
// that can complete ends it first. WAIT_IO_COMPLETION, WAIT_OBJECT_0, WAIT_TIMEOUT, or WAIT_FAILED
// when the process ended meanwhile.
DWORD AlertableWait(uint64_t deadlineMs, uint64_t signalledAtMs, bool alertable);

}  // namespace sim
