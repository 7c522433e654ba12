// The update guard against the simulated named mutexes: who may make it, what another run's guard
// and a look-alike do to a run, that whatever fails lets the update go on, and that no handle of it
// outlives the run.
#include "host/update_guard.h"

#include <gtest/gtest.h>

#include <string>

#include "sim/scenario.h"
#include "tests/host/host/boot.h"

namespace {

using hosttest::Calls;
using hosttest::OpenHandles;

const std::string GUARD_NAME_JSON = R"(Global\\scanfw-update-guard-{239B3856-0074-486A-9C1A-93BBFA4AD465})";

void Boot(const std::string& scenario, bool administrator) {
    sim::RunOptions options;
    options.journal = true;
    options.administrator = administrator;
    sim::Boot(sim::ParseScenario(scenario, "t"), options);
}

// The guard object of that name, if it exists now.
const sim::MutexObject* GuardObject() {
    for (const sim::MutexObject& m : sim::M().mutexes.objects)
        if (m.exists && m.name == UPDATE_GUARD_NAME)
            return &m;
    return nullptr;
}

TEST(UpdateGuard, TheSimulatorKnowsTheProductsName) {
    EXPECT_STREQ(sim::OTHER_UPDATER_GUARD_NAME, UPDATE_GUARD_NAME);
}

TEST(UpdateGuard, WhatARunMeets) {
    // Members of the scenario; the call made to fail joins them.
    const std::string squatter = R"("mutexes": [{"name": ")" + GUARD_NAME_JSON + R"("}])";
    const std::string closedSquatter = R"("mutexes": [{"name": ")" + GUARD_NAME_JSON + R"(", "access": "denied"}])";
    const std::string other = R"("otherUpdater": true)";
    const struct {
        const char* what;
        std::string scenario;
        bool administrator;
        const char* failing;  // a call made to fail, or ""
        GuardState state;
    } cases[] = {
        {"an administrator, alone", "", true, "", GuardState::Held},
        {"an administrator, another run updating", other, true, "", GuardState::HeldElsewhere},
        {"an administrator, a mutex of the name from a user", squatter, true, "", GuardState::None},
        {"an administrator, that mutex closed to everyone", closedSquatter, true, "", GuardState::None},
        // A user without the rights cannot name the administrators as owner, nor open their guard.
        {"a user, alone", "", false, "", GuardState::None},
        {"a user, another run updating", other, false, "", GuardState::None},
        {"a user's own mutex of the name", squatter, false, "", GuardState::None},
        // Whatever fails, the update goes on as it would without a guard.
        {"the guard cannot be made", "", true, "CreateMutexExA", GuardState::None},
        {"the other's owner cannot be read", other, true, "GetKernelObjectSecurity", GuardState::None},
        {"the owner cannot be found in it", other, true, "GetSecurityDescriptorOwner", GuardState::None},
        {"another run, whose handle fails to close", other, true, "DuplicateHandle", GuardState::HeldElsewhere},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string members = c.scenario;
        if (*c.failing != '\0')
            members += std::string(members.empty() ? "" : ", ") + R"("failures": [{"call": ")" + c.failing + R"("}])";
        Boot("{" + members + "}", c.administrator);
        const int othersMutexes = OpenHandles("mutex");
        UpdateGuard guard = TakeUpdateGuard();
        EXPECT_EQ(guard.state, c.state);
        EXPECT_EQ(guard.handle != nullptr, c.state == GuardState::Held);
        // Only a guard this run holds keeps a handle; a guard of its own is the administrators'.
        EXPECT_EQ(OpenHandles("mutex"), othersMutexes + (c.state == GuardState::Held ? 1 : 0));
        if (c.state == GuardState::Held) {
            EXPECT_TRUE(GuardObject() != nullptr && GuardObject()->ownerAdministrators && GuardObject()->privileged);
        }
        GiveUpUpdateGuard(guard);
        EXPECT_EQ(guard.state, GuardState::None);
        EXPECT_EQ(OpenHandles("mutex"), othersMutexes);
        // Nothing of the numbered calls the update counts on.
        for (const char* numbered : {"CreateMutexA", "CloseHandle", "InitializeSecurityDescriptor",
                                     "SetSecurityDescriptorDacl", "LocalAlloc", "LocalFree"})
            EXPECT_EQ(Calls(numbered), 0u) << numbered;
    }
}

}  // namespace
