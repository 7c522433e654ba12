// The bytes of an image depend only on its id and size, so they are made once per (id, size) for
// the whole process and shared by every run: the host tests run the updater thousands of times,
// and a view handed out in one run stays valid until the process ends, as a mapped executable's
// would.
#include "sim/image_bytes.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <utility>

namespace {

// The pattern of a stand-in image: byte k is (id + STEP * k) mod PERIOD.
constexpr unsigned PATTERN_STEP = 7;
constexpr unsigned PATTERN_PERIOD = 251;

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

// An exact-size block (a zero-size one is still a distinct address), so that the address
// sanitizer catches any read past the end of an image. Null when the memory cannot be had.
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

}  // namespace

namespace sim {

const uint8_t* ImageBytes(int id, uint32_t size) {
    static std::map<std::pair<int, uint32_t>, Block> cache;
    auto found = cache.find({id, size});
    if (found != cache.end())
        return found->second.get();
    Block block = NewBlock(size);
    if (!block)
        return nullptr;
    FillPattern(block.get(), id, size);
    return cache.emplace(std::pair{id, size}, std::move(block)).first->second.get();
}

}  // namespace sim
