// The pipes of the simulated host, as the process functions and the alertable waits use them.
#pragma once

#include <cstdint>

#include "sim/machine.h"

namespace sim {

// The started program holds the client end `client` as its standard output from `startMs` (the
// run's time) until it ends: its writes reach the pipe as programs.h says.
void ConnectChild(const HandleObject& client, uint64_t startMs, const ChildProgram& child);
// One end of a pipe is closed.
void ClosePipeEnd(const HandleObject& end);
// For an alertable wait of the calling thread: completes its first read that can complete now
// (its completion routine runs). True when one did.
bool RunReadyCompletion();
// The earliest moment after now at which a read of the calling thread could complete;
// NO_DEADLINE when none ever could.
uint64_t NextCompletionMoment();

}  // namespace sim
