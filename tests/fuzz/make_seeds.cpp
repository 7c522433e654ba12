// Writes the fuzzers' seed corpora from the built-in scenarios: for the update fuzzer each
// scenario in the fuzzer's byte form, for the loader fuzzer each scenario's JSON text.
//
// usage: make_seeds UPDATE_DIR LOADER_DIR
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "scenario_codec.h"
#include "sim/builtin_scenarios.h"

namespace {

bool Write(const std::filesystem::path& path, const void* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_seeds UPDATE_DIR LOADER_DIR\n");
        return 2;
    }
    const std::filesystem::path updateDir = argv[1], loaderDir = argv[2];
    std::filesystem::create_directories(updateDir);
    std::filesystem::create_directories(loaderDir);
    for (const sim::BuiltinScenario& b : sim::BuiltinScenarios()) {
        const std::string json = b.json;
        const std::vector<uint8_t> bytes = fuzz::EncodeScenario(sim::ParseScenario(json, b.name));
        if (!Write(updateDir / b.name, bytes.data(), bytes.size()) ||
            !Write(loaderDir / (std::string(b.name) + ".json"), json.data(), json.size())) {
            std::fprintf(stderr, "make_seeds: cannot write the seed of %s\n", b.name);
            return 1;
        }
    }
    return 0;
}
