// Shared by the scanner-link tests: a simulated host with a scanner at usbscan0, opened as the
// updater opens it, and what the host counted.
#pragma once

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "app/messages.h"
#include "platform/win32.h"
#include "sim/machine.h"
#include "sim/report.h"
#include "sim/scenario.h"

namespace devtest {

inline HANDLE OpenScanner(int number) {
    char name[32];
    std::snprintf(name, sizeof name, "\\\\.\\usbscan%d", number);
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_SYSTEM, nullptr);
}

// Boots a host from scenario JSON and opens usbscan0.
inline HANDLE BootAndOpen(const std::string& scenarioJson, const sim::RunOptions& options = {}) {
    sim::Boot(sim::ParseScenario(scenarioJson, "test"), options);
    return OpenScanner(0);
}

// Calls of a simulated function so far in this run, failed ones included.
inline uint32_t Calls(const std::string& name) {
    const auto& counts = sim::M().callCounts;
    auto it = counts.find(name);
    return it == counts.end() ? 0 : it->second;
}

inline int OpenHandles(const char* kind) {
    return sim::OpenHandleCounts()[kind];
}

inline nlohmann::json DeviceReport() {
    return sim::BuildReport(0)["device"];
}

// Sets the message language for one test and puts the previous one back.
class LanguageScope {
public:
    explicit LanguageScope(uint16_t language) : saved_(MessageLanguage) { MessageLanguage = language; }
    ~LanguageScope() { MessageLanguage = saved_; }
    LanguageScope(const LanguageScope&) = delete;
    LanguageScope& operator=(const LanguageScope&) = delete;

private:
    uint16_t saved_;
};

inline std::string Line(MessageId id, uint16_t language) {
    return std::string(MessageText(id, language)) + "\n";
}

}  // namespace devtest
