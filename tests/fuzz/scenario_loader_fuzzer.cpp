// Fuzz target: scanfw-sim's scenario loader on any text. A scenario is either read and checked,
// or refused with one line naming the file and the field; anything else (a crash, another
// exception, a multi-line message, an accepted scenario that breaks the loader's own rules) is a
// finding.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "sim/scenario.h"

namespace {

constexpr const char* SOURCE = "fuzz.json";
constexpr int MAX_DEVICE_INDEX = 255;
constexpr int MAX_INSTANCE = 9999;

[[noreturn]] void Finding(const std::string& what) {
    std::fprintf(stderr, "scenario loader: %s\n", what.c_str());
    std::abort();
}

// The rules every scenario the loader accepts must meet.
void CheckAccepted(const sim::Scenario& s) {
    std::set<int> indexes;
    for (const sim::DeviceSpec& d : s.devices) {
        if (d.index < 0 || d.index > MAX_DEVICE_INDEX || !indexes.insert(d.index).second)
            Finding("accepted device index " + std::to_string(d.index));
        if (d.scanner.ready.empty() || d.scanner.download.empty() || d.scanner.progress.empty())
            Finding("accepted an empty reply list");
        for (const sim::TransferFault& f : d.scanner.faults)
            if (f.n == 0)
                Finding("accepted a fault numbered 0");
    }
    for (const auto& [number, instance] : s.imagingDevices)
        if (number < 0 || number > MAX_INSTANCE)
            Finding("accepted instance " + std::to_string(number));
    std::set<std::string> names;
    for (const sim::MutexSpec& m : s.mutexes)
        if (m.name.empty() || !names.insert(m.name).second)
            Finding("accepted mutex name \"" + m.name + "\"");
    if (s.resources.size() != 2 || !s.resources.count(121) || !s.resources.count(131))
        Finding("the images are not exactly 121 and 131");
    std::set<std::string> calls;
    for (const sim::FailureSpec& f : s.failures)
        if (!sim::IsFailableCall(f.call) || !calls.insert(f.call).second || f.nth == 0)
            Finding("accepted failure of \"" + f.call + "\"");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        CheckAccepted(sim::ParseScenario(text, SOURCE));
    } catch (const sim::ScenarioError& e) {
        const std::string message = e.what();
        const std::string file = std::string(SOURCE) + ": ";
        if (message.rfind(file, 0) != 0)
            Finding("message does not name the file: " + message);
        if (message.find(": ", file.size()) == std::string::npos)
            Finding("message names no field: " + message);
        if (std::count(message.begin(), message.end(), '\n') != 0)
            Finding("message of several lines: " + message);
    }
    return 0;
}
