// scanfw.exe's own resources, loaded as the updater loads them: the exact bytes of the files
// that the build embedded, as a view of the mapped executable.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "firmware/firmware_image.h"
#include "firmware/image_check.h"
#include "platform/win32.h"
#include "tests/windows/firmware/embedded_file.h"

namespace {

// A FILETIME as a count of 100 ns.
double Ticks(const FILETIME& t) {
    return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
}

TEST(ProductResources, EachModelGetsTheExactBytesOfItsImage) {
    const struct {
        uint8_t modelCode;
        const char* file;
    } cases[] = {{0, IMAGE_121_FILE}, {7, IMAGE_121_FILE}, {8, IMAGE_131_FILE}, {9, IMAGE_121_FILE}};
    for (const auto& c : cases) {
        std::vector<uint8_t> want = ReadEmbeddedFile(c.file);
        ASSERT_FALSE(want.empty()) << c.file;
        FirmwareImage image = LoadFirmwareImage(SelectFirmwareImage(c.modelCode).resourceId);
        ASSERT_TRUE(image.loaded) << "model " << int(c.modelCode);
        ASSERT_EQ(image.length, want.size()) << "model " << int(c.modelCode);
        EXPECT_EQ(std::memcmp(image.data, want.data(), want.size()), 0) << "model " << int(c.modelCode);
    }
}

// Each image against the digest the build wrote beside it, as the updater checks it before it sends
// the image; one byte changed is caught. The check of image 131 is timed, for its share of an
// update: `ctest --preset windows -R ProductResources.EachImage -V | grep "check of image"`.
TEST(ProductResources, EachImageMatchesTheDigestBesideIt) {
    for (int id : {FIRMWARE_RESOURCE_STANDARD, FIRMWARE_RESOURCE_LARGE}) {
        uint8_t digest[IMAGE_DIGEST_BYTES];
        ASSERT_TRUE(ReadEmbeddedDigest(nullptr, id, digest)) << id;
        const FirmwareImage image = LoadFirmwareImage(id);
        ASSERT_TRUE(image.loaded) << id;
        // Wall time, and the thread's CPU time, which a machine busy with other work does not stretch.
        LARGE_INTEGER frequency, start, end;
        FILETIME created, exited, kernelBefore, userBefore, kernelAfter, userAfter;
        QueryPerformanceFrequency(&frequency);
        GetThreadTimes(GetCurrentThread(), &created, &exited, &kernelBefore, &userBefore);
        QueryPerformanceCounter(&start);
        EXPECT_TRUE(ImageMatchesEmbeddedDigest(nullptr, id, image.data, image.length)) << id;
        QueryPerformanceCounter(&end);
        GetThreadTimes(GetCurrentThread(), &created, &exited, &kernelAfter, &userAfter);
        std::printf("check of image %d (%lu bytes): %.1f ms, CPU %.1f ms\n", id,
                    static_cast<unsigned long>(image.length),
                    1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart,
                    (Ticks(kernelAfter) + Ticks(userAfter) - Ticks(kernelBefore) - Ticks(userBefore)) / 1e4);
        std::vector<uint8_t> damaged(image.data, image.data + image.length);
        damaged[damaged.size() / 2] ^= 0xFF;
        EXPECT_FALSE(ImageMatchesEmbeddedDigest(nullptr, id, damaged.data(), static_cast<DWORD>(damaged.size()))) << id;
    }
    uint8_t none[IMAGE_DIGEST_BYTES];
    EXPECT_FALSE(ReadEmbeddedDigest(nullptr, FIRMWARE_RESOURCE_STANDARD + 1, none));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
}

TEST(ProductResources, AnImageIsAViewOfTheMappedExecutable) {
    const uint8_t* base = reinterpret_cast<const uint8_t*>(GetModuleHandleA(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const uintptr_t begin = reinterpret_cast<uintptr_t>(base);
    const uintptr_t end = begin + nt->OptionalHeader.SizeOfImage;
    for (int id : {FIRMWARE_RESOURCE_STANDARD, FIRMWARE_RESOURCE_LARGE}) {
        FirmwareImage image = LoadFirmwareImage(id);
        ASSERT_TRUE(image.loaded) << id;
        uintptr_t data = reinterpret_cast<uintptr_t>(image.data);
        EXPECT_GE(data, begin) << id;
        EXPECT_LE(data + image.length, end) << id;
        // Pages of the executable's own mapping, not a copy on the heap.
        MEMORY_BASIC_INFORMATION info{};
        ASSERT_NE(VirtualQuery(image.data, &info, sizeof info), 0u) << id;
        EXPECT_EQ(info.Type, static_cast<DWORD>(MEM_IMAGE)) << id;
        EXPECT_EQ(info.AllocationBase, static_cast<const void*>(base)) << id;
        // Loading again hands out the same view: nothing is copied.
        EXPECT_EQ(LoadFirmwareImage(id).data, image.data) << id;
    }
}

}  // namespace
