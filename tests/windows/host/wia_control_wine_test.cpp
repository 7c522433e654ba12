// CWIAControl against Wine's service control manager: the prefix's stock imaging service, and a
// stand-in of our own registered as STISVC that takes its time in pending states. Every test
// puts the service back as it found it.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "host/wia_control.h"
#include "tests/windows/host/imaging_service.h"

namespace {

using standin::Behaviour;
using wintest::ServiceSnapshot;

constexpr DWORD SETTLE_MS = 20000;

class ImagingService : public testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(wintest::SaveOriginalService(error)) << error;
    }
    void TearDown() override {
        std::string error;
        EXPECT_TRUE(wintest::RestoreOriginalService(error)) << error;
    }

    static ServiceSnapshot Now() {
        ServiceSnapshot now;
        std::string error;
        EXPECT_TRUE(wintest::ReadImagingService(now, error)) << error;
        return now;
    }

    static void Prepare(DWORD startType, bool running) {
        std::string error;
        ASSERT_TRUE(wintest::SetImagingServiceStartType(startType, error)) << error;
        const ServiceSnapshot now = Now();
        if (running && now.state == SERVICE_STOPPED) {
            ASSERT_TRUE(wintest::StartImagingService(error)) << error;
        }
        if (!running && now.state != SERVICE_STOPPED) {
            ASSERT_TRUE(wintest::StopImagingService(error)) << error;
        }
        ASSERT_TRUE(wintest::WaitForImagingState(running ? SERVICE_RUNNING : SERVICE_STOPPED, SETTLE_MS));
    }

    static void UseStandIn(const Behaviour& config) {
        std::string error;
        ASSERT_TRUE(wintest::UseTestService(config, error)) << error;
    }
};

TEST_F(ImagingService, StockServiceRunningIsStoppedDisabledThenRestored) {
    Prepare(SERVICE_DEMAND_START, true);
    CWIAControl wia;
    bool wasActive = false;
    EXPECT_EQ(wia.StopAndDisable(wasActive), 1);
    EXPECT_TRUE(wasActive);
    EXPECT_EQ(Now().state, SERVICE_STOPPED);
    EXPECT_EQ(Now().startType, SERVICE_DISABLED);
    EXPECT_EQ(wia.RestoreService(), 1);
    EXPECT_EQ(Now().state, SERVICE_RUNNING);
    EXPECT_EQ(Now().startType, SERVICE_AUTO_START);
}

// With the stand-in: once Wine's stock service has run, it reports its stopped state with the
// controls it accepted while running, so it no longer looks stopped to the first reading.
TEST_F(ImagingService, StoppedServiceIsLeftAlone) {
    UseStandIn(Behaviour{});
    Prepare(SERVICE_DEMAND_START, true);
    Prepare(SERVICE_DEMAND_START, false);
    CWIAControl wia;
    bool wasActive = true;
    EXPECT_EQ(wia.StopAndDisable(wasActive), 1);
    EXPECT_FALSE(wasActive);
    EXPECT_EQ(Now().state, SERVICE_STOPPED);
    EXPECT_EQ(Now().startType, SERVICE_DEMAND_START);
}

TEST_F(ImagingService, PendingStatesAreWaitedOut) {
    Behaviour config;
    config.startPendingMs = 1500;
    config.startWaitHint = 600;
    config.stopPendingMs = 1500;
    config.stopWaitHint = 700;
    UseStandIn(config);
    Prepare(SERVICE_AUTO_START, true);

    CWIAControl wia;
    bool wasActive = false;
    DWORD start = GetTickCount();
    EXPECT_EQ(wia.StopAndDisable(wasActive), 1);
    const DWORD stopMs = GetTickCount() - start;
    EXPECT_TRUE(wasActive);
    EXPECT_EQ(Now().state, SERVICE_STOPPED);
    EXPECT_EQ(Now().startType, SERVICE_DISABLED);
    EXPECT_GE(stopMs, config.stopPendingMs);
    EXPECT_LT(stopMs, config.stopPendingMs + 3 * config.stopWaitHint);

    start = GetTickCount();
    EXPECT_EQ(wia.RestoreService(), 1);
    const DWORD startMs = GetTickCount() - start;
    EXPECT_EQ(Now().state, SERVICE_RUNNING);
    EXPECT_EQ(Now().startType, SERVICE_AUTO_START);
    EXPECT_GE(startMs, config.startPendingMs);
    EXPECT_LT(startMs, config.startPendingMs + 3 * config.startWaitHint);
    std::printf("stop wait %lu ms, start wait %lu ms\n", stopMs, startMs);
}

TEST_F(ImagingService, PendingAtTheSecondReadingIsOnlyDisabled) {
    Behaviour config;
    config.startPendingMs = 5000;
    config.startWaitHint = 1000;
    config.pendingAccepts = SERVICE_ACCEPT_STOP;
    UseStandIn(config);
    std::string error;
    ASSERT_TRUE(wintest::StartImagingService(error)) << error;
    ASSERT_EQ(Now().state, SERVICE_START_PENDING);

    CWIAControl wia;
    bool wasActive = false;
    EXPECT_EQ(wia.StopAndDisable(wasActive), 1);
    EXPECT_TRUE(wasActive);
    const ServiceSnapshot after = Now();
    EXPECT_EQ(after.state, SERVICE_START_PENDING);  // no stop was asked for
    EXPECT_EQ(after.startType, SERVICE_DISABLED);
}

TEST_F(ImagingService, RefusedStopLeavesTheStartType) {
    Behaviour config;
    config.runningAccepts = SERVICE_ACCEPT_SHUTDOWN;
    UseStandIn(config);
    Prepare(SERVICE_AUTO_START, true);

    CWIAControl wia;
    bool wasActive = false;
    EXPECT_EQ(wia.StopAndDisable(wasActive), 0);
    EXPECT_TRUE(wasActive);
    EXPECT_EQ(Now().state, SERVICE_RUNNING);
    EXPECT_EQ(Now().startType, SERVICE_AUTO_START);
}

TEST_F(ImagingService, StopWaitEndsAtTheLimit) {
    Behaviour config;
    config.stopPendingMs = SERVICE_WAIT_LIMIT_MS + 3000;
    config.stopWaitHint = 7000;  // four whole sleeps, then the 2000 ms left
    UseStandIn(config);
    Prepare(SERVICE_AUTO_START, true);

    CWIAControl wia;
    bool wasActive = false;
    const DWORD start = GetTickCount();
    EXPECT_EQ(wia.StopAndDisable(wasActive), 0);
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, SERVICE_WAIT_LIMIT_MS);
    EXPECT_LT(elapsed, SERVICE_WAIT_LIMIT_MS + 1500);
    EXPECT_EQ(Now().state, SERVICE_STOP_PENDING);
    EXPECT_EQ(Now().startType, SERVICE_AUTO_START);
    std::printf("stop wait ended after %lu ms\n", elapsed);
}

}  // namespace
