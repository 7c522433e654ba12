#include "sim/report.h"

#include "sim/machine.h"

namespace sim {

nlohmann::json BuildReport(int exitCode) {
    const Machine& m = M();
    nlohmann::json r;
    r["exitCode"] = exitCode;
    r["elapsedMs"] = m.clock.ElapsedMs();
    r["sleeps"] = m.sleeps;
    r["opened"] = m.opened;
    r["openHandles"] = OpenHandleCounts();
    ReportDevices(m, r);
    ReportService(m, r);
    ReportMutexes(m, r);
    return r;
}

}  // namespace sim
