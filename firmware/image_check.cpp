#include "firmware/image_check.h"

#include <cstring>

namespace {

constexpr int NOT_A_DIGIT = -1;
constexpr int DIGIT_BITS = 4;
constexpr int FIRST_LETTER_VALUE = 10;

// The value of a lower-case hex digit, or NOT_A_DIGIT.
int DigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + FIRST_LETTER_VALUE;
    return NOT_A_DIGIT;
}

}  // namespace

bool ReadEmbeddedDigest(HMODULE module, int resourceId, uint8_t (&digest)[IMAGE_DIGEST_BYTES]) {
    // Read as a message, never as a resource: FindResourceA, LoadResource, LockResource and
    // SizeofResource are calls that the loading of the image makes, and scenario files fail those by
    // their number. The buffer holds exactly a digest: a longer text does not fit and is none.
    char text[IMAGE_DIGEST_TEXT_LENGTH + 1];
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, module,
                       static_cast<DWORD>(resourceId), IMAGE_DIGEST_LANGUAGE, text, sizeof text, nullptr);
    if (length != IMAGE_DIGEST_TEXT_LENGTH)
        return false;
    // Read into bytes rather than the digest written out as text: no string is made, and with it no
    // allocation and none of the C++ library's exception code in the program.
    for (size_t i = 0; i < IMAGE_DIGEST_BYTES; ++i) {
        const int high = DigitValue(text[2 * i]), low = DigitValue(text[2 * i + 1]);
        if (high == NOT_A_DIGIT || low == NOT_A_DIGIT)
            return false;
        digest[i] = static_cast<uint8_t>(high << DIGIT_BITS | low);
    }
    return true;
}

bool ImageMatchesEmbeddedDigest(HMODULE module, int resourceId, const uint8_t* data, DWORD length) {
    uint8_t expected[IMAGE_DIGEST_BYTES];
    uint8_t found[IMAGE_DIGEST_BYTES];
    return ReadEmbeddedDigest(module, resourceId, expected) && HashImage(data, length, found) &&
           std::memcmp(expected, found, IMAGE_DIGEST_BYTES) == 0;
}
