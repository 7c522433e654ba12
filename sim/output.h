// The updater's standard output during a run. A stream of the simulated host stands in for
// stdout, so that every byte is kept for the report (which messages were printed) and nothing is
// written once the updater's process has ended.
#pragma once

#include <string>
#include <vector>

#include "sim/programs.h"

namespace sim {

// Puts the stand-in in place of stdout. It also writes everything on to the real standard output
// unless `capture`, buffered as the real one is (a line at a time on a terminal).
void BeginOutput(bool capture);
// Puts stdout back and returns every byte the updater wrote while the stand-in was in place.
std::string EndOutput();
// What the updater wrote until now is delivered; whatever it writes afterwards goes nowhere.
void SilenceOutput();
// The writes that made the bytes EndOutput returned, each with the moment of the run it came:
// what a pipe would have carried, and when (each flush of the C runtime, or a full buffer).
std::vector<OutputWrite> TakeOutputWrites();

}  // namespace sim
