// genimage: writes a deterministic stand-in firmware image, so that a build without the real
// images still embeds files of the real sizes and every machine builds the same executable.
//
// usage: genimage OUT ID SIZE      byte k of OUT is (ID + 7 * k) mod 251
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr int ARG_OUT = 1;
constexpr int ARG_ID = 2;
constexpr int ARG_SIZE = 3;
constexpr int ARG_COUNT = 4;
constexpr int EXIT_USAGE = 2;
constexpr unsigned PATTERN_STEP = 7;
constexpr unsigned PATTERN_PERIOD = 251;
// Resource ids are 16-bit; a resource's size is a 32-bit count.
constexpr unsigned long long MAX_ID = 0xFFFF;
constexpr unsigned long long MAX_SIZE = 0xFFFFFFFF;

// A whole decimal number no larger than `max`, or false.
bool ParseNumber(const char* text, unsigned long long max, unsigned long long& value) {
    if (text[0] < '0' || text[0] > '9')
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoull(text, &end, 10);
    return errno == 0 && *end == '\0' && value <= max;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned long long id = 0, size = 0;
    if (argc != ARG_COUNT || !ParseNumber(argv[ARG_ID], MAX_ID, id) || !ParseNumber(argv[ARG_SIZE], MAX_SIZE, size)) {
        std::fprintf(stderr, "usage: genimage OUT ID SIZE  (ID 0..65535, SIZE 0..4294967295 bytes)\n");
        return EXIT_USAGE;
    }
    std::vector<uint8_t> bytes(size);
    unsigned value = static_cast<unsigned>(id % PATTERN_PERIOD);
    for (uint8_t& b : bytes) {
        b = static_cast<uint8_t>(value);
        value = (value + PATTERN_STEP) % PATTERN_PERIOD;
    }
    const char* out = argv[ARG_OUT];
    std::FILE* f = std::fopen(out, "wb");
    if (f == nullptr) {
        std::perror(out);
        return EXIT_FAILURE;
    }
    // An empty image is an empty file; fwrite must not be handed the null data of an empty vector.
    bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (std::fclose(f) != 0 || !written) {
        std::perror(out);
        std::remove(out);
        return EXIT_FAILURE;
    }
    return EXIT_SUCCESS;
}
