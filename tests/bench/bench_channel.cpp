// CPU cost of the scanner channel on the simulated host: per command exchange, and per megabyte
// of image written in one transfer (with the substitute scanner hashing what it receives, and
// without). Run through scripts/bench-channel.sh; not a test, it asserts nothing but success.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "device/channel.h"
#include "platform/win32.h"
#include "sim/machine.h"
#include "sim/scenario.h"

namespace {

constexpr uint32_t DEFAULT_EXCHANGES = 200000;
constexpr uint32_t DEFAULT_IMAGE_WRITES = 10;
constexpr double BYTES_PER_MB = 1024.0 * 1024.0;
constexpr double MICROSECONDS = 1e6;
constexpr double MILLISECONDS = 1e3;

double CpuSeconds() {
    return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

HANDLE Boot(bool hashImages) {
    sim::RunOptions options;
    options.hashImages = hashImages;
    sim::Boot(sim::ParseScenario(R"({"devices": [{"index": 0}]})", "bench"), options);
    return CreateFileA("\\\\.\\usbscan0", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_SYSTEM, nullptr);
}

bool Exchanges(uint32_t n) {
    HANDLE device = Boot(true);
    const CommandBlock query = MakeStatusQuery(SUBCODE_AFTER_DOWNLOAD);
    DeviceReply reply{};
    const double start = CpuSeconds();
    for (uint32_t i = 0; i < n; ++i)
        if (!ExchangeCommand(device, query, reply))
            return false;
    const double spent = CpuSeconds() - start;
    std::printf("exchange: %u exchanges, %.4f s CPU, %.3f us per exchange\n", n, spent, spent * MICROSECONDS / n);
    return true;
}

bool ImageWrites(uint32_t n, bool hashImages) {
    std::vector<uint8_t> image(sim::IMAGE_131_SIZE);
    for (size_t k = 0; k < image.size(); ++k) image[k] = static_cast<uint8_t>((131 + 7 * k) % 251);
    HANDLE device = Boot(hashImages);
    const double start = CpuSeconds();
    for (uint32_t i = 0; i < n; ++i)
        if (!WriteDeviceData(device, image.data(), static_cast<uint32_t>(image.size())))
            return false;
    const double spent = CpuSeconds() - start;
    const double megabytes = static_cast<double>(image.size()) * n / BYTES_PER_MB;
    std::printf("image write (%s): %u writes of %zu bytes, %.4f s CPU, %.4f ms per MB\n",
                hashImages ? "hashed" : "not hashed", n, image.size(), spent, spent * MILLISECONDS / megabytes);
    return true;
}

uint32_t Count(const char* text, uint32_t fallback) {
    if (text == nullptr)
        return fallback;
    const unsigned long value = std::strtoul(text, nullptr, 10);
    return value == 0 ? fallback : static_cast<uint32_t>(value);
}

}  // namespace

// Usage: bench_channel [EXCHANGES [IMAGE_WRITES]]
int main(int argc, char** argv) {
    const uint32_t exchanges = Count(argc > 1 ? argv[1] : nullptr, DEFAULT_EXCHANGES);
    const uint32_t images = Count(argc > 2 ? argv[2] : nullptr, DEFAULT_IMAGE_WRITES);
    // The channel prints nothing on success; anything it did print would be a failure.
    if (!Exchanges(exchanges) || !ImageWrites(images, true) || !ImageWrites(images, false)) {
        std::fprintf(stderr, "bench_channel: a transfer failed\n");
        return 1;
    }
    return 0;
}
