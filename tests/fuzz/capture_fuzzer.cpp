// Fuzz target: the probe's round trip on any PC the fuzzer's bytes describe. The probe captures the
// simulated PC, the capture is completed with what a probe cannot see, and the updater's run on
// the replay must print and do exactly what its run on the original does; the probe must change
// nothing and send nothing unasked. Any difference aborts, which the fuzzer reports.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "capture_round_trip.h"
#include "scenario_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const sim::Scenario scenario = fuzz::DecodeScenario(data, size);
    // Half of the inputs also let the probe ask the scanner for its first reply.
    const bool askScanner = size > 0 && (data[size - 1] & 1) != 0;
    sim::RunOptions options;
    options.hashImages = false;  // both runs alike: a multi-megabyte hash per run would dominate
    const probe_test::RoundTrip trip = probe_test::CaptureAndReplay(scenario, askScanner, options);
    if (trip.problems.empty()) {
        sim::FreeLeftoverLocalBlocks();
        sim::M() = sim::Machine{};
        return 0;
    }
    for (const std::string& p : trip.problems) std::fprintf(stderr, "round trip: %s\n", p.c_str());
    std::fprintf(stderr, "capture%s:\n%s\n", askScanner ? " (--ask-scanner)" : "", trip.capture.c_str());
    std::abort();
}
