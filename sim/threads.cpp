#include "sim/threads.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/machine.h"
#include "sim/output.h"

namespace sim {
namespace {

enum class State { Ready, Running, Blocked, Done };

struct SimThread {
    int number = 0;  // 0: the main thread
    std::string name;
    State state = State::Running;
    uint64_t deadline = NO_DEADLINE;
    const void* object = nullptr;
    WakeReason reason = WakeReason::Timeout;
    std::condition_variable turn;
    std::thread os;
};

struct Timed {
    uint64_t at = 0;
    uint64_t order = 0;  // equal times keep the order they were set in
    std::function<void()> action;
};

struct Scheduler {
    std::mutex lock;
    std::vector<std::unique_ptr<SimThread>> threads;
    std::deque<SimThread*> ready;
    std::vector<Timed> timers;
    std::vector<std::pair<uint64_t, std::function<void()>>> callActions;
    uint64_t timersSet = 0;
    // Read without the lock by every simulated call; written with it held.
    std::atomic<ProcessEnd> end{ProcessEnd::Running};
};

Scheduler& S() {
    static Scheduler s;
    return s;
}

thread_local SimThread* t_self = nullptr;
// True while this thread runs a timer's or a call's action, which happens with the lock held.
thread_local bool t_inAction = false;

void RunAction(const std::function<void()>& action) {
    t_inAction = true;
    action();
    t_inAction = false;
}

using Lock = std::unique_lock<std::mutex>;

void MakeReady(SimThread* t, WakeReason reason) {
    t->state = State::Ready;
    t->reason = reason;
    t->object = nullptr;
    t->deadline = NO_DEADLINE;
    S().ready.push_back(t);
}

void EndProcessLocked(ProcessEnd how) {
    Scheduler& s = S();
    if (s.end != ProcessEnd::Running)
        return;
    s.end = how;
    SilenceOutput();
    s.timers.clear();
    s.callActions.clear();
    for (auto& t : s.threads)
        if (t->state == State::Blocked)
            MakeReady(t.get(), WakeReason::ProcessEnded);
}

// The earliest moment anything is due: a waiting thread's deadline or a timer.
uint64_t NextMoment() {
    uint64_t next = NO_DEADLINE;
    for (auto& t : S().threads)
        if (t->state == State::Blocked && t->deadline < next)
            next = t->deadline;
    for (const Timed& t : S().timers)
        if (t.at < next)
            next = t.at;
    return next;
}

// Runs the timers due by `now`, in time order, then the order they were set in.
void RunDueTimers(uint64_t now) {
    Scheduler& s = S();
    for (;;) {
        auto due = s.timers.end();
        for (auto it = s.timers.begin(); it != s.timers.end(); ++it)
            if (it->at <= now &&
                (due == s.timers.end() || it->at < due->at || (it->at == due->at && it->order < due->order)))
                due = it;
        if (due == s.timers.end())
            return;
        std::function<void()> action = std::move(due->action);
        s.timers.erase(due);
        RunAction(action);
    }
}

// Waits that have run their time end before anything else due at the same moment happens: a
// pause [T, T + ms) is over at T + ms.
void WakeTimedOut(uint64_t now) {
    std::vector<SimThread*> due;
    for (auto& t : S().threads)
        if (t->state == State::Blocked && t->deadline <= now)
            due.push_back(t.get());
    std::stable_sort(due.begin(), due.end(), [](SimThread* a, SimThread* b) { return a->deadline < b->deadline; });
    for (SimThread* t : due) MakeReady(t, WakeReason::Timeout);
}

// With the lock held and the current thread no longer running: hands the turn to the next
// thread, letting time pass until one can run.
void PassTurn(Lock& held) {
    Scheduler& s = S();
    Machine& m = M();
    while (s.ready.empty()) {
        const uint64_t next = NextMoment();
        if (next == NO_DEADLINE) {
            // Every thread waits for ever: the process hangs. End it rather than the test run.
            std::fprintf(stderr, "scanfw-sim: every thread of the updater waits for ever; the process is ended\n");
            EndProcessLocked(ProcessEnd::Terminated);
            continue;
        }
        if (m.clock.Real()) {
            held.unlock();
            m.clock.WaitUntil(next);
            held.lock();
        } else if (next > m.options.limitMs) {
            m.clock.AdvanceTo(m.options.limitMs);
            EndProcessLocked(ProcessEnd::TimeLimit);
            continue;
        } else {
            m.clock.AdvanceTo(next);
        }
        const uint64_t now = m.clock.ElapsedMs();
        WakeTimedOut(now);
        RunDueTimers(now);
    }
    SimThread* t = s.ready.front();
    s.ready.pop_front();
    t->state = State::Running;
    t->turn.notify_one();
}

void AwaitTurn(Lock& held) {
    SimThread* self = t_self;
    self->turn.wait(held, [self] { return self->state == State::Running; });
}

// Whether anything waits to happen at a call boundary: an action, a timer that is due, a thread
// that is ready. Read without the lock by the thread that has the turn: every other thread changes
// these only while it has the turn itself, and the turn passes under the lock.
bool BoundaryHasWork(const Scheduler& s) {
    if (!s.callActions.empty() || !s.ready.empty())
        return true;
    if (s.timers.empty())
        return false;
    const uint64_t now = M().clock.ElapsedMs();
    return std::any_of(s.timers.begin(), s.timers.end(), [now](const Timed& t) { return t.at <= now; });
}

}  // namespace

void StartThreads() {
    Scheduler& s = S();
    Lock held(s.lock);
    s.threads.clear();
    s.ready.clear();
    s.timers.clear();
    s.callActions.clear();
    s.timersSet = 0;
    s.end = ProcessEnd::Running;
    auto main = std::make_unique<SimThread>();
    main->state = State::Running;
    t_self = main.get();
    s.threads.push_back(std::move(main));
}

void FinishThreads() {
    Scheduler& s = S();
    Lock held(s.lock);
    EndProcessLocked(ProcessEnd::Return);
    // Every other thread is ready by now, or running out: let each one finish.
    auto othersDone = [&s] {
        for (auto& t : s.threads)
            if (t.get() != t_self && t->state != State::Done)
                return false;
        return true;
    };
    while (!othersDone()) {
        MakeReady(t_self, WakeReason::ProcessEnded);
        PassTurn(held);
        AwaitTurn(held);
    }
    std::vector<std::unique_ptr<SimThread>> threads = std::move(s.threads);
    s.threads.clear();
    held.unlock();
    for (auto& t : threads)
        if (t->os.joinable())
            t->os.join();
}

WakeReason Block(uint64_t deadlineMs, const void* object) {
    Scheduler& s = S();
    Lock held(s.lock);
    if (s.end != ProcessEnd::Running)
        return WakeReason::ProcessEnded;
    SimThread* self = t_self;
    self->state = State::Blocked;
    self->deadline = deadlineMs;
    self->object = object;
    PassTurn(held);
    AwaitTurn(held);
    return self->reason;
}

bool WakeWaiters(const void* object, bool firstOnly) {
    Scheduler& s = S();
    Lock held(s.lock);
    bool woke = false;
    for (auto& t : s.threads) {
        if (t->state != State::Blocked || t->object != object)
            continue;
        MakeReady(t.get(), WakeReason::Signalled);
        woke = true;
        if (firstOnly)
            break;
    }
    return woke;
}

void AtTime(uint64_t elapsedMs, std::function<void()> action) {
    Scheduler& s = S();
    s.timers.push_back({elapsedMs, s.timersSet++, std::move(action)});
}

void AtCall(uint64_t callIndex, std::function<void()> action) {
    S().callActions.emplace_back(callIndex, std::move(action));
}

void StartThread(const char* name, std::function<void()> body) {
    Scheduler& s = S();
    auto t = std::make_unique<SimThread>();
    t->number = static_cast<int>(s.threads.size());
    t->name = std::string(name) + "#" + std::to_string(t->number);
    SimThread* rec = t.get();
    rec->state = State::Ready;
    s.ready.push_back(rec);
    rec->os = std::thread([rec, body = std::move(body)] {
        t_self = rec;
        {
            Lock held(S().lock);
            AwaitTurn(held);
        }
        body();
        Lock held(S().lock);
        rec->state = State::Done;
        PassTurn(held);
    });
    s.threads.push_back(std::move(t));
}

void CallBoundary(uint64_t callIndex) {
    Scheduler& s = S();
    // Most calls meet nothing: they go on without the lock.
    if (!BoundaryHasWork(s))
        return;
    Lock held(s.lock);
    if (s.end != ProcessEnd::Running)
        return;
    for (auto it = s.callActions.begin(); it != s.callActions.end();) {
        if (it->first > callIndex) {
            ++it;
            continue;
        }
        std::function<void()> action = std::move(it->second);
        it = s.callActions.erase(it);
        RunAction(action);
    }
    RunDueTimers(M().clock.ElapsedMs());
    // A thread that became ready meanwhile (a console event's) runs before this call is made.
    if (s.ready.empty() || s.end != ProcessEnd::Running)
        return;
    MakeReady(t_self, WakeReason::Timeout);
    PassTurn(held);
    AwaitTurn(held);
}

void EndProcess(ProcessEnd how) {
    if (t_inAction) {
        EndProcessLocked(how);
        return;
    }
    Lock held(S().lock);
    EndProcessLocked(how);
}

bool ProcessGone() {
    return S().end != ProcessEnd::Running;
}

ProcessEnd HowProcessEnded() {
    return S().end;
}

bool OnMainThread() {
    return ThreadNumber() == 0;
}

int ThreadNumber() {
    return t_self == nullptr ? 0 : t_self->number;
}

const char* ThreadName() {
    return t_self == nullptr ? "" : t_self->name.c_str();
}

}  // namespace sim
