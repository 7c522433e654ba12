// What a run of the updater must look like after a simulated Windows call failed: the promises
// that hold whatever fails, shared by the fault sweep and the fuzzer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/messages.h"
#include "sim/tool/runner.h"

namespace sweep {

// Where in the update a call was made, in the order the update passes through. Start: the
// program's first call, which restricts where DLLs are loaded from and whose failure changes
// nothing.
enum class Phase { Start, Search, Guard, Service, ReadyWait, Locks, Image, Download, Progress, Restore };
const char* PhaseName(Phase phase);

// The channel's completion event being made: the start of an exchange or an image write.
bool IsTransferEvent(const sim::JournalEntry& e);
// A pause of the updater's main thread: a Sleep, or a condition wait that a console event can cut short.
bool IsPause(const sim::JournalEntry& e);

struct CleanRun {
    std::string output;
    nlohmann::json report;
    std::optional<MessageId> finalMessage;
    std::vector<Phase> phases;  // the phase of every journal entry
    bool serviceWasActive = false;
    // When the clean run met another run's guard: the output of the same run without it, which a
    // failed call of the guard's leads to (the update goes on as it would without a guard).
    std::optional<std::string> unguardedOutput;
};

// The final catalogue message of an output (a trailing service diagnostic line and the closing
// key prompt aside), if any.
std::optional<MessageId> FinalMessage(const std::string& output, uint16_t language);
CleanRun Analyse(const sim::RunResult& clean, uint16_t language);

// The promises every run keeps, whatever failed: exit code 0, every lock released, no handle left
// open but the scanner's and the released mutexes', no local memory left, and nothing written to
// the scanner after a failed transfer (`failedAt`: the journal index of the first failure the
// run met, if known). Calls named in `excused` are the injected ones: a failed close legitimately
// leaves its handle open, a failed release its mutex owned.
std::vector<std::string> CheckPromises(const sim::RunResult& run, const std::vector<std::string>& excused,
                                       std::optional<size_t> failedAt);

// Everything the fault sweep demands of a run in which `failed` (a call of the clean run, in
// `phase`) failed once or from there on: the promises, plus the final message that the failure
// documents for that phase, or the clean run's outcome for failures the updater ignores by design,
// and the service restored whenever the update got past the service step. A failure at the start
// leaves the run exactly as the clean one, output and report.
std::vector<std::string> Check(const CleanRun& clean, const sim::RunResult& run, const sim::JournalEntry& failed,
                               Phase phase, bool persistent, uint16_t language);

}  // namespace sweep
