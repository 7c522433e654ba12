#include "firmware/image_check.h"

#include <string>

#include "text/hex.h"

namespace {

bool IsLowerHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

}  // namespace

bool ReadEmbeddedDigest(HMODULE module, int resourceId, char (&text)[IMAGE_DIGEST_TEXT_LENGTH + 1]) {
    // Read as a message, never as a resource: FindResourceA, LoadResource, LockResource and
    // SizeofResource are calls that the loading of the image makes, and scenario files fail those by
    // their number. The buffer holds exactly a digest: a longer text does not fit and is none.
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, module,
                       static_cast<DWORD>(resourceId), IMAGE_DIGEST_LANGUAGE, text, sizeof text, nullptr);
    if (length != IMAGE_DIGEST_TEXT_LENGTH)
        return false;
    for (size_t i = 0; i < IMAGE_DIGEST_TEXT_LENGTH; ++i)
        if (!IsLowerHexDigit(text[i]))
            return false;
    return true;
}

bool ImageMatchesEmbeddedDigest(HMODULE module, int resourceId, const uint8_t* data, DWORD length) {
    char expected[IMAGE_DIGEST_TEXT_LENGTH + 1];
    uint8_t digest[IMAGE_DIGEST_BYTES];
    return ReadEmbeddedDigest(module, resourceId, expected) && HashImage(data, length, digest) &&
           HexBytes(digest, sizeof digest) == expected;
}
