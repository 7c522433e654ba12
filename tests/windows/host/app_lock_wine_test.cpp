// The application locks under Wine against a second process that holds each lock, or that
// looks at the lock the updater holds.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "host/app_lock.h"
#include "tests/windows/host/lock_holder.h"

namespace {

const std::string SCAN_LOCK = "Global\\TARVO_SCAN_EXT_APP_MUTEX_Tarvo DS-410";
const std::string SECOND_LOCK = "{5B2E8D41-9C3A-4e07-B6F1-3D8A0C7E2F94}";
constexpr DWORD CHILD_TIMEOUT_MS = 15000;
constexpr DWORD HOLD_LONG_MS = 10000;
// Three failed attempts: three pauses of 1000 ms, give or take the scheduler.
constexpr DWORD THREE_ATTEMPTS_MIN_MS = 2900;
constexpr DWORD THREE_ATTEMPTS_MAX_MS = 4500;

std::string HolderPath() {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    char* lastSlash = std::strrchr(path, '\\');
    if (n == 0 || lastSlash == nullptr)
        return {};
    lastSlash[1] = '\0';
    std::string holder = path;
    holder += wintest::LOCK_HOLDER_EXE;
    return holder;
}

// The words of a command line, each quoted. (Built by appending: GCC 12 warns falsely about
// chains of + on strings.)
std::string CommandLine(std::initializer_list<std::string> words) {
    std::string line;
    for (const std::string& word : words) {
        if (!line.empty())
            line += ' ';
        line += '"';
        line += word;
        line += '"';
    }
    return line;
}

// Starts the second process with `arguments`; null when it could not be started.
HANDLE StartChild(std::initializer_list<std::string> arguments) {
    std::string commandLine = CommandLine({HolderPath()});
    commandLine += ' ';
    commandLine += CommandLine(arguments);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return nullptr;
    CloseHandle(process.hThread);
    return process.hProcess;
}

// Waits for the second process and gives its exit code; it is ended if it outstays the wait.
DWORD FinishChild(HANDLE process) {
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(process, CHILD_TIMEOUT_MS) != WAIT_OBJECT_0)
        TerminateProcess(process, code);
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    return code;
}

DWORD Probe(const std::string& name) {
    HANDLE child = StartChild({"probe", name, "200"});
    return child == nullptr ? STILL_ACTIVE : FinishChild(child);
}

class ApplicationLocks : public testing::Test {
protected:
    void SetUp() override {
        g_scanAppLock = INVALID_HANDLE_VALUE;
        g_secondAppLock = INVALID_HANDLE_VALUE;
        std::snprintf(g_friendlyName, sizeof g_friendlyName, "Tarvo DS-410");
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, "%lu", GetCurrentProcessId());
        readyName_ = "scanfw tests lock ready ";
        readyName_ += suffix;
        releaseName_ = "scanfw tests lock release ";
        releaseName_ += suffix;
        ready_ = CreateEventA(nullptr, TRUE, FALSE, readyName_.c_str());
        release_ = CreateEventA(nullptr, TRUE, FALSE, releaseName_.c_str());
        ASSERT_NE(ready_, nullptr);
        ASSERT_NE(release_, nullptr);
    }
    void TearDown() override {
        Release();
        // The updater keeps released locks open until it ends; a test ends earlier than its
        // process, so it closes them for the next test.
        for (HANDLE lock : released_) CloseHandle(lock);
        LetGo();
        CloseHandle(ready_);
        CloseHandle(release_);
    }

    // Another process takes `name` and keeps it for `holdMs` or until the test ends.
    void Hold(const std::string& name, DWORD holdMs) {
        holder_ = StartChild({"hold", name, readyName_, releaseName_, std::to_string(holdMs)});
        ASSERT_NE(holder_, nullptr);
        HANDLE events[] = {ready_, holder_};
        ASSERT_EQ(WaitForMultipleObjects(2, events, FALSE, CHILD_TIMEOUT_MS), WAIT_OBJECT_0)
            << "the holder did not take " << name;
    }

    void Release() {
        for (HANDLE lock : {g_scanAppLock, g_secondAppLock})
            if (lock != INVALID_HANDLE_VALUE)
                released_.push_back(lock);
        ReleaseApplicationLocks();
    }

    // The holder releases and closes its lock and ends.
    void LetGo() {
        if (holder_ == nullptr)
            return;
        SetEvent(release_);
        EXPECT_EQ(FinishChild(holder_), static_cast<DWORD>(wintest::HOLDER_DONE));
        holder_ = nullptr;
        ResetEvent(ready_);
        ResetEvent(release_);
    }

    template <typename Lock>
    static DWORD Timed(Lock lock, int& result) {
        const DWORD start = GetTickCount();
        result = lock();
        return GetTickCount() - start;
    }

private:
    std::vector<HANDLE> released_;
    HANDLE holder_ = nullptr;
    std::string readyName_, releaseName_;
    HANDLE ready_ = nullptr;
    HANDLE release_ = nullptr;
};

TEST_F(ApplicationLocks, HeldLocksFailAfterThreeAttempts) {
    const struct {
        const char* what;
        std::string name;
        int (*lock)();
        HANDLE* slot;
    } cases[] = {
        {"first lock", SCAN_LOCK, LockScanApplication, &g_scanAppLock},
        {"second lock", SECOND_LOCK, LockSecondApplication, &g_secondAppLock},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Hold(c.name, HOLD_LONG_MS);
        int result = 1;
        const DWORD ms = Timed(c.lock, result);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(*c.slot, INVALID_HANDLE_VALUE);
        EXPECT_GE(ms, THREE_ATTEMPTS_MIN_MS);
        EXPECT_LT(ms, THREE_ATTEMPTS_MAX_MS);
        // The failed attempts kept no handle: once the holder lets go, the name is gone.
        LetGo();
        EXPECT_EQ(Probe(c.name), static_cast<DWORD>(wintest::PROBE_DID_NOT_EXIST));
    }
}

TEST_F(ApplicationLocks, HolderLeavingWithinTwoSecondsLetsALaterAttemptSucceed) {
    Hold(SECOND_LOCK, 1500);
    int result = 0;
    const DWORD ms = Timed(LockSecondApplication, result);
    EXPECT_EQ(result, 1);
    EXPECT_GE(ms, 1900u);  // the third attempt, after two pauses
    EXPECT_LT(ms, 2900u);
}

TEST_F(ApplicationLocks, HeldWhileTakenReleasedButKept) {
    ASSERT_EQ(LockScanApplication(), 1);
    ASSERT_EQ(LockSecondApplication(), 1);
    // An application meets both locks and cannot take them...
    EXPECT_EQ(Probe(SCAN_LOCK), static_cast<DWORD>(wintest::PROBE_HELD));
    EXPECT_EQ(Probe(SECOND_LOCK), static_cast<DWORD>(wintest::PROBE_HELD));
    Release();
    EXPECT_EQ(g_scanAppLock, INVALID_HANDLE_VALUE);
    EXPECT_EQ(g_secondAppLock, INVALID_HANDLE_VALUE);
    // ...and after the release they still exist, free, neither closed nor abandoned.
    EXPECT_EQ(Probe(SCAN_LOCK), static_cast<DWORD>(wintest::PROBE_TAKEN));
    EXPECT_EQ(Probe(SECOND_LOCK), static_cast<DWORD>(wintest::PROBE_TAKEN));
}

TEST_F(ApplicationLocks, LocalNameIsNoObstacleToTheGlobalLock) {
    Hold("TARVO_SCAN_EXT_APP_MUTEX_Tarvo DS-410", HOLD_LONG_MS);
    int result = 0;
    const DWORD ms = Timed(LockScanApplication, result);
    EXPECT_EQ(result, 1);
    EXPECT_LT(ms, 1000u);
}

TEST_F(ApplicationLocks, LongFriendlyNameIsCutToTheBuffer) {
    std::memset(g_friendlyName, 'x', sizeof g_friendlyName - 1);
    ASSERT_EQ(LockScanApplication(), 1);
    const std::string prefix = "Global\\TARVO_SCAN_EXT_APP_MUTEX_";
    EXPECT_EQ(Probe(prefix + std::string(259 - prefix.size(), 'x')), static_cast<DWORD>(wintest::PROBE_HELD));
}

// A backslash in the FriendlyName names an object directory that does not exist: no attempt
// can create the lock.
TEST_F(ApplicationLocks, BackslashInFriendlyNameCannotBeLocked) {
    std::snprintf(g_friendlyName, sizeof g_friendlyName, "Tarvo\\DS-410");
    int result = 1;
    const DWORD ms = Timed(LockScanApplication, result);
    EXPECT_EQ(result, 0);
    EXPECT_GE(ms, THREE_ATTEMPTS_MIN_MS);
}

}  // namespace
