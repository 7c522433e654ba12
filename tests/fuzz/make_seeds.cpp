// Writes the fuzzers' seed corpora: for the update fuzzer each scenario in the fuzzer's byte form,
// for the loader fuzzer each scenario's JSON text. The scenarios are the built-in ones and, when a
// directory is named, the scenario files in it.
//
// usage: make_seeds UPDATE_DIR LOADER_DIR [SCENARIO_DIR]
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
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

// Both seeds of one scenario; false when a file cannot be written.
bool WriteSeeds(const std::filesystem::path& updateDir, const std::filesystem::path& loaderDir, const std::string& name,
                const std::string& json) {
    const std::vector<uint8_t> bytes = fuzz::EncodeScenario(sim::ParseScenario(json, name));
    return Write(updateDir / name, bytes.data(), bytes.size()) &&
           Write(loaderDir / (name + ".json"), json.data(), json.size());
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: make_seeds UPDATE_DIR LOADER_DIR [SCENARIO_DIR]\n");
        return 2;
    }
    const std::filesystem::path updateDir = argv[1], loaderDir = argv[2];
    std::filesystem::create_directories(updateDir);
    std::filesystem::create_directories(loaderDir);
    try {
        for (const sim::BuiltinScenario& b : sim::BuiltinScenarios())
            if (!WriteSeeds(updateDir, loaderDir, b.name, b.json))
                throw std::runtime_error(b.name);
        if (argc == 4) {
            for (const auto& entry : std::filesystem::directory_iterator(argv[3])) {
                if (entry.path().extension() != ".json")
                    continue;
                std::ifstream in(entry.path(), std::ios::binary);
                std::ostringstream text;
                text << in.rdbuf();
                if (!in || !WriteSeeds(updateDir, loaderDir, entry.path().stem().string(), text.str()))
                    throw std::runtime_error(entry.path().string());
            }
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make_seeds: no seed for %s\n", e.what());
        return 1;
    }
    return 0;
}
