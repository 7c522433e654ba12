#include "text/hex.h"

#include <cstring>

namespace {

constexpr char HEX_DIGITS[] = "0123456789abcdef";
constexpr unsigned NIBBLE_BITS = 4;
constexpr unsigned NIBBLE_MASK = 0xF;
constexpr size_t DIGITS_PER_BYTE = 2;

}  // namespace

std::string HexBytes(const uint8_t* bytes, size_t count, const char* separator) {
    const size_t separatorLength = std::strlen(separator);
    std::string hex;
    hex.reserve(count * (DIGITS_PER_BYTE + separatorLength));
    for (size_t i = 0; i < count; ++i) {
        if (i > 0)
            hex.append(separator, separatorLength);
        hex += HEX_DIGITS[bytes[i] >> NIBBLE_BITS];
        hex += HEX_DIGITS[bytes[i] & NIBBLE_MASK];
    }
    return hex;
}
