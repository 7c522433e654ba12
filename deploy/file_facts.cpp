#include "deploy/file_facts.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "firmware/image_digest.h"
#include "text/hex.h"

namespace {

// The version resource's header (its length, value length and type, two bytes each) and key,
// padded to four bytes, come before the fixed part: VS_FIXEDFILEINFO, whose signature starts it.
constexpr char16_t VERSION_KEY[] = u"VS_VERSION_INFO";
constexpr size_t KEY_BYTES = sizeof VERSION_KEY;  // with its terminating zero
constexpr size_t HEADER_BYTES = 6;
constexpr size_t ALIGNMENT = 4;
constexpr size_t FIXED_PART_FROM_KEY =
    (HEADER_BYTES + KEY_BYTES + ALIGNMENT - 1) / ALIGNMENT * ALIGNMENT - HEADER_BYTES;
constexpr uint32_t FIXED_INFO_SIGNATURE = 0xFEEF04BD;
constexpr size_t FILE_VERSION_MS_OFFSET = 8;  // from the signature
constexpr size_t FILE_VERSION_LS_OFFSET = 12;
constexpr unsigned HIGH_WORD_SHIFT = 16;
constexpr uint32_t WORD_MASK = 0xFFFF;
constexpr size_t READ_CHUNK = 1 << 20;

uint32_t Word32At(const uint8_t* at) {
    uint32_t value = 0;
    for (size_t i = 0; i < sizeof value; ++i) value |= static_cast<uint32_t>(at[i]) << (8 * i);
    return value;
}

// The key as the bytes of a little-endian UTF-16 string, zero included.
std::vector<uint8_t> KeyBytes() {
    std::vector<uint8_t> key;
    for (char16_t c : VERSION_KEY) {
        key.push_back(static_cast<uint8_t>(c & 0xFF));
        key.push_back(static_cast<uint8_t>(c >> 8));
    }
    return key;
}

bool ReadWhole(const std::string& path, std::vector<uint8_t>& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return false;
    std::vector<uint8_t> chunk(READ_CHUNK);
    size_t got = 0;
    while ((got = std::fread(chunk.data(), 1, chunk.size(), file)) > 0)
        bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + got);
    const bool whole = std::ferror(file) == 0;
    std::fclose(file);
    return whole;
}

}  // namespace

std::string FileVersionIn(const uint8_t* bytes, size_t size) {
    static const std::vector<uint8_t> key = KeyBytes();
    const size_t needed = FIXED_PART_FROM_KEY + FILE_VERSION_LS_OFFSET + sizeof(uint32_t);
    const uint8_t* end = bytes + size;
    for (const uint8_t* at = std::search(bytes, end, key.begin(), key.end()); at != end;
         at = std::search(at + 1, end, key.begin(), key.end())) {
        if (static_cast<size_t>(end - at) < needed)
            break;
        const uint8_t* fixed = at + FIXED_PART_FROM_KEY;
        if (Word32At(fixed) != FIXED_INFO_SIGNATURE)
            continue;
        const uint32_t high = Word32At(fixed + FILE_VERSION_MS_OFFSET);
        const uint32_t low = Word32At(fixed + FILE_VERSION_LS_OFFSET);
        return std::to_string(high >> HIGH_WORD_SHIFT) + "." + std::to_string(high & WORD_MASK) + "." +
               std::to_string(low >> HIGH_WORD_SHIFT) + "." + std::to_string(low & WORD_MASK);
    }
    return "";
}

FileFacts FactsOf(const std::string& path) {
    FileFacts facts;
    std::vector<uint8_t> bytes;
    if (!ReadWhole(path, bytes))
        return facts;
    facts.read = true;
    uint8_t digest[IMAGE_DIGEST_BYTES];
    if (HashImage(bytes.data(), static_cast<DWORD>(bytes.size()), digest))
        facts.sha256 = HexBytes(digest, sizeof digest);
    facts.version = FileVersionIn(bytes.data(), bytes.size());
    return facts;
}
