#include "sim/report.h"

#include "sim/machine.h"

namespace sim {
namespace {

const char* EndName(ProcessEnd how) {
    switch (how) {
        case ProcessEnd::Running:
        case ProcessEnd::Return:
            return "return";
        case ProcessEnd::Exit:
            return "exit";
        case ProcessEnd::Terminated:
            return "terminated";
        case ProcessEnd::TimeLimit:
            return "timeLimit";
    }
    return "?";
}

}  // namespace

nlohmann::json BuildReport(int64_t exitCode, ProcessEnd how, const std::vector<int>& messages) {
    const Machine& m = M();
    nlohmann::json r;
    r["exitCode"] = how == ProcessEnd::TimeLimit ? nlohmann::json(nullptr) : nlohmann::json(exitCode);
    r["elapsedMs"] = m.clock.ElapsedMs();
    r["sleeps"] = m.sleeps;
    r["opened"] = m.opened;
    r["openHandles"] = OpenHandleCounts();
    ReportDevices(m, r);
    ReportService(m, r);
    ReportMutexes(m, r);
    r["messages"] = messages;
    ReportConsole(m, r);
    r["ended"] = EndName(how);
    return r;
}

}  // namespace sim
