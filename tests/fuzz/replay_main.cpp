// Runs a fuzz target once on each file named, or on every file of each directory named: the
// seed corpus and the saved findings replayed as a plain test, with no fuzzer needed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::vector<std::filesystem::path> Inputs(int argc, char* argv[]) {
    std::vector<std::filesystem::path> files;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path p = argv[i];
        if (!std::filesystem::is_directory(p)) {
            files.push_back(p);
            continue;
        }
        std::vector<std::filesystem::path> inDir;
        for (const auto& entry : std::filesystem::directory_iterator(p))
            if (entry.is_regular_file())
                inDir.push_back(entry.path());
        std::sort(inDir.begin(), inDir.end());
        files.insert(files.end(), inDir.begin(), inDir.end());
    }
    return files;
}

}  // namespace

int main(int argc, char* argv[]) {
    const std::vector<std::filesystem::path> files = Inputs(argc, argv);
    for (const std::filesystem::path& file : files) {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "%s: cannot be read\n", file.c_str());
            return 1;
        }
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::printf("%zu inputs replayed\n", files.size());
    return files.empty() ? 1 : 0;
}
