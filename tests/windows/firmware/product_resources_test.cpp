// scanfw.exe's own resources, loaded as the updater loads them: the exact bytes of the files
// that the build embedded, as a view of the mapped executable.
#include <gtest/gtest.h>

#include <cstring>

#include "firmware/firmware_image.h"
#include "platform/win32.h"
#include "tests/windows/firmware/embedded_file.h"

namespace {

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
