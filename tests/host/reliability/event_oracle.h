// What a run of the updater must look like after a console event (Ctrl+C, Ctrl+Break, a closing
// window) came at some point of an update that would otherwise have succeeded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/tool/runner.h"

namespace sweep {

// Where in the clean run the updater stands, as far as a console event is concerned.
enum class Stage { BeforeHandler, Cancellable, Burning, Ending, AfterHandler };
const char* StageName(Stage stage);

// The stage boundaries of a clean run, by journal index.
struct EventStages {
    size_t install = 0;   // the handler is installed by this call
    size_t download = 0;  // the download command's exchange begins with this call
    size_t ending = 0;    // the check that marks the update as ending takes the lock here
    size_t remove = 0;    // the handler is removed by this call
    // The stage in which call `index` is made (an event before it, or during it when it pauses).
    Stage At(size_t index) const;
};
EventStages FindEventStages(const sim::RunResult& clean);

// Where an event delivered as the main thread is about to make call `index` of `journal` takes
// effect: the handler records it only once it has the requests' lock, so an event that comes while
// the main thread holds the lock (between its Acquire and Release) counts from the call after the
// Release, or from the condition wait that gives the lock up.
size_t PastLockedRegion(const std::vector<sim::JournalEntry>& journal, size_t index);

// The pauses of a clean run: journal index and the moment each began.
struct PauseAt {
    size_t index = 0;
    uint64_t startMs = 0;
    uint32_t ms = 0;
};
std::vector<PauseAt> FindPauses(const sim::RunResult& clean);

// The promises for `run`, the clean run with the events `delivered` (as the simulated host records
// them: the journal index before which each came, and its moment), the first of them in `stage`, at
// a call boundary or while the main thread paused.
std::vector<std::string> CheckEventRun(const sim::RunResult& clean, const sim::RunResult& run,
                                       const std::vector<sim::ConsoleDelivery>& delivered, Stage stage,
                                       bool atCallBoundary, uint16_t language);

}  // namespace sweep
