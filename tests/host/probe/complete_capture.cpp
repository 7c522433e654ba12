#include "complete_capture.h"

using nlohmann::json;

namespace {

void CopyIfPresent(const json& from, json& to, const char* member) {
    if (from.contains(member))
        to[member] = from[member];
}

const json* DeviceOf(const json& original, const json& index) {
    if (!original.contains("devices"))
        return nullptr;
    for (const json& device : original["devices"])
        if (device.value("index", json()) == index)
            return &device;
    return nullptr;
}

}  // namespace

json CompleteCapture(const json& capture, const json& original) {
    json done = capture;
    for (const char* member : {"args", "tickStart", "failures", "console"}) CopyIfPresent(original, done, member);

    if (done.contains("devices")) {
        for (json& device : done["devices"]) {
            const json* given = DeviceOf(original, device["index"]);
            if (given == nullptr || !given->contains("scanner"))
                continue;
            const json& scanner = (*given)["scanner"];
            json mine = device.value("scanner", json::object());
            for (const char* member : {"download", "progress", "faults"}) CopyIfPresent(scanner, mine, member);
            if (scanner.contains("ready")) {
                // A single reply object is a list of one.
                const json given = scanner["ready"].is_array() ? scanner["ready"] : json::array({scanner["ready"]});
                if (mine.contains("ready") && !mine["ready"].empty()) {
                    json ready = json::array({mine["ready"][0]});
                    for (size_t i = 1; i < given.size(); ++i) ready.push_back(given[i]);
                    mine["ready"] = ready;
                } else {
                    mine["ready"] = given;
                }
            }
            if (!mine.empty())
                device["scanner"] = mine;
        }
    }
    if (done.contains("mutexes") && original.contains("mutexes")) {
        for (json& mutex : done["mutexes"])
            for (const json& given : original["mutexes"])
                if (given.value("name", "") == mutex.value("name", ""))
                    CopyIfPresent(given, mutex, "releaseAfterMs");
    }
    if (original.contains("service") && done.contains("service")) {
        CopyIfPresent(original["service"], done["service"], "pendingQueries");
        if (!done["service"].contains("waitHint"))
            CopyIfPresent(original["service"], done["service"], "waitHint");
    }
    return done;
}
