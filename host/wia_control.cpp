#include "host/wia_control.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "pause/pause.h"

namespace {

constexpr const char* CONFIG_FAILED_FORMAT = "QueryServiceConfig failed (%d)";
// Even a hint of 0 gives up the processor for a moment rather than spinning.
constexpr DWORD MIN_WAIT_SLEEP_MS = 1;

enum class WaitEnd { Reached, ReadFailed, TimedOut, Interrupted };

// Called right after a service call failed.
void NoteFailure(CWIAControl& wia) {
    if (GetLastError() == ERROR_ACCESS_DENIED)
        wia.m_accessDenied = true;
}

void CloseService(SC_HANDLE& handle) {
    CloseServiceHandle(handle);
    handle = nullptr;
}

// Opens whatever is missing and reads the status into m_status, then copies it to `status`.
// `openServiceError` receives the error of a failed OpenServiceA, so that the first reading can
// tell a service that does not exist from one that could not be reached.
int ReadStatus(CWIAControl& wia, SERVICE_STATUS* status, DWORD& openServiceError) {
    openServiceError = ERROR_SUCCESS;
    if (status == nullptr)
        return 0;
    if (wia.m_hSCManager == nullptr) {
        wia.m_hSCManager = OpenSCManagerA(nullptr, nullptr, SERVICE_MANAGER_ACCESS);
        if (wia.m_hSCManager == nullptr) {
            NoteFailure(wia);
            return 0;
        }
    }
    if (wia.m_hService == nullptr) {
        wia.m_hService = OpenServiceA(wia.m_hSCManager, IMAGING_SERVICE_NAME, IMAGING_SERVICE_ACCESS);
        if (wia.m_hService == nullptr) {
            openServiceError = GetLastError();
            NoteFailure(wia);
            CloseService(wia.m_hSCManager);
            return 0;
        }
    }
    std::memset(&wia.m_status, 0, sizeof wia.m_status);
    if (!QueryServiceStatus(wia.m_hService, &wia.m_status)) {
        NoteFailure(wia);
        CloseService(wia.m_hService);
        CloseService(wia.m_hSCManager);
        return 0;
    }
    if (status != &wia.m_status)
        *status = wia.m_status;
    return 1;
}

// Queries, sleeps for the hint just read, then tests the state just read, until the service
// reaches `awaited`. Bounded, so that a service stuck in a pending state or reporting a huge
// hint cannot hold the update for ever; a request of the user's (a cancel, a closing console)
// ends it at once.
WaitEnd WaitForState(CWIAControl& wia, DWORD awaited, DWORD limitMs) {
    const DWORD startTick = GetTickCount();
    while (QueryServiceStatus(wia.m_hService, &wia.m_status)) {
        // Unsigned differences: correct across the tick count's wrap at 2^32.
        const DWORD elapsed = GetTickCount() - startTick;
        const DWORD left = elapsed < limitMs ? limitMs - elapsed : 0;
        if (!Pause(std::max(MIN_WAIT_SLEEP_MS, std::min(wia.m_status.dwWaitHint, left))))
            return WaitEnd::Interrupted;
        if (wia.m_status.dwCurrentState == awaited)
            return WaitEnd::Reached;
        if (static_cast<DWORD>(GetTickCount() - startTick) >= limitMs)
            return WaitEnd::TimedOut;
    }
    NoteFailure(wia);
    return WaitEnd::ReadFailed;
}

}  // namespace

CWIAControl::CWIAControl() : m_hSCManager(nullptr), m_hService(nullptr), m_status{}, m_accessDenied(false) {}

CWIAControl::~CWIAControl() {
    if (m_hSCManager != nullptr)
        CloseService(m_hSCManager);
    if (m_hService != nullptr)
        CloseService(m_hService);
}

int CWIAControl::QueryStatus(SERVICE_STATUS* status) {
    DWORD openServiceError;
    return ReadStatus(*this, status, openServiceError);
}

int CWIAControl::SetStartType(uint8_t startType) {
    if (m_hSCManager == nullptr || m_hService == nullptr) {
        QueryStatus(&m_status);
        if (m_hSCManager == nullptr || m_hService == nullptr)
            return 0;
    }

    DWORD needed = 0;
    LPQUERY_SERVICE_CONFIGA config = nullptr;
    DWORD configSize = 0;
    if (!QueryServiceConfigA(m_hService, nullptr, 0, &needed)) {
        const DWORD error = GetLastError();
        NoteFailure(*this);
        if (error != ERROR_INSUFFICIENT_BUFFER) {
            std::printf(CONFIG_FAILED_FORMAT, static_cast<int>(error));
            return 0;
        }
        config = static_cast<LPQUERY_SERVICE_CONFIGA>(LocalAlloc(LMEM_FIXED, needed));
        if (config != nullptr) {
            std::memset(config, 0, needed);
            configSize = needed;
        }
    }

    // Without a buffer the reading call fails on its own, and its error is the one reported.
    if (!QueryServiceConfigA(m_hService, config, configSize, &needed) || config == nullptr) {
        NoteFailure(*this);
        std::printf(CONFIG_FAILED_FORMAT, static_cast<int>(GetLastError()));
        if (config != nullptr)
            LocalFree(config);
        return 0;
    }
    if (config->dwStartType == startType) {
        LocalFree(config);
        return 1;
    }
    const BOOL changed = ChangeServiceConfigA(m_hService, SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE, nullptr,
                                              nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (!changed)
        NoteFailure(*this);
    LocalFree(config);
    return changed ? 1 : 0;
}

int CWIAControl::RestoreService(const RestorePlan& plan, RestoreFailure* failure) {
    RestoreFailure ignored;
    RestoreFailure& failed = failure != nullptr ? *failure : ignored;
    failed = RestoreFailure::None;
    if (!SetStartType(SERVICE_AUTO_START)) {
        failed = RestoreFailure::StartType;
        return 0;
    }
    if (!plan.startService)
        return 1;
    if (!QueryStatus(&m_status))
        return 1;
    // A stop that a cancel cut short must end before the service can be started again. One still
    // stopping when the wait gives up cannot be started: the user is told, as for a start that
    // fails, rather than left with a stopped service and nothing said.
    if (m_status.dwCurrentState == SERVICE_STOP_PENDING && plan.stopWaitMs > 0) {
        WaitForState(*this, SERVICE_STOPPED, plan.stopWaitMs);
        if (m_status.dwCurrentState == SERVICE_STOP_PENDING) {
            failed = RestoreFailure::Start;
            return 0;
        }
    }
    if (m_status.dwCurrentState != SERVICE_STOPPED)
        return 1;
    if (!StartServiceA(m_hService, 0, nullptr)) {
        NoteFailure(*this);
        failed = RestoreFailure::Start;
        return 0;
    }
    // However the wait ends (running, a failed read, out of time or cut short), the start was
    // asked for and the start type is set: the restore has done what it can.
    if (plan.awaitRunning)
        WaitForState(*this, SERVICE_RUNNING, SERVICE_WAIT_LIMIT_MS);
    return 1;
}

int CWIAControl::StopAndDisable(bool& wiaWasActive) {
    SERVICE_STATUS first{};
    DWORD openServiceError;
    m_accessDenied = false;
    if (ReadStatus(*this, &first, openServiceError))
        wiaWasActive = first.dwControlsAccepted != 0;  // a stopped service accepts no control
    else
        // Only a service that does not exist is surely not active; any other failure is taken
        // as active so that the steps below run and fail or succeed on their own.
        wiaWasActive = openServiceError != ERROR_SERVICE_DOES_NOT_EXIST;
    if (!wiaWasActive)
        return 1;

    if (QueryStatus(&m_status) && m_status.dwCurrentState == SERVICE_RUNNING) {
        if (!ControlService(m_hService, SERVICE_CONTROL_STOP, &m_status)) {
            NoteFailure(*this);
            return 0;
        }
        // A service that has not stopped within the limit must not be disabled behind its back,
        // nor one whose stop the user cut short: the cancel gives it back as it was.
        const WaitEnd end = WaitForState(*this, SERVICE_STOPPED, SERVICE_WAIT_LIMIT_MS);
        if (end == WaitEnd::TimedOut || end == WaitEnd::Interrupted)
            return 0;
    }
    return SetStartType(SERVICE_DISABLED);
}
