// The updater's threads in the simulated host: its main thread, and one thread for each console
// control event, created as Windows creates them.
//
// Only one of them runs at a time. The turn passes at simulated calls only: when the running
// thread waits (Sleep, a wait on an object) or finishes, and when the main thread enters a call
// while a console event is due. Time passes only while every thread waits: on the virtual clock
// it jumps to the earliest deadline, on the real clock it is really waited for. So a run is the
// same on every repetition, and every interleaving worth testing is one of call boundaries.
//
// When the process ends (the entry returned, or the system ended it) every other thread is woken
// for good: from then on each simulated call fails at once without any effect, no time passes
// and the updater's output goes nowhere, so whatever the threads still do runs to its end quickly
// and leaves no trace, as if it had never run.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>

namespace sim {

constexpr uint64_t NO_DEADLINE = std::numeric_limits<uint64_t>::max();

enum class WakeReason { Timeout, Signalled, ProcessEnded };
enum class ProcessEnd { Running, Return, Exit, Terminated, TimeLimit };

// At boot, on the thread that will run the updater's entry.
void StartThreads();
// At the end of the run, on that thread: ends the process (as a return from the entry, unless it
// already ended), lets every other thread run out and joins it.
void FinishThreads();

// Waits until the elapsed time reaches `deadlineMs` or `object` is signalled (see WakeWaiters).
WakeReason Block(uint64_t deadlineMs, const void* object);
// Makes the threads waiting on `object` ready to run, only the first of them when `firstOnly`.
// Returns whether any was waiting.
bool WakeWaiters(const void* object, bool firstOnly);

// Something that happens at a moment of the run, whatever the threads are doing. Runs with the
// scheduler's turn held by no updater code: it may start threads and end the process, not wait.
void AtTime(uint64_t elapsedMs, std::function<void()> action);
// Runs `action` when the main thread is about to make its call number `callIndex` (from 0), or its
// first call after that one when another thread made it.
void AtCall(uint64_t callIndex, std::function<void()> action);
// Starts a thread of the updater's process running `body`; it runs once the current one waits.
void StartThread(const char* name, std::function<void()> body);

// Where the main thread enters a simulated call: lets due events happen and other threads run.
void CallBoundary(uint64_t callIndex);

// Ends the process: records how, silences the updater's output and wakes every thread for good.
void EndProcess(ProcessEnd how);
bool ProcessGone();
ProcessEnd HowProcessEnded();

bool OnMainThread();
// 0 on the main thread, else the number StartThread gave the thread (1, 2, ...).
int ThreadNumber();
// "" on the main thread, else the name given to StartThread with its number ("ctrl-handler#1").
const char* ThreadName();

}  // namespace sim
