// Byte k of an image depends only on its id, not on its size: every image of an id is a prefix of
// the largest one asked for. So the bytes are made once per id, as large as the largest image of it
// so far, and shared by every run: the host tests and the fuzzers run the updater thousands of
// times, with images of many sizes. A view handed out in one run stays valid until the process
// ends, as a mapped executable's would: a block that a larger image outgrows is kept.
#include "sim/image_bytes.h"

#include <sys/mman.h>

#if defined(__SANITIZE_ADDRESS__)
#define SCANFW_POISON_IMAGE_TAILS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SCANFW_POISON_IMAGE_TAILS 1
#endif
#endif
#if defined(SCANFW_POISON_IMAGE_TAILS)
#include <sanitizer/asan_interface.h>
#endif

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace {

// The pattern of a stand-in image: byte k is (id + STEP * k) mod PERIOD.
constexpr unsigned PATTERN_STEP = 7;
constexpr unsigned PATTERN_PERIOD = 251;
// What a damaged image's middle byte is xored with.
constexpr uint8_t DAMAGE_MASK = 0xFF;

// Filling a fresh block faults in every page of it, and on a virtual machine a fault of a 4 KiB
// page costs several times as much as hashing the page (for the 8 MiB image, more than the hash
// and the rest of the update together): an image of this size or more starts on a boundary of a
// 2 MiB page and asks the kernel for such pages, a few faults instead of thousands.
constexpr size_t HUGE_PAGE_BYTES = size_t{2} << 20;

struct AlignedDelete {
    std::align_val_t alignment;
    void operator()(uint8_t* p) const { ::operator delete[](p, alignment); }
};
using Block = std::unique_ptr<uint8_t[], AlignedDelete>;

// A block of `size` bytes (a zero-size one is still a distinct address). Null when the memory
// cannot be had.
Block NewBlock(uint32_t size) {
    const bool large = size >= HUGE_PAGE_BYTES;
    const std::align_val_t alignment{large ? HUGE_PAGE_BYTES : __STDCPP_DEFAULT_NEW_ALIGNMENT__};
    Block block(static_cast<uint8_t*>(::operator new[](size, alignment, std::nothrow)), AlignedDelete{alignment});
    // Only advice: where the kernel has no such pages, the block is filled page by page.
    if (block && large)
        madvise(block.get(), size / HUGE_PAGE_BYTES * HUGE_PAGE_BYTES, MADV_HUGEPAGE);
    return block;
}

// The pattern repeats every PATTERN_PERIOD bytes, so only the first period is computed (by steps,
// without a division per byte); the rest is copied from what is already there, in blocks that
// double in size and each begin where a period does.
void FillPattern(uint8_t* bytes, int id, uint32_t size) {
    const uint32_t first = std::min<uint32_t>(size, PATTERN_PERIOD);
    unsigned value = static_cast<unsigned>(id) % PATTERN_PERIOD;
    for (uint32_t k = 0; k < first; ++k) {
        bytes[k] = static_cast<uint8_t>(value);
        value += PATTERN_STEP;
        if (value >= PATTERN_PERIOD)
            value -= PATTERN_PERIOD;
    }
    for (uint32_t done = first; done < size;) {
        const uint32_t copy = std::min(done, size - done);
        std::memcpy(bytes + done, bytes, copy);
        done += copy;
    }
}

// The images of one id: the block of the largest so far, and the blocks it outgrew.
struct IdImages {
    Block block;
    uint32_t capacity = 0;
    uint32_t exposed = 0;  // the size last handed out
    std::vector<Block> outgrown;
};

std::map<int, IdImages>& Cache() {
    static std::map<int, IdImages> cache;
    return cache;
}

// Damaged images by (id, size): each its own block, exactly its size.
std::map<std::pair<int, uint32_t>, Block>& DamagedCache() {
    static std::map<std::pair<int, uint32_t>, Block> cache;
    return cache;
}

// Makes the first `size` bytes of the block readable and, under the address sanitizer, the rest
// not: a read past the end of the image handed out is caught as it would be in a block of its size.
void Expose(IdImages& images, uint32_t size) {
    images.exposed = size;
#if defined(SCANFW_POISON_IMAGE_TAILS)
    ASAN_UNPOISON_MEMORY_REGION(images.block.get(), size);
    ASAN_POISON_MEMORY_REGION(images.block.get() + size, images.capacity - size);
#endif
}

}  // namespace

namespace sim {

const uint8_t* ImageBytes(int id, uint32_t size) {
    IdImages& images = Cache()[id];
    if (!images.block || size > images.capacity) {
        Block block = NewBlock(size);
        if (!block)
            return nullptr;
        FillPattern(block.get(), id, size);
        if (images.block)
            images.outgrown.push_back(std::move(images.block));
        images.block = std::move(block);
        images.capacity = size;
    }
    Expose(images, size);
    return images.block.get();
}

const uint8_t* DamagedImageBytes(int id, uint32_t size) {
    if (size == 0)
        return nullptr;
    Block& block = DamagedCache()[{id, size}];
    if (!block) {
        block = NewBlock(size);
        if (!block)
            return nullptr;
        FillPattern(block.get(), id, size);
        block[size / 2] ^= DAMAGE_MASK;
    }
    return block.get();
}

bool IsWholeImage(const uint8_t* data, size_t size) {
    for (const auto& [id, images] : Cache())
        if (images.block.get() == data && size <= images.capacity)
            return true;
    for (const auto& [key, block] : DamagedCache())
        if (block.get() == data && size == key.second)
            return true;
    return false;
}

}  // namespace sim
