#include "sim/builtin_scenarios.h"

namespace sim {
namespace {

// The registry entry Windows makes for the scanner at usbscan0.
#define SCANNER0_REGISTRY \
    R"("imagingDevices": {"0000": {"CreateFileName": "\\\\.\\usbscan0", "MatchingDeviceId": "usb\\vid_2a7b&pid_41c3&rev_0100", "FriendlyName": "Tarvo DS-410"}})"

// One idle scanner at usbscan0 with its registry entry; `extra` adds members to the scanner.
#define SCANNER0(extra) R"("devices": [{"index": 0)" extra R"(}], )" SCANNER0_REGISTRY

const std::vector<BuiltinScenario> kScenarios = {
    {"update", "English system, service running, an idle scanner at usbscan0: a whole successful update",
     "{" SCANNER0("") "}"},
    {"zh-TW", "the same update on a Traditional Chinese (0x0404) system: messages and progress in Big5",
     R"({"userLangId": "0x0404", )" SCANNER0("") "}"},
    {"no-scanner", "no still-image device at all: \"Device not found!!\"", "{}"},
    {"passed-over",
     "a device failing its descriptor request, another maker's device and a busy one ahead of the scanner at "
     "usbscan3",
     R"({"devices": [{"index": 0, "descriptor": "fail"},
                     {"index": 1, "descriptor": {"vid": "0x04B8", "pid": "0x0101"}},
                     {"index": 2, "open": "busy"},
                     {"index": 3}],
         "imagingDevices": {"0000": {"CreateFileName": "\\\\.\\usbscan3",
                                     "MatchingDeviceId": "usb\\vid_2a7b&pid_41c3",
                                     "FriendlyName": "Tarvo DS-410"}}})"},
    {"missing-argument", "a -b option without its value: the warning, then a search that finds nothing",
     R"({"args": ["-a", "-b"]})"},
    {"ready-state-6", "the scanner answers state 6: the update goes on without the application locks",
     "{" SCANNER0(R"(, "scanner": {"ready": {"state": 6}})") "}"},
    {"model-8", "the scanner reports model 8: the 13,633,428-byte image goes with image kind 0x1004",
     "{" SCANNER0(R"(, "scanner": {"ready": {"state": 0, "model": 8}})") "}"},
    {"busy-then-ready", "the scanner is busy for three polls, then idle with model 8",
     "{" SCANNER0(
         R"(, "scanner": {"ready": [{"state": 2, "model": 1}, {"state": 3}, {"state": 2}, {"state": 0, "model": 8}]})") "}"},
    {"not-responding", "the scanner stays busy: \"Device is not responsed!!\" after 10 minutes (try --clock virtual)",
     "{" SCANNER0(R"(, "scanner": {"ready": {"state": 2}})") "}"},
    {"status-error", "the first status reply cannot be read: a USB read error, then \"Check device status error!!\"",
     "{" SCANNER0(R"(, "scanner": {"faults": [{"op": "read", "n": 1, "kind": "fail"}]})") "}"},
    {"not-registered", "the scanner has no imaging-device registry entry: the FriendlyName is not found",
     R"({"devices": [{"index": 0}]})"},
    {"scan-app-busy", "the scanning application holds its mutex: the first lock is not obtained",
     R"({"mutexes": [{"name": "Global\\TARVO_SCAN_EXT_APP_MUTEX_Tarvo DS-410"}], )" SCANNER0("") "}"},
    {"second-app-busy", "the second application holds its mutex: the second lock is not obtained",
     R"({"mutexes": [{"name": "{5B2E8D41-9C3A-4e07-B6F1-3D8A0C7E2F94}"}], )" SCANNER0("") "}"},
    {"image-missing", "the executable lacks image 121: \"Loading firmware (find resource) error!!\"",
     R"({"resources": {"121": {"missing": true}}, )" SCANNER0("") "}"},
    {"image-load-fails", "image 121 cannot be loaded",
     R"({"resources": {"121": {"loadFails": true}}, )" SCANNER0("") "}"},
    {"image-lock-fails", "image 121 cannot be locked",
     R"({"resources": {"121": {"lockFails": true}}, )" SCANNER0("") "}"},
    {"image-empty", "image 121 is empty: \"resource length is zero\"",
     R"({"resources": {"121": {"size": 0}}, )" SCANNER0("") "}"},
    {"damaged-image",
     "this copy of the updater carries image 121 with one byte changed since the build took its digest: "
     "\"Checking firmware...\" finds it, and nothing reaches the scanner",
     R"({"resources": {"121": {"damaged": true}}, )" SCANNER0("") "}"},
    {"command-refused", "the scanner refuses the download command (result 0x7001)",
     "{" SCANNER0(R"(, "scanner": {"download": {"result": "0x7001"}})") "}"},
    {"data-error", "the image write moves one byte too few: a size mismatch, then \"Send FW data error!!\"",
     "{" SCANNER0(R"(, "scanner": {"faults": [{"op": "write", "n": 3, "kind": "short"}]})") "}"},
    {"burn-error", "the scanner reports state 3 while burning: \"Burning firmware error!!\"",
     "{" SCANNER0(
         R"(, "scanner": {"progress": [{"state": 7, "percent": 10}, {"state": 7, "percent": 20}, {"state": 3}]})") "}"},
    {"service-refuses-stop", "the imaging service refuses to stop: \"Failed to close WIA!!\" and a 20 s pause",
     R"({"failures": [{"call": "ControlService", "error": 1061}], )" SCANNER0("") "}"},
    {"service-stopped", "the imaging service is stopped at the start: it is left alone, and not restarted",
     R"({"service": {"state": "stopped", "startType": "demand"}, )" SCANNER0("") "}"},
    {"cancelled-while-busy",
     "Ctrl+C while the scanner is busy: the service is given back and \"Update cancelled!!\"; nothing is sent",
     R"({"console": {"interrupts": [{"event": "ctrlC", "atMs": 5500}]}, )" SCANNER0(
         R"(, "scanner": {"ready": {"state": 2}})") "}"},
    {"closed-while-busy",
     "the console window is closed while the scanner is busy: the service is set back and started within the 5 s",
     R"({"console": {"interrupts": [{"event": "close", "atMs": 5500}]}, )" SCANNER0(
         R"(, "scanner": {"ready": {"state": 2}})") "}"},
    {"interrupted-while-burning",
     "Ctrl+C and Ctrl+Break while the scanner burns: a warning each time, and the update goes on to the end",
     R"({"console": {"interrupts": [{"event": "ctrlC", "atMs": 9500}, {"event": "ctrlBreak", "atMs": 12500}]}, )" SCANNER0(
         "") "}"},
    {"restore-fails", "the service cannot be set back to automatic start after the burn: \"Failed to restore WIA!!\"",
     R"({"failures": [{"call": "ChangeServiceConfigA", "nth": 2}], )" SCANNER0("") "}"},
    {"no-admin-rights", "run without administrator rights: \"Access denied!!\" before \"Failed to close WIA!!\"",
     R"({"service": {"serviceAccess": "denied"}, )" SCANNER0("") "}"},
    {"second-updater",
     "started again while another scanfw.exe updates the scanner: the second run says so and leaves the scanner, "
     "the service and the locks alone",
     R"({"otherUpdater": true, )" SCANNER0("") "}"},
    {"double-clicked", "started from Explorer, alone in its console: the update, then \"Press any key to exit...\"",
     R"({"console": {"processes": 1}, )" SCANNER0("") "}"},
};

}  // namespace

const std::vector<BuiltinScenario>& BuiltinScenarios() {
    return kScenarios;
}

const BuiltinScenario* FindBuiltinScenario(const std::string& name) {
    for (const BuiltinScenario& s : kScenarios)
        if (name == s.name)
            return &s;
    return nullptr;
}

}  // namespace sim
