#include "sim/builtin_scenarios.h"

namespace sim {
namespace {

// The registry entry Windows makes for the scanner at usbscan0.
#define SCANNER0_REGISTRY \
    R"("imagingDevices": {"0000": {"CreateFileName": "\\\\.\\usbscan0", "MatchingDeviceId": "usb\\vid_2a7b&pid_41c3&rev_0100", "FriendlyName": "Tarvo DS-410"}})"

const std::vector<BuiltinScenario> kScenarios = {
    {"update",
     "English system, service running, an idle scanner at usbscan0: a whole successful update",
     R"({"devices": [{"index": 0}], )" SCANNER0_REGISTRY "}"},
    {"zh-TW",
     "the same update on a Traditional Chinese (0x0404) system: messages in Big5",
     R"({"userLangId": "0x0404", "devices": [{"index": 0}], )" SCANNER0_REGISTRY "}"},
    {"no-scanner",
     "no still-image device at all: \"Device not found!!\"",
     R"({})"},
    {"passed-over",
     "a device that fails its descriptor request and another maker's device ahead of the scanner at usbscan3",
     R"({"devices": [{"index": 0, "descriptor": "fail"},
                     {"index": 1, "descriptor": {"vid": "0x04B8", "pid": "0x0101"}},
                     {"index": 2, "open": "busy"},
                     {"index": 3}],
         "imagingDevices": {"0000": {"CreateFileName": "\\\\.\\usbscan3",
                                     "MatchingDeviceId": "usb\\vid_2a7b&pid_41c3",
                                     "FriendlyName": "Tarvo DS-410"}}})"},
    {"missing-argument",
     "a -b option without its value: the warning, then the usual search finding nothing",
     R"({"args": ["-a", "-b"]})"},
};

}  // namespace

const std::vector<BuiltinScenario>& BuiltinScenarios() { return kScenarios; }

const BuiltinScenario* FindBuiltinScenario(const std::string& name) {
    for (const BuiltinScenario& s : kScenarios)
        if (name == s.name) return &s;
    return nullptr;
}

}  // namespace sim
